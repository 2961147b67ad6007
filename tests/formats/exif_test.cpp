#include "stitcher/formats/exif.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

// Appends a directory of the entries; its offset from the TIFF header.
static uint32_t add_ifd(block *b, const std::vector<ifd_entry> &entries, bool be)
{
    const uint32_t at = static_cast<uint32_t>(b->size() - 6);
    const block d = exif_block(be, entries, at);
    b->insert(b->end(), d.begin() + 6 + at, d.end());
    return at;
}

// A camera's block: IFD0 (linked to the Exif directory when that has
// entries), the Exif directory, and IFD1 with a JPEG thumbnail of |thumb|
// bytes at the end or, when thumb < 0, before the Exif directory.
static block build(bool be, std::vector<ifd_entry> ifd0, const std::vector<ifd_entry> &exif, int thumb)
{
    if (!exif.empty())
        ifd0.push_back({0x8769, 4, 1, 0});
    block b = exif_block(be, ifd0);
    const size_t next = b.size() - 4, exif_link = next - 4;
    auto add_thumb = [&] {
        const uint32_t bytes = uint32_t(std::abs(thumb)), at = uint32_t(b.size() - 6 + 2 + 12 * 3 + 4);
        put(&b, next, 4, add_ifd(&b, {{259, SHORT, 1, 6}, {0x201, 4, 1, at}, {0x202, 4, 1, bytes}}, be), be);
        b.insert(b.end(), bytes, 0xAB);
    };
    if (thumb < 0)
        add_thumb();
    if (!exif.empty())
        put(&b, exif_link, 4, add_ifd(&b, exif, be), be);
    if (thumb > 0)
        add_thumb();
    return b;
}

// The directory at offset as "tag:type:value ..." (tags in hex), with the
// Exif directory it links to in brackets and "+IFD1" when it links to one.
static std::string dump(const block &b, uint32_t offset, bool be)
{
    std::string out;
    const size_t at = 6 + offset, n = get(b, at, 2, be);
    for (size_t i = 0; i < n; i++) {
        const size_t e = at + 2 + 12 * i;
        const uint32_t tag = get(b, e, 2, be), type = get(b, e + 2, 2, be);
        const uint32_t value = get(b, e + 8, type == SHORT ? 2 : 4, be);
        char text[40];
        snprintf(text, sizeof text, "%x:%u:%u ", tag, type, value);
        out += tag == 0x8769 ? "[" + dump(b, value, be) + "] " : text;
    }
    return get(b, at + 2 + 12 * n, 4, be) ? out + "+IFD1" : out;
}

TEST(Exif, TheBlockTellsThePanoramasSizeWithoutTheThumbnail)
{
    const ifd_entry version = {0x9000, 4, 1, 232}, x = {0xA002, SHORT, 1, 600};
    const std::vector<ifd_entry> ifd0 = {{0x110, 4, 1, 77}, {274, SHORT, 1, 6}}, no_size = {version},
                                 ifd0_sized = {{256, SHORT, 1, 600}, {257, 4, 1, 1000}, {274, SHORT, 1, 8}},
                                 sized = {version, x, {0xA003, 4, 1, 1000}},
                                 no_y = {version, x, {0xA20E, 5, 1, 0}};
    // IFD1 and the thumbnail are cut; an Exif directory that grows is written anew at the end.
    const int cut = 2 + 12 * 3 + 4, added = 2 + 12 * 4 + 4;
    const std::string head = "110:4:77 112:3:1 ", exif = "[9000:4:232 a002:3:2000 a003:4:1000 ] ";
    const struct {
        const char *what;
        std::vector<ifd_entry> ifd0, exif;
        int thumb, width, growth; // growth: bytes added, or cut (negative)
        std::string want;
    } cases[] = {
        {"camera", ifd0, sized, 300, 2000, -(cut + 300), head + exif},
        {"wider than a SHORT", ifd0, sized, 300, 70000, -(cut + 300),
         head + "[9000:4:232 a002:4:70000 a003:4:1000 ] "},
        {"thumbnail before the Exif directory", ifd0, sized, -300, 2000, 0, head + exif},
        {"height added", ifd0, no_y, 0, 2000, added,
         head + "[9000:4:232 a002:3:2000 a003:3:1000 a20e:5:0 ] "},
        {"both added after the cut", ifd0, no_size, 64, 2000, -64,
         head + "[9000:4:232 a002:3:2000 a003:3:1000 ] "},
        {"IFD0's size", ifd0_sized, sized, 0, 2000, 0, "100:3:2000 101:4:1000 112:3:1 " + exif},
        {"no Exif directory", ifd0, {}, 40, 2000, -(cut + 40), head},
    };
    for (const auto &c : cases)
        for (bool be : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (be ? " MM" : " II"));
            const block before = build(be, c.ifd0, c.exif, c.thumb);
            block b = before;
            b.resize(65533);
            b.resize(exif_for_image(b.data(), before.size(), b.size(), c.width, 1000));
            // An odd end gets a byte before the added directory.
            EXPECT_EQ(int64_t(b.size()) - int64_t(before.size()) -
                          int64_t(c.growth > 0 ? before.size() & 1 : 0),
                      c.growth);
            EXPECT_EQ(dump(b, get(b, 10, 4, be), be), c.want);
        }
}

TEST(Exif, ARewriteWithoutRoomOrOfNoExifBlockStaysInside)
{
    for (bool be : {false, true}) {
        block b = build(be, camera, {{0x9000, 7, 4, 0}}, 50);
        // Every cut, with no room to grow: the sanitizer sees any byte past it.
        for (size_t n = 0; n <= b.size(); n++) {
            auto p = exact_copy(block(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)));
            EXPECT_LE(exif_for_image(p.get(), n, n, 2000, 1000), n);
        }
        b[0] = 'X';
        const block before = b;
        EXPECT_EQ(exif_for_image(b.data(), b.size(), b.size(), 2000, 1000), b.size());
        EXPECT_EQ(b, before);
    }
}
