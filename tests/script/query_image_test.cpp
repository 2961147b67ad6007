// The destination-rectangle query of images placed by script lines.
#include "stitcher/geometry/stack.h"
#include "stitcher/script/parser.h"
#include "tests/geometry/query_testing.h"

#include <cmath>

using namespace querytest;

namespace
{

// The query of an image's inverted stack, as the driver makes it.
query_ptr image_query_for(const char *pline, const char *oline, int width, int height, int pano_w, int pano_h)
{
    // The driver lets the yaw become a wrap shift, which moves the image
    // to the middle of the panorama.
    int wrap = 1;
    stack_data *sd = parser_create_stack_data(pline, oline, nullptr, width, &wrap);
    stack_data *inv = invert_stack(sd);
    auto q = make_query(inv, 0, 0, width, height, width * 0.5f - 0.5f, height * 0.5f - 0.5f,
                        pano_w * 0.5f - 0.5f, pano_h * 0.5f - 0.5f);
    free_stack(inv);
    free_stack(sd);
    return q;
}

TEST(Query, BorderEqualsFullAwayFromThePoles)
{
    const char *pline = "p f2 w4000 h2000 v360";
    const struct {
        const char *oline;
        int w, h;
    } images[] = {
        {"o f0 v60 y30 p20 r10", 1000, 750},
        {"o f0 v90 y-120 p-35 r-5 a0.01 b-0.02 c0.005 d3 e-2", 1001, 667},
        {"o f3 v150 y10 p0 r90 a0.002", 1500, 1000},
        {"o f5 v120 y170 p10 g0.01 t-0.005", 1203, 799},
        {"o f1 v100 y-30 p5", 1200, 400},
    };
    for (const auto &img : images) {
        auto q = image_query_for(pline, img.oline, img.w, img.h, 4000, 2000);
        frectangle full = query(q.get(), 0), border = query(q.get(), 1);
        EXPECT_EQ(full.xmin, border.xmin) << img.oline;
        EXPECT_EQ(full.xmax, border.xmax) << img.oline;
        EXPECT_EQ(full.ymin, border.ymin) << img.oline;
        EXPECT_EQ(full.ymax, border.ymax) << img.oline;
        EXPECT_GT(full.xmax, full.xmin);
        EXPECT_GT(full.ymin, 0);
        EXPECT_LT(full.ymax, 2000);
    }
    // A rectilinear image straight ahead: a column at x pixels from the
    // centre lies at the longitude atan(x / d) all the way down; the top
    // row is highest at its middle.
    auto q = image_query_for(pline, "o f0 v60", 1000, 750, 4000, 2000);
    frectangle r = query(q.get(), 1);
    const double d = 500 / tan(M_PI / 6), px = 4000 / (2 * M_PI);
    EXPECT_NEAR(r.xmin, 1999.5 - px * atan(499.5 / d), 0.01);
    EXPECT_NEAR(r.xmax, 1999.5 + px * atan(499.5 / d), 0.01);
    EXPECT_NEAR(r.ymin, 999.5 - px * atan(374.5 / d), 0.01);
    EXPECT_NEAR(r.ymax, 999.5 + px * atan(374.5 / d), 0.01);
    // 1001 columns: the last group reaches three columns past the edge.
    q = image_query_for(pline, "o f0 v60", 1001, 750, 4000, 2000);
    r = query(q.get(), 1);
    const double d1 = 500.5 / tan(M_PI / 6);
    EXPECT_NEAR(r.xmax, 1999.5 + px * atan((500 + 3) / d1), 0.01);
}

TEST(Query, ThePoleNeedsTheFullScan)
{
    // An image over the zenith: its border misses the pole, where the top
    // of the panorama is reached only from inside the image.
    auto q = image_query_for("p f2 w4000 h2000 v360", "o f0 v90 p90", 1000, 1000, 4000, 2000);
    frectangle full = query(q.get(), 0), border = query(q.get(), 1);
    EXPECT_LT(full.ymin, border.ymin);
    EXPECT_NEAR(full.ymin, 0, 2);
}

} // namespace
