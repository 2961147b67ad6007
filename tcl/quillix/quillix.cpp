// Tcl glue of the matrix extension: ::Mat::Quillix pinv|multi with matrices as lists of rows.
#include <tcl.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tcl/quillix/quillix_math.h"

namespace
{

const char usage_any[] = "pinv/multi list ...";
const char usage_multi[] = "multi list list";
const char msg_no_memory[] = "Error: can't malloc.";
const char info_no_memory_input[] = "Error: can't malloc.\n";
const char info_no_memory_result[] = "Error: can't malloc.";
const char msg_mismatch[] = "Error: matrix sizes don't match.";
const char msg_not_finite[] = "Error: matrix is not finite.";

// A zero-filled rows x cols row-major buffer, released with the invocation.
struct matrix_buf {
    double *cells = nullptr;
    size_t rows = 0, cols = 0;
    matrix_buf() = default;
    matrix_buf(const matrix_buf &) = delete;
    matrix_buf &operator=(const matrix_buf &) = delete;
    ~matrix_buf() { std::free(cells); }
};

size_t physical_memory()
{
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0)
        return SIZE_MAX;
    return static_cast<size_t>(pages) * static_cast<size_t>(page_size);
}

bool alloc_matrix(matrix_buf &m, size_t rows, size_t cols)
{
    // More than the machine holds cannot work out; refused before an
    // overcommitting system hands out pages it will never have.
    size_t count, bytes;
    if (__builtin_mul_overflow(rows, cols, &count) || __builtin_mul_overflow(count, sizeof(double), &bytes) ||
        bytes > physical_memory())
        return false;
    m.rows = rows;
    m.cols = cols;
    if (count == 0)
        return true; // nothing to hold; calloc(0) may legitimately return null
    m.cells = static_cast<double *>(std::calloc(count, sizeof(double)));
    return m.cells != nullptr;
}

int no_memory(Tcl_Interp *interp, const char *info)
{
    // errorInfo first, while the result is still empty, so the text is not doubled there.
    Tcl_AddErrorInfo(interp, info);
    Tcl_SetResult(interp, const_cast<char *>(msg_no_memory), TCL_STATIC);
    return TCL_ERROR;
}

// Reads a list of rows; short rows are completed with 0.0 and cells that are
// not numbers count as 0.0, without leaving an error text in the interpreter.
int read_matrix(Tcl_Interp *interp, Tcl_Obj *obj, matrix_buf &m)
{
    int nrows;
    Tcl_Obj **rows;
    if (Tcl_ListObjGetElements(interp, obj, &nrows, &rows) != TCL_OK)
        return TCL_ERROR;
    int ncols = 0;
    for (int i = 0; i < nrows; i++) {
        int len;
        if (Tcl_ListObjLength(interp, rows[i], &len) != TCL_OK)
            return TCL_ERROR;
        if (len > ncols)
            ncols = len;
    }
    if (!alloc_matrix(m, static_cast<size_t>(nrows), static_cast<size_t>(ncols)))
        return no_memory(interp, info_no_memory_input);
    for (int i = 0; i < nrows; i++) {
        // Fetched again per row: reading cells may have changed the internal form of a shared row.
        int len;
        Tcl_Obj **cells;
        if (Tcl_ListObjGetElements(interp, rows[i], &len, &cells) != TCL_OK)
            return TCL_ERROR;
        double *dst = m.cells + static_cast<size_t>(i) * m.cols;
        for (int j = 0; j < len && j < ncols; j++) {
            double v;
            if (Tcl_GetDoubleFromObj(nullptr, cells[j], &v) == TCL_OK)
                dst[j] = v;
        }
    }
    return TCL_OK;
}

void Quillix_PutMatrixList(Tcl_Obj *list, const double *cells, size_t rows, size_t len)
{
    for (size_t i = 0; i < rows; i++) {
        Tcl_Obj *row = Tcl_NewListObj(0, nullptr);
        for (size_t j = 0; j < len; j++)
            Tcl_ListObjAppendElement(nullptr, row, Tcl_NewDoubleObj(cells[i * len + j]));
        Tcl_ListObjAppendElement(nullptr, list, row);
    }
}

int Quillix_MatObjCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 3) {
        Tcl_WrongNumArgs(interp, 1, objv, usage_any);
        return TCL_ERROR;
    }
    const char *sub = Tcl_GetString(objv[1]);
    const bool pinv = std::strcmp(sub, "pinv") == 0;
    const bool multi = std::strcmp(sub, "multi") == 0;

    matrix_buf a, b, out;
    if (read_matrix(interp, objv[2], a) != TCL_OK)
        return TCL_ERROR;
    if (multi) {
        if (objc < 4) {
            Tcl_WrongNumArgs(interp, 1, objv, usage_multi);
            return TCL_ERROR;
        }
        if (read_matrix(interp, objv[3], b) != TCL_OK)
            return TCL_ERROR;
        if (a.cols != b.rows) {
            Tcl_SetResult(interp, const_cast<char *>(msg_mismatch), TCL_STATIC);
            return TCL_ERROR;
        }
    }
    if (!pinv && !multi) {
        // Any other word reads the matrix and answers with an empty list.
        Tcl_ResetResult(interp);
        return TCL_OK;
    }

    const size_t out_rows = pinv ? a.cols : a.rows;
    const size_t out_len = pinv ? a.rows : b.cols;
    if (!alloc_matrix(out, out_rows, out_len))
        return no_memory(interp, info_no_memory_result);

    // A product over an empty dimension is all zeros (or empty): Eigen is not needed.
    quillix_status st = quillix_ok;
    if (pinv && a.rows > 0 && a.cols > 0)
        st = Quillix_PinvRowMajor(a.cells, a.rows, a.cols, out.cells);
    else if (multi && a.rows > 0 && a.cols > 0 && b.cols > 0)
        st = Quillix_MultiRowMajor(a.cells, b.cells, a.rows, a.cols, b.cols, out.cells);
    if (st == quillix_no_memory)
        return no_memory(interp, info_no_memory_result);
    if (st == quillix_not_finite) {
        Tcl_SetResult(interp, const_cast<char *>(msg_not_finite), TCL_STATIC);
        return TCL_ERROR;
    }

    Tcl_Obj *result = Tcl_NewListObj(0, nullptr);
    Quillix_PutMatrixList(result, out.cells, out_rows, out_len);
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int Quillix_Init(Tcl_Interp *interp)
{
    if (Tcl_InitStubs(interp, "8.4", 0) == nullptr)
        return TCL_ERROR;
    Tcl_CreateObjCommand(interp, "::Mat::Quillix", Quillix_MatObjCmd, nullptr, nullptr);
    return TCL_OK;
}
