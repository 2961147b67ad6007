// The warper on stacks built from script lines: the four-lane rows against
// the scalar reference on random stacks, and the identity warp.
#include "stitcher/script/parser.h"
#include "tests/geometry/warp_testing.h"

#include <cstdio>

using namespace stacktest;
using namespace warptest;

namespace
{

// A fisheye or rectilinear image in an equirectangular panorama.
stack_ptr script_stack(std::mt19937 &rng, int w)
{
    const char *olines[] = {"o f3 v180 y30 p-10 r5", "o f0 v70 y-10 p5 r-3", "o f2 v120 y5"};
    int wrap = 0;
    char pline[64];
    snprintf(pline, sizeof pline, "p f2 w%d h%d v200", w, w / 2);
    return stack_ptr(parser_create_stack_data(pline, olines[rng() % 3], nullptr, w, &wrap));
}

typedef stack_ptr (*stack_maker)(std::mt19937 &, int);
const stack_maker makers[] = {affine_stack, perspective_stack, poison_stack, script_stack};

TEST(Warper, RowsEqualTheScalarReference)
{
    std::mt19937 rng(2024);
    for (int code = 0; code < INTERP_COUNT; code++) {
        const int T = interpolator_taps(code);
        // Odd sizes, large enough for an interior of every kernel.
        const int w = 2 * T + 13, h = 2 * T + 7;
        int n = 0, classes[3] = {0, 0, 0};
        for (uint32_t fmt : formats) {
            source src(w, h, fmt);
            src.randomize(static_cast<unsigned>(code * 31 + fmt));
            for (int circle = 0; circle < 2; circle++) {
                for (int k = 0; k < 2; k++, n++) {
                    stack_ptr sd = makers[(n + code) % 4](rng, w);
                    warp_case c;
                    c.src_rect = random_rect(rng, w, h);
                    c.pano[0] = w + 2 * int(rng() % 7) + 1;
                    c.pano[1] = h + 2 * int(rng() % 5);
                    c.dest = {-3 + int(rng() % 4), -2, c.pano[0] + 5, c.pano[1] + 3};
                    c.stack = sd.get();
                    c.circle = circle;
                    c.code = code;
                    SCOPED_TRACE(testing::Message() << "code " << code << " format " << fmt << " circle "
                                                    << circle << " stack " << (n + code) % 4);
                    EXPECT_TRUE(
                        same_rows(warp_rows(src.li, c), reference_rows(src.li, c, classes), c.dest.width));
                }
            }
        }
        EXPECT_GT(classes[0], 300) << code;
        EXPECT_GT(classes[1], 100) << code;
        EXPECT_GT(classes[2], 1000) << code;
    }
}

// The identity: a rectilinear panorama of the image's own size and field of
// view gives the image back, with the alpha of the distance to its edge.
TEST(Warper, IdentityWarpReturnsTheSource)
{
    const int w = 67, h = 45;
    source src(w, h, uchar_RGBA);
    src.randomize(9, 0);
    int wrap = 0;
    stack_ptr sd(parser_create_stack_data("p f0 w67 h45 v50", "o f0 v50", nullptr, w, &wrap));
    const float cx = w * 0.5f - 0.5f, scale = 256.0f / cx;
    for (int code = 0; code < INTERP_COUNT; code++) {
        std::vector<float> out = warp_rows(src.li, same_size(src.li, sd.get(), code));
        const unsigned char *p = static_cast<const unsigned char *>(src.li.buffer);
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                const float *o = &out[4 * (static_cast<size_t>(y) * w + x)];
                const unsigned char *s = p + 4 * (static_cast<size_t>(y) * w + x);
                for (int ch = 0; ch < 3; ch++)
                    ASSERT_NEAR(o[ch], s[ch], 2e-3) << "code " << code << " at " << x << "," << y;
                float edge = std::min(std::min(x, w - 1 - x), std::min(y, h - 1 - y));
                ASSERT_NEAR(o[3], edge * scale, 1e-3 * scale) << "code " << code << " at " << x << "," << y;
            }
        }
    }
}

} // namespace
