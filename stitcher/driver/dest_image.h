// Where the pixels of a warped image go, and where a later image finds them
// again: the destination writer splits an image by its overlap tiles into
// temporary images (and the panorama file when it is open for random
// access); the blend images are the tiles that earlier images left for an
// image.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"
#include "stitcher/pipeline/writeimage.h"

struct image_desc;
struct pano_file;

// A writer of the image's destination rectangle in the alpha form of its
// pixformat: every pixel goes to exactly one place, the first of its overlap
// tiles that holds it (a temporary image per tile, tile_ids), else the main
// part (the open panorama file, or a temporary image that becomes fd).
image_writer *dest_writer(image_desc *d, pano_file *pf);
// The image's main temporary image as a reader behind a 1-row buffer.
image_reader *dest_reader(image_desc *d);
// The first tile of d at or after *pos whose partner is `partner`, as a
// reader of its temporary image, with its index stored in *pos; null (and
// *pos unchanged) when there is none.
image_reader *dest_tile_reader(image_desc *d, int partner, int *pos);
// The same search, opening nothing: 1 with *pos one past the tile, or 0.
int preload_tile_reader(const image_desc *d, int partner, int *pos);
// Walks the tiles that earlier images keep for d, without effect. 0.
int preload_blend_images(const image_desc *d, const image_desc *images);

// What the images before d in the array left for it, as one reader (null
// when nothing), and in *out the rectangle that it covers, relative to d's
// destination rectangle. Tiles across a wrapping panorama's seam (wrap: its
// width, else 0) are moved by the wrap to meet d.
image_reader *get_blend_images(image_desc *d, image_desc *images, irectangle *out, int wrap);
// The same, and in *rim the reader whose rows hold, besides, the rim of an
// earlier image where no image has alpha: a colour whose alpha rounded to
// 0, which the blend drops but the output must keep. A follower of *rim
// sees every row that the returned reader reads.
image_reader *get_blend_images_rim(image_desc *d, image_desc *images, irectangle *out, int wrap,
                                   image_reader **rim);
// The main temporary images of images 0 .. count - 1 that have one, each at
// its destination rectangle, merged over width x height; null when none.
image_reader *merge_dest_images(int count, int width, int height, image_desc *images);
