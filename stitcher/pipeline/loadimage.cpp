// Decoding whole images into memory.
#include "stitcher/pipeline/loadimage.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <cstdint>
#include <cstring>

static const char msg_no_memory[] = "Not enough memory to load source image.\n";

uint64_t loaded_image_size(int width, int height, uint32_t pixformat)
{
    // More than the machine holds is refused before anything is allocated.
    int64_t bytes;
    if (!checked_mul3(width, height, get_bytes_per_pixel(pixformat), &bytes) || bytes > INT64_MAX - 15)
        print_error(msg_no_memory);
    if (static_cast<uint64_t>(bytes) > available_memory())
        print_error(msg_no_memory);
    return static_cast<uint64_t>((bytes + 15) & ~int64_t(15));
}

// Makes li's buffer hold `size` bytes, keeping it when the size is the same.
static void reserve_image_buffer(loaded_image *li, uint64_t size)
{
    if (size == li->size && (li->buffer || size == 0))
        return;
    aligned_free(li->buffer);
    li->buffer = nullptr;
    li->size = 0;
    if (size == 0)
        return;
    li->buffer = aligned_malloc(alloc_size(static_cast<int64_t>(size)));
    if (!li->buffer)
        print_error(msg_no_memory);
    li->size = size;
}

void load_image(image_reader *ir, void *dst)
{
    size_t len = image_row_length(ir);
    if (len == 0)
        return;
    unsigned char *p = static_cast<unsigned char *>(dst);
    for (int y = 0; y < ir->height; y++, p += len) {
        void *row = read_row(ir, y, nullptr);
        kassert(row != NULL);
        memcpy(p, row, len);
    }
}

void get_wrapped_image_buffer(image_reader *ir, int pad, loaded_image *li)
{
    const int width = ir->width;
    kassert(pad >= 0 && pad <= width);
    if (width > INT32_MAX - 2 * pad)
        print_error(msg_no_memory);
    reserve_image_buffer(li, loaded_image_size(width + 2 * pad, ir->height, ir->pixformat));
    li->pixformat = ir->pixformat;
    li->width = width + 2 * pad;
    li->height = ir->height;
    li->priority = 100;
    const size_t len = image_row_length(ir), edge = size_t(pad) * get_bytes_per_pixel(ir->pixformat);
    if (len == 0)
        return;
    unsigned char *p = static_cast<unsigned char *>(li->buffer);
    for (int y = 0; y < ir->height; y++, p += len + 2 * edge) {
        void *row = read_row(ir, y, nullptr);
        kassert(row != NULL);
        memcpy(p + edge, row, len);
        memcpy(p, p + len, edge);               // the last columns before the first
        memcpy(p + edge + len, p + edge, edge); // and the first after the last
    }
}

void get_image_buffer(image_reader *ir, loaded_image *li) { get_wrapped_image_buffer(ir, 0, li); }
