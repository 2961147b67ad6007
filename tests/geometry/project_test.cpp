#include "stitcher/geometry/project.h"
#include "stitcher/pipeline/memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sys/wait.h>
#include <vector>

namespace
{

const double deg = M_PI / 180;

// The table that a build makes, whatever an earlier build left in the
// process-wide table (which the program never replaces).
std::vector<proj_piece> build(int width, vector_dbl *s, vector_dbl *e, vector_dbl *w, double period = 360,
                              double yaw = 0)
{
    proj_piece *kept = mult_rectilinear_data;
    mult_rectilinear_data = nullptr;
    int n = set_mult_rectilinear_data(360, width, width / 2, s, e, w, period, yaw);
    std::vector<proj_piece> table(mult_rectilinear_data, mult_rectilinear_data + n);
    aligned_free(mult_rectilinear_data);
    mult_rectilinear_data = kept;
    return table;
}

std::vector<proj_piece> default_table(int width) { return build(width, nullptr, nullptr, nullptr); }

struct point {
    float x, z;
};

point project(const std::vector<proj_piece> &t, float x)
{
    point p{x, 0};
    project_pano(&p.x, &p.z, t.data(), static_cast<int>(t.size()));
    return p;
}

TEST(MultiSegment, DefaultTable)
{
    const int width = 1000;
    auto t = default_table(width);
    ASSERT_EQ(t.size(), 11u);
    // Bounds grow piece by piece up to the right edge; the two trailing
    // pieces have no length and no geometry.
    for (int i = 1; i <= 8; i++)
        EXPECT_GT(t[i].bound, t[i - 1].bound) << i;
    EXPECT_FLOAT_EQ(t[8].bound, width / 2.0f);
    for (int i = 9; i <= 10; i++) {
        EXPECT_EQ(t[i].bound, t[8].bound);
        for (int c = 0; c < 4; c++)
            EXPECT_TRUE(t[i].rot[c] == 0 && t[i].poly1[c] == 0 && t[i].poly2[c] == 0);
    }
    EXPECT_FLOAT_EQ(t[0].start, -width / 2.0f);
    // Segments face -180, -90, 0, 90 and 180 degrees.
    for (int j = 0; j < 5; j++) {
        double a = (-180 + 90 * j) * deg;
        const proj_piece &p = t[2 * j];
        EXPECT_NEAR(p.rot[0], cos(a), 1e-6);
        EXPECT_NEAR(p.rot[1], sin(a), 1e-6);
        EXPECT_NEAR(p.rot[2], -sin(a), 1e-6);
        EXPECT_NEAR(p.rot[3], cos(a), 1e-6);
        // Flat parts span 40 degrees either side of their axis, except the
        // outer sides of the first and the last.
        double left = (p.start - (j ? t[2 * j - 1].bound : -width / 2.0f)) / p.poly2[0];
        double right = (p.bound - p.start) / p.poly2[0];
        EXPECT_NEAR(left, j == 0 ? 0 : tan(40 * deg), 1e-5) << j;
        EXPECT_NEAR(right, j == 4 ? 0 : tan(40 * deg), 1e-5) << j;
    }
    // Transitions are centred on the edges at -135, -45, 45 and 135 degrees.
    for (int k = 0; k < 4; k++) {
        double a = (-135 + 90 * k) * deg;
        EXPECT_NEAR(t[2 * k + 1].rot[0], cos(a), 1e-6);
        EXPECT_NEAR(t[2 * k + 1].rot[1], sin(a), 1e-6);
    }
}

TEST(MultiSegment, FlatPiecesLieOnTheirPlanes)
{
    auto t = default_table(4000);
    for (int j = 0; j < 5; j++) {
        const proj_piece &p = t[2 * j];
        double a = (-180 + 90 * j) * deg, dist = p.poly2[0];
        // The piece's start is the foot of its plane.
        point foot = project(t, p.start);
        EXPECT_NEAR(foot.x, dist * sin(a), 1e-3);
        EXPECT_NEAR(foot.z, dist * cos(a), 1e-3);
        float from = j ? t[2 * j - 1].bound : -2000.0f;
        for (int k = 0; k <= 20; k++) {
            float x = from + (p.bound - from) * k / 20.0f;
            point q = project(t, x);
            EXPECT_NEAR(q.x * sin(a) + q.z * cos(a), dist, 1e-3 * dist) << "piece " << 2 * j << " x " << x;
            // Along the plane, one pixel of panorama is one unit of length.
            EXPECT_NEAR(q.x * cos(a) - q.z * sin(a), x - p.start, 2e-3 * dist);
        }
    }
}

// The cross-section has no gaps and no kinks: on either side of every bound
// the points and the directions of the curve meet.
TEST(MultiSegment, CurveAndDirectionAreContinuous)
{
    for (int width : {1000, 6000}) {
        auto t = default_table(width);
        // The direction at a bound, extrapolated from the chords of two
        // one-pixel steps on one side (dir = -1 to the left, 1 to the right).
        auto direction = [&](float b, int dir) {
            point p0 = project(t, b), p1 = project(t, b + dir), p2 = project(t, b + 2 * dir);
            double near = atan2(dir * (p1.x - p0.x), dir * (p1.z - p0.z));
            double far = atan2(dir * (p2.x - p1.x), dir * (p2.z - p1.z));
            return near + remainder(near - far, 2 * M_PI) / 2;
        };
        for (int i = 0; i < 8; i++) {
            float b = t[i].bound;
            point l = project(t, b), r = project(t, std::nextafter(b, INFINITY));
            EXPECT_NEAR(l.x, r.x, 1e-3 * width) << "bound " << i;
            EXPECT_NEAR(l.z, r.z, 1e-3 * width) << "bound " << i;
            EXPECT_NEAR(remainder(direction(b, -1) - direction(b, 1), 2 * M_PI), 0, 2e-3) << "bound " << i;
        }
        // The whole curve is as long as the panorama is wide, and each pixel
        // of panorama covers about one unit of it (the transitions' cubics
        // follow their arc length only approximately).
        double length = 0;
        point prev = project(t, -width / 2.0f);
        for (int k = 1; k <= width; k++) {
            point q = project(t, -width / 2.0f + k);
            double step = hypot(q.x - prev.x, q.z - prev.z);
            EXPECT_NEAR(step, 1, 0.1) << "x " << -width / 2.0f + k;
            length += step;
            prev = q;
        }
        EXPECT_NEAR(length, width, 1e-3 * width);
    }
}

TEST(MultiSegment, BeyondTheEdgeHasNoImage)
{
    auto t = default_table(1001);
    point edge = project(t, 500.5f);
    EXPECT_TRUE(std::isfinite(edge.x) && std::isfinite(edge.z));
    // The slack lanes of the last group of four reach past the right edge.
    for (float x : {500.51f, 501.5f, 502.5f, 1e30f, INFINITY, -INFINITY, NAN}) {
        point p = project(t, x);
        EXPECT_TRUE(std::isnan(p.x) && std::isnan(p.z)) << x;
    }
}

TEST(MultiSegment, ListsInOtherUnitsGiveTheSameCrossSection)
{
    auto deg_table = default_table(2000);
    // The same room measured in turns, and in gradians.
    double s_turns[] = {0, 0.25, 0.5, 0.75, 1}, w_turns[] = {10 / 360.0, 10 / 360.0, 10 / 360.0, 10 / 360.0};
    vector_dbl s{s_turns, 5}, w{w_turns, 4};
    auto turn_table = build(2000, &s, nullptr, &w, 1);
    double s_grad[] = {0, 100, 200, 300, 400}, w_grad[] = {100 / 9.0, 100 / 9.0, 100 / 9.0, 100 / 9.0};
    vector_dbl sg{s_grad, 5}, wg{w_grad, 4};
    auto grad_table = build(2000, &sg, nullptr, &wg, 400);
    for (const auto *other : {&turn_table, &grad_table}) {
        ASSERT_EQ(other->size(), deg_table.size());
        for (float x = -1000; x <= 1000; x += 7.5f) {
            point a = project(deg_table, x), b = project(*other, x);
            EXPECT_NEAR(a.x, b.x, 1e-2) << x;
            EXPECT_NEAR(a.z, b.z, 1e-2) << x;
        }
    }
}

TEST(MultiSegment, GivenListsAreConvertedInPlace)
{
    double sv[] = {60, 180, 300};
    vector_dbl s{sv, 3};
    auto t = build(1200, &s, nullptr, nullptr);
    EXPECT_EQ(t.size(), 7u);
    EXPECT_NEAR(sv[0], -120 * deg, 1e-12);
    EXPECT_NEAR(sv[1], 0, 1e-12);
    EXPECT_NEAR(sv[2], 120 * deg, 1e-12);
    // Edges alone place the segments between them; an edge below the one
    // before it is taken a turn further on.
    double ev[] = {45, 135, 225, -45};
    vector_dbl e{ev, 4};
    auto from_edges = build(1200, nullptr, &e, nullptr);
    EXPECT_NEAR(ev[3], 135 * deg, 1e-12);
    auto room = default_table(1200);
    ASSERT_EQ(from_edges.size(), room.size());
    for (float x = -600; x <= 600; x += 50) {
        point a = project(room, x), b = project(from_edges, x);
        EXPECT_NEAR(a.x, b.x, 1e-3) << x;
        EXPECT_NEAR(a.z, b.z, 1e-3) << x;
    }
}

TEST(MultiSegment, FirstBuildStays)
{
    proj_piece *kept = mult_rectilinear_data;
    mult_rectilinear_data = nullptr;
    EXPECT_EQ(set_mult_rectilinear_data(360, 1000, 500, nullptr, nullptr, nullptr, 360, 0), 11);
    proj_piece *first = mult_rectilinear_data;
    std::vector<proj_piece> before(first, first + 11);
    double sv[] = {60, 180, 300};
    vector_dbl s{sv, 3};
    EXPECT_EQ(set_mult_rectilinear_data(360, 3000, 1500, &s, nullptr, nullptr, 360, 0), 7);
    EXPECT_EQ(mult_rectilinear_data, first);
    EXPECT_EQ(memcmp(before.data(), first, before.size() * sizeof(proj_piece)), 0);
    aligned_free(mult_rectilinear_data);
    mult_rectilinear_data = kept;
}

void build_and_exit(std::vector<double> s, std::vector<double> e, std::vector<double> w, double period = 360,
                    int width = 1000, double yaw = 0)
{
    vector_dbl vs{s.data(), static_cast<int>(s.size())}, ve{e.data(), static_cast<int>(e.size())},
        vw{w.data(), static_cast<int>(w.size())};
    set_mult_rectilinear_data(360, width, width / 2, s.empty() ? nullptr : &vs, e.empty() ? nullptr : &ve,
                              w.empty() ? nullptr : &vw, period, yaw);
    exit(0);
}

TEST(MultiSegmentDeathTest, MessagesOfTheChecks)
{
    using ::testing::ExitedWithCode;
    EXPECT_EXIT(build_and_exit({0, 120, 240}, {60, 180, 300}, {}), ExitedWithCode(1),
                "^Number of segments must equal number of edges \\+ 1 \\.\n$");
    EXPECT_EXIT(build_and_exit({}, {}, {10, 10}), ExitedWithCode(1),
                "^Number of edge widths must equal number of edges\\.\n$");
    EXPECT_EXIT(build_and_exit({130, 230}, {}, {}), ExitedWithCode(1),
                "^Error: FOV for segment 1 is too large: 2\\.268928 left, 0\\.785398 right\\.\n$");
    // Angles are in units of B; 1.4 turns is 144 degrees.
    EXPECT_EXIT(build_and_exit({0.4, 0.6}, {}, {0.02}, 1), ExitedWithCode(1),
                "FOV for segment 1 is too large: 2\\.513274 left");
}

TEST(MultiSegmentDeathTest, ScriptsThatCannotMakeATableAreRefused)
{
    using ::testing::ExitedWithCode;
    std::vector<double> many;
    for (int i = 0; i < 32; i++)
        many.push_back(i * 360.0 / 31);
    EXPECT_EXIT(build_and_exit(many, {}, {}), ExitedWithCode(1),
                "^Script-error: The multi-segment projection needs 1 to 31 segments, not 32\\.\n$");
    EXPECT_EXIT(
        build_and_exit({0, 90, 180, 270, 360}, {}, {10, 0, 10, 10}), ExitedWithCode(1),
        "^Script-error: Edge width 2 of the multi-segment projection must be above 0 and at most B/2, "
        "not 0\\.\n$");
    EXPECT_EXIT(build_and_exit({0, 90, 180, 270, 360}, {}, {10, 10, -5, 10}), ExitedWithCode(1),
                "Edge width 3 .* not -5");
    EXPECT_EXIT(build_and_exit({0, 90, 180, 270, 360}, {}, {10, 10, 10, 200}), ExitedWithCode(1),
                "Edge width 4 .* not 200");
    EXPECT_EXIT(
        build_and_exit({}, {}, {}, 0), ExitedWithCode(1),
        "^Script-error: The period B of the multi-segment projection must be a number above 0, not 0\\.\n$");
    EXPECT_EXIT(build_and_exit({}, {}, {}, INFINITY), ExitedWithCode(1), "period B .* not inf");
    EXPECT_EXIT(build_and_exit({}, {}, {}, NAN), ExitedWithCode(1), "period B .* not nan");
    EXPECT_EXIT(build_and_exit({0, 90, NAN, 270, 360}, {}, {}), ExitedWithCode(1),
                "^Script-error: Value 3 of the multi-segment list S is not a number\\.\n$");
    EXPECT_EXIT(build_and_exit({0, 90, 180, 270, 360}, {45, 135, INFINITY, 315}, {}), ExitedWithCode(1),
                "Value 3 of the multi-segment list E is not a number");
    EXPECT_EXIT(build_and_exit({}, {}, {}, 360, 1000, NAN), ExitedWithCode(1),
                "^Script-error: The offset Y of the multi-segment projection is not a number\\.\n$");
    EXPECT_EXIT(build_and_exit({}, {}, {}, 360, 0), ExitedWithCode(1),
                "^Script-error: A multi-segment panorama must be at least 1 pixel wide, not 0\\.\n$");
    // Huge angles are reduced at once rather than by looping.
    EXPECT_EXIT(
        build_and_exit({1e300, 90, 180, 270, 360}, {}, {}), [](int status) { return WIFEXITED(status); }, "");
}

TEST(MultiSegmentDeathTest, AssertionsStayAsASecondNet)
{
    double s[] = {-M_PI, -M_PI / 2, 0, M_PI / 2, M_PI}, e[] = {-3, -1, 1, 3}, w[] = {0.1, 0, 0.1, 0.1};
    proj_segments ps{5, s, e, w, 1000, 0, 360};
    EXPECT_EXIT(create_projection_data(&ps), ::testing::ExitedWithCode(1), "fov_spline > 0\\.0");
    std::vector<double> many(40, 0.0);
    proj_segments big{32, many.data(), many.data(), many.data(), 1000, 0, 360};
    EXPECT_EXIT(create_projection_data(&big), ::testing::ExitedWithCode(1), "2\\*ps->nseg\\+1 < N_SEGM");
}

TEST(MultiSegmentDeathTest, NoPiecesAtAll)
{
    proj_piece table[1] = {};
    float x = 0, z = 0;
    EXPECT_EXIT(project_pano(&x, &z, table, 0), ::testing::ExitedWithCode(1), "^Could net get segment\\.\n$");
}

} // namespace
