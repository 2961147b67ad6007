// zenthra: the stitcher program.
#include "stitcher/blend/color_image.h"
#include "stitcher/driver/command_line.h"
#include "stitcher/formats/external_reader.h"
#include "stitcher/formats/image_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/pipeline/timer.h"
#include "stitcher/script/stitch_context.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

// What main holds between its steps and frees at the end.
struct run_state {
    char *program_dir = nullptr;
    char *script = nullptr;
    char *script_dir = nullptr;
    char *asked_name = nullptr; // the output name asked on the terminal
};

static void pipe_closed(int) {}

// A closed pipe on "-o -" becomes a failed write with a message. Caught
// rather than ignored: reader programs started from here get the default
// back, so that they end when their reader is closed early.
static void catch_broken_pipe(void)
{
    struct sigaction sa = {};
    sa.sa_handler = pipe_closed;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

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

// The mask is loaded before the external readers are registered, so it must
// be in a built-in format.
static void load_mask_image(stitch_context *ctx, const zenthra_options *opt)
{
    if (!opt->mask_name)
        return;
    image_reader *ir = file_image_reader(opt->mask_name);
    if (!ir)
        print_error("Error loading maskimage %s\n", opt->mask_name);
    if (ir->pixformat != uchar_RGB && ir->pixformat != uchar_RGBA)
        print_error("Mask image %s must have 8-bit samples.\n", opt->mask_name);
    ctx->mask = read_mask(ir);
    close_image_reader(ir);
}

static void check_color_mode(const stitch_context *ctx, zenthra_options *opt)
{
    if (!ctx->color_mode)
        return;
    if (opt->inverse)
        print_error("Inverse not supported (and not sensible) for color mode.\n");
    opt->pyramid_size = 1;
}

static void check_processor(void)
{
    if (check_cpu() < 2)
        print_error("CPU does not support SSE2. Sorry.\n");
}

static void set_thread_count(zenthra_options *opt)
{
    if (opt->threads == 0)
        opt->threads = static_cast<int>(zsysconf(ZSC_NPROCESSORS));
    print_message("Number of processor cores set to: %d\n", opt->threads);
}

// A missing description file under the default name is no error.
static void register_readers(const zenthra_options *opt, const run_state *run)
{
    if (register_external_readers(opt->reader_description, run->program_dir) != 0 &&
        !sendswith(opt->reader_description, "KeloImageReader.txt", 0))
        print_error("Could not find external reader specs: %s\n", opt->reader_description);
}

static const char *read_script(const zenthra_options *opt, int argc, char **argv, int first_arg,
                               run_state *run)
{
    const char *name = opt->script_name ? opt->script_name : first_arg < argc ? argv[first_arg] : nullptr;
    if (!name) {
        usage();
        print_error("No scriptfile specified.\n");
    }
    print_message("Processing script %s\n", name);
    run->script = sfilein(name);
    if (!run->script)
        print_error("Could not read scriptfile %s\n", name);
    run->script_dir = get_directory(name);
    return name;
}

static void choose_output_name(zenthra_options *opt, run_state *run)
{
    if (!opt->output_name) {
        run->asked_name = save_file_as("pano.tif", "Save panorama as:");
        if (!run->asked_name)
            print_error("Output name must be specified. Aborting.\n");
        opt->output_name = run->asked_name;
    }
    if (strcmp(opt->output_name, "-") == 0)
        reserve_stdout(1);
}

static void open_progress(void)
{
    getcurrenttime();
    progress_open("Zenthra: Working....");
    if (!progress_update(0))
        cancel_run();
}

static void release(stitch_context *ctx, run_state *run)
{
    progress_close();
    aligned_free(run->asked_name);
    aligned_free(run->script_dir);
    aligned_free(run->script);
    aligned_free(run->program_dir);
    free_ext_readers();
    free_mask(ctx->mask);
}

int main(int argc, char **argv)
{
    catch_broken_pipe();
    catch_interrupts();
    stitch_context ctx;
    zenthra_options opt;
    run_state run;
    int first_arg = read_command_line(argc, argv, &ctx, &opt);

    load_mask_image(&ctx, &opt);
    check_color_mode(&ctx, &opt);
    check_processor();
    run.program_dir = program_directory(argv[0]);
    set_thread_count(&opt);
    register_readers(&opt, &run);
    read_script(&opt, argc, argv, first_arg, &run);
    choose_output_name(&opt, &run);
    open_progress();

    // The parser and the stitching stages come next on this road.
    release(&ctx, &run);
    print_error("Stitching is not built into this version yet.\n");
}
