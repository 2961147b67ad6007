// Destination images, blend images and the writer thread's merge: every
// pixel reaches one place, tiles come back to their partner across a wrapping
// seam. That the outputs come out right is the end-to-end tests' part.
#include "chain_testing.h"
#include "stitcher/driver/dest_image.h"
#include "stitcher/driver/dest_rectangles.h"
#include "stitcher/driver/merge.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/spill.h"
#include "stitcher/pipeline/tmp_image.h"
#include "stitcher/script/image_desc.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// Images of a job in one array, freed with their tile arrays.
struct job {
    std::vector<image_desc> images;
    pano_file pano = {};
    job(int n, int width, int height, int wrap = 0) : images(static_cast<size_t>(n))
    {
        pano.pixformat = uchar_RGB, pano.width = width, pano.height = height, pano.wrap = wrap;
    }
    ~job()
    {
        for (image_desc &d : images)
            free_image_desc(&d);
    }
    image_desc &place(int i, irectangle r)
    {
        set_dest_image(&images[static_cast<size_t>(i)], i, uchar_RGB, r);
        return images[static_cast<size_t>(i)];
    }
};

// Pixel (x, y) of image i: never zero, different for every image.
unsigned char value(int i, int x, int y)
{
    return static_cast<unsigned char>(1 + (i * 71 + x * 7 + y * 13) % 250);
}

// Writes image i's destination rectangle, opaque, and marks it done.
void write_image(job &j, int i)
{
    image_desc &d = j.images[static_cast<size_t>(i)];
    image_writer *iw = dest_writer(&d, &j.pano);
    bytes row(static_cast<size_t>(d.dest_rect.width) * 4, 255);
    for (int y = 0; y < d.dest_rect.height; y++) {
        for (int x = 0; x < d.dest_rect.width; x++)
            std::fill_n(&row[static_cast<size_t>(x) * 4], 3, value(i, x, y));
        write_row(iw, row.data());
    }
    close_image_writer(iw);
    set_image_done(&d, 1);
}

// The rows a reader gives (a temporary image's are zero outside its runs);
// it is closed, and a temporary image released.
std::vector<bytes> rows_of(image_reader *ir)
{
    std::vector<bytes> rows;
    bytes buf(image_row_length(ir));
    for (int y = 0; y < ir->height; y++)
        rows.push_back(row_of(read_row(ir, y, buf.data()), buf.size()));
    close_image_reader(ir);
    return rows;
}

// Row y of what merge_alpha makes of images 0 .. n - 1 over a panorama.
bytes merged_row(job &j, int n, int y, int wrap)
{
    recording_sink sink;
    image_writer *w = recording_writer(&sink, j.pano.width, j.pano.height, uchar_RGB);
    merge_alpha(j.images.data(), {0, 0, 0, 0}, n, w, wrap);
    close_image_writer(w);
    return sink.rows.at(static_cast<size_t>(y));
}

class DestImage : public ChainTest
{
  protected:
    void SetUp() override
    {
        ChainTest::SetUp();
        spill_reset();
    }
    void TearDown() override
    {
        set_ramfs_budget(-1);
        ChainTest::TearDown();
        EXPECT_EQ(ramfs_total_size.load(), 0) << "a temporary image was not read back";
    }
};

// Past the store's budget temporary images go to disk files: 1800 bytes
// take the main image, estimated at 30 x 20 x 3, and leave too little for
// the first tile; both kinds read back the same.
TEST_F(DestImage, EveryPixelGoesToExactlyOneWriter)
{
    set_ramfs_budget(1800);
    job j(1, 100, 50);
    image_desc &d = j.place(0, {10, 5, 30, 20});
    irectangle a = {20, 10, 15, 10}, b = {25, 8, 10, 10}; // overlapping, panorama coordinates
    add_tile(&a, 1, &d);
    add_tile(&b, 2, &d);
    write_image(j, 0);
    EXPECT_TRUE((d.fd & FD_RAMFS) && !(d.tile_ids[0] & FD_RAMFS));
    std::vector<int> owner(30 * 20, -1);
    const std::tuple<int, irectangle, int> parts[] = {
        {d.fd, {0, 0, 30, 20}, 3}, {d.tile_ids[0], d.tile_rects[0], 4}, {d.tile_ids[1], d.tile_rects[1], 4}};
    for (int id = 0; id < 3; id++) {
        const auto &[fd, ext, bpp] = parts[id];
        std::vector<bytes> rows = rows_of(temp_reader(fd));
        for (int y = 0; y < ext.height; y++)
            for (int x = 0; x < ext.width; x++) {
                unsigned char got = rows[static_cast<size_t>(y)][static_cast<size_t>(x * bpp)];
                int gx = ext.x + x, gy = ext.y + y, &o = owner[static_cast<size_t>(gy * 30 + gx)];
                if (got == 0)
                    continue;
                EXPECT_EQ(std::make_pair(o, got), std::make_pair(-1, value(0, gx, gy))) << gx << "," << gy;
                o = id;
            }
    }
    EXPECT_EQ(std::count(owner.begin(), owner.end(), -1), 0);
    // A pixel in both tiles went to the first, one only in the second there.
    EXPECT_EQ(std::make_pair(owner[5 * 30 + 15], owner[3 * 30 + 15]), std::make_pair(1, 2));
}

// With every slot of the store busy the image is spilled; with no spill
// folder either, the run ends.
TEST_F(DestImage, FullStoreSpills)
{
    job j(1, 10, 10);
    image_desc &d = j.place(0, {2, 3, 4, 4});
    std::vector<int> slots;
    for (int s; (s = ramfs_open()) >= 0;)
        slots.push_back(s);
    const std::string gone = scratch_dir() + "/gone";
    std::filesystem::create_directory(gone);
    EXPECT_EXIT(
        {
            EXPECT_EQ(chdir(gone.c_str()) + rmdir(gone.c_str()), 0);
            dest_writer(&d, &j.pano);
        },
        testing::ExitedWithCode(1), "Too many temporary images \\(in-memory store full\\)\\.");
    write_image(j, 0);
    EXPECT_TRUE(d.fd & FD_SPILL);
    std::vector<bytes> rows = rows_of(temp_reader(d.fd));
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++)
            EXPECT_EQ(rows[static_cast<size_t>(y)][static_cast<size_t>(x * 3)], value(0, x, y));
    for (int s : slots)
        ramfs_close(s);
}

// What memory cannot hold (as in 32-bit x86) spills, even within the budget.
// In a fresh process: memory that earlier tests freed would still be mapped.
TEST_F(DestImage, WhatMemoryCannotHoldSpills)
{
#ifdef ZENTHRA_SANITIZED
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            set_ramfs_budget(int64_t(1) << 40);
            job j(1, 5000, 3000);
            image_desc &d = j.place(0, {0, 0, 4000, 2000});
            limit_address_space(16 << 20);
            write_image(j, 0);
            limit_address_space(-1);
            fprintf(stderr, "spilled %d, pixels %d\n", (d.fd & FD_SPILL) != 0,
                    rows_of(temp_reader(d.fd))[1999][3999 * 3] == value(0, 3999, 1999));
            _exit(0);
        },
        testing::ExitedWithCode(0), "^spilled 1, pixels 1\n$");
    GTEST_FLAG_SET(death_test_style, "fast");
}

// Tiles left for image 2 by image 0 across the seam of a 1000-pixel wrap
// and by image 1 unshifted, merged from disk files (the stitches merge RAM
// files): the lower image wins where both are; the first image gets none.
TEST_F(DestImage, BlendImagesAcrossTheSeamAndTheirPriority)
{
    set_ramfs_budget(0);
    job j(3, 1000, 100, 1000);
    image_desc &e0 = j.place(0, {950, 0, 100, 10}), &e1 = j.place(1, {20, 0, 30, 10});
    irectangle across = {1000, 0, 50, 10}, inside = {20, 0, 30, 10}, r;
    add_tile(&across, 2, &e0);
    add_tile(&inside, 2, &e1);
    write_image(j, 0);
    write_image(j, 1);
    testing::internal::CaptureStderr();
    image_reader *ir = get_blend_images(&j.place(2, {0, 0, 60, 10}), j.images.data(), &r, 1000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Found 2 images for blending.\n");
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(std::make_pair(r.x, r.width), std::make_pair(0, 50));
    std::vector<bytes> rows = rows_of(ir);
    for (int y = 0; y < 10; y++)
        for (int x = 0; x < 50; x++)
            ASSERT_EQ(rows[static_cast<size_t>(y)][static_cast<size_t>(x) * 4], value(0, x + 50, y))
                << x << "," << y;
    rows_of(temp_reader(e0.fd)), rows_of(temp_reader(e1.fd));
    EXPECT_EQ(get_blend_images(&j.images[0], j.images.data(), &r, 1000), nullptr);
}

// An image across the seam of a 4000-pixel wrap continues at column 0; one
// at 4300 is one at 300; across the edge of a panorama that does not wrap it
// gives nothing.
TEST_F(DestImage, MergeAlphaSplitsImagesAcrossTheSeam)
{
    for (auto [x, wrap] : {std::pair(-100, 4000), {3800, 4000}, {4300, 4000}, {3800, 0}}) {
        job j(1, 4000, 2, wrap);
        j.place(0, {x, 0, 400, 2});
        write_image(j, 0);
        bytes row = merged_row(j, 1, 1, wrap);
        int start = wrap ? (x % 4000 + 4000) % 4000 : 0;
        for (int c = 0; c < 4000; c++) {
            int k = (c - start + 4000) % 4000; // the image's column at panorama column c
            ASSERT_EQ(row[static_cast<size_t>(c) * 3], wrap && k < 400 ? value(0, k, 1) : 0)
                << x << ": " << c;
        }
    }
}

TEST_F(DestImage, MergeAlphaSkipsNothingWrittenAndWaitsForThePending)
{
    job j(3, 20, 3);
    for (int i = 0; i < 3; i++)
        j.place(i, {5 * i, 0, 10, 3});
    write_image(j, 0);
    set_image_done(&j.images[1], -1);
    j.images[1].fd = -1;
    std::thread late([&] { // image 2 is still being warped when the merge starts
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write_image(j, 2);
    });
    bytes row = merged_row(j, 3, 2, 0);
    late.join();
    for (int x = 0; x < 20; x++)
        EXPECT_EQ(row[static_cast<size_t>(x) * 3], x < 10 ? value(0, x, 2) : value(2, x - 10, 2));
}

// Looking for the tiles that earlier images keep for an image opens nothing
// (the fixture counts readers and the store), whichever image asks.
TEST_F(DestImage, PreloadingBlendImagesHasNoEffect)
{
    job j(3, 100, 20);
    irectangle r1 = {20, 0, 10, 20}, r2 = {40, 0, 10, 20};
    add_tile(&r1, 1, &j.place(0, {0, 0, 50, 20}));
    add_tile(&r2, 2, &j.images[0]);
    add_tile(&r2, 2, &j.place(1, {20, 0, 40, 20}));
    j.place(2, {40, 0, 60, 20});
    for (const image_desc &d : j.images)
        EXPECT_EQ(preload_blend_images(&d, j.images.data()), 0) << d.index;
}

// The averaging merger: per pixel the mean colour, rounded to nearest, of the
// readers with alpha there, alpha 255; black where none has.
TEST_F(DestImage, AlphaMergerAveragesWhereAlphaIsNotZero)
{
    const bytes black = {0, 0, 0, 255}, a = {10, 20, 30, 255}, b = {11, 21, 200, 1}, bb = {11, 21, 200, 255};
    // Uniform readers, partly outside the 3 x 2 writer; at (1, 0) the means
    // 22/3, 41/3 and 230/3.
    const std::pair<irectangle, bytes> placed[] = {{{-1, 0, 3, 1}, a},
                                                   {{1, 0, 3, 2}, b},
                                                   {{1, 0, 1, 1}, {1, 0, 0, 9}},
                                                   {{0, 1, 3, 5}, {200, 200, 200, 0}}};
    const std::vector<bytes> want = {a, {7, 14, 77, 255}, bb, black, bb, bb};
    std::vector<mem_image> images;
    images.reserve(std::size(placed));
    std::vector<image_reader *> readers;
    std::vector<irectangle> rects;
    for (const auto &[at, rgba] : placed) {
        mem_image &m = images.emplace_back(at.width, at.height, uchar_RGBA);
        for (size_t i = 0; i < m.pixels.size(); i++)
            m.pixels[i] = rgba[i % 4];
        readers.push_back(mem_reader(&m));
        rects.push_back(at);
    }
    recording_sink sink;
    image_writer *w = recording_writer(&sink, 3, 2, uchar_RGBA);
    EXPECT_EQ(alpha_merger(readers.data(), rects.data(), int(readers.size()), w), 0);
    close_image_writer(w);
    for (image_reader *ir : readers)
        close_image_reader(ir);
    std::vector<bytes> pixels;
    for (const bytes &row : sink.rows)
        for (size_t x = 0; x < row.size(); x += 4)
            pixels.emplace_back(row.begin() + x, row.begin() + x + 4);
    EXPECT_EQ(pixels, want);
}

} // namespace
