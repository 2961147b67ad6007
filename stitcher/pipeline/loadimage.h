// Images decoded whole into one block of memory, which the warper samples
// at arbitrary positions.
#pragma once
#include "stitcher/pipeline/readimage.h"

#include <cstdint>

struct loaded_image {
    int32_t kind; // 1: the type tag of the warper's reader
    int32_t width;
    int32_t height;
    uint32_t pixformat;
    uint64_t size;    // bytes of buffer: width * height * bytes per pixel, rounded up to 16
    void *buffer;     // rows back to back, 16-byte aligned
    int32_t priority; // blend weight in percent; 100 when loaded
};

// The bytes a loaded image of this size takes (see loaded_image::size); the
// run ends when it cannot be held in memory.
uint64_t loaded_image_size(int width, int height, uint32_t pixformat);

// Every row of ir into li (kind 1, size 0 and a null buffer before the first
// use); the buffer is reused while the size stays the same. Does not close ir.
void get_image_buffer(image_reader *ir, loaded_image *li);
// The same for an image that goes round, such as a panorama of a full turn:
// each row has `pad` pixels more on either side (at most its width), which
// repeat the pixels at its other end, so that taps near one edge read on
// round the other. li's width counts them: the image proper starts at
// column pad.
void get_wrapped_image_buffer(image_reader *ir, int pad, loaded_image *li);
// Rows 0 .. height - 1 of ir, each read without a caller buffer, back to
// back into dst.
void load_image(image_reader *ir, void *dst);
