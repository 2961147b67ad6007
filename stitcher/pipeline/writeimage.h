// Row writers: an image_writer accepts the rows of an image in order, top to
// bottom; stages are writers that pass rows on to other writers.
#pragma once
#include <cstddef>
#include <cstdint>

typedef int (*writer_write_fn)(void *data, void *row);
typedef int (*writer_close_fn)(void *data);

// 16-byte aligned record.
struct image_writer {
    uint32_t pixformat;
    int32_t width;
    int32_t height; // rows the image must receive
    writer_write_fn write;
    writer_close_fn close; // never called when data is null
    void *data;
    int32_t rows_written;
};

// Bytes of one row: width times the bytes per pixel (0 for an unknown code).
size_t image_row_length(const image_writer *iw);

image_writer *create_virtual_image_writer(int width, int height, uint32_t pixformat, writer_write_fn write,
                                          writer_close_fn close, void *data);
// Counts the row, then passes it on; returns the write function's status.
int write_row(image_writer *iw, void *row);
// Completes an image that got fewer rows than its height with zero rows
// (transparent black), closes and frees the writer. Returns 0.
int close_image_writer(image_writer *iw);

// One writer that passes every row to the n writers in order; width, height
// and pixformat are those of writers[0].
image_writer *mult_writer(image_writer **writers, int n);
// Makes alpha 0 or full (uchar_RGBA, ushort_RGBA) in place, then passes the
// row to iw.
image_writer *heavyside_writer(image_writer *iw);
// Accepts and discards rows.
image_writer *empty_writer(int width, int height, uint32_t pixformat);
// Does nothing; kept for callers of the writing log.
void set_write_log(void);
