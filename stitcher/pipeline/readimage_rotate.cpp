// EXIF orientations 6 and 8: the whole source is held, then read by columns.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/loadimage.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/readimage.h"

#include <cstring>

static const char msg_no_image_memory[] = "Not enough memory to load image.\n";
static const char msg_orientation[] = "exif rotation %d not implemented\n";

struct rotate_data {
    image_reader *src;
    int orientation;
    unsigned char *block; // the source image, null until the first read
    size_t src_row;       // bytes of a source row
};

static void load_source(rotate_data *rd)
{
    image_reader *src = rd->src;
    rd->src_row = image_row_length(src);
    int64_t bytes;
    void *block = nullptr;
    // A header's claim beyond the memory is refused before it is reserved.
    if (checked_mul(static_cast<int64_t>(rd->src_row), src->height, &bytes) &&
        static_cast<uint64_t>(bytes) <= available_memory())
        block = aligned_malloc(static_cast<size_t>(bytes));
    if (!block)
        print_error(msg_no_image_memory);
    rd->block = static_cast<unsigned char *>(block);
    connect_reader(src);
    load_image(src, rd->block);
}

static void *rotate_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    rotate_data *rd = static_cast<rotate_data *>(ir->data);
    if (!rd->block) {
        if (rd->orientation != 6 && rd->orientation != 8)
            print_error(msg_orientation, rd->orientation);
        load_source(rd);
    }
    const int W = ir->width, H = ir->height;
    kassert(n >= 0 && n < H);
    if (W == 0)
        return buf;
    unsigned char *out = static_cast<unsigned char *>(buf);
    // Orientation 6 reads source column n bottom-up, 8 reads column H-1-n top-down.
    const unsigned char *p;
    ptrdiff_t step;
    if (rd->orientation == 6) {
        p = rd->block + static_cast<size_t>(W - 1) * rd->src_row + static_cast<size_t>(n) * 3;
        step = -static_cast<ptrdiff_t>(rd->src_row);
    } else {
        p = rd->block + static_cast<size_t>(H - 1 - n) * 3;
        step = static_cast<ptrdiff_t>(rd->src_row);
    }
    for (int x = 0; x < W; x++, p += step)
        memcpy(out + static_cast<size_t>(x) * 3, p, 3);
    return buf;
}

static int rotate_close(void *data)
{
    rotate_data *rd = static_cast<rotate_data *>(data);
    close_image_reader(rd->src);
    aligned_free(rd->block);
    aligned_free(rd);
    return 0;
}

image_reader *rotate_reader(image_reader *ir, int orientation)
{
    kassert(ir->pixformat == uchar_RGB);
    rotate_data *rd = static_cast<rotate_data *>(checked_malloc(sizeof(rotate_data)));
    *rd = {ir, orientation, nullptr, 0};
    return create_image_reader(ir->type, rd, ir->height, ir->width, uchar_RGB, rotate_read, rotate_close);
}
