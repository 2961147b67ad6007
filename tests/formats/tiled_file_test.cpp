#include "stitcher/formats/tiff.h"
#include "tests/formats/tiled_testing.h"

#include <gtest/gtest.h>

#include <unistd.h>

using ::testing::ExitedWithCode;

class TiledFileTest : public FormatTest
{
};

// Sizes of one tile, one tile row, one tile column and sizes that are no
// multiple of the tile, 8 and 16 bits, TIFF and BigTIFF: tiffinfo and tiffcp
// read them without a warning, tiffcp's copy, ImageMagick and our reader give
// every pixel back, the file is exactly header and tiles, and pixels no image
// wrote are 0.
TEST_F(TiledFileTest, ReadersGetEveryPixelBack)
{
    REQUIRE_TOOL("tiffinfo");
    REQUIRE_TOOL("tiffcp");
    REQUIRE_TOOL("convert");
    struct {
        int width, height;
        uint32_t fmt;
        int tiles_across, tiles_down;
    } cases[] = {{100, 80, uchar_RGB, 1, 1},  {1000, 200, uchar_RGB, 3, 1}, {200, 1000, uchar_RGB, 1, 3},
                 {700, 530, uchar_RGB, 2, 2}, {600, 530, ushort_RGB, 2, 2}, {1040, 90, ushort_RGB, 3, 1}};
    for (auto c : cases)
        for (int big : {0, 1}) {
            const std::string name = path(std::to_string(c.width) + "x" + std::to_string(c.height) + ".tif");
            const int bits = c.fmt == uchar_RGB ? 8 : 16;
            tiled_output *to = open_tiled_tiff(name.c_str(), c.width, c.height, c.fmt, big);
            bytes want = write_strips(to, c.fmt == uchar_RGB ? uchar_RGBA : ushort_RGBA, c.width + big);
            testing::internal::CaptureStderr();
            close_tiled_tiff(to);
            std::string report = testing::internal::GetCapturedStderr();
            run_result info = sh("tiffinfo " + shq(name)),
                       cp = sh("tiffcp -s " + shq(name) + " " + shq(name + ".s"));
            EXPECT_TRUE(info.status == 0 && info.err == "" && cp.status == 0 && cp.err == "")
                << info.err << cp.err;
            EXPECT_EQ(read_file(name).substr(0, 3), big ? "II+" : "II*");
            int64_t tw = 0, th = 0;
            size_t at = info.out.find("Tile Width: ");
            EXPECT_EQ(sscanf(info.out.c_str() + std::min(at, info.out.size()),
                             "Tile Width: %ld Tile Length: %ld", &tw, &th),
                      2)
                << info.out;
            EXPECT_NE(info.out.find("Bits/Sample: " + std::to_string(bits) + "\n"), std::string::npos);
            EXPECT_EQ((c.width + tw - 1) / std::max<int64_t>(tw, 1), c.tiles_across) << name;
            EXPECT_EQ((c.height + th - 1) / std::max<int64_t>(th, 1), c.tiles_down) << name;
            const int64_t n = c.tiles_across * c.tiles_down, header = big ? 292 + 16 * n : 196 + 8 * n;
            const int64_t size = header + n * tw * th * get_bytes_per_pixel(c.fmt);
            EXPECT_EQ(file_size(name), size);
            EXPECT_EQ(report, "Writing partial tiles.....done.\nWriting empty tiles.....done.\n"
                              "Writing tiff header.....done.\nWrote " +
                                  std::string(big ? "BigTIFF" : "TIFF") + "-file. Size " +
                                  std::to_string(size / 1000000) + " MBytes.\n");
            EXPECT_TRUE(read_all(tiff_reader(name.c_str())) == want) << name;
            EXPECT_TRUE(read_all(tiff_reader((name + ".s").c_str())) == want) << "tiffcp of " << name;
            EXPECT_TRUE(magick_pixels(name, "rgb", bits) == want) << "ImageMagick, " << name;
        }
}

// Overlaps of 4 pixels or less get no blend tile, so both images write
// them: every pixel only one image wrote is kept, and the later image wins
// where both wrote. And in a panorama that wraps round, runs that cross the
// right edge go on at column 0.
TEST_F(TiledFileTest, PlacementsKeepEveryPixel)
{
    struct {
        int width, wrap;
        std::vector<irectangle> rects;
    } cases[] = {{116, 0, {{0, 0, 59, 300}, {58, 0, 58, 300}, {48, 100, 20, 50}}},
                 {600, 0, {{0, 0, 304, 300}, {300, 0, 300, 300}, {290, 100, 20, 50}}},
                 {600, 0, {{0, 0, 301, 300}, {300, 0, 300, 300}}},
                 {700, 700, {{-150, 0, 400, 120}, {500, 100, 350, 150}, {1300, 250, 200, 50}}}};
    for (const auto &c : cases) {
        std::string name = path("placed.tif");
        tiled_output *to = open_tiled_tiff(name.c_str(), c.width, 300, ushort_RGB, 0);
        bytes want(static_cast<size_t>(to->row_bytes) * 300, 0);
        std::vector<irectangle> tiles = {{5, 5, 10, 10}};
        for (size_t i = 0; i < c.rects.size(); i++) {
            irectangle r = c.rects[i];
            bytes image = sample_image(r.width, r.height, ushort_RGBA, 30 + i);
            write_image(placed_writer(to->fd, r, tiles, c.width, c.wrap, ushort_RGBA, ushort_RGB, 0), image);
            place_by_hand(want, image, r, tiles, c.width, c.wrap, ushort_RGBA, ushort_RGB, 0);
        }
        close_tiled_tiff(to);
        EXPECT_TRUE(read_all(tiff_reader(name.c_str())) == want) << "width " << c.width << " wrap " << c.wrap;
    }
}

TEST_F(TiledFileTest, TileMemoryIsReportedAndGivenBack)
{
    std::string name = path("mem.tif");
    tiled_output *to = open_tiled_tiff(name.c_str(), 2000, 1500, uchar_RGB, 0);
    irectangle half = {0, 0, 1000, 1500};
    write_image(placed_writer(to->fd, half, {}, 2000, 0, uchar_RGB, uchar_RGB, 0),
                sample_image(1000, 1500, uchar_RGB, 1));
    // Tiles of 400 x 752: tile column 2 is half written in both tile rows,
    // two tiles of 0.9 MB.
    testing::internal::CaptureStderr();
    report_mem_tiles();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tile memory: 1 MBytes\n");
    close_tiled_tiff(to);
    testing::internal::CaptureStderr();
    report_mem_tiles();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tile memory: 0 MBytes\n");
}

TEST_F(TiledFileTest, TooLargeForClassicTiffBecomesBigTiff)
{
    std::string name = path("large.tif");
    testing::internal::CaptureStderr();
    tiled_output *to = open_tiled_tiff(name.c_str(), 30000, 24000, uchar_RGB, 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("WARNING: Image too large for TIFF format: 2", 0), 0u) << err;
    EXPECT_NE(
        err.find(
            " MBytes.\nWARNING: Using BigTIFF format. This may not be readable by standard imagereaders.\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(to->big, 1);
    close_tiled_tiff(to);
    char magic[4] = {};
    FILE *f = fopen(name.c_str(), "rb");
    EXPECT_EQ(fread(magic, 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(std::string(magic, 4), std::string("II+\0", 4));
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
