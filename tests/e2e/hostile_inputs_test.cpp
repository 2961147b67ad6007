// Inputs that must not hang, mislead or damage a run: FIFOs and devices
// where files belong, names too long to exist, inverse runs whose photos are
// other inputs, scripts saved with a byte-order mark, photos that land
// nowhere, and failures told with the file and the system's reason.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// zenthra -c -q with the arguments, ended after 60 s should it hang (its
// status is then 124).
run_result bounded(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL", "60", ZENTHRA_BIN, "-c", "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// A FIFO that nobody writes as a photo, the mask, the reader description and
// the panorama of an inverse run, and a folder and a device as a photo: each
// is refused by name before anything waits on it or reads it.
TEST(HostileInputs, InputsThatAreNoRegularFilesAreRefusedByName)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string fifo = s.dir + "/fifo.ppm", folder = s.dir + "/folder.ppm";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(folder);
    const std::string script = read_file(s.script), last = s.photos.back().at("file");
    const std::string last_name = last.substr(last.rfind('/') + 1);
    auto with_last = [&](const std::string &name) {
        std::string text = script, file = s.dir + "/with-" + std::to_string(name.size()) + ".txt";
        text.replace(text.rfind(last_name), last_name.size(), name);
        write_file(file, text);
        return file;
    };
    const std::string out = s.dir + "/out";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-o", out, with_last("fifo.ppm")},
         "Could not open imagefile " + fifo + ": it is a FIFO, not a regular file.\n"},
        {{"-o", out, with_last("folder.ppm")},
         "Could not open imagefile " + folder + ": it is a folder, not a regular file.\n"},
        {{"-o", out, with_last("../../../../../../../../../../dev/zero")},
         "Could not open imagefile " + s.dir +
             "/../../../../../../../../../../dev/zero: it is a character "
             "device, not a regular file.\n"},
        {{"-e", fifo, "-o", out, s.script},
         "Error loading maskimage " + fifo + ": it is a FIFO, not a regular file.\n"},
        {{"-r", fifo, "-o", out, s.script},
         "Reader description file " + fifo + " is a FIFO, not a regular file.\n"},
        {{"-i", fifo, s.script},
         "Could not read panorama: " + fifo + ": it is a FIFO, not a regular file.\n"}};
    const std::vector<std::string> before = folder_names(s.dir);
    for (const auto &[args, message] : cases) {
        run_result r = bounded(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(folder_names(s.dir), before) << message;
    }
}

// The name's length is checked when the output is begun: the missing first
// photo is never looked for.
TEST(HostileInputs, AnOutputNameTooLongToExistIsRefusedFirst)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    std::filesystem::remove(s.photos.at(0).at("file"));
    const std::string name = s.dir + "/" + std::string(252, 'a');
    const std::vector<std::string> before = folder_names(s.dir);
    run_result r = bounded({"-o", name, s.script});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not create file " + name + ".tif: File name too long.\n");
    EXPECT_EQ(folder_names(s.dir), before);
}

// Every photo of an inverse run is written: none may be the script, the
// mask, the reader description or the panorama it reads.
TEST(HostileInputs, InverseModeNeverWritesOverItsOtherInputs)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string pano = s.dir + "/pano.ppm";
    ASSERT_EQ(bounded({"-o", pano, script_for(s, "PPM", "p.txt")}).status, 0);
    write_file(s.dir + "/readers.txt", "# none\n");
    const std::string first = s.photos.at(0).at("file"), first_name = first.substr(first.rfind('/') + 1);
    // A script whose first photo is name; the first one is named s.txt.
    auto first_is = [&](const std::string &name) {
        std::string text = read_file(s.script), file = s.dir + "/" + (name == "s.txt" ? name : name + ".txt");
        text.replace(text.find(first_name), first_name.size(), name);
        write_file(file, text);
        return file;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-i", pano, first_is("s.txt")}, "s.txt"},
        {{"-e", s.master, "-i", pano, first_is("master.ppm")}, "master.ppm"},
        {{"-r", s.dir + "/readers.txt", "-i", pano, first_is("readers.txt")}, "readers.txt"},
        {{"-i", pano, first_is("pano.ppm")}, "pano.ppm"}};
    for (const auto &[args, input] : cases) {
        const std::string before = read_file(s.dir + "/" + input);
        run_result r = bounded(args);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(r.err, "Output file " + s.dir + "/" + input + " is also an input of this run.\n");
        EXPECT_TRUE(read_file(s.dir + "/" + input) == before) << input;
    }
}

// A byte-order mark before the p-line is skipped: the same panorama.
TEST(HostileInputs, AScriptSavedWithAByteOrderMarkStitches)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    std::string text = read_file(s.script);
    text = text.substr(text.find("\np ") + 1); // the p-line first
    write_file(s.dir + "/plain.txt", text);
    write_file(s.dir + "/bom.txt", "\xEF\xBB\xBF" + text);
    ASSERT_EQ(bounded({"-o", s.dir + "/plain.tif", s.dir + "/plain.txt"}).status, 0);
    run_result r = bounded({"-o", s.dir + "/bom.tif", s.dir + "/bom.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(s.dir + "/bom.tif") == read_file(s.dir + "/plain.tif"));
}

// Lens terms and shifts far out of range send a photo nowhere: the run goes
// on without it and says so, in quiet mode too.
TEST(HostileInputs, APhotoThatLandsNowhereIsNamed)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string first = s.photos.at(0).at("file"), name = first.substr(first.rfind('/') + 1);
    for (const char *term : {"d1e12", "a1e308"}) {
        std::string text = read_file(s.script);
        text.replace(text.find("n\"" + name), 0, std::string(term) + " ");
        write_file(s.dir + "/s.txt", text);
        run_result r = bounded({"-s", "0", "-o", s.dir + "/out", s.dir + "/s.txt"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "Warning: image 0 (" + first + ") lands nowhere in the panorama.\n") << term;
    }
}

// What failures say in quiet mode: the file and the system's (or the
// converter's) reason.
TEST(HostileInputs, FailuresTellTheFileAndTheReason)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2", "--format", "tif"});
    const std::string readers =
        read_through_program(s, 2, "printf 'P6\\n90 60\\n255\\n'; head -c 100 /dev/zero; exit 4");
    const std::string first = s.photos.at(0).at("file"), third = s.photos.at(2).at("file");
    const std::string out = s.dir + "/out", kept = read_file(first);
    run_result r = bounded({"-s", "0", "-r", readers, "-o", out, s.script});
    EXPECT_EQ(r.status, 1);
    // The converter's header gives another size than the script's first.
    const std::string ended =
        "Cannot read ppm image " + third + ": the image ends early; its reader ended with status 4.\n";
    EXPECT_EQ(r.err.rfind("Warning: image " + third + " is 90x60 in its file", 0), 0u) << r.err;
    EXPECT_TRUE(r.err.size() > ended.size() && r.err.substr(r.err.size() - ended.size()) == ended) << r.err;
    write_file(first, kept.substr(0, kept.size() / 2));
    r = bounded({"-s", "0", "-r", readers, "-o", out, s.script});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Could not open imagefile " + first + ": ", 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), ("Could not open imagefile " + first + ": .\n").size()) << r.err;
    std::filesystem::remove(first);
    r = bounded({"-s", "0", "-r", readers, "-o", out, s.script});
    EXPECT_EQ(r.err, "Could not open imagefile " + first + ": No such file or directory.\n");
    EXPECT_FALSE(file_exists(out + ".tif"));
}

} // namespace
