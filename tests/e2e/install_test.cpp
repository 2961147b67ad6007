// What `cmake --install` puts under a prefix works from anywhere.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(Install, InstalledProgramAndExtensionsWorkFromAnotherFolder)
{
    std::string prefix = scratch_dir() + "/prefix";
    run_result r = run_program({ZENTHRA_CMAKE, "--install", ZENTHRA_BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> installed; // file name to path
    for (const auto &entry : std::filesystem::recursive_directory_iterator(prefix))
        installed[entry.path().filename().string()] = entry.path().string();
#ifdef ZENTHRA_TCL
    EXPECT_TRUE(installed.count("libquillix.so") && installed.count("libdll.so"));
#endif
    EXPECT_EQ(installed["zenthra"], prefix + "/bin/zenthra");
    // The demo scene, small, stitched in a folder of its own; no reader
    // descriptions beside the program is no error.
    scene_files s = generate_scene("demo", {"--scale", "0.25"});
    std::string elsewhere = scratch_dir();
    run_result z = run_program({prefix + "/bin/zenthra", "-c", "-q", "-o", "pano", s.script}, "", elsewhere);
    ASSERT_EQ(z.status, 0) << z.err;
    EXPECT_GE(report_number(compare_images({elsewhere + "/pano.jpg", s.master}), "psnr"), 30);
#if defined(ZENTHRA_TCL) &&                                                                                  \
    !defined(ZENTHRA_SANITIZED) // an instrumented module needs the sanitizer runtime preloaded into tclsh
    if (file_exists("/usr/bin/tclsh")) {
        run_result tcl =
            run_program({"/usr/bin/tclsh"}, "load " + installed["libquillix.so"] +
                                                "\nputs [::Mat::Quillix multi {{1 2}} {{3} {4}}]\n");
        EXPECT_EQ(tcl.out, "11.0\n") << tcl.err;
    }
#endif
}
