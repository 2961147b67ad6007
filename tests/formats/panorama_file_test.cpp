#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

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
        EXPECT_EQ(pf->tif != nullptr, output_kind(c.format) == OUTPUT_TIFF_LAYERED) << c.name;
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
    for (const std::string &out : {name, link})
        EXPECT_EXIT(
            (create_panorama_file(out.c_str(), 20, 10, uchar_RGB, OUTPUT_PPM, 0), print_error("failed\n")),
            ExitedWithCode(1), "failed");
    EXPECT_FALSE(file_exists(name));
    EXPECT_EQ(access(link.c_str(), F_OK), 0);
}

// One page per image: a classic page has its position, the full size and
// PackBits, a BigTIFF page none of them; the alpha is declared, and the
// image's tiles are transparent.
TEST_F(PanoramaFileTest, LayeredTiffHasOnePagePerImage)
{
    REQUIRE_TOOL("tiffinfo");
    REQUIRE_TOOL("identify");
    const std::vector<irectangle> tiles = {{0, 0, 5, 5}};
    const irectangle rects[] = {{-10, 0, 40, 20}, {100, 30, 60, 20}};
    for (output_format f : {int(OUTPUT_TIFF_LAYERED), OUTPUT_TIFF_LAYERED | OUTPUT_BIG}) {
        pano_file *pf = create_panorama_file(path("layers").c_str(), 200, 50, uchar_RGB, f, 200);
        const std::string name = pf->name;
        std::vector<bytes> pages;
        for (int i = 0; i < 2; i++) {
            const irectangle r = rects[i];
            bytes image = sample_image(r.width, r.height, uchar_RGBA, 70 + i), page(image.size(), 0);
            write_image(panorama_writer(pf, uchar_RGBA, r, tiles.data(), 1), image);
            place_by_hand(page, image, {0, 0, r.width, r.height}, tiles, r.width, 0, uchar_RGBA, uchar_RGBA,
                          0);
            pages.push_back(page);
        }
        close_panorama_file(nullptr, 0, pf);
        const size_t classic = f == OUTPUT_TIFF_LAYERED;
        run_result info = sh("tiffinfo " + shq(name));
        EXPECT_EQ(info.err, "");
        auto count = [&](const std::string &s) {
            size_t n = 0;
            for (size_t at = info.out.find(s); at != std::string::npos; at = info.out.find(s, at + 1))
                n++;
            return n;
        };
        EXPECT_EQ(count("TIFF Directory at offset"), 2u);
        EXPECT_EQ(count("Compression Scheme: PackBits"), 2 * classic);
        EXPECT_EQ(count("Position: "), 2 * classic);
        EXPECT_EQ(count("Extra Samples: 1<unassoc-alpha>"), 2u);
        if (classic) {
            EXPECT_EQ(sh("identify -format '%w %h %X %Y\\n' " + shq(name)).out,
                      "40 20 +190 +0\n60 20 +100 +30\n");
        }
        for (int i = 0; i < 2; i++)
            EXPECT_TRUE(magick_pixels(name + "[" + std::to_string(i) + "]", "rgba", 8) == pages[i])
                << name << i;
    }
}
