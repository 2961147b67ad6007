// Scenes rendered from a master image and stitched back by the real
// program: what comes out is the master again, in every output kind.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{

// Stitches s as kind into dir/out; the result as a file imgcompare reads
// (PSD and PSB through ImageMagick).
std::string stitch_as(const scene_files &s, const std::string &kind)
{
    const std::string file = s.dir + "/" + output_file(kind), suffix = file.substr(file.size() - 4);
    std::remove(file.c_str());
    run_result r = stitch({"-q", "-o", s.dir + "/out", script_for(s, kind, "s.txt")});
    EXPECT_EQ(r.status, 0) << kind << ": " << r.err;
    if (suffix != ".psd" && suffix != ".psb")
        return file;
    bool tiled = run_program({"/usr/bin/identify", file}).out.find(suffix + "[1]") != std::string::npos;
    magick(file, file + ".ppm", tiled);
    return file + ".ppm";
}

TEST(Stitch, CropsGiveTheMasterBack)
{
    // Four crops (yaw 0, 90, 180 across the seam, 270): every covered pixel
    // is the master's, beyond two columns from an edge.
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--pano-format", "PPM"});
    const std::string out = s.dir + "/out.ppm";
    std::string first;
    for (const std::string query : {"0", "1", "2"}) {
        run_result r = stitch({"-x", query, "-o", s.dir + "/out", s.script});
        ASSERT_EQ(r.status, 0) << r.err;
        key_values t = compare_images({out, s.master, "--mask", out, "--margin", "2", "--wrap"});
        EXPECT_EQ(report_number(t, "max"), 0) << query;
        // -x 2 blends the edge pixels without weight away; nothing more.
        EXPECT_NEAR(report_number(t, "coverage"), s.covered, 0.01) << query;
        std::vector<key_values> rects = report_lines(r.err, "Rect");
        ASSERT_EQ(rects.size(), s.photos.size());
        for (size_t i = 0; i < rects.size(); i++) {
            const key_values &p = s.photos[i];
            int x = std::stoi(p.at("pano_x")), w = std::stoi(p.at("width")), pw = s.width();
            // -x 2 queries nothing: all the panorama. Across the seam a crop
            // starts left of column 0.
            EXPECT_EQ(rects[i], query == "2" ? rect(0, 0, pw, s.height())
                                             : rect(x + w > pw ? x - pw : x, std::stoi(p.at("pano_y")), w,
                                                    std::stoi(p.at("height"))))
                << query << " " << i;
        }
        // The first image stays first, the others follow by x (the one across
        // the seam first), the earlier one first on equal x.
        const std::string order = query == "2" ? "0  1  2  3  \n" : "0  2  3  1  \n";
        EXPECT_NE(r.err.find("Project reordered to:\n" + order), std::string::npos) << r.err;
        if (query == "0")
            first = read_file(out);
    }
    // Yaw 270 is stitched as -90.
    std::string turned = read_file(s.script);
    ASSERT_NE(turned.find(" y270 "), std::string::npos) << turned;
    write_file(s.dir + "/turned.txt", turned.replace(turned.find(" y270 "), 6, " y-90 "));
    ASSERT_EQ(stitch({"-q", "-x", "0", "-o", s.dir + "/out", s.dir + "/turned.txt"}).status, 0);
    EXPECT_TRUE(read_file(out) == first);
}

// A rectilinear photo into a panorama of its own size and view, and spheres
// of rectilinear and fisheye photos, each with a zenith and a nadir shot,
// stitched in every output kind (deferred runs give the same bytes: see
// OutputModes).
struct EveryKind : ::testing::TestWithParam<const char *> {
};

TEST_P(EveryKind, MatchesTheMaster)
{
    if (!have_magick())
        GTEST_SKIP() << "ImageMagick is not installed";
    const bool identity = GetParam() == std::string("identity");
    scene_files s = generate_scene(GetParam(), {"--scale", identity ? "0.25" : "0.3"});
    std::vector<std::string> against = {s.reference};
    if (!identity) {
        const std::string mask = s.dir + "/mask.ppm";
        std::rename(stitch_as(s, "PPM").c_str(), mask.c_str());
        // The zenith and nadir photos leave no pixel of the pole rows uncovered.
        for (const std::string &rows : {std::string("0:1"), std::to_string(s.height() - 1) + ":"})
            EXPECT_EQ(compare_images({mask, s.master, "--mask", mask, "--rows", rows})["coverage"],
                      "1.000000")
                << rows;
        against = {s.master, "--mask", mask, "--margin", "2", "--wrap"};
    }
    for (const char *kind : {"PPM", "TIFF", "PSD", "TIFF b1", "PSB", "JPEG q95"}) {
        std::vector<std::string> args = {stitch_as(s, kind)};
        args.insert(args.end(), against.begin(), against.end());
        key_values t = compare_images(args);
        // The identity within one level everywhere; JPEG and the spheres by PSNR.
        if (identity && *kind != 'J')
            EXPECT_LE(report_number(t, "max"), 1) << kind;
        else
            EXPECT_GE(report_number(t, "psnr"), *kind == 'J' ? 35 : 40) << kind;
        EXPECT_GE(report_number(t, "coverage"), identity ? 1 : 0.99) << kind;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, EveryKind, ::testing::Values("identity", "sphere", "fisheye"));

} // namespace
