// The interpolation kernels: their values, symmetry, sums and the sine of
// the Lanczos kernels, and the four-lane code against its scalar reference.
#include "tests/geometry/transform_reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace
{

typedef void (*kernel_fn)(__m128 *, __m128);

struct kernel_case {
    int code;
    kernel_fn fn;
};

const kernel_case kernels[] = {
    {INTERP_BILINEAR, bilinear_c}, {INTERP_POLY3, poly3_c},       {INTERP_SPLINE16, spline16_c},
    {INTERP_SPLINE36, spline36_c}, {INTERP_SPLINE64, spline64_c}, {INTERP_SINC16, sinc16_c},
    {INTERP_SINC36, sinc36_c},     {INTERP_SINC64, sinc64_c},     {INTERP_SINC256, sinc256_c},
    {INTERP_SINC1024, sinc1024_c},
};

bool is_lanczos(int code) { return code >= INTERP_SINC256; }

// The weights of all four lanes at t0..t3; w[k][lane].
std::vector<std::vector<float>> run_kernel(kernel_fn fn, int taps, const float t[4])
{
    __m128 w[32];
    fn(w, _mm_loadu_ps(t));
    std::vector<std::vector<float>> out(static_cast<size_t>(taps), std::vector<float>(4));
    for (int k = 0; k < taps; k++) {
        alignas(16) float v[4];
        _mm_store_ps(v, w[k]);
        for (int l = 0; l < 4; l++)
            out[static_cast<size_t>(k)][static_cast<size_t>(l)] = v[l];
    }
    return out;
}

std::vector<float> at(const kernel_case &kc, float t)
{
    const float ts[4] = {t, t, t, t};
    auto w = run_kernel(kc.fn, interpolator_taps(kc.code), ts);
    std::vector<float> out;
    for (auto &row : w)
        out.push_back(row[0]);
    return out;
}

void expect_weights(const std::vector<float> &w, const std::vector<double> &want, double tol)
{
    ASSERT_EQ(w.size(), want.size());
    for (size_t k = 0; k < w.size(); k++)
        EXPECT_NEAR(w[k], want[k], tol) << "tap " << k;
}

// The spline tables' rows in exact fractions, evaluated in double.
double row_value(const double (*rows)[4], int k, double t)
{
    const double *r = rows[k];
    return ((r[0] * t + r[1]) * t + r[2]) * t + r[3];
}

const double spline36_rows[6][4] = {
    {1.0 / 11, -45.0 / 209, 26.0 / 209, 0},   {-6.0 / 11, 270.0 / 209, -156.0 / 209, 0},
    {13.0 / 11, -453.0 / 209, -3.0 / 209, 1}, {-13.0 / 11, 288.0 / 209, 168.0 / 209, 0},
    {6.0 / 11, -72.0 / 209, -42.0 / 209, 0},  {-1.0 / 11, 12.0 / 209, 7.0 / 209, 0},
};
const double spline64_rows[8][4] = {
    {-1.0 / 41, 168.0 / 2911, -97.0 / 2911, 0},     {6.0 / 41, -1008.0 / 2911, 582.0 / 2911, 0},
    {-24.0 / 41, 4032.0 / 2911, -2328.0 / 2911, 0}, {49.0 / 41, -6387.0 / 2911, -3.0 / 2911, 1},
    {-49.0 / 41, 4050.0 / 2911, 2340.0 / 2911, 0},  {24.0 / 41, -1080.0 / 2911, -624.0 / 2911, 0},
    {-6.0 / 41, 270.0 / 2911, 156.0 / 2911, 0},     {1.0 / 41, -45.0 / 2911, -26.0 / 2911, 0},
};

TEST(Kernels, PublishedValues)
{
    expect_weights(at(kernels[1], 0.5f), {-0.09375, 0.59375, 0.59375, -0.09375}, 0);
    expect_weights(at(kernels[1], 0.25f), {-0.10546875, 0.87890625, 0.26171875, -0.03515625}, 0);
    expect_weights(at(kernels[2], 0.5f), {-0.075, 0.575, 0.575, -0.075}, 1e-7);
    std::vector<double> s36, s64;
    for (int k = 0; k < 6; k++)
        s36.push_back(row_value(spline36_rows, k, 0.5));
    for (int k = 0; k < 8; k++)
        s64.push_back(row_value(spline64_rows, k, 0.5));
    expect_weights(at(kernels[3], 0.5f), s36, 2e-7);
    expect_weights(at(kernels[4], 0.5f), s64, 2e-7);
    expect_weights(at(kernels[0], 0.25f), {0.75, 0.25}, 0);

    auto l2 = at(kernels[5], 0.5f);
    expect_weights(l2, {-0.0637, 0.5732, 0.5732, -0.0637}, 1e-4);
    EXPECT_NEAR(l2[0] + l2[1] + l2[2] + l2[3], 1.019, 1e-3);
    // Every Lanczos kernel against sinc(d) sinc(d / a) in double precision.
    for (int i = 5; i < 10; i++) {
        int taps = interpolator_taps(kernels[i].code), a = taps / 2;
        std::vector<double> want;
        for (int k = 0; k < taps; k++) {
            double d = 0.5 + a - 1 - k;
            want.push_back(std::sin(M_PI * d) / (M_PI * d) * std::sin(M_PI * d / a) / (M_PI * d / a));
        }
        SCOPED_TRACE(taps);
        expect_weights(at(kernels[i], 0.5f), want, 2e-6);
    }
}

TEST(Kernels, DeltaAtZero)
{
    for (const auto &kc : kernels) {
        SCOPED_TRACE(kc.code);
        auto w = at(kc, 0.0f);
        int centre = static_cast<int>(w.size()) / 2 - 1;
        for (int k = 0; k < static_cast<int>(w.size()); k++) {
            if (k == centre)
                EXPECT_EQ(w[static_cast<size_t>(k)], 1.0f);
            else if (is_lanczos(kc.code))
                EXPECT_NEAR(w[static_cast<size_t>(k)], 0.0f, 1e-6) << k;
            else
                EXPECT_EQ(w[static_cast<size_t>(k)], 0.0f) << k;
        }
    }
}

TEST(Kernels, SymmetryAndSums)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (const auto &kc : kernels) {
        SCOPED_TRACE(kc.code);
        const int taps = interpolator_taps(kc.code), lo = taps / 2 - 1;
        for (int i = 0; i < 200; i++) {
            float t = u(rng);
            auto w = at(kc, t), m = at(kc, 1.0f - t);
            double sum = 0, first = 0;
            for (int k = 0; k < taps; k++) {
                EXPECT_NEAR(w[static_cast<size_t>(k)], m[static_cast<size_t>(taps - 1 - k)], 2e-6)
                    << "t " << t;
                sum += w[static_cast<size_t>(k)];
                first += w[static_cast<size_t>(k)] * (k - lo);
            }
            if (is_lanczos(kc.code)) {
                // Not normalised: the sum wanders about 1.
                EXPECT_NEAR(sum, 1.0, 0.03);
            } else {
                EXPECT_NEAR(sum, 1.0, 2e-6) << "t " << t;
            }
            // The linear kernel and the splines reproduce ramps; the cubic
            // convolution with a = -0.75 does not.
            if (kc.code == INTERP_BILINEAR || kc.code == INTERP_SPLINE16 || kc.code == INTERP_SPLINE36 ||
                kc.code == INTERP_SPLINE64) {
                EXPECT_NEAR(first, t, 4e-6) << "t " << t;
            }
        }
    }
    auto c = at(kernels[1], 0.25f);
    EXPECT_GT(std::fabs(c[1] * 0 + c[0] * -1 + c[2] * 1 + c[3] * 2 - 0.25), 0.04);
}

TEST(Kernels, VectorEqualsScalarReference)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (const auto &kc : kernels) {
        SCOPED_TRACE(kc.code);
        const int taps = interpolator_taps(kc.code);
        for (int i = 0; i < 2000; i++) {
            float t[4] = {u(rng), u(rng), u(rng), i % 7 == 0 ? 0.0f : u(rng)};
            auto w = run_kernel(kc.fn, taps, t);
            for (int l = 0; l < 4; l++) {
                float ref[32];
                rref::weights(kc.code, t[l], ref);
                for (int k = 0; k < taps; k++)
                    ASSERT_EQ(w[static_cast<size_t>(k)][static_cast<size_t>(l)], ref[k])
                        << "t " << t[l] << " tap " << k;
            }
        }
    }
}

TEST(Kernels, CubicPieces)
{
    auto one = [](__m128 (*f)(__m128), float x) {
        alignas(16) float v[4];
        _mm_store_ps(v, f(_mm_set1_ps(x)));
        return v[0];
    };
    EXPECT_EQ(one(cubic01, 0), 1.0f);
    EXPECT_EQ(one(cubic01, 1), 0.0f);
    EXPECT_EQ(one(cubic12, 1), 0.0f);
    EXPECT_EQ(one(cubic12, 2), 0.0f);
    EXPECT_EQ(one(cubic01, 0.5f), 0.59375f);
    EXPECT_EQ(one(cubic12, 1.5f), -0.09375f);
}

// Units in the last place between a float and the exact value.
double ulps(float got, double want)
{
    double ulp = std::ldexp(1.0, std::ilogb(static_cast<float>(want)) - 23);
    return std::fabs(got - want) / ulp;
}

TEST(Kernels, SineAgreesWithTheLibrary)
{
    double worst = 0;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-16 * 3.1415927f, 16 * 3.1415927f);
    for (int i = 0; i < 200000; i++) {
        alignas(16) float x[4], s[4];
        for (int l = 0; l < 4; l++)
            x[l] = i < 4 ? static_cast<float>(l + 4 * i) * 3.1415927f : u(rng);
        _mm_store_ps(s, sin_ps(_mm_load_ps(x)));
        for (int l = 0; l < 4; l++) {
            ASSERT_EQ(s[l], rref::sin_ref(x[l])) << x[l];
            double want = std::sin(static_cast<double>(x[l]));
            if (want != 0)
                worst = std::max(worst, ulps(s[l], want));
        }
    }
    EXPECT_LE(worst, 2.0);
    alignas(16) float z[4] = {0.0f, -0.0f, 1e-20f, -1e-20f}, s[4];
    _mm_store_ps(s, sin_ps(_mm_load_ps(z)));
    EXPECT_EQ(s[0], 0.0f);
    EXPECT_TRUE(std::signbit(s[1]));
    EXPECT_EQ(s[2], 1e-20f);
    EXPECT_EQ(s[3], -1e-20f);
}

TEST(Interpolators, Table)
{
    const int taps[INTERP_COUNT] = {1, 2, 4, 4, 6, 8, 16, 32, 8, 6, 4};
    remap_row_fn fns[INTERP_COUNT] = {remap_row_nn,       remap_row_bilinear, remap_row_poly3,
                                      remap_row_spline16, remap_row_spline36, remap_row_spline64,
                                      remap_row_sinc256,  remap_row_sinc1024, remap_row_sinc64,
                                      remap_row_sinc36,   remap_row_sinc16};
    for (int c = 0; c < INTERP_COUNT; c++) {
        EXPECT_EQ(interpolator_taps(c), taps[c]);
        EXPECT_EQ(get_remap_row_func(c), fns[c]);
    }
    EXPECT_EQ(interpolator_taps(-1), 0);
    EXPECT_EQ(interpolator_taps(11), 0);
}

TEST(InterpolatorsDeathTest, UnknownCode)
{
    EXPECT_EXIT(get_remap_row_func(11), ::testing::ExitedWithCode(1), "^Unsupported interpolator\\.\n?$");
    EXPECT_EXIT(get_remap_row_func(-1), ::testing::ExitedWithCode(1), "Unsupported interpolator\\.");
}

} // namespace
