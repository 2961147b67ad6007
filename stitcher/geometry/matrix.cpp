#include "stitcher/geometry/matrix.h"

#include "stitcher/pipeline/keloerror.h"

#include <cmath>
#include <cstring>

static const double deg_to_rad = 0.017453292519943295;

static void rot_x(double t, rot_matrix m)
{
    double c = cos(t), s = sin(t);
    const rot_matrix r = {1, 0, 0, 0, c, s, 0, -s, c};
    memcpy(m, r, sizeof r);
}

static void rot_y(double t, rot_matrix m)
{
    double c = cos(t), s = sin(t);
    const rot_matrix r = {c, 0, -s, 0, 1, 0, s, 0, c};
    memcpy(m, r, sizeof r);
}

static void rot_z(double t, rot_matrix m)
{
    double c = cos(t), s = sin(t);
    const rot_matrix r = {c, s, 0, -s, c, 0, 0, 0, 1};
    memcpy(m, r, sizeof r);
}

// out = a * b * c
static void product3(const rot_matrix a, const rot_matrix b, const rot_matrix c, rot_matrix out)
{
    rot_matrix ab;
    matrix_matrix_mult(a, b, ab);
    matrix_matrix_mult(ab, c, out);
}

void set_euler_matrix(double yaw, double pitch, double roll, rot_matrix out)
{
    rot_matrix rz, rx, ry;
    rot_z(roll * deg_to_rad, rz);
    rot_x(pitch * deg_to_rad, rx);
    rot_y(yaw * deg_to_rad, ry);
    product3(rz, rx, ry, out);
}

void tilt_matrix(double a, double b, double c, rot_matrix out, int flag)
{
    double a1 = flag ? a : -a;
    double b1 = flag ? b + 90 : b - 90;
    rot_matrix rz, rx, rz1;
    rot_z(c * deg_to_rad, rz);
    rot_x(b1 * deg_to_rad, rx);
    rot_z(a1 * deg_to_rad, rz1);
    product3(rz, rx, rz1, out);
}

void matrix_matrix_mult(const rot_matrix a, const rot_matrix b, rot_matrix out)
{
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            out[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
}

double det2(const double m[4]) { return m[0] * m[3] - m[1] * m[2]; }

double det3(const rot_matrix m)
{
    return m[0] * m[4] * m[8] + m[1] * m[5] * m[6] + m[2] * m[3] * m[7] - m[0] * m[5] * m[7] -
           m[1] * m[3] * m[8] - m[2] * m[4] * m[6];
}

double adjun(const rot_matrix m, int row, int column)
{
    double minor[4];
    int k = 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            if (i != row && j != column)
                minor[k++] = m[3 * i + j];
    return det2(minor);
}

int matrix_invert(rot_matrix m)
{
    double det = det3(m);
    if (det == 0)
        return -1;
    rot_matrix inv;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++)
            inv[3 * i + j] = ((i + j) % 2 ? -1 : 1) * adjun(m, j, i) / det;
    memcpy(m, inv, sizeof inv);
    return 0;
}

void print_matrix(const rot_matrix m)
{
    for (int i = 0; i < 3; i++)
        print_stdout("%lf   %lf  %lf\n", m[3 * i], m[3 * i + 1], m[3 * i + 2]);
}
