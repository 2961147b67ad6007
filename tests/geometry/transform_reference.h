// A scalar reference of the remappers: the kernels from their tables and one
// destination pixel at a time, written from the algorithm, in the same
// operation order as the four-lane code so that both give the same bits.
#pragma once
#include "stitcher/geometry/transform.h"
#include "stitcher/pipeline/loadimage.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/rectangle.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace rref
{

// The Cephes single-precision sine, one value at a time.
inline float sin_ref(float a)
{
    float x = std::fabs(a);
    int32_t j = static_cast<int32_t>(x * 1.27323954473516f);
    j = (j + 1) & ~1;
    float y = static_cast<float>(j);
    float r = x - y * 0x1.92p-1f;
    r = r - y * 0x1.fb4p-13f;
    r = r - y * 0x1.444p-25f;
    r = r - y * 0x1.68cp-40f;
    r = r - y * 0x1.1a6264p-55f;
    float z = r * r;
    float pc = ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z + 4.166664568298827e-2f) * z * z -
               0.5f * z + 1.0f;
    float ps = ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z * r + r;
    float v = (j & 2) ? pc : ps;
    if (j & 4)
        v = -v;
    return std::signbit(a) ? -v : v;
}

inline float sinc(float u)
{
    float x = 3.1415927f * u;
    return sin_ref(x) / x;
}

inline float k01(float x) { return (1.25f * x - 2.25f) * (x * x) + 1.0f; }
inline float k12(float x) { return ((-0.75f * x + 3.75f) * x - 6.0f) * x + 3.0f; }

// The T weights of a code's kernel at offset t (none for the nearest pixel).
inline void weights(int code, float t, float *w)
{
    switch (code) {
    case INTERP_BILINEAR:
        w[0] = 1.0f - t;
        w[1] = t;
        return;
    case INTERP_POLY3:
        w[0] = k12(t + 1.0f);
        w[1] = k01(t);
        w[2] = k01(1.0f - t);
        w[3] = k12(2.0f - t);
        return;
    case INTERP_SPLINE16:
        w[0] = ((-1.0f / 3 * t + 4.0f / 5) * t - 7.0f / 15) * t;
        w[1] = ((t - 9.0f / 5) * t - 1.0f / 5) * t + 1.0f;
        w[2] = ((6.0f / 5 - t) * t + 4.0f / 5) * t;
        w[3] = ((1.0f / 3 * t - 1.0f / 5) * t - 2.0f / 15) * t;
        return;
    case INTERP_SPLINE36:
        w[0] = ((1.0f / 11 * t - 45.0f / 209) * t + 26.0f / 209) * t;
        w[1] = ((-6.0f / 11 * t + 270.0f / 209) * t - 156.0f / 209) * t;
        w[2] = ((13.0f / 11 * t - 453.0f / 209) * t - 3.0f / 209) * t + 1.0f;
        w[3] = ((-13.0f / 11 * t + 288.0f / 209) * t + 168.0f / 209) * t;
        w[4] = ((6.0f / 11 * t - 72.0f / 209) * t - 42.0f / 209) * t;
        w[5] = ((-1.0f / 11 * t + 12.0f / 209) * t + 7.0f / 209) * t;
        return;
    case INTERP_SPLINE64:
        w[0] = ((-1.0f / 41 * t + 168.0f / 2911) * t - 97.0f / 2911) * t;
        w[1] = ((6.0f / 41 * t - 1008.0f / 2911) * t + 582.0f / 2911) * t;
        w[2] = ((-24.0f / 41 * t + 4032.0f / 2911) * t - 2328.0f / 2911) * t;
        w[3] = ((49.0f / 41 * t - 6387.0f / 2911) * t - 3.0f / 2911) * t + 1.0f;
        w[4] = ((-49.0f / 41 * t + 4050.0f / 2911) * t + 2340.0f / 2911) * t;
        w[5] = ((24.0f / 41 * t - 1080.0f / 2911) * t - 624.0f / 2911) * t;
        w[6] = ((-6.0f / 41 * t + 270.0f / 2911) * t + 156.0f / 2911) * t;
        w[7] = ((1.0f / 41 * t - 45.0f / 2911) * t - 26.0f / 2911) * t;
        return;
    default: {
        int a = interpolator_taps(code) / 2;
        for (int k = 0; k < 2 * a; k++) {
            float d = t + static_cast<float>(a - 1 - k);
            w[k] = d == 0.0f ? 1.0f : sinc(d) * sinc(d / static_cast<float>(a));
        }
    }
    }
}

// What the remappers need to know of a warp, computed here from the inputs.
struct setup {
    const unsigned char *pixels;
    int width, height, bpp;
    int64_t stride;
    pix_converter conv;
    float cx, cy, left, right, top, bottom, scale;
    bool circle;
    int code;
};

inline setup make_setup(const loaded_image *src, irectangle rect, bool circle, int code)
{
    setup s{};
    s.pixels = static_cast<const unsigned char *>(src->buffer);
    s.width = src->width;
    s.height = src->height;
    s.bpp = get_bytes_per_pixel(src->pixformat);
    s.stride = int64_t(s.width) * s.bpp;
    s.conv = get_pix_converter(src->pixformat, float_RGBA);
    s.cx = static_cast<float>(src->width) * 0.5f - 0.5f;
    s.cy = static_cast<float>(src->height) * 0.5f - 0.5f;
    // The usable rectangle never reaches past the image.
    int x0 = rect.x > 0 ? rect.x : 0, y0 = rect.y > 0 ? rect.y : 0;
    int x1 = rect.x + rect.width < src->width ? rect.x + rect.width : src->width;
    int y1 = rect.y + rect.height < src->height ? rect.y + rect.height : src->height;
    if (x1 < x0)
        x1 = x0;
    if (y1 < y0)
        y1 = y0;
    s.left = static_cast<float>(x0) - s.cx;
    s.right = static_cast<float>(x1 - 1) - s.cx;
    s.top = static_cast<float>(y0) - s.cy;
    s.bottom = static_cast<float>(y1 - 1) - s.cy;
    s.scale = static_cast<float>(src->priority / 100.0) * (256.0f / (s.cx < 0.5f ? 0.5f : s.cx));
    s.circle = circle;
    s.code = code;
    return s;
}

// As the four-lane minimum: the second operand when either is not a number.
inline float vmin(float a, float b) { return a < b ? a : b; }

// The distance to the edge of the usable rectangle.
inline float rect_distance(const setup &s, float X, float Y)
{
    if (std::isnan(X) || std::isnan(Y))
        return NAN;
    float d = vmin(X - s.left, s.right - X);
    d = vmin(d, Y - s.top);
    return vmin(d, s.bottom - Y);
}

inline float edge_distance(const setup &s, float X, float Y)
{
    float d = rect_distance(s, X, Y);
    if (s.circle && !std::isnan(d))
        d = vmin(d, s.cx - std::sqrt(X * X + Y * Y));
    return d;
}

// Whether the full kernel is used: the rectangle's distance reaches the
// margin, and with the circle every tap, from floor - (T/2 - 1) to floor + T/2
// on both axes (the nearest pixel alone for the one-tap member), lies within
// src_cx = (width - 1) / 2 of the centre. Checked tap by tap in doubled
// coordinates, which are whole numbers.
inline bool interior(const setup &s, float X, float Y)
{
    const int T = interpolator_taps(s.code);
    if (!(rect_distance(s, X, Y) >= (T == 1 ? 0.0f : static_cast<float>(T / 2))))
        return false;
    if (!s.circle)
        return true;
    const float xs = X + s.cx, ys = Y + s.cy;
    const float nx = std::nearbyint(xs), ny = std::nearbyint(ys);
    const int64_t bx = int64_t(T == 1 ? nx : std::floor(xs)), by = int64_t(T == 1 ? ny : std::floor(ys));
    const int64_t lo = T == 1 ? 0 : T / 2 - 1, hi = T / 2, r = s.width - 1;
    for (int64_t ty = by - lo; ty <= by + hi; ty++) {
        for (int64_t tx = bx - lo; tx <= bx + hi; tx++) {
            int64_t dx = 2 * tx - (s.width - 1), dy = 2 * ty - (s.height - 1);
            if (dx * dx + dy * dy > r * r)
                return false;
        }
    }
    return true;
}

// Pixel (x, y) as float_RGBA; false outside the image.
inline bool pixel_at(const setup &s, int64_t x, int64_t y, float *out)
{
    if (x < 0 || y < 0 || x >= s.width || y >= s.height)
        return false;
    s.conv(s.pixels + y * s.stride + x * s.bpp, out, 1);
    return true;
}

// The destination pixel whose source position relative to the source centre
// is (X, Y).
inline void pixel(const setup &s, float X, float Y, float out[4])
{
    const int T = interpolator_taps(s.code);
    const float ed = edge_distance(s, X, Y);
    const float xs = X + s.cx, ys = Y + s.cy;
    const float nx = std::nearbyint(xs), ny = std::nearbyint(ys);
    const float fx = xs < nx ? nx - 1.0f : nx, fy = ys < ny ? ny - 1.0f : ny;
    out[0] = out[1] = out[2] = out[3] = 0.0f;
    float src_alpha = 0.0f;
    if (T > 1 && interior(s, X, Y)) {
        const int lo = T / 2 - 1;
        float wx[32], wy[32], h[32][4];
        weights(s.code, xs - fx, wx);
        weights(s.code, ys - fy, wy);
        for (int r = 0; r < T; r++) {
            for (int k = 0; k < T; k++) {
                float p[4] = {0, 0, 0, 0};
                pixel_at(s, int64_t(fx) - lo + k, int64_t(fy) - lo + r, p);
                if (k == lo && r == lo)
                    src_alpha = p[3];
                for (int c = 0; c < 4; c++)
                    h[r][c] = k == 0 ? p[c] * wx[0] : h[r][c] + p[c] * wx[k];
            }
        }
        for (int c = 0; c < 4; c++) {
            out[c] = h[0][c] * wy[0];
            for (int r = 1; r < T; r++)
                out[c] = out[c] + h[r][c] * wy[r];
        }
    } else if (ed >= -0.5f) {
        // The edge band, and the interior of the nearest-pixel member.
        if (!pixel_at(s, int64_t(nx), int64_t(ny), out))
            return;
        src_alpha = out[3];
    } else {
        return;
    }
    out[3] = src_alpha != 0.0f ? ed * s.scale : 0.0f;
}

} // namespace rref
