// Spill files: the temporary images that do not stay in memory share a few
// unlinked files in the current folder, each image at an extent of its own,
// so that the descriptors stay few whatever the number of images. An
// extent's blocks are reserved when it is handed out, so that a full disk
// shows then and not in the middle of an image; a closed image's blocks go
// back to the system and its extent to the next images.
//
// Any thread may open, use and close spilled images at the same time: the
// tables are guarded, and an image's bytes move by positioned transfers at
// its own offset, never through a descriptor's shared offset.
#pragma once
#include <cstddef>
#include <cstdint>

enum {
    FD_SPILL = 0x40000000, // an fdflags word with this bit names a spilled image by bits 0-29
    SPILL_NFILES = 8,      // spill files at most; more are made only when one cannot grow
};

// Where a spilled image lies: the spill file's descriptor and the image's
// bytes [offset, offset + size) in it.
struct spill_extent {
    int fd;
    int64_t offset;
    int64_t size;
};

// A new spilled image of size bytes: its index (below FD_SPILL), or -1 with
// errno set when no spill file can be made or hold it; the first failure
// is told, naming the folder and the reason.
int spill_open(int64_t size);
// The extent of an open spilled image.
spill_extent spill_where(int index);
// n bytes at byte `at` of the extent, from or to p; a failed transfer ends
// the run, naming the spill folder and the reason.
void spill_write_at(const spill_extent &e, const void *p, size_t n, int64_t at);
void spill_read_at(const spill_extent &e, void *p, size_t n, int64_t at);
// Gives the image's blocks back and frees its index and extent.
void spill_close(int index);
// The reason (an errno value) of the first spill that failed, 0 while none
// has.
int spill_failure(void);
// Spill files open, and bytes held by open spilled images.
int spill_files(void);
int64_t spill_total_size(void);
// Closes the spill files and forgets the first failure, so that the next
// spill makes a file in the current folder again; no spilled image may be
// open. For tests, each of which starts from a fresh state.
void spill_reset(void);
