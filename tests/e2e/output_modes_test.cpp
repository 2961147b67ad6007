// The ways of writing one panorama: in place, deferred through the writer
// thread and to standard output give the same pixels; a run onto an old
// file gives what a fresh one gives; a layered TIFF has a page per image.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{

struct mode_case {
    const char *kind;  // the p-line's n"..." text
    const char *depth; // "-p" for 16-bit samples, or ""
    const char *file;  // the output's name
    bool raw;          // PPM: the files themselves must be equal
    const char *scale; // of the panorama: a PSD wider than one layer (2048)
};

void PrintTo(const mode_case &c, std::ostream *os) { *os << c.kind << " " << c.depth; }

struct OutputModes : ::testing::TestWithParam<mode_case> {
};

TEST_P(OutputModes, InPlaceDeferredAndStandardOutputAgree)
{
    const mode_case &c = GetParam();
    if (!c.raw && !have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--pano-scale", c.scale});
    std::string script = script_for(s, c.kind, "s.txt"), in_place = s.dir + "/" + c.file;
    std::vector<std::string> options = {"-q"};
    if (*c.depth)
        options.push_back(c.depth);
    auto run = [&](std::vector<std::string> more) {
        more.insert(more.begin(), options.begin(), options.end());
        more.push_back(script);
        run_result r = stitch(more);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    run({"-o", s.dir + "/out"});
    std::string first =
        c.raw ? read_file(in_place) : magick(in_place, "rgb:-", std::string(c.kind).rfind("PS", 0) == 0);
    run({"-d", "-o", s.dir + "/out"});
    std::string deferred = c.raw ? read_file(in_place) : magick(in_place, "rgb:-");
    EXPECT_GE(first.size(), size_t(s.width()) * s.height() * 3);
    EXPECT_TRUE(first == deferred) << c.kind << " " << c.depth;
    if (c.raw) { // standard output is always PPM
        EXPECT_TRUE(run({"-o", "-"}).out == first) << c.depth;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutputModes,
                         ::testing::Values(mode_case{"PPM", "", "out.ppm", true, "1.5"},
                                           mode_case{"PPM", "-p", "out.ppm", true, "1.5"},
                                           mode_case{"TIFF", "", "out.tif", false, "1.5"},
                                           mode_case{"TIFF", "-p", "out.tif", false, "1.5"},
                                           mode_case{"PSD", "", "out.psd", false, "4.1"},
                                           mode_case{"PSD", "-p", "out.psd", false, "4.1"},
                                           mode_case{"PSB", "", "out.psb", false, "4.1"}),
                         [](const auto &info) {
                             return info.param.kind + std::string(*info.param.depth ? "16" : "");
                         });

TEST(OutputFile, RunOntoAnOldFileGivesTheFreshBytes)
{
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    const std::pair<const char *, const char *> kinds[] = {{"PPM", "out.ppm"},
                                                           {"TIFF", "out.tif"},
                                                           {"PSD", "out.psd"},
                                                           {"JPEG q90", "out.jpg"},
                                                           {"TIFF_m", "out.tif"}};
    for (const auto &[kind, file] : kinds)
        for (bool defer : {false, true}) {
            std::string out = s.dir + "/" + file;
            std::vector<std::string> args = {"-q", "-o", s.dir + "/out", script_for(s, kind, "s.txt")};
            if (defer)
                args.push_back("-d");
            std::remove(out.c_str());
            ASSERT_EQ(stitch(args).status, 0);
            std::string fresh = read_file(out);
            // Longer than the panorama, and no image there.
            write_file(out, std::string(fresh.size() * 3, '\x5a'));
            ASSERT_EQ(stitch(args).status, 0);
            EXPECT_TRUE(read_file(out) == fresh) << kind << (defer ? " -d" : "");
        }
}

TEST(OutputFile, LayeredTiffHasAPagePerImageAtItsRectangle)
{
    if (!have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    scene_files s = generate_scene("sphere", {"--scale", "0.25"});
    run_result r = stitch({"-o", s.dir + "/out", script_for(s, "TIFF_m", "s.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Project reordered"), std::string::npos); // pages in script order
    std::vector<std::string> rects = lines_starting(r.err, "Rect Image");
    std::istringstream pages(
        run_program({"/usr/bin/identify", "-format", "%w %h %X %Y\n", s.dir + "/out.tif"}).out);
    // Every page laid on black at its place, and once more a panorama
    // width to the left for a page that crosses the seam.
    const int w = s.width();
    std::vector<std::string> compose = {"/usr/bin/convert", "-size",
                                        std::to_string(w) + "x" + std::to_string(s.height()), "xc:black"};
    size_t n = 0;
    for (int pw, ph, px, py; pages >> pw >> ph >> px >> py; n++) {
        ASSERT_LT(n, rects.size());
        int x, y, rw, rh;
        ASSERT_EQ(sscanf(rects[n].c_str(), "Rect Image %*d: x=%d y=%d width=%d height=%d", &x, &y, &rw, &rh),
                  4);
        EXPECT_EQ(pw, rw) << rects[n];
        EXPECT_EQ(ph, rh) << rects[n];
        EXPECT_EQ(px, (x + w) % w) << rects[n];
        EXPECT_EQ(py, y) << rects[n];
        for (int dx : {px, px - w})
            compose.insert(compose.end(),
                           {s.dir + "/out.tif[" + std::to_string(n) + "]", "+repage", "-geometry",
                            (dx < 0 ? "" : "+") + std::to_string(dx) + "+" + std::to_string(py),
                            "-composite"});
    }
    EXPECT_EQ(n, s.photos.size());
    EXPECT_EQ(rects.size(), s.photos.size());
    std::string pasted = s.dir + "/pasted.ppm";
    compose.push_back(pasted);
    ASSERT_EQ(run_program(compose).status, 0);
    key_values t = compare_images({pasted, s.master, "--mask", pasted, "--margin", "2", "--wrap"});
    EXPECT_GE(report_number(t, "psnr"), 40);
    EXPECT_GT(report_number(t, "coverage"), 0.99);
}

} // namespace
