#include "stitcher/pipeline/pixformat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace
{

const uint32_t formats[] = {float_RGBA, uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA};

int channels(uint32_t f) { return f == uchar_RGB || f == ushort_RGB ? 3 : f == float_G ? 1 : 4; }
int depth(uint32_t f) { return f == float_RGBA || f == float_G ? 32 : f <= uchar_RGBA ? 8 : 16; }

double get_sample(uint32_t f, const unsigned char *p, int c)
{
    switch (depth(f)) {
    case 8:
        return p[c];
    case 16: {
        uint16_t v;
        memcpy(&v, p + 2 * c, 2);
        return v;
    }
    default: {
        float v;
        memcpy(&v, p + 4 * c, 4);
        return v;
    }
    }
}

// The conversion table written out independently, in double precision.
double clamp_round(double v, double top, bool ties_even)
{
    if (std::isnan(v) || v <= 0)
        return 0;
    if (v >= top)
        return top;
    return ties_even ? std::nearbyint(v) : std::floor(v + 0.5);
}

double ref_sample(double v, int sd, int dd, bool to_rgb_without_alpha)
{
    if (sd == dd)
        return v;
    if (dd == 32)
        return sd == 8 ? v : v / 256.0;
    if (sd == 32)
        return dd == 8 ? clamp_round(v, 255, !to_rgb_without_alpha) : clamp_round(v * 256.0, 65535, false);
    return dd == 16 ? v * 256 : std::floor(v / 256);
}

void ref_convert(uint32_t from, uint32_t to, const unsigned char *src, unsigned char *dst, int n)
{
    int sbpp = get_bytes_per_pixel(from), dbpp = get_bytes_per_pixel(to);
    int sd = depth(from), dd = depth(to), dc = channels(to);
    for (int i = 0; i < n; i++) {
        double out[4];
        for (int c = 0; c < 3; c++)
            out[c] =
                ref_sample(get_sample(from, src + i * sbpp, channels(from) == 1 ? 0 : c), sd, dd, dc == 3);
        out[3] = channels(from) == 4 ? ref_sample(get_sample(from, src + i * sbpp, 3), sd, dd, false)
                                     : (dd == 16 ? 65535.0 : 255.0);
        unsigned char *p = dst + i * dbpp;
        for (int c = 0; c < dc; c++) {
            if (dd == 8) {
                p[c] = static_cast<unsigned char>(out[c]);
            } else if (dd == 16) {
                uint16_t v = static_cast<uint16_t>(out[c]);
                memcpy(p + 2 * c, &v, 2);
            } else {
                float v = static_cast<float>(out[c]);
                memcpy(p + 4 * c, &v, 4);
            }
        }
    }
}

// Random rows, with every awkward float: not-a-number, infinities,
// negatives, values above the range and exact halves.
std::vector<unsigned char> random_row(uint32_t f, int n, std::mt19937 &rng)
{
    std::vector<unsigned char> row(static_cast<size_t>(n) * get_bytes_per_pixel(f) + 1);
    int samples = n * channels(f);
    for (int k = 0; k < samples; k++) {
        if (depth(f) == 8) {
            row[k] = static_cast<unsigned char>(rng());
        } else if (depth(f) == 16) {
            uint16_t v = static_cast<uint16_t>(rng());
            memcpy(&row[2 * k], &v, 2);
        } else {
            const float inf = std::numeric_limits<float>::infinity();
            static const float special[] = {
                std::nanf(""), inf,    -inf,   -3.0f,   -0.4f,  -0.0f,  0.5f,  1.5f,        2.5f,
                253.5f,        254.5f, 255.0f, 255.49f, 255.5f, 300.0f, 1e30f, 0.00390625f, 255.99609375f};
            const unsigned kind = rng() % 3;
            float v = kind == 0   ? special[rng() % (sizeof special / sizeof *special)]
                      : kind == 1 ? static_cast<float>(rng() % 600) * 0.5f - 20.0f
                                  : std::uniform_real_distribution<float>(-10.0f, 270.0f)(rng);
            memcpy(&row[4 * k], &v, 4);
        }
    }
    return row;
}

// NaN payloads aside, two float rows compare as bytes.
void expect_same_bytes(const unsigned char *a, const unsigned char *b, size_t n, const std::string &what)
{
    ASSERT_EQ(0, memcmp(a, b, n)) << what;
}

} // namespace

TEST(Pixformat, SizesAndAlphaPartners)
{
    EXPECT_EQ(16, get_bytes_per_pixel(float_RGBA));
    EXPECT_EQ(4, get_bytes_per_pixel(float_G));
    EXPECT_EQ(3, get_bytes_per_pixel(uchar_RGB));
    EXPECT_EQ(8, get_bytes_per_pixel(ushort_RGBA));
    EXPECT_EQ(0, get_bytes_per_pixel(0));
    EXPECT_EQ(0, get_bytes_per_pixel(2));
    EXPECT_EQ(0, get_bytes_per_pixel(8));
    EXPECT_EQ(2, get_bytes_per_channel(ushort_RGB));
    EXPECT_EQ(4, get_bytes_per_channel(float_G));
    EXPECT_EQ(uchar_RGBA, alpha_pixformat(uchar_RGB));
    EXPECT_EQ(ushort_RGBA, alpha_pixformat(ushort_RGB));
    EXPECT_EQ(float_RGBA, alpha_pixformat(float_RGBA));
    EXPECT_EQ(0u, alpha_pixformat(float_G));
    EXPECT_EQ(0u, alpha_pixformat(9));
    EXPECT_EQ(0xAB, ushort_to_uchar(0xABCD));
}

TEST(Pixformat, EveryPairMatchesTheReferenceAtAnyAlignment)
{
    std::mt19937 rng(42);
    for (uint32_t from : formats)
        for (uint32_t to : formats) {
            pix_converter conv = get_pix_converter(from, to);
            ASSERT_NE(nullptr, conv) << from << "->" << to;
            int dbpp = get_bytes_per_pixel(to);
            for (int n : {0, 1, 2, 3, 5, 7, 8, 9, 13, 31, 64, 100}) {
                for (int offset : {0, 1, 4, 8, 12}) {
                    std::vector<unsigned char> src = random_row(from, n, rng);
                    std::vector<unsigned char> shifted(src.size() + 16);
                    memcpy(shifted.data() + offset, src.data(), src.size());
                    std::vector<unsigned char> want(static_cast<size_t>(n) * dbpp + 1, 0xEE);
                    std::vector<unsigned char> got(want.size() + 32, 0xEE);
                    ref_convert(from, to, src.data(), want.data(), n);
                    conv(shifted.data() + offset, got.data() + (offset * 3) % 16, n);
                    expect_same_bytes(want.data(), got.data() + (offset * 3) % 16, want.size() - 1,
                                      std::to_string(from) + "->" + std::to_string(to) +
                                          " n=" + std::to_string(n));
                    // Nothing past the row is touched.
                    EXPECT_EQ(0xEE, got[(offset * 3) % 16 + want.size() - 1]);
                }
            }
        }
}

TEST(Pixformat, InPlaceEqualsOutOfPlace)
{
    std::mt19937 rng(7);
    for (uint32_t from : formats)
        for (uint32_t to : formats) {
            pix_converter conv = get_pix_converter(from, to);
            for (int n : {1, 4, 13, 37}) {
                std::vector<unsigned char> src = random_row(from, n, rng);
                size_t size =
                    static_cast<size_t>(n) * std::max(get_bytes_per_pixel(from), get_bytes_per_pixel(to));
                std::vector<unsigned char> buf(size + 16), separate(size + 16);
                memcpy(buf.data(), src.data(), src.size() - 1);
                conv(src.data(), separate.data(), n);
                conv(buf.data(), buf.data(), n);
                expect_same_bytes(separate.data(), buf.data(),
                                  static_cast<size_t>(n) * get_bytes_per_pixel(to),
                                  std::to_string(from) + "->" + std::to_string(to));
            }
        }
}

TEST(Pixformat, VectorPathsEqualTheirScalarTwins)
{
    struct pair {
        pix_converter vec, scalar;
        uint32_t from, to;
    } pairs[] = {
        {float4_to_uchar_rgba, float4_to_uchar_rgba_scalar, float_RGBA, uchar_RGBA},
        {uchar_rgb_to_float4, uchar_rgb_to_float4_scalar, uchar_RGB, float_RGBA},
        {uchar_rgba_to_float4, uchar_rgba_to_float4_scalar, uchar_RGBA, float_RGBA},
        {ushort_rgba_to_float4, ushort_rgba_to_float4_scalar, ushort_RGBA, float_RGBA},
    };
    std::mt19937 rng(3);
    for (const pair &p : pairs)
        for (int n = 0; n <= 40; n++)
            for (int sa = 0; sa < 16; sa += 4)
                for (int da = 0; da < 16; da++) {
                    std::vector<unsigned char> src = random_row(p.from, n, rng);
                    std::vector<unsigned char> s(src.size() + 16), a(n * 16 + 32, 0), b(n * 16 + 32, 0);
                    memcpy(s.data() + sa, src.data(), src.size());
                    p.vec(s.data() + sa, a.data() + da, n);
                    p.scalar(s.data() + sa, b.data() + da, n);
                    ASSERT_EQ(a, b) << p.from << "->" << p.to << " n=" << n << " src+" << sa << " dst+" << da;
                }
}

TEST(Pixformat, RoundingAndClampingExamples)
{
    float px[4] = {254.5f, 253.5f, -3.0f, 300.0f};
    unsigned char rgb[3], rgba[4];
    float4_to_uchar_rgb(px, rgb, 1);
    float4_to_uchar_rgba(px, rgba, 1);
    EXPECT_EQ(255, rgb[0]);  // ties away from zero
    EXPECT_EQ(254, rgba[0]); // ties to even
    EXPECT_EQ(254, rgb[1]);
    EXPECT_EQ(254, rgba[1]);
    EXPECT_EQ(0, rgb[2]);
    EXPECT_EQ(255, rgba[3]);

    float f[4] = {300.0f, 255.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()};
    uint16_t s[4];
    float4_to_ushort_rgba(f, s, 1);
    EXPECT_EQ(65535, s[0]);
    EXPECT_EQ(65280, s[1]);
    EXPECT_EQ(0, s[2]);
    EXPECT_EQ(0, s[3]);

    unsigned char in[3] = {10, 20, 30};
    uint16_t wide[4];
    float fl[4];
    uchar_rgb_to_ushort_rgb(in, wide, 1);
    EXPECT_EQ(2560, wide[0]);
    EXPECT_EQ(5120, wide[1]);
    EXPECT_EQ(7680, wide[2]);
    uchar_rgb_to_ushort_rgba(in, wide, 1);
    EXPECT_EQ(65535, wide[3]);
    uchar_rgb_to_float4(in, fl, 1);
    EXPECT_EQ(10.0f, fl[0]);
    EXPECT_EQ(255.0f, fl[3]);

    unsigned char a8[4] = {1, 2, 3, 255};
    uchar_rgba_to_ushort_rgba(a8, wide, 1);
    EXPECT_EQ(65280, wide[3]);

    uint16_t u[4] = {65535, 256, 255, 65535};
    unsigned char o8[4];
    ushort_rgba_to_uchar_rgba(u, o8, 1);
    EXPECT_EQ((std::vector<int>{255, 1, 0, 255}), (std::vector<int>{o8[0], o8[1], o8[2], o8[3]}));
    ushort_rgba_to_float4(u, fl, 1);
    EXPECT_EQ(255.99609375f, fl[0]);
    EXPECT_EQ(1.0f, fl[1]);
    EXPECT_EQ(0.99609375f, fl[2]);
    EXPECT_EQ(255.99609375f, fl[3]);
}

TEST(Pixformat, GreyConverters)
{
    float g[3] = {127.5f, -1.0f, std::numeric_limits<float>::quiet_NaN()};
    unsigned char rgb[9], rgba[12];
    get_pix_converter(float_G, uchar_RGB)(g, rgb, 3);
    EXPECT_EQ((std::vector<int>{128, 128, 128, 0, 0, 0, 0, 0, 0}), std::vector<int>(rgb, rgb + 9));
    floatG_to_uchar_rgba(g, rgba, 1);
    EXPECT_EQ((std::vector<int>{128, 128, 128, 255}), std::vector<int>(rgba, rgba + 4));
}

TEST(Pixformat, ConverterChoice)
{
    EXPECT_EQ(nullptr, get_pix_converter(float_G, uchar_RGBA));
    EXPECT_EQ(nullptr, get_pix_converter(uchar_RGB, float_G));
    EXPECT_EQ(nullptr, get_pix_converter(uchar_RGB, 9));
    EXPECT_EQ(float4_to_uchar_rgba, get_pix_converter(float_RGBA, uchar_RGBA));
    EXPECT_EXIT(get_pix_converter(2, 4), ::testing::ExitedWithCode(1),
                "^Conversion from 2 to 4 not supported.\n$");
}

TEST(Pixformat, MergeRowAlpha)
{
    // Destination uchar_RGB of 10 pixels, source uchar_RGBA of 5 at x = 8.
    std::vector<unsigned char> dst(30, 7), src(20);
    for (int i = 0; i < 5; i++) {
        src[4 * i] = src[4 * i + 1] = src[4 * i + 2] = static_cast<unsigned char>(100 + i);
        src[4 * i + 3] = i == 1 ? 0 : 200;
    }
    EXPECT_EQ(0, merge_row_alpha(dst.data(), 10, src.data(), 8, 5, uchar_RGB));
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(7, dst[3 * i]);
    EXPECT_EQ(100, dst[24]); // pixel 8 takes source pixel 0
    EXPECT_EQ(7, dst[27]);   // source pixel 1 has alpha 0

    // ushort_RGBA copies alpha too; x beyond the row writes nothing.
    std::vector<uint16_t> d16(4 * 3, 1), s16 = {500, 600, 700, 9, 0, 0, 0, 0};
    merge_row_alpha(d16.data(), 3, s16.data(), 1, 2, ushort_RGBA);
    EXPECT_EQ((std::vector<uint16_t>{1, 1, 1, 1, 500, 600, 700, 9, 1, 1, 1, 1}), d16);
    merge_row_alpha(d16.data(), 3, s16.data(), 3, 2, ushort_RGBA);
    merge_row_alpha(d16.data(), 3, s16.data(), 0, 1, float_RGBA);
    EXPECT_EQ(1, d16[0]);
}

// The four-lane merge against its scalar twin, on rows that are no multiple
// of four at every offset, with and without keeping colours without alpha.
TEST(Pixformat, MergeRowAlphaLanesAsScalar)
{
    std::mt19937 rng(7);
    for (bool keep : {false, true})
        for (int x = 0; x < 4; x++)
            for (int n : {1, 3, 4, 13}) {
                std::vector<unsigned char> src(4 * 13), dst(4 * 20), want;
                for (unsigned char &c : src)
                    c = rng() % 3 ? static_cast<unsigned char>(rng()) : 0;
                for (size_t i = 0; i < dst.size(); i++)
                    dst[i] = i % 8 < 4 ? 0 : static_cast<unsigned char>(rng());
                want = dst;
                merge_row_alpha_scalar(want.data(), 20, src.data(), x, n, uchar_RGBA, keep);
                (keep ? merge_row_alpha_keep : merge_row_alpha)(dst.data(), 20, src.data(), x, n, uchar_RGBA);
                ASSERT_EQ(dst, want) << keep << " " << x << " " << n;
            }
}
