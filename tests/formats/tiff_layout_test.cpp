// A file's pixels do not depend on how it is laid out: strips or tiles,
// contiguous or planar, any codec, any Orientation field. Colour comes back
// as stored (unassociated), never multiplied by alpha.
#include "format_testing.h"

#include "stitcher/formats/tiff.h"
#include "tiff_craft.h"

class TiffLayout : public FormatTest
{
};

// An uncompressed planar file of interleaved pixels (tiffcp makes planar
// files of 8-bit samples only), one strip per plane.
static std::string planar_tiff(const bytes &pixels, uint32_t w, uint32_t h, uint32_t fmt)
{
    const uint32_t samples = get_bytes_per_pixel(fmt) / get_bytes_per_channel(fmt),
                   size = get_bytes_per_channel(fmt), plane = w * h * size;
    std::string data;
    for (uint32_t s = 0; s < samples; s++)
        for (size_t i = s * size; i < pixels.size(); i += samples * size)
            data.append(reinterpret_cast<const char *>(&pixels[i]), size);
    std::vector<tiff_entry> f = one_strip_fields(w, h, static_cast<uint16_t>(samples), 2, plane);
    set_entry(f, {258, FIELD_SHORT, std::vector<uint32_t>(samples, 8 * size)});
    set_entry(f, {273, FIELD_LONG, {8, 8 + plane, 8 + 2 * plane, 8 + 3 * plane}});
    set_entry(f, {279, FIELD_LONG, std::vector<uint32_t>(samples, plane)});
    f.push_back({284, FIELD_SHORT, {2}});
    if (samples == 4)
        f.push_back({338, FIELD_SHORT, {2}}); // unassociated alpha
    return craft_tiff(f, data);
}

TEST_F(TiffLayout, EveryLayoutGivesTheStoredPixels)
{
    REQUIRE_TOOL("tiffcp");
    REQUIRE_TOOL("convert");
    // The command, the file it copies (striped or planar) and its options after
    // the file. tiffcp makes planar files of 8-bit samples only, and garbles
    // planar 16-bit tiles: ImageMagick makes those.
    const char *layouts[][3] = {
        {"tiffcp -c none -r 1", "s.tif", ""},
        {"tiffcp -t -w 16 -l 16", "s.tif", ""},
        {"tiffcp -t -w 16 -l 32 -c lzw", "s.tif", ""},
        {"tiffcp -c lzw:2 -B", "s.tif", ""},
        {"tiffcp -c none", "p.tif", ""},
        {"tiffcp -c zip -r 3 -B", "p.tif", ""},
        {"convert", "s.tif", "-interlace plane -define tiff:tile-geometry=16x16 -compress lzw"}};
    for (uint32_t fmt : {uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA}) {
        // 37 x 21 cuts tiles at both edges. The first pixel is a partly
        // transparent red that premultiplying would darken.
        bytes pixels = pattern(37, 21, fmt, static_cast<int>(fmt));
        if (fmt == uchar_RGBA)
            std::copy_n(bytes{255, 0, 8, 8}.begin(), 4, pixels.begin());
        write_all(tiff_writer(path("s.tif").c_str(), 37, 21, fmt, 0), pixels);
        write_file(path("p.tif"), planar_tiff(pixels, 37, 21, fmt));
        for (const auto &l : layouts) {
            SCOPED_TRACE(std::to_string(fmt) + " " + l[0] + " " + l[1] + " " + l[2]);
            ASSERT_EQ(sh(std::string(l[0]) + " " + path(l[1]) + " " + l[2] + " " + path("l.tif")).status, 0);
            image_reader *ir = tiff_reader(path("l.tif").c_str());
            ASSERT_NE(ir, nullptr);
            EXPECT_EQ(ir->pixformat, fmt);
            EXPECT_EQ(read_all(ir), pixels);
        }
    }
}

TEST_F(TiffLayout, OrientationFieldIsNotApplied)
{
    REQUIRE_TOOL("tiffcp");
    REQUIRE_TOOL("tiffset");
    REQUIRE_TOOL("convert");
    bytes rgb = pattern(19, 7, uchar_RGB);
    write_all(tiff_writer(path("striped.tif").c_str(), 19, 7, uchar_RGB, 0), rgb);
    ASSERT_EQ(sh("tiffcp -t -w 16 -l 16 " + path("striped.tif") + " " + path("tiled.tif")).status, 0);
    magick_from_raw(rgb, 19, 7, "rgb", 8, "-colorspace Gray -compress None", path("grey.tif"));
    // Scanlines, bands of tiles, and a whole image through the RGBA interface.
    for (const char *name : {"striped.tif", "tiled.tif", "grey.tif"}) {
        image_reader *ir = tiff_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr);
        bytes stored = read_all(ir);
        for (int orientation : {2, 3, 4, 8}) {
            SCOPED_TRACE(std::string(name) + " orientation " + std::to_string(orientation));
            ASSERT_EQ(sh("tiffcp " + path(name) + " " + path("o.tif") + " && tiffset -s 274 " +
                         std::to_string(orientation) + " " + path("o.tif"))
                          .status,
                      0);
            ir = tiff_reader(path("o.tif").c_str());
            ASSERT_NE(ir, nullptr);
            EXPECT_EQ(ir->width, 19);
            EXPECT_EQ(read_all(ir), stored);
        }
    }
}
