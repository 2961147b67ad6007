#include "stitcher/formats/tiff.h"

#include "stitcher/formats/icc_profile.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

// How a tiled or planar file is cut: a band is one row of tiles, or one strip
// of every plane.
struct tiff_bands {
    int32_t tiled;
    int32_t planes;        // samples per pixel when planar, else 1
    int32_t samples;       // per pixel
    int32_t sample_bytes;  // 1 or 2
    uint32_t strile_width; // pixels of a tile, or the image width
    int32_t height;        // rows of a full band
    int64_t stride;        // bytes between rows of a decoded tile or strip
    int32_t first;         // first row of the band in memory, -1 before the first
};

struct tiff_data {
    TIFF *tif;            // null once a whole image is decoded
    int64_t row_bytes;    // bytes of one delivered row
    unsigned char *image; // the whole decoded image (uchar_RGBA), or the band in memory
    int32_t next_row;     // the scanline the writer writes next
    int32_t rgba;         // 1 when the whole image is in memory
    char *path;
    int32_t fd;     // our descriptor of a file being written, else -1
    int32_t banded; // 1 when read a band at a time (band, strile)
    tiff_bands band;
    unsigned char *strile; // one tile or strip as libtiff decodes it
    int32_t warned;        // libtiff warnings seen
    char error[256];       // libtiff's first error about this file, or empty
    int32_t error_errno;   // the system's error when libtiff reported it, or 0
    char failure[320];     // the reason of a failed write, as tiff_write_failure tells it
};

static const char msg_no_image_memory[] = "Not enaough memory to read TIFF-image.\n";
static const char msg_no_ring[] = "Could not allocate %" PRId64 " bytes for imagereader.\n";
static const char msg_big[] = "Trying big tiff.\n";
static const char msg_create[] = "Could not create file %s: %s.\n";
static const char msg_write[] = "Could not write file %s: %s.\n";
static const char msg_close[] = "Could not close file %s: %s.\n";
static const char msg_refused[] = "Could not read TIFF image %s: %s.\n";
static const char msg_warning[] = "Warning: TIFF file %s: %s.\n";

// ---- libtiff's complaints ----

// The first error about a file is kept for our own message, which names the
// file; the first warning is shown. libtiff itself prints nothing, so a
// damaged file gives one message instead of one per row.
static int on_tiff_error(TIFF *, void *user, const char *, const char *fmt, va_list ap)
{
    tiff_data *td = static_cast<tiff_data *>(user);
    if (!td->error[0]) {
        // A failed write leaves the system's reason, which libtiff's text
        // ("Write error at scanline 512") leaves out.
        td->error_errno = errno;
        vsnprintf(td->error, sizeof td->error, fmt, ap);
        // Our messages name the file already.
        size_t n = strlen(td->path);
        if (strncmp(td->error, td->path, n) == 0 && strncmp(td->error + n, ": ", 2) == 0)
            memmove(td->error, td->error + n + 2, strlen(td->error + n + 2) + 1);
    }
    return 1;
}

static int on_tiff_warning(TIFF *, void *user, const char *, const char *fmt, va_list ap)
{
    tiff_data *td = static_cast<tiff_data *>(user);
    if (td->warned++ == 0) {
        char text[256];
        vsnprintf(text, sizeof text, fmt, ap);
        print_warning(msg_warning, td->path, text);
    }
    return 1;
}

// Opens by name (fd < 0) or over a descriptor, with the handlers above.
static TIFF *open_with_handlers(tiff_data *td, int fd, const char *mode)
{
    TIFFOpenOptions *opts = TIFFOpenOptionsAlloc();
    if (!opts)
        print_error("Not enough memory.\n");
    TIFFOpenOptionsSetErrorHandlerExtR(opts, on_tiff_error, td);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, on_tiff_warning, td);
    // libtiff's own buffers (strip tables, compressed strips) obey our bound.
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(std::min<uint64_t>(
                                                  available_memory(), std::numeric_limits<tmsize_t>::max())));
    TIFF *tif = fd < 0 ? TIFFOpenExt(td->path, mode, opts) : TIFFFdOpenExt(fd, td->path, mode, opts);
    TIFFOpenOptionsFree(opts);
    return tif;
}

static const char *reason(const tiff_data *td, const char *otherwise)
{
    return td->error[0] ? td->error : otherwise;
}

const char *tiff_write_failure(tiff_data *td)
{
    int error = td->error[0] ? td->error_errno : errno;
    if (!td->error[0])
        snprintf(td->failure, sizeof td->failure, "%s", strerror(error));
    else if (error != 0)
        snprintf(td->failure, sizeof td->failure, "%s (%s)", td->error, strerror(error));
    else
        snprintf(td->failure, sizeof td->failure, "%s", td->error);
    return td->failure;
}

static tiff_data *new_record(const char *path)
{
    tiff_data *td = static_cast<tiff_data *>(checked_calloc(1, sizeof(tiff_data)));
    td->path = sdup(path);
    td->fd = -1;
    return td;
}

static void free_record(tiff_data *td)
{
    aligned_free(td->path);
    aligned_free(td);
}

tiff_data *tiff_open(const char *path, const char *mode)
{
    tiff_data *td = new_record(path);
    if (strcmp(mode, "r") == 0) {
        // Not mapped: a photo cut short while it is read must fail with a
        // message, not with SIGBUS.
        td->tif = open_with_handlers(td, -1, "rm");
        if (!td->tif)
            print_refusal(msg_refused, path, reason(td, "libtiff cannot open it"));
    } else {
        bool big = strcmp(mode, "w8") == 0;
        if (sendswith(path, ".tf8", 1) || sendswith(path, ".btf", 1)) {
            print_stdout(msg_big);
            big = true;
        }
        // Our own descriptor, so that its close can be checked: libtiff's
        // TIFFClose does not report a failed close.
        td->fd = create_output_file(path);
        if (td->fd < 0) {
            set_refusal("%s", strerror(errno));
        } else {
            td->tif = open_with_handlers(td, td->fd, big ? "w8" : "w");
            if (!td->tif) {
                set_refusal("%s", reason(td, "libtiff cannot write it"));
                close(td->fd);
            }
        }
    }
    if (!td->tif) {
        free_record(td);
        return nullptr;
    }
    return td;
}

icc_profile *tiff_read_icc_profile(const char *path)
{
    tiff_data *td = new_record(path);
    td->warned = 1; // the decoding shows them
    td->tif = open_with_handlers(td, -1, "rm");
    uint32_t length;
    void *data;
    icc_profile *icc = nullptr;
    if (td->tif && TIFFGetField(td->tif, TIFFTAG_ICCPROFILE, &length, &data))
        icc = new_icc_profile(path, data, length);
    if (td->tif)
        TIFFClose(td->tif);
    free_record(td);
    return icc;
}

static int refuse(tiff_data *td, const char *why)
{
    print_refusal(msg_refused, td->path, why);
    return -1;
}

[[noreturn]] static void unreadable(tiff_data *td, const char *why)
{
    print_error(msg_refused, td->path, reason(td, why));
}

// ---- what the file can hold ----

static uint16_t field16(TIFF *tif, uint32_t tag, uint16_t otherwise)
{
    uint16_t v = otherwise;
    TIFFGetFieldDefaulted(tif, tag, &v);
    return v;
}

static uint32_t field32(TIFF *tif, uint32_t tag, uint32_t otherwise)
{
    uint32_t v = otherwise;
    TIFFGetFieldDefaulted(tif, tag, &v);
    return v;
}

// Null when every strip or tile lies inside the file and an uncompressed one
// holds all its rows; else what is wrong. Checked before anything is
// allocated, so that a tiny file cannot make us reserve what it claims.
static const char *damaged_striles(TIFF *tif, uint32_t height)
{
    struct stat st;
    if (fstat(TIFFFileno(tif), &st) != 0)
        return nullptr;
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);
    const bool tiled = TIFFIsTiled(tif),
               raw = field16(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == COMPRESSION_NONE;
    const uint32_t count = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    const uint32_t rps = std::min(field32(tif, TIFFTAG_ROWSPERSTRIP, UINT32_MAX), height);
    const uint32_t strips_per_plane = rps ? (height - 1) / rps + 1 : 1;
    for (uint32_t i = 0; i < count; i++) {
        uint64_t offset = TIFFGetStrileOffset(tif, i), bytes = TIFFGetStrileByteCount(tif, i);
        if (bytes == 0)
            return "a strip or tile is missing";
        if (offset > file_size || bytes > file_size - offset)
            return "a strip or tile lies past the end of the file";
        if (!raw)
            continue;
        uint64_t needed = tiled ? TIFFTileSize64(tif)
                                : TIFFVStripSize64(tif, std::min(rps, height - i % strips_per_plane * rps));
        if (bytes < needed)
            return "an uncompressed strip or tile is shorter than its rows";
    }
    return nullptr;
}

// The pixformat of 8- and 16-bit RGB and RGBA files, whatever their layout;
// 0 for anything else.
static uint32_t rgb_pixformat(TIFF *tif)
{
    uint16_t spp = field16(tif, TIFFTAG_SAMPLESPERPIXEL, 1), bps = field16(tif, TIFFTAG_BITSPERSAMPLE, 1),
             photometric;
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_RGB)
        return 0;
    if (bps == 8 && spp == 3)
        return uchar_RGB;
    if (bps == 8 && spp == 4)
        return uchar_RGBA;
    if (bps == 16 && spp == 3)
        return ushort_RGB;
    if (bps == 16 && spp == 4)
        return ushort_RGBA;
    return 0;
}

// ---- whole images (grey, palette and the other photometrics) ----

// Decodes the whole image into memory through libtiff's RGBA interface.
static int read_whole_image(tiff_data *td, uint32_t width, uint32_t height)
{
    char why[1024];
    if (!TIFFRGBAImageOK(td->tif, why))
        return refuse(td, why);
    int64_t bytes;
    if (!checked_mul3(width, height, 4, &bytes) || static_cast<uint64_t>(bytes) > available_memory())
        return refuse(td, "the image is too large to be decoded whole");
    void *image = aligned_malloc(static_cast<size_t>(bytes));
    if (!image)
        print_error(msg_no_image_memory);
    TIFFRGBAImage img;
    // Stop at the first damaged strip or tile: going on would hand on the
    // previous strip's pixels in its place.
    bool ok = TIFFRGBAImageBegin(&img, td->tif, 1, why);
    if (ok) {
        // Rows as stored, first on top, whatever the Orientation field says.
        img.orientation = ORIENTATION_TOPLEFT;
        img.req_orientation = ORIENTATION_TOPLEFT;
        ok = TIFFRGBAImageGet(&img, static_cast<uint32_t *>(image), width, height);
        TIFFRGBAImageEnd(&img);
    }
    if (!ok) {
        aligned_free(image);
        return refuse(td, reason(td, "the image data could not be decoded"));
    }
    TIFFClose(td->tif);
    td->tif = nullptr;
    td->image = static_cast<unsigned char *>(image);
    td->rgba = 1;
    td->row_bytes = int64_t(width) * 4;
    return 0;
}

// ---- tiled and planar RGB(A): a band of tiles or strips at a time ----

static tiff_bands band_layout(TIFF *tif, uint32_t width, uint32_t height)
{
    tiff_bands b;
    b.tiled = TIFFIsTiled(tif);
    b.samples = field16(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    b.sample_bytes = field16(tif, TIFFTAG_BITSPERSAMPLE, 8) / 8;
    b.planes =
        field16(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == PLANARCONFIG_SEPARATE ? b.samples : 1;
    if (b.tiled) {
        b.strile_width = field32(tif, TIFFTAG_TILEWIDTH, width);
        b.height = static_cast<int32_t>(std::min(field32(tif, TIFFTAG_TILELENGTH, height), height));
        b.stride = static_cast<int64_t>(TIFFTileRowSize64(tif));
    } else {
        b.strile_width = width;
        b.height = static_cast<int32_t>(std::min(field32(tif, TIFFTAG_ROWSPERSTRIP, height), height));
        b.stride = static_cast<int64_t>(TIFFScanlineSize64(tif));
    }
    b.first = -1;
    return b;
}

// Allocates the band and one tile or strip, once the image itself, the band
// and the strile are known to fit in memory together.
static int prepare_bands(tiff_data *td, uint32_t width, uint32_t height)
{
    td->band = band_layout(td->tif, width, height);
    const tiff_bands &b = td->band;
    int64_t strile = static_cast<int64_t>(b.tiled ? TIFFTileSize64(td->tif) : TIFFStripSize64(td->tif));
    int64_t band, image;
    if (b.strile_width == 0 || b.height <= 0 || b.stride <= 0 || strile <= 0)
        return refuse(td, "the layout of its tiles or strips is broken");
    if (!checked_mul(b.height, td->row_bytes, &band) || !checked_mul(height, td->row_bytes, &image) ||
        static_cast<uint64_t>(band) + static_cast<uint64_t>(strile) + static_cast<uint64_t>(image) >
            available_memory())
        return refuse(td, "the image is larger than the memory of this machine");
    td->image = static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(band)));
    td->strile = static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(strile)));
    if (!td->image || !td->strile)
        print_error(msg_no_image_memory);
    td->banded = 1;
    return 0;
}

// Puts rows of a decoded tile or strip of one plane at column x0 of the band.
static void place_strile(tiff_data *td, int rows, uint32_t x0, uint32_t n, int plane)
{
    const tiff_bands &b = td->band;
    const size_t pixel = static_cast<size_t>(b.samples) * b.sample_bytes;
    for (int r = 0; r < rows; r++) {
        const unsigned char *src = td->strile + r * b.stride;
        unsigned char *dst = td->image + r * td->row_bytes + x0 * pixel;
        if (b.planes == 1) {
            memcpy(dst, src, n * pixel);
            continue;
        }
        dst += static_cast<size_t>(plane) * b.sample_bytes;
        for (uint32_t x = 0; x < n; x++, src += b.sample_bytes, dst += pixel)
            memcpy(dst, src, static_cast<size_t>(b.sample_bytes));
    }
}

// Decodes the band that holds row y.
static void read_band(tiff_data *td, int y, int width, int height)
{
    tiff_bands &b = td->band;
    const uint32_t first = static_cast<uint32_t>(y / b.height * b.height);
    const int rows = std::min(b.height, height - static_cast<int>(first));
    for (int plane = 0; plane < b.planes; plane++)
        for (uint32_t x0 = 0; x0 < static_cast<uint32_t>(width); x0 += b.strile_width) {
            uint16_t s = static_cast<uint16_t>(plane);
            td->error[0] = '\0';
            tmsize_t got = b.tiled ? TIFFReadEncodedTile(td->tif, TIFFComputeTile(td->tif, x0, first, 0, s),
                                                         td->strile, static_cast<tmsize_t>(-1))
                                   : TIFFReadEncodedStrip(td->tif, TIFFComputeStrip(td->tif, first, s),
                                                          td->strile, static_cast<tmsize_t>(-1));
            if (got < rows * b.stride)
                unreadable(td, "a strip or tile could not be decoded");
            place_strile(td, rows, x0, std::min(b.strile_width, static_cast<uint32_t>(width) - x0), plane);
        }
    b.first = static_cast<int32_t>(first);
}

// ---- choosing the reading mode ----

int tiff_image_size(tiff_data *td, image_size *out)
{
    uint32_t width = 0, height = 0;
    TIFFGetField(td->tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(td->tif, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return refuse(td, "image size out of range");
    // libtiff's RGBA decoder takes signed samples for unsigned ones.
    uint16_t sampleformat = field16(td->tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    if (sampleformat != SAMPLEFORMAT_UINT && sampleformat != SAMPLEFORMAT_VOID)
        return refuse(td, sampleformat == SAMPLEFORMAT_IEEEFP
                              ? "floating-point samples are not supported"
                              : "signed or complex samples are not supported");
    // As CMYK JPEG is: the RGBA interface would convert it naively.
    if (field16(td->tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) == PHOTOMETRIC_SEPARATED)
        return refuse(td, "colour space CMYK is not supported");
    if (const char *why = damaged_striles(td->tif, height))
        return refuse(td, why);
    uint32_t pixformat = rgb_pixformat(td->tif);
    if (pixformat) {
        int64_t image;
        td->row_bytes = int64_t(width) * get_bytes_per_pixel(pixformat);
        if (static_cast<uint64_t>(td->row_bytes) > row_memory_bound() ||
            !checked_mul(td->row_bytes, height, &image) || static_cast<uint64_t>(image) > available_memory())
            return refuse(td, "the image is larger than the memory of this machine");
        bool planar = field16(td->tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == PLANARCONFIG_SEPARATE;
        if ((TIFFIsTiled(td->tif) || planar) && prepare_bands(td, width, height) != 0)
            return -1;
    } else {
        pixformat = uchar_RGBA;
        if (read_whole_image(td, width, height) != 0)
            return -1;
    }
    out->width = static_cast<int32_t>(width);
    out->height = static_cast<int32_t>(height);
    out->pixformat = pixformat;
    return 0;
}

// ---- reading rows ----

void *tiff_read_row(image_reader *ir, int row, void *buf)
{
    tiff_data *td = static_cast<tiff_data *>(ir->data);
    kassert(row >= 0 && row < ir->height);
    if (td->rgba || td->banded) {
        if (td->banded &&
            (td->band.first < 0 || row < td->band.first || row >= td->band.first + td->band.height))
            read_band(td, row, ir->width, ir->height);
        int first = td->banded ? td->band.first : 0;
        unsigned char *p = td->image + (row - first) * td->row_bytes;
        if (!buf)
            return p;
        memcpy(buf, p, static_cast<size_t>(td->row_bytes));
        return buf;
    }
    kassert(buf != NULL);
    td->error[0] = '\0';
    if (TIFFReadScanline(td->tif, buf, static_cast<uint32_t>(row), 0) < 0)
        unreadable(td, "a row could not be decoded");
    return buf;
}

image_reader *tiff_reader(const char *path)
{
    tiff_data *td = tiff_open(path, "r");
    if (!td)
        return nullptr;
    image_size size;
    if (tiff_image_size(td, &size) != 0) {
        tiff_close(td);
        return nullptr;
    }
    image_reader *ir =
        create_image_reader(1, td, size.width, size.height, size.pixformat, tiff_read_row, tiff_close);
    if (td->rgba || td->banded)
        return ir;
    // Scanlines are decoded once each, in order, straight into the ring.
    size_t row_len = std::max(static_cast<size_t>(td->row_bytes), image_row_length(ir));
    void *ring = aligned_malloc(row_len);
    if (!ring)
        print_error(msg_no_ring, static_cast<int64_t>(row_len));
    return buffered_reader_1(ir, ring, 1, row_len, 1);
}

// ---- writing ----

static bool output_layout(uint32_t pixformat, uint16_t *bps, uint16_t *spp)
{
    switch (pixformat) {
    case uchar_RGB:
        *bps = 8, *spp = 3;
        return true;
    case uchar_RGBA:
        *bps = 8, *spp = 4;
        return true;
    case ushort_RGB:
        *bps = 16, *spp = 3;
        return true;
    case ushort_RGBA:
        *bps = 16, *spp = 4;
        return true;
    default:
        return false;
    }
}

int tiff_write_image_header(tiff_data *td, int width, int height, uint32_t pixformat)
{
    uint16_t bps, spp;
    if (!output_layout(pixformat, &bps, &spp))
        return -1;
    TIFF *tif = td->tif;
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
              TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
              TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS) &&
              TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 128) && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps) &&
              TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    // A fourth sample must be declared, or readers warn and guess what it is.
    static const uint16_t unassociated_alpha[1] = {EXTRASAMPLE_UNASSALPHA};
    if (ok && spp == 4)
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, unassociated_alpha);
    if (!ok)
        print_error(msg_write, td->path, reason(td, "the fields could not be set"));
    return 0;
}

int tiff_set_icc_profile(TIFF *tif, const icc_profile *icc)
{
    return !icc || TIFFSetField(tif, TIFFTAG_ICCPROFILE, icc->length, icc->data);
}

int tiff_write_row(void *data, void *row)
{
    tiff_data *td = static_cast<tiff_data *>(data);
    // libtiff takes the profile only before the first row.
    if (td->next_row == 0 && !tiff_set_icc_profile(td->tif, kept_icc_profile()))
        print_error(msg_write, td->path, reason(td, "the colour profile could not be set"));
    if (TIFFWriteScanline(td->tif, row, static_cast<uint32_t>(td->next_row), 0) < 0)
        print_error(msg_write, td->path, tiff_write_failure(td));
    td->next_row++;
    return 0;
}

image_writer *tiff_writer(const char *path, int width, int height, uint32_t pixformat, int big)
{
    uint16_t bps, spp;
    if (!output_layout(pixformat, &bps, &spp))
        return nullptr;
    tiff_data *td = tiff_open(path, big ? "w8" : "w");
    if (!td)
        print_error(msg_create, path, refusal());
    tiff_write_image_header(td, width, height, pixformat);
    return create_virtual_image_writer(width, height, pixformat, tiff_write_row, tiff_close, td);
}

int tiff_close(void *data)
{
    tiff_data *td = static_cast<tiff_data *>(data);
    aligned_free(td->image);
    aligned_free(td->strile);
    if (td->fd >= 0) {
        // The last strip and the directory are written here.
        if (!TIFFFlush(td->tif))
            print_error(msg_write, td->path, tiff_write_failure(td));
        TIFFCleanup(td->tif);
        if (close(td->fd) != 0)
            print_error(msg_close, td->path, strerror(errno));
    } else if (td->tif) {
        TIFFClose(td->tif); // already closed once a whole image is decoded
    }
    free_record(td);
    return 0;
}

TIFF *tiff_handle(tiff_data *td) { return td->tif; }

int tiff_descriptor(const tiff_data *td) { return td->fd; }
