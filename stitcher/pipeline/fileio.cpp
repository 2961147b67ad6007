#include "stitcher/pipeline/fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int64_t read_full(int fd, void *buf, size_t n)
{
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = read(fd, p + done, n - done);
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

int64_t pread_full(int fd, void *buf, size_t n, int64_t offset)
{
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, p + done, n - done, offset + static_cast<int64_t>(done));
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

int write_full(int fd, const void *buf, size_t n)
{
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = write(fd, p + done, n - done);
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

int pwrite_full(int fd, const void *buf, size_t n, int64_t offset)
{
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = pwrite(fd, p + done, n - done, offset + static_cast<int64_t>(done));
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

int create_output_file(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}
