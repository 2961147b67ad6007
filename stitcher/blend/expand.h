// Expanding stages: the linear (1/2, 1, 1/2 tent) enlargement of a mask level
// and the Laplacian difference and sum of two adjacent colour levels.
#pragma once
#include "stitcher/pipeline/readimage.h"

// A float_G reader of w x h enlarged to (2w - 1) x (2h - 1). The source is read
// without a buffer; the stage needs one.
image_reader *expand(image_reader *ir);
// fine - expand(coarse) and fine + expand(coarse) on R, G and B, with fine's
// alpha unchanged. Both float_RGBA; fine must be exactly the expansion size
// of coarse. Both are read without a buffer, coarse two rows apart, so it
// must be buffered with at least 2 rows. The stages need a buffer.
image_reader *sub_expand(image_reader *fine, image_reader *coarse);
image_reader *add_expand(image_reader *fine, image_reader *coarse);
