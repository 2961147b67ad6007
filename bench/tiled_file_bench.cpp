// Throughput of the tiled output file against libtiff's striped writing: a
// 20,000 x 10,000 uchar_RGB panorama, either placed as forty 500-pixel-wide
// images through template_writer2 into the tiled file (the random-access
// output), or written top to bottom as whole rows through libtiff (the
// deferred output, uncompressed and as the TIFF writer does it, PackBits).
#include "stitcher/formats/tiff.h"
#include "stitcher/formats/tiled_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/template.h"
#include "stitcher/pipeline/tmp_image.h"

#include <benchmark/benchmark.h>

#include <string>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

namespace
{
const int width = 20000, height = 10000, strip = 500;
const int64_t panorama_bytes = int64_t(width) * height * 3;

std::string output(const char *name)
{
    std::string dir =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    return dir + "/zenthra_bench_" + std::to_string(getpid()) + "_" + name;
}

// 64 rows of n pixels that differ from row to row, so that PackBits has
// work to do; made before the clock runs.
std::vector<std::vector<unsigned char>> rows_of(int n)
{
    std::vector<std::vector<unsigned char>> rows(64, std::vector<unsigned char>(static_cast<size_t>(n) * 3));
    for (size_t y = 0; y < rows.size(); y++)
        for (size_t i = 0; i < rows[y].size(); i++)
            rows[y][i] = static_cast<unsigned char>(i * 7 + y * 13);
    return rows;
}

void tiled(benchmark::State &state)
{
    std::string name = output("tiled.tif");
    auto rows = rows_of(strip);
    set_verbose(0);
    for (auto _ : state) {
        tiled_output *to = open_tiled_tiff(name.c_str(), width, height, uchar_RGB, 0);
        for (int x = 0; x < width; x += strip) {
            irectangle image = {0, 0, strip, height};
            template_ *t = create_template(&image, nullptr, 0);
            cut_template(t, x, width);
            image_writer *iw = template_writer2(to->fd, strip, height, uchar_RGB, uchar_RGB, t,
                                                int64_t(x) * 3, to->row_bytes);
            for (int y = 0; y < height; y++)
                write_row(iw, rows[static_cast<size_t>(y + x) % rows.size()].data());
            close_image_writer(iw);
        }
        close_tiled_tiff(to);
        unlink(name.c_str());
    }
    state.SetBytesProcessed(state.iterations() * panorama_bytes);
}

void striped(benchmark::State &state, uint16_t compression)
{
    std::string name = output("striped.tif");
    auto rows = rows_of(width);
    for (auto _ : state) {
        TIFF *tif = TIFFOpen(name.c_str(), "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 128);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        for (int y = 0; y < height; y++)
            TIFFWriteScanline(tif, rows[static_cast<size_t>(y) % rows.size()].data(),
                              static_cast<uint32_t>(y), 0);
        TIFFClose(tif);
        unlink(name.c_str());
    }
    state.SetBytesProcessed(state.iterations() * panorama_bytes);
}
} // namespace

BENCHMARK(tiled)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(striped, libtiff_uncompressed, COMPRESSION_NONE)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK_CAPTURE(striped, libtiff_packbits, COMPRESSION_PACKBITS)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
