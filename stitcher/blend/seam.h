// Seams: how two overlapping images are divided before they are blended.
//
// The blender input builds one wide row per row of the overlap: output A (the
// new image a, handed to the pyramid), output B (the earlier content b) and a
// third region, the seam mask (float_G, 255 where a wins, 0 where b wins) in
// modes 0 and 2, a row of cost records in mode 1, which seamer turns into the
// mask.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"

#include <cstddef>
#include <cstdint>

// 0 compares the alphas (centre seam), 1 the smart seam, 2 no seam (even mix).
// Mode 1 also sets the rows of one smart-seam window, which stay set.
void set_seamer(int mode);
int get_seamer(void);
int get_seam_preload(void);

// ---- the blender row ----

// Which image covers a pixel pair; a not-a-number alpha counts as cover.
enum { seam_none = 0, seam_b_only = 1, seam_a_only = 2, seam_both = 3 };

// Writes the A and B outputs of one pair of float_RGBA pixels: where both
// cover, a's and b's colours, both with the larger alpha; where one covers,
// that pixel on both sides; else zero. a and b may be out_a and out_b.
inline int seam_pixel(const float *a, const float *b, float *out_a, float *out_b)
{
    float aa = a[3], ab = b[3];
    int cover = (aa != 0 ? seam_a_only : 0) | (ab != 0 ? seam_b_only : 0);
    if (cover == seam_both) {
        // The larger alpha, but never a not-a-number one when the other is a number.
        float m = (ab > aa || aa != aa) ? ab : aa;
        float pa[4] = {a[0], a[1], a[2], m}, pb[4] = {b[0], b[1], b[2], m};
        for (int i = 0; i < 4; i++) {
            out_a[i] = pa[i];
            out_b[i] = pb[i];
        }
        return cover;
    }
    const float zero[4] = {0, 0, 0, 0};
    const float *p = cover == seam_a_only ? a : cover == seam_b_only ? b : zero;
    float q[4] = {p[0], p[1], p[2], p[3]};
    for (int i = 0; i < 4; i++)
        out_a[i] = out_b[i] = q[i];
    return cover;
}

// The mask with a factor f on b's alpha (f = 1 is mode 0's rule): 0 where a
// does not cover, else 255 where b does not, else 255 when aa > f * ab.
inline unsigned char seam_mask_rule(float aa, float ab, float f)
{
    if (aa == 0)
        return 0;
    if (ab == 0)
        return 255;
    return aa > f * ab ? 255 : 0;
}

// Columns width .. padded_width - 1: A and B zero, the third region repeating
// its column width - 1 (third_size bytes a column; zero when width is 0).
void seam_padding(unsigned char *row, size_t offset_b, size_t offset_third, size_t third_size, int width,
                  int padded_width);

// Fill one blender row in mode 1 and mode 2. row is the wide row: A at byte
// 0, B at offset_b, the third region at offset_third; a and b are the input
// rows of width pixels (they may be the A and B regions of row itself), and
// columns width .. padded_width - 1 are padding. Mode 1 writes the cost
// records of the pairs as they came in; mode 2 the mask 127.5 where both
// cover.
void smart_blender(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b, int width,
                   int padded_width);
void add_blender(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b, int width,
                 int padded_width);
// Their columns x0 .. x1 - 1 alone, without the padding: the pieces of a
// row shared out by columns.
void smart_blender_columns(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b,
                           int x0, int x1);
void add_blender_columns(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b,
                         int x0, int x1);

// ---- the smart seam ----

// A cost record, one float_RGBA pixel of the third region in mode 1: alpha
// of a, alpha of b, squared colour distance + 1, and a float nothing reads.
enum { cost_alpha_a = 0, cost_alpha_b = 1, cost_value = 2 };

// The smart-seam reader's state. Each window of `preload` rows is planned
// with all its rows and outputs its first `half`; every overlap region of
// the window gets a factor on b's alpha that moves the seam off pixels where
// the images differ.
struct seam_data {
    image_reader *source; // cost records
    int32_t preload;
    int32_t nrows; // rows of the current window
    int32_t half;
    irectangle *regions; // 10 slots, left to right: {x, 0, width, nrows}
    int32_t nregions;    // at most 10; slot 9 is reused beyond
    int32_t nopt;        // slots optimised: nregions, less one when slot 0 starts at column 0
    unsigned char *rct;  // window mask: preload rows of source width bytes, 0 or 255
    const float **rows;  // the window's source rows, pointers into the blender ring
    float factor[10];    // per slot, carried from window to window
    float prev_factor[10];
    int32_t region;           // the slot qual evaluates
    unsigned char *prev_mask; // mask of the last row the previous window output
    const float *prev_row;    // source row above the window; null for the first
};

// A float_G reader of the seam mask over a float_RGBA reader of cost
// records, behind a 381-row ring. The rows must be read in increasing order,
// and the source must hold row n - 1 and the preload rows after it at once.
image_reader *seamer(image_reader *ir);
// The same behind a ring of ring_rows rows. The mask level 0 of a pyramid of
// n levels is read as far ahead as the blender ring, blend_bufsize(n) rows,
// which is more than 381 for 9 and 10 levels.
image_reader *seamer_ring(image_reader *ir, int ring_rows);

// Steps of a window, apart for testing: the overlap regions of rows[0 ..
// nrows - 1], and mask row k (0 .. half - 1) of the window into buf.
void find_seam_regions(seam_data *sd);
void seam_mask_row(seam_data *sd, int k, float *buf);

// The cost of the factor e^x for slot sd->region of the current window: the
// fifth powers of the costs of the pixel pairs the seam passes between.
double qual(double x, void *data);

struct optimize_data {
    double x; // start in, result out
    double lo;
    double hi;
    double step; // first step, halved down to min_step
    double min_step;
    void *data;
    double (*fn)(double x, void *data);
    double fx; // out: fn at the result
};
// Bounded step-halving search for a minimum of fn over [lo, hi]; a tie
// between the two sides goes to the lower one.
void optimize(optimize_data *d);
