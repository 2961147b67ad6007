// Queries of the destination rectangle shared by the query tests.
#pragma once
#include "stack_testutil.h"
#include "stitcher/geometry/query_sse.h"
#include "stitcher/pipeline/memory.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace querytest
{
using namespace stacktest;

struct query_deleter {
    void operator()(void *p) const { aligned_free(p); }
};
using query_ptr = std::unique_ptr<rect_query, query_deleter>;

inline void fill4(float *v, float value)
{
    for (int l = 0; l < 4; l++)
        v[l] = value;
}

inline query_ptr make_query(const stack_data *sd, int x, int y, int width, int height, float src_cx,
                            float src_cy, float dst_cx, float dst_cy)
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

inline query_ptr make_query(const std::vector<step_def> &steps, int width, int height, float src_cx,
                            float src_cy, float dst_cx = 0, float dst_cy = 0)
{
    return make_query(make_stack(steps).get(), 0, 0, width, height, src_cx, src_cy, dst_cx, dst_cy);
}

inline frectangle query(const rect_query *q, int border_only)
{
    frectangle r{};
    EXPECT_EQ(sse_query_rect(q, q->width, q->height, &r, border_only), &r);
    return r;
}

inline void expect_rect(const frectangle &r, float xmin, float xmax, float ymin, float ymax)
{
    EXPECT_EQ(r.xmin, xmin);
    EXPECT_EQ(r.xmax, xmax);
    EXPECT_EQ(r.ymin, ymin);
    EXPECT_EQ(r.ymax, ymax);
}

} // namespace querytest
