// One SHORT field of an EXIF block (an APP1 marker's bytes: "Exif", two zero
// bytes, then a TIFF structure), read or overwritten in place. Only the first
// directory (IFD0) is searched; every offset is checked against the block.
#pragma once
#include <cstddef>
#include <cstdint>

// The TIFF field type that these functions handle.
enum { SHORT = 3 };

struct exif_cursor {
    const unsigned char *data;
    uint64_t size;
    uint64_t pos;
    int big_endian;
};

// Reads the 16-bit value at pos in the block's byte order and advances;
// -1 when it would pass the end of the block.
int get_short(exif_cursor *c, uint16_t *out);

// The value of the entry with this tag, type SHORT and count 1: 0 on success,
// -1 when the block is no EXIF block or has no such entry.
int get_exif_tag(const unsigned char *block, uint64_t length, int tag, int type, uint16_t *out);
int set_exif_tag(unsigned char *block, uint64_t length, int tag, int type, uint16_t value);
