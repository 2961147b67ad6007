#include "chain_testing.h"

#include "stitcher/pipeline/imagepipe.h"

#include <algorithm>
#include <cmath>

using ::testing::ExitedWithCode;

class Cropping : public ChainTest
{
};

// P Q R as uchar_RGB pixels whose samples are all 'P', 'Q', 'R'.
static void fill_names(mem_image &m, const char *names)
{
    size_t bpp = static_cast<size_t>(get_bytes_per_pixel(m.fmt));
    for (size_t i = 0; names[i]; i++)
        memset(m.pixels.data() + bpp * i, names[i], bpp);
}

static bytes rgba(std::initializer_list<int> samples)
{
    bytes b;
    for (int s : samples)
        b.push_back(static_cast<unsigned char>(s));
    return b;
}

TEST_F(Cropping, CutReachingLeftAndRightGetsTransparentZeroes)
{
    mem_image m(3, 1, uchar_RGB);
    fill_names(m, "PQR");
    image_reader *ir = read_cut_rectangle(mem_reader(&m), {-2, 0, 6, 1});
    EXPECT_EQ(ir->width, 6);
    EXPECT_EQ(ir->pixformat, (uint32_t)uchar_RGBA);
    const int P = 'P', Q = 'Q', R = 'R';
    EXPECT_EQ(row_of(read_row(ir, 0, nullptr), 24),
              rgba({0, 0, 0, 0, 0, 0, 0, 0, P, P, P, 255, Q, Q, Q, 255, R, R, R, 255, 0, 0, 0, 0}));
    unsigned char buf[24];
    EXPECT_EXIT(read_row(ir, 0, buf), ExitedWithCode(1), "Assertion failed: buf==NULL");
    close_image_reader(ir);
    EXPECT_EQ(m.closes, 1);
}

TEST_F(Cropping, CutReachingAboveAndBelow)
{
    mem_image m(3, 1, uchar_RGB);
    fill_names(m, "PQR");
    image_reader *ir = read_cut_rectangle(mem_reader(&m), {1, -1, 2, 3});
    const int Q = 'Q', R = 'R';
    EXPECT_EQ(row_of(read_row(ir, 0, nullptr), 8), bytes(8, 0));
    EXPECT_EQ(row_of(read_row(ir, 1, nullptr), 8), rgba({Q, Q, Q, 255, R, R, R, 255}));
    EXPECT_EQ(row_of(read_row(ir, 2, nullptr), 8), bytes(8, 0));
    // Out of order too: an image row, then one above the image.
    read_row(ir, 1, nullptr);
    EXPECT_EQ(row_of(read_row(ir, 0, nullptr), 8), bytes(8, 0));
    close_image_reader(ir);
}

TEST_F(Cropping, CutWhollyOutsideTheImageIsTransparent)
{
    mem_image m(4, 3, ushort_RGB);
    for (irectangle rect : {irectangle{4, 0, 3, 3}, irectangle{-5, 0, 5, 3}, irectangle{0, 3, 4, 2},
                            irectangle{-10, -10, 3, 4}, irectangle{2000000000, 2000000000, 2, 2}}) {
        image_reader *ir = read_cut_rectangle(mem_reader(&m), rect);
        EXPECT_EQ(ir->pixformat, (uint32_t)ushort_RGBA);
        for (int r = 0; r < rect.height; r++)
            EXPECT_EQ(row_of(read_row(ir, r, nullptr), rect.width * 8u), bytes(rect.width * 8u, 0));
        close_image_reader(ir);
    }
}

TEST_F(Cropping, CutInsideKeepsEveryPixelAndConvertsEachSourceRowOnce)
{
    mem_image m(5, 4, uchar_RGBA);
    image_reader *ir = read_cut_rectangle(mem_reader(&m), {1, 1, 3, 3});
    for (int r = 0; r < 3; r++)
        EXPECT_EQ(row_of(read_row(ir, r, nullptr), 12), bytes(m.row(r + 1) + 4, m.row(r + 1) + 16));
    EXPECT_EQ(m.reads, (std::vector<int>{0, 1, 1, 1}));
    close_image_reader(ir);
}

TEST_F(Cropping, SelectionKeepsAlphaOnlyInsideTheRectangle)
{
    mem_image m(4, 3, uchar_RGBA);
    bytes original = m.pixels;
    image_reader *ir = select_rectangle(mem_reader(&m), {1, 1, 2, 1});
    for (int r = 0; r < 3; r++) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, r, nullptr));
        for (int x = 0; x < 4; x++) {
            bool kept = r == 1 && (x == 1 || x == 2);
            EXPECT_EQ(p[4 * x + 3], kept ? original[16 * r + 4 * x + 3] : 0) << r << "," << x;
            EXPECT_EQ(p[4 * x], original[16 * r + 4 * x]); // colour is left
        }
    }
    close_image_reader(ir);
}

// The alpha of every pixel of an image read through the selection rect.
static std::vector<int> selected(mem_image &m, irectangle rect, bool with_buffer)
{
    image_reader *ir = select_rectangle(mem_reader(&m), rect);
    std::vector<int> alpha;
    size_t bpc = static_cast<size_t>(get_bytes_per_channel(ir->pixformat));
    bytes buf(image_row_length(ir));
    for (int r = 0; r < ir->height; r++) {
        const unsigned char *p =
            static_cast<const unsigned char *>(read_row(ir, r, with_buffer ? buf.data() : nullptr));
        for (int x = 0; x < ir->width; x++)
            alpha.push_back(bpc == 1 ? p[4 * x + 3] : reinterpret_cast<const uint16_t *>(p)[4 * x + 3]);
    }
    close_image_reader(ir);
    return alpha;
}

TEST_F(Cropping, SelectionReachingPastTheImageMasksOnlyTheImage)
{
    struct {
        irectangle rect;
        int x0, x1, y0, y1; // what stays selected, by brute force
    } cases[] = {
        {{-2, 1, 4, 5}, 0, 2, 1, 3},
        {{3, -4, 10, 5}, 3, 4, 0, 1},
        {{10, 0, 5, 3}, 0, 0, 0, 3},
        {{-9, 0, 3, 3}, 0, 0, 0, 3},
        {{0, 7, 4, 2}, 0, 4, 0, 0},
        {{1, 0, -3, 3}, 0, 0, 0, 3},
        {{-2147483647, -5, 2147483647, 9}, 0, 0, 0, 3},
        {{2147483000, 0, 2000, 3}, 0, 0, 0, 3},
    };
    mem_image m(4, 3, ushort_RGBA);
    for (auto &c : cases) {
        for (bool with_buffer : {false, true}) {
            mem_image copy = m;
            std::vector<int> alpha = selected(copy, c.rect, with_buffer);
            for (int r = 0; r < 3; r++)
                for (int x = 0; x < 4; x++) {
                    bool kept = x >= c.x0 && x < c.x1 && r >= c.y0 && r < c.y1;
                    int want = kept ? reinterpret_cast<const uint16_t *>(m.row(r))[4 * x + 3] : 0;
                    EXPECT_EQ(alpha[4 * r + x], want) << c.rect.x << "," << c.rect.y << "," << c.rect.width
                                                      << "," << c.rect.height << " at " << x << "," << r;
                }
        }
    }
}

TEST_F(Cropping, SelectionOfAnRgbSourceNeedsABufferAndFloatPassesUnchanged)
{
    mem_image m(3, 2, uchar_RGB);
    image_reader *ir = select_rectangle(mem_reader(&m), {1, 0, 1, 2});
    unsigned char buf[12];
    EXPECT_EQ(read_row(ir, 0, buf), buf);
    EXPECT_EQ(row_of(buf, 12), rgba({m.row(0)[0], m.row(0)[1], m.row(0)[2], 0, m.row(0)[3], m.row(0)[4],
                                     m.row(0)[5], 255, m.row(0)[6], m.row(0)[7], m.row(0)[8], 0}));
    EXPECT_EXIT(read_row(ir, 0, nullptr), ExitedWithCode(1), "Assertion failed: buf != NULL");
    close_image_reader(ir);

    mem_image f(2, 2, float_RGBA);
    bytes original = f.pixels;
    ir = select_rectangle(mem_reader(&f), {5, 5, 1, 1});
    EXPECT_EQ(row_of(read_row(ir, 1, nullptr), 32), bytes(original.begin() + 32, original.end()));
    close_image_reader(ir);
}

// The pixels of row n that the circle keeps, by its definition: those whose
// centre lies within width/2 of the middle of the pixel grid.
static std::vector<bool> inside_circle(int width, int height, int n)
{
    double r = width * 0.5, cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
    std::vector<bool> keep(static_cast<size_t>(width), false);
    for (int x = 0; x < width; x++)
        keep[static_cast<size_t>(x)] = (x - cx) * (x - cx) + (n - cy) * (n - cy) <= r * r;
    return keep;
}

// The kept pixels of every row of a circle over an image whose samples are
// never 0; a pixel is kept or wholly cleared.
static std::vector<std::vector<bool>> circle_rows(int width, int height)
{
    mem_image m(width, height, uchar_RGBA);
    for (unsigned char &b : m.pixels)
        b = b | 1;
    image_reader *ir = select_circle(mem_reader(&m));
    std::vector<std::vector<bool>> rows;
    for (int n = 0; n < height; n++) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, n, nullptr));
        std::vector<bool> kept;
        for (int x = 0; x < width; x++) {
            int zeros = !p[4 * x] + !p[4 * x + 1] + !p[4 * x + 2] + !p[4 * x + 3];
            EXPECT_TRUE(zeros == 0 || zeros == 4) << n << "," << x;
            kept.push_back(zeros == 0);
        }
        rows.push_back(kept);
    }
    close_image_reader(ir);
    return rows;
}

// Every size up to 24 x 24 and a 1000-pixel fisheye against the definition,
// and 8 x 8 by hand: rows 0 and 7 keep pixels 2..5, rows 1 and 6 pixels
// 1..6, the middle rows all.
TEST_F(Cropping, CircleKeepsEveryCentreWithinHalfTheWidth)
{
    for (int w = 0; w <= 24; w++)
        for (int h = 0; h <= 24; h++) {
            std::vector<std::vector<bool>> rows = circle_rows(w, h);
            for (int n = 0; n < h; n++)
                ASSERT_EQ(rows[n], inside_circle(w, h, n)) << w << "x" << h << " row " << n;
        }
    std::vector<int> kept;
    for (const std::vector<bool> &row : circle_rows(8, 8))
        kept.push_back(static_cast<int>(std::count(row.begin(), row.end(), true)));
    EXPECT_EQ(kept, (std::vector<int>{4, 6, 8, 8, 8, 8, 6, 4}));
    std::vector<std::vector<bool>> rows = circle_rows(1000, 1001);
    for (int n = 0; n < 1001; n++)
        ASSERT_EQ(rows[n], inside_circle(1000, 1001, n)) << n;
}

TEST_F(Cropping, CircleOfATallImageClearsRowsAboveAndBelow)
{
    mem_image m(4, 9, uchar_RGB);
    for (unsigned char &b : m.pixels)
        b = b | 1;
    image_reader *ir = select_circle(mem_reader(&m));
    EXPECT_EQ(ir->pixformat, (uint32_t)uchar_RGBA);
    for (int n = 0; n < 9; n++) {
        bytes buf(16, 0xCC);
        read_row(ir, n, buf.data());
        std::vector<bool> keep = inside_circle(4, 9, n);
        for (int x = 0; x < 4; x++)
            EXPECT_EQ(buf[4 * x + 3], keep[x] ? 255 : 0) << n << "," << x;
    }
    // Rows 0..2 and 6..8 keep no pixel: filled without reading the source.
    // (Rows 2 and 6 touch the circle only between pixel centres.)
    EXPECT_EQ(m.reads, (std::vector<int>{0, 0, 0, 1, 1, 1, 0, 0, 0}));
    // Without its own alpha layout the source cannot be cleared in place.
    EXPECT_EXIT(read_row(ir, 0, nullptr), ExitedWithCode(1), "Assertion failed: buf != NULL");
    close_image_reader(ir);
}

TEST_F(Cropping, ExtractionServesOrCopiesThePixelsOfTheRectangle)
{
    mem_image m(5, 4, ushort_RGB);
    image_reader *ir = extract_rectangle(mem_reader(&m), {1, 2, 3, 2});
    EXPECT_EQ(ir->pixformat, (uint32_t)ushort_RGB);
    EXPECT_EQ(read_row(ir, 0, nullptr), m.row(2) + 6);
    bytes buf(18);
    EXPECT_EQ(read_row(ir, 1, buf.data()), buf.data());
    EXPECT_EQ(buf, bytes(m.row(3) + 6, m.row(3) + 24));
    close_image_reader(ir);

    image_reader *src = mem_reader(&m);
    for (irectangle bad :
         {irectangle{3, 0, 3, 1}, irectangle{-1, 0, 2, 1}, irectangle{0, 3, 1, 2}, irectangle{0, -1, 1, 1}})
        EXPECT_EXIT(extract_rectangle(src, bad), ExitedWithCode(1), "Assertion failed");
    close_image_reader(src);
}

TEST_F(Cropping, PipeCopiesTheRowsBothHave)
{
    mem_image m(2, 5, uchar_RGBA);
    recording_sink shorter, longer;
    image_reader *ir = mem_reader(&m);
    image_writer *iw = recording_writer(&shorter, 2, 3, uchar_RGBA);
    EXPECT_EQ(pipe_image(ir, iw), 0);
    EXPECT_EQ(iw->rows_written, 3);
    close_image_writer(iw);
    close_image_reader(ir);
    ASSERT_EQ(shorter.rows.size(), 3u);
    EXPECT_EQ(shorter.rows[2], m.row_copy(2));

    ir = mem_reader(&m);
    iw = recording_writer(&longer, 2, 7, uchar_RGBA);
    pipe_image(ir, iw);
    EXPECT_EQ(longer.rows.size(), 5u);
    close_image_writer(iw);
    close_image_reader(ir);
    ASSERT_EQ(longer.rows.size(), 7u);
    EXPECT_EQ(longer.rows[4], m.row_copy(4));
    EXPECT_EQ(longer.rows[6], bytes(8, 0));
}

TEST_F(Cropping, PipeConvertsAndReportsFailedWrites)
{
    mem_image m(3, 2, uchar_RGB);
    recording_sink s;
    s.write_status = 1;
    image_reader *ir = mem_reader(&m);
    image_writer *iw = recording_writer(&s, 3, 2, ushort_RGBA);
    EXPECT_EQ(pipe_image(ir, iw), 1);
    const uint16_t *p = reinterpret_cast<const uint16_t *>(s.rows[1].data());
    EXPECT_EQ(p[0], m.row(1)[0] << 8);
    EXPECT_EQ(p[3], 65535);
    close_image_writer(iw);

    recording_sink narrow;
    iw = recording_writer(&narrow, 2, 2, uchar_RGB);
    EXPECT_EXIT(pipe_image(ir, iw), ExitedWithCode(1), "Assertion failed: ir->width == iw->width");
    close_image_writer(iw);
    close_image_reader(ir);
}

// The chain of source loading: crop window, circle, selection, each read
// without a buffer and masked in the crop window's own row.
TEST_F(Cropping, SourceLoadingChainReleasesEverything)
{
    counting_source c(6, 6);
    image_reader *ir = buffered_reader_2(counting_reader(&c, 6), 1);
    ir = read_cut_rectangle(ir, {-1, -1, 8, 8});
    ir = select_circle(ir);
    ir = select_rectangle(ir, {0, 0, 4, 8});
    recording_sink s;
    image_writer *iw = recording_writer(&s, 8, 8, uchar_RGBA);
    pipe_image(ir, iw);
    close_image_writer(iw);
    EXPECT_EQ(close_image_reader(ir), 0);
    EXPECT_EQ(c.closes, 1);
    EXPECT_EQ(c.produced, std::vector<int>(6, 1));
    for (int n = 0; n < 8; n++) {
        std::vector<bool> keep = inside_circle(8, 8, n);
        for (int x = 0; x < 8; x++) {
            bool in_image = n >= 1 && n <= 6 && x >= 1 && x <= 6;
            int want = keep[x] && in_image && x < 4 ? 255 : 0;
            EXPECT_EQ(s.rows[n][4 * x + 3], want) << n << "," << x;
        }
    }
}
