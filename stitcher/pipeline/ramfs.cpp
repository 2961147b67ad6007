#include "stitcher/pipeline/ramfs.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/spill.h"
#include "stitcher/pipeline/tmp_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

static const char msg_inactive[] = "Attempting to access inactive file %d.\n";
static const char msg_memory[] = "Not enough memory for temporary images.\n";
static const char msg_memory_spill[] =
    "Could not write temporary file in %s: %s. Not enough memory to keep it instead.\n";

std::atomic<int64_t> ramfs_total_size{0};

// Guards ramfs_busy, the sizing and the total; the other tables of a slot
// belong to the one thread that uses the file.
static std::mutex ramfs_lock;
static int32_t ramfs_busy[RAMFS_NFILES];
static unsigned char *ramfs_file[RAMFS_NFILES];
static unsigned char *ramfs_pos[RAMFS_NFILES];
static int64_t ramfs_size[RAMFS_NFILES];

static void check_fd(int fd) { kassert(fd >= 0 && fd < RAMFS_NFILES); }

// Bytes from the cursor to the end of the block.
static int64_t ramfs_left(int fd) { return ramfs_file[fd] + ramfs_size[fd] - ramfs_pos[fd]; }

int ramfs_open(void)
{
    std::lock_guard<std::mutex> hold(ramfs_lock);
    for (int fd = 0; fd < RAMFS_NFILES; fd++) {
        if (!ramfs_busy[fd]) {
            ramfs_busy[fd] = 1;
            return fd;
        }
    }
    return -1;
}

bool ramfs_try_malloc(int fd, int64_t size)
{
    check_fd(fd);
    kassert(size >= 0);
    std::lock_guard<std::mutex> hold(ramfs_lock);
    kassert(ramfs_busy[fd]);
    if (ramfs_file[fd]) {
        kassert(ramfs_size[fd] == size);
        return true;
    }
    ramfs_file[fd] = static_cast<unsigned char *>(aligned_malloc(alloc_size(size)));
    if (!ramfs_file[fd])
        return false;
    ramfs_pos[fd] = ramfs_file[fd];
    ramfs_size[fd] = size;
    ramfs_total_size += size;
    return true;
}

int ramfs_malloc(int fd, int64_t size)
{
    if (!ramfs_try_malloc(fd, size)) {
        if (int error = spill_failure())
            print_error(msg_memory_spill, tmp_folder(), strerror(error));
        print_error(msg_memory);
    }
    return fd;
}

int64_t ramfs_write(int fd, const void *src, int64_t n)
{
    check_fd(fd);
    kassert(static_cast<uint64_t>(n) <= static_cast<uint64_t>(ramfs_left(fd)));
    if (n > 0)
        memcpy(ramfs_pos[fd], src, static_cast<size_t>(n));
    ramfs_pos[fd] += n;
    return n;
}

int64_t ramfs_read(int fd, void *dst, int64_t n)
{
    const void *p = ramfs_read_direct(fd, n);
    if (n > 0)
        memcpy(dst, p, static_cast<size_t>(n));
    return n;
}

void *ramfs_read_direct(int fd, int64_t n)
{
    check_fd(fd);
    kassert(static_cast<uint64_t>(n) <= static_cast<uint64_t>(ramfs_left(fd)));
    unsigned char *p = ramfs_pos[fd];
    ramfs_pos[fd] += n;
    return p;
}

int64_t ramfs_lseek(int fd, int64_t offset, int whence)
{
    check_fd(fd);
    int64_t at = ramfs_pos[fd] - ramfs_file[fd];
    if (whence == SEEK_SET)
        at = offset;
    else if (whence == SEEK_CUR)
        at += offset;
    else
        return -1;
    kassert(static_cast<uint64_t>(at) <= static_cast<uint64_t>(ramfs_size[fd]));
    ramfs_pos[fd] = ramfs_file[fd] + at;
    return at;
}

int ramfs_close(int fd)
{
    std::lock_guard<std::mutex> hold(ramfs_lock);
    if (fd < 0 || fd >= RAMFS_NFILES || !ramfs_busy[fd])
        print_error(msg_inactive, fd);
    aligned_free(ramfs_file[fd]);
    ramfs_total_size -= ramfs_size[fd];
    ramfs_file[fd] = ramfs_pos[fd] = nullptr;
    ramfs_size[fd] = 0;
    ramfs_busy[fd] = 0;
    return 0;
}

void ramfs_clear(int fd)
{
    check_fd(fd);
    if (ramfs_size[fd] > 0)
        memset(ramfs_file[fd], 0, static_cast<size_t>(ramfs_size[fd]));
}

// -1: the default, asked for when first needed.
static std::atomic<int64_t> budget{-1}, rings{-1};

// ZENTHRA_STORE_BUDGET's bytes, or -1 when it gives none.
static int64_t given_budget()
{
    const char *given = getenv("ZENTHRA_STORE_BUDGET");
    char *end = nullptr;
    long long bytes = given ? strtoll(given, &end, 10) : -1;
    return given && *given && !*end && bytes >= 0 ? bytes : -1;
}

static int64_t budget_of(std::atomic<int64_t> &b, int64_t most)
{
    int64_t v = b.load();
    if (v < 0) {
        const int64_t given = given_budget();
        v = given >= 0 ? given : std::min(static_cast<int64_t>(memory_left() / 8), most);
        b.store(v);
    }
    return v;
}

// Temporary images grow with the panorama's area, and past the store they
// cost a copy each way through the page cache; the deep rings grow with its
// width only, and spilled they cost their rows' copies over and over. What
// is kept in memory comes from the address space too, which a 32-bit
// process has little of.
int64_t ramfs_budget(void) { return budget_of(budget, int64_t(128) << 20); }

int64_t ring_budget(void)
{
    return budget_of(rings, sizeof(void *) == 4 ? int64_t(256) << 20 : int64_t(2) << 30);
}

void set_ramfs_budget(int64_t bytes)
{
    budget.store(bytes);
    rings.store(bytes);
}
