// Building an image's stack from its script lines: the steps written, known
// points of the panorama, and round trips through the inverted stack.
#include "stitcher/geometry/matrix.h"
#include "stitcher/geometry/project.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/parser.h"
#include "tests/geometry/stack_testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace stacktest;

namespace
{

stack_ptr build(const char *pline, const char *oline, int width, int *wrap = nullptr,
                const char *viewpoint = nullptr)
{
    int no_wrap = 0;
    return stack_ptr(parser_create_stack_data(pline, oline, viewpoint, width, wrap ? wrap : &no_wrap));
}

std::vector<step_def> build_steps(const char *pline, const char *oline, int width, int *wrap = nullptr,
                                  const char *viewpoint = nullptr)
{
    return steps_of(build(pline, oline, width, wrap, viewpoint).get());
}

std::vector<int> codes(const std::vector<step_def> &s)
{
    std::vector<int> c;
    for (const auto &x : s)
        c.push_back(x.func);
    return c;
}

// The version is process state; each test that reads it sets it.
struct version_guard {
    int saved = vantorix_fileversion;
    ~version_guard() { vantorix_fileversion = saved; }
};

TEST(ProjectionTables, Classes)
{
    const int pano[20] = {0, 1, 2, 3, 2, 4, 5, 2, 2, 2, 4, 7, 2, 2, 2, 2, 2, 2, 2, 6};
    for (int f = 0; f < 20; f++)
        EXPECT_EQ(pano_projection(f), pano[f]) << f;
    EXPECT_EQ(pano_projection(-1), 2);
    EXPECT_EQ(pano_projection(20), 2);
    const int image[11] = {0, 1, 3, 3, 2, 4, 5, 0, 0, 0, 4};
    for (int f = 0; f < 11; f++)
        EXPECT_EQ(image_projection(f), image[f]) << f;
    EXPECT_EQ(image_projection(-1), 0);
    EXPECT_EQ(image_projection(11), 0);
}

TEST(WrapLength, WhichPanoramasWrap)
{
    EXPECT_EQ(parser_get_wrap_length("p f2 w4000 h2000 v360"), 4000);
    EXPECT_EQ(parser_get_wrap_length("p f1 w3000 v360"), 3000);
    EXPECT_EQ(parser_get_wrap_length("p w3000"), 3000); // no f: equirectangular of 360
    EXPECT_EQ(parser_get_wrap_length("p f2"), 1024);
    EXPECT_EQ(parser_get_wrap_length("p f2 w-1"), 1024); // -1 is "not given"
    EXPECT_EQ(parser_get_wrap_length("p f0 w4000 v360"), 0);
    EXPECT_EQ(parser_get_wrap_length("p f3 w4000 v360"), 0);
    EXPECT_EQ(parser_get_wrap_length("p f19 w4000 v360"), 0);
    EXPECT_EQ(parser_get_wrap_length("p f2 w4000 v180"), 0);
    EXPECT_EQ(parser_get_wrap_length("p f25 w4000"), 4000); // out of the table: class 2
    EXPECT_EQ(parser_get_wrap_length("p f2 w0"), 0);
}

TEST(StackBuilding, PlainImage)
{
    auto s = build_steps("p f2 w4000 v360", "o f0 v90 y0 p0 r0", 2000);
    ASSERT_EQ(codes(s), (std::vector<int>{_from_equirect, _to_rectilinear}));
    EXPECT_DOUBLE_EQ(s[0].params[0], 4000 / (2 * M_PI));
    EXPECT_DOUBLE_EQ(s[0].params[1], 2 * M_PI / 4000);
    EXPECT_DOUBLE_EQ(s[1].params[0], 1000);
    EXPECT_DOUBLE_EQ(s[1].params[1], 0.001);
}

TEST(StackBuilding, ProjectionScales)
{
    // Rectilinear panorama of 90 degrees, equisolid of 180, fisheye 180.
    auto r = build_steps("p f0 w2000 v90", "o f0 v90", 1000);
    EXPECT_EQ(r[0].func, _from_rectilinear);
    EXPECT_DOUBLE_EQ(r[0].params[0], 1000);
    auto e = build_steps("p f5 w2000 v180", "o f5 v180", 1000);
    EXPECT_EQ(e[0].func, _from_equisolid);
    EXPECT_DOUBLE_EQ(e[0].params[0], 2000 / (4 * sin(M_PI / 4)));
    EXPECT_EQ(e[1].func, _to_equisolid);
    EXPECT_DOUBLE_EQ(e[1].params[0], 1000 / (4 * sin(M_PI / 4)));
    auto m = build_steps("p f6 w2000 v180", "o f6 v180", 1000);
    EXPECT_EQ(m[0].func, _from_mirror_equisolid);
    EXPECT_EQ(m[1].func, _to_mirror_equisolid);
    auto f = build_steps("p f3 w2000 v180", "o f2 v180", 1000);
    EXPECT_EQ(f[0].func, _from_fisheye);
    EXPECT_DOUBLE_EQ(f[0].params[0], 2000 / M_PI);
    EXPECT_EQ(f[1].func, _to_fisheye);
    auto c = build_steps("p f1 w2000 v360", "o f1 v90 f4", 1000);
    EXPECT_EQ(c[0].func, _from_cylindrical);
    EXPECT_EQ(c[1].func, _to_cylindrical); // the first f wins
    auto q = build_steps("p f2", "o f4 v90", 1000);
    EXPECT_EQ(q[1].func, _to_equirect);
    EXPECT_DOUBLE_EQ(q[1].params[0], 1000 / (M_PI / 2));
    auto unknown = build_steps("p f99", "o f11 v90", 1000);
    EXPECT_EQ(unknown[0].func, _from_equirect);
    EXPECT_EQ(unknown[1].func, _to_rectilinear);
}

TEST(StackBuilding, DefaultPanoramaSize)
{
    // Without w and h the panorama is 1024 x 512 here as in the output file.
    auto s = build_steps("p f2", "o f0 v70", 1000);
    EXPECT_DOUBLE_EQ(s[0].params[0], 1024 / (2 * M_PI));
    auto h = build_steps("p f0 v90 h300", "o f0", 1000);
    EXPECT_DOUBLE_EQ(h[0].params[0], 512);
    EXPECT_DOUBLE_EQ(s[1].params[0], 1000 / (2 * tan(35 * M_PI / 180)));
}

TEST(StackBuilding, WrapShift)
{
    int wrap = 1;
    auto s = build_steps("p f2 w4000 h2000 v360", "o f0 v90 y100", 2000, &wrap);
    EXPECT_EQ(wrap, 1111);
    ASSERT_EQ(codes(s), (std::vector<int>{_from_equirect, _perspect, _to_rectilinear}));
    rot_matrix m;
    set_euler_matrix(100 - 1111 * 360.0 / 4000, 0, 0, m);
    for (int i = 0; i < 9; i++)
        EXPECT_NEAR(s[1].params[i], m[i], 1e-15);
    EXPECT_NEAR(asin(-s[1].params[2]) * 180 / M_PI, 0.01, 1e-9);

    wrap = 1;
    build_steps("p f2 w4000 h2000 v360", "o y-100", 2000, &wrap);
    EXPECT_EQ(wrap, -1111);
    // A yaw beyond a turn is reduced first: 760 is 40.
    wrap = 1;
    build_steps("p f2 w4000 h2000 v360", "o y760", 2000, &wrap);
    EXPECT_EQ(wrap, 444);
    wrap = 1;
    build_steps("p f2 w4000 h2000 v360", "o y180", 2000, &wrap);
    EXPECT_EQ(wrap, -2000);
    // A rectilinear panorama does not wrap: the whole yaw is in the rotation.
    wrap = 1;
    auto r = build_steps("p f0 w4000 v120", "o y100", 2000, &wrap);
    EXPECT_EQ(wrap, 0);
    set_euler_matrix(100, 0, 0, m);
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(r[1].params[i], m[i]);
    // Without the flag, no shift either.
    wrap = 0;
    build_steps("p f2 w4000 v360", "o y100", 2000, &wrap);
    EXPECT_EQ(wrap, 0);
    // A yaw that is no number gives no shift and an image that vanishes.
    wrap = 1;
    auto n = build_steps("p f2 w4000 v360", "o ynan", 2000, &wrap);
    EXPECT_EQ(wrap, 0);
    EXPECT_EQ(n[1].func, _perspect);
}

TEST(StackBuilding, LensShiftShear)
{
    auto none = build_steps("p f2 w4000", "o f0 v50 a0 b0 c0 d0 e0 g0 t0", 1000);
    EXPECT_EQ(codes(none), (std::vector<int>{_from_equirect, _to_rectilinear}));

    auto a = build_steps("p f2 w4000", "o f0 v50 a0.01", 1000);
    ASSERT_EQ(codes(a), (std::vector<int>{_from_equirect, _to_rectilinear, _radial}));
    EXPECT_EQ(a[2].params, (std::vector<double>{0.99, 0, 0, 0.01, 0, 500, 1000}));

    // b = -0.5, a = 0.05: the corrected radius turns back where
    // 1.45 - 1.5 x^2 + 0.2 x^3 = 0.
    auto fold = build_steps("p f2 w4000", "o f0 v50 a0.05 b-0.5", 1000);
    double R = fold[2].params[6];
    EXPECT_NEAR(1.45 - 1.5 * R * R + 0.2 * R * R * R, 0, 1e-9);
    EXPECT_GT(R, 1);
    EXPECT_LT(R, 1.1);

    auto all = build_steps("p f2 w4000", "o f0 v50 a0.01 b0.02 c-0.01 d12.5 e-3 g0.001 t0.002", 1001);
    ASSERT_EQ(codes(all), (std::vector<int>{_from_equirect, _to_rectilinear, _radial, _shift, _shear}));
    EXPECT_DOUBLE_EQ(all[2].params[0], 1 - 0.01 - 0.02 + 0.01);
    EXPECT_EQ(all[2].params[1], -0.01);
    EXPECT_EQ(all[2].params[2], 0.02);
    EXPECT_EQ(all[2].params[3], 0.01);
    EXPECT_EQ(all[2].params[5], 500.5);
    EXPECT_EQ(all[3].params, (std::vector<double>{12.5, -3}));
    EXPECT_EQ(all[4].params, (std::vector<double>{1, 0.001, 0.002}));
    auto shift_only = build_steps("p f2 w4000", "o e1", 1000);
    EXPECT_EQ(codes(shift_only), (std::vector<int>{_from_equirect, _to_rectilinear, _shift}));
    auto shear_only = build_steps("p f2 w4000", "o t1", 1000);
    EXPECT_EQ(codes(shear_only), (std::vector<int>{_from_equirect, _to_rectilinear, _shear}));
}

TEST(StackBuilding, Viewpoint)
{
    version_guard guard;
    const char *p = "p f2 w4000", *o = "o f0 v50";
    vantorix_fileversion = 0;
    auto s = build_steps(p, o, 1000, nullptr, "#-viewpoint 0 0 0 0 0");
    EXPECT_EQ(codes(s), (std::vector<int>{_from_equirect, _to_rectilinear}));
    EXPECT_EQ(vantorix_fileversion, 27);

    vantorix_fileversion = 0;
    s = build_steps(p, o, 1000, nullptr, "#-viewpoint 0 0 1 0 0");
    EXPECT_EQ(codes(s), (std::vector<int>{_from_equirect, _to_rectilinear}));
    EXPECT_EQ(vantorix_fileversion, 0);
    s = build_steps(p, o, 1000, nullptr, "#-viewpoint 0 0 2 0 0");
    ASSERT_EQ(codes(s), (std::vector<int>{_from_equirect, _translate, _perspect, _to_rectilinear}));
    EXPECT_EQ(s[1].params, (std::vector<double>{0, 0, 0.5}));
    EXPECT_EQ(s[2].params, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));

    vantorix_fileversion = 27;
    s = build_steps(p, o, 1000, nullptr, "#-viewpoint 0 0 1 0 0");
    ASSERT_EQ(codes(s), (std::vector<int>{_from_equirect, _translate, _perspect, _to_rectilinear}));
    EXPECT_DOUBLE_EQ(s[1].params[2], 1 / M_E);
    EXPECT_EQ(s[2].params, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));

    // Offsets and angles, after the rotation of the image.
    vantorix_fileversion = 30;
    s = build_steps(p, "o f0 v50 p10", 1000, nullptr, "#-viewpoint 0.1 -0.2 0.5 15 -5");
    ASSERT_EQ(codes(s),
              (std::vector<int>{_from_equirect, _perspect, _translate, _perspect, _to_rectilinear}));
    EXPECT_DOUBLE_EQ(s[2].params[0], 0.1);
    EXPECT_DOUBLE_EQ(s[2].params[1], -0.2);
    EXPECT_DOUBLE_EQ(s[2].params[2], exp(-0.5));
    rot_matrix m;
    set_euler_matrix(15, -5, 0, m);
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(s[3].params[i], m[i]);

    // An old file with offsets and z = 0 reads z as a logarithm rather than
    // putting the image at infinity.
    vantorix_fileversion = 0;
    s = build_steps(p, o, 1000, nullptr, "#-viewpoint 0.1 0 0 0 0");
    ASSERT_EQ(codes(s), (std::vector<int>{_from_equirect, _translate, _perspect, _to_rectilinear}));
    EXPECT_EQ(s[1].params[2], 1);
    EXPECT_EQ(vantorix_fileversion, 27);
    vantorix_fileversion = 0;
    s = build_steps(p, o, 1000, nullptr, "#-viewpoint 0.1 0 2 0 0");
    EXPECT_EQ(s[1].params[2], 0.5);

    // Lines that do not scan write nothing.
    for (const char *bad :
         {"#-viewpoint 1 2 3 4", "#-viewpoint", "#-viewpoint 1 2 x 4 5", "#-viewpointless"}) {
        vantorix_fileversion = 0;
        s = build_steps(p, o, 1000, nullptr, bad);
        EXPECT_EQ(codes(s), (std::vector<int>{_from_equirect, _to_rectilinear})) << bad;
        EXPECT_EQ(vantorix_fileversion, 0) << bad;
    }
}

TEST(StackBuilding, ThreeParameterPanorama)
{
    auto s = build_steps("p f19 w3000 v300 P\"100 20 -30\"", "o f0 v50", 1000);
    ASSERT_EQ(s[0].func, _from_tripar);
    double sc = 3000 / (300 * M_PI / 180);
    EXPECT_DOUBLE_EQ(s[0].params[0], sc);
    EXPECT_DOUBLE_EQ(s[0].params[1], 1 / sc);
    EXPECT_DOUBLE_EQ(s[0].params[2], 0.2);
    EXPECT_DOUBLE_EQ(s[0].params[3], -0.3);
    EXPECT_NEAR(s[0].params[4], 0.99987, 1e-5);
    auto zero = build_steps("p f19 w3000 P\"0 0 0\"", "o", 1000);
    EXPECT_NEAR(zero[0].params[4], 0, 1e-15);
}

TEST(StackBuildingDeathTest, ThreeParameterPanoramaNeedsP)
{
    for (const char *p : {"p f19 w3000", "p f19 w3000 P\"1 2\"", "p f19 w3000 P\"\"", "p f19 P\"nan 0 0\"",
                          "p f19 P\"150 0 0\"", "p f19 P\"1 inf 0\""}) {
        EXPECT_EXIT(build(p, "o f0", 1000).get(), ::testing::ExitedWithCode(1),
                    "^Script-error: p-line f19 needs the option P with three numbers.\n$")
            << p;
    }
}

// The multi-segment table is process-wide and made once; each test builds
// its own and restores the previous one.
struct table_guard {
    proj_piece *saved = mult_rectilinear_data;
    table_guard() { mult_rectilinear_data = nullptr; }
    ~table_guard()
    {
        aligned_free(mult_rectilinear_data);
        mult_rectilinear_data = saved;
    }
};

TEST(StackBuilding, MultiSegment)
{
    {
        table_guard guard;
        auto s = build_steps("p f11 w4000 h1000 v360", "o f0 v50", 1000);
        ASSERT_EQ(s[0].func, _mult_rectilinear);
        EXPECT_EQ(s[0].params[0], 11); // the default five segments
    }
    {
        // Lists end at the end of their text, with or without a separator.
        table_guard guard;
        auto s = build_steps("p f11 w4000 h1000 S0,120,240,360 E60,180,300, W10,10,10", "o f0 v50", 1000);
        EXPECT_EQ(s[0].params[0], 9);
    }
    {
        table_guard guard;
        auto s = build_steps("p f11 w4000 S0,120,240,360", "o f0 v50", 1000);
        EXPECT_EQ(s[0].params[0], 9);
    }
}

// ---- Known points ----

struct evaluator {
    alignas(16) vector_stack vs[RMPSIZE];
    explicit evaluator(const stack_data *sd) { vector_remapper(sd, vs); }
    // Panorama pixel (from its centre) to source pixel (from its centre).
    std::pair<float, float> operator()(float x, float y) const
    {
        alignas(16) float xs[4] = {x, x, x, x}, ys[4] = {y, y, y, y};
        remap(xs, ys, vs);
        return {xs[0], ys[0]};
    }
};

TEST(KnownPoints, EquirectangularPanorama)
{
    const char *p = "p f2 w4000 h2000 v360";
    auto centre = build(p, "o f0 v90", 2000);
    evaluator e(centre.get());
    auto c = e(0, 0);
    EXPECT_EQ(c.first, 0);
    EXPECT_EQ(c.second, 0);
    // A point 30 degrees right maps 1000 tan 30 right of the source centre.
    auto r = e(4000 / 12.0f, 0);
    EXPECT_NEAR(r.first, 1000 * tan(M_PI / 6), 1e-3);
    EXPECT_NEAR(r.second, 0, 1e-4);

    // Yaw +30 moves the image right by 333.33 pixels; pitch +30 moves it up.
    auto yaw = build(p, "o f0 v90 y30", 2000);
    auto y = evaluator(yaw.get())(4000 / 12.0f, 0);
    EXPECT_NEAR(y.first, 0, 1e-3);
    EXPECT_NEAR(y.second, 0, 1e-3);
    auto pitch = build(p, "o f0 v90 p30", 2000);
    auto q = evaluator(pitch.get())(0, -2000 / 6.0f);
    EXPECT_NEAR(q.first, 0, 1e-3);
    EXPECT_NEAR(q.second, 0, 1e-3);
    // Roll turns the image about its centre: a point above the centre of
    // the panorama lands beside the centre of the image.
    auto roll = build(p, "o f0 v90 r90", 2000);
    auto rr = evaluator(roll.get())(0, -100);
    EXPECT_NEAR(fabs(rr.first), 1000 * tan(100 * 2 * M_PI / 4000), 1e-3);
    EXPECT_NEAR(rr.second, 0, 1e-3);

    // With the wrap shift the same image sits at the panorama centre and
    // the shift moves it back.
    int wrap = 1;
    auto shifted = build(p, "o f0 v90 y30", 2000, &wrap);
    EXPECT_EQ(wrap, 333);
    auto sh = evaluator(shifted.get())(4000 / 12.0f - wrap, 0);
    EXPECT_NEAR(sh.first, 0, 1e-3);
}

TEST(KnownPoints, FisheyeRadii)
{
    const char *p = "p f2 w4000 h2000 v360";
    const double px = 4000 / (2 * M_PI); // panorama pixels per radian
    auto fish = build(p, "o f3 v180", 2000);
    auto equi = build(p, "o f5 v180", 2000);
    evaluator ef(fish.get()), ee(equi.get());
    const double sf = 2000 / M_PI, se = 2000 / (4 * sin(M_PI / 4));
    for (double deg : {0.0, 10.0, 45.0, 80.0, 90.0, 120.0}) {
        double theta = deg * M_PI / 180;
        auto f = ef(static_cast<float>(px * theta), 0);
        EXPECT_NEAR(f.first, sf * theta, 2e-3) << deg;
        EXPECT_NEAR(f.second, 0, 1e-3);
        auto e = ee(static_cast<float>(px * theta), 0);
        EXPECT_NEAR(e.first, 2 * se * sin(theta / 2), 2e-3) << deg;
        EXPECT_NEAR(e.second, 0, 1e-3);
    }
    // Downward the same.
    auto down = ee(0, static_cast<float>(px * M_PI / 4));
    EXPECT_NEAR(down.second, 2 * se * sin(M_PI / 8), 2e-3);
    // Straight back: the rim of the 360 degree disc.
    auto back = ee(2000, 0);
    EXPECT_NEAR(fabs(back.first), 2 * se, 0.1);
}

// ---- Round trips ----

struct round_trip_case {
    const char *pline;
    int pano_w, pano_h;
    float y_part; // of the panorama height: where one row is not one direction
    const char *oline;
    int w, h;
    std::string name;
};

std::ostream &operator<<(std::ostream &os, const round_trip_case &c)
{
    return os << c.pline << " / " << c.oline;
}

class RoundTrip : public ::testing::TestWithParam<round_trip_case>
{
};

// Panorama points that land inside the image come back through the
// inverted stack within 2e-3 pixels on the middle half of the panorama's
// width, and within 3e-3 pixels out to its edges, where wide rectilinear
// and three-parameter panoramas stretch every rounding of a direction two
// to four times: that is 16 to 24 units in the last place of a coordinate
// of a panorama 4000 pixels wide, after a dozen single-precision steps each
// way.
TEST_P(RoundTrip, PanoramaToImageAndBack)
{
    const auto &c = GetParam();
    int wrap = 0;
    stack_ptr fwd(parser_create_stack_data(c.pline, c.oline, nullptr, c.w, &wrap));
    stack_ptr inv(invert_stack(fwd.get()));
    evaluator to_image(fwd.get()), to_pano(inv.get());
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> ux(-c.pano_w / 2.0f, c.pano_w / 2.0f);
    std::uniform_real_distribution<float> uy(-c.pano_h * c.y_part / 2, c.pano_h * c.y_part / 2);
    double worst = 0, worst_middle = 0;
    int inside = 0;
    for (int i = 0; i < 400000; i++) {
        float x = ux(rng), y = uy(rng);
        auto q = to_image(x, y);
        if (!(fabs(q.first) < c.w / 2.0 && fabs(q.second) < c.h / 2.0))
            continue;
        inside++;
        auto p = to_pano(q.first, q.second);
        double err = std::max(fabs(p.first - x), fabs(p.second - y));
        worst = std::max(worst, err);
        bool middle = fabs(x) < c.pano_w / 4.0;
        if (middle)
            worst_middle = std::max(worst_middle, err);
        ASSERT_LE(err, middle ? 2e-3 : 3e-3)
            << "panorama (" << x << ", " << y << ") image (" << q.first << ", " << q.second << ") back ("
            << p.first << ", " << p.second << ")";
    }
    EXPECT_GT(inside, 4000);
    printf("worst %.3g px, in the middle half %.3g px, over %d points\n", worst, worst_middle, inside);
}

const char *const lens = " a0.01 b-0.02 c0.005 d3.5 e-2 g0.002 t-0.001";

std::vector<round_trip_case> round_trip_cases()
{
    static std::vector<std::string> olines;
    const char *images[] = {
        "o f0 v70 y25 p-15 r8",   // rectilinear
        "o f1 v100 y-40 p10 r-3", // cylindrical
        "o f4 v120 y70 p5 r2",    // equirectangular
        "o f3 v170 y-10 p30 r1",  // fisheye
        "o f5 v160 y15 p-20 r5",  // equisolid
        "o f6 v160 y-25 p12 r-4", // mirrored equisolid
    };
    const struct {
        const char *p;
        int w, h;
        float y_part;
        const char *name;
    } panos[] = {
        {"p f0 w4000 h3000 v100", 4000, 3000, 1, "rectilinear"},
        {"p f1 w4000 h1500 v360", 4000, 1500, 1, "cylindrical"},
        {"p f2 w4000 h2000 v360", 4000, 2000, 85 / 90.0f, "equirect"},
        {"p f3 w4000 h4000 v300", 4000, 4000, 1, "fisheye"},
        {"p f5 w4000 h4000 v340", 4000, 4000, 1, "equisolid"},
        {"p f6 w4000 h4000 v340", 4000, 4000, 1, "mirror_equisolid"},
        {"p f19 w4000 h2000 v300 P\"60 -20 -40\"", 4000, 2000, 1, "tripar_squeezed"},
        {"p f19 w4000 h2000 v300 P\"100 0 0\"", 4000, 2000, 1, "tripar_stereographic"},
    };
    const char *image_names[] = {"rectilinear", "cylindrical", "equirect",
                                 "fisheye",     "equisolid",   "mirror_equisolid"};
    olines.reserve(2 * std::size(images));
    std::vector<round_trip_case> v;
    for (const char *img : images) {
        olines.push_back(img);
        olines.push_back(std::string(img) + lens);
    }
    for (const auto &p : panos)
        for (size_t i = 0; i < olines.size(); i++)
            v.push_back({p.p, p.w, p.h, p.y_part, olines[i].c_str(), 3000, 2000,
                         std::string(p.name) + "_from_" + image_names[i / 2] + (i % 2 ? "_with_lens" : "")});
    return v;
}

INSTANTIATE_TEST_SUITE_P(EveryProjection, RoundTrip, ::testing::ValuesIn(round_trip_cases()),
                         [](const auto &info) { return info.param.name; });

} // namespace
