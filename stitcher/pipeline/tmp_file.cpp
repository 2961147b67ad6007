#include "stitcher/pipeline/tmp_file.h"

#include "stitcher/pipeline/keloerror.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

static const char msg_created[] = "Created %d tempfiles.\n";
static const char msg_no_tempfile[] = "Could not create tempfile.\n";
static const char msg_unlink[] = "Could not unlink %s\n";

static const char disk_template[] = "kelo_temp_XXXX";
static const char ram_template[] = "/dev/shm/kelo_tempXXXXXX";
static const char ps3vram_template[] = "/mnt/tmp/kelo_tempXXXXXX";

// The next number to try, shared by the three kinds; -1 until seeded.
static std::atomic<int32_t> rnd{-1};
static std::atomic<int32_t> ntempfiles{0};

const char *tmp_folder(void)
{
    static const std::string folder = [] {
        char buf[PATH_MAX];
        return std::string(getcwd(buf, sizeof buf) ? buf : ".");
    }();
    return folder.c_str();
}

// Two runs in one folder must not try the same names: the start comes from
// the system's random source, or from the clock and the process id.
static int32_t first_number(void)
{
    uint32_t seed;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        seed = static_cast<uint32_t>(ts.tv_nsec) ^ static_cast<uint32_t>(ts.tv_sec) * 2654435761u ^
               static_cast<uint32_t>(getpid()) << 16;
    }
    return static_cast<int32_t>(seed & INT32_MAX);
}

int my_mkstemps(char *name)
{
    size_t len = strlen(name), prefix = len;
    while (prefix > 0 && name[prefix - 1] == 'X')
        prefix--;
    int n = static_cast<int>(len - prefix);
    int32_t unseeded = -1;
    rnd.compare_exchange_strong(unseeded, first_number());
    // The number stays within the field, so the name keeps its length; the
    // names are unlinked at once, so the field's numbers do not run out.
    uint64_t numbers = n >= 8 ? uint64_t(1) << 32 : uint64_t(1) << (4 * n);
    char format[16];
    snprintf(format, sizeof format, "%%%dx", n);
    for (uint64_t tries = 0; tries < numbers; tries++) {
        uint32_t number = static_cast<uint32_t>(rnd.fetch_add(1) & INT32_MAX) % numbers;
        snprintf(name + prefix, len - prefix + 1, format, number);
        // Exclusive creation: a file of that name is never taken over.
        int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int open_tmp_fd(int kind)
{
    const char *templates[3] = {disk_template, ram_template, ps3vram_template};
    if (kind < 0 || kind > 2)
        return -1;
    char name[64];
    snprintf(name, sizeof name, "%s", templates[kind]);
    // No interrupt and no other thread's fatal end may leave the name
    // behind between its creation and its unlinking.
    static std::mutex naming;
    std::lock_guard<std::mutex> hold(naming);
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop, sig);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    int fd = my_mkstemps(name), error = errno;
    if (fd >= 0) {
        set_partial_temp(name);
        ntempfiles++;
        if (unlink(name) != 0)
            print_stdout(msg_unlink, name);
        set_partial_temp(nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return fd;
}

int open_unnamed_tmp_fd(void)
{
    int fd = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ntempfiles++;
        return fd;
    }
    // Not every file system makes files without names.
    return open_tmp_fd(TMP_DISK);
}

int create_tmp_fd(int kind)
{
    int fd = open_tmp_fd(kind);
    if (fd < 0 && kind >= 0 && kind <= 2) {
        int error = errno;
        print_stdout(msg_created, ntempfiles.load());
        print_error("%s: %s\n", msg_no_tempfile, strerror(error));
    }
    return fd;
}
