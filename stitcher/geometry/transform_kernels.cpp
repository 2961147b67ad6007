// The interpolation kernels, four lanes of fractional offsets at a time.
// The arithmetic is written out in the order the scalar reference of the
// tests uses, so that both give the same bits.
#include "stitcher/geometry/transform.h"

typedef __m128 v4;

static inline v4 vset(float a) { return _mm_set1_ps(a); }
static inline v4 select(v4 mask, v4 a, v4 b)
{
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

void bilinear_c(v4 *w, v4 t)
{
    w[0] = vset(1) - t;
    w[1] = t;
}

// a = -0.75: K01(x) = ((a + 2)x - (a + 3))x^2 + 1, K12(x) = ((ax - 5a)x + 8a)x - 4a.
v4 cubic01(v4 x) { return (vset(1.25f) * x - vset(2.25f)) * (x * x) + vset(1); }
v4 cubic12(v4 x) { return ((vset(-0.75f) * x + vset(3.75f)) * x - vset(6)) * x + vset(3); }

void poly3_c(v4 *w, v4 t)
{
    w[0] = cubic12(t + vset(1));
    w[1] = cubic01(t);
    w[2] = cubic01(vset(1) - t);
    w[3] = cubic12(vset(2) - t);
}

// ((a t + b) t + c) t, the rows of the spline tables.
static inline v4 cubic(v4 t, float a, float b, float c)
{
    return ((vset(a) * t + vset(b)) * t + vset(c)) * t;
}

void spline16_c(v4 *w, v4 t)
{
    w[0] = cubic(t, -1.0f / 3, 4.0f / 5, -7.0f / 15);
    w[1] = cubic(t, 1, -9.0f / 5, -1.0f / 5) + vset(1);
    w[2] = cubic(t, -1, 6.0f / 5, 4.0f / 5);
    w[3] = cubic(t, 1.0f / 3, -1.0f / 5, -2.0f / 15);
}

void spline36_c(v4 *w, v4 t)
{
    w[0] = cubic(t, 1.0f / 11, -45.0f / 209, 26.0f / 209);
    w[1] = cubic(t, -6.0f / 11, 270.0f / 209, -156.0f / 209);
    w[2] = cubic(t, 13.0f / 11, -453.0f / 209, -3.0f / 209) + vset(1);
    w[3] = cubic(t, -13.0f / 11, 288.0f / 209, 168.0f / 209);
    w[4] = cubic(t, 6.0f / 11, -72.0f / 209, -42.0f / 209);
    w[5] = cubic(t, -1.0f / 11, 12.0f / 209, 7.0f / 209);
}

void spline64_c(v4 *w, v4 t)
{
    w[0] = cubic(t, -1.0f / 41, 168.0f / 2911, -97.0f / 2911);
    w[1] = cubic(t, 6.0f / 41, -1008.0f / 2911, 582.0f / 2911);
    w[2] = cubic(t, -24.0f / 41, 4032.0f / 2911, -2328.0f / 2911);
    w[3] = cubic(t, 49.0f / 41, -6387.0f / 2911, -3.0f / 2911) + vset(1);
    w[4] = cubic(t, -49.0f / 41, 4050.0f / 2911, 2340.0f / 2911);
    w[5] = cubic(t, 24.0f / 41, -1080.0f / 2911, -624.0f / 2911);
    w[6] = cubic(t, -6.0f / 41, 270.0f / 2911, 156.0f / 2911);
    w[7] = cubic(t, 1.0f / 41, -45.0f / 2911, -26.0f / 2911);
}

// Reduction by multiples of pi/4 (Cody and Waite) and the minimax
// polynomials of the Cephes single-precision sine and cosine. pi/4 is split
// into five parts of at most 12 significant bits, so that every product with
// a multiple below 4096 is exact and the sine stays within a few units in the
// last place even next to its zeros, which the Lanczos weights sit on.
v4 sin_ps(v4 a)
{
    v4 sign = _mm_and_ps(vset(-0.0f), a);
    v4 x = _mm_andnot_ps(vset(-0.0f), a);
    __m128i j = _mm_cvttps_epi32(x * vset(1.27323954473516f));
    j = _mm_and_si128(_mm_add_epi32(j, _mm_set1_epi32(1)), _mm_set1_epi32(~1));
    v4 y = _mm_cvtepi32_ps(j);
    v4 r = x - y * vset(0x1.92p-1f);
    r = r - y * vset(0x1.fb4p-13f);
    r = r - y * vset(0x1.444p-25f);
    r = r - y * vset(0x1.68cp-40f);
    r = r - y * vset(0x1.1a6264p-55f);
    v4 z = r * r;
    v4 pc =
        ((vset(2.443315711809948e-5f) * z - vset(1.388731625493765e-3f)) * z + vset(4.166664568298827e-2f)) *
            z * z -
        vset(0.5f) * z + vset(1);
    v4 ps = ((vset(-1.9515295891e-4f) * z + vset(8.3321608736e-3f)) * z - vset(1.6666654611e-1f)) * z * r + r;
    __m128i two = _mm_set1_epi32(2), four = _mm_set1_epi32(4);
    v4 use_cos = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(j, two), two));
    v4 negate = _mm_and_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(j, four), four)), vset(-0.0f));
    return _mm_xor_ps(select(use_cos, pc, ps), _mm_xor_ps(negate, sign));
}

static const float pi_f = 3.1415927f;

// sin(pi u) / (pi u) for u != 0.
static inline v4 sinc(v4 u)
{
    v4 x = vset(pi_f) * u;
    return sin_ps(x) / x;
}

// w_k = sinc(d) sinc(d / a) with d = t + a - 1 - k, and exactly 1 at d = 0.
template <int A> static void lanczos(v4 *w, v4 t)
{
    for (int k = 0; k < 2 * A; k++) {
        v4 d = t + vset(static_cast<float>(A - 1 - k));
        v4 v = sinc(d) * sinc(d / vset(static_cast<float>(A)));
        w[k] = select(_mm_cmpeq_ps(d, _mm_setzero_ps()), vset(1), v);
    }
}

void sinc16_c(v4 *w, v4 t) { lanczos<2>(w, t); }
void sinc36_c(v4 *w, v4 t) { lanczos<3>(w, t); }
void sinc64_c(v4 *w, v4 t) { lanczos<4>(w, t); }
void sinc256_c(v4 *w, v4 t) { lanczos<8>(w, t); }
void sinc1024_c(v4 *w, v4 t) { lanczos<16>(w, t); }
