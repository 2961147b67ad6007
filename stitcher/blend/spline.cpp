// Mixing of two pyramid levels under a mask level.
#include "stitcher/blend/spline.h"

#include "stitcher/blend/pyramid.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pixformat.h"

#include <emmintrin.h>

struct spline_data {
    image_reader *a;
    image_reader *b;
    image_reader *m;
};

static void *spline_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    spline_data *sd = static_cast<spline_data *>(ir->data);
    read_row(sd->a, n, nullptr);
    read_row(sd->b, n, nullptr);
    const float *m = static_cast<const float *>(read_row(sd->m, n, nullptr));
    // Asked again: reading b and m may move a ring that a shares (the
    // blender input's), and a row that left it must be a ring error, not
    // stale data.
    const float *b = static_cast<const float *>(read_row(sd->b, n, nullptr));
    const float *a = static_cast<const float *>(read_row(sd->a, n, nullptr));
    float *out = static_cast<float *>(buf);
    // Alpha is a's, bit for bit, whatever b holds.
    pool_columns_for(ir->width, split_columns, [=](int x0, int x1) {
        for (int x = x0; x < x1; x++) {
            float w = m[x] * (1.0f / 255.0f);
            __m128 pa = _mm_loadu_ps(a + 4 * x), pb = _mm_loadu_ps(b + 4 * x);
            __m128 mix = _mm_add_ps(_mm_mul_ps(pa, _mm_set1_ps(w)), _mm_mul_ps(pb, _mm_set1_ps(1.0f - w)));
            _mm_storeu_ps(out + 4 * x, with_alpha_of(mix, pa));
        }
    });
    return buf;
}

static int spline_close(void *data)
{
    spline_data *sd = static_cast<spline_data *>(data);
    int status = close_image_reader(sd->a);
    status |= close_image_reader(sd->b);
    status |= close_image_reader(sd->m);
    aligned_free(sd);
    return status;
}

image_reader *spline(image_reader *ia, image_reader *ib, image_reader *ir)
{
    // the assertion texts are fixed
    // clang-format off
    kassert(ia->type==ib->type);
    kassert(ia->type==ir->type);
    kassert(ia->pixformat == float_RGBA);
    kassert(ib->pixformat == float_RGBA);
    kassert(ir->pixformat == float_G);
    // clang-format on
    // b and m are read over a's width and height.
    kassert(ib->width >= ia->width && ir->width >= ia->width);
    kassert(ib->height >= ia->height && ir->height >= ia->height);
    spline_data *sd = static_cast<spline_data *>(checked_malloc(sizeof(spline_data)));
    *sd = {ia, ib, ir};
    connect_reader(ia);
    connect_reader(ib);
    connect_reader(ir);
    return create_image_reader(ia->type, sd, ia->width, ia->height, float_RGBA, spline_read, spline_close);
}
