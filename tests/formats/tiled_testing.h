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
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<int> ids;
    std::vector<uint64_t> lengths;
    std::string name;
    std::vector<bytes> channels; // each without its compression word
};

// A PSD or PSB file as its bytes say; error names the first thing that did
// not add up.
struct psd_file {
    int version = 0, channels = 0, depth = 0, mode = 0, layer_count = 0;
    uint32_t width = 0, height = 0;
    std::vector<psd_layer> layers;
    bytes image_data; // the merged image section
    std::string error;
};

struct be_reader {
    const bytes &b;
    std::string *error;
    size_t at = 0;
    uint64_t get(int n)
    {
        uint64_t v = 0;
        for (int i = 0; i < n; i++)
            v = v << 8 | (at < b.size() ? b[at++] : (*error = "truncated file", 0));
        return v;
    }
    bytes take(uint64_t n)
    {
        bytes out(b.begin() + std::min(at, b.size()), b.begin() + std::min<uint64_t>(at + n, b.size()));
        if (out.size() < n)
            *error = "truncated file";
        at += n;
        return out;
    }
};

inline psd_file parse_psd(const std::string &path)
{
    std::string text = read_file(path);
    bytes b(text.begin(), text.end());
    psd_file f;
    be_reader r{b, &f.error};
    auto expect = [&](bool ok, const char *what) {
        if (!ok && f.error.empty())
            f.error = what;
    };
    expect(r.get(4) == 0x38425053, "signature");
    f.version = static_cast<int>(r.get(2));
    expect(r.get(6) == 0, "reserved bytes");
    f.channels = static_cast<int>(r.get(2));
    f.height = static_cast<uint32_t>(r.get(4));
    f.width = static_cast<uint32_t>(r.get(4));
    f.depth = static_cast<int>(r.get(2));
    f.mode = static_cast<int>(r.get(2));
    expect(r.get(4) == 0 && r.get(4) == 0, "colour mode data or image resources");
    int word = f.version == 2 ? 8 : 4;
    uint64_t section = r.get(word);
    size_t section_start = r.at;
    if (section > 0) {
        uint64_t info = r.get(word);
        size_t info_start = r.at;
        f.layer_count = static_cast<int16_t>(r.get(2));
        for (int i = 0; i < f.layer_count && f.error.empty(); i++) {
            psd_layer l;
            l.top = static_cast<int32_t>(r.get(4)), l.left = static_cast<int32_t>(r.get(4));
            l.bottom = static_cast<int32_t>(r.get(4)), l.right = static_cast<int32_t>(r.get(4));
            for (int c = static_cast<int>(r.get(2)); c > 0; c--) {
                l.ids.push_back(static_cast<int16_t>(r.get(2)));
                l.lengths.push_back(r.get(word));
            }
            bytes blend = r.take(12);
            expect(std::string(blend.begin(), blend.begin() + 8) == "8BIMnorm", "blend signature");
            uint64_t extra = r.get(4);
            size_t extra_start = r.at;
            r.take(r.get(4)); // mask
            r.take(r.get(4)); // blending ranges
            bytes name = r.take(r.get(1));
            l.name.assign(name.begin(), name.end());
            r.at = extra_start + extra;
            f.layers.push_back(l);
        }
        for (psd_layer &l : f.layers)
            for (uint64_t length : l.lengths) {
                expect(r.get(2) == 0, "channel compression");
                l.channels.push_back(r.take(length - 2));
            }
        expect(r.at == info_start + info, "layer info length");
        r.take(r.get(4)); // global layer mask
        expect(r.at == section_start + section, "layer and mask length");
    }
    f.image_data = r.take(b.size() - std::min(r.at, b.size()));
    return f;
}

// The layers laid side by side into interleaved RGB rows in host order.
inline bytes composite(const psd_file &f)
{
    size_t bpc = static_cast<size_t>(f.depth / 8), bpp = 3 * bpc;
    bytes out(f.width * f.height * bpp, 0);
    for (const psd_layer &l : f.layers)
        for (int y = l.top; y < l.bottom; y++)
            for (int x = l.left; x < l.right; x++)
                for (size_t c = 0; c < 3 && c < l.channels.size(); c++)
                    for (size_t k = 0; k < bpc; k++)
                        out[(y * size_t(f.width) + x) * bpp + c * bpc + k] =
                            l.channels[c][((y - l.top) * size_t(l.right - l.left) + (x - l.left)) * bpc +
                                          bpc - 1 - k];
    return out;
}
