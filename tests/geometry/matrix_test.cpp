#include "stitcher/geometry/matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace
{

void expect_matrix_near(const rot_matrix a, const rot_matrix b, double tol)
{
    for (int i = 0; i < 9; i++)
        EXPECT_NEAR(a[i], b[i], tol) << "element " << i;
}

void transpose(const rot_matrix m, rot_matrix t)
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            t[3 * j + i] = m[3 * i + j];
}

// A rotation: M M^T = I and det M = +1.
void expect_rotation(const rot_matrix m)
{
    static const rot_matrix identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    rot_matrix t, mt;
    transpose(m, t);
    matrix_matrix_mult(m, t, mt);
    expect_matrix_near(mt, identity, 1e-14);
    EXPECT_NEAR(det3(m), 1.0, 1e-14);
}

TEST(Matrix, EulerAndTiltEdgeCases)
{
    static const rot_matrix identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    static const rot_matrix yaw90 = {0, 0, -1, 0, 1, 0, 1, 0, 0};
    static const rot_matrix rx90 = {1, 0, 0, 0, 0, 1, 0, -1, 0};
    static const rot_matrix rx_minus90 = {1, 0, 0, 0, 0, -1, 0, 1, 0};
    rot_matrix m;
    set_euler_matrix(0, 0, 0, m);
    expect_matrix_near(m, identity, 0);
    set_euler_matrix(90, 0, 0, m);
    expect_matrix_near(m, yaw90, 1e-16);
    tilt_matrix(0, 0, 0, m, 1);
    expect_matrix_near(m, rx90, 1e-16);
    tilt_matrix(0, 0, 0, m, 0);
    expect_matrix_near(m, rx_minus90, 1e-16);
}

TEST(Matrix, EulerIsRollTimesPitchTimesYaw)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> angle(-360, 360);
    for (int k = 0; k < 200; k++) {
        double y = angle(rng), p = angle(rng), r = angle(rng);
        rot_matrix m, ry, rx, rz, rzx, expect;
        set_euler_matrix(y, p, r, m);
        expect_rotation(m);
        set_euler_matrix(y, 0, 0, ry);
        set_euler_matrix(0, p, 0, rx);
        set_euler_matrix(0, 0, r, rz);
        matrix_matrix_mult(rz, rx, rzx);
        matrix_matrix_mult(rzx, ry, expect);
        expect_matrix_near(m, expect, 1e-14);
        // The cap tilts: Rz(c) Rx(b +- 90) Rz(+-a).
        rot_matrix t0, t1, a_plus, a_minus, tx0, tx1;
        tilt_matrix(y, p, r, t1, 1);
        tilt_matrix(y, p, r, t0, 0);
        expect_rotation(t1);
        expect_rotation(t0);
        set_euler_matrix(0, 0, y, a_plus); // Rz(y)
        set_euler_matrix(0, 0, -y, a_minus);
        set_euler_matrix(0, p + 90, r, tx1); // Rz(r) Rx(p + 90)
        set_euler_matrix(0, p - 90, r, tx0);
        rot_matrix e1, e0;
        matrix_matrix_mult(tx1, a_plus, e1);
        matrix_matrix_mult(tx0, a_minus, e0);
        expect_matrix_near(t1, e1, 1e-14);
        expect_matrix_near(t0, e0, 1e-14);
    }
}

TEST(Matrix, InvertTimesMatrixIsIdentity)
{
    static const rot_matrix identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> v(-5, 5);
    for (int k = 0; k < 500; k++) {
        rot_matrix m, inv, prod;
        for (double &x : m)
            x = v(rng);
        if (std::fabs(det3(m)) < 0.5)
            continue; // keep the test away from ill-conditioned matrices
        memcpy(inv, m, sizeof m);
        ASSERT_EQ(matrix_invert(inv), 0);
        matrix_matrix_mult(inv, m, prod);
        expect_matrix_near(prod, identity, 1e-11);
        matrix_matrix_mult(m, inv, prod);
        expect_matrix_near(prod, identity, 1e-11);
    }
    // A rotation's inverse is its transpose.
    rot_matrix r, t;
    set_euler_matrix(30, -20, 10, r);
    transpose(r, t);
    ASSERT_EQ(matrix_invert(r), 0);
    expect_matrix_near(r, t, 1e-15);
}

TEST(Matrix, SingularMatrixIsLeftAlone)
{
    rot_matrix m = {1, 2, 3, 2, 4, 6, 1, 1, 1};
    rot_matrix before;
    memcpy(before, m, sizeof m);
    EXPECT_EQ(det3(m), 0.0);
    EXPECT_EQ(matrix_invert(m), -1);
    EXPECT_EQ(memcmp(m, before, sizeof m), 0);
    rot_matrix zero = {};
    EXPECT_EQ(matrix_invert(zero), -1);
}

TEST(Matrix, DeterminantsAndMinors)
{
    double m2[4] = {3, 8, 4, 6};
    EXPECT_EQ(det2(m2), -14);
    rot_matrix m = {2, -3, 1, 2, 0, -1, 1, 4, 5};
    EXPECT_EQ(det3(m), 49);
    EXPECT_EQ(adjun(m, 0, 0), 0 * 5 - (-1) * 4);
    EXPECT_EQ(adjun(m, 1, 2), 2 * 4 - (-3) * 1);
    EXPECT_EQ(adjun(m, 2, 1), 2 * (-1) - 1 * 2);
    // Expansion along the first row.
    EXPECT_EQ(m[0] * adjun(m, 0, 0) - m[1] * adjun(m, 0, 1) + m[2] * adjun(m, 0, 2), det3(m));
    // det(A B) = det A det B.
    rot_matrix b = {1, 2, 0, 0, 1, 3, 4, 0, 1}, ab;
    matrix_matrix_mult(m, b, ab);
    EXPECT_DOUBLE_EQ(det3(ab), det3(m) * det3(b));
}

} // namespace

// Three rows on standard output, six decimals, three and two spaces apart.
TEST(Matrix, PrintedRowByRow)
{
    const struct {
        rot_matrix m;
        const char *text;
    } cases[] = {
        {{1, 0, 0, 0, 1, 0, 0, 0, 1},
         "1.000000   0.000000  0.000000\n0.000000   1.000000  0.000000\n0.000000   0.000000  1.000000\n"},
        {{-0.5, 1e7, 2.0 / 3, -1e-7, 123.4567896, 0, -0.0, 1, -2},
         "-0.500000   10000000.000000  0.666667\n"
         "-0.000000   123.456790  0.000000\n"
         "-0.000000   1.000000  -2.000000\n"},
    };
    for (const auto &[m, text] : cases) {
        testing::internal::CaptureStdout();
        print_matrix(m);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text);
    }
}
