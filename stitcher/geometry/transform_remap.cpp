// The row remappers. One template serves every kernel; the nearest-pixel
// member has its own short loop. Each call fills the groups of four columns
// of its thread (see warp_data) and touches nothing else that is shared.
#include "stitcher/geometry/transform.h"
#include "stitcher/geometry/warper.h"
#include "stitcher/pipeline/keloerror.h"

#include <cstring>

static const char msg_interpolator[] = "Unsupported interpolator.";

typedef __m128 v4;

static inline v4 vset(float a) { return _mm_set1_ps(a); }
static inline v4 vload(const float *p) { return _mm_load_ps(p); }
static inline v4 vmask(const uint32_t *p)
{
    return _mm_castsi128_ps(_mm_load_si128(reinterpret_cast<const __m128i *>(p)));
}
static inline v4 select(v4 mask, v4 a, v4 b)
{
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// Round half to even: adding and subtracting 2^23 drops the fraction of a
// magnitude below 2^23; larger ones are whole already. The sign is restored,
// so -0.4 gives -0.
static inline v4 round_even(v4 x)
{
    const v4 sign_bit = vset(-0.0f), big = vset(8388608.0f);
    v4 a = _mm_andnot_ps(sign_bit, x);
    v4 r = select(_mm_cmplt_ps(a, big), (a + big) - big, a);
    return _mm_or_ps(r, _mm_and_ps(sign_bit, x));
}

// The pixels need not be aligned: a float_RGBA source is read in place.
template <int T> static inline v4 tap_sum(const v4 *pixels, const v4 *weights, int lane)
{
    const float *p = reinterpret_cast<const float *>(pixels);
    v4 acc = _mm_loadu_ps(p) * vset(weights[0][lane]);
    for (int k = 1; k < T; k++)
        acc = acc + _mm_loadu_ps(p + 4 * k) * vset(weights[k][lane]);
    return acc;
}

v4 intp_1(const v4 *pixels) { return pixels[0]; }
v4 intp_2(const v4 *p, const v4 *w, int lane) { return tap_sum<2>(p, w, lane); }
v4 intp_4(const v4 *p, const v4 *w, int lane) { return tap_sum<4>(p, w, lane); }
v4 intp_6(const v4 *p, const v4 *w, int lane) { return tap_sum<6>(p, w, lane); }
v4 intp_8(const v4 *p, const v4 *w, int lane) { return tap_sum<8>(p, w, lane); }
v4 intp_16(const v4 *p, const v4 *w, int lane) { return tap_sum<16>(p, w, lane); }
v4 intp_32(const v4 *p, const v4 *w, int lane) { return tap_sum<32>(p, w, lane); }

namespace
{

// One group of four destination pixels mapped into the source.
struct group {
    v4 ed;     // distance to the edge of the crop area, not-a-number outside any image
    v4 xs, ys; // source position, pixel i centred at i
    v4 fx, fy; // floor of xs, ys
    int32_t nx[4], ny[4], ix[4], iy[4]; // nearest and floor as integers
    int inside;                         // lanes whose taps all lie in the crop area and the image
    int near;                           // lanes in the edge band
};

// Whether the square of taps from b - lo to b + hi on both axes lies in the
// circle of radius src_cx: its corner farthest from the centre does. The edge
// distance alone would let a corner tap of a point T/2 inside the rim stray
// up to (sqrt 2 - 1) T/2 outside it, onto pixels the loader has cleared.
inline v4 taps_in_circle(const remap_data *rd, v4 bx, v4 by, int lo, int hi)
{
    // The farther end of a span lies half its length beyond its middle; all
    // of it in halves of whole numbers, so exact.
    const v4 mid = vset(0.5f * static_cast<float>(hi - lo)), half = vset(0.5f * static_cast<float>(hi + lo));
    const v4 cx = vload(rd->src_cx), sign_bit = vset(-0.0f);
    v4 ax = _mm_andnot_ps(sign_bit, bx + mid - cx) + half;
    v4 ay = _mm_andnot_ps(sign_bit, by + mid - vload(rd->src_cy)) + half;
    return _mm_cmple_ps(ax * ax + ay * ay, cx * cx);
}

// The taps of an interior lane reach from floor - lo to floor + hi (for the
// nearest pixel, T = 1: from nearest to nearest); its edge distance reaches
// the margin T/2 (0 for the nearest pixel).
template <int T> void map_group(const remap_data *rd, int p, int y, group *g)
{
    const int lo = T == 1 ? 0 : T / 2 - 1, hi = T / 2;
    const float margin = static_cast<float>(T / 2);
    alignas(16) float X[4], Y[4];
    __m128i cols = _mm_add_epi32(_mm_set1_epi32(rd->dest_x + p), _mm_set_epi32(3, 2, 1, 0));
    _mm_store_ps(X, _mm_cvtepi32_ps(cols) - vload(rd->pano_cx));
    _mm_store_ps(Y, vset(static_cast<float>(y)) - vload(rd->pano_cy));
    remap(X, Y, rd->stack);
    v4 x = vload(X), yv = vload(Y);

    v4 d = _mm_min_ps(x - vload(rd->crop_left), vload(rd->crop_right) - x);
    d = _mm_min_ps(d, yv - vload(rd->crop_top));
    d = _mm_min_ps(d, vload(rd->crop_bottom) - yv);
    v4 dc = _mm_min_ps(d, vload(rd->src_cx) - _mm_sqrt_ps(x * x + yv * yv));
    v4 ed = _mm_or_ps(_mm_and_ps(vmask(rd->rect_mask), d), _mm_and_ps(vmask(rd->circle_mask), dc));
    // The minima above may have passed over a not-a-number coordinate.
    v4 nan = _mm_cmpunord_ps(x, yv);
    g->ed = _mm_or_ps(ed, nan);

    g->xs = x + vload(rd->src_cx);
    g->ys = yv + vload(rd->src_cy);
    v4 nx = round_even(g->xs), ny = round_even(g->ys);
    g->fx = select(_mm_cmplt_ps(g->xs, nx), nx - vset(1), nx);
    g->fy = select(_mm_cmplt_ps(g->ys, ny), ny - vset(1), ny);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(g->nx), _mm_cvttps_epi32(nx));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(g->ny), _mm_cvttps_epi32(ny));

    // Inside the crop area by the margin means inside the image too; the
    // bounds are checked again so that no rounding of the crop bounds can
    // ever send a tap outside the buffer.
    v4 bx = lo == 0 && hi == 0 ? nx : g->fx, by = lo == 0 && hi == 0 ? ny : g->fy;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(g->ix), _mm_cvttps_epi32(bx));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(g->iy), _mm_cvttps_epi32(by));
    // The rectangle's distance: the edge distance itself for a rectangular crop.
    v4 in = _mm_cmpge_ps(_mm_or_ps(d, nan), vset(margin));
    if (rd->circle_mask[0])
        in = _mm_and_ps(in, taps_in_circle(rd, bx, by, lo, hi));
    in = _mm_and_ps(in, _mm_cmpge_ps(bx, vset(static_cast<float>(lo - rd->wrap))));
    in = _mm_and_ps(in, _mm_cmpge_ps(by, vset(static_cast<float>(lo))));
    in = _mm_and_ps(in, _mm_cmple_ps(bx, vset(static_cast<float>(rd->src_width - 1 - hi + rd->wrap))));
    in = _mm_and_ps(in, _mm_cmple_ps(by, vset(static_cast<float>(rd->src_height - 1 - hi))));
    g->inside = _mm_movemask_ps(in);
    g->near = _mm_movemask_ps(_mm_andnot_ps(in, _mm_cmpge_ps(g->ed, vset(-0.5f))));
}

// The nearest pixel of lane j into *out, or the all-zero pixel when it lies
// outside the image (and the columns it repeats past its sides).
inline void nearest_pixel(const remap_data *rd, const group *g, int j, float *out)
{
    int64_t cx = g->nx[j], cy = g->ny[j];
    if (cx < -rd->wrap || cy < 0 || cx >= int64_t(rd->src_width) + rd->wrap || cy >= rd->src_height)
        out[0] = out[1] = out[2] = out[3] = 0.0f;
    else
        rd->converter(rd->src_pixels + cy * rd->src_stride + cx * rd->src_bpp, out, 1);
}

// Stores the group with the feathered alpha (255 when opaque): edge distance
// times the scale where the lane's source alpha is not 0 (not-a-number counts
// as not 0).
inline void store_group(const remap_data *rd, const group *g, float (*px)[4], const float *src_alpha, int p)
{
    alignas(16) float a[4];
    _mm_store_ps(a, rd->opaque ? vset(255.0f) : g->ed * vload(rd->alpha_scale));
    for (int j = 0; j < 4; j++) {
        if ((g->inside | g->near) >> j & 1)
            px[j][3] = src_alpha[j] != 0.0f ? a[j] : 0.0f;
        else
            px[j][0] = px[j][1] = px[j][2] = px[j][3] = 0.0f;
    }
    memcpy(rd->to_data + 4 * static_cast<size_t>(p), px, sizeof(float) * 16);
}

// T consecutive uchar_RGBA pixels as float_RGBA into buf, as the converter
// gives them (every byte is a whole number a float holds exactly), without
// reading a byte past the last pixel.
template <int T> inline void widen_u8(const unsigned char *at, float *buf)
{
    const __m128i zero = _mm_setzero_si128();
    for (size_t k = 0; k + 4 <= T; k += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 4 * k));
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        _mm_store_ps(buf + 4 * k, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
        _mm_store_ps(buf + 4 * k + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
        _mm_store_ps(buf + 4 * k + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
        _mm_store_ps(buf + 4 * k + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
    }
    for (size_t k = T / 4 * 4; k < T; k++) {
        int32_t p;
        memcpy(&p, at + 4 * k, 4);
        __m128i v = _mm_unpacklo_epi8(_mm_cvtsi32_si128(p), zero);
        _mm_store_ps(buf + 4 * k, _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, zero)));
    }
}

// How the taps of a source row reach float_RGBA.
enum tap_source { taps_converted, taps_in_place, taps_u8 };

// T consecutive source pixels from `at` as float_RGBA: the source itself when
// it already is, else converted into buf.
template <int T, tap_source S>
inline const float *fetch(const remap_data *rd, const unsigned char *at, float *buf)
{
    if (S == taps_in_place)
        return reinterpret_cast<const float *>(at);
    if (S == taps_u8)
        widen_u8<T>(at, buf);
    else
        rd->converter(at, buf, T);
    return buf;
}

template <int T, void (*kernel)(v4 *, v4), tap_source S> void remap_taps(warp_data *wd, int width, int y)
{
    const remap_data *rd = wd->rd;
    const int lo = T / 2 - 1;
    for (int p = 4 * wd->thread_index; p < width; p += 4 * wd->thread_count) {
        group g;
        map_group<T>(rd, p, y, &g);
        alignas(16) float px[4][4];
        float src_alpha[4] = {0, 0, 0, 0};
        if (g.inside) {
            v4 wx[T], wy[T];
            kernel(wx, g.xs - g.fx);
            kernel(wy, g.ys - g.fy);
            for (int j = 0; j < 4; j++) {
                if (!(g.inside >> j & 1))
                    continue;
                const unsigned char *at = rd->src_pixels + (int64_t(g.iy[j]) - lo) * rd->src_stride +
                                          (int64_t(g.ix[j]) - lo) * rd->src_bpp;
                alignas(16) float buf[T * 4];
                v4 h[T];
                for (int r = 0; r < T; r++, at += rd->src_stride) {
                    const float *row = fetch<T, S>(rd, at, buf);
                    h[r] = tap_sum<T>(reinterpret_cast<const v4 *>(row), wx, j);
                    if (r == lo)
                        src_alpha[j] = row[4 * lo + 3];
                }
                _mm_store_ps(px[j], tap_sum<T>(h, wy, j));
            }
        }
        for (int j = 0; j < 4; j++) {
            if (g.near >> j & 1) {
                nearest_pixel(rd, &g, j, px[j]);
                src_alpha[j] = px[j][3];
            }
        }
        store_group(rd, &g, px, src_alpha, p);
    }
}

// The row with the taps' loads chosen for the source: converting 8-bit
// pixels inline spares a call per tap row.
template <int T, void (*kernel)(v4 *, v4)> void remap_taps(warp_data *wd, int width, int y)
{
    const remap_data *rd = wd->rd;
    if (rd->src_bpp == 16 && rd->converter == float4_to_float4)
        remap_taps<T, kernel, taps_in_place>(wd, width, y);
    else if (rd->src_bpp == 4 && rd->converter == uchar_rgba_to_float4)
        remap_taps<T, kernel, taps_u8>(wd, width, y);
    else
        remap_taps<T, kernel, taps_converted>(wd, width, y);
}

} // namespace

// The nearest pixel everywhere: in the interior, which lies inside the image,
// and in the edge band, where it may not.
void remap_row_nn(warp_data *wd, int width, int y)
{
    const remap_data *rd = wd->rd;
    for (int p = 4 * wd->thread_index; p < width; p += 4 * wd->thread_count) {
        group g;
        map_group<1>(rd, p, y, &g);
        alignas(16) float px[4][4];
        float src_alpha[4] = {0, 0, 0, 0};
        for (int j = 0; j < 4; j++) {
            if ((g.inside | g.near) >> j & 1) {
                nearest_pixel(rd, &g, j, px[j]);
                src_alpha[j] = px[j][3];
            }
        }
        store_group(rd, &g, px, src_alpha, p);
    }
}

void remap_row_bilinear(warp_data *wd, int width, int y) { remap_taps<2, bilinear_c>(wd, width, y); }
void remap_row_poly3(warp_data *wd, int width, int y) { remap_taps<4, poly3_c>(wd, width, y); }
void remap_row_spline16(warp_data *wd, int width, int y) { remap_taps<4, spline16_c>(wd, width, y); }
void remap_row_spline36(warp_data *wd, int width, int y) { remap_taps<6, spline36_c>(wd, width, y); }
void remap_row_spline64(warp_data *wd, int width, int y) { remap_taps<8, spline64_c>(wd, width, y); }
void remap_row_sinc16(warp_data *wd, int width, int y) { remap_taps<4, sinc16_c>(wd, width, y); }
void remap_row_sinc36(warp_data *wd, int width, int y) { remap_taps<6, sinc36_c>(wd, width, y); }
void remap_row_sinc64(warp_data *wd, int width, int y) { remap_taps<8, sinc64_c>(wd, width, y); }
void remap_row_sinc256(warp_data *wd, int width, int y) { remap_taps<16, sinc256_c>(wd, width, y); }
void remap_row_sinc1024(warp_data *wd, int width, int y) { remap_taps<32, sinc1024_c>(wd, width, y); }

static const struct {
    remap_row_fn remap;
    int taps;
} interpolators[INTERP_COUNT] = {
    {remap_row_nn, 1},       {remap_row_bilinear, 2}, {remap_row_poly3, 4},    {remap_row_spline16, 4},
    {remap_row_spline36, 6}, {remap_row_spline64, 8}, {remap_row_sinc256, 16}, {remap_row_sinc1024, 32},
    {remap_row_sinc64, 8},   {remap_row_sinc36, 6},   {remap_row_sinc16, 4},
};

remap_row_fn get_remap_row_func(int code)
{
    if (code < 0 || code >= INTERP_COUNT)
        print_error(msg_interpolator);
    return interpolators[code].remap;
}

int interpolator_taps(int code) { return code < 0 || code >= INTERP_COUNT ? 0 : interpolators[code].taps; }
