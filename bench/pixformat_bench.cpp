// Throughput of the main row converters, vector path against scalar twin.
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace
{
const int row = 10000;

void run(benchmark::State &state, pix_converter conv, int src_bpp, int dst_bpp)
{
    unsigned char *src = static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(row) * src_bpp));
    unsigned char *dst = static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(row) * dst_bpp));
    for (int i = 0; i < row * src_bpp; i++)
        src[i] = static_cast<unsigned char>(i * 7);
    if (src_bpp == 16) // floats on 0..255
        for (int i = 0; i < row * 4; i++) {
            float v = static_cast<float>(i % 256) + 0.25f;
            memcpy(src + 4 * i, &v, 4);
        }
    for (auto _ : state) {
        conv(src, dst, row);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * row);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(row) * (src_bpp + dst_bpp));
    aligned_free(src);
    aligned_free(dst);
}
} // namespace

BENCHMARK_CAPTURE(run, uchar_rgb_to_float4, uchar_rgb_to_float4, 3, 16);
BENCHMARK_CAPTURE(run, uchar_rgb_to_float4_scalar, uchar_rgb_to_float4_scalar, 3, 16);
BENCHMARK_CAPTURE(run, float4_to_uchar_rgba, float4_to_uchar_rgba, 16, 4);
BENCHMARK_CAPTURE(run, float4_to_uchar_rgba_scalar, float4_to_uchar_rgba_scalar, 16, 4);
BENCHMARK_CAPTURE(run, ushort_rgba_to_float4, ushort_rgba_to_float4, 8, 16);
BENCHMARK_CAPTURE(run, ushort_rgba_to_float4_scalar, ushort_rgba_to_float4_scalar, 8, 16);
BENCHMARK_CAPTURE(run, uchar_rgba_to_float4, uchar_rgba_to_float4, 4, 16);
BENCHMARK_CAPTURE(run, uchar_rgba_to_float4_scalar, uchar_rgba_to_float4_scalar, 4, 16);
BENCHMARK_CAPTURE(run, float4_to_uchar_rgb, float4_to_uchar_rgb, 16, 3);
