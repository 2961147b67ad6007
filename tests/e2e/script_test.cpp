// Scripts read by the real program: refused scripts end with their message,
// status 1 and no output file; good ones print what they placed.
#include "testutil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace
{

class Script : public ::testing::Test
{
  protected:
    std::string dir = scratch_dir();
    void SetUp() override
    {
        write_file(dir + "/a.ppm", "P6\n100 80\n255\n" + std::string(100 * 80 * 3, '\0'));
    }
    run_result run(const std::string &script, std::vector<std::string> options = {},
                   const std::string &name = "s.txt")
    {
        write_file(dir + "/" + name, script);
        options.insert(options.begin(), {"-c", "-o", "out.tif"}); // a later -o wins
        options.push_back(name);
        return run_zenthra(options, "", dir);
    }
    // Nothing but the script, its image and the script name are in the folder.
    bool no_output() const
    {
        for (const auto &e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().rfind("out", 0) == 0)
                return false;
        return true;
    }
};

TEST_F(Script, RefusedScripts)
{
    const std::string good_p = "p f2 w1000 h500 v360\n";
    const struct {
        std::string script, message;
    } cases[] = {
        {"o na.ppm\n", "Script-error: Could not parse p-line in script s.txt.\n"},
        {good_p, "No source image found.\n"},
        {"p w0 h500\no na.ppm\n", "Script-error: panorama size 0x500 is invalid.\n"},
        {"p w1000 h300000000\no na.ppm\n", "Script-error: panorama size 1000x300000000 is invalid.\n"},
        {"p f0 v180 w1000 h500\no na.ppm\n",
         "Script-error: field of view 180 is invalid for projection f0.\n"},
        {"p f2 vnan\no na.ppm\n", "Script-error: field of view nan is invalid for projection f2.\n"},
        {good_p + "o w10 h10\n", "Could not get filename for image 1.\n"},
        {good_p + "o na.ppm\no nmissing.ppm\n", "Could not read data for image " + dir + "/missing.ppm.\n"},
        {"p n\"JPEG q200\"\no na.ppm\n", "JPEG quality must be >0 && < 100, is 200\n"},
        {good_p + "o na.ppm w0 h80\n", "Script-error: image 1 has invalid size 0x80.\n"},
        {good_p + "o na.ppm v-3\n", "Script-error: field of view -3 is invalid for projection f0.\n"},
        {good_p + "o na.ppm p1e400\n",
         "Script-error: option p of line o na.ppm p1e400 is not a finite number.\n"},
        {good_p + "o na.ppm C300,400,0,80\n", "Script-error: crop of image 1 is empty.\n"},
        {good_p + "o na.ppm C40,30,0,80\n", "Script-error: crop of image 1 is empty.\n"},
        {good_p + "o na.ppm S0,10,90,99\n", "Script-error: selection of image 1 is empty.\n"},
    };
    for (const auto &c : cases) {
        run_result r = run(c.script, {"-q", "-o", "out"});
        EXPECT_EQ(r.status, 1) << c.script;
        EXPECT_EQ(r.err, c.message) << c.script;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(no_output()) << c.script;
    }
}

TEST_F(Script, EveryImageInactive)
{
    std::string vtx = "p f2 w1000 h500 v360\n#-imginactive 1 0\no na.ppm\no na.ppm\n";
    for (const char *name : {"s.vtx", "S.VTX"}) {
        run_result r = run(vtx, {"-q"}, name);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "No source image found.\n");
        EXPECT_TRUE(no_output());
    }
    // Not a .vtx script: the line is a comment.
    run_result r = run(vtx, {"-q"}, "s.txt");
    EXPECT_EQ(r.err, "Stitching is not built into this version yet.\n");
}

TEST_F(Script, PlacesAndOrdersTheImages)
{
    std::string script = "p f2 w1000 h500 v360\nm i12\n"
                         "o na.ppm f0 v60\no na.ppm f0 v60 y90\no na.ppm f0 v60 y-90\n";
    run_result r = run(script);
    EXPECT_EQ(r.status, 1);
    const std::string expected = "Unsupported interpolator : i12, using bicubic\n"
                                 "Parsing script line:\no na.ppm f0 v60\n"
                                 "Parsing script line:\no na.ppm f0 v60 y90\n"
                                 "Parsing script line:\no na.ppm f0 v60 y-90\n"
                                 "Rect Image 0: x=417 y=181 width=166 height=138\n"
                                 "Rect Image 1: x=667 y=181 width=166 height=138\n"
                                 "Rect Image 2: x=167 y=181 width=166 height=138\n"
                                 "Project reordered to:\n0  2  1  \n"
                                 "Stitching is not built into this version yet.\n";
    ASSERT_GE(r.err.size(), expected.size());
    EXPECT_EQ(r.err.substr(r.err.size() - expected.size()), expected);
    EXPECT_EQ(r.out, "");

    // No reordering with -s 0; the panorama on standard output keeps it clean.
    r = run(script, {"-s", "0", "-o", "-"});
    EXPECT_EQ(r.err.find("Project reordered"), std::string::npos);
    EXPECT_NE(r.err.find("Rect Image 2: x=167"), std::string::npos);
    EXPECT_EQ(r.out, "");
}

TEST_F(Script, QueryModesAndWindow)
{
    std::string full = "p f2 w1000 h500 v360\no na.ppm\no na.ppm y30\n";
    // No forward query; the zenith cap takes rows 0 .. 65 off the window.
    run_result r = run(full, {"-x", "2", "-z", "60"});
    EXPECT_NE(r.err.find("Rect Image 0 (no forward transformation): x=0 y=66 width=1000 height=434\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Warning: Cannot blend"), std::string::npos);
    // A multi-segment panorama is never queried.
    r = run("p f11 w1000 h500 v120\no na.ppm\n", {"-x", "0"});
    EXPECT_NE(r.err.find("Rect Image 0 (no forward transformation): x=0 y=0 width=1000 height=500\n"),
              std::string::npos)
        << r.err;
}

TEST_F(Script, CapsNeedAFullEquirectangularPanorama)
{
    const std::string warning = "Warning: Cannot blend across Nadir/Zenith, ignoring request.\n";
    const struct {
        std::string script;
        std::vector<std::string> options;
        bool warns;
    } cases[] = {
        {"p f2 w1000 h400\no na.ppm\no na.ppm\n", {"-z", "30"}, true},
        {"p f2 w1000 h500\no na.ppm\n", {"-n", "30"}, true},
        {"p f2 w1000 h500 n\"TIFF_m\"\no na.ppm\no na.ppm\n", {"-z", "30", "-o", "out"}, true},
        {"p w1000 h500\no na.ppm\no na.ppm\n", {"-z", "10"}, true},
        {"p f2 w1000 h400\no na.ppm\no na.ppm\n", {"-z", "0"}, false},
        {"p f2 w1000 h500\no na.ppm\no na.ppm\n", {"-z", "30", "-n", "30"}, false},
    };
    for (const auto &c : cases) {
        run_result r = run(c.script, c.options);
        EXPECT_EQ(r.err.find(warning) != std::string::npos, c.warns) << c.script << r.err;
    }
}

TEST_F(Script, VtxLines)
{
    // The dummy image is no image; image 1 (the second o-line) is inactive.
    std::string vtx = "p f2 w1000 h500 v360\n#-dummyimage\n#-imginactive 1\n"
                      "o na.ppm v80\no na.ppm v=0\no na.ppm y90\no na.ppm y-90\n";
    run_result r = run(vtx, {}, "s.vtx");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Parsing script line:\no na.ppm v=0\n"), std::string::npos);
    EXPECT_EQ(r.err.find("Parsing script line:\no na.ppm v80\n"), std::string::npos);
    // 80 and 70 degrees of 360 on 1000 pixels; the second turned by -90.
    EXPECT_NE(r.err.find("Rect Image 0: x=389 y=156 width=222 height=188\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Rect Image 1: x=153 y=169 width=194 height=162\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Rect Image 2"), std::string::npos);
}

} // namespace
