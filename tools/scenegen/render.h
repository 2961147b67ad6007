// The master image and the photos rendered from it: every photo pixel looks
// up the panorama direction it sees in the master, so the photos are exact
// resamplings of the master that a stitcher can bring back.
#pragma once
#include "tools/scenegen/camera.h"
#include "tools/scenegen/texture.h"

#include <functional>
#include <vector>

// An equirectangular image of the whole sphere, width = 2 height, RGB bytes.
struct master_image {
    int width, height;
    std::vector<unsigned char> rgb;
};

struct photo {
    camera cam;
    int circular; // circular fisheye: black outside the circle of diameter width
    double gain;  // every sample times gain, clamped to 0..255
    // An equirectangular crop is a copy: pixel (i, j) is the master's pixel
    // ((copy_x + i) mod width, copy_y + j), not an interpolation.
    int copy;
    int copy_x, copy_y;
};

// Calls fn(i) for i in 0..count-1 on `threads` threads.
void parallel_for(int count, int threads, const std::function<void(int)> &fn);

// Each pixel is the texture at its centre's direction, rounded.
master_image make_master(const texture *t, int width, int threads);

// Keys' cubic (a = -0.5) of the master at pixel position (u, v) (pixel i at
// i), across the 360-degree seam and over the poles: row -1 is row 0 half a
// turn away.
void sample_master(const master_image *m, double u, double v, double rgb[3]);

// Subsamples per axis that keep a photo whose pixels are larger than the
// master's from aliasing: 1 when they are not.
int supersampling(const photo *p, int master_width);
void render_photo_row(const master_image *m, const photo *p, int subsamples, int y, unsigned char *row);
std::vector<unsigned char> render_photo(const master_image *m, const photo *p, int threads);

// A panorama row made back from rendered photos with this same model, as an
// ideal stitcher would: each pixel from the photo in which it lies farthest
// from an edge (Keys' cubic, all taps inside), RGBA with alpha 0 where no
// photo holds all taps. A bound for what the real stitcher can reach.
void reproject_row(const camera *pano, const std::vector<photo> &photos,
                   const std::vector<const unsigned char *> &pixels, int y, unsigned char *rgba);
