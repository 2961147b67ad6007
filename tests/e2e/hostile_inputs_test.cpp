// Inputs that must not hang, mislead or damage a run: FIFOs and devices
// where files belong, names too long to exist, inverse runs whose photos are
// other inputs. Each refusal names the file and the reason.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace
{

// zenthra -c -q with the arguments, killed after 60 s should it hang.
run_result bounded(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL", "60", ZENTHRA_BIN, "-c", "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// A copy of the scene's script, s.dir/file, in which photo k is named name.
std::string edited_script(const scene_files &s, size_t k, const std::string &name, const std::string &file)
{
    const std::string path = s.photos.at(k).at("file"), old = "n\"" + path.substr(path.rfind('/') + 1) + "\"";
    std::string text = read_file(s.script);
    write_file(s.dir + "/" + file, text.replace(text.find(old), old.size(), "n\"" + name + "\""));
    return s.dir + "/" + file;
}

// The regular files of a folder and their contents (reading a FIFO would hang).
std::map<std::string, std::string> regular_files(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : folder_names(dir))
        if (std::filesystem::is_regular_file(dir + "/" + name))
            files[name] = read_file(dir + "/" + name);
    return files;
}

// Each is refused by name before anything waits on it, reads it or writes over it.
TEST(HostileInputs, WrongFilesAreRefusedByNameAndLeftAlone)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string d = s.dir + "/", fifo = d + "fifo.ppm", out = d + "out", pano = d + "pano.ppm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(bounded({"-o", pano, script_for(s, "PPM", "p.txt")}).status, 0);
    write_file(d + "readers.txt", "# none\n");
    const size_t last = s.photos.size() - 1;
    const std::string dev = "../../../../../../../../../../dev/zero", too_long = d + std::string(252, 'a');
    const std::string fifo_why = ": it is a FIFO, not a regular file.\n",
                      also = " is also an input of this run.\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-o", out, edited_script(s, last, "fifo.ppm", "f.txt")},
         "Could not open imagefile " + fifo + fifo_why},
        {{"-o", out, edited_script(s, last, dev, "z.txt")},
         "Could not open imagefile " + d + dev + ": it is a character device, not a regular file.\n"},
        {{"-e", fifo, "-o", out, s.script}, "Error loading maskimage " + fifo + fifo_why},
        {{"-i", fifo, s.script}, "Could not read panorama: " + fifo + fifo_why},
        {{"-o", out, edited_script(s, 0, "gone.ppm", "g.txt")},
         "Could not open imagefile " + d + "gone.ppm: No such file or directory.\n"},
        // The name is checked when the output is begun: the missing photo is never looked for.
        {{"-o", too_long, edited_script(s, 0, "missing.ppm", "m.txt")},
         "Could not create file " + too_long + ".tif: File name too long.\n"},
        {{"-i", pano, edited_script(s, 0, "s.txt", "s.txt")}, "Output file " + d + "s.txt" + also},
        {{"-e", s.master, "-i", pano, edited_script(s, 0, "master.ppm", "e.txt")},
         "Output file " + d + "master.ppm" + also},
        {{"-r", d + "readers.txt", "-i", pano, edited_script(s, 0, "readers.txt", "r.txt")},
         "Output file " + d + "readers.txt" + also},
        {{"-i", pano, edited_script(s, 0, "pano.ppm", "i.txt")}, "Output file " + pano + also}};
    const std::map<std::string, std::string> files = regular_files(s.dir);
    for (const auto &[args, message] : cases) {
        run_result r = bounded(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_TRUE(regular_files(s.dir) == files) << message;
    }
}

} // namespace
