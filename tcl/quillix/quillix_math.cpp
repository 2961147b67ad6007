#include "tcl/quillix/quillix_math.h"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <new>

namespace
{

using row_major = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// V_r diag(1/sigma) U_r^T over the singular values that the threshold keeps.
// False when the decomposition refuses the input (infinite cells).
bool Quillix_PseudoInverse(const Eigen::MatrixXd &m, double epsilon, Eigen::MatrixXd &out)
{
    Eigen::BDCSVD<Eigen::MatrixXd> svd(m, Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (svd.info() != Eigen::Success)
        return false;
    svd.setThreshold(epsilon * static_cast<double>(std::max(m.rows(), m.cols())));
    const Eigen::Index r = svd.rank();
    out = svd.matrixV().leftCols(r) * svd.singularValues().head(r).cwiseInverse().asDiagonal() *
          svd.matrixU().leftCols(r).transpose();
    return true;
}

} // namespace

quillix_status Quillix_PinvRowMajor(const double *m, size_t rows, size_t cols, double *out)
{
    const auto r = static_cast<Eigen::Index>(rows), c = static_cast<Eigen::Index>(cols);
    try {
        Eigen::MatrixXd in = Eigen::Map<const row_major>(m, r, c);
        Eigen::MatrixXd inv;
        if (!Quillix_PseudoInverse(in, std::ldexp(1.0, -52), inv))
            return quillix_not_finite;
        Eigen::Map<row_major>(out, c, r) = inv;
    } catch (const std::bad_alloc &) {
        return quillix_no_memory;
    }
    return quillix_ok;
}

quillix_status Quillix_MultiRowMajor(const double *a, const double *b, size_t rows, size_t inner, size_t cols,
                                     double *out)
{
    const auto r = static_cast<Eigen::Index>(rows), k = static_cast<Eigen::Index>(inner),
               c = static_cast<Eigen::Index>(cols);
    try {
        Eigen::MatrixXd ma = Eigen::Map<const row_major>(a, r, k);
        Eigen::MatrixXd mb = Eigen::Map<const row_major>(b, k, c);
        Eigen::Map<row_major>(out, r, c) = ma * mb;
    } catch (const std::bad_alloc &) {
        return quillix_no_memory;
    }
    return quillix_ok;
}
