#include "stitcher/driver/command_line.h"

#include "stitcher/blend/seam.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/stitch_context.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int use_ramdisk = 2;

static const char version[] = " 0.7b ";
static const char build_date[] = " " __DATE__ " " __TIME__ " ";

static const char *const usage_lines[] = {
    "Usage: Zenthra [options] script_file",
    "Options:",
    "-o Outputname (set to '-' for stdout) ",
    "-i Inputname (switch to inverse mode) ",
    "-f Script filename",
    "-z angle - blend over zenith in this range (0-90, default 0)",
    "-n angle - blend over nadir in this range (0-90, default 0)",
    "-j pretend number of cores",
    "-l pyramid size (between 1 and 10, default 8) ",
    "-m minimum pyramid level used for blending (0...pyramid size, default: 3) ",
    "-r Image Reader descriptions",
    "-s 1 optimize order (default) 0 don't optimize order",
    "-c (run as console application)",
    "-d (defer merging, effective only for flat tiff and ppm)",
    "-p 16bit-samples in output (default:8bit-samples) ",
    "-u (for CUDA: use host ram instead of GPU-ram) ",
    "-x query dest rectangle (0 all pixels, 1  frame, 2 don't query) ",
    "-b seam position: 0 - center (default), ",
    "                  1 - optimize (content dependent, experimental) ",
    "                  2 - no seam, blend 1:1 ",
    "-a colour mode, replace input images with unique colors.",
    "-e mask: load color coded maskimage",
    "-q quiet ",
    "-h print help message and exit.",
};

void usage(void)
{
    printf("Zenthra %s\n", version);
    printf("Built: %s\n", build_date);
    for (const char *line : usage_lines)
        puts(line);
    fflush(stdout);
}

// An angle of -n or -z: a whole number text within 0..90; anything else
// (including "nan" and "abc", which atof would take as 0) is refused.
static bool read_angle(const char *text, double *angle)
{
    char *end;
    double v = strtod(text, &end);
    if (end == text)
        return false;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end != '\0' || std::isnan(v) || v < 0.0 || v > 90.0)
        return false;
    *angle = v;
    return true;
}

enum { MAX_THREADS = 1024 };

int read_command_line(int argc, char **argv, stitch_context *ctx, zenthra_options *opt)
{
    *ctx = stitch_context{};
    *opt = zenthra_options{};
    optind = 0; // a full restart of GNU getopt, for a second call in one process
    int c;
    while ((c = getopt(argc, argv, "ab:cdqhe:i:j:f:r:o:x:l:n:z:m:pus:")) != -1) {
        int n;
        switch (c) {
        case 'a':
            ctx->color_mode = 1;
            break;
        case 'b':
            n = satoi(optarg);
            if (n < 0 || n > 2)
                print_error("Unsupported option %d for seamer.\n", n);
            set_seamer(n);
            break;
        case 'c':
            set_console(1);
            break;
        case 'd':
            opt->defer_merging = 1;
            break;
        case 'e':
            opt->mask_name = optarg;
            break;
        case 'f':
            opt->script_name = optarg;
            break;
        case 'i':
            opt->output_name = optarg;
            opt->inverse = 1;
            break;
        case 'j':
            n = satoi(optarg);
            if (n < 1 || n > MAX_THREADS)
                print_error("Number of threads must be between 1 and %d, is %d\n", MAX_THREADS, n);
            opt->threads = n;
            break;
        case 'l':
            n = satoi(optarg);
            if (n < 1 || n > 10)
                print_error("Pyramidsize must be between 1 and 10, is %d\n", n);
            opt->pyramid_size = n;
            break;
        case 'm':
            n = satoi(optarg);
            if (n < 0 || n > 10)
                print_error("Pyramidsize must be between 1 and 10, is %d\n", n);
            opt->min_level = n;
            break;
        case 'n':
            if (!read_angle(optarg, &opt->nadir))
                print_error("Nadir angle must be between 0 and 90 (degrees).");
            break;
        case 'z':
            if (!read_angle(optarg, &opt->zenith))
                print_error("Zenith angle must be between 0 and 90 (degrees).");
            break;
        case 'o':
            opt->output_name = optarg;
            break;
        case 'p':
            opt->pixformat = 6; // ushort_RGB
            break;
        case 'q':
            set_verbose(0);
            break;
        case 'r':
            opt->reader_description = optarg;
            break;
        case 's':
            if (satoi(optarg) == 0)
                opt->optimize_order = 0;
            break;
        case 'u':
            use_ramdisk = 2;
            break;
        case 'x':
            n = satoi(optarg);
            if (n < 0 || n > 2)
                print_error("Query mode must be 0, 1 or 2, is %d\n", n);
            opt->query_rect = n;
            break;
        case 'h':
            usage();
            exit(0);
        default:
            usage();
            exit(2);
        }
    }
    return optind;
}
