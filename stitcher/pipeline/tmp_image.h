// Temporary images: the covered pixels of an image area, kept in a RAM file
// or an unlinked disk file until a later stage reads them back once.
//
// Layout (host byte order): the stored pixformat (i32), the extent x, y,
// width, height (four i32), the packed template of the covered pixels with
// coordinates of the writer's image, zero bytes up to a multiple of 16, then
// the covered runs' pixels, row after row, run after run, without padding.
//
// A temporary image is named by an fdflags word: a descriptor in the low 16
// bits, with FD_RAMFS (ramfs.h) for a RAM file number, or FD_TILED for the
// tiled output file, which only template_writer2 accepts; or FD_SPILL
// (spill.h) with the index of a spilled image in the other bits. Files are
// read and written by positioned transfers.
#pragma once
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/template.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

enum { FD_TILED = 0x200000 };

// Positioned output that a higher layer provides, with the calls of a file
// descriptor: write returns the bytes written, seek the new offset.
typedef int64_t (*tmp_write_fn)(int fd, const void *buf, int64_t n);
typedef int64_t (*tmp_seek_fn)(int fd, int64_t offset, int whence);
// The tiled output file installs its pair while it is open (null, null when
// it closes); template_writer2 sends words with FD_TILED through it.
void set_tiled_io(tmp_write_fn write, tmp_seek_fn seek);
// The panorama file that template_writer2 writes through a plain descriptor
// (-1, null: none), so that a failed write names it.
void set_output_descriptor(int fd, const char *name);

// A writer of width x height rows in in_pixformat that stores the pixels of
// ext (null: the whole image) minus the n rectangles, converted to
// stored_pixformat, into the open, empty file named by fdflags. A RAM file
// gets its final size here unless it has it already; a spilled image must
// have been opened with it.
// The header is written before it returns; the close rewinds the file for
// exactly one reader.
image_writer *temp_writer(int fdflags, int width, int height, uint32_t in_pixformat,
                          uint32_t stored_pixformat, const irectangle *ext, const irectangle *rects, int n);
// The bytes of the temporary image that temp_writer makes of these
// arguments: what a spilled image must be opened with.
int64_t temp_image_size(int width, int height, uint32_t stored_pixformat, const irectangle *ext,
                        const irectangle *rects, int n);
// The temporary image as a reader of its extent in the stored pixformat. It
// needs a caller buffer, ignores the row number (every read returns the next
// row) and zeroes the buffer at every change of runs, so pixels outside the
// runs read as zero when the same buffer is passed on every read. Closing it
// closes the file.
image_reader *temp_reader(int fdflags);
// The same, but a read writes only the covered runs into the buffer and
// leaves every other byte as it was.
image_reader *paste_reader(int fdflags);
// Lays the next row of a temp_reader into buffer at column x + run start,
// where its alpha is not 0 (merge_row_alpha), up to column width - 1;
// pixformat is the stored one. The row number is not used. A RAM file's
// runs are merged in place, a disk file's read into a row of the reader's.
void *merge_row(image_reader *ir, int row, void *buffer, int x, uint32_t pixformat, int width);
// The same with merge_row_alpha_keep: pixels with alpha 0 fill what is still empty.
void *merge_row_keep(image_reader *ir, int row, void *buffer, int x, uint32_t pixformat, int width);

// Converts the covered pixels of every row written ({0, 0, width, height}
// minus the rectangles) into buffer (width x bytes per pixel of
// out_pixformat, the caller's) at the same columns; the buffer is zeroed
// whenever the runs change. The caller takes each row out of the buffer.
image_writer *template_writer(int width, int height, uint32_t in_pixformat, uint32_t out_pixformat,
                              const irectangle *rects, int n, void *buffer);
// Writes the runs of tpl (the writer owns it from now on) into a target
// file: row r's run at column c goes to byte base + r * stride + c * bytes
// per pixel of stored_pixformat. Runs at negative columns (wrap_template)
// take their pixels from column c + stride / stored bytes per pixel of the
// row. Every run must lie inside the row written.
image_writer *template_writer2(int fdflags, int width, int height, uint32_t in_pixformat,
                               uint32_t stored_pixformat, template_ *tpl, int64_t base, int64_t stride);
