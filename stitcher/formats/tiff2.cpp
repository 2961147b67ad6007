#include "stitcher/formats/tiff2.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"

#include <cerrno>
#include <cstring>
#include <vector>

static const char msg_open_output[] = "Could not open file %s.\n";
static const char msg_write[] = "Could not write file %s: %s.\n";
static const char msg_bad_format[] = "Pixel format %d not supported for output.\n";
static const char msg_too_large[] = "Image %d x %d too large for file %s.\n";

// The strip is the whole image; a taller one would need more strips.
enum { TIFF2_ROWS_PER_STRIP = 40000000 };

namespace
{
struct le_buffer {
    std::vector<unsigned char> bytes;
    void u16(uint32_t v)
    {
        bytes.push_back(static_cast<unsigned char>(v));
        bytes.push_back(static_cast<unsigned char>(v >> 8));
    }
    void u32(uint32_t v)
    {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    // A directory entry; a SHORT value sits in the first two value bytes.
    void entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
    {
        u16(tag);
        u16(type);
        u32(count);
        if (type == 3 && count == 1) {
            u16(value);
            u16(0);
        } else {
            u32(value);
        }
    }
};
} // namespace

ppm_data *open_tiff2(const char *path, int width, int height, uint32_t pixformat)
{
    if (pixformat != uchar_RGB && pixformat != uchar_RGBA && pixformat != ushort_RGB &&
        pixformat != ushort_RGBA)
        print_error(msg_bad_format, static_cast<int>(pixformat));
    const int bps = get_bytes_per_channel(pixformat) * 8;
    const int spp = get_bytes_per_pixel(pixformat) / get_bytes_per_channel(pixformat);
    const uint32_t entries = spp == 4 ? 11 : 10;
    const uint32_t bps_offset = 8 + 2 + 12 * entries + 4;
    const uint32_t header_len = (bps_offset + 2 * spp + 15) & ~15u;
    int64_t row_bytes, pixels;
    if (width <= 0 || height <= 0 || height > TIFF2_ROWS_PER_STRIP ||
        !checked_mul3(width, height, get_bytes_per_pixel(pixformat), &pixels) ||
        pixels > int64_t(UINT32_MAX) - header_len)
        print_error(msg_too_large, width, height, path);
    row_bytes = int64_t(width) * get_bytes_per_pixel(pixformat);

    le_buffer h;
    h.bytes.push_back('I');
    h.bytes.push_back('I');
    h.u16(42);
    h.u32(8);
    h.u16(entries);
    h.entry(256, 4, 1, static_cast<uint32_t>(width));
    h.entry(257, 4, 1, static_cast<uint32_t>(height));
    h.entry(258, 3, static_cast<uint32_t>(spp), bps_offset);
    h.entry(259, 3, 1, 1); // no compression
    h.entry(262, 3, 1, 2); // RGB
    h.entry(273, 4, 1, header_len);
    h.entry(277, 3, 1, static_cast<uint32_t>(spp));
    h.entry(278, 4, 1, TIFF2_ROWS_PER_STRIP);
    h.entry(279, 4, 1, static_cast<uint32_t>(pixels));
    h.entry(284, 3, 1, 1); // contiguous
    if (spp == 4)
        h.entry(338, 3, 1, 2); // unassociated alpha
    h.u32(0);
    for (int i = 0; i < spp; i++)
        h.u16(static_cast<uint32_t>(bps));
    kassert(h.bytes.size() == bps_offset + 2 * spp);
    h.bytes.resize(header_len, 0);

    ppm_data *pd = ppm_open(path);
    pd->width = width;
    pd->height = height;
    pd->pixformat = static_cast<int32_t>(pixformat);
    pd->row_bytes = row_bytes;
    pd->header_len = static_cast<int32_t>(header_len);
    pd->fd = create_output_file(path);
    if (pd->fd < 0)
        print_error(msg_open_output, path);
    if (write_full(pd->fd, h.bytes.data(), h.bytes.size()) != 0)
        print_error(msg_write, path, strerror(errno));
    return pd;
}

int close_tiff2(ppm_data *pd) { return ppm_close(pd); }
