// Writing a warped image with its blended overlap merged into it.
#include "stitcher/driver/paste.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <algorithm>

static void copy_rows(image_reader *base, int from, int to, image_writer *writer)
{
    for (int y = from; y < to; y++)
        write_row(writer, read_row(base, y, nullptr));
}

int paste(image_reader *base, image_reader *top, irectangle r, image_writer *writer)
{
    // clang-format off
    kassert((base->type & 3) == (top->type & 3));
    // clang-format on
    const uint32_t target = alpha_pixformat(base->pixformat);
    pix_converter conv = top->pixformat == target ? nullptr : get_pix_converter(top->pixformat, target);
    kassert(top->pixformat == target || conv);
    size_t bpp =
        static_cast<size_t>(std::max(get_bytes_per_pixel(top->pixformat), get_bytes_per_pixel(target)));
    void *rowbuf = checked_malloc(std::max<size_t>(static_cast<size_t>(top->width) * bpp, 16));

    copy_rows(base, 0, r.y, writer);
    for (int i = 0; i < r.height; i++) {
        void *t = read_row(top, i, rowbuf);
        if (conv) {
            // Narrowing conversions may run in place.
            conv(t, rowbuf, top->width);
            t = rowbuf;
        }
        void *b = read_row(base, r.y + i, nullptr);
        merge_row_alpha(b, base->width, t, r.x, r.width, base->pixformat);
        write_row(writer, b);
    }
    close_image_reader(top);
    copy_rows(base, r.y + r.height, base->height, writer);
    close_image_reader(base);
    aligned_free(rowbuf);
    return 0;
}
