// The colour-coded mask image (-e) of any content: the first byte picks the
// reader (PPM, TIFF, JPEG), the rest is the file. Loaded as the program loads
// it, or refused, never a fault or a leak; what a mask holds is the colour
// tests' part.
#include "fuzz_support.h"
#include "stitcher/blend/color_image.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/pixformat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static image_reader *(*const readers[])(const char *) = {ppm_reader, tiff_reader, jpeg_reader};
    int fd;
    std::string path = size ? memory_file(data + 1, size - 1, &fd) : std::string();
    if (path.empty())
        return 0;
    survive_fatal_errors();
    image_reader *ir = nullptr;
    image_number_mask *mask = nullptr;
    try {
        ir = readers[data[0] % 3](path.c_str());
        // The program refuses masks of 16-bit samples before they are read.
        if (ir && (ir->pixformat == uchar_RGB || ir->pixformat == uchar_RGBA) &&
            int64_t(ir->width) * ir->height <= (int64_t(1) << 24)) {
            // Damaged data ends the run here, before the mask exists: in the
            // program that end leaves nothing to free.
            read_rows(ir, INT64_MAX);
            close_image_reader(ir);
            mask = read_mask(ir = readers[data[0] % 3](path.c_str()));
            check(mask->width == ir->width && mask->height == ir->height);
        }
    } catch (const fatal_end &) {
    }
    if (ir)
        close_image_reader(ir);
    free_mask(mask);
    free_saved_markers();
    close(fd);
    return 0;
}
