#include "blend_testing.h"

#include "stitcher/blend/blender_input.h"
#include "stitcher/blend/expand.h"
#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/reduce.h"
#include "stitcher/blend/spline.h"
#include "stitcher/pipeline/pixel_pool.h"

#include <limits>

using ::testing::ExitedWithCode;

namespace
{
class Pyramid : public ChainTest
{
};

image_reader *shape(int w, int h)
{
    return create_image_reader(1, nullptr, w, h, float_RGBA, float_image_read, nullptr);
}

int level_of(int w, int h)
{
    image_reader *ir = shape(w, h);
    int n = pyramid_level(ir);
    close_image_reader(ir);
    return n;
}

// Largest difference of R, G and B, and whether alpha is equal bit for bit.
float colour_error(const float_image &a, const float_image &b, bool *alpha_same)
{
    float worst = 0;
    *alpha_same = true;
    for (int y = 0; y < a.height; y++)
        for (int x = 0; x < a.width; x++) {
            for (int c = 0; c < 3; c++)
                worst = std::max(worst, std::fabs(a.at(x, y, c) - b.at(x, y, c)));
            float pa = a.at(x, y, 3), pb = b.at(x, y, 3);
            if (memcmp(&pa, &pb, sizeof pa) != 0)
                *alpha_same = false;
        }
    return worst;
}
} // namespace

// ---- settings, level counts and budgets ----

TEST_F(Pyramid, LevelCountFollowsTheSmallerSide)
{
    ASSERT_EQ(8, get_max_level());
    EXPECT_EQ(1, level_of(0, 50));
    EXPECT_EQ(1, level_of(50, 0));
    EXPECT_EQ(1, level_of(1, 1));
    EXPECT_EQ(3, level_of(100, 10));
    EXPECT_EQ(3, level_of(7, 7));
    EXPECT_EQ(3, level_of(8, 8));
    EXPECT_EQ(4, level_of(15, 15));
    EXPECT_EQ(8, level_of(1000, 1000));
    EXPECT_EQ(8, level_of(4000, 3000));
    set_max_level(10);
    EXPECT_EQ(10, level_of(4000, 3000));
    EXPECT_EQ(9, level_of(4000, 1000));
    set_max_level(8);
}

TEST_F(Pyramid, SettingsIgnoreValuesOutOfRange)
{
    int min_before = get_min_level();
    set_max_level(11);
    EXPECT_EQ(8, get_max_level());
    set_max_level(0);
    EXPECT_EQ(8, get_max_level());
    set_max_level(3);
    set_min_level(4);
    EXPECT_EQ(min_before, get_min_level());
    set_min_level(0);
    set_min_level(11);
    EXPECT_EQ(min_before, get_min_level());
    set_max_level(8);
}

TEST_F(Pyramid, RingBudgets)
{
    EXPECT_EQ(381, blend_bufsize(1));
    EXPECT_EQ(381, blend_bufsize(8));
    EXPECT_EQ(765, blend_bufsize(9));
    EXPECT_EQ(1533, blend_bufsize(10));
    EXPECT_EQ(382, warp_bufsize());
    set_max_level(9);
    EXPECT_EQ(766, warp_bufsize());
    set_max_level(10);
    EXPECT_EQ(1534, warp_bufsize());
    set_max_level(8);
}

// The ring of each Gaussian level shows in the message of a read one row
// beyond its window.
TEST_F(Pyramid, GaussianLevelsHoldTheirTableRows)
{
    struct table {
        int n;
        std::vector<int> rows;
    };
    const table tables[] = {{10, {766, 382, 190, 94, 46, 22, 10, 5, 2}},
                            {9, {382, 190, 94, 46, 22, 10, 5, 2}},
                            {8, {190, 94, 46, 22, 10, 5, 2}},
                            {4, {190, 94, 46}}};
    for (const table &t : tables)
        for (int i = 1; i < t.n; i++) {
            int nrows = t.rows[static_cast<size_t>(i - 1)];
            int last = nrows + 4;
            float_image src(1, ((last + 2) << i) + 1, 1);
            image_reader *ir = float_reader(&src);
            pyramid *p = create_gaussian_pyramid(ir, t.n);
            ASSERT_EQ(t.n, p->nlevels);
            float row;
            read_row(p->levels[i], last, &row);
            read_row(p->levels[i], last + 1 - nrows, &row);
            std::string msg = "^Read buffer too small, is " + std::to_string(nrows) + ", should be " +
                              std::to_string(nrows + 1) + "\n$";
            EXPECT_EXIT(read_row(p->levels[i], last - nrows, &row), ExitedWithCode(1), msg)
                << "levels " << t.n << ", level " << i;
            // Each level holds the one below it: closing the coarsest
            // releases them all, level 0 with them.
            close_image_reader(p->levels[t.n - 1]);
            free_pyramid(p, 0);
        }
}

// ---- reduce ----

TEST_F(Pyramid, ReduceReproducesRampsAndWeighsAnImpulse)
{
    float_image ramp(5, 5, 4);
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 5; x++)
            for (int c = 0; c < 4; c++)
                ramp.at(x, y, c) = static_cast<float>(x + 10 * y + c);
    float_image out = through(reduce, ramp);
    ASSERT_EQ(3, out.width);
    ASSERT_EQ(3, out.height);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++)
            for (int c = 0; c < 4; c++)
                EXPECT_NEAR(out.at(x, y, c), ramp.at(2 * x, 2 * y, c), 1e-4) << x << "," << y;
    // The kernel sees only rows 0, 2r-2 .. 2r+2 and 4.
    EXPECT_EQ(ramp.reads, (std::vector<int>{2, 1, 1, 1, 2}));

    // An impulse at (2, 2) gives 0.4 * 0.4 at the centre and nothing at the
    // sampled borders.
    float_image dot(5, 5, 1);
    dot.at(2, 2) = 1;
    out = through(reduce, dot);
    EXPECT_FLOAT_EQ(0.16f, out.at(1, 1));
    EXPECT_EQ(0.0f, out.at(0, 1));
    EXPECT_EQ(0.0f, out.at(2, 1));
    EXPECT_EQ(0.0f, out.at(1, 0));

    // On the last row, which is sampled and not filtered down, one at (1, 4)
    // weighs 0.25 in column 1; the row above sees it with 0.05 * 0.25.
    float_image edge(5, 5, 1);
    edge.at(1, 4) = 1;
    out = through(reduce, edge);
    EXPECT_FLOAT_EQ(0.25f, out.at(1, 2));
    EXPECT_FLOAT_EQ(0.0125f, out.at(1, 1));
    EXPECT_EQ(0.0f, out.at(0, 2));
}

TEST_F(Pyramid, ReduceOfAnEvenSizeNeverReadsTheLastRowOrColumn)
{
    float_image im = random_image(6, 6, 4, 7);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int i = 0; i < 6; i++)
        for (int c = 0; c < 4; c++)
            im.at(5, i, c) = im.at(i, 5, c) = nan;
    float_image out = through(reduce, im);
    ASSERT_EQ(3, out.width);
    ASSERT_EQ(3, out.height);
    EXPECT_EQ(0, im.reads[5]);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++)
            for (int c = 0; c < 4; c++)
                EXPECT_FALSE(std::isnan(out.at(x, y, c))) << x << "," << y;
    EXPECT_EQ(out.at(2, 2, 1), im.at(4, 4, 1));
}

TEST_F(Pyramid, ReduceOfOnePixelIsThatPixel)
{
    for (int ch : {1, 4}) {
        float_image im = random_image(1, 1, ch, 3);
        EXPECT_TRUE(same_bits(through(reduce, im), im));
    }
}

TEST_F(Pyramid, ReduceMatchesTheScalarReferenceAtEveryAlignment)
{
    const int sizes[][2] = {{13, 7}, {2, 2}, {3, 3}, {4, 9}, {17, 5},
                            {9, 17}, {6, 6}, {1, 8}, {8, 1}, {31, 11}};
    for (auto &s : sizes)
        for (int ch : {1, 4})
            for (int shift = 0; shift < 4; shift++) {
                float_image im = random_image(s[0], s[1], ch, static_cast<unsigned>(s[0] * 31 + s[1]), shift);
                EXPECT_TRUE(same_bits(through(reduce, im, 3 - shift), ref_reduce(im)))
                    << s[0] << "x" << s[1] << " channels " << ch << " shift " << shift;
            }
}

// ---- expand and the Laplacian stages ----

TEST_F(Pyramid, ExpandOfATwoByTwoMask)
{
    float_image m(2, 2, 1);
    m.at(0, 0) = 0;
    m.at(1, 0) = m.at(0, 1) = m.at(1, 1) = 255;
    float_image out = through(expand, m);
    ASSERT_EQ(3, out.width);
    ASSERT_EQ(3, out.height);
    const float want[3][3] = {{0, 127.5f, 255}, {127.5f, 191.25f, 255}, {255, 255, 255}};
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 3; x++)
            EXPECT_EQ(want[y][x], out.at(x, y)) << x << "," << y;
}

TEST_F(Pyramid, ExpandMatchesTheScalarReferenceAtEveryAlignment)
{
    const int sizes[][2] = {{7, 4}, {1, 1}, {1, 5}, {5, 1}, {2, 3}, {13, 7}, {16, 9}};
    for (auto &s : sizes)
        for (int shift = 0; shift < 4; shift++) {
            float_image im = random_image(s[0], s[1], 1, static_cast<unsigned>(s[0] + 100 * s[1]), shift);
            EXPECT_TRUE(same_bits(through(expand, im, shift), ref_expand(im)))
                << s[0] << "x" << s[1] << " shift " << shift;
        }
}

TEST_F(Pyramid, SubExpandThenAddExpandGivesTheFineLevelBack)
{
    const int sizes[][2] = {{7, 5}, {1, 1}, {2, 2}, {1, 4}, {10, 3}};
    for (auto &s : sizes)
        for (int shift = 0; shift < 4; shift++) {
            float_image coarse = random_image(s[0], s[1], 4, 11, shift);
            float_image fine = random_image(2 * s[0] - 1, 2 * s[1] - 1, 4, 12, 3 - shift);
            // Whatever the coarse alpha holds stays out of the result.
            coarse.at(0, 0, 3) = std::numeric_limits<float>::quiet_NaN();
            coarse.at(s[0] - 1, s[1] - 1, 3) = std::numeric_limits<float>::infinity();
            fine.at(0, 0, 3) = -0.0f;

            image_reader *d = sub_expand(float_reader(&fine), float_reader(&coarse));
            ASSERT_EQ(fine.width, d->width);
            ASSERT_EQ(fine.height, d->height);
            float_image diff = read_all(d, shift);
            close_image_reader(d);

            // The difference is fine - expansion on R, G and B, to the bit.
            float_image e = ref_expand(coarse);
            for (int y = 0; y < fine.height; y++)
                for (int x = 0; x < fine.width; x++)
                    for (int c = 0; c < 3; c++)
                        ASSERT_EQ(fine.at(x, y, c) - e.at(x, y, c), diff.at(x, y, c));

            image_reader *sum = add_expand(float_reader(&diff), float_reader(&coarse));
            float_image back = read_all(sum);
            close_image_reader(sum);
            bool alpha_same;
            EXPECT_LE(colour_error(back, fine, &alpha_same), 1e-4f) << s[0] << "x" << s[1];
            EXPECT_TRUE(alpha_same);
        }
}

TEST_F(Pyramid, StagesCheckTheirInputs)
{
    float_image rgba(3, 3, 4), gray(3, 3, 1), small(2, 2, 4);
    mem_image bytes_img(3, 3, uchar_RGBA);
    image_reader *c = mem_reader(&bytes_img);
    EXPECT_EXIT(reduce(c), ExitedWithCode(1), "ir->pixformat == float_RGBA \\|\\| ir->pixformat == float_G");
    close_image_reader(c);
    image_reader *a = float_reader(&rgba), *g = float_reader(&gray), *s = float_reader(&small);
    EXPECT_EXIT(expand(a), ExitedWithCode(1), "ia->pixformat== float_G");
    EXPECT_EXIT(sub_expand(g, g), ExitedWithCode(1), "ia->pixformat== float_RGBA");
    EXPECT_EXIT(add_expand(a, g), ExitedWithCode(1), "ib->pixformat== ia->pixformat");
    EXPECT_EXIT(spline(a, a, a), ExitedWithCode(1), "ir->pixformat == float_G");
    EXPECT_EXIT(spline(g, a, g), ExitedWithCode(1), "ia->pixformat == float_RGBA");
    EXPECT_EXIT(spline(a, g, g), ExitedWithCode(1), "ib->pixformat == float_RGBA");
    // A fine level that is not the expansion size would be read past the coarse rows.
    EXPECT_EXIT(sub_expand(a, a), ExitedWithCode(1), "Assertion failed");
    small.tag = 2;
    image_reader *s2 = float_reader(&small);
    EXPECT_EXIT(sub_expand(a, s2), ExitedWithCode(1), "ia->type == ib->type");
    EXPECT_EXIT(spline(a, s2, g), ExitedWithCode(1), "ia->type==ib->type");
    EXPECT_EXIT(spline(a, a, s2), ExitedWithCode(1), "ia->type==ir->type");
    close_image_reader(s2);
    image_reader *d = add_expand(a, s);
    EXPECT_EXIT(read_row(d, 0, nullptr), ExitedWithCode(1), "buf != NULL");
    close_image_reader(d);
    image_reader *r = reduce(g);
    EXPECT_EXIT(read_row(r, 0, nullptr), ExitedWithCode(1), "buf != NULL");
    close_image_reader(r);
}

TEST_F(Pyramid, StagesKeepTheTagOfTheirSource)
{
    float_image rgba(3, 3, 4), gray(3, 3, 1), coarse(2, 2, 4);
    for (float_image *im : {&rgba, &gray, &coarse})
        im->tag = 2;
    image_reader *stages[] = {reduce(float_reader(&rgba)), expand(float_reader(&gray)),
                              sub_expand(float_reader(&rgba), float_reader(&coarse)),
                              add_expand(float_reader(&rgba), float_reader(&coarse)),
                              spline(float_reader(&rgba), float_reader(&rgba), float_reader(&gray))};
    for (image_reader *ir : stages) {
        EXPECT_EQ(2u, ir->type);
        close_image_reader(ir);
    }
}

// ---- spline ----

TEST_F(Pyramid, SplineMixesColourAndKeepsAsAlpha)
{
    float_image a = random_image(5, 1, 4, 21), b = random_image(5, 1, 4, 22), m(5, 1, 1);
    b.at(1, 0, 3) = std::numeric_limits<float>::quiet_NaN();
    const float masks[] = {255, 0, 127.5f, 255, 51};
    for (int x = 0; x < 5; x++)
        m.at(x, 0) = masks[x];
    image_reader *ir = spline(float_reader(&a), float_reader(&b), float_reader(&m));
    float_image out = read_all(ir);
    close_image_reader(ir);
    for (int c = 0; c < 3; c++) {
        EXPECT_EQ(a.at(0, 0, c), out.at(0, 0, c));
        EXPECT_EQ(b.at(1, 0, c), out.at(1, 0, c));
        EXPECT_EQ((a.at(2, 0, c) + b.at(2, 0, c)) * 0.5f, out.at(2, 0, c));
        EXPECT_NEAR(a.at(4, 0, c) * 0.2f + b.at(4, 0, c) * 0.8f, out.at(4, 0, c), 1e-4);
    }
    for (int x = 0; x < 5; x++)
        EXPECT_EQ(a.at(x, 0, 3), out.at(x, 0, 3));
}

// ---- whole pyramids ----

TEST_F(Pyramid, LaplacianPyramidCollapsesToItsInput)
{
    for (int n = 1; n <= 6; n++)
        for (int k : {1, 2, 3}) {
            int w = k * (1 << (n - 1)) + 1, h = (k + 1) * (1 << (n - 1)) + 1;
            float_image im = random_image(w, h, 4, static_cast<unsigned>(n * 10 + k));
            image_reader *ir = float_reader(&im);
            pyramid *p = create_laplacian_pyramid(ir, n);
            ASSERT_EQ(n, p->nlevels);
            for (int i = 0; i < n; i++) {
                EXPECT_EQ((w - 1) / (1 << i) + 1, p->levels[i]->width);
                EXPECT_EQ((h - 1) / (1 << i) + 1, p->levels[i]->height);
            }
            image_reader *r = reconstruct(p);
            free_pyramid(p, 0);
            float_image out = read_all(r);
            close_image_reader(r);
            bool alpha_same;
            EXPECT_LE(colour_error(out, im, &alpha_same), 2e-4f) << n << " levels, " << w << "x" << h;
            EXPECT_TRUE(alpha_same);
            if (n == 1) {
                EXPECT_TRUE(same_bits(out, im));
            }
        }
}

TEST_F(Pyramid, EmptyLaplacianShellAndFreeingWithItsLevels)
{
    pyramid *p = create_laplacian_pyramid(nullptr, 5);
    EXPECT_EQ(5, p->nlevels);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(nullptr, p->levels[i]);
    free_pyramid(p, 0);

    // Levels that nobody else holds are released with the flag.
    float_image im(3, 3, 4);
    p = create_laplacian_pyramid(nullptr, 3);
    for (int i = 0; i < 3; i++)
        p->levels[i] = float_reader(&im);
    EXPECT_EQ(0, free_pyramid(p, 1));
}

TEST_F(Pyramid, OneLevelBlendIsExactlySpline)
{
    float_image a = random_image(9, 6, 4, 31), b = random_image(9, 6, 4, 32), m = random_image(9, 6, 1, 33);
    m.at(0, 0) = 0;
    m.at(1, 0) = 255;
    image_reader *direct = spline(float_reader(&a), float_reader(&b), float_reader(&m));
    float_image want = read_all(direct);
    close_image_reader(direct);

    int before = image_reader_count;
    image_reader *ra = float_reader(&a), *rb = float_reader(&b), *rm = float_reader(&m);
    image_reader *r = blend_pyramids(ra, rb, rm, 1);
    // Only the spline and its ring: no reduce or expand stage.
    EXPECT_EQ(before + 5, image_reader_count);
    EXPECT_TRUE(same_bits(read_all(r), want));
    close_image_reader(r);
}

TEST_F(Pyramid, BlendingAnImageWithItselfGivesItBack)
{
    for (int n = 1; n <= 5; n++) {
        int w = 3 * (1 << (n - 1)) + 1, h = 2 * (1 << (n - 1)) + 1;
        float_image a = random_image(w, h, 4, static_cast<unsigned>(40 + n)), b = a;
        float_image m = random_image(w, h, 1, static_cast<unsigned>(50 + n));
        image_reader *r = blend_pyramids(float_reader(&a), float_reader(&b), float_reader(&m), n);
        float_image out = read_all(r);
        close_image_reader(r);
        bool alpha_same;
        EXPECT_LE(colour_error(out, a, &alpha_same), 2e-3f) << n << " levels";
        EXPECT_TRUE(alpha_same);
    }
}

// Sharp masks: where the mask is 255 over a whole neighbourhood the blend
// gives a, where it is 0 it gives b.
TEST_F(Pyramid, BlendFollowsTheMaskFarFromTheSeam)
{
    const int n = 4, w = 8 * 8 + 1, h = 2 * 8 + 1;
    float_image a(w, h, 4), b(w, h, 4), m(w, h, 1);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < 3; c++) {
                a.at(x, y, c) = 200;
                b.at(x, y, c) = 40;
            }
            a.at(x, y, 3) = 255;
            b.at(x, y, 3) = 100;
            m.at(x, y) = x < w / 2 ? 255 : 0;
        }
    image_reader *r = blend_pyramids(float_reader(&a), float_reader(&b), float_reader(&m), n);
    float_image out = read_all(r);
    close_image_reader(r);
    EXPECT_NEAR(200, out.at(0, h / 2, 0), 0.01);
    EXPECT_NEAR(40, out.at(w - 1, h / 2, 0), 0.01);
    float mid = out.at(w / 2, h / 2, 0);
    EXPECT_GT(mid, 40);
    EXPECT_LT(mid, 200);
    for (int x = 0; x + 1 < w; x++) // a smooth, monotone transition
        EXPECT_GE(out.at(x, h / 2, 1) + 1e-3f, out.at(x + 1, h / 2, 1)) << x;
    EXPECT_EQ(255, out.at(w - 1, 0, 3));
}

// The finest mask levels become expansions of level min(min_level, n - 1).
// Run apart: min_level cannot be set back to 0.
TEST_F(Pyramid, ExpandPyramidReplacesTheFinestMaskLevels)
{
    EXPECT_EXIT(
        {
            set_min_level(4);
            float_image m = random_image(17, 9, 1, 61);
            float_image g2 = ref_reduce(ref_reduce(m));
            bool ok = true;
            // Each level is a stream: read it from a pyramid of its own.
            for (int level = 0; level < 3; level++) {
                pyramid *p = create_gaussian_pyramid(float_reader(&m), 3);
                image_reader *level2 = p->levels[2];
                expand_pyramid(p);
                ok = ok && p->levels[2] == level2;
                float_image want = level == 2 ? g2 : level == 1 ? ref_expand(g2) : ref_expand(ref_expand(g2));
                ok = ok && same_bits(read_all(p->levels[level]), want);
                for (int i = 0; i < 3; i++)
                    connect_reader(p->levels[i]);
                free_pyramid(p, 1);
            }
            image_reader *ir = float_reader(&m);
            // One level: nothing to replace.
            pyramid *one = create_gaussian_pyramid(ir, 1);
            expand_pyramid(one);
            ok = ok && one->levels[0] == ir;
            free_pyramid(one, 1);
            fprintf(stderr, ok ? "expanded\n" : "wrong levels\n");
            exit(ok ? 0 : 2);
        },
        ExitedWithCode(0), "^expanded\n$");
}

// A blend as wide as a panorama, its rows cut into column ranges on the
// pool, gives the bits of one thread in the seam modes that mix by a mask.
using Threads = ChainTest;

TEST_F(Threads, WideBlendOnThePoolAsOnOneThread)
{
    const int w = 2048 * 8 + 1, h = 17, n = 4;
    float_image s0 = random_image(w, h, 4, 61), s1 = random_image(w, h, 4, 62);
    auto blend = [&](int threads) {
        set_pixel_threads(threads);
        image_reader *a, *b, *m;
        EXPECT_EQ(create_blender_images(&a, &b, &m, float_reader(&s0), float_reader(&s1), n), 0);
        image_reader *r = blend_pyramids(a, b, m, n);
        float_image out = read_all(r);
        close_image_reader(r);
        return out;
    };
    for (int mode : {0, 2}) {
        set_seamer(mode);
        EXPECT_TRUE(same_bits(blend(8), blend(1))) << "seam mode " << mode;
    }
    set_pixel_threads(0);
    set_seamer(0);
}
