#include "stitcher/geometry/query_sse.h"

#include <emmintrin.h>

// The smallest and largest of the four lanes.
static float lane_min(__m128 v)
{
    alignas(16) float f[4];
    _mm_store_ps(f, v);
    float m = f[0];
    for (int l = 1; l < 4; l++)
        m = f[l] < m ? f[l] : m;
    return m;
}

static float lane_max(__m128 v)
{
    alignas(16) float f[4];
    _mm_store_ps(f, v);
    float m = f[0];
    for (int l = 1; l < 4; l++)
        m = f[l] > m ? f[l] : m;
    return m;
}

frectangle *sse_query_rect(const rect_query *q, int columns, int rows, frectangle *out, int border_only)
{
    __m128 xmin = _mm_set1_ps(1e10f), ymin = xmin;
    __m128 xmax = _mm_set1_ps(-1e10f), ymax = xmax;
    const __m128 src_cx = _mm_load_ps(q->src_cx), src_cy = _mm_load_ps(q->src_cy);
    const __m128 dst_cx = _mm_load_ps(q->dst_cx), dst_cy = _mm_load_ps(q->dst_cy);
    const __m128 steps = _mm_set_ps(3, 2, 1, 0);
    const int last_group = columns > 0 ? (columns - 1) / 4 * 4 : 0;

    for (int r = 0; r < rows; r++) {
        const __m128 yin =
            _mm_sub_ps(_mm_set1_ps(static_cast<float>(static_cast<int64_t>(q->y) + r)), src_cy);
        const bool full_row = !border_only || r == 0 || r == rows - 1;
        for (int c = 0; c < columns; c += 4) {
            if (!full_row && c != 0 && c != last_group)
                c = last_group;
            alignas(16) float xs[4], ys[4];
            __m128 x0 = _mm_sub_ps(_mm_set1_ps(static_cast<float>(static_cast<int64_t>(q->x) + c)), src_cx);
            _mm_store_ps(xs, _mm_add_ps(x0, steps));
            _mm_store_ps(ys, yin);
            remap(xs, ys, q->stack);
            __m128 x = _mm_add_ps(_mm_load_ps(xs), dst_cx);
            __m128 y = _mm_add_ps(_mm_load_ps(ys), dst_cy);
            // The bound is the second operand: a not-a-number point leaves it alone.
            xmin = _mm_min_ps(x, xmin);
            xmax = _mm_max_ps(x, xmax);
            ymin = _mm_min_ps(y, ymin);
            ymax = _mm_max_ps(y, ymax);
        }
    }
    out->xmin = lane_min(xmin);
    out->xmax = lane_max(xmax);
    out->ymin = lane_min(ymin);
    out->ymax = lane_max(ymax);
    return out;
}
