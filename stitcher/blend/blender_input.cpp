// The blender input. One wide reader fills each row with three regions, by
// byte offset (g = padded width):
//
//     0          A: g float_RGBA pixels of a
//     16 g       B: g float_RGBA pixels of b
//     32 g       the third region: g float_G mask values (modes 0 and 2)
//                or g cost records of four floats (mode 1)
//
// and three split views of its ring hand the regions to the pyramids.
#include "stitcher/blend/blender_input.h"

#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/seam.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pixformat.h"

#include <climits>
#include <cstring>

struct blender_data {
    size_t offset_b;
    size_t offset_mask;
    unsigned char *last; // the last row produced; padding rows repeat its third region
    int width;           // padded
    image_reader *s0;
    image_reader *s1;
    int mode; // the seam mode when the reader was made
};

int padded_size(int n, int levels)
{
    int64_t step = int64_t(1) << levels;
    int64_t g = step * ((n + step - 2) / step) + 1;
    return g > INT_MAX ? -1 : static_cast<int>(g);
}

// Mode 0: the larger alpha wins; equal alphas give the earlier content.
static void centre_blender(unsigned char *row, size_t offset_b, size_t offset_mask, const float *a,
                           const float *b, int x0, int x1)
{
    float *out_a = reinterpret_cast<float *>(row), *out_b = reinterpret_cast<float *>(row + offset_b);
    float *mask = reinterpret_cast<float *>(row + offset_mask);
    for (size_t x = static_cast<size_t>(x0); x < static_cast<size_t>(x1); x++) {
        float aa = a[4 * x + 3], ab = b[4 * x + 3];
        seam_pixel(a + 4 * x, b + 4 * x, out_a + 4 * x, out_b + 4 * x);
        mask[x] = seam_mask_rule(aa, ab, 1.0f);
    }
}

static size_t third_bytes(const blender_data *bd)
{
    return static_cast<size_t>(bd->width) * (bd->mode == 1 ? 16 : sizeof(float));
}

static void *blender_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    blender_data *bd = static_cast<blender_data *>(ir->data);
    unsigned char *row = static_cast<unsigned char *>(buf);
    if (n < bd->s0->height) {
        // The seam writes both outputs from the rows where they lie: copying
        // them into the ring first would double the traffic of the blend.
        const float *b = static_cast<const float *>(read_row(bd->s1, n, nullptr));
        const float *a = static_cast<const float *>(read_row(bd->s0, n, nullptr));
        const int w = bd->s0->width, mode = bd->mode;
        const size_t ob = bd->offset_b, om = bd->offset_mask;
        pool_columns_for(w, split_columns, [=](int x0, int x1) {
            if (mode == 1)
                smart_blender_columns(row, ob, om, a, b, x0, x1);
            else if (mode == 2)
                add_blender_columns(row, ob, om, a, b, x0, x1);
            else
                centre_blender(row, ob, om, a, b, x0, x1);
        });
        seam_padding(row, ob, om, mode == 1 ? 16 : sizeof(float), w, bd->width);
    } else {
        memset(row, 0, bd->offset_mask);
        // Rows come in order, so the previous one is still in the ring.
        if (bd->last)
            memcpy(row + bd->offset_mask, bd->last + bd->offset_mask, third_bytes(bd));
        else
            memset(row + bd->offset_mask, 0, third_bytes(bd));
    }
    bd->last = row;
    return buf;
}

static int blender_close_image(void *data)
{
    blender_data *bd = static_cast<blender_data *>(data);
    int status = close_image_reader(bd->s0);
    status |= close_image_reader(bd->s1);
    aligned_free(bd);
    return status;
}

int create_blender_images(image_reader **a, image_reader **b, image_reader **m, image_reader *s0,
                          image_reader *s1, int levels)
{
    kassert(s0->pixformat == float_RGBA);
    kassert(s1->pixformat == float_RGBA);
    kassert((s0->type & 3) == (s1->type & 3));
    kassert(s1->width >= s0->width && s1->height >= s0->height);
    kassert(levels >= 1 && levels <= 10);
    int mode = get_seamer();
    int g = padded_size(s0->width, levels), h = padded_size(s0->height, levels);
    // The wide row is 12 g pixels of 4 bytes at most, and its byte size must
    // fit the ring's arithmetic.
    if (g < 0 || h < 0 || g > INT_MAX / 12)
        return 1;
    int rows = blend_bufsize(levels) + get_seam_preload();

    blender_data *bd = static_cast<blender_data *>(checked_calloc(1, sizeof(blender_data)));
    bd->offset_b = 16 * static_cast<size_t>(g);
    bd->offset_mask = 2 * bd->offset_b;
    bd->width = g;
    bd->s0 = s0;
    bd->s1 = s1;
    bd->mode = mode;
    connect_reader(s0);
    connect_reader(s1);

    // Declared as uchar_RGBA only to give the row its byte size.
    size_t third = mode == 1 ? 16 * static_cast<size_t>(g) : (4 * static_cast<size_t>(g) + 15) / 16 * 16;
    int wide_width = static_cast<int>((bd->offset_mask + third) / 4);
    image_reader *wide =
        create_image_reader(s0->type, bd, wide_width, h, uchar_RGBA, blender_read, blender_close_image);
    // A thread of its own fills the blender's rows ahead of the pyramids,
    // far enough for the bursts in which the coarse levels ask for them,
    // into the ring the pyramids read when that fits in memory.
    image_reader *ring = nullptr;
    if (pixel_threads() > 1 && mode != 1)
        ring = prefetch_window_reader(wide, rows, blend_input_ahead, "zenthra-blendin");
    if (ring) {
        wide = ring;
    } else {
        if (pixel_threads() > 1)
            // Within 16 MB: rows as wide as the panorama need fewer to cover a burst.
            wide = prefetch_reader(wide, rows_ahead(wide, 32, blend_input_ahead, size_t(16) << 20),
                                   "zenthra-blendin");
        // The smart seam holds a window of the newest rows far longer than the
        // other modes: its ring stays whole in memory.
        wide = mode == 1 ? buffered_reader_2(wide, rows) : spilled_ring_reader(wide, rows);
    }
    *a = split_reader(wide, 0, g, float_RGBA);
    *b = split_reader(wide, bd->offset_b, g, float_RGBA);
    if (mode == 1)
        // The mask level 0 is read as far ahead as this ring: 381 rows, the
        // seamer's own ring, are too few for 9 and 10 levels.
        *m = seamer_ring(split_reader(wide, bd->offset_mask, g, float_RGBA), blend_bufsize(levels));
    else
        *m = split_reader(wide, bd->offset_mask, g, float_G);
    return 0;
}
