// File-descriptor I/O that survives short transfers and EINTR. Every call
// either moves all the bytes asked for or reports a failure; a read may stop
// short only at the end of the file.
#pragma once
#include <cstddef>
#include <cstdint>

// Bytes read (fewer than n only at the end of the file), or -1 on an error.
int64_t read_full(int fd, void *buf, size_t n);
int64_t pread_full(int fd, void *buf, size_t n, int64_t offset);
// 0 when all n bytes were written, -1 otherwise (errno tells why; a write
// that makes no progress is reported as ENOSPC).
int write_full(int fd, const void *buf, size_t n);
int pwrite_full(int fd, const void *buf, size_t n, int64_t offset);
