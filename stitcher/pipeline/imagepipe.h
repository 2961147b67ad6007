// Stages that cut a window out of an image or mask parts of it, and the copy
// of a whole reader into a writer. Each stage connects its source when made
// and closes it when closed.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"
#include "stitcher/pipeline/writeimage.h"

// The window rect of ir, in the alpha layout of its pixformat; what lies
// outside ir reads as transparent black. Refuses a caller buffer.
image_reader *read_cut_rectangle(image_reader *ir, irectangle rect);
// Alpha 0 outside rect (uchar_RGBA and ushort_RGBA rows; float_RGBA rows
// pass unchanged). A caller buffer is needed when the source has no alpha.
image_reader *select_rectangle(image_reader *ir, irectangle rect);
// Every pixel whose centre lies farther than width/2 from the middle of the
// pixel grid becomes zero: the circle of a circular fisheye, as the warper
// reads it. A caller buffer is needed when the source has no alpha.
image_reader *select_circle(image_reader *ir);
// The rectangle rect, which must lie inside ir, in ir's pixformat.
image_reader *extract_rectangle(image_reader *ir, irectangle rect);

// Copies min(ir->height, iw->height) rows of ir into iw (same width),
// converting when the pixformats differ. Returns the or of the write statuses.
int pipe_image(image_reader *ir, image_writer *iw);
