// Brute-force references for temporary images and for images placed into a
// panorama file: pixel by pixel, without templates.
#pragma once
#include "chain_testing.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/template.h"
#include "stitcher/pipeline/tmp_image.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

// A test image whose samples all differ; float samples stay on 0..255.
inline bytes sample_image(int width, int height, uint32_t fmt, unsigned seed)
{
    bytes b(static_cast<size_t>(width) * height * get_bytes_per_pixel(fmt));
    std::mt19937 rng(seed);
    const bool floats = fmt == float_RGBA || fmt == float_G;
    for (size_t i = 0; i < b.size(); i += floats ? 4 : 1) {
        const unsigned r = rng();
        const float v = static_cast<float>(r % 1024) / 4.0f;
        if (floats)
            memcpy(&b[i], &v, 4);
        else
            b[i] = static_cast<unsigned char>(r);
    }
    return b;
}

// Inside ext and outside every rectangle.
inline bool covered(int x, int y, const irectangle &ext, const std::vector<irectangle> &rects)
{
    auto inside = [x, y](const irectangle &r) {
        return x >= r.x && x < int64_t(r.x) + r.width && y >= r.y && y < int64_t(r.y) + r.height;
    };
    return inside(ext) && std::none_of(rects.begin(), rects.end(), inside);
}

// Pixel (x, y) of an image in `from`, converted to `to`.
inline bytes pixel_as(const bytes &image, int width, int x, int y, uint32_t from, uint32_t to)
{
    bytes out(get_bytes_per_pixel(to));
    const unsigned char *p = &image[(static_cast<size_t>(y) * width + x) * get_bytes_per_pixel(from)];
    if (from == to)
        memcpy(out.data(), p, out.size());
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
    const irectangle whole = {0, 0, rect.width, rect.height};
    const int64_t bpp = get_bytes_per_pixel(stored);
    for (int j = 0; j < rect.height; j++)
        for (int i = 0; i < rect.width; i++) {
            int64_t c = int64_t(rect.x) + i;
            c = wrap > 0 ? (c % pano_width + pano_width) % pano_width : c;
            if (!covered(i, j, whole, tiles) || c < 0 || c >= pano_width)
                continue;
            bytes p = pixel_as(image, rect.width, i, j, in, stored);
            std::copy(p.begin(), p.end(),
                      file.begin() + header + ((int64_t(rect.y) + j) * pano_width + c) * bpp);
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
