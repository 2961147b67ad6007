#include "stitcher/formats/jpeg.h"

#include "stitcher/formats/exif.h"
#include "stitcher/formats/icc_profile.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <jerror.h> // reads jpeglib.h's configuration

// libjpeg's error manager with what our handlers need. An error while a file
// is being opened for reading jumps back to the opener (a clean refusal);
// any other is fatal for the run, from whichever thread meets it.
struct jpeg_error_handler {
    jpeg_error_mgr pub;
    jmp_buf refuse;
    int refusing;     // 1 while `refuse` is armed
    int quiet;        // 1: warnings are not shown (the file is read again later)
    const char *path; // for messages
    char text[JMSG_LENGTH_MAX];
};

struct jpeg_data {
    FILE *file;
    jpeg_decompress_struct dinfo;
    jpeg_compress_struct cinfo;
    jpeg_error_handler err;
    int32_t rows_per_batch; // the decompressor's rec_outbuf_height
    JSAMPARRAY sarray;      // row pointers into the reader's ring; null when writing
    int64_t stride;         // bytes between rows of the ring
    int32_t curr_row;       // ring slot of the next row handed out
    int32_t rows_in_batch;  // slots filled by the last jpeg_read_scanlines, from 0
    int32_t orientation;    // EXIF Orientation, 1 when there is none
    char *path;
    int32_t mode; // 0 nothing created, 1 decompressing, 2 compressing
    int32_t markers_written;
};

static const char msg_not_rgb[] = "JPEG images must be uchar_RGB.\n";
static const char msg_create[] = "Could not create file %s: %s.\n";
static const char msg_close[] = "Could not close file %s: %s.\n";
static const char msg_refused[] = "Could not read JPEG image %s: %s.\n";
static const char msg_failed[] = "JPEG file %s: %s.\n";
static const char msg_warning[] = "Warning: JPEG file %s: %s.\n";
static const char msg_rotation[] = "exif rotation %d not implemented in %s\n";
static const char msg_not_honoured[] =
    "Warning: %s has EXIF orientation %d, which this run does not honour: it is stitched as stored.\n";

// An APP1 or APP2 marker's longest payload.
enum { MARKER_MAX = 0xFFFF - 2 };

enum { EXIF_ORIENTATION = 274 };

static std::atomic<int> honorexiforientation{0};
// Kept by the main thread before any writer runs; a writer thread started
// later sees the complete list through the release/acquire pair.
static std::atomic<saved_marker *> exif{nullptr};

void set_honor_exiforientation(int honor) { honorexiforientation = honor; }

// Only 6 and 8 have a rotation.
static bool rotation_refused(int orientation)
{
    return orientation > 1 && orientation != 6 && orientation != 8;
}

void check_exif_orientation(const char *path, int orientation)
{
    if (honorexiforientation && rotation_refused(orientation))
        print_error(msg_rotation, orientation, path);
    if (!honorexiforientation && orientation > 1)
        print_warning(msg_not_honoured, path, orientation);
}

void free_watermark(void) {}

// ---- errors ----

static void jpeg_fail(j_common_ptr c)
{
    jpeg_error_handler *e = reinterpret_cast<jpeg_error_handler *>(c->err);
    const int error = errno;
    (*c->err->format_message)(c, e->text);
    // libjpeg guesses at a full disk; the system knows why the write failed.
    if (c->err->msg_code == JERR_FILE_WRITE && error != 0) {
        size_t n = strlen(e->text);
        snprintf(e->text + n, sizeof e->text - n, " (%s)", strerror(error));
    }
    if (e->refusing)
        longjmp(e->refuse, 1);
    print_error(msg_failed, e->path, e->text);
}

// Warnings after which libjpeg goes on with made-up pixels.
static bool loses_data(int code)
{
    switch (code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
        return true;
    default:
        return false;
    }
}

static void jpeg_note(j_common_ptr c, int level)
{
    if (level >= 0)
        return; // trace output
    if (loses_data(c->err->msg_code))
        jpeg_fail(c);
    jpeg_error_handler *e = reinterpret_cast<jpeg_error_handler *>(c->err);
    if (c->err->num_warnings++ == 0 && !e->quiet) {
        (*c->err->format_message)(c, e->text);
        print_warning(msg_warning, e->path, e->text);
    }
}

static jpeg_error_mgr *error_manager(jpeg_data *jd)
{
    jpeg_std_error(&jd->err.pub);
    jd->err.pub.error_exit = jpeg_fail;
    jd->err.pub.emit_message = jpeg_note;
    jd->err.path = jd->path;
    jd->err.refusing = 0;
    jd->err.quiet = 0;
    return &jd->err.pub;
}

// ---- saved markers ----

void free_marker_list(saved_marker *list)
{
    while (list) {
        saved_marker *next = list->next;
        aligned_free(list);
        list = next;
    }
}

static saved_marker *copy_markers(const jpeg_decompress_struct *d)
{
    saved_marker *list = nullptr, **tail = &list;
    for (jpeg_saved_marker_ptr m = d->marker_list; m; m = m->next) {
        saved_marker *s = static_cast<saved_marker *>(checked_malloc(sizeof(saved_marker) + m->data_length));
        unsigned char *data = reinterpret_cast<unsigned char *>(s + 1);
        memcpy(data, m->data, m->data_length);
        *s = {nullptr, m->marker, m->data_length, data};
        *tail = s;
        tail = &s->next;
    }
    return list;
}

void keep_saved_markers(saved_marker *list)
{
    free_marker_list(exif.exchange(list, std::memory_order_acq_rel));
}

const saved_marker *saved_markers(void) { return exif.load(std::memory_order_acquire); }

void free_saved_markers(void) { keep_saved_markers(nullptr); }

// The Orientation of the first APP1 that is EXIF and has one; else 1.
static int exif_orientation(const jpeg_decompress_struct *d)
{
    for (jpeg_saved_marker_ptr m = d->marker_list; m; m = m->next) {
        uint16_t orientation;
        if (m->marker == JPEG_APP0 + 1 &&
            get_exif_tag(m->data, m->data_length, EXIF_ORIENTATION, SHORT, &orientation) == 0)
            return orientation;
    }
    return 1;
}

// ---- opening and closing ----

static jpeg_data *new_record(const char *path)
{
    jpeg_data *jd = static_cast<jpeg_data *>(checked_calloc(1, sizeof(jpeg_data)));
    jd->path = sdup(path);
    jd->orientation = 1;
    return jd;
}

// Releases what libjpeg and the record hold; the file's close is not checked.
static void release(jpeg_data *jd)
{
    if (jd->mode == 1)
        jpeg_destroy_decompress(&jd->dinfo);
    else if (jd->mode == 2)
        jpeg_destroy_compress(&jd->cinfo);
    if (jd->file)
        fclose(jd->file);
    aligned_free(jd->sarray);
    aligned_free(jd->path);
    aligned_free(jd);
}

// The only setjmp of the module: every libjpeg error until the decompressor
// has started (or, header_only, until the header is read) comes back here as
// a refusal. Nothing with a destructor lives in this frame, and everything it
// changes is in *jd.
static int start_decompress(jpeg_data *jd, int header_only)
{
    if (setjmp(jd->err.refuse)) {
        jd->err.refusing = 0;
        return -1;
    }
    jd->dinfo.err = error_manager(jd);
    jd->err.refusing = 1;
    jd->err.quiet = header_only;
    jd->mode = 1;
    jpeg_create_decompress(&jd->dinfo);
    // A header may claim an image whose progressive coefficients would not
    // fit in memory; libjpeg then refuses instead of paging the machine out.
    jd->dinfo.mem->max_memory_to_use = static_cast<long>(std::min<size_t>(available_memory(), LONG_MAX));
    jpeg_stdio_src(&jd->dinfo, jd->file);
    jpeg_save_markers(&jd->dinfo, JPEG_APP0 + 1, 0xFFFF);
    // Decoding needs only the EXIF orientation; the profile pieces are
    // wanted by the header read alone.
    if (header_only)
        jpeg_save_markers(&jd->dinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&jd->dinfo, TRUE);
    if (header_only) {
        jd->err.refusing = jd->err.quiet = 0;
        return 0;
    }
    // Grey is widened to RGB by the library; CMYK and YCCK have no RGB form
    // here and would overrun three-sample rows.
    J_COLOR_SPACE cs = jd->dinfo.jpeg_color_space;
    if (cs != JCS_GRAYSCALE && cs != JCS_YCbCr && cs != JCS_RGB) {
        snprintf(jd->err.text, sizeof jd->err.text, "colour space %s is not supported",
                 cs == JCS_CMYK   ? "CMYK"
                 : cs == JCS_YCCK ? "YCCK"
                                  : "(unknown)");
        jd->err.refusing = 0;
        return -1;
    }
    jd->dinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&jd->dinfo);
    jd->err.refusing = 0;
    if (jd->dinfo.output_components != 3) {
        snprintf(jd->err.text, sizeof jd->err.text, "%d samples per pixel", jd->dinfo.output_components);
        return -1;
    }
    return 0;
}

static int open_for_reading(jpeg_data *jd)
{
    jd->file = fopen(jd->path, "rbe");
    if (!jd->file) {
        print_refusal(msg_refused, jd->path, strerror(errno));
        return -1;
    }
    if (start_decompress(jd, 0) != 0) {
        print_refusal(msg_refused, jd->path, jd->err.text);
        return -1;
    }
    jd->orientation = exif_orientation(&jd->dinfo);
    return 0;
}

int jpeg_read_metadata(const char *path, saved_marker **markers, icc_profile **profile, int *orientation)
{
    *markers = nullptr;
    *profile = nullptr;
    *orientation = 1;
    jpeg_data *jd = new_record(path);
    jd->file = fopen(path, "rbe");
    if (!jd->file || start_decompress(jd, 1) != 0) {
        release(jd);
        return -1;
    }
    *orientation = exif_orientation(&jd->dinfo);
    *markers = copy_markers(&jd->dinfo);
    JOCTET *icc;
    unsigned int icc_length;
    // The pieces are checked and joined by their sequence numbers.
    if (jpeg_read_icc_profile(&jd->dinfo, &icc, &icc_length)) {
        *profile = new_icc_profile(path, icc, icc_length);
        free(icc);
    }
    release(jd);
    return 0;
}

static int open_for_writing(jpeg_data *jd)
{
    int fd = create_output_file(jd->path);
    jd->file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!jd->file) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    jd->cinfo.err = error_manager(jd);
    jd->mode = 2;
    jpeg_create_compress(&jd->cinfo);
    jpeg_stdio_dest(&jd->cinfo, jd->file);
    return 0;
}

jpeg_data *jpeg_open(const char *path, const char *mode)
{
    jpeg_data *jd = new_record(path);
    int status = strcmp(mode, "r") == 0 ? open_for_reading(jd) : open_for_writing(jd);
    if (status != 0) {
        int saved = errno;
        release(jd);
        errno = saved;
        return nullptr;
    }
    return jd;
}

int jpeg_close(void *data)
{
    jpeg_data *jd = static_cast<jpeg_data *>(data);
    if (jd->mode == 2) {
        // Writes the rest of the data and flushes the file; a failure is
        // fatal through the error manager.
        jpeg_finish_compress(&jd->cinfo);
        FILE *file = jd->file;
        jd->file = nullptr;
        if (fclose(file) != 0)
            print_error(msg_close, jd->path, strerror(errno));
    }
    release(jd);
    return 0;
}

// ---- reading ----

int jpeg_image_size(jpeg_data *jd, image_size *out)
{
    const int width = static_cast<int>(jd->dinfo.output_width);
    const int rows = jd->dinfo.rec_outbuf_height;
    // Rows of the batch keep a length that is a multiple of 12 bytes.
    jd->stride = (int64_t(width) * 3 + 11) / 12 * 12;
    jd->rows_per_batch = rows;
    int64_t bytes;
    unsigned char *block = nullptr;
    if (checked_mul(jd->stride, rows, &bytes))
        block = static_cast<unsigned char *>(aligned_malloc(static_cast<size_t>(bytes)));
    jd->sarray = static_cast<JSAMPARRAY>(aligned_malloc(static_cast<size_t>(rows) * sizeof(JSAMPROW)));
    if (!block || !jd->sarray) {
        aligned_free(block);
        aligned_free(jd->sarray);
        jd->sarray = nullptr;
        return -1;
    }
    for (int i = 0; i < rows; i++)
        jd->sarray[i] = block + i * jd->stride;
    jd->curr_row = 0;
    jd->rows_in_batch = 0;
    *out = {width, static_cast<int32_t>(jd->dinfo.output_height), uchar_RGB};
    return 0;
}

void jpeg_read(void *data, void *buf)
{
    jpeg_data *JD = static_cast<jpeg_data *>(data);
    if (JD->curr_row >= JD->rows_in_batch) {
        // The next row's ring slot; libjpeg may deliver fewer rows than
        // asked for, and the batch then continues where it stopped.
        int slot = JD->curr_row % JD->rows_per_batch;
        JDIMENSION n = jpeg_read_scanlines(&JD->dinfo, JD->sarray + slot,
                                           static_cast<JDIMENSION>(JD->rows_per_batch - slot));
        if (n == 0)
            print_error(msg_failed, JD->path, "no more rows");
        JD->curr_row = slot;
        JD->rows_in_batch = slot + static_cast<int32_t>(n);
    }
    // the assertion's text is fixed
    // clang-format off
    kassert(buf == JD->sarray[JD->curr_row]);
    // clang-format on
    JD->curr_row++;
}

// Huffman coding spends at least one bit on every 8 x 8 block of the fullest
// component, whatever the picture: a file shorter than that was cut short or
// lies about its size, and is refused before a row is decoded. Arithmetic
// coding has no such floor.
static bool shorter_than_its_size(const jpeg_data *jd)
{
    struct stat st;
    if (jd->dinfo.arith_code || fstat(fileno(jd->file), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    uint64_t blocks = uint64_t(jd->dinfo.image_width + 7) / 8 * ((uint64_t(jd->dinfo.image_height) + 7) / 8);
    return uint64_t(st.st_size) * 8 < blocks;
}

image_reader *jpeg_reader(const char *path)
{
    jpeg_data *jd = jpeg_open(path, "r");
    if (!jd)
        return nullptr;
    if (shorter_than_its_size(jd)) {
        char why[128];
        snprintf(why, sizeof why, "the file is far shorter than its size of %ux%u needs",
                 jd->dinfo.image_width, jd->dinfo.image_height);
        print_refusal(msg_refused, path, why);
        jpeg_close(jd);
        return nullptr;
    }
    // Source images are loaded whole (and held once more when rotated): a
    // header's claim beyond the memory is refused before any of it is decoded.
    int64_t bytes;
    if (!checked_mul3(jd->dinfo.output_width, jd->dinfo.output_height, 3, &bytes) ||
        static_cast<uint64_t>(bytes) > available_memory()) {
        print_refusal(msg_refused, path, "the image is larger than the memory of this machine");
        jpeg_close(jd);
        return nullptr;
    }
    image_size size;
    if (jpeg_image_size(jd, &size) != 0) {
        print_refusal(msg_refused, path, "not enough memory");
        jpeg_close(jd);
        return nullptr;
    }
    // The ring of the buffered reader is the decompressor's batch: rows are
    // decompressed where the chain reads them.
    void *ring = jd->sarray[0];
    const int nrows = jd->rows_per_batch, orientation = jd->orientation;
    const size_t stride = static_cast<size_t>(jd->stride);
    image_reader *ir = sequential_reader(1, jd, size.width, size.height, uchar_RGB, jpeg_read, jpeg_close);
    ir = buffered_reader_1(ir, ring, nrows, stride, 1);
    if (orientation > 1 && honorexiforientation) {
        if (rotation_refused(orientation))
            print_error(msg_rotation, orientation, path);
        ir = rotate_reader(ir, orientation);
        ir = buffered_reader_2(ir, 1);
    }
    return ir;
}

// ---- writing ----

int jpeg_write_image_header(jpeg_data *jd, int width, int height, int quality, int progressive)
{
    jpeg_compress_struct *c = &jd->cinfo;
    c->image_width = static_cast<JDIMENSION>(width);
    c->image_height = static_cast<JDIMENSION>(height);
    c->input_components = 3;
    c->in_color_space = JCS_RGB;
    jpeg_set_defaults(c);
    jpeg_set_quality(c, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(c);
    jpeg_start_compress(c, TRUE);
    return 0;
}

static bool is_icc_piece(const saved_marker *m)
{
    return m->code == JPEG_APP0 + 2 && m->length >= 14 && memcmp(m->data, "ICC_PROFILE", 12) == 0;
}

static bool is_mpf(const saved_marker *m)
{
    return m->code == JPEG_APP0 + 2 && m->length >= 4 && memcmp(m->data, "MPF", 4) == 0;
}

// Whether the ICC pieces among the markers, in their order, are the profile.
static bool carry_profile(const saved_marker *list, const icc_profile *icc)
{
    std::vector<unsigned char> joined;
    for (const saved_marker *m = list; m; m = m->next)
        if (is_icc_piece(m))
            joined.insert(joined.end(), m->data + 14, m->data + m->length);
    return joined.size() == icc->length && memcmp(joined.data(), icc->data, icc->length) == 0;
}

// The saved markers, each APP1 made true to this image in a copy of its own
// (the list is shared and stays as it was read). When the panorama's
// profile is another one (a TIFF photo's, or a later JPEG's), it replaces
// theirs.
static void write_markers(jpeg_data *jd)
{
    const icc_profile *icc = kept_icc_profile();
    const bool carried = icc && carry_profile(saved_markers(), icc);
    std::vector<unsigned char> copy;
    for (const saved_marker *m = saved_markers(); m; m = m->next) {
        if (is_icc_piece(m) ? !carried : is_mpf(m))
            continue;
        copy.assign(m->data, m->data + m->length);
        uint64_t length = m->length;
        if (m->code == JPEG_APP0 + 1) {
            copy.resize(MARKER_MAX);
            length =
                exif_for_image(copy.data(), m->length, copy.size(), static_cast<int>(jd->cinfo.image_width),
                               static_cast<int>(jd->cinfo.image_height));
        }
        jpeg_write_marker(&jd->cinfo, m->code, copy.data(), static_cast<unsigned int>(length));
    }
    if (icc && !carried)
        jpeg_write_icc_profile(&jd->cinfo, icc->data, icc->length);
}

int jpeg_write_row(void *data, void *row)
{
    jpeg_data *jd = static_cast<jpeg_data *>(data);
    if (!jd->markers_written) {
        jd->markers_written = 1;
        write_markers(jd);
    }
    JSAMPROW r = static_cast<JSAMPROW>(row);
    if (jpeg_write_scanlines(&jd->cinfo, &r, 1) != 1)
        print_error(msg_failed, jd->path, "a row could not be written");
    return 0;
}

image_writer *jpeg_writer(const char *path, int width, int height, uint32_t pixformat, int quality,
                          int progressive)
{
    if (pixformat != uchar_RGB)
        print_error(msg_not_rgb);
    jpeg_data *jd = jpeg_open(path, "w");
    if (!jd)
        print_error(msg_create, path, strerror(errno));
    jpeg_write_image_header(jd, width, height, quality, progressive);
    return create_virtual_image_writer(width, height, uchar_RGB, jpeg_write_row, jpeg_close, jd);
}
