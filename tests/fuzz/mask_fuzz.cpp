// The colour-coded mask image (-e) of any content, loaded as the program
// loads it: the first byte picks the file type, the rest is the file. Every
// mask byte is the image number of its pixel's colour.
#include "fuzz_support.h"
#include "stitcher/blend/color_image.h"
#include "stitcher/formats/image_file.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/pipeline/pixformat.h"

#include <cstdlib>
#include <filesystem>

static void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// A folder of this process for the files, which need their suffix. Kept out
// of static destruction, which would run before the removal at exit.
static const std::string &folder()
{
    static const std::string *dir = [] {
        std::string d = (std::filesystem::temp_directory_path() / "zenthra-mask-fuzz-XXXXXX").string();
        if (!mkdtemp(d.data()))
            abort();
        std::atexit([] { std::filesystem::remove_all(folder()); });
        return new std::string(d);
    }();
    return *dir;
}

static void check_mask(const image_number_mask *mask, image_reader *ir)
{
    check(mask->width == ir->width && mask->height == ir->height);
    size_t step = get_bytes_per_pixel(ir->pixformat);
    // Rows are read again, so only the first few.
    for (int y = 0; y < ir->height && y < 4; y++) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, y, nullptr));
        for (int x = 0; x < ir->width; x++, p += step) {
            uint32_t code = p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
            check(mask->bytes[size_t(y) * size_t(ir->width) + size_t(x)] == image_number(code));
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const suffixes[] = {".ppm", ".tif", ".jpg"};
    if (size < 1)
        return 0;
    survive_fatal_errors();
    std::string path = folder() + "/mask" + suffixes[data[0] % 3];
    int fd = create_output_file(path.c_str());
    if (fd < 0 || write_full(fd, data + 1, size - 1) != 0 || close(fd) != 0)
        abort();
    image_reader *ir = nullptr;
    image_number_mask *mask = nullptr;
    try {
        ir = file_image_reader(path.c_str());
        // The program refuses masks of 16-bit samples before they are read.
        if (ir && (ir->pixformat == uchar_RGB || ir->pixformat == uchar_RGBA) &&
            int64_t(ir->width) * ir->height <= (int64_t(1) << 24)) {
            // Damaged data ends the run here, before the mask exists: in the
            // program that end leaves nothing to free.
            read_rows(ir, INT64_MAX);
            close_image_reader(ir);
            ir = file_image_reader(path.c_str());
            mask = read_mask(ir);
            close_image_reader(ir);
            ir = file_image_reader(path.c_str());
            check_mask(mask, ir);
        }
    } catch (const fatal_end &) {
    }
    if (ir)
        close_image_reader(ir);
    free_mask(mask);
    free_saved_markers();
    return 0;
}
