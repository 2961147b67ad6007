#include "stitcher/formats/panorama_file.h"

#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/psd.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/formats/tiled_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/pipeline/template.h"
#include "stitcher/pipeline/tmp_image.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <tiffio.h>

static const char msg_open[] = "Could not open file %s: %s.\n";
static const char msg_create_file[] = "Could not create file %s: %s.\n";
static const char msg_create[] = "Could not create image file %s: %s.\n";
static const char msg_not_regular[] =
    "Could not write %s output to %s: it needs a regular file, not a device or "
    "a pipe.\n";
static const char msg_page[] = "Could not write TIFF page to %s: %s.\n";
static const char msg_page_4g[] =
    "Could not write TIFF page to %s: a TIFF file cannot pass 4 GiB, BigTIFF is needed.\n";

static int defer_merging = 0;

void set_defer_merging(int defer) { defer_merging = defer; }

// name, or name with `added` when it ends with none of the kept suffixes
// (of any case).
static char *with_suffix(const char *name, std::initializer_list<const char *> kept, const char *added)
{
    for (const char *suffix : kept)
        if (sendswith(name, suffix, 1))
            return sdup(name);
    return sadd(name, added);
}

static char *output_name(const char *name, output_format format)
{
    switch (output_kind(format)) {
    case OUTPUT_JPEG:
        return with_suffix(name, {".jpg", ".jpeg"}, ".jpg");
    case OUTPUT_PPM:
        return with_suffix(name, {".ppm"}, ".ppm");
    case OUTPUT_TIFF:
    case OUTPUT_TIFF_LAYERED:
        return with_suffix(name, {".tif", ".tiff", ".btf", ".tf8"}, ".tif");
    case OUTPUT_PSD:
        return output_big(format) ? with_suffix(name, {".psb"}, ".psb") : with_suffix(name, {".psd"}, ".psd");
    default:
        return sdup(name);
    }
}

// Opens the file of a kind written in place; its descriptor.
static int open_output(pano_file *pf)
{
    int big = output_big(pf->format);
    uint32_t fmt = static_cast<uint32_t>(pf->pixformat);
    switch (output_kind(pf->format)) {
    case OUTPUT_TIFF_LAYERED: {
        tiff_data *td = tiff_open(pf->name, big ? "w8" : "w");
        pf->tif = td;
        return td ? tiff_descriptor(td) : -1;
    }
    case OUTPUT_PPM: {
        ppm_data *pd = open_ppm(pf->name, pf->width, pf->height, fmt);
        pf->tif = pd;
        set_output_descriptor(pd->fd, pf->name);
        return pd->fd;
    }
    case OUTPUT_TIFF:
        pf->tif = open_tiled_tiff(pf->name, pf->width, pf->height, fmt, big);
        return pf->tif ? get_tile_file()->fd : -1;
    default:
        pf->tif = open_tiled_psd(pf->name, pf->width, pf->height, fmt, big);
        return pf->tif ? get_tile_file()->fd : -1;
    }
}

// The writer that the writer thread fills from top to bottom.
static image_writer *sequential_writer(const pano_file *pf)
{
    const int big = output_big(pf->format);
    switch (output_kind(pf->format)) {
    case OUTPUT_JPEG:
        return jpeg_writer(pf->name, pf->width, pf->height, pf->pixformat, output_quality(pf->format),
                           output_progressive(pf->format));
    case OUTPUT_PPM:
        return ppm_writer(pf->name, pf->width, pf->height, pf->pixformat);
    case OUTPUT_TIFF:
        return tiff_writer(pf->name, pf->width, pf->height, pf->pixformat, big);
    case OUTPUT_PSD:
        return psd_writer(pf->name, pf->width, pf->height, pf->pixformat, big);
    default:
        return nullptr;
    }
}

static const char *kind_name(output_format format)
{
    const bool big = output_big(format);
    switch (output_kind(format)) {
    case OUTPUT_TIFF:
        return big ? "BigTIFF" : "TIFF";
    case OUTPUT_TIFF_LAYERED:
        return big ? "layered BigTIFF" : "layered TIFF";
    case OUTPUT_PSD:
        return big ? "PSB" : "PSD";
    default:
        return "this kind of";
    }
}

// A device or a pipe takes the name as it stands, and only kinds written
// from top to bottom: the others seek.
static void use_stream_target(pano_file *pf, const char *name)
{
    int kind = output_kind(pf->format);
    if (kind != OUTPUT_PPM && kind != OUTPUT_JPEG)
        print_error(msg_not_regular, kind_name(pf->format), name);
    aligned_free(pf->name);
    pf->name = sdup(name);
    defer_merging = 1;
}

pano_file *create_panorama_file(const char *name, int width, int height, int pixformat, output_format format,
                                int wrap)
{
    pano_file *pf = static_cast<pano_file *>(checked_calloc(1, sizeof(pano_file)));
    *pf = {abs(pixformat), 2, width, height, nullptr, wrap, format, nullptr, nullptr, nullptr};
    if (pixformat < 0) {
        pf->name = sdup(name);
        return pf;
    }
    if (strcmp(name, "-") == 0) {
        pf->name = sdup("-");
        pf->format = OUTPUT_PPM;
        defer_merging = 1;
        return pf;
    }
    pf->name = output_name(name, format);
    if (is_stream_target(name))
        use_stream_target(pf, name);
    else if (is_stream_target(pf->name))
        use_stream_target(pf, pf->name);
    if (output_kind(format) == OUTPUT_TIFF_LAYERED)
        pf->pixformat = static_cast<int32_t>(alpha_pixformat(static_cast<uint32_t>(pf->pixformat)));
    return pf;
}

void open_panorama_file(pano_file *pf)
{
    if (begin_output(pf->name) != 0)
        print_error(msg_create_file, pf->name, strerror(errno));
    int kind = output_kind(pf->format);
    bool in_place = kind == OUTPUT_TIFF_LAYERED ||
                    (!defer_merging && (kind == OUTPUT_PPM || kind == OUTPUT_TIFF || kind == OUTPUT_PSD));
    clear_refusal();
    if (in_place) {
        if (open_output(pf) < 0) {
            const char *why = *refusal() ? refusal() : strerror(errno);
            print_error(msg_open, pf->name, why);
        }
    } else {
        pf->writer = sequential_writer(pf);
        if (!pf->writer)
            print_error(msg_create, pf->name, *refusal() ? refusal() : "no writer for this kind of output");
    }
}

// ---- positioned writes ----

image_writer *panorama_writer(pano_file *pf, uint32_t pixformat, irectangle rect, const irectangle *tiles,
                              int ntiles, const icc_profile *profile)
{
    kassert(pf->tif != nullptr);
    int kind = output_kind(pf->format);
    if (kind == OUTPUT_TIFF_LAYERED) {
        page_writer_data *pd = static_cast<page_writer_data *>(checked_calloc(1, sizeof(page_writer_data)));
        pd->pf = pf;
        pd->row_bytes = int64_t(rect.width) * get_bytes_per_pixel(static_cast<uint32_t>(pf->pixformat));
        pd->buf = static_cast<unsigned char *>(checked_calloc(1, static_cast<size_t>(pd->row_bytes)));
        pd->tw = template_writer(rect.width, rect.height, pixformat, static_cast<uint32_t>(pf->pixformat),
                                 tiles, ntiles, pd->buf);
        pd->rect = rect;
        pd->profile = profile;
        return create_virtual_image_writer(rect.width, rect.height, pixformat, panorama_write_row,
                                           panorama_close, pd);
    }
    kassert(rect.y >= 0 && int64_t(rect.y) + rect.height <= pf->height);
    irectangle whole = {0, 0, rect.width, rect.height};
    template_ *t = create_template(&whole, tiles, ntiles);
    int x = rect.x;
    if (pf->wrap > 0) {
        x = wrap_column(x, pf->wrap); // template_writer2 takes x in [0, wrap)
        wrap_template(t, x, pf->width);
    } else {
        cut_template(t, x, pf->width);
    }
    int fdflags;
    int64_t header, row_bytes;
    if (kind == OUTPUT_PPM) {
        const ppm_data *pd = static_cast<const ppm_data *>(pf->tif);
        fdflags = pd->fd, header = pd->header_len, row_bytes = pd->row_bytes;
    } else {
        const tiled_output *to = static_cast<const tiled_output *>(pf->tif);
        fdflags = to->fd, header = to->header, row_bytes = to->row_bytes;
    }
    int64_t base =
        rect.y * row_bytes + header + int64_t(x) * get_bytes_per_pixel(static_cast<uint32_t>(pf->pixformat));
    return template_writer2(fdflags, rect.width, rect.height, pixformat, static_cast<uint32_t>(pf->pixformat),
                            t, base, row_bytes);
}

// ---- layered TIFF pages ----

[[noreturn]] static void page_failed(const page_writer_data *pd)
{
    tiff_data *td = static_cast<tiff_data *>(pd->pf->tif);
    struct stat st;
    bool past_4g = !TIFFIsBigTIFF(tiff_handle(td)) && fstat(tiff_descriptor(td), &st) == 0 &&
                   st.st_size + pd->row_bytes * pd->rect.height >= int64_t(1) << 32;
    if (past_4g)
        print_error(msg_page_4g, pd->pf->name);
    print_error(msg_page, pd->pf->name, tiff_write_failure(td));
}

static void set_page_fields(const page_writer_data *pd)
{
    const pano_file *pf = pd->pf;
    TIFF *tif = tiff_handle(static_cast<tiff_data *>(pf->tif));
    uint32_t fmt = static_cast<uint32_t>(pf->pixformat);
    uint16_t bps = static_cast<uint16_t>(8 * get_bytes_per_channel(fmt));
    uint16_t spp = static_cast<uint16_t>(get_bytes_per_pixel(fmt) / get_bytes_per_channel(fmt));
    // Positions are never negative: a rectangle across the seam starts at
    // its place in the wrapped panorama.
    int x = pd->rect.x, y = pd->rect.y > 0 ? pd->rect.y : 0;
    x = pf->wrap > 0 ? wrap_column(x, pf->wrap) : x > 0 ? x : 0;
    bool ok = TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
              TIFFSetField(tif, TIFFTAG_XRESOLUTION, 72.0) && TIFFSetField(tif, TIFFTAG_YRESOLUTION, 72.0);
    // BigTIFF pages too: without positions no reader can place them.
    ok = ok && TIFFSetField(tif, TIFFTAG_PIXAR_IMAGEFULLWIDTH, static_cast<uint32_t>(pf->width)) &&
         TIFFSetField(tif, TIFFTAG_PIXAR_IMAGEFULLLENGTH, static_cast<uint32_t>(pf->height)) &&
         TIFFSetField(tif, TIFFTAG_XPOSITION, x / 72.0) && TIFFSetField(tif, TIFFTAG_YPOSITION, y / 72.0) &&
         TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    ok = ok && TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(pd->rect.width)) &&
         TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(pd->rect.height)) &&
         TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
         TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
         TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
         TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(pd->rect.height)) &&
         TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    // A fourth sample must be declared, or readers warn and guess what it is.
    static const uint16_t unassociated_alpha[1] = {EXTRASAMPLE_UNASSALPHA};
    if (ok && spp == 4)
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, unassociated_alpha);
    if (!ok || !tiff_set_icc_profile(tif, pd->profile))
        page_failed(pd);
}

int panorama_write_row(void *data, void *row)
{
    page_writer_data *pd = static_cast<page_writer_data *>(data);
    if (pd->rows == 0)
        set_page_fields(pd);
    write_row(pd->tw, row);
    TIFF *tif = tiff_handle(static_cast<tiff_data *>(pd->pf->tif));
    if (TIFFWriteScanline(tif, pd->buf, static_cast<uint32_t>(pd->rows), 0) < 0)
        page_failed(pd);
    pd->rows++;
    return 0;
}

int panorama_close(void *data)
{
    page_writer_data *pd = static_cast<page_writer_data *>(data);
    if (!TIFFWriteDirectory(tiff_handle(static_cast<tiff_data *>(pd->pf->tif))))
        page_failed(pd);
    close_image_writer(pd->tw);
    aligned_free(pd->buf);
    aligned_free(pd);
    return 0;
}

// ---- closing ----

// Cancel stays possible while the writer thread finishes the file.
static void wait_for_writer(zthread *thread)
{
    blocking_wait w; // the writer needs a permit to finish
    while (zthread_timed_join(thread, 100) != 0)
        if (!progress_update(-1))
            cancel_run();
}

int close_panorama_file(image_desc *, int, pano_file *pf)
{
    if (pf->tif) {
        switch (output_kind(pf->format)) {
        case OUTPUT_TIFF_LAYERED:
            tiff_close(pf->tif);
            break;
        case OUTPUT_TIFF:
            close_tiled_tiff(static_cast<tiled_output *>(pf->tif));
            break;
        case OUTPUT_PSD:
            close_tiled_psd(static_cast<tiled_output *>(pf->tif));
            break;
        default:
            set_output_descriptor(-1, nullptr);
            ppm_close(pf->tif);
        }
    } else if (pf->write_thread) {
        wait_for_writer(pf->write_thread);
    }
    commit_output(pf->name);
    aligned_free(pf->name);
    aligned_free(pf);
    return 0;
}
