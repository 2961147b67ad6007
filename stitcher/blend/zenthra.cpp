// zenthra: the stitcher program.
#include "stitcher/blend/color_image.h"
#include "stitcher/blend/command_line.h"
#include "stitcher/formats/external_reader.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/pipeline/timer.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

// The directory of the program, where the reader-description file is looked for.
static char *program_directory(const char *argv0)
{
    if (strchr(argv0, '/'))
        return get_directory(argv0);
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return get_directory(argv0);
    path[n] = '\0';
    return get_directory(path);
}

static void pipe_closed(int) {}

int main(int argc, char **argv)
{
    // A closed pipe on "-o -" becomes a failed write with a message. Caught
    // rather than ignored: reader programs started from here get the default
    // back, so that they end when their reader is closed early.
    struct sigaction sa = {};
    sa.sa_handler = pipe_closed;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);

    stitch_context ctx;
    zenthra_options opt;
    int first_arg = read_command_line(argc, argv, &ctx, &opt);

    if (opt.mask_name) {
        image_reader *ir = file_image_reader(opt.mask_name);
        if (!ir)
            print_error("Error loading maskimage %s\n", opt.mask_name);
        if (ir->pixformat != uchar_RGB && ir->pixformat != uchar_RGBA)
            print_error("Mask image %s must have 8-bit samples.\n", opt.mask_name);
        ctx.mask = read_mask(ir);
        close_image_reader(ir);
    }

    if (ctx.color_mode) {
        if (opt.inverse)
            print_error("Inverse not supported (and not sensible) for color mode.\n");
        opt.pyramid_size = 1;
    }

    if (check_cpu() < 2)
        print_error("CPU does not support SSE2. Sorry.\n");

    char *program_dir = program_directory(argv[0]);
    if (opt.threads == 0)
        opt.threads = static_cast<int>(zsysconf(ZSC_NPROCESSORS));
    print_message("Number of processor cores set to: %d\n", opt.threads);

    if (register_external_readers(opt.reader_description, program_dir) != 0 &&
        !sendswith(opt.reader_description, "KeloImageReader.txt", 0))
        print_error("Could not find external reader specs: %s\n", opt.reader_description);

    const char *script_name = opt.script_name ? opt.script_name : first_arg < argc ? argv[first_arg] : nullptr;
    if (!script_name) {
        usage();
        print_error("No scriptfile specified.\n");
    }
    print_message("Processing script %s\n", script_name);
    char *script = sfilein(script_name);
    if (!script)
        print_error("Could not read scriptfile %s\n", script_name);
    char *script_dir = get_directory(script_name);

    char *asked_name = nullptr;
    if (!opt.output_name) {
        asked_name = save_file_as("pano.tif", "Save panorama as:");
        if (!asked_name)
            print_error("Output name must be specified. Aborting.\n");
        opt.output_name = asked_name;
    }
    if (strcmp(opt.output_name, "-") == 0)
        reserve_stdout(1);

    getcurrenttime();
    progress_open("Zenthra: Working....");
    if (!progress_update(0))
        cancel_run();

    // The parser and the stitching stages come next on this road.
    progress_close();
    aligned_free(asked_name);
    aligned_free(script_dir);
    aligned_free(script);
    aligned_free(program_dir);
    free_ext_readers();
    free_mask(ctx.mask);
    print_error("Stitching is not built into this version yet.\n");
}
