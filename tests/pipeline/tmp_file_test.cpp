#include "stitcher/pipeline/tmp_file.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

TEST(TmpFile, NamesKeepTheTemplateLengthAndSkipExistingFiles)
{
    std::string dir = scratch_dir(), prefix = dir + "/kelo_temp_", first = prefix + "XXXX", next = first;
    close(my_mkstemps(first.data()));
    unsigned number = std::stoul(first.substr(prefix.size()), nullptr, 16);
    auto name_of = [&](unsigned k) {
        char field[8];
        snprintf(field, sizeof field, "%4x", k % 0x10000);
        return prefix + field;
    };
    write_file(name_of(number + 1), "keep me"); // the next two numbers are taken
    write_file(name_of(number + 2), "and me");
    int fd = my_mkstemps(next.data());
    EXPECT_EQ(next, name_of(number + 3));
    EXPECT_EQ(read_file(name_of(number + 1)) + read_file(name_of(number + 2)), "keep meand me");
    struct stat st;
    EXPECT_TRUE(fstat(fd, &st) == 0 && (st.st_mode & 0777) == 0600);
    close(fd);
}

TEST(TmpFileDeathTest, TemporaryFilesAreUnlinkedAndAMissingFolderEndsTheRun)
{
    std::string dir = scratch_dir(), cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    int fd = create_tmp_fd(0), other = open_tmp_fd(0);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(other >= 0 && close(other) == 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    char buf[6] = {};
    EXPECT_TRUE(write(fd, "hello", 5) == 5 && pread(fd, buf, 5, 0) == 5);
    EXPECT_STREQ(buf, "hello");
    close(fd);
    EXPECT_EQ(create_tmp_fd(-1) + create_tmp_fd(3), -2);
    if (access("/mnt/tmp", F_OK) == 0)
        GTEST_SKIP() << "/mnt/tmp exists here";
    EXPECT_EQ(open_tmp_fd(2), -1); // the caller decides
    EXPECT_EXIT(create_tmp_fd(2), testing::ExitedWithCode(1),
                "^Could not create tempfile.\n: No such file or directory\n$");
}
