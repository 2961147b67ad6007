// The reducing stage of the Gaussian pyramid.
#pragma once
#include "stitcher/pipeline/readimage.h"

// Halves ir (float_RGBA or float_G, read without a buffer, so buffered or a
// view) with the 5-tap kernel 0.05 0.25 0.4 0.25 0.05 to ((w - 1) / 2 + 1) x
// ((h - 1) / 2 + 1). The first and last row and column are samples of the
// source, not filtered across; with an even width or height the last source
// column or row is never read. Needs a caller buffer.
image_reader *reduce(image_reader *ir);
