#include "stitcher/formats/psd.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

using ::testing::ExitedWithCode;

class PsdTest : public FormatTest
{
};

// Widths 2048 / 2049 / 5000 / 30000 give 1 / 2 / 3 / 15 layer columns; 8 and
// 16 bits (big-endian), PSD and PSB; the file is exactly its sections. Every
// layer has channels 0, 1, 2 and -1 (opaque).
TEST_F(PsdTest, TiledLayersHoldEveryPixel)
{
    const struct {
        int width, height;
        uint32_t fmt;
        int big, layers;
    } cases[] = {{2048, 3, uchar_RGB, 0, 1},   {2049, 5, uchar_RGB, 0, 2},    {5000, 2, ushort_RGB, 0, 3},
                 {30000, 1, uchar_RGB, 0, 15}, {300, 2100, ushort_RGB, 1, 2}, {90, 40, uchar_RGB, 1, 1}};
    for (auto c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        const std::string name = path("t.psd");
        tiled_output *to = open_tiled_psd(name.c_str(), c.width, c.height, c.fmt, c.big);
        bytes want = write_strips(to, c.fmt == uchar_RGB ? uchar_RGBA : ushort_RGBA, c.width);
        close_tiled_psd(to);
        const psd_file f = parse_psd(name);
        const size_t bpc = c.fmt == uchar_RGB ? 1 : 2;
        ASSERT_EQ(f.error, "");
        EXPECT_TRUE(f.version == 1 + c.big && f.channels == 3 && f.mode == 3 && f.depth == int(8 * bpc));
        EXPECT_TRUE(f.width == uint32_t(c.width) && f.height == uint32_t(c.height));
        ASSERT_EQ(f.layers.size(), size_t(c.layers));
        for (const psd_layer &l : f.layers) {
            const size_t d = size_t(l.right - l.left) * (l.bottom - l.top) * bpc;
            EXPECT_EQ(l.ids, (std::vector<int>{0, 1, 2, -1}));
            EXPECT_EQ(l.channels[3], bytes(d, 0xFF));
            EXPECT_LE(l.right - l.left, 2048);
        }
        EXPECT_TRUE(composite(f) == want);
        // The merged image, 3 x height RLE rows of white: its size says the
        // file ends where it should.
        const size_t rle_row = 2 * ((c.width * bpc + 127) / 128) + (c.big ? 4 : 2);
        EXPECT_EQ(f.image_data.size(), 2 + 3 * size_t(c.height) * rle_row);
    }
}

// Past 30,000 pixels a side a PSD is written as PSB with two warnings, for
// the tiled and the flat file; past 300,000 the run ends.
TEST_F(PsdTest, LargeImagesBecomePsb)
{
    const std::string tiled = path("wide.psd"), flat = path("wide_flat.psd");
    testing::internal::CaptureStderr();
    close_tiled_psd(open_tiled_psd(tiled.c_str(), 30001, 1, uchar_RGB, 0));
    write_all(psd_writer(flat.c_str(), 1, 30001, uchar_RGB, 0), bytes(3 * 30001, 7));
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string warning =
        "WARNING: Image too large for PSD format: 0 MBytes.\nWARNING: Using PSB format. "
        "This may not be readable by standard imagereaders.\n";
    EXPECT_EQ(err.find(warning), 0u) << err;
    EXPECT_NE(err.find(warning, 1), std::string::npos) << err;
    EXPECT_EQ(parse_psd(tiled).version, 2);
    EXPECT_EQ(parse_psd(flat).version, 2);
    EXPECT_EXIT(
        open_tiled_psd(tiled.c_str(), 300001, 1, uchar_RGB, 0), ExitedWithCode(1),
        "^Image 300001 x 1 too large for file .*wide.psd: PSB holds at most 300000 pixels a side.\n$");
    EXPECT_EXIT(psd_writer(flat.c_str(), 1, 300001, uchar_RGB, 1), ExitedWithCode(1), "PSB holds at most");
}
