// Runs that fail: each ends with a message naming the file at fault,
// status 1, and the earlier file at the output path as it was; so do
// interrupted runs.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Each failing run meets an earlier panorama at its output path and must
// leave it, and the rest of the folder, as they were.
struct Failures : ::testing::TestWithParam<const char *> {
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    std::string script = script_for(s, GetParam(), "s.txt"), out = s.dir + "/" + output_file(GetParam());
    const std::string earlier = "an earlier panorama";
    bool threaded = std::string(GetParam()).rfind("JPEG", 0) == 0; // the writer thread writes it

    // zenthra -c, in place or deferred, run by the words of how.
    run_result run(bool defer, std::vector<std::string> how = {ZENTHRA_BIN})
    {
        how.insert(how.end(), {"-c", "-q", "-o", s.dir + "/out", script});
        if (defer)
            how.push_back("-d");
        return run_program(how);
    }
    run_result expect_failure(bool defer, const std::string &culprit,
                              std::vector<std::string> how = {ZENTHRA_BIN})
    {
        write_file(out, earlier);
        const std::vector<std::string> before = folder_names(s.dir);
        run_result r = run(defer, how);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(culprit), std::string::npos) << r.err;
        EXPECT_EQ(read_file(out), earlier) << r.err;
        EXPECT_EQ(folder_names(s.dir), before);
        return r;
    }
};

TEST_P(Failures, BrokenSourceFile)
{
    // The first photo missing, many times where the writer thread writes
    // (its clean-up once raced the failure); then the third in processing
    // order cut short and missing, decoded when two images are written.
    const std::string first = s.photos.at(0).at("file"), third = s.photos.at(2).at("file");
    const std::string kept = read_file(first), bytes = read_file(third);
    std::filesystem::remove(first);
    for (bool defer : {false, true})
        for (int i = 0; i < (threaded || defer ? 20 : 1); i++)
            expect_failure(defer, first);
    write_file(first, kept);
    write_file(third, bytes.substr(0, bytes.size() / 2));
    for (bool missing : {false, true}) {
        if (missing)
            std::filesystem::remove(third);
        for (bool defer : {false, true})
            expect_failure(defer, third);
    }
}

TEST_P(Failures, FullDisk)
{
    // Writes that pass a file size limit fail with EFBIG (and say so), early, half way
    // and at the very end (bash counts the limit in blocks of 1024 bytes).
    for (bool defer : {false, true}) {
        ASSERT_EQ(run(defer).status, 0);
        int64_t size = file_size(out);
        for (double share : {0.02, 0.5, 0.98}) {
            const std::string limit = "ulimit -f " + std::to_string(int64_t(size * share + 1023) / 1024);
            SCOPED_TRACE(limit + (defer ? " -d" : ""));
            run_result r = expect_failure(defer, out,
                                          {"/bin/bash", "-c", limit + " && exec \"$0\" \"$@\"", ZENTHRA_BIN});
            EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Failures,
                         ::testing::Values("PPM", "TIFF", "TIFF b1", "PSD", "PSB", "JPEG q95", "TIFF_m"));

TEST(FailedRun, UnreadableScriptNamesItAndWritesNothing)
{
    std::string dir = scratch_dir();
    std::filesystem::create_directory(dir + "/s.txt"); // opens, but cannot be read
    run_result r = stitch({"-q", "-o", dir + "/out", dir + "/s.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not read scriptfile " + dir + "/s.txt\n");
    EXPECT_FALSE(file_exists(dir + "/out.tif"));
}

} // namespace

// Whether process pid ends within a second: gone, or a zombie nobody reaped.
static bool ends(const std::string &pid)
{
    for (int i = 0; i < 100; i++, usleep(10000)) {
        const std::string stat = read_file("/proc/" + pid + "/stat");
        if (stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z")
            return true;
    }
    return false;
}

// SIGINT, SIGTERM and SIGHUP while it stitches, between two images (the next
// photo comes from a converter that sleeps, so no progress line is open):
// status 1, the panorama written so far is removed and the earlier one kept,
// and the converter's shell and what it started end with the run. The window
// mode's progress line is the unit tests' part.
TEST(EndToEnd, InterruptedStitchKeepsTheEarlierPanorama)
{
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    const std::string readers = read_through_program(
        s, 3, "echo $$ > \"$1.pids\"; sleep 60 & echo $! >> \"$1.pids\"; wait; cat \"$1\"");
    const std::string pano = s.dir + "/pano.tif", pids = s.photos.at(3).at("file") + ".pids";
    // The signal comes once image 2 is done, while image 3 is being read.
    // env gives back the default actions that a shell's background job (or
    // the tests' own) has ignored; a run that ignores the signal is killed.
    const std::string run =
        "env --default-signal \"$0\" -c -s 0 -r \"$4\" -o \"$1\" \"$2\" 2>\"$1.err\" & z=$!\n"
        "for i in $(seq 1000); do grep -q 'Time for image 2' \"$1.err\" && [ -s \"$5\" ] && break; sleep "
        "0.01; done\n"
        "sleep 0.05; kill -$3 $z\n"
        "for i in $(seq 1000); do kill -0 $z 2>/dev/null || break; sleep 0.01; done\n"
        "kill -0 $z 2>/dev/null && kill -KILL $z; wait $z";
    for (const char *sig : {"INT", "TERM", "HUP"}) {
        SCOPED_TRACE(sig);
        write_file(pano, "earlier");
        const std::vector<std::string> before = folder_names(s.dir);
        EXPECT_EQ(
            1, run_program({"/bin/bash", "-c", run, ZENTHRA_BIN, pano, s.script, sig, readers, pids}).status);
        std::filesystem::remove(pano + ".err");
        EXPECT_EQ(read_file(pano), "earlier");
        std::istringstream started(read_file(pids));
        std::filesystem::remove(pids);
        EXPECT_EQ(folder_names(s.dir), before);
        int count = 0;
        for (std::string pid; started >> pid; count++)
            EXPECT_TRUE(ends(pid)) << pid; // the group is killed before the run ends
        EXPECT_EQ(count, 2);
    }
}

// A background job of a shell without job control starts with SIGINT
// ignored, and so it stays: the run goes on to its end, in window mode too,
// whose Ctrl-C is Cancel only where SIGINT was not ignored. The signal comes
// once the progress window is open, and the panorama goes into a FIFO that
// is read only afterwards, so the run cannot end before it.
TEST(EndToEnd, IgnoredInterruptStaysIgnored)
{
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    const std::string fifo = s.dir + "/pano.ppm", script = script_for(s, "PPM", "s.txt");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::string run =
        "\"$0\" $4 -o \"$1\" \"$2\" 2>\"$3\" & z=$!\n"
        "for i in $(seq 1000); do grep -q 'Parsing script line' \"$3\" && break; sleep 0.01; done\n"
        "kill -INT $z; timeout 20 cat \"$1\" | wc -c; wait $z";
    for (const char *mode : {"", "-c"}) {
        const std::string err = s.dir + "/err" + mode;
        run_result r = run_program({"/bin/bash", "-c", run, ZENTHRA_BIN, fifo, script, err, mode});
        EXPECT_EQ(r.status, 0) << mode << read_file(err);
        const std::string header =
            "P6\n" + std::to_string(s.width()) + " " + std::to_string(s.height()) + "\n255\n";
        EXPECT_EQ(std::stol(r.out), long(header.size()) + 3L * s.width() * s.height()) << mode;
    }
}
