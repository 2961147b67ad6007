// imgcompare as the end-to-end tests run it: PSNR, coverage and maximum over
// the covered pixels, with margins, windows and wrap.
#include "e2e_testing.h"
#include "tools/scenegen/image_out.h"
#include "tools/scenegen/scenes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

int ramp(int x, int y, int c) { return (x * 7 + y * 3 + c * 50) % 200 + 20; }

TEST(Imgcompare, PsnrOverTheCoveredPixels)
{
    std::string dir = scratch_dir(), res = dir + "/res.ppm", ref = dir + "/ref.ppm";
    // Red 4 levels off in res; alpha 0 on its first five columns.
    for (int channels : {3, 4}) {
        std::vector<unsigned char> row(20 * size_t(channels));
        write_image(channels == 3 ? ref : res, 20, 10, channels, FORMAT_PPM, 95, [&](int y) {
            for (int x = 0; x < 20; x++)
                for (int c = 0; c < channels; c++)
                    row[size_t(x * channels + c)] = static_cast<unsigned char>(
                        c == 3 ? (x < 5 ? 0 : 255) : ramp(x, y, c) + (channels == 4 && c == 0) * 4);
            return row.data();
        });
    }
    key_values t = compare_images({res, ref});
    EXPECT_EQ(t["pixels"], "150");
    EXPECT_NEAR(report_number(t, "coverage"), 0.75, 1e-9);
    EXPECT_NEAR(report_number(t, "psnr"), 10 * std::log10(65025 / (16 / 3.0)), 1e-3);
    EXPECT_NEAR(report_number(t, "psnr_r"), 10 * std::log10(65025 / 16.0), 1e-3);
    EXPECT_TRUE(std::isinf(report_number(t, "psnr_g")));
    EXPECT_EQ(report_number(t, "max"), 4);
    // A margin of 1 takes the column next to the uncovered ones away (and,
    // with wrap, the last column too); rows and columns cut the window.
    EXPECT_EQ(compare_images({res, ref, "--margin", "1"})["pixels"], "140");
    EXPECT_EQ(compare_images({res, ref, "--margin", "1", "--wrap"})["pixels"], "130");
    t = compare_images({res, ref, "--rows", "2:5", "--cols", "3:"});
    EXPECT_EQ(t["window"] + " " + t["pixels"], "51 45");
}

} // namespace
