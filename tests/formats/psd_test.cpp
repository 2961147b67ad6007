#include "stitcher/formats/psd.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

#include <set>

using ::testing::ExitedWithCode;

class PsdTest : public FormatTest
{
};

// Every layer's channels 0, 1, 2 and -1 (opaque), layers in the order they
// were stored, named by that order, tiling the canvas exactly.
static void expect_tiled_layout(const psd_file &f, int across, int down)
{
    ASSERT_EQ(f.error, "");
    ASSERT_EQ(f.layer_count, across * down);
    std::vector<int> cover(size_t(f.width) * f.height, 0);
    size_t bpc = static_cast<size_t>(f.depth / 8), i = 0;
    for (const psd_layer &l : f.layers) {
        char name[8];
        snprintf(name, sizeof name, "%03d", static_cast<int>(++i % 1000));
        EXPECT_EQ(l.name, name);
        EXPECT_EQ(l.ids, (std::vector<int>{0, 1, 2, -1}));
        size_t d = size_t(l.right - l.left) * (l.bottom - l.top) * bpc;
        EXPECT_EQ(l.lengths, std::vector<uint64_t>(4, 2 + d));
        EXPECT_EQ(l.channels[3], bytes(d, 0xFF));
        EXPECT_LE(l.right - l.left, 2048);
        for (int y = l.top; y < l.bottom; y++)
            for (int x = l.left; x < l.right; x++)
                cover[size_t(y) * f.width + x]++;
    }
    EXPECT_EQ(cover, std::vector<int>(cover.size(), 1));
    std::set<int> lefts;
    for (const psd_layer &l : f.layers)
        lefts.insert(l.left);
    EXPECT_EQ(lefts.size(), size_t(across));
}

// The merged image: RLE (1), 3 x height equal counts, rows of white.
static void expect_white_merged(const psd_file &f)
{
    size_t word = f.version == 2 ? 4 : 2, rows = 3 * size_t(f.height), r = f.width * size_t(f.depth / 8);
    size_t packed = 2 * ((r + 127) / 128);
    ASSERT_EQ(f.image_data.size(), 2 + rows * (word + packed));
    EXPECT_EQ(f.image_data[1], 1);
    EXPECT_EQ(f.image_data[2 + word - 1] + 256 * f.image_data[2 + word - 2], int(packed));
    bytes row(f.image_data.end() - packed, f.image_data.end()), white;
    for (size_t k = 0; k < packed; k += 2) {
        size_t n = row[k] == 0 ? 1 : 257 - row[k];
        EXPECT_EQ(row[k + 1], 0xFF);
        white.insert(white.end(), n, 0xFF);
    }
    EXPECT_EQ(white.size(), r);
}

// Widths 2048 / 2049 / 5000 / 30000 give 1 / 2 / 3 / 15 tile columns; 8 and
// 16 bits (big-endian), PSD and PSB; the file is exactly its sections.
TEST_F(PsdTest, TiledLayersHoldEveryPixel)
{
    struct {
        int width, height;
        uint32_t fmt;
        int big, across, down;
    } cases[] = {{2048, 3, uchar_RGB, 0, 1, 1},    {2049, 5, uchar_RGB, 0, 2, 1},
                 {5000, 2, ushort_RGB, 0, 3, 1},   {30000, 1, uchar_RGB, 0, 15, 1},
                 {300, 2100, ushort_RGB, 1, 1, 2}, {90, 40, uchar_RGB, 1, 1, 1}};
    for (auto c : cases) {
        std::string name = path("t.psd");
        tiled_output *to = open_tiled_psd(name.c_str(), c.width, c.height, c.fmt, c.big);
        bytes want = write_strips(to, c.fmt == uchar_RGB ? uchar_RGBA : ushort_RGBA, c.width);
        testing::internal::CaptureStderr();
        close_tiled_psd(to);
        std::string report = testing::internal::GetCapturedStderr();
        EXPECT_EQ(report.rfind("Writing partial tiles.....done.\nWriting empty tiles.....done.\n"
                               "Writing PSD header.....done.\nWrote PSD-file. Size ",
                               0),
                  0u);
        psd_file f = parse_psd(name);
        EXPECT_TRUE(f.version == 1 + c.big && f.channels == 3 && f.mode == 3);
        EXPECT_TRUE(f.width == uint32_t(c.width) && f.height == uint32_t(c.height));
        EXPECT_EQ(f.depth, c.fmt == uchar_RGB ? 8 : 16);
        expect_tiled_layout(f, c.across, c.down);
        expect_white_merged(f);
        EXPECT_TRUE(composite(f) == want) << c.width << " x " << c.height;
    }
}

TEST_F(PsdTest, HeaderOfAThreeByTwoGrid)
{
    for (int big : {0, 1}) {
        tiled_output *to = open_tiled_psd("/dev/null", 5000, 3000, uchar_RGB, big);
        EXPECT_EQ(create_tiled_psd_header(nullptr, to), big ? 568 : 464);
        close_tiled_psd(to);
    }
}

// Overlaps of 4 pixels or less are written by both images; a tile that
// this completed early is patched in its channel blocks.
TEST_F(PsdTest, DoubleWritesIntoStoredTilesKeepEveryPixel)
{
    for (uint32_t fmt : {uchar_RGB, ushort_RGB}) {
        std::string name = path("double.psd");
        tiled_output *to = open_tiled_psd(name.c_str(), 300, 100, fmt, 0);
        bytes want(static_cast<size_t>(to->row_bytes) * 100, 0);
        irectangle rects[3] = {{0, 0, 154, 100}, {150, 0, 150, 100}, {140, 30, 20, 10}};
        for (int i = 0; i < 3; i++) {
            bytes image = sample_image(rects[i].width, rects[i].height, fmt, 50 + i);
            write_image(placed_writer(to->fd, rects[i], {}, 300, 0, fmt, fmt, 0), image);
            place_by_hand(want, image, rects[i], {}, 300, 0, fmt, fmt, 0);
        }
        close_tiled_psd(to);
        EXPECT_TRUE(composite(parse_psd(name)) == want);
    }
}

// Past 30,000 pixels a side a PSD is written as PSB with two warnings, for
// the tiled and the flat file; past 300,000 the run ends.
TEST_F(PsdTest, LargeImagesBecomePsb)
{
    std::string tiled = path("wide.psd"), flat = path("wide_flat.psd");
    testing::internal::CaptureStderr();
    close_tiled_psd(open_tiled_psd(tiled.c_str(), 30001, 1, uchar_RGB, 0));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(0, 44), "WARNING: Image too large for PSD format: 0 M");
    testing::internal::CaptureStderr();
    write_all(psd_writer(flat.c_str(), 1, 30001, uchar_RGB, 0), bytes(3 * 30001, 7));
    std::string flat_err = testing::internal::GetCapturedStderr();
    for (const std::string &e : {err, flat_err})
        EXPECT_NE(
            e.find(
                "MBytes.\nWARNING: Using PSB format. This may not be readable by standard imagereaders.\n"),
            std::string::npos);
    EXPECT_EQ(parse_psd(tiled).version, 2);
    EXPECT_EQ(parse_psd(flat).version, 2);
    EXPECT_EXIT(
        open_tiled_psd(tiled.c_str(), 300001, 1, uchar_RGB, 0), ExitedWithCode(1),
        "^Image 300001 x 1 too large for file .*wide.psd: PSB holds at most 300000 pixels a side.\n$");
    EXPECT_EXIT(psd_writer(flat.c_str(), 1, 300001, uchar_RGB, 1), ExitedWithCode(1), "PSB holds at most");
}
