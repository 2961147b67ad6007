// Caps: the destination record of each pole's cap and the copies of the
// source images re-aimed at its plane.
#include "stitcher/driver/insert.h"

#include "stitcher/driver/dest_rectangles.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

static const char *const msg_insert = "Creating insert using parameters:\n%s\n";
// The cap seen as a circular fisheye photo of the pole (zenith, nadir).
static const char *const cap_lines[2] = {"o f2 y0 p90 r0 v%lf", "o f2 y0 p-90 r0 v%lf"};

static const double deg_to_rad = 0.017453292519943295;

int cap_size(double angle, int height) { return 2 * static_cast<int>(ceil(angle / 180 * height)); }

// The slot after the step at slot i.
static int next_step(const stack_data *sd, int i)
{
    kassert(i < RMPSIZE && sd[i].func >= 0 && sd[i].func <= _mult_rectilinear);
    return i + 1 + remap_data_size[sd[i].func];
}

static bool lens_projection(int func) { return func >= _to_rectilinear && func <= _to_mirror_equisolid; }

// The rotation from panorama directions into the camera's: a _perspect
// before the viewpoint translation and the lens projection; -1 when the
// script needed none (yaw after the wrap shift, pitch and roll all 0).
static int rotation_step(const stack_data *sd)
{
    for (int i = next_step(sd, 0); sd[i].func >= 0; i = next_step(sd, i)) {
        if (sd[i].func == _perspect)
            return i;
        if (sd[i].func == _translate || lens_projection(sd[i].func))
            break;
    }
    return -1;
}

// Moves the steps from slot at on by n slots, end code included.
static void open_slots(stack_data *sd, int at, int n)
{
    int end = at;
    while (sd[end].func >= 0)
        end = next_step(sd, end);
    kassert(end + n < RMPSIZE);
    memmove(sd + at + n, sd + at, sizeof(stack_data) * size_t(end + 1 - at));
}

stack_data *cap_stack(const stack_data *image_stack, double f, const rot_matrix tilt)
{
    stack_data *sd = new_stack();
    memcpy(sd, image_stack, sizeof(stack_data) * RMPSIZE);
    // The fisheye step takes the place of the panorama's plane step, which
    // for a full equirectangular panorama has as many parameters.
    kassert(next_step(sd, 0) == 1 + remap_data_size[_from_fisheye]);
    int r = rotation_step(sd);
    if (r < 0) {
        r = next_step(sd, 0);
        open_slots(sd, r, 1 + remap_data_size[_perspect]);
    }
    sd[0].func = _from_fisheye;
    sd[1].param = f;
    sd[2].param = 1 / f;
    sd[r].func = _perspect;
    for (int k = 0; k < 9; k++)
        sd[r + 1 + k].param = tilt[k];
    return sd;
}

// Room for one more record; the array moves.
static image_desc *grow_images(stitch_context *ctx)
{
    const size_t n = size_t(ctx->nimages) + size_t(ctx->ncaps);
    image_desc *grown = static_cast<image_desc *>(checked_malloc(sizeof(image_desc) * (n + 1)));
    if (n > 0)
        memcpy(grown, ctx->images, sizeof(image_desc) * n);
    aligned_free(ctx->images);
    ctx->images = grown;
    return &grown[n];
}

static void append_cap_array(stitch_context *ctx, image_desc *copies)
{
    const size_t n = size_t(ctx->ncaps);
    image_desc **grown = static_cast<image_desc **>(checked_malloc(sizeof(image_desc *) * (n + 1)));
    if (n > 0)
        memcpy(grown, ctx->caps, sizeof(image_desc *) * n);
    grown[n] = copies;
    aligned_free(ctx->caps);
    ctx->caps = grown;
}

// The record that places the finished cap into the panorama: its stack maps
// panorama pixels onto the cap plane. Takes o_line.
static void fill_cap_record(image_desc *d, const stitch_context *ctx, const char *p_line, char *o_line, int s,
                            int direction)
{
    memset(d, 0, sizeof *d);
    d->width = d->height = s;
    int no_wrap = 0;
    d->stack = parser_create_stack_data(p_line, o_line, nullptr, s, &no_wrap);
    d->o_line = o_line;
    d->blend_weight = 100;
    const pano_file *pano = ctx->pano;
    irectangle rect = {0, direction == 0 ? 0 : pano->height - s / 2, pano->width, s / 2};
    set_dest_image(d, ctx->nimages + ctx->ncaps, pano->pixformat, rect);
}

// The source records with stacks from the cap plane; the copies borrow the
// names, lines and profiles.
static image_desc *cap_copies(const stitch_context *ctx, double f, int direction)
{
    const int n = ctx->nimages;
    image_desc *copies =
        static_cast<image_desc *>(checked_malloc(sizeof(image_desc) * size_t(n > 0 ? n : 1)));
    for (int i = 0; i < n; i++) {
        const image_desc *src = &ctx->images[i];
        copies[i] = *src;
        copies[i].wrap_shift = 0;
        double yaw, pitch, roll;
        get_image_position(src->o_line, &yaw, &pitch, &roll);
        rot_matrix tilt;
        tilt_matrix(yaw, pitch, roll, tilt, direction);
        copies[i].stack = cap_stack(src->stack, f, tilt);
    }
    return copies;
}

// Mapped forward, the pixels of a photo that sees nothing of the cap land on
// a ring around the plane, whose box is the whole plane: the rectangle is cut
// to the pixels of the cap's circle (all that the merged cap keeps) that the
// photo's usable rectangle really covers (their centres within its
// pixel-centre region), one pixel wider for the feather.
static void cut_to_covered(image_desc *d, int s)
{
    const irectangle r = d->dest_rect;
    if (r.width <= 0 || r.height <= 0)
        return;
    vector_stack *vs = static_cast<vector_stack *>(checked_malloc(sizeof(vector_stack) * RMPSIZE));
    vector_remapper(d->stack, vs);
    const float c = s * 0.5f - 0.5f, cx = d->width * 0.5f - 0.5f, cy = d->height * 0.5f - 0.5f;
    const float radius2 = (s * 0.5f + 1) * (s * 0.5f + 1);
    const float left = d->src_rect.x - 0.5f - cx, right = d->src_rect.x + d->src_rect.width - 0.5f - cx;
    const float top = d->src_rect.y - 0.5f - cy, bottom = d->src_rect.y + d->src_rect.height - 0.5f - cy;
    int x0 = INT_MAX, x1 = INT_MIN, y0 = INT_MAX, y1 = INT_MIN;
    alignas(16) float x[4], y[4];
    for (int row = r.y; row < r.y + r.height; row++)
        for (int col = r.x; col < r.x + r.width; col += 4) {
            for (int l = 0; l < 4; l++) {
                x[l] = col + l - c;
                y[l] = row - c;
            }
            remap(x, y, vs);
            for (int l = 0; l < 4 && col + l < r.x + r.width; l++) {
                float dx = col + l - c, dy = row - c;
                if (dx * dx + dy * dy <= radius2 && x[l] >= left && x[l] <= right && y[l] >= top &&
                    y[l] <= bottom) {
                    x0 = std::min(x0, col + l);
                    x1 = std::max(x1, col + l);
                    y0 = std::min(y0, row);
                    y1 = std::max(y1, row);
                }
            }
        }
    aligned_free(vs);
    if (x0 > x1) {
        d->dest_rect.width = d->dest_rect.height = 0;
        return;
    }
    x0 = std::max(x0 - 1, r.x);
    y0 = std::max(y0 - 1, r.y);
    x1 = std::min(x1 + 1, r.x + r.width - 1);
    y1 = std::min(y1 + 1, r.y + r.height - 1);
    d->dest_rect = {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

void add_cap(stitch_context *ctx, const char *p_line, double angle, int direction)
{
    kassert(angle > 0 && angle <= 90 && (direction == 0 || direction == 1));
    const int s = cap_size(angle, ctx->pano->height);
    const double f = s / (2 * angle * deg_to_rad);
    char line[64];
    snprintf(line, sizeof line, cap_lines[direction], 2 * angle);
    print_stdout(msg_insert, line);

    fill_cap_record(grow_images(ctx), ctx, p_line, sdup(line), s, direction);
    image_desc *copies = cap_copies(ctx, f, direction);
    append_cap_array(ctx, copies);
    const int32_t size[2] = {s, s};
    const irectangle plane = {0, 0, s, s};
    const uint32_t pixformat = alpha_pixformat(static_cast<uint32_t>(ctx->pano->pixformat));
    create_destination_rectangles(copies, ctx->nimages, size, &plane, static_cast<int>(pixformat), 0);
    for (int i = 0; i < ctx->nimages; i++)
        cut_to_covered(&copies[i], s);
    ctx->ncaps++;
}

void free_caps(stitch_context *ctx)
{
    for (int c = 0; c < ctx->ncaps; c++) {
        image_desc *copies = ctx->caps[c];
        for (int i = 0; i < ctx->nimages; i++) {
            copies[i].name = copies[i].o_line = copies[i].viewpoint_line = nullptr;
            copies[i].profile = nullptr;
            free_image_desc(&copies[i]);
        }
        aligned_free(copies);
        free_image_desc(&ctx->images[ctx->nimages + c]);
    }
    aligned_free(ctx->caps);
    ctx->caps = nullptr;
    ctx->ncaps = 0;
}
