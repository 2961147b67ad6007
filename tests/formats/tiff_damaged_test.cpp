// Damaged and hand-made TIFF files: what the file cannot hold is refused
// before anything is allocated, data that cannot be decoded ends the run
// with one message naming the file.
#include "format_testing.h"

#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/memory.h"
#include "tiff_craft.h"

#include <tiffio.h>

using ::testing::ExitedWithCode;

class DamagedTiff : public FormatTest
{
  protected:
    void TearDown() override { set_available_memory(SIZE_MAX); }
};

// What is too much for the file or the memory is refused at open, with the
// file's name, before anything of that size is allocated.
TEST_F(DamagedTiff, WhatTheFileCannotHoldIsRefusedBeforeAllocation)
{
    const char *shorter = "an uncompressed strip or tile is shorter than its rows";
    const auto rgb = [](uint32_t w, uint32_t h, uint32_t bytes) {
        return one_strip_fields(w, h, 3, 2, bytes);
    };
    // One 16 x 16 tile of 100 bytes.
    const std::vector<tiff_entry> tiled = {
        {256, FIELD_LONG, {16}}, {257, FIELD_LONG, {16}}, {258, FIELD_SHORT, {8, 8, 8}},
        {262, FIELD_SHORT, {2}}, {277, FIELD_SHORT, {3}}, {322, FIELD_LONG, {16}},
        {323, FIELD_LONG, {16}}, {324, FIELD_LONG, {8}},  {325, FIELD_LONG, {100}}};
    // Two strips of 15 bytes: libtiff itself recomputes the count of a
    // single uncompressed strip that looks too short.
    const auto halves = [](std::vector<tiff_entry> f, uint32_t height) {
        return with(
            f, {{273, FIELD_LONG, {8, 23}}, {278, FIELD_LONG, {height / 2}}, {279, FIELD_LONG, {15, 15}}});
    };
    const tiff_entry lzw = {259, FIELD_SHORT, {5}};
    const struct {
        const char *name;
        std::vector<tiff_entry> fields;
        size_t data;              // bytes of it
        const char *reason;       // in the refusal message
        size_t memory = SIZE_MAX; // the bound while it is opened
    } files[] = {
        // On 32-bit x86 libtiff's own sizes are 32-bit: it refuses the row first.
        {"width-2147483647.tif", halves(rgb(2147483647u, 2, 0), 2), 30,
         sizeof(tmsize_t) == 8 ? shorter : "Integer overflow"},
        {"tile-short.tif", tiled, 100, shorter},
        {"single-strip-cut.tif", rgb(40000, 40000, 30), 30, "past the end of the file"},
        {"lzw-strip-missing.tif", with(halves(rgb(13, 6, 0), 6), {lzw, {279, FIELD_LONG, {15, 0}}}), 30,
         "a strip or tile is missing"},
        // Compressed data may hold anything: the bound decides.
        {"lzw-image-beyond-bound.tif", with(rgb(4000, 4000, 30), {lzw}), 30, "larger than the memory",
         size_t(32) << 20},
        {"lzw-grey-beyond-bound.tif", with(one_strip_fields(4000, 4000, 1, 1, 30), {lzw}), 30,
         "too large to be decoded whole", size_t(32) << 20},
        // As CMYK JPEG is: the RGBA interface would convert it naively.
        {"cmyk.tif", one_strip_fields(2, 2, 4, 5, 16), 16, "CMYK is not supported"},
    };
    for (const auto &c : files) {
        SCOPED_TRACE(c.name);
        write_file(path(c.name), craft_tiff(c.fields, std::string(c.data, 'x')));
        set_available_memory(c.memory);
        testing::internal::CaptureStderr();
        const bool refused = tiff_reader(path(c.name).c_str()) == nullptr;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(refused && err.find(path(c.name)) != err.npos && err.find(c.reason) != err.npos) << err;
    }
}

// Strips or tiles whose compressed data is damaged while the directory is
// intact: found only when they are decoded.
TEST_F(DamagedTiff, UndecodableDataEndsTheRunWithOneMessage)
{
    REQUIRE_TOOL("tiffcp");
    write_all(tiff_writer(path("b.tif").c_str(), 64, 64, uchar_RGB, 0), smooth(64, 64));
    for (const char *layout : {"-c lzw -r 8", "-c lzw -p separate", "-c zip -t -w 16 -l 16"}) {
        SCOPED_TRACE(layout);
        ASSERT_EQ(sh(std::string("tiffcp ") + layout + " " + path("b.tif") + " " + path("d.tif")).status, 0);
        std::string file = read_file(path("d.tif"));
        // The data comes first; the second quarter of it becomes garbage.
        std::fill(file.begin() + static_cast<ptrdiff_t>(file.size() / 8),
                  file.begin() + static_cast<ptrdiff_t>(file.size() / 4), '\xff');
        write_file(path("d.tif"), file);
        EXPECT_EXIT(read_all(tiff_reader(path("d.tif").c_str())), ExitedWithCode(1),
                    "^Could not read TIFF image .*d\\.tif: [^\n]+\\.\n$");
    }
}
