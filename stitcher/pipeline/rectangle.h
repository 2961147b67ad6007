// Rectangles of the panorama and of the images placed in it.
#pragma once
#include <cstdint>

// Integer rectangle: left column, top row, size. A width or height of 0 is
// an empty rectangle.
struct irectangle {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// Float bounds as the destination-rectangle query returns them; note that
// both x bounds come first.
struct frectangle {
    float xmin;
    float xmax;
    float ymin;
    float ymax;
};

// out = the bounding rectangle of a and b.
void merge_rectangles(const irectangle *a, const irectangle *b, irectangle *out);
// out = the intersection of a and b; a negative width or height becomes 0
// while x and y keep the larger start. out must not be a or b.
void cut_rectangle(const irectangle *a, const irectangle *b, irectangle *out);
// Column x of a panorama that wraps every `wrap` columns, brought into
// [0, wrap); x itself when the panorama does not wrap (wrap <= 0).
inline int wrap_column(int x, int wrap) { return wrap > 0 ? (x % wrap + wrap) % wrap : x; }
