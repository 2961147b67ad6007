// The tiled PSD/PSB layout: one layer per tile of the tiled file.
#include "stitcher/formats/psd.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/pipeline/tmp_image.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

static const char msg_pixformat[] = "Pixel format %d not supported for output.\n";
static const char msg_second[] = "Could not open file %s: a tiled file is already open.\n";
static const char msg_write[] = "Could not write file %s: %s.\n";
static const char msg_partial[] = "Writing partial tiles.....";
static const char msg_empty[] = "Writing empty tiles.....";
static const char msg_writing_header[] = "Writing PSD header.....";
static const char msg_done[] = "done.\n";
static const char msg_wrote[] = "Wrote %s-file. Size %" PRId64 " MBytes.\n";

enum { PSD_TILE = 2048 };

// Place and size of tile n in pixels.
struct tile_geometry {
    int64_t top, left, width, height;
};

static tile_geometry geometry(const tile_file *tf, int n)
{
    int bpp = get_bytes_per_pixel(static_cast<uint32_t>(tf->pixformat));
    int r = n / tf->tiles_across, c = n % tf->tiles_across;
    tile_geometry g;
    g.top = int64_t(r) * tf->tile_height;
    g.left = int64_t(c) * tf->tile_width_bytes / bpp;
    g.width = c == tf->tiles_across - 1 ? tf->row_bytes / bpp - g.left : tf->tile_width_bytes / bpp;
    g.height = r == tf->tiles_down - 1 ? tf->height - g.top : tf->tile_height;
    return g;
}

// Bytes of one channel of tile n.
static int64_t channel_bytes(const tile_file *tf, int n)
{
    tile_geometry g = geometry(tf, n);
    return g.width * g.height * get_bytes_per_channel(static_cast<uint32_t>(tf->pixformat));
}

void write_tile_to_file_2(tile_file *tf, tile *t)
{
    if (tf->n_written == 0) {
        // The image resources lie before the layers: they hold the profile
        // of the photos read until now.
        tf->profile = kept_icc_profile();
        tf->end += psd_resources_bytes(tf->profile);
    }
    tile_geometry g = geometry(tf, t->n_tile);
    int bpp = get_bytes_per_pixel(static_cast<uint32_t>(tf->pixformat));
    int bpc = get_bytes_per_channel(static_cast<uint32_t>(tf->pixformat));
    int64_t d = g.width * g.height * bpc, size = 4 * (2 + d);
    unsigned char *blocks = static_cast<unsigned char *>(checked_malloc(static_cast<size_t>(size)));
    for (int c = 0; c < 4; c++) {
        unsigned char *q = blocks + c * (2 + d);
        q[0] = q[1] = 0; // raw
        if (c == 3) {
            memset(q + 2, 0xFF, static_cast<size_t>(d)); // fully opaque
            continue;
        }
        for (int64_t y = 0; y < g.height; y++)
            psd_channel(q + 2 + y * g.width * bpc, t->data + y * tf->tile_width_bytes, g.width, c, bpp, bpc);
    }
    tile_pwrite(tf, blocks, size, tf->end);
    tile_stored(tf, t->n_tile, size);
    aligned_free(blocks);
}

// Bytes that arrive for a stored tile go into its channel blocks: channel c
// of pixel (x, y) lies at c (2 + D) + 2 + (y w + x) bpc.
static void patch_psd_tile(tile_file *tf, int n_tile, int64_t row, int64_t dx, const unsigned char *bytes,
                           int64_t n)
{
    int bpp = get_bytes_per_pixel(static_cast<uint32_t>(tf->pixformat));
    int bpc = get_bytes_per_channel(static_cast<uint32_t>(tf->pixformat));
    kassert(dx % bpp == 0 && n % bpp == 0);
    tile_geometry g = geometry(tf, n_tile);
    int64_t d = channel_bytes(tf, n_tile), count = n / bpp;
    std::vector<unsigned char> samples(static_cast<size_t>(count * bpc));
    for (int c = 0; c < 3; c++) {
        psd_channel(samples.data(), bytes, count, c, bpp, bpc);
        int64_t at = tf->tile_offset[n_tile] + c * (2 + d) + 2 + (row * g.width + dx / bpp) * bpc;
        tile_pwrite(tf, samples.data(), count * bpc, at);
    }
}

// The layer section without its length field: layer count, records and
// channel data, for the record size of PSD (70) or PSB (86).
static int64_t layer_info_length(const tile_file *tf, int big)
{
    int64_t total = 2;
    for (int n = 0; n < tf->n_tiles; n++)
        total += (big ? 86 : 70) + 4 * (2 + channel_bytes(tf, n));
    return total;
}

int64_t create_tiled_psd_header(unsigned char *buffer, const tiled_output *to)
{
    const tile_file *tf = get_tile_file();
    kassert(tf != nullptr);
    int big = to->big, word = big ? 8 : 4;
    int64_t n = tf->n_tiles, length = (big ? 52 + 86 * n : 44 + 70 * n) + psd_resources_bytes(tf->profile);
    if (!buffer)
        return length;
    kassert(tf->n_written == n);
    unsigned char *p = buffer;
    int bpc = get_bytes_per_channel(static_cast<uint32_t>(to->pixformat));
    p += psd_header_start(p, big, 3, to->width, to->height, 8 * bpc, tf->profile);
    int64_t l = layer_info_length(tf, big);
    psd_put(p, static_cast<uint64_t>(l + 4 + word), word); // with the empty global layer mask
    psd_put(p + word, static_cast<uint64_t>(l), word);
    psd_put(p + 2 * word, static_cast<uint64_t>(n), 2);
    p += 2 * word + 2;
    for (int i = 0; i < n; i++) {
        int nt = tf->tile_nr[i];
        tile_geometry g = geometry(tf, nt);
        psd_put(p, static_cast<uint64_t>(g.top), 4);
        psd_put(p + 4, static_cast<uint64_t>(g.left), 4);
        psd_put(p + 8, static_cast<uint64_t>(g.top + g.height), 4);
        psd_put(p + 12, static_cast<uint64_t>(g.left + g.width), 4);
        psd_put(p + 16, 4, 2);
        p += 18;
        // Red, green, blue and transparency (-1): a user mask (-2) would
        // need a mask block the layer does not have.
        for (int id : {0, 1, 2, -1}) {
            psd_put(p, static_cast<uint16_t>(id), 2);
            psd_put(p + 2, static_cast<uint64_t>(2 + channel_bytes(tf, nt)), word);
            p += 2 + word;
        }
        memcpy(p, "8BIMnorm", 8);
        p[8] = 255; // opacity
        p[9] = 0;   // clipping
        p[10] = 1;  // flags
        p[11] = 0;
        psd_put(p + 12, 12, 4); // extra data: no mask, no blending ranges, the name
        psd_put(p + 16, 0, 4);
        psd_put(p + 20, 0, 4);
        char name[16];
        snprintf(name, sizeof name, "%03d", i + 1);
        p[24] = 3;
        memcpy(p + 25, name, 3);
        p += 28;
    }
    kassert(p - buffer == length);
    return length;
}

void write_white_background(int fd, const char *name, int big, int width, int height, uint32_t pixformat)
{
    int64_t r = int64_t(width) * get_bytes_per_channel(pixformat), packed = 2 * ((r + 127) / 128);
    unsigned char rle[2] = {0, 1};
    if (write_full(fd, rle, 2) != 0)
        print_error(msg_write, name, strerror(errno));
    // One white row: runs of 128 (0x81), then the rest (a literal for 1).
    std::vector<unsigned char> row;
    for (int64_t left = r; left > 0; left -= 128) {
        int64_t k = std::min<int64_t>(left, 128);
        row.push_back(k == 1 ? 0 : static_cast<unsigned char>(1 - k));
        row.push_back(0xFF);
    }
    int word = big ? 4 : 2;
    int64_t rows = 3 * int64_t(height);
    // Counts, then rows, in blocks of up to 4096 entries.
    std::vector<unsigned char> block(static_cast<size_t>(4096 * std::max<int64_t>(word, packed)));
    for (int pass = 0; pass < 2; pass++) {
        int64_t entry = pass == 0 ? word : packed;
        for (int64_t done = 0; done < rows;) {
            int64_t k = std::min<int64_t>(4096, rows - done);
            for (int64_t i = 0; i < k; i++) {
                if (pass == 0)
                    psd_put(&block[i * entry], static_cast<uint64_t>(packed), word);
                else
                    memcpy(&block[i * entry], row.data(), row.size());
            }
            if (write_full(fd, block.data(), static_cast<size_t>(k * entry)) != 0)
                print_error(msg_write, name, strerror(errno));
            done += k;
        }
    }
}

tiled_output *open_tiled_psd(const char *name, int width, int height, uint32_t pixformat, int big)
{
    if (pixformat != uchar_RGB && pixformat != ushort_RGB)
        print_error(msg_pixformat, pixformat);
    if (get_tile_file())
        print_error(msg_second, name);
    kassert(width > 0 && height > 0);
    // No tile side above 2048; the tiles of a row or column differ by at
    // most the remainder in the last one.
    int across = (width + PSD_TILE - 1) / PSD_TILE, down = (height + PSD_TILE - 1) / PSD_TILE;
    int tile_width = (width + across - 1) / across, tile_height = (height + down - 1) / down;
    int64_t n = int64_t(across) * down, pixels = int64_t(width) * height * get_bytes_per_channel(pixformat);
    // The layer and mask length of a PSD: count, records of 70 bytes, four
    // channel blocks per tile, the layer info length and the global mask.
    int64_t section = 2 + 70 * n + 4 * (2 * n + pixels) + 8;
    big = psd_use_psb(name, big, width, height, section, 44 + 70 * n + section);
    int fd = create_output_file(name);
    if (fd < 0)
        return nullptr;
    int bpp = get_bytes_per_pixel(pixformat);
    tiled_output *to = static_cast<tiled_output *>(checked_malloc(sizeof(tiled_output)));
    *to = {FD_TILED, 0,         height, width, static_cast<int32_t>(pixformat), int64_t(width) * bpp,
           big,      sdup(name)};
    tile_file_open(fd, tile_width * bpp, tile_height, to->row_bytes, height);
    tile_file *tf = get_tile_file();
    // The layer count is a signed 16-bit number.
    kassert(tf->n_tiles <= 32767);
    tf->name = to->name;
    tf->pixformat = to->pixformat;
    tf->write_tile = write_tile_to_file_2;
    tf->patch_tile = patch_psd_tile;
    tf->end = create_tiled_psd_header(nullptr, to);
    return to;
}

void close_tiled_psd(tiled_output *to)
{
    tile_file *tf = get_tile_file();
    kassert(tf && (to->fd & 0xFFFF) == 0);
    print_message(msg_partial);
    store_partial_tiles(tf);
    print_message(msg_done);
    // Black layers, opaque.
    print_message(msg_empty);
    tile empty = {0, static_cast<unsigned char *>(checked_calloc(1, static_cast<size_t>(tf->d_size_ul))), 0,
                  0, nullptr};
    for (int n = 0; n < tf->n_tiles; n++) {
        if (tf->tile_offset[n] < 0) {
            empty.n_tile = n;
            write_tile_to_file_2(tf, &empty);
        }
    }
    aligned_free(empty.data);
    print_message(msg_done);
    static const unsigned char no_global_mask[4] = {};
    if (pwrite_full(tf->fd, no_global_mask, 4, tf->end) != 0 || lseek(tf->fd, tf->end + 4, SEEK_SET) < 0)
        print_error(msg_write, to->name, strerror(errno));
    write_white_background(tf->fd, to->name, to->big, to->width, to->height,
                           static_cast<uint32_t>(to->pixformat));
    print_message(msg_writing_header);
    int64_t length = create_tiled_psd_header(nullptr, to);
    unsigned char *header = static_cast<unsigned char *>(checked_calloc(1, static_cast<size_t>(length)));
    create_tiled_psd_header(header, to);
    if (pwrite_full(tf->fd, header, static_cast<size_t>(length), 0) != 0 || close(tf->fd) != 0)
        print_error(msg_write, to->name, strerror(errno));
    aligned_free(header);
    print_message(msg_done);
    print_message(msg_wrote, "PSD", (tf->n_tiles * tf->d_size_ul + length) / 1000000);
    free_tile_file(tf);
    aligned_free(to->name);
    aligned_free(to);
}
