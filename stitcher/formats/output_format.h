// The output format code: the kind of the panorama file and its settings.
#pragma once

// Bits 0-2 the kind, bit 8 big file (BigTIFF, PSB), bits 4-11 the JPEG
// quality (the code is quality * 16 + 1), bit 16 progressive JPEG. -1 means
// that no format was given.
typedef int output_format;

enum {
    OUTPUT_JPEG = 1,
    OUTPUT_PPM = 2,
    OUTPUT_TIFF = 3,
    OUTPUT_TIFF_LAYERED = 4,
    OUTPUT_PSD = 5,
    OUTPUT_BIG = 0x100,
    OUTPUT_PROGRESSIVE = 0x10000,
};

inline int output_kind(output_format f) { return f & 7; }
inline int output_big(output_format f) { return (f & OUTPUT_BIG) != 0; }
inline int output_quality(output_format f) { return (f >> 4) & ~0x1000; }
inline int output_progressive(output_format f) { return (f & OUTPUT_PROGRESSIVE) != 0; }
