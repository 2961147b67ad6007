// The photos' colour profile and EXIF in the panorama, the same bytes whatever
// the threads; EXIF orientations honoured on request and otherwise named.
#include "e2e_testing.h"

#include <gtest/gtest.h>

namespace
{

#define REQUIRE_TOOLS()                                                                                      \
    if (!have_magick() || !file_exists("/usr/bin/exiftool") || !file_exists("/usr/bin/tiffcp"))              \
    GTEST_SKIP() << "ImageMagick, exiftool or libtiff-tools is not installed"

std::string shq(const std::string &s) { return "'" + s + "'"; }

run_result shell(const std::string &command) { return run_program({"/bin/sh", "-c", command}); }

std::string icc_of(const std::string &f) { return shell("exiftool -b -icc_profile " + shq(f)).out; }

// The crops scene, small, its photos in the order 1, 3, 4, 2: the last two do
// not reach the first row, so a run that wrote row 0 before reading photo-02
// would miss what it carries.
struct tagged_scene {
    scene_files s = generate_scene("crops", {"--scale", "0.125", "--format", "jpg"});
    std::string script(const std::string &kind) const
    {
        return reordered_script(s, "s.txt", {0, 2, 3, 1}, "p f2 w248 h124 v360 n\"" + kind + "\"");
    }
    std::string photo(int n) const { return s.dir + "/photo-0" + std::to_string(n) + ".jpg"; }
    void tag(int n, const std::string &profile, const std::string &tags = "") const
    {
        write_file(photo(n) + ".icc", profile);
        const std::string icc = "-icc_profile'<='" + shq(photo(n) + ".icc");
        ASSERT_EQ(
            shell("exiftool -q -overwrite_original -n " + icc + " " + tags + " " + shq(photo(n))).status, 0);
    }
};

using SameBytes = ::testing::TestWithParam<const char *>;

// Photo-02 alone carries a profile and a camera's EXIF, thumbnail included.
TEST_P(SameBytes, OnEveryRunAndTheTaggedPhotosProfile)
{
    REQUIRE_TOOLS();
    const std::string kind = GetParam(), out = output_file(kind);
    const tagged_scene t;
    const std::string profile = icc_profile_with("Zenthra test RGB"), thumb = t.s.dir + "/thumb.jpg";
    ASSERT_EQ(shell("convert " + shq(t.photo(1)) + " -resize 16x16 " + shq(thumb)).status, 0);
    t.tag(2, profile,
          "-Make=Zenthra -ExifImageWidth=74 -ExifImageHeight=86 -Orientation=6 -ThumbnailImage'<='" +
              shq(thumb));
    // Ten runs at once for each thread count: their timing differs the more.
    const std::string runs = "cd " + shq(t.s.dir) +
                             " && for j in 1 2 8; do for i in 0 1 2 3 4 5 6 7 8 9; do " + "mkdir $j-$i; (" +
                             shq(ZENTHRA_BIN) + " -c -q -s 0 -j $j -o $j-$i/out " + shq(t.script(kind)) +
                             " || echo $j-$i failed) & done; wait; done; for f in [128]-*/" + out +
                             "; do cmp -s $f 1-0/" + out + " || echo $f differs; done";
    ASSERT_EQ(shell(runs).out, "");
    const std::string file = t.s.dir + "/1-0/" + out;
    if (kind.starts_with("TIFF_m")) {
        // A page per photo, in blend order: only photo-02's carries one.
        for (int page = 0; page < 4; page++) {
            const std::string one = t.s.dir + "/page" + std::to_string(page) + ".tif";
            ASSERT_EQ(run_program({"/usr/bin/tiffcp", file + "," + std::to_string(page), one}).status, 0);
            EXPECT_TRUE(icc_of(one) == (page == 3 ? profile : "")) << "page " << page;
        }
    } else if (kind != "PPM") {
        EXPECT_TRUE(icc_of(file) == profile);
    }
    if (kind.starts_with("JPEG")) {
        EXPECT_EQ(run_program({"/usr/bin/exiftool", "-s", "-s", "-Make", "-ExifImageWidth",
                               "-ExifImageHeight", "-Orientation#", "-ThumbnailImage", "-Validate", file})
                      .out,
                  "Make: Zenthra\nExifImageWidth: 248\nExifImageHeight: 124\nOrientation: 1\nValidate: OK\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SameBytes,
                         ::testing::Values("JPEG q90", "TIFF", "TIFF b1", "TIFF_m", "TIFF_m b1", "PSD", "PSB",
                                           "PPM"));

// Photos with three profiles and one without: one warning, under -q too,
// names the profile written and the photos that differ; a layered TIFF's
// pages each carry their own, and nothing is said.
TEST(Profiles, MixedOnesAreNamed)
{
    REQUIRE_TOOLS();
    const tagged_scene t;
    const std::string adobe = icc_profile_with("Adobe RGB (1998)");
    std::string again = adobe; // written again by another program on another day
    again.replace(24, 12, std::string(12, '\x01'));
    t.tag(3, adobe);
    t.tag(2, icc_profile_with("ProPhoto", true));
    t.tag(4, again);
    const std::string warning =
                          "Warning: the photos have different colour profiles, and nothing is converted",
                      differ = " of " + t.photo(3) + ". These photos differ:\n  " + t.photo(1) +
                               ": none\n  " + t.photo(2) + ": \"ProPhoto\"\n";
    const std::pair<const char *, std::string> cases[] = {
        {"JPEG q90", warning + ": the panorama carries \"Adobe RGB (1998)\"" + differ},
        {"PPM", warning + " (a PPM panorama carries none): the first is \"Adobe RGB (1998)\"" + differ},
        {"TIFF_m", ""},
    };
    for (const auto &[kind, want] : cases) {
        run_result r = stitch({"-q", "-s", "0", "-o", t.s.dir + "/out", t.script(kind)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, want) << kind;
    }
    EXPECT_TRUE(icc_of(t.s.dir + "/out.jpg") == adobe);
}

// photo-01 stored turned as orientation n needs (6: a quarter turn
// counter-clockwise), as a JPEG tagged n, in the scene's script instead.
struct Orientation : ::testing::Test {
    scene_files s = generate_scene("crops", {"--scale", "0.125", "--format", "ppm"});
    const std::string jpg = s.dir + "/turned.jpg";
    // That script, as name, with the editor's line first.
    run_result run(const std::string &name, const std::string &line, const std::string &out)
    {
        std::string text = read_file(s.script);
        text.replace(text.find("photo-01.ppm"), 12, "turned.jpg");
        write_file(s.dir + "/" + name, line + "\n" + text);
        return stitch({"-q", "-o", s.dir + "/" + out, s.dir + "/" + name});
    }
};

// The turned pixels themselves are checked by the JPEG reader's tests.
TEST_F(Orientation, SixAndEightAreHonouredOnRequestAndOthersRefused)
{
    REQUIRE_TOOLS();
    for (int n = 2; n <= 8; n++) {
        const std::string on = std::to_string(n), rotate = n == 8 ? " -rotate 90 " : " -rotate -90 ";
        const std::string make =
            "convert photo-01.ppm" + rotate + "turned.jpg && exiftool -q -n -Orientation=" + on;
        ASSERT_EQ(shell("cd " + shq(s.dir) + " && " + make + " -overwrite_original turned.jpg").status, 0);
        run_result r = run("s.vtx", "#-honorexiforientation 1", "honoured" + on);
        if (n != 6 && n != 8) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "exif rotation " + on + " not implemented in " + jpg + "\n");
            EXPECT_FALSE(file_exists(s.dir + "/honoured" + on + ".tif"));
            continue;
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "") << n;
        // Not honoured: stitched as stored, and said so with the size.
        for (const auto &[name, line] :
             {std::pair<const char *, const char *>{"s.vtx", "#-honorexiforientation 0"},
              {"s.txt", "#-honorexiforientation 1"},
              {"t.txt", ""}}) {
            r = run(name, line, "stored");
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err,
                      "Warning: " + jpg + " has EXIF orientation " + on +
                          ", which this run does not honour: it is stitched as stored.\nWarning: image " +
                          jpg + " is 124x74 in its file but 74x124 in the script.\n")
                << name << " " << line;
        }
    }
}

} // namespace
