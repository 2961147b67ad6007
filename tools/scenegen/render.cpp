#include "tools/scenegen/render.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

void parallel_for(int count, int threads, const std::function<void(int)> &fn)
{
    std::atomic<int> next{0};
    auto work = [&] {
        for (int i; (i = next.fetch_add(1)) < count;)
            fn(i);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::min(threads, count); t++)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();
}

static unsigned char to_byte(double v)
{
    return static_cast<unsigned char>(std::lround(std::clamp(v, 0.0, 255.0)));
}

master_image make_master(const texture *t, int width, int threads)
{
    master_image m{width, width / 2, {}};
    m.rgb.resize(size_t(m.width) * m.height * 3);
    camera eq = make_camera(CAM_EQUIRECT, m.width, m.height, 360, 0, 0, 0);
    parallel_for(m.height, threads, [&](int y) {
        unsigned char *row = &m.rgb[size_t(y) * m.width * 3];
        const std::vector<const texture_disc *> discs =
            discs_near(t, (y - (m.height / 2.0 - 0.5)) / eq.scale);
        for (int x = 0; x < m.width; x++) {
            double d[3], rgb[3];
            pixel_to_direction(&eq, x, y, d);
            texture_color(t, d, rgb, &discs);
            for (int c = 0; c < 3; c++)
                row[3 * x + c] = to_byte(rgb[c]);
        }
    });
    return m;
}

static void cubic_weights(double t, double w[4])
{
    // Keys' kernel at distances 1 + t, t, 1 - t, 2 - t.
    const double a = -0.5;
    double s = 1 + t, u = 1 - t, v = 2 - t;
    w[0] = ((a * s - 5 * a) * s + 8 * a) * s - 4 * a;
    w[1] = ((a + 2) * t - (a + 3)) * t * t + 1;
    w[2] = ((a + 2) * u - (a + 3)) * u * u + 1;
    w[3] = ((a * v - 5 * a) * v + 8 * a) * v - 4 * a;
}

static void sum_taps(const unsigned char *const tap[4][4], double fx, double fy, double rgb[3])
{
    double wx[4], wy[4];
    cubic_weights(fx, wx);
    cubic_weights(fy, wy);
    for (int c = 0; c < 3; c++) {
        double s = 0;
        for (int j = 0; j < 4; j++)
            s += wy[j] *
                 (wx[0] * tap[j][0][c] + wx[1] * tap[j][1][c] + wx[2] * tap[j][2][c] + wx[3] * tap[j][3][c]);
        rgb[c] = s;
    }
}

void sample_master(const master_image *m, double u, double v, double rgb[3])
{
    double x0 = std::floor(u), y0 = std::floor(v);
    long w = m->width, cols[2][4];
    for (int i = 0; i < 4; i++) {
        // u lies within a pixel or two of 0..w, so one turn puts a column right.
        long col = std::lround(x0) - 1 + i;
        col = col < 0 ? col + w : col >= w ? col - w : col;
        cols[0][i] = col;
        cols[1][i] = col < w / 2 ? col + w / 2 : col - w / 2;
    }
    const unsigned char *tap[4][4];
    for (int j = 0; j < 4; j++) {
        long row = std::lround(y0) - 1 + j;
        int over = row < 0 || row >= m->height;
        row = row < 0 ? -1 - row : row >= m->height ? 2L * m->height - 1 - row : row;
        const unsigned char *base = &m->rgb[size_t(row) * w * 3];
        for (int i = 0; i < 4; i++)
            tap[j][i] = base + 3 * cols[over][i];
    }
    sum_taps(tap, u - x0, v - y0, rgb);
}

int supersampling(const photo *p, int master_width)
{
    if (p->copy)
        return 1;
    // Photo pixels per master pixel at the photo's centre, where a
    // rectilinear or fisheye photo has its largest pixels.
    double ratio = master_width / (2 * M_PI * p->cam.scale);
    return std::max(1, static_cast<int>(std::ceil(ratio - 0.05)));
}

static bool outside_circle(const photo *p, int x, int y)
{
    double dx = x - (p->cam.width / 2.0 - 0.5), dy = y - (p->cam.height / 2.0 - 0.5);
    return p->circular && dx * dx + dy * dy > p->cam.width * p->cam.width / 4.0;
}

void render_photo_row(const master_image *m, const photo *p, int subsamples, int y, unsigned char *row)
{
    camera eq = make_camera(CAM_EQUIRECT, m->width, m->height, 360, 0, 0, 0);
    for (int x = 0; x < p->cam.width; x++) {
        double sum[3] = {0, 0, 0};
        if (p->copy) {
            const unsigned char *s =
                &m->rgb[(size_t(p->copy_y + y) * m->width + (p->copy_x + x) % m->width) * 3];
            for (int c = 0; c < 3; c++)
                sum[c] = s[c];
        } else if (!outside_circle(p, x, y)) {
            for (int j = 0; j < subsamples; j++)
                for (int i = 0; i < subsamples; i++) {
                    double d[3], u, v, rgb[3];
                    double sx = x + (i + 0.5) / subsamples - 0.5, sy = y + (j + 0.5) / subsamples - 0.5;
                    if (!pixel_to_direction(&p->cam, sx, sy, d) || !direction_to_pixel(&eq, d, &u, &v))
                        continue;
                    sample_master(m, u, v, rgb);
                    for (int c = 0; c < 3; c++)
                        sum[c] += rgb[c] / (subsamples * subsamples);
                }
        }
        for (int c = 0; c < 3; c++)
            row[3 * x + c] = to_byte(sum[c] * p->gain);
    }
}

std::vector<unsigned char> render_photo(const master_image *m, const photo *p, int threads)
{
    std::vector<unsigned char> pixels(size_t(p->cam.width) * p->cam.height * 3);
    int n = supersampling(p, m->width);
    parallel_for(p->cam.height, threads,
                 [&](int y) { render_photo_row(m, p, n, y, &pixels[size_t(y) * p->cam.width * 3]); });
    return pixels;
}

// Distance of a photo position to the nearest place where a tap would leave
// the photo's pixels (or its circle); negative outside.
static double tap_margin(const photo *p, double px, double py)
{
    const camera *c = &p->cam;
    double d = std::min({px - 1, c->width - 2 - px, py - 1, c->height - 2 - py});
    if (p->circular)
        d = std::min(d, c->width / 2.0 - 3.5 -
                            std::hypot(px - (c->width / 2.0 - 0.5), py - (c->height / 2.0 - 0.5)));
    return d;
}

void reproject_row(const camera *pano, const std::vector<photo> &photos,
                   const std::vector<const unsigned char *> &pixels, int y, unsigned char *rgba)
{
    for (int x = 0; x < pano->width; x++) {
        double d[3], best = -1, bx = 0, by = 0;
        int k = -1;
        if (pixel_to_direction(pano, x, y, d))
            for (size_t i = 0; i < photos.size(); i++) {
                double px, py, margin;
                if (direction_to_pixel(&photos[i].cam, d, &px, &py) &&
                    (margin = tap_margin(&photos[i], px, py)) >= 0 && margin > best) {
                    best = margin;
                    k = static_cast<int>(i);
                    bx = px;
                    by = py;
                }
            }
        unsigned char *out = rgba + 4 * x;
        out[0] = out[1] = out[2] = out[3] = 0;
        if (k < 0)
            continue;
        const camera *c = &photos[k].cam;
        double x0 = std::floor(bx), y0 = std::floor(by), rgb[3];
        // At a margin of exactly 0 the last tap lies one past the photo, with
        // weight 0.
        const unsigned char *tap[4][4];
        for (int j = 0; j < 4; j++)
            for (int i = 0; i < 4; i++)
                tap[j][i] = pixels[k] + (size_t(std::min(int(y0) - 1 + j, c->height - 1)) * c->width +
                                         size_t(std::min(int(x0) - 1 + i, c->width - 1))) *
                                            3;
        sum_taps(tap, bx - x0, by - y0, rgb);
        for (int ch = 0; ch < 3; ch++)
            out[ch] = to_byte(rgb[ch]);
        out[3] = 255;
    }
}
