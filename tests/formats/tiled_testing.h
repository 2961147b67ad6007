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

struct psd_layer {
    int32_t top, left, bottom, right;
    std::vector<int> ids;
    std::vector<uint64_t> lengths;
    std::vector<bytes> channels; // each without its compression word
};

// A PSD or PSB file as its bytes say; error names the first thing that did
// not add up.
struct psd_file {
    int version = 0, channels = 0, depth = 0, mode = 0;
    uint32_t width = 0, height = 0;
    std::vector<psd_layer> layers;
    bytes image_data; // the merged image section
    std::string error;
};

inline psd_file parse_psd(const std::string &path)
{
    const std::string b = read_file(path);
    psd_file f;
    size_t at = 0;
    auto get = [&](int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; i++, at++)
            v = v << 8 | (at < b.size() ? uint8_t(b[at]) : 0);
        return v;
    };
    auto take = [&](uint64_t n) {
        at += n;
        return bytes(b.begin() + std::min(at - n, b.size()), b.begin() + std::min(at, b.size()));
    };
    auto expect = [&](bool ok, const char *what) {
        if (!ok && f.error.empty())
            f.error = what;
    };
    expect(get(4) == 0x38425053, "signature");
    f.version = static_cast<int>(get(2));
    expect(get(6) == 0, "reserved bytes");
    f.channels = static_cast<int>(get(2));
    f.height = static_cast<uint32_t>(get(4)), f.width = static_cast<uint32_t>(get(4));
    f.depth = static_cast<int>(get(2)), f.mode = static_cast<int>(get(2));
    expect(get(4) == 0 && get(4) == 0, "colour mode data or image resources");
    const int word = f.version == 2 ? 8 : 4;
    const uint64_t section = get(word), info = section ? get(word) : 0;
    const size_t section_end = at - (section ? word : 0) + section, info_end = at + info;
    for (int i = section ? static_cast<int16_t>(get(2)) : 0; i > 0 && at < b.size(); i--) {
        psd_layer l;
        l.top = int32_t(get(4)), l.left = int32_t(get(4));
        l.bottom = int32_t(get(4)), l.right = int32_t(get(4));
        for (int c = static_cast<int>(get(2)); c > 0; c--) {
            l.ids.push_back(static_cast<int16_t>(get(2)));
            l.lengths.push_back(get(word));
        }
        expect(get(4) == 0x3842494d && get(4) == 0x6e6f726d, "blend signature");
        get(4);       // opacity, clipping, flags
        at += get(4); // mask, blending ranges, name
        f.layers.push_back(l);
    }
    for (psd_layer &l : f.layers)
        for (uint64_t length : l.lengths) {
            expect(get(2) == 0, "channel compression");
            l.channels.push_back(take(length - 2));
        }
    expect(at == info_end, "layer info length");
    if (section)
        take(get(4)); // global layer mask
    expect(at == section_end, "layer and mask length");
    expect(at <= b.size(), "truncated file");
    f.image_data = take(b.size() - std::min(at, b.size()));
    return f;
}

// The layers laid side by side into interleaved RGB rows in host order.
inline bytes composite(const psd_file &f)
{
    const size_t bpc = static_cast<size_t>(f.depth / 8), bpp = 3 * bpc;
    bytes out(f.width * f.height * bpp, 0);
    for (const psd_layer &l : f.layers)
        for (int y = l.top; y < l.bottom; y++)
            for (int x = l.left; x < l.right; x++)
                for (size_t c = 0, i = (y - l.top) * size_t(l.right - l.left) + (x - l.left);
                     c < l.channels.size() && c < 3; c++)
                    for (size_t k = 0; k < bpc; k++)
                        out[(y * size_t(f.width) + x) * bpp + c * bpc + k] =
                            l.channels[c][i * bpc + bpc - 1 - k];
    return out;
}
