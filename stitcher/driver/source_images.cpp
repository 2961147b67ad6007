// The source images of the run and the one buffer they share.
#include "stitcher/driver/source_images.h"

#include "stitcher/blend/color_image.h"
#include "stitcher/formats/image_file.h"
#include "stitcher/pipeline/imagepipe.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"

static const char msg_no_file[] = "Could not open imagefile %s.\n";
static const char msg_no_file_why[] = "Could not open imagefile %s: %s.\n";
#include <utility>

static const char msg_size[] = "Warning: image %s is %dx%d in its file but %dx%d in the script.\n";

// The shared record, and a second one that the next image is decoded into
// ahead while the current one is warped.
static struct {
    image_desc *images;
    int nimages;
    int color_mode;
    loaded_image shared;
    loaded_image ahead;
    int ahead_image; // the image decoded into `ahead`, -1 for none
    zthread *loader; // while it decodes
} load_data = {nullptr, 0, 0, {}, {}, -1, nullptr};

static void release_record(loaded_image *li)
{
    aligned_free(li->buffer);
    li->buffer = nullptr;
    li->size = 0;
}

void init_load_data(image_desc *images, int nimages, int color_mode)
{
    free_load_data();
    load_data.images = images;
    load_data.nimages = nimages;
    load_data.color_mode = color_mode;
    load_data.shared.kind = 1;
    load_data.ahead.kind = 1;
}

loaded_image *shared_source_image(void) { return &load_data.shared; }

static void join_loader(void)
{
    if (load_data.loader) {
        blocking_wait w;
        zthread_join(load_data.loader, nullptr);
        load_data.loader = nullptr;
    }
}

void free_load_data(void)
{
    join_loader();
    load_data.ahead_image = -1;
    release_record(&load_data.shared);
    release_record(&load_data.ahead);
}

// The warper keeps to the pixels the file has; a script written for another
// size of the photo is worth a word.
static void check_file_size(const image_desc *d, const image_reader *ir)
{
    int size[2] = {ir->width, ir->height};
    parser_get_image_size(d->o_line, size);
    if (size[0] != ir->width || size[1] != ir->height)
        print_warning(msg_size, d->name, ir->width, ir->height, size[0], size[1]);
}

static void decode(int k, loaded_image *li)
{
    kassert(k >= 0 && k < load_data.nimages);
    const image_desc *d = &load_data.images[k];
    image_reader *ir =
        load_data.color_mode ? color_reader(d->index, d->width, d->height) : file_image_reader(d->name);
    if (!ir)
        print_refused_file(msg_no_file, msg_no_file_why, d->name);
    if (!load_data.color_mode && d->o_line)
        check_file_size(d, ir);
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
    get_image_buffer(r, li);
    close_image_reader(r);
}

static void *load_ahead(void *)
{
    zthread_name("zenthra-decode");
    permit_take();
    decode(load_data.ahead_image, &load_data.ahead);
    permit_give();
    return nullptr;
}

loaded_image *get_source_image(int k)
{
    if (load_data.ahead_image == k) {
        join_loader();
        load_data.ahead_image = -1;
        std::swap(load_data.shared, load_data.ahead);
    } else {
        join_loader();
        load_data.ahead_image = -1;
        decode(k, &load_data.shared);
    }
    return &load_data.shared;
}

void load_source_image_ahead(int k)
{
    join_loader();
    load_data.ahead_image = -1;
    if (k < 0 || k >= load_data.nimages || pixel_threads() <= 1)
        return;
    load_data.ahead_image = k;
    if (zthread_create(&load_data.loader, nullptr, load_ahead, nullptr) != 0) {
        load_data.loader = nullptr;
        load_data.ahead_image = -1; // decoded when it is asked for
    }
}
