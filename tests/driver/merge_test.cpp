// Destination images, blend images and the merge of the writer thread:
// every pixel reaches one place, tiles come back to their partner, and the
// merge lays images across a wrapping panorama's seam. That the outputs
// come out right is the end-to-end tests' part.
#include "chain_testing.h"
#include "stitcher/driver/dest_image.h"
#include "stitcher/driver/dest_rectangles.h"
#include "stitcher/driver/merge.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/tmp_image.h"
#include "stitcher/script/image_desc.h"

#include <gtest/gtest.h>

#include <thread>
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
unsigned char value(int i, int x, int y, int c)
{
    return static_cast<unsigned char>(1 + (i * 71 + x * 7 + y * 13 + c) % 250);
}

// Writes image i's destination rectangle (opaque) through its destination
// writer and marks it done.
void write_image(job &j, int i)
{
    image_desc &d = j.images[static_cast<size_t>(i)];
    image_writer *iw = dest_writer(&d, &j.pano);
    bytes row(static_cast<size_t>(d.dest_rect.width) * 4);
    for (int y = 0; y < d.dest_rect.height; y++) {
        for (int k = 0; k < d.dest_rect.width * 4; k++)
            row[static_cast<size_t>(k)] = k % 4 == 3 ? 255 : value(i, k / 4, y, k % 4);
        write_row(iw, row.data());
    }
    close_image_writer(iw);
    set_image_done(&d, 1);
}

// The rows of a temporary image, zero outside its runs.
std::vector<bytes> read_temp(int fd)
{
    image_reader *ir = temp_reader(fd);
    std::vector<bytes> rows;
    bytes buf(image_row_length(ir));
    for (int y = 0; y < ir->height; y++)
        rows.push_back(row_of(read_row(ir, y, buf.data()), buf.size()));
    close_image_reader(ir);
    return rows;
}

// Releases a temporary image that a test does not read.
void drop(int fd) { close_image_reader(temp_reader(fd)); }

void every_pixel_once(int64_t budget);
void blend_images_across_the_seam();

class DestImage : public ChainTest
{
  protected:
    void TearDown() override
    {
        ChainTest::TearDown();
        EXPECT_EQ(ramfs_total_size.load(), 0) << "a temporary image was not read back";
    }
};

// Within the store's budget temporary images are RAM files, past it disk
// files (a budget of 1800 bytes takes the main image, estimated at 30 x 20
// x 3, and leaves too little for the first tile); either kind reads back the
// same.
TEST_F(DestImage, EveryPixelGoesToExactlyOneWriter)
{
    for (int64_t budget : {int64_t(1) << 30, int64_t(0), int64_t(1800)}) {
        set_ramfs_budget(budget);
        every_pixel_once(budget);
    }
    set_ramfs_budget(-1);
}

void every_pixel_once(int64_t budget)
{
    job j(3, 100, 50);
    image_desc &d = j.place(0, {10, 5, 30, 20});
    irectangle a = {20, 10, 15, 10}, b = {25, 8, 10, 10}; // overlapping tiles, panorama coordinates
    add_tile(&a, 1, &d);
    add_tile(&b, 2, &d);
    write_image(j, 0);
    EXPECT_EQ((d.fd & FD_RAMFS) != 0, budget > 0);
    EXPECT_EQ((d.tile_ids[0] & FD_RAMFS) != 0, budget > 1800);
    EXPECT_TRUE(budget > 0 || !(d.tile_ids[1] & FD_RAMFS));

    std::vector<int> hits(30 * 20, 0), owner(30 * 20, -1);
    auto mark = [&](const std::vector<bytes> &rows, irectangle ext, int bpp, int id) {
        for (int y = 0; y < ext.height; y++)
            for (int x = 0; x < ext.width; x++) {
                const unsigned char *p = &rows[static_cast<size_t>(y)][static_cast<size_t>(x) * bpp];
                if (p[0] == 0)
                    continue;
                int gx = ext.x + x, gy = ext.y + y;
                hits[static_cast<size_t>(gy * 30 + gx)]++;
                owner[static_cast<size_t>(gy * 30 + gx)] = id;
                EXPECT_EQ(p[1], value(0, gx, gy, 1)) << gx << "," << gy;
            }
    };
    mark(read_temp(d.fd), {0, 0, 30, 20}, 3, 0);
    mark(read_temp(d.tile_ids[0]), d.tile_rects[0], 4, 1);
    mark(read_temp(d.tile_ids[1]), d.tile_rects[1], 4, 2);
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 30; x++)
            ASSERT_EQ(hits[static_cast<size_t>(y * 30 + x)], 1) << x << "," << y;
    // A pixel in both tiles went to the first, one only in the second there.
    EXPECT_EQ(owner[5 * 30 + 15], 1);
    EXPECT_EQ(owner[3 * 30 + 15], 2);
}

TEST_F(DestImage, FullStoreEndsTheRun)
{
    job j(1, 10, 10);
    j.place(0, {0, 0, 4, 4});
    std::vector<int> slots;
    for (int s; (s = ramfs_open()) >= 0;)
        slots.push_back(s);
    EXPECT_EXIT(dest_writer(&j.images[0], &j.pano), testing::ExitedWithCode(1),
                "Too many temporary images \\(in-memory store full\\)\\.");
    for (int s : slots)
        ramfs_close(s);
}

// Tiles left for image 1 by image 0, unshifted and across the seam of a
// 1000-pixel wrap; with two of them the lower image wins where both are,
// merged from RAM files or from disk files.
TEST_F(DestImage, BlendImagesAcrossTheSeamAndTheirPriority)
{
    for (int64_t budget : {int64_t(1) << 30, int64_t(0)}) {
        set_ramfs_budget(budget);
        blend_images_across_the_seam();
    }
    set_ramfs_budget(-1);
}

void blend_images_across_the_seam()
{
    job j(3, 1000, 100, 1000);
    image_desc &e0 = j.place(0, {950, 0, 100, 10});
    image_desc &e1 = j.place(1, {20, 0, 30, 10});
    image_desc &d = j.place(2, {0, 0, 60, 10});
    irectangle across = {1000, 0, 50, 10}; // e0 ∩ d moved right by the wrap
    irectangle inside = {20, 0, 30, 10};
    add_tile(&across, 2, &e0);
    add_tile(&inside, 2, &e1);
    write_image(j, 0);
    write_image(j, 1);
    irectangle r;
    testing::internal::CaptureStderr();
    image_reader *ir = get_blend_images(&d, j.images.data(), &r, 1000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Found 2 images for blending.\n");
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.width, 50);
    bytes buf(image_row_length(ir));
    for (int y = 0; y < 10; y++) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, y, buf.data()));
        for (int x = 0; x < 50; x++) // image 0 covers all 50 columns and wins over image 1
            EXPECT_EQ(p[x * 4], value(0, x + 50, y, 0)) << x << "," << y;
    }
    close_image_reader(ir);
    drop(e0.fd);
    drop(e1.fd);
    // The first image never gets any.
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_blend_images(&j.images[0], j.images.data(), &r, 1000), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Found 0 images for blending.\n");
}

// The merge of the whole panorama, as the writer thread runs it: an image
// across the seam of a 4000-pixel wrap continues at column 0; one at 4300 is
// one at 300; across the edge of a panorama that does not wrap it gives
// nothing.
TEST_F(DestImage, MergeAlphaSplitsImagesAcrossTheSeam)
{
    const struct {
        int x, wrap;
    } cases[] = {{-100, 4000}, {3800, 4000}, {4300, 4000}, {3800, 0}};
    for (const auto &mc : cases) {
        SCOPED_TRACE(mc.x);
        job j(1, 4000, 2, mc.wrap);
        j.place(0, {mc.x, 0, 400, 2});
        write_image(j, 0);
        recording_sink sink;
        image_writer *w = recording_writer(&sink, 4000, 2, uchar_RGB);
        merge_alpha(j.images.data(), {0, 0, 0, 0}, 1, w, mc.wrap);
        close_image_writer(w);
        ASSERT_EQ(sink.rows.size(), 2u);
        int start = mc.wrap ? ((mc.x % 4000) + 4000) % 4000 : 0;
        for (int c = 0; c < 4000; c++) {
            int k = (c - start + 4000) % 4000; // the image's column at panorama column c
            unsigned char want = mc.wrap && k < 400 ? value(0, k, 1, 0) : 0;
            ASSERT_EQ(sink.rows[1][static_cast<size_t>(c) * 3], want) << "column " << c;
        }
    }
}

TEST_F(DestImage, MergeAlphaSkipsNothingWrittenAndWaitsForThePending)
{
    job j(3, 20, 3);
    j.place(0, {0, 0, 10, 3});
    j.place(1, {5, 0, 10, 3});
    j.place(2, {10, 0, 10, 3});
    write_image(j, 0);
    set_image_done(&j.images[1], -1);
    j.images[1].fd = -1;
    // Image 2 is still being warped when the merge starts.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write_image(j, 2);
    });
    recording_sink sink;
    image_writer *w = recording_writer(&sink, 20, 3, uchar_RGB);
    merge_alpha(j.images.data(), {0, 0, 0, 0}, 3, w, 0);
    late.join();
    close_image_writer(w);
    for (int x = 0; x < 20; x++)
        EXPECT_EQ(sink.rows[2][static_cast<size_t>(x) * 3],
                  x < 10 ? value(0, x, 2, 0) : value(2, x - 10, 2, 0));
}

} // namespace
