// An uncompressed single-strip TIFF for pixels written afterwards at computed
// offsets, like a PPM output: the record is a ppm_data whose header is the
// TIFF header (fd, header_len and row_bytes locate every pixel).
#pragma once
#include "stitcher/formats/ppm.h"

#include <cstdint>

// Creates the file and writes its header; a file that cannot be created, a
// pixformat without TIFF form or an image past 4 GiB is fatal.
ppm_data *open_tiff2(const char *path, int width, int height, uint32_t pixformat);
// Extends the file to its full length (unwritten pixels read as zero),
// closes it and frees pd. Returns 0.
int close_tiff2(ppm_data *pd);
