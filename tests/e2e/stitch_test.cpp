// Scenes rendered from a master image and stitched back by the real
// program: what comes out is the master again, in every output kind.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

const double INF = std::numeric_limits<double>::infinity();

struct output_case {
    const char *kind;    // the p-line's n"..." text
    const char *options; // "-d" or ""
    const char *file;    // the name the output gets
    double min_psnr;     // against the reference, in dB
};

// The output as a file imgcompare reads: PSD and PSB through ImageMagick.
std::string readable(const std::string &file)
{
    std::string suffix = file.size() < 4 ? "" : file.substr(file.size() - 4);
    if (suffix != ".psd" && suffix != ".psb")
        return file;
    bool tiled = run_program({"/usr/bin/identify", file}).out.find(suffix + "[1]") != std::string::npos;
    magick(file, file + ".ppm", tiled);
    return file + ".ppm";
}

// Stitches s as kind c into dir/out; the path of the result.
std::string stitch_as(const scene_files &s, const output_case &c, std::vector<std::string> options = {})
{
    std::string script = script_for(s, c.kind, std::string("s-") + c.file + ".txt");
    if (*c.options)
        options.push_back(c.options);
    options.insert(options.end(), {"-q", "-o", s.dir + "/out", script});
    std::remove((s.dir + "/" + c.file).c_str());
    run_result r = stitch(options);
    EXPECT_EQ(r.status, 0) << c.kind << " " << c.options << ": " << r.err;
    return s.dir + "/" + c.file;
}

TEST(Stitch, IdentityInEveryOutputKind)
{
    if (!have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    // A rectilinear photo into a panorama of its own size and view: within
    // one level, JPEG aside.
    scene_files s = generate_scene("identity", {"--scale", "0.25"});
    const output_case cases[] = {{"PPM", "", "out.ppm", INF},    {"TIFF", "", "out.tif", INF},
                                 {"PSD", "", "out.psd", INF},    {"PPM", "-d", "out.ppm", INF},
                                 {"TIFF", "-d", "out.tif", INF}, {"PSD", "-d", "out.psd", INF},
                                 {"JPEG q95", "", "out.jpg", 35}};
    for (const output_case &c : cases) {
        key_values t = compare_images({readable(stitch_as(s, c)), s.reference});
        EXPECT_EQ(t["pixels"], std::to_string(s.width() * s.height())) << c.kind;
        if (c.min_psnr == INF)
            EXPECT_LE(report_number(t, "max"), 1) << c.kind << " " << c.options;
        else
            EXPECT_GE(report_number(t, "psnr"), c.min_psnr) << c.kind;
    }
}

// "Rect Image i: ..." as the destination rectangle of a crop photo.
std::string crop_rect_line(int i, const key_values &photo, int pano_width)
{
    int x = std::stoi(photo.at("pano_x")), w = std::stoi(photo.at("width"));
    if (x + w > pano_width) // across the seam: starts left of column 0
        x -= pano_width;
    return "Rect Image " + std::to_string(i) + ": x=" + std::to_string(x) + " y=" + photo.at("pano_y") +
           " width=" + photo.at("width") + " height=" + photo.at("height");
}

// The first image stays first, the others follow by destination x, the
// earlier one first on equal x; ten a line.
std::string expected_order(const std::vector<int> &xs)
{
    std::vector<int> order(xs.size());
    for (size_t i = 0; i < xs.size(); i++)
        order[i] = static_cast<int>(i);
    std::stable_sort(order.begin() + 1, order.end(), [&](int a, int b) { return xs[a] < xs[b]; });
    std::string text = "Project reordered to:\n";
    for (size_t i = 0; i < order.size(); i++)
        text += std::to_string(order[i]) + "  " + (i % 10 == 9 || i + 1 == order.size() ? "\n" : "");
    return text;
}

TEST(Stitch, CropsGiveTheMasterBack)
{
    // Four crops (yaw 0, 90, 180 across the seam, 270): every covered pixel
    // is the master's, beyond two columns from an edge.
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--pano-format", "PPM"});
    const std::string out = s.dir + "/out.ppm";
    for (const char *query : {"0", "1", "2"}) {
        run_result r = stitch({"-x", query, "-o", s.dir + "/out", s.script});
        ASSERT_EQ(r.status, 0) << r.err;
        key_values t = compare_images({out, s.master, "--mask", out, "--margin", "2", "--wrap"});
        EXPECT_EQ(report_number(t, "max"), 0) << query;
        // -x 2 blends the edge pixels without weight away; nothing more.
        EXPECT_NEAR(report_number(t, "coverage"), s.covered, 0.01) << query;
        std::vector<std::string> rects = lines_starting(r.err, "Rect Image");
        ASSERT_EQ(rects.size(), s.photos.size());
        std::vector<int> xs;
        for (size_t i = 0; i < rects.size(); i++) {
            std::string want =
                *query == '2'
                    ? "Rect Image " + std::to_string(i) +
                          " (no forward transformation): x=0 y=0 width=" + std::to_string(s.width()) +
                          " height=" + std::to_string(s.height())
                    : crop_rect_line(static_cast<int>(i), s.photos[i], s.width());
            EXPECT_EQ(rects[i], want);
            xs.push_back(std::stoi(rects[i].substr(rects[i].find("x=") + 2)));
        }
        EXPECT_NE(r.err.find(expected_order(xs)), std::string::npos) << r.err;
    }
}

TEST(Stitch, Yaw270IsStitchedAsMinus90)
{
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--pano-format", "PPM"});
    std::string text = read_file(s.script), turned = text;
    size_t at = turned.find(" y270 ");
    ASSERT_NE(at, std::string::npos) << text;
    turned.replace(at, 6, " y-90 ");
    write_file(s.dir + "/turned.txt", turned);
    ASSERT_EQ(stitch({"-q", "-o", s.dir + "/a", s.script}).status, 0);
    ASSERT_EQ(stitch({"-q", "-o", s.dir + "/b", s.dir + "/turned.txt"}).status, 0);
    EXPECT_TRUE(read_file(s.dir + "/a.ppm") == read_file(s.dir + "/b.ppm"));
}

// Spheres of rectilinear and fisheye photos, each with a zenith and a nadir
// shot, stitched in every output kind.
struct SphereStitch : ::testing::TestWithParam<const char *> {
};

TEST_P(SphereStitch, EveryOutputKindMatchesTheMaster)
{
    if (!have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    scene_files s = generate_scene(GetParam(), {"--scale", "0.3"});
    const output_case cases[] = {{"PPM", "", "out.ppm", 40},      {"TIFF", "", "out.tif", 40},
                                 {"PSD", "", "out.psd", 40},      {"PPM", "-d", "out.ppm", 40},
                                 {"TIFF", "-d", "out.tif", 40},   {"PSD", "-d", "out.psd", 40},
                                 {"TIFF b1", "", "out.tif", 40},  {"PSB", "", "out.psb", 40},
                                 {"JPEG q95", "", "out.jpg", 35}, {"JPEG q95", "-d", "out.jpg", 35}};
    const std::string mask = stitch_as(s, cases[0]) + ".mask.ppm";
    std::rename((s.dir + "/out.ppm").c_str(), mask.c_str());
    // The zenith and nadir photos leave no pixel of the pole rows uncovered.
    for (const std::string &row : {std::string("0:1"), std::to_string(s.height() - 1) + ":"})
        EXPECT_EQ(compare_images({mask, s.master, "--mask", mask, "--rows", row})["coverage"], "1.000000")
            << row;
    for (const output_case &c : cases) {
        key_values t =
            compare_images({readable(stitch_as(s, c)), s.master, "--mask", mask, "--margin", "2", "--wrap"});
        EXPECT_GE(report_number(t, "psnr"), c.min_psnr) << c.kind << " " << c.options;
        EXPECT_GT(report_number(t, "coverage"), 0.99) << c.kind;
    }
    // The rows at the poles are covered to the last pixel.
    for (const std::string &rows : {std::string("0:1"), std::to_string(s.height() - 1) + ":"}) {
        key_values t = compare_images({mask, s.master, "--mask", mask, "--rows", rows});
        EXPECT_EQ(report_number(t, "coverage"), 1.0) << rows;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, SphereStitch, ::testing::Values("sphere", "fisheye"));

} // namespace
