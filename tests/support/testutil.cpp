#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

[[noreturn]] static void exec_in(const std::vector<std::string> &argv, const std::string &cwd)
{
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

static run_result drain(pid_t pid, int out_fd, int err_fd, int in_fd, const std::string &input);

run_result run_program(const std::vector<std::string> &argv, const std::string &input, const std::string &cwd)
{
    signal(SIGPIPE, SIG_IGN); // a program that exits unread must not end the test
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        exec_in(argv, cwd);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    return drain(pid, out[0], err[0], in[1], input);
}

run_result run_on_terminal(const std::vector<std::string> &argv, const std::string &typed, int columns,
                           const std::string &cwd)
{
    int master, slave, out[2];
    winsize ws = {24, static_cast<unsigned short>(columns), 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("openpty failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(out[1], 1);
        dup2(slave, 2);
        close(master);
        close(slave);
        exec_in(argv, cwd);
    }
    close(slave);
    close(out[1]);
    // The terminal holds a typed line until the program reads it.
    if (write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()))
        throw std::runtime_error("cannot type on the terminal");
    return drain(pid, out[0], master, -1, "");
}

// Reads the program's standard output and error until both end, feeding
// input (when in_fd >= 0), then waits for it.
static run_result drain(pid_t pid, int out_fd, int err_fd, int in_fd, const std::string &input)
{
    run_result r;
    size_t fed = 0;
    if (in_fd >= 0 && input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    struct pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    int open_outputs = 2;
    while (open_outputs > 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[65536];
                ssize_t n = read(fds[k].fd, buf, sizeof buf);
                if (n > 0) {
                    (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) { // a terminal gives EIO once its last holder is gone
                    close(fds[k].fd);
                    fds[k].fd = -1;
                    open_outputs--;
                }
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(fds[2].fd, input.data() + fed, input.size() - fed);
            if (n > 0)
                fed += static_cast<size_t>(n);
            if (n < 0 || fed == input.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    if (fds[2].fd >= 0)
        close(fds[2].fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

run_result run_zenthra(const std::vector<std::string> &args, const std::string &input, const std::string &cwd)
{
    std::vector<std::string> argv{ZENTHRA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, input, cwd);
}

std::string tool_path(const std::string &name) { return std::string(ZENTHRA_TOOLS_DIR) + "/" + name; }

namespace
{
struct scratch_root {
    std::string path;
    ~scratch_root()
    {
        if (!path.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    }
};
scratch_root root;
} // namespace

std::string scratch_dir()
{
    if (root.path.empty()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zenthra-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        root.path = tmpl;
    }
    static int counter = 0;
    std::string dir = root.path + "/" + std::to_string(++counter);
    std::filesystem::create_directories(dir);
    return dir;
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary);
    f << content;
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int64_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

std::vector<std::string> folder_names(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string icc_profile_with(const std::string &description, bool v4)
{
    auto be32 = [](size_t v) {
        return std::string{char(v >> 24), char(v >> 16 & 255), char(v >> 8 & 255), char(v & 255)};
    };
    // A v2 text: ASCII with its nul, then empty Unicode and ScriptCode parts.
    std::string tag =
        v4 ? "mluc" + be32(0) + be32(1) + be32(12) + "enUS" + be32(2 * description.size()) + be32(28)
           : "desc" + be32(0) + be32(description.size() + 1) + description + std::string(79, '\0');
    if (v4)
        for (char c : description)
            tag += std::string{'\0', c}; // UTF-16
    tag.resize((tag.size() + 3) / 4 * 4, '\0');
    std::string header = be32(144 + tag.size()) + "zthr" + std::string{char(v4 ? 4 : 2), 0x10, 0, 0} +
                         "mntrRGB XYZ " + std::string(12, '\0') + "acsp";
    header.resize(128, '\0');
    return header + be32(1) + "desc" + be32(144) + be32(tag.size()) + tag;
}

void limit_address_space(int64_t extra)
{
    rlimit r;
    getrlimit(RLIMIT_AS, &r);
    long long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    r.rlim_cur = extra < 0 ? r.rlim_max : static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + extra);
    setrlimit(RLIMIT_AS, &r);
}
