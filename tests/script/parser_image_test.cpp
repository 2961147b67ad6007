// Image records read from o-lines: parse dumps of fixture scripts, and the
// scripts that are refused.
#include "tests/script/script_testing.h"

#include <cmath>

using namespace scripttest;
using ::testing::ExitedWithCode;

namespace
{

class Images : public ::testing::Test
{
  protected:
    static std::string dir;
    static void SetUpTestSuite()
    {
        dir = scratch_dir() + "/";
        write_ppm(dir + "a.ppm", 100, 80);
    }
    std::vector<std::string> parse(const std::string &olines, bool vtx = false)
    {
        return parse_images("p f2 w1000 h500 v360\n" + olines, dir, vtx);
    }
    // The run ends with message when image 1 of olines is read.
    void expect_refused(const std::string &olines, const std::string &message)
    {
        std::string script = "p f2 w1000 h500 v360\n" + olines;
        image_desc d;
        EXPECT_EXIT(parser_get_image(dir.c_str(), script.c_str(), "p f2 w1000 h500 v360", 1, &d),
                    ExitedWithCode(1), literally(message))
            << olines;
    }
};
std::string Images::dir;

const std::string none = " crop{0,0,0,0} sel{0,0,0,0}";

TEST_F(Images, ParseDumps)
{
    const std::string long_name = "my photos/" + std::string(600, 'x') + ".tif";
    const struct {
        std::string olines;
        std::vector<std::string> dump;
    } cases[] = {
        // Size from the file; from the line (no file needed); the line's
        // size wins over the file's; -1 is "not given".
        {"o na.ppm f0 v60", {"a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 9"}},
        {"o w200 h150 nmissing.jpg f3 v120 y90",
         {"missing.jpg 200x150 src{0,0,200,150}" + none + " circle0 shift250 weight100 steps 17 12"}},
        {"o na.ppm w50 h40", {"a.ppm 50x40 src{0,0,50,40}" + none + " circle0 shift0 weight100 steps 17 9"}},
        {"o na.ppm w-1 h30",
         {"a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 9"}},
        // "#-imgfile" gives what the o-line lacks: all three, any length.
        {"o f2 v180 p-90\n#-imgfile 300 200 \"" + long_name + "\"",
         {long_name + " 300x200 src{0,0,300,200}" + none + " circle1 shift0 weight100 steps 17 8 12"}},
        {"o na.ppm w100 h80\no f10 v150 w10\n#-imgfile 1 1 \"ignored\"\n#-imgfile 30 20 \"b.tif",
         {"a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 9",
          "b.tif 30x20 src{0,0,30,20}" + none + " circle1 shift0 weight100 steps 17 13"}},
        // Names with a slash in front or a colon are used as they are.
        {"o n/abs/x.jpg w10 h10\no nC:x.jpg w10 h10",
         {"/abs/x.jpg 10x10 src{0,0,10,10}" + none + " circle0 shift0 weight100 steps 17 9",
          "C:x.jpg 10x10 src{0,0,10,10}" + none + " circle0 shift0 weight100 steps 17 9"}},
        // Crops inside, across the left edge, past the right edge, across
        // top and bottom, and a C that does not scan.
        {"o na.ppm C10,60,5,45",
         {"a.ppm 50x40 src{0,0,50,40} crop{10,5,50,40} sel{0,0,0,0} circle0 shift0 weight100 steps 17 9"}},
        {"o na.ppm C-10,50,0,80",
         {"a.ppm 60x80 src{10,0,50,80} crop{-10,0,60,80} sel{0,0,0,0} circle0 shift0 weight100 steps 17 9"}},
        {"o na.ppm C50,150,0,80",
         {"a.ppm 100x80 src{0,0,50,80} crop{50,0,100,80} sel{0,0,0,0} circle0 shift0 weight100 steps 17 9"}},
        {"o na.ppm C0,100,-20,100",
         {"a.ppm 100x120 src{0,20,100,80} crop{0,-20,100,120} sel{0,0,0,0} circle0 shift0 weight100 steps 17 "
          "9"}},
        {"o w1000 h800 nx.jpg C-100,1100,0,800",
         {"x.jpg 1200x800 src{100,0,1000,800} crop{-100,0,1200,800} sel{0,0,0,0} circle0 shift0 weight100 "
          "steps 17 9"}},
        {"o na.ppm C10,20", {"a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 9"}},
        // A selection, alone and within a crop.
        {"o na.ppm S10,30,20,60",
         {"a.ppm 100x80 src{10,20,20,40} crop{0,0,0,0} sel{10,20,20,40} circle0 shift0 weight100 steps 17 "
          "9"}},
        {"o na.ppm C-10,50,0,80 S0,30,0,40",
         {"a.ppm 60x80 src{10,0,20,40} crop{-10,0,60,80} sel{0,0,30,40} circle0 shift0 weight100 steps 17 "
          "9"}},
        // Without a .vtx dummy image, references read as 0 (f=3 is f0) and
        // the dummy line is an image like the others.
        {"#-dummyimage\no na.ppm f3 v100\no na.ppm f=3 v50",
         {"a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 12",
          "a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 9"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.olines), c.dump) << c.olines;
}

TEST_F(Images, VtxScript)
{
    // The dummy image gives f3 and v75 to the K=0 references; the first
    // viewpoint line belongs to the first image after the dummy, and its
    // z of 1 is a logarithm at file version 30 (nothing at 26). Weights go
    // by position before image 1 is removed; -3 and 9 name no image; the
    // line after the weights is no weight.
    std::string olines = "#-dummyimage\n#-fileversion 30\n#-blendweight 50 0x20 075\n"
                         "#-imginactive 1 -3 9\n#-viewpoint 0 0 1 0 0\n"
                         "o f3 v75 na.ppm\no f=0 v=0 na.ppm\no v=0 y90 nb.jpg w10 h10\no na.ppm f3 v100\n"
                         "o na.ppm\n#-blendweight 1\n";
    std::vector<std::string> expected = {
        "a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight50 steps 17 21 8 12",
        "a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight61 steps 17 12",
        "a.ppm 100x80 src{0,0,100,80}" + none + " circle0 shift0 weight100 steps 17 9",
    };
    EXPECT_EQ(parse(olines, true), expected);
    // Read as a plain script, v=0 is a field of view of 0.
    EXPECT_EXIT(parse(olines), ExitedWithCode(1), "field of view 0 is invalid for projection f0");
}

TEST_F(Images, WeightsStopAtTheEndOfTheirLine)
{
    auto w = parse("#-blendweight 50\n75\no na.ppm\no na.ppm\n", true);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_NE(w[0].find("weight50 "), std::string::npos);
    EXPECT_NE(w[1].find("weight100 "), std::string::npos);
    auto clamped = parse("#-blendweight -5 99999999999 7x\no na.ppm\no na.ppm\no na.ppm\n", true);
    EXPECT_NE(clamped[0].find("weight0 "), std::string::npos);
    EXPECT_NE(clamped[1].find("weight2147483647 "), std::string::npos);
    EXPECT_NE(clamped[2].find("weight7 "), std::string::npos);
}

TEST_F(Images, NoNthOLine)
{
    image_desc d;
    EXPECT_EQ(parser_get_image(dir.c_str(), "p w10\no na.ppm\n", "p w10", 2, &d), -1);
    EXPECT_EQ(parser_get_image(dir.c_str(), "p w10\n", "p w10", 1, &d), -1);
}

TEST_F(Images, NameAndSizeFromTheOLine)
{
    const struct {
        const char *oline;
        int result, width, height;
        const char *name;
    } cases[] = {
        {"o nx.jpg w10 h20", 0, 10, 20, "x.jpg"}, {"o nx.jpg w10", -1, 10, -1, "x.jpg"},
        {"o w10 h20", -1, 10, 20, nullptr},       {"o n w10 h20", -1, 10, 20, nullptr},
        {"o nx.jpg w-1 h5", -1, -1, 5, "x.jpg"},
    };
    for (const auto &c : cases) {
        image_desc d{};
        d.width = d.height = -1;
        EXPECT_EQ(parser_get_name_size(c.oline, &d), c.result) << c.oline;
        EXPECT_EQ(d.width, c.width) << c.oline;
        EXPECT_EQ(d.height, c.height) << c.oline;
        EXPECT_STREQ(d.name, c.name) << c.oline;
        aligned_free(d.name);
    }
}

TEST(ImagePosition, YawPitchRollWithoutWrap)
{
    double y = 1, p = 1, r = 1;
    EXPECT_EQ(get_image_position("o f2 y0 p90 r0 v120", &y, &p, &r), 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(p, 90);
    EXPECT_EQ(r, 0);
    get_image_position("o y370.5 r-3", &y, &p, &r);
    EXPECT_EQ(y, 370.5);
    EXPECT_EQ(p, 0);
    EXPECT_EQ(r, -3);
    EXPECT_EXIT(get_image_position(nullptr, &y, &p, &r), ExitedWithCode(1), "Assertion failed");
}

TEST_F(Images, RefusedImages)
{
    const struct {
        std::string olines, message;
    } cases[] = {
        {"o w10 h10", "Could not get filename for image 1.\n"},
        {"o n w10 h10", "Could not get filename for image 1.\n"},
        {"o w10 h10\n#-imgfile 10 10 \"\"", "Could not get filename for image 1.\n"},
        {"o nnothere.ppm", "Could not read data for image " + dir + "nothere.ppm.\n"},
        {"o nx.jpg w0 h10", "Script-error: image 1 has invalid size 0x10.\n"},
        {"o f0\n#-imgfile 7 0 \"x.jpg\"", "Script-error: image 1 has invalid size 7x0.\n"},
        {"o na.ppm C10,10,0,80", "Script-error: crop of image 1 is empty.\n"},
        {"o na.ppm C60,50,0,80", "Script-error: crop of image 1 is empty.\n"},
        {"o na.ppm C0,100,80,0", "Script-error: crop of image 1 is empty.\n"},
        {"o na.ppm C200,300,0,80", "Script-error: crop of image 1 is empty.\n"},
        {"o na.ppm C-300,-100,0,80", "Script-error: crop of image 1 is empty.\n"},
        {"o na.ppm C-2147483648,2147483647,0,80", "Script-error: image 1 has invalid size 2147483647x80.\n"},
        {"o na.ppm S200,300,0,10", "Script-error: selection of image 1 is empty.\n"},
        {"o na.ppm S10,5,0,10", "Script-error: selection of image 1 is empty.\n"},
        {"o na.ppm ynan", "Script-error: option y of line o na.ppm ynan is not a finite number.\n"},
        {"o na.ppm p1 rinf", "Script-error: option r of line o na.ppm p1 rinf is not a finite number.\n"},
        {"o na.ppm a1e999", "Script-error: option a of line o na.ppm a1e999 is not a finite number.\n"},
        {"o na.ppm t-inf", "Script-error: option t of line o na.ppm t-inf is not a finite number.\n"},
        {"o na.ppm v0", "Script-error: field of view 0 is invalid for projection f0.\n"},
        {"o na.ppm f3 v-10", "Script-error: field of view -10 is invalid for projection f3.\n"},
        {"o na.ppm f2 vnan", "Script-error: field of view nan is invalid for projection f2.\n"},
        {"o na.ppm v180", "Script-error: field of view 180 is invalid for projection f0.\n"},
        {"o na.ppm f8 v200", "Script-error: field of view 200 is invalid for projection f8.\n"},
        {"o na.ppm f11 v180", "Script-error: field of view 180 is invalid for projection f11.\n"},
        {"o na.ppm f5 v720", "Script-error: field of view 720 is invalid for projection f5.\n"},
    };
    for (const auto &c : cases)
        expect_refused(c.olines, c.message);
}

TEST_F(Images, WideFieldsOfViewOutsideTheRectilinearClass)
{
    EXPECT_EQ(parse("o na.ppm f0 v179.9\no na.ppm f3 v360\no na.ppm f4 v400\no na.ppm f10 v719").size(), 4u);
}

TEST_F(Images, UnlistedProjectionWarns)
{
    const struct {
        const char *oline;
        const char *warning;
    } cases[] = {
        {"o na.ppm f11 v50", "Warning: projection f11 is not supported, using rectilinear.\n"},
        {"o na.ppm f-7 v50", "Warning: projection f-7 is not supported, using rectilinear.\n"},
        {"o na.ppm f7 v50", ""},
        {"o na.ppm f-1 v50", ""},
        {"o na.ppm v50", ""},
    };
    for (const auto &c : cases) {
        ::testing::internal::CaptureStderr();
        auto dump = parse(c.oline);
        std::string err = ::testing::internal::GetCapturedStderr();
        if (*c.warning)
            EXPECT_NE(err.find(c.warning), std::string::npos) << err;
        else
            EXPECT_EQ(err.find("Warning"), std::string::npos) << err;
        ASSERT_EQ(dump.size(), 1u);
        EXPECT_NE(dump[0].find("steps 17 9"), std::string::npos);
    }
}

} // namespace
