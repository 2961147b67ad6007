#include "blend_testing.h"

#include "stitcher/blend/seam.h"

#include <cmath>

using ::testing::ExitedWithCode;

namespace
{
// A hand-made window of the smart seam over cost records.
struct window {
    float_image records;
    std::vector<irectangle> regions = std::vector<irectangle>(10);
    std::vector<unsigned char> rct, prev_mask;
    std::vector<const float *> rows;
    seam_data sd{};
    image_reader *shape;

    window(int width, int nrows, int preload = 200) : records(width, nrows, 4)
    {
        shape = create_image_reader(1, nullptr, width, nrows, float_RGBA, float_image_read, nullptr);
        rct.assign(static_cast<size_t>(preload) * width, 0);
        prev_mask.assign(static_cast<size_t>(width), 0);
        for (int j = 0; j < nrows; j++)
            rows.push_back(records.row(j));
        sd.source = shape;
        sd.preload = preload;
        sd.nrows = nrows;
        sd.half = preload / 2;
        sd.regions = regions.data();
        sd.rct = rct.data();
        sd.rows = rows.data();
        sd.prev_mask = prev_mask.data();
        for (int i = 0; i < 10; i++)
            sd.factor[i] = sd.prev_factor[i] = 1.0f;
    }
    ~window() { close_image_reader(shape); }
    void set(int x, int y, float alpha_a, float alpha_b, float cost = 1)
    {
        records.at(x, y, cost_alpha_a) = alpha_a;
        records.at(x, y, cost_alpha_b) = alpha_b;
        records.at(x, y, cost_value) = cost;
    }
    // Every row of a column alike.
    void column(int x, float alpha_a, float alpha_b, float cost = 1)
    {
        for (int y = 0; y < records.height; y++)
            set(x, y, alpha_a, alpha_b, cost);
    }
    unsigned char mask(int x, int j) const { return rct[static_cast<size_t>(j) * records.width + x]; }
};

class Seam : public SeamModeTest
{
};

double pow5(double c) { return std::pow(c, 5); }
} // namespace

TEST(SeamMaskRule, FactorWeighsTheEarlierAlpha)
{
    EXPECT_EQ(0, seam_mask_rule(0, 0, 1));
    EXPECT_EQ(0, seam_mask_rule(0, 5, 1));
    EXPECT_EQ(255, seam_mask_rule(5, 0, 1));
    EXPECT_EQ(0, seam_mask_rule(200, 200, 1));
    EXPECT_EQ(255, seam_mask_rule(201, 200, 1));
    EXPECT_EQ(0, seam_mask_rule(201, 200, 1.1f));
    EXPECT_EQ(255, seam_mask_rule(201, 200, 0.5f));
    EXPECT_EQ(0, seam_mask_rule(NAN, 200, 1));
    EXPECT_EQ(255, seam_mask_rule(NAN, 0, 1));
}

// ---- the factor search ----

namespace
{
struct probe {
    std::vector<double> xs;
    double (*shape)(double);
};
double probe_fn(double x, void *data)
{
    probe *p = static_cast<probe *>(data);
    p->xs.push_back(x);
    return p->shape(x);
}
optimize_data search(probe *p, double x0 = 0)
{
    optimize_data d = {x0, -2.302585092994045, 2.302585092994046, 0.5, 0.005, p, probe_fn, 0};
    optimize(&d);
    return d;
}
} // namespace

TEST(Optimize, FindsTheMinimumWithinSevenHalvings)
{
    probe p{{}, [](double x) { return (x - 0.3) * (x - 0.3); }};
    optimize_data d = search(&p);
    EXPECT_NEAR(0.3, d.x, 0.0078125);
    EXPECT_EQ((d.x - 0.3) * (d.x - 0.3), d.fx);
    EXPECT_LE(p.xs.size(), 15u);
    EXPECT_EQ(15u, p.xs.size()); // every step has both neighbours inside the bounds
}

TEST(Optimize, TiesMoveDownAndNoBetterNeighboursStay)
{
    probe flat{{}, [](double x) { return x == 0 ? 1.0 : 0.0; }};
    optimize_data d = search(&flat);
    EXPECT_EQ(-0.5, d.x); // both sides 0 < 1: the lower one; then no side is better
    EXPECT_EQ(0, d.fx);

    probe bowl{{}, [](double x) { return std::fabs(x); }};
    d = search(&bowl);
    EXPECT_EQ(0, d.x);
    // Stays at 0 and halves its step: 0.5, 0.25, ... 0.0078125.
    std::vector<double> want = {0};
    for (double s = 0.5; s >= 0.005; s *= 0.5) {
        want.push_back(-s);
        want.push_back(s);
    }
    EXPECT_EQ(want, bowl.xs);
}

TEST(Optimize, StaysInsideItsBounds)
{
    probe down{{}, [](double x) { return -x; }};
    optimize_data d = search(&down, 2.0);
    EXPECT_LE(d.x, 2.302585092994046);
    for (double x : down.xs)
        EXPECT_LE(x, 2.302585092994046);
    EXPECT_NEAR(2.3, d.x, 0.01);
}

// ---- regions of a window ----

TEST_F(Seam, WindowWithoutOverlapHasNoRegions)
{
    window w(6, 3);
    for (int x = 0; x < 6; x++)
        w.column(x, x < 3 ? 100.0f : 0.0f, x < 3 ? 0.0f : 100.0f);
    find_seam_regions(&w.sd);
    EXPECT_EQ(0, w.sd.nregions);
    EXPECT_EQ(0, w.sd.nopt);
    // The whole row takes the rule with factor 1.
    std::vector<float> buf(6);
    seam_mask_row(&w.sd, 0, buf.data());
    EXPECT_EQ((std::vector<float>{255, 255, 255, 0, 0, 0}), buf);
}

TEST_F(Seam, SeamColumnsAreOverlapsOrEdgesOfTheNewImage)
{
    window w(8, 2);
    w.column(0, 100, 100); // both
    w.set(2, 0, 100, 0);   // a only, then no a: the edge of a moves across the window
    w.set(2, 1, 0, 50);
    w.column(3, 100, 0); // a only throughout: not a seam column
    w.set(5, 0, 100, 100);
    w.column(7, 100, 100);
    find_seam_regions(&w.sd);
    ASSERT_EQ(4, w.sd.nregions);
    const int want[4][2] = {{0, 1}, {2, 1}, {5, 1}, {7, 1}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(want[i][0], w.regions[i].x) << i;
        EXPECT_EQ(want[i][1], w.regions[i].width) << i;
        EXPECT_EQ(0, w.regions[i].y);
        EXPECT_EQ(2, w.regions[i].height);
    }
    // The region at column 0 shares slot 0 with the last one.
    EXPECT_EQ(3, w.sd.nopt);
}

TEST_F(Seam, OneRegionAtColumnZeroIsNotOptimised)
{
    window w(6, 2, 4);
    for (int x = 0; x < 6; x++)
        w.column(x, 150, x < 3 ? 100.0f : 0.0f);
    find_seam_regions(&w.sd);
    EXPECT_EQ(1, w.sd.nregions);
    EXPECT_EQ(0, w.sd.nopt);
    // Every column takes slot 0's factor, moving as the window before left it.
    w.sd.prev_factor[0] = 1.0f;
    w.sd.factor[0] = 3.0f;
    std::vector<float> buf(6);
    seam_mask_row(&w.sd, 0, buf.data()); // f = 1: 150 > 100
    EXPECT_EQ(255, buf[0]);
    seam_mask_row(&w.sd, 1, buf.data()); // f = 2: 150 < 200
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ(255, buf[5]);
}

TEST_F(Seam, RegionsBeyondTenShareTheLastSlot)
{
    // Eleven regions, the first not at column 0, the eleventh running to the end.
    window w(23, 1);
    for (int x = 0; x < 23; x++)
        w.column(x, 100, x % 2 == 1 || x == 22 ? 100.0f : 0.0f);
    find_seam_regions(&w.sd);
    EXPECT_EQ(10, w.sd.nregions);
    EXPECT_EQ(10, w.sd.nopt);
    EXPECT_EQ(21, w.regions[9].x);
    EXPECT_EQ(2, w.regions[9].width);
    EXPECT_EQ(17, w.regions[8].x);

    // From the end of slot 8's region to the end of the eleventh, slot 9's
    // factor holds: 100 > 0.5 * 100 there, against 100 = 1 * 100 before.
    w.sd.factor[9] = w.sd.prev_factor[9] = 0.5f;
    std::vector<float> buf(23);
    seam_mask_row(&w.sd, 0, buf.data());
    EXPECT_EQ(0, buf[17]);
    EXPECT_EQ(255, buf[18]);
    EXPECT_EQ(255, buf[19]);
    EXPECT_EQ(255, buf[21]);
    EXPECT_EQ(255, buf[22]);

    // A tenth region that closes before the end still counts, in slot 9.
    window v(21, 1);
    for (int x = 0; x < 21; x++)
        v.column(x, 100, x % 2 == 1 && x < 20 ? 100.0f : 0.0f);
    find_seam_regions(&v.sd);
    EXPECT_EQ(10, v.sd.nregions);
    EXPECT_EQ(19, v.regions[9].x);
    EXPECT_EQ(1, v.regions[9].width);
}

// ---- the cost of a factor ----

TEST_F(Seam, CostCountsTheFifthPowersAcrossTheSeam)
{
    window w(4, 2);
    // Column 0 is a's alone; in the region, a wins at column 1 with factor 1
    // (10 > 5), b at 2 and 3.
    w.column(0, 10, 0, 9);
    const float alpha_b[3] = {5, 20, 20}, cost[2][3] = {{2, 3, 4}, {5, 6, 7}};
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++)
            w.set(x + 1, y, 10, alpha_b[x], cost[y][x]);
    find_seam_regions(&w.sd);
    ASSERT_EQ(1, w.sd.nregions);
    ASSERT_EQ(1, w.sd.nopt);
    w.sd.region = 0;
    // Factor 1 on both rows: one horizontal step in each row, only row 0 counted.
    EXPECT_EQ(pow5(2) + pow5(3), qual(0, &w.sd));
    // Factor 3 from row h = 1 on: row 1 is all b, so the seam also crosses down.
    EXPECT_EQ(pow5(2) + pow5(3) + pow5(2) + pow5(5), qual(std::log(3.0), &w.sd));
    EXPECT_EQ(0, w.mask(1, 1));
    EXPECT_EQ(255, w.mask(1, 0));

    // The row above the window adds its own steps and the step down into row 0.
    w.prev_mask = {255, 0, 255, 255};
    float above[16] = {0, 0, 19, 0, 0, 0, 11, 0, 0, 0, 13, 0, 0, 0, 17, 0};
    w.sd.prev_row = above;
    EXPECT_EQ(pow5(11) + pow5(13) + pow5(11) + pow5(2) + pow5(13) + pow5(3) + pow5(2) + pow5(3),
              qual(0, &w.sd));
}

TEST_F(Seam, FirstSlotAlsoCostsTheLastRegionAcrossTheWrap)
{
    window w(5, 2);
    w.column(0, 10, 5, 2);
    w.column(1, 10, 20, 3);
    w.column(2, 10, 0, 100); // a only: between the regions
    w.column(3, 10, 5, 7);
    w.column(4, 10, 20, 11);
    find_seam_regions(&w.sd);
    ASSERT_EQ(2, w.sd.nregions);
    ASSERT_EQ(1, w.sd.nopt);
    w.sd.region = 0;
    EXPECT_EQ(pow5(2) + pow5(3) + pow5(7) + pow5(11), qual(0, &w.sd));
}

TEST_F(Seam, MaskRowsMoveEachFactorAcrossTheHalfWindow)
{
    window w(6, 4, 8);
    // Column 0 before any region; regions at 1..2 and 4..5 with a/b = 1.5 or 2.5.
    w.column(0, 150, 0);
    w.column(1, 150, 100);
    w.column(2, 250, 100);
    w.column(3, 100, 0);
    w.column(4, 150, 100);
    w.column(5, 250, 100);
    find_seam_regions(&w.sd);
    ASSERT_EQ(2, w.sd.nregions);
    ASSERT_EQ(2, w.sd.nopt);
    w.sd.prev_factor[0] = 1;
    w.sd.factor[0] = 3; // at t = 2 / 4 the factor is 2
    w.sd.prev_factor[1] = 3;
    w.sd.factor[1] = 3;
    std::vector<float> buf(6);
    seam_mask_row(&w.sd, 2, buf.data());
    EXPECT_EQ((std::vector<float>{255, 0, 255, 255, 0, 0}), buf);
    EXPECT_EQ(std::vector<unsigned char>(6, 0), w.prev_mask);
    seam_mask_row(&w.sd, 3, buf.data()); // the window's last output row is kept
    EXPECT_EQ((std::vector<unsigned char>{255, 0, 0, 255, 0, 0}), w.prev_mask);
}

// ---- the reader ----

namespace
{
// a alone covers columns 0 .. 9, b alone 110 .. 119; between them a fades
// out to the right and b in, so that the centre seam lies at column 60.
// The images differ strongly in columns 50 .. 69 only.
float_image overlap_records(int height)
{
    float_image im(120, height, 4);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < 120; x++) {
            im.at(x, y, cost_alpha_a) = x < 110 ? 110.5f - x : 0.0f;
            im.at(x, y, cost_alpha_b) = x >= 10 ? x - 9.5f : 0.0f;
            im.at(x, y, cost_value) = x >= 50 && x < 70 ? 1000.0f : 1.0f;
        }
    return im;
}

int seam_column(const std::vector<float> &mask)
{
    for (size_t x = 0; x < mask.size(); x++)
        if (mask[x] == 0)
            return static_cast<int>(x);
    return static_cast<int>(mask.size());
}
} // namespace

TEST_F(Seam, SmartSeamMovesOffPixelsWhereTheImagesDiffer)
{
    set_seamer(1);
    float_image records = overlap_records(450);
    image_reader *src = buffered_reader_2(float_reader(&records), 450);
    image_reader *m = seamer(src);
    ASSERT_EQ(float_G, m->pixformat);
    ASSERT_EQ(120, m->width);
    ASSERT_EQ(450, m->height);
    std::vector<float> row(120);
    std::vector<int> seams;
    for (int y = 0; y < 450; y++) {
        read_row(m, y, row.data());
        seams.push_back(seam_column(row));
    }
    close_image_reader(m);
    // The first row is planned from factor 1: the centre seam, in the costly
    // band; from the second window on the seam has left the band.
    EXPECT_EQ(60, seams[0]);
    for (int y = 100; y < 450; y++)
        EXPECT_TRUE(seams[y] < 50 || seams[y] >= 71) << "row " << y << " seam at " << seams[y];
}

TEST_F(Seam, SeamerChecksItsInput)
{
    set_seamer(1);
    float_image gray(4, 4, 1);
    image_reader *g = float_reader(&gray);
    EXPECT_EXIT(seamer(g), ExitedWithCode(1), "ir->pixformat == float_RGBA");
    close_image_reader(g);
}
