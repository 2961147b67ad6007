#include "format_testing.h"

#include "stitcher/formats/tiff.h"
#include "stitcher/formats/tiff2.h"
#include "stitcher/pipeline/fileio.h"

#include <unistd.h>

using ::testing::ExitedWithCode;

class TiffFile : public FormatTest
{
};

static const uint32_t all_formats[] = {uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA};

static std::string format_name(uint32_t fmt)
{
    switch (fmt) {
    case uchar_RGB:
        return "uchar_RGB";
    case uchar_RGBA:
        return "uchar_RGBA";
    case ushort_RGB:
        return "ushort_RGB";
    default:
        return "ushort_RGBA";
    }
}

// libtiff's own tools read the file without a word on standard error.
static void expect_libtiff_accepts(const std::string &file)
{
    run_result info = sh("tiffinfo -D " + shq(file));
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.err, "") << "tiffinfo on " << file;
    run_result copy = sh("tiffcp " + shq(file) + " " + shq(file + ".copy.tif"));
    EXPECT_EQ(copy.status, 0);
    EXPECT_EQ(copy.err, "") << "tiffcp on " << file;
}

TEST_F(TiffFile, RoundTripsAreBitExactStripedAndBig)
{
    // 300 rows cross the 128-row strips twice.
    const int w = 13, h = 300;
    for (uint32_t fmt : all_formats)
        for (int big = 0; big < 2; big++) {
            SCOPED_TRACE(format_name(fmt) + (big ? " BigTIFF" : " TIFF"));
            std::string name = path("rt.tif");
            bytes pixels = pattern(w, h, fmt, big);
            write_all(tiff_writer(name.c_str(), w, h, fmt, big), pixels);
            EXPECT_EQ(read_file(name).substr(0, 4), big ? std::string("II+\0", 4) : std::string("II*\0", 4));
            image_reader *ir = tiff_reader(name.c_str());
            ASSERT_NE(ir, nullptr);
            EXPECT_EQ(ir->pixformat, fmt);
            EXPECT_EQ(ir->width, w);
            EXPECT_EQ(ir->height, h);
            EXPECT_EQ(read_all(ir), pixels);
        }
}

TEST_F(TiffFile, WrittenFieldsAreTheStripedPackBitsLayout)
{
    REQUIRE_TOOL("tiffinfo");
    std::string name = path("f.tif");
    write_all(tiff_writer(name.c_str(), 5, 3, ushort_RGBA, 0), pattern(5, 3, ushort_RGBA));
    run_result r = sh("tiffinfo " + shq(name));
    EXPECT_NE(r.out.find("Compression Scheme: PackBits"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Rows/Strip: 128"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Bits/Sample: 16"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Samples/Pixel: 4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Extra Samples: 1<unassoc-alpha>"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Resolution"), std::string::npos) << r.out;
}

TEST_F(TiffFile, OutsideToolsReadWhatWeWrite)
{
    REQUIRE_TOOL("tiffinfo");
    REQUIRE_TOOL("convert");
    for (uint32_t fmt : all_formats)
        for (int big = 0; big < 2; big++) {
            SCOPED_TRACE(format_name(fmt) + (big ? " BigTIFF" : " TIFF"));
            std::string name = path(std::string("o") + std::to_string(fmt) + std::to_string(big) + ".tif");
            bytes pixels = pattern(13, 7, fmt, 3);
            write_all(tiff_writer(name.c_str(), 13, 7, fmt, big), pixels);
            expect_libtiff_accepts(name);
            bool alpha = fmt == uchar_RGBA || fmt == ushort_RGBA;
            int depth = fmt == ushort_RGB || fmt == ushort_RGBA ? 16 : 8;
            EXPECT_EQ(magick_pixels(name, alpha ? "rgba" : "rgb", depth), pixels);
        }
}

TEST_F(TiffFile, BigTiffByNameSaysSoAndByFlagDoesNot)
{
    testing::internal::CaptureStdout();
    write_all(tiff_writer(path("pano.btf").c_str(), 2, 2, uchar_RGB, 0), pattern(2, 2, uchar_RGB));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Trying big tiff.\n");
    EXPECT_EQ(read_file(path("pano.btf"))[2], '+');

    testing::internal::CaptureStdout();
    write_all(tiff_writer(path("pano.TF8").c_str(), 2, 2, uchar_RGB, 0), pattern(2, 2, uchar_RGB));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Trying big tiff.\n");

    testing::internal::CaptureStdout();
    write_all(tiff_writer(path("pano.tif").c_str(), 2, 2, uchar_RGB, 1), pattern(2, 2, uchar_RGB));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_file(path("pano.tif"))[2], '+');
}

TEST_F(TiffFile, WriterRefusesOtherPixformats)
{
    EXPECT_EQ(tiff_writer(path("x.tif").c_str(), 2, 2, float_RGBA, 0), nullptr);
    EXPECT_FALSE(file_exists(path("x.tif")));
}

TEST_F(TiffFile, WriteFailuresAreFatalAndNameTheFile)
{
    EXPECT_EXIT(
        {
            image_writer *iw = tiff_writer("/dev/full", 64, 64, uchar_RGB, 0);
            if (iw)
                write_all(iw, pattern(64, 64, uchar_RGB));
        },
        ExitedWithCode(1), "Could not (write|create) file /dev/full");
    std::string missing = path("no/folder/x.tif");
    EXPECT_EXIT(tiff_writer(missing.c_str(), 2, 2, uchar_RGB, 0), ExitedWithCode(1),
                "Could not create file .*no/folder/x\\.tif");
}

// ---- files made by outside tools ----

struct variant {
    const char *name;
    const char *tiffcp_options; // applied to an uncompressed 8-bit RGB file
    uint32_t pixformat;         // what the reader delivers
};

TEST_F(TiffFile, OutsideMadeVariantsDecodeExactly)
{
    REQUIRE_TOOL("convert");
    REQUIRE_TOOL("tiffcp");
    const int w = 37, h = 21;
    bytes rgb = pattern(w, h, uchar_RGB);
    std::string base = path("base.tif");
    magick_from_raw(rgb, w, h, "rgb", 8, "-compress None", base);
    const variant variants[] = {
        {"lzw", "-c lzw", uchar_RGB},           {"lzw-predictor", "-c lzw:2", uchar_RGB},
        {"deflate", "-c zip", uchar_RGB},       {"packbits", "-c packbits", uchar_RGB},
        {"big-endian", "-B -c lzw", uchar_RGB}, {"one-row-strips", "-r 1", uchar_RGB},
        {"tiled", "-t -w 16 -l 16", uchar_RGB}, {"tiled-lzw", "-t -w 16 -l 16 -c lzw", uchar_RGB},
        {"planar", "-p separate", uchar_RGB},
    };
    for (const variant &v : variants) {
        SCOPED_TRACE(v.name);
        std::string name = path(std::string(v.name) + ".tif");
        ASSERT_EQ(sh("tiffcp " + std::string(v.tiffcp_options) + " " + base + " " + name).status, 0);
        image_reader *ir = tiff_reader(name.c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->pixformat, v.pixformat);
        bytes got = read_all(ir);
        if (v.pixformat == uchar_RGBA) {
            for (size_t i = 3; i < got.size(); i += 4)
                ASSERT_EQ(got[i], 255) << "opaque alpha";
            got = rgb_of_rgba(got);
        }
        EXPECT_EQ(got, rgb);
    }
}

TEST_F(TiffFile, SixteenBitFilesKeepHostOrderSamples)
{
    REQUIRE_TOOL("convert");
    REQUIRE_TOOL("tiffcp");
    bytes rgba16 = pattern(9, 5, ushort_RGBA);
    magick_from_raw(rgba16, 9, 5, "rgba", 16, "-compress None", path("s.tif"));
    ASSERT_EQ(sh("tiffcp -B -c zip " + path("s.tif") + " " + path("s-be.tif")).status, 0);
    for (const char *name : {"s.tif", "s-be.tif"}) {
        SCOPED_TRACE(name);
        image_reader *ir = tiff_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->pixformat, ushort_RGBA);
        EXPECT_EQ(read_all(ir), rgba16);
    }
}

TEST_F(TiffFile, GreyAndPaletteFilesAreDecodedWhole)
{
    REQUIRE_TOOL("convert");
    const int w = 17, h = 9;
    bytes rgb = pattern(w, h, uchar_RGB);
    magick_from_raw(rgb, w, h, "rgb", 8, "-colorspace Gray", path("grey.tif"));
    magick_from_raw(rgb, w, h, "rgb", 8, "-colors 16 -type Palette", path("palette.tif"));
    for (const char *name : {"grey.tif", "palette.tif"}) {
        SCOPED_TRACE(name);
        image_reader *ir = tiff_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->pixformat, uchar_RGBA);
        bytes got = read_all(ir), want = magick_pixels(path(name), "rgba", 8);
        ASSERT_EQ(got.size(), want.size());
        // libtiff scales 16-bit colormap entries by >> 8, ImageMagick rounds.
        for (size_t i = 0; i < got.size(); i++)
            ASSERT_LE(std::abs(got[i] - want[i]), 1) << "byte " << i;
    }
}

TEST_F(TiffFile, WholeImageAndBandReadersAcceptACallerBuffer)
{
    REQUIRE_TOOL("tiffcp");
    REQUIRE_TOOL("convert");
    bytes rgb = pattern(20, 4, uchar_RGB);
    write_all(tiff_writer(path("a.tif").c_str(), 20, 4, uchar_RGB, 0), rgb);
    ASSERT_EQ(sh("tiffcp -t -w 16 -l 16 " + path("a.tif") + " " + path("t.tif")).status, 0);
    magick_from_raw(rgb, 20, 4, "rgb", 8, "-colorspace Gray", path("g.tif"));
    for (const char *name : {"t.tif", "g.tif"}) {
        SCOPED_TRACE(name);
        image_reader *ir = tiff_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr);
        bytes all = read_all(ir);
        ir = tiff_reader(path(name).c_str());
        size_t len = image_row_length(ir);
        bytes row(len);
        EXPECT_EQ(read_row(ir, 2, row.data()), row.data());
        EXPECT_EQ(row, bytes(all.begin() + 2 * len, all.begin() + 3 * len));
        close_image_reader(ir);
    }
}

TEST_F(TiffFile, SamplesThatAreNotUnsignedIntegersAreRefusedCleanly)
{
    REQUIRE_TOOL("convert");
    bytes rgb = pattern(8, 8, uchar_RGB);
    // ImageMagick complains about a predictor tag here but writes the files.
    magick_from_raw(rgb, 8, 8, "rgb", 8, "-define quantum:format=floating-point -depth 32", path("f32.tif"),
                    true);
    magick_from_raw(rgb, 8, 8, "rgb", 8, "-define quantum:format=floating-point -depth 16", path("f16.tif"),
                    true);
    // Signed samples: libtiff's RGBA decoder would read them as unsigned.
    magick_from_raw(pattern(8, 8, ushort_RGB), 8, 8, "rgb", 16,
                    "-define quantum:format=signed -compress None", path("s16.tif"));
    ASSERT_NE(sh("tiffinfo " + path("s16.tif")).out.find("signed integer"), std::string::npos);
    for (const char *name : {"f32.tif", "f16.tif", "s16.tif"})
        expect_refused(tiff_reader, path(name));
}

TEST_F(TiffFile, DamagedFilesAreRefusedWithTheirName)
{
    write_file(path("empty.tif"), "");
    write_file(path("text.tif"), "This is a text file that only pretends to be a TIFF image.\n");
    write_file(path("header-only.tif"), std::string("II*\0\x08\0\0\0", 8));
    EXPECT_EQ(tiff_reader(path("missing.tif").c_str()), nullptr);
    for (const char *name : {"empty.tif", "text.tif", "header-only.tif"})
        expect_refused(tiff_reader, path(name));
}

TEST_F(TiffFile, HugeClaimedSizeIsRefusedBeforeTheWholeImageIsAllocated)
{
    REQUIRE_TOOL("convert");
    REQUIRE_TOOL("tiffset");
    // A 10 x 10 grey file (decoded whole) that says it is 300000 x 300000:
    // 360 GB of RGBA.
    magick_from_raw(pattern(10, 10, uchar_RGB), 10, 10, "rgb", 8, "-colorspace Gray", path("g.tif"));
    ASSERT_EQ(sh("tiffcp -r 1000000 " + path("g.tif") + " " + path("huge.tif") +
                 " && tiffset -s 256 300000 " + path("huge.tif") + " && tiffset -s 257 300000 " +
                 path("huge.tif"))
                  .status,
              0);
    expect_refused(tiff_reader, path("huge.tif"));
}

TEST_F(TiffFile, TruncatedOrCorruptTiledImageIsRefusedOrFatal)
{
    REQUIRE_TOOL("tiffcp");
    std::string base = path("b.tif"), tiled = path("t.tif");
    write_all(tiff_writer(base.c_str(), 64, 64, uchar_RGB, 0), smooth(64, 64));
    ASSERT_EQ(sh("tiffcp -t -w 16 -l 16 -c lzw " + base + " " + tiled).status, 0);
    std::string file = read_file(tiled);
    // The directory follows the tiles: cutting the file loses it.
    write_file(path("cut.tif"), file.substr(0, file.size() / 2));
    expect_refused(tiff_reader, path("cut.tif"));
    // Tile data that is no LZW code at all, the directory kept: found when
    // the tiles are decoded, with one message.
    std::string corrupt = file;
    std::fill(corrupt.begin() + 8, corrupt.begin() + 8 + static_cast<ptrdiff_t>(file.size() / 4), '\xff');
    write_file(path("corrupt.tif"), corrupt);
    EXPECT_EXIT(read_all(tiff_reader(path("corrupt.tif").c_str())), ExitedWithCode(1),
                "^Could not read TIFF image .*corrupt\\.tif: [^\n]+\\.\n$");
}

TEST_F(TiffFile, CutUncompressedStripIsRefusedAtOpen)
{
    // An uncompressed file with its directory first, cut in the middle of
    // row 5: the strip lies past the end of the file. Rows used to come back
    // black and were blended in.
    const int w = 1000, h = 10;
    bytes pixels = pattern(w, h, uchar_RGB);
    ppm_data *pd = open_tiff2(path("cut.tif").c_str(), w, h, uchar_RGB);
    ASSERT_EQ(pwrite_full(pd->fd, pixels.data(), pixels.size(), pd->header_len), 0);
    int64_t header = pd->header_len;
    close_tiff2(pd);
    std::string file = read_file(path("cut.tif"));
    write_file(path("cut.tif"), file.substr(0, static_cast<size_t>(header + 5 * 3000 + 70)));
    expect_refused(tiff_reader, path("cut.tif"));
}

// ---- the positioned-write TIFF ----

TEST_F(TiffFile, PositionedTiffHasItsFullLengthAndReadsBack)
{
    for (uint32_t fmt : all_formats) {
        SCOPED_TRACE(format_name(fmt));
        const int w = 11, h = 6;
        std::string name = path("p" + std::to_string(fmt) + ".tif");
        ppm_data *pd = open_tiff2(name.c_str(), w, h, fmt);
        EXPECT_EQ(pd->header_len % 16, 0);
        bytes pixels = pattern(w, h, fmt);
        size_t row = static_cast<size_t>(pd->row_bytes);
        // Rows 1 and 3 only, written back to front.
        for (int y : {3, 1})
            ASSERT_EQ(pwrite_full(pd->fd, pixels.data() + row * y, row, pd->header_len + pd->row_bytes * y),
                      0);
        int64_t full = pd->header_len + pd->row_bytes * h;
        EXPECT_EQ(close_tiff2(pd), 0);
        EXPECT_EQ(static_cast<int64_t>(read_file(name).size()), full);

        bytes expected(pixels.size(), 0);
        for (int y : {1, 3})
            std::copy(pixels.begin() + static_cast<ptrdiff_t>(row * y),
                      pixels.begin() + static_cast<ptrdiff_t>(row * (y + 1)),
                      expected.begin() + static_cast<ptrdiff_t>(row * y));
        image_reader *ir = tiff_reader(name.c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->pixformat, fmt);
        EXPECT_EQ(read_all(ir), expected);
        if (have_tool("tiffinfo"))
            expect_libtiff_accepts(name);
    }
}

TEST_F(TiffFile, PositionedTiffRefusesWhatItCannotHold)
{
    EXPECT_EXIT(open_tiff2(path("x.tif").c_str(), 40000, 40000, ushort_RGBA), ExitedWithCode(1),
                "too large for file");
    EXPECT_EXIT(open_tiff2(path("x.tif").c_str(), 4, 4, float_RGBA), ExitedWithCode(1),
                "Pixel format 1 not supported");
}
