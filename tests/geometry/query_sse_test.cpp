// The destination-rectangle query.
#include "stack_testutil.h"
#include "stitcher/geometry/query_sse.h"
#include "stitcher/pipeline/memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace stacktest;

namespace
{

struct query_deleter {
    void operator()(void *p) const { aligned_free(p); }
};
using query_ptr = std::unique_ptr<rect_query, query_deleter>;

void fill4(float *v, float value)
{
    for (int l = 0; l < 4; l++)
        v[l] = value;
}

query_ptr make_query(const stack_data *sd, int x, int y, int width, int height, float src_cx, float src_cy,
                     float dst_cx, float dst_cy)
{
    query_ptr q(static_cast<rect_query *>(aligned_malloc(sizeof(rect_query))));
    fill4(q->src_cx, src_cx);
    fill4(q->src_cy, src_cy);
    fill4(q->dst_cx, dst_cx);
    fill4(q->dst_cy, dst_cy);
    q->x = x;
    q->y = y;
    q->width = width;
    q->height = height;
    q->dst_x = q->dst_y = q->dst_width = q->dst_height = 0;
    vector_remapper(sd, q->stack);
    return q;
}

query_ptr make_query(const std::vector<step_def> &steps, int width, int height, float src_cx, float src_cy,
                     float dst_cx = 0, float dst_cy = 0)
{
    return make_query(make_stack(steps).get(), 0, 0, width, height, src_cx, src_cy, dst_cx, dst_cy);
}

frectangle query(const rect_query *q, int border_only)
{
    frectangle r{};
    EXPECT_EQ(sse_query_rect(q, q->width, q->height, &r, border_only), &r);
    return r;
}

void expect_rect(const frectangle &r, float xmin, float xmax, float ymin, float ymax)
{
    EXPECT_EQ(r.xmin, xmin);
    EXPECT_EQ(r.xmax, xmax);
    EXPECT_EQ(r.ymin, ymin);
    EXPECT_EQ(r.ymax, ymax);
}

TEST(Query, NothingMapped)
{
    // A validity radius below 0: every point is not-a-number.
    auto q = make_query({{_inv_radial, {1, 0, 0, 0, 0, 1, -1}}}, 9, 5, 4, 2);
    expect_rect(query(q.get(), 0), 1e10f, -1e10f, 1e10f, -1e10f);
    expect_rect(query(q.get(), 1), 1e10f, -1e10f, 1e10f, -1e10f);
    // No rows or no columns.
    auto id = make_query({}, 9, 5, 0, 0);
    frectangle r;
    sse_query_rect(id.get(), 0, 5, &r, 0);
    expect_rect(r, 1e10f, -1e10f, 1e10f, -1e10f);
    sse_query_rect(id.get(), 9, -1, &r, 1);
    expect_rect(r, 1e10f, -1e10f, 1e10f, -1e10f);
}

TEST(Query, IdentityAndSlackColumns)
{
    // Centres equal on both sides: a pixel maps onto itself. Five columns
    // map 0 to 7: the last group of four reaches three past the edge.
    auto q = make_query({}, 5, 3, 2, 1, 2, 1);
    q->x = 10;
    q->y = 20;
    expect_rect(query(q.get(), 0), 10, 17, 20, 22);
    expect_rect(query(q.get(), 1), 10, 17, 20, 22);
    // Another destination centre moves the box.
    fill4(q->dst_cx, 102);
    fill4(q->dst_cy, -9);
    expect_rect(query(q.get(), 0), 110, 117, 10, 12);
}

TEST(Query, BorderOnlyRows)
{
    // Only the points within 2 (in x) of the centre and on its row are
    // mapped (the y scale of 10 puts the other rows far out); the rest are
    // not-a-number. 12 x 3 with the centre at column 5.5 of row 1: those
    // are columns 4 to 7 of row 1, the group the border scan leaves out.
    std::vector<step_def> steps = {{_scale, {1, 10}}, {_inv_radial, {1, 0, 0, 0, 0, 1, 2}}};
    auto q12 = make_query(steps, 12, 3, 5.5f, 1, 5.5f, 1);
    expect_rect(query(q12.get(), 0), 4, 7, 1, 1);
    expect_rect(query(q12.get(), 1), 1e10f, -1e10f, 1e10f, -1e10f);
    // 8 x 3: row 1 maps both of its groups, so all of it.
    std::vector<step_def> row = {{_scale, {1, 10}}, {_inv_radial, {1, 0, 0, 0, 0, 1, 4}}};
    auto q8 = make_query(row, 8, 3, 3.5f, 1, 3.5f, 1);
    expect_rect(query(q8.get(), 0), 0, 7, 1, 1);
    expect_rect(query(q8.get(), 1), 0, 7, 1, 1);
    // 12 x 3 with all of row 1 valid: the border scan sees columns 0-3 and 8-11.
    auto q12b = make_query(row, 12, 3, 5.5f, 1, 5.5f, 1);
    expect_rect(query(q12b.get(), 0), 2, 9, 1, 1);
    expect_rect(query(q12b.get(), 1), 2, 9, 1, 1);
    std::vector<step_def> narrow = {{_scale, {1, 10}}, {_inv_radial, {1, 0, 0, 0, 0, 1, 2.6}}};
    auto q12c = make_query(narrow, 12, 3, 5.5f, 1, 5.5f, 1);
    expect_rect(query(q12c.get(), 0), 3, 8, 1, 1);
    expect_rect(query(q12c.get(), 1), 3, 8, 1, 1);
}

TEST(Query, BandsOfRowsGiveTheSameBox)
{
    // Points off the validity radius are not-a-number, so each band sees
    // another part of the disc; fewer rows than threads leave threads out.
    // Wide enough for bands of the least number of points.
    auto q =
        make_query({{_shift_scale_rotate, {2, -1, 1.5, 0.8, 0.6}}, {_inv_radial, {1, 0, 0.1, 0, 0, 30, 40}}},
                   4001, 77, 2000, 38, 7, -3);
    for (int rows : {1, 2, 7, 77})
        for (int border : {0, 1}) {
            frectangle one, many;
            sse_query_rect(q.get(), q->width, rows, &one, border);
            EXPECT_LT(one.xmin, one.xmax);
            for (int threads : {2, 3, 8, 100}) {
                sse_query_rect_threads(q.get(), q->width, rows, &many, border, threads);
                expect_rect(many, one.xmin, one.xmax, one.ymin, one.ymax);
            }
        }
}

TEST(Query, UnmappedPointsCount)
{
    // A validity radius below 0 sends every point to 1.0e21.
    auto q = make_query({{_radial, {1, 0, 0, 0, 0, 1, -1}}}, 4, 2, 1.5f, 0.5f, 1000, 500);
    frectangle r = query(q.get(), 0);
    EXPECT_EQ(r.xmax, 1.0e21f + 1000);
    EXPECT_EQ(r.ymax, 1.0e21f + 500);
    EXPECT_EQ(r.xmin, 1e10f); // never below the start
}

// A source of 5 x 3 pixels, each "<row letter><column digit>#" and a fourth
// byte never copied; the destination as those pairs, ".." where no point
// landed, rows split by '|'.
TEST(Query, ForwardSplatting)
{
    const struct {
        std::vector<step_def> steps;
        int x, y, width, height;
        float cx; // both centres, in x
        int dst_width, dst_height;
        std::string expected;
    } cases[] = {
        {{}, 0, 0, 5, 1, 0, 8, 1, "a0a1a2a3a4......"}, // the lanes past column 4 copy nothing
        {{}, 2, 1, 3, 2, 0, 6, 3, "............|....b2b3b4..|....c2c3c4.."},
        {{{_shift, {0.5, 0}}}, 0, 0, 5, 1, 0, 7, 1, "..a0a1a2a3a4.."}, // halves away from zero
        {{{_shift, {-0.5, 0}}}, 0, 0, 5, 1, 0, 7, 1, "..a1a2a3a4...."},
        {{{_shift, {3, 0}}}, 0, 0, 5, 1, 0, 6, 1, "......a0a1a2"},
        {{{_scale, {0.5, 1}}}, 0, 0, 5, 1, 0, 4, 1, "a0a2a4.."}, // the later point stays
        {{{_scale, {-1, 1}}}, 0, 0, 5, 1, 2, 5, 1, "a4a3a2a1a0"},
        {{{_inv_radial, {1, 0, 0, 0, 0, 1, -1}}}, 0, 0, 5, 3, 2, 3, 1, "......"}, // not-a-number
        {{{_radial, {1, 0, 0, 0, 0, 1, -1}}}, 0, 0, 5, 3, 2, 3, 1, "......"},     // 1.0e21
    };
    std::vector<unsigned char> src; // exactly 5 x 3: a read past it is caught
    for (unsigned char y = 'a'; y < 'd'; y++)
        for (unsigned char x = '0'; x < '5'; x++)
            src.insert(src.end(), {y, x, '#', 0});
    for (const auto &t : cases) {
        auto q = make_query(make_stack(t.steps).get(), t.x, t.y, t.width, t.height, t.cx, 0, t.cx, 0);
        q->dst_width = t.dst_width;
        q->dst_height = t.dst_height;
        std::vector<unsigned char> dst(static_cast<size_t>(t.dst_width * t.dst_height * 3), '.');
        sse_forward(q.get(), src.data(), 20, dst.data());
        std::string got;
        for (size_t i = 0; i < dst.size(); i += 3) {
            got += std::string(i > 0 && i % (3 * size_t(t.dst_width)) == 0, '|') + char(dst[i]) +
                   char(dst[i + 1]);
            EXPECT_EQ(dst[i + 2], dst[i] == '.' ? '.' : '#') << t.expected;
        }
        EXPECT_EQ(got, t.expected);
    }
}

} // namespace
