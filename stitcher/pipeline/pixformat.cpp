#include "stitcher/pipeline/pixformat.h"

#include "stitcher/pipeline/keloerror.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <xmmintrin.h>

int get_bytes_per_pixel(uint32_t pixformat)
{
    switch (pixformat) {
    case float_RGBA:
        return 16;
    case float_G:
        return 4;
    case uchar_RGB:
        return 3;
    case uchar_RGBA:
        return 4;
    case ushort_RGB:
        return 6;
    case ushort_RGBA:
        return 8;
    default:
        return 0;
    }
}

int get_bytes_per_channel(uint32_t pixformat)
{
    switch (pixformat) {
    case uchar_RGB:
    case uchar_RGBA:
        return 1;
    case ushort_RGB:
    case ushort_RGBA:
        return 2;
    case float_RGBA:
    case float_G:
        return 4;
    default:
        return 0;
    }
}

uint32_t alpha_pixformat(uint32_t pixformat)
{
    switch (pixformat) {
    case uchar_RGB:
    case uchar_RGBA:
        return uchar_RGBA;
    case ushort_RGB:
    case ushort_RGBA:
        return ushort_RGBA;
    case float_RGBA:
        return float_RGBA;
    default:
        return 0;
    }
}

unsigned char ushort_to_uchar(unsigned short v) { return static_cast<unsigned char>(v >> 8); }

// Sample conversions. Every float is clamped before it becomes an integer,
// and not-a-number counts as 0.
namespace
{

float from8(uint8_t v) { return v; }
float from16(uint16_t v) { return v * 0.00390625f; }
uint16_t widen8(uint8_t v) { return static_cast<uint16_t>(v << 8); }
uint8_t narrow16(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

// Positive v rounded half away from zero. In double, v + 0.5 is exact.
int round_away(float v) { return static_cast<int>(static_cast<double>(v) + 0.5); }

// Ties away from zero (to RGB without alpha).
uint8_t to8_away(float v)
{
    if (!(v > 0.0f))
        return 0;
    if (v > 255.0f)
        return 255;
    return static_cast<uint8_t>(round_away(v));
}

// Ties to even, the processor's rounding (to RGBA, as the SSE2 path rounds).
uint8_t to8_even(float v)
{
    if (!(v > 0.0f))
        return 0;
    if (v > 255.0f)
        return 255;
    return static_cast<uint8_t>(_mm_cvtss_si32(_mm_set_ss(v)));
}

uint16_t to16(float v)
{
    float w = v * 256.0f;
    if (!(w > 0.0f))
        return 0;
    if (w > 65535.0f)
        return 65535;
    return static_cast<uint16_t>(round_away(w));
}

template <typename T> T same(T v) { return v; }

template <typename T> constexpr T opaque();
template <> constexpr uint8_t opaque<uint8_t>() { return 255; }
template <> constexpr uint16_t opaque<uint16_t>() { return 65535; }
template <> constexpr float opaque<float>() { return 255.0f; }

// Samples go through memcpy: rows converted in place change their type.
template <typename S, int SC, typename D, int DC, D (*CV)(S)>
void convert(const void *src, void *dst, int count)
{
    if (count <= 0)
        return;
    constexpr size_t sb = sizeof(S) * SC, db = sizeof(D) * DC;
    const unsigned char *s = static_cast<const unsigned char *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    auto pixel = [s, d](size_t i) {
        S in[4];
        D out[4];
        memcpy(in, s + i * sb, sb);
        for (int c = 0; c < 3; c++)
            out[c] = CV(in[SC == 1 ? 0 : c]);
        if constexpr (DC == 4)
            out[3] = SC == 4 ? CV(in[3]) : opaque<D>();
        memcpy(d + i * db, out, db);
    };
    if constexpr (db > sb) {
        for (size_t i = static_cast<size_t>(count); i-- > 0;)
            pixel(i);
    } else {
        for (size_t i = 0; i < static_cast<size_t>(count); i++)
            pixel(i);
    }
}

template <size_t BPP> void copy(const void *src, void *dst, int count)
{
    if (count > 0 && src != dst)
        memmove(dst, src, static_cast<size_t>(count) * BPP);
}

} // namespace

void float4_to_float4(const void *s, void *d, int n) { copy<16>(s, d, n); }
void float4_to_uchar_rgb(const void *s, void *d, int n) { convert<float, 4, uint8_t, 3, to8_away>(s, d, n); }
void float4_to_uchar_rgba_scalar(const void *s, void *d, int n)
{
    convert<float, 4, uint8_t, 4, to8_even>(s, d, n);
}
void float4_to_ushort_rgb(const void *s, void *d, int n) { convert<float, 4, uint16_t, 3, to16>(s, d, n); }
void float4_to_ushort_rgba(const void *s, void *d, int n) { convert<float, 4, uint16_t, 4, to16>(s, d, n); }

void uchar_rgb_to_float4_scalar(const void *s, void *d, int n)
{
    convert<uint8_t, 3, float, 4, from8>(s, d, n);
}
void uchar_rgb_to_uchar_rgb(const void *s, void *d, int n) { copy<3>(s, d, n); }
void uchar_rgb_to_uchar_rgba(const void *s, void *d, int n)
{
    convert<uint8_t, 3, uint8_t, 4, same>(s, d, n);
}
void uchar_rgb_to_ushort_rgb(const void *s, void *d, int n)
{
    convert<uint8_t, 3, uint16_t, 3, widen8>(s, d, n);
}
void uchar_rgb_to_ushort_rgba(const void *s, void *d, int n)
{
    convert<uint8_t, 3, uint16_t, 4, widen8>(s, d, n);
}

void uchar_rgba_to_float4_scalar(const void *s, void *d, int n)
{
    convert<uint8_t, 4, float, 4, from8>(s, d, n);
}
void uchar_rgba_to_uchar_rgb(const void *s, void *d, int n)
{
    convert<uint8_t, 4, uint8_t, 3, same>(s, d, n);
}
void uchar_rgba_to_uchar_rgba(const void *s, void *d, int n) { copy<4>(s, d, n); }
void uchar_rgba_to_ushort_rgb(const void *s, void *d, int n)
{
    convert<uint8_t, 4, uint16_t, 3, widen8>(s, d, n);
}
void uchar_rgba_to_ushort_rgba(const void *s, void *d, int n)
{
    convert<uint8_t, 4, uint16_t, 4, widen8>(s, d, n);
}

void ushort_rgb_to_float4(const void *s, void *d, int n) { convert<uint16_t, 3, float, 4, from16>(s, d, n); }
void ushort_rgb_to_uchar_rgb(const void *s, void *d, int n)
{
    convert<uint16_t, 3, uint8_t, 3, narrow16>(s, d, n);
}
void ushort_rgb_to_uchar_rgba(const void *s, void *d, int n)
{
    convert<uint16_t, 3, uint8_t, 4, narrow16>(s, d, n);
}
void ushort_rgb_to_ushort_rgb(const void *s, void *d, int n) { copy<6>(s, d, n); }
void ushort_rgb_to_ushort_rgba(const void *s, void *d, int n)
{
    convert<uint16_t, 3, uint16_t, 4, same>(s, d, n);
}

void ushort_rgba_to_float4_scalar(const void *s, void *d, int n)
{
    convert<uint16_t, 4, float, 4, from16>(s, d, n);
}
void ushort_rgba_to_uchar_rgb(const void *s, void *d, int n)
{
    convert<uint16_t, 4, uint8_t, 3, narrow16>(s, d, n);
}
void ushort_rgba_to_uchar_rgba(const void *s, void *d, int n)
{
    convert<uint16_t, 4, uint8_t, 4, narrow16>(s, d, n);
}
void ushort_rgba_to_ushort_rgb(const void *s, void *d, int n)
{
    convert<uint16_t, 4, uint16_t, 3, same>(s, d, n);
}
void ushort_rgba_to_ushort_rgba(const void *s, void *d, int n) { copy<8>(s, d, n); }

void floatG_to_uchar_rgb(const void *s, void *d, int n) { convert<float, 1, uint8_t, 3, to8_away>(s, d, n); }
void floatG_to_uchar_rgba(const void *s, void *d, int n) { convert<float, 1, uint8_t, 4, to8_away>(s, d, n); }

pix_converter get_pix_converter(uint32_t from, uint32_t to)
{
    // Rows: from float_RGBA, uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA;
    // columns: to the same five.
    static const pix_converter table[5][5] = {
        {float4_to_float4, float4_to_uchar_rgb, float4_to_uchar_rgba, float4_to_ushort_rgb,
         float4_to_ushort_rgba},
        {uchar_rgb_to_float4, uchar_rgb_to_uchar_rgb, uchar_rgb_to_uchar_rgba, uchar_rgb_to_ushort_rgb,
         uchar_rgb_to_ushort_rgba},
        {uchar_rgba_to_float4, uchar_rgba_to_uchar_rgb, uchar_rgba_to_uchar_rgba, uchar_rgba_to_ushort_rgb,
         uchar_rgba_to_ushort_rgba},
        {ushort_rgb_to_float4, ushort_rgb_to_uchar_rgb, ushort_rgb_to_uchar_rgba, ushort_rgb_to_ushort_rgb,
         ushort_rgb_to_ushort_rgba},
        {ushort_rgba_to_float4, ushort_rgba_to_uchar_rgb, ushort_rgba_to_uchar_rgba,
         ushort_rgba_to_ushort_rgb, ushort_rgba_to_ushort_rgba},
    };
    auto index = [](uint32_t f) {
        return f == float_RGBA ? 0 : (f >= uchar_RGB && f <= ushort_RGBA) ? int(f) - 3 : -1;
    };
    int i = index(from);
    if (i >= 0) {
        int j = index(to);
        return j >= 0 ? table[i][j] : nullptr;
    }
    if (from == float_G)
        return to == uchar_RGB ? floatG_to_uchar_rgb : nullptr;
    print_error("Conversion from %d to %d not supported.\n", static_cast<int>(from), static_cast<int>(to));
}

// keep: a pixel with alpha 0 still fills a destination pixel that is all zero.
int merge_row_alpha_scalar(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat,
                           bool keep)
{
    int end = dst_width < x + n ? dst_width : x + n;
    if (x < 0 || x >= end)
        return 0;
    int bpc = get_bytes_per_channel(pixformat);
    if (bpc != 1 && bpc != 2)
        return 0;
    size_t dbpp = static_cast<size_t>(get_bytes_per_pixel(pixformat)), sbpp = 4u * bpc;
    bool copy_alpha = pixformat == uchar_RGBA || pixformat == ushort_RGBA;
    size_t bytes = copy_alpha ? sbpp : 3u * bpc;
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    for (int i = x; i < end; i++) {
        const unsigned char *sp = s + static_cast<size_t>(i - x) * sbpp;
        unsigned char *dp = d + static_cast<size_t>(i) * dbpp;
        unsigned alpha;
        if (bpc == 1) {
            alpha = sp[3];
        } else {
            uint16_t a;
            memcpy(&a, sp + 6, 2);
            alpha = a;
        }
        if (alpha != 0 || (keep && std::all_of(dp, dp + dbpp, [](unsigned char c) { return c == 0; })))
            memcpy(dp, sp, bytes);
    }
    return 0;
}

static int lay_row(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat, bool keep)
{
    int end = dst_width < x + n ? dst_width : x + n;
    if (pixformat != uchar_RGBA || x < 0 || x >= end)
        return merge_row_alpha_scalar(dst, dst_width, src, x, n, pixformat, keep);
    lay_rgba8(static_cast<unsigned char *>(dst) + 4 * static_cast<size_t>(x),
              static_cast<const unsigned char *>(src), static_cast<size_t>(end - x), keep);
    return 0;
}

int merge_row_alpha(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat)
{
    return lay_row(dst, dst_width, src, x, n, pixformat, false);
}

int merge_row_alpha_keep(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat)
{
    return lay_row(dst, dst_width, src, x, n, pixformat, true);
}
