// Interrupted runs: SIGINT, SIGTERM and SIGHUP end the program with status 1
// while no progress line is open (here: blocked opening a FIFO), and a
// panorama half written is removed. The window mode's progress line is the
// unit tests' part.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

// Stopped while it stitches, between two images (the next photo is a FIFO
// that nobody writes): the panorama written so far is removed.
TEST(EndToEnd, InterruptedStitchRemovesThePartialPanorama)
{
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    const std::string last = s.photos.at(3).at("file"), pano = s.dir + "/pano.tif";
    ASSERT_EQ(0, unlink(last.c_str()));
    ASSERT_EQ(0, mkfifo(last.c_str(), 0600));
    // The signal comes once image 2 is done, into the open() of the FIFO.
    // env gives back the default actions that a shell's background job (or
    // the tests' own) has ignored; a run that ignores the signal is killed.
    const std::string run =
        "env --default-signal \"$0\" -c -s 0 -o \"$1\" \"$2\" 2>\"$1.err\" & z=$!\n"
        "for i in $(seq 1000); do grep -q 'Time for image 2' \"$1.err\" && break; sleep 0.01; done\n"
        "sleep 0.05; kill -$3 $z\n"
        "for i in $(seq 1000); do kill -0 $z 2>/dev/null || break; sleep 0.01; done\n"
        "kill -0 $z 2>/dev/null && kill -KILL $z; wait $z";
    for (const char *sig : {"INT", "TERM", "HUP"}) {
        EXPECT_EQ(1, run_program({"/bin/bash", "-c", run, ZENTHRA_BIN, pano, s.script, sig}).status) << sig;
        EXPECT_FALSE(file_exists(pano)) << "the partial panorama is still there after SIG" << sig;
    }
}
