// What a panorama tells about itself: the colour profile and EXIF of its
// photos, read from their headers before the first row is written, the same
// on every run whatever the threads; EXIF made true to the panorama; EXIF
// orientations honoured on request and otherwise named.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{

bool have_tools()
{
    return have_magick() && file_exists("/usr/bin/exiftool") && file_exists("/usr/bin/tiffcp") &&
           file_exists("/usr/bin/cjpeg");
}

std::string shq(const std::string &s) { return "'" + s + "'"; }

run_result shell(const std::string &command) { return run_program({"/bin/sh", "-c", command}); }

// exiftool's writing of the tag arguments into the file.
void exif_tag(const std::string &file, const std::string &tags)
{
    ASSERT_EQ(shell("exiftool -q -overwrite_original -n " + tags + " " + shq(file)).status, 0) << tags;
}

std::string icc_of(const std::string &file)
{
    return run_program({"/usr/bin/exiftool", "-b", "-icc_profile", file}).out;
}

// The crops scene, small, with its photos in the order 1, 3, 4, 2: the last
// two do not reach the first row, so that a run that wrote row 0 before
// reading photo-02 would miss what it carries.
struct tagged_scene {
    scene_files s;
    std::string script(const std::string &kind, const std::string &name) const
    {
        return reordered_script(s, name, {0, 2, 3, 1}, "p f2 w248 h124 v360 n\"" + kind + "\"");
    }
    std::string photo(int n) const { return s.dir + "/photo-0" + std::to_string(n) + ".jpg"; }
};

tagged_scene small_scene()
{
    tagged_scene t{generate_scene("crops", {"--scale", "0.125", "--format", "jpg"})};
    EXPECT_EQ(t.s.width(), 248);
    return t;
}

// Photo-02 alone carries a profile and a camera's EXIF, thumbnail included.
struct SameBytes : ::testing::TestWithParam<const char *> {
};

TEST_P(SameBytes, OnEveryRunAndTheTaggedPhotosProfile)
{
    if (!have_tools())
        GTEST_SKIP() << "ImageMagick, exiftool, libtiff-tools or libjpeg-turbo-progs is not installed";
    std::string kind = GetParam(), option;
    if (kind.size() > 3 && kind.substr(kind.size() - 3) == " -d")
        option = "-d", kind.resize(kind.size() - 3);
    const tagged_scene t = small_scene();
    const std::string profile = icc_profile_with("Zenthra test RGB");
    write_file(t.s.dir + "/p.icc", profile);
    ASSERT_EQ(shell("convert " + shq(t.photo(1)) + " -resize 16x16 " + shq(t.s.dir + "/thumb.jpg")).status,
              0);
    exif_tag(t.photo(2), "-icc_profile'<='" + shq(t.s.dir + "/p.icc") + " -Make=Zenthra -ExifImageWidth=74 " +
                             "-ExifImageHeight=86 -Orientation=6 -ThumbnailImage'<='" +
                             shq(t.s.dir + "/thumb.jpg"));
    const std::string script = t.script(kind, "s.txt"), out = output_file(kind);
    // Ten runs at once for each thread count: their timing differs the more.
    std::string first;
    for (const char *j : {"1", "2", "8"}) {
        std::string runs;
        for (int i = 0; i < 10; i++) {
            const std::string slot = t.s.dir + "/j" + j + "-" + std::to_string(i);
            mkdir(slot.c_str(), 0777);
            runs += "(" + shq(ZENTHRA_BIN) + " -c -q -s 0 " + option + " -j " + j + " -o " +
                    shq(slot + "/out") + " " + shq(script) + "; echo $? > " + shq(slot + "/status") + ") & ";
        }
        ASSERT_EQ(shell(runs + "wait").status, 0);
        for (int i = 0; i < 10; i++) {
            const std::string slot = t.s.dir + "/j" + j + "-" + std::to_string(i);
            ASSERT_EQ(read_file(slot + "/status"), "0\n") << "-j " << j;
            const std::string bytes = read_file(slot + "/" + out);
            if (first.empty())
                first = bytes;
            EXPECT_TRUE(bytes == first) << "run " << i << " at -j " << j;
        }
    }
    const std::string file = t.s.dir + "/j1-0/" + out;
    if (kind == "PPM")
        return;
    if (kind.rfind("TIFF_m", 0) != 0) {
        EXPECT_TRUE(icc_of(file) == profile);
    } else {
        // A page per photo, in blend order: only photo-02's carries one.
        for (int page = 0; page < 4; page++) {
            const std::string one = t.s.dir + "/page" + std::to_string(page) + ".tif";
            ASSERT_EQ(run_program({"/usr/bin/tiffcp", file + "," + std::to_string(page), one}).status, 0);
            EXPECT_TRUE(icc_of(one) == (page == 3 ? profile : "")) << "page " << page;
        }
    }
    if (kind.rfind("JPEG", 0) == 0) {
        // The photo's EXIF, without its thumbnail, tells the panorama's size.
        run_result r =
            run_program({"/usr/bin/exiftool", "-s", "-s", "-Make", "-ExifImageWidth", "-ExifImageHeight",
                         "-Orientation#", "-ThumbnailImage", "-Validate", file});
        EXPECT_EQ(r.out,
                  "Make: Zenthra\nExifImageWidth: 248\nExifImageHeight: 124\nOrientation: 1\nValidate: OK\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SameBytes,
                         ::testing::Values("JPEG q90", "TIFF", "TIFF -d", "TIFF b1", "TIFF_m", "TIFF_m b1",
                                           "PSD", "PSD -d", "PSB", "PPM"));

// Photos with three profiles and one without: one warning names the profile
// written and the photos that differ, under -q too; a layered TIFF's pages
// each carry their own, and nothing is said.
TEST(Profiles, MixedOnesAreNamed)
{
    if (!have_tools())
        GTEST_SKIP() << "ImageMagick, exiftool, libtiff-tools or libjpeg-turbo-progs is not installed";
    const tagged_scene t = small_scene();
    const std::string adobe = icc_profile_with("Adobe RGB (1998)"),
                      prophoto = icc_profile_with("ProPhoto", true);
    write_file(t.s.dir + "/adobe.icc", adobe);
    write_file(t.s.dir + "/prophoto.icc", prophoto);
    // The same profile written again by another program on another day.
    std::string again = adobe;
    again.replace(24, 12, std::string(12, '\x01'));
    write_file(t.s.dir + "/again.icc", again);
    exif_tag(t.photo(3), "-icc_profile'<='" + shq(t.s.dir + "/adobe.icc"));
    exif_tag(t.photo(2), "-icc_profile'<='" + shq(t.s.dir + "/prophoto.icc"));
    exif_tag(t.photo(4), "-icc_profile'<='" + shq(t.s.dir + "/again.icc"));
    const std::string differ = " of " + t.photo(3) + ". These photos differ:\n  " + t.photo(1) +
                               ": none\n  " + t.photo(2) + ": \"ProPhoto\"\n";
    const struct {
        const char *kind;
        std::string warning;
    } cases[] = {
        {"JPEG q90",
         "Warning: the photos have different colour profiles, and nothing is converted: the panorama "
         "carries \"Adobe RGB (1998)\"" +
             differ},
        {"PPM",
         "Warning: the photos have different colour profiles, and nothing is converted (a PPM panorama "
         "carries none): the first is \"Adobe RGB (1998)\"" +
             differ},
        {"TIFF_m", ""},
    };
    for (const auto &c : cases) {
        run_result r = stitch({"-q", "-s", "0", "-o", t.s.dir + "/out", t.script(c.kind, "s.txt")});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.warning) << c.kind;
    }
    EXPECT_TRUE(icc_of(t.s.dir + "/out.jpg") == adobe);
}

// ---- EXIF orientation ----

struct Orientation : ::testing::Test {
    scene_files s = generate_scene("crops", {"--scale", "0.125", "--format", "ppm"});
    std::string upright = s.dir + "/photo-01.ppm";

    // photo-01 stored turned as orientation n needs (6: a quarter turn
    // counter-clockwise), as JPEG, tagged n; into upright.ppm its pixels as
    // decoded, turned back.
    std::string turned(int n)
    {
        const std::string jpg = s.dir + "/turned-" + std::to_string(n) + ".jpg", ppm = s.dir + "/stored.ppm";
        const char *turn = n == 8 ? "90" : "-90", *back = n == 8 ? "-90" : "90";
        EXPECT_EQ(shell("convert " + shq(upright) + " -rotate " + turn + " " + shq(ppm) +
                        " && cjpeg -quality 95 " + shq(ppm) + " > " + shq(jpg) + " && convert " + shq(jpg) +
                        " -rotate " + back + " " + shq(s.dir + "/upright.ppm"))
                      .status,
                  0);
        exif_tag(jpg, "-Orientation=" + std::to_string(n));
        return jpg;
    }
    // The scene with photo-01 replaced, as name, with the editor's line.
    run_result run(const std::string &photo, const std::string &name, const std::string &line,
                   const std::string &out)
    {
        std::string text = read_file(s.script);
        text.replace(text.find("photo-01.ppm"), 12, photo.substr(s.dir.size() + 1));
        write_file(s.dir + "/" + name, line + "\n" + text);
        return stitch({"-q", "-o", s.dir + "/" + out, s.dir + "/" + name});
    }
};

TEST_F(Orientation, SixAndEightAreHonouredOnRequestAndOthersRefused)
{
    if (!have_tools())
        GTEST_SKIP() << "ImageMagick, exiftool, libtiff-tools or libjpeg-turbo-progs is not installed";
    for (int n : {6, 8}) {
        const std::string jpg = turned(n);
        run_result r = run(jpg, "s.vtx", "#-honorexiforientation 1", "honoured");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(run(s.dir + "/upright.ppm", "u.txt", "", "upright").status, 0);
        EXPECT_TRUE(read_file(s.dir + "/honoured.tif") == read_file(s.dir + "/upright.tif")) << n;
        // Not honoured: stitched as stored, and said so with the size.
        const std::string as_stored = "Warning: " + jpg + " has EXIF orientation " + std::to_string(n) +
                                      ", which this run does not honour: it is stitched as stored.\n"
                                      "Warning: image " +
                                      jpg + " is 124x74 in its file but 74x124 in the script.\n";
        for (const auto &[name, line] :
             {std::pair<const char *, const char *>{"s.vtx", "#-honorexiforientation 0"},
              {"s.txt", "#-honorexiforientation 1"},
              {"t.txt", ""}}) {
            r = run(jpg, name, line, "stored");
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, as_stored) << name << " " << line;
        }
    }
    const std::string jpg = turned(6);
    for (int n : {2, 3, 4, 5, 7}) {
        exif_tag(jpg, "-Orientation=" + std::to_string(n));
        run_result r = run(jpg, "s.vtx", "#-honorexiforientation 1", "refused");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "exif rotation " + std::to_string(n) + " not implemented in " + jpg + "\n");
        EXPECT_FALSE(file_exists(s.dir + "/refused.tif"));
    }
}

} // namespace
