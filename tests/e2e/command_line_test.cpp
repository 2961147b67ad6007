// The command line of the real program.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>

namespace
{
const char *usage_tail = "Usage: Zenthra [options] script_file\n"
                         "Options:\n"
                         "-o Outputname (set to '-' for stdout) \n"
                         "-i Inputname (switch to inverse mode) \n"
                         "-f Script filename\n"
                         "-z angle - blend over zenith in this range (0-90, default 0)\n"
                         "-n angle - blend over nadir in this range (0-90, default 0)\n"
                         "-j pretend number of cores\n"
                         "-l pyramid size (between 1 and 10, default 8) \n"
                         "-m minimum pyramid level used for blending (0...pyramid size, default: 3) \n"
                         "-r Image Reader descriptions\n"
                         "-s 1 optimize order (default) 0 don't optimize order\n"
                         "-c (run as console application)\n"
                         "-d (defer merging, effective only for flat tiff and ppm)\n"
                         "-p 16bit-samples in output (default:8bit-samples) \n"
                         "-u (for CUDA: use host ram instead of GPU-ram) \n"
                         "-x query dest rectangle (0 all pixels, 1  frame, 2 don't query) \n"
                         "-b seam position: 0 - center (default), \n"
                         "                  1 - optimize (content dependent, experimental) \n"
                         "                  2 - no seam, blend 1:1 \n"
                         "-a colour mode, replace input images with unique colors.\n"
                         "-e mask: load color coded maskimage\n"
                         "-q quiet \n"
                         "-h print help message and exit.\n";

void expect_usage(const std::string &out)
{
    std::regex head(
        "^Zenthra  0\\.7b \nBuilt:  [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} \n");
    EXPECT_TRUE(std::regex_search(out, head)) << out;
    ASSERT_GT(out.size(), strlen(usage_tail));
    EXPECT_EQ(usage_tail, out.substr(out.size() - strlen(usage_tail)));
    EXPECT_EQ(26, std::count(out.begin(), out.end(), '\n'));
}
} // namespace

TEST(EndToEnd, HelpPrintsTheUsage)
{
    for (auto args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"-c", "-h"}}) {
        run_result r = run_zenthra(args);
        EXPECT_EQ(0, r.status);
        expect_usage(r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(EndToEnd, BadValuesAreFatalWithStatus1)
{
    for (auto args : {std::vector<std::string>{"-l", "11", "a.txt"},
                      std::vector<std::string>{"-c", "-l", "11", "a.txt"}}) {
        run_result r = run_zenthra(args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("Pyramidsize must be between 1 and 10, is 11\n", r.err);
        EXPECT_EQ("", r.out);
    }
    run_result r = run_zenthra({"-c", "-b", "7"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Unsupported option 7 for seamer.\n", r.err);
}

TEST(EndToEnd, UnknownOptionPrintsUsageWithStatus2)
{
    run_result r = run_zenthra({"-k"});
    EXPECT_EQ(2, r.status);
    expect_usage(r.out);
    EXPECT_NE(std::string::npos, r.err.find("invalid option -- 'k'"));
    r = run_zenthra({"a.txt", "-l"});
    EXPECT_EQ(2, r.status);
    expect_usage(r.out);
}

TEST(EndToEnd, NoScriptFile)
{
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"-c"}}) {
        run_result r = run_zenthra(args);
        EXPECT_EQ(1, r.status);
        expect_usage(r.out);
        EXPECT_NE(std::string::npos, r.err.find("Number of processor cores set to: "));
        ASSERT_GE(r.err.size(), 25u);
        EXPECT_EQ("No scriptfile specified.\n", r.err.substr(r.err.size() - 25));
    }
    // Quiet mode leaves only the fatal message.
    run_result r = run_zenthra({"-q"});
    EXPECT_EQ("No scriptfile specified.\n", r.err);
}

TEST(EndToEnd, ScriptThatCannotBeRead)
{
    std::string missing = scratch_dir() + "/missing.txt";
    run_result r = run_zenthra({"-q", "-o", "x.tif", missing});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Could not read scriptfile " + missing + "\n", r.err);
}

TEST(EndToEnd, OutputNameIsAskedFor)
{
    std::string dir = scratch_dir();
    write_file(dir + "/s.txt", "p w100 h50\n");
    // Without a terminal the window-mode question has no answer.
    run_result r = run_zenthra({"-q", dir + "/s.txt"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Output name must be specified. Aborting.\n", r.err);
    // In console mode the title is printed and one word is read.
    r = run_zenthra({"-q", "-c", dir + "/s.txt"}, "");
    EXPECT_EQ("\nSave panorama as:\n", r.out);
    EXPECT_EQ("Output name must be specified. Aborting.\n", r.err);
    // The default pano.tif makes a TIFF: a p-line that asks for another
    // kind hears which kind each name gives.
    write_file(dir + "/s.txt", "p w100 h50 n\"JPEG q90 g1\"\n");
    r = run_zenthra({"-q", "-c", dir + "/s.txt"}, "");
    EXPECT_EQ("\nSave panorama as (a .tif name makes a flat TIFF, a .jpg name a baseline JPEG of quality 80, "
              "any other name a progressive JPEG of quality 90 as the p-line asks):\n",
              r.out);
}

// -f names the script, ahead of an argument; -u (temporary images in memory,
// already the default) changes nothing: the same panorama every way.
TEST(EndToEnd, ScriptOptionAndHostMemoryOption)
{
    scene_files s = generate_scene("demo", {"--scale", "0.25"});
    const std::string dir = scratch_dir(), missing = dir + "/missing.txt", out = dir + "/out.tif";
    ASSERT_EQ(stitch({"-o", dir + "/ref.tif", s.script}).status, 0);
    const std::vector<std::string> cases[] = {
        {"-f", s.script}, {"-f", s.script, missing},    {missing, "-f", s.script},
        {"-u", s.script}, {"-f", s.script, "-u", "-u"}, {"-f", missing, s.script}};
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-o", out};
        args.insert(args.end(), c.begin(), c.end());
        run_result r = stitch(args);
        const bool fails = c[1] == missing;
        SCOPED_TRACE(c[0] + " " + c[1] + "\n" + r.err);
        EXPECT_EQ(r.status, fails ? 1 : 0);
        EXPECT_NE(r.err.find("Processing script " + (fails ? missing : s.script) + "\n"), r.err.npos);
        if (fails)
            EXPECT_TRUE(r.err.ends_with("Could not read scriptfile " + missing + "\n"));
        else
            EXPECT_TRUE(read_file(out) == read_file(dir + "/ref.tif"));
        std::remove(out.c_str());
    }
}
