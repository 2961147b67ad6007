// Merging warped images: the merge reader over temporary images, the
// top-to-bottom merge of the whole panorama for the writer thread, and the
// averaging merger.
#include "stitcher/driver/merge.h"

#include "stitcher/driver/dest_image.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/tmp_image.h"
#include "stitcher/script/image_desc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <vector>

// ---- merge reader ----

struct merge_data {
    int32_t width;
    int32_t row_bytes;
    int32_t n;
    image_reader **readers;
    irectangle *rects;
    int32_t keep; // merge_row_keep: colours without alpha fill what is still empty
};

static void *merge_read(image_reader *ir, int r, void *buf)
{
    // clang-format off
    kassert(buf != NULL);
    // clang-format on
    merge_data *md = static_cast<merge_data *>(ir->data);
    memset(buf, 0, static_cast<size_t>(md->row_bytes));
    // From the last to the first, so that the lowest index ends on top.
    for (int i = md->n - 1; i >= 0; i--) {
        const irectangle &rc = md->rects[i];
        if (r >= rc.y && r < rc.y + rc.height)
            (md->keep ? merge_row_keep : merge_row)(md->readers[i], r - rc.y, buf, rc.x, ir->pixformat,
                                                    md->width);
    }
    return buf;
}

static int merge_close(void *data)
{
    merge_data *md = static_cast<merge_data *>(data);
    int status = 0;
    for (int i = 0; i < md->n; i++)
        status |= close_image_reader(md->readers[i]);
    aligned_free(md->readers);
    aligned_free(md->rects);
    aligned_free(md);
    return status;
}

static image_reader *new_merge_reader(image_reader **readers, irectangle *rects, int width, int height, int n,
                                      int keep)
{
    kassert(n > 0);
    for (int i = 1; i < n; i++) {
        kassert((readers[0]->type & 3) == (readers[i]->type & 3));
        // A reader of another layout would be laid in as garbage.
        kassert(readers[i]->pixformat == readers[0]->pixformat);
    }
    for (int i = 0; i < n; i++)
        connect_reader(readers[i]);
    merge_data *md = static_cast<merge_data *>(checked_malloc(sizeof(merge_data)));
    *md = {width, width * get_bytes_per_pixel(readers[0]->pixformat), n, readers, rects, keep};
    image_reader *ir = create_image_reader(readers[0]->type, md, width, height, readers[0]->pixformat,
                                           merge_read, merge_close);
    return buffered_reader_2(ir, 1);
}

image_reader *merge_reader(image_reader **readers, irectangle *rects, int width, int height, int n)
{
    return new_merge_reader(readers, rects, width, height, n, 0);
}

// A merge_reader_kept row as merge_reader has it: a pixel whose alpha is 0
// all zero.
static void *cleared_read(image_reader *ir, int r, void *buf)
{
    kassert(buf != NULL);
    const unsigned char *src =
        static_cast<const unsigned char *>(read_row(static_cast<image_reader *>(ir->data), r, nullptr));
    unsigned char *out = static_cast<unsigned char *>(buf);
    const size_t bpp = static_cast<size_t>(get_bytes_per_pixel(ir->pixformat)), alpha = bpp / 4 * 3;
    const size_t n = static_cast<size_t>(ir->width);
    size_t i = 0;
    if (bpp == 4) {
        const __m128i zero = _mm_setzero_si128(), mask = _mm_set1_epi32(int32_t(0xff000000u));
        for (; i + 4 <= n; i += 4) {
            __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * i));
            __m128i none = _mm_cmpeq_epi32(_mm_and_si128(s, mask), zero);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i), _mm_andnot_si128(none, s));
        }
    }
    memcpy(out + bpp * i, src + bpp * i, bpp * (n - i));
    for (unsigned char *p = out + bpp * i; p < out + bpp * n; p += bpp)
        if (std::all_of(p + alpha, p + bpp, [](unsigned char c) { return c == 0; }))
            memset(p, 0, bpp);
    return buf;
}

static int cleared_close(void *data) { return close_image_reader(static_cast<image_reader *>(data)); }

image_reader *merge_reader_kept(image_reader **readers, irectangle *rects, int width, int height, int n,
                                image_reader **kept)
{
    kassert(readers[0]->pixformat == uchar_RGBA || readers[0]->pixformat == ushort_RGBA);
    *kept = new_merge_reader(readers, rects, width, height, n, 1);
    connect_reader(*kept);
    image_reader *ir = create_image_reader((*kept)->type, *kept, width, height, (*kept)->pixformat,
                                           cleared_read, cleared_close);
    return buffered_reader_2(ir, 1);
}

// ---- the panorama, top to bottom ----

// What merge_alpha keeps of one image while its rows are being written.
struct merge_source {
    image_reader *reader; // null until the image's first row
    int x;                // its column in the output row, reduced into the wrap
    int target;           // read in place into the row at x, else copied in pieces
};

// Cancel ends the run while this thread waits for an image.
static void check_cancel(void)
{
    if (!progress_update(-1))
        cancel_run();
}

// Sleeps until the main thread has finished the image.
static int wait_until_done(const image_desc *d) { return wait_image_done(d, check_cancel); }

// Copies `count` pixels of src from pixel s to column x of the row.
static void copy_piece(unsigned char *row, int x, const unsigned char *src, int s, int count, int bpp)
{
    memcpy(row + static_cast<size_t>(x) * bpp, src + static_cast<size_t>(s) * bpp,
           static_cast<size_t>(count) * bpp);
}

// An image that crosses the panorama's right edge: its row from column x on,
// continued at column 0.
static void copy_across_wrap(unsigned char *row, int row_width, int wrap, int x, const unsigned char *src,
                             int c, int bpp)
{
    int s = 0;
    if (x < 0) {
        int k = std::min(-x, c);
        copy_piece(row, wrap + x, src, s, k, bpp);
        s += k;
        x += k;
        c -= k;
    }
    if (c > 0 && x + c > row_width) {
        int k = std::min(row_width - x, c);
        copy_piece(row, x, src, s, k, bpp);
        s += k;
        c -= k;
        x = 0;
    }
    if (c > 0)
        copy_piece(row, x, src, s, c, bpp);
}

int merge_alpha(image_desc *images, irectangle origin, int n, image_writer *writer, int wrap)
{
    const int width = writer->width;
    const int bpp = get_bytes_per_pixel(writer->pixformat);
    const size_t row_bytes = image_row_length(writer);
    unsigned char *row = static_cast<unsigned char *>(checked_malloc(std::max<size_t>(row_bytes, 1)));
    std::vector<merge_source> src(static_cast<size_t>(std::max(n, 0)), merge_source{nullptr, 0, 0});

    for (int i = 0; i < writer->height; i++) {
        memset(row, 0, row_bytes);
        for (int j = 0; j < n; j++) {
            image_desc *d = &images[j];
            merge_source *m = &src[static_cast<size_t>(j)];
            if (!m->reader && get_image_done(d) == -1)
                continue;
            int y = d->dest_rect.y - origin.y;
            if (i < y || i >= y + d->dest_rect.height)
                continue;
            if (!m->reader) {
                if (wait_until_done(d) == -1)
                    continue;
                int x = d->dest_rect.x - origin.x;
                // A column past the wrap would give the pieces a negative
                // length; the same pixels lie one turn back.
                x = wrap_column(x, wrap);
                m->x = x;
                m->target = x >= 0 && x + d->dest_rect.width <= width;
                m->reader = m->target ? paste_reader(d->fd) : dest_reader(d);
                // clang-format off
                kassert(m->reader!=NULL);
                // clang-format on
                kassert(m->reader->pixformat == writer->pixformat);
            }
            if (m->target) {
                read_row(m->reader, i - y, row + static_cast<size_t>(m->x) * bpp);
            } else {
                const unsigned char *p =
                    static_cast<const unsigned char *>(read_row(m->reader, i - y, nullptr));
                if (wrap != 0)
                    copy_across_wrap(row, width, wrap, m->x, p, m->reader->width, bpp);
            }
            if (i == y + d->dest_rect.height - 1 || i == writer->height - 1) {
                close_image_reader(m->reader);
                m->reader = nullptr;
            }
        }
        write_row(writer, row);
    }
    aligned_free(row);
    return 0;
}

// ---- averaging merger ----

int alpha_merger(image_reader **readers, const irectangle *rects, int n, image_writer *writer)
{
    const int width = writer->width;
    std::vector<unsigned> sum(static_cast<size_t>(width) * 4);
    std::vector<std::vector<unsigned char>> rows(static_cast<size_t>(n));
    for (int k = 0; k < n; k++)
        rows[static_cast<size_t>(k)].resize(static_cast<size_t>(readers[k]->width) * 4 + 16);
    std::vector<unsigned char> out(static_cast<size_t>(width) * 4);
    for (int r = 0; r < writer->height; r++) {
        std::fill(sum.begin(), sum.end(), 0u);
        for (int k = 0; k < n; k++) {
            const irectangle &rc = rects[k];
            if (r < rc.y || r >= rc.y + rc.height)
                continue;
            const unsigned char *p = static_cast<const unsigned char *>(
                read_row(readers[k], r - rc.y, rows[static_cast<size_t>(k)].data()));
            for (int c = 0; c < readers[k]->width; c++) {
                int64_t x = int64_t(rc.x) + c;
                if (x < 0 || x >= width || p[4 * c + 3] == 0)
                    continue;
                unsigned *s = &sum[static_cast<size_t>(x) * 4];
                for (int ch = 0; ch < 3; ch++)
                    s[ch] += p[4 * c + ch];
                s[3]++;
            }
        }
        for (int x = 0; x < width; x++) {
            const unsigned *s = &sum[static_cast<size_t>(x) * 4];
            for (int ch = 0; ch < 3; ch++)
                out[static_cast<size_t>(x) * 4 + ch] =
                    s[3] ? static_cast<unsigned char>(std::min(255u, (2 * s[ch] + s[3]) / (2 * s[3]))) : 0;
            out[static_cast<size_t>(x) * 4 + 3] = 255;
        }
        write_row(writer, out.data());
    }
    return 0;
}
