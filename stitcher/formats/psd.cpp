// The flat PSD/PSB writer, and what it shares with the tiled layout.
#include "stitcher/formats/psd.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <unistd.h>
#include <vector>

static const char msg_no_memory[] = "Not enough memory to write PSD-file.\n";
static const char msg_write[] = "Could not write file %s: %s.\n";
static const char msg_too_large[] = "WARNING: Image too large for PSD format: %" PRId64 " MBytes.\n";
static const char msg_use_psb[] =
    "WARNING: Using PSB format. This may not be readable by standard imagereaders.\n";
static const char msg_psb_limit[] =
    "Image %d x %d too large for file %s: PSB holds at most 300000 pixels a side.\n";

void psd_put(unsigned char *p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * (bytes - 1 - i)));
}

void psd_channel(unsigned char *dst, const unsigned char *src, int64_t n, int c, int bpp, int bpc)
{
    src += c * bpc;
    for (int64_t i = 0; i < n; i++, src += bpp, dst += bpc) {
        if (bpc == 1) {
            dst[0] = src[0];
        } else { // host order (little-endian) to big-endian
            dst[0] = src[1];
            dst[1] = src[0];
        }
    }
}

int psd_use_psb(const char *name, int big, int width, int height, int64_t section_bytes, int64_t file_bytes)
{
    if (width > 300000 || height > 300000)
        print_error(msg_psb_limit, width, height, name);
    if (big)
        return 1;
    if (width <= 30000 && height <= 30000 && section_bytes <= INT32_MAX)
        return 0;
    print_warning(msg_too_large, file_bytes / 1000000);
    print_warning(msg_use_psb);
    return 1;
}

// A resource: signature, id, an empty name (two bytes), the data's length and
// the data, padded to an even length.
int64_t psd_resources_bytes(const icc_profile *icc)
{
    return icc ? 12 + int64_t(icc->length) + (icc->length & 1) : 0;
}

int64_t psd_header_start(unsigned char *p, int big, int channels, int width, int height, int depth,
                         const icc_profile *icc)
{
    const int64_t resources = psd_resources_bytes(icc);
    if (!p)
        return 34 + resources;
    memset(p, 0, static_cast<size_t>(34 + resources));
    memcpy(p, "8BPS", 4);
    psd_put(p + 4, big ? 2 : 1, 2);
    psd_put(p + 12, static_cast<uint64_t>(channels), 2);
    psd_put(p + 14, static_cast<uint64_t>(height), 4);
    psd_put(p + 18, static_cast<uint64_t>(width), 4);
    psd_put(p + 22, static_cast<uint64_t>(depth), 2);
    psd_put(p + 24, 3, 2); // RGB; no colour mode data
    psd_put(p + 30, static_cast<uint64_t>(resources), 4);
    if (icc) {
        memcpy(p + 34, "8BIM", 4);
        psd_put(p + 38, 1039, 2);
        psd_put(p + 42, icc->length, 4);
        memcpy(p + 46, icc->data, icc->length);
    }
    return 34 + resources;
}

struct psd_data {
    int32_t fd;
    int32_t nchannels;
    int32_t depth;
    int32_t width;
    int64_t plane_bytes; // one channel of the whole image
    int64_t row_bytes;   // one row of one channel
    unsigned char *rowbuf;
    int64_t header; // bytes before the first plane
    int32_t y;      // the row written next
    int32_t bpp;
    char *path;
    int32_t big;
    int32_t height;
};

// The header, with the profile of the photos read until the first row: its
// length places the planes.
static void write_header(psd_data *pd)
{
    const icc_profile *icc = kept_icc_profile();
    int64_t start = psd_header_start(nullptr, pd->big, pd->nchannels, pd->width, pd->height, pd->depth, icc);
    // Then an empty layer and mask section and raw (uncompressed) planes.
    pd->header = start + (pd->big ? 8 : 4) + 2;
    std::vector<unsigned char> header(static_cast<size_t>(pd->header));
    psd_header_start(header.data(), pd->big, pd->nchannels, pd->width, pd->height, pd->depth, icc);
    if (pwrite_full(pd->fd, header.data(), header.size(), 0) != 0)
        print_error(msg_write, pd->path, strerror(errno));
}

int psd_write_row(void *data, void *row)
{
    psd_data *pd = static_cast<psd_data *>(data);
    if (pd->y == 0)
        write_header(pd);
    const unsigned char *src = static_cast<const unsigned char *>(row);
    int bpc = pd->depth / 8;
    for (int c = 0; c < pd->nchannels; c++) {
        psd_channel(pd->rowbuf, src, pd->width, c, pd->bpp, bpc);
        int64_t at = pd->header + c * pd->plane_bytes + pd->y * pd->row_bytes;
        if (pwrite_full(pd->fd, pd->rowbuf, static_cast<size_t>(pd->row_bytes), at) != 0)
            print_error(msg_write, pd->path, strerror(errno));
    }
    pd->y++;
    return 0;
}

int psd_close(void *data)
{
    psd_data *pd = static_cast<psd_data *>(data);
    if (close(pd->fd) != 0)
        print_error(msg_write, pd->path, strerror(errno));
    aligned_free(pd->rowbuf);
    aligned_free(pd->path);
    aligned_free(pd);
    return 0;
}

image_writer *psd_writer(const char *path, int width, int height, uint32_t pixformat, int big)
{
    if (pixformat != uchar_RGB && pixformat != uchar_RGBA && pixformat != ushort_RGB &&
        pixformat != ushort_RGBA)
        return nullptr;
    kassert(width > 0 && height > 0);
    int bpc = get_bytes_per_channel(pixformat), nchannels = get_bytes_per_pixel(pixformat) / bpc;
    int64_t plane = int64_t(width) * bpc * height;
    big = psd_use_psb(path, big, width, height, 0, 40 + nchannels * plane);
    int fd = create_output_file(path);
    if (fd < 0) {
        set_refusal("%s", strerror(errno));
        return nullptr;
    }
    psd_data *pd = static_cast<psd_data *>(checked_malloc(sizeof(psd_data)));
    *pd = {fd,         nchannels,
           8 * bpc,    width,
           plane,      int64_t(width) * bpc,
           nullptr,    0,
           0,          get_bytes_per_pixel(pixformat),
           sdup(path), big,
           height};
    pd->rowbuf = static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(pd->row_bytes)));
    if (!pd->rowbuf)
        print_error(msg_no_memory);
    return create_virtual_image_writer(width, height, pixformat, psd_write_row, psd_close, pd);
}
