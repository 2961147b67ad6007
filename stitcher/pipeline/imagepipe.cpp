// Cropping and masking stages, and the copy of a reader into a writer.
#include "stitcher/pipeline/imagepipe.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

static int clamp_int(int64_t v, int64_t lo, int64_t hi) { return static_cast<int>(std::clamp(v, lo, hi)); }

static pix_converter alpha_converter(uint32_t from)
{
    pix_converter conv = get_pix_converter(from, alpha_pixformat(from));
    kassert(conv != NULL);
    return conv;
}

// Row n of src in the layout fmt: the source's own row (with the caller's
// buffer or without) when it already is fmt, else converted into buf.
static void *fetch_row(image_reader *src, int n, void *buf, uint32_t fmt, pix_converter conv)
{
    if (src->pixformat == fmt)
        return read_row(src, n, buf);
    kassert(buf != NULL);
    const void *row = read_row(src, n, nullptr);
    if (src->width > 0)
        conv(row, buf, src->width);
    return buf;
}

// Alpha 0 on pixels [from, to) of a row with alpha; other layouts are left.
static void clear_alpha(void *row, uint32_t fmt, int from, int to)
{
    if (fmt == uchar_RGBA) {
        unsigned char *p = static_cast<unsigned char *>(row);
        for (int i = from; i < to; i++)
            p[4 * i + 3] = 0;
    } else if (fmt == ushort_RGBA) {
        uint16_t *p = static_cast<uint16_t *>(row);
        for (int i = from; i < to; i++)
            p[4 * i + 3] = 0;
    }
}

// ---- read_cut_rectangle ----

struct cut_data {
    image_reader *src;
    size_t src_offset, dst_offset; // bytes into the source row and into rowbuf
    int count;                     // pixels converted per source row
    int y;                         // rect.y
    unsigned char *rowbuf;
    size_t row_length;
    bool dirty; // rowbuf holds pixels of a source row
    pix_converter conv;
};

static void *cut_read(image_reader *ir, int n, void *buf)
{
    // the assertion's text is fixed
    // clang-format off
    kassert(buf==NULL);
    // clang-format on
    cut_data *cd = static_cast<cut_data *>(ir->data);
    int64_t s = int64_t(n) + cd->y;
    if (s >= 0 && s < cd->src->height) {
        const unsigned char *row =
            static_cast<const unsigned char *>(read_row(cd->src, static_cast<int>(s), nullptr));
        if (cd->count > 0)
            cd->conv(row + cd->src_offset, cd->rowbuf + cd->dst_offset, cd->count);
        cd->dirty = true;
    } else if (cd->dirty) {
        // Only the converted span is ever written, so one clearing after the
        // last source row keeps every row outside the source zero.
        memset(cd->rowbuf, 0, cd->row_length);
        cd->dirty = false;
    }
    return cd->rowbuf;
}

static int cut_close(void *data)
{
    cut_data *cd = static_cast<cut_data *>(data);
    int status = close_image_reader(cd->src);
    aligned_free(cd->rowbuf);
    aligned_free(cd);
    return status;
}

image_reader *read_cut_rectangle(image_reader *ir, irectangle rect)
{
    kassert(rect.width >= 0 && rect.height >= 0);
    uint32_t fmt = alpha_pixformat(ir->pixformat);
    cut_data *cd = static_cast<cut_data *>(checked_malloc(sizeof(cut_data)));
    cd->src = ir;
    cd->conv = alpha_converter(ir->pixformat);
    size_t in_bpp = static_cast<size_t>(get_bytes_per_pixel(ir->pixformat));
    size_t out_bpp = static_cast<size_t>(get_bytes_per_pixel(fmt));
    if (rect.x <= 0) {
        cd->src_offset = 0;
        cd->dst_offset = static_cast<size_t>(-int64_t(rect.x)) * out_bpp;
    } else {
        cd->src_offset = static_cast<size_t>(rect.x) * in_bpp;
        cd->dst_offset = 0;
    }
    irectangle whole = {0, 0, ir->width, ir->height}, inside;
    cut_rectangle(&rect, &whole, &inside);
    cd->count = inside.width;
    cd->y = rect.y;
    cd->row_length = static_cast<size_t>(rect.width) * out_bpp;
    cd->rowbuf = static_cast<unsigned char *>(checked_calloc(1, cd->row_length));
    cd->dirty = false;
    connect_reader(ir);
    return create_image_reader(ir->type, cd, rect.width, rect.height, fmt, cut_read, cut_close);
}

// ---- select_rectangle ----

struct select_data {
    image_reader *src;
    uint32_t fmt;
    int64_t y0, y1; // selected rows
    int x0, x1;     // selected columns, clamped to the row
    pix_converter conv;
};

static void *select_read(image_reader *ir, int n, void *buf)
{
    select_data *sd = static_cast<select_data *>(ir->data);
    void *row = fetch_row(sd->src, n, buf, sd->fmt, sd->conv);
    if (n < sd->y0 || n >= sd->y1) {
        clear_alpha(row, sd->fmt, 0, ir->width);
    } else {
        clear_alpha(row, sd->fmt, 0, sd->x0);
        clear_alpha(row, sd->fmt, sd->x1, ir->width);
    }
    return row;
}

static int select_close(void *data)
{
    select_data *sd = static_cast<select_data *>(data);
    int status = close_image_reader(sd->src);
    aligned_free(sd);
    return status;
}

image_reader *select_rectangle(image_reader *ir, irectangle rect)
{
    select_data *sd = static_cast<select_data *>(checked_malloc(sizeof(select_data)));
    sd->src = ir;
    sd->fmt = alpha_pixformat(ir->pixformat);
    sd->conv = alpha_converter(ir->pixformat);
    // A selection reaching past the row masks only what lies in the row; one
    // wholly outside it leaves no pixel selected.
    sd->y0 = rect.y;
    sd->y1 = int64_t(rect.y) + std::max(rect.height, 0);
    sd->x0 = clamp_int(rect.x, 0, ir->width);
    sd->x1 = clamp_int(int64_t(rect.x) + rect.width, sd->x0, ir->width);
    connect_reader(ir);
    return create_image_reader(ir->type, sd, ir->width, ir->height, sd->fmt, select_read, select_close);
}

// ---- select_circle ----

// Pixel (i, n) stays when its centre lies within w/2 of the middle of the
// pixel grid ((w-1)/2, (h-1)/2): the warper's circle of radius (w-1)/2 with
// its half-pixel edge band, so every pixel the warper may read near its rim
// is still there. In doubled coordinates all of it is integer:
// (2i - (w-1))^2 + (2n - (h-1))^2 <= w^2.
struct circle_data {
    image_reader *src;
    uint32_t fmt;
    size_t row_length; // of the output
    int64_t w, h1;     // width and height - 1
    pix_converter conv;
};

static int64_t isqrt(int64_t v)
{
    int64_t s = static_cast<int64_t>(std::sqrt(static_cast<double>(v)));
    while (s * s > v)
        s--;
    while ((s + 1) * (s + 1) <= v)
        s++;
    return s;
}

// The pixels cleared at each end of row n: pixels k .. w - k - 1 stay, none
// when 2k >= w. With s = isqrt(w^2 - b^2), pixel i stays when
// |2i - (w-1)| <= s, that is from ceil((w - 1 - s) / 2) = (w - s) / 2 on.
static int64_t circle_cut(const circle_data *cd, int n)
{
    int64_t b = 2 * int64_t(n) - cd->h1, v = cd->w * cd->w - b * b;
    return v < 0 ? cd->w : (cd->w - isqrt(v)) / 2;
}

static void *circle_read(image_reader *ir, int n, void *buf)
{
    circle_data *cd = static_cast<circle_data *>(ir->data);
    // Without its own layout the source has no row that could be zeroed in place.
    if (cd->src->pixformat != cd->fmt)
        kassert(buf != NULL);
    int64_t k = circle_cut(cd, n);
    if (2 * k >= cd->w) {
        void *row = buf ? buf : read_row(cd->src, n, nullptr);
        if (cd->row_length > 0) // a row of no pixels may have no storage
            memset(row, 0, cd->row_length);
        return row;
    }
    unsigned char *row = static_cast<unsigned char *>(fetch_row(cd->src, n, buf, cd->fmt, cd->conv));
    size_t bpp = static_cast<size_t>(get_bytes_per_pixel(cd->fmt)), edge = static_cast<size_t>(k) * bpp;
    memset(row, 0, edge);
    memset(row + cd->row_length - edge, 0, edge);
    return row;
}

static int circle_close(void *data)
{
    circle_data *cd = static_cast<circle_data *>(data);
    int status = close_image_reader(cd->src);
    aligned_free(cd);
    return status;
}

image_reader *select_circle(image_reader *ir)
{
    circle_data *cd = static_cast<circle_data *>(checked_malloc(sizeof(circle_data)));
    cd->src = ir;
    cd->fmt = alpha_pixformat(ir->pixformat);
    cd->conv = alpha_converter(ir->pixformat);
    cd->row_length = static_cast<size_t>(ir->width) * static_cast<size_t>(get_bytes_per_pixel(cd->fmt));
    cd->w = ir->width;
    cd->h1 = int64_t(ir->height) - 1;
    connect_reader(ir);
    return create_image_reader(ir->type, cd, ir->width, ir->height, cd->fmt, circle_read, circle_close);
}

// ---- extract_rectangle ----

struct extract_data {
    image_reader *src;
    size_t offset; // rect.x in bytes
    int y;
    size_t row_bytes;
};

static void *extract_read(image_reader *ir, int n, void *buf)
{
    extract_data *ed = static_cast<extract_data *>(ir->data);
    unsigned char *row = static_cast<unsigned char *>(read_row(ed->src, n + ed->y, nullptr)) + ed->offset;
    if (!buf)
        return row;
    memcpy(buf, row, ed->row_bytes);
    return buf;
}

static int extract_close(void *data)
{
    extract_data *ed = static_cast<extract_data *>(data);
    close_image_reader(ed->src);
    aligned_free(ed);
    return 0;
}

image_reader *extract_rectangle(image_reader *ir, irectangle rect)
{
    kassert(rect.x >= 0 && rect.y >= 0 && rect.width >= 0 && rect.height >= 0 &&
            int64_t(rect.x) + rect.width <= ir->width && int64_t(rect.y) + rect.height <= ir->height);
    size_t bpp = static_cast<size_t>(get_bytes_per_pixel(ir->pixformat));
    extract_data *ed = static_cast<extract_data *>(checked_malloc(sizeof(extract_data)));
    *ed = {ir, static_cast<size_t>(rect.x) * bpp, rect.y, static_cast<size_t>(rect.width) * bpp};
    connect_reader(ir);
    return create_image_reader(ir->type, ed, rect.width, rect.height, ir->pixformat, extract_read,
                               extract_close);
}

// ---- pipe_image ----

int pipe_image(image_reader *ir, image_writer *iw)
{
    kassert(ir->width == iw->width);
    int rows = std::min(iw->height, ir->height), status = 0;
    if (ir->pixformat == iw->pixformat) {
        for (int i = 0; i < rows; i++)
            status |= write_row(iw, read_row(ir, i, nullptr));
        return status;
    }
    pix_converter conv = get_pix_converter(ir->pixformat, iw->pixformat);
    kassert(conv != NULL);
    void *buf = checked_malloc(std::max(image_row_length(ir), image_row_length(iw)));
    for (int i = 0; i < rows; i++) {
        const void *row = read_row(ir, i, nullptr);
        if (ir->width > 0)
            conv(row, buf, ir->width);
        status |= write_row(iw, buf);
    }
    aligned_free(buf);
    return status;
}
