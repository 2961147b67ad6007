// Writing a warped image with its blended overlap merged into it.
#include "stitcher/driver/paste.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <algorithm>
#include <emmintrin.h>

static void copy_rows(image_reader *base, int from, int to, image_writer *writer)
{
    for (int y = from; y < to; y++)
        write_row(writer, read_row(base, y, nullptr));
}

static bool all_zero(const unsigned char *p, size_t n)
{
    return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

// Columns x .. x + n - 1 of the base row where neither the base nor the top
// (both in the alpha form fmt) has anything take the pixel of under, whose
// column 0 lies at x.
static void fill_gaps(unsigned char *base, int base_width, const unsigned char *top,
                      const unsigned char *under, int x, int n, uint32_t fmt)
{
    const size_t bpp = static_cast<size_t>(get_bytes_per_pixel(fmt)), alpha = bpp / 4 * 3;
    int c = std::max(x, 0);
    const int end = std::min(base_width, x + n);
    if (bpp == 4) {
        const __m128i zero = _mm_setzero_si128(), mask = _mm_set1_epi32(int32_t(0xff000000u));
        for (; c + 4 <= end; c += 4) {
            const size_t at = static_cast<size_t>(c - x) * 4;
            __m128i *b = reinterpret_cast<__m128i *>(base + static_cast<size_t>(c) * 4);
            __m128i bv = _mm_loadu_si128(b);
            __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + at));
            __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i *>(under + at));
            __m128i gap =
                _mm_and_si128(_mm_cmpeq_epi32(_mm_and_si128(t, mask), zero), _mm_cmpeq_epi32(bv, zero));
            _mm_storeu_si128(b, _mm_or_si128(_mm_and_si128(gap, u), _mm_andnot_si128(gap, bv)));
        }
    }
    for (; c < end; c++) {
        const size_t at = static_cast<size_t>(c - x) * bpp;
        unsigned char *b = base + static_cast<size_t>(c) * bpp;
        if (all_zero(top + at + alpha, bpp - alpha) && all_zero(b, bpp))
            std::copy(under + at, under + at + bpp, b);
    }
}

int paste_under(image_reader *base, image_reader *top, image_reader *under, irectangle r,
                image_writer *writer)
{
    // clang-format off
    kassert((base->type & 3) == (top->type & 3));
    // clang-format on
    const uint32_t target = alpha_pixformat(base->pixformat);
    pix_converter conv = top->pixformat == target ? nullptr : get_pix_converter(top->pixformat, target);
    kassert(top->pixformat == target || conv);
    kassert(!under || (under->pixformat == target && base->pixformat == target && under->width >= r.width));
    size_t bpp =
        static_cast<size_t>(std::max(get_bytes_per_pixel(top->pixformat), get_bytes_per_pixel(target)));
    void *rowbuf = checked_malloc(std::max<size_t>(static_cast<size_t>(top->width) * bpp, 16));

    copy_rows(base, 0, r.y, writer);
    for (int i = 0; i < r.height; i++) {
        // The top's own row, converted straight out of it: a wide row copied
        // first would cost the copy's memory traffic again.
        void *t = read_row(top, i, nullptr);
        if (conv) {
            conv(t, rowbuf, top->width);
            t = rowbuf;
        }
        void *b = read_row(base, r.y + i, nullptr);
        if (under)
            fill_gaps(static_cast<unsigned char *>(b), base->width, static_cast<const unsigned char *>(t),
                      static_cast<const unsigned char *>(read_row(under, i, nullptr)), r.x, r.width, target);
        merge_row_alpha(b, base->width, t, r.x, r.width, base->pixformat);
        write_row(writer, b);
    }
    // The blend's threads end with it: what base still lacks is pulled here.
    close_image_reader(top);
    handoff_direct(base);
    if (under)
        close_image_reader(under);
    copy_rows(base, r.y + r.height, base->height, writer);
    close_image_reader(base);
    aligned_free(rowbuf);
    return 0;
}

int paste(image_reader *base, image_reader *top, irectangle r, image_writer *writer)
{
    return paste_under(base, top, nullptr, r, writer);
}
