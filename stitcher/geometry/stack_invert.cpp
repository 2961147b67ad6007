// The stack of the opposite direction: the steps in reverse order, each
// replaced by its inverse.
#include "stitcher/geometry/matrix.h"
#include "stitcher/geometry/polynom.h"
#include "stitcher/geometry/stack.h"

#include "stitcher/pipeline/keloerror.h"

#include <cstring>
#include <vector>

static const char *const msg_ssr = "invert_shift_scale_rotate_data: Not implemented.";
static const char *const msg_multirect = "Error: Multirectilinear format not invertible.\n";

// Writes the inverse of the step at in (code and parameters) to out.
static void invert_step(const stack_data *in, stack_data *out)
{
    const int func = in[0].func;
    const int n = remap_data_size[func];
    double p[9] = {};
    for (int k = 0; k < n; k++)
        p[k] = in[1 + k].param;
    double q[9] = {};
    int code = func;

    switch (func) {
    case _identity:
        break;
    case _radial: {
        code = _inv_radial;
        memcpy(q, p, 6 * sizeof(double));
        // The validity radius moves with the forward mapping.
        double r = p[6];
        q[6] = r * ((((p[4] * r + p[3]) * r + p[2]) * r + p[1]) * r + p[0]);
        break;
    }
    case _vert_radial:
        poly_inverse(p, q, 1.0);
        q[4] = 0;
        q[5] = p[5];
        break;
    case _shift_scale_rotate:
        print_error(msg_ssr);
    case _scale:
        q[0] = 1 / p[0];
        q[1] = 1 / p[1];
        break;
    case _shear:
        q[0] = 1 / (p[0] * (1 - p[1] * p[2]));
        q[1] = -p[1];
        q[2] = -p[2];
        break;
    case _shift:
        q[0] = -p[0];
        q[1] = -p[1];
        break;
    case _perspect:
        memcpy(q, p, 9 * sizeof(double));
        // A singular matrix stays as it is.
        matrix_invert(q);
        break;
    case _to_rectilinear:
    case _to_cylindrical:
    case _to_equirect:
    case _to_fisheye:
    case _to_equisolid:
    case _to_mirror_equisolid:
        code = func + 6;
        q[0] = p[0];
        q[1] = p[1];
        break;
    case _from_rectilinear:
    case _from_cylindrical:
    case _from_equirect:
    case _from_fisheye:
    case _from_equisolid:
    case _from_mirror_equisolid:
        code = func - 6;
        q[0] = p[0];
        q[1] = p[1];
        break;
    case _translate:
    case _inv_translate:
        code = func == _translate ? _inv_translate : _translate;
        q[0] = -p[0];
        q[1] = -p[1];
        q[2] = 1 / p[2];
        break;
    case _from_tripar:
    case _to_tripar:
        // 25 is the exact inverse of 24 for squeezes of 0 or less, and 24 of 25.
        code = func == _from_tripar ? _to_tripar : _from_tripar;
        memcpy(q, p, 5 * sizeof(double));
        break;
    case _mult_rectilinear:
        print_error(msg_multirect);
    default:
        // 0 and the Newton inverse of the radial step have no inverse; the
        // script never writes them.
        assertion_failed("s[i].func has an inverse", __FILE__, __LINE__);
    }
    out[0].func = code;
    for (int k = 0; k < n; k++)
        out[1 + k].param = q[k];
}

stack_data *invert_stack(const stack_data *s)
{
    stack_data *out = new_stack();
    // Slot index of every step, checked against the table and the block.
    std::vector<int> steps;
    int i = 0;
    while (s[i].func >= 0) {
        if (!(s[i].func < 27))
            assertion_failed("s[i].func < sizeof(remap_data_size)/sizeof(int)", __FILE__, __LINE__);
        kassert(s[i].func != 0);
        steps.push_back(i);
        i += 1 + remap_data_size[s[i].func];
        kassert(i < RMPSIZE);
    }
    int pos = 0;
    for (size_t j = steps.size(); j-- > 0;) {
        invert_step(&s[steps[j]], &out[pos]);
        pos += 1 + remap_data_size[s[steps[j]].func];
    }
    out[pos].func = -1;
    return out;
}
