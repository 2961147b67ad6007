// Real roots of quadratic and cubic polynomials, and the inverse of a radial
// lens polynomial. Coefficients come constant term first.
#pragma once

// The real roots of a[0] + a[1] x + a[2] x^2: *n of them in root (a double
// root is given twice).
void square_zero(const double a[3], int *n, double root[3]);
// The real cube root of v.
double cube_root(double v);
// The real roots of a[0] + a[1] x + a[2] x^2 + a[3] x^3. With three real roots
// all three are given; otherwise the one simple real root only.
void cube_zero(const double a[4], int *n, double root[3]);
// The smallest root of the cubic between 0 and 1000 (exclusive), else 1000.
double smallest_root(const double a[4]);
// Fits g(s) = s (b0 + b1 s + b2 s^2 + b3 s^3) as the inverse of
// f(r) = r (a0 + a1 r + a2 r^2 + a3 r^3) through g'(0) = 1/a0 and the points
// f(x), f(x/2), f(3x/4); writes b to out and returns f(x/2).
double poly_inverse(const double a[4], double out[4], double x);
