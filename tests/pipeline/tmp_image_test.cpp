// Temporary images on disk (past the store's budget) round-trip to the
// masked image. The stitches walk the RAM files; placing images into the
// panorama file the end-to-end in-place against deferred outputs check.
#include "stitcher/pipeline/spill.h"
#include "stitcher/pipeline/tmp_file.h"
#include "stitcher/pipeline/tmp_image.h"

#include "placement_testing.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using TmpImageTest = ChainTest;

// Random images, extents and holes, every pair of pixformats that converts:
// the reader gives the masked image back (zero where not covered), and the
// file holds exactly the header (padded with zeros to 16) and the pixels.
TEST_F(TmpImageTest, RoundTripsEqualTheMaskedImage)
{
    const std::string dir = scratch_dir();
    std::mt19937 rng(14);
    auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const uint32_t formats[] = {float_RGBA, float_G, uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA};
    for (uint32_t in : formats)
        for (uint32_t stored : formats) {
            if (stored == float_G || (in != stored && !get_pix_converter(in, stored)))
                continue;
            for (int k = 0; k < 4; k++) { // the last one whole
                const int w = 1 + below(37), h = 1 + below(23), x = below(w), y = below(h);
                irectangle ext =
                    k == 3 ? irectangle{0, 0, w, h} : irectangle{x, y, 1 + below(w - x), 1 + below(h - y)};
                std::vector<irectangle> rects(static_cast<size_t>(below(4)));
                for (irectangle &r : rects)
                    r = {below(w + 6) - 3, below(h + 6) - 3, 1 + below(w), 1 + below(h)};
                std::string name = dir + "/t_XXXXXX";
                const int n = static_cast<int>(rects.size());
                template_ *t = create_template(&ext, rects.data(), n);
                const int64_t end = 20 + 4 * int64_t(size_template(t)), header = (end + 15) / 16 * 16;
                const int64_t size = header + template_npix(t) * get_bytes_per_pixel(stored);
                free_template(t, 1);
                // Every other image in a spill file, at an offset of its own.
                spill_extent e = {my_mkstemps(name.data()), 0, size};
                int fd = e.fd;
                unlink(name.c_str());
                if (k % 2) {
                    close(fd);
                    ASSERT_EQ(temp_image_size(w, h, stored, k == 3 ? nullptr : &ext, rects.data(), n), size);
                    fd = spill_open(size) | FD_SPILL;
                    e = spill_where(fd & (FD_SPILL - 1));
                }
                const bytes image = sample_image(w, h, in, rng());
                write_image(temp_writer(fd, w, h, in, stored, k == 3 ? nullptr : &ext, rects.data(), n),
                            image);
                struct stat st;
                bytes head(static_cast<size_t>(header));
                EXPECT_TRUE(fstat(e.fd, &st) == 0 && st.st_size >= e.offset + size &&
                            (k % 2 || st.st_size == size));
                EXPECT_EQ(pread(e.fd, head.data(), head.size(), e.offset), header);
                EXPECT_EQ(bytes(head.begin() + end, head.end()), bytes(header - end, 0)) << "padding";
                image_reader *ir = temp_reader(fd);
                ASSERT_TRUE(ir->width == ext.width && ir->height == ext.height && ir->pixformat == stored);
                bytes row(image_row_length(ir)), got, want;
                for (int r = 0; r < ir->height; r++) {
                    read_row(ir, 5, row.data()); // the row number is not used
                    got.insert(got.end(), row.begin(), row.end());
                }
                close_image_reader(ir);
                for (int py = ext.y; py < ext.y + ext.height; py++)
                    for (int px = ext.x; px < ext.x + ext.width; px++) {
                        bytes p = covered(px, py, ext, rects) ? pixel_as(image, w, px, py, in, stored)
                                                              : bytes(get_bytes_per_pixel(stored));
                        want.insert(want.end(), p.begin(), p.end());
                    }
                ASSERT_EQ(got, want) << in << " as " << stored << " " << k;
            }
        }
}

// A temporary image that cannot be written or read back names its folder
// and the system's reason.
TEST_F(TmpImageTest, FailuresNameTheFolder)
{
    const std::string folder = tmp_folder();
    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_EXIT(temp_writer(full, 4, 4, uchar_RGB, uchar_RGB, nullptr, nullptr, 0),
                ::testing::ExitedWithCode(1),
                "Could not write temporary file in " + folder + ": No space left on device.\n");
    close(full);
    std::string name = scratch_dir() + "/t_XXXXXX";
    const int fd = my_mkstemps(name.data());
    write_image(temp_writer(fd, 4, 4, uchar_RGB, uchar_RGB, nullptr, nullptr, 0),
                sample_image(4, 4, uchar_RGB, 1));
    ASSERT_EQ(ftruncate(fd, 40), 0);
    EXPECT_EXIT(
        {
            image_reader *ir = temp_reader(fd);
            bytes row(image_row_length(ir));
            for (int r = 0; r < 4; r++)
                read_row(ir, r, row.data());
        },
        ::testing::ExitedWithCode(1),
        "Could not read temporary file in " + folder + ": the file ends early.\n");
    close(fd);
}
