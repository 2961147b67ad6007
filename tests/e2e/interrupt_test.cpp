// Interrupted runs: SIGINT, SIGTERM and SIGHUP end the program with status 1
// while no progress line is open (here: blocked opening a FIFO), and a
// panorama half written is removed. The window mode's progress line is the
// unit tests' part.
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// Runs zenthra until it has written `cue` to standard error, then signals
// it; its exit status, or 128 + the signal that killed it.
int signalled_status(std::vector<std::string> args, int sig, const std::string &cue)
{
    int err[2];
    if (pipe(err) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        // As from a terminal, even when the tests run in a background job.
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            signal(s, SIG_DFL);
        dup2(err[1], 2);
        args.insert(args.begin(), ZENTHRA_BIN);
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    std::string text;
    struct pollfd p = {err[0], POLLIN, 0};
    while (text.find(cue) == std::string::npos && poll(&p, 1, 10000) > 0) {
        char buf[4096];
        ssize_t n = read(err[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    usleep(50000); // into the open() of a FIFO
    kill(pid, sig);
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited++) {
        if (waited == 1000)
            kill(pid, SIGKILL); // ignored the signal: fail, but end
        usleep(10000);
    }
    close(err[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

// Stopped while it stitches, between two images (the next photo is a FIFO
// that nobody writes): the panorama written so far is removed.
TEST(EndToEnd, InterruptedStitchRemovesThePartialPanorama)
{
    std::string dir = scratch_dir();
    run_result made = run_program({tool_path("scenegen"), "crops", "--scale", "0.25", "--out", dir});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string last = dir + "/photo-04.ppm";
    ASSERT_EQ(0, unlink(last.c_str()));
    ASSERT_EQ(0, mkfifo(last.c_str(), 0600));
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        std::string pano = dir + "/pano.tif";
        EXPECT_EQ(
            1, signalled_status({"-c", "-s", "0", "-o", pano, dir + "/scene.txt"}, sig, "Time for image 2"));
        struct stat st;
        EXPECT_NE(0, stat(pano.c_str(), &st)) << "the partial panorama is still there";
    }
}
