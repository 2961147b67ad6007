#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/tmp_file.h"
#include "stitcher/pipeline/tmp_image.h"

#include "placement_testing.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using ::testing::ExitedWithCode;

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
    const uint32_t formats[] = {float_RGBA, float_G, uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA};
    for (uint32_t in : formats)
        for (uint32_t stored : formats) {
            if (stored == float_G || (in != stored && !get_pix_converter(in, stored)))
                continue;
            for (int k = 0; k < 8; k++) {
                int w = 1 + rng() % 37, h = 1 + rng() % 23, x = rng() % w, y = rng() % h;
                irectangle ext = {x, y, 1 + static_cast<int>(rng() % (w - x)),
                                  1 + static_cast<int>(rng() % (h - y))};
                std::vector<irectangle> rects;
                for (int r = rng() % 4; r > 0; r--)
                    rects.push_back({static_cast<int>(rng() % (w + 6)) - 3,
                                     static_cast<int>(rng() % (h + 6)) - 3, 1 + static_cast<int>(rng() % w),
                                     1 + static_cast<int>(rng() % h)});
                bool ram = k % 2 == 0, whole = k == 7;
                if (whole)
                    ext = {0, 0, w, h};
                bytes image = sample_image(w, h, in, rng());
                int fd = new_file(ram);
                int64_t total = ramfs_total_size;
                write_image(temp_writer(fd, w, h, in, stored, whole ? nullptr : &ext, rects.data(),
                                        static_cast<int>(rects.size())),
                            image);
                template_ *t = create_template(&ext, rects.data(), static_cast<int>(rects.size()));
                int64_t end = 20 + 4 * int64_t(size_template(t)), header = (end + 15) / 16 * 16;
                int64_t size = header + template_npix(t) * get_bytes_per_pixel(stored);
                free_template(t, 1);
                struct stat st;
                if (ram) {
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

// paste_reader leaves what it does not cover; merge_row lays the covered
// pixels with alpha over a row, shifted by x and clipped at its width.
TEST_F(TmpImageTest, PasteAndMergeWriteOnlyCoveredPixels)
{
    for (uint32_t fmt : {uchar_RGBA, ushort_RGBA}) {
        int w = 12, h = 5, bpp = get_bytes_per_pixel(fmt), x = 7, width = 15;
        bytes image = sample_image(w, h, fmt, 3);
        for (size_t p = 0; p < image.size(); p += bpp * 3) // every third pixel transparent
            std::fill(image.begin() + p + 3 * bpp / 4, image.begin() + p + bpp, 0);
        irectangle ext = {0, 1, w, 4}, hole = {4, 1, 3, 3};
        int paste = new_file(true), merge = new_file(true);
        write_image(temp_writer(paste, w, h, fmt, fmt, &ext, &hole, 1), image);
        write_image(temp_writer(merge, w, h, fmt, fmt, &ext, &hole, 1), image);
        image_reader *pr = paste_reader(paste), *mr = temp_reader(merge);
        for (int y = 1; y < h; y++) {
            bytes pasted(static_cast<size_t>(w * bpp), 0xAB), merged(static_cast<size_t>(width * bpp), 0x5A);
            bytes want_pasted = pasted, want_merged = merged;
            for (int i = 0; i < w; i++) {
                bytes p = pixel_as(image, w, i, y, fmt, fmt);
                if (!covered(i, y, ext, {hole}))
                    continue;
                std::copy(p.begin(), p.end(), want_pasted.begin() + i * bpp);
                if ((p[bpp - 1] || p[3 * bpp / 4]) && x + i < width)
                    std::copy(p.begin(), p.end(), want_merged.begin() + (x + i) * bpp);
            }
            read_row(pr, 0, pasted.data());
            EXPECT_EQ(merge_row(mr, 99, merged.data(), x, fmt, width), merged.data());
            ASSERT_EQ(pasted, want_pasted) << "row " << y;
            ASSERT_EQ(merged, want_merged) << "row " << y;
        }
        close_image_reader(pr);
        close_image_reader(mr);
    }
}

// Pixels without alpha are never laid over a row, and no byte beyond a run
// is read as alpha.
TEST_F(TmpImageTest, MergeRowPassesOverPixelsWithoutAlpha)
{
    int fd = new_file(true);
    write_image(temp_writer(fd, 5, 3, uchar_RGB, uchar_RGB, nullptr, nullptr, 0), bytes(45, 0xEE));
    image_reader *ir = temp_reader(fd);
    bytes row(15, 0x11);
    for (int y = 0; y < 3; y++)
        merge_row(ir, y, row.data(), 0, uchar_RGB, 5);
    EXPECT_EQ(row, bytes(15, 0x11));
    EXPECT_EXIT(merge_row(ir, 0, row.data(), 0, uchar_RGBA, 5), ExitedWithCode(1),
                "Assertion failed: pixformat ==");
    close_image_reader(ir);
}

TEST_F(TmpImageTest, TemplateWriterConvertsTheCoveredPixelsIntoTheBuffer)
{
    std::vector<irectangle> rects = {{2, 1, 4, 2}, {0, 4, 3, 1}};
    for (uint32_t out : {uchar_RGB, ushort_RGBA}) {
        bytes image = sample_image(9, 6, uchar_RGBA, 4);
        bytes buf(9 * get_bytes_per_pixel(out), 0x77);
        image_writer *tw = template_writer(9, 6, uchar_RGBA, out, rects.data(), 2, buf.data());
        bytes want = masked(image, 9, {0, 0, 9, 6}, rects, uchar_RGBA, out);
        for (int y = 0; y < 6; y++) {
            write_row(tw, image.data() + 36 * y);
            ASSERT_EQ(buf, bytes(want.begin() + buf.size() * y, want.begin() + buf.size() * (y + 1))) << y;
        }
        close_image_writer(tw);
    }
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

TEST_F(TmpImageTest, MisuseEndsTheRun)
{
    irectangle outside = {5, 5, 10, 1}, whole = {0, 0, 8, 1};
    EXPECT_EXIT(temp_writer(new_file(true), 10, 10, uchar_RGB, uchar_RGB, &outside, nullptr, 0),
                ExitedWithCode(1), "Assertion failed: ext->x >= 0");
    int fd = new_file(false);
    write_image(temp_writer(fd, 4, 4, uchar_RGB, uchar_RGB, nullptr, nullptr, 0),
                sample_image(4, 4, uchar_RGB, 5));
    image_reader *ir = temp_reader(fd);
    bytes row(24);
    EXPECT_EXIT(read_row(ir, 0, nullptr), ExitedWithCode(1), "Assertion failed: buf != NULL");
    EXPECT_EXIT(merge_row(ir, 0, row.data(), 0, uchar_RGBA, 4), ExitedWithCode(1),
                "^Option not supported.\n$");
    close_image_reader(ir);
    // A run whose source lies outside the row (x must be in [0, wrap)), and
    // FD_TILED while no tiled file is open.
    EXPECT_EXIT(
        {
            template_ *t = create_template(&whole, nullptr, 0);
            shift_template(t, 3, 0);
            write_row(template_writer2(new_file(false), 8, 1, uchar_RGB, uchar_RGB, t, 100, 24), row.data());
        },
        ExitedWithCode(1), "Assertion failed: src >= 0");
    EXPECT_EXIT(
        template_writer2(FD_TILED, 8, 1, uchar_RGB, uchar_RGB, create_template(&whole, nullptr, 0), 0, 24),
        ExitedWithCode(1), "Assertion failed: tiled_write_fn");
}
