// Pyramid records, the level settings, level counts and ring budgets, and
// the pyramids built from the reduce, expand and spline stages.
#include "stitcher/blend/pyramid.h"

#include "stitcher/blend/expand.h"
#include "stitcher/blend/reduce.h"
#include "stitcher/blend/spline.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <algorithm>
#include <cmath>

static int max_level = 8;
static int min_level = 0;

void set_max_level(int n)
{
    if (n >= 1 && n <= 10)
        max_level = n;
}

void set_min_level(int n)
{
    if (n >= 1 && n <= 10 && n <= max_level)
        min_level = n;
}

int get_max_level(void) { return max_level; }
int get_min_level(void) { return min_level; }

int pyramid_level(const image_reader *ir)
{
    if (ir->width == 0 || ir->height == 0)
        return 1;
    double dw = std::log(static_cast<double>(ir->width) + 1) / 0.6931471805599453;
    double dh = std::log(static_cast<double>(ir->height) + 1) / 0.6931471805599453;
    int d = static_cast<int>(std::min(std::floor(dw), std::floor(dh)));
    if (d >= max_level)
        return max_level;
    return d <= 0 ? 1 : d;
}

// A row of the result needs the coarsest level about 2^(n-1) rows further
// on, which pulls every finer level ahead of where the mixing reads it: a
// level's ring spans that lead, about 3 * 2^(n-1-i) rows for level i. The
// budgets are fixed for up to 8 levels and double for 9 and 10; the reading
// order of the stages (reduce highest row first, the Laplacian stages their
// fine row before the coarse ones) is what they are measured for.
int blend_bufsize(int n) { return n == 9 ? 765 : n == 10 ? 1533 : 381; }

int warp_bufsize(void) { return blend_bufsize(max_level) + 1; }

// Ring rows of Gaussian level i (1 .. n-1) of an n-level pyramid.
static int gaussian_rows(int n, int i)
{
    static const int rows[] = {766, 382, 190, 94, 46, 22, 10, 5, 2};
    int first = n == 10 ? 0 : n == 9 ? 1 : 2;
    return rows[first + i - 1];
}

static pyramid *new_pyramid(int n)
{
    kassert(n >= 1 && n <= 10);
    pyramid *p = static_cast<pyramid *>(checked_malloc(sizeof(pyramid)));
    *p = {n, static_cast<image_reader **>(checked_calloc(static_cast<size_t>(n), sizeof(image_reader *)))};
    return p;
}

pyramid *create_gaussian_pyramid(image_reader *ir, int n)
{
    pyramid *p = new_pyramid(n);
    p->levels[0] = ir;
    for (int i = 1; i < n; i++)
        p->levels[i] = spilled_ring_reader(reduce(p->levels[i - 1]), gaussian_rows(n, i));
    return p;
}

pyramid *create_laplacian_pyramid(image_reader *ir, int n)
{
    pyramid *p = new_pyramid(n);
    if (!ir)
        return p;
    pyramid *g = create_gaussian_pyramid(ir, n);
    for (int i = 0; i < n - 1; i++)
        p->levels[i] = buffered_reader_2(sub_expand(g->levels[i], g->levels[i + 1]), 1);
    p->levels[n - 1] = g->levels[n - 1];
    free_pyramid(g, 0);
    return p;
}

void expand_pyramid(pyramid *p)
{
    int m = std::min(min_level, p->nlevels - 1);
    // The replaced levels stay alive inside the reduce chain that feeds level m.
    for (int i = m - 1; i >= 0; i--)
        p->levels[i] = buffered_reader_2(expand(p->levels[i + 1]), 2);
}

// The collapse, whose finest sum needs a caller buffer (its level when there
// is only one).
static image_reader *collapse(pyramid *p)
{
    int n = p->nlevels;
    image_reader *r = p->levels[n - 1];
    if (n == 1)
        return r;
    // The coarsest level comes buffered; every sum after it is read two rows
    // apart by the next one, so it is buffered with two rows.
    r = add_expand(p->levels[n - 2], r);
    for (int i = n - 3; i >= 0; i--)
        r = add_expand(p->levels[i], buffered_reader_2(r, 2));
    return r;
}

image_reader *reconstruct(pyramid *p)
{
    image_reader *r = collapse(p);
    return p->nlevels == 1 ? r : buffered_reader_2(r, 1);
}

int free_pyramid(pyramid *p, int close_levels)
{
    if (close_levels)
        for (int i = 0; i < p->nlevels; i++)
            close_image_reader(p->levels[i]);
    aligned_free(p->levels);
    aligned_free(p);
    return 0;
}

static image_reader *blend(image_reader *a, image_reader *b, image_reader *m, int n, bool buffered)
{
    pyramid *la = create_laplacian_pyramid(a, n);
    pyramid *lb = create_laplacian_pyramid(b, n);
    pyramid *gm = create_gaussian_pyramid(m, n);
    expand_pyramid(gm);
    pyramid *ls = create_laplacian_pyramid(nullptr, n);
    for (int i = 0; i < n; i++)
        ls->levels[i] =
            buffered_reader_2(spline(la->levels[i], lb->levels[i], gm->levels[i]), i == n - 1 ? 2 : 1);
    free_pyramid(lb, 0);
    free_pyramid(gm, 0);
    // The stages hold their levels; the records are only arrays.
    image_reader *r = buffered ? reconstruct(ls) : collapse(ls);
    free_pyramid(la, 0);
    free_pyramid(ls, 0);
    return r;
}

image_reader *blend_pyramids(image_reader *a, image_reader *b, image_reader *m, int n)
{
    return blend(a, b, m, n, true);
}

image_reader *blend_pyramids_into(image_reader *a, image_reader *b, image_reader *m, int n)
{
    return blend(a, b, m, n, false);
}
