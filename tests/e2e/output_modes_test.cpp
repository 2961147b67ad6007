// The ways of writing one panorama: in place, deferred through the writer
// thread and to standard output give the same pixels; a run onto an old
// file gives what a fresh one gives; a layered TIFF has a page per image.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace
{

// The p-line's n"..." text, and -p for 16-bit samples.
struct OutputModes : ::testing::TestWithParam<const char *> {
};

TEST_P(OutputModes, InPlaceDeferredStandardOutputAndOldFileAgree)
{
    std::string kind = GetParam();
    const bool deep = kind.size() > 3 && kind.substr(kind.size() - 3) == " -p";
    kind.resize(kind.size() - (deep ? 3 : 0));
    const std::string out = output_file(kind);
    const bool raw = out == "out.ppm", layered = kind == "TIFF_m", psd = kind.rfind("PS", 0) == 0;
    if (!raw && !have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    // A PSD wider than one layer (2048).
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--pano-scale", psd ? "4.1" : "1.5"});
    std::vector<std::string> args = {"-q", "-o", s.dir + "/out", script_for(s, kind, "s.txt")};
    if (deep)
        args.push_back("-p");
    std::string pixels[2];
    for (bool defer : {false, true}) {
        if (defer)
            args.push_back("-d");
        const std::string file = s.dir + "/" + out;
        std::remove(file.c_str());
        ASSERT_EQ(stitch(args).status, 0);
        const std::string fresh = read_file(file);
        pixels[defer] = raw || layered ? fresh : magick(file, "rgb:-", !defer && psd);
        // Longer than the panorama, and no image there.
        write_file(file, std::string(fresh.size() * 3, '\x5a'));
        ASSERT_EQ(stitch(args).status, 0);
        EXPECT_TRUE(read_file(file) == fresh) << (defer ? "-d" : "in place") << " onto an old file";
    }
    EXPECT_GE(pixels[0].size(), size_t(s.width()) * s.height() * 3);
    EXPECT_TRUE(layered || pixels[0] == pixels[1]);
    if (raw) { // standard output is always PPM
        args[2] = "-";
        EXPECT_TRUE(stitch(args).out == pixels[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutputModes,
                         ::testing::Values("PPM", "PPM -p", "TIFF", "TIFF -p", "PSD", "PSD -p", "PSB",
                                           "JPEG q90", "TIFF_m"));

TEST(OutputFile, LayeredTiffHasAPagePerImageAtItsRectangle)
{
    if (!have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    scene_files s = generate_scene("sphere", {"--scale", "0.25"});
    run_result r = stitch({"-o", s.dir + "/out", script_for(s, "TIFF_m", "s.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Project reordered"), std::string::npos); // pages in script order
    std::vector<key_values> rects = report_lines(r.err, "Rect");
    ASSERT_EQ(rects.size(), s.photos.size());
    std::istringstream pages(
        run_program({"/usr/bin/identify", "-format", "%w %h %X %Y\n", s.dir + "/out.tif"}).out);
    // Every page laid on black at its place, and once more a panorama
    // width to the left for a page that crosses the seam.
    const int w = s.width();
    std::vector<std::string> compose = {"/usr/bin/convert", "-size",
                                        std::to_string(w) + "x" + std::to_string(s.height()), "xc:black"};
    size_t n = 0;
    for (int pw, ph, px, py; n < rects.size() && pages >> pw >> ph >> px >> py; n++) {
        // A page across the seam: its rectangle starts left of column 0.
        EXPECT_EQ(rect(px + pw > w ? px - w : px, py, pw, ph), rects[n]);
        for (int dx : {px, px - w})
            compose.insert(compose.end(),
                           {s.dir + "/out.tif[" + std::to_string(n) + "]", "+repage", "-geometry",
                            (dx < 0 ? "" : "+") + std::to_string(dx) + "+" + std::to_string(py),
                            "-composite"});
    }
    EXPECT_EQ(n, s.photos.size());
    compose.push_back(s.dir + "/pasted.ppm");
    ASSERT_EQ(run_program(compose).status, 0);
    key_values t =
        compare_images({compose.back(), s.master, "--mask", compose.back(), "--margin", "2", "--wrap"});
    EXPECT_GE(report_number(t, "psnr"), 40);
    EXPECT_GT(report_number(t, "coverage"), 0.99);
}

} // namespace
