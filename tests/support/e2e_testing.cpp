#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <sys/stat.h>

std::vector<key_values> report_lines(const std::string &text, const std::string &kind)
{
    std::vector<key_values> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        key_values kv;
        std::istringstream words(line);
        for (std::string w; words >> w;) {
            size_t eq = w.find('=');
            if (eq != std::string::npos)
                kv[w.substr(0, eq)] = w.substr(eq + 1);
            else if (!kv.count(""))
                kv[""] = w;
        }
        if (kind.empty() || kv[""] == kind)
            out.push_back(kv);
    }
    return out;
}

key_values rect(int x, int y, int width, int height)
{
    return report_lines("Rect x=" + std::to_string(x) + " y=" + std::to_string(y) +
                        " width=" + std::to_string(width) + " height=" + std::to_string(height))[0];
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
    std::vector<std::string> argv = {tool_path("scenegen"), preset, "--out", s.dir, "--threads", "2"};
    argv.insert(argv.end(), options.begin(), options.end());
    run_result r = run_program(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    s.photos = report_lines(r.out, "photo");
    for (key_values &kv : report_lines(r.out)) {
        if (kv[""] == "master")
            s.master = kv["file"];
        else if (kv[""] == "reference")
            s.reference = kv["file"];
        else if (kv[""] == "script")
            s.script = kv["file"], s.layout = kv;
        else if (kv[""] == "coverage")
            s.covered = report_number(kv, "covered");
    }
    return s;
}

std::string script_for(const scene_files &s, const std::string &kind, const std::string &name)
{
    static const std::regex pline_format("(\np [^\n]*n)\"[^\"]*\"");
    std::string path = s.dir + "/" + name;
    write_file(path, std::regex_replace(read_file(s.script), pline_format, "$1\"" + kind + "\"",
                                        std::regex_constants::format_first_only));
    return path;
}

std::string reordered_script(const scene_files &s, const std::string &name, const std::vector<int> &order,
                             const std::string &pline)
{
    std::istringstream in(read_file(s.script));
    std::string text, line;
    std::vector<std::string> photos;
    while (std::getline(in, line))
        if (line.rfind("o ", 0) == 0)
            photos.push_back(line);
        else
            text += (line.rfind("p ", 0) == 0 && !pline.empty() ? pline : line) + "\n";
    for (int i : order)
        text += photos.at(size_t(i)) + "\n";
    write_file(s.dir + "/" + name, text);
    return s.dir + "/" + name;
}

std::string read_through_program(scene_files &s, int k, const std::string &body)
{
    std::string &file = s.photos.at(size_t(k)).at("file");
    const std::string base = file.substr(file.rfind('/') + 1), raw = base.substr(0, base.size() - 4) + ".raw";
    std::filesystem::rename(file, s.dir + "/" + raw);
    file = s.dir + "/" + raw;
    write_file(s.script,
               std::regex_replace(read_file(s.script), std::regex("n\"" + base + "\""), "n\"" + raw + "\""));
    write_file(s.dir + "/reader", "#!/bin/sh\n" + body + "\n");
    chmod((s.dir + "/reader").c_str(), 0755);
    // Commands name programs from zenthra's folder: enough ".." reach the root.
    std::string up;
    for (int i = 0; i < 64; i++)
        up += "../";
    write_file(s.dir + "/readers.txt", ".raw " + up + s.dir.substr(1) + "/reader\n");
    return s.dir + "/readers.txt";
}

std::string output_file(const std::string &kind)
{
    static const key_values suffix = {{"TIFF", ".tif"}, {"JPEG", ".jpg"}, {"PSB", ".psb"}, {"PSD", ".psd"}};
    return "out" + (suffix.count(kind.substr(0, 4)) ? suffix.at(kind.substr(0, 4)) : ".ppm");
}

run_result stitch(const std::vector<std::string> &args, const std::string &cwd)
{
    std::vector<std::string> all = {"-c"};
    all.insert(all.end(), args.begin(), args.end());
    run_result r = run_zenthra(all, "", cwd);
    // The scenes' scripts hold no typos: the parser finds none.
    static const std::regex typo(
        "Warning: (in (the p-line|o-line [0-9]+|the m-line),|the p-line's output kind)");
    EXPECT_FALSE(std::regex_search(r.err, typo)) << r.err;
    return r;
}

key_values compare_images(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {tool_path("imgcompare")};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run_program(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<key_values> lines = report_lines(r.out);
    return lines.empty() ? key_values{} : lines.back();
}

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
