// Caps over the zenith and the nadir. Next to a pole of a full
// equirectangular panorama one row stands for a whole circle of directions,
// so the images meeting there are blended on a plane of their own: a square
// equidistant fisheye looking straight up or down. The finished cap is then
// warped into the panorama like one more image.
#pragma once
#include "stitcher/geometry/matrix.h"

struct stitch_context;
struct stack_data;

// Appends the cap's destination record to ctx->images (as record nimages +
// ncaps; the array moves, take the pointer again) and, to ctx->caps, a copy
// of every source record re-aimed at the cap plane with its destination
// rectangle there. angle: degrees from the pole, above 0 and at most 90;
// direction 0 the zenith, 1 the nadir. Prints the cap's o-line.
void add_cap(stitch_context *ctx, const char *p_line, double angle, int direction);

// Frees the cap records, the cap arrays and what the copies own (their
// stacks and tiles; they borrow names and lines); ncaps becomes 0.
void free_caps(stitch_context *ctx);

// Side of the square cap plane for a panorama `height` rows high: even, and
// at least twice the rows of the cap.
int cap_size(double angle, int height);

// The stack of an image's cap copy: from a cap-plane pixel (scale f pixels
// per radian from the pole) through the rotation `tilt` to the rest of the
// image's own stack. A stack without a rotation before its viewpoint part
// or lens projection gets one.
stack_data *cap_stack(const stack_data *image_stack, double f, const rot_matrix tilt);
