// The seam mode setting and the blender rows of modes 1 and 2.
#include "stitcher/blend/seam.h"

#include <cstring>

static int seam_position = 0;
static int seam_preload = 0;

void set_seamer(int mode)
{
    seam_position = mode;
    if (mode == 1)
        seam_preload = 200;
}

int get_seamer(void) { return seam_position; }
int get_seam_preload(void) { return seam_preload; }

void seam_padding(unsigned char *row, size_t offset_b, size_t offset_third, size_t third_size, int width,
                  int padded_width)
{
    if (padded_width <= width)
        return;
    size_t first = static_cast<size_t>(width), count = static_cast<size_t>(padded_width - width);
    memset(row + 16 * first, 0, 16 * count);
    memset(row + offset_b + 16 * first, 0, 16 * count);
    unsigned char *third = row + offset_third;
    for (size_t x = first; x < first + count; x++) {
        if (width > 0)
            memcpy(third + x * third_size, third + (first - 1) * third_size, third_size);
        else
            memset(third + x * third_size, 0, third_size);
    }
}

void smart_blender_columns(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b,
                           int x0, int x1)
{
    unsigned char *r = static_cast<unsigned char *>(row);
    float *out_a = reinterpret_cast<float *>(r), *out_b = reinterpret_cast<float *>(r + offset_b);
    float *cost = reinterpret_cast<float *>(r + offset_third);
    for (size_t x = static_cast<size_t>(x0); x < static_cast<size_t>(x1); x++) {
        const float *pa = a + 4 * x, *pb = b + 4 * x;
        // Of the pair as it came in, before the alphas are evened out.
        float dr = pa[0] - pb[0], dg = pa[1] - pb[1], db = pa[2] - pb[2];
        float rec[4] = {pa[3], pb[3], dg * dg + dr * dr + db * db + 1.0f, 0.0f};
        seam_pixel(pa, pb, out_a + 4 * x, out_b + 4 * x);
        memcpy(cost + 4 * x, rec, sizeof rec);
    }
}

void smart_blender(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b, int width,
                   int padded_width)
{
    smart_blender_columns(row, offset_b, offset_third, a, b, 0, width);
    seam_padding(static_cast<unsigned char *>(row), offset_b, offset_third, 16, width, padded_width);
}

void add_blender_columns(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b,
                         int x0, int x1)
{
    unsigned char *r = static_cast<unsigned char *>(row);
    float *out_a = reinterpret_cast<float *>(r), *out_b = reinterpret_cast<float *>(r + offset_b);
    float *mask = reinterpret_cast<float *>(r + offset_third);
    for (size_t x = static_cast<size_t>(x0); x < static_cast<size_t>(x1); x++) {
        int cover = seam_pixel(a + 4 * x, b + 4 * x, out_a + 4 * x, out_b + 4 * x);
        mask[x] = cover == seam_both ? 127.5f : cover == seam_a_only ? 255.0f : 0.0f;
    }
}

void add_blender(void *row, size_t offset_b, size_t offset_third, const float *a, const float *b, int width,
                 int padded_width)
{
    add_blender_columns(row, offset_b, offset_third, a, b, 0, width);
    seam_padding(static_cast<unsigned char *>(row), offset_b, offset_third, sizeof(float), width,
                 padded_width);
}
