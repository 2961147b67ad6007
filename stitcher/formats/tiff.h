// TIFF and BigTIFF files through libtiff: 8- and 16-bit RGB(A) source images
// are read as stored, by scanline from contiguous strips and a band of tiles
// or strips at a time from tiled and planar files; anything else is decoded
// whole by libtiff's RGBA interface. Output is written as PackBits strips.
// Pixels are delivered as stored, first row on top: the Orientation field is
// not applied.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

// An open TIFF file being read or written; opaque outside tiff.cpp.
struct tiff_data;
struct tiff; // libtiff's TIFF
struct icc_profile;

// "r" opens for reading; any other mode creates a file, as BigTIFF for "w8"
// or a name ending in .tf8 or .btf. Null when the file cannot be opened (a
// file to read is then named in a message with libtiff's reason).
tiff_data *tiff_open(const char *path, const char *mode);
// Chooses the reading mode and fills out; -1, with a message naming the file,
// for a file that cannot be read: CMYK, samples other than unsigned integers,
// strips or tiles that the file cannot hold, sizes beyond the memory.
int tiff_image_size(tiff_data *td, image_size *out);
image_reader *tiff_reader(const char *path);
// The colour profile of the file's first page, read without decoding pixels;
// null when it has none or the file cannot be opened (quietly: decoding it
// says why) or the profile is not usable (a warning names the file).
// Released by free_icc_profile.
icc_profile *tiff_read_icc_profile(const char *path);
// Data that cannot be decoded ends the run with one message naming the file.
void *tiff_read_row(image_reader *ir, int row, void *buf);

// Null for a pixformat other than uchar_RGB(A) and ushort_RGB(A); a file
// that cannot be created is fatal.
image_writer *tiff_writer(const char *path, int width, int height, uint32_t pixformat, int big);
int tiff_write_image_header(tiff_data *td, int width, int height, uint32_t pixformat);
// A failed write is fatal. Returns 0.
int tiff_write_row(void *td, void *row);
// Completes a written file (a failure is fatal), closes, frees. Returns 0.
int tiff_close(void *td);
// Sets the colour profile, when there is one, on the directory being
// written; 0 when libtiff refuses it.
int tiff_set_icc_profile(struct tiff *tif, const icc_profile *icc);
// The libtiff handle and the descriptor of a file being written, for an
// owner that writes the pages itself.
struct tiff *tiff_handle(tiff_data *td);
int tiff_descriptor(const tiff_data *td);
// Why a write of td failed: libtiff's complaint with the system's reason
// ("Write error at scanline 512 (No space left on device)"), or the reason
// alone. Valid until the next call.
const char *tiff_write_failure(tiff_data *td);
