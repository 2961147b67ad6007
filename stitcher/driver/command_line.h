// The command line of zenthra.
#pragma once
#include <cstdint>

struct stitch_context;

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
