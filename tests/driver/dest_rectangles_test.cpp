// Destination rectangles of images placed by their stacks, and the overlap
// tiles between them.
#include "stitcher/driver/dest_rectangles.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "tests/geometry/stack_testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace stacktest;

namespace
{

std::string str(const irectangle &r)
{
    return std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
           std::to_string(r.height);
}

// Images of a panorama, placed by a p-line and their o-lines; freed at the end.
struct job {
    std::string pline;
    int32_t size[2];
    std::vector<image_desc> images;

    job(const std::string &p, int w, int h) : pline(p), size{w, h} {}
    ~job()
    {
        for (auto &d : images)
            free_image_desc(&d);
    }
    image_desc &add(const char *oline, int width, int height, int wrap = 1)
    {
        image_desc d{};
        d.width = width;
        d.height = height;
        d.src_rect = {0, 0, width, height};
        d.wrap_shift = wrap;
        d.stack = parser_create_stack_data(pline.c_str(), oline, nullptr, width, &d.wrap_shift);
        d.o_line = sdup(oline);
        images.push_back(d);
        return images.back();
    }
    irectangle whole() const { return {0, 0, size[0], size[1]}; }
    std::string place(int mode, irectangle window)
    {
        ::testing::internal::CaptureStderr();
        create_destination_rectangles(images.data(), static_cast<int>(images.size()), size, &window, 4, mode);
        return ::testing::internal::GetCapturedStderr();
    }
    void place(int mode) { place(mode, whole()); }
};

// Every panorama pixel whose stack lands inside the pixel-centre region of
// the image's usable rectangle, found by brute force. The stack is built
// for the image turned back by its wrap shift: the pixels are moved by it.
struct coverage {
    std::vector<std::pair<int, int>> pixels;
};
coverage covered_pixels(const image_desc &d, const int32_t size[2])
{
    auto vs = to_vector(d.stack);
    coverage c;
    const float cx = size[0] * 0.5f - 0.5f, cy = size[1] * 0.5f - 0.5f;
    const irectangle &s = d.src_rect;
    for (int y = 0; y < size[1]; y++)
        for (int x = 0; x < size[0]; x += 4) {
            alignas(16) float px[4], py[4];
            for (int k = 0; k < 4; k++) {
                px[k] = x + k - cx;
                py[k] = y - cy;
            }
            remap(px, py, vs->slots);
            for (int k = 0; k < 4 && x + k < size[0]; k++) {
                float sx = px[k] + (d.width * 0.5f - 0.5f), sy = py[k] + (d.height * 0.5f - 0.5f);
                if (sx >= s.x && sx <= s.x + s.width - 1 && sy >= s.y && sy <= s.y + s.height - 1)
                    c.pixels.push_back({x + k + d.wrap_shift, y});
            }
        }
    return c;
}

// A covered pixel lies in the rectangle, across the wrap seam too.
bool inside(const irectangle &r, int x, int y, int wrap)
{
    if (y < r.y || y >= r.y + r.height)
        return false;
    int dx = x - r.x;
    if (wrap)
        dx = ((dx % wrap) + wrap) % wrap;
    return dx >= 0 && dx < r.width;
}

void expect_covers(const image_desc &d, const int32_t size[2], int wrap)
{
    coverage c = covered_pixels(d, size);
    ASSERT_FALSE(c.pixels.empty());
    int missed = 0;
    for (auto [x, y] : c.pixels)
        missed += !inside(d.dest_rect, x, y, wrap);
    EXPECT_EQ(missed, 0) << str(d.dest_rect);
}

TEST(Rounding, HalvesAwayFromZeroAndClamped)
{
    const struct {
        frectangle f;
        irectangle r;
    } cases[] = {
        {{-3.5f, 2.5f, -0.5f, 0.5f}, {-4, -1, 8, 3}},
        {{2.5f, 2.49f, 10.2f, 9.7f}, {3, 10, 0, 1}},
        {{1e10f, -1e10f, 1e10f, -1e10f}, {268435456, 268435456, -536870911, -536870911}},
        {{-1e21f, 1e21f, -INFINITY, INFINITY}, {-268435456, -268435456, 536870913, 536870913}},
        {{NAN, 4.0f, NAN, NAN}, {0, 0, 5, 1}},
    };
    for (const auto &c : cases) {
        irectangle r;
        EXPECT_EQ(frectangle_to_irectangle(&c.f, &r), c.r.height);
        EXPECT_EQ(str(r), str(c.r));
    }
}

TEST(Rounding, FmaxminWidens)
{
    frectangle a = {0, 10, 5, 6}, b = {-2, 3, 1, 9};
    fmaxmin(&a, &b);
    EXPECT_EQ(a.xmin, -2);
    EXPECT_EQ(a.xmax, 10);
    EXPECT_EQ(a.ymin, 1);
    EXPECT_EQ(a.ymax, 9);
    frectangle inner = {1, 2, 3, 4}, copy = a;
    fmaxmin(&a, &inner);
    EXPECT_EQ(std::vector<float>({a.xmin, a.xmax, a.ymin, a.ymax}),
              std::vector<float>({copy.xmin, copy.xmax, copy.ymin, copy.ymax}));
}

TEST(DestImage, SetAndTiles)
{
    image_desc d{};
    d.fd = 7;
    set_dest_image(&d, 3, 6, {100, 50, 300, 200});
    EXPECT_EQ(d.index, 3);
    EXPECT_EQ(d.pixformat, 6);
    EXPECT_EQ(d.fd, -1);
    EXPECT_EQ(d.ntiles, 0);
    irectangle t1 = {150, 60, 10, 10}, t2 = {90, 40, 5, 5};
    EXPECT_EQ(add_tile(&t1, 5, &d), 0);
    EXPECT_EQ(add_tile(&t2, 4, &d), 0);
    ASSERT_EQ(d.ntiles, 2);
    EXPECT_EQ(str(d.tile_rects[0]), "50,10,10,10");
    EXPECT_EQ(str(d.tile_rects[1]), "-10,-10,5,5");
    EXPECT_EQ(std::vector<int>(d.tile_ids, d.tile_ids + 2), std::vector<int>({-1, -1}));
    EXPECT_EQ(std::vector<int>(d.tile_partner, d.tile_partner + 2), std::vector<int>({5, 4}));
    free_image_desc(&d);
}

// Tiles of image i as "partner:rect" in their order.
std::vector<std::string> tiles(const image_desc &d)
{
    std::vector<std::string> out;
    for (int t = 0; t < d.ntiles; t++)
        out.push_back(std::to_string(d.tile_partner[t]) + ":" + str(d.tile_rects[t]));
    return out;
}

std::vector<image_desc> placed(const std::vector<irectangle> &rects)
{
    std::vector<image_desc> images(rects.size());
    for (size_t i = 0; i < rects.size(); i++) {
        images[i] = image_desc{};
        set_dest_image(&images[i], static_cast<int>(i), 4, rects[i]);
    }
    return images;
}

void free_all(std::vector<image_desc> &images)
{
    for (auto &d : images)
        free_image_desc(&d);
}

TEST(Overlaps, MoreThanFourPixels)
{
    auto images = placed({{0, 0, 10, 10}, {8, 8, 10, 10}, {0, 9, 5, 10}, {9, 0, 10, 2}});
    create_overlap_rectangles(images.data(), 4, 0);
    // 2 x 2 and 4 x 1 are no tile; 5 x 1 is one.
    EXPECT_EQ(tiles(images[0]), std::vector<std::string>({"2:0,9,5,1"}));
    EXPECT_EQ(tiles(images[1]), std::vector<std::string>({}));
    EXPECT_EQ(tiles(images[2]), std::vector<std::string>({}));
    free_all(images);
}

TEST(Overlaps, AcrossTheWrapSeam)
{
    auto images = placed({{950, 0, 100, 100}, {0, 0, 60, 100}});
    create_overlap_rectangles(images.data(), 2, 1000);
    EXPECT_EQ(tiles(images[0]), std::vector<std::string>({"1:50,0,50,100"}));
    EXPECT_EQ(images[1].ntiles, 0);
    free_all(images);
    // Without a wrap length they do not meet.
    images = placed({{950, 0, 100, 100}, {0, 0, 60, 100}});
    create_overlap_rectangles(images.data(), 2, 0);
    EXPECT_EQ(images[0].ntiles, 0);
    free_all(images);
}

TEST(Overlaps, OrderedByPartnerThenShift)
{
    // Image 0 spans the whole width: image 1 meets it unshifted and moved
    // left; image 2 unshifted, moved right and moved left.
    auto images = placed({{0, 0, 1000, 10}, {900, 0, 200, 10}, {-50, 0, 1100, 10}});
    create_overlap_rectangles(images.data(), 3, 1000);
    EXPECT_EQ(tiles(images[0]), std::vector<std::string>({"1:900,0,100,10", "1:0,0,100,10", "2:0,0,1000,10",
                                                          "2:950,0,50,10", "2:0,0,50,10"}));
    EXPECT_EQ(tiles(images[1]), std::vector<std::string>({"2:0,0,150,10", "2:50,0,150,10"}));
    free_all(images);
    create_overlap_rectangles(nullptr, 0, 1000);
}

TEST(Overlaps, HugePanoramaKeepsItsTiles)
{
    // 69,990 x 35,000 pixels: past 2^31, where a 32-bit area turns negative.
    auto images = placed({{0, 0, 70000, 35000}, {10, 0, 70000, 35000}});
    create_overlap_rectangles(images.data(), 2, 0);
    EXPECT_EQ(tiles(images[0]), std::vector<std::string>({"1:10,0,69990,35000"}));
    free_all(images);
}

TEST(Destination, CoversWhatTheStackReaches)
{
    job j("p f2 w800 h400 v360", 800, 400);
    const char *olines[] = {"o f0 v60", "o f0 v50 y40 p20 r10", "o f3 v150 y-60 p-30", "o f0 v70 y170 p5"};
    for (const char *o : olines)
        j.add(o, 120, 90);
    j.place(1);
    for (auto &d : j.images) {
        SCOPED_TRACE(str(d.dest_rect));
        expect_covers(d, j.size, 800);
        // And not much more: within two pixels of the brute-force box of
        // the covered pixels (columns taken from the rectangle's start).
        coverage c = covered_pixels(d, j.size);
        int x0 = INT32_MAX, x1 = INT32_MIN, y0 = INT32_MAX, y1 = INT32_MIN;
        for (auto [x, y] : c.pixels) {
            int ux = d.dest_rect.x + (((x - d.dest_rect.x) % 800) + 800) % 800;
            x0 = std::min(x0, ux), x1 = std::max(x1, ux), y0 = std::min(y0, y), y1 = std::max(y1, y);
        }
        EXPECT_LE(x0 - d.dest_rect.x, 2);
        EXPECT_LE(d.dest_rect.x + d.dest_rect.width - 1 - x1, 2);
        EXPECT_LE(y0 - d.dest_rect.y, 2);
        EXPECT_LE(d.dest_rect.y + d.dest_rect.height - 1 - y1, 2);
    }
    // The wrap shift moves the rectangle of a turned image: it crosses the seam.
    EXPECT_EQ(j.images[3].wrap_shift, 377);
    EXPECT_GT(j.images[3].dest_rect.x + j.images[3].dest_rect.width, 800);
}

TEST(Destination, ZenithAndNadirReachTheirRows)
{
    const struct {
        const char *pline;
        int w, h;
    } panoramas[] = {{"p f2 w400 h200 v360", 400, 200}, {"p f2 w400 h150 v360", 400, 150}};
    for (const auto &p : panoramas) {
        job j(p.pline, p.w, p.h);
        j.add("o f0 v100 p90", 200, 200);
        j.add("o f0 v100 y30 p-90", 200, 150);
        j.add("o f3 v160 y-100 p70", 300, 300);
        j.add("o f0 v40 p40", 100, 100); // up to 62 degrees, in both panoramas
        for (int mode : {0, 1}) {
            j.place(mode);
            for (int i = 0; i < 4; i++) {
                SCOPED_TRACE(std::string(p.pline) + " image " + std::to_string(i) + " mode " +
                             std::to_string(mode));
                expect_covers(j.images[i], j.size, p.w);
            }
            const irectangle &zenith = j.images[0].dest_rect, &nadir = j.images[1].dest_rect;
            EXPECT_EQ(str(zenith), "0,0," + std::to_string(p.w) + "," + std::to_string(zenith.height));
            EXPECT_EQ(nadir.y + nadir.height, p.h);
            EXPECT_EQ(nadir.width, p.w);
            EXPECT_EQ(j.images[2].dest_rect.y, 0);
            EXPECT_LT(j.images[3].dest_rect.width, p.w / 2);
            EXPECT_GT(j.images[3].dest_rect.y, 0);
        }
    }
}

TEST(Destination, ModeZeroScansEveryPixelWhenTheBorderFallsShort)
{
    // In a cylindrical panorama the zenith lies at infinity: only the inside
    // of a zenith photo reaches the top of the window.
    job j("p f1 w1000 h500 v360", 1000, 500);
    j.add("o f0 v90 p90", 100, 100);
    j.place(1);
    irectangle frame = j.images[0].dest_rect;
    j.place(0);
    irectangle all = j.images[0].dest_rect;
    EXPECT_GT(frame.y, 50);
    EXPECT_EQ(all.y, 0);
    EXPECT_EQ(all.y + all.height, frame.y + frame.height);
}

TEST(Destination, NinetyFivePercentBecomesTheWindow)
{
    job j("p f2 w1000 h500 v360", 1000, 500);
    j.add("o f0 v60", 100, 80);
    j.place(1);
    const irectangle r = j.images[0].dest_rect;
    // 96.5 % of a window one image high: the window, and no second query
    // in mode 0 either; 94.5 % stays.
    for (int mode : {0, 1}) {
        irectangle near = {r.x, r.y, r.width, r.height * 1000 / 965};
        j.place(mode, near);
        EXPECT_EQ(str(j.images[0].dest_rect), str(near));
        irectangle far = {r.x, r.y, r.width, r.height * 1000 / 945};
        j.place(mode, far);
        EXPECT_EQ(str(j.images[0].dest_rect), str(r));
    }
}

TEST(Destination, FullWidthImagesLoseTheirWrapShift)
{
    job j("p f2 w400 h200 v360", 400, 200);
    j.add("o f0 v100 y90 p90", 200, 200); // over the zenith
    j.add("o f0 v60 y90", 100, 80);
    j.place(0);
    ASSERT_EQ(j.images[0].wrap_shift, 100);
    ASSERT_EQ(str(j.images[0].dest_rect), "100,0,400,66");
    const irectangle second = j.images[1].dest_rect;
    unshift_full_width(j.images.data(), 2, 400, j.pline.c_str());
    EXPECT_EQ(str(j.images[0].dest_rect), "0,0,400,66");
    EXPECT_EQ(j.images[0].wrap_shift, 0);
    int no_wrap = 0;
    stack_ptr whole_yaw(
        parser_create_stack_data(j.pline.c_str(), "o f0 v100 y90 p90", nullptr, 200, &no_wrap));
    auto rebuilt = steps_of(j.images[0].stack), expected = steps_of(whole_yaw.get());
    ASSERT_EQ(rebuilt.size(), expected.size());
    for (size_t k = 0; k < expected.size(); k++)
        EXPECT_EQ(rebuilt[k].params, expected[k].params);
    expect_covers(j.images[0], j.size, 400);
    // Narrower images keep their shift.
    EXPECT_EQ(str(j.images[1].dest_rect), str(second));
    EXPECT_EQ(j.images[1].wrap_shift, 100);
}

TEST(Destination, HugePanoramaWindow)
{
    // A 1000 x 1000 image scaled onto 95.8 % of a 70,000 x 35,000 window,
    // an area past 2^31.
    job j("p f2 w70000 h35000", 70000, 35000);
    image_desc d{};
    d.width = d.height = 1000;
    d.src_rect = {0, 0, 1000, 1000};
    d.stack = make_stack({{_scale, {1 / 68.6, 1 / 34.3}}}).release();
    j.images.push_back(d);
    j.place(1);
    EXPECT_EQ(str(j.images[0].dest_rect), "0,0,70000,35000");
}

TEST(Destination, ModeTwoCopiesTheWindow)
{
    job j("p f2 w1000 h500 v360", 1000, 500);
    j.add("o f0 v60 y90", 100, 80);
    ASSERT_EQ(j.images[0].wrap_shift, 250);
    std::string err = j.place(2, {0, 20, 1000, 400});
    EXPECT_EQ(str(j.images[0].dest_rect), "0,20,1000,400");
    EXPECT_EQ(j.images[0].index, 0);
    EXPECT_EQ(err, "Rect Image 0 (no forward transformation): x=0 y=20 width=1000 height=400\n");
}

TEST(Destination, RectImageLines)
{
    job j("p f2 w1000 h500 v360", 1000, 500);
    j.add("o f0 v60", 100, 80);
    j.add("o f0 v60 y90", 100, 80);
    std::string err = j.place(1, j.whole());
    const irectangle &a = j.images[0].dest_rect, &b = j.images[1].dest_rect;
    // The second is the first moved by its wrap shift.
    EXPECT_EQ(str(b), std::to_string(a.x + 250) + "," + std::to_string(a.y) + "," + std::to_string(a.width) +
                          "," + std::to_string(a.height));
    EXPECT_EQ(err, "Rect Image 0: x=" + std::to_string(a.x) + " y=" + std::to_string(a.y) +
                       " width=" + std::to_string(a.width) + " height=" + std::to_string(a.height) +
                       "\nRect Image 1: x=" + std::to_string(b.x) + " y=" + std::to_string(b.y) +
                       " width=" + std::to_string(b.width) + " height=" + std::to_string(b.height) + "\n");
    EXPECT_EQ(j.images[1].index, 1);
}

} // namespace
