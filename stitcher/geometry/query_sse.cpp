#include "stitcher/geometry/query_sse.h"

#include "stitcher/pipeline/pixel_pool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <vector>

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

namespace
{

struct bounds {
    __m128 xmin = _mm_set1_ps(1e10f), xmax = _mm_set1_ps(-1e10f);
    __m128 ymin = _mm_set1_ps(1e10f), ymax = _mm_set1_ps(-1e10f);
};

// Rows r0 .. r1 - 1 of the query into b; rows is the query's row count, for
// the border scan.
void query_rows(const rect_query *q, int columns, int rows, int r0, int r1, int border_only, bounds *b)
{
    const __m128 src_cx = _mm_load_ps(q->src_cx), src_cy = _mm_load_ps(q->src_cy);
    const __m128 dst_cx = _mm_load_ps(q->dst_cx), dst_cy = _mm_load_ps(q->dst_cy);
    const __m128 steps = _mm_set_ps(3, 2, 1, 0);
    const int last_group = columns > 0 ? (columns - 1) / 4 * 4 : 0;
    __m128 xmin = b->xmin, xmax = b->xmax, ymin = b->ymin, ymax = b->ymax;
    for (int r = r0; r < r1; r++) {
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
    *b = {xmin, xmax, ymin, ymax};
}

struct band {
    const rect_query *q;
    int columns, rows, r0, r1, border_only;
    bounds b;
};

void query_band(void *arg, int i)
{
    band *w = static_cast<band *>(arg) + i;
    query_rows(w->q, w->columns, w->rows, w->r0, w->r1, w->border_only, &w->b);
}

} // namespace

frectangle *sse_query_rect(const rect_query *q, int columns, int rows, frectangle *out, int border_only)
{
    return sse_query_rect_threads(q, columns, rows, out, border_only, 1);
}

frectangle *sse_query_rect_threads(const rect_query *q, int columns, int rows, frectangle *out,
                                   int border_only, int threads)
{
    // Bands of rows on the pixel pool, a few per thread, joined by minimum
    // and maximum: the same box for any number of bands, since no
    // not-a-number ever enters a bound. A band of fewer points than
    // band_points costs more to hand over than to compute.
    const int64_t band_points = 16384;
    const int64_t most = std::min<int64_t>(rows, int64_t(columns) * rows / band_points);
    const int n =
        static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads > 1 ? 4 * threads : 1, most)));
    std::vector<band> bands(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        bands[static_cast<size_t>(i)] = {
            q, columns, rows, int(int64_t(rows) * i / n), int(int64_t(rows) * (i + 1) / n), border_only, {}};
    pool_run(n, query_band, bands.data());
    bounds all;
    for (const band &w : bands) {
        all.xmin = _mm_min_ps(w.b.xmin, all.xmin);
        all.xmax = _mm_max_ps(w.b.xmax, all.xmax);
        all.ymin = _mm_min_ps(w.b.ymin, all.ymin);
        all.ymax = _mm_max_ps(w.b.ymax, all.ymax);
    }
    out->xmin = lane_min(all.xmin);
    out->xmax = lane_max(all.xmax);
    out->ymin = lane_min(all.ymin);
    out->ymax = lane_max(all.ymax);
    return out;
}

void sse_forward(const rect_query *q, const unsigned char *src, int64_t stride, unsigned char *dst)
{
    const __m128 src_cx = _mm_load_ps(q->src_cx), src_cy = _mm_load_ps(q->src_cy);
    const __m128 dst_cx = _mm_load_ps(q->dst_cx), dst_cy = _mm_load_ps(q->dst_cy);
    const __m128 steps = _mm_set_ps(3, 2, 1, 0);
    const int64_t x0 = q->x, x1 = x0 + q->width;
    for (int64_t row = q->y; row < int64_t(q->y) + q->height; row++) {
        const __m128 yin = _mm_sub_ps(_mm_set1_ps(static_cast<float>(row)), src_cy);
        for (int64_t c = x0; c < x1; c += 4) {
            alignas(16) float xs[4], ys[4];
            _mm_store_ps(xs, _mm_add_ps(_mm_sub_ps(_mm_set1_ps(static_cast<float>(c)), src_cx), steps));
            _mm_store_ps(ys, yin);
            remap(xs, ys, q->stack);
            _mm_store_ps(xs, _mm_add_ps(_mm_load_ps(xs), dst_cx));
            _mm_store_ps(ys, _mm_add_ps(_mm_load_ps(ys), dst_cy));
            // Lanes past the rectangle's right edge would read past the
            // source row.
            for (int l = 0; l < 4 && c + l < x1; l++) {
                // Compared before the conversion: not-a-number and huge
                // values never reach an integer.
                const double dx = std::round(xs[l]), dy = std::round(ys[l]);
                if (!(dx >= 0 && dx < q->dst_width && dy >= 0 && dy < q->dst_height))
                    continue;
                const int64_t at = (static_cast<int64_t>(dy) * q->dst_width + static_cast<int64_t>(dx)) * 3;
                memcpy(dst + at, src + row * stride + (c + l) * 4, 3);
            }
        }
    }
}
