// The tiled output file: strips written into it, and a parser of its own
// for its PSD layout.
#pragma once
#include "format_testing.h"
#include "placement_testing.h"
#include "stitcher/formats/tiled_file.h"

#include <algorithm>

// Strips of the panorama written in a shuffled order, each with its own
// rows, so that some pixels are never written; returns the expected rows.
inline bytes write_strips(tiled_output *to, uint32_t in, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<irectangle> strips;
    for (int x = 0, w; x < to->width; x += w) {
        w = std::min(to->width - x, 1 + static_cast<int>(rng() % (to->width / 3 + 1)));
        int y = rng() % (to->height / 4 + 1);
        strips.push_back({x, y, w, to->height - y - static_cast<int>(rng() % (to->height / 4 + 1))});
    }
    std::shuffle(strips.begin(), strips.end(), rng);
    bytes want(static_cast<size_t>(to->row_bytes * to->height), 0);
    uint32_t stored = static_cast<uint32_t>(to->pixformat);
    for (const irectangle &r : strips) {
        bytes image = sample_image(r.width, r.height, in, rng());
        write_image(placed_writer(to->fd, r, {}, to->width, 0, in, stored, to->header), image);
        place_by_hand(want, image, r, {}, to->width, 0, in, stored, 0);
    }
    return want;
}

// ---- PSD and PSB ----

// The version and the channel ids of every layer of a PSD or PSB file.
struct psd_file {
    int version = 0;
    std::vector<std::vector<int>> layer_ids;
};

inline psd_file parse_psd(const std::string &path)
{
    const std::string b = read_file(path);
    psd_file f;
    size_t at = 4; // past the signature
    auto get = [&](int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; i++, at++)
            v = v << 8 | (at < b.size() ? uint8_t(b[at]) : 0);
        return v;
    };
    f.version = static_cast<int>(get(2));
    at += 28; // reserved, channels, size, depth, mode, two empty sections
    const int word = f.version == 2 ? 8 : 4;
    if (get(word) == 0)
        return f;
    at += word; // layer info length
    for (int i = static_cast<int16_t>(get(2)); i > 0 && at < b.size(); i--) {
        at += 16; // bounds
        std::vector<int> ids;
        for (int c = static_cast<int>(get(2)); c > 0; c--, at += word)
            ids.push_back(static_cast<int16_t>(get(2)));
        at += 12;     // blend signature and mode, opacity, clipping, flags
        at += get(4); // mask, blending ranges, name
        f.layer_ids.push_back(ids);
    }
    return f;
}

// The layers merged onto black by ImageMagick, as interleaved RGB rows in
// host order: a layer's alpha channel that is not opaque darkens them.
inline bytes merged_layers(const std::string &path, int depth)
{
    return to_bytes(sh("convert " + shq(path) +
                       " -delete 0 -background black -layers merge +repage -alpha off "
                       "-depth " +
                       std::to_string(depth) + " -endian LSB rgb:-")
                        .out);
}
