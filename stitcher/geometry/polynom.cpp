#include "stitcher/geometry/polynom.h"

#include <algorithm>
#include <cmath>

void square_zero(const double a[3], int *n, double root[3])
{
    if (a[2] == 0) {
        if (a[1] != 0) {
            *n = 1;
            root[0] = -a[0] / a[1];
        } else if (a[0] != 0) {
            *n = 0;
        } else {
            *n = 1;
            root[0] = 0;
        }
        return;
    }
    // The same two products in the test and the square root keep its
    // argument non-negative whenever the test passes.
    double sq = a[1] * a[1], prod = 4 * a[2] * a[0];
    if (prod > sq) {
        *n = 0;
        return;
    }
    double d = sqrt(sq - prod);
    *n = 2;
    root[0] = (d - a[1]) / (2 * a[2]);
    root[1] = (-a[1] - d) / (2 * a[2]);
}

double cube_root(double v)
{
    if (v == 0)
        return 0;
    return v > 0 ? pow(v, 1 / 3.0) : -pow(-v, 1 / 3.0);
}

void cube_zero(const double a[4], int *n, double root[3])
{
    if (a[3] == 0) {
        square_zero(a, n, root);
        return;
    }
    double c = a[2] / a[3];
    double q = (2.0 / 27 * c * c * c - c * (a[1] / a[3]) / 3 + a[0] / a[3]) / 2;
    double p = (a[1] / a[3] - c * c / 3) / 3;
    double d = q * q + p * p * p;
    double shift = a[2] / (3 * a[3]);
    if (d >= 0) {
        *n = 1;
        root[0] = cube_root(sqrt(d) - q) + cube_root(-q - sqrt(d)) - shift;
        return;
    }
    // Rounding can carry the cosine just past +-1 when two roots nearly meet.
    double cosine = std::clamp(-q / sqrt(-p * p * p), -1.0, 1.0);
    double angle = acos(cosine) / 3;
    double r = 2 * sqrt(-p);
    *n = 3;
    root[0] = r * cos(angle) - shift;
    root[1] = -r * cos(angle + M_PI / 3) - shift;
    root[2] = -r * cos(angle - M_PI / 3) - shift;
}

double smallest_root(const double a[4])
{
    double root[3];
    int n = 0;
    cube_zero(a, &n, root);
    double best = 1000;
    for (int i = 0; i < n; i++)
        if (root[i] > 0)
            best = std::min(best, root[i]);
    return best;
}

static double radial(const double a[4], double r) { return (((a[3] * r + a[2]) * r + a[1]) * r + a[0]) * r; }

double poly_inverse(const double a[4], double out[4], double x)
{
    double b0 = 1 / a[0];
    double g1 = radial(a, x), g2 = radial(a, x / 2), g3 = radial(a, 3 * x / 4);
    double h = (x - b0 * g1) / (g1 * g1);
    double xx = (x / 2 - b0 * g2 - h * g2 * g2) / (g2 * g2 * (g2 - g1));
    double e =
        (3 * x / 4 - b0 * g3 - h * g3 * g3 - xx * g3 * g3 * (g3 - g1)) / (g3 * g3 * (g3 - g1) * (g3 - g2));
    out[0] = b0;
    out[1] = e * g1 * g2 - g1 * xx + h;
    out[2] = xx - e * g2 - e * g1;
    out[3] = e;
    return g2;
}
