#include "stitcher/pipeline/spill.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/tmp_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

static const char msg_no_spill[] =
    "Could not write temporary file in %s: %s. Temporary images stay in memory.\n";
static const char msg_write[] = "Could not write temporary file in %s: %s.\n";
static const char msg_read[] = "Could not read temporary file in %s: %s.\n";

// Extents start on page boundaries, so that a closed image's blocks can be
// punched out whole.
static const int64_t grain = 4096;

struct spill_file {
    int fd;
    int64_t end;                      // bytes handed out from the start
    std::map<int64_t, int64_t> holes; // offset -> length of extents given back, below end
    bool cannot_grow;                 // the file system refused a larger file
    bool no_reserve;                  // fallocate is not supported here
};

// Guards everything below; transfers take no lock.
static std::mutex spill_lock;
static std::vector<spill_file> files;
static std::vector<spill_extent> images;
static std::vector<int> free_indices;
static int first_failure = 0;
static int64_t total = 0;

// Reserves [offset, offset + n) of the file; 0, or an errno value.
static int reserve(spill_file *f, int64_t offset, int64_t n)
{
    if (f->no_reserve)
        return 0;
    while (fallocate(f->fd, 0, offset, n) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EOPNOTSUPP)
            return errno;
        f->no_reserve = true; // the first write makes the blocks instead
        return 0;
    }
    return 0;
}

// Takes n bytes of f: the first hole that holds them, else the end. The
// offset, or -1 with *error set.
static int64_t take(spill_file *f, int64_t n, int *error)
{
    for (auto it = f->holes.begin(); it != f->holes.end(); ++it) {
        if (it->second < n)
            continue;
        int64_t offset = it->first, length = it->second;
        if ((*error = reserve(f, offset, n)) != 0)
            return -1;
        f->holes.erase(it);
        if (length > n)
            f->holes[offset + n] = length - n;
        return offset;
    }
    if (f->cannot_grow) {
        *error = EFBIG;
        return -1;
    }
    if ((*error = reserve(f, f->end, n)) != 0) {
        f->cannot_grow = *error == EFBIG;
        return -1;
    }
    f->end += n;
    return f->end - n;
}

// Gives [offset, offset + n) back, joined with the holes beside it.
static void give_back(spill_file *f, int64_t offset, int64_t n)
{
    while (fallocate(f->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, n) != 0 && errno == EINTR)
        ;
    auto next = f->holes.lower_bound(offset);
    if (next != f->holes.end() && next->first == offset + n) {
        n += next->second;
        next = f->holes.erase(next);
    }
    if (next != f->holes.begin()) {
        auto before = std::prev(next);
        if (before->first + before->second == offset) {
            offset = before->first;
            n += before->second;
            f->holes.erase(before);
        }
    }
    if (offset + n == f->end)
        f->end = offset;
    else
        f->holes[offset] = n;
}

int spill_open(int64_t size)
{
    kassert(size >= 0);
    const int64_t n = std::max(grain, (size + grain - 1) / grain * grain);
    std::lock_guard<std::mutex> hold(spill_lock);
    int error = 0;
    int64_t offset = -1;
    size_t k = 0;
    for (; k < files.size() && offset < 0; k++)
        offset = take(&files[k], n, &error);
    // A full disk is not helped by another file; one that cannot grow is.
    if (offset < 0 && (files.empty() || error == EFBIG) && files.size() < SPILL_NFILES) {
        int fd = open_unnamed_tmp_fd();
        if (fd < 0) {
            error = errno;
        } else {
            files.push_back(spill_file{fd, 0, {}, false, false});
            offset = take(&files.back(), n, &error);
            k = files.size();
        }
    }
    if (offset < 0) {
        if (!first_failure)
            print_warning(msg_no_spill, tmp_folder(), strerror(error));
        if (!first_failure)
            first_failure = error;
        errno = error;
        return -1;
    }
    spill_extent e = {files[k - 1].fd, offset, size};
    int index;
    if (!free_indices.empty()) {
        index = free_indices.back();
        free_indices.pop_back();
        images[static_cast<size_t>(index)] = e;
    } else {
        kassert(images.size() < FD_SPILL);
        index = static_cast<int>(images.size());
        images.push_back(e);
    }
    total += size;
    return index;
}

spill_extent spill_where(int index)
{
    std::lock_guard<std::mutex> hold(spill_lock);
    kassert(index >= 0 && static_cast<size_t>(index) < images.size() &&
            images[static_cast<size_t>(index)].fd >= 0);
    return images[static_cast<size_t>(index)];
}

void spill_close(int index)
{
    std::lock_guard<std::mutex> hold(spill_lock);
    kassert(index >= 0 && static_cast<size_t>(index) < images.size() &&
            images[static_cast<size_t>(index)].fd >= 0);
    spill_extent &e = images[static_cast<size_t>(index)];
    for (spill_file &f : files)
        if (f.fd == e.fd)
            give_back(&f, e.offset, std::max(grain, (e.size + grain - 1) / grain * grain));
    total -= e.size;
    e.fd = -1;
    free_indices.push_back(index);
}

int spill_failure(void)
{
    std::lock_guard<std::mutex> hold(spill_lock);
    return first_failure;
}

int spill_files(void)
{
    std::lock_guard<std::mutex> hold(spill_lock);
    return static_cast<int>(files.size());
}

int64_t spill_total_size(void)
{
    std::lock_guard<std::mutex> hold(spill_lock);
    return total;
}

void spill_reset(void)
{
    std::lock_guard<std::mutex> hold(spill_lock);
    kassert(free_indices.size() == images.size());
    for (spill_file &f : files)
        close(f.fd);
    files.clear();
    images.clear();
    free_indices.clear();
    first_failure = 0;
}

void spill_write_at(const spill_extent &e, const void *p, size_t n, int64_t at)
{
    if (pwrite_full(e.fd, p, n, e.offset + at) != 0)
        print_error(msg_write, tmp_folder(), strerror(errno));
}

void spill_read_at(const spill_extent &e, void *p, size_t n, int64_t at)
{
    int64_t got = pread_full(e.fd, p, n, e.offset + at);
    if (got != static_cast<int64_t>(n))
        print_error(msg_read, tmp_folder(), got < 0 ? strerror(errno) : "the file ends early");
}
