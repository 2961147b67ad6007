// The last-chance crash handler: each of its signals, and a stack overflow
// that only its alternate stack can report, end with its line and status 1.
#include "stitcher/pipeline/kelo_windows.h"

#include "stitcher/pipeline/keloerror.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

// Raises sig; 0 overflows a stack of 1 MiB.
__attribute__((noinline)) static int crash(int sig, int depth = 0)
{
    volatile char frame[1024];
    rlimit lim = {1 << 20, 1 << 20};
    if (sig != 0 || (depth == 0 && setrlimit(RLIMIT_STACK, &lim) != 0))
        return raise(sig);
    frame[0] = static_cast<char>(depth);
    return crash(0, depth + 1) + frame[0];
}

TEST(CrashHandler, EveryCrashEndsWithItsLineAndStatus1)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer owns these signals";
#else
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, 0}) // 0: overflow the stack
        EXPECT_EXIT(
            {
                reserve_stdout(1); // "Prevented" to standard error, to be matched
                install_crash_handler();
                crash(sig);
            },
            testing::ExitedWithCode(1), "^Prevented: 1\nUnhandled Exception occured!\n$");
#endif
}
