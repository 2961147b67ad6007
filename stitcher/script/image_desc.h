// The image record: what the script says of one image, and what later
// stages add to it.
#pragma once
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/rectangle.h"

struct icc_profile;
struct stack_data;

// One image of the job: a source image, or the destination of a cap.
// Records are copied by value when the image array grows.
struct image_desc {
    int index;              // position in the image array
    int pixformat;          // row format of the warped destination
    int width, height;      // after a crop: the crop's size
    irectangle src_rect;    // usable pixels inside the (cropped) image
    irectangle select_rect; // o-line S; all zero when absent
    irectangle crop_rect;   // o-line C; all zero when absent
    stack_data *stack;      // panorama pixel to source pixel; owned
    int wrap_shift;         // in: may take a wrap shift; out: the shift taken
    int is_circle;
    char *name;
    int fd;                 // fdflags of the warped temporary image, -1 when none
    irectangle dest_rect;   // where the warped image lies in the panorama
    int *tile_ids;          // per overlap tile: fdflags, -1 until written
    irectangle *tile_rects; // per tile, relative to dest_rect
    int *tile_partner;      // per tile: the later image that overlaps there
    int ntiles;
    int done; // 0 pending, 1 written, -1 nothing written; see below
    char *o_line;
    char *viewpoint_line; // or null
    int blend_weight;     // percent
    icc_profile *profile; // its file's colour profile, once read; owned
};

// `done` hands a finished image over to the panorama writer thread: the
// warping thread publishes it after everything the image wrote is complete
// and wakes the writer, which sleeps on it. Use only these for it.
inline void set_image_done(image_desc *d, int state)
{
    __atomic_store_n(&d->done, state, __ATOMIC_SEQ_CST);
    wake_word(&d->done);
}
inline int get_image_done(const image_desc *d) { return __atomic_load_n(&d->done, __ATOMIC_ACQUIRE); }
// Sleeps until the image is no longer pending; check runs every 100 ms
// meanwhile (it may end the run). The new state.
inline int wait_image_done(const image_desc *d, void (*check)(void)) { return wait_word(&d->done, 0, check); }

// Releases what the record owns (name, lines, stack, tile arrays, profile)
// and clears those fields.
void free_image_desc(image_desc *d);
