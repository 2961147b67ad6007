#include "stitcher/formats/tiff.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

struct tiff_data {
    TIFF *tif;            // null once a whole image is decoded
    int64_t row_bytes;    // TIFFScanlineSize, or 4 * width for a whole image
    unsigned char *image; // the whole decoded image (uchar_RGBA)
    int32_t next_row;     // the scanline the writer writes next
    int32_t rgba;         // 1 when the whole image is in memory
    char *path;
    int32_t fd; // our descriptor of a file being written, else -1
};

static const char msg_no_image_memory[] = "Not enaough memory to read TIFF-image.\n";
static const char msg_no_ring[] = "Could not allocate %ld bytes for imagereader.\n";
static const char msg_big[] = "Trying big tiff.\n";
static const char msg_create[] = "Could not create file %s.\n";
static const char msg_write[] = "Could not write file %s.\n";
static const char msg_close[] = "Could not close file %s: %s.\n";
static const char msg_refused[] = "Could not read TIFF image %s: %s.\n";

static tiff_data *new_record(const char *path)
{
    tiff_data *td = static_cast<tiff_data *>(checked_malloc(sizeof(tiff_data)));
    *td = {nullptr, 0, nullptr, 0, 0, sdup(path), -1};
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
        td->tif = TIFFOpen(path, "r");
    } else {
        bool big = strcmp(mode, "w8") == 0;
        if (sendswith(path, ".tf8", 1) || sendswith(path, ".btf", 1)) {
            print_stdout(msg_big);
            big = true;
        }
        // Our own descriptor, so that its close can be checked: libtiff's
        // TIFFClose does not report a failed close.
        td->fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (td->fd >= 0) {
            td->tif = TIFFFdOpen(td->fd, path, big ? "w8" : "w");
            if (!td->tif)
                close(td->fd);
        }
    }
    if (!td->tif) {
        free_record(td);
        return nullptr;
    }
    return td;
}

// The scanline pixformat of plain RGB(A) strips, else 0.
static uint32_t scanline_pixformat(TIFF *tif)
{
    uint16_t spp = 1, bps = 1, planar = PLANARCONFIG_CONTIG, sampleformat = SAMPLEFORMAT_UINT, photometric;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleformat);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_RGB)
        return 0;
    // Half floats and signed samples have the same sizes but not the meaning.
    if (TIFFIsTiled(tif) || planar != PLANARCONFIG_CONTIG || sampleformat != SAMPLEFORMAT_UINT)
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

static int refuse(tiff_data *td, const char *why)
{
    print_message(msg_refused, td->path, why);
    return -1;
}

// Decodes the whole image into memory through libtiff's RGBA interface.
static int read_whole_image(tiff_data *td, uint32_t width, uint32_t height)
{
    char why[1024];
    if (!TIFFRGBAImageOK(td->tif, why))
        return refuse(td, why);
    int64_t bytes;
    void *image = nullptr;
    bool fits = checked_mul3(width, height, 4, &bytes);
    // A size claimed by a damaged file is refused before it is allocated.
    size_t memory = physical_memory();
    if (fits && memory && static_cast<uint64_t>(bytes) > memory)
        return refuse(td, "the image is too large to be decoded whole");
    if (fits)
        image = aligned_malloc(static_cast<size_t>(bytes));
    if (!image)
        print_error(msg_no_image_memory);
    // Stop at the first damaged strip or tile: going on would hand on the
    // previous strip's pixels in its place.
    if (!TIFFReadRGBAImageOriented(td->tif, width, height, static_cast<uint32_t *>(image),
                                   ORIENTATION_TOPLEFT, 1)) {
        aligned_free(image);
        return refuse(td, "the image data could not be decoded");
    }
    TIFFClose(td->tif);
    td->tif = nullptr;
    td->image = static_cast<unsigned char *>(image);
    td->rgba = 1;
    td->row_bytes = int64_t(width) * 4;
    return 0;
}

int tiff_image_size(tiff_data *td, image_size *out)
{
    uint32_t width = 0, height = 0;
    TIFFGetField(td->tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(td->tif, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return refuse(td, "image size out of range");
    // libtiff's RGBA decoder takes signed samples for unsigned ones.
    uint16_t sampleformat = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(td->tif, TIFFTAG_SAMPLEFORMAT, &sampleformat);
    if (sampleformat != SAMPLEFORMAT_UINT && sampleformat != SAMPLEFORMAT_VOID)
        return refuse(td, sampleformat == SAMPLEFORMAT_IEEEFP
                              ? "floating-point samples are not supported"
                              : "signed or complex samples are not supported");
    uint32_t pixformat = scanline_pixformat(td->tif);
    if (pixformat) {
        td->row_bytes = static_cast<int64_t>(TIFFScanlineSize64(td->tif));
        if (td->row_bytes <= 0)
            return refuse(td, "image size out of range");
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

void *tiff_read_row(image_reader *ir, int row, void *buf)
{
    tiff_data *td = static_cast<tiff_data *>(ir->data);
    kassert(row >= 0 && row < ir->height);
    if (td->rgba) {
        unsigned char *p = td->image + row * td->row_bytes;
        if (!buf)
            return p;
        memcpy(buf, p, static_cast<size_t>(td->row_bytes));
        return buf;
    }
    kassert(buf != NULL);
    // A damaged scanline becomes a black transparent row, never the stale
    // contents of the ring.
    if (TIFFReadScanline(td->tif, buf, static_cast<uint32_t>(row), 0) < 0)
        memset(buf, 0, static_cast<size_t>(td->row_bytes));
    return buf;
}

image_reader *tiff_reader(const char *path)
{
    tiff_data *td = tiff_open(path, "r");
    if (!td) {
        // libtiff has said why, not always with the name.
        print_message(msg_refused, path, "libtiff cannot open it");
        return nullptr;
    }
    image_size size;
    if (tiff_image_size(td, &size) != 0) {
        tiff_close(td);
        return nullptr;
    }
    image_reader *ir =
        create_image_reader(1, td, size.width, size.height, size.pixformat, tiff_read_row, tiff_close);
    if (td->rgba)
        return ir;
    // Scanlines are decoded once each, in order, straight into the ring.
    size_t row_len = std::max(static_cast<size_t>(td->row_bytes), image_row_length(ir));
    void *ring = aligned_malloc(row_len);
    if (!ring)
        print_error(msg_no_ring, static_cast<long>(row_len));
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
        print_error(msg_write, td->path);
    return 0;
}

int tiff_write_row(void *data, void *row)
{
    tiff_data *td = static_cast<tiff_data *>(data);
    if (TIFFWriteScanline(td->tif, row, static_cast<uint32_t>(td->next_row), 0) < 0)
        print_error(msg_write, td->path);
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
        print_error(msg_create, path);
    tiff_write_image_header(td, width, height, pixformat);
    return create_virtual_image_writer(width, height, pixformat, tiff_write_row, tiff_close, td);
}

int tiff_close(void *data)
{
    tiff_data *td = static_cast<tiff_data *>(data);
    if (td->rgba) {
        aligned_free(td->image);
    } else if (td->fd >= 0) {
        // The last strip and the directory are written here.
        if (!TIFFFlush(td->tif))
            print_error(msg_write, td->path);
        TIFFCleanup(td->tif);
        if (close(td->fd) != 0)
            print_error(msg_close, td->path, strerror(errno));
    } else {
        TIFFClose(td->tif);
    }
    free_record(td);
    return 0;
}

TIFF *tiff_handle(tiff_data *td) { return td->tif; }

int tiff_descriptor(const tiff_data *td) { return td->fd; }
