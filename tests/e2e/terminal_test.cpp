// The program on a terminal: it asks for the output name there and draws
// the progress line on standard error, fitted to the terminal's width.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <regex>

namespace
{
// Timings differ from run to run.
std::string without_timings(const std::string &text)
{
    return std::regex_replace(text, std::regex("[0-9]+\\.[0-9]+s"), "Ns");
}
} // namespace

// Each answer to the question on terminals of three widths: the panorama is
// the one console mode writes under that name, every status line fits the
// terminal with a bar of min(p, 100) '|' scaled to the room the title and
// "100 %" leave (full at 100 %), and without the status lines the terminal
// shows the console mode's messages intact.
TEST(Terminal, AsksForTheNameAndDrawsTheProgressLine)
{
    scene_files s = generate_scene("demo", {"--scale", "0.25"});
    // The kind the default name makes: the question is the plain one.
    const std::string script = script_for(s, "TIFF", "tiff.txt");
    const std::string console_dir = scratch_dir();
    run_result console = stitch({"-o", "answer.tif", script}, console_dir);
    ASSERT_EQ(console.status, 0) << console.err;
    const std::string reference = read_file(console_dir + "/answer.tif");
    const struct {
        const char *typed;
        int columns;
        const char *name; // null: none
    } cases[] = {{"answer.tif\n", 80, "answer.tif"}, {"\n", 150, "pano.tif"}, {"\x04", 40, nullptr}};
    const std::regex draw("\r(Zenthra: Working\\.\\.\\.\\.  ([0-9]+) %  (\\|*))\x1b\\[K");
    const std::string title_and_widest = "Zenthra: Working....  100 %  ";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.columns);
        const std::string dir = scratch_dir();
        run_result r = run_on_terminal({ZENTHRA_BIN, script}, c.typed, c.columns, dir);
        std::string shown = std::regex_replace(r.err, std::regex("\r\n"), "\n");
        const size_t asked = shown.find("Save panorama as: [pano.tif] ");
        ASSERT_NE(asked, shown.npos) << shown;
        if (!c.name) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(shown.substr(asked + 29), "\nOutput name must be specified. Aborting.\n");
            EXPECT_EQ(folder_names(dir), std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(r.status, 0) << shown;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(folder_names(dir), std::vector<std::string>{c.name});
        EXPECT_TRUE(read_file(dir + "/" + c.name) == reference);
        const long room = std::min<long>(100, c.columns - 1 - long(title_and_widest.size()));
        int draws = 0, last = 0;
        for (std::sregex_iterator m(shown.begin(), shown.end(), draw), end; m != end; ++m, draws++) {
            last = std::stoi((*m)[2]);
            EXPECT_LE((*m)[1].length(), c.columns - 1) << (*m)[1];
            EXPECT_EQ((*m)[3].length(), std::min(last, 100) * room / 100) << (*m)[1];
        }
        EXPECT_GT(draws, 10);
        EXPECT_EQ(last, 100);
        // The echo of the answer, the question, the draws and the erasures out of the way.
        shown = std::regex_replace(shown, draw, "");
        shown = std::regex_replace(shown, std::regex("\r\x1b\\[K"), "");
        shown.erase(shown.find("Save panorama as: [pano.tif] "), 29);
        shown.erase(0, strlen(c.typed));
        EXPECT_EQ(without_timings(shown), without_timings(console.err));
    }
}
