// Destination rectangles of images placed by their stacks, and the overlap
// tiles between them.
#include "stitcher/driver/dest_rectangles.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "tests/geometry/stack_testutil.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace stacktest;

namespace
{

std::string str(const irectangle &r)
{
    return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height);
}

// Images of one panorama from their o-lines, placed with a mode.
struct job {
    std::string pline;
    int32_t size[2];
    std::vector<image_desc> images;
    ~job()
    {
        for (auto &d : images)
            free_image_desc(&d);
    }
    void add(const char *oline, int width, int height)
    {
        image_desc d{};
        d.width = width, d.height = height, d.src_rect = {0, 0, width, height}, d.wrap_shift = 1;
        d.stack = parser_create_stack_data(pline.c_str(), oline, nullptr, width, &d.wrap_shift);
        d.o_line = sdup(oline);
        images.push_back(d);
    }
    void place(int mode)
    {
        irectangle window = {0, 0, size[0], size[1]};
        create_destination_rectangles(images.data(), int(images.size()), size, &window, 4, mode);
    }
};

TEST(DestRectangles, Rounding)
{
    const std::pair<frectangle, std::string> cases[] = {
        {{-3.5f, 2.5f, -0.5f, 0.5f}, "-4,-1,8,3"},
        {{1e10f, -1e10f, 1e10f, -1e10f}, "268435456,268435456,-536870911,-536870911"},
        {{-1e21f, 1e21f, -INFINITY, INFINITY}, "-268435456,-268435456,536870913,536870913"},
        {{NAN, 4.0f, NAN, NAN}, "0,0,5,1"},
    };
    for (const auto &[f, expected] : cases) {
        irectangle r;
        EXPECT_EQ(frectangle_to_irectangle(&f, &r), r.height);
        EXPECT_EQ(str(r), expected);
    }
}

// fmaxmin widens a to hold b and no more, the same either way round.
TEST(DestRectangles, WideningHoldsBoth)
{
    const frectangle a = {-2.5f, 4.0f, 1.0f, 3.0f}; // xmin, xmax, ymin, ymax
    const std::pair<frectangle, std::vector<float>> cases[] = {
        {{-1.0f, 3.0f, 1.5f, 2.0f}, {-2.5f, 4.0f, 1.0f, 3.0f}},             // inside
        {{-9.0f, 1e21f, -INFINITY, 2.0f}, {-9.0f, 1e21f, -INFINITY, 3.0f}}, // apart, unbounded
    };
    for (const auto &[b, expected] : cases) {
        frectangle ab = a, ba = b;
        fmaxmin(&ab, &b);
        fmaxmin(&ba, &a);
        for (const frectangle &r : {ab, ba})
            EXPECT_EQ(std::vector<float>({r.xmin, r.xmax, r.ymin, r.ymax}), expected);
    }
}

// Tiles ("image>partner:rect") of images placed at rects: 2 x 2 and 4 x 1
// pixels are no tile, 5 x 1 is one; across the seam only with a wrap: by
// partner, then unshifted, moved right, moved left; areas past 2^31 pixels.
TEST(DestRectangles, OverlapTiles)
{
    const std::tuple<std::vector<irectangle>, int, std::vector<std::string>> cases[] = {
        {{{0, 0, 10, 10}, {8, 8, 10, 10}, {0, 9, 5, 10}, {9, 0, 10, 2}}, 0, {"0>2:0,9,5,1"}},
        {{{950, 0, 100, 100}, {0, 0, 60, 100}}, 0, {}},
        {{{0, 0, 1000, 10}, {900, 0, 200, 10}, {-50, 0, 1100, 10}},
         1000,
         {"0>1:900,0,100,10", "0>1:0,0,100,10", "0>2:0,0,1000,10", "0>2:950,0,50,10", "0>2:0,0,50,10",
          "1>2:0,0,150,10", "1>2:50,0,150,10"}},
        {{{0, 0, 70000, 35000}, {10, 0, 70000, 35000}}, 0, {"0>1:10,0,69990,35000"}},
    };
    for (const auto &[rects, wrap, expected] : cases) {
        std::vector<image_desc> images(rects.size());
        for (size_t i = 0; i < rects.size(); i++)
            set_dest_image(&images[i], int(i), 4, rects[i]);
        create_overlap_rectangles(images.data(), int(images.size()), wrap);
        std::vector<std::string> out;
        for (auto &d : images) {
            for (int t = 0; t < d.ntiles; t++)
                out.push_back(std::to_string(d.index) + ">" + std::to_string(d.tile_partner[t]) + ":" +
                              str(d.tile_rects[t]));
            free_image_desc(&d);
        }
        EXPECT_EQ(out, expected) << wrap;
    }
}

TEST(DestRectangles, ModeZeroScansEveryPixelWhenTheBorderFallsShort)
{
    // In a cylindrical panorama the zenith lies at infinity: only the inside
    // of a zenith photo reaches the top of the window.
    job j{"p f1 w1000 h500 v360", {1000, 500}, {}};
    j.add("o f0 v90 p90", 100, 100);
    j.place(1);
    irectangle frame = j.images[0].dest_rect;
    j.place(0);
    EXPECT_GT(frame.y, 50);
    EXPECT_EQ(str(j.images[0].dest_rect), str({frame.x, 0, frame.width, frame.y + frame.height}));
}

// Over 70,000 x 35,000 (past 2^31 pixels) an image that covers more than
// 95 % of the window gets the whole window. Elsewhere the rule changes no
// output pixel, only the work.
TEST(DestRectangles, NinetyFivePercentIsTheWindow)
{
    job huge{"p f2 w70000 h35000", {70000, 35000}, {}};
    huge.images.push_back(image_desc{});
    image_desc &d = huge.images[0];
    d.width = d.height = 1000, d.src_rect = {0, 0, 1000, 1000};
    d.stack = make_stack({{_scale, {1 / 68.6, 1 / 34.3}}}).release();
    huge.place(1);
    EXPECT_EQ(str(d.dest_rect), "0,0,70000,35000");
}

} // namespace
