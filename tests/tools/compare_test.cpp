// The comparison against a brute-force count over every pixel's
// neighbourhood, and PSNR on differences whose value is known.
#include "tools/imgcompare/compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>

namespace
{

struct image_pair {
    int width, height;
    std::vector<double> diff;           // three per pixel, whole numbers
    std::vector<unsigned char> covered; // one per pixel
};

image_pair random_pair(int width, int height, unsigned seed, double density)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> level(0, 40);
    std::bernoulli_distribution cover(density);
    image_pair p{width, height, {}, {}};
    for (int i = 0; i < width * height; i++) {
        p.covered.push_back(cover(gen));
        for (int c = 0; c < 3; c++)
            p.diff.push_back(level(gen));
    }
    return p;
}

bool clear_of_margin(const image_pair &p, const compare_settings &s, int x, int y)
{
    for (int dy = -s.margin; dy <= s.margin; dy++)
        for (int dx = -s.margin; dx <= s.margin; dx++) {
            int xx = x + dx, yy = y + dy;
            if (yy < 0 || yy >= p.height)
                continue;
            if (s.wrap)
                xx = ((xx % p.width) + p.width) % p.width;
            else if (xx < 0 || xx >= p.width)
                continue;
            if (!p.covered[size_t(yy) * p.width + xx])
                return false;
        }
    return true;
}

struct compare_case {
    int width, height;
    double density;
    compare_settings set;
};

void PrintTo(const compare_case &k, std::ostream *os)
{
    *os << k.width << "x" << k.height << " margin " << k.set.margin << (k.set.wrap ? " wrap" : "");
}

class CompareBruteForce : public testing::TestWithParam<compare_case>
{
};

TEST_P(CompareBruteForce, SameTotalsAndRows)
{
    const compare_case &k = GetParam();
    for (unsigned seed = 1; seed <= 5; seed++) {
        image_pair p = random_pair(k.width, k.height, seed, k.density);
        comparer c;
        init_comparer(&c, p.width, p.height, &k.set);
        std::vector<row_totals> rows;
        for (int y = 0; y < p.height; y++) {
            compare_row(&c, &p.diff[size_t(y) * p.width * 3], &p.covered[size_t(y) * p.width]);
            rows.insert(rows.end(), c.rows.begin(), c.rows.end());
            c.rows.clear();
        }
        finish_comparer(&c);
        rows.insert(rows.end(), c.rows.begin(), c.rows.end());

        const compare_settings &s = c.set; // the window made whole
        compare_totals t = {};
        size_t row_index = 0;
        for (int y = s.y0; y < s.y1; y++, row_index++) {
            row_totals r = {y, 0, {0, 0, 0}};
            for (int x = s.x0; x < s.x1; x++) {
                t.window++;
                t.covered += p.covered[size_t(y) * p.width + x];
                if (!clear_of_margin(p, s, x, y))
                    continue;
                r.counted++;
                for (int ch = 0; ch < 3; ch++) {
                    double v = p.diff[(size_t(y) * p.width + x) * 3 + ch];
                    r.sae[ch] += v;
                    t.sse[ch] += v * v;
                    t.max[ch] = std::max(t.max[ch], v);
                }
            }
            t.counted += r.counted;
            ASSERT_LT(row_index, rows.size());
            EXPECT_EQ(rows[row_index].y, y);
            EXPECT_EQ(rows[row_index].counted, r.counted) << "row " << y;
            for (int ch = 0; ch < 3; ch++) {
                EXPECT_EQ(rows[row_index].sae[ch], r.sae[ch]);
                t.sae[ch] += r.sae[ch];
            }
        }
        EXPECT_EQ(rows.size(), row_index);
        EXPECT_EQ(c.totals.window, t.window);
        EXPECT_EQ(c.totals.covered, t.covered);
        EXPECT_EQ(c.totals.counted, t.counted);
        for (int ch = 0; ch < 3; ch++) {
            EXPECT_EQ(c.totals.sse[ch], t.sse[ch]);
            EXPECT_EQ(c.totals.sae[ch], t.sae[ch]);
            EXPECT_EQ(c.totals.max[ch], t.max[ch]);
        }
    }
}

compare_settings settings(int margin, int wrap, int x0 = 0, int x1 = -1, int y0 = 0, int y1 = -1)
{
    compare_settings s;
    s.margin = margin;
    s.wrap = wrap;
    s.x0 = x0;
    s.x1 = x1;
    s.y0 = y0;
    s.y1 = y1;
    return s;
}

INSTANTIATE_TEST_SUITE_P(Settings, CompareBruteForce,
                         testing::Values(compare_case{13, 7, 0.9, settings(0, 0)},
                                         compare_case{13, 7, 0.9, settings(1, 0)},
                                         compare_case{13, 7, 0.95, settings(2, 1)},
                                         compare_case{40, 30, 0.97, settings(3, 0, 5, 33, 2, 29)},
                                         compare_case{40, 30, 0.97, settings(3, 1, 0, 7, 20, -1)},
                                         compare_case{1, 1, 1, settings(2, 1)},
                                         compare_case{5, 3, 1, settings(4, 1)},
                                         compare_case{17, 4, 0.8, settings(1, 1, 3, 100, -4, 2)},
                                         compare_case{17, 9, 0.99, settings(6, 0)}));

TEST(Psnr, KnownValues)
{
    EXPECT_NEAR(psnr(3 * 100, 100), 10 * std::log10(65025 / 3.0), 1e-12); // mean square error 3
    EXPECT_NEAR(psnr(255.0 * 255 * 10, 10), 0, 1e-12);
    EXPECT_NEAR(psnr(65.025, 100), 50, 1e-9);
    EXPECT_TRUE(std::isinf(psnr(0, 10)));
    EXPECT_TRUE(std::isnan(psnr(0, 0)));
}

} // namespace
