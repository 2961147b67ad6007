#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/tmp_file.h"
#include "stitcher/pipeline/tmp_image.h"

#include "placement_testing.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

class TmpImageTest : public ChainTest
{
  protected:
    std::string dir = scratch_dir();
    // An open, empty, unlinked disk file, or a fresh RAM file.
    int new_file(bool ram)
    {
        if (ram)
            return ramfs_open() | FD_RAMFS;
        std::string name = dir + "/t_XXXXXX";
        int fd = my_mkstemps(name.data());
        unlink(name.c_str());
        return fd;
    }
};

// The extent as the reader should give it: converted pixels where covered,
// zero elsewhere.
static bytes masked(const bytes &image, int width, const irectangle &ext,
                    const std::vector<irectangle> &rects, uint32_t in, uint32_t stored)
{
    bytes out;
    for (int y = ext.y; y < ext.y + ext.height; y++)
        for (int x = ext.x; x < ext.x + ext.width; x++) {
            bytes p = covered(x, y, ext, rects) ? pixel_as(image, width, x, y, in, stored)
                                                : bytes(get_bytes_per_pixel(stored));
            out.insert(out.end(), p.begin(), p.end());
        }
    return out;
}

// Random images, extents and holes, every pair of pixformats that converts,
// in RAM files and on disk: the reader gives the masked image back, and the
// file holds exactly the header (padded with zeros to 16) and the pixels.
TEST_F(TmpImageTest, RoundTripsEqualTheMaskedImage)
{
    std::mt19937 rng(14);
    auto below = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const uint32_t formats[] = {float_RGBA, float_G, uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA};
    for (uint32_t in : formats)
        for (uint32_t stored : formats) {
            if (stored == float_G || (in != stored && !get_pix_converter(in, stored)))
                continue;
            for (int k = 0; k < 8; k++) { // RAM files and disk files in turn, the last one whole
                const int w = 1 + below(37), h = 1 + below(23), x = below(w), y = below(h);
                irectangle ext =
                    k == 7 ? irectangle{0, 0, w, h} : irectangle{x, y, 1 + below(w - x), 1 + below(h - y)};
                std::vector<irectangle> rects(static_cast<size_t>(below(4)));
                for (irectangle &r : rects)
                    r = {below(w + 6) - 3, below(h + 6) - 3, 1 + below(w), 1 + below(h)};
                const int n = static_cast<int>(rects.size()), fd = new_file(k % 2 == 0);
                const bytes image = sample_image(w, h, in, rng());
                const int64_t total = ramfs_total_size;
                write_image(temp_writer(fd, w, h, in, stored, k == 7 ? nullptr : &ext, rects.data(), n),
                            image);
                template_ *t = create_template(&ext, rects.data(), n);
                const int64_t end = 20 + 4 * int64_t(size_template(t)), header = (end + 15) / 16 * 16;
                const int64_t size = header + template_npix(t) * get_bytes_per_pixel(stored);
                free_template(t, 1);
                struct stat st;
                if (k % 2 == 0) {
                    EXPECT_EQ(ramfs_total_size - total, size);
                } else {
                    EXPECT_TRUE(fstat(fd, &st) == 0 && st.st_size == size);
                    bytes head(static_cast<size_t>(header));
                    EXPECT_EQ(pread(fd, head.data(), head.size(), 0), header);
                    EXPECT_EQ(memcmp(head.data() + 4, &ext, 16), 0);
                    EXPECT_EQ(bytes(head.begin() + end, head.end()), bytes(header - end, 0)) << "padding";
                }
                image_reader *ir = temp_reader(fd);
                ASSERT_TRUE(ir->width == ext.width && ir->height == ext.height && ir->pixformat == stored);
                bytes row(image_row_length(ir)), got;
                for (int r = 0; r < ir->height; r++) {
                    read_row(ir, 5, row.data()); // the row number is not used
                    got.insert(got.end(), row.begin(), row.end());
                }
                close_image_reader(ir);
                ASSERT_EQ(got, masked(image, w, ext, rects, in, stored))
                    << in << " as " << stored << " " << k;
            }
        }
    EXPECT_EQ(ramfs_total_size, 0);
}

// A stand-in for the tiled file: a flat byte stream behind the write/seek
// pair that a higher layer installs.
static bytes flat;
static int64_t flat_pos;
static int64_t flat_seek(int, int64_t offset, int) { return flat_pos = offset; }
static int64_t flat_write(int, const void *p, int64_t n)
{
    memcpy(flat.data() + flat_pos, p, static_cast<size_t>(n));
    flat_pos += n;
    return n;
}

// Images placed into a panorama that wraps (runs split at the seam) and
// into one that does not (runs cut at the edges), into a plain file and
// through the installed pair: both equal the placement by hand.
TEST_F(TmpImageTest, TemplateWriter2PlacesRunsLikeTheBruteForce)
{
    const int pw = 40, ph = 12, header = 13;
    struct {
        irectangle rect;
        std::vector<irectangle> tiles;
    } images[] = {{{-10, 0, 25, 5}, {{0, 0, 3, 2}}},
                  {{30, 3, 20, 6}, {{5, 1, 4, 4}, {15, 0, 5, 6}}},
                  {{5, 7, 40, 5}, {}},
                  {{78, 2, 4, 9}, {{0, 8, 4, 1}}}};
    for (int wrap : {0, pw})
        for (uint32_t in : {uchar_RGBA, ushort_RGBA, float_RGBA}) {
            uint32_t stored = in == ushort_RGBA ? ushort_RGB : uchar_RGB;
            size_t size = header + static_cast<size_t>(pw) * ph * get_bytes_per_pixel(stored);
            bytes want(size, 0), got(size);
            flat.assign(size, 0);
            int fd = new_file(false);
            set_tiled_io(flat_write, flat_seek);
            unsigned seed = 10;
            for (const auto &p : images) {
                bytes image = sample_image(p.rect.width, p.rect.height, in, seed++);
                write_image(placed_writer(fd, p.rect, p.tiles, pw, wrap, in, stored, header), image);
                write_image(placed_writer(FD_TILED, p.rect, p.tiles, pw, wrap, in, stored, header), image);
                place_by_hand(want, image, p.rect, p.tiles, pw, wrap, in, stored, header);
            }
            set_tiled_io(nullptr, nullptr);
            EXPECT_LE(pread(fd, got.data(), size, 0), static_cast<ssize_t>(size));
            close(fd);
            EXPECT_EQ(got, want) << "wrap " << wrap << " in " << in;
            EXPECT_EQ(flat, want) << "wrap " << wrap << " in " << in;
        }
}
