// The row remappers: every destination pixel of a warp is mapped into the
// source through the image's stack, sampled with one of eleven separable
// kernels, and given the feathered alpha, four pixels at a time.
//
// A mapped point is interior when its distance to the edge of the usable
// source area reaches the kernel's margin (T/2 for T taps, 0 for the nearest
// pixel): all its taps then lie inside that area. A point within half a pixel
// outside that margin is in the edge band and takes its nearest pixel, read
// only when it lies inside the loaded image. Anything else, and every point
// that is not a number, gives the all-zero pixel.
#pragma once
#include <emmintrin.h>

struct warp_data;

// Fills this share's groups of four columns of panorama row y (see warp_data)
// into the warp's row buffer; width is the destination width.
typedef void (*remap_row_fn)(warp_data *wd, int width, int y);

// Interpolator codes, as the warper's setting holds them.
enum {
    INTERP_NN = 0,
    INTERP_BILINEAR = 1,
    INTERP_POLY3 = 2,
    INTERP_SPLINE16 = 3,
    INTERP_SPLINE36 = 4,
    INTERP_SPLINE64 = 5,
    INTERP_SINC256 = 6,
    INTERP_SINC1024 = 7,
    INTERP_SINC64 = 8,
    INTERP_SINC36 = 9,
    INTERP_SINC16 = 10,
    INTERP_COUNT = 11,
};

// The remapper of a code; any other code ends the run.
remap_row_fn get_remap_row_func(int code);
// Taps per axis of a code's kernel (1 for the nearest pixel), 0 for no code.
int interpolator_taps(int code);

void remap_row_nn(warp_data *wd, int width, int y);
void remap_row_bilinear(warp_data *wd, int width, int y);
void remap_row_poly3(warp_data *wd, int width, int y);
void remap_row_spline16(warp_data *wd, int width, int y);
void remap_row_spline36(warp_data *wd, int width, int y);
void remap_row_spline64(warp_data *wd, int width, int y);
void remap_row_sinc16(warp_data *wd, int width, int y);
void remap_row_sinc36(warp_data *wd, int width, int y);
void remap_row_sinc64(warp_data *wd, int width, int y);
void remap_row_sinc256(warp_data *wd, int width, int y);
void remap_row_sinc1024(warp_data *wd, int width, int y);

// ---- Kernels ----
// t holds four fractional offsets in [0, 1); weights[k] receives the weight
// of tap k for each lane. Tap k lies at distance t + T/2 - 1 - k from the
// sample point.
void bilinear_c(__m128 *weights, __m128 t);
void poly3_c(__m128 *weights, __m128 t); // cubic convolution, a = -0.75
void spline16_c(__m128 *weights, __m128 t);
void spline36_c(__m128 *weights, __m128 t);
void spline64_c(__m128 *weights, __m128 t);
// Lanczos with a = T/2, not normalised: the weights sum to about 1.
void sinc16_c(__m128 *weights, __m128 t);
void sinc36_c(__m128 *weights, __m128 t);
void sinc64_c(__m128 *weights, __m128 t);
void sinc256_c(__m128 *weights, __m128 t);
void sinc1024_c(__m128 *weights, __m128 t);
// The two pieces of the cubic convolution kernel: |x| in [0, 1] and [1, 2].
__m128 cubic01(__m128 x);
__m128 cubic12(__m128 x);
// Single-precision sine, within a few units in the last place of the exact
// value for |x| below 8192 (the Lanczos kernels stay below 16 pi).
__m128 sin_ps(__m128 x);

// ---- Tap sums ----
// The float_RGBA pixel sum over k of pixels[k] * lane `lane` of weights[k],
// summed in tap order.
__m128 intp_1(const __m128 *pixels);
__m128 intp_2(const __m128 *pixels, const __m128 *weights, int lane);
__m128 intp_4(const __m128 *pixels, const __m128 *weights, int lane);
__m128 intp_6(const __m128 *pixels, const __m128 *weights, int lane);
__m128 intp_8(const __m128 *pixels, const __m128 *weights, int lane);
__m128 intp_16(const __m128 *pixels, const __m128 *weights, int lane);
__m128 intp_32(const __m128 *pixels, const __m128 *weights, int lane);
