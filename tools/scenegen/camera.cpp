#include "tools/scenegen/camera.h"

#include <cmath>

static const double deg = M_PI / 180;

static void mat_mult(const double a[9], const double b[9], double out[9])
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            out[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
}

void euler_matrix(double yaw, double pitch, double roll, double m[9])
{
    double cy = std::cos(yaw * deg), sy = std::sin(yaw * deg);
    double cp = std::cos(pitch * deg), sp = std::sin(pitch * deg);
    double cr = std::cos(roll * deg), sr = std::sin(roll * deg);
    const double ry[9] = {cy, 0, -sy, 0, 1, 0, sy, 0, cy};
    const double rx[9] = {1, 0, 0, 0, cp, sp, 0, -sp, cp};
    const double rz[9] = {cr, sr, 0, -sr, cr, 0, 0, 0, 1};
    double t[9];
    mat_mult(rx, ry, t);
    mat_mult(rz, t, m);
}

double projection_scale(int projection, int width, double hfov)
{
    double v = hfov * deg;
    if (projection == CAM_RECTILINEAR)
        return width / (2 * std::tan(v / 2));
    return width / v;
}

camera make_camera(int projection, int width, int height, double hfov, double yaw, double pitch, double roll)
{
    camera c;
    c.width = width;
    c.height = height;
    c.projection = projection;
    c.scale = projection_scale(projection, width, hfov);
    euler_matrix(yaw, pitch, roll, c.m);
    for (double &t : c.lens)
        t = 0;
    return c;
}

static double radial_factor(const double lens[5], double r)
{
    return (1 - lens[0] - lens[1] - lens[2]) + r * (lens[2] + r * (lens[1] + r * lens[0]));
}

// d(r * radial_factor(r)) / dr
static double radial_slope(const double l[5], double r)
{
    return (1 - l[0] - l[1] - l[2]) + r * (2 * l[2] + r * (3 * l[1] + r * 4 * l[0]));
}

// Whether the radius lies before the first where the lens polynomial folds
// back: points past it land on pixels that show other directions. Photos
// reach about 2 half widths from their centre, so a radius past 4 is
// outside whatever the terms.
static bool before_fold(const double l[5], double r)
{
    if (l[0] == 0 && l[1] == 0 && l[2] == 0)
        return true;
    if (r > 4)
        return false;
    for (double t = 0; t < r; t += 0.01)
        if (radial_slope(l, t) <= 0)
            return false;
    return radial_slope(l, r) > 0;
}

// The lens terms' move of a plane point to the pixel's offset from the
// centre; false past the fold.
static bool lens_to_pixel(const camera *c, double *x, double *y)
{
    const double r = std::hypot(*x, *y) / (c->width / 2.0);
    double k = radial_factor(c->lens, r);
    *x = *x * k + c->lens[3];
    *y = *y * k + c->lens[4];
    return before_fold(c->lens, r);
}

// Its inverse, by Newton's method on the radius (the terms are small).
static void pixel_to_lens(const camera *c, double *x, double *y)
{
    const double half = c->width / 2.0, u = *x - c->lens[3], v = *y - c->lens[4];
    const double target = std::hypot(u, v) / half;
    double r = target;
    for (int i = 0; i < 20 && target > 0; i++) {
        const double *l = c->lens;
        double f = r * radial_factor(l, r) - target;
        double df = radial_slope(l, r);
        r -= f / df;
    }
    double ratio = target > 0 ? r / target : 1 / radial_factor(c->lens, 0);
    *x = u * ratio;
    *y = v * ratio;
}

bool plane_to_direction(int projection, double scale, double x, double y, double d[3])
{
    if (projection == CAM_RECTILINEAR) {
        double n = std::sqrt(x * x + y * y + scale * scale);
        d[0] = x / n;
        d[1] = y / n;
        d[2] = scale / n;
        return true;
    }
    if (projection == CAM_EQUIRECT) {
        double lambda = x / scale, phi = y / scale;
        d[0] = std::cos(phi) * std::sin(lambda);
        d[1] = std::sin(phi);
        d[2] = std::cos(phi) * std::cos(lambda);
        return std::fabs(phi) <= M_PI / 2 && std::fabs(lambda) <= M_PI;
    }
    double r = std::sqrt(x * x + y * y), theta = r / scale;
    // On the axis the direction is the axis itself.
    double k = r > 0 ? std::sin(theta) / r : 1 / scale;
    d[0] = x * k;
    d[1] = y * k;
    d[2] = std::cos(theta);
    return theta <= M_PI;
}

bool direction_to_plane(int projection, double scale, const double d[3], double *x, double *y)
{
    if (projection == CAM_RECTILINEAR) {
        if (!(d[2] > 0))
            return false;
        *x = scale * d[0] / d[2];
        *y = scale * d[1] / d[2];
        return true;
    }
    if (projection == CAM_EQUIRECT) {
        *x = scale * std::atan2(d[0], d[2]);
        *y = scale * std::atan2(d[1], std::sqrt(d[0] * d[0] + d[2] * d[2]));
        return true;
    }
    double rho = std::sqrt(d[0] * d[0] + d[1] * d[1]), theta = std::atan2(rho, d[2]);
    double k = rho > 0 ? scale * theta / rho : scale;
    *x = d[0] * k;
    *y = d[1] * k;
    return true;
}

bool pixel_to_direction(const camera *c, double px, double py, double d[3])
{
    double cam[3], x = px - (c->width / 2.0 - 0.5), y = py - (c->height / 2.0 - 0.5);
    pixel_to_lens(c, &x, &y);
    bool ok = plane_to_direction(c->projection, c->scale, x, y, cam);
    // The transpose turns the camera direction back into the panorama's frame.
    const double *m = c->m;
    for (int i = 0; i < 3; i++)
        d[i] = m[i] * cam[0] + m[3 + i] * cam[1] + m[6 + i] * cam[2];
    return ok;
}

bool direction_to_pixel(const camera *c, const double d[3], double *px, double *py)
{
    const double *m = c->m;
    double cam[3];
    for (int i = 0; i < 3; i++)
        cam[i] = m[3 * i] * d[0] + m[3 * i + 1] * d[1] + m[3 * i + 2] * d[2];
    double x, y;
    if (!direction_to_plane(c->projection, c->scale, cam, &x, &y))
        return false;
    const bool shown = lens_to_pixel(c, &x, &y);
    *px = x + (c->width / 2.0 - 0.5);
    *py = y + (c->height / 2.0 - 0.5);
    return shown;
}

int oline_code(int projection, int circular)
{
    switch (projection) {
    case CAM_RECTILINEAR:
        return 0;
    case CAM_FISHEYE:
        return circular ? 2 : 3;
    case CAM_EQUIRECT:
        return 4;
    }
    return -1;
}

int pline_code(int projection)
{
    switch (projection) {
    case CAM_RECTILINEAR:
        return 0;
    case CAM_EQUIRECT:
        return 2;
    case CAM_FISHEYE:
        return 3;
    }
    return -1;
}
