#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/output_file.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

TEST(FileIo, PositionedAndSequentialTransfers)
{
    std::string path = scratch_dir() + "/f.bin";
    int fd = create_output_file(path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, write_full(fd, "abcdef", 6));
    ASSERT_EQ(0, pwrite_full(fd, "XY", 2, 10)); // leaves a hole of zeros
    close(fd);
    EXPECT_EQ(std::string("abcdef\0\0\0\0XY", 12), read_file(path));

    fd = open(path.c_str(), O_RDONLY);
    char buf[32];
    EXPECT_EQ(12, read_full(fd, buf, sizeof buf)); // short only at the end
    EXPECT_EQ(2, pread_full(fd, buf, 2, 10));
    EXPECT_EQ(0, std::string(buf, 2).compare("XY"));
    EXPECT_EQ(0, pread_full(fd, buf, 4, 100));
    close(fd);

    // An existing file is truncated; the mode follows the umask.
    mode_t old = umask(022);
    fd = create_output_file(path.c_str());
    umask(old);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(0, st.st_size);
    EXPECT_EQ(0644u, st.st_mode & 0777);
    close(fd);
}

TEST(FileIo, FailuresAreReported)
{
    int fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(-1, write_full(fd, "abc", 3));
    EXPECT_EQ(ENOSPC, errno);
    close(fd);
    EXPECT_EQ(-1, create_output_file((scratch_dir() + "/missing/dir/x").c_str()));
    EXPECT_EQ(-1, read_full(-1, nullptr, 1));
}
