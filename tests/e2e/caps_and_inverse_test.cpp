// Caps over the poles of a full sphere, and the inverse mode that renders the
// photos back out of a panorama: the real program on generated scenes.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

// Photo k's file with another suffix, or the name its rendering back gets.
std::string photo(const scene_files &s, size_t k, const std::string &suffix = ".ppm", bool back = false)
{
    std::string file = s.photos.at(k - 1).at("file");
    file = file.substr(0, file.size() - 4) + suffix;
    return back ? file.replace(file.rfind("photo-"), 6, "back-") : file;
}

// The scene's script with the photos named back-NN (suffix1 for the first,
// suffix2 for the second), so that the inverse mode keeps the originals.
std::string back_script(const scene_files &s, const char *suffix1 = ".ppm", const char *suffix2 = ".ppm")
{
    std::string text = read_file(s.script);
    for (size_t at; (at = text.find("n\"photo-")) != std::string::npos;)
        text.replace(at, 8, "n\"back-");
    text.replace(text.find("back-01.ppm"), 11, std::string("back-01") + suffix1);
    text.replace(text.find("back-02.ppm"), 11, std::string("back-02") + suffix2);
    write_file(s.dir + "/back.txt", text);
    return s.dir + "/back.txt";
}

// PSNR of photo k rendered back against the original, leaving out a border
// of 4 pixels.
double interior_psnr(const scene_files &s, size_t k, const std::string &suffix = ".ppm")
{
    const key_values &p = s.photos.at(k - 1);
    const std::string rows = "4:" + std::to_string(std::stoi(p.at("height")) - 4);
    const std::string cols = "4:" + std::to_string(std::stoi(p.at("width")) - 4);
    return report_number(
        compare_images({photo(s, k, suffix, true), photo(s, k), "--rows", rows, "--cols", cols}), "psnr");
}

// Photos 1 and 4 turn by no more than a whole-pixel shift: their stacks have
// no rotation of their own. With H = 700 each cap takes 117 rows, and the
// images stop 100 rows inside it (rows 16 and 684).
TEST(Caps, SphereWithCaps)
{
    scene_files s = generate_scene("sphere", {"--scale", "0.7"});
    const std::string pano = s.dir + "/pano.tif";
    run_result r = stitch({"-q", "-z", "30", "-n", "30", "-o", pano, s.script});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Creating insert using parameters:\no f2 y0 p90 r0 v60.000000\n"
                     "Creating insert using parameters:\no f2 y0 p-90 r0 v60.000000\n");
    for (const char *rows : {"2:117", "583:698"})
        EXPECT_GE(report_number(compare_images({pano, s.master, "--rows", rows}), "psnr"), 30.0) << rows;
    auto per_row = report_lines(run_tool("imgcompare", {pano, s.master, "--per-row"}).out);
    ASSERT_GE(per_row.size(), 700u);
    for (int edge : {16, 117, 583, 684})
        EXPECT_LT(std::fabs(report_number(per_row[edge], "mae") - report_number(per_row[edge - 1], "mae")),
                  1.5)
            << edge;
}

TEST(Inverse, RoundTrip)
{
    // Equirectangular crops, one across the seam.
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string pano = s.dir + "/pano.tif";
    ASSERT_EQ(stitch({"-q", "-o", pano, s.script}).status, 0);
    ASSERT_EQ(stitch({"-q", "-i", pano, back_script(s)}).status, 0);
    for (size_t k = 1; k <= 4; k++) {
        key_values c = compare_images({photo(s, k, ".ppm", true), photo(s, k)});
        EXPECT_EQ(c["coverage"], "1.000000") << k; // the same size, every pixel
        EXPECT_GE(report_number(c, "psnr"), 40.0) << k;
    }
    // Rectilinear photos, stitched with caps; photo 1 named .jpg, photo 2 .tif.
    s = generate_scene("sphere", {"--scale", "0.3"});
    const std::string sphere = s.dir + "/pano.tif";
    ASSERT_EQ(stitch({"-q", "-z", "30", "-n", "30", "-o", sphere, s.script}).status, 0);
    ASSERT_EQ(stitch({"-q", "-i", sphere, back_script(s, ".jpg", ".tif")}).status, 0);
    run_result info = run_tool("/bin/sh", {"-c", "jpeginfo -c " + photo(s, 1, ".jpg", true)});
    EXPECT_TRUE(info.status == 127 || info.out.find(" OK ") != std::string::npos) << info.out << info.err;
    EXPECT_EQ(read_file(photo(s, 2, ".tif", true)).substr(0, 3), "II*");
    EXPECT_GE(interior_psnr(s, 1, ".jpg"), 30.0);
    EXPECT_GE(interior_psnr(s, 2, ".tif"), 30.0);
    for (size_t k = 3; k <= s.photos.size(); k++)
        EXPECT_GE(interior_psnr(s, k), 30.0) << k;
}

// A panorama halved after stitching registers as well as one stitched at the
// half size to begin with.
TEST(Inverse, ResizedPanorama)
{
    scene_files half = generate_scene("sphere", {"--scale", "0.3", "--pano-scale", "0.5"});
    ASSERT_EQ(stitch({"-q", "-o", half.dir + "/pano.tif", half.script}).status, 0);
    ASSERT_EQ(stitch({"-q", "-i", half.dir + "/pano.tif", back_script(half)}).status, 0);
    scene_files s = generate_scene("sphere", {"--scale", "0.3"});
    ASSERT_EQ(stitch({"-q", "-o", s.dir + "/pano.tif", s.script}).status, 0);
    const std::string halve = "cd " + s.dir + " && tifftopnm pano.tif 2>/dev/null | pamscale 0.5 > half.ppm";
    ASSERT_EQ(run_tool("/bin/sh", {"-c", halve}).status, 0);
    run_result r = stitch({"-i", "half.ppm", back_script(s)}, s.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(
                  "Warning: panorama half.ppm is 300x150, the script says 600x300; using the file's size.\n"),
              std::string::npos)
        << r.err;
    for (size_t k = 1; k <= s.photos.size(); k++)
        EXPECT_NEAR(interior_psnr(s, k), interior_psnr(half, k), 1.0) << k;
}

} // namespace
