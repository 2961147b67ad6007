// The program on a terminal: it asks for the output name there and draws
// the progress line on standard error, fitted to the terminal's width.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <regex>

// Each answer on terminals of three widths: console mode's panorama under
// that name; status lines that fit, with a bar of min(p, 100) '|' scaled to
// the room left; between them, console mode's messages intact.
TEST(Terminal, AsksForTheNameAndDrawsTheProgressLine)
{
    scene_files s = generate_scene("demo", {"--scale", "0.25"});
    const std::string script = script_for(s, "TIFF", "tiff.txt"), console_dir = scratch_dir();
    run_result console = stitch({"-o", "answer.tif", script}, console_dir);
    ASSERT_EQ(console.status, 0) << console.err;
    const std::tuple<std::string, int, std::string> cases[] = {// typed, columns, the file written
                                                               {"answer.tif\n", 80, "answer.tif"},
                                                               {"\n", 150, "pano.tif"},
                                                               {"\x04", 40, ""}};
    const std::regex draw("\r(Zenthra: Working\\.\\.\\.\\.  ([0-9]+) %  (\\|*))\x1b\\[K"),
        timings("[0-9]+\\.[0-9]+s");
    const std::string question = "Save panorama as: [pano.tif] ";
    for (const auto &[typed, columns, name] : cases) {
        SCOPED_TRACE(columns);
        const std::string dir = scratch_dir();
        run_result r = run_on_terminal({ZENTHRA_BIN, script}, typed, columns, dir);
        std::string shown = std::regex_replace(r.err, std::regex("\r\n"), "\n");
        const size_t asked = shown.find(question);
        ASSERT_NE(asked, shown.npos) << shown;
        if (name.empty()) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(shown.substr(asked + question.size()), "\nOutput name must be specified. Aborting.\n");
            EXPECT_EQ(folder_names(dir), std::vector<std::string>{});
            continue;
        }
        ASSERT_EQ(r.status, 0) << shown;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(folder_names(dir), std::vector<std::string>{name});
        EXPECT_TRUE(read_file(dir + "/" + name) == read_file(console_dir + "/answer.tif"));
        // The title and "100 %" take 29 columns; the last column stays free.
        const long room = std::min<long>(100, columns - 30);
        int draws = 0, last = 0;
        for (std::sregex_iterator m(shown.begin(), shown.end(), draw), end; m != end; ++m, draws++) {
            last = std::stoi((*m)[2]);
            EXPECT_LE((*m)[1].length(), columns - 1) << (*m)[1];
            EXPECT_EQ((*m)[3].length(), std::min(last, 100) * room / 100) << (*m)[1];
        }
        EXPECT_GT(draws, 10);
        EXPECT_EQ(last, 100);
        // The draws, the erasures, the question and the echo of the answer out of the way.
        shown = std::regex_replace(std::regex_replace(shown, draw, ""), std::regex("\r\x1b\\[K"), "");
        shown.erase(shown.find(question), question.size()).erase(0, typed.size());
        EXPECT_EQ(std::regex_replace(shown, timings, "Ns"), std::regex_replace(console.err, timings, "Ns"));
    }
}
