#include "stitcher/geometry/project.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

static const char *const msg_no_segment = "Could net get segment.";
static const char *const msg_segment_count = "Number of segments must equal number of edges + 1 .\n";
static const char *const msg_width_count = "Number of edge widths must equal number of edges.\n";
static const char *const msg_fov = "Error: FOV for segment %d is too large: %lf left, %lf right.\n";
static const char *const msg_nseg =
    "Script-error: The multi-segment projection needs 1 to 31 segments, not %d.\n";
static const char *const msg_period =
    "Script-error: The period B of the multi-segment projection must be a number above 0, not %g.\n";
static const char *const msg_yaw =
    "Script-error: The offset Y of the multi-segment projection is not a number.\n";
static const char *const msg_value = "Script-error: Value %d of the multi-segment list %c is not a number.\n";
static const char *const msg_edge_width =
    "Script-error: Edge width %d of the multi-segment projection must be above 0 and at most B/2, not %g.\n";
static const char *const msg_pix_width =
    "Script-error: A multi-segment panorama must be at least 1 pixel wide, not %d.\n";
static const char *const msg_span =
    "Script-error: The segments of the multi-segment projection do not add up to a positive width.\n";

proj_piece *mult_rectilinear_data = nullptr;

// ---- Completing and checking the lists of the p-line ----

// A value in units of which period make a full turn, in radians within
// [-pi, pi]; half a turn either way is exactly -pi or pi. Half the exact
// period, not its integer part: with an odd period that took another value
// (0 for a period of 1) for a half turn.
static double to_radians(double v, double period)
{
    if (v == -period / 2)
        return -M_PI;
    if (v == period / 2)
        return M_PI;
    double r = fmod(v * 2 * M_PI / period, 2 * M_PI);
    if (r > M_PI)
        r -= 2 * M_PI;
    if (r < -M_PI)
        r += 2 * M_PI;
    return r;
}

static void check_finite(const vector_dbl *list, char name)
{
    for (int i = 0; i < list->count; i++)
        if (!std::isfinite(list->data[i]))
            print_error(msg_value, i + 1, name);
}

int set_mult_rectilinear_data(double hfov, int width, int height, vector_dbl *S, vector_dbl *E, vector_dbl *W,
                              double B, double Y)
{
    (void)height;
    if (!(B > 0) || !std::isfinite(B))
        print_error(msg_period, B);
    if (!std::isfinite(Y))
        print_error(msg_yaw);

    std::vector<double> s, e, w;
    vector_dbl ds{}, de{}, dw{};
    if (!S && !E) {
        s = {0, B / 4, B / 2, 3 * B / 4, B};
        ds = {s.data(), 5};
        S = &ds;
    } else if (!S) {
        // One segment more than edges, centred between them; the first and
        // the last face the offset Y.
        int ne = E->count;
        s.resize(static_cast<size_t>(ne) + 1);
        s[0] = Y;
        for (int i = 1; i < ne; i++) {
            double next = E->data[i] < E->data[i - 1] ? E->data[i] + B : E->data[i];
            s[i] = (E->data[i - 1] + next) / 2;
        }
        s[ne] = Y + B;
        ds = {s.data(), ne + 1};
        S = &ds;
    }
    if (!E) {
        for (int i = 0; i + 1 < S->count; i++)
            e.push_back((S->data[i] + S->data[i + 1]) / 2);
        de = {e.data(), static_cast<int>(e.size())};
        E = &de;
    }
    if (!W) {
        w.assign(S->count > 1 ? static_cast<size_t>(S->count) - 1 : 0, 10.0);
        dw = {w.data(), static_cast<int>(w.size())};
        W = &dw;
    }

    if (S->count != E->count + 1)
        print_error(msg_segment_count);
    if (W->count != E->count)
        print_error(msg_width_count);
    // What the table cannot hold or would turn into nonsense is refused
    // here, before anything is built.
    if (S->count < 1 || 2 * S->count + 1 >= N_SEGM)
        print_error(msg_nseg, S->count);
    check_finite(S, 'S');
    check_finite(E, 'E');
    check_finite(W, 'W');
    for (int i = 0; i < W->count; i++)
        if (!(W->data[i] > 0) || W->data[i] > B / 2)
            print_error(msg_edge_width, i + 1, W->data[i]);
    if (width < 1)
        print_error(msg_pix_width, width);

    for (int i = 0; i < S->count; i++)
        S->data[i] = to_radians(S->data[i] - (Y + B / 2), B);
    for (int i = 0; i < E->count; i++)
        E->data[i] = to_radians(E->data[i] - (Y + B / 2), B);
    for (int i = 0; i < W->count; i++)
        W->data[i] = to_radians(W->data[i], B);

    proj_segments ps;
    ps.nseg = S->count;
    ps.seg_angle = S->data;
    ps.edge_angle = E->data;
    ps.edge_width = W->data;
    ps.pix_width = width;
    ps.yaw_offset = Y * 2 * M_PI / B;
    ps.hfov = hfov;
    return create_projection_data(&ps);
}

// ---- Building the table ----

struct piece_d {
    double bound, start, rot[4], poly1[4], poly2[4];
};

// An angle difference in [0, 2 pi].
static double positive_angle(double v)
{
    double r = fmod(v, 2 * M_PI);
    return r < 0 ? r + 2 * M_PI : r;
}

static void set_rot(piece_d *p, double a)
{
    p->rot[0] = cos(a);
    p->rot[1] = sin(a);
    p->rot[2] = -sin(a);
    p->rot[3] = cos(a);
}

// Solves m x = rhs by Gaussian elimination, pivoting on the largest value of
// each column.
static void solve4(double m[4][4], double rhs[4], double x[4])
{
    for (int col = 0; col < 4; col++) {
        int pivot = col;
        for (int r = col + 1; r < 4; r++)
            if (fabs(m[r][col]) > fabs(m[pivot][col]))
                pivot = r;
        for (int k = 0; k < 4; k++)
            std::swap(m[col][k], m[pivot][k]);
        std::swap(rhs[col], rhs[pivot]);
        for (int r = col + 1; r < 4; r++) {
            double f = m[r][col] / m[col][col];
            for (int k = col; k < 4; k++)
                m[r][k] -= f * m[col][k];
            rhs[r] -= f * rhs[col];
        }
    }
    for (int r = 3; r >= 0; r--) {
        double v = rhs[r];
        for (int k = r + 1; k < 4; k++)
            v -= m[r][k] * x[k];
        x[r] = v / m[r][r];
    }
}

// The cubic with value y0 and slope k0 at x0, value y1 and slope k1 at x1.
static void hermite_cubic(double x0, double y0, double k0, double x1, double y1, double k1, double c[4])
{
    double m[4][4] = {{1, x0, x0 * x0, x0 * x0 * x0},
                      {0, 1, 2 * x0, 3 * x0 * x0},
                      {1, x1, x1 * x1, x1 * x1 * x1},
                      {0, 1, 2 * x1, 3 * x1 * x1}};
    double rhs[4] = {y0, k0, y1, k1};
    solve4(m, rhs, c);
}

// Length of the curve of the cubic c between two abscissae (trapezoid rule).
static double arc_length(const double c[4], double from, double to)
{
    const int steps = 10000;
    auto speed = [c](double b) {
        double slope = c[1] + (2 * c[2] + 3 * c[3] * b) * b;
        return sqrt(1 + slope * slope);
    };
    double h = (to - from) / steps;
    double sum = (speed(from) + speed(to)) / 2;
    for (int i = 1; i < steps; i++)
        sum += speed(from + i * h);
    return sum * h;
}

// The transition around the edge direction `edge` between a plane at distance
// da (whose flat part ends `right` short of the transition) and one at db
// (`left`), worked out in a frame whose depth axis is the edge. Returns its
// length.
static double make_transition(piece_d *p, double edge, double fov_spline, double right, double left,
                              double da, double db, double yaw)
{
    kassert(fov_spline > 0.0);
    double half = fov_spline / 2;
    double a = da / cos(right), b = db / cos(left);
    double x0 = -a * sin(half), y0 = a * cos(half);
    double x1 = b * sin(half), y1 = b * cos(half);
    hermite_cubic(x0, y0, tan(right + half), x1, y1, tan(-(half + left)), p->poly2);
    double len = arc_length(p->poly2, x0, x1);
    double s0 = 1 / arc_length(p->poly2, x0, x0 + 1);
    double s1 = 1 / arc_length(p->poly2, x1 - 1, x1);
    hermite_cubic(0, x0, s0, len, x1, s1, p->poly1);
    set_rot(p, edge + yaw);
    return len;
}

int create_projection_data(const proj_segments *ps)
{
    // the assertion's text is fixed
    // clang-format off
    kassert(2*ps->nseg+1 < N_SEGM);
    // clang-format on
    kassert(ps->nseg >= 1);
    const int n = ps->nseg, count = 2 * n + 1;
    const double *S = ps->seg_angle, *E = ps->edge_angle, *W = ps->edge_width;
    const double yaw = ps->yaw_offset;

    // Plane i faces S[i] at distance d[i]; neighbours meet on the edge E[i].
    double d[N_SEGM], left[N_SEGM], right[N_SEGM];
    d[0] = 1;
    for (int i = 0; i + 1 < n; i++)
        d[i + 1] = d[i] * cos(positive_angle(S[i + 1] - E[i])) / cos(positive_angle(E[i] - S[i]));
    // Half-angles of the flat parts on either side of their axes.
    for (int j = 0; j < n; j++) {
        left[j] = j == 0 ? M_PI + S[0] : S[j] - E[j - 1] - W[j - 1] / 2;
        right[j] = j == n - 1 ? M_PI - S[n - 1] : E[j] - S[j] - W[j] / 2;
        if (left[j] >= M_PI / 2 || right[j] >= M_PI / 2)
            print_error(msg_fov, j + 1, left[j], right[j]);
    }

    piece_d pc[N_SEGM] = {};
    double len[N_SEGM] = {}, local[N_SEGM] = {};
    for (int j = 0; j < n; j++) {
        piece_d *p = &pc[2 * j];
        p->poly1[1] = 1;
        p->poly2[0] = d[j];
        set_rot(p, S[j] + yaw);
        len[2 * j] = d[j] * (tan(left[j]) + tan(right[j]));
        local[2 * j] = d[j] * tan(left[j]);
    }
    for (int t = 0; t + 1 < n; t++)
        len[2 * t + 1] =
            make_transition(&pc[2 * t + 1], E[t], W[t], right[t], left[t + 1], d[t], d[t + 1], yaw);

    double sum = 0;
    for (int i = 0; i < count; i++) {
        pc[i].start = local[i] + sum;
        sum += len[i];
        pc[i].bound = sum;
    }
    if (!(sum > 0) || !std::isfinite(sum))
        print_error(msg_span);

    // To pixels, the cross-section running from -pix_width/2 to +pix_width/2;
    // the transitions are worked out again at that scale, so that the unit
    // steps of their slopes are pixels.
    const double k = ps->pix_width / sum, half_width = ps->pix_width / 2;
    for (int i = 0; i < count; i++) {
        pc[i].bound = pc[i].bound * k - half_width;
        pc[i].start = pc[i].start * k - half_width;
    }
    for (int j = 0; j < n; j++)
        pc[2 * j].poly2[0] = k * d[j];
    for (int t = 0; t + 1 < n; t++)
        make_transition(&pc[2 * t + 1], E[t], W[t], right[t], left[t + 1], k * d[t], k * d[t + 1], yaw);

    proj_piece table[N_SEGM] = {};
    for (int i = 0; i < count; i++) {
        table[i].bound = to_float(pc[i].bound);
        table[i].start = to_float(pc[i].start);
        for (int c = 0; c < 4; c++) {
            table[i].rot[c] = to_float(pc[i].rot[c]);
            table[i].poly1[c] = to_float(pc[i].poly1[c]);
            table[i].poly2[c] = to_float(pc[i].poly2[c]);
        }
    }
    if (!mult_rectilinear_data) {
        // Room for every entry, so that no piece count can read past it.
        auto *t = static_cast<proj_piece *>(checked_calloc(N_SEGM, sizeof(proj_piece)));
        memcpy(t, table, sizeof table);
        mult_rectilinear_data = t;
    }
    return count;
}

// ---- Per point ----

static float horner(const float c[4], float v) { return ((c[3] * v + c[2]) * v + c[1]) * v + c[0]; }

void project_pano(float *x, float *z, const proj_piece *table, int count)
{
    if (count < 1)
        print_error(msg_no_segment);
    kassert(count <= N_SEGM);
    float v = *x;
    // The slack lanes of the last group of four pixels reach past the right
    // edge: they, and points that are not finite, have no image.
    if (std::isfinite(v)) {
        for (int i = 0; i < count; i++) {
            const proj_piece *p = &table[i];
            if (v <= p->bound) {
                float b = horner(p->poly1, v - p->start);
                float c = horner(p->poly2, b);
                *x = p->rot[0] * b + p->rot[1] * c;
                *z = p->rot[2] * b + p->rot[3] * c;
                return;
            }
        }
    }
    *x = NAN;
    *z = NAN;
}
