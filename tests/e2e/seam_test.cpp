// Two crops of a flat master, the second brightened from 100 to 150: where
// the seam lies and how the step across it is blended, in colour mode and
// under a mask image.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace
{

struct SeamScene : ::testing::Test {
    scene_files s = generate_scene("seam", {"--scale", "0.25", "--pano-format", "PPM"});
    // Image 1 starts at column first; image 0 ends before column end. The
    // feather weights are equal half way, so image 1 wins from there on.
    int first = std::stoi(s.photos.at(1).at("pano_x"));
    int end = std::stoi(s.photos.at(0).at("width"));
    int seam = (first + end) / 2;
    // Rows farther from the top and bottom than from the overlap's sides:
    // nearer, the top or bottom edge decides the weights.
    int top = (end - first) / 2, bottom = s.height() - (end - first) / 2;

    raster stitched(std::vector<std::string> options, const std::string &name = "out")
    {
        options.insert(options.end(), {"-q", "-o", s.dir + "/" + name, s.script});
        run_result r = stitch(options);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_ppm(s.dir + "/" + name + ".ppm");
    }
};

TEST_F(SeamScene, OneLevelStepsAtThePredictedColumn)
{
    raster img = stitched({"-l", "1"});
    ASSERT_EQ(img.width, s.width());
    EXPECT_EQ(seam, s.width() / 2);
    for (int y = top; y < bottom; y++)
        for (int x = 0; x < img.width; x++)
            ASSERT_NEAR(img.at(x, y, 1), x < seam ? 100 : 150, 1) << x << "," << y;
}

TEST_F(SeamScene, DefaultLevelsBlendTheStepSmoothly)
{
    raster img = stitched({});
    for (int y = top; y < bottom; y++) {
        int largest = 0;
        for (int x = 1; x < img.width; x++)
            for (int c = 0; c < 3; c++)
                largest = std::max(largest, std::abs(img.at(x, y, c) - img.at(x - 1, y, c)));
        EXPECT_LE(largest, 50 / 4) << "row " << y;
        EXPECT_NEAR(img.at(0, y), 100, 1);
        EXPECT_NEAR(img.at(img.width - 1, y), 150, 1);
    }
}

TEST_F(SeamScene, EvenMixGivesTheExactMean)
{
    // Inside both images (an edge row or column has no weight).
    raster img = stitched({"-b", "2", "-l", "1"});
    for (int y = 1; y < img.height - 1; y++)
        for (int x = first + 1; x < end - 1; x++)
            for (int c = 0; c < 3; c++)
                ASSERT_EQ(img.at(x, y, c), 125) << x << "," << y;
}

// Image i's colour in colour mode: the low 24 bits of (i + 1) * 0x9C2A61
// as red + 256 green + 65536 blue.
std::string colour_code(int i)
{
    unsigned code = (i + 1) * 0x9C2A61u;
    return {static_cast<char>(code & 255), static_cast<char>(code >> 8 & 255),
            static_cast<char>(code >> 16 & 255)};
}

TEST_F(SeamScene, ColourModePaintsEachImageAndReadsBackAsAMask)
{
    run_result r = stitch({"-q", "-a", "-o", s.dir + "/colours", s.script});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Color reader ff9c2a61\nColor reader ff3854c2\n");
    raster img = read_ppm(s.dir + "/colours.ppm");
    for (int y = 0; y < img.height; y++)
        for (int x = 0; x < img.width; x++) {
            std::string px(reinterpret_cast<const char *>(&img.rgb[(size_t(y) * img.width + x) * 3]), 3);
            ASSERT_TRUE(px == colour_code(0) || px == colour_code(1)) << x << "," << y;
            if (y >= top && y < bottom) {
                ASSERT_EQ(px, colour_code(x < seam ? 0 : 1)) << x << "," << y;
            }
        }
    // Handed back as the mask, it gives the seams of one level again.
    raster one_level = stitched({"-l", "1"}, "plain");
    raster masked = stitched({"-l", "1", "-e", s.dir + "/colours.ppm"}, "masked");
    EXPECT_TRUE(masked.rgb == one_level.rgb);
}

TEST_F(SeamScene, MaskImageDecidesWhichImageWins)
{
    // Painted all in one image's colour, the mask gives that image the whole
    // overlap. (With more levels the pyramid's padding, which keeps the
    // computed seam, shows through the coarse levels.)
    for (int winner : {0, 1}) {
        std::string mask = s.dir + "/mask" + std::to_string(winner) + ".ppm", pixels;
        for (int i = 0; i < s.width() * s.height(); i++)
            pixels += colour_code(winner);
        write_file(mask, "P6\n" + std::to_string(s.width()) + " " + std::to_string(s.height()) + "\n255\n" +
                             pixels);
        raster img = stitched({"-l", "1", "-e", mask});
        for (int y = 1; y < img.height - 1; y++)
            for (int x = first + 2; x < end - 2; x++)
                ASSERT_NEAR(img.at(x, y), winner ? 150 : 100, 1) << x << "," << y;
    }
}

} // namespace
