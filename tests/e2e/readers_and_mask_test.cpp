// The reader-description file and the mask image of the real program.
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
} // namespace

TEST(EndToEnd, ReaderDescriptionGivenWithROptionMustExist)
{
    std::string dir = scratch_dir();
    std::string missing = dir + "/readers.txt";
    run_result r = run_zenthra({"-q", "-r", missing, "-o", "x.tif", dir + "/s.txt"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Could not find external reader specs: " + missing + "\n", r.err);

    // Found in the current folder, the run goes on to the script.
    write_file(dir + "/readers.txt", ".cr2 rawconv -c\n");
    r = run_zenthra({"-q", "-r", "readers.txt", "-o", "x.tif", "s.txt"}, "", dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Could not read scriptfile s.txt\n", r.err);
}

TEST(EndToEnd, MissingDefaultReaderDescriptionIsNoError)
{
    std::string dir = scratch_dir();
    for (auto args :
         {std::vector<std::string>{"-q", "-o", "x.tif", "s.txt"},
          std::vector<std::string>{"-q", "-r", dir + "/KeloImageReader.txt", "-o", "x.tif", "s.txt"}}) {
        run_result r = run_zenthra(args, "", dir);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("Could not read scriptfile s.txt\n", r.err);
    }
}

TEST(EndToEnd, MaskImage)
{
    std::string dir = scratch_dir();
    run_result r = run_zenthra({"-q", "-e", dir + "/none.ppm", "-o", "x.tif", "s.txt"}, "", dir);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(
        ends_with(r.err, "Error loading maskimage " + dir + "/none.ppm: No such file or directory.\n"))
        << r.err;

    write_file(dir + "/deep.ppm", "P6\n1 1\n65535\n" + std::string(6, '\0'));
    r = run_zenthra({"-q", "-e", "deep.ppm", "-o", "x.tif", "s.txt"}, "", dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mask image deep.ppm must have 8-bit samples.\n", r.err);

    write_file(dir + "/mask.ppm", "P6\n2 1\n255\naB\x9c" + std::string(3, '\0'));
    r = run_zenthra({"-q", "-e", "mask.ppm", "-o", "x.tif", "s.txt"}, "", dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Could not read scriptfile s.txt\n", r.err);

    // The converters are not known yet when the mask is loaded.
    write_file(dir + "/readers.txt", "* cat\n");
    r = run_zenthra({"-q", "-r", "readers.txt", "-e", "mask.png", "-o", "x.tif", "s.txt"}, "", dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Image mask.png cannot be read.\n", r.err);
}
