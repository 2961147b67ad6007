// The reducing stage. Output row r of H rows reads the source rows
//
//     r = 0:          0
//     0 < r < H - 1:  2r+2  2r+1  2r  2r-1  2r-2   (fetched highest first)
//     r = H - 1:      2r
//
// and filters each column down those rows once, keeping the last five
// columns while it walks along the row.
#include "stitcher/blend/reduce.h"

#include "stitcher/blend/pyramid.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pixformat.h"

#include <algorithm>

static const float w0 = 0.4f, w1 = 0.25f, w2 = 0.05f;

struct reduce_data {
    image_reader *src;
};

// The vertical filter of column c (in floats), or the single row's sample.
template <class P> static typename P::value down(const float *const rows[5], bool filtered, size_t c)
{
    if (!filtered)
        return P::load(rows[0] + c);
    typename P::value outer = P::add(P::load(rows[0] + c), P::load(rows[4] + c));
    typename P::value inner = P::add(P::load(rows[1] + c), P::load(rows[3] + c));
    return P::add(P::add(P::mul(outer, w2), P::mul(inner, w1)), P::mul(P::load(rows[2] + c), w0));
}

// Output columns k0 .. k1 - 1 of a row of `width`: the first and the last
// are samples (columns 0 and 2 * width - 2), the others filtered along the
// row, each from the five columns around it.
template <class P>
static void reduce_line(const float *const rows[5], bool filtered, float *out, int width, int k0, int k1)
{
    auto column = [&](int c) { return down<P>(rows, filtered, static_cast<size_t>(c) * P::floats); };
    auto store = [&](int k, typename P::value v) { P::store(out + static_cast<size_t>(k) * P::floats, v); };
    if (k0 == 0)
        store(k0++, column(0));
    const int inner_end = std::min(k1, width - 1);
    if (k0 < inner_end) {
        typename P::value v0 = column(2 * k0 - 2), v1 = column(2 * k0 - 1), v2 = column(2 * k0);
        for (int k = k0; k < inner_end; k++) {
            typename P::value v3 = column(2 * k + 1), v4 = column(2 * k + 2);
            typename P::value outer = P::add(v4, v0), inner = P::add(v1, v3);
            store(k, P::add(P::add(P::mul(outer, w2), P::mul(inner, w1)), P::mul(v2, w0)));
            v0 = v2;
            v1 = v3;
            v2 = v4;
        }
    }
    if (k1 == width && width > 1)
        store(width - 1, column(2 * width - 2));
}

static void *reduce_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    if (ir->width == 0)
        return buf;
    image_reader *src = static_cast<reduce_data *>(ir->data)->src;
    const float *rows[5];
    bool filtered = n > 0 && n < ir->height - 1;
    if (filtered) {
        for (int i = 4; i >= 0; i--)
            rows[i] = static_cast<const float *>(read_row(src, 2 * n - 2 + i, nullptr));
    } else {
        rows[0] = static_cast<const float *>(read_row(src, 2 * n, nullptr));
    }
    float *out = static_cast<float *>(buf);
    const int width = ir->width;
    if (ir->pixformat == float_RGBA)
        pool_columns_for(width, split_columns / 2, [&](int k0, int k1) {
            reduce_line<rgba_pixel>(rows, filtered, out, width, k0, k1);
        });
    else
        pool_columns_for(width, split_columns / 2, [&](int k0, int k1) {
            reduce_line<gray_pixel>(rows, filtered, out, width, k0, k1);
        });
    return buf;
}

static int reduce_close(void *data)
{
    reduce_data *rd = static_cast<reduce_data *>(data);
    int status = close_image_reader(rd->src);
    aligned_free(rd);
    return status;
}

// (n - 1) / 2 + 1, but an empty side stays empty rather than claiming a
// sample that is not there.
static int reduced(int n) { return n > 0 ? (n - 1) / 2 + 1 : 0; }

image_reader *reduce(image_reader *ir)
{
    kassert(ir->pixformat == float_RGBA || ir->pixformat == float_G);
    reduce_data *rd = static_cast<reduce_data *>(checked_malloc(sizeof(reduce_data)));
    rd->src = ir;
    connect_reader(ir);
    return create_image_reader(ir->type, rd, reduced(ir->width), reduced(ir->height), ir->pixformat,
                               reduce_read, reduce_close);
}
