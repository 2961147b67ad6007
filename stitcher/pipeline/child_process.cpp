#include "stitcher/pipeline/child_process.h"

#include "stitcher/pipeline/keloerror.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int start_program(const char *command, pid_t *pid)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawnattr_init(&attr);
    // Its own group, so that what the shell starts ends with it; the
    // signals this run catches or ignores for itself get their defaults.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&defaults, sig);
    sigemptyset(&none);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
    // No interrupt between the start and the registration: the group would
    // outlive the run.
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop, sig);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    int error = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ);
    if (error == 0 && add_child_group(*pid) != 0) {
        kill(-*pid, SIGKILL);
        waitpid(*pid, nullptr, 0);
        error = EAGAIN;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        errno = error;
        return -1;
    }
    return ends[0];
}

int end_program(pid_t pid)
{
    // Waited for but not reaped first: until the group is forgotten its
    // number must stay the program's, or an interrupt could end a stranger.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    remove_child_group(pid);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string program_fate(int status)
{
    // The shell tells a command that a signal ended as 128 + the signal.
    int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (WIFEXITED(status) && WEXITSTATUS(status) > 128 && WEXITSTATUS(status) < 128 + NSIG)
        sig = WEXITSTATUS(status) - 128;
    if (sig)
        return "its reader was ended by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return "its reader ended with status " + std::to_string(WEXITSTATUS(status));
    return "";
}
