// Writes the seed corpora of the reader fuzz targets into the folder given
// (the repository's tests/fuzz/corpus): small files made by our own writers,
// by libtiff in the layouts and codecs that sources come in, and by hand for
// damaged and hostile headers.
//   build/tests/fuzz/make_fuzz_seeds tests/fuzz/corpus
#include "stitcher/blend/color_image.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/packbits.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/pixformat.h"
#include "tests/support/tiff_craft.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

static void save(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Samples that differ from their neighbours.
static std::vector<unsigned char> pattern(size_t n)
{
    std::vector<unsigned char> b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<unsigned char>(i * 37 + i / 7 + 11);
    return b;
}

// Writes the pixels, or the pattern when none are given, and closes the writer.
static void write_image(image_writer *iw, std::vector<unsigned char> pixels = {})
{
    size_t len = static_cast<size_t>(iw->width) * get_bytes_per_pixel(iw->pixformat);
    if (pixels.empty())
        pixels = pattern(len * static_cast<size_t>(iw->height));
    for (int y = 0; y < iw->height; y++)
        write_row(iw, pixels.data() + len * y);
    close_image_writer(iw);
}

// Files written by libtiff itself, in layouts our writer never makes.
struct libtiff_layout {
    const char *name;
    uint32_t w, h;
    uint16_t samples, bits, photometric, compression;
    uint32_t tile; // 0 for strips
    bool planar;
    uint16_t orientation;
};

static void libtiff_file(const fs::path &dir, const libtiff_layout &l)
{
    TIFF *tif = TIFFOpen((dir / l.name).c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, l.w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, l.h);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, l.samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, l.compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, l.orientation);
    static const uint16_t unassociated[1] = {EXTRASAMPLE_UNASSALPHA};
    if (l.samples == 4 && l.photometric == PHOTOMETRIC_RGB)
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, unassociated);
    std::vector<uint16_t> map(size_t(1) << l.bits);
    for (size_t i = 0; i < map.size(); i++)
        map[i] = static_cast<uint16_t>(i * 4099);
    if (l.photometric == PHOTOMETRIC_PALETTE)
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
    if (l.tile) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, l.tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, l.tile);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 2);
    }
    const tmsize_t size = l.tile ? TIFFTileSize(tif) : TIFFStripSize(tif);
    std::vector<unsigned char> data = pattern(static_cast<size_t>(size));
    for (uint32_t k = 0; k < (l.tile ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif)); k++)
        (l.tile ? TIFFWriteEncodedTile : TIFFWriteEncodedStrip)(tif, k, data.data(), size);
    TIFFClose(tif);
}

static void tiff_seeds(const fs::path &dir)
{
    write_image(tiff_writer((dir / "rgb-8b-13x5.tif").c_str(), 13, 5, uchar_RGB, 0));
    write_image(tiff_writer((dir / "rgba-16b-7x3.tif").c_str(), 7, 3, ushort_RGBA, 0));
    write_image(tiff_writer((dir / "rgb-8b-6x4.btf").c_str(), 6, 4, uchar_RGB, 1));
    const libtiff_layout layouts[] = {
        {"rgba-8b-20x18-tiled-lzw.tif", 20, 18, 4, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW, 16, false, 1},
        {"rgb-16b-9x5-planar-deflate.tif", 9, 5, 3, 16, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE, 0, true,
         1},
        {"rgba-8b-17x3-tiled-planar.tif", 17, 3, 4, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE, 16, true, 1},
        {"grey-8b-5x5-bottom-left.tif", 5, 5, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_PACKBITS, 0, false,
         4},
        {"palette-4b-6x2.tif", 6, 2, 1, 4, PHOTOMETRIC_PALETTE, COMPRESSION_NONE, 0, false, 1},
        {"cmyk-8b-2x2.tif", 2, 2, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_NONE, 0, false, 1}};
    for (const libtiff_layout &l : layouts)
        libtiff_file(dir, l);
    // Damaged: the strip is cut short, and sizes the data cannot hold.
    save(dir / "rgb-strip-past-end.tif",
         craft_tiff(one_strip_fields(13, 5, 3, PHOTOMETRIC_RGB, 13 * 5 * 3), std::string(40, 'x')));
    save(dir / "claims-40000x40000.tif",
         craft_tiff(one_strip_fields(40000, 40000, 3, PHOTOMETRIC_RGB, 30), std::string(30, 'x')));
    save(dir / "claims-width-2147483647.tif",
         craft_tiff(one_strip_fields(2147483647u, 1, 3, PHOTOMETRIC_RGB, 12), std::string(12, 'x')));
}

static void packbits_seeds(const fs::path &dir)
{
    // Streams our encoder writes; their first byte also sets the call size.
    const std::string inputs[] = {std::string(300, 'a'), "\x01\x02\x02\x03", "\x01\x02\x02\x02\x03",
                                  "literal then run: aaaaaaaaaaaaaaa", std::string(1, '\0')};
    for (int k = 0; k < 5; k++) {
        int fd = memfd_create("seed", 0);
        packbits_malloc(fd, inputs[k].size());
        packbits_encode(fd, inputs[k].data(), inputs[k].size());
        std::string codes(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        pread_full(fd, codes.data(), codes.size(), 0);
        packbits_close(fd);
        save(dir / ("encoded-" + std::to_string(k)), codes);
    }
    save(dir / "literal-cut-short", "\x05\x01\x02");
    save(dir / "no-op-codes", "\x80\x80\x00\x41");
}

static void ppm_pipe_seeds(const fs::path &dir)
{
    write_image(ppm_writer((dir / "p6-8b-3x2").c_str(), 3, 2, uchar_RGB));
    write_image(ppm_writer((dir / "p7-8b-3x2").c_str(), 3, 2, uchar_RGBA));
    write_image(ppm_writer((dir / "p6-16b-3x2").c_str(), 3, 2, ushort_RGB));
    write_image(ppm_writer((dir / "p7-16b-3x2").c_str(), 3, 2, ushort_RGBA));
    save(dir / "comments-crlf", "P6\r\n# made by hand\r\n\r\n2 1\r\n255\r\nABCDEF");
    save(dir / "row-of-16-gigabytes", "P7\n2147483647 1\n65535\n");
    save(dir / "line-ends-only", std::string(64, '\n'));
    save(dir / "ends-early", "P6\n4 4\n255\nabc");
}

static void mask_seeds(const fs::path &dir)
{
    // Colour codes of images 0 to 4, black and a retouched colour.
    const uint32_t words[] = {color_word(0), color_word(1), color_word(2), color_word(3), color_word(4), 0,
                              0x123456};
    std::vector<unsigned char> rgb;
    for (uint32_t word : words)
        for (int c = 0; c < 3; c++)
            rgb.push_back(static_cast<unsigned char>(word >> (8 * c)));
    // The first byte picks the type: 0 PPM, 1 TIFF, 2 JPEG.
    const char *suffixes[] = {".ppm", ".tif", ".jpg"};
    for (char type = 0; type < 3; type++) {
        const fs::path tmp = dir / (std::string("m") + suffixes[int(type)]);
        write_image(type == 0   ? ppm_writer(tmp.c_str(), 7, 1, uchar_RGB)
                    : type == 1 ? tiff_writer(tmp.c_str(), 7, 1, uchar_RGB, 0)
                                : jpeg_writer(tmp.c_str(), 7, 1, uchar_RGB, 95, 0),
                    rgb);
        std::ifstream in(tmp, std::ios::binary);
        save(dir / (std::string("codes-7x1") + suffixes[int(type)]),
             type + std::string(std::istreambuf_iterator<char>(in), {}));
        fs::remove(tmp);
    }
    save(dir / "deep.ppm", '\0' + std::string("P6\n1 1\n65535\n") + std::string(6, '\0'));
}

static void reader_description_seeds(const fs::path &dir)
{
    save(dir / "two-entries", ".cr2 rawconv -c\n* anyconv\n");
    save(dir / "comments-and-blanks", "# .nef not this\n\n   .nef    foo bar  \r\n.dng\n.orf \n");
    save(dir / "long-line", ".x " + std::string(1500, 'c') + "\n");
    save(dir / "no-line-end", "* cat");
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_fuzz_seeds <corpus folder>\n");
        return 2;
    }
    const std::pair<const char *, void (*)(const fs::path &)> targets[] = {
        {"tiff_fuzz", tiff_seeds},
        {"packbits_fuzz", packbits_seeds},
        {"ppm_pipe_fuzz", ppm_pipe_seeds},
        {"mask_fuzz", mask_seeds},
        {"reader_description_fuzz", reader_description_seeds}};
    for (const auto &[name, seeds] : targets) {
        fs::create_directories(fs::path(argv[1]) / name);
        seeds(fs::path(argv[1]) / name);
    }
    return 0;
}
