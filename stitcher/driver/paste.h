// Writing a warped image with the blend of its overlap merged into it.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"
#include "stitcher/pipeline/writeimage.h"

// Every row of base into writer, with the rows of top laid over base's
// columns r.x .. r.x + r.width - 1 of rows r.y .. r.y + r.height - 1 where
// top's alpha is not 0. base must be read without a buffer (its rows are
// changed in place) in the alpha form of its pixformat; top is converted to
// that form. Closes top, then base. Returns 0.
int paste(image_reader *base, image_reader *top, irectangle r, image_writer *writer);
// The same, and where neither base nor top has anything (every byte of the
// base pixel and top's alpha 0) the pixel of under, whose row i and column
// 0 lie at row r.y + i, column r.x: what earlier images left there, in the
// alpha form, read without a buffer. Closes under too.
int paste_under(image_reader *base, image_reader *top, image_reader *under, irectangle r,
                image_writer *writer);
