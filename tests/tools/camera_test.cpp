// The scene generator's camera model: its rotation is the script's, its
// projections invert each other, and yaw, pitch and roll turn the way the
// script means them.
#include "tools/scenegen/camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>

namespace
{

TEST(Camera, EulerMatrixIsRollPitchYaw)
{
    double m[9];
    euler_matrix(90, 0, 0, m);
    const double yaw90[9] = {0, 0, -1, 0, 1, 0, 1, 0, 0};
    for (int i = 0; i < 9; i++)
        EXPECT_NEAR(m[i], yaw90[i], 1e-15) << i;
    // Rz(roll) Rx(pitch) Ry(yaw) written out element by element.
    double a = 0.3, b = -1.1, c = 2.5, ref[3][3];
    double ry[3][3] = {{cos(a), 0, -sin(a)}, {0, 1, 0}, {sin(a), 0, cos(a)}};
    double rx[3][3] = {{1, 0, 0}, {0, cos(b), sin(b)}, {0, -sin(b), cos(b)}};
    double rz[3][3] = {{cos(c), sin(c), 0}, {-sin(c), cos(c), 0}, {0, 0, 1}};
    euler_matrix(a * 180 / M_PI, b * 180 / M_PI, c * 180 / M_PI, m);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            ref[i][j] = 0;
            for (int k = 0; k < 3; k++)
                for (int l = 0; l < 3; l++)
                    ref[i][j] += rz[i][k] * rx[k][l] * ry[l][j];
            EXPECT_NEAR(m[3 * i + j], ref[i][j], 1e-14);
        }
}

TEST(Camera, FieldOfViewSpansTheWidth)
{
    EXPECT_NEAR(projection_scale(CAM_RECTILINEAR, 2000, 90), 1000, 1e-9);
    EXPECT_NEAR(projection_scale(CAM_EQUIRECT, 4000, 360), 4000 / (2 * M_PI), 1e-9);
    for (int proj : {CAM_RECTILINEAR, CAM_EQUIRECT, CAM_FISHEYE}) {
        double d[3];
        ASSERT_TRUE(plane_to_direction(proj, projection_scale(proj, 800, 70), 400, 0, d));
        EXPECT_NEAR(std::atan2(d[0], d[2]) * 180 / M_PI, 35, 1e-9) << proj;
    }
}

struct projection_case {
    int projection, width, height;
    double hfov;
};

void PrintTo(const projection_case &c, std::ostream *os)
{
    *os << "projection " << c.projection << " " << c.width << "x" << c.height << " v" << c.hfov;
}

class CameraRoundTrip : public testing::TestWithParam<projection_case>
{
};

TEST_P(CameraRoundTrip, PixelToDirectionAndBack)
{
    const projection_case &c = GetParam();
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> angle(-180, 180), px(0, c.width - 1), py(0, c.height - 1);
    for (int n = 0; n < 200; n++) {
        camera cam =
            make_camera(c.projection, c.width, c.height, c.hfov, angle(gen), angle(gen) / 2, angle(gen));
        double x = px(gen), y = py(gen), d[3], x2, y2;
        ASSERT_TRUE(pixel_to_direction(&cam, x, y, d));
        EXPECT_NEAR(d[0] * d[0] + d[1] * d[1] + d[2] * d[2], 1, 1e-12);
        ASSERT_TRUE(direction_to_pixel(&cam, d, &x2, &y2));
        EXPECT_NEAR(x2, x, 1e-7);
        EXPECT_NEAR(y2, y, 1e-7);
    }
}

INSTANTIATE_TEST_SUITE_P(Projections, CameraRoundTrip,
                         testing::Values(projection_case{CAM_RECTILINEAR, 640, 480, 60},
                                         projection_case{CAM_RECTILINEAR, 300, 900, 120},
                                         projection_case{CAM_EQUIRECT, 600, 700, 108},
                                         projection_case{CAM_FISHEYE, 1300, 1300, 180},
                                         projection_case{CAM_FISHEYE, 1000, 700, 300}));

// Where a photo's centre lies in a 2000 x 1000 master, for each orientation.
struct aim_case {
    double yaw, pitch, roll;
    double u, v; // master pixel position
};

void PrintTo(const aim_case &a, std::ostream *os)
{
    *os << "y" << a.yaw << " p" << a.pitch << " r" << a.roll;
}

class CameraAim : public testing::TestWithParam<aim_case>
{
};

TEST_P(CameraAim, PhotoCentreInTheMaster)
{
    const aim_case &a = GetParam();
    camera master = make_camera(CAM_EQUIRECT, 2000, 1000, 360, 0, 0, 0);
    for (int proj : {CAM_RECTILINEAR, CAM_FISHEYE, CAM_EQUIRECT}) {
        camera photo = make_camera(proj, 401, 301, 50, a.yaw, a.pitch, a.roll);
        double d[3], u, v;
        ASSERT_TRUE(pixel_to_direction(&photo, 200, 150, d));
        ASSERT_TRUE(direction_to_pixel(&master, d, &u, &v));
        if (std::fabs(a.pitch) != 90) { // the column of a pole is arbitrary
            EXPECT_NEAR(u, a.u, 1e-9) << proj;
        }
        EXPECT_NEAR(v, a.v, 1e-9) << proj;
    }
}

INSTANTIATE_TEST_SUITE_P(Orientations, CameraAim,
                         testing::Values(aim_case{0, 0, 0, 999.5, 499.5}, aim_case{0, 0, 33, 999.5, 499.5},
                                         aim_case{90, 0, 0, 1499.5, 499.5}, // a quarter turn right
                                         aim_case{-90, 0, 0, 499.5, 499.5}, aim_case{270, 0, 0, 499.5, 499.5},
                                         aim_case{18, 0, 0, 1099.5, 499.5}, // 100 pixels per 18 degrees
                                         aim_case{0, 36, 0, 999.5, 299.5},  // pitch looks up
                                         aim_case{0, -36, 0, 999.5, 699.5}, aim_case{45, 90, 0, 0, -0.5},
                                         aim_case{0, -90, 0, 0, 999.5}));

TEST(Camera, RollTurnsThePictureCounterClockwise)
{
    // Roll 90: what lies right of the view's centre appears above the
    // photo's centre, what lies above it to its left.
    camera photo = make_camera(CAM_RECTILINEAR, 101, 101, 60, 0, 0, 90);
    camera master = make_camera(CAM_EQUIRECT, 2000, 1000, 360, 0, 0, 0);
    double d[3], x, y, off = photo.scale * std::tan(1.8 * M_PI / 180);
    pixel_to_direction(&master, 1009.5, 499.5, d); // 10 pixels (1.8 degrees) right of the master's centre
    ASSERT_TRUE(direction_to_pixel(&photo, d, &x, &y));
    EXPECT_NEAR(x, 50, 1e-9);
    EXPECT_NEAR(y, 50 - off, 1e-9);
    pixel_to_direction(&master, 999.5, 489.5, d); // 10 pixels above it
    ASSERT_TRUE(direction_to_pixel(&photo, d, &x, &y));
    EXPECT_NEAR(x, 50 - off, 1e-9);
    EXPECT_NEAR(y, 50, 1e-9);
}

TEST(Camera, ZenithPhotoTopFacesBehindItsYaw)
{
    camera photo = make_camera(CAM_RECTILINEAR, 101, 101, 90, 30, 90, 0);
    double d[3];
    ASSERT_TRUE(pixel_to_direction(&photo, 50, 0, d)); // top edge, above the horizon
    EXPECT_LT(d[1], 0);
    EXPECT_NEAR(std::atan2(d[0], d[2]) * 180 / M_PI, 30 - 180, 1e-9);
}

TEST(Camera, DomainsOfThePlanes)
{
    double x, y, d[3];
    const double side[3] = {1, 0, 0};
    EXPECT_FALSE(direction_to_plane(CAM_RECTILINEAR, 100, side, &x, &y));
    EXPECT_FALSE(plane_to_direction(CAM_FISHEYE, 100, 0, 100 * M_PI + 1, d));
    EXPECT_FALSE(plane_to_direction(CAM_EQUIRECT, 100, 0, 100 * M_PI / 2 + 1, d));
    ASSERT_TRUE(plane_to_direction(CAM_FISHEYE, 100, 0, 0, d)); // on the axis
    EXPECT_EQ(d[2], 1);
}

} // namespace
