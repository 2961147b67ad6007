// Two crops of a flat grey master, the second brightened from 100 to 150:
// where the seam lies and how the step across it is blended, in colour mode
// and under a mask image.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{

// Image i's colour in colour mode: the low 24 bits of (i + 1) * 0x9C2A61
// as red + 256 green + 65536 blue.
std::string colour_code(int i)
{
    unsigned code = (i + 1) * 0x9C2A61u;
    return {static_cast<char>(code & 255), static_cast<char>(code >> 8 & 255),
            static_cast<char>(code >> 16 & 255)};
}

TEST(Seam, PlacedBlendedAndMasked)
{
    scene_files s = generate_scene("seam", {"--scale", "0.25", "--pano-format", "PPM"});
    const int w = s.width(), h = s.height();
    // Image 1 starts at column first; image 0 ends before column end. The
    // feather weights are equal half way, so image 1 wins from there on.
    const int first = std::stoi(s.photos.at(1).at("pano_x")), end = std::stoi(s.photos.at(0).at("width"));
    const int seam = (first + end) / 2;
    EXPECT_EQ(seam, w / 2);
    // Rows farther from the top and bottom than from the overlap's sides:
    // nearer, the top or bottom edge decides the weights.
    const int top = (end - first) / 2, bottom = h - (end - first) / 2;
    // The samples of the panorama that a run writes.
    const std::string header = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    run_result r;
    auto stitched = [&](std::vector<std::string> options) {
        options.insert(options.end(), {"-q", "-o", s.dir + "/out", s.script});
        r = stitch(options);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string bytes = read_file(s.dir + "/out.ppm");
        EXPECT_EQ(bytes.substr(0, header.size()), header);
        bytes.resize(header.size() + size_t(w) * h * 3);
        return bytes.substr(header.size());
    };
    auto at = [&](const std::string &img, int x, int y, int c) {
        return uint8_t(img[(size_t(y) * w + x) * 3 + c]);
    };
    // Painted all in one image's colour, a mask gives that image the whole
    // overlap. (With more levels the pyramid's padding, which keeps the
    // computed seam, shows through the coarse levels.)
    for (int winner : {0, 1}) {
        std::string pixels;
        for (int i = 0; i < w * h; i++)
            pixels += colour_code(winner);
        write_file(s.dir + "/mask" + std::to_string(winner) + ".ppm", header + pixels);
    }
    // What a window of the panorama holds: left of the seam, right of it.
    struct window_case {
        std::vector<std::string> options;
        int x0, x1, y0, y1, left, right, tolerance;
    };
    const window_case cases[] = {
        {{"-l", "1"}, 0, w, top, bottom, 100, 150, 1}, // one level steps at the seam
        // An even mix gives the exact mean inside both images (an edge row or
        // column has no weight).
        {{"-b", "2", "-l", "1"}, first + 1, end - 1, 1, h - 1, 125, 125, 0},
        {{"-l", "1", "-e", s.dir + "/mask0.ppm"}, first + 2, end - 2, 1, h - 1, 100, 100, 1},
        {{"-l", "1", "-e", s.dir + "/mask1.ppm"}, first + 2, end - 2, 1, h - 1, 150, 150, 1},
    };
    for (const window_case &c : cases) {
        std::string img = stitched(c.options);
        for (int y = c.y0; y < c.y1; y++)
            for (int x = c.x0; x < c.x1; x++)
                for (int ch = 0; ch < 3; ch++)
                    ASSERT_NEAR(at(img, x, y, ch), x < seam ? c.left : c.right, c.tolerance)
                        << c.options.back() << " at " << x << "," << y;
    }
    // The default levels blend the step smoothly.
    std::string img = stitched({});
    for (int y = top; y < bottom; y++) {
        for (int x = 1; x < w; x++)
            for (int c = 0; c < 3; c++)
                ASSERT_LE(std::abs(at(img, x, y, c) - at(img, x - 1, y, c)), 50 / 4) << x << "," << y;
        EXPECT_NEAR(at(img, 0, y, 0), 100, 1);
        EXPECT_NEAR(at(img, w - 1, y, 0), 150, 1);
    }
    // Colour mode paints each image; handed back as the mask, that gives the
    // seams of one level again.
    img = stitched({"-a"});
    EXPECT_EQ(r.out, "Color reader ff9c2a61\nColor reader ff3854c2\n");
    write_file(s.dir + "/colours.ppm", header + img);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            std::string px = img.substr((size_t(y) * w + x) * 3, 3);
            ASSERT_TRUE(px == colour_code(0) || px == colour_code(1)) << x << "," << y;
            ASSERT_TRUE(y < top || y >= bottom || px == colour_code(x < seam ? 0 : 1)) << x << "," << y;
        }
    EXPECT_TRUE(stitched({"-l", "1", "-e", s.dir + "/colours.ppm"}) == stitched({"-l", "1"}));
}

TEST(Seam, MaskGoesRoundTheFullTurn)
{
    // Crops at yaw 0, 90, 270, then 180 (-s 0): image 3 blends over image 1
    // inside the width and over image 2 across the seam. The mask gives the
    // left half of the panorama to image 2 and the right half to image 3,
    // against the centre seam in both overlaps.
    scene_files s = generate_scene("crops", {"--scale", "0.25", "--pano-format", "PPM"});
    const std::string script = reordered_script(s, "s.txt", {0, 1, 3, 2});
    const int w = s.width(), h = s.height();
    const std::string header = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    std::string mask = header;
    for (int i = 0; i < w * h; i++)
        mask += colour_code(i % w < w / 2 ? 2 : 3);
    write_file(s.dir + "/mask.ppm", mask);
    run_result r = stitch({"-a", "-s", "0", "-e", s.dir + "/mask.ppm", "-o", s.dir + "/out", script});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string img = read_file(s.dir + "/out.ppm").substr(header.size());
    // Overlaps of image 3 (columns 428..503 and 0..75) with the short crops
    // (rows 38..213): 428..453 with image 1, 50..75 with image 2.
    for (const auto &[x0, winner] : {std::pair{430, 3}, std::pair{52, 2}})
        for (int y = 40; y < 212; y++)
            for (int x = x0; x < x0 + 22; x++)
                ASSERT_TRUE(img.substr((size_t(y) * w + x) * 3, 3) == colour_code(winner)) << x << "," << y;
    // A mask of another size counts where it lies, with a warning.
    write_file(s.dir + "/small.ppm", "P6\n2 1\n255\n" + colour_code(0) + colour_code(1));
    r = stitch({"-q", "-e", s.dir + "/small.ppm", "-o", s.dir + "/out", s.script});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: mask image " + s.dir + "/small.ppm is 2x1 pixels, the panorama 504x252.\n");
}

} // namespace
