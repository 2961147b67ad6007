// The four-lane single-precision remap against the scalar double reference,
// step by step over a million random points each, and at the special points.
#include "stack_reference.h"
#include "stack_testutil.h"

#include "stitcher/geometry/matrix.h"
#include "stitcher/geometry/polynom.h"
#include "stitcher/geometry/project.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

using namespace stacktest;

namespace
{

const float unmapped = 1.0e21f;

// Evaluates a stack on one point through the four-lane remap (all lanes the same).
ref::point sse1(const vector_stack *vs, float x, float y)
{
    alignas(16) float xs[4] = {x, x, x, x}, ys[4] = {y, y, y, y};
    remap(xs, ys, vs);
    return {xs[0], ys[0], 0};
}

ref::point sse1(const std::vector<step_def> &steps, float x, float y)
{
    auto sd = make_stack(steps);
    auto vs = to_vector(sd.get());
    return sse1(vs->slots, x, y);
}

const double d = 1000; // pixels per unit of the projection steps

// A unit direction from (longitude, latitude) in radians.
const step_def dir_from_angles{_from_equirect, {1, 1}};
// Swaps x and z, so that the z of a direction step can be read.
const step_def read_z{_perspect, {0, 0, 1, 0, 1, 0, 1, 0, 0}};

enum verdict { COMPARE, SKIP };

struct remap_case {
    std::string name;
    std::vector<step_def> steps;
    float x0, x1, y0, y1; // input domain
    double scale;         // errors are measured against max(scale, |value|)
    double tolerance;     // relative to that
    bool direction;       // the steps end in a direction: check z as well
    // Skips the points next to a boundary or a singular point, where a
    // rounding may land on either side; the reference output is given.
    std::function<verdict(float x, float y, const ref::point &out)> where = nullptr;
};

std::ostream &operator<<(std::ostream &os, const remap_case &c) { return os << c.name; }

bool same_special(double ref, float got)
{
    if (std::isnan(ref))
        return std::isnan(got);
    if (ref == 1.0e21)
        return got == unmapped;
    return ref == got; // infinities
}

bool special(double v) { return !std::isfinite(v) || v == 1.0e21; }

class RemapAgainstReference : public ::testing::TestWithParam<remap_case>
{
};

TEST_P(RemapAgainstReference, MillionRandomPoints)
{
    const remap_case &c = GetParam();
    auto with_z = [](std::vector<step_def> steps) {
        steps.push_back(read_z);
        return steps;
    };
    auto vs = to_vector(make_stack(c.steps).get());
    auto vsz = to_vector(make_stack(with_z(c.steps)).get());
    // Cases that start with a direction: the reference starts from the
    // float direction that the four-lane code works on, so that only the
    // step under test is measured.
    const bool from_dir = c.steps[0].func == _from_equirect && c.steps[0].params[1] == 1;
    std::vector<step_def> tail(c.steps.begin() + (from_dir ? 1 : 0), c.steps.end());
    auto ref_stack = make_stack(tail);
    auto vdir = to_vector(make_stack({dir_from_angles}).get());
    auto vdirz = to_vector(make_stack({dir_from_angles, read_z}).get());

    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> ux(c.x0, c.x1), uy(c.y0, c.y1);
    const int groups = 1 << 18; // four points each
    double worst = 0;
    long points = 0, specials = 0;
    for (int g = 0; g < groups; g++) {
        alignas(16) float in_x[4], in_y[4], xs[4], ys[4], zx[4], zy[4], dx[4], dy[4], dzx[4], dzy[4];
        for (int l = 0; l < 4; l++) {
            in_x[l] = xs[l] = zx[l] = dx[l] = dzx[l] = ux(rng);
            in_y[l] = ys[l] = zy[l] = dy[l] = dzy[l] = uy(rng);
        }
        remap(xs, ys, vs->slots);
        if (c.direction)
            remap(zx, zy, vsz->slots);
        if (from_dir) {
            remap(dx, dy, vdir->slots);
            remap(dzx, dzy, vdirz->slots);
        }
        for (int l = 0; l < 4; l++) {
            ref::point start = from_dir ? ref::point{dx[l], dy[l], dzx[l]} : ref::point{in_x[l], in_y[l], 0};
            ref::point r = ref::run(ref_stack.get(), start);
            if (c.where && c.where(in_x[l], in_y[l], r) == SKIP)
                continue;
            points++;
            double want[3] = {r.x, r.y, r.z};
            float got[3] = {xs[l], ys[l], zx[l]};
            for (int k = 0; k < (c.direction ? 3 : 2); k++) {
                if (special(want[k])) {
                    specials++;
                    ASSERT_TRUE(same_special(want[k], got[k]))
                        << "input (" << in_x[l] << ", " << in_y[l] << ") coordinate " << k << ": want "
                        << want[k] << ", got " << got[k];
                    continue;
                }
                double err = fabs(got[k] - want[k]) / std::max(c.scale, fabs(want[k]));
                worst = std::max(worst, err);
                ASSERT_LE(err, c.tolerance) << "input (" << in_x[l] << ", " << in_y[l] << ") coordinate " << k
                                            << ": want " << want[k] << ", got " << got[k];
            }
        }
    }
    EXPECT_GT(points, 3L * groups); // the domain is not mostly skipped
    RecordProperty("worst_relative_error", std::to_string(worst));
    printf("%-24s worst error %.3g of scale (%.3g px at %g), %ld special values\n", c.name.c_str(), worst,
           worst * c.scale, c.scale, specials);
}

const float pi = static_cast<float>(M_PI);

// Directions: the whole sphere from longitude and latitude.
remap_case dir_case(std::string name, step_def s, double scale, double tol,
                    std::function<verdict(float, float, const ref::point &)> where = nullptr)
{
    return {name, {dir_from_angles, s}, -pi, pi, -pi / 2, pi / 2, scale, tol, false, where};
}

// Next to the seam of atan2 (straight back) either side is right.
verdict away_from_seam(float lon, float, const ref::point &)
{
    return fabs(lon) > pi - 1e-3f ? SKIP : COMPARE;
}

// Radial lens steps [a0, c, b, a, 0, radius, limit] for a script's a, b, c,
// with the limit where the corrected radius turns back.
std::vector<double> lens_step(double a, double b, double c)
{
    const double slope[4] = {1 - a - b - c, 2 * c, 3 * b, 4 * a};
    return {1 - a - b - c, c, b, a, 0, 1000, smallest_root(slope)};
}

// The parameters of the inverse step: the limit moves with the mapping.
std::vector<double> inverse_lens(std::vector<double> p)
{
    double r = p[6];
    p[6] = r * (p[0] + p[1] * r + p[2] * r * r + p[3] * r * r * r);
    return p;
}

std::vector<remap_case> all_cases()
{
    const double rot[9] = {0.8, 0.36, -0.48, 0, 0.8, 0.6, 0.6, -0.48, 0.64};
    std::vector<remap_case> v;
    // A strong lens that folds back at about 1.05 radii.
    const std::vector<double> lens = lens_step(0.05, -0.5, 0), inv = inverse_lens(lens);
    v.push_back({"radial",
                 {{_radial, lens}},
                 -1500,
                 1500,
                 -1500,
                 1500,
                 1000,
                 5e-7,
                 false,
                 [lens](float x, float y, const ref::point &) {
                     return fabs(hypot(x, y) / 1000 - lens[6]) < 1e-5 ? SKIP : COMPARE;
                 }});
    v.push_back({"vert_radial",
                 {{_vert_radial, {1.02, 0.01, -0.03, 0.02, 0.001, 750}}},
                 -1500,
                 1500,
                 -1500,
                 1500,
                 1000,
                 5e-7,
                 false});
    v.push_back({"shift_scale_rotate",
                 {{_shift_scale_rotate, {12.5, -7.25, 1.1, 0.8, 0.6}}},
                 -3000,
                 3000,
                 -3000,
                 3000,
                 1000,
                 5e-7,
                 false});
    v.push_back({"scale", {{_scale, {1.25, -0.75}}}, -3000, 3000, -3000, 3000, 1000, 5e-7, false});
    v.push_back({"shear", {{_shear, {1.01, 0.002, -0.003}}}, -3000, 3000, -3000, 3000, 1000, 5e-7, false});
    v.push_back({"shift", {{_shift, {3.5, -4.25}}}, -3000, 3000, -3000, 3000, 1000, 5e-7, false});
    v.push_back({"perspect",
                 {dir_from_angles, {_perspect, {rot, rot + 9}}},
                 -pi,
                 pi,
                 -pi / 2,
                 pi / 2,
                 1,
                 5e-7,
                 true});
    v.push_back(dir_case("to_rectilinear", {_to_rectilinear, {d, 1 / d}}, d, 1e-6,
                         [](float, float, const ref::point &o) {
                             // Only the image plane near the image: far out a
                             // float direction has too few digits.
                             return o.x != 1e21 && (fabs(o.x) > 4 * d || fabs(o.y) > 4 * d) ? SKIP : COMPARE;
                         }));
    v.push_back(dir_case("to_cylindrical", {_to_cylindrical, {d, 1 / d}}, d, 1e-6,
                         [](float lon, float lat, const ref::point &o) {
                             return away_from_seam(lon, lat, o) == SKIP || fabs(o.y) > 4 * d ? SKIP : COMPARE;
                         }));
    v.push_back(dir_case("to_equirect", {_to_equirect, {d, 1 / d}}, d, 1e-6, away_from_seam));
    // Straight back from a fisheye the side of the disc is ill-defined.
    auto front = [](float lon, float lat, const ref::point &) {
        return cos(lat) * cos(lon) < -0.9 ? SKIP : COMPARE;
    };
    v.push_back(dir_case("to_fisheye", {_to_fisheye, {d, 1 / d}}, d, 1e-6, front));
    v.push_back(dir_case("to_equisolid", {_to_equisolid, {d, 1 / d}}, d, 1e-6, front));
    v.push_back(dir_case("to_mirror_equisolid", {_to_mirror_equisolid, {d, 1 / d}}, d, 1e-6, front));
    const float w = static_cast<float>(M_PI * d);
    v.push_back(
        {"from_rectilinear", {{_from_rectilinear, {d, 1 / d}}}, -3000, 3000, -3000, 3000, 1, 5e-7, true});
    v.push_back(
        {"from_cylindrical", {{_from_cylindrical, {d, 1 / d}}}, -w, w, -3000, 3000, 1000, 5e-7, true});
    v.push_back({"from_equirect", {{_from_equirect, {d, 1 / d}}}, -w, w, -w / 2, w / 2, 1, 1e-6, true});
    v.push_back({"from_fisheye", {{_from_fisheye, {d, 1 / d}}}, -w, w, -w, w, 1, 1e-6, true});
    // At the rim of the disc asin magnifies the rounding of its argument.
    auto disc = [](float x, float y, const ref::point &) {
        return fabs(hypot(x, y) / d / 2 - 1) < 0.01 ? SKIP : COMPARE;
    };
    v.push_back(
        {"from_equisolid", {{_from_equisolid, {d, 1 / d}}}, -2500, 2500, -2500, 2500, 1, 2e-6, true, disc});
    v.push_back({"from_mirror_equisolid",
                 {{_from_mirror_equisolid, {d, 1 / d}}},
                 -2500,
                 2500,
                 -2500,
                 2500,
                 1,
                 2e-6,
                 true,
                 disc});
    v.push_back({"translate",
                 {dir_from_angles, {_translate, {0.1, -0.2, 1 / 1.3}}},
                 -pi,
                 pi,
                 -pi / 2,
                 pi / 2,
                 1,
                 3e-7,
                 false});
    v.push_back({"inv_translate",
                 {dir_from_angles, {_inv_translate, {-0.1, 0.2, 1.3}}},
                 -pi,
                 pi,
                 -pi / 2,
                 pi / 2,
                 1,
                 5e-7,
                 false});
    v.push_back({"inv_radial",
                 {{_inv_radial, inv}},
                 -1500,
                 1500,
                 -1500,
                 1500,
                 1000,
                 5e-7,
                 false,
                 [inv](float x, float y, const ref::point &) {
                     // Next to the fold the inverse magnifies every rounding.
                     return fabs(hypot(x, y) / 1000 / inv[6] - 1) < 0.05 ? SKIP : COMPARE;
                 }});
    // Three-parameter panoramas: shapes 0, 0.5 and the largest usual one,
    // with squeezes of either sign.
    for (double e : {0.0, 0.5, 0.99987}) {
        std::string shape = std::to_string(static_cast<int>(e * 100));
        v.push_back({"from_tripar_e" + shape,
                     {{_from_tripar, {d, 1 / d, 0.3, -0.4, e}}},
                     -2 * w / 3,
                     2 * w / 3,
                     -1500,
                     1500,
                     1,
                     1e-6,
                     true});
        v.push_back({"to_tripar_e" + shape,
                     {dir_from_angles, {_to_tripar, {d, 1 / d, 0.3, -0.4, e}}},
                     -2.0f,
                     2.0f,
                     -1.2f,
                     1.2f,
                     d,
                     1e-6,
                     false});
    }
    return v;
}

INSTANTIATE_TEST_SUITE_P(Steps, RemapAgainstReference, ::testing::ValuesIn(all_cases()),
                         [](const auto &info) { return info.param.name; });

} // namespace

namespace
{

TEST(RemapSpecial, EmptyStackAndIndependentLanes)
{
    auto empty = make_stack({});
    auto ve = to_vector(empty.get());
    alignas(16) float xs[4] = {1.5f, -2, NAN, 1e30f}, ys[4] = {0, 3, 4, -INFINITY};
    remap(xs, ys, ve->slots);
    EXPECT_EQ(xs[0], 1.5f);
    EXPECT_EQ(ys[1], 3);
    EXPECT_TRUE(std::isnan(xs[2]));
    EXPECT_EQ(ys[3], -INFINITY);

    // Four different points in one call give what each gives alone.
    auto sd = make_stack(
        {{_from_equirect, {d, 1 / d}}, {_to_fisheye, {d, 1 / d}}, {_radial, lens_step(0.01, 0, 0)}});
    auto vs = to_vector(sd.get());
    alignas(16) float px[4] = {10, -700, 1500, 0}, py[4] = {-20, 300, 0, 0};
    alignas(16) float qx[4], qy[4];
    std::copy(px, px + 4, qx);
    std::copy(py, py + 4, qy);
    remap(qx, qy, vs->slots);
    for (int l = 0; l < 4; l++) {
        ref::point one = sse1(vs->slots, px[l], py[l]);
        EXPECT_EQ(one.x, qx[l]) << l;
        EXPECT_EQ(one.y, qy[l]) << l;
    }
}

TEST(RemapSpecial, RectilinearBehindAndSideways)
{
    // _from_rectilinear with d = -1 puts the point behind, with d = 0 to the side.
    ref::point behind = sse1({{_from_rectilinear, {-1, -1}}, {_to_rectilinear, {d, 1 / d}}}, 0.3f, -0.2f);
    EXPECT_EQ(behind.x, unmapped);
    EXPECT_EQ(behind.y, unmapped);
    ref::point side = sse1({{_from_rectilinear, {0, 0}}, {_to_rectilinear, {d, 1 / d}}}, 1, 0);
    EXPECT_EQ(side.x, INFINITY);
    EXPECT_TRUE(std::isnan(side.y));
    ref::point cyl = sse1({{_from_rectilinear, {0, 0}}, {_to_cylindrical, {d, 1 / d}}}, 0, 1);
    EXPECT_EQ(cyl.y, INFINITY);
}

TEST(RemapSpecial, RadialLimits)
{
    const std::vector<double> p = {0.9, 0, 0, 0.1, 0, 1, 2};
    ref::point at = sse1({{_radial, p}}, 2, 0);
    EXPECT_FLOAT_EQ(at.x, 2 * (0.9f + 0.1f * 8));
    ref::point beyond = sse1({{_radial, p}}, std::nextafter(2.0f, 3.0f), 0);
    EXPECT_EQ(beyond.x, unmapped);
    EXPECT_EQ(beyond.y, unmapped);

    // The inverse: the centre stays, at and beyond the limit no image.
    const std::vector<double> q = {0.9, 0, 0, 0.1, 0, 1, 1.7};
    ref::point centre = sse1({{_inv_radial, q}}, 0, 0);
    EXPECT_EQ(centre.x, 0);
    EXPECT_EQ(centre.y, 0);
    for (float r : {1.7f, 1.8f, 1e30f}) {
        ref::point out = sse1({{_inv_radial, q}}, 0, r);
        EXPECT_TRUE(std::isnan(out.x) && std::isnan(out.y)) << r;
    }
    // Inside, the inverse undoes the forward step.
    ref::point fwd = sse1({{_radial, p}}, 0.6f, -0.8f);
    ref::point back = sse1({{_inv_radial, q}}, fwd.x, fwd.y);
    EXPECT_NEAR(back.x, 0.6, 1e-6);
    EXPECT_NEAR(back.y, -0.8, 1e-6);
}

// (x, y) and z of a direction step.
ref::point direction(std::vector<step_def> steps, float x, float y)
{
    ref::point xy = sse1(steps, x, y);
    steps.push_back(read_z);
    ref::point zy = sse1(steps, x, y);
    return {xy.x, xy.y, zy.x};
}

TEST(RemapSpecial, FisheyeCentresAndDiscs)
{
    // The centre of a fisheye panorama looks straight ahead.
    for (int code : {_from_fisheye, _from_equisolid, _from_mirror_equisolid}) {
        ref::point c = direction({{code, {d, 1 / d}}}, 0, 0);
        EXPECT_EQ(c.x, 0) << code;
        EXPECT_EQ(c.y, 0) << code;
        EXPECT_EQ(c.z, 1) << code;
    }
    // Straight ahead lands on the centre of a fisheye image.
    for (int code : {_to_fisheye, _to_equisolid, _to_mirror_equisolid}) {
        ref::point c = sse1({{_from_rectilinear, {2, 0.5}}, {code, {d, 1 / d}}}, 0, 0);
        EXPECT_EQ(c.x, 0) << code;
        EXPECT_EQ(c.y, 0) << code;
        // So small that its square is lost: still the limit, not 0/0.
        ref::point tiny = sse1({{_from_rectilinear, {1, 1}}, {code, {d, 1 / d}}}, 1e-30f, 0);
        EXPECT_NEAR(tiny.x, (code == _to_mirror_equisolid ? -1 : 1) * 1e-27, 1e-33) << code;
    }
    // The rim of the equisolid disc looks straight back; beyond it, nothing.
    ref::point rim = direction({{_from_equisolid, {1, 1}}}, 2, 0);
    EXPECT_NEAR(rim.x, 0, 1e-6);
    EXPECT_NEAR(rim.z, -1, 1e-6);
    ref::point out = direction({{_from_equisolid, {1, 1}}}, 2.001f, 0);
    EXPECT_TRUE(std::isnan(out.x) && std::isnan(out.y) && std::isnan(out.z));
    // The centre of the inverse radial step is the centre.
    ref::point ir = sse1({{_inv_radial, {0.95, 0.01, 0.02, 0.02, 0, 500, 3}}}, 0, 0);
    EXPECT_EQ(ir.x, 0);
    EXPECT_EQ(ir.y, 0);
}

TEST(RemapSpecial, Atan2Quadrants)
{
    // _to_equirect with d = 1 gives x' = atan2(x, z); the direction is (x, y, z).
    struct {
        float x, z, want;
    } cases[] = {
        {1, 1, pi / 4},     {1, -1, 3 * pi / 4}, {-1, -1, -3 * pi / 4}, {-1, 1, -pi / 4},
        {0, -1, pi},        {1, 0, pi / 2},      {-1, 0, -pi / 2},      {0, 0, 0},
        {0, 1, 0},          {-0.0f, -1, pi},     {3, 4, 0.6435011f},    {-1e-20f, 1, -1e-20f},
        {1e20f, 1, pi / 2}, {1, 1e20f, 1e-20f},  {INFINITY, 1, pi / 2}, {-5, -1e-3f, -pi / 2 - 2e-4f},
    };
    for (const auto &c : cases) {
        ref::point r = sse1({{_from_rectilinear, {c.z, 1}}, {_to_equirect, {1, 1}}}, c.x, 0);
        EXPECT_NEAR(r.x, c.want, 2e-7 * std::max(1.0f, fabsf(c.want))) << c.x << ", " << c.z;
        EXPECT_EQ(r.y, 0);
    }
    ref::point nan = sse1({{_from_rectilinear, {0, 1}}, {_to_equirect, {1, 1}}}, NAN, 0);
    EXPECT_TRUE(std::isnan(nan.x));
    ref::point back = sse1({{_from_rectilinear, {-1, 1}}, {_to_equirect, {d, 1 / d}}}, 0, 0);
    EXPECT_FLOAT_EQ(back.x, d * pi);
    ref::point null = sse1({{_from_rectilinear, {0, 1}}, {_to_equirect, {d, 1 / d}}}, 0, 0);
    EXPECT_EQ(null.x, 0);
    EXPECT_EQ(null.y, 0);
}

TEST(RemapSpecial, TriparCentreColumn)
{
    // u = 0: phi = 0 and the latitude is atan(v) whatever the squeeze.
    for (double sigma : {-0.5, 0.0, 0.5}) {
        ref::point r = direction({{_from_tripar, {d, 1 / d, sigma, sigma, 0.7}}}, 0, 800);
        EXPECT_EQ(r.x, 0);
        EXPECT_NEAR(r.y, sin(atan(0.8)), 1e-6) << sigma;
        EXPECT_NEAR(r.z, cos(atan(0.8)), 1e-6) << sigma;
    }
    // Far to the side the upper squeeze does not jump where cos phi passes 0.01.
    std::vector<step_def> s = {dir_from_angles, {_to_tripar, {d, 1 / d, 0.3, 0.3, 0.5}}};
    float edge = acosf(0.01f);
    ref::point a = sse1(s, edge - 1e-4f, 0.3f), b = sse1(s, edge + 1e-4f, 0.3f);
    EXPECT_LT(fabs(a.y - b.y), 0.02 * fabs(a.y));
}

TEST(RemapSpecial, NotANumberStaysNotANumber)
{
    // Every step passes a not-a-number input on, so that no caller counts it.
    auto sd = make_stack({{_from_equirect, {d, 1 / d}},
                          {_perspect, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
                          {_to_tripar, {d, 1 / d, 0.3, 0.3, 0.5}}});
    ref::point r = sse1(to_vector(sd.get())->slots, NAN, 0);
    EXPECT_TRUE(std::isnan(r.x));
    for (int code = _to_rectilinear; code <= _to_mirror_equisolid; code++) {
        ref::point q = sse1({{_from_rectilinear, {0, 1}}, {code, {d, 1 / d}}}, 0, NAN);
        EXPECT_TRUE(std::isnan(q.y)) << code;
    }
}

TEST(RemapSpecial, MultiSegmentLanes)
{
    proj_piece *kept = mult_rectilinear_data;
    mult_rectilinear_data = nullptr;
    int count = set_mult_rectilinear_data(360, 4000, 2000, nullptr, nullptr, nullptr, 360, 0);
    alignas(16) float xs[4] = {-1900, -10, 777, 5000}, ys[4] = {5, 6, 7, 8};
    alignas(16) float want_x[4], want_z[4];
    for (int l = 0; l < 4; l++) {
        want_x[l] = xs[l];
        want_z[l] = 0;
        project_pano(&want_x[l], &want_z[l], mult_rectilinear_data, count);
    }
    auto sd = make_stack({{_mult_rectilinear, {static_cast<double>(count)}}, read_z});
    auto vs = to_vector(sd.get());
    remap(xs, ys, vs->slots);
    for (int l = 0; l < 3; l++) {
        EXPECT_EQ(xs[l], want_z[l]) << l;
        EXPECT_EQ(ys[l], 5 + l);
    }
    EXPECT_TRUE(std::isnan(xs[3])); // past the panorama's edge
    aligned_free(mult_rectilinear_data);
    mult_rectilinear_data = kept;
}

TEST(RemapSpecialDeathTest, UnknownCodes)
{
    // A code 0 would claim 256 parameters; it is refused, not looped on.
    auto room = std::make_unique<vstack>();
    vector_stack *vs = room->slots;
    vs[0].func = 0;
    vs[1].func = -1;
    alignas(16) float xs[4] = {}, ys[4] = {};
    EXPECT_EXIT(remap(xs, ys, vs), ::testing::ExitedWithCode(1), "Assertion failed");
    stack_data sd[RMPSIZE] = {};
    sd[0].func = 0;
    sd[1].func = -1;
    EXPECT_EXIT(vector_remapper(sd, vs), ::testing::ExitedWithCode(1),
                "Assertion failed: sd\\[i\\].func != 0");
    sd[0].func = 27;
    EXPECT_EXIT(vector_remapper(sd, vs), ::testing::ExitedWithCode(1),
                "Assertion failed: sd\\[0\\].func < sizeof\\(remap_data_size\\)/sizeof\\(int\\)");
    // A stack without its end code is not read past the block.
    for (int i = 0; i < RMPSIZE; i += 3) {
        sd[i].func = _shift;
        if (i + 2 < RMPSIZE)
            sd[i + 1].param = sd[i + 2].param = 1;
    }
    EXPECT_EXIT(vector_remapper(sd, vs), ::testing::ExitedWithCode(1), "Assertion failed");
}

} // namespace
