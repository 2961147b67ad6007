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

// Kept suffixes of any case, suffixes the kind does not keep; the one each
// kind adds is run end to end.
TEST_F(PanoramaFileTest, NamesGetTheirKindsExtension)
{
    struct {
        const char *name;
        output_format format;
        const char *want;
    } cases[] = {{"pano.JPEG", OUTPUT_JPEG, "pano.JPEG"},
                 {"x.btf", OUTPUT_TIFF, "x.btf"},
                 {"x.jpg", OUTPUT_TIFF | OUTPUT_BIG, "x.jpg.tif"},
                 {"pano.psd", OUTPUT_PSD | OUTPUT_BIG, "pano.psd.psb"},
                 {"pano", 6, "pano"},
                 {"pano", OUTPUT_TIFF_LAYERED, "pano.tif"}};
    for (auto c : cases) {
        pano_file *pf = create_panorama_file(path(c.name).c_str(), 20, 10, uchar_RGB, c.format, 0);
        EXPECT_EQ(std::string(pf->name), path(c.want));
        close_panorama_file(nullptr, 0, pf);
    }
}

TEST_F(PanoramaFileTest, AFileThatCannotBeCreatedEndsTheRun)
{
    for (output_format f : {OUTPUT_PPM, OUTPUT_TIFF, OUTPUT_TIFF_LAYERED, OUTPUT_PSD}) {
        std::string want = path("none/p") + (f == OUTPUT_PPM ? ".ppm" : f == OUTPUT_PSD ? ".psd" : ".tif");
        EXPECT_EXIT(open_panorama_file(create_panorama_file(path("none/p").c_str(), 20, 10, uchar_RGB, f, 0)),
                    ExitedWithCode(1), "Could not create file " + want + ": No such file or directory.\n$");
    }
}

// A failed run removes the temporary file it was writing and leaves what
// was at the name as it was: an earlier file, nothing, or what a link to a
// device stands for.
TEST_F(PanoramaFileTest, AFailedRunLeavesTheFolderAsItWas)
{
    std::string earlier = path("old.ppm"), link = path("null.ppm");
    write_file(earlier, "earlier panorama");
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    for (const std::string &out : {earlier, path("new.ppm"), link})
        for (int defer : {0, 1}) {
            set_defer_merging(defer);
            EXPECT_EXIT(
                (open_panorama_file(create_panorama_file(out.c_str(), 20, 10, uchar_RGB, OUTPUT_PPM, 0)),
                 print_error("failed\n")),
                ExitedWithCode(1), "failed");
        }
    EXPECT_EQ(read_file(earlier), "earlier panorama");
    EXPECT_EQ(folder_names(dir), (std::vector<std::string>{"null.ppm", "old.ppm"}));
}

// One page per image in a BigTIFF too, with unassociated alpha: the image's
// tiles are transparent. Classic pages and where they go are run end to end.
TEST_F(PanoramaFileTest, LayeredTiffHasOnePagePerImage)
{
    REQUIRE_TOOL("convert");
    const std::vector<irectangle> tiles = {{0, 0, 5, 5}};
    const irectangle rects[] = {{-10, 0, 40, 20}, {100, 30, 60, 20}};
    pano_file *pf = create_panorama_file(path("layers").c_str(), 200, 50, uchar_RGB,
                                         OUTPUT_TIFF_LAYERED | OUTPUT_BIG, 200);
    open_panorama_file(pf);
    const std::string name = pf->name;
    std::vector<bytes> pages;
    for (const irectangle &r : rects) {
        bytes image = sample_image(r.width, r.height, uchar_RGBA, r.x), page(image.size(), 0);
        write_image(panorama_writer(pf, uchar_RGBA, r, tiles.data(), 1, nullptr), image);
        place_by_hand(page, image, {0, 0, r.width, r.height}, tiles, r.width, 0, uchar_RGBA, uchar_RGBA, 0);
        pages.push_back(page);
    }
    close_panorama_file(nullptr, 0, pf);
    for (int i = 0; i < 2; i++)
        EXPECT_TRUE(magick_pixels(name + "[" + std::to_string(i) + "]", "rgba", 8) == pages[i]) << i;
}
