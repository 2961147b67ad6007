#include "stitcher/formats/ppm.h"

#include "stitcher/pipeline/child_process.h"
#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/output_file.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static const char msg_open_output[] = "Could not open file %s: %s.\n";
static const char msg_write[] = "Could not write file %s: %s.\n";
static const char msg_close[] = "Could not close file %s: %s.\n";
static const char msg_read[] = "Cannot read ppm image.\n";
static const char msg_read_named[] = "Cannot read ppm image %s: %s.\n";
static const char msg_bad_format[] = "Pixel format %d not supported for output.\n";
static const char msg_too_large[] = "Image %d x %d too large for file %s.\n";
static const char msg_refused[] = "Could not read PPM image %s: %s.\n";

static const char *shown_name(const ppm_data *pd)
{
    if (pd->source)
        return pd->source;
    if (!pd->path)
        return "(pipe)";
    return strcmp(pd->path, "-") == 0 ? "(standard output)" : pd->path;
}

ppm_data *ppm_open(const char *path)
{
    ppm_data *pd = static_cast<ppm_data *>(checked_malloc(sizeof(ppm_data)));
    *pd = {nullptr, 0, 0, 0, -1, 0, 0, 0, nullptr, 0, nullptr};
    if (path)
        pd->path = sdup(path);
    return pd;
}

int ppm_image_header(char *text, size_t size, const ppm_data *pd)
{
    char magic;
    int maxval;
    switch (pd->pixformat) {
    case uchar_RGB:
        magic = '6', maxval = 255;
        break;
    case uchar_RGBA:
        magic = '7', maxval = 255;
        break;
    case ushort_RGB:
        magic = '6', maxval = 65535;
        break;
    case ushort_RGBA:
        magic = '7', maxval = 65535;
        break;
    default:
        return -1;
    }
    return snprintf(text, size, "P%c\n%d %d\n%d\n", magic, pd->width, pd->height, maxval);
}

// Width times bytes per pixel, and the file's full length; false when either
// does not fit.
static bool file_sizes(const ppm_data *pd, int64_t *row_bytes, int64_t *length)
{
    int64_t pixels;
    if (pd->width < 0 || pd->height < 0 ||
        !checked_mul(pd->width, get_bytes_per_pixel(pd->pixformat), row_bytes) ||
        !checked_mul(*row_bytes, pd->height, &pixels) || pixels > INT64_MAX - pd->header_len)
        return false;
    *length = pixels + pd->header_len;
    return true;
}

int ppm_write_image_header(ppm_data *pd, int width, int height, uint32_t pixformat)
{
    pd->width = width;
    pd->height = height;
    pd->pixformat = static_cast<int32_t>(pixformat);
    char header[64];
    int len = ppm_image_header(header, sizeof header, pd);
    if (len < 0)
        print_error(msg_bad_format, pd->pixformat);
    pd->header_len = len;
    int64_t length;
    if (!file_sizes(pd, &pd->row_bytes, &length))
        print_error(msg_too_large, width, height, shown_name(pd));
    if (strcmp(pd->path, "-") == 0) {
        pd->fd = 1;
    } else {
        pd->fd = create_output_file(pd->path);
        if (pd->fd < 0)
            print_error(msg_open_output, pd->path, strerror(errno));
    }
    if (write_full(pd->fd, header, static_cast<size_t>(len)) != 0)
        print_error(msg_write, shown_name(pd), strerror(errno));
    return 0;
}

ppm_data *open_ppm(const char *path, int width, int height, uint32_t pixformat)
{
    ppm_data *pd = ppm_open(path);
    ppm_write_image_header(pd, width, height, pixformat);
    return pd;
}

int ppm_write_row(void *data, void *row)
{
    ppm_data *pd = static_cast<ppm_data *>(data);
    if (write_full(pd->fd, row, static_cast<size_t>(pd->row_bytes)) != 0)
        print_error(msg_write, shown_name(pd), strerror(errno));
    return 0;
}

image_writer *ppm_writer(const char *path, int width, int height, uint32_t pixformat)
{
    ppm_data *pd = open_ppm(path, width, height, pixformat);
    return create_virtual_image_writer(width, height, pixformat, ppm_write_row, ppm_close, pd);
}

// ---- reading ----

int ppm_get_char(int fd)
{
    unsigned char c;
    return read_full(fd, &c, 1) == 1 ? c : -1;
}

enum { PPM_HEADER_LIMIT = 1 << 20 };

struct header_input {
    int fd;
    int64_t consumed; // bytes of the header read so far
    bool too_long;
};

// Every byte counts toward the limit, line ends included: a converter that
// writes nothing but line ends must not keep the reader spinning.
static int next_char(header_input *in)
{
    int c = ppm_get_char(in->fd);
    if (c >= 0 && ++in->consumed > PPM_HEADER_LIMIT) {
        in->too_long = true;
        return -1;
    }
    return c;
}

// A header line of at most 1023 characters (what follows a longer one is the
// next line); -1 when the input (or the header's length limit) ends before it
// starts.
static int read_line(header_input *in, char line[1024])
{
    int c;
    do
        c = next_char(in);
    while (c == '\r' || c == '\n');
    if (c < 0)
        return -1;
    int n = 0;
    while (c >= 0 && c != '\r' && c != '\n') {
        line[n++] = static_cast<char>(c);
        if (n == 1023)
            break;
        c = next_char(in);
    }
    line[n] = '\0';
    return n;
}

// One decimal integer as "%d" reads it, but refused when out of range.
static bool scan_int(const char **s, int *out)
{
    const char *p = *s;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (!isdigit(static_cast<unsigned char>(*p)))
        return false;
    int64_t v = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); p++) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            return false;
    }
    *out = static_cast<int>(negative ? -v : v);
    *s = p;
    return true;
}

// 6 or 7 for a magic line of a binary PPM or its RGBA variant, else 0.
static int magic_of(const char *line)
{
    if (line[0] != 'P' || (line[1] != '6' && line[1] != '7'))
        return 0;
    for (const char *p = line + 2; *p; p++)
        if (*p != ' ' && *p != '\t')
            return 0;
    return line[1] - '0';
}

// read_ppm_header with the reason of a refusal.
static int parse_header(ppm_data *pd, const char **why)
{
    header_input in = {pd->fd, 0, false};
    char line[1024];
    int magic = 0;
    for (;;) {
        if (read_line(&in, line) < 0) {
            *why = in.too_long ? "the header is too long" : "the header is incomplete";
            return -1;
        }
        if (line[0] == '#')
            continue;
        if (line[0] != 'P')
            break;
        // Only the binary forms: a P3 or P5 body read as P6 bytes is garbage.
        magic = magic_of(line);
        if (!magic) {
            *why = "not a binary PPM file (P6) or its RGBA variant (P7)";
            return -1;
        }
    }
    const char *p = line;
    int width, height, maxval;
    if (!magic) {
        *why = "no P6 or P7 line";
        return -1;
    }
    if (!scan_int(&p, &width) || !scan_int(&p, &height)) {
        *why = "no image size";
        return -1;
    }
    if (width <= 0 || height <= 0) {
        *why = "image size out of range";
        return -1;
    }
    p = line;
    if (read_line(&in, line) < 0 || !scan_int(&p, &maxval)) {
        *why = in.too_long ? "the header is too long" : "no maximum value";
        return -1;
    }
    bool alpha = magic == 7;
    if (maxval == 255)
        pd->pixformat = alpha ? uchar_RGBA : uchar_RGB;
    else if (maxval == 65535)
        pd->pixformat = alpha ? ushort_RGBA : ushort_RGB;
    else {
        *why = "maximum value is neither 255 nor 65535";
        return -1;
    }
    pd->width = width;
    pd->height = height;
    pd->header_len = static_cast<int32_t>(in.consumed);
    return 0;
}

int read_ppm_header(ppm_data *pd)
{
    const char *why;
    return parse_header(pd, &why);
}

int ppm_image_size(ppm_data *pd, image_size *out)
{
    if (pd->pipe) {
        pd->fd = fileno(pd->pipe);
    } else {
        pd->fd = open(pd->path, O_RDONLY | O_CLOEXEC);
        if (pd->fd < 0) {
            print_refusal(msg_refused, pd->path, strerror(errno));
            return -1;
        }
    }
    pd->reading = 1;
    const char *why = nullptr;
    int64_t length = 0;
    if (parse_header(pd, &why) != 0)
        ;
    else if (!file_sizes(pd, &pd->row_bytes, &length))
        why = "image size out of range";
    else {
        // A file too short for its header's promise is refused now rather
        // than failing half-way through the image. A program's output cannot
        // be measured: there the header alone decides what is allocated, and
        // the image is loaded whole later.
        struct stat st;
        if (!pd->pipe && fstat(pd->fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < length)
            why = "the file is shorter than its header says";
        else if (static_cast<uint64_t>(pd->row_bytes) > row_memory_bound())
            why = "a row of the image is larger than this machine can hold";
        else if (static_cast<uint64_t>(length - pd->header_len) > available_memory())
            why = "the image is larger than the memory of this machine";
    }
    if (why) {
        print_refusal(msg_refused, shown_name(pd), why);
        return -1;
    }
    out->width = pd->width;
    out->height = pd->height;
    out->pixformat = static_cast<uint32_t>(pd->pixformat);
    return 0;
}

// Closes the output of our program and waits for it; how it ended.
static std::string end_stream(ppm_data *pd)
{
    fclose(pd->pipe);
    pd->pipe = nullptr;
    std::string fate = program_fate(end_program(pd->child));
    pd->child = 0;
    return fate;
}

void ppm_read(void *data, void *buf)
{
    ppm_data *pd = static_cast<ppm_data *>(data);
    int64_t got = read_full(pd->fd, buf, static_cast<size_t>(pd->row_bytes));
    if (got == pd->row_bytes)
        return;
    std::string why = got < 0 ? strerror(errno) : "the image ends early";
    if (pd->child) {
        std::string fate = end_stream(pd);
        if (!fate.empty())
            why += "; " + fate;
    }
    if (!pd->source && !pd->path)
        print_error(msg_read);
    print_error(msg_read_named, shown_name(pd), why.c_str());
}

static image_reader *reader_of(ppm_data *pd)
{
    image_size size;
    if (ppm_image_size(pd, &size) != 0) {
        if (pd->child) {
            std::string why = refusal(), fate = end_stream(pd);
            if (!fate.empty())
                set_refusal("%s; %s", why.c_str(), fate.c_str());
        }
        ppm_close(pd);
        return nullptr;
    }
    image_reader *seq =
        sequential_reader(1, pd, size.width, size.height, size.pixformat, ppm_read, ppm_close);
    return buffered_reader_2(seq, 1);
}

image_reader *ppm_reader(const char *path) { return reader_of(ppm_open(path)); }

image_reader *ppm_reader_2(FILE *stream)
{
    ppm_data *pd = ppm_open(nullptr);
    pd->pipe = stream;
    return reader_of(pd);
}

image_reader *ppm_reader_program(FILE *stream, int pid, const char *source)
{
    ppm_data *pd = ppm_open(nullptr);
    pd->pipe = stream;
    pd->child = pid;
    pd->source = sdup(source);
    return reader_of(pd);
}

// ---- closing ----

// Pixels that nothing wrote must still be in the file: one zero byte at the
// last position gives it its full length (a hole that reads as zeros). The
// length was checked when the file was opened. A pipe or a device got every
// byte in order and cannot be padded.
static void complete_output(ppm_data *pd)
{
    int64_t length = pd->header_len + pd->row_bytes * pd->height;
    struct stat st;
    if (fstat(pd->fd, &st) != 0)
        print_error(msg_write, pd->path, strerror(errno));
    static const char zero = 0;
    if (S_ISREG(st.st_mode) && st.st_size < length && pwrite_full(pd->fd, &zero, 1, length - 1) != 0)
        print_error(msg_write, pd->path, strerror(errno));
}

int ppm_close(void *data)
{
    ppm_data *pd = static_cast<ppm_data *>(data);
    if (pd->pipe && pd->child) {
        end_stream(pd);
    } else if (pd->pipe) {
        pclose(pd->pipe);
    } else if (pd->fd >= 0 && !pd->reading) {
        if (pd->fd != 1) {
            complete_output(pd);
            if (close(pd->fd) != 0)
                print_error(msg_close, pd->path, strerror(errno));
        }
    } else if (pd->fd >= 0) {
        close(pd->fd);
    }
    aligned_free(pd->path);
    aligned_free(pd->source);
    aligned_free(pd);
    return 0;
}
