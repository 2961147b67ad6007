// The blender input: the two images of an overlap padded to the pyramid size,
// with the seam mask that says which of them wins at each pixel.
#pragma once
#include "stitcher/pipeline/readimage.h"

// The padded size of a side of n pixels for L levels: the smallest
// k * 2^L + 1 that is at least n (1 for n up to 1); -1 when it does not fit
// in an int.
int padded_size(int n, int levels);

// From s0 (the new image a) and s1 (what earlier images left there, b), both
// float_RGBA with the same tag and s1 at least as large as s0, both read
// without a caller buffer (buffered readers or their views), makes three
// readers of the padded size: *a and *b (float_RGBA) and the seam mask *m
// (float_G, 255 where a wins, 0 where b wins), chosen by the seam mode. All
// three are views of one ring of blend_bufsize(levels) + get_seam_preload()
// rows and must be read in increasing row order; closing a's view releases
// s0 and s1. Returns 0, or 1 (nothing made) when the padded row is too large
// to describe.
int create_blender_images(image_reader **a, image_reader **b, image_reader **m, image_reader *s0,
                          image_reader *s1, int levels);
