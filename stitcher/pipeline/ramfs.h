// The in-memory file store: numbered RAM files with file-like read, write
// and seek calls, where temporary images live by default. A RAM file is one
// block whose size is fixed before its first write; it never grows.
//
// Opening, sizing and closing take one lock, because the main thread opens
// RAM files while the panorama writer thread closes others. Reads, writes
// and seeks take none: a RAM file is used by one thread at a time, and the
// hand-over between threads is the image's completion word.
#pragma once
#include <atomic>
#include <cstdint>

// As many slots as an fdflags word can number; the table's pages are
// touched, and so cost memory, only as far as files are open at once.
enum {
    RAMFS_NFILES = 0x10000,
    FD_RAMFS = 0x10000, // marks a RAM file number in an fdflags word
};

// Bytes held by all RAM files.
extern std::atomic<int64_t> ramfs_total_size;

// The lowest free file number, now busy but without memory; -1 when every
// slot is busy.
int ramfs_open(void);
// Gives file fd its one block of size bytes (16-byte aligned) with the
// cursor at its start; returns fd. A file is sized once (asking again for
// the size it has does nothing). Without the memory the run ends, naming
// the spill folder and why it failed if one did.
int ramfs_malloc(int fd, int64_t size);
// The same, but false without the memory, and the file stays unsized.
bool ramfs_try_malloc(int fd, int64_t size);
// Copy n bytes at the cursor and advance it; return n. Reading or writing
// past the end of the block is an assertion.
int64_t ramfs_write(int fd, const void *src, int64_t n);
int64_t ramfs_read(int fd, void *dst, int64_t n);
// The cursor's address, then the cursor moved n bytes on: the caller reads
// the n bytes in place.
void *ramfs_read_direct(int fd, int64_t n);
// SEEK_SET or SEEK_CUR inside the block; returns the new position, or -1
// for another whence (not the offset, which a caller would take for the
// position it asked for).
int64_t ramfs_lseek(int fd, int64_t offset, int whence);
// Frees the block and the slot. Closing a file that is not open is fatal.
int ramfs_close(int fd);
// Zeroes the whole block.
void ramfs_clear(int fd);

// The bytes the store should hold at most: the driver sends a temporary
// image that would pass it to an unlinked disk file instead. Unless set, an
// eighth of memory_left() when first asked, at most 128 MiB: such a file
// costs one copy each way through the page cache, and a larger store would
// make the process's memory follow the panorama's area.
int64_t ramfs_budget(void);
// The bytes the deep rings of the blend (readimage.h) keep in memory at
// most before they spill: an eighth of memory_left(), at most 2 GiB (256 MiB
// in a 32-bit process), since a spilled ring copies its rows through the
// page cache again and again, and they follow the panorama's width only.
int64_t ring_budget(void);
// Both, in place of their defaults (for tests); ZENTHRA_STORE_BUDGET in the
// environment (bytes) does the same.
void set_ramfs_budget(int64_t bytes);
