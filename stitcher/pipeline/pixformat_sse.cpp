// SSE2 paths of the hottest converters. Each gives exactly the result of its
// scalar twin in pixformat.cpp, which also handles the odd pixels at the ends.
#include "stitcher/pipeline/pixformat.h"

#include <cstddef>
#include <cstring>
#include <emmintrin.h>

void float4_to_uchar_rgba(const void *src, void *dst, int count)
{
    if (count <= 0)
        return;
    const unsigned char *s = static_cast<const unsigned char *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    size_t n = static_cast<size_t>(count), i = 0;
    while (i < n && (reinterpret_cast<uintptr_t>(d + 4 * i) & 15) != 0) {
        float4_to_uchar_rgba_scalar(s + 16 * i, d + 4 * i, 1);
        i++;
    }
    const __m128 zero = _mm_setzero_ps(), top = _mm_set1_ps(255.0f);
    // Narrowing: the 32 bytes written never reach the 128 read after them,
    // so this also works in place.
    for (; i + 8 <= n; i += 8) {
        __m128i q[8];
        for (int k = 0; k < 8; k++) {
            __m128 v = _mm_loadu_ps(reinterpret_cast<const float *>(s + 16 * (i + k)));
            v = _mm_max_ps(v, zero); // not-a-number lanes take the second operand, 0
            v = _mm_min_ps(v, top);
            q[k] = _mm_cvtps_epi32(v); // ties to even, as lrintf
        }
        __m128i a = _mm_packs_epi32(q[0], q[1]), b = _mm_packs_epi32(q[2], q[3]);
        __m128i c = _mm_packs_epi32(q[4], q[5]), e = _mm_packs_epi32(q[6], q[7]);
        _mm_store_si128(reinterpret_cast<__m128i *>(d + 4 * i), _mm_packus_epi16(a, b));
        _mm_store_si128(reinterpret_cast<__m128i *>(d + 4 * i + 16), _mm_packus_epi16(c, e));
    }
    if (i < n)
        float4_to_uchar_rgba_scalar(s + 16 * i, d + 4 * i, static_cast<int>(n - i));
}

// The widening converters walk blocks of four pixels from the end, so that
// in place no block overwrites source bytes not yet read.

void uchar_rgba_to_float4(const void *src, void *dst, int count)
{
    if (count <= 0)
        return;
    const unsigned char *s = static_cast<const unsigned char *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    size_t n = static_cast<size_t>(count), blocks = n / 4;
    if (n > blocks * 4)
        uchar_rgba_to_float4_scalar(s + 16 * blocks, d + 64 * blocks, static_cast<int>(n - blocks * 4));
    const __m128i zero = _mm_setzero_si128();
    for (size_t k = blocks; k-- > 0;) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * k));
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        float *out = reinterpret_cast<float *>(d + 64 * k);
        _mm_storeu_ps(out, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)));
        _mm_storeu_ps(out + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)));
        _mm_storeu_ps(out + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)));
        _mm_storeu_ps(out + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)));
    }
}

void uchar_rgb_to_float4(const void *src, void *dst, int count)
{
    if (count <= 0)
        return;
    const unsigned char *s = static_cast<const unsigned char *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    size_t n = static_cast<size_t>(count), blocks = n / 4;
    if (n > blocks * 4)
        uchar_rgb_to_float4_scalar(s + 12 * blocks, d + 64 * blocks, static_cast<int>(n - blocks * 4));
    const __m128i zero = _mm_setzero_si128();
    const __m128i rgb_mask = _mm_set_epi32(0, -1, -1, -1);
    const __m128 alpha = _mm_set_ps(255.0f, 0.0f, 0.0f, 0.0f);
    for (size_t k = blocks; k-- > 0;) {
        int last4;
        memcpy(&last4, s + 12 * k + 8, 4);
        __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(s + 12 * k)),
                                       _mm_cvtsi32_si128(last4));
        float *out = reinterpret_cast<float *>(d + 64 * k);
        __m128i p[4] = {v, _mm_srli_si128(v, 3), _mm_srli_si128(v, 6), _mm_srli_si128(v, 9)};
        for (int j = 0; j < 4; j++) {
            __m128i w = _mm_unpacklo_epi16(_mm_unpacklo_epi8(p[j], zero), zero);
            w = _mm_and_si128(w, rgb_mask);
            _mm_storeu_ps(out + 4 * j, _mm_or_ps(_mm_cvtepi32_ps(w), alpha));
        }
    }
}

void ushort_rgba_to_float4(const void *src, void *dst, int count)
{
    if (count <= 0)
        return;
    const unsigned char *s = static_cast<const unsigned char *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    size_t n = static_cast<size_t>(count), blocks = n / 4;
    if (n > blocks * 4)
        ushort_rgba_to_float4_scalar(s + 32 * blocks, d + 64 * blocks, static_cast<int>(n - blocks * 4));
    const __m128i zero = _mm_setzero_si128();
    const __m128 scale = _mm_set1_ps(0.00390625f); // 1/256, exact
    for (size_t k = blocks; k-- > 0;) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 32 * k));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 32 * k + 16));
        float *out = reinterpret_cast<float *>(d + 64 * k);
        _mm_storeu_ps(out, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(a, zero)), scale));
        _mm_storeu_ps(out + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(a, zero)), scale));
        _mm_storeu_ps(out + 8, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(b, zero)), scale));
        _mm_storeu_ps(out + 12, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(b, zero)), scale));
    }
}

void lay_rgba8(unsigned char *dst, const unsigned char *src, size_t n, bool keep)
{
    const __m128i zero = _mm_setzero_si128(), alpha = _mm_set1_epi32(int32_t(0xff000000u));
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4 * i));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dst + 4 * i));
        // A lane takes the source where its alpha is not 0, or, kept, where
        // the destination pixel is all zero.
        __m128i take = _mm_andnot_si128(_mm_cmpeq_epi32(_mm_and_si128(s, alpha), zero), _mm_set1_epi32(-1));
        if (keep)
            take = _mm_or_si128(take, _mm_cmpeq_epi32(d, zero));
        d = _mm_or_si128(_mm_and_si128(take, s), _mm_andnot_si128(take, d));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4 * i), d);
    }
    if (i < n)
        merge_row_alpha_scalar(dst + 4 * i, static_cast<int>(n - i), src + 4 * i, 0, static_cast<int>(n - i),
                               uchar_RGBA, keep);
}
