// The difference between a result and a reference, fed row by row, over the
// pixels the result covers. A margin leaves out every covered pixel within
// that many pixels (in x or y) of an uncovered one, so that blended or
// interpolated coverage edges do not count; rows above the first and below
// the last are not edges, and columns beyond the sides only with wrap off.
#pragma once
#include <cstdint>
#include <vector>

struct compare_settings {
    int margin = 0;
    int wrap = 0;                         // the first and last columns are neighbours
    int x0 = 0, x1 = -1, y0 = 0, y1 = -1; // counted window, half-open; -1: to the end
};

struct compare_totals {
    int64_t window;  // pixels in the counted window
    int64_t covered; // of them covered
    int64_t counted; // of them covered and clear of the margin
    double sse[3], sae[3], max[3];
};

// One row of the window, once its margin is known.
struct row_totals {
    int y;
    int64_t counted;
    double sae[3];
};

struct comparer {
    int width, height;
    compare_settings set;
    int fed, done;                          // rows fed, rows finished
    std::vector<std::vector<double>> diffs; // ring of the last margin + 1 rows
    std::vector<std::vector<char>> clear;   // ring of the last 2 margin + 2 rows, eroded in x
    std::vector<int> blocked;               // per column: rows in the y window not clear
    int lo;                                 // first row counted in blocked
    compare_totals totals;
    std::vector<row_totals> rows; // finished rows of the window not yet taken
};

void init_comparer(comparer *c, int width, int height, const compare_settings *set);
// Row `fed` of the image: absolute differences (three per pixel, in 8-bit
// levels) and whether each pixel is covered.
void compare_row(comparer *c, const double *diff, const unsigned char *covered);
// Finishes the last rows once every row is fed.
void finish_comparer(comparer *c);

double psnr(double sse, int64_t samples);
