#include "stitcher/formats/exif.h"

#include <gtest/gtest.h>

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
