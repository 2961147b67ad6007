#include "tools/scenegen/texture.h"

#include <cmath>

// splitmix64: the same numbers from a seed on every platform, which the
// standard distributions do not promise.
struct rng {
    uint64_t state;
};

static double uniform(rng *r, double lo, double hi)
{
    uint64_t z = (r->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return lo + (hi - lo) * static_cast<double>(z >> 11) / 9007199254740992.0;
}

static void unit_vector(rng *r, double v[3])
{
    double n;
    do {
        for (int i = 0; i < 3; i++)
            v[i] = uniform(r, -1, 1);
        n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    } while (n < 0.1 || n > 1);
    for (int i = 0; i < 3; i++)
        v[i] /= n;
}

static void add_waves(texture *t, rng *r, int count, double k_lo, double k_hi, double amp, bool grey)
{
    for (int i = 0; i < count; i++) {
        texture_wave w;
        unit_vector(r, w.n);
        w.k = uniform(r, k_lo, k_hi);
        w.phase = uniform(r, 0, 2 * M_PI);
        double a = uniform(r, 0.5, 1) * amp;
        for (int c = 0; c < 3; c++)
            w.amp[c] = grey ? a : uniform(r, -amp, amp);
        t->waves.push_back(w);
    }
}

static void add_discs(texture *t, rng *r, int count, double radius_lo, double radius_hi, double amp)
{
    for (int i = 0; i < count; i++) {
        texture_disc d;
        unit_vector(r, d.centre);
        d.cos_radius = std::cos(uniform(r, radius_lo, radius_hi));
        for (int c = 0; c < 3; c++)
            d.rgb[c] = uniform(r, -amp, amp);
        t->discs.push_back(d);
    }
}

texture make_texture(int kind, uint64_t seed, int master_width, double flat)
{
    texture t;
    t.kind = kind;
    rng r = {seed * 0x2545F4914F6CDD1Dull + 1};
    for (int c = 0; c < 3; c++)
        t.base[c] = kind == TEXTURE_FLAT ? flat : uniform(&r, 105, 150);
    if (kind == TEXTURE_FLAT)
        return t;
    // Colour fields tens of degrees across.
    add_waves(&t, &r, 5, 1.5, 7, 22, false);
    if (kind == TEXTURE_SMOOTH)
        return t;
    double px = 2 * M_PI / master_width; // one pixel of the master's equator
    // Fine gratings with periods of 6 to 14 pixels, which interpolation must
    // follow but can still reproduce.
    add_waves(&t, &r, 3, 2 * M_PI / (14 * px), 2 * M_PI / (6 * px), 9, true);
    // Sharp edges at every scale: large patches and small spots.
    add_discs(&t, &r, 30, 2 * M_PI / 180, 14 * M_PI / 180, 40);
    add_discs(&t, &r, 90, 4 * px, 30 * px, 45);
    return t;
}

std::vector<const texture_disc *> discs_near(const texture *t, double phi)
{
    std::vector<const texture_disc *> near;
    for (const texture_disc &k : t->discs)
        if (std::fabs(std::asin(k.centre[1]) - phi) <= std::acos(k.cos_radius) + 1e-9)
            near.push_back(&k);
    return near;
}

static void add_disc(const texture_disc *k, const double d[3], double rgb[3])
{
    if (k->centre[0] * d[0] + k->centre[1] * d[1] + k->centre[2] * d[2] > k->cos_radius)
        for (int c = 0; c < 3; c++)
            rgb[c] += k->rgb[c];
}

void texture_color(const texture *t, const double d[3], double rgb[3],
                   const std::vector<const texture_disc *> *discs)
{
    for (int c = 0; c < 3; c++)
        rgb[c] = t->base[c];
    for (const texture_wave &w : t->waves) {
        double s = std::sin(w.k * (w.n[0] * d[0] + w.n[1] * d[1] + w.n[2] * d[2]) + w.phase);
        for (int c = 0; c < 3; c++)
            rgb[c] += w.amp[c] * s;
    }
    if (discs)
        for (const texture_disc *k : *discs)
            add_disc(k, d, rgb);
    else
        for (const texture_disc &k : t->discs)
            add_disc(&k, d, rgb);
}
