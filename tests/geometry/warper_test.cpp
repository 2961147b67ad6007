// The warper and its remappers: identities (constants, ramps), the
// classification at the edges, the alpha, threads and the ring.
#include "chain_testing.h"
#include "tests/geometry/warp_testing.h"

#include "stitcher/pipeline/keloerror.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <limits>
#include <sys/mman.h>

using namespace stacktest;
using namespace warptest;

namespace
{

TEST(Warper, ThreadCountsGiveTheSameBits)
{
    std::mt19937 rng(5);
    for (int code = 0; code < INTERP_COUNT; code++) {
        const int T = interpolator_taps(code);
        source src(2 * T + 21, 2 * T + 9, code % 2 ? uchar_RGBA : float_RGBA);
        src.randomize(static_cast<unsigned>(code));
        stack_ptr sd = affine_stack(rng, src.li.width);
        for (int width : {5, 2 * T + 27}) {
            warp_case c = same_size(src.li, sd.get(), code);
            c.pano[0] = c.dest.width = width;
            c.circle = code % 3 == 0;
            std::vector<float> one = warp_rows(src.li, c);
            for (int threads : {2, 3, 8, 33}) {
                c.threads = threads;
                SCOPED_TRACE(testing::Message()
                             << "code " << code << " width " << width << " threads " << threads);
                EXPECT_TRUE(same_rows(warp_rows(src.li, c), one, width));
            }
        }
    }
}

// Interior pixels of a constant image are the constant times the kernel's
// sums (exactly 1 but for the Lanczos kernels, which are not normalised), and
// the linear kernel and the splines reproduce a ramp.
TEST(Warper, ConstantsAndRamps)
{
    std::mt19937 rng(17);
    for (int code = 0; code < INTERP_COUNT; code++) {
        const int T = interpolator_taps(code);
        const int w = 2 * T + 25, h = 2 * T + 19;
        source flat(w, h, float_RGBA), ramp(w, h, float_RGBA);
        flat.fill([](int, int, int c) { return c == 3 ? 255.0f : 173.0f; });
        ramp.fill([](int x, int y, int c) { return c == 3 ? 255.0f : 20.0f + 1.5f * x + 0.75f * y + c; });
        stack_ptr sd = affine_stack(rng, w);
        auto vs = to_vector(sd.get());
        warp_case c = same_size(flat.li, sd.get(), code);
        std::vector<float> f = warp_rows(flat.li, c), r = warp_rows(ramp.li, c);
        rref::setup s = rref::make_setup(&flat.li, c.src_rect, false, code);
        const bool linear_exact = code == INTERP_BILINEAR || code == INTERP_SPLINE16 ||
                                  code == INTERP_SPLINE36 || code == INTERP_SPLINE64 || code == INTERP_NN;
        int interior = 0;
        for (int y = 0; y < h; y++) {
            for (int x0 = 0; x0 < w; x0 += 4) {
                alignas(16) float X[4], Y[4];
                for (int j = 0; j < 4; j++) {
                    X[j] = static_cast<float>(x0 + j) - s.cx;
                    Y[j] = static_cast<float>(y) - s.cy;
                }
                remap(X, Y, vs->slots);
                for (int j = 0; j < 4 && x0 + j < w; j++) {
                    float ed = rref::edge_distance(s, X[j], Y[j]);
                    if (!(ed >= (T == 1 ? 0 : T / 2)))
                        continue;
                    interior++;
                    size_t i = 4 * (static_cast<size_t>(y) * w + x0 + j);
                    float xs = X[j] + s.cx, ys = Y[j] + s.cy;
                    float fx = std::floor(xs), fy = std::floor(ys);
                    double sx = 1, sy = 1;
                    if (T > 1) {
                        float wx[32], wy[32];
                        rref::weights(code, xs - fx, wx);
                        rref::weights(code, ys - fy, wy);
                        sx = sy = 0;
                        for (int k = 0; k < T; k++) {
                            sx += wx[k];
                            sy += wy[k];
                        }
                    }
                    if (code < INTERP_SINC256) {
                        ASSERT_NEAR(f[i], 173.0f, 2e-4) << code;
                    }
                    ASSERT_NEAR(f[i], 173.0 * sx * sy, 2e-4) << code;
                    if (!linear_exact)
                        continue;
                    if (code == INTERP_NN) {
                        xs = std::nearbyint(xs);
                        ys = std::nearbyint(ys);
                    }
                    for (int ch = 0; ch < 3; ch++)
                        ASSERT_NEAR(r[i + ch], 20.0f + 1.5f * xs + 0.75f * ys + ch, 2e-3) << code;
                }
            }
        }
        EXPECT_GT(interior, w * h / 8) << code;
    }
}

// ---- Edges, by single points ----

// A panorama of one pixel has its centre at 0: destination pixel (x, y) is
// the point (x, y), and a shift stack puts it anywhere in the source.
struct point_warp {
    source src;
    irectangle rect;
    int circle = 0;
    point_warp(int w, int h, uint32_t fmt = uchar_RGBA) : src(w, h, fmt), rect{0, 0, w, h}
    {
        // R: ten times the column, G: ten times the row.
        src.fill([](int x, int y, int c) {
            return c == 0 ? 10.0f * x : c == 1 ? 10.0f * y : c == 2 ? 7.0f : 255.0f;
        });
    }
    // The pixel of source position (xs, ys), in pixel coordinates.
    std::vector<float> at(int code, float xs, float ys)
    {
        float cx = src.li.width * 0.5f - 0.5f, cy = src.li.height * 0.5f - 0.5f;
        stack_ptr sd = make_stack({{_shift, {xs - cx, ys - cy}}});
        warp_case c;
        c.src_rect = rect;
        c.pano[0] = c.pano[1] = 1;
        c.dest = {0, 0, 1, 1};
        c.stack = sd.get();
        c.circle = circle;
        c.code = code;
        std::vector<float> out = warp_rows(src.li, c);
        EXPECT_TRUE(same_rows(out, reference_rows(src.li, c), 1));
        return out;
    }
    float scale() const { return 256.0f / (src.li.width * 0.5f - 0.5f); }
};

TEST(WarperEdges, NearestPixelIsTheNearestEverywhere)
{
    point_warp pw(9, 7);
    // Interior.
    EXPECT_EQ(pw.at(INTERP_NN, 3.7f, 3.0f)[0], 40.0f);
    EXPECT_EQ(pw.at(INTERP_NN, 3.2f, 3.0f)[0], 30.0f);
    EXPECT_EQ(pw.at(INTERP_NN, 2.5f, 3.0f)[0], 20.0f); // ties to even
    EXPECT_EQ(pw.at(INTERP_NN, 3.5f, 3.0f)[0], 40.0f);
    EXPECT_EQ(pw.at(INTERP_NN, 4.0f, 2.6f)[1], 30.0f);
    // The same point in the edge band of a rectangle starting at column 4.
    pw.rect = {4, 0, 5, 7};
    auto p = pw.at(INTERP_NN, 3.7f, 3.0f);
    EXPECT_EQ(p[0], 40.0f);
    EXPECT_FLOAT_EQ(p[3], (3.7f - 4.0f) * pw.scale());
}

TEST(WarperEdges, EdgeBandAndOutside)
{
    point_warp pw(9, 7);
    pw.rect = {2, 0, 7, 7};
    for (int code : {INTERP_NN, INTERP_BILINEAR, INTERP_POLY3, INTERP_SINC1024}) {
        // -0.5 is still in the band and reads its nearest pixel (1.5 -> 2).
        auto p = pw.at(code, 1.5f, 3.0f);
        EXPECT_EQ(p[0], 20.0f) << code;
        EXPECT_EQ(p[3], -0.5f * pw.scale()) << code;
        // -0.51 is outside: the zero pixel.
        p = pw.at(code, 1.49f, 3.0f);
        EXPECT_EQ(p, std::vector<float>(4, 0.0f)) << code;
    }
}

TEST(WarperEdges, InteriorMarginUsesTheFullKernel)
{
    point_warp pw(9, 7);
    // Bilinear, margin 1: a row distance of exactly 1 interpolates between
    // columns 4 and 5; just below it the nearest column (4.5 -> 4) is read.
    auto in = pw.at(INTERP_BILINEAR, 4.5f, 1.0f);
    EXPECT_EQ(in[0], 45.0f);
    EXPECT_EQ(in[3], 1.0f * pw.scale());
    auto band = pw.at(INTERP_BILINEAR, 4.5f, 0.99f);
    EXPECT_EQ(band[0], 40.0f);
    EXPECT_EQ(band[1], 10.0f);
    // Spline36, margin 3.
    EXPECT_NE(pw.at(INTERP_SPLINE36, 3.25f, 3.0f)[0], 30.0f);
    EXPECT_EQ(pw.at(INTERP_SPLINE36, 2.75f, 3.0f)[0], 30.0f);
}

TEST(WarperEdges, RowAndColumnAreCheckedApart)
{
    // Even width, rectangle reaching the last column: 7.5 rounds to column 8,
    // past the row's end. That is no pixel, not the next row's first one.
    point_warp pw(8, 6);
    for (int code : {INTERP_NN, INTERP_POLY3}) {
        EXPECT_EQ(pw.at(code, 7.5f, 2.0f), std::vector<float>(4, 0.0f)) << code;
        EXPECT_EQ(pw.at(code, 7.5f, 5.0f), std::vector<float>(4, 0.0f)) << code; // the last row
        EXPECT_EQ(pw.at(code, 3.0f, 5.5f), std::vector<float>(4, 0.0f)) << code; // row 6: none
        EXPECT_EQ(pw.at(code, 3.0f, 4.5f)[1], 40.0f) << code;                    // row 4, the even one
        auto p = pw.at(code, 3.0f, -0.5f);                                       // row 0
        EXPECT_EQ(p[1], 0.0f) << code;
        EXPECT_EQ(p[2], 7.0f) << code;
        EXPECT_EQ(pw.at(code, -0.5f, 2.0f)[2], 7.0f) << code; // column 0
    }
    // A rectangle inside the image: the band may read the pixel just outside it.
    pw.rect = {1, 1, 6, 3};
    auto p = pw.at(INTERP_NN, 0.5f, 2.0f);
    EXPECT_EQ(p[1], 20.0f);
    EXPECT_EQ(p[2], 7.0f);
}

TEST(WarperEdges, UnmappablePointsAndCentreAlpha)
{
    point_warp pw(9, 7);
    EXPECT_EQ(pw.at(INTERP_POLY3, 1e21f, 3.0f), std::vector<float>(4, 0.0f));
    EXPECT_EQ(pw.at(INTERP_POLY3, 4.0f, std::numeric_limits<float>::infinity()), std::vector<float>(4, 0.0f));
    EXPECT_EQ(pw.at(INTERP_POLY3, std::numeric_limits<float>::quiet_NaN(), 3.0f),
              std::vector<float>(4, 0.0f));
    // The pixel at the floor of the point has alpha 0: the colour stays
    // interpolated, the alpha is 0.
    pw.src.set(4, 3, 3, 0);
    auto p = pw.at(INTERP_BILINEAR, 4.25f, 3.0f);
    EXPECT_EQ(p[0], 42.5f);
    EXPECT_EQ(p[3], 0.0f);
    // Its neighbour's alpha does not matter.
    EXPECT_GT(pw.at(INTERP_BILINEAR, 3.75f, 3.0f)[3], 0.0f);
}

TEST(WarperEdges, CircularCrop)
{
    point_warp pw(21, 21);
    pw.circle = 1;
    const float c = 10.0f; // centre and radius
    // Inside the rectangle at distance r from the centre: the edge distance is
    // at most radius - r.
    auto p = pw.at(INTERP_POLY3, c, c - 10.4f);
    EXPECT_NEAR(p[3], -0.4f * pw.scale(), 1e-4);
    EXPECT_EQ(p[1], 0.0f);
    float d = 7.3f / std::sqrt(2.0f);
    p = pw.at(INTERP_POLY3, c + d, c + d);
    EXPECT_NEAR(p[3], (10.0f - 7.3f) * pw.scale(), 1e-3);
    // Beyond radius + 0.5: outside, though inside the rectangle.
    d = 10.6f / std::sqrt(2.0f);
    EXPECT_EQ(pw.at(INTERP_POLY3, c + d, c + d), std::vector<float>(4, 0.0f));
    EXPECT_EQ(pw.at(INTERP_NN, c + 10.6f, c), std::vector<float>(4, 0.0f));
    // At (15, 16.05) the edge distance passes the margin of poly3, but its
    // corner tap (17, 18) lies 10.6 from the centre: the nearest pixel serves.
    p = pw.at(INTERP_POLY3, 15.0f, 16.05f);
    EXPECT_EQ(p[1], 160.0f);
    EXPECT_NEAR(p[3], (10.0f - std::hypot(5.0f, 6.05f)) * pw.scale(), 1e-3);
    // Straight below the centre the square of taps fits: the full kernel.
    EXPECT_NE(pw.at(INTERP_POLY3, c, 17.9f)[1], 180.0f);
    // Without the circle the first point has its full kernel too.
    pw.circle = 0;
    EXPECT_NE(pw.at(INTERP_POLY3, 15.0f, 16.05f)[1], 160.0f);
}

TEST(WarperAlpha, PriorityAndSourceLayouts)
{
    point_warp pw(9, 7);
    float full = pw.at(INTERP_POLY3, 4.0f, 3.0f)[3];
    EXPECT_EQ(full, 3.0f * 256.0f / 4.0f); // the row distance: centre of a landscape image
    pw.src.li.priority = 50;
    EXPECT_EQ(pw.at(INTERP_POLY3, 4.0f, 3.0f)[3], full / 2);
    pw.src.li.priority = 200;
    EXPECT_EQ(pw.at(INTERP_POLY3, 4.0f, 3.0f)[3], 2 * full); // not clamped
    // Without alpha in the source, every covered pixel has the feathered alpha.
    point_warp rgb(9, 7, uchar_RGB);
    EXPECT_EQ(rgb.at(INTERP_SPLINE16, 2.5f, 2.0f)[3], 2.0f * rgb.scale());
    point_warp wide(9, 7, ushort_RGB);
    EXPECT_EQ(wide.at(INTERP_NN, 2.5f, 2.0f)[3], 2.0f * wide.scale());
}

// Byte offsets past 2 GiB: a 30000 x 20000 uchar_RGBA source (2.4 GB of
// address space, of which only the pages read are ever touched).
TEST(WarperEdges, SourcesPastTwoGigabytes)
{
    const int w = 30000, h = 20000;
    const size_t bytes = size_t(w) * h * 4;
    void *mem =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    loaded_image li = {1, w, h, uchar_RGBA, bytes, mem, 100};
    unsigned char *p = static_cast<unsigned char *>(mem);
    for (int y = 19000; y < 19004; y++)
        for (int x = 29990; x < 29994; x++)
            memcpy(p + (size_t(y) * w + x) * 4, "\x50\x60\x70\xff", 4);
    const float cx = w * 0.5f - 0.5f, cy = h * 0.5f - 0.5f;
    stack_ptr sd = make_stack({{_shift, {29991.5 - cx, 19001.5 - cy}}});
    warp_case c;
    c.src_rect = {0, 0, w, h};
    c.pano[0] = c.pano[1] = 1;
    c.dest = {0, 0, 1, 1};
    c.stack = sd.get();
    for (int code : {INTERP_NN, INTERP_POLY3}) {
        c.code = code;
        std::vector<float> out = warp_rows(li, c);
        EXPECT_EQ(out[0], 80.0f) << code;
        EXPECT_EQ(out[2], 112.0f) << code;
        EXPECT_GT(out[3], 0.0f) << code;
    }
    munmap(mem, bytes);
}

TEST(WarperAlpha, OnePixelWideSourceKeepsNumbers)
{
    for (int code = 0; code < INTERP_COUNT; code++) {
        point_warp pw(1, 5);
        for (float x : {-0.5f, -0.2f, 0.0f, 0.3f}) {
            auto p = pw.at(code, x, 2.0f);
            for (float v : p)
                EXPECT_TRUE(std::isfinite(v)) << code << " at " << x;
            EXPECT_LE(p[3], 0.0f);
        }
    }
}

// ---- The reader ----

class WarperReader : public ChainTest
{
};

TEST_F(WarperReader, ShapeRingAndThreads)
{
    source src(13, 7, uchar_RGBA);
    src.randomize(3, 0);
    src.li.kind = 2;
    stack_ptr sd = make_stack({{_shift, {0.25, 0}}});
    const int32_t pano[2] = {13, 7};
    const struct {
        int threads, width, readers;
    } cases[] = {{1, 13, 2}, {4, 13, 2}, {4, 2048, 3}};
    for (const auto &c : cases) {
        set_num_warp_threads(c.threads);
        int before = image_reader_count;
        image_reader *r = warper(&src.li, {0, 0, 13, 7}, {0, 0, c.width, 7}, pano, sd.get(), 0);
        set_num_warp_threads(1);
        // The ring on the base reader, with the threaded reader between them
        // when there is more than one thread and the row is wide enough to share.
        EXPECT_EQ(image_reader_count - before, c.readers);
        EXPECT_EQ(r->type, 2u);
        // A row asked for twice in a row is computed once: a change of the
        // source shows only in the next row computed.
        std::vector<float> first(static_cast<const float *>(read_row(r, 0, nullptr)),
                                 static_cast<const float *>(read_row(r, 0, nullptr)) + 52);
        memset(src.li.buffer, 0, src.li.size);
        const float *again = static_cast<const float *>(read_row(r, 0, nullptr));
        EXPECT_EQ(std::vector<float>(again, again + 52), first);
        EXPECT_NE(first[0], 0.0f);
        EXPECT_EQ(static_cast<const float *>(read_row(r, 1, nullptr))[0], 0.0f);
        // With a caller buffer the row is copied into it.
        std::vector<float> buf(4 * static_cast<size_t>(c.width));
        EXPECT_EQ(read_row(r, 2, buf.data()), buf.data());
        close_image_reader(r);
        src.randomize(3, 0);
    }
}

TEST(WarperDeathTest, RefusedSettingsAndSources)
{
    source src(9, 7, uchar_RGBA);
    stack_ptr sd = make_stack({});
    const int32_t pano[2] = {9, 7};
    set_interpolator(11);
    EXPECT_EXIT(warper(&src.li, {0, 0, 9, 7}, {0, 0, 9, 7}, pano, sd.get(), 0), ::testing::ExitedWithCode(1),
                "Unsupported interpolator\\.");
    set_interpolator(INTERP_POLY3);
    source grey(9, 7, float_G);
    EXPECT_EXIT(warper(&grey.li, {0, 0, 9, 7}, {0, 0, 9, 7}, pano, sd.get(), 0), ::testing::ExitedWithCode(1),
                "Conversion from 3 to 1 not supported\\.");
}

// Cancel is seen on rows 0, 50, 100, ... of the rectangle, by the calling
// thread; the row is completed before the run ends.
TEST(WarperDeathTest, CancelOnEveryFiftiethRow)
{
    auto run = [](int threads) {
        set_console(0);
        source src(9, 7, uchar_RGBA);
        src.randomize(1);
        stack_ptr sd = make_stack({});
        const int32_t pano[2] = {64, 64};
        set_num_warp_threads(threads);
        image_reader *r = warper(&src.li, {0, 0, 9, 7}, {0, 1000, 64, 120}, pano, sd.get(), 0);
        progress_open("Warping");
        for (int y = 0; y < 49; y++)
            read_row(r, y, nullptr);
        raise(SIGINT);
        read_row(r, 49, nullptr);
        fprintf(stderr, "row 49 done\n");
        read_row(r, 50, nullptr);
        fprintf(stderr, "row 50 done\n");
        exit(0);
    };
    EXPECT_EXIT(run(1), ::testing::ExitedWithCode(1), "row 49 done\n(.|\n)*Cancelled");
    EXPECT_EXIT(run(4), ::testing::ExitedWithCode(1), "row 49 done\n(.|\n)*Cancelled");
}

} // namespace
