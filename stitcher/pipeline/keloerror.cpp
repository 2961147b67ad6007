#include "stitcher/pipeline/keloerror.h"

#include "stitcher/pipeline/kelo_windows.h"
#include "stitcher/pipeline/string2.h"

#include <atomic>
#include <climits>
#include <cpuid.h>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static std::atomic<int> verbose{1};
static std::atomic<int> console{0};
static std::atomic<int> stdout_reserved{0};
static std::atomic<fatal_handler> on_fatal{nullptr};
static std::atomic_flag ending = ATOMIC_FLAG_INIT;

// A signal handler may be reading the published name at any moment, so a new
// name goes to the other slot and nothing is ever freed.
struct partial_file {
    int dirfd;
    char name[PATH_MAX];
};
static partial_file partial_slots[2];
static std::atomic<const partial_file *> partial_output{nullptr};

// Fatal texts are formatted into a buffer of this size and cut when longer.
enum { ERROR_TEXT_SIZE = 1032 };

static std::string vformat(const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0)
        return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    vsnprintf(s.data(), s.size() + 1, fmt, ap);
    return s;
}

void set_verbose(int v) { verbose = v; }
void set_console(int c) { console = c; }
int get_console(void) { return console; }
void reserve_stdout(int reserved) { stdout_reserved = reserved; }

static void publish_partial(int dirfd, const char *name)
{
    static int next_slot = 0;
    const partial_file *kept = nullptr;
    if (name && strlen(name) < PATH_MAX) {
        partial_file *slot = &partial_slots[next_slot];
        slot->dirfd = dirfd;
        strcpy(slot->name, name);
        kept = slot;
        next_slot ^= 1;
    }
    partial_output.store(kept);
}

void set_partial_output(const char *path)
{
    struct stat st;
    bool regular = path && lstat(path, &st) == 0 && S_ISREG(st.st_mode);
    publish_partial(AT_FDCWD, regular ? path : nullptr);
}

void set_partial_output_at(int dirfd, const char *name) { publish_partial(dirfd, name); }

static char temp_slots[2][PATH_MAX];
static std::atomic<const char *> partial_temp{nullptr};

void set_partial_temp(const char *path)
{
    static int next_slot = 0;
    const char *kept = nullptr;
    if (path && strlen(path) < PATH_MAX) {
        kept = strcpy(temp_slots[next_slot], path);
        next_slot ^= 1;
    }
    partial_temp.store(kept);
}

// Far more than the readers that are ever open at once (the photo warped and
// the one decoded ahead).
enum { CHILD_GROUPS = 64 };
static std::atomic<int> child_groups[CHILD_GROUPS];

int add_child_group(int pgid)
{
    for (std::atomic<int> &slot : child_groups) {
        int free_slot = 0;
        if (slot.compare_exchange_strong(free_slot, pgid))
            return 0;
    }
    return -1;
}

void remove_child_group(int pgid)
{
    for (std::atomic<int> &slot : child_groups) {
        int taken = pgid;
        if (slot.compare_exchange_strong(taken, 0))
            return;
    }
}

static thread_local std::string refusal_text;

void set_refusal(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    refusal_text = vformat(fmt, ap);
    va_end(ap);
}

void clear_refusal(void) { refusal_text.clear(); }

void print_refusal(const char *fmt, const char *path, const char *why)
{
    refusal_text = why;
    print_message(fmt, path, why);
}
const char *refusal(void) { return refusal_text.c_str(); }

// Async-signal-safe. The readers' output is thrown away: they are killed,
// not asked to end, so that one that ignores SIGTERM cannot linger.
static void remove_partial_output(void)
{
    if (const partial_file *p = partial_output.load())
        unlinkat(p->dirfd, p->name, 0);
    if (const char *path = partial_temp.load())
        unlink(path);
    for (std::atomic<int> &slot : child_groups)
        if (int pgid = slot.load())
            kill(-pgid, SIGKILL);
}

static void interrupted(int)
{
    remove_partial_output();
    _exit(1);
}

void catch_interrupts(void)
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue; // nohup, or a background job of a shell without job control
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = interrupted;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void set_fatal_handler(fatal_handler handler) { on_fatal = handler; }

[[noreturn]] static void end_run(const char *text, bool assertion = false)
{
    fatal_handler handler = on_fatal.load();
    if (handler && !assertion)
        handler(text);
    if (ending.test_and_set()) {
        // Another thread is already ending the process.
        for (;;)
            pause();
    }
    error_message(text);
    if (handler)
        abort();
    fflush(stdout);
    fflush(stderr);
    remove_partial_output();
    _exit(1);
}

static int terminal_vmessage(const char *fmt, va_list ap)
{
    std::string s = vformat(fmt, ap);
    terminal_message(s.data(), s.size());
    return static_cast<int>(s.size());
}

int print_message(const char *fmt, ...)
{
    if (!verbose)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = terminal_vmessage(fmt, ap);
    va_end(ap);
    return n;
}

int print_warning(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = terminal_vmessage(fmt, ap);
    va_end(ap);
    return n;
}

int print_stdout(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    if (stdout_reserved) {
        terminal_message(s.data(), s.size());
    } else {
        fwrite(s.data(), 1, s.size(), stdout);
        fflush(stdout);
    }
    return static_cast<int>(s.size());
}

void print_error(const char *fmt, ...)
{
    char text[ERROR_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    end_run(text);
}

void print_refused_file(const char *plain, const char *with_reason, const char *name)
{
    const std::string why = refusal_text;
    if (why.empty())
        print_error(plain, name);
    print_error(with_reason, name, why.c_str());
}

void cancel_run(void) { end_run("Cancelled by user.\n"); }

void assertion_failed(const char *expr, const char *file, int line)
{
    char text[ERROR_TEXT_SIZE];
    snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %d\n", expr, file, line);
    end_run(text, true);
}

char *save_file_as(const char *default_name, const char *title)
{
    if (!console)
        return win_save_file_as(default_name, title);
    printf("\n%s\n", title);
    fflush(stdout);
    char word[1024];
    if (scanf("%1023s", word) != 1 || word[0] == '\0')
        return nullptr;
    return sdup(word);
}

int progress(int command, ...)
{
    if (console)
        return 1;
    const char *title = nullptr;
    long percent = 0;
    va_list ap;
    va_start(ap, command);
    if (command == PROGRESS_OPEN)
        title = va_arg(ap, const char *);
    else if (command == PROGRESS_UPDATE)
        percent = va_arg(ap, int);
    va_end(ap);
    return win_progress(command, title, percent);
}

int progress_open(const char *title) { return progress(PROGRESS_OPEN, title); }
int progress_update(int percent) { return progress(PROGRESS_UPDATE, percent); }
int progress_close(void) { return progress(PROGRESS_CLOSE); }

uint32_t cpuid(uint32_t leaf, uint32_t regs[4])
{
    unsigned a, b, c, d;
    __cpuid(leaf, a, b, c, d);
    regs[0] = a;
    regs[1] = b;
    regs[2] = c;
    regs[3] = d;
    return a;
}

int check_cpu(void)
{
    uint32_t r[4];
    uint32_t max_leaf = cpuid(0, r);
    char vendor[13];
    memcpy(vendor, &r[1], 4);
    memcpy(vendor + 4, &r[3], 4);
    memcpy(vendor + 8, &r[2], 4);
    vendor[12] = '\0';
    print_message("CPU vendor %s\n", vendor);
    if (static_cast<int32_t>(max_leaf) <= 0)
        return 0;
    cpuid(1, r);
    int mmx = (r[3] >> 23) & 1, sse = (r[3] >> 25) & 1, sse2 = (r[3] >> 26) & 1, sse3 = r[2] & 1;
    print_message("Processor supports mmx(%d) sse(%d) sse2(%d) sse3(%d)\n", mmx, sse, sse2, sse3);
    return sse3 ? 3 : sse2 ? 2 : sse ? 1 : 0;
}
