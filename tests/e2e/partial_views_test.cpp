// Panoramas that do not wrap: fisheye discs whose rim holds a photo, and
// windows narrower than a full turn with photos behind or across the back.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cmath>

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

TEST(PartialViews, DiscPhotosOverTheRimAreMappedWhole)
{
    // The photos around yaw 180 hold the direction behind the disc's centre.
    scene_files s = generate_scene("sphere", {"--scale", "0.3"});
    for (const std::string f : {"3", "5", "6"})
        for (const std::string v : {"360", "200"}) {
            const std::string p = "p f" + f + " w600 h600 v" + v + " n\"PPM\"";
            const std::string script = reordered_script(s, "disc.txt", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, p);
            const std::string all = stitched(s, script, {"-q", "-x", "0"});
            EXPECT_TRUE(stitched(s, script, {"-q"}) == all) << p;
            // -x 1 keeps the frame, which leaves holes in a whole disc.
            EXPECT_TRUE(v != "360" || stitched(s, script, {"-q", "-x", "1"}) != all) << p;
        }
}

// The sphere has content everywhere; image 4 (yaw 181.3) holds the direction
// behind, which the whole rim of a 360-degree fisheye disc shows, 180 w / v
// pixels from its centre. No pixel within it stays black, but with -x 1.
TEST(PartialViews, TheRimOfAFullTurnFisheyeIsWhole)
{
    scene_files s = generate_scene("sphere", {"--scale", "0.3"});
    const std::string warning = "Warning: image 4 (" + s.photos.at(4).at("file") +
                                ") lies over the rim of the disc: -x 1 cuts it to the box of its frame (the "
                                "default mode maps it whole).\n";
    const std::tuple<int, int, int, bool> cases[] = {
        {600, 600, 360, false}, {600, 600, 360, true}, {600, 400, 360, false}, {500, 500, 400, false}};
    for (const auto &[w, h, v, cut] : cases) {
        const std::string p =
            "p f3 w" + std::to_string(w) + " h" + std::to_string(h) + " v" + std::to_string(v);
        std::vector<std::string> args = {"-q", "-o", "-",
                                         reordered_script(s, "d.txt", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, p)};
        if (cut)
            args.insert(args.begin(), {"-x", "1"});
        run_result r = stitch(args);
        EXPECT_EQ(r.err, cut ? warning : "");
        const char *px = r.out.data() + r.out.size() - size_t(w) * size_t(h) * 3; // P6, 8 bits
        int black = 0;
        for (int i = 0; i < w * h; i++, px += 3)
            black += !(px[0] | px[1] | px[2]) &&
                     std::hypot(i % w - w * 0.5 + 0.5, i / w - h * 0.5 + 0.5) <= 180.0 * w / v - 0.5;
        EXPECT_TRUE(cut ? black > 1000 : black == 0) << p << " " << cut << ": " << black;
    }
}

TEST(PartialViews, PhotosBehindAndAcrossTheBack)
{
    // Crops at yaw 0, 90 and 270, then the one at yaw 180 behind the window:
    // not even decoded, and with -x 2, which gives it the whole window, the
    // blend keeps every pixel.
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    std::string err;
    for (const int v : {180, 120})
        for (const std::string kind : {"PPM", "TIFF"})
            for (const std::string query : {"1", "2"}) {
                const std::string p = "p f2 w" + std::to_string(504 * v / 360) + " h252 v" +
                                      std::to_string(v) + " n\"" + kind + "\"";
                const std::string file = kind == "PPM" ? "out.ppm" : "out.tif";
                const std::string three =
                    stitched(s, reordered_script(s, "3.txt", {0, 1, 3}, p), {"-x", query}, file);
                EXPECT_TRUE(stitched(s, reordered_script(s, "4.txt", {0, 1, 3, 2}, p), {"-x", query}, file,
                                     &err) == three)
                    << p << " -x " << query;
                EXPECT_TRUE(query == "2" || (report_lines(err, "Rect").at(3).at("width") == "0" &&
                                             err.find("Decoding image 3:") == std::string::npos))
                    << p;
            }
    // Turned to yaw 150, the crop at yaw 0 reaches past 180: in a 300-degree
    // window of the same resolution it takes the columns it takes in the full
    // turn, 42 further left, up to the window's right edge.
    std::string script = read_file(s.script);
    write_file(s.script, script.replace(script.find(" y0 "), 4, " y150 "));
    stitched(s, reordered_script(s, "full.txt", {0}, "p f2 w504 h252 v360 n\"PPM\""), {}, "out.ppm", &err);
    const int x = std::stoi(report_lines(err, "Rect").at(0).at("x")) - 42;
    stitched(s, reordered_script(s, "part.txt", {0}, "p f2 w420 h252 v300 n\"PPM\""), {}, "out.ppm", &err);
    EXPECT_EQ(report_lines(err, "Rect").at(0), rect(x, 0, 420 - x, 252));
}

} // namespace
