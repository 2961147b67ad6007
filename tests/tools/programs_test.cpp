// The two programs as the end-to-end tests run them: scenegen writes what it
// reports, imgcompare reads every format and prints one line of numbers.
#include "stitcher/formats/image_file.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/pixformat.h"
#include "testutil.h"
#include "tool_report.h"
#include "tools/scenegen/image_out.h"
#include "tools/scenegen/scenes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace
{

run_result imgcompare(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {tool_path("imgcompare")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

run_result scenegen(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {tool_path("scenegen")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

key_values totals(const run_result &r)
{
    std::vector<key_values> lines = report_lines(r.out);
    return lines.empty() ? key_values{} : lines.back();
}

// An image of w x h pixels, channels 3 or 4, each sample from f(x, y, c).
template <typename F>
void write_test_image(const std::string &path, int w, int h, int channels, int format, F f)
{
    std::vector<unsigned char> row(size_t(w) * channels);
    write_image(path, w, h, channels, format, 95, [&](int y) {
        for (int x = 0; x < w; x++)
            for (int c = 0; c < channels; c++)
                row[size_t(x) * channels + c] = static_cast<unsigned char>(f(x, y, c));
        return row.data();
    });
}

int ramp(int x, int y, int c) { return (x * 7 + y * 3 + c * 50) % 200 + 20; }

TEST(Imgcompare, PsnrOverTheCoveredPixels)
{
    std::string dir = scratch_dir();
    write_test_image(dir + "/ref.ppm", 20, 10, 3, FORMAT_PPM, ramp);
    // Red 4 levels off; alpha 0 on the first five columns.
    write_test_image(dir + "/res.ppm", 20, 10, 4, FORMAT_PPM, [](int x, int y, int c) {
        return c == 3 ? (x < 5 ? 0 : 255) : ramp(x, y, c) + (c == 0) * 4;
    });
    run_result r = imgcompare({dir + "/res.ppm", dir + "/ref.ppm"});
    ASSERT_EQ(r.status, 0) << r.err;
    key_values t = totals(r);
    EXPECT_EQ(t["pixels"], "150");
    EXPECT_NEAR(report_number(t, "coverage"), 0.75, 1e-9);
    EXPECT_NEAR(report_number(t, "psnr"), 10 * std::log10(65025 / (16 / 3.0)), 1e-3);
    EXPECT_NEAR(report_number(t, "psnr_r"), 10 * std::log10(65025 / 16.0), 1e-3);
    EXPECT_TRUE(std::isinf(report_number(t, "psnr_g")));
    EXPECT_EQ(report_number(t, "max"), 4);
    EXPECT_EQ(report_number(t, "mae_r"), 4);

    // A margin of 1 takes the column next to the uncovered ones away; rows
    // and columns cut the window.
    t = totals(imgcompare({dir + "/res.ppm", dir + "/ref.ppm", "--margin", "1"}));
    EXPECT_EQ(t["pixels"], "140");
    t = totals(imgcompare({dir + "/res.ppm", dir + "/ref.ppm", "--rows", "2:5", "--cols", "3:"}));
    EXPECT_EQ(t["window"], "51");
    EXPECT_EQ(t["pixels"], "45");
    t = totals(imgcompare({dir + "/res.ppm", dir + "/ref.ppm", "--margin", "1", "--wrap"}));
    EXPECT_EQ(t["pixels"], "130"); // the last column touches the first
}

TEST(Imgcompare, PerRowLines)
{
    std::string dir = scratch_dir();
    write_test_image(dir + "/a.ppm", 8, 6, 3, FORMAT_PPM, [](int, int y, int) { return 100 + y; });
    write_test_image(dir + "/b.ppm", 8, 6, 3, FORMAT_PPM, [](int, int, int) { return 100; });
    run_result r = imgcompare({dir + "/a.ppm", dir + "/b.ppm", "--per-row", "--rows", "1:4"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<key_values> lines = report_lines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(lines[i]["row"], std::to_string(i + 1));
        EXPECT_EQ(lines[i]["pixels"], "8");
        EXPECT_EQ(report_number(lines[i], "mae"), i + 1);
    }
    EXPECT_EQ(lines[3]["pixels"], "24");
}

TEST(Imgcompare, MasksAndFormats)
{
    std::string dir = scratch_dir();
    write_test_image(dir + "/ref.ppm", 16, 16, 3, FORMAT_PPM, ramp);
    write_test_image(dir + "/res.tif", 16, 16, 3, FORMAT_TIFF, ramp);
    // A mask without alpha: black is uncovered.
    write_test_image(dir + "/mask.ppm", 16, 16, 3, FORMAT_PPM, [](int x, int, int) { return x < 4 ? 0 : 9; });
    key_values t = totals(imgcompare({dir + "/res.tif", dir + "/ref.ppm", "--mask", dir + "/mask.ppm"}));
    EXPECT_EQ(t["pixels"], "192");
    EXPECT_EQ(t["psnr"], "inf");
    // 16-bit samples in 8-bit levels.
    image_writer *iw = tiff_writer((dir + "/wide.tif").c_str(), 16, 16, ushort_RGB, 0);
    std::vector<uint16_t> row(16 * 3);
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 16; x++)
            for (int c = 0; c < 3; c++)
                row[3 * x + c] =
                    static_cast<uint16_t>(257 * ramp(x, y, c) + (x == 3 && y == 2 ? 257 * 2 : 0));
        write_row(iw, row.data());
    }
    close_image_writer(iw);
    t = totals(imgcompare({dir + "/wide.tif", dir + "/ref.ppm"}));
    EXPECT_EQ(report_number(t, "max"), 2);
}

TEST(Imgcompare, Refusals)
{
    std::string dir = scratch_dir();
    write_test_image(dir + "/a.ppm", 8, 6, 3, FORMAT_PPM, ramp);
    write_test_image(dir + "/b.ppm", 8, 7, 3, FORMAT_PPM, ramp);
    run_result r = imgcompare({dir + "/a.ppm", dir + "/b.ppm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("b.ppm is 8x7 but"), std::string::npos) << r.err;
    r = imgcompare({dir + "/a.ppm", dir + "/missing.ppm"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.ppm"), std::string::npos) << r.err;
    EXPECT_EQ(imgcompare({dir + "/a.ppm"}).status, 2);
    EXPECT_EQ(imgcompare({dir + "/a.ppm", dir + "/a.ppm", "--rows", "5"}).status, 2);
}

TEST(Scenegen, WritesWhatItReports)
{
    std::string dir = scratch_dir();
    run_result r = scenegen({"crops", "--scale", "0.25", "--out", dir, "--self-check", "--seed", "7"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<key_values> photos = report_lines(r.out, "photo");
    EXPECT_EQ(report_lines(r.out, "master").at(0)["width"], "504");
    ASSERT_EQ(photos.size(), 4u);
    EXPECT_EQ(photos[3]["y"], "270");
    EXPECT_EQ(photos[2]["pano_x"], std::to_string((504 / 2 + 504 / 2 - 152 / 2) % 504));
    for (const key_values &p : photos) {
        image_size size;
        ASSERT_EQ(get_image_size(p.at("file").c_str(), &size), 0) << p.at("file");
        EXPECT_EQ(std::to_string(size.width), p.at("width"));
        EXPECT_EQ(std::to_string(size.height), p.at("height"));
    }
    std::string text = read_file(report_lines(r.out, "script").at(0)["file"]);
    EXPECT_EQ(text.rfind("# scenegen crops: seed 7", 0), 0u) << text;
    EXPECT_NE(text.find("o w152 h252 f4 v108.57142857142857 y0 p0 r0 n\"photo-01.ppm\""), std::string::npos)
        << text;
    // The crops are copies, so the model's own stitch gives the master back.
    std::string ref = report_lines(r.out, "reference").at(0)["file"];
    key_values t = totals(imgcompare({report_lines(r.out, "selfcheck").at(0)["file"], ref}));
    EXPECT_EQ(t["psnr"], "inf");
    EXPECT_GT(report_number(t, "coverage"), 0.8);
}

TEST(Scenegen, FormatsTexturesAndGain)
{
    std::string dir = scratch_dir();
    run_result r = scenegen({"seam", "--scale", "0.2", "--out", dir, "--format", "jpg", "--quality", "70",
                             "--master-format", "tif", "--texture", "flat:50", "--gain", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(report_lines(r.out, "reference").at(0)["file"].find("reference.tif"), std::string::npos);
    image_reader *ir = file_image_reader(report_lines(r.out, "photo").at(1)["file"].c_str()); // a JPEG
    ASSERT_NE(ir, nullptr);
    EXPECT_NEAR(static_cast<const unsigned char *>(read_row(ir, 3, nullptr))[10], 100, 1);
    close_image_reader(ir);
}

TEST(Scenegen, Refusals)
{
    std::string dir = scratch_dir();
    EXPECT_EQ(scenegen({"nothing", "--out", dir}).status, 2);
    EXPECT_EQ(scenegen({"crops", "--scale", "-1", "--out", dir}).status, 2);
    EXPECT_EQ(scenegen({"crops", "--format", "bmp", "--out", dir}).status, 2);
    EXPECT_EQ(scenegen({"crops", "--texture", "flatter", "--out", dir}).status, 2);
    EXPECT_EQ(scenegen({"crops", "--master-format", "jpg", "--out", dir}).status, 2);
    run_result help = scenegen({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("big20"), std::string::npos);
}

} // namespace
