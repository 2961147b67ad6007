// Colour mode and the colour-coded mask image. Image number i (0..254) has
// the colour code of the low 24 bits of (i + 1) * 0x9C2A61, read as
// R + 256 G + 65536 B: all distinct and none black. In colour mode every
// source image is replaced by its flat colour; such a picture, painted over,
// comes back as a mask that tells the blender which image wins where.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/rectangle.h"

#include <cstdint>

// Image numbers a mask can hold; the byte value MASK_NO_CODE marks a colour
// that is no image's code.
enum { MASK_IMAGES = 255, MASK_NO_CODE = 255 };

// One image number per panorama pixel, with the layout of a loaded image.
struct image_number_mask {
    int32_t kind; // 1
    int32_t width;
    int32_t height;
    int32_t pixformat; // -1: no pixels
    uint64_t size;     // width * height
    unsigned char *bytes;
    int32_t priority; // 100
    int32_t wrap;     // columns of a panorama that wraps (lookups go round), else 0
};

// 0xFF000000 | (i + 1) * 0xF89C2A61: R, G, B of the code and alpha 255 in
// the memory order of a uchar_RGBA pixel.
uint32_t color_word(int i);
// The image number of a 24-bit colour code, MASK_NO_CODE when none.
int image_number(uint32_t code);

// A uchar_RGBA reader of width x height pixels of image i's colour word.
image_reader *color_reader(int i, int width, int height);

// The mask of a uchar_RGB or uchar_RGBA image; ir is read, not closed.
image_number_mask *read_mask(image_reader *ir);
void free_mask(image_number_mask *mask);
// Fatal when the project has more images than a mask can tell apart.
void check_mask_images(const image_number_mask *mask, int nimages);

// The float_G seam mask ir of image k, overridden where the mask (looked up
// at rect, image k's blend rectangle in panorama coordinates) names an image:
// 255 where it names k, 0 where it names an earlier image. Connects ir and
// closes it when closed. Columns go round the mask's wrap; lookups outside
// the mask leave the seam mask as it is.
image_reader *mask_reader(image_reader *ir, int k, const image_number_mask *mask, irectangle rect);
