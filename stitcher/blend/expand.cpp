// Linear expansion by two. Output row r of a coarse level s:
//
//     r even:  s(r/2)                        columns 2k: s(k)     2k+1: (s(k) + s(k+1)) / 2
//     r odd:   t = s((r-1)/2) + s((r+1)/2)   columns 2k: t(k) / 2  2k+1: (t(k) + t(k+1)) / 4
//
// The Laplacian stages apply it to R, G and B only and keep the fine level's
// alpha bit for bit.
#include "stitcher/blend/expand.h"

#include "stitcher/blend/pyramid.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pixformat.h"

struct expand_data {
    image_reader *src;
};

struct laplace_data {
    image_reader *fine;
    image_reader *coarse;
};

// Calls emit(x, value) for the columns x0 .. x1 - 1 of the expansion of
// the coarse rows s0 (and s1 for an odd output row, else null); the
// expansion has 2 w - 1 columns for coarse rows of w.
template <class P, class Emit>
static void expand_line(const float *s0, const float *s1, int x0, int x1, Emit emit)
{
    typedef typename P::value V;
    const size_t f = P::floats;
    auto coarse = [=](int k) {
        return s1 ? P::add(P::load(s0 + k * f), P::load(s1 + k * f)) : P::load(s0 + k * f);
    };
    int k = x0 / 2;
    V t = coarse(k);
    for (int x = x0; x < x1; x++) {
        if (x % 2 == 0) {
            emit(x, s1 ? P::mul(t, 0.5f) : t);
            continue;
        }
        V next = coarse(++k);
        emit(x, s1 ? P::mul(P::add(t, next), 0.25f) : P::mul(P::add(t, next), 0.5f));
        t = next;
    }
}

// The coarse rows that output row n needs, fetched highest first; s1 is null
// for an even row.
static void coarse_rows(image_reader *coarse, int n, const float **s0, const float **s1)
{
    if (n % 2 == 0) {
        *s0 = static_cast<const float *>(read_row(coarse, n / 2, nullptr));
        *s1 = nullptr;
    } else {
        *s1 = static_cast<const float *>(read_row(coarse, (n + 1) / 2, nullptr));
        *s0 = static_cast<const float *>(read_row(coarse, (n - 1) / 2, nullptr));
    }
}

// ---- expand ----

static void *expand_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    image_reader *src = static_cast<expand_data *>(ir->data)->src;
    if (src->width == 0)
        return buf;
    const float *s0, *s1;
    coarse_rows(src, n, &s0, &s1);
    float *out = static_cast<float *>(buf);
    pool_columns_for(ir->width, split_columns, [=](int x0, int x1) {
        expand_line<gray_pixel>(s0, s1, x0, x1, [out](int x, float v) { out[x] = v; });
    });
    return buf;
}

static int expand_close(void *data)
{
    expand_data *ed = static_cast<expand_data *>(data);
    int status = close_image_reader(ed->src);
    aligned_free(ed);
    return status;
}

static int expanded(int n) { return n > 0 ? 2 * n - 1 : 0; }

image_reader *expand(image_reader *ia)
{
    // the assertion's text is fixed
    // clang-format off
    kassert(ia->pixformat== float_G);
    // clang-format on
    expand_data *ed = static_cast<expand_data *>(checked_malloc(sizeof(expand_data)));
    ed->src = ia;
    connect_reader(ia);
    return create_image_reader(ia->type, ed, expanded(ia->width), expanded(ia->height), float_G, expand_read,
                               expand_close);
}

// ---- Laplacian difference and sum ----

template <bool Add> static void *laplace_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    laplace_data *ld = static_cast<laplace_data *>(ir->data);
    if (ir->width == 0)
        return buf;
    // The fine row first: asking for the coarse rows can pull every coarser
    // level, and through them the shared blender ring, far ahead, and the
    // ring budgets count on the fine row being taken before that. Asked
    // again afterwards, a row that has left its ring is then a ring error
    // rather than stale data.
    read_row(ld->fine, n, nullptr);
    const float *s0, *s1;
    coarse_rows(ld->coarse, n, &s0, &s1);
    const float *fine = static_cast<const float *>(read_row(ld->fine, n, nullptr));
    float *out = static_cast<float *>(buf);
    pool_columns_for(ir->width, split_columns, [=](int x0, int x1) {
        expand_line<rgba_pixel>(s0, s1, x0, x1, [=](int x, __m128 e) {
            __m128 f = _mm_loadu_ps(fine + 4 * x);
            _mm_storeu_ps(out + 4 * x, with_alpha_of(Add ? _mm_add_ps(f, e) : _mm_sub_ps(f, e), f));
        });
    });
    return buf;
}

static int laplace_close(void *data)
{
    laplace_data *ld = static_cast<laplace_data *>(data);
    int status = close_image_reader(ld->fine);
    status |= close_image_reader(ld->coarse);
    aligned_free(ld);
    return status;
}

static image_reader *laplace_stage(image_reader *ia, image_reader *ib, reader_read_fn read)
{
    // the assertion texts are fixed
    // clang-format off
    kassert(ia->type == ib->type);
    kassert(ia->pixformat== float_RGBA);
    kassert(ib->pixformat== ia->pixformat);
    // clang-format on
    // Columns and rows of the fine level beyond the expansion would be read
    // from past the coarse rows.
    kassert(ia->width == expanded(ib->width) && ia->height == expanded(ib->height));
    laplace_data *ld = static_cast<laplace_data *>(checked_malloc(sizeof(laplace_data)));
    *ld = {ia, ib};
    connect_reader(ia);
    connect_reader(ib);
    return create_image_reader(ia->type, ld, ia->width, ia->height, ia->pixformat, read, laplace_close);
}

image_reader *sub_expand(image_reader *fine, image_reader *coarse)
{
    return laplace_stage(fine, coarse, laplace_read<false>);
}

image_reader *add_expand(image_reader *fine, image_reader *coarse)
{
    return laplace_stage(fine, coarse, laplace_read<true>);
}
