#include "tools/imgcompare/compare.h"

#include <algorithm>
#include <cmath>
#include <limits>

void init_comparer(comparer *c, int width, int height, const compare_settings *set)
{
    c->width = width;
    c->height = height;
    c->set = *set;
    compare_settings &s = c->set;
    s.margin = std::max(0, s.margin);
    s.x1 = s.x1 < 0 ? width : std::min(s.x1, width);
    s.y1 = s.y1 < 0 ? height : std::min(s.y1, height);
    s.x0 = std::clamp(s.x0, 0, s.x1);
    s.y0 = std::clamp(s.y0, 0, s.y1);
    c->fed = c->done = c->lo = 0;
    c->diffs.assign(s.margin + 1, std::vector<double>(3 * size_t(width)));
    c->clear.assign(2 * s.margin + 2, std::vector<char>(width));
    c->blocked.assign(width, 0);
    c->totals = {};
    c->rows.clear();
}

// Uncovered pixels among columns a..b (inclusive), a and b within one
// width of the row, from the prefix counts pre.
static int uncovered_between(const std::vector<int> &pre, int width, int a, int b)
{
    if (a < 0)
        return pre[b + 1] + pre[width] - pre[width + a];
    if (b >= width)
        return pre[width] - pre[a] + pre[b - width + 1];
    return pre[b + 1] - pre[a];
}

// out[x]: every pixel within the margin of x in this row is covered.
static void erode_row(const unsigned char *covered, int width, int n, int wrap, char *out)
{
    std::vector<int> pre(width + 1, 0);
    for (int x = 0; x < width; x++)
        pre[x + 1] = pre[x] + !covered[x];
    for (int x = 0; x < width; x++) {
        int bad;
        if (!wrap)
            bad = uncovered_between(pre, width, std::max(0, x - n), std::min(width - 1, x + n));
        else if (2 * n + 1 >= width)
            bad = pre[width];
        else
            bad = uncovered_between(pre, width, x - n, x + n);
        out[x] = bad == 0;
    }
}

static void finish_row(comparer *c, int r)
{
    const compare_settings &s = c->set;
    int n = s.margin;
    for (; c->lo < r - n; c->lo++) {
        const std::vector<char> &old = c->clear[c->lo % (2 * n + 2)];
        for (int x = 0; x < c->width; x++)
            c->blocked[x] -= !old[x];
    }
    c->done = r + 1;
    if (r < s.y0 || r >= s.y1)
        return;
    const double *d = c->diffs[r % (n + 1)].data();
    row_totals rt = {r, 0, {0, 0, 0}};
    compare_totals &t = c->totals;
    for (int x = s.x0; x < s.x1; x++) {
        if (c->blocked[x])
            continue;
        rt.counted++;
        for (int ch = 0; ch < 3; ch++) {
            double v = d[3 * x + ch];
            rt.sae[ch] += v;
            t.sse[ch] += v * v;
            t.max[ch] = std::max(t.max[ch], v);
        }
    }
    t.counted += rt.counted;
    for (int ch = 0; ch < 3; ch++)
        t.sae[ch] += rt.sae[ch];
    c->rows.push_back(rt);
}

void compare_row(comparer *c, const double *diff, const unsigned char *covered)
{
    const compare_settings &s = c->set;
    int n = s.margin, y = c->fed++;
    std::copy_n(diff, 3 * size_t(c->width), c->diffs[y % (n + 1)].data());
    char *clear = c->clear[y % (2 * n + 2)].data();
    erode_row(covered, c->width, n, s.wrap, clear);
    for (int x = 0; x < c->width; x++)
        c->blocked[x] += !clear[x];
    if (y >= s.y0 && y < s.y1) {
        c->totals.window += s.x1 - s.x0;
        c->totals.covered +=
            std::count_if(covered + s.x0, covered + s.x1, [](unsigned char v) { return v != 0; });
    }
    if (y - n >= 0)
        finish_row(c, y - n);
}

void finish_comparer(comparer *c)
{
    while (c->done < c->fed)
        finish_row(c, c->done);
}

double psnr(double sse, int64_t samples)
{
    if (samples <= 0)
        return std::numeric_limits<double>::quiet_NaN();
    double mse = sse / double(samples);
    return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : std::numeric_limits<double>::infinity();
}
