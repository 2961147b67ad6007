// Nanoseconds per call of remap (four points) for typical image stacks, as
// the warper runs them: one destination row, four neighbouring pixels at a
// time.
#include "stitcher/geometry/stack.h"
#include "stitcher/script/parser.h"

#include <benchmark/benchmark.h>

namespace
{

const char *const pano = "p f2 w8000 h4000 v360";
const int row = 1024; // destination pixels per row, from the centre of the image

void run(benchmark::State &state, const char *oline)
{
    int wrap = 1;
    stack_data *sd = parser_create_stack_data(pano, oline, nullptr, 4000, &wrap);
    alignas(16) static vector_stack vs[RMPSIZE];
    vector_remapper(sd, vs);
    free_stack(sd);
    alignas(16) float xs[4], ys[4];
    for (auto _ : state) {
        for (int c = 0; c < row; c += 4) {
            for (int l = 0; l < 4; l++) {
                xs[l] = static_cast<float>(c + l - row / 2);
                ys[l] = -300.5f;
            }
            remap(xs, ys, vs);
            benchmark::DoNotOptimize(xs);
            benchmark::DoNotOptimize(ys);
        }
    }
    // One item is one call: four points.
    state.SetItemsProcessed(state.iterations() * (row / 4));
    state.counters["per_call"] =
        benchmark::Counter(static_cast<double>(state.iterations() * (row / 4)),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK_CAPTURE(run, rectilinear_to_equirect, "o f0 v60 y20 p10 r5");
BENCHMARK_CAPTURE(run, rectilinear_to_equirect_lens,
                  "o f0 v60 y20 p10 r5 a0.01 b-0.02 c0.005 d3 e-2 g0.001 t0.002");
BENCHMARK_CAPTURE(run, fisheye_to_equirect, "o f3 v180 y20 p10 r5");
BENCHMARK_CAPTURE(run, fisheye_to_equirect_lens,
                  "o f3 v180 y20 p10 r5 a0.01 b-0.02 c0.005 d3 e-2 g0.001 t0.002");
BENCHMARK_CAPTURE(run, equisolid_to_equirect, "o f5 v180 y20 p10 r5");
