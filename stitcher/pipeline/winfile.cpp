// Positioned writes only: a store into a mapping over a hole of a full disk
// ends the process with SIGBUS, where a write reports the failure.
#include "stitcher/pipeline/winfile.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

static const char msg_sparse[] = "Filesystem supports sparse writing.\n";
static const char msg_no_sparse[] = "Warning: Filesystem does not support sparse writing.\n";
static const char msg_slow[] = "Large files will be written slowly.\n";
static const char msg_no_info[] = "Warning: Could not get information about filesystem.\n";
static const char msg_no_mapping[] = "Could not create file mapping.\n";
static const char msg_no_pointer[] = "Could not create file mapping pointer.\n";
static const char msg_write[] = "Could not write %d bytes. Error %d\n";
static const char msg_seek[] = "Could not set filepointer to %d.\n";

struct win_output {
    int fd; // the real descriptor
    int64_t pos;
    void *map;
    int64_t map_size;
};

static win_output the_file;
static win_output *win_file = nullptr;

// statfs types of file systems that leave unwritten ranges unallocated.
// Those not listed (FAT, exFAT, HFS and unknown ones) count as writing them
// out in full.
static const int64_t sparse_types[] = {
    0xEF53,     // ext2, ext3, ext4
    0x58465342, // xfs
    0x9123683E, // btrfs
    0x01021994, // tmpfs
    0x858458F6, // ramfs
    0x2FC12FC1, // zfs
    0xF2F52010, // f2fs
    0xCA451A4E, // bcachefs
    0x3153464A, // jfs
    0x52654973, // reiserfs
    0x7366746E, // ntfs3
    0x794C7630, // overlay
    0x6969,     // nfs
    0xFF534D42, // cifs
    0xFE534D42, // smb2
    0x00C36400, // ceph
};

void report_sparse_writing(int queried, int64_t f_type)
{
    if (queried)
        for (int64_t t : sparse_types)
            if (t == f_type) {
                print_message(msg_sparse);
                return;
            }
    if (!queried)
        print_warning(msg_no_info);
    print_warning(msg_no_sparse);
    print_warning(msg_slow);
}

int pwin_open(const char *name, int mode1)
{
    if ((mode1 & O_WRONLY) == 0)
        assertion_failed("(mode1 & _O_WRONLY) != 0", __FILE__, __LINE__);
    kassert(win_file == NULL);
    // Read access too: a shared writable mapping needs it.
    int fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct statfs fs;
    int queried = fstatfs(fd, &fs) == 0;
    report_sparse_writing(queried, queried ? static_cast<int64_t>(fs.f_type) : 0);
    the_file = {fd, 0, nullptr, 0};
    win_file = &the_file;
    return FD;
}

static int unmap(void)
{
    int status = win_file->map ? munmap(win_file->map, static_cast<size_t>(win_file->map_size)) : 0;
    win_file->map = nullptr;
    return status;
}

void set_map_size(int fd, int64_t size)
{
    kassert(fd == FD);
    kassert(win_file);
    unmap();
    if (size < 0 || ftruncate(win_file->fd, size) != 0)
        print_error(msg_no_mapping);
    // An empty file has nothing to map.
    void *p = nullptr;
    if (size > 0) {
        p = mmap(nullptr, alloc_size(size), PROT_READ | PROT_WRITE, MAP_SHARED, win_file->fd, 0);
        if (p == MAP_FAILED)
            print_error(msg_no_pointer);
    }
    win_file->map = p;
    win_file->map_size = size;
}

int64_t pwin_write(int fd, const void *buffer, int64_t n)
{
    kassert(fd == FD);
    kassert(win_file);
    // The text's %d cannot hold a larger count: those show INT_MAX.
    if (n < 0 || pwrite_full(win_file->fd, buffer, static_cast<size_t>(n), win_file->pos) != 0)
        print_error(msg_write, n > INT_MAX ? INT_MAX : static_cast<int>(n), n < 0 ? EINVAL : errno);
    win_file->pos += n;
    return n;
}

int64_t pwin_seek(int fd, int64_t offset, int whence)
{
    kassert(fd == FD);
    kassert(whence == SEEK_SET);
    if (!win_file || offset < 0)
        print_error(msg_seek, static_cast<int>(static_cast<uint32_t>(offset)));
    win_file->pos = offset;
    return offset;
}

int pwin_close(int fd)
{
    kassert(fd == FD);
    kassert(win_file);
    int status = unmap() | close(win_file->fd);
    win_file = nullptr;
    return status ? -1 : 0;
}
