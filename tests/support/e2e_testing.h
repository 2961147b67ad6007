// Helpers of the end-to-end tests: scenes from scenegen, stitching them with
// the real program, and reading what came out.
#pragma once
#include "testutil.h"

#include <map>
#include <string>
#include <vector>

// A line of what the programs print: key=value words, the first bare word
// (scenegen's "master", "photo", ..., zenthra's "Rect") kept under "".
using key_values = std::map<std::string, std::string>;
// The lines of text whose first word is kind; with kind "", every line.
std::vector<key_values> report_lines(const std::string &text, const std::string &kind = "");
// zenthra's "Rect Image i: x=... y=... width=... height=..." as report_lines reads it.
key_values rect(int x, int y, int width, int height);
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
// A copy of the scene's script, dir/name, whose p-line asks for the output
// kind (n"..."); its path.
std::string script_for(const scene_files &s, const std::string &kind, const std::string &name);
// A copy of the scene's script, dir/name, with its o-lines in the given
// order (indices from 0) and, unless pline is empty, that p-line; its path.
std::string reordered_script(const scene_files &s, const std::string &name, const std::vector<int> &order,
                             const std::string &pline = "");
// Photo k of the scene read through a converter program: its file gets the
// suffix .raw (in the scene's script too), and s.dir/readers.txt names the
// program s.dir/reader, a shell script that runs body with the photo's path
// in $1 (cat "$1" gives the photo). The description's path, for -r.
std::string read_through_program(scene_files &s, int k, const std::string &body);
// The name -o dir/out gives the output of a kind ("TIFF b1": out.tif).
std::string output_file(const std::string &kind);
// zenthra -c (console mode) with the arguments; the script must give no
// warning of a typo.
run_result stitch(const std::vector<std::string> &args, const std::string &cwd = "");
// The totals line of imgcompare over the arguments.
key_values compare_images(const std::vector<std::string> &args);

// True when ImageMagick's convert is there (CI installs it).
bool have_magick();
// ImageMagick's reading of an image into out ("rgb:-": the samples at the
// image's depth, alpha left out); a tiled PSD's layers are laid over black
// (its merged image is white). What convert wrote to standard output.
std::string magick(const std::string &path, const std::string &out, bool psd_layers = false);
