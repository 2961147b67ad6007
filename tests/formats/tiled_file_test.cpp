#include "stitcher/formats/psd.h"
#include "stitcher/formats/tiff.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <unistd.h>

using ::testing::ExitedWithCode;

class TiledFileTest : public FormatTest
{
};

// One tile, one tile row, sizes no multiple of the tile, TIFF and BigTIFF:
// the file is exactly header and tiles, and pixels no image wrote are 0.
TEST_F(TiledFileTest, FileIsHeaderAndTiles)
{
    REQUIRE_TOOL("tiffinfo");
    const struct {
        int width, height;
        uint32_t fmt;
        int64_t tiles;
    } cases[] = {{100, 80, uchar_RGB, 1}, {1000, 200, uchar_RGB, 3}, {600, 530, ushort_RGB, 4}};
    for (auto c : cases)
        for (int big : {0, 1}) {
            const std::string name = path(std::to_string(c.width) + "x" + std::to_string(c.height) + ".tif");
            SCOPED_TRACE(name + (big ? " BigTIFF" : ""));
            tiled_output *to = open_tiled_tiff(name.c_str(), c.width, c.height, c.fmt, big);
            bytes want = write_strips(to, c.fmt == uchar_RGB ? uchar_RGBA : ushort_RGBA, c.width + big);
            close_tiled_tiff(to);
            run_result info = sh("tiffinfo " + shq(name));
            int64_t tw = 1, th = 1;
            sscanf(info.out.c_str() + std::min(info.out.find("Tile Width: "), info.out.size()),
                   "Tile Width: %" SCNd64 " Tile Length: %" SCNd64, &tw, &th);
            EXPECT_EQ((c.width + tw - 1) / tw * ((c.height + th - 1) / th), c.tiles) << info.out;
            EXPECT_EQ(file_size(name), (big ? 292 + 16 * c.tiles : 196 + 8 * c.tiles) +
                                           c.tiles * tw * th * get_bytes_per_pixel(c.fmt));
            EXPECT_TRUE(read_all(tiff_reader(name.c_str())) == want);
        }
}

// Overlaps of 4 pixels or less get no blend tile, so both images write them:
// pixels only one image wrote are kept and the later image wins, also in a
// PSD tile already stored (patched in place).
TEST_F(TiledFileTest, DoubleWritesKeepEveryPixel)
{
    REQUIRE_TOOL("convert");
    const std::vector<irectangle> tiles = {{5, 5, 10, 10}};
    const struct {
        bool psd;
        uint32_t fmt;
        int width, height;
        std::vector<irectangle> rects;
    } cases[] = {{0, uchar_RGB, 600, 300, {{0, 0, 304, 300}, {300, 0, 300, 300}, {290, 100, 20, 50}}},
                 {1, ushort_RGB, 300, 100, {{0, 0, 154, 100}, {150, 0, 150, 100}, {140, 30, 20, 10}}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + (c.psd ? " PSD" : " TIFF"));
        const std::string name = path(c.psd ? "placed.psd" : "placed.tif");
        const uint32_t in = c.fmt == uchar_RGB ? uchar_RGBA : ushort_RGBA;
        tiled_output *to =
            (c.psd ? open_tiled_psd : open_tiled_tiff)(name.c_str(), c.width, c.height, c.fmt, 0);
        bytes want(static_cast<size_t>(to->row_bytes) * c.height, 0);
        for (size_t i = 0; i < c.rects.size(); i++) {
            const irectangle r = c.rects[i];
            bytes image = sample_image(r.width, r.height, in, 30 + i);
            write_image(placed_writer(to->fd, r, tiles, c.width, 0, in, c.fmt, 0), image);
            place_by_hand(want, image, r, tiles, c.width, 0, in, c.fmt, 0);
        }
        (c.psd ? close_tiled_psd : close_tiled_tiff)(to);
        EXPECT_TRUE((c.psd ? merged_layers(name, c.fmt == uchar_RGB ? 8 : 16)
                           : read_all(tiff_reader(name.c_str()))) == want);
    }
}

// 2.2 GB of tiles: offsets and sizes past 32 bits.
TEST_F(TiledFileTest, TooLargeForClassicTiffBecomesBigTiff)
{
    const std::string name = path("large.tif");
    close_tiled_tiff(open_tiled_tiff(name.c_str(), 30000, 24000, uchar_RGB, 0));
    EXPECT_EQ(sh("head -c 4 " + shq(name)).out, std::string("II+\0", 4));
    EXPECT_GT(file_size(name), int64_t(INT32_MAX));
    unlink(name.c_str());
}

// A file that cannot be made gives null; a device has no length to give;
// a header that cannot be written ends the run.
TEST_F(TiledFileTest, FilesThatCannotBeWritten)
{
    EXPECT_EQ(open_tiled_tiff(path("none/x.tif").c_str(), 10, 10, uchar_RGB, 0), nullptr);
    close_tiled_tiff(open_tiled_tiff("/dev/null", 10, 10, uchar_RGB, 0));
    EXPECT_EXIT(close_tiled_tiff(open_tiled_tiff("/dev/full", 10, 10, uchar_RGB, 0)), ExitedWithCode(1),
                "Could not write tiff header.\n$");
}
