// Pixel layouts of rows and the converters between them.
#pragma once
#include <cstddef>
#include <cstdint>

// Values of a pixformat code (an unsigned 32-bit field of readers and writers).
enum : uint32_t {
    float_RGBA = 1, // four floats on a 0..255 scale
    float_G = 3,    // one float
    uchar_RGB = 4,
    uchar_RGBA = 5,
    ushort_RGB = 6, // 16-bit samples in host byte order
    ushort_RGBA = 7,
};

// Converts count pixels from src to dst. src and dst may be the same buffer:
// widening converters walk backwards, the others forwards. A count of 0 or
// less converts nothing.
typedef void (*pix_converter)(const void *src, void *dst, int count);

// 0 for a code that is no pixel format.
int get_bytes_per_pixel(uint32_t pixformat);
int get_bytes_per_channel(uint32_t pixformat);
// The layout with alpha of the same depth; 0 when there is none.
uint32_t alpha_pixformat(uint32_t pixformat);

// Null when `to` is not offered for `from`; an unknown `from` is fatal.
pix_converter get_pix_converter(uint32_t from, uint32_t to);

// Lays src (uchar_RGBA or ushort_RGBA, the alpha layout of dst's depth) over
// dst from pixel x on, where its alpha is not 0. Returns 0.
int merge_row_alpha(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat);
// The same, and a pixel whose alpha is 0 fills a dst pixel that is still all
// zero: a colour without weight (the rim of a warped image) is not lost.
int merge_row_alpha_keep(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat);

unsigned char ushort_to_uchar(unsigned short v);

void float4_to_float4(const void *src, void *dst, int count);
void float4_to_uchar_rgb(const void *src, void *dst, int count);
void float4_to_uchar_rgba(const void *src, void *dst, int count);
void float4_to_ushort_rgb(const void *src, void *dst, int count);
void float4_to_ushort_rgba(const void *src, void *dst, int count);
void uchar_rgb_to_float4(const void *src, void *dst, int count);
void uchar_rgb_to_uchar_rgb(const void *src, void *dst, int count);
void uchar_rgb_to_uchar_rgba(const void *src, void *dst, int count);
void uchar_rgb_to_ushort_rgb(const void *src, void *dst, int count);
void uchar_rgb_to_ushort_rgba(const void *src, void *dst, int count);
void uchar_rgba_to_float4(const void *src, void *dst, int count);
void uchar_rgba_to_uchar_rgb(const void *src, void *dst, int count);
void uchar_rgba_to_uchar_rgba(const void *src, void *dst, int count);
void uchar_rgba_to_ushort_rgb(const void *src, void *dst, int count);
void uchar_rgba_to_ushort_rgba(const void *src, void *dst, int count);
void ushort_rgb_to_float4(const void *src, void *dst, int count);
void ushort_rgb_to_uchar_rgb(const void *src, void *dst, int count);
void ushort_rgb_to_uchar_rgba(const void *src, void *dst, int count);
void ushort_rgb_to_ushort_rgb(const void *src, void *dst, int count);
void ushort_rgb_to_ushort_rgba(const void *src, void *dst, int count);
void ushort_rgba_to_float4(const void *src, void *dst, int count);
void ushort_rgba_to_uchar_rgb(const void *src, void *dst, int count);
void ushort_rgba_to_uchar_rgba(const void *src, void *dst, int count);
void ushort_rgba_to_ushort_rgb(const void *src, void *dst, int count);
void ushort_rgba_to_ushort_rgba(const void *src, void *dst, int count);
void floatG_to_uchar_rgb(const void *src, void *dst, int count);
void floatG_to_uchar_rgba(const void *src, void *dst, int count);

// n uchar_RGBA pixels of src laid over dst as merge_row_alpha does (with
// keep, as merge_row_alpha_keep), four at a time.
void lay_rgba8(unsigned char *dst, const unsigned char *src, size_t n, bool keep);

// Scalar twins of the converters that have an SSE2 path; same results.
int merge_row_alpha_scalar(void *dst, int dst_width, const void *src, int x, int n, uint32_t pixformat,
                           bool keep);
void float4_to_uchar_rgba_scalar(const void *src, void *dst, int count);
void uchar_rgb_to_float4_scalar(const void *src, void *dst, int count);
void uchar_rgba_to_float4_scalar(const void *src, void *dst, int count);
void ushort_rgba_to_float4_scalar(const void *src, void *dst, int count);
