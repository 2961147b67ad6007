#include "stitcher/pipeline/output_file.h"

#include "stitcher/pipeline/keloerror.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

static const char msg_in_place[] =
    "Warning: cannot write in the folder of %s (%s): the file is written in place, so the earlier "
    "file is lost if the run fails.\n";
static const char msg_replace[] = "Could not replace %s: %s.\n";
static const char msg_flush[] = "Could not flush file %s to its disk: %s.\n";
static const char msg_flush_folder[] = "Could not flush the folder of %s to its disk: %s.\n";

namespace
{

// The folder is held open from the start: a folder moved during the run
// still gets the file, or loses only the temporary one.
struct pending_output {
    std::string asked; // the name as the writers open it
    std::string base;  // the name of the real file in its folder
    std::string temp;  // the temporary file's name there; empty when written in place
    int dirfd = -1;
    int fd = -1; // the file being written, kept for its flush
};

std::mutex lock;
pending_output pending;

mode_t process_umask()
{
    // Read once, on the main thread before any other starts.
    static const mode_t mask = [] {
        mode_t m = umask(022);
        umask(m);
        return m;
    }();
    return mask;
}

std::string folder_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that name finally stands for, in a folder without links, so that
// a symbolic link at the name stays a link to the new file.
bool real_path(const char *name, std::string *out)
{
    std::string path = name;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        if (hops == 40) {
            errno = ELOOP;
            return false;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0)
            return false;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : folder_of(path) + "/" + target;
    }
    std::string base = base_of(path);
    if (base.empty() || base == "." || base == "..") {
        errno = EISDIR;
        return false;
    }
    // A name too long to exist is found now, not by the rename at the end.
    if (base.size() > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    char *folder = realpath(folder_of(path).c_str(), nullptr);
    if (!folder)
        return false;
    *out = std::string(strcmp(folder, "/") == 0 ? "" : folder) + "/" + base;
    free(folder);
    return true;
}

// The replaced file's owner where the process may give it, and its mode.
void take_attributes(int fd, const struct stat *old)
{
    if (!old) {
        fchmod(fd, 0666 & ~process_umask());
        return;
    }
    if (fchown(fd, old->st_uid, old->st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0) {
        // Not ours to give: the new file keeps this process's owner.
    }
    fchmod(fd, old->st_mode & 07777);
}

// Six letters or digits from the system's random source, so that two runs
// (and a guess) do not meet on one name.
void random_letters(char *out)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static uint64_t fallback = static_cast<uint64_t>(time(nullptr)) * 6364136223846793005u ^ getpid();
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != sizeof bytes) {
        fallback = fallback * 6364136223846793005u + 1442695040888963407u;
        for (int i = 0; i < 6; i++)
            bytes[i] = static_cast<unsigned char>(fallback >> (8 * i + 16));
    }
    for (int i = 0; i < 6; i++)
        out[i] = letters[bytes[i] % 62];
}

// Creates the temporary file in the folder, registered for removal before
// it exists, with no interrupt in between; its descriptor, or -1.
int create_temporary(int dirfd, std::string *name)
{
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop, sig);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0; tries++) {
        random_letters(&(*name)[name->size() - 6]);
        set_partial_output_at(dirfd, name->c_str());
        fd = openat(dirfd, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    int error = errno;
    if (fd < 0)
        set_partial_output(nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return fd;
}

// fsync, but a file system that cannot flush (EINVAL) has nothing to flush.
bool flushed(int fd) { return fsync(fd) == 0 || errno == EINVAL; }

} // namespace

int is_stream_target(const char *name)
{
    struct stat st;
    return stat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int begin_output(const char *name)
{
    if (strcmp(name, "-") == 0 || is_stream_target(name))
        return 0;
    std::lock_guard<std::mutex> g(lock);
    kassert(pending.asked.empty());
    std::string real;
    if (!real_path(name, &real))
        return -1;
    const std::string base = base_of(real);
    int dirfd = open(folder_of(real).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        return -1;
    struct stat st;
    const bool exists = fstatat(dirfd, base.c_str(), &st, 0) == 0;
    int error = 0;
    if (exists && S_ISDIR(st.st_mode))
        error = EISDIR;
    // A file the user made read-only is not replaced behind its back.
    else if (exists && faccessat(dirfd, base.c_str(), W_OK, 0) != 0)
        error = errno;
    if (error) {
        close(dirfd);
        errno = error;
        return -1;
    }
    std::string temp = "." + base + ".zenthra-XXXXXX";
    if (temp.size() > NAME_MAX)
        temp = ".zenthra-XXXXXX";
    int fd = create_temporary(dirfd, &temp);
    if (fd < 0) {
        error = errno;
        if (!exists || (error != EACCES && error != EPERM)) {
            close(dirfd);
            errno = error;
            return -1;
        }
        print_warning(msg_in_place, name, strerror(error));
        pending = {name, base, "", dirfd, -1};
        return 0;
    }
    take_attributes(fd, exists ? &st : nullptr);
    pending = {name, base, temp, dirfd, fd};
    return 0;
}

int create_output_file(const char *path)
{
    std::lock_guard<std::mutex> g(lock);
    if (!pending.asked.empty() && pending.asked == path) {
        // The file made at the start, never opened again by name.
        if (!pending.temp.empty()) {
            int fd = fcntl(pending.fd, F_DUPFD_CLOEXEC, 0);
            if (fd >= 0 && (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)) {
                close(fd);
                fd = -1;
            }
            return fd;
        }
        int fd = openat(pending.dirfd, pending.base.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            set_partial_output_at(pending.dirfd, pending.base.c_str()); // truncated: nothing left to keep
            if (pending.fd < 0)
                pending.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        }
        return fd;
    }
    if (is_stream_target(path))
        return open(path, O_WRONLY | O_CLOEXEC);
    return open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void commit_output(const char *name)
{
    std::lock_guard<std::mutex> g(lock);
    if (pending.asked != name)
        return; // standard output or a stream target: nothing to rename
    if (!progress_update(-1))
        cancel_run();
    // The bytes reach the disk before the name moves to them, and the name
    // after: a crash of the machine leaves the earlier file or the new one,
    // never an empty one.
    if (pending.fd >= 0) {
        if (!flushed(pending.fd))
            print_error(msg_flush, name, strerror(errno));
        close(pending.fd);
    }
    if (!pending.temp.empty() &&
        renameat(pending.dirfd, pending.temp.c_str(), pending.dirfd, pending.base.c_str()) != 0)
        print_error(msg_replace, name, strerror(errno));
    if (!flushed(pending.dirfd))
        print_error(msg_flush_folder, name, strerror(errno));
    set_partial_output(nullptr);
    close(pending.dirfd);
    pending = {};
}
