// zenthra: the stitcher program.
#include "stitcher/blend/color_image.h"
#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/seam.h"
#include "stitcher/driver/command_line.h"
#include "stitcher/driver/dest_rectangles.h"
#include "stitcher/driver/extract.h"
#include "stitcher/driver/insert.h"
#include "stitcher/driver/order.h"
#include "stitcher/driver/warp_and_blend.h"
#include "stitcher/formats/external_reader.h"
#include "stitcher/formats/image_file.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/geometry/transform.h"
#include "stitcher/geometry/warper.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/pipeline/timer.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

static const char *const msg_pline = "Script-error: Could not parse p-line in script %s.\n";
static const char *const msg_no_image = "No source image found.\n";
static const char *const msg_no_caps = "Warning: Cannot blend across Nadir/Zenith, ignoring request.\n";
static const char *const msg_output_is_input = "Output file %s is also an input of this run.\n";
static const char *const msg_mask_size = "Warning: mask image %s is %dx%d pixels, the panorama %dx%d.\n";
static const char *const msg_no_reach = "No image reaches the panorama.\n";
static const char *const msg_lands_nowhere = "Warning: image %d (%s) lands nowhere in the panorama.\n";
static const char *const msg_not_regular = "Could not open imagefile %s: it is %s, not a regular file.\n";

// What main holds between its steps and frees at the end.
struct run_state {
    char *program_dir = nullptr;
    char *script = nullptr;
    char *script_dir = nullptr;
    char *asked_name = nullptr; // the output name asked on the terminal
    const char *script_name = nullptr;
    char *pline = nullptr;
    image_desc *images = nullptr; // count records of capacity
    int count = 0, capacity = 0;
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

// Writes past the file-size limit fail with EFBIG like any failed write.
static void catch_file_size_limit(void) { signal(SIGXFSZ, SIG_IGN); }

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
        print_refused_file("Error loading maskimage %s\n", "Error loading maskimage %s: %s.\n",
                           opt->mask_name);
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

// Seam mode 2 mixes evenly: one level is all it needs.
static void set_pyramid_levels(const zenthra_options *opt)
{
    set_max_level(get_seamer() == 2 ? 1 : opt->pyramid_size);
    set_min_level(opt->min_level);
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
    set_num_warp_threads(opt->threads);
    set_pixel_threads(opt->threads);
}

// A missing description file under the default name is no error.
static void register_readers(const zenthra_options *opt, const run_state *run)
{
    if (register_external_readers(opt->reader_description, run->program_dir) != 0 &&
        !sendswith(opt->reader_description, "KeloImageReader.txt", 0))
        print_error("Could not find external reader specs: %s\n", opt->reader_description);
}

static void read_script(const zenthra_options *opt, int argc, char **argv, int first_arg, run_state *run)
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
    run->script_name = name;
}

static const char *const default_output_name = "pano.tif";

// The default name's suffix decides its kind whatever the p-line asks: when
// it asks for another kind, the question says what each name gives.
static std::string output_question(const run_state *run)
{
    char *pline = parser_read_script_line(run->script, "p", 1);
    output_format asked = pline ? parser_asked_format(pline) : -1;
    aligned_free(pline);
    if (asked == -1 || asked == name_output_format(default_output_name))
        return "Save panorama as:";
    return "Save panorama as (a .tif name makes " + output_format_text(name_output_format(".tif")) +
           ", a .jpg name " + output_format_text(name_output_format(".jpg")) + ", any other name " +
           output_format_text(asked) + " as the p-line asks):";
}

static void choose_output_name(zenthra_options *opt, run_state *run)
{
    if (!opt->output_name) {
        run->asked_name = save_file_as(default_output_name, output_question(run).c_str());
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

static void check_progress(int percent)
{
    if (!progress_update(percent))
        cancel_run();
}

static bool is_vtx(const run_state *run) { return sendswith(run->script_name, ".vtx", 1); }

// The editor's dummy image, file version and EXIF switch apply before the
// p-line is read.
static void apply_editor_settings(run_state *run)
{
    if (is_vtx(run))
        preprocess_script(run->script);
}

// In inverse mode the panorama record only names the file to read.
static void read_panorama(stitch_context *ctx, const zenthra_options *opt, run_state *run)
{
    run->pline = parser_read_script_line(run->script, "p", 1);
    int pixformat = static_cast<int>(opt->pixformat);
    if (!run->pline ||
        parser_get_pano(run->pline, opt->output_name, opt->inverse ? -pixformat : pixformat, ctx))
        print_error(msg_pline, run->script_name);
    check_progress(1);
}

// A mask is looked up in panorama pixels; its columns go round with the panorama's.
static void fit_mask(const stitch_context *ctx, const zenthra_options *opt)
{
    image_number_mask *mask = ctx->mask;
    if (!mask || opt->inverse)
        return;
    const pano_file *pf = ctx->pano;
    if (mask->width != pf->width || mask->height != pf->height)
        print_warning(msg_mask_size, opt->mask_name, mask->width, mask->height, pf->width, pf->height);
    mask->wrap = pf->wrap;
}

static void choose_interpolator(const run_state *run)
{
    int code = INTERP_POLY3;
    if (char *mline = parser_read_script_line(run->script, "m", 1)) {
        parser_set_mode(mline, &code);
        aligned_free(mline);
    }
    set_interpolator(code);
}

static void append_image(run_state *run, const image_desc *d)
{
    if (run->count == run->capacity) {
        int capacity = run->capacity ? run->capacity * 2 : 16;
        image_desc *grown = static_cast<image_desc *>(checked_malloc(sizeof(image_desc) * size_t(capacity)));
        if (run->count > 0)
            memcpy(grown, run->images, sizeof(image_desc) * size_t(run->count));
        aligned_free(run->images);
        run->images = grown;
        run->capacity = capacity;
    }
    run->images[run->count++] = *d;
}

static void read_images(run_state *run)
{
    image_desc d;
    for (int n = 1; parser_get_image(run->script_dir, run->script, run->pline, n, &d) == 0; n++) {
        check_progress(2);
        append_image(run, &d);
    }
    if (run->count == 0)
        print_error(msg_no_image);
}

// The output is never written over a file that this run reads: in inverse
// mode, where every photo is an output, none may be the script, the mask,
// the reader-description file or the panorama read.
static void check_output_is_no_input(const stitch_context *ctx, const zenthra_options *opt,
                                     const run_state *run)
{
    std::vector<std::string> inputs = {run->script_name, opt->reader_description,
                                       std::string(run->program_dir) + opt->reader_description};
    if (opt->mask_name)
        inputs.push_back(opt->mask_name);
    const char *pano = ctx->pano->name;
    if (opt->inverse) {
        inputs.push_back(pano);
        for (int i = 0; i < run->count; i++)
            for (const std::string &in : inputs)
                if (same_file(run->images[i].name, in.c_str()))
                    print_error(msg_output_is_input, run->images[i].name);
        return;
    }
    for (int i = 0; i < run->count; i++)
        inputs.push_back(run->images[i].name);
    for (const std::string &in : inputs)
        if (same_file(pano, in.c_str()))
            print_error(msg_output_is_input, pano);
}

// A photo that is a FIFO would hold the run when its turn comes, maybe
// after hours; a device or a folder would fail then. Colour mode reads none.
static void check_photos_are_files(const stitch_context *ctx, const run_state *run)
{
    if (ctx->color_mode)
        return;
    for (int i = 0; i < run->count; i++)
        if (const char *kind = non_regular_kind(run->images[i].name))
            print_error(msg_not_regular, run->images[i].name, kind);
}

static void apply_editor_weights(stitch_context *ctx, run_state *run)
{
    if (is_vtx(run)) {
        read_blend_priorities(run->script, run->images, run->count);
        run->count = run->capacity = remove_inactive_images(run->script, &run->images, run->count);
    }
    ctx->nimages = run->count;
    ctx->images = run->images;
}

// The frame suffices where the panorama ends, but for photos over a disc's
// rim (mode 3); a wrapping one needs every pixel. Multi-segment panoramas
// have no inverse to query through.
static void choose_query_mode(const stitch_context *ctx, zenthra_options *opt)
{
    if (opt->query_rect == -1)
        opt->query_rect = ctx->pano->wrap == 0 ? 3 : 0;
    if (ctx->pano->projection == PROJ_MULT_RECTILINEAR)
        opt->query_rect = 2;
}

static bool layered_output(const stitch_context *ctx)
{
    return output_kind(ctx->pano->format) == OUTPUT_TIFF_LAYERED;
}

static void check_caps(const stitch_context *ctx, zenthra_options *opt, const run_state *run)
{
    if (can_blend_over_cap(run->pline) && run->count >= 2 && !layered_output(ctx)) {
        opt->zenith = std::max(opt->zenith, 0.0);
        opt->nadir = std::max(opt->nadir, 0.0);
        return;
    }
    if (opt->zenith > 0 || opt->nadir > 0)
        print_warning(msg_no_caps);
    opt->zenith = opt->nadir = 0;
}

// The images stop 100 rows inside the band of a cap, so that they and the
// cap overlap for blending.
static void place_images(const stitch_context *ctx, const zenthra_options *opt, run_state *run)
{
    const int32_t size[2] = {ctx->pano->width, ctx->pano->height};
    const double h = size[1];
    int y0 = std::max(0, static_cast<int>(trunc(h * opt->zenith / 180 - 100)));
    int yn = std::max(0, static_cast<int>(trunc(h * opt->nadir / 180 - 100)));
    irectangle window = {0, y0, size[0], size[1] - y0 - yn};
    create_destination_rectangles(run->images, run->count, size, &window, static_cast<int>(opt->pixformat),
                                  opt->query_rect);
}

static void order_images(stitch_context *ctx, const zenthra_options *opt, run_state *run)
{
    if (opt->optimize_order && !layered_output(ctx))
        run->images = optimize_order(run->images, run->count);
    run->capacity = run->count;
    ctx->nimages = run->count;
    ctx->images = run->images;
}

// A wrapping panorama's images start inside it, their shift moved along, so
// that the warped rows stay the same.
static void reduce_to_wrap(const stitch_context *ctx)
{
    const int wrap = ctx->pano->wrap;
    if (wrap <= 0)
        return;
    for (int i = 0; i < ctx->nimages; i++) {
        image_desc *d = &ctx->images[i];
        int turns = d->dest_rect.x >= 0 ? d->dest_rect.x / wrap : -((wrap - 1 - d->dest_rect.x) / wrap);
        d->dest_rect.x -= turns * wrap;
        d->wrap_shift -= turns * wrap;
    }
}

// The caps over the poles come first: their records join the images.
static void add_caps(stitch_context *ctx, const zenthra_options *opt, run_state *run)
{
    if (opt->zenith > 0)
        add_cap(ctx, run->pline, opt->zenith, 0);
    if (opt->nadir > 0)
        add_cap(ctx, run->pline, opt->nadir, 1);
    run->images = ctx->images;
}

static void create_tiles(const stitch_context *ctx)
{
    if (layered_output(ctx))
        return;
    create_overlap_rectangles(ctx->images, ctx->nimages + ctx->ncaps, ctx->pano->wrap);
    for (int c = 0; c < ctx->ncaps; c++)
        create_overlap_rectangles(ctx->caps[c], ctx->nimages, 0);
}

static bool is_empty(const irectangle &r) { return r.width <= 0 || r.height <= 0; }

// A photo that no panorama pixel shows (its lens terms or shift send it
// away) is worth a word; images that all miss the panorama, caps included,
// would make an empty one.
static void check_reach(const stitch_context *ctx)
{
    const int32_t size[2] = {ctx->pano->width, ctx->pano->height};
    std::vector<int> nowhere;
    for (int i = 0; i < ctx->nimages; i++) {
        const image_desc *d = &ctx->images[i];
        bool lands = !is_empty(d->dest_rect) && lands_somewhere(d, size);
        for (int c = 0; c < ctx->ncaps; c++)
            lands = lands || !is_empty(ctx->caps[c][i].dest_rect);
        if (!lands)
            nowhere.push_back(i);
    }
    if (static_cast<int>(nowhere.size()) == ctx->nimages)
        print_error(msg_no_reach);
    for (int i : nowhere)
        print_warning(msg_lands_nowhere, i, ctx->images[i].name);
}

static void stitch(stitch_context *ctx)
{
    check_reach(ctx);
    check_mask_images(ctx->mask, ctx->nimages);
    check_progress(11);
    warp_blend_images(ctx);
}

static void free_images(run_state *run)
{
    for (int i = 0; i < run->count; i++)
        free_image_desc(&run->images[i]);
    aligned_free(run->images);
    run->images = nullptr;
    run->count = run->capacity = 0;
}

// The panorama record stays: the loop closes the output file.
static void release(stitch_context *ctx, run_state *run)
{
    progress_close();
    free_caps(ctx);
    free_images(run);
    ctx->images = nullptr;
    ctx->nimages = 0;
    aligned_free(run->pline);
    aligned_free(run->asked_name);
    aligned_free(run->script_dir);
    aligned_free(run->script);
    aligned_free(run->program_dir);
    free_ext_readers();
    free_mask(ctx->mask);
    pool_stop();
}

int main(int argc, char **argv)
{
    catch_broken_pipe();
    catch_file_size_limit();
    catch_interrupts();
    stitch_context ctx;
    zenthra_options opt;
    run_state run;
    int first_arg = read_command_line(argc, argv, &ctx, &opt);

    load_mask_image(&ctx, &opt);
    check_color_mode(&ctx, &opt);
    set_pyramid_levels(&opt);
    check_processor();
    set_defer_merging(opt.defer_merging);
    run.program_dir = program_directory(argv[0]);
    set_thread_count(&opt);
    register_readers(&opt, &run);
    read_script(&opt, argc, argv, first_arg, &run);
    choose_output_name(&opt, &run);
    open_progress();
    apply_editor_settings(&run);
    read_panorama(&ctx, &opt, &run);
    fit_mask(&ctx, &opt);
    choose_interpolator(&run);
    read_images(&run);
    check_output_is_no_input(&ctx, &opt, &run);
    if (!opt.inverse) {
        open_panorama_file(ctx.pano);
        apply_editor_weights(&ctx, &run);
        check_photos_are_files(&ctx, &run);
        choose_query_mode(&ctx, &opt);
        check_caps(&ctx, &opt, &run);
        place_images(&ctx, &opt, &run);
        unshift_full_width(run.images, run.count, ctx.pano->width, run.pline);
        order_images(&ctx, &opt, &run);
        reduce_to_wrap(&ctx);
        add_caps(&ctx, &opt, &run);
        create_tiles(&ctx);
        stitch(&ctx);
    } else {
        ctx.nimages = run.count;
        ctx.images = run.images;
        extract_images(run.pline, &ctx);
        close_panorama_file(nullptr, 0, ctx.pano); // the record only named the file read
    }
    release(&ctx, &run);
    return 0;
}
