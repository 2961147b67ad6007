// JPEG files through libjpeg (interface 62). Rows are decompressed straight
// into the ring of the reader chain. The APP1 and APP2 markers (EXIF, colour
// profile) kept for the run are written into every JPEG the program writes,
// their EXIF made true to the image written.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

struct icc_profile;

// An open JPEG file being read or written; opaque outside jpeg.cpp.
struct jpeg_data;

// A copy of an APP1 or APP2 marker of a source JPEG.
struct saved_marker {
    saved_marker *next;
    int32_t code; // 0xE1 or 0xE2
    uint32_t length;
    unsigned char *data;
};

// A uchar_RGB reader, rotated by the EXIF orientation when that is honoured;
// null when the file cannot be opened or decoded as RGB (the reason is
// printed as a message).
image_reader *jpeg_reader(const char *path);
// A pixformat other than uchar_RGB, and a file that cannot be created, are
// fatal.
image_writer *jpeg_writer(const char *path, int width, int height, uint32_t pixformat, int quality,
                          int progressive);
void set_honor_exiforientation(int honor);
// Says what becomes of a photo's EXIF orientation, once per photo: not
// honoured, above 1, a warning naming the file; honoured, any but 1, 6 and 8
// ends the run naming the file.
void check_exif_orientation(const char *path, int orientation);

// What the header of a JPEG file holds besides its pixels, read without
// decoding them: a copy of its APP1 and APP2 markers in file order (null when
// none; free_marker_list), its colour profile (null when none or not usable,
// with a warning naming the file; free_icc_profile) and its EXIF orientation
// (1 when none). -1, quietly, for a file that cannot be read: decoding it
// says why.
int jpeg_read_metadata(const char *path, saved_marker **markers, icc_profile **profile, int *orientation);
void free_marker_list(saved_marker *list);

// "r" reads the header and starts decompressing (null on refusal); "w"
// creates the file (null when it cannot be created).
jpeg_data *jpeg_open(const char *path, const char *mode);
// Fills out and allocates the batch rows: sarray[0] is the start of a block
// of rows_per_batch * stride bytes, which the caller's ring takes over.
int jpeg_image_size(jpeg_data *jd, image_size *out);
// Producer of the sequential reader: buf must be the ring slot of the row.
void jpeg_read(void *jd, void *buf);
int jpeg_write_image_header(jpeg_data *jd, int width, int height, int quality, int progressive);
int jpeg_write_row(void *jd, void *row);
// Finishes a written file (a failure is fatal), releases everything. 0.
int jpeg_close(void *jd);
void free_watermark(void);

// Makes list (owned from now on; null: none) the markers of every JPEG
// written, replacing those kept before. Only while no JPEG is being written.
// Each APP1 is written with its EXIF made true to the image (exif.h); the
// ICC pieces only when they are the profile kept (icc_profile.h), which
// replaces them otherwise; a Multi-Picture index (APP2 "MPF"), which
// describes images behind the photo's own, never.
void keep_saved_markers(saved_marker *list);
// The markers kept for output, in file order; null when none. Safe to call
// from any thread.
const saved_marker *saved_markers(void);
void free_saved_markers(void);
