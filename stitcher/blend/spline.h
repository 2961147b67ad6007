// Mixing of two pyramid levels under a mask level.
#pragma once
#include "stitcher/pipeline/readimage.h"

// a * w + b * (1 - w) on R, G and B with w = m / 255, and a's alpha. a and b
// are float_RGBA, m float_G; all three are read without a buffer at the same
// row and over a's width. The stage needs a buffer.
image_reader *spline(image_reader *a, image_reader *b, image_reader *m);
