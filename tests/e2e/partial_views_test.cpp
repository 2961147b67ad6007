// Panoramas that do not wrap: fisheye discs whose rim holds a photo, and
// windows narrower than a full turn with photos behind or across the back.
#include "e2e_testing.h"

#include <gtest/gtest.h>

namespace
{

// Stitches into dir/out with the options; the output's bytes.
std::string stitched(const scene_files &s, const std::string &script, std::vector<std::string> options,
                     const std::string &file = "out.ppm", std::string *err = nullptr)
{
    options.insert(options.end(), {"-o", s.dir + "/out", script});
    run_result r = stitch(options);
    EXPECT_EQ(r.status, 0) << r.err;
    if (err)
        *err = r.err;
    return read_file(s.dir + "/" + file);
}

double covered(const scene_files &s)
{
    const std::string out = s.dir + "/out.ppm";
    return report_number(compare_images({out, out, "--mask", out}), "covered");
}

TEST(PartialViews, DiscPhotosOverTheRimAreMappedWhole)
{
    // The photos around yaw 180 hold the direction behind the disc's centre.
    scene_files s = generate_scene("sphere", {"--scale", "0.3"});
    for (const std::string f : {"3", "5", "6"})
        for (const std::string v : {"360", "200"}) {
            const std::string p = "p f" + f + " w600 h600 v" + v + " n\"PPM\"";
            const std::string script = reordered_script(s, "disc.txt", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, p);
            const std::string all = stitched(s, script, {"-q", "-x", "0"});
            stitched(s, script, {"-q", "-x", "1"});
            const double frame = covered(s);
            EXPECT_TRUE(stitched(s, script, {"-q"}) == all) << p;
            // The frame alone leaves holes in a whole disc.
            EXPECT_TRUE(v != "360" || frame < covered(s)) << p << ": " << frame;
        }
}

TEST(PartialViews, PhotoBehindTheWindowChangesNothing)
{
    // Crops at yaw 0, 90 and 270, then the one at yaw 180 behind the window:
    // not even decoded, and with -x 2, which gives it the whole window, the
    // blend keeps every pixel.
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    for (const int v : {180, 120})
        for (const std::string kind : {"PPM", "TIFF"})
            for (const bool whole : {false, true}) {
                const std::string p = "p f2 w" + std::to_string(504 * v / 360) + " h252 v" +
                                      std::to_string(v) + " n\"" + kind + "\"";
                const std::string file = kind == "PPM" ? "out.ppm" : "out.tif";
                std::vector<std::string> options;
                if (whole)
                    options = {"-x", "2"};
                std::string err;
                const std::string three =
                    stitched(s, reordered_script(s, "3.txt", {0, 1, 3}, p), options, file);
                EXPECT_TRUE(stitched(s, reordered_script(s, "4.txt", {0, 1, 3, 2}, p), options, file, &err) ==
                            three)
                    << p << (whole ? " -x 2" : "");
                if (!whole) {
                    EXPECT_EQ(report_number(report_lines(err, "Rect").at(3), "width"), 0) << p;
                    EXPECT_EQ(err.find("Decoding image 3:"), std::string::npos) << p;
                }
            }
}

TEST(PartialViews, PhotoAcrossTheBackShowsItsVisiblePart)
{
    // The crop at yaw 0 turned to yaw 150 reaches past 180: in a 300-degree
    // window of the same resolution it takes the columns it takes in the
    // full turn, 42 further left, up to the window's right edge.
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    std::string script = read_file(s.script);
    script.replace(script.find(" y0 "), 4, " y150 ");
    write_file(s.script, script);
    std::string err;
    stitched(s, reordered_script(s, "full.txt", {0}, "p f2 w504 h252 v360 n\"PPM\""), {}, "out.ppm", &err);
    const key_values full = report_lines(err, "Rect").at(0);
    stitched(s, reordered_script(s, "part.txt", {0}, "p f2 w420 h252 v300 n\"PPM\""), {}, "out.ppm", &err);
    const int x = std::stoi(full.at("x")) - 42;
    EXPECT_EQ(report_lines(err, "Rect").at(0), rect(x, 0, 420 - x, 252));
}

} // namespace
