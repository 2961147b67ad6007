// Integer and floating-point rectangles of the panorama, the images and the tiles.
#pragma once

// A width or height of 0 is an empty rectangle.
struct irectangle {
    int x, y, width, height;
};

// Both x bounds come first.
struct frectangle {
    float xmin, xmax, ymin, ymax;
};
