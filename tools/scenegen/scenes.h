// The scenes the tests, the demo and the benchmarks stitch: a panorama, the
// photos that cover it and what the result should be compared with.
#pragma once
#include "tools/scenegen/render.h"

#include <string>
#include <vector>

enum reference_kind {
    REF_NONE,   // nothing to compare with (a panorama of another scale)
    REF_MASTER, // the master itself: the panorama is the whole sphere at its size
    REF_PHOTO,  // the first photo (the panorama is that photo's own view)
    REF_WINDOW, // the master's pixels under the panorama, from window_x, window_y
};

enum file_format { FORMAT_PPM, FORMAT_TIFF, FORMAT_JPEG };

struct shot {
    int projection; // cam_projection
    int circular;
    int width, height;
    double hfov, yaw, pitch, roll; // degrees, as the o-line says them
    double gain;
    int copy, copy_x, copy_y; // an equirectangular crop (see photo)
    double lens[5];           // the o-line's a, b, c, d, e
};

struct scene {
    int master_width; // the height is half of it
    int pano_projection;
    int pano_width, pano_height;
    double pano_hfov;
    std::vector<shot> shots;
    int reference; // reference_kind
    int window_x, window_y;
    // The preset's defaults, which options may change.
    int texture_kind;
    double flat;
    int photo_format, quality;
    std::string pano_format; // the p-line's n"..." text
    int brackets;            // o-lines per shot, one after the other (an exposure bracket)
};

struct scene_options {
    double scale = 1;      // master and photo sizes
    double pano_scale = 1; // panorama width and height only
    double gain = 1.5;     // the seam scene's second photo
    int photos = 600;      // the many scene's photo count
};

// The preset names, null-terminated, with a line of help each.
extern const char *const scene_presets[][2];
// False for an unknown preset.
bool make_scene(const std::string &preset, const scene_options *opt, scene *out);

photo shot_photo(const shot *s);
camera pano_camera(const scene *sc);

// Fractions of the panorama's pixels (sampled on a grid of at most about a
// million points) inside at least one photo and inside two or more.
void scene_coverage(const scene *sc, double *covered, double *multiple);
