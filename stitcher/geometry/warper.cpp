#include "stitcher/geometry/warper.h"

#include "stitcher/geometry/threadreader.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <algorithm>
#include <cstring>

static const char msg_conversion[] = "Conversion from %d to %d not supported.\n";

int interpolator = INTERP_POLY3;
int num_warp_threads = 1;

void set_interpolator(int code) { interpolator = code; }
void set_num_warp_threads(int n) { num_warp_threads = n; }

static void fill4(float *v, float value)
{
    for (int l = 0; l < 4; l++)
        v[l] = value;
}

static void fill4(uint32_t *v, uint32_t value)
{
    for (int l = 0; l < 4; l++)
        v[l] = value;
}

// The threads a row of this width is shared by: each of their shares
// (thread_reader cuts four per thread) at least share_pixels wide, since a
// shorter one costs more to hand over than it saves, and -j far above the
// processor count would cut rows into slivers.
static const int share_pixels = 256;
static int warp_threads(int width)
{
    return static_cast<int>(std::min<int64_t>(num_warp_threads, std::max(1, width / (4 * share_pixels))));
}

// Every thread's copy runs this on the same row. Only the calling thread's
// copy (index 0) looks for Cancel, every 50th row of the rectangle; it still
// completes the row and waits for the others before the run ends.
static void *warp_read_row(image_reader *ir, int n, void *)
{
    warp_data *wd = static_cast<warp_data *>(ir->data);
    bool cancelled = wd->thread_index == 0 && n % 50 == 0 && progress(PROGRESS_UPDATE, -1) == 0;
    wd->remap_row(wd, ir->width, n + wd->dest_y);
    if (cancelled) {
        thread_reader_wait(wd->rd->threads);
        cancel_run();
    }
    return wd->to_data;
}

static int warp_close_image(void *data)
{
    warp_data *wd = static_cast<warp_data *>(data);
    aligned_free(wd->rd->to_data);
    aligned_free(wd->rd);
    aligned_free(wd);
    return 0;
}

// The shared record of a warp; the usable source rectangle is cut to the
// loaded image, so that no interior tap can fall outside the buffer whatever
// rectangle the script gave. A source that wraps reaches its pad columns.
static void fill_remap_data(remap_data *rd, const loaded_image *src, irectangle src_rect,
                            irectangle dest_rect, const int32_t pano_size[2], int circle, int wrap)
{
    memset(rd, 0, sizeof *rd);
    const int32_t width = src->width - 2 * wrap;
    const float cx = static_cast<float>(width) * 0.5f - 0.5f;
    const float cy = static_cast<float>(src->height) * 0.5f - 0.5f;
    irectangle whole = {0, 0, width, src->height}, r;
    cut_rectangle(&src_rect, &whole, &r);
    fill4(rd->src_cx, cx);
    fill4(rd->src_cy, cy);
    fill4(rd->crop_left, static_cast<float>(int64_t(r.x) - wrap) - cx);
    fill4(rd->crop_right, static_cast<float>(int64_t(r.x) + r.width - 1 + wrap) - cx);
    fill4(rd->crop_top, static_cast<float>(r.y) - cy);
    fill4(rd->crop_bottom, static_cast<float>(int64_t(r.y) + r.height - 1) - cy);
    // A source one pixel wide has its centre at 0: the scale of a two-pixel
    // one keeps its alpha a number.
    const float reach = cx < 0.5f ? 0.5f : cx;
    fill4(rd->alpha_scale, static_cast<float>(src->priority / 100.0) * (256.0f / reach));
    fill4(rd->rect_mask, circle ? 0u : ~0u);
    fill4(rd->circle_mask, circle ? ~0u : 0u);
    rd->src_bpp = get_bytes_per_pixel(src->pixformat);
    rd->src_stride = int64_t(src->width) * rd->src_bpp;
    rd->src_size = static_cast<uint64_t>(rd->src_stride) * static_cast<uint64_t>(src->height);
    rd->src_width = width;
    rd->src_height = src->height;
    rd->wrap = wrap;
    rd->src_pixels = static_cast<const unsigned char *>(src->buffer) + int64_t(wrap) * rd->src_bpp;
    rd->dest_x = dest_rect.x;
    fill4(rd->pano_cx, static_cast<float>(pano_size[0]) * 0.5f - 0.5f);
    fill4(rd->pano_cy, static_cast<float>(pano_size[1]) * 0.5f - 0.5f);
}

// Points from -0.5 to width - 0.5 reach their edge distance of T/2 with
// T/2 + 1 columns beyond each side.
int wrap_columns(void) { return interpolator_taps(interpolator) / 2 + 1; }

image_reader *warper(const loaded_image *src, irectangle src_rect, irectangle dest_rect,
                     const int32_t pano_size[2], const stack_data *stack, int circle, int opaque, int wrap)
{
    kassert(wrap >= 0 && src->width >= 2 * wrap);
    warp_data *wd = static_cast<warp_data *>(checked_malloc(sizeof(warp_data), 64));
    remap_data *rd = static_cast<remap_data *>(checked_malloc(sizeof(remap_data), 64));
    image_reader *base = create_image_reader(static_cast<uint32_t>(src->kind), wd, dest_rect.width,
                                             dest_rect.height, float_RGBA, warp_read_row, warp_close_image);
    wd->dest_y = dest_rect.y;
    fill_remap_data(rd, src, src_rect, dest_rect, pano_size, circle, wrap);
    rd->opaque = opaque;

    // Whole groups of four pixels: the last group writes up to three past the width.
    size_t groups = (static_cast<size_t>(dest_rect.width) + 3) / 4;
    rd->to_data = static_cast<float *>(aligned_malloc(groups > 0 ? groups * 64 : 64, 64));
    if (!rd->to_data)
        assertion_failed("t->to_data", __FILE__, __LINE__);

    vector_remapper(stack, rd->stack);
    rd->converter = get_pix_converter(src->pixformat, float_RGBA);
    if (!rd->converter)
        print_error(msg_conversion, static_cast<int>(src->pixformat), static_cast<int>(float_RGBA));
    wd->remap_row = get_remap_row_func(interpolator);
    kassert(wd->remap_row);
    wd->rd = rd;
    wd->size = sizeof(warp_data);
    wd->thread_index = 0;
    wd->to_data = rd->to_data;
    wd->thread_count = 1;

    image_reader *tr = thread_reader(base, warp_threads(dest_rect.width));
    rd->threads = tr != base ? tr : nullptr;
    return buffered_reader_1(tr, rd->to_data, 1, image_row_length(tr), 0);
}
