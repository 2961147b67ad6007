// Where each warped image lies in the panorama (its destination rectangle),
// and the overlap tiles: the parts of an image's rectangle that a later
// image covers, kept aside for that image to blend over.
#pragma once
#include "stitcher/pipeline/rectangle.h"

#include <cstdint>

struct image_desc;

// index, pixformat and dest_rect of d; no temporary image and no tiles yet
// (earlier tile arrays are not freed).
void set_dest_image(image_desc *d, int index, int pixformat, irectangle rect);
// Appends a tile for the later image `partner` to d; r is in panorama
// coordinates and is stored relative to d's dest_rect. Returns 0.
int add_tile(const irectangle *r, int partner, image_desc *d);

// Widens a to contain b.
void fmaxmin(frectangle *a, const frectangle *b);
// The rounding of query results: each bound clamped to +-2^28 (not-a-number
// to 0) and rounded half away from zero; xmax and ymax are inclusive.
// Returns the height.
int frectangle_to_irectangle(const frectangle *f, irectangle *out);

// Sets the destination rectangle of images 0 .. count - 1 (and index,
// pixformat, no tiles), cut to `window` of a panorama of size[0] x size[1].
// mode 0 maps every pixel when the border alone does not fill the window,
// 1 maps the border only, 2 takes the window as it is, 3 is 1 but for a
// photo over the rim of a fisheye or equisolid disc, which gets mode 0. A
// rectangle over 95 % of the window becomes the window; in an
// equirectangular panorama an image over a pole reaches that pole's row over
// the whole width. In modes 0 and 3 a photo that holds the direction behind
// a disc's centre reaches the disc's box, its whole rim; in mode 1 one whose
// frame cuts the rim gets a warning. In modes 0, 1 and 3, a photo across the
// back of a cylindrical or equirectangular panorama narrower than a full
// turn gets the columns its every pixel reaches in the window. Prints a
// "Rect Image" line per image. Returns null.
void *create_destination_rectangles(image_desc *images, int count, const int32_t size[2],
                                    const irectangle *window, int pixformat, int mode);
// Whether some pixel of d's destination rectangle in a panorama of size[0]
// x size[1] takes a colour of d: its centre maps among d's usable pixels.
// A rectangle of more than 65,536 pixels is taken to: its photo's pixels
// spread over it. Shifts and lens terms far out of range leave a photo a
// rectangle of a pixel or two that shows nothing.
int lands_somewhere(const image_desc *d, const int32_t size[2]);
// An image whose rectangle spans the whole panorama width needs no wrap
// shift: its rectangle starts at 0 and its stack is built again from the
// p-line and its own lines without one.
void unshift_full_width(image_desc *images, int count, int width, const char *pline);

// Records a tile on image i for every later image j whose rectangle meets
// i's in more than 4 pixels; with a wrap length, also j's rectangle moved
// right and then left by it. Tiles come ordered by partner, then shift.
void create_overlap_rectangles(image_desc *images, int count, int wrap);
