// The multi-segment rectilinear projection of a panorama: a horizontal
// cross-section of flat planes, one per segment, joined by smooth transition
// pieces and unrolled so that its length spans the panorama's width.
#pragma once
#include <cfloat>
#include <cmath>

// A double stored in a single-precision table: values beyond the float range
// become infinities rather than undefined conversions.
inline float to_float(double v)
{
    if (v > FLT_MAX)
        return INFINITY;
    if (v < -FLT_MAX)
        return -INFINITY;
    return static_cast<float>(v);
}

// A list of doubles read from the p-line; an absent list is a null pointer.
struct vector_dbl {
    double *data;
    int count;
};

// The segments of a build, angles in radians.
struct proj_segments {
    int nseg;           // n
    double *seg_angle;  // n directions the planes face
    double *edge_angle; // n - 1 directions where neighbouring planes meet
    double *edge_width; // n - 1 angular widths of the transitions
    double pix_width;   // panorama width in pixels
    double yaw_offset;
    double hfov; // carried, not used
};

// One piece of the cross-section. It serves the panorama x up to `bound`
// (pixels from the centre); its parameter x - start maps through poly1 to
// the abscissa b, b through poly2 to the depth c, and (b, c) is turned into
// the panorama's frame by rot. Polynomials are cubics, constant first.
struct proj_piece {
    float bound;
    float start;
    float rot[4];
    float poly1[4];
    float poly2[4];
};

// Table entries; n segments need 2n + 1 < N_SEGM, so 31 segments at most.
enum { N_SEGM = 64 };

// The table the warper threads read, made by the first successful build and
// kept for the life of the process (room for N_SEGM entries); null before.
extern proj_piece *mult_rectilinear_data;

// Completes and checks the lists of a multi-segment p-line (S segment
// directions, E edge directions, W edge widths, in units of which B make a
// full turn, Y a yaw offset), builds the table and returns its piece count
// 2n + 1. Lists that are given are shifted and converted to radians in place.
// Lists or values that cannot make a cross-section end the run.
int set_mult_rectilinear_data(double hfov, int width, int height, vector_dbl *S, vector_dbl *E, vector_dbl *W,
                              double B, double Y);
// Builds the table of checked segments; returns 2 nseg + 1.
int create_projection_data(const proj_segments *ps);
// Replaces the panorama x (pixels from the centre) by the abscissa of the
// cross-section and writes its depth to z. An x that is not finite or lies
// beyond the last piece has no image: both become not-a-number.
void project_pano(float *x, float *z, const proj_piece *table, int count);
