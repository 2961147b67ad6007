// The warper's four-lane rows against the scalar reference on random stacks,
// among them stacks built from script lines, whose rectilinear images have
// points behind the viewer.
#include "stitcher/script/parser.h"
#include "tests/geometry/warp_testing.h"

#include <limits>
#include <string>

using namespace warptest;

namespace
{

const double nan_ = std::numeric_limits<double>::quiet_NaN(), inf_ = std::numeric_limits<double>::infinity();

// A whole row of special values, or a half plane of them (1.0e21 beyond 10
// pixels).
stack_ptr poison_stack(std::mt19937 &rng, int)
{
    const step_def steps[] = {
        {_shift, {nan_, 0}}, {_scale, {inf_, 1}}, {_scale, {1, -inf_}}, {_radial, {1, 0, 0, 0, 0, 10, 1}}};
    return make_stack({steps[rng() % 4]});
}

// A fisheye or rectilinear image in an equirectangular panorama.
stack_ptr script_stack(std::mt19937 &rng, int w)
{
    const char *olines[] = {"o f3 v180 y30 p-10 r5", "o f0 v70 y-10 p5 r-3", "o f2 v120 y5"};
    int wrap = 0;
    const std::string pline = "p f2 w" + std::to_string(w) + " h" + std::to_string(w / 2) + " v200";
    return stack_ptr(parser_create_stack_data(pline.c_str(), olines[rng() % 3], nullptr, w, &wrap));
}

// The whole image, a part of it, or one reaching past it (cut to the image).
irectangle random_rect(std::mt19937 &rng, int w, int h)
{
    const int k = int(rng() % 3), l = int(rng() % 5), t = int(rng() % 5);
    return k == 0   ? irectangle{0, 0, w, h}
           : k == 1 ? irectangle{l, t, w - 3 - l, h - 2 - t}
                    : irectangle{-2, -1, w + 5, h + 3};
}

TEST(Warper, RowsEqualTheScalarReference)
{
    typedef stack_ptr (*stack_maker)(std::mt19937 &, int);
    const stack_maker makers[] = {affine_stack, poison_stack, script_stack};
    std::mt19937 rng(2024);
    for (int code = 0; code < INTERP_COUNT; code++) {
        const int T = interpolator_taps(code);
        // Odd sizes, large enough for an interior of every kernel.
        const int w = 2 * T + 13, h = 2 * T + 7;
        int n = 0, classes[3] = {0, 0, 0};
        for (uint32_t fmt : {uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA, float_RGBA}) {
            source src(w, h, fmt);
            src.randomize(static_cast<unsigned>(code * 31 + fmt));
            for (int k = 0; k < 4; k++, n++) {
                stack_ptr sd = makers[(n + code) % 3](rng, w);
                warp_case c;
                c.src_rect = random_rect(rng, w, h);
                c.pano[0] = w + 2 * int(rng() % 7) + 1;
                c.pano[1] = h + 2 * int(rng() % 5);
                c.dest = {-3 + int(rng() % 4), -2, c.pano[0] + 5, c.pano[1] + 3};
                c.stack = sd.get();
                c.circle = k / 2;
                c.code = code;
                SCOPED_TRACE(testing::Message() << "code " << code << " format " << fmt << " circle "
                                                << c.circle << " stack " << (n + code) % 3);
                EXPECT_TRUE(
                    same_rows(warp_rows(src.li, c), reference_rows(src.li, c, classes), c.dest.width));
            }
        }
        // Interior, edge band and outside pixels all met.
        EXPECT_TRUE(classes[0] > 300 && classes[1] > 100 && classes[2] > 1000) << code;
    }
}

} // namespace
