// The order in which the images are warped and blended: the script's first
// image first, then a sweep from left to right across the panorama.
#pragma once

struct image_desc;

// The images reordered (a new array; the old one is freed), each record's
// index set to its new position. Prints the order ("Project reordered to:").
image_desc *optimize_order(image_desc *images, int n);
// The same by the top edge of the destination rectangles instead of the left.
image_desc *optimize_order_2(image_desc *images, int n);

// An order is an array of old positions: entry p is the image that goes to
// position p.

// 1 when number is among the first count entries of order, else 0.
int in_order(int number, int count, const int *order);
// The image not among the first count entries of order with the smallest
// dest_rect x (y), the lower position on ties; 0 when every image is taken.
int min_rect_x(const image_desc *images, const int *order, int count, int n);
int min_rect_y(const image_desc *images, const int *order, int count, int n);
// The images in the given order, as a new array with renumbered indices;
// the old array is freed.
image_desc *reorder(image_desc *images, const int *order, int n);
// "Project reordered to:" and the order, ten entries a line.
void print_order(const int *order, int n);
