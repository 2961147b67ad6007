// Converting readers: toformat, toformat_excl and read_float.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/readimage.h"

#include <algorithm>

struct toformat_data {
    image_reader *src;
    pix_converter conv;
    // toformat_excl only: the rows [y0, y1) keep columns [x0, x1) of the
    // caller's buffer; clamped to the row.
    int y0, y1, x0, x1;
    size_t in_bpp, out_bpp;
};

static pix_converter checked_converter(uint32_t from, uint32_t to)
{
    pix_converter conv = get_pix_converter(from, to);
    kassert(conv != NULL);
    return conv;
}

static void *toformat_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    toformat_data *td = static_cast<toformat_data *>(ir->data);
    const void *src = read_row(td->src, n, nullptr);
    if (td->src->width > 0)
        td->conv(src, buf, td->src->width);
    return buf;
}

static void *toformat_excl_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    toformat_data *td = static_cast<toformat_data *>(ir->data);
    const unsigned char *src = static_cast<const unsigned char *>(read_row(td->src, n, nullptr));
    unsigned char *dst = static_cast<unsigned char *>(buf);
    int width = td->src->width;
    int x0 = width, x1 = width; // the columns left as they are
    if (n >= td->y0 && n < td->y1) {
        x0 = td->x0;
        x1 = td->x1;
    }
    if (x0 > 0)
        td->conv(src, dst, x0);
    if (x1 < width)
        td->conv(src + x1 * td->in_bpp, dst + x1 * td->out_bpp, width - x1);
    return buf;
}

static int toformat_close(void *data)
{
    toformat_data *td = static_cast<toformat_data *>(data);
    close_image_reader(td->src);
    aligned_free(td);
    return 0;
}

static image_reader *converting_reader(image_reader *ir, uint32_t pixformat, int nbuffered,
                                       const toformat_data &init, reader_read_fn read)
{
    toformat_data *td = static_cast<toformat_data *>(checked_malloc(sizeof(toformat_data)));
    *td = init;
    connect_reader(ir);
    image_reader *r =
        create_image_reader(ir->type, td, ir->width, ir->height, pixformat, read, toformat_close);
    return nbuffered > 0 ? buffered_reader_2(r, nbuffered) : r;
}

image_reader *toformat(image_reader *ir, uint32_t pixformat, int nbuffered)
{
    toformat_data init = {ir, checked_converter(ir->pixformat, pixformat), 0, 0, 0, 0, 0, 0};
    return converting_reader(ir, pixformat, nbuffered, init, toformat_read);
}

image_reader *toformat_excl(image_reader *ir, uint32_t pixformat, irectangle rect, int nbuffered)
{
    int64_t w = ir->width, xe = int64_t(rect.x) + rect.width, ye = int64_t(rect.y) + rect.height;
    int x0 = static_cast<int>(std::clamp<int64_t>(rect.x, 0, w));
    int x1 = static_cast<int>(std::clamp<int64_t>(xe, x0, w));
    int y1 = static_cast<int>(std::clamp<int64_t>(ye, rect.y, INT32_MAX));
    toformat_data init = {ir,
                          checked_converter(ir->pixformat, pixformat),
                          rect.y,
                          y1,
                          x0,
                          x1,
                          static_cast<size_t>(get_bytes_per_pixel(ir->pixformat)),
                          static_cast<size_t>(get_bytes_per_pixel(pixformat))};
    return converting_reader(ir, pixformat, nbuffered, init, toformat_excl_read);
}

void *read_float(image_reader *ir, int n, void *buf)
{
    if (ir->pixformat == float_RGBA)
        return read_row(ir, n, nullptr);
    void *pix = buf;
    kassert(pix != NULL);
    const void *src = read_row(ir, n, nullptr);
    if (ir->width > 0)
        checked_converter(ir->pixformat, float_RGBA)(src, pix, ir->width);
    return pix;
}
