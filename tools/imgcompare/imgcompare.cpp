// imgcompare: how far a result image is from a reference, over the pixels
// the result covers. Prints one line of key=value pairs (after one line per
// row with --per-row); samples are in 8-bit levels (16-bit ones divided by
// 257).
#include "stitcher/formats/image_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pixformat.h"
#include "tools/imgcompare/compare.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <limits>
#include <string>
#include <tiffio.h>
#include <vector>

static const char usage_text[] =
    "usage: imgcompare RESULT REFERENCE [options]\n"
    "  --mask FILE   count only pixels that FILE covers too (alpha > 0, or any sample\n"
    "                > 0 when it has no alpha); may be given more than once\n"
    "  --margin N    leave out pixels within N pixels of an uncovered one\n"
    "  --wrap        the first and last columns are neighbours (360-degree panoramas)\n"
    "  --rows A:B    count rows A to B-1 only (likewise --cols)\n"
    "  --per-row     a line per row: pixels and mean absolute error\n"
    "A pixel is covered where the result's alpha is above 0 (every pixel without\n"
    "alpha), and the reference's too when it has alpha.\n";

[[noreturn]] static void usage(int status)
{
    fputs(usage_text, status ? stderr : stdout);
    exit(status);
}

// "A:B" into a half-open range; either side may be empty (0, the end).
static void read_range(const char *text, int *a, int *b)
{
    const char *colon = strchr(text, ':');
    if (!colon)
        usage(2);
    *a = colon == text ? 0 : atoi(text);
    *b = colon[1] ? atoi(colon + 1) : -1;
}

struct input {
    std::string path;
    image_reader *ir;
    int mask;  // 1: used for coverage only
    int alpha; // the file's pixels carry alpha
};

// libtiff's RGBA decoder, which reads tiled files such as zenthra's, gives an
// RGB or grey TIFF an opaque alpha that the file does not have.
static bool tiff_without_alpha(const std::string &path)
{
    unsigned char magic[2] = {};
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    size_t got = fread(magic, 1, 2, f);
    fclose(f);
    if (got != 2 || magic[0] != magic[1] || (magic[0] != 'I' && magic[0] != 'M'))
        return false;
    TIFF *t = TIFFOpen(path.c_str(), "r");
    if (!t)
        return false;
    uint16_t spp = 0;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFClose(t);
    return spp == 1 || spp == 3;
}

static image_reader *open_image(const std::string &path)
{
    image_reader *ir = file_image_reader(path.c_str());
    if (!ir)
        print_error("Could not read %s.\n", path.c_str());
    uint32_t pf = ir->pixformat;
    if (pf != uchar_RGB && pf != uchar_RGBA && pf != ushort_RGB && pf != ushort_RGBA)
        print_error("%s: pixel format %u cannot be compared.\n", path.c_str(), pf);
    return ir;
}

static int has_alpha(const input &in)
{
    uint32_t pf = in.ir->pixformat;
    return (pf == uchar_RGBA || pf == ushort_RGBA) && !tiff_without_alpha(in.path);
}

// Row y as three doubles per pixel (rgb may be null for a mask); covered[x]
// is cleared where the image has alpha 0 there (for a mask without alpha:
// where all samples are 0).
static void read_pixels(const input *in, int y, double *rgb, unsigned char *covered)
{
    image_reader *ir = in->ir;
    uint32_t pf = ir->pixformat;
    int wide = pf == ushort_RGB || pf == ushort_RGBA, n = pf == uchar_RGBA || pf == ushort_RGBA ? 4 : 3;
    const void *row = read_row(ir, y, nullptr);
    for (int x = 0; x < ir->width; x++) {
        double v[4];
        for (int c = 0; c < n; c++)
            v[c] = wide ? static_cast<const uint16_t *>(row)[n * x + c] / 257.0
                        : static_cast<const unsigned char *>(row)[n * x + c];
        if (in->alpha ? v[3] <= 0 : in->mask && v[0] <= 0 && v[1] <= 0 && v[2] <= 0)
            covered[x] = 0;
        if (rgb)
            for (int c = 0; c < 3; c++)
                rgb[3 * x + c] = v[c];
    }
}

static void print_row(const row_totals *r)
{
    double k = r->counted ? 1.0 / double(r->counted) : std::numeric_limits<double>::quiet_NaN();
    printf("row=%d pixels=%" PRId64 " mae=%.4f mae_r=%.4f mae_g=%.4f mae_b=%.4f\n", r->y, r->counted,
           (r->sae[0] + r->sae[1] + r->sae[2]) * k / 3, r->sae[0] * k, r->sae[1] * k, r->sae[2] * k);
}

static void print_totals(const comparer *c)
{
    const compare_totals &t = c->totals;
    int64_t n = t.counted;
    double k = n ? 1.0 / double(n) : std::numeric_limits<double>::quiet_NaN();
    double sse = t.sse[0] + t.sse[1] + t.sse[2];
    printf("width=%d height=%d window=%" PRId64 " covered=%" PRId64 " coverage=%.6f pixels=%" PRId64
           " psnr=%.3f psnr_r=%.3f psnr_g=%.3f psnr_b=%.3f mse=%.6f max=%.4f max_r=%.4f max_g=%.4f max_b=%.4f"
           " mae=%.6f mae_r=%.6f mae_g=%.6f mae_b=%.6f\n",
           c->width, c->height, t.window, t.covered, t.window ? double(t.covered) / double(t.window) : 0.0, n,
           psnr(sse, 3 * n), psnr(t.sse[0], n), psnr(t.sse[1], n), psnr(t.sse[2], n), sse * k / 3,
           std::max({t.max[0], t.max[1], t.max[2]}), t.max[0], t.max[1], t.max[2],
           (t.sae[0] + t.sae[1] + t.sae[2]) * k / 3, t.sae[0] * k, t.sae[1] * k, t.sae[2] * k);
}

int main(int argc, char **argv)
{
    enum { MASK = 256, MARGIN, WRAP, ROWS, COLS, PER_ROW };
    static const option longopts[] = {{"mask", 1, nullptr, MASK}, {"margin", 1, nullptr, MARGIN},
                                      {"wrap", 0, nullptr, WRAP}, {"rows", 1, nullptr, ROWS},
                                      {"cols", 1, nullptr, COLS}, {"per-row", 0, nullptr, PER_ROW},
                                      {"help", 0, nullptr, 'h'},  {nullptr, 0, nullptr, 0}};
    compare_settings set;
    std::vector<std::string> masks;
    int per_row = 0;
    for (int c; (c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1;) {
        switch (c) {
        case MASK:
            masks.push_back(optarg);
            break;
        case MARGIN:
            set.margin = atoi(optarg);
            break;
        case WRAP:
            set.wrap = 1;
            break;
        case ROWS:
            read_range(optarg, &set.y0, &set.y1);
            break;
        case COLS:
            read_range(optarg, &set.x0, &set.x1);
            break;
        case PER_ROW:
            per_row = 1;
            break;
        case 'h':
            usage(0);
        default:
            usage(2);
        }
    }
    if (argc - optind != 2 || set.margin < 0)
        usage(2);
    std::vector<input> in = {{argv[optind], nullptr, 0, 0}, {argv[optind + 1], nullptr, 0, 0}};
    for (const std::string &m : masks)
        in.push_back({m, nullptr, 1, 0});
    for (input &i : in) {
        i.ir = open_image(i.path);
        i.alpha = has_alpha(i);
        if (i.ir->width != in[0].ir->width || i.ir->height != in[0].ir->height)
            print_error("%s is %dx%d but %s is %dx%d.\n", i.path.c_str(), i.ir->width, i.ir->height,
                        in[0].path.c_str(), in[0].ir->width, in[0].ir->height);
    }
    int width = in[0].ir->width, height = in[0].ir->height;
    comparer cmp;
    init_comparer(&cmp, width, height, &set);
    std::vector<double> a(3 * size_t(width)), b(3 * size_t(width));
    std::vector<unsigned char> covered(width);
    for (int y = 0; y < height; y++) {
        std::fill(covered.begin(), covered.end(), 1);
        read_pixels(&in[0], y, a.data(), covered.data());
        read_pixels(&in[1], y, b.data(), covered.data());
        for (size_t i = 2; i < in.size(); i++)
            read_pixels(&in[i], y, nullptr, covered.data());
        for (size_t i = 0; i < a.size(); i++)
            a[i] = std::fabs(a[i] - b[i]);
        compare_row(&cmp, a.data(), covered.data());
        if (y == height - 1)
            finish_comparer(&cmp);
        if (per_row)
            for (const row_totals &r : cmp.rows)
                print_row(&r);
        cmp.rows.clear();
    }
    for (input &i : in)
        close_image_reader(i.ir);
    print_totals(&cmp);
    return 0;
}
