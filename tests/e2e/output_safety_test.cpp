// What a run does to the files around it: it never writes over one of its
// inputs, it replaces an earlier panorama only when complete (through a
// link, keeping the mode), and devices and pipes get the panorama as a
// stream or a refusal.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
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

// The temporary names that the renames of a run took, each flushed right
// before its rename and its folder right after, as strace shows them (-y
// gives the paths of descriptors; the rename is relative to the folder's).
std::vector<std::string> flushed_renames(const std::vector<std::string> &args, size_t renames)
{
    const std::string log = scratch_dir() + "/trace";
    const char *asan = getenv("ASAN_OPTIONS"); // LeakSanitizer cannot work under ptrace
    std::vector<std::string> argv = {"/usr/bin/env",
                                     "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":detect_leaks=0",
                                     "/usr/bin/strace",
                                     "-f",
                                     "-y",
                                     "-qq",
                                     "-o",
                                     log,
                                     "-e",
                                     "trace=fsync,fdatasync,rename,renameat,renameat2",
                                     ZENTHRA_BIN,
                                     "-c",
                                     "-q"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(run_program(argv).status, 0);
    static const std::regex flushed(
        R"re(fsync\([0-9]+<([^>]*)/([^>/]*)>\) = 0\n[0-9]* *rename\w*\([0-9]+<\1>, "\2", [0-9]+<\1>, "[^"]*"\) = 0\n[0-9]* *fsync\([0-9]+<\1>\) = 0\n)re"),
        rename("rename");
    const std::string trace = read_file(log);
    std::vector<std::string> temps;
    for (std::sregex_iterator m(trace.begin(), trace.end(), flushed), end; m != end; ++m)
        temps.push_back((*m)[2]);
    EXPECT_EQ(temps.size(), renames) << trace;
    EXPECT_EQ(std::distance(std::sregex_iterator(trace.begin(), trace.end(), rename), {}), long(renames))
        << trace;
    return temps;
}

// Each panorama and each photo of the inverse mode reaches the disk before
// it takes its name, and its name right after; two runs write under names
// of their own.
TEST(OutputSafety, FilesReachTheDiskBeforeTheirNames)
{
    if (!file_exists("/usr/bin/strace"))
        GTEST_SKIP() << "no strace";
    scene_files s = generate_scene("crops", {"--scale", "0.2"});
    std::vector<std::string> first = flushed_renames({"-o", s.dir + "/pano.tif", s.script}, 1);
    std::vector<std::string> second = flushed_renames({"-o", s.dir + "/pano.tif", s.script}, 1);
    flushed_renames({"-o", s.dir + "/pano.jpg", script_for(s, "JPEG q90", "j.txt")}, 1);
    flushed_renames({"-i", s.dir + "/pano.tif", s.script}, s.photos.size());
    ASSERT_FALSE(first.empty() || second.empty());
    EXPECT_NE(first[0], second[0]);
    EXPECT_EQ(first[0].rfind(".pano.tif.zenthra-", 0), 0u) << first[0];
}

} // namespace
