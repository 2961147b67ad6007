#include "tools/scenegen/scenes.h"

#include <algorithm>
#include <cmath>
#include <numeric>

const char *const scene_presets[][2] = {
    {"identity", "one rectilinear photo; a rectilinear panorama of its own size and field of view"},
    {"crops", "four equirectangular crops of the master (yaw 0, 90, 180 across the seam, 270)"},
    {"seam", "two overlapping crops of a flat master, the second brightened (--gain)"},
    {"sphere", "full sphere: 8 rectilinear photos around, a zenith and a nadir shot"},
    {"fisheye", "full sphere: 4 circular fisheyes around, a zenith and a nadir one"},
    {"big20", "16000 x 8000: 20 rectilinear 14-megapixel JPEG photos in two rows, 30% overlap"},
    {"big24", "16000 x 8000: 24 rectilinear 5-megapixel JPEG photos in three rows"},
    {"big20lens", "16000 x 8000: 20 rectilinear 14-megapixel TIFF photos in two rows, each with lens terms"},
    {"sphere20lens", "16000 x 8000 full sphere: 20 rectilinear 14-megapixel TIFF photos with lens terms, "
                     "8 around, 5 up, 5 down, zenith and nadir"},
    {"demo", "a small full sphere for the demo, JPEG photos"},
    {"many", "16000 x 8000: --photos (600) small landscape JPEG photos in rows over the sphere"},
    {nullptr, nullptr},
};

static int scaled(double v, double f) { return std::max(1, static_cast<int>(std::lround(v * f))); }
static int even(double v) { return 2 * static_cast<int>(std::lround(v / 2)); }

static shot camera_shot(int projection, int width, int height, double hfov, double yaw, double pitch,
                        double roll)
{
    shot s = {};
    s.projection = projection;
    s.circular = projection == CAM_FISHEYE;
    s.width = width;
    s.height = height;
    s.hfov = hfov;
    s.yaw = yaw;
    s.pitch = pitch;
    s.roll = roll;
    s.gain = 1;
    return s;
}

// Columns x0 .. x0+width-1 of the master (x0 may pass the seam), rows centred
// on the equator; the yaw follows from x0 without being reduced, so that x0
// past three quarters of the width is written as yaw 270.
static shot crop_shot(int mw, long x0, int width, int height)
{
    shot s = camera_shot(CAM_EQUIRECT, width, height, width * 360.0 / mw, 0, 0, 0);
    s.yaw = double(2 * x0 + width - mw) * 180 / mw;
    s.copy = 1;
    s.copy_x = static_cast<int>(((x0 % mw) + mw) % mw);
    s.copy_y = (mw / 2 - height) / 2;
    return s;
}

static void sphere_pano(scene *sc, double pano_scale)
{
    sc->pano_projection = CAM_EQUIRECT;
    sc->pano_width = scaled(sc->master_width, pano_scale);
    sc->pano_height = scaled(sc->master_width / 2, pano_scale);
    sc->pano_hfov = 360;
    sc->reference = pano_scale == 1 ? REF_MASTER : REF_NONE;
}

// Eight portrait photos around the horizon, slightly off their nominal
// places (photo 1 exactly at yaw, pitch and roll 0, photo 4 at a whole-pixel
// yaw with pitch and roll 0), then a zenith and a nadir shot.
static void rectilinear_sphere(scene *sc, int w, int h, int cap)
{
    static const double dyaw[8] = {0, 0.7, -1.1, 0, 1.3, -0.4, 0.9, -0.6};
    static const double pitch[8] = {0, 2, -1.5, 0, -2, 1.5, -1, 2.5};
    static const double roll[8] = {0, 3, -2, 0, 4, -3, 1.5, -1};
    for (int k = 0; k < 8; k++)
        sc->shots.push_back(camera_shot(CAM_RECTILINEAR, w, h, 65, 45 * k + dyaw[k], pitch[k], roll[k]));
    sc->shots.push_back(camera_shot(CAM_RECTILINEAR, cap, cap, 110, 0, 90, 0));
    sc->shots.push_back(camera_shot(CAM_RECTILINEAR, cap, cap, 110, 0, -90, 0));
}

static void preset_identity(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(360, o->scale);
    shot s = camera_shot(CAM_RECTILINEAR, scaled(640, o->scale), scaled(480, o->scale), 60, 0, 0, 0);
    sc->shots.push_back(s);
    sc->pano_projection = CAM_RECTILINEAR;
    sc->pano_width = scaled(s.width, o->pano_scale);
    sc->pano_height = scaled(s.height, o->pano_scale);
    sc->pano_hfov = s.hfov;
    sc->reference = o->pano_scale == 1 ? REF_PHOTO : REF_NONE;
}

static void preset_crops(scene *sc, const scene_options *o)
{
    int mw = 8 * scaled(250, o->scale), mh = mw / 2;
    sc->master_width = mw;
    int w = even(0.3 * mw), tall = mh, short_ = mh - even(0.3 * mh);
    for (int k = 0; k < 4; k++)
        sc->shots.push_back(crop_shot(mw, mw / 2 - w / 2 + long(k) * mw / 4, w, k % 2 ? short_ : tall));
    sphere_pano(sc, o->pano_scale);
}

static void preset_seam(scene *sc, const scene_options *o)
{
    int mw = 8 * scaled(250, o->scale), mh = mw / 2;
    sc->master_width = mw;
    int w = even(0.3 * mw), overlap = even(0.1 * mw), h = mh - even(0.5 * mh), both = 2 * w - overlap;
    sc->window_x = mw / 2 - both / 2;
    sc->window_y = (mh - h) / 2;
    sc->shots.push_back(crop_shot(mw, sc->window_x, w, h));
    sc->shots.push_back(crop_shot(mw, sc->window_x + w - overlap, w, h));
    sc->shots[1].gain = o->gain;
    sc->pano_projection = CAM_EQUIRECT;
    sc->pano_width = scaled(both, o->pano_scale);
    sc->pano_height = scaled(h, o->pano_scale);
    sc->pano_hfov = both * 360.0 / mw;
    sc->reference = o->pano_scale == 1 ? REF_WINDOW : REF_NONE;
    sc->texture_kind = TEXTURE_FLAT;
    sc->flat = 100;
}

static void preset_sphere(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(250, o->scale);
    rectilinear_sphere(sc, scaled(520, o->scale), scaled(780, o->scale), scaled(1000, o->scale));
    sphere_pano(sc, o->pano_scale);
}

static void preset_fisheye(scene *sc, const scene_options *o)
{
    static const double pitch[4] = {0, 1.5, -1, 0}, roll[4] = {0, 2, -3, 1};
    sc->master_width = 8 * scaled(250, o->scale);
    int w = scaled(1300, o->scale);
    for (int k = 0; k < 4; k++)
        sc->shots.push_back(camera_shot(CAM_FISHEYE, w, w, 180, 90 * k, pitch[k], roll[k]));
    sc->shots.push_back(camera_shot(CAM_FISHEYE, w, w, 180, 0, 90, 0));
    sc->shots.push_back(camera_shot(CAM_FISHEYE, w, w, 180, 0, -90, 0));
    sphere_pano(sc, o->pano_scale);
}

// Rows of portrait photos; neighbours in a row share 30% of their width.
static void rows_of_photos(scene *sc, int per_row, const std::vector<double> &pitches, int w, int h)
{
    double step = 360.0 / per_row;
    for (double p : pitches)
        for (int k = 0; k < per_row; k++)
            sc->shots.push_back(camera_shot(CAM_RECTILINEAR, w, h, step / 0.7, step * k, p, 0));
}

static void preset_big20(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(2000, o->scale);
    rows_of_photos(sc, 10, {24, -24}, scaled(3056, o->scale), scaled(4592, o->scale));
    sphere_pano(sc, o->pano_scale);
    sc->photo_format = FORMAT_JPEG;
}

// A lens correction and a centre shift of its own for every photo.
static void add_lens_terms(scene *sc, const scene_options *o)
{
    for (size_t k = 0; k < sc->shots.size(); k++) {
        const double t = double(k) / sc->shots.size();
        const double lens[5] = {0.002 * t, -0.008 + 0.004 * t, 0.003, scaled(6, o->scale) * (t - 0.5),
                                scaled(-4, o->scale) * (0.5 - t)};
        std::copy(lens, lens + 5, sc->shots[k].lens);
    }
}

// Photos as a camera takes them: uncompressed TIFF, each with a lens
// correction and a centre shift of its own.
static void preset_big20lens(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(2000, o->scale);
    rows_of_photos(sc, 10, {24, -24}, scaled(3240, o->scale), scaled(4320, o->scale));
    add_lens_terms(sc, o);
    sphere_pano(sc, o->pano_scale);
    sc->photo_format = FORMAT_TIFF;
}

// How most full spheres are shot: 8 around the horizon, 5 tilted up and 5
// down, one at the zenith and one at the nadir, 65-degree portrait photos
// with lens terms of their own, as uncompressed TIFF.
static void preset_sphere20lens(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(2000, o->scale);
    const int w = scaled(3240, o->scale), h = scaled(4320, o->scale);
    // A hand-held head: a little off its nominal places. The photos of the
    // tilted rows reach the pole (their top edge at 40.3 degrees) when
    // tilted by 49.7 degrees or more: three of the upper row, two of the lower.
    static const double up[5] = {50.5, 48, 51.5, 47.5, 50.2}, down[5] = {-51, -48.5, -50.8, -47, -49.2};
    static const double dyaw[8] = {0, 0.7, -1.1, 0.4, 1.3, -0.4, 0.9, -0.6};
    static const double roll[8] = {0, 1, -0.5, 0.3, 0.8, -1.2, 0.5, -0.3};
    for (int k = 0; k < 8; k++)
        sc->shots.push_back(camera_shot(CAM_RECTILINEAR, w, h, 65, 45 * k + dyaw[k], dyaw[7 - k], roll[k]));
    for (int k = 0; k < 5; k++)
        sc->shots.push_back(
            camera_shot(CAM_RECTILINEAR, w, h, 65, 72 * k + 18 + dyaw[k], up[k], roll[k + 3]));
    for (int k = 0; k < 5; k++)
        sc->shots.push_back(
            camera_shot(CAM_RECTILINEAR, w, h, 65, 72 * k + 54 + dyaw[k + 3], down[k], roll[k]));
    sc->shots.push_back(camera_shot(CAM_RECTILINEAR, w, h, 65, 0, 90, 0));
    sc->shots.push_back(camera_shot(CAM_RECTILINEAR, w, h, 65, 0, -90, 0));
    add_lens_terms(sc, o);
    sphere_pano(sc, o->pano_scale);
    sc->photo_format = FORMAT_TIFF;
}

static void preset_big24(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(2000, o->scale);
    rows_of_photos(sc, 8, {45, 0, -45}, scaled(1824, o->scale), scaled(2736, o->scale));
    sphere_pano(sc, o->pano_scale);
    sc->photo_format = FORMAT_JPEG;
}

static void preset_demo(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(200, o->scale);
    rectilinear_sphere(sc, scaled(400, o->scale), scaled(600, o->scale), scaled(800, o->scale));
    sphere_pano(sc, o->pano_scale);
    sc->photo_format = FORMAT_JPEG;
    sc->quality = 90;
    sc->pano_format = "JPEG q90";
}

// The photos' count per row for a horizontal field of view of v degrees:
// enough to close each row with 30% overlap at its edge nearest the equator.
static std::vector<int> row_counts(double v, std::vector<double> *pitches)
{
    const double vv = 0.75 * v, pi = std::acos(-1.0);
    const int rows = 1 + static_cast<int>(std::ceil(180 / (0.7 * vv)));
    std::vector<int> counts;
    pitches->clear();
    for (int i = 0; i < rows; i++) {
        double p = -90 + 180.0 * i / (rows - 1), edge = std::max(0.0, std::fabs(p) - vv / 2);
        pitches->push_back(p);
        counts.push_back(
            std::max(1, static_cast<int>(std::ceil(360 * std::cos(edge * pi / 180) / (0.7 * v)))));
    }
    return counts;
}

// Exactly o->photos photos: the narrowest field of view whose rows need no
// more, and the photos left over added to the rows nearest the equator.
static void preset_many(scene *sc, const scene_options *o)
{
    sc->master_width = 8 * scaled(2000, o->scale);
    std::vector<double> pitches;
    std::vector<int> counts;
    double v = 5;
    auto total = [&] { return std::accumulate(counts.begin(), counts.end(), 0); };
    for (counts = row_counts(v, &pitches); total() > o->photos && v < 120; counts = row_counts(v, &pitches))
        v *= 1.01;
    std::vector<size_t> by_width(counts.size());
    std::iota(by_width.begin(), by_width.end(), 0);
    std::stable_sort(by_width.begin(), by_width.end(),
                     [&](size_t a, size_t b) { return std::fabs(pitches[a]) < std::fabs(pitches[b]); });
    for (size_t k = 0; total() < o->photos; k++)
        counts[by_width[k % by_width.size()]]++;
    const int w = even(scaled(v / 360 * 8 * 2000, o->scale)), h = even(0.75 * w);
    for (size_t i = 0; i < counts.size(); i++)
        for (int k = 0; k < counts[i]; k++) {
            double step = 360.0 / counts[i];
            sc->shots.push_back(
                camera_shot(CAM_RECTILINEAR, w, h, v, step * (k + 0.5 * (i % 2)), pitches[i], 0));
        }
    sphere_pano(sc, o->pano_scale);
    sc->photo_format = FORMAT_JPEG;
}

bool make_scene(const std::string &preset, const scene_options *opt, scene *out)
{
    static const struct {
        const char *name;
        void (*make)(scene *, const scene_options *);
    } makers[] = {
        {"identity", preset_identity},   {"crops", preset_crops},     {"seam", preset_seam},
        {"sphere", preset_sphere},       {"fisheye", preset_fisheye}, {"big20", preset_big20},
        {"big20lens", preset_big20lens}, {"big24", preset_big24},     {"sphere20lens", preset_sphere20lens},
        {"demo", preset_demo},           {"many", preset_many}};
    for (const auto &m : makers)
        if (preset == m.name) {
            *out = scene{};
            out->texture_kind = TEXTURE_DETAIL;
            out->flat = 128;
            out->photo_format = FORMAT_PPM;
            out->quality = 95;
            out->pano_format = "TIFF";
            out->brackets = 1;
            m.make(out, opt);
            return true;
        }
    return false;
}

photo shot_photo(const shot *s)
{
    photo p;
    p.cam = make_camera(s->projection, s->width, s->height, s->hfov, s->yaw, s->pitch, s->roll);
    std::copy(s->lens, s->lens + 5, p.cam.lens);
    p.circular = s->circular;
    p.gain = s->gain;
    p.copy = s->copy;
    p.copy_x = s->copy_x;
    p.copy_y = s->copy_y;
    return p;
}

camera pano_camera(const scene *sc)
{
    return make_camera(sc->pano_projection, sc->pano_width, sc->pano_height, sc->pano_hfov, 0, 0, 0);
}

static bool inside(const photo *p, const double d[3])
{
    double px, py;
    const camera *c = &p->cam;
    if (!direction_to_pixel(c, d, &px, &py) || px < -0.5 || py < -0.5 || px > c->width - 0.5 ||
        py > c->height - 0.5)
        return false;
    return !p->circular ||
           std::hypot(px - (c->width / 2.0 - 0.5), py - (c->height / 2.0 - 0.5)) <= c->width / 2.0;
}

void scene_coverage(const scene *sc, double *covered, double *multiple)
{
    camera pano = pano_camera(sc);
    std::vector<photo> photos;
    for (const shot &s : sc->shots)
        photos.push_back(shot_photo(&s));
    int step = std::max(1, static_cast<int>(std::ceil(std::sqrt(double(pano.width) * pano.height / 1e6))));
    long n = 0, once = 0, twice = 0;
    for (int y = step / 2; y < pano.height; y += step)
        for (int x = step / 2; x < pano.width; x += step) {
            double d[3];
            int count = 0;
            if (pixel_to_direction(&pano, x, y, d))
                for (const photo &p : photos)
                    count += inside(&p, d);
            n++;
            once += count >= 1;
            twice += count >= 2;
        }
    *covered = double(once) / n;
    *multiple = double(twice) / n;
}
