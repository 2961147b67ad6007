#include "stitcher/formats/exif.h"

#include "stitcher/pipeline/keloerror.h"

#include <algorithm>
#include <cstring>
#include <vector>

// The TIFF structure starts after "Exif\0\0"; its offsets count from there.
enum { TIFF_START = 6 };

// Offsets come from the file: pos and n stay below 2^33, so the sum cannot
// wrap in 64 bits.
static bool fits(const exif_cursor *c, uint64_t n) { return c->pos <= c->size && n <= c->size - c->pos; }

// The unsigned value of `bytes` bytes at `at` of a block of `size` bytes,
// in the byte order given.
static bool read_at(const unsigned char *data, uint64_t size, uint64_t at, int bytes, int big_endian,
                    uint32_t *out)
{
    if (at > size || uint64_t(bytes) > size - at)
        return false;
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++)
        v = v << 8 | data[at + (big_endian ? i : bytes - 1 - i)];
    *out = v;
    return true;
}

int get_short(exif_cursor *c, uint16_t *out)
{
    uint32_t v;
    if (!read_at(c->data, c->size, c->pos, 2, c->big_endian, &v))
        return -1;
    *out = static_cast<uint16_t>(v);
    c->pos += 2;
    return 0;
}

static int get_long(exif_cursor *c, uint32_t *out)
{
    if (!read_at(c->data, c->size, c->pos, 4, c->big_endian, out))
        return -1;
    c->pos += 4;
    return 0;
}

// Checks the block's signature and TIFF header, sets the cursor's byte
// order and gives the offset of IFD0.
static int tiff_header(exif_cursor *c, uint32_t *ifd)
{
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
    uint16_t magic;
    return get_short(c, &magic) || magic != 42 || get_long(c, ifd) ? -1 : 0;
}

// Position of the value bytes of the IFD0 entry with this tag, type SHORT
// and count 1, or -1. Sets the cursor's byte order.
static int64_t find_short(exif_cursor *c, int tag, int type)
{
    kassert(type == SHORT);
    uint16_t entries;
    uint32_t ifd;
    if (tiff_header(c, &ifd) != 0)
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

// ---- the block made true to another image ----

enum {
    TAG_ORIENTATION = 274,
    TAG_IMAGE_WIDTH = 256,
    TAG_IMAGE_LENGTH = 257,
    TAG_THUMB_OFFSET = 0x201,
    TAG_THUMB_LENGTH = 0x202,
    TAG_EXIF_IFD = 0x8769,
    TAG_GPS_IFD = 0x8825,
    TAG_INTEROP_IFD = 0xA005,
    TAG_PIXEL_X = 0xA002,
    TAG_PIXEL_Y = 0xA003,
    TYPE_LONG = 4,
    TYPE_IFD = 13,
};

struct tiff_block {
    unsigned char *d;
    uint64_t n; // bytes in use
    int big_endian;
};

// A directory: where it starts, its entry count.
struct ifd_ref {
    uint64_t at;
    uint32_t count;
};

// Bytes from `begin` to `end` of the block that a directory uses.
struct span {
    uint64_t begin, end;
};

static bool read_u(const tiff_block *b, uint64_t at, int bytes, uint32_t *out)
{
    return read_at(b->d, b->n, at, bytes, b->big_endian, out);
}

// Only where a read has shown the bytes to be there.
static void write_u(tiff_block *b, uint64_t at, int bytes, uint32_t v)
{
    for (int i = 0; i < bytes; i++)
        b->d[at + (b->big_endian ? bytes - 1 - i : i)] = static_cast<unsigned char>(v >> (8 * i));
}

static uint64_t entry_at(const ifd_ref &ifd, uint32_t i) { return ifd.at + 2 + 12 * uint64_t(i); }

// The directory at offset (from the TIFF header), when the block holds all
// of it, its next-directory link included.
static bool open_ifd(const tiff_block *b, uint32_t offset, ifd_ref *out)
{
    const uint64_t at = TIFF_START + uint64_t(offset);
    uint32_t count;
    if (offset == 0 || !read_u(b, at, 2, &count) || entry_at({at, count}, count) + 4 > b->n)
        return false;
    *out = {at, count};
    return true;
}

// The entry of the directory with this tag, or 0.
static uint64_t find_entry(const tiff_block *b, const ifd_ref &ifd, uint32_t tag)
{
    for (uint32_t i = 0; i < ifd.count; i++) {
        uint32_t t;
        if (read_u(b, entry_at(ifd, i), 2, &t) && t == tag)
            return entry_at(ifd, i);
    }
    return 0;
}

// The single LONG (or SHORT) value of the entry with this tag.
static bool single_value(const tiff_block *b, const ifd_ref &ifd, uint32_t tag, uint32_t *value)
{
    uint64_t e = find_entry(b, ifd, tag);
    uint32_t type, count;
    if (!e || !read_u(b, e + 2, 2, &type) || !read_u(b, e + 4, 4, &count) || count != 1)
        return false;
    if (type == SHORT)
        return read_u(b, e + 8, 2, value);
    return (type == TYPE_LONG || type == TYPE_IFD) && read_u(b, e + 8, 4, value);
}

static bool sub_ifd(const tiff_block *b, const ifd_ref &ifd, uint32_t tag, ifd_ref *out)
{
    uint32_t offset;
    return single_value(b, ifd, tag, &offset) && open_ifd(b, offset, out);
}

static uint64_t type_size(uint32_t type)
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
        return 1;
    case 3:
    case 8:
        return 2;
    case 4:
    case 9:
    case 11:
    case 13:
        return 4;
    case 5:
    case 10:
    case 12:
        return 8;
    default:
        return 0;
    }
}

// What the directory uses: itself, the values that do not fit in its
// entries, a thumbnail it points to.
static void mark(const tiff_block *b, const ifd_ref &ifd, std::vector<span> *used)
{
    used->push_back({ifd.at, entry_at(ifd, ifd.count) + 4});
    for (uint32_t i = 0; i < ifd.count; i++) {
        const uint64_t e = entry_at(ifd, i);
        uint32_t type = 0, count = 0, value = 0;
        read_u(b, e + 2, 2, &type);
        read_u(b, e + 4, 4, &count);
        read_u(b, e + 8, 4, &value);
        const uint64_t bytes = type_size(type) * count;
        if (bytes > 4)
            used->push_back({TIFF_START + uint64_t(value), TIFF_START + uint64_t(value) + bytes});
    }
    uint32_t at, length;
    if (single_value(b, ifd, TAG_THUMB_OFFSET, &at) && single_value(b, ifd, TAG_THUMB_LENGTH, &length))
        used->push_back({TIFF_START + uint64_t(at), TIFF_START + uint64_t(at) + length});
}

// Sets a single SHORT or LONG to value, as a LONG when it does not fit in a
// SHORT; false when the directory has no such entry.
static bool set_size(tiff_block *b, const ifd_ref &ifd, uint32_t tag, uint32_t value)
{
    uint64_t e = find_entry(b, ifd, tag);
    uint32_t type, count;
    if (!e || !read_u(b, e + 2, 2, &type) || !read_u(b, e + 4, 4, &count))
        return false;
    if (count != 1 || (type != SHORT && type != TYPE_LONG))
        return true; // left as it is, and not added twice
    if (type == SHORT && value <= 0xFFFF) {
        write_u(b, e + 8, 2, value);
        write_u(b, e + 10, 2, 0);
    } else {
        write_u(b, e + 2, 2, TYPE_LONG);
        write_u(b, e + 8, 4, value);
    }
    return true;
}

// Drops the link to IFD1, and its bytes when nothing that stays lies after
// them.
static void drop_thumbnail(tiff_block *b, const ifd_ref &ifd0, const std::vector<span> &kept)
{
    const uint64_t link = entry_at(ifd0, ifd0.count);
    uint32_t next;
    ifd_ref ifd1;
    if (!read_u(b, link, 4, &next) || next == 0)
        return;
    bool whole = open_ifd(b, next, &ifd1);
    write_u(b, link, 4, 0);
    if (!whole)
        return;
    std::vector<span> thumb;
    mark(b, ifd1, &thumb);
    uint64_t start = UINT64_MAX, kept_end = 0;
    for (const span &s : thumb)
        start = std::min(start, s.begin);
    for (const span &s : kept)
        kept_end = std::max(kept_end, s.end);
    if (start >= kept_end && start < b->n)
        b->n = start;
}

// The Exif directory again at the block's end, with the size entries it
// lacks in tag order, and IFD0 pointing to it; nothing when there is no room.
static void add_size_entries(tiff_block *b, uint64_t capacity, const ifd_ref &ifd0, const ifd_ref &exif,
                             bool has_x, bool has_y, uint32_t width, uint32_t height)
{
    struct {
        uint32_t tag, value;
        bool missing;
    } added[2] = {{TAG_PIXEL_X, width, !has_x}, {TAG_PIXEL_Y, height, !has_y}};
    const uint32_t count = exif.count + !has_x + !has_y;
    const uint64_t at = b->n + ((b->n - TIFF_START) & 1); // directories start on an even offset
    const uint64_t end = entry_at({at, count}, count) + 4;
    if (end > capacity || end - TIFF_START > UINT32_MAX)
        return;
    tiff_block grown = {b->d, end, b->big_endian};
    memset(b->d + b->n, 0, end - b->n);
    write_u(&grown, at, 2, count);
    uint32_t out = 0;
    for (uint32_t i = 0; i <= exif.count; i++) {
        uint32_t tag = 0xFFFF + 1;
        if (i < exif.count)
            read_u(b, entry_at(exif, i), 2, &tag);
        for (auto &a : added)
            if (a.missing && a.tag < tag) {
                const uint64_t e = entry_at({at, count}, out++);
                write_u(&grown, e, 2, a.tag);
                write_u(&grown, e + 2, 2, a.value <= 0xFFFF ? uint32_t(SHORT) : uint32_t(TYPE_LONG));
                write_u(&grown, e + 4, 4, 1);
                write_u(&grown, e + 8, a.value <= 0xFFFF ? 2 : 4, a.value);
                a.missing = false;
            }
        if (i < exif.count)
            memcpy(b->d + entry_at({at, count}, out++), b->d + entry_at(exif, i), 12);
    }
    *b = grown;
    write_u(b, find_entry(b, ifd0, TAG_EXIF_IFD) + 8, 4, static_cast<uint32_t>(at - TIFF_START));
}

uint64_t exif_for_image(unsigned char *buf, uint64_t length, uint64_t capacity, int width, int height)
{
    set_exif_tag(buf, length, TAG_ORIENTATION, SHORT, 1);
    exif_cursor c = {buf, length, 0, 0};
    uint32_t first;
    ifd_ref ifd0, exif, sub;
    if (tiff_header(&c, &first) != 0)
        return length;
    tiff_block b = {buf, length, c.big_endian};
    if (!open_ifd(&b, first, &ifd0))
        return length;
    std::vector<span> kept;
    mark(&b, ifd0, &kept);
    const bool has_exif = sub_ifd(&b, ifd0, TAG_EXIF_IFD, &exif);
    if (has_exif) {
        mark(&b, exif, &kept);
        if (sub_ifd(&b, exif, TAG_INTEROP_IFD, &sub))
            mark(&b, sub, &kept);
    }
    if (sub_ifd(&b, ifd0, TAG_GPS_IFD, &sub))
        mark(&b, sub, &kept);
    drop_thumbnail(&b, ifd0, kept);
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    set_size(&b, ifd0, TAG_IMAGE_WIDTH, w);
    set_size(&b, ifd0, TAG_IMAGE_LENGTH, h);
    if (has_exif) {
        const bool has_x = set_size(&b, exif, TAG_PIXEL_X, w), has_y = set_size(&b, exif, TAG_PIXEL_Y, h);
        if (!has_x || !has_y)
            add_size_entries(&b, capacity, ifd0, exif, has_x, has_y, w, h);
    }
    return b.n;
}
