// The destination-rectangle query: the bounding box of a rectangle of source
// pixels mapped through an (inverted) stack.
#pragma once
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/rectangle.h"

#include <cstdint>

// Allocated 16-byte aligned by the caller. Centres lie at size * 0.5 - 0.5,
// repeated in all four lanes.
struct alignas(16) rect_query {
    float src_cx[4];
    float src_cy[4];
    int32_t x, y, width, height; // the source rectangle
    float dst_cx[4];
    float dst_cy[4];
    int32_t dst_x, dst_y, dst_width, dst_height;
    vector_stack stack[RMPSIZE];
};

// Maps the pixels (q->x + c, q->y + r), 0 <= r < rows, in groups of four
// columns from c = 0 while c < columns, and writes the bounding box of the
// results in destination pixels to out; returns out. The last group of a
// row reaches up to three columns past the rectangle, and those count.
// With border_only set, rows other than the first and the last map only
// their first and last group. Not-a-number points are left out; 1.0e21
// and infinities count. With nothing mapped the box is
// {1e10, -1e10, 1e10, -1e10}.
frectangle *sse_query_rect(const rect_query *q, int columns, int rows, frectangle *out, int border_only);
// The same box, with the rows cut into bands for this many threads (the
// calling one included) of the pixel pool.
frectangle *sse_query_rect_threads(const rect_query *q, int columns, int rows, frectangle *out,
                                   int border_only, int threads);

// Forward splatting: maps every pixel (q->x + c, q->y + r) of the record's
// rectangle, 0 <= c < q->width, 0 <= r < q->height, and copies the first
// three bytes of its four-byte source pixel (at src + row * stride + 4 *
// column) to the destination pixel it rounds to (halves away from zero) in
// the RGB buffer dst of q->dst_width x q->dst_height pixels. Points
// off that buffer and not-a-number points are dropped; later points overwrite
// earlier ones; pixels no point reaches keep their bytes.
void sse_forward(const rect_query *q, const unsigned char *src, int64_t stride, unsigned char *dst);
