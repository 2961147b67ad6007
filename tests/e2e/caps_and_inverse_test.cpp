// Caps over the poles of a full sphere, and the inverse mode that renders the
// photos back out of a panorama: the real program on generated scenes.
#include "testutil.h"
#include "tool_report.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

struct Scene : ::testing::Test {
    std::string dir = scratch_dir();
    std::vector<key_values> photos;
    // A scenegen preset in dir; the photos are kept as orig-NN.ppm too.
    void make(std::vector<std::string> args, const std::string &in = "")
    {
        args.insert(args.begin(), tool_path("scenegen"));
        args.insert(args.end(), {"--out", dir + in});
        run_result r = run_program(args);
        ASSERT_EQ(r.status, 0) << r.err;
        photos = report_lines(r.out, "photo");
        for (size_t k = 1; k <= photos.size(); k++)
            write_file(orig(k, in), read_file(photo(k, in)));
    }
    std::string photo(size_t k, const std::string &in = "", const std::string &suffix = ".ppm")
    {
        return dir + in + "/photo-" + (k < 10 ? "0" : "") + std::to_string(k) + suffix;
    }
    std::string orig(size_t k, const std::string &in = "")
    {
        return dir + in + "/orig-" + (k < 10 ? "0" : "") + std::to_string(k) + ".ppm";
    }
    run_result zenthra(std::vector<std::string> args, const std::string &in = "")
    {
        args.insert(args.begin(), "-c");
        return run_zenthra(args, "", dir + in);
    }
    // imgcompare's totals, or its line per row.
    std::vector<key_values> compare(const std::string &result, const std::string &reference,
                                    std::vector<std::string> options = {})
    {
        options.insert(options.begin(), {tool_path("imgcompare"), result, reference});
        return report_lines(run_program(options).out);
    }
    // PSNR of photo k against its original, leaving out a border of 4 pixels.
    double interior_psnr(size_t k, const std::string &in = "", const std::string &suffix = ".ppm")
    {
        const key_values &p = photos[k - 1];
        std::string rows = "4:" + std::to_string(std::stoi(p.at("height")) - 4);
        std::string cols = "4:" + std::to_string(std::stoi(p.at("width")) - 4);
        auto c = compare(photo(k, in, suffix), orig(k, in), {"--rows", rows, "--cols", cols});
        return c.empty() ? 0 : report_number(c.back(), "psnr");
    }
};

// Photos 1 and 4 turn by no more than a whole-pixel shift: their stacks have
// no rotation of their own. With H = 700 each cap takes 117 rows, and the
// images stop 100 rows inside it (rows 16 and 684).
TEST_F(Scene, SphereWithCaps)
{
    make({"sphere", "--scale", "0.7"});
    run_result r = zenthra({"-q", "-z", "30", "-n", "30", "-o", "pano.tif", "scene.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Creating insert using parameters:\no f2 y0 p90 r0 v60.000000\n"
                     "Creating insert using parameters:\no f2 y0 p-90 r0 v60.000000\n");
    for (const char *rows : {"2:117", "583:698"})
        EXPECT_GE(
            report_number(compare(dir + "/pano.tif", dir + "/master.ppm", {"--rows", rows}).back(), "psnr"),
            30.0)
            << rows;
    auto per_row = compare(dir + "/pano.tif", dir + "/master.ppm", {"--per-row"});
    ASSERT_GE(per_row.size(), 700u);
    for (int edge : {16, 117, 583, 684})
        EXPECT_LT(std::fabs(report_number(per_row[edge], "mae") - report_number(per_row[edge - 1], "mae")),
                  1.5)
            << edge;
}

TEST_F(Scene, InverseRoundTrip)
{
    // Equirectangular crops, one across the seam.
    make({"crops", "--scale", "0.2"});
    ASSERT_EQ(zenthra({"-q", "-o", "pano.tif", "scene.txt"}).status, 0);
    ASSERT_EQ(zenthra({"-q", "-i", "pano.tif", "scene.txt"}).status, 0);
    for (size_t k = 1; k <= 4; k++) {
        key_values c = compare(photo(k), orig(k)).back();
        EXPECT_EQ(c["coverage"], "1.000000") << k; // the same size, every pixel
        EXPECT_GE(report_number(c, "psnr"), 40.0) << k;
    }
    // Rectilinear photos, stitched with caps; photo 1 named .jpg, photo 2 .tif.
    make({"sphere", "--scale", "0.3"}, "/s");
    ASSERT_EQ(zenthra({"-q", "-z", "30", "-n", "30", "-o", "pano.tif", "scene.txt"}, "/s").status, 0);
    std::string script = read_file(dir + "/s/scene.txt");
    script.replace(script.find("photo-01.ppm"), 12, "photo-01.jpg");
    script.replace(script.find("photo-02.ppm"), 12, "photo-02.tif");
    write_file(dir + "/s/named.txt", script);
    ASSERT_EQ(zenthra({"-q", "-i", "pano.tif", "named.txt"}, "/s").status, 0);
    run_result info = run_program({"/bin/sh", "-c", "jpeginfo -c " + photo(1, "/s", ".jpg")});
    EXPECT_TRUE(info.status == 127 || info.out.find(" OK ") != std::string::npos) << info.out << info.err;
    EXPECT_EQ(read_file(photo(2, "/s", ".tif")).substr(0, 3), "II*");
    EXPECT_GE(interior_psnr(1, "/s", ".jpg"), 30.0);
    EXPECT_GE(interior_psnr(2, "/s", ".tif"), 30.0);
    for (size_t k = 3; k <= photos.size(); k++)
        EXPECT_GE(interior_psnr(k, "/s"), 30.0) << k;
}

// A panorama halved after stitching registers as well as one stitched at the
// half size to begin with.
TEST_F(Scene, ResizedPanorama)
{
    make({"sphere", "--scale", "0.3", "--pano-scale", "0.5"}, "/half");
    ASSERT_EQ(zenthra({"-q", "-o", "pano.tif", "scene.txt"}, "/half").status, 0);
    ASSERT_EQ(zenthra({"-q", "-i", "pano.tif", "scene.txt"}, "/half").status, 0);
    make({"sphere", "--scale", "0.3"});
    ASSERT_EQ(zenthra({"-q", "-o", "pano.tif", "scene.txt"}).status, 0);
    const std::string halve = "cd " + dir + " && tifftopnm pano.tif 2>/dev/null | pamscale 0.5 > half.ppm";
    ASSERT_EQ(run_program({"/bin/sh", "-c", halve}).status, 0);
    run_result r = zenthra({"-i", "half.ppm", "scene.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(
                  "Warning: panorama half.ppm is 300x150, the script says 600x300; using the file's size.\n"),
              std::string::npos)
        << r.err;
    for (size_t k = 1; k <= photos.size(); k++)
        EXPECT_NEAR(interior_psnr(k), interior_psnr(k, "/half"), 1.0) << k;
}

} // namespace
