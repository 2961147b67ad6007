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
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    run_result r;
    size_t fed = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
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
                } else if (n == 0 || errno != EINTR) {
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

void limit_address_space(int64_t extra)
{
    rlimit r;
    getrlimit(RLIMIT_AS, &r);
    r.rlim_cur = r.rlim_max;
    if (extra >= 0) {
        long long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        r.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + extra);
    }
    setrlimit(RLIMIT_AS, &r);
}
