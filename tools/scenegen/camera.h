// The scene generator's own camera model, in double precision. It shares no
// code with the stitcher's geometry on purpose: a wrong formula on either side
// must show up as a bad stitch, not cancel out between rendering and stitching.
//
// What a project script means, as the stitcher builds an image's stack
// (panorama pixel -> direction -> rotation -> image plane -> image pixel):
//
// - Pixel i of a row of width w has its centre at x = i - (w/2 - 0.5) from the
//   image centre, x to the right; rows likewise, y downward.
// - A direction (X, Y, Z) has X to the right, Y downward and Z forward.
// - Image planes, with s the scale in pixels per radian:
//     rectilinear      (x, y) = s (X/Z, Y/Z), only in front (Z > 0)
//     equirectangular  x = s lambda, y = s phi: longitude lambda positive to
//                      the right, latitude phi positive DOWNWARD; the direction
//                      is (cos phi sin lambda, sin phi, cos phi cos lambda)
//     fisheye          equidistant: r = s theta, theta the angle to the axis
// - s from the horizontal field of view v (degrees) over the width w:
//     rectilinear s = w / (2 tan(v/2)); equirectangular and fisheye s = w / v.
//   The field of view is always across the whole width (for a circular
//   fisheye: across the circle of diameter w that the stitcher keeps).
// - An image sees the panorama direction d as M d with M = Rz(roll) Rx(pitch)
//   Ry(yaw), angles in degrees, and
//     Rx(t) = [1 0 0; 0 cos t sin t; 0 -sin t cos t]
//     Ry(t) = [cos t 0 -sin t; 0 1 0; sin t 0 cos t]
//     Rz(t) = [cos t sin t 0; -sin t cos t 0; 0 0 1].
//   Its optical axis points at longitude +yaw and latitude +pitch UPWARD: yaw
//   90 looks a quarter turn to the right (panorama column 3w/4 - 0.5), pitch 90
//   at the zenith (the top edge of the panorama's row 0), and a positive roll
//   turns the picture's content counter-clockwise on the screen (a point right
//   of the centre moves up). The top of a zenith photo faces longitude yaw+180.
// - Lens terms of an o-line move a point (x, y) of the image plane to the
//   pixel (x k + d, y k + e) with k = (1 - a - b - c) + c r + b r^2 + a r^3,
//   r = |(x, y)| / (w / 2).
// - o-line f: 0 rectilinear, 2 circular fisheye, 3 full-frame fisheye,
//   4 equirectangular. p-line f: 0 rectilinear, 2 equirectangular, 3 fisheye.
//   The panorama is a camera with yaw, pitch and roll 0.
#pragma once

enum cam_projection {
    CAM_RECTILINEAR = 0,
    CAM_EQUIRECT = 2,
    CAM_FISHEYE = 3,
};

struct camera {
    int width, height;
    int projection; // cam_projection
    double scale;   // pixels per radian; per unit of tangent for rectilinear
    double m[9];    // row-major: panorama direction to camera direction
    double lens[5]; // a, b, c, d, e; all 0 for a perfect lens
};

// m = Rz(roll) Rx(pitch) Ry(yaw), angles in degrees.
void euler_matrix(double yaw, double pitch, double roll, double m[9]);
double projection_scale(int projection, int width, double hfov);
camera make_camera(int projection, int width, int height, double hfov, double yaw, double pitch, double roll);

// A point of the plane (from the image centre) to the unit direction in the
// camera's frame, and back; false where the plane or the direction has no
// counterpart (behind a rectilinear camera, past the fisheye's pole, beyond
// the poles or the half turn of the equirectangular plane).
bool plane_to_direction(int projection, double scale, double x, double y, double d[3]);
bool direction_to_plane(int projection, double scale, const double d[3], double *x, double *y);

// A pixel position (the centre of pixel i is at i) to the panorama direction
// it sees, and back.
bool pixel_to_direction(const camera *c, double px, double py, double d[3]);
bool direction_to_pixel(const camera *c, const double d[3], double *px, double *py);

// The o-line and p-line codes of a projection (-1 for none).
int oline_code(int projection, int circular);
int pline_code(int projection);
