#include "stitcher/formats/tiled_file.h"

#include "stitcher/formats/icc_profile.h"
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
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static const char msg_pixformat[] = "Pixel format %d not supported for output.\n";
static const char msg_second[] = "Could not open file %s: a tiled file is already open.\n";
static const char msg_write[] = "Could not write file %s: %s.\n";
static const char msg_header[] = "Could not write tiff header.\n";
static const char msg_too_large[] = "WARNING: Image too large for TIFF format: %" PRId64 " MBytes.\n";
static const char msg_use_big[] =
    "WARNING: Using BigTIFF format. This may not be readable by standard imagereaders.\n";
static const char msg_partial[] = "Writing partial tiles.....";
static const char msg_empty[] = "Writing empty tiles.....";
static const char msg_writing_header[] = "Writing tiff header.....";
static const char msg_done[] = "done.\n";
static const char msg_wrote[] = "Wrote %s-file. Size %" PRId64 " MBytes.\n";
static const char msg_mem_tiles[] = "Tile memory: %" PRId64 " MBytes\n";

static tile_file *t_file = nullptr;
static int64_t mem_tiles = 0; // bytes of the tile buffers held

tile_file *get_tile_file(void) { return t_file; }

void report_mem_tiles(void) { print_message(msg_mem_tiles, mem_tiles / 1000000); }

// The TIFF patch: a stored tile is the tile buffer as it was in memory.
static void patch_tiff_tile(tile_file *tf, int n_tile, int64_t row, int64_t dx, const unsigned char *bytes,
                            int64_t n)
{
    tile_pwrite(tf, bytes, n, tf->tile_offset[n_tile] + row * tf->tile_width_bytes + dx);
}

int tile_file_open(int fd, int tile_width_bytes, int tile_height, int64_t row_bytes, int height)
{
    if (t_file)
        return -1;
    kassert(tile_width_bytes > 0 && tile_height > 0 && row_bytes > 0 && height > 0);
    tile_file *tf = static_cast<tile_file *>(checked_calloc(1, sizeof(tile_file)));
    tf->tile_width_bytes = tile_width_bytes;
    tf->tile_height = tile_height;
    tf->row_bytes = row_bytes;
    tf->height = height;
    tf->fd = fd;
    tf->write_tile = write_tile_to_file;
    tf->patch_tile = patch_tiff_tile;
    tf->tiles_down = (height + tile_height - 1) / tile_height;
    int64_t across = (row_bytes + tile_width_bytes - 1) / tile_width_bytes, n;
    kassert(checked_mul(across, tf->tiles_down, &n) && n <= INT32_MAX);
    tf->tiles_across = static_cast<int32_t>(across);
    tf->n_tiles = static_cast<int32_t>(n);
    size_t count = static_cast<size_t>(n);
    tf->tile_offset = static_cast<int64_t *>(checked_malloc(count * sizeof(int64_t)));
    std::fill(tf->tile_offset, tf->tile_offset + count, -1);
    tf->tile_size = static_cast<int64_t *>(checked_calloc(count, sizeof(int64_t)));
    tf->tile_nr = static_cast<int32_t *>(checked_calloc(count, sizeof(int32_t)));
    tf->tiles = static_cast<tile **>(checked_calloc(count, sizeof(tile *)));
    tf->spare = static_cast<unsigned char **>(checked_calloc(count, sizeof(unsigned char *)));
    tf->d_size_ul = int64_t(tile_width_bytes) * tile_height;
    int64_t last_col = row_bytes - (across - 1) * tile_width_bytes;
    int64_t last_row = height - int64_t(tf->tiles_down - 1) * tile_height;
    tf->last_row_bytes = int64_t(tile_width_bytes) * last_row;
    tf->last_col_bytes = last_col * tile_height;
    tf->corner_bytes = last_col * last_row;
    t_file = tf;
    set_tiled_io(tiled_write, tiled_seek);
    return 0;
}

void free_tile_file(tile_file *tf)
{
    for (int n = 0; n < tf->n_tiles; n++)
        kassert(tf->tiles[n] == nullptr);
    aligned_free(tf->tile_offset);
    aligned_free(tf->tile_size);
    aligned_free(tf->tile_nr);
    aligned_free(tf->tiles);
    for (int i = 0; i < tf->n_spare; i++)
        aligned_free(tf->spare[i]);
    aligned_free(tf->spare);
    aligned_free(tf);
    if (t_file == tf) {
        t_file = nullptr;
        set_tiled_io(nullptr, nullptr);
    }
}

void tile_pwrite(tile_file *tf, const void *bytes, int64_t n, int64_t offset)
{
    if (pwrite_full(tf->fd, bytes, static_cast<size_t>(n), offset) != 0)
        print_error(msg_write, tf->name, strerror(errno));
}

void tile_stored(tile_file *tf, int n_tile, int64_t size)
{
    tf->tile_offset[n_tile] = tf->end;
    tf->tile_size[n_tile] = size;
    tf->tile_nr[tf->n_written++] = n_tile;
    tf->end += size;
}

void write_tile_to_file(tile_file *tf, tile *t)
{
    tile_pwrite(tf, t->data, tf->d_size_ul, tf->end);
    tile_stored(tf, t->n_tile, tf->d_size_ul);
}

static tile *new_tile(tile_file *tf, int n_tile)
{
    tile *t = static_cast<tile *>(checked_malloc(sizeof(tile)));
    t->n_tile = n_tile;
    // A buffer that held a stored tile causes no page faults again.
    int64_t spans = (tf->d_size_ul + 15) & ~int64_t(15);
    size_t span_bytes = 2 * sizeof(int32_t) * static_cast<size_t>(tf->tile_height);
    t->data = tf->n_spare > 0
                  ? tf->spare[--tf->n_spare]
                  : static_cast<unsigned char *>(checked_malloc(static_cast<size_t>(spans) + span_bytes));
    t->written = reinterpret_cast<int32_t *>(t->data + spans);
    memset(t->written, 0, span_bytes);
    int32_t trow = n_tile / tf->tiles_across, tcol = n_tile % tf->tiles_across;
    bool last_col = tcol == tf->tiles_across - 1, last_row = trow == tf->tiles_down - 1;
    t->remaining = last_col && last_row ? tf->corner_bytes
                   : last_col           ? tf->last_col_bytes
                   : last_row           ? tf->last_row_bytes
                                        : tf->d_size_ul;
    t->origin = int64_t(tcol) * tf->tile_width_bytes + int64_t(trow) * tf->tile_height * tf->row_bytes;
    tf->tiles[n_tile] = t;
    mem_tiles += tf->d_size_ul;
    return t;
}

static void remove_tile(tile_file *tf, tile *t)
{
    tf->tiles[t->n_tile] = nullptr;
    mem_tiles -= tf->d_size_ul;
    tf->spare[tf->n_spare++] = t->data;
    aligned_free(t);
}

// Copies n bytes to byte dx of row `row` of the tile. Between the written
// stretch and a write apart from it lie stale bytes: they are cleared.
static void put_bytes(tile_file *tf, tile *t, int64_t row, int32_t dx, const unsigned char *src, int32_t n)
{
    unsigned char *dst = t->data + row * tf->tile_width_bytes;
    int32_t &first = t->written[2 * row], &end = t->written[2 * row + 1];
    if (first == end) {
        first = dx;
        end = dx + n;
    } else {
        if (dx + n < first)
            memset(dst + dx + n, 0, static_cast<size_t>(first - dx - n));
        if (dx > end)
            memset(dst + end, 0, static_cast<size_t>(dx - end));
        first = std::min(first, dx);
        end = std::max(end, dx + n);
    }
    memcpy(dst + dx, src, static_cast<size_t>(n));
}

// Clears what nothing wrote, stores the tile and lets it go.
static void store_tile(tile_file *tf, tile *t)
{
    for (int64_t r = 0; r < tf->tile_height; r++) {
        unsigned char *row = t->data + r * tf->tile_width_bytes;
        int32_t first = t->written[2 * r], end = t->written[2 * r + 1];
        if (first == end)
            first = end = 0;
        memset(row, 0, static_cast<size_t>(first));
        memset(row + end, 0, static_cast<size_t>(tf->tile_width_bytes - end));
    }
    tf->write_tile(tf, t);
    remove_tile(tf, t);
}

void store_partial_tiles(tile_file *tf)
{
    for (int n = 0; n < tf->n_tiles; n++)
        if (tile *t = tf->tiles[n])
            store_tile(tf, t);
}

int64_t tiled_seek(int fd, int64_t offset, int whence)
{
    kassert(fd == 0 && t_file && whence == SEEK_SET);
    t_file->pos = offset;
    return offset;
}

int64_t tiled_write(int fd, const void *bytes, int64_t n)
{
    tile_file *tf = t_file;
    kassert(fd == 0 && tf);
    // Inside one panorama row of the file.
    kassert(tf->pos >= 0 && n >= 0 && tf->pos % tf->row_bytes + n <= tf->row_bytes &&
            tf->pos + n <= tf->row_bytes * tf->height);
    const unsigned char *src = static_cast<const unsigned char *>(bytes);
    int64_t y = tf->pos / tf->row_bytes;
    int32_t trow = static_cast<int32_t>(y / tf->tile_height), row = static_cast<int32_t>(y % tf->tile_height);
    int64_t x = tf->pos - y * tf->row_bytes;
    int32_t tcol = static_cast<int32_t>(x / tf->tile_width_bytes);
    int32_t dx = static_cast<int32_t>(x % tf->tile_width_bytes);
    // The bytes go to consecutive tiles of one tile row.
    for (int64_t left = n; left > 0; tcol++, dx = 0) {
        int n_tile = tf->tiles_across * trow + tcol;
        int32_t k = static_cast<int32_t>(std::min(int64_t(tf->tile_width_bytes - dx), left));
        if (tf->tile_offset[n_tile] >= 0) {
            // Pixels written twice (overlaps too narrow to blend) completed
            // this tile early: the later bytes go into the stored tile.
            tf->patch_tile(tf, n_tile, row, dx, src, k);
        } else {
            tile *t = tf->tiles[n_tile] ? tf->tiles[n_tile] : new_tile(tf, n_tile);
            put_bytes(tf, t, row, dx, src, k);
            t->remaining -= k;
            if (t->remaining <= 0)
                store_tile(tf, t);
        }
        src += k;
        left -= k;
    }
    tf->pos += n;
    return n;
}

// ---- the TIFF file ----

// Among 256, 272, ..., 1024 the tile side that wastes least beyond d; the
// smaller one on a tie.
static int tiff_tile_size(int d)
{
    int best = 256;
    int64_t best_waste = INT64_MAX;
    for (int t = 256; t <= 1024; t += 16) {
        int64_t waste = int64_t(t) * ((int64_t(d) + t - 1) / t) - d;
        if (waste < best_waste) {
            best = t;
            best_waste = waste;
        }
    }
    return best;
}

static int64_t tiff_header_size(int big, int64_t n_tiles)
{
    return big ? 292 + 16 * n_tiles : 196 + 8 * n_tiles;
}

tiled_output *open_tiled_tiff(const char *name, int width, int height, uint32_t pixformat, int big)
{
    if (pixformat != uchar_RGB && pixformat != ushort_RGB)
        print_error(msg_pixformat, pixformat);
    if (t_file)
        print_error(msg_second, name);
    kassert(width > 0 && height > 0);
    int fd = create_output_file(name);
    if (fd < 0)
        return nullptr;
    tiled_output *to = static_cast<tiled_output *>(checked_malloc(sizeof(tiled_output)));
    int bpp = get_bytes_per_pixel(pixformat);
    *to = {FD_TILED,    0,         height, width, static_cast<int32_t>(pixformat), int64_t(width) * bpp,
           big ? 1 : 0, sdup(name)};
    tile_file_open(fd, tiff_tile_size(width) * bpp, tiff_tile_size(height), to->row_bytes, height);
    tile_file *tf = t_file;
    tf->name = to->name;
    tf->pixformat = to->pixformat;
    int64_t total = tiff_header_size(0, tf->n_tiles) + tf->n_tiles * tf->d_size_ul;
    if (!to->big && total > INT32_MAX) {
        print_warning(msg_too_large, total / 1000000);
        print_warning(msg_use_big);
        to->big = 1;
    }
    tf->end = tiff_header_size(to->big, tf->n_tiles);
    return to;
}

static void put_le(unsigned char *p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

struct ifd_writer {
    unsigned char *p; // the next entry
    int big;
};

// A SHORT or LONG value sits at the start of its field, little-endian.
static void ifd_entry(ifd_writer *w, int tag, int type, uint64_t count, uint64_t value)
{
    put_le(w->p, static_cast<uint64_t>(tag), 2);
    put_le(w->p + 2, static_cast<uint64_t>(type), 2);
    int word = w->big ? 8 : 4;
    put_le(w->p + 4, count, word);
    put_le(w->p + 4 + word, value, word);
    w->p += 4 + 2 * word;
}

// Bytes of the directory: its count, the entries and the next offset.
static int64_t directory_size(int big, int entries) { return big ? 16 + 20 * entries : 6 + 12 * entries; }

// The directory at d, whose values beyond the entries lie in the header: a
// classic file's sample sizes and resolutions, the tile tables. With a
// profile at icc_at, its entry ends the directory.
static void build_directory(unsigned char *d, const tiled_output *to, const tile_file *tf, int64_t icc_at)
{
    int big = to->big;
    int64_t n = tf->n_tiles, word = big ? 8 : 4;
    uint64_t bps = to->pixformat == ushort_RGB ? 16 : 8;
    int64_t tables = big ? 292 : 196;
    put_le(d, tf->profile ? 14 : 13, big ? 8 : 2);
    ifd_writer w = {d + (big ? 8 : 2), big};
    ifd_entry(&w, 256, 4, 1, static_cast<uint64_t>(to->width));
    ifd_entry(&w, 257, 4, 1, static_cast<uint64_t>(to->height));
    ifd_entry(&w, 258, 3, 3, big ? bps | bps << 16 | bps << 32 : 172);
    ifd_entry(&w, 259, 3, 1, 1);
    ifd_entry(&w, 262, 3, 1, 2);
    ifd_entry(&w, 277, 3, 1, 3);
    uint64_t dpi = 72 | uint64_t(1) << 32;
    ifd_entry(&w, 282, 5, 1, big ? dpi : 180);
    ifd_entry(&w, 283, 5, 1, big ? dpi : 188);
    ifd_entry(&w, 296, 3, 1, 2);
    ifd_entry(&w, 322, 4, 1,
              static_cast<uint64_t>(tf->tile_width_bytes / get_bytes_per_pixel(to->pixformat)));
    ifd_entry(&w, 323, 4, 1, static_cast<uint64_t>(tf->tile_height));
    // A single value belongs in the entry itself; the table room stays.
    int table_type = big ? 16 : 4;
    ifd_entry(&w, 324, table_type, static_cast<uint64_t>(n),
              static_cast<uint64_t>(n == 1 ? tf->tile_offset[0] : tables));
    ifd_entry(&w, 325, table_type, static_cast<uint64_t>(n),
              static_cast<uint64_t>(n == 1 ? tf->tile_size[0] : tables + word * n));
    if (tf->profile) // InterColorProfile, UNDEFINED bytes
        ifd_entry(&w, 34675, 7, tf->profile->length, static_cast<uint64_t>(icc_at));
    put_le(w.p, 0, static_cast<int>(word)); // no further directory
}

// The header: the directory, unless it lies elsewhere (dir_at > 0), the
// values it points to and the tile tables.
static void build_tiff_header(unsigned char *h, const tiled_output *to, const tile_file *tf, int64_t dir_at)
{
    int big = to->big;
    int64_t n = tf->n_tiles, word = big ? 8 : 4;
    uint64_t bps = to->pixformat == ushort_RGB ? 16 : 8;
    uint64_t dpi = 72 | uint64_t(1) << 32;
    int64_t tables = big ? 292 : 196, dir = big ? 16 : 10;
    memcpy(h, "II", 2);
    put_le(h + 2, big ? 43 : 42, 2);
    if (big) {
        put_le(h + 4, 8, 2);
        put_le(h + 8, static_cast<uint64_t>(dir_at > 0 ? dir_at : dir), 8);
    } else {
        put_le(h + 4, static_cast<uint64_t>(dir_at > 0 ? dir_at : dir), 4);
    }
    if (dir_at == 0)
        build_directory(h + dir, to, tf, 0);
    if (!big) {
        for (int i = 0; i < 3; i++)
            put_le(h + 172 + 2 * i, bps, 2);
        put_le(h + 180, dpi, 8);
        put_le(h + 188, dpi, 8);
    }
    for (int64_t i = 0; i < n; i++) {
        put_le(h + tables + word * i, static_cast<uint64_t>(tf->tile_offset[i]), static_cast<int>(word));
        put_le(h + tables + word * (n + i), static_cast<uint64_t>(tf->tile_size[i]), static_cast<int>(word));
    }
}

// Gives a regular file its full length: the tiles at its end that nothing
// touched become a hole, which reads as zeros.
static bool extend_to(int fd, int64_t length)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return !S_ISREG(st.st_mode) || st.st_size >= length || ftruncate(fd, length) == 0;
}

void close_tiled_tiff(tiled_output *to)
{
    tile_file *tf = t_file;
    kassert(tf && (to->fd & 0xFFFF) == 0);
    print_message(msg_partial);
    store_partial_tiles(tf);
    print_message(msg_done);
    // Tiles that nothing touched are holes of the file, which read as zeros.
    print_message(msg_empty);
    for (int n = 0; n < tf->n_tiles; n++)
        if (tf->tile_offset[n] < 0)
            tile_stored(tf, n, tf->d_size_ul);
    print_message(msg_done);
    print_message(msg_writing_header);
    int64_t size = tiff_header_size(to->big, tf->n_tiles), dir_at = 0;
    bool ok = true;
    tf->profile = kept_icc_profile();
    if (tf->profile) {
        // A directory with one more entry has no room before the tables: it
        // follows the profile behind the tiles, on an even offset.
        const int64_t length = tf->profile->length, pad = length & 1;
        std::vector<unsigned char> trailer(static_cast<size_t>(length + pad + directory_size(to->big, 14)));
        memcpy(trailer.data(), tf->profile->data, static_cast<size_t>(length));
        dir_at = tf->end + length + pad;
        build_directory(trailer.data() + length + pad, to, tf, tf->end);
        ok = pwrite_full(tf->fd, trailer.data(), trailer.size(), tf->end) == 0;
    }
    unsigned char *header = static_cast<unsigned char *>(checked_calloc(1, static_cast<size_t>(size)));
    build_tiff_header(header, to, tf, dir_at);
    if (!ok || pwrite_full(tf->fd, header, static_cast<size_t>(size), 0) != 0 ||
        !extend_to(tf->fd, tf->end) || close(tf->fd) != 0)
        print_error(msg_header);
    aligned_free(header);
    print_message(msg_done);
    print_message(msg_wrote, to->big ? "BigTIFF" : "TIFF", (tf->n_tiles * tf->d_size_ul + size) / 1000000);
    free_tile_file(tf);
    aligned_free(to->name);
    aligned_free(to);
}
