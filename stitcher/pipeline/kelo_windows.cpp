#include "stitcher/pipeline/kelo_windows.h"

#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/string2.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

// The progress "window". One lock guards it and every write to standard
// error, since warper threads report progress while others print messages.
struct status_window {
    std::mutex lock;
    bool open = false;
    bool tty = false;
    bool drawn = false; // the status line stands on the terminal's last line
    std::string title;
    long shown = 0;
    struct sigaction old_int;
};

status_window win;
// Set by Ctrl-C while the window is open: the Cancel button.
std::atomic<int> dialogDone{0};

void on_interrupt(int) { dialogDone.store(1); }

void put(const std::string &s) { fwrite(s.data(), 1, s.size(), stderr); }

int terminal_columns()
{
    struct winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1)
        return ws.ws_col;
    return 80;
}

// The title, the percentage as "%ld %%" and a bar of min(p, 100) '|'. A
// terminal with less room than 100 after the title and "100 %" gets the bar
// scaled down to that room, so that it still grows up to 100 %.
void redraw()
{
    if (!win.tty)
        return;
    char pct[32];
    snprintf(pct, sizeof pct, "%ld %%", win.shown);
    const long width = terminal_columns() - 1;
    const long room = width - static_cast<long>(win.title.size() + strlen("  100 %  "));
    long bars = std::clamp(win.shown, 0L, 100L);
    if (room < 100)
        bars = room > 0 ? bars * room / 100 : 0;
    std::string line = win.title + "  " + pct + "  " + std::string(static_cast<size_t>(bars), '|');
    if (line.size() > static_cast<size_t>(width))
        line.resize(static_cast<size_t>(width));
    put("\r" + line + "\x1b[K");
    fflush(stderr);
    win.drawn = true;
}

void erase_line()
{
    if (win.drawn) {
        put("\r\x1b[K");
        win.drawn = false;
    }
}

void destroy_window()
{
    erase_line();
    fflush(stderr);
    sigaction(SIGINT, &win.old_int, nullptr);
    win.open = false;
}

} // namespace

void error_message(const char *text)
{
    std::lock_guard<std::mutex> g(win.lock);
    erase_line();
    size_t n = strlen(text);
    fwrite(text, 1, n, stderr);
    if (n == 0 || text[n - 1] != '\n')
        fputc('\n', stderr);
    fflush(stderr);
}

void terminal_message(const char *text, size_t len)
{
    std::lock_guard<std::mutex> g(win.lock);
    bool was_drawn = win.drawn;
    erase_line();
    fwrite(text, 1, len, stderr);
    fflush(stderr);
    if (was_drawn && win.open && len > 0 && text[len - 1] == '\n')
        redraw();
}

int win_progress(int command, const char *title, long percent)
{
    std::lock_guard<std::mutex> g(win.lock);
    switch (command) {
    case 0:
        if (!win.open) {
            dialogDone.store(0);
            struct sigaction sa;
            memset(&sa, 0, sizeof sa);
            sa.sa_handler = on_interrupt;
            sigemptyset(&sa.sa_mask);
            // Ignored at start (a background job of a shell without job
            // control): no Cancel button then, as without the window.
            sigaction(SIGINT, nullptr, &win.old_int);
            if (win.old_int.sa_handler != SIG_IGN)
                sigaction(SIGINT, &sa, nullptr);
            win.open = true;
            win.tty = isatty(STDERR_FILENO);
        }
        win.title = title ? title : "";
        win.shown = 0;
        redraw();
        return 1;
    case 1:
        if (win.open && !dialogDone.load() && percent > 0 && percent != win.shown) {
            win.shown = percent;
            redraw();
        }
        if (dialogDone.load()) {
            if (win.open)
                destroy_window();
            return 0;
        }
        return 1;
    case 2:
        if (win.open)
            destroy_window();
        return 1;
    default:
        return 1;
    }
}

char *win_save_file_as(const char *default_name, const char *title)
{
    if (!isatty(STDIN_FILENO))
        return nullptr;
    {
        std::lock_guard<std::mutex> g(win.lock);
        erase_line();
        fprintf(stderr, "%s [%s] ", title, default_name);
        fflush(stderr);
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&line, &cap, stdin);
    if (n < 0) {
        // Ctrl-D leaves the cursor after the question: what follows gets a line of its own.
        error_message("");
        free(line);
        return nullptr;
    }
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        line[--n] = '\0';
    const char *answer = n > 0 ? line : default_name;
    char *copy = sdup(answer);
    free(line);
    return copy;
}

static const char msg_crash[] = "Unhandled Exception occured!\n";
static const char msg_prevented[] = "Prevented: %d\n";

// Its own guard, never the fatal-error one: a crash inside print_error must
// still be reported.
static std::atomic_flag crashing = ATOMIC_FLAG_INIT;

static void on_crash(int)
{
    if (!crashing.test_and_set()) {
        // write_full is write() in a loop: async-signal-safe.
        write_full(STDERR_FILENO, msg_crash, sizeof msg_crash - 1);
        _exit(1);
    }
    // Another thread crashed first and is ending the process.
    for (;;)
        pause();
}

int install_crash_handler(void)
{
    static const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
    const long minimum = sysconf(_SC_SIGSTKSZ);
    const size_t size = minimum > 65536 ? static_cast<size_t>(minimum) : 65536;
    // Kept for the life of the process: the handlers may run at any time.
    void *stack = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    stack_t ss{};
    ss.ss_sp = stack;
    ss.ss_size = size;
    int ok = stack != MAP_FAILED && sigaltstack(&ss, nullptr) == 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_crash;
    sa.sa_flags = SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : signals)
        ok &= sigaction(sig, &sa, nullptr) == 0;
    print_stdout(msg_prevented, ok);
    return ok;
}
