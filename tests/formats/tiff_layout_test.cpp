// A file's pixels do not depend on how it is laid out: strips or tiles,
// contiguous or planar, any codec, any Orientation field. Colour comes back
// as stored (unassociated), never multiplied by alpha.
#include "format_testing.h"

#include "stitcher/formats/tiff.h"

class TiffLayout : public FormatTest
{
};

TEST_F(TiffLayout, EveryLayoutGivesTheStoredPixels)
{
    REQUIRE_TOOL("tiffcp");
    REQUIRE_TOOL("tiffset");
    REQUIRE_TOOL("convert");
    // tiffcp makes planar files of 8-bit samples only, and garbles planar
    // 16-bit tiles: ImageMagick makes the planar ones.
    const char *layouts[] = {
        "tiffcp -c lzw:2 -r 1 -B", "tiffcp -t -w 16 -l 32 -c lzw",
        "convert -interlace plane -compress zip -define tiff:rows-per-strip=3 -define tiff:endian=msb",
        "convert -interlace plane -define tiff:tile-geometry=16x16 -compress lzw"};
    for (uint32_t fmt : {uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA}) {
        // 37 x 21 cuts tiles at both edges. The first pixel is a partly
        // transparent red that premultiplying would darken.
        bytes pixels = pattern(37, 21, fmt, static_cast<int>(fmt));
        if (fmt == uchar_RGBA)
            std::copy_n(bytes{255, 0, 8, 8}.begin(), 4, pixels.begin());
        write_all(tiff_writer(path("s.tif").c_str(), 37, 21, fmt, 0), pixels);
        for (std::string l : layouts) {
            SCOPED_TRACE(std::to_string(fmt) + " " + l);
            // tiffcp takes its options first, ImageMagick after the file.
            const size_t cut = l.rfind("tiffcp", 0) == 0 ? l.size() : 7;
            ASSERT_EQ(sh(l.substr(0, cut) + " " + path("s.tif") + " " + l.substr(cut) + " " + path("l.tif") +
                         " && tiffset -s 274 8 " + path("l.tif"))
                          .status,
                      0);
            image_reader *ir = tiff_reader(path("l.tif").c_str());
            ASSERT_NE(ir, nullptr);
            EXPECT_EQ(ir->pixformat, fmt);
            EXPECT_EQ(read_all(ir), pixels);
        }
    }
}

// The RGBA interface that decodes grey images would turn them by the field.
TEST_F(TiffLayout, OrientationFieldIsNotApplied)
{
    REQUIRE_TOOL("tiffset");
    REQUIRE_TOOL("convert");
    magick_from_raw(pattern(19, 7, uchar_RGB), 19, 7, "rgb", 8, "-colorspace Gray", path("grey.tif"));
    const bytes stored = read_all(tiff_reader(path("grey.tif").c_str()));
    for (int orientation : {3, 8}) {
        ASSERT_EQ(sh("tiffset -s 274 " + std::to_string(orientation) + " " + path("grey.tif")).status, 0);
        image_reader *ir = tiff_reader(path("grey.tif").c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->width, 19);
        EXPECT_EQ(read_all(ir), stored) << orientation;
    }
}
