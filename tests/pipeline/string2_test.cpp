#include "stitcher/pipeline/string2.h"

#include "stitcher/pipeline/memory.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace
{
struct aligned_deleter {
    void operator()(char *p) const { aligned_free(p); }
};
using owned = std::unique_ptr<char, aligned_deleter>;

std::string cwd()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? buf : "";
}
} // namespace

TEST(String2, PrefixesAndSuffixes)
{
    EXPECT_EQ(1, sendswith("Photo.JPG", ".jpg", 1));
    EXPECT_EQ(0, sendswith("Photo.JPG", ".jpg", 0));
    EXPECT_EQ(0, sendswith("pg", ".jpg", 1));
    EXPECT_EQ(1, sendswith("a.vtx", "", 0));
    EXPECT_EQ(1, sstartswith("#-dummy", "#-", 0));
    EXPECT_EQ(1, sstartswith("OUTPUT", "out", 1));
    EXPECT_EQ(0, sstartswith("OUTPUT", "out", 0));
    EXPECT_EQ(0, sstartswith("o", "out", 1));
    EXPECT_EQ(1, sstartswith("", "", 0));
    owned s(sadd("pano", ".tif"));
    EXPECT_STREQ("pano.tif", s.get());
}

TEST(String2, Directories)
{
    EXPECT_STREQ("/data/", owned(get_directory("/data/a.txt")).get());
    EXPECT_STREQ("/", owned(get_directory("/a.txt")).get());
    std::string here = cwd();
    std::string sep = here == "/" ? "" : "/";
    EXPECT_EQ(here + sep + "sub/", owned(get_directory("sub/a.txt")).get());
    EXPECT_EQ(here + sep, owned(get_directory("a.txt")).get());
}

TEST(String2, WholeFilesDropTheCrOfCrLf)
{
    std::string dir = scratch_dir();
    write_file(dir + "/s.txt", "p w100\r\no f0\r\n\r\nlast\rline");
    owned text(sfilein((dir + "/s.txt").c_str()));
    ASSERT_TRUE(text);
    EXPECT_STREQ("p w100\no f0\n\nlast\rline", text.get());

    write_file(dir + "/empty.txt", "");
    EXPECT_EQ(nullptr, sfilein((dir + "/empty.txt").c_str()));
    EXPECT_EQ(nullptr, sfilein((dir + "/missing.txt").c_str()));
    EXPECT_EQ(nullptr, sfilein(dir.c_str()));

    EXPECT_EQ(0, sfileout("abc\n", (dir + "/out.txt").c_str()));
    EXPECT_EQ("abc\n", read_file(dir + "/out.txt"));
    EXPECT_EQ(-1, sfileout("abc\n", (dir + "/no/such/dir.txt").c_str()));
    EXPECT_EQ(-1, sfileout("abc\n", "/dev/full"));
}

TEST(String2, ReplaceTriesPairsInOrder)
{
    char s[] = "a\\b/c";
    EXPECT_STREQ("a/b/c", sreplace(s, "\\", "/"));
    char t[] = "abc";
    // 'a' becomes 'b', which the next pair turns into 'c'.
    EXPECT_STREQ("ccc", sreplace(t, "ab", "bc"));
}

TEST(String2, IntegersClampInsteadOfOverflowing)
{
    EXPECT_EQ(42, satoi("42abc"));
    EXPECT_EQ(-7, satoi("  -7"));
    EXPECT_EQ(0, satoi("abc"));
    EXPECT_EQ(INT_MAX, satoi("99999999999999999999"));
    EXPECT_EQ(INT_MIN, satoi("-99999999999999999999"));
}
