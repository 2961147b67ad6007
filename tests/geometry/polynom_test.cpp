#include "stitcher/geometry/polynom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace
{

std::vector<double> roots_of_quadratic(double a0, double a1, double a2)
{
    double a[3] = {a0, a1, a2}, r[3];
    int n = -1;
    square_zero(a, &n, r);
    return std::vector<double>(r, r + n);
}

std::vector<double> roots_of_cubic(const double a[4])
{
    double r[3];
    int n = -1;
    cube_zero(a, &n, r);
    return std::vector<double>(r, r + n);
}

TEST(Polynom, SquareZero)
{
    EXPECT_EQ(roots_of_quadratic(0, 0, 0), std::vector<double>{0});
    EXPECT_TRUE(roots_of_quadratic(1, 0, 0).empty());
    EXPECT_EQ(roots_of_quadratic(1, 2, 1), (std::vector<double>{-1, -1}));
    EXPECT_EQ(roots_of_quadratic(6, -5, 1), (std::vector<double>{3, 2}));
    EXPECT_EQ(roots_of_quadratic(6, 5, -1), (std::vector<double>{-1, 6}));
    EXPECT_EQ(roots_of_quadratic(-2, 1, 0), std::vector<double>{2});
    EXPECT_TRUE(roots_of_quadratic(1, 1, 1).empty());
}

TEST(Polynom, CubeRoot)
{
    EXPECT_EQ(cube_root(0), 0);
    EXPECT_NEAR(cube_root(27), 3, 1e-15);
    EXPECT_NEAR(cube_root(-8), -2, 1e-15);
    for (double v : {1e-12, 0.3, 7.0, 1e9})
        EXPECT_NEAR(std::pow(cube_root(-v), 3), -v, 1e-13 * v);
}

TEST(Polynom, CubeZeroEdgeCases)
{
    double a[4] = {-6, 11, -6, 1};
    std::vector<double> r = roots_of_cubic(a);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_NEAR(r[0], 3, 1e-12);
    EXPECT_NEAR(r[1], 2, 1e-12);
    EXPECT_NEAR(r[2], 1, 1e-12);
    EXPECT_NEAR(smallest_root(a), 1, 1e-12);
    double one[4] = {1, 1, 1, 1}; // (x + 1)(x^2 + 1)
    r = roots_of_cubic(one);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NEAR(r[0], -1, 1e-12);
    EXPECT_EQ(smallest_root(one), 1000);
    // Without a cubic term it is a quadratic.
    double quad[4] = {6, -5, 1, 0};
    EXPECT_EQ(roots_of_cubic(quad), (std::vector<double>{3, 2}));
    // x^3 = 0
    double triple[4] = {0, 0, 0, 2};
    EXPECT_EQ(roots_of_cubic(triple), std::vector<double>{0});
    // (x - 1)^2 (x - 2): the simple root is always among the results.
    double dbl[4] = {-2, 5, -4, 1};
    r = roots_of_cubic(dbl);
    ASSERT_FALSE(r.empty());
    EXPECT_NEAR(r[0], 2, 1e-7);
}

TEST(Polynom, SmallestRootKeepsToTheOpenRange)
{
    double linear[4] = {-2000, 1, 0, 0};
    EXPECT_EQ(smallest_root(linear), 1000);
    double zero_root[4] = {0, 1, 0, 0};
    EXPECT_EQ(smallest_root(zero_root), 1000);
    double negative[4] = {6, 11, 6, 1}; // roots -1, -2, -3
    EXPECT_EQ(smallest_root(negative), 1000);
    double mixed[4] = {6, -11.5, -1.5, 1}; // (x - 0.5)(x - 4)(x + 3)
    EXPECT_NEAR(smallest_root(mixed), 0.5, 1e-12);
    // The derivative of a radial lens polynomial without a turning point.
    double lens[4] = {0.99, 0, 0, 0.04};
    EXPECT_EQ(smallest_root(lens), 1000);
}

// The roots of k (x - r1)(x - r2)(x - r3) come back, also when two nearly meet.
TEST(Polynom, CubeZeroRecoversRandomRoots)
{
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> root(-10, 10), lead(0.1, 5);
    for (int k = 0; k < 20000; k++) {
        double gap = k % 2 ? std::pow(10.0, -(k % 6)) : root(rng) + 10;
        double r1 = root(rng), r2 = r1 + gap, r3 = root(rng);
        double s = k % 3 ? lead(rng) : -lead(rng);
        double a[4] = {-s * r1 * r2 * r3, s * (r1 * r2 + r1 * r3 + r2 * r3), -s * (r1 + r2 + r3), s};
        std::vector<double> got = roots_of_cubic(a);
        ASSERT_EQ(got.size(), 3u) << r1 << " " << r2 << " " << r3;
        for (double g : got)
            ASSERT_FALSE(std::isnan(g));
        std::vector<double> want = {r1, r2, r3};
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        // Cardano's form works on the cubic shifted by the mean of the roots,
        // whose coefficients carry errors of about eps * M^3 (M the largest
        // root); a root moves by that over |p'(r)| = the product of its
        // distances to the others, which is small for close roots.
        double m = std::max({std::fabs(r1), std::fabs(r2), std::fabs(r3), 1.0});
        for (int i = 0; i < 3; i++) {
            double slope = std::fabs((want[i] - want[(i + 1) % 3]) * (want[i] - want[(i + 2) % 3]));
            double tol = 64 * 2.2e-16 * (m + m * m * m / slope);
            EXPECT_NEAR(got[i], want[i], tol) << r1 << " " << r2 << " " << r3;
        }
    }
}

double radial(const double a[4], double r) { return r * (a[0] + a[1] * r + a[2] * r * r + a[3] * r * r * r); }
double inverse(const double b[4], double s)
{
    return s * (b[0] + b[1] * s + b[2] * s * s + b[3] * s * s * s);
}

TEST(Polynom, PolyInverseOfIdentity)
{
    double a[4] = {1, 0, 0, 0}, b[4];
    EXPECT_EQ(poly_inverse(a, b, 1), 0.5);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 0);
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[3], 0);
}

TEST(Polynom, PolyInverseMeetsItsConditions)
{
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> coef(-0.08, 0.08), a0(0.8, 1.2), x(0.5, 2);
    for (int k = 0; k < 1000; k++) {
        double a[4] = {a0(rng), coef(rng), coef(rng), coef(rng)}, b[4];
        double xx = k ? x(rng) : 1;
        double half = poly_inverse(a, b, xx);
        EXPECT_DOUBLE_EQ(half, radial(a, xx / 2));
        EXPECT_DOUBLE_EQ(b[0], 1 / a[0]);
        for (double r : {xx, xx / 2, 3 * xx / 4})
            EXPECT_NEAR(inverse(b, radial(a, r)), r, 1e-9) << "r " << r;
    }
}

} // namespace
