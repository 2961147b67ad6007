// The panorama output file: its record and its name.
#pragma once
#include "stitcher/formats/output_format.h"

#include <cstdint>

struct image_desc;
struct zthread;

// One per run, from create_panorama_file to close_panorama_file.
struct pano_file {
    int32_t pixformat;  // of the output; layered TIFF keeps alpha
    int32_t projection; // projection class of the panorama
    int32_t width, height;
    char *name;   // owned; after the suffix rule
    int32_t wrap; // the width when the panorama wraps horizontally, else 0
    output_format format;
    void *tif;             // the open output, or null
    zthread *write_thread; // when one was started
};

// The record of the output; a negative pixformat (inverse mode) only keeps
// the name of the panorama to read.
pano_file *create_panorama_file(const char *name, int width, int height, int pixformat, output_format format,
                                int wrap);
// Finishes the output and releases pf. Returns 0.
int close_panorama_file(image_desc *images, int n, pano_file *pf);
