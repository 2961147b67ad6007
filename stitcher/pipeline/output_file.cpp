#include "stitcher/pipeline/output_file.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/tmp_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static const char msg_in_place[] =
    "Warning: cannot write in the folder of %s (%s): the file is written in place, so the earlier "
    "file is lost if the run fails.\n";
static const char msg_replace[] = "Could not replace %s: %s.\n";

namespace
{

struct pending_output {
    std::string asked; // the name as the writers open it
    std::string real;  // where it ends up, symbolic links resolved
    std::string temp;  // empty when written in place
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
    struct stat st;
    const bool exists = stat(real.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    // A file the user made read-only is not replaced behind its back.
    if (exists && access(real.c_str(), W_OK) != 0)
        return -1;
    const std::string folder = folder_of(real), base = base_of(real);
    std::string temp = folder + "/." + base + ".zenthra-XXXXXX";
    if (base.size() + 16 > NAME_MAX)
        temp = folder + "/.zenthra-XXXXXX";
    std::vector<char> buf(temp.c_str(), temp.c_str() + temp.size() + 1);
    int fd = my_mkstemps(buf.data());
    if (fd < 0) {
        if (!exists || (errno != EACCES && errno != EPERM))
            return -1;
        print_message(msg_in_place, name, strerror(errno));
        pending = {name, real, ""};
        return 0;
    }
    take_attributes(fd, exists ? &st : nullptr);
    close(fd);
    pending = {name, real, buf.data()};
    set_partial_output(pending.temp.c_str());
    return 0;
}

int create_output_file(const char *path)
{
    std::lock_guard<std::mutex> g(lock);
    if (!pending.asked.empty() && pending.asked == path) {
        if (!pending.temp.empty())
            return open(pending.temp.c_str(), O_RDWR | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
        int fd = open(pending.real.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0)
            set_partial_output(pending.real.c_str()); // truncated: nothing left to keep
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
    if (!pending.temp.empty() && rename(pending.temp.c_str(), pending.real.c_str()) != 0)
        print_error(msg_replace, name, strerror(errno));
    set_partial_output(nullptr);
    pending = {};
}
