// The warp-and-blend loop.
#include "stitcher/driver/warp_and_blend.h"

#include "stitcher/blend/blender_input.h"
#include "stitcher/blend/color_image.h"
#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/seam.h"
#include "stitcher/driver/dest_image.h"
#include "stitcher/driver/pano_writer.h"
#include "stitcher/driver/paste.h"
#include "stitcher/driver/photo_metadata.h"
#include "stitcher/driver/source_images.h"
#include "stitcher/formats/output_format.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/formats/tiled_file.h"
#include "stitcher/geometry/warper.h"
#include "stitcher/pipeline/imagepipe.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/timer.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/stitch_context.h"

#include <algorithm>
#include <cinttypes>

static const char msg_readers[] = "Could not create readers.\n";
static const char msg_blender[] = "Could not create blender images.\n";

double jt_total = 0;

// Enough to carry the warper over the rows where the blend is slow.
static const int read_ahead_rows = 64;

// The rows a stage runs ahead: read_ahead_rows, or fewer of a row so wide
// that they would pass 8 MB.
static int ahead_rows(const image_reader *ir) { return rows_ahead(ir, 16, read_ahead_rows, size_t(8) << 20); }

// Where an image lands and what the blend sees of it.
struct warp_target {
    irectangle src_rect;  // usable source pixels
    irectangle dest;      // destination rectangle in the warper's frame
    int32_t pano_size[2]; // the plane the stack maps onto
    const stack_data *stack;
    int circle;
    int opaque;            // alpha 255 wherever the image reaches (a page of its own)
    image_reader *earlier; // what earlier images left, or null
    image_reader *rim;     // the same with the colours that have no alpha (get_blend_images_rim)
    irectangle blend;      // relative to dest, where earlier is
    image_writer *iw;
    const image_number_mask *mask; // or null
    int number;                    // the image's number in the mask
    irectangle mask_origin;        // the destination rectangle in mask columns
};

static bool is_empty(const irectangle &r) { return r.width <= 0 || r.height <= 0; }

// Warps src into t.iw, blending it over t.earlier inside t.blend. Closes
// every reader it makes; the writer stays open.
static void warp_and_blend(const loaded_image *src, const warp_target &t)
{
    const int preload = get_seam_preload();
    image_reader *w0 = warper(src, t.src_rect, t.dest, t.pano_size, t.stack, t.circle, t.opaque);
    if (!t.iw || !w0)
        print_error(msg_readers);
    // The warper's threads compute rows ahead while this thread blends and
    // writes the rows before them.
    if (num_warp_threads > 1)
        w0 = prefetch_reader(w0, ahead_rows(w0), "zenthra-warp");
    if (!t.earlier) {
        image_reader *conv = toformat(w0, t.iw->pixformat, 1);
        pipe_image(conv, t.iw);
        close_image_reader(conv);
        return;
    }
    image_reader *r = extract_rectangle(w0, t.blend);
    if (preload > 0)
        r = buffered_reader_2(r, preload);
    // Every warped row is computed once: what the blend pulls through r is
    // also converted into k's ring, where it waits for paste. With threads,
    // the blender's input and the pyramids run on threads of their own, a
    // ring ahead each, and k and under are handed over to this thread.
    const bool threaded = num_warp_threads > 1;
    const uint32_t stored = alpha_pixformat(t.iw->pixformat);
    const int ring = preload + warp_bufsize() + (threaded ? blend_input_ahead + read_ahead_rows + 2 : 0);
    image_reader *k, *under;
    if (threaded) {
        k = handoff_reader(toformat(w0, stored, 0), w0, ring);
    } else {
        k = spilled_ring_reader(toformat(w0, stored, 0), ring);
        synchronize_reader(k, w0);
    }
    image_reader *b = toformat(t.earlier, float_RGBA, std::max(preload, 1));
    // What the earlier images left goes to paste as stored too: the blend
    // drops a colour whose alpha is 0, which must not get lost where this
    // image has nothing.
    if (threaded) {
        under = handoff_reader(toformat(t.rim, stored, 0), t.rim, ring);
    } else {
        under = toformat(t.rim, stored, ring);
        synchronize_reader(under, t.rim);
    }
    if (!b || !r)
        print_error(msg_readers);
    int levels = pyramid_level(r);
    image_reader *a, *bb, *m;
    if (create_blender_images(&a, &bb, &m, r, b, levels) != 0)
        print_error(msg_blender);
    if (t.mask) {
        irectangle at = {t.mask_origin.x + t.blend.x, t.mask_origin.y + t.blend.y, t.blend.width,
                         t.blend.height};
        m = mask_reader(m, t.number, t.mask, at);
    }
    image_reader *result =
        threaded ? blend_pyramids_into(a, bb, m, levels) : blend_pyramids(a, bb, m, levels);
    if (threaded)
        result = prefetch_reader(result, ahead_rows(result), "zenthra-pyramid");
    // paste closes the blend's result, which releases the whole chain.
    paste_under(k, result, under, t.blend, t.iw);
    print_message("ramfs_size:   %" PRId64 " Mbytes\n", ramfs_total_size.load() / 1000000);
    report_mem_tiles();
}

// Photo `photo` warped where `placed` says, onto a plane of width x height;
// no mask.
static warp_target plane_target(const image_desc *photo, const image_desc *placed, int width, int height)
{
    warp_target t = {};
    t.src_rect = photo->src_rect;
    t.dest = placed->dest_rect;
    t.pano_size[0] = width;
    t.pano_size[1] = height;
    t.stack = placed->stack;
    t.circle = photo->is_circle;
    t.number = -1;
    return t;
}

// Image d (number `number` in the mask) warped into the panorama.
static warp_target panorama_target(const stitch_context *ctx, const image_desc *d, int number)
{
    const pano_file *pf = ctx->pano;
    warp_target t = plane_target(d, d, pf->width, pf->height);
    t.mask = ctx->mask;
    t.number = number;
    // Mask columns: a wrapping panorama's images may start left of column 0
    // or past its width.
    t.mask_origin = {wrap_column(d->dest_rect.x, pf->wrap), d->dest_rect.y, 0, 0};
    return t;
}

static void close_image(image_desc *d, image_writer **iw)
{
    if (*iw) {
        close_image_writer(*iw);
        *iw = nullptr;
        set_image_done(d, 1);
    }
}

// Image k's piece of every cap, warped onto the cap plane and blended over
// the pieces of the images before it there.
static void warp_cap_pieces(stitch_context *ctx, int k, const loaded_image *src)
{
    const image_desc *d = &ctx->images[k];
    for (int c = 0; c < ctx->ncaps; c++) {
        image_desc *piece = &ctx->caps[c][k];
        if (is_empty(piece->dest_rect)) {
            piece->fd = -1;
            continue;
        }
        const image_desc *cap = &ctx->images[ctx->nimages + c];
        pano_file plane = {};
        plane.pixformat = ctx->pano->pixformat;
        plane.projection = 3;
        plane.width = cap->width;
        plane.height = cap->height;
        warp_target t = plane_target(d, piece, cap->width, cap->height);
        t.earlier = get_blend_images_rim(piece, ctx->caps[c], &t.blend, 0, &t.rim);
        t.iw = dest_writer(piece, &plane);
        warp_and_blend(src, t);
        close_image_writer(t.iw);
    }
}

// Each cap's pieces merged, cut to its inscribed circle and warped into the
// panorama like one more image.
static void warp_merged_caps(stitch_context *ctx)
{
    pano_file *pf = ctx->pano;
    for (int c = 0; c < ctx->ncaps; c++) {
        image_desc *d = &ctx->images[ctx->nimages + c];
        image_reader *merged = merge_dest_images(ctx->nimages, d->width, d->height, ctx->caps[c]);
        if (!merged) {
            set_image_done(d, -1);
            continue;
        }
        image_reader *q = select_circle(read_cut_rectangle(merged, {0, 0, d->width, d->height}));
        loaded_image *src = shared_source_image();
        get_image_buffer(q, src);
        close_image_reader(q);
        src->priority = 100;
        warp_target t = panorama_target(ctx, d, ctx->nimages + c);
        t.earlier = get_blend_images_rim(d, ctx->images, &t.blend, pf->wrap, &t.rim);
        t.iw = dest_writer(d, pf);
        t.src_rect = {0, 0, d->width, d->height};
        t.circle = 1;
        warp_and_blend(src, t);
        close_image_writer(t.iw);
        set_image_done(d, 1);
    }
}

bool image_lands(const stitch_context *ctx, int k)
{
    bool pieces = false;
    for (int c = 0; c < ctx->ncaps; c++)
        pieces = pieces || !is_empty(ctx->caps[c][k].dest_rect);
    return !is_empty(ctx->images[k].dest_rect) || pieces;
}

int warp_blend_images(stitch_context *ctx)
{
    pano_file *pf = ctx->pano;
    const int layered = output_kind(pf->format) == OUTPUT_TIFF_LAYERED;
    init_load_data(ctx->images, ctx->nimages, ctx->color_mode);
    // Before any row can reach the output, and before the writer thread.
    choose_panorama_metadata(ctx);
    if (!pf->tif)
        init_pano_writer(pf, ctx->nimages + ctx->ncaps, ctx->images);

    image_writer *open_writer = nullptr; // of the image before, until the next one is decoded
    image_desc *open_image = nullptr;
    for (int k = 0; k < ctx->nimages; k++) {
        image_desc *d = &ctx->images[k];
        // An image that lands nowhere is neither decoded nor warped.
        if (!image_lands(ctx, k)) {
            close_image(open_image, &open_writer);
            d->fd = -1;
            set_image_done(d, -1);
        } else {
            double t0 = mysecond();
            loaded_image *src = get_source_image(k);
            int next = k + 1;
            while (next < ctx->nimages && !image_lands(ctx, next))
                next++;
            load_source_image_ahead(next);
            src->priority = d->blend_weight;
            double spent = mysecond() - t0;
            jt_total += spent;
            print_message("Decoding image %d: %lfs  Total: %lfs  priority %d\n", k, spent, jt_total,
                          d->blend_weight);
            close_image(open_image, &open_writer);
            if (is_empty(d->dest_rect)) {
                d->fd = -1;
                set_image_done(d, -1);
            } else {
                warp_target t = panorama_target(ctx, d, k);
                t.dest.x -= d->wrap_shift;
                t.iw = dest_writer(d, pf);
                // A page shows the image wherever it gives a colour: its
                // feather weight is 0 or below 0 on the rim, and rounds to
                // 0 within half a unit, before any step could see it.
                t.opaque = layered;
                if (layered)
                    t.iw = heavyside_writer(t.iw);
                else
                    t.earlier = get_blend_images_rim(d, ctx->images, &t.blend, pf->wrap, &t.rim);
                warp_and_blend(src, t);
                open_writer = t.iw;
                open_image = d;
            }
            warp_cap_pieces(ctx, k, src);
        }
        double took = getcurrenttime(); // before the total, which it raises
        print_message("Time for image %d: %lfs  Total: %lfs\n", k, took, total_exec_time);
        if (!progress_update(100 * (k + 1) / ctx->nimages))
            cancel_run();
    }
    close_image(open_image, &open_writer);
    warp_merged_caps(ctx);
    free_load_data();
    close_panorama_file(ctx->images, ctx->nimages, pf);
    return 0;
}
