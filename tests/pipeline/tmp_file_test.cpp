#include "stitcher/pipeline/tmp_file.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

TEST(TmpFile, NamesKeepTheTemplateLengthAndSkipExistingFiles)
{
    std::string dir = scratch_dir(), prefix = dir + "/kelo_temp_", first = prefix + "XXXX";
    close(my_mkstemps(first.data()));
    unsigned number = std::stoul(first.substr(prefix.size()), nullptr, 16);
    auto name_of = [&](unsigned k) {
        char field[8];
        snprintf(field, sizeof field, "%4x", k % 0x10000);
        return prefix + field;
    };
    // The next two numbers are taken by files that must stay as they are.
    write_file(name_of(number + 1), "keep me");
    write_file(name_of(number + 2), "and me");
    std::string next = prefix + "XXXX";
    int fd = my_mkstemps(next.data());
    EXPECT_EQ(next, name_of(number + 3));
    EXPECT_EQ(read_file(name_of(number + 1)) + read_file(name_of(number + 2)), "keep meand me");
    struct stat st;
    EXPECT_TRUE(fstat(fd, &st) == 0 && (st.st_mode & 0777) == 0600);
    close(fd);
    std::string missing = dir + "/none/kelo_XXXX";
    EXPECT_EQ(my_mkstemps(missing.data()), -1);
}

TEST(TmpFile, TemporaryFilesAreUnlinkedAndReadWrite)
{
    std::string dir = scratch_dir(), cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    int fd = create_tmp_fd(0), other = open_tmp_fd(0);
    std::filesystem::current_path(cwd);
    EXPECT_GE(other, 0);
    close(other);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    char buf[6] = {};
    EXPECT_EQ(write(fd, "hello", 5), 5);
    EXPECT_EQ(pread(fd, buf, 5, 0), 5);
    EXPECT_STREQ(buf, "hello");
    close(fd);
    EXPECT_EQ(create_tmp_fd(-1) + create_tmp_fd(3), -2);
}

TEST(TmpFileDeathTest, AFolderThatDoesNotExistEndsTheRun)
{
    if (access("/mnt/tmp", F_OK) == 0)
        GTEST_SKIP() << "/mnt/tmp exists here";
    EXPECT_EQ(open_tmp_fd(2), -1); // the caller decides
    EXPECT_EXIT(create_tmp_fd(2), testing::ExitedWithCode(1),
                "^Could not create tempfile.\n: No such file or directory\n$");
}
