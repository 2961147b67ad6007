// The world that the master image shows: a colour for every direction,
// deterministic from a seed. Its features are sized in pixels of the master's
// equator, so that a master of any width has the same detail per pixel.
#pragma once
#include <cstdint>
#include <vector>

enum texture_kind {
    TEXTURE_DETAIL, // smooth colour fields, sharp-edged discs and fine gratings
    TEXTURE_SMOOTH, // the colour fields alone
    TEXTURE_FLAT,   // one grey level everywhere
};

// A plane wave over the sphere: amp * sin(k (n . d) + phase) per channel.
struct texture_wave {
    double n[3];
    double k, phase;
    double amp[3];
};

// A spherical cap with a hard edge that adds rgb inside it.
struct texture_disc {
    double centre[3];
    double cos_radius;
    double rgb[3];
};

struct texture {
    int kind;
    double base[3];
    std::vector<texture_wave> waves;
    std::vector<texture_disc> discs;
};

// flat is the grey level of TEXTURE_FLAT.
texture make_texture(int kind, uint64_t seed, int master_width, double flat);
// The discs that can reach latitude phi (radians, positive downward), which
// are all that texture_color needs to test along a row of the master.
std::vector<const texture_disc *> discs_near(const texture *t, double phi);
// The colour (0..255, not clamped) seen in the unit direction d; discs null
// tests every disc.
void texture_color(const texture *t, const double d[3], double rgb[3],
                   const std::vector<const texture_disc *> *discs = nullptr);
