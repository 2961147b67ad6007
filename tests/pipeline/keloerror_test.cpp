#include "stitcher/pipeline/keloerror.h"

#include "stitcher/pipeline/memory.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

TEST(KeloError, FatalErrorGoesToStderrWithStatus1)
{
    EXPECT_EXIT(print_error("Could not open %s\n", "a.tif"), ::testing::ExitedWithCode(1),
                "^Could not open a.tif\n$");
    // A text without a line end gets one; console mode changes nothing.
    EXPECT_EXIT(
        {
            set_console(1);
            print_error("Nadir angle must be between 0 and 90 (degrees).");
        },
        ::testing::ExitedWithCode(1), "^Nadir angle must be between 0 and 90 \\(degrees\\).\n$");
}

TEST(KeloError, FatalTextIsBounded)
{
    std::string name(5000, 'x');
    EXPECT_EXIT(print_error("%s%s", name.c_str(), "END"), ::testing::ExitedWithCode(1), "^x{1031}\n$");
}

TEST(KeloError, AssertionNamesExpressionFileAndLine)
{
    int buf = 0;
    EXPECT_EXIT(kassert(buf != 0), ::testing::ExitedWithCode(1),
                "^Assertion failed: buf != 0, file .*keloerror_test.cpp, line [0-9]+\n$");
}

TEST(KeloError, FatalErrorRemovesThePartialOutput)
{
    std::string path = scratch_dir() + "/pano.tif";
    write_file(path, "half");
    EXPECT_EXIT(
        {
            set_partial_output(path.c_str());
            print_error("Could not write %s\n", path.c_str());
        },
        ::testing::ExitedWithCode(1), "Could not write");
    EXPECT_FALSE(file_exists(path));

    // Once the file is complete, it is no longer removed.
    write_file(path, "whole");
    EXPECT_EXIT(
        {
            set_partial_output(path.c_str());
            set_partial_output(nullptr);
            print_error("later failure\n");
        },
        ::testing::ExitedWithCode(1), "later failure");
    EXPECT_TRUE(file_exists(path));
}

TEST(KeloError, ConcurrentFatalErrorsPrintOneMessage)
{
    EXPECT_EXIT(
        {
            std::vector<std::thread> threads;
            for (int i = 0; i < 8; i++)
                threads.emplace_back([i] { print_error("thread %d failed\n", i); });
            for (auto &t : threads)
                t.join();
        },
        ::testing::ExitedWithCode(1), "^thread [0-7] failed\n$");
}

TEST(KeloError, QuietModeSilencesMessagesOnly)
{
    testing::internal::CaptureStderr();
    set_verbose(0);
    EXPECT_EQ(0, print_message("hidden %d\n", 1));
    set_verbose(1);
    EXPECT_EQ(8, print_message("shown %d\n", 2));
    EXPECT_EQ("shown 2\n", testing::internal::GetCapturedStderr());
    EXPECT_EXIT(
        {
            set_verbose(0);
            print_error("still shown\n");
        },
        ::testing::ExitedWithCode(1), "still shown");
}

TEST(KeloError, StdoutLinesMoveAsideWhenStdoutCarriesThePanorama)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_stdout("Color reader %x\n", 0x2a);
    reserve_stdout(1);
    print_stdout("Color reader %x\n", 0x2b);
    reserve_stdout(0);
    EXPECT_EQ("Color reader 2a\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("Color reader 2b\n", testing::internal::GetCapturedStderr());
}

TEST(KeloError, ProgressInConsoleModeDoesNothing)
{
    set_console(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, progress_open("Zenthra: Working...."));
    EXPECT_EQ(1, progress(PROGRESS_UPDATE, 50));
    EXPECT_EQ(1, progress_close());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    set_console(0);
}

TEST(KeloError, CtrlCInTheProgressWindowIsCancel)
{
    set_console(0);
    // Standard error is no terminal here: nothing is drawn, but the window
    // still exists and takes Ctrl-C as its Cancel button.
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, progress_open("Working"));
    EXPECT_EQ(1, progress_update(10));
    EXPECT_EQ(1, progress_update(-1));
    raise(SIGINT);
    EXPECT_EQ(0, progress_update(20));
    EXPECT_EQ(0, progress_update(30)); // every later update too
    // A new window starts afresh.
    EXPECT_EQ(1, progress_open("Again"));
    EXPECT_EQ(1, progress_update(40));
    EXPECT_EQ(1, progress_close());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    // With the window closed, Ctrl-C ends the process as usual.
    EXPECT_EXIT(raise(SIGINT), ::testing::KilledBySignal(SIGINT), "");
}

TEST(KeloError, ProgressFromManyThreads)
{
    set_console(0);
    progress_open("Threads");
    std::vector<std::thread> threads;
    std::atomic<int> zeros{0};
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&zeros, t] {
            for (int i = 0; i < 2000; i++)
                if (progress_update((i + t) % 101 - 1) == 0)
                    zeros++;
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(0, zeros.load());
    progress_close();
}

TEST(KeloError, SaveFileAsWithoutTerminalGivesNull)
{
    set_console(0);
    if (isatty(0))
        GTEST_SKIP() << "standard input is a terminal";
    EXPECT_EQ(nullptr, save_file_as("pano.tif", "Save panorama as:"));
}

TEST(KeloError, CheckCpuFindsSse2)
{
    testing::internal::CaptureStderr();
    EXPECT_GE(check_cpu(), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("CPU vendor "));
    EXPECT_NE(std::string::npos, err.find("Processor supports mmx(1) sse(1) sse2(1) sse3("));
    uint32_t regs[4];
    EXPECT_GE(cpuid(0, regs), 1u);
}

// Interrupt handlers are installed in death-test children only: the test
// program itself keeps the default end for SIGINT that the test above uses.
// The end-to-end runs see an interrupt remove a regular partial panorama;
// never a pipe, nor what a symbolic link names (/dev/stdout is one).
TEST(KeloError, InterruptsKeepPipesAndLinkedFilesAndIgnoredSignals)
{
    std::string dir = scratch_dir();
    std::string file = dir + "/pano.tif", fifo = dir + "/fifo", link = dir + "/link.tif";
    write_file(file, "whole");
    ASSERT_TRUE(mkfifo(fifo.c_str(), 0600) == 0 && symlink(file.c_str(), link.c_str()) == 0);
    for (const std::string &partial : {fifo, link}) {
        EXPECT_EXIT(
            {
                catch_interrupts();
                set_partial_output(partial.c_str());
                raise(SIGTERM);
            },
            ::testing::ExitedWithCode(1), "^$");
        EXPECT_TRUE(file_exists(file) && file_exists(partial)) << partial;
    }
    EXPECT_EXIT(
        {
            signal(SIGHUP, SIG_IGN);
            catch_interrupts();
            raise(SIGHUP);
            _exit(5);
        },
        ::testing::ExitedWithCode(5), "");
}

TEST(KeloError, CtrlCIsCancelOnlyWhileTheProgressWindowIsOpen)
{
    EXPECT_EXIT(
        {
            catch_interrupts();
            set_console(0);
            progress_open("Working");
            raise(SIGINT);
            if (progress_update(10) != 0)
                _exit(3);
            raise(SIGINT); // the window is closed: the run ends
            _exit(4);
        },
        ::testing::ExitedWithCode(1), "");
}

// With a fatal handler (the fuzz targets' replays run through it), an
// assertion is still no fatal error: it aborts, for a fuzzer to record.
TEST(KeloError, FatalHandlerLeavesAssertionsToAbort)
{
    set_fatal_handler([](const char *text) { throw std::string(text); });
    int zero = 0;
    EXPECT_EXIT(kassert(zero == 1), ::testing::KilledBySignal(SIGABRT), "Assertion failed: zero == 1");
    set_fatal_handler(nullptr);
    EXPECT_EXIT(print_error("back to the end\n"), ::testing::ExitedWithCode(1), "^back to the end\n$");
}
