#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pthreads.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using ::testing::ExitedWithCode;

class PanoramaFileTest : public FormatTest
{
  protected:
    void TearDown() override
    {
        set_defer_merging(0);
        set_partial_output(nullptr);
        FormatTest::TearDown();
    }
};

TEST_F(PanoramaFileTest, NamesGetTheirKindsExtension)
{
    struct {
        const char *name;
        output_format format;
        const char *want;
    } cases[] = {{"pano", OUTPUT_JPEG, "pano.jpg"},
                 {"pano.JPEG", OUTPUT_JPEG, "pano.JPEG"},
                 {"pano", OUTPUT_PPM, "pano.ppm"},
                 {"pano.PPM", OUTPUT_PPM, "pano.PPM"},
                 {"pano", OUTPUT_TIFF, "pano.tif"},
                 {"x.TIFF", OUTPUT_TIFF, "x.TIFF"},
                 {"x.btf", OUTPUT_TIFF, "x.btf"},
                 {"x.jpg", OUTPUT_TIFF | OUTPUT_BIG, "x.jpg.tif"},
                 {"pano", OUTPUT_PSD | OUTPUT_BIG, "pano.psb"},
                 {"pano.tif", OUTPUT_PSD, "pano.tif.psd"},
                 {"pano.psd", OUTPUT_PSD | OUTPUT_BIG, "pano.psd.psb"},
                 {"pano.PSD", OUTPUT_PSD, "pano.PSD"},
                 {"pano", 6, "pano"},
                 {"pano.tf8", OUTPUT_TIFF_LAYERED, "pano.tf8"},
                 {"pano", OUTPUT_TIFF_LAYERED, "pano.tif"}};
    set_defer_merging(1); // opens only the layered TIFF
    for (auto c : cases) {
        pano_file *pf = create_panorama_file(path(c.name).c_str(), 20, 10, uchar_RGB, c.format, 0);
        EXPECT_EQ(std::string(pf->name), path(c.want));
        bool layered = output_kind(c.format) == OUTPUT_TIFF_LAYERED;
        EXPECT_EQ(pf->tif != nullptr, layered) << c.name;
        EXPECT_EQ(pf->pixformat, int(layered ? uchar_RGBA : uchar_RGB));
        EXPECT_EQ(pf->projection, 2);
        close_panorama_file(nullptr, 0, pf);
    }
    // The inverse mode keeps the name and opens nothing.
    pano_file *pf = create_panorama_file("in", 20, 10, -int(ushort_RGB), OUTPUT_TIFF_LAYERED, 0);
    EXPECT_TRUE(std::string(pf->name) == "in" && pf->pixformat == int(ushort_RGB) && !pf->tif);
    close_panorama_file(nullptr, 0, pf);
    // "-" is a PPM on standard output written by the writer thread, and
    // every later file is merged too.
    set_defer_merging(0);
    pf = create_panorama_file("-", 20, 10, uchar_RGB, OUTPUT_TIFF, 0);
    EXPECT_TRUE(std::string(pf->name) == "-" && pf->format == OUTPUT_PPM && !pf->tif);
    close_panorama_file(nullptr, 0, pf);
    pf = create_panorama_file(path("p").c_str(), 20, 10, uchar_RGB, OUTPUT_TIFF, 0);
    EXPECT_EQ(pf->tif, nullptr);
    close_panorama_file(nullptr, 0, pf);
}

TEST_F(PanoramaFileTest, AFileThatCannotBeCreatedEndsTheRun)
{
    for (output_format f : {OUTPUT_PPM, OUTPUT_TIFF, OUTPUT_TIFF_LAYERED, OUTPUT_PSD}) {
        std::string want = path("none/p") + (f == OUTPUT_PPM ? ".ppm" : f == OUTPUT_PSD ? ".psd" : ".tif");
        EXPECT_EXIT(create_panorama_file(path("none/p").c_str(), 20, 10, uchar_RGB, f, 0), ExitedWithCode(1),
                    "Could not open file " + want + ".\n$");
    }
}

// A failed run removes the output it created, but never what a name stands
// for that is not a regular file.
TEST_F(PanoramaFileTest, OnlyRegularOutputsAreRemovedOnFailure)
{
    std::string name = path("p.ppm"), link = path("null.ppm");
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    EXPECT_EXIT(
        {
            create_panorama_file(name.c_str(), 20, 10, uchar_RGB, OUTPUT_PPM, 0);
            print_error("failed\n");
        },
        ExitedWithCode(1), "failed");
    EXPECT_FALSE(file_exists(name));
    EXPECT_EXIT(
        {
            create_panorama_file(link.c_str(), 20, 10, uchar_RGB, OUTPUT_PPM, 0);
            print_error("failed\n");
        },
        ExitedWithCode(1), "failed");
    EXPECT_EQ(access(link.c_str(), F_OK), 0);
}

// Images written in place (PPM, tiled TIFF, tiled PSD), in a panorama that
// wraps and in one that does not: the file holds the placement by hand, and
// writing over a larger file gives the same bytes as a fresh one.
TEST_F(PanoramaFileTest, ImagesLandInPlaceAndOldFilesAreTruncated)
{
    const int w = 300, h = 40;
    std::vector<irectangle> tiles = {{3, 3, 6, 6}};
    irectangle rects[] = {{-20, 0, 100, 30}, {250, 10, 100, 30}, {120, 5, 60, 35}};
    for (int wrap : {0, w})
        for (output_format f : {OUTPUT_PPM, OUTPUT_TIFF, OUTPUT_PSD}) {
            std::string name = path("pano"), file, fresh;
            for (int run = 0; run < 2; run++) {
                if (run == 1)
                    write_file(file, std::string(3 * fresh.size(), 'x'));
                pano_file *pf = create_panorama_file(name.c_str(), w, h, ushort_RGB, f, wrap);
                file = pf->name;
                bytes want(size_t(w) * h * 6, 0);
                for (int i = 0; i < 3; i++) {
                    bytes image = sample_image(rects[i].width, rects[i].height, ushort_RGBA, 60 + i);
                    write_image(panorama_writer(pf, ushort_RGBA, rects[i], tiles.data(), 1), image);
                    place_by_hand(want, image, rects[i], tiles, w, wrap, ushort_RGBA, ushort_RGB, 0);
                }
                close_panorama_file(nullptr, 0, pf);
                std::string got = read_file(file);
                bytes pixels = f == OUTPUT_PPM    ? bytes(got.end() - want.size(), got.end())
                               : f == OUTPUT_TIFF ? read_tiled(file).pixels
                                                  : composite(parse_psd(file));
                EXPECT_TRUE(pixels == want) << file << " wrap " << wrap;
                if (run == 0)
                    fresh = got;
                else
                    EXPECT_TRUE(got == fresh) << "over an old file: " << file;
            }
        }
}

// One page per image: the fields of a classic page (positions, full size,
// PackBits) and of a BigTIFF page (neither, uncompressed), the alpha
// declared, and the image's pixels with its tiles transparent.
TEST_F(PanoramaFileTest, LayeredTiffHasOnePagePerImage)
{
    REQUIRE_TOOL("tiffinfo");
    REQUIRE_TOOL("identify");
    const int w = 200, h = 50;
    std::vector<irectangle> tiles = {{0, 0, 5, 5}};
    irectangle rects[] = {{-10, 0, 40, 20}, {100, 30, 60, 20}};
    for (output_format f : {int(OUTPUT_TIFF_LAYERED), OUTPUT_TIFF_LAYERED | OUTPUT_BIG}) {
        pano_file *pf = create_panorama_file(path("layers").c_str(), w, h, uchar_RGB, f, w);
        std::string name = pf->name;
        std::vector<bytes> pages;
        for (int i = 0; i < 2; i++) {
            irectangle r = rects[i];
            bytes image = sample_image(r.width, r.height, uchar_RGBA, 70 + i), page;
            write_image(panorama_writer(pf, uchar_RGBA, r, tiles.data(), 1), image);
            for (int y = 0; y < r.height; y++)
                for (int x = 0; x < r.width; x++) {
                    bytes p = covered(x, y, {0, 0, r.width, r.height}, tiles)
                                  ? pixel_as(image, r.width, x, y, uchar_RGBA, uchar_RGBA)
                                  : bytes(4, 0);
                    page.insert(page.end(), p.begin(), p.end());
                }
            pages.push_back(page);
        }
        close_panorama_file(nullptr, 0, pf);
        bool classic = f == OUTPUT_TIFF_LAYERED;
        run_result info = sh("tiffinfo " + shq(name));
        EXPECT_EQ(info.err, "");
        auto count = [&](const std::string &s) {
            size_t n = 0;
            for (size_t at = info.out.find(s); at != std::string::npos; at = info.out.find(s, at + 1))
                n++;
            return n;
        };
        EXPECT_EQ(count("TIFF Directory at offset"), 2u);
        EXPECT_EQ(count("Compression Scheme: PackBits"), classic ? 2u : 0u);
        EXPECT_EQ(count("Position: "), classic ? 2u : 0u);
        EXPECT_EQ(count("Extra Samples: 1<unassoc-alpha>"), 2u);
        if (classic) {
            run_result id = sh("identify -format '%w %h %X %Y\\n' " + shq(name));
            EXPECT_EQ(id.out, "40 20 +190 +0\n60 20 +100 +30\n") << id.err;
        }
        for (int i = 0; i < 2; i++)
            EXPECT_TRUE(magick_pixels(name + "[" + std::to_string(i) + "]", "rgba", 8) == pages[i])
                << name << i;
    }
}

static std::atomic<int> thread_done{0};
static void *writer_thread(void *)
{
    zsched_yield();
    thread_done = 1;
    return nullptr;
}

TEST_F(PanoramaFileTest, CloseWaitsForTheWriterThread)
{
    set_defer_merging(1);
    pano_file *pf = create_panorama_file(path("p").c_str(), 20, 10, uchar_RGB, OUTPUT_TIFF, 0);
    ASSERT_EQ(zthread_create(&pf->write_thread, nullptr, writer_thread, nullptr), 0);
    close_panorama_file(nullptr, 0, pf);
    EXPECT_EQ(thread_done, 1);
}

// Writes past n bytes fail (EFBIG) instead of stopping the process.
static void limit_file_size(rlim_t n)
{
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {n, n};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// A page that cannot be written (here: uncompressed, past the file size
// limit).
TEST_F(PanoramaFileTest, AFailedPageWriteEndsTheRun)
{
    std::string name = path("full.tif");
    irectangle r = {0, 0, 20, 10};
    EXPECT_EXIT(
        {
            limit_file_size(400); // room for the messages too
            pano_file *pf =
                create_panorama_file(name.c_str(), 20, 10, uchar_RGB, OUTPUT_TIFF_LAYERED | OUTPUT_BIG, 0);
            close_image_writer(panorama_writer(pf, uchar_RGBA, r, nullptr, 0));
        },
        ExitedWithCode(1), "Could not write TIFF page to " + name + ".\n$");
    EXPECT_FALSE(file_exists(name)) << "a failed run removes its output";
}
