// The panorama output file. Created once, from the script's p-line, opened
// once the photos' names are known, and closed once, after every image was
// handled. Kinds that take pixels at computed places (PPM, tiled TIFF,
// tiled PSD) and the layered TIFF are opened for random access, and each
// warped image writes itself straight into the file through
// panorama_writer. Otherwise (JPEG, standard output, a device or a pipe,
// deferred merging) `tif` stays null and a writer thread, which a higher
// layer starts and records in `write_thread`, merges the images in order
// into `writer`. A regular file is written under a temporary name and
// takes its name when closed complete.
#pragma once
#include "stitcher/formats/output_format.h"
#include "stitcher/pipeline/rectangle.h"
#include "stitcher/pipeline/writeimage.h"

#include <cstdint>

struct icc_profile;
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
    image_writer *writer;  // filled by the writer thread, which closes it
};

// Sets the deferred merging of the entry's -d option.
void set_defer_merging(int defer);

// The panorama file record of name (given its kind's extension unless it has
// one). "-" is standard output: PPM, merged by the writer thread; so is a
// device or a pipe, which keeps its name and takes only PPM and JPEG (other
// kinds end the run). A negative pixformat means the inverse mode: its
// absolute value is kept and the name is kept as it is.
pano_file *create_panorama_file(const char *name, int width, int height, int pixformat, output_format format,
                                int wrap);
// Creates the file: opens it for random access (`tif`) or makes the writer
// thread's `writer`. A file that cannot be created ends the run.
void open_panorama_file(pano_file *pf);
// The writer through which one warped image writes its destination
// rectangle rect (panorama coordinates) minus its overlap tiles (relative to
// rect) into the open file, from rows in pixformat. A layered TIFF's page
// carries the image's own profile (or none); flat files carry the
// panorama's. Only while `tif` is set.
image_writer *panorama_writer(pano_file *pf, uint32_t pixformat, irectangle rect, const irectangle *tiles,
                              int ntiles, const icc_profile *profile);
// Completes and closes the file, or waits for the writer thread (Cancel
// still ends the run meanwhile), gives the file its name; releases pf.
// Returns 0.
int close_panorama_file(image_desc *images, int n, pano_file *pf);

// One page of a layered TIFF, written as the image's rows arrive.
struct page_writer_data {
    pano_file *pf;
    int64_t row_bytes;
    unsigned char *buf; // one page row, zero outside the covered runs
    image_writer *tw;   // template_writer filling buf
    int32_t rows;
    irectangle rect;
    const icc_profile *profile; // or null
};
int panorama_write_row(void *pd, void *row);
int panorama_close(void *pd);
