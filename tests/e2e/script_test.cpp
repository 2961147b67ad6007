// Scripts read by the real program: refused ones end with their message,
// status 1 and no output file; good ones print where the images go.
#include "testutil.h"

#include <gtest/gtest.h>

namespace
{

struct Script : ::testing::Test {
    std::string dir = scratch_dir();
    // Runs the script (a later -o in options wins over out.tif).
    run_result run(const std::string &script, std::vector<std::string> options = {},
                   const std::string &name = "s.txt")
    {
        write_file(dir + "/a.ppm", "P6\n100 80\n255\n" + std::string(100 * 80 * 3, '\0'));
        write_file(dir + "/" + name, script);
        options.insert(options.begin(), {"-c", "-o", "out.tif"});
        options.push_back(name);
        return run_zenthra(options, "", dir);
    }
};

TEST_F(Script, RefusedScripts)
{
    const std::string p = "p f2 w1000 h500 v360\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"s.txt", "o na.ppm\n", "Script-error: Could not parse p-line in script s.txt.\n"},
        {"s.txt", p, "No source image found.\n"},
        {"S.VTX", p + "#-imginactive 0\no na.ppm\n", "No source image found.\n"},
        {"s.txt", "p h300000000\no na.ppm\n", "Script-error: panorama size 1024x300000000 is invalid.\n"},
        {"s.txt", "p f0 v180\no na.ppm\n", "Script-error: field of view 180 is invalid for projection f0.\n"},
        {"s.txt", p + "o n w10 h10\n", "Could not get filename for image 1.\n"},
        {"s.txt", p + "o na.ppm\no nmissing.ppm\n",
         "Could not read data for image " + dir + "/missing.ppm: No such file or directory.\n"},
        {"s.txt", p + "o f0\n#-imgfile 7 0 \"a.ppm\"\n", "Script-error: image 1 has invalid size 7x0.\n"},
        {"s.txt", p + "o na.ppm f10 vnan\n",
         "Script-error: field of view nan is invalid for projection f10.\n"},
        {"s.txt", p + "o na.ppm p1e400\n",
         "Script-error: option p of line o na.ppm p1e400 is not a finite number.\n"},
        {"s.txt", p + "o na.ppm C300,400,0,80\n", "Script-error: crop of image 1 is empty.\n"},
        {"s.txt", p + "o na.ppm C40,30,0,80\n", "Script-error: crop of image 1 is empty.\n"},
        {"s.txt", p + "o na.ppm S0,10,90,99\n", "Script-error: selection of image 1 is empty.\n"},
        {"s.txt", p + "o na.ppm\n#-viewpoint nan 0 0 0 0\n",
         "Script-error: x nan of line #-viewpoint nan 0 0 0 0 is not a finite number.\n"},
        {"s.txt", p + "o na.ppm\n#-viewpoint 0 0 0 1 -inf\n",
         "Script-error: a2 -inf of line #-viewpoint 0 0 0 1 -inf is not a finite number.\n"},
        {"s.txt", p + "o na.ppm\n#-viewpoint 0 0 -2 0 0\n",
         "Script-error: depth -2 of line #-viewpoint 0 0 -2 0 0 is negative.\n"},
        {"s.txt", "p f2 w1000 h500 v90\no na.ppm y150\n", "No image reaches the panorama.\n"},
    };
    for (const auto &[name, script, message] : cases) {
        run_result r = run(script, {"-q", "-o", "out"}, name);
        EXPECT_EQ(r.status, 1) << script;
        EXPECT_EQ(r.err, message) << script;
        EXPECT_FALSE(file_exists(dir + "/out.tif") || file_exists(dir + "/out")) << script;
    }
}

TEST_F(Script, PlacesAndOrdersTheImages)
{
    // Unlisted projections fall back with a warning; listed ones (f7) do not.
    std::string script = "p f20 w1000 h500 v360\nm i12\n"
                         "o na.ppm f7 v60\no na.ppm f12 v60 y90\no na.ppm v60 y-90 C0,100,0,80\n";
    const std::string expected = "Warning: projection f20 is not supported, using equirectangular.\n"
                                 "Unsupported interpolator : i12, using bicubic\n"
                                 "Parsing script line:\no na.ppm f7 v60\n"
                                 "Parsing script line:\no na.ppm f12 v60 y90\n"
                                 "Warning: projection f12 is not supported, using rectilinear.\n"
                                 "Parsing script line:\no na.ppm v60 y-90 C0,100,0,80\n"
                                 "Rect Image 0: x=417 y=181 width=166 height=138\n"
                                 "Rect Image 1: x=667 y=181 width=166 height=138\n"
                                 "Rect Image 2: x=167 y=181 width=166 height=138\n"
                                 "Project reordered to:\n0  2  1  \n";
    run_result r = run(script);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
    // Not reordered with -s 0; standard output keeps only the panorama.
    r = run(script, {"-s", "0", "-o", "-"});
    EXPECT_EQ(r.err.find("Project reordered"), std::string::npos);
    EXPECT_NE(r.err.find("Rect Image 2: x=167"), std::string::npos);
    EXPECT_EQ(r.out.substr(0, 16), "P6\n1000 500\n255\n");
    EXPECT_EQ(r.out.size(), 16u + 1000 * 500 * 3);
}

TEST_F(Script, ViewpointDepthsAndThreeParameterCover)
{
    // A depth read as a logarithm may be negative; a line that does not scan
    // is no viewpoint.
    for (const std::string vp : {"#-fileversion 27\n#-viewpoint 0 0 -2 0 0\n", "#-viewpoint 1 2\n"})
        EXPECT_EQ(run("p f2 w1000 h500\no na.ppm\n" + vp, {}, "s.vtx").status, 0) << vp;
    // Past P 100 the sides of a three-parameter panorama stay empty.
    run_result r = run("p f19 w1000 h500 P\"149 0 0\"\no na.ppm\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(
        r.err.find("Warning: the three-parameter projection (f19) maps only 32% of the panorama; the rest "
                   "stays empty.\n"),
        std::string::npos);
    EXPECT_EQ(run("p f19 w1000 h500 P\"100 0 0\"\no na.ppm\n").err.find("Warning"), std::string::npos);
}

TEST_F(Script, QueryModesAndCaps)
{
    // No forward query (a zenith cap of 60 degrees takes rows 0 .. 65); a
    // multi-segment panorama is never queried.
    EXPECT_NE(run("p f2 w1000 h500\no na.ppm\no na.ppm y30\n", {"-x", "2", "-z", "60"})
                  .err.find("Rect Image 0 (no forward transformation): x=0 y=66 width=1000 height=434\n"),
              std::string::npos);
    EXPECT_NE(run("p f11 w1000 h500 v120\no na.ppm\n", {"-x", "0"})
                  .err.find("Rect Image 0 (no forward transformation): x=0 y=0 width=1000 height=500\n"),
              std::string::npos);
    const std::string warning = "Warning: Cannot blend across Nadir/Zenith, ignoring request.\n";
    const std::tuple<std::string, std::vector<std::string>, bool> caps[] = {
        {"p f2 w1000 h400\no na.ppm\no na.ppm\n", {"-z", "30"}, true},
        {"p f2 w1000 h500 n\"TIFF_m\"\no na.ppm\no na.ppm\n", {"-n", "30", "-o", "out"}, true},
        {"p f2 w1000 h500\no na.ppm\no na.ppm\n", {"-z", "30", "-n", "30"}, false},
    };
    for (const auto &[script, options, warns] : caps)
        EXPECT_EQ(run(script, options).err.find(warning) != std::string::npos, warns) << script;
}

// Under -q every warning still shows, once, and nothing else does: what
// the script asks that is not what happens, the name's suffix deciding over
// the p-line, and typos that the grammar reads otherwise.
TEST_F(Script, WarningsThatQuietModeKeeps)
{
    const std::string p = "p f2 w1000 h500 v360", o = "\no na.ppm v60\n",
                      asks = "Warning: the p-line asks for n\"";
    const std::string kind = "Warning: the p-line's output kind n\"";
    write_file(dir + "/half.ppm", "P6\n500 250\n255\n" + std::string(500 * 250 * 3, '\0'));
    // script, an option and its value, what standard error holds
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"p f19 w1000 h500 P\"149 0 0\"" + o, "",
         "Warning: the three-parameter projection (f19) maps only 32% of the panorama; the rest stays "
         "empty.\n"},
        {"p f20 w1000 h500" + o, "", "Warning: projection f20 is not supported, using equirectangular.\n"},
        {"p f2 w1000 h400" + o + o, "-z 30",
         "Warning: Cannot blend across Nadir/Zenith, ignoring request.\n"},
        {p + "\nm i12" + o, "", "Unsupported interpolator : i12, using bicubic\n"},
        {p + o, "-i half.ppm",
         "Warning: panorama half.ppm is 500x250, the script says 1000x500; using the file's size.\n"},
        {p + " n\"TIFF_m\"" + o, "-o p.tif", asks + "TIFF_m\", but the name p.tif makes a flat TIFF.\n"},
        {p + " n\"TIFF b1\"" + o, "-o p.TIFF", asks + "TIFF b1\", but the name p.TIFF makes a flat TIFF.\n"},
        {p + " n\"PSD\"" + o, "-o p.jpg",
         asks + "PSD\", but the name p.jpg makes a baseline JPEG of quality 80.\n"},
        {p + " n\"TIFF\"" + o, "-o -", asks + "TIFF\", but the name - makes a PPM.\n"},
        {p + " n\"TIFF\"" + o, "-o b.jpeg",
         "Warning: the p-line makes a flat TIFF, so the name b.jpeg becomes b.jpeg.tif.\n"},
        {"p f2 w1000 h5OO v360" + o, "", "Warning: in the p-line, h5OO is read as h5.\n"},
        {p + "\no na.ppm v1O8 y9O\n", "", "Warning: in o-line 1, v1O8 is read as v1; y9O is read as y9.\n"},
        {p + "\nm i2x" + o, "", "Warning: in the m-line, i2x is read as i2.\n"},
        {p + " n\"PNG\"" + o, "", kind + "PNG\" is not supported, using a flat TIFF.\n"},
        {p + " n\"JPEGXL q90\"" + o, "-o p",
         kind + "JPEGXL q90\" is not supported, using a baseline JPEG of quality 90.\n"},
        // Terms far out of range send a photo nowhere; the run goes on without it.
        {p + o + "o na.ppm d1e12\n", "-s 0",
         "Warning: image 1 (" + dir + "/a.ppm) lands nowhere in the panorama.\n"},
        // Scripts that ask for what they get stay silent, one saved with a byte-order mark too.
        {"\xEF\xBB\xBF" + p + o, "", ""},
        {p + " n\"TIFF_m b1 c:LZW r:CROP\"\nm i2\no na.ppm v60 y-30.5 p1e-3" + o, "-o p", ""},
        {p + " n\"JPEG q80\"" + o, "-o p.jpg", ""},
    };
    for (const auto &[script, option, warnings] : cases) {
        std::vector<std::string> quiet = {"-q"};
        if (!option.empty())
            quiet.insert(quiet.end(), {option.substr(0, 2), option.substr(3)});
        run_result r = run(script, quiet);
        EXPECT_EQ(r.status, 0) << script;
        EXPECT_EQ(r.err, warnings) << script;
    }
}

} // namespace
