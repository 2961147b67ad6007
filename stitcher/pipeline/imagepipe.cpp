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

struct circle_data {
    image_reader *src;
    uint32_t fmt;
    size_t row_length; // of the output
    double r, c;       // radius and centre row
    pix_converter conv;
};

static void *circle_read(image_reader *ir, int n, void *buf)
{
    circle_data *cd = static_cast<circle_data *>(ir->data);
    // Without its own layout the source has no row that could be zeroed in place.
    if (cd->src->pixformat != cd->fmt)
        kassert(buf != NULL);
    double d = n - cd->c;
    if (d < -cd->r || d > cd->r) {
        void *row = buf ? buf : read_row(cd->src, n, nullptr);
        memset(row, 0, cd->row_length);
        return row;
    }
    unsigned char *row = static_cast<unsigned char *>(fetch_row(cd->src, n, buf, cd->fmt, cd->conv));
    int k = static_cast<int>(cd->r - static_cast<int>(std::sqrt(cd->r * cd->r - d * d)));
    k = std::clamp(k, 0, ir->width);
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
    cd->r = ir->width * 0.5;
    cd->c = ir->height * 0.5;
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
