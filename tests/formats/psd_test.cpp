#include "stitcher/formats/psd.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

using ::testing::ExitedWithCode;

class PsdTest : public FormatTest
{
};

// Widths 2048 / 2049 / 5000 / 30000 give 1 / 2 / 3 / 15 layer columns, past
// what the end-to-end scenes reach; every layer has channels 0, 1, 2 and -1
// (opaque).
TEST_F(PsdTest, TiledLayersHoldEveryPixel)
{
    REQUIRE_TOOL("convert");
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
        ASSERT_EQ(f.layer_ids.size(), size_t(c.layers));
        for (const std::vector<int> &ids : f.layer_ids)
            EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, -1}));
        // ImageMagick reads no more than 16384 pixels a side.
        EXPECT_TRUE(c.width > 16384 || merged_layers(name, c.fmt == uchar_RGB ? 8 : 16) == want);
    }
}

// Past 30,000 pixels a side a PSD is written as PSB, the tiled and the flat
// file; past 300,000 the run ends.
TEST_F(PsdTest, LargeImagesBecomePsb)
{
    const std::string tiled = path("wide.psd"), flat = path("wide_flat.psd");
    close_tiled_psd(open_tiled_psd(tiled.c_str(), 30001, 1, uchar_RGB, 0));
    write_all(psd_writer(flat.c_str(), 1, 30001, uchar_RGB, 0), bytes(3 * 30001, 7));
    EXPECT_EQ(parse_psd(tiled).version, 2);
    EXPECT_EQ(parse_psd(flat).version, 2);
    EXPECT_EXIT(
        open_tiled_psd(tiled.c_str(), 300001, 1, uchar_RGB, 0), ExitedWithCode(1),
        "^Image 300001 x 1 too large for file .*wide.psd: PSB holds at most 300000 pixels a side.\n$");
    EXPECT_EXIT(psd_writer(flat.c_str(), 1, 300001, uchar_RGB, 1), ExitedWithCode(1), "PSB holds at most");
}
