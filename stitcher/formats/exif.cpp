#include "stitcher/formats/exif.h"

#include "stitcher/pipeline/keloerror.h"

#include <cstring>

// The TIFF structure starts after "Exif\0\0"; its offsets count from there.
enum { TIFF_START = 6 };

// Offsets come from the file: pos and n stay below 2^33, so the sum cannot
// wrap in 64 bits.
static bool fits(const exif_cursor *c, uint64_t n) { return c->pos <= c->size && n <= c->size - c->pos; }

int get_short(exif_cursor *c, uint16_t *out)
{
    if (!fits(c, 2))
        return -1;
    const unsigned char *p = c->data + c->pos;
    *out = static_cast<uint16_t>(c->big_endian ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0]);
    c->pos += 2;
    return 0;
}

static int get_long(exif_cursor *c, uint32_t *out)
{
    uint16_t a, b;
    if (!fits(c, 4) || get_short(c, &a) || get_short(c, &b))
        return -1;
    *out = c->big_endian ? (uint32_t(a) << 16) | b : (uint32_t(b) << 16) | a;
    return 0;
}

// Position of the value bytes of the IFD0 entry with this tag, type SHORT
// and count 1, or -1. Sets the cursor's byte order.
static int64_t find_short(exif_cursor *c, int tag, int type)
{
    kassert(type == SHORT);
    if (c->size <= 9 || memcmp(c->data, "Exif\0\0", 6) != 0)
        return -1;
    const unsigned char *order = c->data + TIFF_START;
    if (order[0] == 'I' && order[1] == 'I')
        c->big_endian = 0;
    else if (order[0] == 'M' && order[1] == 'M')
        c->big_endian = 1;
    else
        return -1;
    c->pos = TIFF_START + 2;
    uint16_t magic, entries;
    uint32_t ifd;
    if (get_short(c, &magic) || magic != 42 || get_long(c, &ifd))
        return -1;
    c->pos = TIFF_START + uint64_t(ifd);
    if (get_short(c, &entries))
        return -1;
    for (uint32_t i = 0; i < entries; i++) {
        uint16_t etag, etype;
        uint32_t count;
        if (get_short(c, &etag) || get_short(c, &etype) || get_long(c, &count))
            return -1;
        uint64_t value = c->pos;
        if (!fits(c, 4))
            return -1;
        c->pos += 4;
        if (etag == tag && etype == SHORT && count == 1)
            return static_cast<int64_t>(value);
    }
    return -1;
}

int get_exif_tag(const unsigned char *block, uint64_t length, int tag, int type, uint16_t *out)
{
    exif_cursor c = {block, length, 0, 0};
    int64_t at = find_short(&c, tag, type);
    if (at < 0)
        return -1;
    c.pos = static_cast<uint64_t>(at);
    return get_short(&c, out);
}

int set_exif_tag(unsigned char *block, uint64_t length, int tag, int type, uint16_t value)
{
    exif_cursor c = {block, length, 0, 0};
    int64_t at = find_short(&c, tag, type);
    if (at < 0)
        return -1;
    block[at + (c.big_endian ? 0 : 1)] = static_cast<unsigned char>(value >> 8);
    block[at + (c.big_endian ? 1 : 0)] = static_cast<unsigned char>(value);
    return 0;
}
