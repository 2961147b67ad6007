#include "stitcher/driver/dest_rectangles.h"

#include "stitcher/geometry/query_sse.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/geometry/warper.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"

#include <algorithm>
#include <cmath>
#include <cstring>

static const char *const msg_rect = "Rect Image %d: x=%d y=%d width=%d height=%d\n";
static const char *const msg_no_query =
    "Rect Image %d (no forward transformation): x=%d y=%d width=%d height=%d\n";
static const char *const msg_rim_cut = "Warning: image %d (%s) lies over the rim of the disc: -x 1 cuts it "
                                       "to the box of its frame (the default mode maps it whole).\n";

// Areas in 64 bits: past 46,341 x 46,341 pixels a 32-bit product wraps.
static int64_t area(const irectangle &r) { return int64_t(r.width) * r.height; }

void set_dest_image(image_desc *d, int index, int pixformat, irectangle rect)
{
    d->index = index;
    d->pixformat = pixformat;
    d->fd = -1;
    d->dest_rect = rect;
    d->ntiles = 0;
    d->tile_ids = nullptr;
    d->tile_rects = nullptr;
    d->tile_partner = nullptr;
}

template <typename T> static T *append(T *old, int n, T value)
{
    T *grown = static_cast<T *>(checked_malloc(sizeof(T) * (size_t(n) + 1)));
    if (n > 0)
        memcpy(grown, old, sizeof(T) * size_t(n));
    grown[n] = value;
    aligned_free(old);
    return grown;
}

int add_tile(const irectangle *r, int partner, image_desc *d)
{
    irectangle rel = {r->x - d->dest_rect.x, r->y - d->dest_rect.y, r->width, r->height};
    d->tile_ids = append(d->tile_ids, d->ntiles, -1);
    d->tile_rects = append(d->tile_rects, d->ntiles, rel);
    d->tile_partner = append(d->tile_partner, d->ntiles, partner);
    d->ntiles++;
    return 0;
}

void fmaxmin(frectangle *a, const frectangle *b)
{
    a->xmin = std::min(a->xmin, b->xmin);
    a->xmax = std::max(a->xmax, b->xmax);
    a->ymin = std::min(a->ymin, b->ymin);
    a->ymax = std::max(a->ymax, b->ymax);
}

// Every rounded bound is a valid int, and so are the sizes built from two.
static int32_t round_bound(float v)
{
    const float limit = 268435456.0f;
    if (std::isnan(v))
        return 0;
    return static_cast<int32_t>(roundf(std::clamp(v, -limit, limit)));
}

int frectangle_to_irectangle(const frectangle *f, irectangle *out)
{
    int32_t x = round_bound(f->xmin), y = round_bound(f->ymin);
    *out = {x, y, round_bound(f->xmax) - x + 1, round_bound(f->ymax) - y + 1};
    return out->height;
}

static irectangle cut_box(const frectangle &f, const irectangle *window)
{
    irectangle rounded, rect;
    frectangle_to_irectangle(&f, &rounded);
    cut_rectangle(&rounded, window, &rect);
    return rect;
}

// Whether the source point (x, y), from the image centre, lies among d's
// usable pixels or within `margin` pixels of them.
static bool in_usable(const image_desc *d, float x, float y, float margin)
{
    const irectangle &s = d->src_rect;
    float px = x + (d->width * 0.5f - 0.5f), py = y + (d->height * 0.5f - 0.5f);
    return px >= s.x - margin && px <= s.x + s.width - 1 + margin && py >= s.y - margin &&
           py <= s.y + s.height - 1 + margin;
}

// Next to a pole the mapped pixel centres of an image miss the outer
// columns and the pole's own rows. An equirectangular panorama shows a pole
// as its whole top or bottom row: an image whose usable pixels contain the
// pole covers that row over the full width.
static void reach_poles(const image_desc *d, const int32_t size[2], const irectangle *window,
                        irectangle *rect)
{
    const stack_data *sd = d->stack;
    if (sd[0].func != _from_equirect)
        return;
    const double half_pi = sd[1].param * M_PI / 2; // rows from the centre to a pole
    alignas(16) vector_stack vs[RMPSIZE];
    vector_remapper(sd, vs);
    alignas(16) float x[4] = {0, 0, 0, 0};
    alignas(16) float y[4] = {static_cast<float>(-half_pi), static_cast<float>(half_pi), 0, 0};
    remap(x, y, vs);
    for (int k = 0; k < 2; k++) {
        if (!in_usable(d, x[k], y[k], 0))
            continue;
        double row = size[1] * 0.5 - 0.5 + (k == 0 ? -half_pi : half_pi);
        irectangle band = {window->x, round_bound(static_cast<float>(row)), window->width, 1}, merged;
        merge_rectangles(rect, &band, &merged);
        cut_rectangle(&merged, window, rect);
    }
}

// Where image d holds the direction straight behind the centre of a
// fisheye or equisolid panorama, which shows that direction as the rim of
// its disc: the source point, from the image centre. False for other
// panoramas.
static bool behind_point(const image_desc *d, float *px, float *py)
{
    const stack_data *sd = d->stack;
    if (sd[0].func < _from_fisheye || sd[0].func > _from_mirror_equisolid)
        return false;
    // The panorama step swapped for one that makes the point (0, 0) the
    // direction (0, 0, -1).
    stack_data behind[RMPSIZE];
    memcpy(behind, sd, sizeof behind);
    behind[0].func = _from_rectilinear;
    behind[1].param = -1;
    alignas(16) vector_stack vs[RMPSIZE];
    vector_remapper(behind, vs);
    alignas(16) float x[4] = {0, 0, 0, 0}, y[4] = {0, 0, 0, 0};
    remap(x, y, vs);
    *px = x[0];
    *py = y[0];
    return true;
}

// The border of a photo that holds the direction behind maps to a loop
// inside the disc while its inner pixels reach out to the rim, so only
// every pixel tells its rectangle.
static bool holds_rim(const image_desc *d)
{
    float x, y;
    // The query maps up to three columns past the rectangle.
    return behind_point(d, &x, &y) && in_usable(d, x, y, 4);
}

// The whole rim shows the one direction behind, while the mapped pixel
// centres of the photo that holds it fall short of the rim's outer half
// pixel, most where the rim meets the disc's box: that photo gets the box
// (a circular one when the direction lies inside its circle).
static void reach_rim(const image_desc *d, const int32_t size[2], const irectangle *window, irectangle *rect)
{
    float x, y;
    if (!behind_point(d, &x, &y) || !in_usable(d, x, y, 0) ||
        (d->is_circle && std::hypot(x, y) > d->width * 0.5f - 0.5f))
        return;
    const stack_data *sd = d->stack;
    const double d_param = sd[1].param; // pixels per radian at the centre
    const double radius = sd[0].func == _from_fisheye ? M_PI * d_param : 2 * d_param;
    const double cx = size[0] * 0.5 - 0.5, cy = size[1] * 0.5 - 0.5;
    frectangle disc = {static_cast<float>(cx - radius), static_cast<float>(cx + radius),
                       static_cast<float>(cy - radius), static_cast<float>(cy + radius)};
    irectangle box = cut_box(disc, window), merged;
    if (area(box) == 0)
        return;
    if (area(*rect) == 0) {
        *rect = box;
        return;
    }
    merge_rectangles(rect, &box, &merged);
    *rect = merged;
}

static void fill4(float *v, float value) { std::fill(v, v + 4, value); }

// The box that image d's inverted stack maps its usable pixels to (only the
// border with border_only).
static frectangle query_box(const image_desc *d, const stack_data *inverted, const int32_t size[2],
                            const irectangle *window, int border_only)
{
    rect_query *q = static_cast<rect_query *>(checked_malloc(sizeof(rect_query)));
    fill4(q->src_cx, d->width * 0.5f - 0.5f);
    fill4(q->src_cy, d->height * 0.5f - 0.5f);
    q->x = d->src_rect.x;
    q->y = d->src_rect.y;
    q->width = d->src_rect.width;
    q->height = d->src_rect.height;
    fill4(q->dst_cx, size[0] * 0.5f - 0.5f);
    fill4(q->dst_cy, size[1] * 0.5f - 0.5f);
    q->dst_x = window->x;
    q->dst_y = window->y;
    q->dst_width = window->width;
    q->dst_height = window->height;
    vector_remapper(inverted, q->stack);
    frectangle f;
    // Every pixel of a large photo is many times the work of its border.
    sse_query_rect_threads(q, q->width, q->height, &f, border_only, border_only ? 1 : num_warp_threads);
    aligned_free(q);
    return f;
}

// rect (the frame's) with the rim, or the box of every pixel where that
// falls short of the window, cut to the window, with the pole rows and the rim.
static irectangle every_pixel_rectangle(const image_desc *d, const stack_data *inverted,
                                        const int32_t size[2], const irectangle *window, irectangle rect)
{
    reach_rim(d, size, window, &rect);
    if (area(rect) < area(*window)) {
        rect = cut_box(query_box(d, inverted, size, window, 0), window);
        reach_poles(d, size, window, &rect);
        reach_rim(d, size, window, &rect);
    }
    return rect;
}

// sd for the panorama turned by half a turn about its vertical axis: a
// direction at longitude L lands at L - 180 degrees.
static stack_data *turned_stack(const stack_data *sd)
{
    static const double half_turn[9] = {-1, 0, 0, 0, 1, 0, 0, 0, -1};
    stack_data *t = new_stack();
    int pos = 0, n = remap_data_size[sd[0].func];
    double params[RMPSIZE];
    for (int k = 0; k < n; k++)
        params[k] = sd[1 + k].param;
    push_step(t, &pos, sd[0].func, params);
    push_step(t, &pos, _perspect, half_turn);
    int rest = 1 + n, end = rest;
    while (sd[end].func >= 0)
        end += 1 + remap_data_size[sd[end].func];
    kassert(pos + end - rest < RMPSIZE);
    memcpy(&t[pos], &sd[rest], sizeof(stack_data) * size_t(end - rest + 1)); // with the end code
    return t;
}

// A cylindrical or equirectangular panorama narrower than a full turn has
// the seam of its longitudes behind the view. A photo across that seam maps
// to both ends of the longitudes, so its box spans the whole window though
// it may show nothing of it; seen from behind (the panorama turned by half a
// turn) it lies in one piece. Then true, with *rect the box of every pixel
// brought back into the window (empty when none lands there).
static bool across_seam(const image_desc *d, const frectangle &plain, const int32_t size[2],
                        const irectangle *window, irectangle *rect)
{
    const stack_data *sd = d->stack;
    if (sd[0].func != _from_cylindrical && sd[0].func != _from_equirect)
        return false;
    const double turn = 2 * M_PI * sd[1].param; // panorama columns of a full turn
    if (!(turn > size[0] + 0.5) || !(plain.xmax - plain.xmin > turn / 4))
        return false;
    stack_data *turned = turned_stack(sd);
    stack_data *inverted = invert_stack(turned);
    free_stack(turned);
    frectangle f = query_box(d, inverted, size, window, 1);
    // In one piece from behind: narrower by far than from the front.
    bool across = f.xmax - f.xmin < plain.xmax - plain.xmin - turn / 4;
    if (across) {
        f = query_box(d, inverted, size, window, 0);
        // Columns a full turn apart show the same longitude.
        auto piece = [&](int k) {
            const double shift = turn / 2 + k * turn;
            frectangle g = {float(f.xmin + shift), float(f.xmax + shift), f.ymin, f.ymax};
            return cut_box(g, window);
        };
        *rect = piece(0);
        for (int k : {-1, 1}) {
            irectangle p = piece(k), merged;
            if (area(p) == 0)
                continue;
            if (area(*rect) > 0) {
                merge_rectangles(rect, &p, &merged);
                p = merged;
            }
            *rect = p;
        }
    }
    free_stack(inverted);
    return across;
}

void *create_destination_rectangles(image_desc *images, int count, const int32_t size[2],
                                    const irectangle *window, int pixformat, int mode)
{
    const int64_t window_area = area(*window);
    for (int i = 0; i < count; i++) {
        image_desc *d = &images[i];
        progress_update(static_cast<int>(i * 8.0 / count + 2.0));
        if (mode == 2) {
            set_dest_image(d, i, pixformat, *window);
            print_message(msg_no_query, i, window->x, window->y, window->width, window->height);
            continue;
        }
        stack_data *inverted = invert_stack(d->stack);
        frectangle border = query_box(d, inverted, size, window, 1);
        irectangle rect;
        if (!across_seam(d, border, size, window, &rect)) {
            rect = cut_box(border, window);
            reach_poles(d, size, window, &rect);
            if (static_cast<double>(area(rect)) > 0.95 * static_cast<double>(window_area))
                rect = *window;
            if (mode == 0 || (mode == 3 && holds_rim(d)))
                rect = every_pixel_rectangle(d, inverted, size, window, rect);
            else if (mode == 1 && area(rect) < window_area && holds_rim(d)) {
                irectangle whole = every_pixel_rectangle(d, inverted, size, window, rect), common;
                cut_rectangle(&whole, &rect, &common);
                if (area(common) < area(whole))
                    print_warning(msg_rim_cut, i, d->name);
            }
        }
        rect.x += d->wrap_shift;
        set_dest_image(d, i, pixformat, rect);
        print_message(msg_rect, i, rect.x, rect.y, rect.width, rect.height);
        free_stack(inverted);
    }
    return nullptr;
}

int lands_somewhere(const image_desc *d, const int32_t size[2])
{
    const irectangle &r = d->dest_rect;
    if (r.width <= 0 || r.height <= 0)
        return 0;
    if (area(r) > 65536)
        return 1;
    alignas(16) vector_stack vs[RMPSIZE];
    vector_remapper(d->stack, vs);
    // The stack works in the warper's frame: the rectangle less its shift.
    const float x0 = static_cast<float>(r.x - d->wrap_shift) - (size[0] * 0.5f - 0.5f);
    const float y0 = static_cast<float>(r.y) - (size[1] * 0.5f - 0.5f);
    for (int row = 0; row < r.height; row++)
        for (int col = 0; col < r.width; col += 4) {
            alignas(16) float x[4], y[4];
            for (int k = 0; k < 4; k++) {
                x[k] = x0 + static_cast<float>(std::min(col + k, r.width - 1));
                y[k] = y0 + static_cast<float>(row);
            }
            remap(x, y, vs);
            for (int k = 0; k < 4; k++)
                if (in_usable(d, x[k], y[k], 0))
                    return 1;
        }
    return 0;
}

void unshift_full_width(image_desc *images, int count, int width, const char *pline)
{
    for (int i = 0; i < count; i++) {
        if (!progress_update(10))
            cancel_run();
        image_desc *d = &images[i];
        if (d->dest_rect.width != width || d->wrap_shift == 0)
            continue;
        d->dest_rect.x = 0;
        free_stack(d->stack);
        d->wrap_shift = 0;
        d->stack = parser_create_stack_data(pline, d->o_line, d->viewpoint_line, d->width, &d->wrap_shift);
    }
}

void create_overlap_rectangles(image_desc *images, int count, int wrap)
{
    for (int i = 0; i < count; i++) {
        for (int j = i + 1; j < count; j++) {
            const int shifts[3] = {0, wrap, -wrap};
            for (int k = 0; k < (wrap ? 3 : 1); k++) {
                irectangle later = images[j].dest_rect, common;
                later.x += shifts[k];
                cut_rectangle(&images[i].dest_rect, &later, &common);
                if (area(common) > 4)
                    add_tile(&common, j, &images[i]);
            }
        }
    }
}
