// Megapixels per second of the warper: a rectilinear source of 5000 x 3334
// pixels in an equirectangular panorama, on a 10,000-pixel-wide destination,
// a circular fisheye of 1000 x 1000 pixels over 180 degrees warped whole,
// rim and all, into a 2000 x 1000 sphere, and one photo of scenegen's big20
// scene (14 megapixels, pitched 24 degrees up) warped whole into its
// 16,000 x 8,000 panorama. Then the cost of handing a row to
// the row threads: starting and joining them for every row against workers
// that live as long as the warper.
//
// Threaded figures are wall-clock rates; pin the program to the cores it may
// use (taskset -c 0-7 build/bench/warper_bench).
#include "stitcher/geometry/threadreader.h"
#include "stitcher/geometry/warper.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/script/parser.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

namespace
{

struct bench_source {
    loaded_image li{};
    stack_data *stack = nullptr;
    irectangle dest;
    int32_t pano[2];
    int circle;
    bench_source(int src_w, int src_h, const char *pline, const char *oline, irectangle dest_rect, int w,
                 int h, int is_circle)
        : dest(dest_rect), pano{w, h}, circle(is_circle)
    {
        li = {1, src_w, src_h, uchar_RGBA, static_cast<uint64_t>(src_w) * src_h * 4, nullptr, 100};
        li.buffer = aligned_malloc(li.size);
        std::mt19937 rng(1);
        uint32_t *p = static_cast<uint32_t *>(li.buffer);
        for (size_t i = 0; i < li.size / 4; i++)
            p[i] = rng() | 0xff000000u;
        int wrap = 0;
        stack = parser_create_stack_data(pline, oline, nullptr, src_w, &wrap);
    }
    ~bench_source()
    {
        aligned_free(li.buffer);
        free_stack(stack);
    }
};

// 100 degrees of image over 90 of panorama: every destination pixel is covered.
bench_source &rectilinear()
{
    static bench_source s(5000, 3334, "p f2 w10000 h5000 v90", "o f0 v100 y0 p0 r2", {0, 2200, 10000, 600},
                          10000, 5000, 0);
    return s;
}

// The fisheye's whole rectangle, from the pole to the equator and back.
bench_source &fisheye()
{
    static bench_source s(1000, 1000, "p f2 w2000 h1000 v360", "o f2 v180 y0 p0 r2", {466, 0, 1068, 1000},
                          2000, 1000, 1);
    return s;
}

// The first photo of the big20 scene and its destination rectangle.
bench_source &big20()
{
    static bench_source s(3056, 4592, "p f2 w16000 h8000 v360", "o f0 v51.42857142857143 y0 p24 r0",
                          {6317, 1338, 3366, 3191}, 16000, 8000, 0);
    return s;
}

// rows: rows warped per iteration. Whole rectangles weigh rows of different
// cost (the poles and the equator of the fisheye) alike, however many
// iterations run.
void run(benchmark::State &state, bench_source &s, int code, int rows)
{
    const irectangle src_rect = {0, 0, s.li.width, s.li.height};
    set_interpolator(code);
    set_num_warp_threads(static_cast<int>(state.range(0)));
    image_reader *r = warper(&s.li, src_rect, s.dest, s.pano, s.stack, s.circle);
    int row = 0;
    for (auto _ : state) {
        for (int i = 0; i < rows; i++) {
            if (row == s.dest.height) {
                close_image_reader(r);
                r = warper(&s.li, src_rect, s.dest, s.pano, s.stack, s.circle);
                row = 0;
            }
            benchmark::DoNotOptimize(read_row(r, row++, nullptr));
        }
    }
    close_image_reader(r);
    set_num_warp_threads(1);
    const double rows_read = static_cast<double>(state.iterations()) * rows;
    state.counters["Mpix/s"] =
        benchmark::Counter(rows_read * s.dest.width / 1e6, benchmark::Counter::kIsRate);
    state.counters["us/row"] =
        benchmark::Counter(rows_read / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void warp(benchmark::State &state, int code) { run(state, rectilinear(), code, 1); }
void warp_fisheye(benchmark::State &state, int code) { run(state, fisheye(), code, fisheye().dest.height); }
void warp_big20(benchmark::State &state, int code) { run(state, big20(), code, big20().dest.height); }

// What starting the extra threads of one row and joining them costs.
void *nothing(void *) { return nullptr; }

void spawn_and_join(benchmark::State &state)
{
    const int extra = static_cast<int>(state.range(0)) - 1;
    zthread *threads[64];
    for (auto _ : state) {
        for (int i = 0; i < extra; i++)
            zthread_create(&threads[i], nullptr, nothing, nullptr);
        for (int i = 0; i < extra; i++)
            zthread_join(threads[i], nullptr);
    }
}

// The same hand-over through the threaded reader, over shares that do
// nothing: what the persistent workers cost per row.
struct empty_share {
    int32_t size, thread_index, thread_count;
};

void *empty_read(image_reader *ir, int, void *) { return ir->data; }
int empty_close(void *data)
{
    aligned_free(data);
    return 0;
}

void hand_over(benchmark::State &state)
{
    empty_share *e = static_cast<empty_share *>(aligned_malloc(sizeof(empty_share)));
    *e = {sizeof(empty_share), 0, 1};
    image_reader *base = create_image_reader(1, e, 1, 1000000, float_RGBA, empty_read, empty_close);
    image_reader *tr = thread_reader(base, static_cast<int>(state.range(0)));
    int row = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(read_row(tr, row++, nullptr));
    close_image_reader(tr);
}

} // namespace

// 1 and 8 threads; poly3 also in between, for the curve.
void one_and_eight(benchmark::internal::Benchmark *b)
{
    b->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
}

void scaling(benchmark::internal::Benchmark *b)
{
    for (int n : {1, 2, 4, 6, 7, 8})
        b->Arg(n);
    b->UseRealTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK_CAPTURE(warp, nearest, INTERP_NN)->Apply(one_and_eight);
BENCHMARK_CAPTURE(warp, bilinear, INTERP_BILINEAR)->Apply(one_and_eight);
BENCHMARK_CAPTURE(warp, poly3, INTERP_POLY3)->Apply(scaling);
BENCHMARK_CAPTURE(warp, spline36, INTERP_SPLINE36)->Apply(one_and_eight);
BENCHMARK_CAPTURE(warp, sinc256, INTERP_SINC256)->Apply(one_and_eight);
BENCHMARK_CAPTURE(warp_fisheye, poly3, INTERP_POLY3)->Apply(one_and_eight);
BENCHMARK_CAPTURE(warp_fisheye, spline36, INTERP_SPLINE36)->Apply(one_and_eight);
BENCHMARK_CAPTURE(warp_big20, poly3, INTERP_POLY3)->Apply(scaling);
BENCHMARK(spawn_and_join)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(hand_over)->Arg(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
