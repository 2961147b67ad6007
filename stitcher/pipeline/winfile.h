// One output file at a time, written at chosen offsets and sized ahead in
// one step, behind the fixed descriptor FD. Nothing in the program uses it.
#pragma once
#include <cstdint>

// The descriptor callers see; the module keeps the real one to itself.
enum { FD = 5 };

// mode must hold O_WRONLY. Creates (or truncates) the file and tells through
// print_message whether its file system writes sparse files. FD, or -1 when
// the file cannot be created. Only one file may be open.
int pwin_open(const char *name, int mode);
// Gives the file this size and maps it, shared and writable; a failure is
// fatal.
void set_map_size(int fd, int64_t size);
// Writes n bytes at the file position and moves it on; returns n. A failure
// is fatal.
int64_t pwin_write(int fd, const void *buffer, int64_t n);
// whence must be SEEK_SET; returns the new position. A negative offset is fatal.
int64_t pwin_seek(int fd, int64_t offset, int whence);
// 0, or -1 when the file could not be closed cleanly.
int pwin_close(int fd);

// The messages of pwin_open for a file system of this statfs type; queried
// 0 when the file system could not be asked.
void report_sparse_writing(int queried, int64_t f_type);
