// Several warped images, each kept as a temporary image, put side by side
// into one row stream: the overlap tiles that earlier images left for a
// later one, the pieces of a cap, and the whole panorama when the output
// file is written top to bottom.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"
#include "stitcher/pipeline/writeimage.h"

struct image_desc;

// One reader of width x height over n temporary-image readers of the
// in-memory store (temp_reader), reader i's row 0, column 0 landing at
// rects[i].x, rects[i].y; where several cover a pixel with non-zero alpha the
// lowest index wins. Takes over both arrays (16-byte aligned) and connects
// every reader; all must share reader 0's tag and pixformat. Rows must be
// read in order, each once (a 1-row buffer serves repeats).
image_reader *merge_reader(image_reader **readers, irectangle *rects, int width, int height, int n);
// merge_reader over readers of an alpha form, and *kept, the reader it reads
// its rows from: the same rows, except that where no reader has alpha a
// pixel keeps a colour without alpha (the rim of a warped image) rather
// than staying empty. A follower of *kept sees every row the merge reads.
image_reader *merge_reader_kept(image_reader **readers, irectangle *rects, int width, int height, int n,
                                image_reader **kept);

// Writes every row of writer from the n image records, laid in order, later
// over earlier, each at its dest_rect minus origin's x and y. An image is read
// only once its completion word is no longer 0 (waiting for it); records at
// -1 are skipped. wrap: the panorama's wrap length, 0 when it does not wrap;
// images crossing a wrapping panorama's edge are split across it. Returns 0.
int merge_alpha(image_desc *images, irectangle origin, int n, image_writer *writer, int wrap);

// The mean colour of the uchar_RGBA readers whose alpha is non-zero, opaque
// black where none is, for every row of writer; reader i's row 0 lies at
// rects[i]. Closes nothing. Returns 0.
int alpha_merger(image_reader **readers, const irectangle *rects, int n, image_writer *writer);
