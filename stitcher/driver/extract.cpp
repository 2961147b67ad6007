// Inverse mode: the panorama decoded once, every image warped back out of it.
#include "stitcher/driver/extract.h"

#include "stitcher/formats/image_file.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/geometry/warper.h"
#include "stitcher/pipeline/imagepipe.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

static const char *const msg_no_pano = "Could not read panorama: %s\n";
static const char *const msg_no_pano_why = "Could not read panorama: %s: %s.\n";
static const char *const msg_creating = "Creating image %d:  %s\n";
static const char *const msg_no_file = "Could not create image file %s\n";
static const char *const msg_no_file_why = "Could not create image file %s: %s.\n";
static const char *const msg_no_readers = "Could not create readers.\n";
static const char *const msg_resized =
    "Warning: panorama %s is %dx%d, the script says %dx%d; using the file's size.\n";

// The kind a file name asks for; 0 for a suffix without a writer.
static int kind_of_name(const char *name)
{
    if (sendswith(name, ".jpg", 1) || sendswith(name, ".jpeg", 1))
        return OUTPUT_JPEG;
    if (sendswith(name, ".tif", 1) || sendswith(name, ".tiff", 1))
        return OUTPUT_TIFF;
    if (sendswith(name, ".ppm", 1))
        return OUTPUT_PPM;
    return 0;
}

image_writer *extract_writer(const char *name, int width, int height, const pano_file *pano)
{
    const output_format code = pano->format;
    int kind = kind_of_name(name);
    if (kind == 0)
        kind = output_kind(code);
    const bool as_pano = kind == output_kind(code);
    const uint32_t pixformat = static_cast<uint32_t>(pano->pixformat);
    switch (kind) {
    case OUTPUT_PPM:
        return ppm_writer(name, width, height, pixformat);
    case OUTPUT_TIFF:
        return tiff_writer(name, width, height, pixformat, as_pano && output_big(code));
    case OUTPUT_JPEG:
        return jpeg_writer(name, width, height, uchar_RGB, as_pano ? output_quality(code) : 80,
                           as_pano && output_progressive(code));
    }
    set_refusal("inverse mode writes JPEG, TIFF and PPM files only");
    return nullptr;
}

// The p-line with the file's size in front: the first w and h of a line
// count, so the script's own size gives way to the file's.
static std::string sized_pline(const char *p_line, const image_reader *pano)
{
    const char *rest = p_line[0] == 'p' ? p_line + 1 : p_line;
    return "p w" + std::to_string(pano->width) + " h" + std::to_string(pano->height) + " " + rest;
}

// A resized panorama still registers: its stacks are built for its own size.
static void check_size(const char *p_line, pano_file *pano, const image_reader *ir)
{
    int size[2] = {ir->width, ir->height};
    parser_get_image_size(p_line, size);
    if (size[0] != ir->width || size[1] != ir->height)
        print_warning(msg_resized, pano->name, ir->width, ir->height, size[0], size[1]);
    pano->width = ir->width;
    pano->height = ir->height;
}

// Image d warped out of the panorama. The chain is built before the writer
// opens d's file, so that a stack without an inverse or a failed warper
// leaves the user's photo untouched.
static void extract_image(const std::string &pline, const loaded_image *li, int wrap, const pano_file *pano,
                          image_desc *d)
{
    free_stack(d->stack);
    d->wrap_shift = 0;
    d->stack =
        parser_create_stack_data(pline.c_str(), d->o_line, d->viewpoint_line, d->width, &d->wrap_shift);
    stack_data *inverse = invert_stack(d->stack);
    const irectangle whole = {0, 0, li->width - 2 * wrap, li->height};
    const int32_t plane[2] = {d->width, d->height};
    image_reader *w = warper(li, whole, d->src_rect, plane, inverse, 0, 0, wrap);
    if (!w)
        print_error(msg_no_readers);
    if (begin_output(d->name) != 0)
        print_error(msg_no_file_why, d->name, strerror(errno));
    clear_refusal();
    image_writer *iw = extract_writer(d->name, d->src_rect.width, d->src_rect.height, pano);
    if (!iw)
        print_refused_file(msg_no_file, msg_no_file_why, d->name);
    image_reader *r = toformat(w, iw->pixformat, 1);
    pipe_image(r, iw);
    close_image_reader(r);
    free_stack(inverse);
    close_image_writer(iw);
    commit_output(d->name);
}

int extract_images(const char *p_line, stitch_context *ctx)
{
    pano_file *pano = ctx->pano;
    image_reader *ir = file_image_reader(pano->name);
    if (!ir)
        print_refused_file(msg_no_pano, msg_no_pano_why, pano->name);
    check_size(p_line, pano, ir);
    const std::string pline = sized_pline(p_line, ir);
    // Across the seam of a full turn the taps read on round the other edge
    // (of a panorama at least as wide as they reach).
    const bool full_turn = parser_get_wrap_length(pline.c_str()) > 0 && ir->width >= wrap_columns();
    const int wrap = full_turn ? wrap_columns() : 0;
    loaded_image li = {};
    li.kind = 1;
    get_wrapped_image_buffer(ir, wrap, &li);
    close_image_reader(ir);
    // The photos take the panorama's profile and EXIF.
    image_metadata m = read_image_metadata(pano->name);
    keep_image_metadata(&m);

    for (int i = 0; i < ctx->nimages; i++) {
        image_desc *d = &ctx->images[i];
        print_message(msg_creating, i + 1, d->name);
        extract_image(pline, &li, wrap, pano, d);
        if (!progress_update(static_cast<int>(int64_t(100) * (i + 1) / ctx->nimages)))
            cancel_run();
    }
    aligned_free(li.buffer);
    return 0;
}
