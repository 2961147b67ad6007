// Throughput of a whole multiresolution blend, single-threaded: the blender
// input, the Laplacian pyramids of both images, the Gaussian pyramid of the
// seam mask, the mixing and the reconstruction, read top to bottom.
#include "stitcher/blend/blender_input.h"
#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/seam.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace
{
const int width = 4000, height = 3000;

// A few precomputed rows stand in for the warper, so that the figure is the
// blend's own: a covers the left two thirds, b the right two thirds.
struct source {
    std::vector<std::vector<float>> rows;
};

source make_source(bool is_a)
{
    source s;
    for (int k = 0; k < 8; k++) {
        std::vector<float> row(static_cast<size_t>(width) * 4);
        for (int x = 0; x < width; x++) {
            bool covered = is_a ? x < width * 2 / 3 + k : x >= width / 3 - k;
            row[4 * x + 0] = static_cast<float>((x * 7 + k * 31) % 256);
            row[4 * x + 1] = static_cast<float>((x / 3 + k) % 256);
            row[4 * x + 2] = is_a ? 60.0f : 190.0f;
            row[4 * x + 3] = covered ? 255.0f : 0.0f;
        }
        s.rows.push_back(std::move(row));
    }
    return s;
}

void *source_read(image_reader *ir, int n, void *buf)
{
    const source *s = static_cast<const source *>(ir->data);
    memcpy(buf, s->rows[static_cast<size_t>(n) % s->rows.size()].data(), static_cast<size_t>(width) * 16);
    return buf;
}

void blend(benchmark::State &state, int mode)
{
    const int levels = 8;
    set_seamer(mode);
    source sa = make_source(true), sb = make_source(false);
    std::vector<float> row;
    for (auto _ : state) {
        image_reader *s0 = create_image_reader(1, &sa, width, height, float_RGBA, source_read, nullptr);
        image_reader *s1 = create_image_reader(1, &sb, width, height, float_RGBA, source_read, nullptr);
        image_reader *a, *b, *m;
        create_blender_images(&a, &b, &m, s0, s1, levels);
        image_reader *r = blend_pyramids(a, b, m, levels);
        row.resize(static_cast<size_t>(r->width) * 4);
        for (int y = 0; y < r->height; y++)
            read_row(r, y, row.data());
        benchmark::DoNotOptimize(row.data());
        close_image_reader(r);
    }
    double pixels = static_cast<double>(width) * height;
    state.counters["Mpix/s"] = benchmark::Counter(pixels * 1e-6 * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pixels));
}
} // namespace

BENCHMARK_CAPTURE(blend, centre_seam_4000x3000_8_levels, 0)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_CAPTURE(blend, even_mix_4000x3000_8_levels, 2)->Unit(benchmark::kMillisecond)->MinTime(3);
