// Float images in memory, their readers, and scalar references of the
// pyramid filters, shared by the blending tests.
#pragma once
#include "chain_testing.h"

#include "stitcher/blend/seam.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

// A float_RGBA (4 channels) or float_G (1 channel) image. Its reader serves
// rows from storage moved `shift` floats off 16-byte alignment, so that the
// vector code meets every alignment, and counts the reads of each row.
struct float_image {
    int width = 0, height = 0, channels = 4;
    int shift = 0;
    std::vector<float> storage;
    std::vector<int> reads;
    uint32_t tag = 1;

    float_image() = default;
    float_image(int w, int h, int ch, int sh = 0) : width(w), height(h), channels(ch), shift(sh)
    {
        storage.assign(static_cast<size_t>(w) * h * ch + 4, 0.0f);
        reads.assign(static_cast<size_t>(h), 0);
    }
    size_t row_floats() const { return static_cast<size_t>(width) * channels; }
    float *row(int y) { return storage.data() + shift + row_floats() * y; }
    const float *row(int y) const { return storage.data() + shift + row_floats() * y; }
    float &at(int x, int y, int c = 0) { return row(y)[static_cast<size_t>(x) * channels + c]; }
    float at(int x, int y, int c = 0) const { return row(y)[static_cast<size_t>(x) * channels + c]; }
    uint32_t pixformat() const { return channels == 4 ? float_RGBA : float_G; }
};

inline void *float_image_read(image_reader *ir, int n, void *buf)
{
    float_image *im = static_cast<float_image *>(ir->data);
    EXPECT_TRUE(n >= 0 && n < im->height) << "row " << n;
    im->reads[static_cast<size_t>(n)]++;
    if (!buf)
        return im->row(n);
    memcpy(buf, im->row(n), im->row_floats() * sizeof(float));
    return buf;
}

inline image_reader *float_reader(float_image *im)
{
    return create_image_reader(im->tag, im, im->width, im->height, im->pixformat(), float_image_read,
                               nullptr);
}

// Values on 0..255 with a random alpha, the same for the same seed.
inline float_image random_image(int w, int h, int ch, unsigned seed, int shift = 0)
{
    float_image im(w, h, ch, shift);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(0.0f, 255.0f);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < ch; c++)
                im.at(x, y, c) = d(gen);
    return im;
}

// Reads every row, top to bottom, into a buffer moved `shift` floats off
// alignment; does not close the reader.
inline float_image read_all(image_reader *ir, int shift = 0)
{
    float_image out(ir->width, ir->height, ir->pixformat == float_RGBA ? 4 : 1, shift);
    for (int y = 0; y < ir->height; y++) {
        void *p = read_row(ir, y, out.row(y));
        EXPECT_EQ(p, static_cast<void *>(out.row(y)));
    }
    return out;
}

// The whole output of a one-source stage over im; the chain is released.
inline float_image through(image_reader *(*stage)(image_reader *), float_image &im, int shift = 0)
{
    image_reader *ir = stage(float_reader(&im));
    float_image out = read_all(ir, shift);
    close_image_reader(ir);
    return out;
}

// Chain tests that choose a seam mode give the process its mode back.
class SeamModeTest : public ChainTest
{
  protected:
    int saved_mode = 0;
    void SetUp() override
    {
        ChainTest::SetUp();
        saved_mode = get_seamer();
    }
    void TearDown() override
    {
        set_seamer(saved_mode);
        ChainTest::TearDown();
    }
};

inline bool same_bits(const float_image &a, const float_image &b)
{
    if (a.width != b.width || a.height != b.height || a.channels != b.channels)
        return false;
    for (int y = 0; y < a.height; y++)
        if (memcmp(a.row(y), b.row(y), a.row_floats() * sizeof(float)) != 0)
            return false;
    return true;
}

// ---- scalar references, straight from the filter definitions ----

inline float_image ref_reduce(const float_image &s)
{
    int W = (s.width - 1) / 2 + 1, H = (s.height - 1) / 2 + 1, ch = s.channels;
    float_image v(2 * W - 1, H, ch), out(W, H, ch);
    for (int r = 0; r < H; r++)
        for (int c = 0; c < 2 * W - 1; c++)
            for (int k = 0; k < ch; k++) {
                if (r == 0 || r >= H - 1) {
                    v.at(c, r, k) = s.at(c, 2 * r, k);
                } else {
                    float outer = s.at(c, 2 * r - 2, k) + s.at(c, 2 * r + 2, k);
                    float inner = s.at(c, 2 * r - 1, k) + s.at(c, 2 * r + 1, k);
                    v.at(c, r, k) = outer * 0.05f + inner * 0.25f + s.at(c, 2 * r, k) * 0.4f;
                }
            }
    for (int r = 0; r < H; r++)
        for (int x = 0; x < W; x++)
            for (int k = 0; k < ch; k++) {
                if (x == 0 || x == W - 1) {
                    out.at(x, r, k) = v.at(2 * x, r, k);
                } else {
                    float outer = v.at(2 * x + 2, r, k) + v.at(2 * x - 2, r, k);
                    float inner = v.at(2 * x - 1, r, k) + v.at(2 * x + 1, r, k);
                    out.at(x, r, k) = outer * 0.05f + inner * 0.25f + v.at(2 * x, r, k) * 0.4f;
                }
            }
    return out;
}

// The tent expansion on every channel.
inline float_image ref_expand(const float_image &s)
{
    int w = s.width, ch = s.channels;
    float_image out(2 * w - 1, 2 * s.height - 1, ch);
    for (int r = 0; r < out.height; r++)
        for (int k = 0; k < ch; k++) {
            std::vector<float> t(static_cast<size_t>(w));
            for (int x = 0; x < w; x++)
                t[x] = r % 2 == 0 ? s.at(x, r / 2, k) : s.at(x, (r - 1) / 2, k) + s.at(x, (r + 1) / 2, k);
            for (int x = 0; x < w; x++) {
                out.at(2 * x, r, k) = r % 2 == 0 ? t[x] : t[x] * 0.5f;
                if (x + 1 < w)
                    out.at(2 * x + 1, r, k) = (t[x] + t[x + 1]) * (r % 2 == 0 ? 0.5f : 0.25f);
            }
        }
    return out;
}
