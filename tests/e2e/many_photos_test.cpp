// Jobs of hundreds of photos, and bracketed shoots whose every position holds
// several photos: where temporary images go (memory, spill files under few
// descriptors, memory again when the spill folder is gone) changes no byte.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{

const char spill_warning[] = "Temporary images stay in memory.";

// zenthra in an empty folder of its own (the spill folder) with the shell
// words of `limits` before it; the output's bytes and the run's result.
std::string stitch_in(const std::string &script, const std::string &limits, const std::string &kind,
                      run_result *r, bool folder_gone = false)
{
    const std::string cwd = scratch_dir(), out = scratch_dir() + "/out";
    std::string shell = limits + " exec \"$0\" \"$@\"";
    if (folder_gone) // the spill folder removed under the running program
        shell = "rmdir \"$PWD\" && " + shell;
    std::vector<std::string> argv = {"/bin/bash", "-c", shell, ZENTHRA_BIN, "-c", "-o", out, script};
    if (kind == "PPM -d")
        argv.push_back("-d");
    *r = run_program(argv, "", cwd);
    EXPECT_EQ(r->status, 0) << limits << r->err;
    if (!folder_gone) {
        EXPECT_TRUE(folder_names(cwd).empty()) << "a temporary file was left behind";
    }
    return read_file(out + (kind == "TIFF" ? ".tif" : ".ppm"));
}

// The in-memory result, then the same spilled under 32 descriptors with
// every temporary image and deep ring in spill files, and where asked, in
// memory again with the spill folder gone, which is told once.
void expect_same_everywhere(const scene_files &s, const std::string &kind, bool folder_gone)
{
    const std::string script = script_for(s, kind == "TIFF" ? "TIFF" : "PPM", "s.txt");
    run_result r;
    const std::string memory = stitch_in(script, "", kind, &r);
    ASSERT_FALSE(memory.empty());
    EXPECT_EQ(stitch_in(script, "ulimit -n 32 && ZENTHRA_STORE_BUDGET=0", kind, &r), memory);
    EXPECT_EQ(r.err.find(spill_warning), std::string::npos) << r.err;
    if (!folder_gone)
        return;
    EXPECT_EQ(stitch_in(script, "ZENTHRA_STORE_BUDGET=0", kind, &r, true), memory);
    const size_t at = r.err.find(spill_warning);
    EXPECT_TRUE(at != std::string::npos && r.err.find(spill_warning, at + 1) == std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Could not write temporary file in "), std::string::npos) << r.err;
}

TEST(ManyPhotos, ThreeHundredSmallPhotos)
{
    scene_files s = generate_scene("many", {"--photos", "300", "--scale", "0.05"});
    ASSERT_EQ(s.layout.at("photos"), "300");
    // The writer thread keeps every image's main part until it reaches it.
    expect_same_everywhere(s, "PPM -d", false);
}

// Five photos at every position: the earlier ones keep a tile for each later
// one there, more than the store once had slots for.
TEST(ManyPhotos, FiveExposureBrackets)
{
    scene_files s = generate_scene("big24", {"--scale", "0.05", "--brackets", "5"});
    ASSERT_EQ(s.layout.at("photos"), "120");
    expect_same_everywhere(s, "TIFF", true);
}

} // namespace
