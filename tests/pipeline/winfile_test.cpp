// The single output file behind FD: what it says of the file system, writes
// at chosen offsets into a file sized ahead, and its refusals.
#include "stitcher/pipeline/winfile.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <tuple>
#include <unistd.h>

TEST(WinFile, SparseReportWritesAtOffsetsAndRefusals)
{
    const std::string yes = "Filesystem supports sparse writing.\n",
                      no = "Warning: Filesystem does not support sparse writing.\n"
                           "Large files will be written slowly.\n";
    // ext4, btrfs, vfat, exfat, and no answer
    const std::tuple<int, int64_t, std::string> types[] = {
        {1, 0xEF53, yes},
        {1, 0x9123683E, yes},
        {1, 0x4D44, no},
        {1, 0x2011BAB0, no},
        {0, 0xEF53, "Warning: Could not get information about filesystem.\n" + no}};
    for (const auto &[queried, f_type, says] : types) {
        testing::internal::CaptureStderr();
        report_sparse_writing(queried, f_type);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), says) << std::hex << f_type;
    }

    // FD is no real descriptor: the caller's own descriptor 5 stays open.
    std::string path = scratch_dir() + "/pano.raw";
    const bool made = fcntl(FD, F_GETFD) == -1;
    ASSERT_EQ(made ? dup2(STDERR_FILENO, FD) : FD, FD);
    ASSERT_EQ(pwin_open(path.c_str(), O_WRONLY), FD);
    set_map_size(FD, 1 << 20);
    EXPECT_EQ(pwin_seek(FD, 100000, SEEK_SET), 100000);
    EXPECT_EQ(pwin_write(FD, "abc", 3), 3);
    EXPECT_EQ(pwin_write(FD, "de", 2), 2);
    EXPECT_EQ(pwin_close(FD), 0);
    EXPECT_NE(fcntl(FD, F_GETFD), -1);
    if (made)
        close(FD);
    std::string content = read_file(path);
    EXPECT_EQ(content.size(), 1u << 20);
    EXPECT_EQ(content.substr(99999, 7), std::string("\0abcde\0", 7));

    const struct {
        std::function<void()> run;
        const char *says;
    } refusals[] = {
        {[&] { pwin_open(path.c_str(), O_RDONLY); }, "Assertion failed: \\(mode1 & _O_WRONLY\\) != 0, "},
        {[] { pwin_seek(FD, -1, SEEK_SET); }, "^Could not set filepointer to -1.\n$"},
        {[&] { pwin_close(pwin_open(path.c_str(), O_WRONLY) - 1); }, "Assertion failed: fd == FD, "},
        {[] { pwin_write(pwin_open("/dev/full", O_WRONLY), "abc", 3); },
         "Could not write 3 bytes. Error 28\n$"},
    };
    for (const auto &r : refusals)
        EXPECT_EXIT(r.run(), testing::ExitedWithCode(1), r.says);
}
