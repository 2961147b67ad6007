#include "stitcher/driver/command_line.h"

#include "stitcher/blend/seam.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/script/stitch_context.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
struct parsed {
    stitch_context ctx;
    zenthra_options opt;
    int first;
};

// The options point into the argument strings, which must outlive them.
std::list<std::vector<std::string>> kept_args;

parsed parse(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "zenthra");
    std::vector<std::string> &args = kept_args.emplace_back(std::move(arguments));
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    parsed p;
    p.first = read_command_line(static_cast<int>(args.size()), argv.data(), &p.ctx, &p.opt);
    return p;
}
} // namespace

TEST(CommandLine, Defaults)
{
    parsed p = parse({"a.txt"});
    EXPECT_EQ(nullptr, p.opt.output_name);
    EXPECT_EQ(0, p.opt.inverse);
    EXPECT_STREQ("KeloImageReader.txt", p.opt.reader_description);
    EXPECT_EQ(8, p.opt.pyramid_size);
    EXPECT_EQ(4, p.opt.min_level);
    EXPECT_EQ(-1.0, p.opt.nadir);
    EXPECT_EQ(-1.0, p.opt.zenith);
    EXPECT_EQ(0, p.opt.threads);
    EXPECT_EQ(-1, p.opt.query_rect);
    EXPECT_EQ(1, p.opt.optimize_order);
    EXPECT_EQ(4u, p.opt.pixformat);
    EXPECT_EQ(0, p.ctx.color_mode);
    EXPECT_EQ(nullptr, p.ctx.images);
    EXPECT_EQ(2, use_ramdisk);
    EXPECT_EQ(0, get_seamer());
    EXPECT_EQ(0, get_seam_preload());
}

TEST(CommandLine, LaterOptionsOverrideEarlierOnes)
{
    parsed p = parse({"-i", "a.tif", "-o", "b.tif", "s.txt"});
    EXPECT_STREQ("b.tif", p.opt.output_name);
    EXPECT_EQ(1, p.opt.inverse);
    p = parse({"-o", "b.tif", "-i", "a.tif"});
    EXPECT_STREQ("a.tif", p.opt.output_name);
    EXPECT_EQ(1, p.opt.inverse);

    p = parse({"-s", "0", "-s", "1"});
    EXPECT_EQ(0, p.opt.optimize_order);
    p = parse({"-l", "3", "-m", "0", "-n", "12.5", "-z", "90", "-j", "3", "-x", "2", "-p", "-a", "-d"});
    EXPECT_EQ(3, p.opt.pyramid_size);
    EXPECT_EQ(0, p.opt.min_level);
    EXPECT_EQ(12.5, p.opt.nadir);
    EXPECT_EQ(90.0, p.opt.zenith);
    EXPECT_EQ(3, p.opt.threads);
    EXPECT_EQ(2, p.opt.query_rect);
    EXPECT_EQ(6u, p.opt.pixformat);
    EXPECT_EQ(1, p.ctx.color_mode);
    EXPECT_EQ(1, p.opt.defer_merging);
}

TEST(CommandLine, OperandsMayStandAnywhere)
{
    std::vector<std::string> args = {"zenthra", "s.txt", "-o", "p.tif"};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    stitch_context ctx;
    zenthra_options opt;
    int first = read_command_line(4, argv.data(), &ctx, &opt);
    ASSERT_EQ(3, first);
    EXPECT_STREQ("s.txt", argv[first]);
    EXPECT_STREQ("p.tif", opt.output_name);
}

// In a child process: the mode would stay set for the tests that follow.
TEST(CommandLine, SeamModeIsSetAtOnce)
{
    EXPECT_EXIT(
        {
            parse({"-b", "1", "-b", "0"});
            fprintf(stderr, "mode %d, preload %d\n", get_seamer(), get_seam_preload());
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "^mode 0, preload 200\n$"); // mode 1 was set on the way
}

TEST(CommandLine, ValuesOutOfRangeAreFatal)
{
    auto dies = [](std::vector<std::string> args, const char *msg) {
        EXPECT_EXIT(parse(args), ::testing::ExitedWithCode(1), msg) << args[0] << " " << args[1];
    };
    dies({"-l", "11"}, "^Pyramidsize must be between 1 and 10, is 11\n$");
    dies({"-l", "0"}, "^Pyramidsize must be between 1 and 10, is 0\n$");
    dies({"-m", "11"}, "^Pyramidsize must be between 1 and 10, is 11\n$");
    dies({"-b", "7"}, "^Unsupported option 7 for seamer.\n$");
    dies({"-n", "91"}, "^Nadir angle must be between 0 and 90 \\(degrees\\).\n$");
    dies({"-n", "abc"}, "^Nadir angle must be between 0 and 90 \\(degrees\\).\n$");
    dies({"-n", "nan"}, "^Nadir angle must be between 0 and 90 \\(degrees\\).\n$");
    dies({"-z", "-1"}, "^Zenith angle must be between 0 and 90 \\(degrees\\).\n$");
    dies({"-z", "30x"}, "^Zenith angle must be between 0 and 90 \\(degrees\\).\n$");
    dies({"-j", "0"}, "^Number of threads must be between 1 and 1024, is 0\n$");
    dies({"-j", "1025"}, "^Number of threads must be between 1 and 1024, is 1025\n$");
    dies({"-x", "3"}, "^Query mode must be 0, 1 or 2, is 3\n$");
}

TEST(CommandLine, HelpAndMalformedLines)
{
    EXPECT_EXIT(parse({"-h"}), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(parse({"-k"}), ::testing::ExitedWithCode(2), "invalid option");
    EXPECT_EXIT(parse({"-o"}), ::testing::ExitedWithCode(2), "requires an argument");
}
