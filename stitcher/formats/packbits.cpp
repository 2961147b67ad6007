#include "stitcher/formats/packbits.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unistd.h>

static const char msg_no_memory[] = "Not enough memory.\n";
static const char msg_write[] = "Could not write compressed stream %d: %s\n";
static const char msg_read[] = "Could not read compressed stream %d: %s\n";
static const char msg_truncated[] = "Compressed stream %d ends inside a code.\n";

enum { CHUNK = 128, MAX_CODE = CHUNK + 1, MIN_BUFFER = 1024 };

struct packbits_stream {
    unsigned char *buf;
    size_t size;
    size_t cursor; // next unread byte
    size_t end;    // bytes of buf holding stream data
    bool eof;      // the descriptor has nothing more
    // A code cut short by the end of a decode request, finished by the next.
    size_t literal; // literal bytes left, at cursor
    size_t repeat;  // copies of value left
    unsigned char value;
};

static packbits_stream packbits_buf[PACKBITS_BUFN];

static packbits_stream *stream_of(int fd)
{
    kassert(fd >= 0 && fd < PACKBITS_BUFN);
    return &packbits_buf[fd];
}

static void allocate(packbits_stream *s, size_t n)
{
    // Every 128 input bytes cost at most one count byte.
    if (n > SIZE_MAX / 2)
        print_error(msg_no_memory);
    size_t size = std::max<size_t>(n + n / CHUNK + 1, MIN_BUFFER);
    aligned_free(s->buf);
    *s = {};
    s->buf = static_cast<unsigned char *>(checked_malloc(size));
    s->size = size;
}

int packbits_malloc(int fd, size_t n)
{
    allocate(stream_of(fd), n);
    return fd;
}

// One chunk of at most 128 bytes: runs of three or more become repeat codes,
// everything else (pairs included) literal codes. Returns the code bytes.
static size_t encode_chunk(const unsigned char *in, size_t n, unsigned char *out)
{
    size_t o = 0, literal_start = 0, literal_len = 0;
    auto close_literal = [&] {
        if (literal_len == 0)
            return;
        out[o++] = static_cast<unsigned char>(literal_len - 1);
        memcpy(out + o, in + literal_start, literal_len);
        o += literal_len;
        literal_len = 0;
    };
    for (size_t i = 0; i < n;) {
        size_t run = 1;
        while (i + run < n && in[i + run] == in[i])
            run++;
        if (run >= 3) {
            close_literal();
            out[o++] = static_cast<unsigned char>(1 - static_cast<int>(run)); // -(run - 1) as a signed byte
            out[o++] = in[i];
        } else {
            if (literal_len == 0)
                literal_start = i;
            literal_len += run;
        }
        i += run;
    }
    close_literal();
    return o;
}

size_t packbits_encode(int fd, const void *bytes, size_t n)
{
    packbits_stream *s = stream_of(fd);
    kassert(s->buf != nullptr);
    if (n + (n + CHUNK - 1) / CHUNK > s->size)
        allocate(s, n);
    const unsigned char *in = static_cast<const unsigned char *>(bytes);
    size_t o = 0;
    for (size_t i = 0; i < n; i += CHUNK)
        o += encode_chunk(in + i, std::min<size_t>(CHUNK, n - i), s->buf + o);
    if (write_full(fd, s->buf, o) != 0)
        print_error(msg_write, fd, strerror(errno));
    // The buffer now holds codes, not stream data to decode.
    s->cursor = s->end = 0;
    return n;
}

// Moves the unread bytes to the start and fills the rest from fd.
static void refill(packbits_stream *s, int fd)
{
    size_t left = s->end - s->cursor;
    memmove(s->buf, s->buf + s->cursor, left);
    s->cursor = 0;
    s->end = left;
    if (s->eof)
        return;
    int64_t got = read_full(fd, s->buf + left, s->size - left);
    if (got < 0)
        print_error(msg_read, fd, strerror(errno));
    s->end += static_cast<size_t>(got);
    s->eof = static_cast<size_t>(got) < s->size - left;
}

void packbits_rewind(int fd)
{
    packbits_stream *s = stream_of(fd);
    kassert(s->buf != nullptr);
    if (lseek(fd, 0, SEEK_SET) != 0)
        print_error(msg_read, fd, strerror(errno));
    s->cursor = s->end = s->literal = s->repeat = 0;
    s->eof = false;
    refill(s, fd);
}

size_t packbits_decode(int fd, void *dst, size_t n)
{
    packbits_stream *s = stream_of(fd);
    kassert(s->buf != nullptr);
    unsigned char *out = static_cast<unsigned char *>(dst);
    size_t done = 0;
    while (done < n) {
        if (s->literal > 0) {
            size_t k = std::min(s->literal, n - done);
            memcpy(out + done, s->buf + s->cursor, k);
            s->cursor += k;
            s->literal -= k;
            done += k;
            continue;
        }
        if (s->repeat > 0) {
            size_t k = std::min(s->repeat, n - done);
            memset(out + done, s->value, k);
            s->repeat -= k;
            done += k;
            continue;
        }
        // A whole code (at most 129 bytes) must be in the buffer before it starts.
        if (s->end - s->cursor < MAX_CODE)
            refill(s, fd);
        size_t avail = s->end - s->cursor;
        if (avail == 0)
            print_error(msg_truncated, fd);
        int c = static_cast<signed char>(s->buf[s->cursor]);
        if (c == -128) { // no-op in the PackBits scheme
            s->cursor++;
        } else if (c >= 0) {
            if (avail < static_cast<size_t>(c) + 2)
                print_error(msg_truncated, fd);
            s->cursor++;
            s->literal = static_cast<size_t>(c) + 1;
        } else {
            if (avail < 2)
                print_error(msg_truncated, fd);
            s->value = s->buf[s->cursor + 1];
            s->cursor += 2;
            s->repeat = static_cast<size_t>(1 - c);
        }
    }
    return n;
}

void packbits_close(int fd)
{
    packbits_stream *s = stream_of(fd);
    aligned_free(s->buf);
    *s = {};
    close(fd);
}
