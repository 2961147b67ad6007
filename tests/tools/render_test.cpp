// The master and the photos rendered from it: interpolation of the master,
// exact crops, gains, the fisheye circle, and a whole scene stitched back by
// the generator's own model.
#include "tools/imgcompare/compare.h"
#include "tools/scenegen/scenes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace
{

master_image small_master(int kind = TEXTURE_DETAIL, int width = 400, unsigned seed = 3)
{
    texture t = make_texture(kind, seed, width, 77);
    return make_master(&t, width, 4);
}

double sample_channel(const master_image *m, double u, double v, int c)
{
    double rgb[3];
    sample_master(m, u, v, rgb);
    return rgb[c];
}

TEST(Master, DeterminedByItsSeedAndItsDirections)
{
    EXPECT_EQ(small_master().rgb, small_master().rgb);
    EXPECT_NE(small_master().rgb, small_master(TEXTURE_DETAIL, 400, 4).rgb);
    // Along a row only the discs near its latitude are tested.
    texture t = make_texture(TEXTURE_DETAIL, 9, 1000, 0);
    std::mt19937 gen(2);
    std::uniform_real_distribution<double> lat(-M_PI / 2, M_PI / 2), lon(-M_PI, M_PI);
    for (int n = 0; n < 2000; n++) {
        double phi = lat(gen), lambda = lon(gen), a[3], b[3];
        const double d[3] = {cos(phi) * sin(lambda), sin(phi), cos(phi) * cos(lambda)};
        std::vector<const texture_disc *> near = discs_near(&t, phi);
        texture_color(&t, d, a);
        texture_color(&t, d, b, &near);
        ASSERT_TRUE(a[0] == b[0] && a[1] == b[1] && a[2] == b[2]);
    }
}

TEST(Master, SamplingHitsPixelsAndWrapsAroundTheSeamAndOverThePoles)
{
    master_image m = small_master();
    for (int y : {0, 57, 199})
        for (int x : {0, 200, 399})
            EXPECT_NEAR(sample_channel(&m, x, y, 2), m.rgb[(size_t(y) * m.width + x) * 3 + 2], 1e-9);
    for (double t : {0.1, 0.5, 0.9, 1.6})
        for (int c = 0; c < 3; c++) {
            // The seam: column -t is column 400 - t.
            EXPECT_NEAR(sample_channel(&m, -t, 50.3, c), sample_channel(&m, 400 - t, 50.3, c), 1e-9);
            // The poles lie at the edges of rows 0 and 199; beyond them the
            // sphere continues half a turn away.
            EXPECT_NEAR(sample_channel(&m, 30.2, -0.5 - t, c), sample_channel(&m, 230.2, -0.5 + t, c), 1e-9);
            EXPECT_NEAR(sample_channel(&m, 330.7, 199.5 + t, c), sample_channel(&m, 130.7, 199.5 - t, c),
                        1e-9);
        }
}

TEST(Photo, CropsRenderedThroughTheCameraAreTheCopies)
{
    scene sc;
    scene_options opt;
    opt.scale = 0.25;
    ASSERT_TRUE(make_scene("crops", &opt, &sc));
    texture t = make_texture(TEXTURE_DETAIL, 1, sc.master_width, 0);
    master_image m = make_master(&t, sc.master_width, 4);
    for (const shot &s : sc.shots) {
        photo copy = shot_photo(&s), rendered = copy;
        rendered.copy = 0;
        EXPECT_EQ(render_photo(&m, &copy, 4), render_photo(&m, &rendered, 4)) << "yaw " << s.yaw;
    }
}

TEST(Photo, ZenithPhotoCentresOnTheTopRow)
{
    master_image m = small_master(TEXTURE_SMOOTH, 2000);
    double mean[3] = {0, 0, 0};
    for (int x = 0; x < m.width; x++)
        for (int c = 0; c < 3; c++)
            mean[c] += m.rgb[3 * x + c] / double(m.width);
    for (int proj : {CAM_RECTILINEAR, CAM_FISHEYE}) {
        photo p = {make_camera(proj, 101, 101, 20, 37, 90, 11), 0, 1, 0, 0, 0};
        std::vector<unsigned char> px = render_photo(&m, &p, 2);
        for (int c = 0; c < 3; c++)
            EXPECT_NEAR(px[(50 * 101 + 50) * 3 + c], mean[c], 1.0) << proj;
    }
}

TEST(Photo, CircularFisheyeIsBlackOutsideItsCircle)
{
    master_image m = small_master(TEXTURE_FLAT);
    photo p = {make_camera(CAM_FISHEYE, 60, 60, 180, 0, 0, 0), 1, 1, 0, 0, 0};
    std::vector<unsigned char> px = render_photo(&m, &p, 2);
    for (int y = 0; y < 60; y++)
        for (int x = 0; x < 60; x++) {
            double r = std::hypot(x - 29.5, y - 29.5);
            EXPECT_EQ(px[(y * 60 + x) * 3], r <= 30 ? 77 : 0) << x << "," << y;
        }
}

TEST(Photo, SupersamplesPhotosCoarserThanTheMaster)
{
    photo p = {make_camera(CAM_RECTILINEAR, 100, 100, 90, 0, 0, 0), 0, 1, 0, 0, 0}; // 50 px per radian
    EXPECT_EQ(supersampling(&p, int(2 * M_PI * 50)), 1);
    EXPECT_EQ(supersampling(&p, int(2 * M_PI * 100)), 2);
    EXPECT_EQ(supersampling(&p, int(2 * M_PI * 250)), 5);
    // Averaging subsamples keeps a constant.
    master_image m = small_master(TEXTURE_FLAT, 2000);
    std::vector<unsigned char> px = render_photo(&m, &p, 2);
    EXPECT_TRUE(std::all_of(px.begin(), px.end(), [](unsigned char v) { return v == 77; }));
}

// A scene's photos stitched back with the generator's model, with the
// panorama turned by `error` master pixels: the PSNR against the master.
double stitched_back_psnr(const char *preset, double error)
{
    scene sc;
    scene_options opt;
    opt.scale = 0.5;
    make_scene(preset, &opt, &sc);
    texture t = make_texture(TEXTURE_DETAIL, 1, sc.master_width, 0);
    master_image m = make_master(&t, sc.master_width, 4);
    std::vector<photo> photos;
    std::vector<std::vector<unsigned char>> pixels;
    std::vector<const unsigned char *> rows;
    for (const shot &s : sc.shots) {
        photos.push_back(shot_photo(&s));
        pixels.push_back(render_photo(&m, &photos.back(), 4));
        rows.push_back(pixels.back().data());
    }
    camera pano = pano_camera(&sc);
    euler_matrix(error * 360 / m.width, 0, 0, pano.m);
    comparer cmp;
    compare_settings set;
    init_comparer(&cmp, pano.width, pano.height, &set);
    std::vector<unsigned char> rgba(size_t(pano.width) * 4), covered(pano.width);
    std::vector<double> diff(size_t(pano.width) * 3);
    for (int y = 0; y < pano.height; y++) {
        reproject_row(&pano, photos, rows, y, rgba.data());
        for (int x = 0; x < pano.width; x++) {
            covered[x] = rgba[4 * x + 3] != 0;
            for (int c = 0; c < 3; c++)
                diff[3 * x + c] =
                    std::fabs(rgba[4 * x + c] - double(m.rgb[(size_t(y) * m.width + x) * 3 + c]));
        }
        compare_row(&cmp, diff.data(), covered.data());
    }
    finish_comparer(&cmp);
    EXPECT_GT(cmp.totals.covered, 0.999 * double(cmp.totals.window)) << preset;
    return psnr(cmp.totals.sse[0] + cmp.totals.sse[1] + cmp.totals.sse[2], 3 * cmp.totals.counted);
}

TEST(Scene, StitchedBackByTheModelGivesTheMaster)
{
    for (const char *preset : {"sphere", "fisheye"}) {
        EXPECT_GT(stitched_back_psnr(preset, 0), 45) << preset;
        // The texture has the detail to show a misplacement of one pixel.
        EXPECT_LT(stitched_back_psnr(preset, 1), 40) << preset;
    }
}

} // namespace
