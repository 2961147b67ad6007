#include "stitcher/pipeline/tmp_image.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/spill.h"
#include "stitcher/pipeline/tmp_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

static const char msg_write[] = "Could not write temporary file in %s: %s.\n";
static const char msg_write_output[] = "Could not write file %s: %s.\n";
static const char msg_read[] = "Could not read temporary file in %s: %s.\n";

static tmp_write_fn tiled_write_fn = nullptr;
static tmp_seek_fn tiled_seek_fn = nullptr;
static int output_fd = -1;
static const char *output_name = nullptr;

void set_tiled_io(tmp_write_fn write, tmp_seek_fn seek)
{
    tiled_write_fn = write;
    tiled_seek_fn = seek;
}

void set_output_descriptor(int fd, const char *name)
{
    output_fd = fd;
    output_name = name;
}

// ---- descriptors ----

// A spilled image's index may have any of the other flags' bits.
static bool spilled(int fdflags) { return fdflags & FD_SPILL; }
static bool in_memory(int fdflags) { return !spilled(fdflags) && (fdflags & FD_RAMFS); }

// Where a temporary image of these flags lives, for messages.
static const char *storage_of(int fdflags) { return in_memory(fdflags) ? "memory" : tmp_folder(); }

static int64_t disk_write(int fd, const void *buf, int64_t n)
{
    if (write_full(fd, buf, static_cast<size_t>(n)) != 0) {
        if (fd == output_fd)
            print_error(msg_write_output, output_name, strerror(errno));
        print_error(msg_write, tmp_folder(), strerror(errno));
    }
    return n;
}

static int64_t disk_seek(int fd, int64_t offset, int whence) { return lseek(fd, offset, whence); }

// Bytes before the pixels: the fixed fields and the packed template of
// `words` words, rounded up to a multiple of 16.
static int64_t header_size(int64_t words) { return (20 + 4 * words + 15) & ~int64_t(15); }

// ---- writers ----

struct tmp_data;
// Stores n bytes at the writer's place and moves it on; false on failure.
typedef bool (*tmp_put_fn)(tmp_data *td, const void *p, int64_t n);

struct tmp_data {
    int32_t fd;
    int32_t fdflags;
    tmp_write_fn write;
    tmp_seek_fn seek;
    template_ *tpl;
    unsigned char *rowbuf; // the stored form of a run, or the caller's row
    int32_t owns_rowbuf;
    int64_t row_bytes; // width * stored_bpp
    int32_t stored_bpp;
    int32_t in_bpp;
    pix_converter converter; // null when the pixformats are equal
    int64_t row_offset;      // template_writer2: file offset of column 0
    int64_t stride;
    int64_t wrap_bytes;       // the input bytes of one target row
    int64_t in_row_bytes;     // width * in_bpp
    int64_t size;             // temp_writer: bytes of the complete image
    const unsigned char *row; // the row being written
    tmp_put_fn put;
    int64_t base; // a file's temporary image: its first byte in the file
    int64_t pos;  // bytes stored
};

static bool ram_put(tmp_data *td, const void *p, int64_t n)
{
    td->pos += n;
    return ramfs_write(td->fd, p, n) == n;
}

// Positioned, so that images sharing a spill file never share an offset.
static bool file_put(tmp_data *td, const void *p, int64_t n)
{
    if (pwrite_full(td->fd, p, static_cast<size_t>(n), td->base + td->pos) != 0)
        print_error(msg_write, tmp_folder(), strerror(errno));
    td->pos += n;
    return true;
}

// template_writer2's target: the panorama file, through its own calls.
static bool target_put(tmp_data *td, const void *p, int64_t n) { return td->write(td->fd, p, n) == n; }

static tmp_data *new_writer(int fdflags, int width, uint32_t in_pixformat, uint32_t stored_pixformat)
{
    tmp_data *td = static_cast<tmp_data *>(checked_calloc(1, sizeof(tmp_data)));
    td->fd = fdflags & 0xFFFF;
    td->fdflags = fdflags;
    td->write = disk_write;
    td->seek = disk_seek;
    td->put = target_put;
    td->stored_bpp = get_bytes_per_pixel(stored_pixformat);
    td->in_bpp = get_bytes_per_pixel(in_pixformat);
    kassert(td->stored_bpp > 0 && td->in_bpp > 0 && width >= 0);
    td->row_bytes = int64_t(width) * td->stored_bpp;
    td->in_row_bytes = int64_t(width) * td->in_bpp;
    if (in_pixformat != stored_pixformat) {
        td->converter = get_pix_converter(in_pixformat, stored_pixformat);
        kassert(td->converter);
        td->rowbuf = static_cast<unsigned char *>(aligned_malloc(alloc_size(td->row_bytes)));
        kassert(td->rowbuf);
        td->owns_rowbuf = 1;
    }
    return td;
}

static int writer_close(void *data)
{
    tmp_data *td = static_cast<tmp_data *>(data);
    free_template(td->tpl, !td->tpl->runs_packed);
    if (td->owns_rowbuf)
        aligned_free(td->rowbuf);
    aligned_free(td);
    return 0;
}

// The run's pixels in the stored form.
static const unsigned char *stored_run(tmp_data *td, int64_t src, int length)
{
    const unsigned char *p = td->row + src;
    if (!td->converter)
        return p;
    td->converter(p, td->rowbuf, length);
    return td->rowbuf;
}

static void write_run(tmp_data *td, const void *p, int length)
{
    int64_t n = int64_t(length) * td->stored_bpp;
    int fail = !td->put(td, p, n);
    kassert(!fail);
}

// ---- temp_writer ----

// Header and pixels of a temporary image of the template.
static int64_t image_size(template_ *tpl, int bpp)
{
    int64_t pixels;
    kassert(checked_mul(template_npix(tpl), bpp, &pixels));
    return header_size(size_template(tpl)) + pixels;
}

int64_t temp_image_size(int width, int height, uint32_t stored_pixformat, const irectangle *ext,
                        const irectangle *rects, int n)
{
    irectangle whole = {0, 0, width, height};
    template_ *tpl = create_template(ext ? ext : &whole, rects, n);
    int64_t size = image_size(tpl, get_bytes_per_pixel(stored_pixformat));
    free_template(tpl, 1);
    return size;
}

static void write_header(tmp_data *td, const irectangle *ext, int32_t pixformat)
{
    int32_t *packed = pack_template(td->tpl);
    int64_t words = packed[0];
    static const unsigned char zeros[16] = {};
    struct {
        const void *p;
        int64_t n;
    } parts[4] = {
        {&pixformat, 4}, {ext, 16}, {packed, 4 * words}, {zeros, header_size(words) - 20 - 4 * words}};
    for (auto &part : parts)
        if (part.n > 0 && !td->put(td, part.p, part.n))
            print_error(msg_write, storage_of(td->fdflags), strerror(errno));
    aligned_free(packed);
}

static int temp_write_run(void *user, int pos, int length)
{
    tmp_data *td = static_cast<tmp_data *>(user);
    write_run(td, stored_run(td, int64_t(pos) * td->in_bpp, length), length);
    return 0;
}

static int temp_write_row(void *data, void *row)
{
    tmp_data *td = static_cast<tmp_data *>(data);
    td->row = static_cast<const unsigned char *>(row);
    return process_row(td->tpl, nullptr, temp_write_run, td);
}

static int temp_write_close(void *data)
{
    tmp_data *td = static_cast<tmp_data *>(data);
    // Every covered pixel was stored exactly once.
    kassert(td->pos == td->size);
    int fail = in_memory(td->fdflags) && ramfs_lseek(td->fd, 0, SEEK_SET) != 0;
    kassert(!fail);
    return writer_close(td);
}

image_writer *temp_writer(int fdflags, int width, int height, uint32_t in_pixformat,
                          uint32_t stored_pixformat, const irectangle *ext, const irectangle *rects, int n)
{
    kassert(spilled(fdflags) || !(fdflags & FD_TILED));
    irectangle whole = {0, 0, width, height};
    if (!ext)
        ext = &whole;
    // Rows or columns beyond the image would never be written.
    kassert(ext->x >= 0 && ext->y >= 0 && int64_t(ext->x) + ext->width <= width &&
            int64_t(ext->y) + ext->height <= height);
    tmp_data *td = new_writer(fdflags, width, in_pixformat, stored_pixformat);
    td->tpl = create_template(ext, rects, n);
    td->size = image_size(td->tpl, td->stored_bpp);
    td->put = file_put;
    if (spilled(fdflags)) {
        spill_extent e = spill_where(fdflags & (FD_SPILL - 1));
        kassert(e.size == td->size);
        td->fd = e.fd;
        td->base = e.offset;
    } else if (fdflags & FD_RAMFS) {
        td->put = ram_put;
        ramfs_malloc(td->fd, td->size);
    }
    write_header(td, ext, static_cast<int32_t>(stored_pixformat));
    return create_virtual_image_writer(width, height, in_pixformat, temp_write_row, temp_write_close, td);
}

// ---- template_writer ----

static void clear_rowbuf(void *user)
{
    tmp_data *td = static_cast<tmp_data *>(user);
    memset(td->rowbuf, 0, static_cast<size_t>(td->row_bytes));
}

static int convert_run(void *user, int pos, int length)
{
    tmp_data *td = static_cast<tmp_data *>(user);
    td->converter(td->row + int64_t(pos) * td->in_bpp, td->rowbuf + int64_t(pos) * td->stored_bpp, length);
    return 0;
}

static int template_write_row(void *data, void *row)
{
    tmp_data *td = static_cast<tmp_data *>(data);
    td->row = static_cast<const unsigned char *>(row);
    return process_row(td->tpl, clear_rowbuf, convert_run, td);
}

image_writer *template_writer(int width, int height, uint32_t in_pixformat, uint32_t out_pixformat,
                              const irectangle *rects, int n, void *buffer)
{
    tmp_data *td = new_writer(0, width, in_pixformat, in_pixformat);
    td->stored_bpp = get_bytes_per_pixel(out_pixformat);
    kassert(td->stored_bpp > 0);
    td->row_bytes = int64_t(width) * td->stored_bpp;
    td->converter = get_pix_converter(in_pixformat, out_pixformat);
    kassert(td->converter);
    td->rowbuf = static_cast<unsigned char *>(buffer);
    irectangle whole = {0, 0, width, height};
    td->tpl = create_template(&whole, rects, n);
    return create_virtual_image_writer(width, height, in_pixformat, template_write_row, writer_close, td);
}

// ---- template_writer2 ----

static int place_run(void *user, int pos, int length)
{
    tmp_data *td = static_cast<tmp_data *>(user);
    int64_t offset = td->row_offset + int64_t(pos) * td->stored_bpp;
    // the assertion's text is fixed
    // clang-format off
    kassert(offset == td->seek( td->fd, offset, SEEK_SET ));
    // clang-format on
    int64_t src = int64_t(pos) * td->in_bpp;
    if (src < 0)
        src += td->wrap_bytes; // a run that wrap_template moved to the left end
    kassert(src >= 0 && src + int64_t(length) * td->in_bpp <= td->in_row_bytes);
    write_run(td, stored_run(td, src, length), length);
    return 0;
}

static int place_row(void *data, void *row)
{
    tmp_data *td = static_cast<tmp_data *>(data);
    td->row = static_cast<const unsigned char *>(row);
    process_row(td->tpl, nullptr, place_run, td);
    td->row_offset += td->stride;
    return 0;
}

image_writer *template_writer2(int fdflags, int width, int height, uint32_t in_pixformat,
                               uint32_t stored_pixformat, template_ *tpl, int64_t base, int64_t stride)
{
    kassert(!(fdflags & FD_RAMFS) && !(fdflags & FD_SPILL));
    tmp_data *td = new_writer(fdflags, width, in_pixformat, stored_pixformat);
    if (fdflags & FD_TILED) {
        kassert(tiled_write_fn && tiled_seek_fn);
        td->write = tiled_write_fn;
        td->seek = tiled_seek_fn;
    }
    td->tpl = tpl;
    td->row_offset = base;
    td->stride = stride;
    td->wrap_bytes = stride * td->in_bpp / td->stored_bpp;
    return create_virtual_image_writer(width, height, in_pixformat, place_row, writer_close, td);
}

// ---- readers ----

struct tmp_read_data;
// Reads n bytes at the reader's place and moves it on; the bytes read.
typedef int64_t (*tmp_get_fn)(tmp_read_data *td, void *p, int64_t n);

struct tmp_read_data {
    int32_t fd;
    int32_t fdflags;
    tmp_get_fn read;
    template_ *tpl;
    int32_t *pt; // the packed template, which tpl's runs point into
    int32_t pixformat, x, y, width, height;
    int32_t stored_bpp;
    int64_t row_bytes;
    unsigned char *buf;     // the row being read
    unsigned char *scratch; // merge_row's runs of a disk file
    int64_t base, pos;      // as the writer's
};

static int64_t ram_get(tmp_read_data *td, void *p, int64_t n) { return ramfs_read(td->fd, p, n); }

static int64_t file_get(tmp_read_data *td, void *p, int64_t n)
{
    int64_t got = pread_full(td->fd, p, static_cast<size_t>(n), td->base + td->pos);
    td->pos += std::max<int64_t>(got, 0);
    return got;
}

static void read_exact(tmp_read_data *td, void *p, int64_t n)
{
    if (n <= 0)
        return;
    int64_t got = td->read(td, p, n);
    if (got != n)
        print_error(msg_read, storage_of(td->fdflags), got < 0 ? strerror(errno) : "the file ends early");
}

static void clear_buf(void *user)
{
    tmp_read_data *td = static_cast<tmp_read_data *>(user);
    memset(td->buf, 0, static_cast<size_t>(td->row_bytes));
}

static int read_run(void *user, int pos, int length)
{
    tmp_read_data *td = static_cast<tmp_read_data *>(user);
    kassert(pos >= 0 && int64_t(pos) + length <= td->width);
    read_exact(td, td->buf + int64_t(pos) * td->stored_bpp, int64_t(length) * td->stored_bpp);
    return 0;
}

// The next row's runs into buf; clear, when given, empties it first.
static void *read_runs(image_reader *ir, void *buf, band_done_fn clear)
{
    kassert(buf != NULL);
    tmp_read_data *td = static_cast<tmp_read_data *>(ir->data);
    td->buf = static_cast<unsigned char *>(buf);
    process_row(td->tpl, clear, read_run, td);
    return buf;
}

static void *temp_read_row(image_reader *ir, int, void *buf) { return read_runs(ir, buf, clear_buf); }

// What the row does not cover keeps what the caller had there.
static void *paste_read_row(image_reader *ir, int, void *buf) { return read_runs(ir, buf, nullptr); }

static int temp_read_close(void *data)
{
    tmp_read_data *td = static_cast<tmp_read_data *>(data);
    if (spilled(td->fdflags))
        spill_close(td->fdflags & (FD_SPILL - 1));
    else if (in_memory(td->fdflags))
        ramfs_close(td->fd);
    else
        close(td->fd);
    free_template(td->tpl, 0);
    aligned_free(td->pt);
    aligned_free(td->scratch);
    aligned_free(td);
    return 0;
}

static image_reader *open_reader(int fdflags, uint32_t type, reader_read_fn read)
{
    kassert(spilled(fdflags) || !(fdflags & FD_TILED));
    tmp_read_data *td = static_cast<tmp_read_data *>(checked_calloc(1, sizeof(tmp_read_data)));
    td->fd = fdflags & 0xFFFF;
    td->fdflags = fdflags;
    td->read = in_memory(fdflags) ? ram_get : file_get;
    if (spilled(fdflags)) {
        spill_extent e = spill_where(fdflags & (FD_SPILL - 1));
        td->fd = e.fd;
        td->base = e.offset;
    }
    int32_t head[6]; // pixformat, x, y, width, height, N
    read_exact(td, head, sizeof head);
    int64_t words = head[5];
    kassert(words >= 2);
    int64_t h = header_size(words);
    td->pt = static_cast<int32_t *>(aligned_malloc(static_cast<size_t>(h - 20)));
    kassert(td->pt);
    td->pt[0] = head[5];
    read_exact(td, td->pt + 1, h - 24);
    td->tpl = unpack_template(td->pt);
    td->pixformat = head[0];
    td->x = head[1];
    td->y = head[2];
    td->width = head[3];
    td->height = head[4];
    shift_template(td->tpl, td->x, td->y);
    td->stored_bpp = get_bytes_per_pixel(static_cast<uint32_t>(td->pixformat));
    kassert(td->stored_bpp > 0 && td->width >= 0 && td->height >= 0);
    td->row_bytes = int64_t(td->width) * td->stored_bpp;
    return create_image_reader(type, td, td->width, td->height, static_cast<uint32_t>(td->pixformat), read,
                               temp_read_close);
}

// The type word marks a temporary-image reader with 4 (create_image_reader
// keeps only the two low bits).
image_reader *temp_reader(int fdflags) { return open_reader(fdflags, 1 | 4, temp_read_row); }

image_reader *paste_reader(int fdflags) { return open_reader(fdflags, 1, paste_read_row); }

struct merge_args {
    tmp_read_data *td;
    unsigned char *buffer;
    int x, width;
    uint32_t pixformat;
    bool alpha; // pixels without alpha are passed over, never laid
    bool keep;  // pixels with alpha 0 fill what is still empty (merge_row_alpha_keep)
};

static int merge_run(void *user, int pos, int length)
{
    merge_args *m = static_cast<merge_args *>(user);
    tmp_read_data *td = m->td;
    int64_t n = int64_t(length) * td->stored_bpp;
    const void *pixels;
    if (in_memory(td->fdflags)) {
        pixels = ramfs_read_direct(td->fd, n);
    } else {
        read_exact(td, td->scratch, n);
        pixels = td->scratch;
    }
    if (m->alpha && m->keep)
        merge_row_alpha_keep(m->buffer, m->width, pixels, m->x + pos, length, m->pixformat);
    else if (m->alpha)
        merge_row_alpha(m->buffer, m->width, pixels, m->x + pos, length, m->pixformat);
    return 0;
}

static void *merge_runs(image_reader *ir, void *buffer, int x, uint32_t pixformat, int width, bool keep)
{
    kassert(ir->read == temp_read_row);
    tmp_read_data *td = static_cast<tmp_read_data *>(ir->data);
    // A disk file's runs pass through a row of their own; a RAM file's are
    // merged where they lie.
    if (!in_memory(td->fdflags) && !td->scratch) {
        td->scratch = static_cast<unsigned char *>(aligned_malloc(alloc_size(td->row_bytes)));
        kassert(td->scratch);
    }
    // merge_row_alpha reads its pixels in the layout of pixformat.
    kassert(pixformat == static_cast<uint32_t>(td->pixformat));
    merge_args m = {td,        static_cast<unsigned char *>(buffer),
                    x,         width,
                    pixformat, pixformat == uchar_RGBA || pixformat == ushort_RGBA,
                    keep};
    process_row(td->tpl, nullptr, merge_run, &m);
    return buffer;
}

void *merge_row(image_reader *ir, int, void *buffer, int x, uint32_t pixformat, int width)
{
    return merge_runs(ir, buffer, x, pixformat, width, false);
}

void *merge_row_keep(image_reader *ir, int, void *buffer, int x, uint32_t pixformat, int width)
{
    return merge_runs(ir, buffer, x, pixformat, width, true);
}
