// A scalar double-precision evaluation of a stack, written from the step
// formulas with the standard library's functions, as the reference for the
// four-lane single-precision remap. Points on the axis of a fisheye step and
// the centre of the inverse radial step take their limits, as the program does.
#pragma once
#include "stitcher/geometry/project.h"
#include "stitcher/geometry/stack.h"

#include <cmath>

namespace ref
{

struct point {
    double x, y, z;
};

inline double poly4(const double *a, double r)
{
    return a[0] + a[1] * r + a[2] * r * r + a[3] * pow(r, 3) + a[4] * pow(r, 4);
}

// The atan2 of the stack: atan2(0, 0) = 0, atan2(0, z < 0) = pi
// (also for a negative zero first argument).
inline double atan2z(double y, double x)
{
    if (y == 0 && x == 0)
        return 0;
    if (y == 0 && x < 0)
        return M_PI;
    return atan2(y, x);
}

inline void step(point &q, int func, const double *p)
{
    double x = q.x, y = q.y, z = q.z;
    switch (func) {
    case _identity:
        break;
    case _radial: {
        double r = hypot(x, y) / p[5];
        if (r > p[6]) {
            q.x = q.y = 1.0e21;
        } else {
            double s = poly4(p, r);
            q.x = s * x;
            q.y = s * y;
        }
        break;
    }
    case _vert_radial:
        q.y = y * poly4(p, fabs(y) / p[5]);
        break;
    case _shift_scale_rotate:
        q.x = p[2] * (p[3] * (x - p[0]) - p[4] * (y - p[1]));
        q.y = p[2] * (p[4] * (x - p[0]) + p[3] * (y - p[1]));
        break;
    case _scale:
        q.x = p[0] * x;
        q.y = p[1] * y;
        break;
    case _shear:
        q.x = p[0] * (x + p[1] * y);
        q.y = p[0] * (y + p[2] * x);
        break;
    case _shift:
        q.x = x + p[0];
        q.y = y + p[1];
        break;
    case _perspect:
        q.x = p[0] * x + p[1] * y + p[2] * z;
        q.y = p[3] * x + p[4] * y + p[5] * z;
        q.z = p[6] * x + p[7] * y + p[8] * z;
        break;
    case _to_rectilinear:
        if (z < 0) {
            q.x = q.y = 1.0e21;
        } else {
            q.x = p[0] * x / z;
            q.y = p[0] * y / z;
        }
        break;
    case _to_cylindrical:
        q.x = p[0] * atan2z(x, z);
        q.y = p[0] * y / hypot(x, z);
        break;
    case _to_equirect:
        q.x = p[0] * atan2z(x, z);
        q.y = p[0] * atan2z(y, hypot(x, z));
        break;
    case _to_fisheye:
    case _to_equisolid:
    case _to_mirror_equisolid: {
        double rho = hypot(x, y), theta = atan2z(rho, z);
        double R = func == _to_fisheye ? p[0] * theta : 2 * p[0] * sin(theta / 2);
        // On the axis in front: the limit R / rho -> d / z.
        double k = rho == 0 && z > 0 ? p[0] / z : R / rho;
        q.x = k * x;
        q.y = k * y;
        if (func == _to_mirror_equisolid)
            q.x = -q.x;
        break;
    }
    case _from_rectilinear:
        q.z = p[0];
        break;
    case _from_cylindrical:
        q.x = p[0] * sin(p[1] * x);
        q.z = p[0] * cos(p[1] * x);
        break;
    case _from_equirect: {
        double lambda = p[1] * x, phi = p[1] * y;
        q.x = cos(phi) * sin(lambda);
        q.y = sin(phi);
        q.z = cos(phi) * cos(lambda);
        break;
    }
    case _from_fisheye:
    case _from_equisolid:
    case _from_mirror_equisolid: {
        double rho = hypot(x, y);
        double theta = func == _from_fisheye ? p[1] * rho : 2 * asin(p[1] * rho / 2);
        double k = rho == 0 ? p[1] : sin(theta) / rho;
        q.x = k * x;
        q.y = k * y;
        q.z = cos(theta);
        if (func == _from_mirror_equisolid)
            q.x = -q.x;
        break;
    }
    case _translate:
        q.x = p[2] * (x - p[0] * z);
        q.y = p[2] * (y + p[1] * z);
        break;
    case _inv_translate:
        q.x = p[2] * x - p[0] * z;
        q.y = p[2] * y + p[1] * z;
        break;
    case _inv_radial: {
        double r = hypot(x, y) / p[5];
        if (!(r < p[6])) {
            q.x = q.y = NAN;
            break;
        }
        double R = r / p[0];
        for (int k = 0; k < 4; k++) {
            double f = R * poly4(p, R) - r;
            double df = p[0] + 2 * p[1] * R + 3 * p[2] * R * R + 4 * p[3] * pow(R, 3) + 5 * p[4] * pow(R, 4);
            R -= f / df;
        }
        double k = r == 0 ? 1 / p[0] : R / r;
        q.x = x * k;
        q.y = y * k;
        break;
    }
    case _from_tripar: {
        double e = p[4], u = p[1] * x, v = p[1] * y;
        double sigma = v < 0 ? p[2] : p[3];
        double c = 1, k = 1, phi = 0;
        if (u != 0) {
            double a = fabs(u) / (e + 1), a2 = a * a;
            c = (-a2 * e + sqrt(a2 * a2 * e * e - (a2 * e * e - 1) * (a2 + 1))) / (a2 + 1);
            k = (e + c) / (e + 1);
            phi = atan2(u * k, c);
        }
        double A1 = atan(v * k), A2 = atan(v * c), lat = A1;
        if (sigma > 0)
            lat = A1 + sigma * (A2 - A1);
        else if (sigma < 0)
            lat = atan(v * k / (1 + 2 * e * sigma * (cos(0.92 * phi) - 1) / (e + 1)));
        q.x = cos(lat) * sin(phi);
        q.y = sin(lat);
        q.z = cos(lat) * cos(phi);
        break;
    }
    case _to_tripar: {
        double e = p[4];
        double lat = atan2z(y, hypot(x, z)), phi = atan2z(x, z);
        double S = (e + 1) / (e + cos(phi)), t = S * tan(lat);
        double sigma = lat < 0 ? p[2] : p[3];
        q.x = p[0] * S * sin(phi);
        if (sigma > 0)
            q.y = p[0] * (t + sigma * (t / std::max(cos(phi), 0.01) - t));
        else if (sigma < 0)
            q.y = p[0] * t * (1 + 2 * e * sigma * (cos(0.92 * phi) - 1) / (e + 1));
        else
            q.y = p[0] * t;
        break;
    }
    case _mult_rectilinear: {
        float fx = static_cast<float>(x), fz = 0;
        project_pano(&fx, &fz, mult_rectilinear_data, static_cast<int>(p[0]));
        q.x = fx;
        q.z = fz;
        break;
    }
    }
}

// Evaluates the stack on one point, or direction.
inline point run(const stack_data *sd, point q)
{
    for (int i = 0; sd[i].func >= 0; i += 1 + remap_data_size[sd[i].func]) {
        double p[9] = {};
        for (int k = 0; k < remap_data_size[sd[i].func] && k < 9; k++)
            p[k] = sd[i + 1 + k].param;
        step(q, sd[i].func, p);
    }
    return q;
}

// z starts at 0.
inline point remap(const stack_data *sd, double x, double y) { return run(sd, {x, y, 0}); }

} // namespace ref
