// Brute-force references for temporary images and for images placed into a
// panorama file: pixel by pixel, without templates.
#pragma once
#include "chain_testing.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/template.h"
#include "stitcher/pipeline/tmp_image.h"

#include <cstring>
#include <random>
#include <vector>

// A test image whose samples all differ; float samples stay on 0..255.
inline bytes sample_image(int width, int height, uint32_t fmt, unsigned seed)
{
    size_t n = static_cast<size_t>(width) * height * get_bytes_per_pixel(fmt);
    bytes b(n);
    std::mt19937 rng(seed);
    if (fmt == float_RGBA || fmt == float_G) {
        for (size_t i = 0; i < n; i += 4) {
            float v = static_cast<float>(rng() % 1024) / 4.0f;
            memcpy(&b[i], &v, 4);
        }
    } else {
        for (auto &v : b)
            v = static_cast<unsigned char>(rng());
    }
    return b;
}

inline bool inside(int x, int y, const irectangle &r)
{
    return x >= r.x && x < int64_t(r.x) + r.width && y >= r.y && y < int64_t(r.y) + r.height;
}

// Inside ext and outside every rectangle.
inline bool covered(int x, int y, const irectangle &ext, const std::vector<irectangle> &rects)
{
    if (!inside(x, y, ext))
        return false;
    for (const irectangle &r : rects)
        if (inside(x, y, r))
            return false;
    return true;
}

// Pixel (x, y) of an image in `from`, converted to `to`.
inline bytes pixel_as(const bytes &image, int width, int x, int y, uint32_t from, uint32_t to)
{
    size_t in = get_bytes_per_pixel(from);
    bytes out(get_bytes_per_pixel(to));
    const unsigned char *p = &image[(static_cast<size_t>(y) * width + x) * in];
    if (from == to)
        memcpy(out.data(), p, in);
    else
        get_pix_converter(from, to)(p, out.data(), 1);
    return out;
}

// What template_writer2 is given for an image at rect of a panorama
// pano_width wide: the template, the base offset and the stride, as the
// panorama file computes them.
inline image_writer *placed_writer(int fdflags, const irectangle &rect, const std::vector<irectangle> &tiles,
                                   int pano_width, int wrap, uint32_t in, uint32_t stored, int64_t header)
{
    irectangle whole = {0, 0, rect.width, rect.height};
    template_ *t = create_template(&whole, tiles.data(), static_cast<int>(tiles.size()));
    int x = rect.x;
    if (wrap > 0) {
        x = (x % wrap + wrap) % wrap; // template_writer2 takes x in [0, wrap)
        wrap_template(t, x, pano_width);
    } else {
        cut_template(t, x, pano_width);
    }
    int64_t row_bytes = int64_t(pano_width) * get_bytes_per_pixel(stored);
    int64_t base = rect.y * row_bytes + header + int64_t(x) * get_bytes_per_pixel(stored);
    return template_writer2(fdflags, rect.width, rect.height, in, stored, t, base, row_bytes);
}

// The same placement pixel by pixel into a flat file image (header bytes,
// then the panorama's rows); later calls overwrite earlier ones.
inline void place_by_hand(bytes &file, const bytes &image, const irectangle &rect,
                          const std::vector<irectangle> &tiles, int pano_width, int wrap, uint32_t in,
                          uint32_t stored, int64_t header)
{
    size_t bpp = get_bytes_per_pixel(stored);
    for (int j = 0; j < rect.height; j++)
        for (int i = 0; i < rect.width; i++) {
            irectangle whole = {0, 0, rect.width, rect.height};
            if (!covered(i, j, whole, tiles))
                continue;
            int64_t c = int64_t(rect.x) + i;
            if (wrap > 0)
                c = (c % pano_width + pano_width) % pano_width;
            else if (c < 0 || c >= pano_width)
                continue;
            bytes p = pixel_as(image, rect.width, i, j, in, stored);
            size_t at = static_cast<size_t>(header + (int64_t(rect.y) + j) * pano_width * int64_t(bpp) +
                                            c * int64_t(bpp));
            std::copy(p.begin(), p.end(), file.begin() + static_cast<ptrdiff_t>(at));
        }
}

// Writes every row of the image through the writer and closes it.
inline void write_image(image_writer *iw, bytes image)
{
    size_t len = image_row_length(iw);
    for (int y = 0; y < iw->height; y++)
        write_row(iw, image.data() + len * y);
    close_image_writer(iw);
}
