// Helpers of the end-to-end tests: scenes from scenegen, stitching them with
// the real program, and reading what came out.
#pragma once
#include "testutil.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What the tools print: lines of key=value pairs, the first word of a
// scenegen line naming what it describes ("master", "photo", ...) kept
// under "".
using key_values = std::map<std::string, std::string>;
// Every line of text whose first word is kind; with kind "", every line.
std::vector<key_values> report_lines(const std::string &text, const std::string &kind = "");
// A number of a report line (NaN when missing).
double report_number(const key_values &kv, const std::string &key);

// A scene that scenegen wrote into a folder of its own.
struct scene_files {
    std::string dir, script, master, reference;
    std::vector<key_values> photos; // the "photo" lines, in script order
    key_values layout;              // the "script" line: pano_width, pano_height, ...
    double covered = 0;             // the share of the panorama that photos cover
    int width() const { return std::stoi(layout.at("pano_width")); }
    int height() const { return std::stoi(layout.at("pano_height")); }
};

// Runs scenegen with the preset and options; fails the test when it fails.
scene_files generate_scene(const std::string &preset, const std::vector<std::string> &options = {});
// A copy of the scene's script, named name in its folder, whose p-line asks
// for the output kind text (n"..."); its path.
std::string script_for(const scene_files &s, const std::string &kind, const std::string &name);
// zenthra -c (console mode) with the arguments.
run_result stitch(const std::vector<std::string> &args, const std::string &cwd = "");
// zenthra -c under a file size limit, with SIGXFSZ ignored so that a write
// past it fails with EFBIG.
run_result stitch_with_file_limit(int64_t bytes, const std::vector<std::string> &args);
// The totals line of imgcompare over the arguments.
key_values compare_images(const std::vector<std::string> &args);
// A tool under tools/ of this build, or another program, with arguments.
run_result run_tool(const std::string &name, const std::vector<std::string> &args);

// An image with 8-bit samples, read from a PPM (P6).
struct raster {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb; // three samples a pixel
    int at(int x, int y, int c = 0) const { return rgb[(size_t(y) * width + x) * 3 + c]; }
};
raster read_ppm(const std::string &path);
// True when ImageMagick's convert is there (CI installs it).
bool have_magick();
// ImageMagick's reading of an image into out ("rgb:-": the samples at the
// image's depth, alpha left out); a tiled PSD's layers are laid over black
// (its merged image is white). What convert wrote to standard output.
std::string magick(const std::string &path, const std::string &out, bool psd_layers = false);

// The lines of text that start with prefix, in order.
std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix);
