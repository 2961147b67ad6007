// The p-line (the panorama and its output file) and the m-line.
#include "stitcher/formats/panorama_file.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/geometry/transform.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"

#include <cstring>

static const char *const msg_size = "Script-error: panorama size %dx%d is invalid.\n";
static const char *const msg_interpolator = "Unsupported interpolator : i%d, using bicubic\n";
static const char *const msg_share =
    "Warning: the three-parameter projection (f19) maps only %.0f%% of the panorama; the rest stays empty.\n";
static const char *const msg_suffix = "Warning: the p-line asks for n\"%s\", but the name %s makes %s.\n";
static const char *const msg_renamed = "Warning: the p-line makes %s, so the name %s becomes %s.\n";

// Rounded query bounds are clamped to 2^28: a larger panorama would let
// them wrap past the int range.
enum { MAX_PANO_SIDE = 268435455 };

// The m-line's i 0..9 as the warper's codes.
static const int script_interpolator_map[10] = {
    INTERP_POLY3,    INTERP_SPLINE16, INTERP_SPLINE36, INTERP_SINC256, INTERP_SPLINE64,
    INTERP_BILINEAR, INTERP_NN,       INTERP_SINC1024, INTERP_SINC36,  INTERP_SINC64,
};

static bool valid_side(int n) { return n >= 1 && n <= MAX_PANO_SIDE; }

output_format name_output_format(const char *name)
{
    if (sendswith(name, ".tif", 1) || sendswith(name, ".tiff", 1))
        return OUTPUT_TIFF;
    if (sendswith(name, ".jpg", 1))
        return 80 * 16 + OUTPUT_JPEG;
    return -1;
}

// The output name's suffix decides before the p-line's n.
static output_format output_code(const char *pline, const char *name)
{
    output_format code = name_output_format(name);
    if (code == -1)
        code = parser_get_fileformat(pline);
    return code == -1 ? OUTPUT_TIFF : code;
}

// A word when the name makes another kind than the p-line asks for (its
// suffix, or "-", which is PPM), or when it has a suffix of its own that the
// file does not keep. A p-line without n asks for nothing.
static void warn_name_overrides(const char *pline, const char *name, const pano_file *pf)
{
    std::string n;
    output_format asked = parser_asked_format(pline);
    if (find_option(pline, 'n', &n) && !n.empty() && pf->format != (asked == -1 ? OUTPUT_TIFF : asked)) {
        print_warning(msg_suffix, n.c_str(), name, output_format_text(pf->format).c_str());
        return;
    }
    const char *slash = strrchr(name, '/');
    const char *base = slash ? slash + 1 : name;
    const char *dot = strrchr(base, '.');
    if (dot && dot > base && dot[1] && strcmp(name, pf->name) != 0)
        print_warning(msg_renamed, output_format_text(pf->format).c_str(), name, pf->name);
}

int parser_get_pano(const char *pline, const char *name, int pixformat, stitch_context *ctx)
{
    warn_number_typos(pline, "the p-line", "whf", get_int('f', pline, -1) == 11 ? "vBY" : "v");
    int size[2] = {1024, 512};
    parser_get_image_size(pline, size);
    if (!valid_side(size[0]) || !valid_side(size[1]))
        print_error(msg_size, size[0], size[1]);
    int f = get_int('f', pline, -1);
    if (f != -1 && (f < 0 || f > 19))
        warn_projection(f, PROJ_EQUIRECT);
    const int pclass = pano_projection(f);
    check_field_of_view(get_double('v', pline, 360), f == -1 ? 2 : f, pclass);
    if (pclass == PROJ_TRIPAR) {
        double share = panorama_share(pline);
        if (share < 0.5)
            print_warning(msg_share, 100 * share);
    }

    // In inverse mode the name is the panorama read, and n says nothing.
    const bool stitching = pixformat >= 0;
    if (stitching)
        check_output_kind(pline);
    pano_file *pf = create_panorama_file(name, size[0], size[1], pixformat, output_code(pline, name),
                                         parser_get_wrap_length(pline));
    if (!pf)
        return -1;
    if (stitching)
        warn_name_overrides(pline, name, pf);
    pf->projection = pclass;
    ctx->pano = pf;
    return 0;
}

int can_blend_over_cap(const char *pline)
{
    std::string f;
    int pclass = find_option(pline, 'f', &f) ? pano_projection(satoi(f.c_str())) : pano_projection_table[0];
    int64_t w = get_int('w', pline, 1), h = get_int('h', pline, 1);
    return pclass == PROJ_EQUIRECT && w == 2 * h && get_double('v', pline, 360) == 360;
}

void parser_set_mode(const char *mline, int *interpolator)
{
    warn_number_typos(mline, "the m-line", "i", "");
    int i = -1;
    if (!get_int_given('i', mline, &i))
        return;
    if (i >= 0 && i < 10)
        *interpolator = script_interpolator_map[i];
    else
        print_warning(msg_interpolator, i);
}
