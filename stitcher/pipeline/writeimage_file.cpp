// Creating image files by the suffix of their names.
#include "stitcher/pipeline/writeimage.h"

#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/string2.h"

image_writer *create_image_writer(const char *path, int width, int height, uint32_t pixformat)
{
    if (sendswith(path, ".ppm", 1))
        return ppm_writer(path, width, height, pixformat);
    if (sendswith(path, ".jpg", 1))
        return jpeg_writer(path, width, height, pixformat, 85, 0);
    return tiff_writer(path, width, height, pixformat, 0);
}
