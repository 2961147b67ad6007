// PSD and PSB files, big-endian throughout.
//
// The tiled layout writes the panorama through the tiled file (tiled_file.h)
// as one layer per tile, stored as soon as the tile is complete, with a
// white merged image; the flat writer writes rows into the channel planes of
// a file without layers, for output that is merged row by row.
//
// A PSD wider or higher than 30,000 pixels, or whose layer section would
// pass 2^31 - 1 bytes, is written as PSB under the name asked for (as
// BigTIFF keeps .tif); more than 300,000 pixels a side is refused.
#pragma once
#include "stitcher/formats/icc_profile.h"
#include "stitcher/formats/tiled_file.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

// ---- tiled layout ----

// Null when the file cannot be created; a pixformat other than uchar_RGB
// or ushort_RGB is fatal.
tiled_output *open_tiled_psd(const char *name, int width, int height, uint32_t pixformat, int big);
// Stores the remaining tiles, writes the white merged image and the header,
// closes the file and frees the handle. A failed write or close is fatal.
void close_tiled_psd(tiled_output *to);
// The header length; with a buffer, also the header, with one layer record
// per stored tile in the order they were stored.
int64_t create_tiled_psd_header(unsigned char *buffer, const tiled_output *to);
// The PSD write_tile: four channel blocks (red, green, blue, transparency)
// at the end of the file.
void write_tile_to_file_2(tile_file *tf, tile *t);
// The merged image at the file position: every row white, RLE-packed.
void write_white_background(int fd, const char *name, int big, int width, int height, uint32_t pixformat);

// ---- flat writer ----

// A writer of width x height rows in pixformat (8 or 16 bits a sample, with
// or without alpha; null for any other) into a new file; null when the file
// cannot be created.
image_writer *psd_writer(const char *path, int width, int height, uint32_t pixformat, int big);
// Stores one row into the planes; returns 0. A failed write is fatal.
int psd_write_row(void *pd, void *row);
// Closes the file (a failure is fatal) and frees pd; returns 0.
int psd_close(void *pd);

// ---- shared by both ----

// 1 when the file must be PSB: big is set, a side passes 30,000 pixels or
// section_bytes passes 2^31 - 1. Switching from PSD prints the two warnings
// with file_bytes; a side past 300,000 pixels ends the run.
int psd_use_psb(const char *name, int big, int width, int height, int64_t section_bytes, int64_t file_bytes);
// Writes the header from the signature to the end of the image resources,
// which hold the colour profile (resource 1039) when icc is not null, and
// returns its bytes (34 without a profile); with p null only counts them.
int64_t psd_header_start(unsigned char *p, int big, int channels, int width, int height, int depth,
                         const icc_profile *icc);
// The bytes of the image resources after their length field: 0 without a
// profile.
int64_t psd_resources_bytes(const icc_profile *icc);
// v as a big-endian number of `bytes` bytes.
void psd_put(unsigned char *p, uint64_t v, int bytes);
// Sample c of n interleaved pixels of bpp bytes into dst, bpc bytes each,
// big-endian.
void psd_channel(unsigned char *dst, const unsigned char *src, int64_t n, int c, int bpp, int bpc);
