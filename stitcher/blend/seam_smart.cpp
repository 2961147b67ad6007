// The smart seam. A window of `preload` rows starts every `half` rows; in it
// the overlap regions are found, and each gets the factor on b's alpha that
// makes the seam cheapest, searched from the factor the slot had before. The
// window's first half rows are output while each slot's factor moves
// linearly from its old to its new value.
#include "stitcher/blend/seam.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <algorithm>
#include <cmath>
#include <cstring>

static const int seam_rows = 381;
static const int max_regions = 10;

static unsigned char mask_at(const float *rec_row, int x, float f)
{
    const float *rec = rec_row + 4 * static_cast<size_t>(x);
    return seam_mask_rule(rec[cost_alpha_a], rec[cost_alpha_b], f);
}

static double pair_cost(const float *p, int x, const float *q, int y)
{
    return std::pow(static_cast<double>(p[4 * static_cast<size_t>(x) + cost_value]), 5) +
           std::pow(static_cast<double>(q[4 * static_cast<size_t>(y) + cost_value]), 5);
}

// Column flags gathered over the window's rows.
enum { col_both = 1, col_a_only = 2, col_no_a = 4 };

void find_seam_regions(seam_data *sd)
{
    int width = sd->source->width;
    // The window mask's first row is free until qual writes it.
    unsigned char *flags = sd->rct;
    memset(flags, 0, static_cast<size_t>(width));
    for (int j = 0; j < sd->nrows; j++) {
        const float *rec = sd->rows[j];
        for (int x = 0; x < width; x++) {
            float aa = rec[4 * static_cast<size_t>(x) + cost_alpha_a];
            float ab = rec[4 * static_cast<size_t>(x) + cost_alpha_b];
            flags[x] |= aa == 0 ? col_no_a : ab == 0 ? col_a_only : col_both;
        }
    }
    sd->nregions = 0;
    int slot = -1;
    for (int x = 0; x < width; x++) {
        bool seam = (flags[x] & col_both) || (flags[x] & (col_a_only | col_no_a)) == (col_a_only | col_no_a);
        if (seam && slot < 0) {
            // From the tenth region on, slot 9 is reused. The tenth counts (it
            // is optimised) whether it closes before the last column or at it.
            slot = std::min(sd->nregions, max_regions - 1);
            sd->regions[slot] = {x, 0, 0, sd->nrows};
        } else if (!seam && slot >= 0) {
            sd->regions[slot].width = x - sd->regions[slot].x;
            sd->nregions = std::min(sd->nregions + 1, max_regions);
            slot = -1;
        }
    }
    if (slot >= 0) {
        sd->regions[slot].width = width - sd->regions[slot].x;
        sd->nregions = std::min(sd->nregions + 1, max_regions);
    }
    // A region at column 0 continues the last one across the wrap of a full
    // panorama: the two share slot 0.
    sd->nopt = sd->nregions > 0 && sd->regions[0].x == 0 ? sd->nregions - 1 : sd->nregions;
}

// Steps 1, 3 and 4 of qual for one region: write its window mask for the
// factor moving from a to e over the first half of its rows, and cost the
// seam it draws.
static double region_cost(seam_data *sd, const irectangle &r, float e, float a)
{
    size_t stride = static_cast<size_t>(sd->source->width);
    int h = r.height / 2;
    for (int j = 0; j < r.height; j++) {
        float f =
            j < h ? static_cast<float>(a + static_cast<double>(static_cast<float>(j) * (e - a)) / h) : e;
        unsigned char *m = sd->rct + j * stride;
        for (int x = r.x; x < r.x + r.width; x++)
            m[x] = mask_at(sd->rows[j], x, f);
    }
    double s = 0;
    if (sd->prev_row) {
        const unsigned char *pm = sd->prev_mask;
        for (int x = r.x; x < r.x + r.width - 1; x++) {
            if (pm[x] != pm[x + 1])
                s += pair_cost(sd->prev_row, x, sd->prev_row, x + 1);
            if (pm[x] != sd->rct[x])
                s += pair_cost(sd->prev_row, x, sd->rows[0], x);
        }
    }
    for (int j = 0; j < r.height - 1; j++) {
        const unsigned char *m = sd->rct + j * stride, *below = m + stride;
        for (int x = r.x; x < r.x + r.width - 1; x++) {
            if (m[x] != m[x + 1])
                s += pair_cost(sd->rows[j], x, sd->rows[j], x + 1);
            if (m[x] != below[x])
                s += pair_cost(sd->rows[j], x, sd->rows[j + 1], x);
        }
    }
    return s;
}

double qual(double x, void *data)
{
    seam_data *sd = static_cast<seam_data *>(data);
    int slot = sd->region;
    float e = static_cast<float>(std::exp(x));
    double s = region_cost(sd, sd->regions[slot], e, sd->factor[slot]);
    // Slot 0 also carries the last region when the two meet across the wrap.
    if (slot == 0 && sd->nregions == sd->nopt + 1)
        s += region_cost(sd, sd->regions[sd->nregions - 1], e, sd->factor[0]);
    return s;
}

void optimize(optimize_data *d)
{
    double x = d->x, fx = d->fn(x, d->data);
    for (double step = d->step; step >= d->min_step; step *= 0.5) {
        double f_lo = x - step >= d->lo ? d->fn(x - step, d->data) : fx;
        double f_hi = x + step <= d->hi ? d->fn(x + step, d->data) : fx;
        if (f_lo >= fx && f_hi >= fx)
            continue;
        if (f_hi < f_lo) {
            x += step;
            fx = f_hi;
        } else {
            x -= step;
            fx = f_lo;
        }
    }
    d->x = x;
    d->fx = fx;
}

static void start_window(seam_data *sd, int n)
{
    sd->prev_row = n > 0 ? static_cast<const float *>(read_row(sd->source, n - 1, nullptr)) : nullptr;
    sd->nrows = std::min(sd->source->height - n, sd->preload);
    for (int i = 0; i < sd->nrows; i++)
        sd->rows[i] = static_cast<const float *>(read_row(sd->source, n + i, nullptr));
    find_seam_regions(sd);
    for (int j = 0; j < sd->nopt; j++) {
        sd->region = j;
        optimize_data d = {std::log(static_cast<double>(sd->factor[j])),
                           -2.302585092994045,
                           2.302585092994046,
                           0.5,
                           0.005,
                           sd,
                           qual,
                           0};
        optimize(&d);
        sd->prev_factor[j] = sd->factor[j];
        sd->factor[j] = static_cast<float>(std::exp(d.x));
    }
}

void seam_mask_row(seam_data *sd, int k, float *buf)
{
    int width = sd->source->width;
    double t = static_cast<double>(k) / sd->half;
    auto moving = [&](int i) {
        return static_cast<float>(sd->prev_factor[i] + (sd->factor[i] - sd->prev_factor[i]) * t);
    };
    const float *rec = sd->rows[k];
    unsigned char *m = sd->rct;
    int x = 0;
    int end = sd->nregions > 0 ? sd->regions[0].x : width;
    for (; x < end; x++)
        m[x] = mask_at(rec, x, 1.0f);
    for (int i = 0; i < sd->nopt; i++) {
        float f = moving(i);
        for (end = sd->regions[i].x + sd->regions[i].width; x < end; x++)
            m[x] = mask_at(rec, x, f);
    }
    float f0 = moving(0);
    for (; x < width; x++)
        m[x] = mask_at(rec, x, f0);
    if (k == sd->half - 1)
        memcpy(sd->prev_mask, m, static_cast<size_t>(width));
    for (x = 0; x < width; x++)
        buf[x] = m[x];
}

static void *seamer_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    seam_data *sd = static_cast<seam_data *>(ir->data);
    int k = n % sd->half;
    if (k == 0)
        start_window(sd, n);
    seam_mask_row(sd, k, static_cast<float *>(buf));
    return buf;
}

static int seamer_close(void *data)
{
    seam_data *sd = static_cast<seam_data *>(data);
    int status = close_image_reader(sd->source);
    aligned_free(sd->rct);
    aligned_free(sd->rows);
    aligned_free(sd->regions);
    aligned_free(sd->prev_mask);
    aligned_free(sd);
    return status;
}

image_reader *seamer(image_reader *ir) { return seamer_ring(ir, seam_rows); }

image_reader *seamer_ring(image_reader *ir, int ring_rows)
{
    kassert(ir->pixformat == float_RGBA);
    seam_data *sd = static_cast<seam_data *>(checked_calloc(1, sizeof(seam_data)));
    sd->source = ir;
    sd->preload = get_seam_preload();
    // Windows start every preload / 2 rows; the smart seam mode sets 200.
    kassert(sd->preload >= 2);
    sd->half = sd->preload / 2;
    int64_t bytes;
    size_t width = static_cast<size_t>(ir->width);
    sd->rct = checked_mul(sd->preload, std::max(ir->width, 1), &bytes)
                  ? static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(bytes)))
                  : nullptr;
    kassert(sd->rct);
    sd->rows = static_cast<const float **>(checked_calloc(static_cast<size_t>(sd->preload), sizeof(float *)));
    sd->regions = static_cast<irectangle *>(checked_calloc(max_regions, sizeof(irectangle)));
    sd->prev_mask = static_cast<unsigned char *>(checked_calloc(std::max<size_t>(width, 1), 1));
    for (int i = 0; i < max_regions; i++)
        sd->factor[i] = sd->prev_factor[i] = 1.0f;
    connect_reader(ir);
    image_reader *mask =
        create_image_reader(ir->type, sd, ir->width, ir->height, float_G, seamer_read, seamer_close);
    return buffered_reader_2(mask, ring_rows);
}
