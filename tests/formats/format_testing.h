// Images, files and outside tools shared by the image-file tests.
#pragma once
#include "chain_testing.h"
#include "stitcher/formats/tiff.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A shell command line; the tools it names must be on the PATH.
inline run_result sh(const std::string &command, const std::string &input = "")
{
    return run_program({"/bin/sh", "-c", command}, input);
}

inline bool have_tool(const std::string &name)
{
    return sh("command -v " + name + " >/dev/null").status == 0;
}

#define REQUIRE_TOOL(name)                                                                                   \
    do {                                                                                                     \
        if (!have_tool(name))                                                                                \
            GTEST_SKIP() << name << " is not installed";                                                     \
    } while (0)

inline std::string shq(const std::string &s) { return "'" + s + "'"; }

// Bytes of a test image: every sample differs from its neighbours, so that a
// swapped channel, row or byte shows.
inline bytes pattern(int width, int height, uint32_t fmt, int seed = 0)
{
    size_t n = static_cast<size_t>(width) * height * get_bytes_per_pixel(fmt);
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<unsigned char>((i * 37 + i / 7 + static_cast<size_t>(seed) * 101 + 11) & 255);
    return b;
}

// A smooth picture (gradients), which JPEG keeps within a small error.
inline bytes smooth(int width, int height)
{
    bytes b(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            unsigned char *p = &b[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(40 + x * 160 / width);
            p[1] = static_cast<unsigned char>(60 + y * 150 / height);
            p[2] = static_cast<unsigned char>(100 + (x + y) * 100 / (width + height));
        }
    return b;
}

// Every row of the reader, read without a buffer, then the reader closed.
inline bytes read_all(image_reader *ir)
{
    size_t len = image_row_length(ir);
    bytes out;
    out.reserve(len * static_cast<size_t>(ir->height));
    for (int y = 0; y < ir->height; y++) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, y, nullptr));
        out.insert(out.end(), p, p + len);
    }
    close_image_reader(ir);
    return out;
}

inline void write_all(image_writer *iw, const bytes &pixels)
{
    size_t len = image_row_length(iw);
    bytes row(len);
    for (int y = 0; y < iw->height; y++) {
        std::copy(pixels.begin() + static_cast<ptrdiff_t>(len * y),
                  pixels.begin() + static_cast<ptrdiff_t>(len * (y + 1)), row.begin());
        write_row(iw, row.data());
    }
    close_image_writer(iw);
}

inline bytes to_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

// The file's pixels as ImageMagick decodes them: "rgb" or "rgba", 8 or 16
// bits (16-bit samples little-endian).
inline bytes magick_pixels(const std::string &path, const std::string &map, int depth)
{
    run_result r =
        sh("convert " + shq(path) + " -depth " + std::to_string(depth) + " -endian LSB " + map + ":-");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "ImageMagick complained about " << path;
    return to_bytes(r.out);
}

// Makes a file with ImageMagick from raw pixels ("rgb" or "rgba"); with
// `complains`, ImageMagick may report a failure as long as it writes the file.
inline void magick_from_raw(const bytes &pixels, int width, int height, const std::string &map, int depth,
                            const std::string &options, const std::string &path, bool complains = false)
{
    std::string raw = path + ".raw";
    write_file(raw, std::string(pixels.begin(), pixels.end()));
    run_result r =
        sh("convert -size " + std::to_string(width) + "x" + std::to_string(height) + " -depth " +
           std::to_string(depth) + " -endian LSB " + map + ":" + shq(raw) + " " + options + " " + shq(path));
    if (complains)
        ASSERT_TRUE(file_exists(path)) << r.err;
    else
        ASSERT_EQ(r.status, 0) << r.err;
}

// RGBA pixels with the alpha dropped.
inline bytes rgb_of_rgba(const bytes &rgba)
{
    bytes rgb;
    for (size_t i = 0; i + 3 < rgba.size(); i += 4)
        rgb.insert(rgb.end(), rgba.begin() + static_cast<ptrdiff_t>(i),
                   rgba.begin() + static_cast<ptrdiff_t>(i + 3));
    return rgb;
}

// Tests of one file format: a scratch folder per test, and the chain count
// checked at the end.
class FormatTest : public ChainTest
{
  protected:
    std::string dir = scratch_dir();
    std::string path(const std::string &name) { return dir + "/" + name; }
    // The RGB pixels as striped.tif of ours, tiled.tif in tiles of 16 x 16,
    // and grey.tif of ImageMagick's: the three ways a file reaches the reader.
    void striped_tiled_grey(const bytes &rgb, int w, int h)
    {
        write_all(tiff_writer(path("striped.tif").c_str(), w, h, uchar_RGB, 0), rgb);
        ASSERT_EQ(sh("tiffcp -t -w 16 -l 16 " + path("striped.tif") + " " + path("tiled.tif")).status, 0);
        magick_from_raw(rgb, w, h, "rgb", 8, "-colorspace Gray", path("grey.tif"));
    }
};

// The reader refuses the file (null) with a message that names it.
template <typename Open> void expect_refused(Open open, const std::string &file)
{
    testing::internal::CaptureStderr();
    image_reader *ir = open(file.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ir, nullptr) << file;
    if (ir)
        close_image_reader(ir);
    EXPECT_NE(err.find(file), std::string::npos) << err;
}
