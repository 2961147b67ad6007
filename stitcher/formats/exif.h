// EXIF blocks (an APP1 marker's bytes: "Exif", two zero bytes, then a TIFF
// structure): one SHORT field of the first directory (IFD0) read or
// overwritten in place, and the whole block made true to another image.
// Every offset is checked against the block.
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

// Makes the block in buf (length bytes, in room for capacity) describe an
// image of width x height written with it: Orientation 1, no thumbnail (the
// link to IFD1 cleared, its bytes cut off when they end the block), and the
// size in the Exif directory's PixelXDimension and PixelYDimension (added
// when missing and capacity has room) and in IFD0's ImageWidth and
// ImageLength where it has them. The block's new length; a block that is no
// EXIF block keeps its bytes and length.
uint64_t exif_for_image(unsigned char *buf, uint64_t length, uint64_t capacity, int width, int height);
