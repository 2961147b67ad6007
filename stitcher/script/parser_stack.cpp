// Building the transformation stack of an image from its script lines.
#include "stitcher/geometry/matrix.h"
#include "stitcher/geometry/polynom.h"
#include "stitcher/geometry/project.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/script/parser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

static const char *const msg_tripar = "Script-error: p-line f19 needs the option P with three numbers.\n";
static const char *const msg_viewpoint = "Script-error: %s %g of line %s is not a finite number.\n";
static const char *const msg_depth = "Script-error: depth %g of line %s is negative.\n";

static const double deg_to_rad = 0.017453292519943295;

// Reads n numbers one after another from text, as sscanf's "%lf %lf ..."
// would (blanks before each number are skipped); false unless all n scan.
static bool scan_numbers(const char *text, int n, double *out)
{
    for (int k = 0; k < n; k++) {
        char *end = nullptr;
        out[k] = c_strtod(text, &end);
        if (end == text)
            return false;
        text = end;
    }
    return true;
}

// A list of numbers, each followed by one separator byte; false when the
// option is absent. Reading stops at the first text that is no number, or
// at the end of the value.
static bool read_list(const char *pline, char key, std::vector<double> *out)
{
    std::string v;
    if (!find_option(pline, key, &v))
        return false;
    const char *p = v.c_str();
    while (*p) {
        char *end = nullptr;
        double d = c_strtod(p, &end);
        if (end == p)
            break;
        out->push_back(d);
        p = *end ? end + 1 : end;
    }
    return true;
}

// Pixels per unit of a projection of `width` pixels over `fov` radians.
static double projection_scale(int pclass, double width, double fov)
{
    switch (pclass) {
    case PROJ_RECTILINEAR:
        return width / (2 * tan(fov / 2));
    case PROJ_EQUISOLID:
    case PROJ_MIRROR_EQUISOLID:
        return width / (4 * sin(fov / 4));
    default:
        return width / fov;
    }
}

static void push_matrix(stack_data *sd, int *pos, double yaw, double pitch, double roll)
{
    rot_matrix m;
    set_euler_matrix(yaw, pitch, roll, m);
    push_step(sd, pos, _perspect, m);
}

static void panorama_step(stack_data *sd, int *pos, const char *pline)
{
    int size[2] = {1024, 512};
    parser_get_image_size(pline, size);
    const double w = size[0];
    const double hfov_deg = get_double('v', pline, 360);
    const double hfov = hfov_deg * deg_to_rad;
    const int pclass = pano_projection(get_int('f', pline, -1));

    if (pclass == PROJ_TRIPAR) {
        std::string text;
        double P[3];
        if (!find_option(pline, 'P', &text) || !scan_numbers(text.c_str(), 3, P) || !std::isfinite(P[0]) ||
            !std::isfinite(P[1]) || !std::isfinite(P[2]) || !(P[0] < 150))
            print_error(msg_tripar);
        double s = w / hfov;
        double shape = 1.5 / ((150 - P[0]) / 50 + 0.0001) - 0.49998333388887034;
        double params[5] = {s, 1 / s, P[1] / 100, P[2] / 100, shape};
        push_step(sd, pos, _from_tripar, params);
    } else if (pclass == PROJ_MULT_RECTILINEAR) {
        std::vector<double> S, E, W;
        vector_dbl vs{}, ve{}, vw{};
        bool has_s = read_list(pline, 'S', &S), has_e = read_list(pline, 'E', &E),
             has_w = read_list(pline, 'W', &W);
        vs = {S.data(), static_cast<int>(S.size())};
        ve = {E.data(), static_cast<int>(E.size())};
        vw = {W.data(), static_cast<int>(W.size())};
        int count = set_mult_rectilinear_data(hfov_deg, size[0], size[1], has_s ? &vs : nullptr,
                                              has_e ? &ve : nullptr, has_w ? &vw : nullptr,
                                              get_double('B', pline, 360), get_double('Y', pline, 0));
        double params[1] = {static_cast<double>(count)};
        push_step(sd, pos, _mult_rectilinear, params);
    } else {
        double s = projection_scale(pclass, w, hfov);
        double params[2] = {s, 1 / s};
        push_step(sd, pos, _from_rectilinear + pclass, params);
    }
}

// The yaw taken out as a whole-pixel shift of a wrapping panorama; the
// rotation then only turns the image by what is left.
static double wrap_shift(const char *pline, double yaw, int *wrap)
{
    int length = *wrap ? parser_get_wrap_length(pline) : 0;
    if (length == 0) {
        *wrap = 0;
        return yaw;
    }
    // Reduced first, so that the shift stays within half a panorama width.
    double reduced = fmod(yaw + 180, 360);
    if (reduced < 0)
        reduced += 360;
    reduced -= 180;
    double shift = trunc(length / 360.0 * reduced);
    *wrap = std::isfinite(shift) ? static_cast<int>(shift) : 0;
    return reduced - *wrap * 360.0 / length;
}

static void viewpoint_steps(stack_data *sd, int *pos, const char *viewpoint)
{
    static const char key[] = "#-viewpoint";
    double v[5];
    if (!viewpoint || strncmp(viewpoint, key, sizeof key - 1) != 0 ||
        !scan_numbers(viewpoint + sizeof key - 1, 5, v))
        return;
    static const char *const names[5] = {"x", "y", "z", "a1", "a2"};
    for (int k = 0; k < 5; k++)
        if (!std::isfinite(v[k]))
            print_error(msg_viewpoint, names[k], v[k], viewpoint);
    const double x = v[0], y = v[1], z = v[2], a1 = v[3], a2 = v[4];
    const bool logarithmic = vantorix_fileversion > 26;
    // A logarithm may be negative; a plain depth would put the image behind
    // the viewer.
    if (!logarithmic && z < 0)
        print_error(msg_depth, z, viewpoint);
    if (x != 0 || y != 0 || a1 != 0 || a2 != 0) {
        double depth = logarithmic ? exp(z) : z;
        if (!logarithmic && z == 0) {
            // A linear depth of 0 would put the image at infinity: such a
            // file already writes z as a logarithm.
            depth = 1;
            vantorix_fileversion = 27;
        }
        double t[3] = {x, y, 1 / depth};
        push_step(sd, pos, _translate, t);
        push_matrix(sd, pos, a1, a2, 0);
    } else if (z != 0) {
        if (logarithmic || z != 1) {
            double t[3] = {0, 0, 1 / (logarithmic ? exp(z) : z)};
            push_step(sd, pos, _translate, t);
            push_matrix(sd, pos, 0, 0, 0);
        }
    } else if (!logarithmic) {
        vantorix_fileversion = 27;
    }
}

double panorama_share(const char *pline)
{
    stack_data *sd = new_stack();
    int pos = 0;
    panorama_step(sd, &pos, pline);
    alignas(16) vector_stack vs[RMPSIZE];
    vector_remapper(sd, vs);
    free_stack(sd);
    int size[2] = {1024, 512};
    parser_get_image_size(pline, size);
    // Pixel centres on a grid of at most 256 x 256.
    const int nx = std::min(size[0], 256), ny = std::min(size[1], 256);
    auto centre = [](int k, int n, int side) {
        return static_cast<float>((int64_t(2 * k + 1) * side / (2 * n)) - (side * 0.5 - 0.5));
    };
    int64_t mapped = 0;
    for (int j = 0; j < ny; j++) {
        for (int i = 0; i < nx; i += 4) {
            alignas(16) float xs[4], ys[4];
            for (int l = 0; l < 4; l++) {
                xs[l] = centre(std::min(i + l, nx - 1), nx, size[0]);
                ys[l] = centre(j, ny, size[1]);
            }
            remap(xs, ys, vs);
            for (int l = 0; l < 4 && i + l < nx; l++)
                mapped += std::isfinite(xs[l]) && std::isfinite(ys[l]);
        }
    }
    return static_cast<double>(mapped) / (double(nx) * ny);
}

stack_data *parser_create_stack_data(const char *pline, const char *oline, const char *viewpoint, int width,
                                     int *wrap)
{
    stack_data *sd = new_stack();
    int pos = 0;

    panorama_step(sd, &pos, pline);

    double yaw = wrap_shift(pline, get_double('y', oline, 0), wrap);
    double pitch = get_double('p', oline, 0), roll = get_double('r', oline, 0);
    if (yaw != 0 || pitch != 0 || roll != 0)
        push_matrix(sd, &pos, yaw, pitch, roll);

    viewpoint_steps(sd, &pos, viewpoint);

    const int iclass = image_projection(get_int('f', oline, -1));
    const double W = width;
    double s = projection_scale(iclass, W, get_double('v', oline, 70) * deg_to_rad);
    double proj[2] = {s, 1 / s};
    push_step(sd, &pos, _to_rectilinear + iclass, proj);

    double a = get_double('a', oline, 0), b = get_double('b', oline, 0), c = get_double('c', oline, 0);
    if (a != 0 || b != 0 || c != 0) {
        // Past the first turning point of the corrected radius the lens
        // folds back: no image there.
        const double slope[4] = {1 - a - b - c, 2 * c, 3 * b, 4 * a};
        double radial[7] = {1 - a - b - c, c, b, a, 0, W / 2, smallest_root(slope)};
        push_step(sd, &pos, _radial, radial);
    }
    double d = get_double('d', oline, 0), e = get_double('e', oline, 0);
    if (d != 0 || e != 0) {
        double shift[2] = {d, e};
        push_step(sd, &pos, _shift, shift);
    }
    double g = get_double('g', oline, 0), t = get_double('t', oline, 0);
    if (g != 0 || t != 0) {
        double shear[3] = {1, g, t};
        push_step(sd, &pos, _shear, shear);
    }
    return sd;
}
