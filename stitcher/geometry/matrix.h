// 3x3 rotation matrices: building them from angles, inverting them.
#pragma once

// Row-major: m[3 * i + j] is row i, column j; it multiplies a column vector
// from the left.
typedef double rot_matrix[9];

// out = Rz(roll) * Rx(pitch) * Ry(yaw), angles in degrees.
void set_euler_matrix(double yaw, double pitch, double roll, rot_matrix out);
// out = Rz(c) * Rx(b + 90) * Rz(a) when flag is set, else Rz(c) * Rx(b - 90) * Rz(-a);
// degrees. The rotations of the zenith and nadir cap planes.
void tilt_matrix(double a, double b, double c, rot_matrix out, int flag);
// out = a * b; out must not overlap a or b.
void matrix_matrix_mult(const rot_matrix a, const rot_matrix b, rot_matrix out);
// The determinant of a 2x2 row-major matrix.
double det2(const double m[4]);
double det3(const rot_matrix m);
// The determinant of what is left when that row and column are struck out.
double adjun(const rot_matrix m, int row, int column);
// Inverts m in place and returns 0; a matrix whose determinant is exactly 0
// is left alone and -1 returned.
int matrix_invert(rot_matrix m);
void print_matrix(const rot_matrix m);
