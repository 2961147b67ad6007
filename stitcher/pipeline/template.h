// Run-length templates: which pixels of an image area are covered, as an
// extent minus rectangles, stored as runs of covered columns in bands of rows
// that share the same runs. A template is built, walked once row by row from
// row 0, and freed; walking consumes it.
#pragma once
#include "stitcher/pipeline/rectangle.h"

#include <cstdint>

// One band of rows.
struct line_tpl {
    int32_t *pos;    // start column of each run; null when len is 0
    int32_t *length; // length of each run (0 is skipped by the walk)
    int32_t len;     // number of runs
    int32_t n_rows;  // rows of the band still to be walked
};

// (`template` itself is a C++ keyword.) The last band is a sentinel without
// runs and with 2147483647 rows, so that a walk past the extent yields empty
// rows and never runs off the bands.
struct template_ {
    int32_t n_line_tpls;
    line_tpl *line_tpls;
    line_tpl *current;   // the band the next walk step reads
    int32_t runs_packed; // non-zero when the runs point into a packed block
};

// The extent ext minus the n rectangles (rects may be null when n is 0), in
// the coordinates of the image that contains ext: the rows above ext form the
// first band. ext must have a positive height.
template_ *create_template(const irectangle *ext, const irectangle *rects, int n);

typedef void (*band_done_fn)(void *user);
typedef int (*run_fn)(void *user, int pos, int length); // 0 on success
// Walks one row: band_done (may be null) for every band entered, then run for
// each non-empty run of the row. Returns 0.
int process_row(template_ *t, band_done_fn band_done, run_fn run, void *user);

// Covered pixels still to be walked.
int64_t template_npix(const template_ *t);
// Words of the packed form: 2 + the sum over the bands of 2 + 2 len.
int size_template(const template_ *t);
// The packed form, one block of int32 in host order (free with aligned_free):
// N, the band count, then per band n_rows, len, len starts, len lengths.
int32_t *pack_template(const template_ *t);
// A template whose runs point into packed, which must outlive it and be
// freed by its owner; free it with free_template(t, 0).
template_ *unpack_template(int32_t *packed);

// Makes columns relative to dx and removes dy rows from the front.
void shift_template(template_ *t, int dx, int dy);
// For an image at column x >= 0 of a panorama width columns wide that wraps
// round: runs beyond the right edge move back by width and runs crossing it
// are split, the second part starting at column -x (panorama column 0).
// The template must own its runs.
void wrap_template(template_ *t, int x, int width);
// The same for a panorama that does not wrap: runs are clipped to the
// panorama's columns 0 .. width - 1.
void cut_template(template_ *t, int x, int width);

// free_runs non-zero frees the run arrays too (templates from create_template).
void free_template(template_ *t, int free_runs);
// Prints the bands and runs to standard output, for diagnosis.
void print_template(const template_ *t);
