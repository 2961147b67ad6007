// The tiled output file: a panorama of any size written as tiled TIFF or
// BigTIFF (and, with the layout of psd.h, as tiled PSD or PSB) without
// libtiff. Callers write the panorama as one flat stream of rows (row y,
// column x at byte y * row bytes + x * bytes per pixel) by positioned writes
// in any order; the bytes are sorted into tiles held in memory, and a tile is
// stored as soon as all its bytes have arrived. Close stores what is left
// and writes the header, for which room is kept at the start of the file.
//
// One tiled file is open at a time; only the main thread uses it.
#pragma once
#include <cstdint>

struct icc_profile;
struct tile_file;

// One tile held in memory.
struct tile {
    int32_t n_tile;
    unsigned char *data; // tile_height rows of tile_width_bytes
    int64_t remaining;   // pixel bytes still expected
    int64_t origin;      // stream position of the tile's top-left byte
    // Per row of data, the stretch [first, end) of bytes that hold written
    // pixels or zeros: the rest is cleared only when the tile is stored, so
    // a buffer can be reused without clearing it first.
    int32_t *written;
};

// Stores a completed tile at the end of the file.
typedef void (*write_tile_fn)(tile_file *tf, tile *t);
// Writes n bytes that arrive for tile n_tile after it was stored, at row
// `row` and byte dx of the tile's rows, into the stored tile.
typedef void (*patch_tile_fn)(tile_file *tf, int n_tile, int64_t row, int64_t dx, const unsigned char *bytes,
                              int64_t n);

struct tile_file {
    int32_t tile_width_bytes; // tile width in pixels * bytes per pixel
    int32_t tile_height;
    int64_t row_bytes; // one panorama row
    int32_t height;    // panorama rows
    int32_t fd;
    int32_t pixformat;
    write_tile_fn write_tile;
    patch_tile_fn patch_tile;
    int64_t *tile_offset; // per tile: file offset once stored, else -1
    int64_t *tile_size;   // per tile: bytes stored
    int32_t *tile_nr;     // tile numbers in the order they were stored
    int64_t pos;          // position in the row stream
    int32_t tiles_down, tiles_across, n_tiles;
    tile **tiles; // per tile: the tile held in memory, or null
    int32_t n_written;
    int64_t d_size_ul;      // bytes of a tile buffer
    int64_t last_row_bytes; // pixel bytes of a tile of the last tile row
    int64_t last_col_bytes; // ... of the last tile column
    int64_t corner_bytes;   // ... of the bottom-right tile
    int64_t end;            // where the next stored tile goes
    const char *name;       // the file's name, for messages
    unsigned char **spare;  // tile buffers given back, for the next tiles
    int32_t n_spare;
    // The colour profile in the header; a PSD's is fixed when its first tile
    // is stored behind the header.
    const icc_profile *profile;
};

// The handle that the panorama output file keeps.
struct tiled_output {
    int32_t fd;     // fdflags word: file index 0 with FD_TILED
    int32_t header; // 0: the row stream has no header of its own
    int32_t height;
    int32_t width;
    int32_t pixformat;
    int64_t row_bytes;
    int32_t big; // BigTIFF or PSB
    char *name;
};

// Null when the file cannot be created. Only uchar_RGB and ushort_RGB are
// written; another pixformat is fatal at once.
tiled_output *open_tiled_tiff(const char *name, int width, int height, uint32_t pixformat, int big);
// Stores the remaining tiles, writes the header, closes the file and frees
// the handle. A failed write or close is fatal.
void close_tiled_tiff(tiled_output *to);

// Positioned writes into the row stream. fd is the low 16 bits of the
// handle's fdflags word (0). Only SEEK_SET; a write must not cross the end
// of a panorama row.
int64_t tiled_seek(int fd, int64_t offset, int whence);
int64_t tiled_write(int fd, const void *bytes, int64_t n);

// Opens the tile bookkeeping over descriptor fd and installs the positioned
// writes: 0, or -1 when a tiled file is already open.
int tile_file_open(int fd, int tile_width_bytes, int tile_height, int64_t row_bytes, int height);
// The open tile file, null when none.
tile_file *get_tile_file(void);
// Frees the tile file and its tables and uninstalls the positioned writes.
void free_tile_file(tile_file *tf);
// Stores the tiles still in memory, in tile order.
void store_partial_tiles(tile_file *tf);
// The TIFF write_tile: the whole tile buffer at the end of the file.
void write_tile_to_file(tile_file *tf, tile *t);
// Writes n bytes at offset of the file; fatal on failure.
void tile_pwrite(tile_file *tf, const void *bytes, int64_t n, int64_t offset);
// Records that tile n_tile was stored at the end of the file with size bytes.
void tile_stored(tile_file *tf, int n_tile, int64_t size);

// Prints the memory held by incomplete tiles.
void report_mem_tiles(void);
