// What a run does to the files around it: it never writes over one of its
// inputs, it replaces an earlier panorama only when complete (through a
// link, keeping the mode), and devices and pipes get the panorama as a
// stream or a refusal.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

std::map<std::string, std::string> contents(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const std::string &name : folder_names(dir))
        files[name] = read_file(dir + "/" + name);
    return files;
}

TEST(OutputSafety, AnOutputNamedLikeAnInputIsRefused)
{
    for (const char *format : {"tif", "jpg"}) {
        scene_files s = generate_scene("crops", {"--scale", "0.2", "--format", format});
        const std::string d = s.dir + "/", photo = s.photos.at(1).at("file");
        const std::string stem = photo.substr(0, photo.size() - 4),
                          kind = format[0] == 't' ? "TIFF" : "JPEG q90";
        const std::string script = script_for(s, kind, "s.txt"), tiff = script_for(s, "TIFF", "s.tif");
        write_file(d + "readers.tif", "# none\n");
        const std::vector<std::vector<std::string>> runs = {
            {"-o", photo, script},
            {"-o", stem, script}, // the kind's suffix makes it the photo
            {"-o", tiff, tiff},
            {"-e", s.master, "-o", d + "master", script_for(s, "PPM", "p.txt")},
            {"-r", d + "readers.tif", "-o", d + "readers", tiff},
            {"-i", photo, script}};
        const auto before = contents(s.dir);
        for (const auto &args : runs) {
            std::vector<std::string> all = {"-q"};
            all.insert(all.end(), args.begin(), args.end());
            run_result r = stitch(all);
            EXPECT_EQ(r.status, 1) << args[1];
            EXPECT_NE(r.err.find("Output file "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(" is also an input of this run.\n"), std::string::npos) << r.err;
            EXPECT_TRUE(contents(s.dir) == before) << args[1];
        }
    }
}

TEST(OutputSafety, ALinkStaysALinkAndTheModeIsKept)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string target = s.dir + "/target.tif", link = s.dir + "/pano.tif";
    write_file(target, "earlier");
    ASSERT_EQ(chmod(target.c_str(), 0604), 0);
    ASSERT_EQ(symlink("target.tif", link.c_str()), 0);
    ASSERT_EQ(stitch({"-q", "-o", s.dir + "/pano", s.script}).status, 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(read_file(target).substr(0, 4), std::string("II*\0", 4));
}

// Devices and pipes keep their names: PPM and JPEG stream into them with the
// bytes a file gets; kinds that seek are refused before any work.
TEST(OutputSafety, PipesAndDevices)
{
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    const std::string fifo = s.dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char *kind : {"PPM", "JPEG q90"})
        for (const char *defer : {"-q", "-d"}) {
            const std::string script = script_for(s, kind, "s.txt");
            ASSERT_EQ(stitch({"-q", "-o", s.dir + "/out", script}).status, 0);
            const std::string file = read_file(s.dir + "/" + output_file(kind));
            std::string got;
            std::thread reader([&] { got = read_file(fifo); });
            run_result r = stitch({"-q", defer, "-o", fifo, script});
            reader.join();
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(got == file) << kind << defer;
        }
    run_result r = stitch({"-q", "-o", fifo, s.script});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not write TIFF output to " + fifo +
                         ": it needs a regular file, not a device or a pipe.\n");
    EXPECT_EQ(stitch({"-q", "-o", "/dev/null", script_for(s, "PPM", "s.txt")}).status, 0);
    EXPECT_FALSE(file_exists("/dev/null.ppm"));
}

} // namespace
