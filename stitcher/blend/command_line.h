// The command line of zenthra and the record of the whole job.
#pragma once
#include <cstdint>

struct pano_file;
struct image_desc;
struct image_number_mask;

struct stitch_context {
    pano_file *pano;         // the output panorama; in inverse mode the one to read
    int nimages;
    image_desc *images;      // source images in processing order, then one record per cap
    int ncaps;               // 0, 1 or 2
    image_desc **caps;       // per cap, the nimages pieces re-projected onto its plane
    image_number_mask *mask; // option -e, or null
    int color_mode;          // option -a
};

// Temporary images of the driver are files of the in-memory store (2).
extern int use_ramdisk;

// The values that main keeps from the options until it uses them.
struct zenthra_options {
    const char *script_name = nullptr;
    const char *output_name = nullptr;
    int inverse = 0;
    const char *mask_name = nullptr;
    const char *reader_description = "KeloImageReader.txt";
    int pyramid_size = 8;
    int min_level = 4;
    double nadir = -1.0;
    double zenith = -1.0;
    int threads = 0; // 0: one per processor
    int query_rect = -1;
    int optimize_order = 1;
    uint32_t pixformat = 4; // uchar_RGB; ushort_RGB with -p
    int defer_merging = 0;
};

void usage(void);

// Zeroes the context and reads the options, making the settings that take
// effect at once (console, quiet, seam mode, use_ramdisk). Prints the usage
// and ends the process for -h (status 0) and a malformed command line
// (status 2); a value out of range is fatal. Returns the index of the first
// argument that is not an option.
int read_command_line(int argc, char **argv, stitch_context *ctx, zenthra_options *opt);
