// Sources, warps and the reference rows shared by the warper tests.
#pragma once
#include "stitcher/geometry/stack.h"
#include "stitcher/geometry/warper.h"
#include "tests/geometry/stack_testutil.h"
#include "tests/geometry/transform_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace warptest
{
using namespace stacktest;

// A decoded source in a buffer of exactly its byte size, so that
// AddressSanitizer sees any read past it.
struct source {
    loaded_image li{};
    source(int w, int h, uint32_t fmt)
    {
        li.kind = 1;
        li.width = w;
        li.height = h;
        li.pixformat = fmt;
        li.size = static_cast<uint64_t>(w) * h * get_bytes_per_pixel(fmt);
        li.buffer = malloc(li.size ? li.size : 1);
        li.priority = 100;
    }
    ~source() { free(li.buffer); }
    source(const source &) = delete;
    source &operator=(const source &) = delete;
    int channels() const { return fmt() == uchar_RGB || fmt() == ushort_RGB ? 3 : 4; }
    uint32_t fmt() const { return li.pixformat; }
    // Channel c of pixel (x, y) set to v (0..255; 16-bit samples scaled by 257).
    void set(int x, int y, int c, float v)
    {
        size_t i = (static_cast<size_t>(y) * li.width + x) * channels() + c;
        switch (fmt()) {
        case float_RGBA:
            static_cast<float *>(li.buffer)[i] = v;
            break;
        case uchar_RGB:
        case uchar_RGBA:
            static_cast<unsigned char *>(li.buffer)[i] = static_cast<unsigned char>(v);
            break;
        default:
            static_cast<uint16_t *>(li.buffer)[i] = static_cast<uint16_t>(v * 257);
            break;
        }
    }
    // Random colours; one pixel in `clear` has alpha 0.
    void randomize(unsigned seed, int clear = 8)
    {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> u(0, 255);
        for (int y = 0; y < li.height; y++)
            for (int x = 0; x < li.width; x++)
                for (int c = 0; c < channels(); c++)
                    set(x, y, c, c == 3 ? (clear && u(rng) % clear == 0 ? 0 : u(rng) | 1) : u(rng));
    }
    template <class F> void fill(F f)
    {
        for (int y = 0; y < li.height; y++)
            for (int x = 0; x < li.width; x++)
                for (int c = 0; c < channels(); c++)
                    set(x, y, c, f(x, y, c));
    }
};

struct warp_case {
    irectangle src_rect;
    irectangle dest;
    int32_t pano[2];
    const stack_data *stack;
    int circle = 0;
    int code = INTERP_POLY3;
    int threads = 1;
};

// A warp of the whole source into a panorama of the source's size.
inline warp_case same_size(const loaded_image &li, const stack_data *sd, int code)
{
    warp_case c;
    c.src_rect = {0, 0, li.width, li.height};
    c.pano[0] = li.width;
    c.pano[1] = li.height;
    c.dest = {0, 0, li.width, li.height};
    c.stack = sd;
    c.code = code;
    return c;
}

// Every row of the warp, width * 4 floats each.
inline std::vector<float> warp_rows(const loaded_image &li, const warp_case &w)
{
    set_interpolator(w.code);
    set_num_warp_threads(w.threads);
    image_reader *r = warper(&li, w.src_rect, w.dest, w.pano, w.stack, w.circle);
    set_num_warp_threads(1);
    set_interpolator(INTERP_POLY3);
    EXPECT_EQ(r->width, w.dest.width);
    EXPECT_EQ(r->height, w.dest.height);
    EXPECT_EQ(r->pixformat, float_RGBA);
    std::vector<float> out;
    for (int y = 0; y < w.dest.height; y++) {
        const float *row = static_cast<const float *>(read_row(r, y, nullptr));
        out.insert(out.end(), row, row + 4 * static_cast<size_t>(w.dest.width));
    }
    close_image_reader(r);
    return out;
}

// Calls f(X, Y) with the source position, relative to the source centre, of
// every destination pixel in row order, the stack evaluated on the same
// groups of four points as the remappers evaluate it.
template <class F> void for_each_source_point(const warp_case &w, F f)
{
    auto vs = stacktest::to_vector(w.stack);
    const float pcx = static_cast<float>(w.pano[0]) * 0.5f - 0.5f;
    const float pcy = static_cast<float>(w.pano[1]) * 0.5f - 0.5f;
    for (int r = 0; r < w.dest.height; r++) {
        for (int p = 0; p < w.dest.width; p += 4) {
            alignas(16) float X[4], Y[4];
            for (int j = 0; j < 4; j++) {
                X[j] = static_cast<float>(w.dest.x + p + j) - pcx;
                Y[j] = static_cast<float>(w.dest.y + r) - pcy;
            }
            remap(X, Y, vs->slots);
            for (int j = 0; j < 4 && p + j < w.dest.width; j++)
                f(X[j], Y[j]);
        }
    }
}

// The same rows from the scalar reference. classes, when given, counts the
// interior, edge-band and outside pixels.
inline std::vector<float> reference_rows(const loaded_image &li, const warp_case &w, int *classes = nullptr)
{
    rref::setup s = rref::make_setup(&li, w.src_rect, w.circle != 0, w.code);
    std::vector<float> out;
    for_each_source_point(w, [&](float X, float Y) {
        float px[4];
        rref::pixel(s, X, Y, px);
        if (classes)
            classes[rref::interior(s, X, Y) ? 0 : rref::edge_distance(s, X, Y) >= -0.5f ? 1 : 2]++;
        out.insert(out.end(), px, px + 4);
    });
    return out;
}

// Bit-equal rows; reports the first pixel that differs.
inline ::testing::AssertionResult same_rows(const std::vector<float> &a, const std::vector<float> &b,
                                            int width)
{
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes " << a.size() << " and " << b.size();
    for (size_t i = 0; i < a.size(); i += 4)
        if (memcmp(&a[i], &b[i], 16) != 0)
            return ::testing::AssertionFailure()
                   << "pixel (" << (i / 4) % width << ", " << (i / 4) / width << "): " << a[i] << " "
                   << a[i + 1] << " " << a[i + 2] << " " << a[i + 3] << " against " << b[i] << " " << b[i + 1]
                   << " " << b[i + 2] << " " << b[i + 3];
    return ::testing::AssertionSuccess();
}

// Rotation, scale, shear and shift of the plane, about the identity.
inline stack_ptr affine_stack(std::mt19937 &rng, int w)
{
    std::uniform_real_distribution<double> u(-1, 1);
    double a = u(rng) * 3.2, s = 1 + 0.45 * u(rng);
    return make_stack({{_shift_scale_rotate, {u(rng) * w / 4, u(rng) * w / 4, s, std::cos(a), std::sin(a)}},
                       {_shear, {1, 0.2 * u(rng), 0.2 * u(rng)}},
                       {_shift, {u(rng) * w / 3, u(rng) * w / 3}}});
}

} // namespace warptest
