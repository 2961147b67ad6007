// The colour-coded mask image (-e) of any content: the first byte picks the
// reader (PPM, TIFF, JPEG), the rest is the file. Every mask byte is the
// image number of its pixel's colour.
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
    auto open = [&] { return readers[data[0] % 3](path.c_str()); };
    image_reader *ir = nullptr;
    image_number_mask *mask = nullptr;
    try {
        ir = open();
        // The program refuses masks of 16-bit samples before they are read.
        if (ir && (ir->pixformat == uchar_RGB || ir->pixformat == uchar_RGBA) &&
            int64_t(ir->width) * ir->height <= (int64_t(1) << 24)) {
            // Damaged data ends the run here, before the mask exists: in the
            // program that end leaves nothing to free.
            read_rows(ir, INT64_MAX);
            close_image_reader(ir);
            mask = read_mask(ir = open());
            close_image_reader(ir);
            ir = open();
            check(mask->width == ir->width && mask->height == ir->height);
            const size_t step = get_bytes_per_pixel(ir->pixformat);
            for (int y = 0; y < ir->height && y < 4; y++) { // rows are read again: only the first few
                const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, y, nullptr));
                for (int x = 0; x < ir->width; x++, p += step) {
                    uint32_t code = p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
                    check(mask->bytes[size_t(y) * size_t(ir->width) + size_t(x)] == image_number(code));
                }
            }
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
