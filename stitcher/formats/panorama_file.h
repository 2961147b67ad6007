// The panorama output file. Created once, from the script's p-line, and
// closed once, after every image was handled. Kinds that take pixels at
// computed places (PPM, tiled TIFF, tiled PSD) and the layered TIFF are
// opened at creation, and each warped image writes itself straight into
// the file through panorama_writer. Otherwise (JPEG, standard output,
// deferred merging) `tif` stays null and a writer thread, which a higher
// layer starts and records in `write_thread`, merges the images into the
// file in order.
#pragma once
#include "stitcher/formats/output_format.h"
#include "stitcher/pipeline/rectangle.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

struct image_desc;
struct zthread;

struct pano_file {
    int32_t pixformat;  // of the file; the layered TIFF's with alpha
    int32_t projection; // 2 at creation; the parser sets it
    int32_t width;
    int32_t height;
    char *name;   // owned
    int32_t wrap; // the width when the panorama wraps round, else 0
    output_format format;
    // tiff_data (layered TIFF), tiled_output (TIFF, PSD) or ppm_data (PPM);
    // null while a writer thread writes the file.
    void *tif;
    zthread *write_thread; // joined by close_panorama_file
};

// Sets the deferred merging of the entry's -d option.
void set_defer_merging(int defer);

// The panorama file of name (given its kind's extension unless it has one),
// opened when its kind is written in place; a file that cannot be created
// ends the run. "-" is standard output: PPM, merged by the writer thread. A
// negative pixformat means the inverse mode: its absolute value is kept,
// nothing is opened and the name is kept as it is.
pano_file *create_panorama_file(const char *name, int width, int height, int pixformat, output_format format,
                                int wrap);
// The writer through which one warped image writes its destination
// rectangle rect (panorama coordinates) minus its overlap tiles (relative to
// rect) into the open file, from rows in pixformat. Only while `tif` is set.
image_writer *panorama_writer(pano_file *pf, uint32_t pixformat, irectangle rect, const irectangle *tiles,
                              int ntiles);
// Completes and closes the file, or waits for the writer thread; releases
// pf. Returns 0.
int close_panorama_file(image_desc *images, int n, pano_file *pf);

// One page of a layered TIFF, written as the image's rows arrive.
struct page_writer_data {
    pano_file *pf;
    int64_t row_bytes;
    unsigned char *buf; // one page row, zero outside the covered runs
    image_writer *tw;   // template_writer filling buf
    int32_t rows;
    irectangle rect;
};
int panorama_write_row(void *pd, void *row);
int panorama_close(void *pd);
