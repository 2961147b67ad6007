#include "stitcher/pipeline/memory.h"
#include "stitcher/script/parser.h"
#include "tests/support/testutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

// Every line of the script that belongs to key, in order.
std::vector<std::string> lines_of(const std::string &script, const char *key)
{
    std::vector<std::string> out;
    for (int n = 1;; n++) {
        char *line = parser_read_script_line(script.c_str(), key, n);
        if (!line)
            return out;
        out.emplace_back(line);
        aligned_free(line);
    }
}

std::string option(const char *line, char key)
{
    std::string v;
    return find_option(line, key, &v) ? v : std::string("<absent>");
}

struct dummy_line {
    explicit dummy_line(const char *line) { set_global_image_params(line); }
    ~dummy_line() { set_global_image_params(nullptr); }
};

TEST(ScriptLines, CrLfAndEmptyLinesReadAsLf)
{
    std::string lf = "# made by hand\np f2 w4000 h2000\no nA.jpg v50\no nB.jpg\nm i2\n";
    std::string crlf =
        "# made by hand\r\n\r\np f2 w4000 h2000\r\n\r\n\r\no nA.jpg v50\r\no nB.jpg\r\n\r\nm i2\r\n";
    for (const char *key : {"p", "o", "m", "#", ""})
        EXPECT_EQ(lines_of(lf, key), lines_of(crlf, key)) << "key " << key;
    EXPECT_EQ(lines_of(crlf, "o"), (std::vector<std::string>{"o nA.jpg v50", "o nB.jpg"}));
    EXPECT_EQ(lines_of(crlf, "").size(), 5u);
}

TEST(ScriptLines, KeyIsAPrefixWithoutLeadingBlanks)
{
    std::string script = " o nA.jpg\n\to nB.jpg\noutput nC.jpg\nO nD.jpg\no nE.jpg\n";
    EXPECT_EQ(lines_of(script, "o"), (std::vector<std::string>{"output nC.jpg", "o nE.jpg"}));
    // The trailing blank of a key is part of it.
    std::string bw = "#-blendweights 1\n#-blendweight\n#-blendweight 50 60\n";
    EXPECT_EQ(lines_of(bw, "#-blendweight "), (std::vector<std::string>{"#-blendweight 50 60"}));
    EXPECT_EQ(lines_of(bw, "#-blendweight").size(), 3u);
}

TEST(ScriptLines, NthLineAndMissingLines)
{
    std::string script = "p w10\no n1\n# o n0\no n2\n";
    char *two = parser_read_script_line(script.c_str(), "o", 2);
    ASSERT_NE(two, nullptr);
    EXPECT_STREQ(two, "o n2");
    aligned_free(two);
    EXPECT_EQ(parser_read_script_line(script.c_str(), "o", 3), nullptr);
    EXPECT_EQ(parser_read_script_line(script.c_str(), "o", 0), nullptr);
    EXPECT_EQ(parser_read_script_line("", "o", 1), nullptr);
    EXPECT_EQ(parser_read_script_line("\r\n\n\r", "", 1), nullptr);
}

TEST(ScriptLines, ScriptLinePointsIntoTheScript)
{
    char script[] = "\r\n# x\r\n o\r\np w5\r\np w6\r\n";
    char *p = parser_script_line(script, "p");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p - script, 11);
    EXPECT_EQ(std::string(p, 4), "p w5");
    p[0] = '#'; // how a dummy image line is taken out of the script
    EXPECT_EQ(parser_script_line(static_cast<const char *>(script), "p") - script, 17);
    EXPECT_EQ(parser_script_line(script, "o"), nullptr);
}

TEST(ScriptLines, LongLinesAndValuesAreReadWhole)
{
    std::string path = "/photos/" + std::string(3000, 'x') + ".jpg";
    std::string quoted = "/my photos/" + std::string(4000, 'y') + ".tif";
    std::string oline = "o n" + path + " w1200 h800 v" + std::string(600, '5');
    std::string oline2 = "o w10 h20 n\"" + quoted + "\" y7";
    std::string script = "p w100\n" + oline + "\n" + oline2 + "\n";
    auto o = lines_of(script, "o");
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[0], oline);
    EXPECT_EQ(o[1], oline2);
    EXPECT_EQ(option(o[0].c_str(), 'n'), path);
    EXPECT_EQ(get_int('w', o[0].c_str(), -1), 1200);
    EXPECT_EQ(get_int('h', o[0].c_str(), -1), 800);
    EXPECT_EQ(option(o[0].c_str(), 'v'), std::string(600, '5'));
    EXPECT_EQ(option(o[1].c_str(), 'n'), quoted);
    EXPECT_EQ(get_double('y', o[1].c_str(), 0), 7.0);
}

TEST(ScriptOptions, TokensQuotesAndFirstMatch)
{
    EXPECT_EQ(get_double('v', "o v50 v60", 70), 50.0);
    EXPECT_EQ(option("o nx.jpg w100", 'n'), "x.jpg");
    EXPECT_EQ(get_int('w', "o nx.jpg w100", -1), 100);
    EXPECT_EQ(option("o n\"my holiday.jpg\" w100", 'n'), "my holiday.jpg");
    // The line key and text inside quotes are never options.
    EXPECT_EQ(option("o nx.jpg", 'o'), "<absent>");
    EXPECT_EQ(get_int('w', "o n\"a w7 b\" w9", -1), 9);
    // An option must follow a blank; tabs count as blanks.
    EXPECT_EQ(option("o xw5", 'w'), "<absent>");
    EXPECT_EQ(get_int('w', "o\tw5", -1), 5);
    // A quote inside an unquoted value opens quotes all the same.
    EXPECT_EQ(option("o nab\"c w7", 'w'), "<absent>");
    EXPECT_EQ(option("o nab\"c\" w7", 'n'), "ab\"c\"");
    // An unquoted value ends at a blank, not at a quote.
    EXPECT_EQ(option("o v12\"x\" w1", 'v'), "12\"x\"");
    // A blank right after the letter makes an empty value, not an absent one.
    EXPECT_EQ(option("o n w5", 'n'), "");
    EXPECT_EQ(option("o y-10 Y5", 'Y'), "5");
}

TEST(ScriptOptions, AbsentValues)
{
    EXPECT_EQ(option("o n\"\" w5", 'n'), "<absent>");
    EXPECT_EQ(option("o w5 n\"never closed", 'n'), "<absent>");
    EXPECT_EQ(option("o w5 n", 'n'), "<absent>");
    EXPECT_EQ(option("o w5 n\"", 'n'), "<absent>");
    EXPECT_EQ(option("o w5", 'h'), "<absent>");
    EXPECT_EQ(option("", 'h'), "<absent>");
    EXPECT_EQ(get_int('h', "o w5", 512), 512);
    EXPECT_EQ(get_double('v', "o w5", 70.5), 70.5);
}

TEST(ScriptOptions, NumbersReadAsAtoiAndAtof)
{
    EXPECT_EQ(get_int('w', "o wabc", 7), 0);
    EXPECT_EQ(get_int('w', "o w=5", 7), 0);
    EXPECT_EQ(get_int('w', "o w=0", 7), 0);
    EXPECT_EQ(get_int('w', "o w12px", 7), 12);
    EXPECT_EQ(get_int('w', "o w+12", 7), 12);
    EXPECT_EQ(get_int('w', "o w-1", 7), -1);
    EXPECT_EQ(get_int('w', "o w99999999999", 7), INT_MAX);
    EXPECT_EQ(get_int('w', "o w-99999999999", 7), INT_MIN);
    EXPECT_EQ(get_double('v', "o v50.25deg", 0), 50.25);
    EXPECT_EQ(get_double('v', "o v1e2", 0), 100.0);
    EXPECT_EQ(get_double('v', "o v.5", 0), 0.5);
    EXPECT_EQ(get_double('v', "o vx", 1), 0.0);
}

// A script reads the same under a locale whose decimal point is a comma. No
// such locale is installed here, so one is compiled into a scratch folder.
TEST(ScriptOptions, DecimalPointWhateverTheLocale)
{
    if (!file_exists("/usr/bin/localedef") || !file_exists("/usr/share/i18n/locales/de_DE"))
        GTEST_SKIP() << "localedef or the de_DE locale source is missing";
    std::string dir = scratch_dir();
    run_result r = run_program({"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8", dir + "/de_DE.UTF-8"});
    if (!file_exists(dir + "/de_DE.UTF-8/LC_NUMERIC"))
        GTEST_SKIP() << "localedef failed: " << r.err;
    setenv("LOCPATH", dir.c_str(), 1);
    ASSERT_NE(setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    ASSERT_EQ(atof("50,5"), 50.5); // the locale is in force
    double v = get_double('v', "o v50.5", 0);
    double c = get_double('v', "o v50,5", 0);
    setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    EXPECT_EQ(v, 50.5);
    EXPECT_EQ(c, 50.0);
}

TEST(ScriptOptions, MinusOneCountsAsAbsentForSizes)
{
    int size[2] = {1024, 512};
    EXPECT_EQ(parser_get_image_size("p w-1 h300", size), -1);
    EXPECT_EQ(size[0], 1024);
    EXPECT_EQ(size[1], 300);
    int zero[2] = {1024, 512};
    EXPECT_EQ(parser_get_image_size("p wabc h=5", zero), 0);
    EXPECT_EQ(zero[0], 0);
    EXPECT_EQ(zero[1], 0);
    int given[2] = {1, 1};
    EXPECT_EQ(parser_get_image_size("p w4000 h2000 w10", given), 0);
    EXPECT_EQ(given[0], 4000);
    EXPECT_EQ(given[1], 2000);
    int none[2] = {3, 4};
    EXPECT_LT(parser_get_image_size("p f2", none), 0);
    EXPECT_EQ(none[0], 3);
    EXPECT_EQ(none[1], 4);
}

TEST(ScriptOptions, ReferencesToTheDummyImage)
{
    dummy_line dummy("o f2 v100 y=0 n\"dummy image.jpg\" w=5");
    const char *line = "o v=0 y=0 n=0 w=0 h=05 p=2 r=x";
    EXPECT_EQ(get_double('v', line, 70), 100.0);
    EXPECT_EQ(option(line, 'n'), "dummy image.jpg");
    // Only one level: a reference inside the dummy line is its own text.
    EXPECT_EQ(option(line, 'y'), "=0");
    EXPECT_EQ(option(line, 'w'), "=5");
    // Anything after =0 still makes a reference; the dummy has no h.
    EXPECT_EQ(option(line, 'h'), "<absent>");
    EXPECT_EQ(get_int('h', line, 9), 9);
    EXPECT_EQ(option(line, 'p'), "=2");
    EXPECT_EQ(option(line, 'r'), "=x");
    // The dummy line itself, found by identity, reads its own text.
    EXPECT_EQ(option(global_image_params, 'y'), "=0");
    std::string copy = global_image_params;
    EXPECT_EQ(option(copy.c_str(), 'y'), "=0");
    EXPECT_EQ(option(copy.c_str(), 'v'), "100");
}

TEST(ScriptOptions, ReferencesWithoutADummyImage)
{
    set_global_image_params(nullptr);
    EXPECT_EQ(option("o v=0", 'v'), "=0");
    EXPECT_EQ(get_double('v', "o v=0", 70), 0.0);
    {
        dummy_line a("o v10");
        dummy_line b("o v20"); // replaces the first
        EXPECT_EQ(get_double('v', "o v=0", 70), 20.0);
    }
    EXPECT_EQ(global_image_params, nullptr);
}

} // namespace
