#include "stitcher/formats/exif.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

using ::testing::ExitedWithCode;

typedef std::vector<unsigned char> block;

struct ifd_entry {
    uint16_t tag, type;
    uint32_t count, value;
};

// An EXIF block in either byte order: "Exif\0\0", the TIFF header, IFD0 at
// `ifd_offset` (from the TIFF header) with the entries, then 4 bytes of
// next-directory offset.
static block exif_block(bool big_endian, const std::vector<ifd_entry> &entries, uint32_t ifd_offset = 8)
{
    block b = {'E', 'x', 'i', 'f', 0, 0};
    auto u16 = [&](uint32_t v) {
        if (big_endian) {
            b.push_back(static_cast<unsigned char>(v >> 8));
            b.push_back(static_cast<unsigned char>(v));
        } else {
            b.push_back(static_cast<unsigned char>(v));
            b.push_back(static_cast<unsigned char>(v >> 8));
        }
    };
    auto u32 = [&](uint32_t v) {
        if (big_endian) {
            u16(v >> 16);
            u16(v & 0xFFFF);
        } else {
            u16(v & 0xFFFF);
            u16(v >> 16);
        }
    };
    b.push_back(big_endian ? 'M' : 'I');
    b.push_back(big_endian ? 'M' : 'I');
    u16(42);
    u32(ifd_offset);
    b.resize(6 + ifd_offset, 0);
    u16(static_cast<uint32_t>(entries.size()));
    for (const ifd_entry &e : entries) {
        u16(e.tag);
        u16(e.type);
        u32(e.count);
        if (e.type == SHORT && e.count == 1) {
            u16(e.value);
            u16(0);
        } else {
            u32(e.value);
        }
    }
    u32(0);
    return b;
}

// The block in a heap allocation of exactly its size, so that the sanitizer
// catches any byte read or written past it.
static std::unique_ptr<unsigned char[]> exact_copy(const block &b)
{
    std::unique_ptr<unsigned char[]> p(new unsigned char[b.size()]);
    if (!b.empty())
        memcpy(p.get(), b.data(), b.size());
    return p;
}

static const std::vector<ifd_entry> camera = {
    {271, 2, 6, 100},   // Make, ASCII elsewhere
    {274, SHORT, 1, 6}, // Orientation
    {282, 5, 1, 200},   // XResolution, RATIONAL elsewhere
};

TEST(Exif, OrientationIsReadInBothByteOrders)
{
    for (bool be : {false, true}) {
        block b = exif_block(be, camera);
        uint16_t v = 0;
        EXPECT_EQ(get_exif_tag(b.data(), b.size(), 274, SHORT, &v), 0);
        EXPECT_EQ(v, 6);
        EXPECT_EQ(get_exif_tag(b.data(), b.size(), 999, SHORT, &v), -1);
    }
}

TEST(Exif, RewriteKeepsTheBlocksByteOrderAndTouchesNothingElse)
{
    for (bool be : {false, true}) {
        block b = exif_block(be, camera);
        block before = b;
        EXPECT_EQ(set_exif_tag(b.data(), b.size(), 274, SHORT, 0x0102), 0);
        block want = exif_block(be, {camera[0], {274, SHORT, 1, 0x0102}, camera[2]});
        EXPECT_EQ(b, want);
        uint16_t v;
        EXPECT_EQ(get_exif_tag(b.data(), b.size(), 274, SHORT, &v), 0);
        EXPECT_EQ(v, 0x0102);
        // The value's bytes in the file: big-endian 01 02, little-endian 02 01.
        size_t at = 6 + 8 + 2 + 12 + 8;
        EXPECT_EQ(b[at], be ? 1 : 2);
        EXPECT_EQ(b[at + 1], be ? 2 : 1);
        EXPECT_NE(b, before);
    }
}

TEST(Exif, OnlyASingleShortMatches)
{
    for (bool be : {false, true}) {
        uint16_t v;
        block count2 = exif_block(be, {{274, SHORT, 2, 6}});
        EXPECT_EQ(get_exif_tag(count2.data(), count2.size(), 274, SHORT, &v), -1);
        block as_long = exif_block(be, {{274, 4, 1, 6}});
        EXPECT_EQ(get_exif_tag(as_long.data(), as_long.size(), 274, SHORT, &v), -1);
        EXPECT_EQ(set_exif_tag(as_long.data(), as_long.size(), 274, SHORT, 1), -1);
        EXPECT_EQ(as_long, exif_block(be, {{274, 4, 1, 6}}));
    }
}

TEST(Exif, BlocksThatAreNotExifAreRefused)
{
    uint16_t v;
    block good = exif_block(false, camera);
    block not_exif = good;
    not_exif[0] = 'X';
    EXPECT_EQ(get_exif_tag(not_exif.data(), not_exif.size(), 274, SHORT, &v), -1);
    block bad_order = good;
    bad_order[6] = 'M'; // "MI"
    EXPECT_EQ(get_exif_tag(bad_order.data(), bad_order.size(), 274, SHORT, &v), -1);
    block bad_magic = good;
    bad_magic[8] = 43;
    EXPECT_EQ(get_exif_tag(bad_magic.data(), bad_magic.size(), 274, SHORT, &v), -1);
    EXPECT_EQ(get_exif_tag(good.data(), 9, 274, SHORT, &v), -1);
}

TEST(Exif, EveryCutOfTheBlockStaysInsideIt)
{
    for (bool be : {false, true}) {
        block b = exif_block(be, camera);
        size_t entry_end = 6 + 8 + 2 + 2 * 12; // the Orientation is the second entry
        for (size_t n = 0; n <= b.size(); n++) {
            SCOPED_TRACE(n);
            auto p = exact_copy(block(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)));
            uint16_t v = 0;
            int got = get_exif_tag(p.get(), n, 274, SHORT, &v);
            // The entry must be whole (its 4-byte value field included).
            EXPECT_EQ(got, n >= entry_end ? 0 : -1);
            EXPECT_EQ(set_exif_tag(p.get(), n, 274, SHORT, 1), got);
        }
    }
}

TEST(Exif, HostileOffsetsAndCountsAreRefused)
{
    uint16_t v;
    for (bool be : {false, true}) {
        for (uint32_t offset : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x80000000u, 1000u}) {
            block b = exif_block(be, camera);
            // Same block, IFD0 offset replaced.
            b[10] = be ? offset >> 24 : offset & 255;
            b[11] = be ? (offset >> 16) & 255 : (offset >> 8) & 255;
            b[12] = be ? (offset >> 8) & 255 : (offset >> 16) & 255;
            b[13] = be ? offset & 255 : offset >> 24;
            auto p = exact_copy(b);
            EXPECT_EQ(get_exif_tag(p.get(), b.size(), 274, SHORT, &v), -1) << offset;
            EXPECT_EQ(set_exif_tag(p.get(), b.size(), 274, SHORT, 1), -1) << offset;
        }
        // 65535 entries announced, two present.
        block many = exif_block(be, {{1, SHORT, 1, 1}, {2, SHORT, 1, 2}});
        many[14] = 0xFF;
        many[15] = 0xFF;
        auto p = exact_copy(many);
        EXPECT_EQ(get_exif_tag(p.get(), many.size(), 274, SHORT, &v), -1);
    }
}

TEST(Exif, OnlyShortsAreAskedFor)
{
    block b = exif_block(false, camera);
    uint16_t v;
    EXPECT_EXIT(get_exif_tag(b.data(), b.size(), 274, 4, &v), ExitedWithCode(1), "type == SHORT");
}

// ---- the block made true to the panorama ----

// A camera's block: IFD0 (with the link to the Exif directory when it has
// entries), the Exif directory, and IFD1 with a JPEG thumbnail of `thumb`
// bytes at the end or, thumb_first, before the Exif directory.
struct camera_block {
    bool be;
    std::vector<ifd_entry> ifd0, exif;
    int thumb = 0;
    bool thumb_first = false;
};

static void put(block *b, size_t at, int bytes, uint32_t v, bool be)
{
    for (int i = 0; i < bytes; i++)
        (*b)[at + (be ? bytes - 1 - i : i)] = static_cast<unsigned char>(v >> (8 * i));
}

static uint32_t get(const block &b, size_t at, int bytes, bool be)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++)
        v = v << 8 | b.at(at + (be ? i : bytes - 1 - i));
    return v;
}

// Appends a directory of the entries (values as they stand) with its next
// link; where it starts, from the TIFF header.
static uint32_t add_ifd(block *b, const std::vector<ifd_entry> &entries, uint32_t next, bool be)
{
    const size_t at = b->size();
    b->resize(at + 2 + 12 * entries.size() + 4);
    put(b, at, 2, static_cast<uint32_t>(entries.size()), be);
    for (size_t i = 0; i < entries.size(); i++) {
        const size_t e = at + 2 + 12 * i;
        const ifd_entry &f = entries[i];
        put(b, e, 2, f.tag, be), put(b, e + 2, 2, f.type, be), put(b, e + 4, 4, f.count, be);
        put(b, e + 8, f.type == SHORT && f.count == 1 ? 2 : 4, f.value, be);
    }
    put(b, at + 2 + 12 * entries.size(), 4, next, be);
    return static_cast<uint32_t>(at - 6);
}

static block build(const camera_block &c)
{
    block b = exif_block(c.be, {});
    b.resize(6 + 8);
    std::vector<ifd_entry> ifd0 = c.ifd0;
    if (!c.exif.empty())
        ifd0.push_back({0x8769, 4, 1, 0}); // patched below
    const size_t ifd0_at = 6 + add_ifd(&b, ifd0, 0, c.be);
    auto add_thumb = [&] {
        const uint32_t at = static_cast<uint32_t>(b.size() - 6 + 2 + 12 * 3 + 4);
        put(&b, ifd0_at + 2 + 12 * ifd0.size(), 4,
            add_ifd(&b, {{259, SHORT, 1, 6}, {0x201, 4, 1, at}, {0x202, 4, 1, uint32_t(c.thumb)}}, 0, c.be),
            c.be);
        b.insert(b.end(), static_cast<size_t>(c.thumb), 0xAB);
    };
    if (c.thumb && c.thumb_first)
        add_thumb();
    if (!c.exif.empty())
        put(&b, ifd0_at + 2 + 12 * (ifd0.size() - 1) + 8, 4, add_ifd(&b, c.exif, 0, c.be), c.be);
    if (c.thumb && !c.thumb_first)
        add_thumb();
    return b;
}

// The entries of the directory at offset: tag to {type, value}; its next
// link under tag -1, and under -2 a tag that is not above the one before.
static std::map<int, std::pair<uint32_t, uint32_t>> read_ifd(const block &b, uint32_t offset, bool be)
{
    std::map<int, std::pair<uint32_t, uint32_t>> out;
    const size_t at = 6 + offset, n = get(b, at, 2, be);
    for (size_t i = 0; i < n; i++) {
        const size_t e = at + 2 + 12 * i;
        const uint32_t type = get(b, e + 2, 2, be), tag = get(b, e, 2, be);
        if (i > 0 && tag <= get(b, e - 12, 2, be))
            out[-2] = {0, tag};
        out[static_cast<int>(tag)] = {type, get(b, e + 8, type == SHORT ? 2 : 4, be)};
    }
    out[-1] = {0, get(b, at + 2 + 12 * n, 4, be)};
    return out;
}

TEST(Exif, TheBlockTellsThePanoramasSizeWithoutTheThumbnail)
{
    const std::vector<ifd_entry> ifd0 = {{271, 2, 4, 0x41424300}, {274, SHORT, 1, 6}};
    const std::vector<ifd_entry> sized = {
        {0x9000, 7, 4, 0x30323332}, {0xA002, SHORT, 1, 600}, {0xA003, 4, 1, 1000}};
    const std::vector<ifd_entry> no_y = {
        {0x9000, 7, 4, 0x30323332}, {0xA002, SHORT, 1, 600}, {0xA20E, 5, 1, 0}};
    const std::vector<ifd_entry> no_size = {{0x9000, 7, 4, 0x30323332}};
    const std::vector<ifd_entry> ifd0_sized = {
        {256, SHORT, 1, 600}, {257, 4, 1, 1000}, ifd0[0], {274, SHORT, 1, 8}};
    const struct {
        const char *what;
        std::vector<ifd_entry> ifd0, exif;
        int thumb;
        bool thumb_first;
        int width;
        int64_t growth;          // bytes added, or cut (negative)
        uint32_t x_type, y_type; // of the size entries, 0 for none
    } cases[] = {
        {"camera", ifd0, sized, 300, false, 2000, -(2 + 36 + 4 + 300), SHORT, 4},
        {"wider than a SHORT", ifd0, sized, 300, false, 70000, -(2 + 36 + 4 + 300), 4, 4},
        {"thumbnail before the Exif directory", ifd0, sized, 300, true, 2000, 0, SHORT, 4},
        {"height added", ifd0, no_y, 0, false, 2000, 2 + 12 * 4 + 4, SHORT, SHORT},
        {"both added after the cut", ifd0, no_size, 64, false, 2000, 2 + 12 * 3 + 4 - (2 + 36 + 4 + 64),
         SHORT, SHORT},
        {"IFD0's size", ifd0_sized, sized, 0, false, 2000, 0, SHORT, 4},
        {"no Exif directory", ifd0, {}, 40, false, 2000, -(2 + 36 + 4 + 40), 0, 0},
    };
    for (const auto &c : cases)
        for (bool be : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (be ? " MM" : " II"));
            const block before = build({be, c.ifd0, c.exif, c.thumb, c.thumb_first});
            block b = before;
            b.resize(65533);
            b.resize(exif_for_image(b.data(), before.size(), b.size(), c.width, 1000));
            // An odd end gets a byte before the added directory.
            EXPECT_EQ(int64_t(b.size()) - int64_t(before.size()) -
                          int64_t(c.growth > 0 ? before.size() & 1 : 0),
                      c.growth);
            auto d0 = read_ifd(b, get(b, 10, 4, be), be);
            EXPECT_EQ(d0.at(-1).second, 0u) << "no IFD1";
            EXPECT_EQ(d0.at(274).second, 1u);
            EXPECT_EQ(d0.at(271), (std::pair<uint32_t, uint32_t>(2, 0x41424300)));
            if (d0.count(256)) {
                EXPECT_EQ(d0.at(256), (std::pair<uint32_t, uint32_t>(c.width > 0xFFFF ? 4 : SHORT, c.width)));
                EXPECT_EQ(d0.at(257), (std::pair<uint32_t, uint32_t>(4, 1000)));
            }
            if (!c.x_type) {
                EXPECT_EQ(d0.count(0x8769), 0u);
                continue;
            }
            auto exif = read_ifd(b, d0.at(0x8769).second, be);
            EXPECT_EQ(exif.at(0xA002), (std::pair<uint32_t, uint32_t>(c.x_type, uint32_t(c.width))));
            EXPECT_EQ(exif.at(0xA003), (std::pair<uint32_t, uint32_t>(c.y_type, 1000u)));
            EXPECT_EQ(exif.at(0x9000).second, 0x30323332u) << "the rest stays";
            size_t had = 0; // size entries of the photo's own
            for (const ifd_entry &e : c.exif)
                had += e.tag == 0xA002 || e.tag == 0xA003;
            EXPECT_EQ(exif.size(), c.exif.size() + 2 - had + 1) << "and the next link";
            EXPECT_EQ(exif.count(-2), 0u) << "in tag order";
        }
}

TEST(Exif, ARewriteWithoutRoomOrOfNoExifBlockStaysInside)
{
    for (bool be : {false, true}) {
        const block full = build({be, camera, {{0x9000, 7, 4, 0}}, 50, false});
        // Every cut, with no room to grow: the sanitizer sees any byte past it.
        for (size_t n = 0; n <= full.size(); n++) {
            auto p = exact_copy(block(full.begin(), full.begin() + static_cast<ptrdiff_t>(n)));
            EXPECT_LE(exif_for_image(p.get(), n, n, 2000, 1000), n);
        }
        block other = full;
        other[0] = 'X';
        const block before = other;
        EXPECT_EQ(exif_for_image(other.data(), other.size(), other.size(), 2000, 1000), other.size());
        EXPECT_EQ(other, before);
    }
}
