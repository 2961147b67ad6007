#include "stitcher/pipeline/rectangle.h"

#include <algorithm>

// Ends are summed in 64 bits so that a rectangle reaching past the int range
// clamps instead of wrapping round.
static int32_t clamp_i32(int64_t v)
{
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

void merge_rectangles(const irectangle *a, const irectangle *b, irectangle *out)
{
    int64_t x = std::min(a->x, b->x), y = std::min(a->y, b->y);
    int64_t xe = std::max(int64_t(a->x) + a->width, int64_t(b->x) + b->width);
    int64_t ye = std::max(int64_t(a->y) + a->height, int64_t(b->y) + b->height);
    *out = {clamp_i32(x), clamp_i32(y), clamp_i32(xe - x), clamp_i32(ye - y)};
}

void cut_rectangle(const irectangle *a, const irectangle *b, irectangle *out)
{
    int64_t x = std::max(a->x, b->x), y = std::max(a->y, b->y);
    int64_t xe = std::min(int64_t(a->x) + a->width, int64_t(b->x) + b->width);
    int64_t ye = std::min(int64_t(a->y) + a->height, int64_t(b->y) + b->height);
    *out = {clamp_i32(x), clamp_i32(y), clamp_i32(std::max<int64_t>(xe - x, 0)),
            clamp_i32(std::max<int64_t>(ye - y, 0))};
}
