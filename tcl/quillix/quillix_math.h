// Dense matrix work of the quillix extension; the only place that sees Eigen.
#pragma once

#include <cstddef>

enum quillix_status { quillix_ok, quillix_no_memory, quillix_not_finite };

// m is rows x cols, row-major; out receives the cols x rows pseudo-inverse, row-major.
quillix_status Quillix_PinvRowMajor(const double *m, size_t rows, size_t cols, double *out);

// a is rows x inner, b is inner x cols, both row-major; out receives a * b, rows x cols.
quillix_status Quillix_MultiRowMajor(const double *a, const double *b, size_t rows, size_t inner, size_t cols,
                                     double *out);
