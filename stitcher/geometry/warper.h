// The warper: a reader of float_RGBA rows of an image's destination
// rectangle in the panorama, each pixel mapped back into the decoded source
// through the image's stack, sampled with the chosen interpolator and given
// the feathered alpha. Every row is shared among the warper threads.
#pragma once
#include "stitcher/geometry/stack.h"
#include "stitcher/geometry/transform.h"
#include "stitcher/pipeline/loadimage.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"

#include <cstdint>

// Process-wide settings, made once by the entry before any warper.
extern int interpolator;     // code of transform.h; default INTERP_POLY3
extern int num_warp_threads; // at least 1
void set_interpolator(int code);
void set_num_warp_threads(int n);

// What all shares of one warp have in common; read-only while rows are
// computed, except the groups of to_data that each share owns. Vector fields
// hold one value in all four lanes. Coordinates are relative to the source
// centre.
struct alignas(16) remap_data {
    alignas(16) float src_cx[4]; // source width * 0.5 - 0.5: pixel i is centred at i
    alignas(16) float src_cy[4];
    alignas(16) float crop_left[4]; // bounds of the usable source rectangle
    alignas(16) float crop_right[4];
    alignas(16) float crop_top[4];
    alignas(16) float crop_bottom[4];
    alignas(16) float alpha_scale[4];    // priority / 100 * 256 / src_cx
    alignas(16) uint32_t rect_mask[4];   // all ones for the rectangular crop
    alignas(16) uint32_t circle_mask[4]; // all ones for the circular crop
    uint64_t src_size;                   // bytes of the source buffer
    int64_t src_stride;                  // bytes per source row
    int32_t src_bpp;                     // bytes per source pixel
    int32_t src_width;                   // the loaded image's size: the edge band reads
    int32_t src_height;                  // only pixels inside it
    int32_t wrap;                        // columns repeated past each side (see warper)
    const unsigned char *src_pixels;     // column 0 of row 0; not owned
    int32_t dest_x;
    alignas(16) float pano_cx[4];
    alignas(16) float pano_cy[4];
    float *to_data; // the row: destination width rounded up to groups of four
    vector_stack stack[RMPSIZE];
    pix_converter converter; // source pixformat to float_RGBA
    image_reader *threads;   // the threaded reader around the warp, or null
    int32_t opaque;          // alpha 255 instead of the feather weight
};

// The private record of one share of a row. The first three fields are the
// header the threaded reader requires: it copies `size` bytes for each share
// and writes the index and count. A share is the groups of four columns that
// start at 4 * thread_index, then every 4 * thread_count; whichever thread
// runs it, it writes those groups of to_data and nothing else.
struct warp_data {
    int32_t size;
    int32_t thread_index;
    int32_t thread_count;
    remap_data *rd;
    int32_t dest_y; // panorama row of the reader's row 0
    float *to_data;
    remap_row_fn remap_row;
};

// The reader of dest_rect (panorama pixels) warped from src. src_rect is
// the usable part of the source (cut to the loaded image); circle selects the
// circle of radius src_cx about the source centre, cut by src_rect. The
// source buffer must stay unchanged while rows are read. The row returned is
// the warper's own and stays valid until the next row is computed. With
// opaque, every pixel the image gives a colour (its alpha not 0 there) gets
// alpha 255: the feather weight is 0 on the centres of the source's edge
// pixels and below 0 just outside them, where the colour is theirs. With
// wrap, src goes round as a panorama of a full turn does: it was loaded by
// get_wrapped_image_buffer with pad wrap (wrap_columns()), src_rect
// and the stack count from its column wrap, and the taps read on round its
// left and right edges.
image_reader *warper(const loaded_image *src, irectangle src_rect, irectangle dest_rect,
                     const int32_t pano_size[2], const stack_data *stack, int circle, int opaque = 0,
                     int wrap = 0);
// The pad a wrapping source needs for the process-wide interpolator: every
// point up to half a pixel past its edge columns then takes all the taps.
int wrap_columns(void);
