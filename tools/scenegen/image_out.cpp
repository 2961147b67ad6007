#include "tools/scenegen/image_out.h"

#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/pixformat.h"
#include "tools/scenegen/scenes.h"

#include <algorithm>
#include <vector>

const char *format_suffix(int format)
{
    static const char *const suffix[] = {".ppm", ".tif", ".jpg"};
    return suffix[format];
}

int format_by_name(const std::string &name)
{
    if (name == "ppm")
        return FORMAT_PPM;
    if (name == "tif" || name == "tiff")
        return FORMAT_TIFF;
    if (name == "jpg" || name == "jpeg")
        return FORMAT_JPEG;
    return -1;
}

void write_image(const std::string &path, int width, int height, int channels, int format, int quality,
                 const std::function<const unsigned char *(int y)> &row)
{
    uint32_t pf = channels == 4 ? uchar_RGBA : uchar_RGB;
    image_writer *iw = format == FORMAT_JPEG   ? jpeg_writer(path.c_str(), width, height, pf, quality, 0)
                       : format == FORMAT_TIFF ? tiff_writer(path.c_str(), width, height, pf, 0)
                                               : ppm_writer(path.c_str(), width, height, pf);
    // The writers take a row they may change; the callers' rows stay theirs.
    std::vector<unsigned char> buf(size_t(width) * channels);
    for (int y = 0; y < height; y++) {
        std::copy_n(row(y), buf.size(), buf.data());
        write_row(iw, buf.data());
    }
    close_image_writer(iw);
}
