// The ways of writing one panorama: in place, deferred through the writer
// thread and to standard output give the same pixels; a run onto an old
// file gives what a fresh one gives; a layered TIFF has a page per image
// that covers what the image covers; every kind carries the photos' colour
// profile.
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

using LayeredTiff = ::testing::TestWithParam<const char *>;

// A page per image, BigTIFF too, placed and at full size, in script order;
// on exact crops with uncovered parts, the pages laid on black give the flat
// TIFF pixel for pixel, the photos' rims included.
TEST_P(LayeredTiff, PagesLieAtTheirRectanglesAndComposeToTheFlatPanorama)
{
    if (!have_magick() || !file_exists("/usr/bin/tiffinfo"))
        GTEST_SKIP() << "ImageMagick or libtiff-tools is not installed";
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    ASSERT_EQ(stitch({"-q", "-o", s.dir + "/flat", script_for(s, "TIFF", "flat.txt")}).status, 0);
    run_result r = stitch({"-o", s.dir + "/out", script_for(s, GetParam(), "s.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Project reordered"), std::string::npos); // pages in script order
    std::vector<key_values> rects = report_lines(r.err, "Rect");
    const std::string fields = run_program({"/usr/bin/tiffinfo", s.dir + "/out.tif"}).out;
    for (std::string field : {std::string("Position: "), std::string("PackBits"),
                              "ImageFullLength: " + std::to_string(s.height())}) {
        size_t n = 0;
        for (size_t at = fields.find(field); at != std::string::npos; at = fields.find(field, at + 1))
            n++;
        EXPECT_EQ(n, s.photos.size()) << field;
    }
    // Every page laid at its place on black and on nothing, and once more a
    // panorama width to the left for a page that crosses the seam.
    const int w = s.width();
    const std::string size = std::to_string(w) + "x" + std::to_string(s.height()), laid = s.dir + "/laid.ppm";
    std::vector<std::string> black = {"/usr/bin/convert", "-size", size, "xc:black"}, clear = black;
    clear[3] = "xc:none";
    std::istringstream pages(
        run_program({"/usr/bin/identify", "-format", "%w %h %X %Y\n", s.dir + "/out.tif"}).out);
    size_t n = 0;
    for (int pw, ph, px, py; n < rects.size() && pages >> pw >> ph >> px >> py; n++) {
        // A page across the seam: its rectangle starts left of column 0.
        EXPECT_EQ(rect(px + pw > w ? px - w : px, py, pw, ph), rects[n]);
        for (int dx : {px, px - w})
            for (std::vector<std::string> *argv : {&black, &clear})
                argv->insert(argv->end(),
                             {s.dir + "/out.tif[" + std::to_string(n) + "]", "+repage", "-geometry",
                              (dx < 0 ? "" : "+") + std::to_string(dx) + "+" + std::to_string(py),
                              "-composite"});
    }
    EXPECT_EQ(n, s.photos.size());
    black.push_back(laid);
    clear.push_back(s.dir + "/laid.tif");
    ASSERT_EQ(run_program(black).status, 0);
    ASSERT_EQ(run_program(clear).status, 0);
    EXPECT_EQ(report_number(compare_images({laid, s.dir + "/flat.tif"}), "max"), 0);
    // What the pages cover is what the photos cover.
    key_values t = compare_images({s.dir + "/laid.tif", s.dir + "/flat.tif"});
    EXPECT_NEAR(report_number(t, "coverage"), s.covered, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LayeredTiff, ::testing::Values("TIFF_m", "TIFF_m b1"));

using ColourProfile = ::testing::TestWithParam<const char *>;

// Photos of the format given carry a profile: every kind of panorama, written
// in place or merged by the writer thread, carries it byte for byte, and the
// PSD and PSB files still read as the TIFF does.
TEST_P(ColourProfile, ReachesEveryOutputKind)
{
    if (!have_magick() || !file_exists("/usr/bin/exiftool"))
        GTEST_SKIP() << "ImageMagick or exiftool is not installed";
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--format", GetParam()});
    // An ICC header of an odd length (133 bytes), without tags.
    std::string profile =
        std::string("\0\0\0\x85zthr\x02\x10\0\0mntrRGB XYZ ", 24) + std::string(12, '\0') + "acsp";
    profile.resize(133);
    write_file(s.dir + "/photos.icc", profile);
    const std::string tag =
        "cd " + s.dir + " && exiftool -q -overwrite_original -icc_profile'<='photos.icc photo-*";
    ASSERT_EQ(run_program({"/bin/sh", "-c", tag}).status, 0);
    std::string tiff_pixels;
    for (const char *kind : {"TIFF", "TIFF b1", "TIFF_m", "TIFF_m b1", "PSD", "PSB", "JPEG q90"})
        for (const std::string mode : {"-c", "-d"}) { // in place (console mode, as ever) or deferred
            const std::string out = s.dir + "/" + output_file(kind);
            ASSERT_EQ(stitch({"-q", mode, "-o", s.dir + "/out", script_for(s, kind, "s.txt")}).status, 0);
            EXPECT_TRUE(run_program({"/usr/bin/exiftool", "-b", "-icc_profile", out}).out == profile)
                << kind << mode;
            if (tiff_pixels.empty())
                tiff_pixels = magick(out, "rgb:-");
            if (kind[0] == 'P') {
                EXPECT_TRUE(magick(out, "rgb:-", mode == "-c") == tiff_pixels) << kind << mode;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Photos, ColourProfile, ::testing::Values("jpg", "tif"));

} // namespace

// Any thread count gives the same bytes: the warper's shares, the blend's
// threads and the decoding ahead change where pixels are computed, never
// what they are. Caps, the content seam and the writer thread included.
struct thread_way {
    const char *kind;
    std::vector<std::string> options;
};

static void expect_same_bytes(const scene_files &s, const std::vector<thread_way> &ways,
                              const std::vector<const char *> &jobs)
{
    for (const auto &way : ways) {
        std::vector<std::string> args = {"-q", "-o", s.dir + "/out", script_for(s, way.kind, "s.txt")};
        args.insert(args.end(), way.options.begin(), way.options.end());
        std::string first;
        for (const char *j : jobs) {
            std::vector<std::string> with_j = args;
            with_j.insert(with_j.end(), {"-j", j});
            run_result r = stitch(with_j);
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string out = read_file(s.dir + "/" + output_file(way.kind));
            if (first.empty())
                first = out;
            EXPECT_TRUE(out == first) << way.kind << " at -j " << j;
        }
    }
}

TEST(ThreadCounts, GiveTheSameBytes)
{
    expect_same_bytes(generate_scene("sphere", {"--scale", "0.3", "--format", "jpg"}),
                      {{"PPM", {"-z", "30", "-n", "30"}}, {"TIFF", {"-b", "1"}}, {"JPEG q90", {"-d"}}},
                      {"1", "2", "3", "8", "64"});
}

// Blends 4,200 columns wide, whose rows the blend's stages cut into column
// ranges, in every seam mode, and -j far above the processor count.
TEST(ThreadCounts, WideBlendsGiveTheSameBytes)
{
    expect_same_bytes(generate_scene("sphere", {"--scale", "0.3", "--pano-scale", "7"}),
                      {{"TIFF", {}}, {"PPM", {"-b", "1"}}, {"JPEG q90", {"-d", "-b", "2"}}},
                      {"1", "2", "3", "8", "64", "256"});
}
