// Caps over the poles of a full sphere, and the inverse mode that renders the
// photos back out of a panorama: the real program on generated scenes.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

namespace
{

// Photo k's file, or the file in back/ that it is rendered back into; with
// mixed, photo 1 as JPEG and photo 2 as TIFF.
std::string photo(const scene_files &s, size_t k, bool back = false, bool mixed = false)
{
    std::string file = s.photos.at(k - 1).at("file");
    if (!back)
        return file;
    file = file.substr(file.rfind('/'), file.size() - 4 - file.rfind('/'));
    return s.dir + "/back" + file + (!mixed || k > 2 ? ".ppm" : k == 1 ? ".jpg" : ".tif");
}

// Renders the photos of s back into back/ out of the panorama name in the
// scene's folder (named from back/).
run_result render_back(const scene_files &s, const std::string &name, bool mixed = false)
{
    std::string text = read_file(s.script);
    if (mixed)
        text.replace(text.find("-01.ppm\""), 7, "-01.jpg").replace(text.find("-02.ppm\""), 7, "-02.tif");
    std::filesystem::create_directory(s.dir + "/back");
    write_file(s.dir + "/back/scene.txt", text);
    return stitch({"-i", "../" + name, "scene.txt"}, s.dir + "/back");
}

// PSNR of photo k rendered back against the original, leaving out a border
// of 4 pixels.
double interior_psnr(const scene_files &s, size_t k, bool mixed = false)
{
    const key_values &p = s.photos.at(k - 1);
    const std::string rows = "4:" + std::to_string(std::stoi(p.at("height")) - 4);
    const std::string cols = "4:" + std::to_string(std::stoi(p.at("width")) - 4);
    return report_number(
        compare_images({photo(s, k, true, mixed), photo(s, k), "--rows", rows, "--cols", cols}), "psnr");
}

// Photos 1 and 4 turn by no more than a whole-pixel shift: their stacks have
// no rotation of their own. With H = 700 each cap takes 117 rows, and the
// images stop 100 rows inside it (rows 16 and 684).
TEST(Caps, SphereWithCapsAndItsPhotosRenderedBack)
{
    scene_files s = generate_scene("sphere", {"--scale", "0.7"});
    const std::string pano = s.dir + "/pano.tif";
    run_result r = stitch({"-q", "-z", "30", "-n", "30", "-o", pano, s.script});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Creating insert using parameters:\no f2 y0 p90 r0 v60.000000\n"
                     "Creating insert using parameters:\no f2 y0 p-90 r0 v60.000000\n");
    for (const char *rows : {"2:117", "583:698"})
        EXPECT_GE(report_number(compare_images({pano, s.master, "--rows", rows}), "psnr"), 30.0) << rows;
    auto per_row = report_lines(run_program({tool_path("imgcompare"), pano, s.master, "--per-row"}).out);
    ASSERT_GE(per_row.size(), 700u);
    for (int edge : {16, 117, 583, 684})
        EXPECT_LT(std::fabs(report_number(per_row[edge], "mae") - report_number(per_row[edge - 1], "mae")),
                  1.5)
            << edge;
    // Rendered back out of the capped panorama, photo 1 as JPEG, photo 2 as TIFF.
    r = render_back(s, "pano.tif", true);
    ASSERT_EQ(r.status, 0) << r.err;
    run_result info = run_program({"/bin/sh", "-c", "jpeginfo -c " + photo(s, 1, true, true)});
    EXPECT_TRUE(info.status == 127 || info.out.find(" OK ") != std::string::npos) << info.out << info.err;
    EXPECT_EQ(read_file(photo(s, 2, true, true)).substr(0, 3), "II*");
    for (size_t k = 1; k <= s.photos.size(); k++)
        EXPECT_GE(interior_psnr(s, k, true), 30.0) << k;
}

// Equirectangular crops, one across the seam, rendered back; then out of the
// panorama halved after stitching, which registers as well as one stitched
// at the half size to begin with.
TEST(Inverse, RoundTripAndResizedPanorama)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    ASSERT_EQ(stitch({"-q", "-o", s.dir + "/pano.tif", s.script}).status, 0);
    ASSERT_EQ(render_back(s, "pano.tif").status, 0);
    for (size_t k = 1; k <= s.photos.size(); k++) {
        key_values c = compare_images({photo(s, k, true), photo(s, k)});
        EXPECT_EQ(c["coverage"], "1.000000") << k; // the same size, every pixel
        EXPECT_GE(report_number(c, "psnr"), 40.0) << k;
    }
    scene_files half = generate_scene("crops", {"--scale", "0.2", "--pano-scale", "0.5"});
    ASSERT_EQ(stitch({"-q", "-o", half.dir + "/pano.tif", half.script}).status, 0);
    ASSERT_EQ(render_back(half, "pano.tif").status, 0);
    const std::string halve = "cd " + s.dir + " && tifftopnm pano.tif 2>/dev/null | pamscale 0.5 > half.ppm";
    ASSERT_EQ(run_program({"/bin/sh", "-c", halve}).status, 0);
    run_result r = render_back(s, "half.ppm");
    ASSERT_EQ(r.status, 0) << r.err;
    const char *warning =
        "Warning: panorama ../half.ppm is 200x100, the script says 400x200; using the file's size.\n";
    EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;
    for (size_t k = 1; k <= s.photos.size(); k++)
        EXPECT_NEAR(interior_psnr(s, k), interior_psnr(half, k), 1.0) << k;
}

// A photo across the seam of a full turn comes out as it does, within 2
// levels, from the master rolled by half its width with the photo turned by
// half a turn, where the seam lies far from it: no column is off.
TEST(Inverse, TheSeamOfAFullTurnLeavesNoLine)
{
    scene_files s = generate_scene("sphere", {"--scale", "0.3"});
    std::string master = read_file(s.master), rolled = master, script = read_file(s.script);
    const size_t row = 3 * size_t(s.width());
    for (size_t at = master.size() - row * size_t(s.height()); at < master.size(); at += row)
        rolled.replace(at, row, master.substr(at + row / 2, row / 2) + master.substr(at, row / 2));
    write_file(s.dir + "/rolled.ppm", rolled);
    ASSERT_EQ(render_back(s, "master.ppm").status, 0);
    for (size_t k : {5, 9, 10})
        std::filesystem::rename(photo(s, k, true), photo(s, k, true) + ".ppm");
    const std::pair<std::string, std::string> turned[] = {
        {" y181.3 ", " y1.3 "}, {" y0 p90 ", " y180 p90 "}, {" y0 p-90 ", " y180 p-90 "}};
    for (const auto &[from, to] : turned)
        script.replace(script.find(from), from.size(), to);
    write_file(s.script, script);
    ASSERT_EQ(render_back(s, "rolled.ppm").status, 0);
    for (size_t k : {5, 9, 10})
        EXPECT_LE(report_number(compare_images({photo(s, k, true) + ".ppm", photo(s, k, true)}), "max"), 2.0)
            << k;
}

} // namespace
