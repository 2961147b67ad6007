// The o-lines: one image record each.
#include "stitcher/formats/image_file.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

static const char *const msg_parsing = "Parsing script line:\n%s\n";
static const char *const msg_no_name = "Could not get filename for image %d.\n";
static const char *const msg_no_data = "Could not read data for image %s.\n";
static const char *const msg_no_data_why = "Could not read data for image %s: %s.\n";
static const char *const msg_size = "Script-error: image %d has invalid size %dx%d.\n";
static const char *const msg_crop = "Script-error: crop of image %d is empty.\n";
static const char *const msg_selection = "Script-error: selection of image %d is empty.\n";
static const char *const msg_not_finite = "Script-error: option %c of line %s is not a finite number.\n";

// An int read as sscanf's %d reads it (blanks first, base 10), clamped to
// the int range; false when no digits follow.
static bool scan_int(const char **p, int *out)
{
    char *end = nullptr;
    long v = strtol(*p, &end, 10);
    if (end == *p)
        return false;
    *out = static_cast<int>(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
    *p = end;
    return true;
}

// A C or S value "l,r,t,b" as {l, t, r - l, b - t}; false when the option
// is absent or does not scan. The sizes are 64-bit: l and r may be any ints.
struct edges {
    int64_t l, t, w, h;
};
static bool read_edges(const char *oline, char key, edges *e)
{
    std::string v;
    if (!find_option(oline, key, &v))
        return false;
    const char *p = v.c_str();
    int n[4];
    for (int k = 0; k < 4; k++) {
        if ((k > 0 && *p++ != ',') || !scan_int(&p, &n[k]))
            return false;
    }
    *e = {n[0], n[2], int64_t(n[1]) - n[0], int64_t(n[3]) - n[2]};
    return true;
}

static int32_t clamp_i32(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT_MIN, INT_MAX)); }

static irectangle to_irectangle(const edges &e)
{
    return {clamp_i32(e.l), clamp_i32(e.t), clamp_i32(e.w), clamp_i32(e.h)};
}

// "#-imgfile %d %d \"%[^\"]": width, height and a name of any length, which
// runs to the next quote or the end of the line.
static bool read_imgfile(const char *line, int *width, int *height, char **name)
{
    static const char key[] = "#-imgfile";
    const char *p = line + sizeof key - 1;
    int w, h;
    if (!scan_int(&p, &w) || !scan_int(&p, &h))
        return false;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p++ != '"' || *p == '"' || *p == '\0')
        return false;
    const char *close = strchr(p, '"');
    size_t len = close ? static_cast<size_t>(close - p) : strlen(p);
    char *copy = static_cast<char *>(checked_malloc(len + 1));
    memcpy(copy, p, len);
    copy[len] = '\0';
    aligned_free(*name);
    *name = copy;
    *width = w;
    *height = h;
    return true;
}

int parser_get_name_size(const char *oline, image_desc *d)
{
    int size[2] = {d->width, d->height};
    int sizes = parser_get_image_size(oline, size);
    d->width = size[0];
    d->height = size[1];
    std::string name;
    // An empty name names no file: it is as good as none.
    if (!find_option(oline, 'n', &name) || name.empty())
        return -1;
    aligned_free(d->name);
    d->name = sdup(name.c_str());
    return sizes;
}

// The numbers that become the image's stack must be finite, and its field
// of view one that its projection can show.
static void check_geometry(const char *oline, int n)
{
    const std::string label = "o-line " + std::to_string(n);
    warn_number_typos(oline, label.c_str(), "whf", "vyprabcdegt");
    for (char key : {'y', 'p', 'r', 'a', 'b', 'c', 'd', 'e', 'g', 't'})
        if (!std::isfinite(get_double(key, oline, 0)))
            print_error(msg_not_finite, key, oline);
    int f = get_int('f', oline, -1);
    if (f != -1 && (f < 0 || f > 10))
        warn_projection(f, PROJ_RECTILINEAR);
    check_field_of_view(get_double('v', oline, 70), f == -1 ? 0 : f, image_projection(f));
}

// The size of image n from its o-line, else its "#-imgfile" line, else the
// file itself.
static void find_name_size(const char *script_dir, const char *script, int n, const char *oline,
                           image_desc *d)
{
    d->width = d->height = -1;
    if (parser_get_name_size(oline, d) != 0) {
        char *line = parser_read_script_line(script, "#-imgfile", n);
        if (line)
            read_imgfile(line, &d->width, &d->height, &d->name);
        aligned_free(line);
    }
    if (!d->name)
        print_error(msg_no_name, n);
    if (d->name[0] != '/' && !strchr(d->name, ':')) {
        char *full = sadd(script_dir, d->name);
        aligned_free(d->name);
        d->name = full;
    }
    if (d->width < 0 || d->height < 0) {
        image_size size;
        if (get_image_size(d->name, &size) != 0)
            print_refused_file(msg_no_data, msg_no_data_why, d->name);
        d->width = size.width;
        d->height = size.height;
    }
    if (d->width < 1 || d->height < 1)
        print_error(msg_size, n, d->width, d->height);
}

// A crop is the rectangle of the file that becomes the image; the usable
// part is where the file lies inside it. A crop reaching past the file
// leaves transparent margins, which must not count as image.
static void apply_crop(const char *oline, int n, image_desc *d)
{
    edges c;
    if (!read_edges(oline, 'C', &c))
        return;
    if (c.w <= 0 || c.h <= 0)
        print_error(msg_crop, n);
    if (c.w > INT_MAX || c.h > INT_MAX)
        print_error(msg_size, n, clamp_i32(c.w), clamp_i32(c.h));
    d->crop_rect = to_irectangle(c);
    irectangle file = {clamp_i32(-c.l), clamp_i32(-c.t), d->width, d->height};
    irectangle crop = {0, 0, d->crop_rect.width, d->crop_rect.height};
    cut_rectangle(&file, &crop, &d->src_rect);
    if (d->src_rect.width == 0 || d->src_rect.height == 0)
        print_error(msg_crop, n);
    d->width = d->crop_rect.width;
    d->height = d->crop_rect.height;
}

static void apply_selection(const char *oline, int n, image_desc *d)
{
    edges s;
    if (!read_edges(oline, 'S', &s))
        return;
    d->select_rect = to_irectangle(s);
    irectangle usable = d->src_rect;
    cut_rectangle(&d->select_rect, &usable, &d->src_rect);
    if (d->src_rect.width == 0 || d->src_rect.height == 0)
        print_error(msg_selection, n);
}

int parser_get_image(const char *script_dir, const char *script, const char *pline, int n, image_desc *d)
{
    char *oline = parser_read_script_line(script, "o", n);
    if (!oline)
        return -1;
    print_message(msg_parsing, oline);
    *d = image_desc{};
    d->fd = -1;
    check_geometry(oline, n);
    find_name_size(script_dir, script, n, oline, d);
    d->src_rect = {0, 0, d->width, d->height};
    apply_crop(oline, n, d);
    apply_selection(oline, n, d);
    int f = get_int('f', oline, -1);
    d->is_circle = f == 2 || f == 10;
    d->wrap_shift = 1;
    d->viewpoint_line = parser_read_script_line(script, "#-viewpoint", n);
    d->stack = parser_create_stack_data(pline, oline, d->viewpoint_line, d->width, &d->wrap_shift);
    d->done = 0;
    d->o_line = oline;
    d->blend_weight = 100;
    return 0;
}

int get_image_position(const char *oline, double *yaw, double *pitch, double *roll)
{
    kassert(oline != nullptr);
    *yaw = get_double('y', oline, 0);
    *pitch = get_double('p', oline, 0);
    *roll = get_double('r', oline, 0);
    return 0;
}
