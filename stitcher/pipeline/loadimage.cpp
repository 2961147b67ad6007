// Decoding whole images into memory: the shared buffer of the source images
// and the loading of any reader into a caller's record.
#include "stitcher/pipeline/loadimage.h"

#include "stitcher/blend/color_image.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/imagepipe.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/script/parser.h"

#include <cstring>

static const char msg_no_memory[] = "Not enough memory to load source image.\n";
static const char msg_no_file[] = "Could not open imagefile %s.\n";

// The images of the run and the one buffer all source images share.
static struct {
    image_desc *images;
    int nimages;
    int color_mode;
    loaded_image shared;
} load_data;

uint64_t loaded_image_size(int width, int height, uint32_t pixformat)
{
    // More than the machine holds is refused before anything is allocated.
    int64_t bytes;
    if (!checked_mul3(width, height, get_bytes_per_pixel(pixformat), &bytes) || bytes > INT64_MAX - 15)
        print_error(msg_no_memory);
    size_t memory = physical_memory();
    if (memory != 0 && static_cast<uint64_t>(bytes) > memory)
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
    li->buffer = aligned_malloc(static_cast<size_t>(size));
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

void get_image_buffer(image_reader *ir, loaded_image *li)
{
    reserve_image_buffer(li, loaded_image_size(ir->width, ir->height, ir->pixformat));
    li->pixformat = ir->pixformat;
    li->width = ir->width;
    li->height = ir->height;
    li->priority = 100;
    load_image(ir, li->buffer);
}

void dump_buffer(const loaded_image *li, const char *path)
{
    image_writer *t = tiff_writer(path, li->width, li->height, li->pixformat, 0);
    kassert(t);
    size_t len = static_cast<size_t>(li->width) * get_bytes_per_pixel(li->pixformat);
    unsigned char *p = static_cast<unsigned char *>(li->buffer);
    for (int y = 0; y < li->height; y++, p += len)
        write_row(t, p);
    close_image_writer(t);
}

void init_load_data(image_desc *images, int nimages, int color_mode)
{
    free_load_data();
    load_data.images = images;
    load_data.nimages = nimages;
    load_data.color_mode = color_mode;
    load_data.shared.kind = 1;
}

void free_load_data(void)
{
    aligned_free(load_data.shared.buffer);
    load_data.shared.buffer = nullptr;
    load_data.shared.size = 0;
}

loaded_image *get_source_image(int k)
{
    kassert(k >= 0 && k < load_data.nimages);
    const image_desc *d = &load_data.images[k];
    image_reader *ir =
        load_data.color_mode ? color_reader(d->index, d->width, d->height) : file_image_reader(d->name);
    if (!ir)
        print_error(msg_no_file, d->name);
    // The colour reader already has the size of the cropped image: its
    // window is the whole of it.
    irectangle window = {0, 0, ir->width, ir->height};
    if (d->crop_rect.width != 0 && !load_data.color_mode)
        window = d->crop_rect;
    image_reader *r = read_cut_rectangle(ir, window);
    if (d->is_circle)
        r = select_circle(r);
    if (d->select_rect.width != 0)
        r = select_rectangle(r, d->select_rect);
    get_image_buffer(r, &load_data.shared);
    close_image_reader(r);
    return &load_data.shared;
}
