// The scene presets: what each holds, what its options change, and the
// script text that places the photos.
#include "tools/scenegen/script.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <random>

namespace
{

struct preset_case {
    const char *name;
    size_t photos;
    int master_width;
    int pano_width, pano_height;
    int reference;
    int photo_format;
    double min_photo_pixels;
    double covered_min, covered_max; // fractions of the panorama
};

void PrintTo(const preset_case &p, std::ostream *os) { *os << p.name; }

class Presets : public testing::TestWithParam<preset_case>
{
};

TEST_P(Presets, HoldWhatTheyPromise)
{
    const preset_case &p = GetParam();
    scene sc;
    scene_options opt;
    ASSERT_TRUE(make_scene(p.name, &opt, &sc));
    EXPECT_EQ(sc.shots.size(), p.photos);
    EXPECT_EQ(sc.master_width, p.master_width);
    EXPECT_EQ(sc.master_width % 8, 0);
    EXPECT_EQ(sc.pano_width, p.pano_width);
    EXPECT_EQ(sc.pano_height, p.pano_height);
    EXPECT_EQ(sc.reference, p.reference);
    EXPECT_EQ(sc.photo_format, p.photo_format);
    for (const shot &s : sc.shots)
        EXPECT_GE(double(s.width) * s.height, p.min_photo_pixels);
    opt.scale = 0.1;
    ASSERT_TRUE(make_scene(p.name, &opt, &sc));
    double covered, multiple;
    scene_coverage(&sc, &covered, &multiple);
    EXPECT_GE(covered, p.covered_min);
    EXPECT_LE(covered, p.covered_max);
    EXPECT_LE(multiple, covered);
}

INSTANTIATE_TEST_SUITE_P(
    All, Presets,
    testing::Values(preset_case{"identity", 1, 2880, 640, 480, REF_PHOTO, FORMAT_PPM, 640 * 480, 1, 1},
                    // two of the four crops are short
                    preset_case{"crops", 4, 2000, 2000, 1000, REF_MASTER, FORMAT_PPM, 600 * 700, 0.87, 0.89},
                    preset_case{"seam", 2, 2000, 1000, 500, REF_WINDOW, FORMAT_PPM, 600 * 500, 1, 1},
                    preset_case{"sphere", 10, 2000, 2000, 1000, REF_MASTER, FORMAT_PPM, 520 * 780, 1, 1},
                    preset_case{"fisheye", 6, 2000, 2000, 1000, REF_MASTER, FORMAT_PPM, 1300 * 1300, 1, 1},
                    // two rows, no caps
                    preset_case{"big20", 20, 16000, 16000, 8000, REF_MASTER, FORMAT_JPEG, 14e6, 0.6, 0.7},
                    preset_case{"big24", 24, 16000, 16000, 8000, REF_MASTER, FORMAT_JPEG, 4.99e6, 0.97, 1},
                    preset_case{"demo", 10, 1600, 1600, 800, REF_MASTER, FORMAT_JPEG, 400 * 600, 1, 1}));

TEST(Presets, CropsAroundTheWholeTurn)
{
    scene sc;
    scene_options opt;
    ASSERT_TRUE(make_scene("crops", &opt, &sc));
    const double yaw[4] = {0, 90, 180, 270};
    for (int k = 0; k < 4; k++) {
        const shot &s = sc.shots[k];
        EXPECT_EQ(s.yaw, yaw[k]);
        EXPECT_EQ(s.height, k % 2 ? 700 : 1000);
        EXPECT_EQ(s.copy_y, (1000 - s.height) / 2);
        // Centred at its yaw: the centre column of the crop is the master's.
        EXPECT_EQ((s.copy_x + 300) % 2000, (1000 + 500 * k) % 2000);
    }
    EXPECT_GT(sc.shots[2].copy_x + sc.shots[2].width, 2000); // across the seam
}

TEST(Presets, SeamScene)
{
    scene sc;
    scene_options opt;
    opt.gain = 1.25;
    ASSERT_TRUE(make_scene("seam", &opt, &sc));
    EXPECT_EQ(sc.shots[1].gain, 1.25);
    // The panorama is the window over both crops; they share 200 columns.
    EXPECT_EQ(sc.window_x, sc.shots[0].copy_x);
    EXPECT_EQ(sc.shots[1].copy_x - sc.window_x, 400);
    EXPECT_EQ(sc.shots[1].copy_x + sc.shots[1].width - sc.window_x, sc.pano_width);
}

TEST(Presets, ScaleOptions)
{
    scene base, half, wide;
    scene_options opt;
    ASSERT_TRUE(make_scene("sphere", &opt, &base));
    opt.scale = 0.5;
    ASSERT_TRUE(make_scene("sphere", &opt, &half));
    opt.scale = 1;
    opt.pano_scale = 2;
    ASSERT_TRUE(make_scene("sphere", &opt, &wide));
    EXPECT_EQ(half.master_width, base.master_width / 2);
    EXPECT_EQ(wide.master_width, base.master_width);
    EXPECT_EQ(wide.pano_width, 2 * base.pano_width);
    EXPECT_EQ(wide.pano_height, 2 * base.pano_height);
    EXPECT_EQ(wide.reference, REF_NONE);
    for (size_t i = 0; i < base.shots.size(); i++) {
        EXPECT_EQ(half.shots[i].width, base.shots[i].width / 2);
        EXPECT_EQ(wide.shots[i].width, base.shots[i].width);
    }
}

TEST(Script, NumbersReadBackExactly)
{
    std::mt19937_64 gen(1);
    std::uniform_real_distribution<double> any(-400, 400);
    for (int n = 0; n < 1000; n++) {
        double v = any(gen);
        EXPECT_EQ(std::strtod(number_text(v).c_str(), nullptr), v);
    }
    EXPECT_EQ(number_text(-0.0), "0");
    EXPECT_EQ(number_text(59.94), "59.94");
}

} // namespace
