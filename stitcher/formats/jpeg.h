// JPEG files through libjpeg (interface 62). Rows are decompressed straight
// into the ring of the reader chain; the APP1 and APP2 markers (EXIF, colour
// profile) of the first source JPEG that has any are kept and written into
// every JPEG the program writes, with the EXIF Orientation reset to 1.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

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

// The markers kept for output, in file order; null when no source JPEG had
// any yet. Safe to call from any thread.
const saved_marker *saved_markers(void);
// Forgets them, so that the next source JPEG with markers is kept; only when
// no JPEG is being written.
void free_saved_markers(void);
