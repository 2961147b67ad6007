#include "stitcher/pipeline/template.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

static const char msg_no_memory[] = "Not enough memory.\n";

// Runs and bands live in malloc blocks: wrap_template grows runs in place.
static void *tpl_alloc(size_t bytes)
{
    void *p = malloc(bytes ? bytes : 1);
    if (!p)
        print_error(msg_no_memory);
    return p;
}

static void set_runs(line_tpl *b, const std::vector<int32_t> &pos, const std::vector<int32_t> &length)
{
    b->len = static_cast<int32_t>(pos.size());
    b->pos = b->length = nullptr;
    if (b->len == 0)
        return;
    size_t bytes = pos.size() * sizeof(int32_t);
    b->pos = static_cast<int32_t *>(tpl_alloc(bytes));
    b->length = static_cast<int32_t *>(tpl_alloc(bytes));
    memcpy(b->pos, pos.data(), bytes);
    memcpy(b->length, length.data(), bytes);
}

// The uncovered stretches of row r of ext, given the rectangles (already cut
// to ext). A column covered by a chain of touching or overlapping rectangles
// is passed by repeating the passes until f stands still.
static void row_runs(const irectangle *ext, const std::vector<irectangle> &rects, int r,
                     std::vector<int32_t> &pos, std::vector<int32_t> &length)
{
    std::vector<const irectangle *> covering;
    for (const irectangle &rc : rects)
        if (rc.y <= r && r < int64_t(rc.y) + rc.height)
            covering.push_back(&rc);
    int64_t f = ext->x, e = int64_t(ext->x) + ext->width;
    while (f < e) {
        bool moved;
        do {
            moved = false;
            for (const irectangle *rc : covering) {
                if (f >= rc->x && int64_t(rc->x) + rc->width > f) {
                    f = int64_t(rc->x) + rc->width;
                    moved = true;
                }
            }
        } while (moved);
        if (f >= e)
            break;
        int64_t end = e;
        for (const irectangle *rc : covering)
            if (f < rc->x && rc->x < end)
                end = rc->x;
        pos.push_back(static_cast<int32_t>(f));
        length.push_back(static_cast<int32_t>(end - f));
        f = end;
    }
}

static template_ *build_template(const irectangle *ext, const irectangle *rects, int n)
{
    kassert(ext->height > 0);
    kassert(ext->width >= 0);
    std::vector<irectangle> cut;
    if (rects && n > 0) {
        cut.resize(static_cast<size_t>(n));
        for (int k = 0; k < n; k++)
            cut_rectangle(&rects[k], ext, &cut[static_cast<size_t>(k)]);
    }
    // Every top or bottom edge on a row of the extent opens a band, in row
    // order and, on one row, in list order.
    struct edge {
        int64_t row;
        int k;
    };
    std::vector<edge> edges;
    int64_t y0 = ext->y, y1 = int64_t(ext->y) + ext->height;
    for (int k = 0; k < static_cast<int>(cut.size()); k++) {
        const irectangle &rc = cut[static_cast<size_t>(k)];
        int64_t top = rc.y, bottom = int64_t(rc.y) + rc.height;
        if (top >= y0 && top < y1)
            edges.push_back({top, k});
        if (bottom != top && bottom >= y0 && bottom < y1)
            edges.push_back({bottom, k});
    }
    std::stable_sort(edges.begin(), edges.end(), [](const edge &a, const edge &b) { return a.row < b.row; });

    std::vector<line_tpl> bands;
    bands.push_back({nullptr, nullptr, 0, ext->y});
    line_tpl first = {nullptr, nullptr, 0, 0};
    set_runs(&first, {ext->x}, {ext->width});
    bands.push_back(first);
    int64_t first_row = y0;
    std::vector<int32_t> pos, length;
    for (const edge &ed : edges) {
        bands.back().n_rows = static_cast<int32_t>(ed.row - first_row);
        pos.clear();
        length.clear();
        row_runs(ext, cut, static_cast<int>(ed.row), pos, length);
        line_tpl b = {nullptr, nullptr, 0, 0};
        set_runs(&b, pos, length);
        bands.push_back(b);
        first_row = ed.row;
    }
    bands.back().n_rows = static_cast<int32_t>(y1 - first_row);
    bands.push_back({nullptr, nullptr, 0, 2147483647});

    template_ *t = static_cast<template_ *>(tpl_alloc(sizeof(template_)));
    t->n_line_tpls = static_cast<int32_t>(bands.size());
    t->line_tpls = static_cast<line_tpl *>(tpl_alloc(bands.size() * sizeof(line_tpl)));
    memcpy(t->line_tpls, bands.data(), bands.size() * sizeof(line_tpl));
    t->current = t->line_tpls;
    t->runs_packed = 0;
    return t;
}

template_ *create_template(const irectangle *ext, const irectangle *rects, int n)
{
    try {
        return build_template(ext, rects, n);
    } catch (const std::bad_alloc &) {
        print_error(msg_no_memory);
    }
}

int process_row(template_ *t, band_done_fn band_done, run_fn run, void *user)
{
    line_tpl *last = t->line_tpls + t->n_line_tpls - 1;
    while (t->current->n_rows <= 0 && t->current < last) {
        t->current++;
        if (band_done)
            band_done(user);
    }
    line_tpl *b = t->current;
    if (b->n_rows <= 0)
        return 0; // past the last band (a sentinel shifted away, or none)
    for (int i = 0; i < b->len; i++) {
        if (b->length[i] != 0) {
            int fail = run(user, b->pos[i], b->length[i]);
            kassert(!fail);
        }
    }
    b->n_rows--;
    return 0;
}

int64_t template_npix(const template_ *t)
{
    int64_t total = 0;
    for (int i = 0; i < t->n_line_tpls; i++) {
        const line_tpl &b = t->line_tpls[i];
        int64_t row = 0;
        for (int k = 0; k < b.len; k++)
            row += b.length[k];
        total += std::max(b.n_rows, 0) * row;
    }
    return total;
}

int size_template(const template_ *t)
{
    int64_t n = 2;
    for (int i = 0; i < t->n_line_tpls; i++)
        n += 2 + 2 * int64_t(t->line_tpls[i].len);
    kassert(n <= INT32_MAX);
    return static_cast<int>(n);
}

int32_t *pack_template(const template_ *t)
{
    int n = size_template(t);
    int32_t *p = static_cast<int32_t *>(checked_malloc(static_cast<size_t>(n) * sizeof(int32_t)));
    p[0] = n;
    p[1] = t->n_line_tpls;
    int32_t *w = p + 2;
    for (int i = 0; i < t->n_line_tpls; i++) {
        const line_tpl &b = t->line_tpls[i];
        *w++ = b.n_rows;
        *w++ = b.len;
        if (b.len > 0) {
            memcpy(w, b.pos, static_cast<size_t>(b.len) * sizeof(int32_t));
            memcpy(w + b.len, b.length, static_cast<size_t>(b.len) * sizeof(int32_t));
            w += 2 * b.len;
        }
    }
    return p;
}

template_ *unpack_template(int32_t *packed)
{
    // The block comes from a temporary image's header: its counts must stay
    // inside its own length before anything points into it.
    int32_t n = packed[0], nbands = packed[1];
    kassert(n >= 2 && nbands >= 1 && nbands <= (n - 2) / 2);
    template_ *t = static_cast<template_ *>(tpl_alloc(sizeof(template_)));
    t->n_line_tpls = nbands;
    t->line_tpls = static_cast<line_tpl *>(tpl_alloc(static_cast<size_t>(nbands) * sizeof(line_tpl)));
    t->current = t->line_tpls;
    t->runs_packed = 1;
    int64_t w = 2;
    for (int i = 0; i < nbands; i++) {
        kassert(w + 2 <= n);
        line_tpl &b = t->line_tpls[i];
        b.n_rows = packed[w];
        b.len = packed[w + 1];
        kassert(b.len >= 0 && b.len <= (n - w - 2) / 2);
        b.pos = b.len ? packed + w + 2 : nullptr;
        b.length = b.len ? packed + w + 2 + b.len : nullptr;
        w += 2 + 2 * int64_t(b.len);
    }
    kassert(w == n);
    return t;
}

void shift_template(template_ *t, int dx, int dy)
{
    int64_t d = dy;
    for (int i = 0; i < t->n_line_tpls; i++) {
        line_tpl &b = t->line_tpls[i];
        if (d > 0) {
            if (b.n_rows > d) {
                b.n_rows = static_cast<int32_t>(b.n_rows - d);
                d = 0;
            } else {
                d -= b.n_rows;
                b.n_rows = 0;
            }
        }
        for (int k = 0; k < b.len; k++)
            b.pos[k] = static_cast<int32_t>(b.pos[k] - int64_t(dx));
    }
}

// Makes room for one run at index k of band b (owned runs only).
static void insert_run(line_tpl &b, int k, int32_t pos, int32_t length)
{
    size_t bytes = (static_cast<size_t>(b.len) + 1) * sizeof(int32_t);
    int32_t *p = static_cast<int32_t *>(realloc(b.pos, bytes));
    if (!p)
        print_error(msg_no_memory);
    b.pos = p;
    int32_t *l = static_cast<int32_t *>(realloc(b.length, bytes));
    if (!l)
        print_error(msg_no_memory);
    b.length = l;
    size_t tail = static_cast<size_t>(b.len - k) * sizeof(int32_t);
    memmove(b.pos + k + 1, b.pos + k, tail);
    memmove(b.length + k + 1, b.length + k, tail);
    b.pos[k] = pos;
    b.length[k] = length;
    b.len++;
}

static void remove_run(line_tpl &b, int k)
{
    size_t tail = static_cast<size_t>(b.len - k - 1) * sizeof(int32_t);
    memmove(b.pos + k, b.pos + k + 1, tail);
    memmove(b.length + k, b.length + k + 1, tail);
    b.len--;
}

void wrap_template(template_ *t, int x, int width)
{
    // Runs of a packed block cannot grow.
    kassert(!t->runs_packed);
    kassert(x >= 0 && width > 0);
    for (int i = 0; i < t->n_line_tpls; i++) {
        line_tpl &b = t->line_tpls[i];
        if (b.n_rows <= 0)
            continue;
        for (int k = 0; k < b.len; k++) {
            int64_t c = int64_t(x) + b.pos[k]; // panorama column of the run
            if (c >= width) {
                c %= width;
                b.pos[k] = static_cast<int32_t>(c - x);
            }
            if (c + b.length[k] > width) {
                int32_t first = static_cast<int32_t>(width - c);
                insert_run(b, k + 1, -x, b.length[k] - first);
                b.length[k] = first;
            }
        }
    }
}

void cut_template(template_ *t, int x, int width)
{
    for (int i = 0; i < t->n_line_tpls; i++) {
        line_tpl &b = t->line_tpls[i];
        int j = 0;
        while (j < b.len) {
            int64_t c = int64_t(x) + b.pos[j];
            if (c < 0) {
                int64_t rest = b.length[j] + c;
                if (rest <= 0) {
                    remove_run(b, j);
                    continue;
                }
                b.length[j] = static_cast<int32_t>(rest);
                b.pos[j] = -x;
                c = 0;
                // and on to the right edge: a run can cross both
            }
            if (c >= width) {
                b.len = j;
                break;
            }
            if (c + b.length[j] > width) {
                b.length[j] = static_cast<int32_t>(width - c);
                b.len = j + 1;
                break;
            }
            j++;
        }
    }
}

void free_template(template_ *t, int free_runs)
{
    kassert(!(free_runs && t->runs_packed));
    if (free_runs) {
        // By pointer, not by len: cut_template may have emptied a band.
        for (int i = 0; i < t->n_line_tpls; i++) {
            free(t->line_tpls[i].pos);
            free(t->line_tpls[i].length);
        }
    }
    free(t->line_tpls);
    free(t);
}

void print_template(const template_ *t)
{
    print_stdout("template:\n");
    print_stdout("  %d line_tpls:\n", t->n_line_tpls);
    for (int i = 0; i < t->n_line_tpls; i++) {
        const line_tpl &b = t->line_tpls[i];
        print_stdout("line_tpl: len= %d n_rows = %d\n", b.len, b.n_rows);
        for (int k = 0; k < b.len; k++)
            print_stdout("    pos=%d    length=%d\n", b.pos[k], b.length[k]);
    }
    fflush(stdout);
}
