// Transformation stacks: the coded list of steps that maps a point of the
// panorama (pixels from its centre) to the point of a source image (pixels
// from its centre), in the double-precision form the script builds and the
// four-lane single-precision form the warper and the rectangle query
// evaluate.
//
// A point is (x, y, z): planar steps read and write x and y (x to the right,
// y downward); direction steps read (x, y, z) as a viewing direction with Z
// forward. A point without an image comes back marked: 1.0e21, not-a-number
// or infinity in its coordinates, never as an error.
#pragma once
#include <cstdint>

enum { RMPSIZE = 256 };

// Step codes. The parameters of each follow it, one slot each.
enum stack_func : int32_t {
    _none = 0, // reserved; never in a stack
    _identity = 1,
    _radial = 2,             // a0..a4, normalising radius, validity radius
    _vert_radial = 3,        // a0..a4, normalising height
    _shift_scale_rotate = 4, // shift x, shift y, scale, cosine, sine
    _scale = 5,              // factor x, factor y
    _shear = 6,              // scale, g, t
    _shift = 7,              // dx, dy
    _perspect = 8,           // 3x3 matrix, row-major
    _to_rectilinear = 9,     // 9..14: direction to image plane; d, 1/d
    _to_cylindrical = 10,
    _to_equirect = 11,
    _to_fisheye = 12,
    _to_equisolid = 13,
    _to_mirror_equisolid = 14,
    _from_rectilinear = 15, // 15..20: panorama plane to direction; d, 1/d
    _from_cylindrical = 16,
    _from_equirect = 17,
    _from_fisheye = 18,
    _from_equisolid = 19,
    _from_mirror_equisolid = 20,
    _translate = 21,        // tx, ty, 1/tz
    _inv_translate = 22,    // -tx, -ty, tz
    _inv_radial = 23,       // a0..a4, normalising radius, validity radius of the image side
    _from_tripar = 24,      // d, 1/d, upper squeeze, lower squeeze, shape
    _to_tripar = 25,        // as 24
    _mult_rectilinear = 26, // piece count of mult_rectilinear_data
};

// Projections of panoramas and images. The panorama side of a stack starts
// with code 15 + class (classes 0 to 5), 24 or 26; the image side uses 9 + class.
enum projection_class {
    PROJ_RECTILINEAR = 0,
    PROJ_CYLINDRICAL = 1,
    PROJ_EQUIRECT = 2,
    PROJ_FISHEYE = 3,
    PROJ_EQUISOLID = 4,
    PROJ_MIRROR_EQUISOLID = 5,
    PROJ_TRIPAR = 6,
    PROJ_MULT_RECTILINEAR = 7, // panoramas only
};

// Parameter count of each code.
extern const int remap_data_size[27];

// One slot of the double-precision form: a step code or one parameter. A
// stack is a block of RMPSIZE slots ending at the first negative code
// (written as -1).
struct stack_data {
    union {
        int32_t func;
        double param;
    };
};
static_assert(sizeof(stack_data) == 8);

// One slot of the evaluation form: a code in the first lane, or one
// parameter rounded to float in all four lanes. Ends with a code of -1.
struct alignas(16) vector_stack {
    union {
        int32_t func;
        float lane[4];
    };
};
static_assert(sizeof(vector_stack) == 16);

// Maps four points (x[i], y[i]) in place; both arrays 16-byte aligned.
// Keeps no state: threads may share one stack.
void remap(float *x, float *y, const vector_stack *stack);

// Writes the evaluation form of sd into vs (room for RMPSIZE slots).
void vector_remapper(const stack_data *sd, vector_stack *vs);

// The stack of the opposite direction, newly allocated (free_stack).
// A step without an inverse (shift-scale-rotate, multi-segment) ends the run.
stack_data *invert_stack(const stack_data *s);

// A new stack of RMPSIZE zeroed slots holding only the end code; the run
// ends when there is no memory for it.
stack_data *new_stack(void);
// Writes the step func with its parameters at slot *pos, moves *pos past it
// and writes the end code after it.
void push_step(stack_data *sd, int *pos, int func, const double *params);

// Releases a block of either form; null is ignored.
void free_stack(void *block);

// One line per step: slot index, code, parameter count. Debugging aid.
void print_stack(const stack_data *sd);
