// Opening and creating image files by the suffix of their names.
#pragma once
#include "stitcher/pipeline/loadimage.h"
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

// An image file as a reader, chosen by the last suffix of its name (without
// case): .jpg/.jpeg, .ppm and .tif/.tiff by the built-in readers, which give
// null for a file they cannot open; any other name through the external
// converter programs, and fatal when none applies. A name that exists but
// is no regular file (a FIFO, a device, a folder) gives null before
// anything opens it. After a null, refusal() tells why.
image_reader *file_image_reader(const char *path);
// Size and pixformat of an image file; 0, or -1 when it cannot be opened.
int get_image_size(const char *path, image_size *out);

struct icc_profile;
struct saved_marker;

// What an image file's header holds besides its pixels.
struct image_metadata {
    icc_profile *profile;  // or null
    saved_marker *markers; // a JPEG's APP1 and APP2 markers, or null
    int32_t orientation;   // EXIF orientation, 1 when none
};
// Reads it without decoding pixels, by the suffix as file_image_reader
// chooses: JPEG and TIFF files carry it, others have none. A file that
// cannot be read gives none, quietly (decoding it says why).
image_metadata read_image_metadata(const char *path);
void free_image_metadata(image_metadata *m);
// Makes the file's profile and markers those of every file written from
// now on (icc_profile.h, jpeg.h); frees *m.
void keep_image_metadata(image_metadata *m);

// A writer chosen by the suffix of the name (without case): .ppm a PPM file,
// .jpg a JPEG file at quality 85, anything else a TIFF file.
image_writer *create_image_writer(const char *path, int width, int height, uint32_t pixformat);

// Writes li to a TIFF file; a debugging aid.
void dump_buffer(const loaded_image *li, const char *path);
