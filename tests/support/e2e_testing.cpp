#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

std::vector<key_values> report_lines(const std::string &text, const std::string &kind)
{
    std::vector<key_values> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        key_values kv;
        std::istringstream words(line);
        for (std::string w; words >> w;) {
            size_t eq = w.find('=');
            kv[eq == std::string::npos ? "" : w.substr(0, eq)] =
                eq == std::string::npos ? w : w.substr(eq + 1);
        }
        if (kind.empty() || (kv.count("") && kv[""] == kind))
            out.push_back(kv);
    }
    return out;
}

double report_number(const key_values &kv, const std::string &key)
{
    auto it = kv.find(key);
    return it == kv.end() ? std::stod("nan") : std::stod(it->second); // strtod reads inf and nan
}

scene_files generate_scene(const std::string &preset, const std::vector<std::string> &options)
{
    scene_files s;
    s.dir = scratch_dir();
    std::vector<std::string> args = {preset, "--out", s.dir, "--threads", "2"};
    args.insert(args.end(), options.begin(), options.end());
    run_result r = run_tool("scenegen", args);
    EXPECT_EQ(r.status, 0) << r.err;
    s.photos = report_lines(r.out, "photo");
    for (const key_values &kv : report_lines(r.out)) {
        const std::string &kind = kv.count("") ? kv.at("") : "";
        if (kind == "master")
            s.master = kv.at("file");
        else if (kind == "reference")
            s.reference = kv.at("file");
        else if (kind == "script") {
            s.script = kv.at("file");
            s.layout = kv;
        } else if (kind == "coverage")
            s.covered = report_number(kv, "covered");
    }
    return s;
}

std::string script_for(const scene_files &s, const std::string &kind, const std::string &name)
{
    std::string text = read_file(s.script);
    static const std::regex pline_format("(\np [^\n]*n)\"[^\"]*\"");
    text =
        std::regex_replace(text, pline_format, "$1\"" + kind + "\"", std::regex_constants::format_first_only);
    std::string path = s.dir + "/" + name;
    write_file(path, text);
    return path;
}

run_result stitch(const std::vector<std::string> &args, const std::string &cwd)
{
    std::vector<std::string> all = {"-c"};
    all.insert(all.end(), args.begin(), args.end());
    return run_zenthra(all, "", cwd);
}

run_result stitch_with_file_limit(int64_t bytes, const std::vector<std::string> &args)
{
    // bash counts the limit in blocks of 1024 bytes.
    std::vector<std::string> argv = {"/bin/bash", "-c",
                                     "ulimit -f " + std::to_string((bytes + 1023) / 1024) +
                                         " && trap '' XFSZ && exec \"$0\" -c \"$@\"",
                                     ZENTHRA_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

run_result run_tool(const std::string &name, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {name[0] == '/' ? name : tool_path(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

key_values compare_images(const std::vector<std::string> &args)
{
    run_result r = run_tool("imgcompare", args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<key_values> lines = report_lines(r.out);
    return lines.empty() ? key_values{} : lines.back();
}

// P6 with maxval 255: the header is three words and one blank.
static raster parse_ppm(const std::string &bytes)
{
    raster img;
    std::istringstream in(bytes);
    std::string magic;
    int maxval = 0;
    in >> magic >> img.width >> img.height >> maxval;
    in.get();
    EXPECT_EQ(magic, "P6");
    EXPECT_EQ(maxval, 255);
    size_t n = size_t(img.width) * img.height * 3, at = static_cast<size_t>(in.tellg());
    EXPECT_EQ(bytes.size(), at + n);
    if (bytes.size() >= at + n)
        img.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    else
        img.width = img.height = 0;
    return img;
}

raster read_ppm(const std::string &path) { return parse_ppm(read_file(path)); }

bool have_magick() { return file_exists("/usr/bin/convert"); }

std::string magick(const std::string &path, const std::string &out, bool psd_layers)
{
    std::vector<std::string> argv = {"/usr/bin/convert", path};
    if (psd_layers)
        argv.insert(argv.end(), {"-delete", "0", "-background", "black", "-layers", "merge", "+repage"});
    argv.insert(argv.end(), {"-alpha", "off", out});
    run_result r = run_program(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}
