#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/template.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

using ::testing::ExitedWithCode;

typedef std::vector<std::pair<int, int>> runs; // (pos, length) of one row

struct walk_log {
    std::vector<runs> rows;
    int bands = 0;
};

static void on_band(void *user) { static_cast<walk_log *>(user)->bands++; }

static int on_run(void *user, int pos, int length)
{
    static_cast<walk_log *>(user)->rows.back().push_back({pos, length});
    return 0;
}

static walk_log walk(template_ *t, int nrows)
{
    walk_log log;
    for (int r = 0; r < nrows; r++) {
        log.rows.emplace_back();
        EXPECT_EQ(process_row(t, on_band, on_run, &log), 0);
    }
    return log;
}

static std::vector<std::pair<int, int>> bands_of(const template_ *t) // (len, n_rows)
{
    std::vector<std::pair<int, int>> b;
    for (int i = 0; i < t->n_line_tpls; i++)
        b.push_back({t->line_tpls[i].len, t->line_tpls[i].n_rows});
    return b;
}

TEST(Template, ExtentWithoutRectanglesHasThreeBands)
{
    irectangle ext = {3, 2, 5, 4};
    template_ *t = create_template(&ext, nullptr, 0);
    EXPECT_EQ(bands_of(t), (std::vector<std::pair<int, int>>{{0, 2}, {1, 4}, {0, 2147483647}}));
    EXPECT_EQ(size_template(t), 10);
    EXPECT_EQ(template_npix(t), 20);
    walk_log log = walk(t, 8);
    for (int r = 0; r < 8; r++)
        EXPECT_EQ(log.rows[r], (r >= 2 && r < 6 ? runs{{3, 5}} : runs{})) << "row " << r;
    EXPECT_EQ(log.bands, 2);
    free_template(t, 1);
}

TEST(Template, RectangleOverTheWholeWidthLeavesABandWithoutRuns)
{
    irectangle ext = {0, 0, 6, 6}, rect = {-1, 2, 10, 2};
    template_ *t = create_template(&ext, &rect, 1);
    EXPECT_EQ(bands_of(t),
              (std::vector<std::pair<int, int>>{{0, 0}, {1, 2}, {0, 2}, {1, 2}, {0, 2147483647}}));
    walk_log log = walk(t, 6);
    EXPECT_EQ(log.rows[1], (runs{{0, 6}}));
    EXPECT_EQ(log.rows[2], runs{});
    EXPECT_EQ(log.rows[3], runs{});
    EXPECT_EQ(log.rows[4], (runs{{0, 6}}));
    free_template(t, 1);
}

TEST(Template, EdgesOnOneRowOpenOneBandEachAndTheWalkPassesTheEmptyOnes)
{
    irectangle ext = {0, 0, 8, 6};
    irectangle rects[2] = {{1, 2, 2, 2}, {5, 2, 1, 3}};
    template_ *t = create_template(&ext, rects, 2);
    // Row 2 opens two bands (the first ends with 0 rows), row 4 and row 5 one each.
    EXPECT_EQ(bands_of(t), (std::vector<std::pair<int, int>>{
                               {0, 0}, {1, 2}, {3, 0}, {3, 2}, {2, 1}, {1, 1}, {0, 2147483647}}));
    walk_log log = walk(t, 7);
    EXPECT_EQ(log.rows[2], (runs{{0, 1}, {3, 2}, {6, 2}}));
    EXPECT_EQ(log.rows[4], (runs{{0, 5}, {6, 2}}));
    EXPECT_EQ(log.rows[5], (runs{{0, 8}}));
    EXPECT_EQ(log.rows[6], runs{});
    EXPECT_EQ(log.bands, 6); // every band after the first, including the empty one
    free_template(t, 1);
}

TEST(Template, ChainsOfTouchingAndOverlappingRectanglesArePassedTogether)
{
    irectangle ext = {0, 0, 12, 1};
    // Listed right to left, so that one pass over the list cannot pass them all.
    irectangle rects[3] = {{7, 0, 2, 1}, {4, 0, 4, 1}, {1, 0, 3, 1}};
    template_ *t = create_template(&ext, rects, 3);
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{0, 1}, {9, 3}}));
    free_template(t, 1);
}

TEST(Template, RectangleOutsideTheExtentCoversNothing)
{
    irectangle ext = {10, 10, 5, 5};
    irectangle rects[3] = {{0, 0, 5, 5}, {20, 11, 3, 3}, {11, 30, 2, 2}};
    template_ *t = create_template(&ext, rects, 3);
    EXPECT_EQ(template_npix(t), 25);
    walk_log log = walk(t, 16);
    for (int r = 10; r < 15; r++) {
        int covered = 0;
        for (auto [pos, length] : log.rows[r])
            covered += length;
        EXPECT_EQ(covered, 5);
    }
    free_template(t, 1);
}

TEST(Template, WalkPastTheExtentYieldsEmptyRows)
{
    irectangle ext = {0, 0, 3, 2};
    template_ *t = create_template(&ext, nullptr, 0);
    walk_log log = walk(t, 1000);
    EXPECT_EQ(log.rows[1], (runs{{0, 3}}));
    for (int r = 2; r < 1000; r++)
        ASSERT_EQ(log.rows[r], runs{});
    free_template(t, 1);
}

TEST(Template, ShiftToTheExtentOrigin)
{
    irectangle ext = {4, 3, 5, 2};
    template_ *t = create_template(&ext, nullptr, 0);
    shift_template(t, ext.x, ext.y);
    EXPECT_EQ(t->line_tpls[0].n_rows, 0);
    walk_log log = walk(t, 3);
    EXPECT_EQ(log.rows[0], (runs{{0, 5}}));
    EXPECT_EQ(log.rows[1], (runs{{0, 5}}));
    EXPECT_EQ(log.rows[2], runs{});
    free_template(t, 1);
}

TEST(Template, WrapSplitsRunsCrossingTheRightEdgeAndMovesRunsBeyondIt)
{
    irectangle ext = {0, 0, 100, 1};
    template_ *t = create_template(&ext, nullptr, 0);
    wrap_template(t, 950, 1000);
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{0, 50}, {-950, 50}}));
    free_template(t, 1);

    t = create_template(&ext, nullptr, 0);
    wrap_template(t, 1020, 1000);
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{-1000, 100}}));
    free_template(t, 1);

    // A run longer than the panorama is split at every turn.
    ext = {0, 0, 25, 1};
    t = create_template(&ext, nullptr, 0);
    wrap_template(t, 5, 10);
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{0, 5}, {-5, 10}, {-5, 10}}));
    free_template(t, 1);
}

TEST(Template, CutClipsAtBothEdges)
{
    irectangle ext = {0, 0, 30, 1}, rects[2] = {{8, 0, 2, 1}, {20, 0, 2, 1}};
    template_ *t = create_template(&ext, rects, 2); // runs 0-7, 10-19, 22-29
    cut_template(t, -5, 20);
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{5, 3}, {10, 10}, {22, 3}}));
    free_template(t, 1);

    t = create_template(&ext, rects, 2);
    cut_template(t, -9, 30); // the first run lies wholly left of column 0
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{10, 10}, {22, 8}}));
    free_template(t, 1);

    // A run crossing both edges is trimmed on the left and clipped on the right.
    ext = {0, 0, 100, 1};
    t = create_template(&ext, nullptr, 0);
    cut_template(t, -10, 50);
    EXPECT_EQ(walk(t, 1).rows[0], (runs{{10, 50}}));
    free_template(t, 1);

    // Nothing left: the band's run arrays are still freed (the sanitizer build checks).
    t = create_template(&ext, nullptr, 0);
    cut_template(t, 200, 50);
    EXPECT_EQ(walk(t, 1).rows[0], runs{});
    free_template(t, 1);
}

TEST(Template, PackedFormRoundTrips)
{
    irectangle ext = {1, 2, 9, 7}, rects[2] = {{3, 3, 2, 2}, {0, 6, 4, 9}};
    template_ *t = create_template(&ext, rects, 2);
    int32_t *packed = pack_template(t);
    EXPECT_EQ(packed[0], size_template(t));
    EXPECT_EQ(packed[1], t->n_line_tpls);
    EXPECT_EQ(packed[2], 2); // band 0: 2 rows, no runs
    EXPECT_EQ(packed[3], 0);
    template_ *u = unpack_template(packed);
    EXPECT_EQ(bands_of(u), bands_of(t));
    EXPECT_EQ(template_npix(u), template_npix(t));
    walk_log a = walk(t, 12), b = walk(u, 12);
    EXPECT_EQ(a.rows, b.rows);
    EXPECT_EQ(a.bands, b.bands);
    EXPECT_EXIT(wrap_template(u, 0, 5), ExitedWithCode(1), "Assertion failed: !t->runs_packed");
    EXPECT_EXIT(free_template(u, 1), ExitedWithCode(1), "Assertion failed");
    free_template(u, 0);
    free_template(t, 1);
    aligned_free(packed);
}

TEST(Template, DamagedPackedFormIsRefused)
{
    int32_t bad_count[] = {6, 1, 5, 3, 0, 0};       // 3 runs do not fit in 6 words
    int32_t bad_total[] = {8, 1, 5, 1, 0, 4, 9, 9}; // words left over
    int32_t no_band[] = {2, 0};
    for (int32_t *p : {bad_count, bad_total, no_band})
        EXPECT_EXIT(unpack_template(p), ExitedWithCode(1), "Assertion failed");
    int32_t good[] = {6, 1, 5, 1, 3, 4};
    template_ *t = unpack_template(good);
    walk_log log = walk(t, 6);
    EXPECT_EQ(log.rows[4], (runs{{3, 4}}));
    EXPECT_EQ(log.rows[5], runs{}); // past the last band: empty, never off the bands
    free_template(t, 0);
}

TEST(Template, PreconditionsAndPrint)
{
    irectangle flat = {0, 0, 5, 0};
    EXPECT_EXIT(create_template(&flat, nullptr, 0), ExitedWithCode(1), "Assertion failed: ext->height > 0");

    irectangle ext = {0, 0, 2, 1};
    template_ *t = create_template(&ext, nullptr, 0);
    auto fail = [](void *, int, int) { return 1; };
    EXPECT_EXIT(process_row(t, nullptr, fail, nullptr), ExitedWithCode(1), "Assertion failed: !fail");
    testing::internal::CaptureStdout();
    print_template(t);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "template:\n"
                                                      "  3 line_tpls:\n"
                                                      "line_tpl: len= 0 n_rows = 0\n"
                                                      "line_tpl: len= 1 n_rows = 1\n"
                                                      "    pos=0    length=2\n"
                                                      "line_tpl: len= 0 n_rows = 2147483647\n");
    free_template(t, 1);
}

// ---- randomised property test against a coverage bitmap ----

struct scene {
    irectangle ext;
    std::vector<irectangle> rects;
    bool covered(int r, int c) const
    {
        if (r < ext.y || r >= ext.y + ext.height || c < ext.x || c >= ext.x + ext.width)
            return false;
        for (const irectangle &q : rects)
            if (r >= q.y && r < q.y + q.height && c >= q.x && c < q.x + q.width)
                return false;
        return true;
    }
    template_ *make() const { return create_template(&ext, rects.data(), static_cast<int>(rects.size())); }
};

// Runs of a row: in increasing order, apart, not empty.
static void expect_well_formed(const runs &row, int r)
{
    for (size_t i = 0; i < row.size(); i++) {
        ASSERT_GT(row[i].second, 0) << "row " << r;
        if (i > 0) {
            ASSERT_GE(row[i].first, row[i - 1].first + row[i - 1].second) << "row " << r;
        }
    }
}

// Panorama column -> how many image pixels land there.
typedef std::map<int, int> column_counts;

static column_counts counts_of(const runs &row, int x)
{
    column_counts m;
    for (auto [pos, length] : row)
        for (int i = 0; i < length; i++)
            m[x + pos + i]++;
    return m;
}

TEST(TemplateProperty, RandomExtentsAgainstABitmap)
{
    std::mt19937 rng(20240611);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int iter = 0; iter < 4000; iter++) {
        scene s;
        s.ext = {uni(-15, 15), uni(0, 12), uni(0, 30), uni(1, 20)};
        int n = uni(0, 8);
        for (int k = 0; k < n; k++) {
            // Mostly near the extent, some touching it or each other, some outside.
            irectangle q = {uni(s.ext.x - 10, s.ext.x + s.ext.width + 5),
                            uni(s.ext.y - 8, s.ext.y + s.ext.height + 4), uni(-2, 20), uni(-2, 15)};
            if (k > 0 && uni(0, 3) == 0) { // touch the previous one
                const irectangle &p = s.rects.back();
                q.x = p.x + std::max(p.width, 0);
                q.y = p.y;
            }
            s.rects.push_back(q);
        }
        SCOPED_TRACE(testing::Message()
                     << "iteration " << iter << " ext " << s.ext.x << "," << s.ext.y << "," << s.ext.width
                     << "," << s.ext.height << " with " << n << " rectangles");
        const int nrows = s.ext.y + s.ext.height + 3;
        const int cmin = s.ext.x - 2, cmax = s.ext.x + s.ext.width + 2;

        // Walk, pixel count, band calls.
        template_ *t = s.make();
        int64_t brute = 0;
        for (int r = 0; r < nrows; r++)
            for (int c = cmin; c < cmax; c++)
                brute += s.covered(r, c);
        ASSERT_EQ(template_npix(t), brute);
        int64_t words = 2;
        for (int i = 0; i < t->n_line_tpls; i++)
            words += 2 + 2 * t->line_tpls[i].len;
        ASSERT_EQ(size_template(t), words);
        int32_t *packed = pack_template(t);
        ASSERT_EQ(packed[0], words);
        template_ *u = unpack_template(packed);
        int nbands = t->n_line_tpls;
        walk_log log = walk(t, nrows);
        ASSERT_EQ(log.bands, nbands - 1);
        for (int r = 0; r < nrows; r++) {
            expect_well_formed(log.rows[r], r);
            column_counts got = counts_of(log.rows[r], 0), want;
            for (int c = cmin; c < cmax; c++)
                if (s.covered(r, c))
                    want[c] = 1;
            ASSERT_EQ(got, want) << "row " << r;
        }
        free_template(t, 1);

        // Pack and unpack give the same walk.
        walk_log ulog = walk(u, nrows);
        ASSERT_EQ(ulog.rows, log.rows);
        ASSERT_EQ(ulog.bands, log.bands);
        free_template(u, 0);
        aligned_free(packed);

        // Shift: row r of the shifted template is row r + dy, moved by -dx.
        int dx = uni(-10, 10), dy = uni(0, nrows);
        t = s.make();
        shift_template(t, dx, dy);
        walk_log shifted = walk(t, nrows - dy);
        for (int r = 0; r < nrows - dy; r++)
            ASSERT_EQ(counts_of(shifted.rows[r], dx), counts_of(log.rows[r + dy], 0)) << "shifted row " << r;
        free_template(t, 1);

        // Wrap: every pixel lands once, at its column modulo the panorama width.
        int width = uni(1, 40), x = uni(std::max(0, -s.ext.x), 60);
        t = s.make();
        wrap_template(t, x, width);
        walk_log wrapped = walk(t, nrows);
        for (int r = 0; r < nrows; r++) {
            column_counts want;
            for (auto [pos, length] : log.rows[r])
                for (int i = 0; i < length; i++)
                    want[(x + pos + i) % width]++;
            column_counts got = counts_of(wrapped.rows[r], x);
            ASSERT_EQ(got, want) << "wrapped row " << r;
            for (auto [pos, length] : wrapped.rows[r])
                ASSERT_TRUE(x + pos >= 0 && x + pos + length <= width) << "wrapped row " << r;
        }
        free_template(t, 1);

        // Cut: only the pixels on the panorama's columns stay.
        width = uni(0, 40);
        x = uni(-40, 40);
        t = s.make();
        cut_template(t, x, width);
        walk_log cut = walk(t, nrows);
        for (int r = 0; r < nrows; r++) {
            expect_well_formed(cut.rows[r], r);
            column_counts want;
            for (auto [c, count] : counts_of(log.rows[r], x))
                if (c >= 0 && c < width)
                    want[c] = count;
            ASSERT_EQ(counts_of(cut.rows[r], x), want) << "cut row " << r;
        }
        free_template(t, 1);
    }
}
