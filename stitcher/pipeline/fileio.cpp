#include "stitcher/pipeline/fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// One transfer loop for the four calls: offset < 0 means the file position.
static int64_t read_loop(int fd, void *buf, size_t n, int64_t offset)
{
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = offset < 0 ? read(fd, p + done, n - done)
                               : pread(fd, p + done, n - done, offset + static_cast<int64_t>(done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

static int write_loop(int fd, const void *buf, size_t n, int64_t offset)
{
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = offset < 0 ? write(fd, p + done, n - done)
                               : pwrite(fd, p + done, n - done, offset + static_cast<int64_t>(done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0) {
            errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(r);
    }
    return 0;
}

int64_t read_full(int fd, void *buf, size_t n) { return read_loop(fd, buf, n, -1); }
int64_t pread_full(int fd, void *buf, size_t n, int64_t offset) { return read_loop(fd, buf, n, offset); }
int write_full(int fd, const void *buf, size_t n) { return write_loop(fd, buf, n, -1); }
int pwrite_full(int fd, const void *buf, size_t n, int64_t offset) { return write_loop(fd, buf, n, offset); }
