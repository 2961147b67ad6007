// Pyramids for multiresolution blending. Every level is a reader that
// computes its rows on demand from the level next to it, behind a ring of a
// fixed number of rows, so an overlap of any height blends in bounded memory.
#pragma once
#include "stitcher/pipeline/readimage.h"

#include <cstdint>
#include <emmintrin.h>

// Level 0 is the finest (full size), level nlevels - 1 the coarsest.
struct pyramid {
    int32_t nlevels;
    image_reader **levels;
};

// The largest level count pyramid_level returns (1..10, default 8) and the
// number of finest mask levels replaced by expansions of a coarser one
// (0..max_level, default 0). Values outside those ranges are ignored, so
// set_max_level must come first.
void set_max_level(int n);
void set_min_level(int n);
int get_max_level(void);
int get_min_level(void);

// Level count for an overlap image: about log2 of its smaller side, at least
// 1 and at most max_level.
int pyramid_level(const image_reader *ir);
// Rows held by the blender input's ring for n levels, and behind the warper
// for the current max_level.
int blend_bufsize(int n);
int warp_bufsize(void);
// Rows a thread of its own fills the blender's input ahead of the pyramids,
// when the blend has threads.
enum { blend_input_ahead = 128 };

// A pyramid of n levels (1..10) over ir, whose width and height must be
// k * 2^(n-1) + 1 for the Laplacian levels to line up. The Gaussian pyramid
// neither connects nor buffers level 0 (ir itself). A null ir gives a
// Laplacian shell of n empty slots for the caller to fill.
pyramid *create_gaussian_pyramid(image_reader *ir, int n);
pyramid *create_laplacian_pyramid(image_reader *ir, int n);
// Replaces the min(min_level, nlevels - 1) finest levels of a mask pyramid
// by expansions of the coarsest of them, widening the transition there.
void expand_pyramid(pyramid *p);
// The collapsed pyramid.
image_reader *reconstruct(pyramid *p);
// Frees the record and its array, after closing every level in order when
// close_levels is non-zero. The flag is for levels that nobody else holds:
// the levels of a pyramid built here hold each other, and closing its
// coarsest level releases them all. Returns 0.
int free_pyramid(pyramid *p, int close_levels);

// The whole blend of a and b (float_RGBA) under the mask m (float_G, 255
// where a wins) with n levels: Laplacian pyramids of a and b, a Gaussian one
// of m smoothed by expand_pyramid, mixed level by level with spline and
// collapsed. The result has a's size and alpha; closing it releases
// everything built here, and a, b and m with it.
image_reader *blend_pyramids(image_reader *a, image_reader *b, image_reader *m, int n);
// The same without the row it keeps to be read again: rows are read into a
// caller buffer, such as a read-ahead ring's slot, which a wide row then
// reaches without a copy.
image_reader *blend_pyramids_into(image_reader *a, image_reader *b, image_reader *m, int n);

// The stages of a level cut rows of at least twice this many pixels (half
// as many for reduce, whose pixels each read ten) into column ranges for
// the pixel pool: a float_G pixel costs as many instructions as a
// float_RGBA one. A range repeats the arithmetic of the whole row, so the
// values are the same however the row is cut.
enum { split_columns = 2048 };

// For the filter stages: one pixel of a level row as a value, a float_RGBA
// pixel in one SSE register (all four channels at once), a float_G pixel in
// one float. The filters are written once over these and keep the grouping
// of their scalar reference in the tests, so both give the same bits.
struct rgba_pixel {
    typedef __m128 value;
    static constexpr int floats = 4;
    static value load(const float *p) { return _mm_loadu_ps(p); }
    static void store(float *p, value v) { _mm_storeu_ps(p, v); }
    static value add(value a, value b) { return _mm_add_ps(a, b); }
    static value mul(value a, float k) { return _mm_mul_ps(a, _mm_set1_ps(k)); }
};

// R, G and B of c with p's alpha, bit for bit whatever c's alpha holds: the
// stages that blend colour keep the alpha of one input.
inline __m128 with_alpha_of(__m128 c, __m128 p)
{
    const __m128 rgb = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
    return _mm_or_ps(_mm_and_ps(rgb, c), _mm_andnot_ps(rgb, p));
}

struct gray_pixel {
    typedef float value;
    static constexpr int floats = 1;
    static value load(const float *p) { return *p; }
    static void store(float *p, value v) { *p = v; }
    static value add(value a, value b) { return a + b; }
    static value mul(value a, float k) { return a * k; }
};
