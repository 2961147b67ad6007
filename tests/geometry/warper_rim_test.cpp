// Circular fisheyes at their rim: the loader's circle and the warper's
// interior test agree, so that a flat image stays flat wherever the full
// kernel is used, and no point half a pixel inside the rim loses its alpha.
#include "chain_testing.h"
#include "tests/geometry/warp_testing.h"

#include "stitcher/pipeline/imagepipe.h"
#include "stitcher/pipeline/memory.h"

#include <cmath>

using namespace stacktest;
using namespace warptest;

namespace
{

const float flat = 173.0f;

// A flat uchar_RGB image decoded as the loader decodes a circular fisheye:
// the crop window, then the circle.
struct flat_fisheye {
    loaded_image li{};
    flat_fisheye(int w, int h)
    {
        mem_image m(w, h, uchar_RGB);
        memset(m.pixels.data(), static_cast<int>(flat), m.pixels.size());
        image_reader *ir = select_circle(read_cut_rectangle(mem_reader(&m), {0, 0, w, h}));
        li.kind = 1;
        get_image_buffer(ir, &li);
        close_image_reader(ir);
    }
    ~flat_fisheye() { aligned_free(li.buffer); }
};

// Square; landscape, whose circle is cut by the top and bottom rows; portrait.
TEST(WarperRim, FlatFisheyeStaysFlatAndCovered)
{
    std::mt19937 rng(22);
    std::uniform_real_distribution<double> u(-1, 1);
    for (auto [w, h] : {std::pair{200, 200}, {201, 161}, {160, 203}}) {
        flat_fisheye f(w, h);
        // Turned and scaled about its centre, which brings every angle of the
        // rim at every sub-pixel phase.
        for (int n = 0; n < 3; n++)
            for (int code : {INTERP_POLY3, INTERP_SPLINE36}) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << " stack " << n << " code " << code);
                const double a = u(rng) * 3.2, scale = 1 + 0.1 * u(rng);
                stack_ptr sd =
                    make_stack({{_shift_scale_rotate, {u(rng), u(rng), scale, std::cos(a), std::sin(a)}}});
                warp_case c = same_size(f.li, sd.get(), code);
                c.circle = 1;
                std::vector<float> out = warp_rows(f.li, c);
                rref::setup s = rref::make_setup(&f.li, c.src_rect, true, code);
                size_t i = 0;
                int strays = 0;
                for_each_source_point(c, [&](float X, float Y) {
                    const float *px = &out[4 * i++], ed = rref::edge_distance(s, X, Y);
                    const bool interior = rref::interior(s, X, Y);
                    // The full kernel gives the flat value, one pixel the flat
                    // value or the cleared 0: anything between summed a cleared
                    // pixel.
                    for (int ch = 0; ch < 3; ch++)
                        ASSERT_NEAR(px[ch], interior || px[ch] != 0.0f ? flat : 0.0f, 1e-3)
                            << "at " << X + s.cx << "," << Y + s.cy;
                    ASSERT_TRUE(ed < 0.5f || px[3] > 0.0f) << "at " << X + s.cx << "," << Y + s.cy;
                    strays += !interior && ed >= interpolator_taps(code) / 2;
                });
                // The rim was reached, where the edge distance alone would
                // have used the full kernel.
                EXPECT_GE(strays, 10);
            }
    }
}

} // namespace
