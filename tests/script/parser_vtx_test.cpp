// The .vtx editor's lines: dummy image, file version, EXIF switch, inactive
// images.
#include "stitcher/formats/image_file.h"
#include "stitcher/formats/jpeg.h"
#include "tests/formats/format_testing.h"
#include "tests/script/script_testing.h"

#include <cstdlib>

using namespace scripttest;
using ::testing::ExitedWithCode;

namespace
{

TEST(Preprocess, DummyImageBecomesAComment)
{
    parser_state_guard guard;
    std::string script = "p w10\n#-dummyimage\no f3 v75 nd.jpg\no v=0 na.jpg\n";
    preprocess_script(script.data());
    EXPECT_EQ(script, "p w10\n#-dummyimage\n# f3 v75 nd.jpg\no v=0 na.jpg\n");
    EXPECT_STREQ(global_image_params, "o f3 v75 nd.jpg");
    EXPECT_EQ(get_double('v', "o v=0 na.jpg", 70), 75);
}

TEST(Preprocess, WhatChangesNothing)
{
    parser_state_guard guard;
    vantorix_fileversion = 0;
    // A dummy line without an o-line; a version that is no number.
    std::string script = "p w10\n#-dummyimage\n#-fileversion x2\n";
    preprocess_script(script.data());
    EXPECT_EQ(script, "p w10\n#-dummyimage\n#-fileversion x2\n");
    EXPECT_EQ(global_image_params, nullptr);
    EXPECT_EQ(vantorix_fileversion, 0);
    std::string versioned = "#-fileversion 31\n#-fileversion 5\n";
    preprocess_script(versioned.data());
    EXPECT_EQ(vantorix_fileversion, 31);
}

TEST(Preprocess, ExifSwitch)
{
    REQUIRE_TOOL("cjpeg");
    REQUIRE_TOOL("exiftool");
    std::string jpeg = scratch_dir() + "/o6.jpg";
    std::string ppm = "P6\n24 16\n255\n" + std::string(24 * 16 * 3, '\x80');
    ASSERT_EQ(sh("cjpeg > " + jpeg, ppm).status, 0);
    ASSERT_EQ(sh("exiftool -q -overwrite_original -n -Orientation=6 " + jpeg).status, 0);
    image_size plain, turned;
    std::string off = "#-honorexiforientation 0\n", on = "#-honorexiforientation 1\n";
    preprocess_script(off.data());
    ASSERT_EQ(get_image_size(jpeg.c_str(), &plain), 0);
    preprocess_script(on.data());
    ASSERT_EQ(get_image_size(jpeg.c_str(), &turned), 0);
    set_honor_exiforientation(0);
    EXPECT_NE(plain.width, plain.height);
    EXPECT_EQ(plain.width, turned.height);
    EXPECT_EQ(plain.height, turned.width);
}

TEST(InactiveImages, CmpIntSortsDescending)
{
    int v[] = {3, -1, 7, 3, 0, 12};
    qsort(v, 6, sizeof(int), cmp_int);
    EXPECT_EQ(std::vector<int>(v, v + 6), (std::vector<int>{12, 7, 3, 3, 0, -1}));
    int a = 1, b = 2;
    EXPECT_GT(cmp_int(&a, &b), 0);
    EXPECT_LT(cmp_int(&b, &a), 0);
    EXPECT_EQ(cmp_int(&a, &a), 0);
}

// Five records marked by their blend weight; the survivors' marks.
std::vector<int> survivors(const std::string &line, int count = 5)
{
    image_desc *images = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * size_t(count)));
    for (int i = 0; i < count; i++) {
        images[i] = image_desc{};
        images[i].blend_weight = i;
        images[i].o_line = static_cast<char *>(aligned_malloc(8)); // freed with its record
    }
    int n = remove_inactive_images(line.c_str(), &images, count);
    std::vector<int> marks;
    for (int i = 0; i < n; i++) {
        marks.push_back(images[i].blend_weight);
        free_image_desc(&images[i]);
    }
    aligned_free(images);
    return marks;
}

TEST(InactiveImages, Removal)
{
    const struct {
        std::string line;
        std::vector<int> left;
    } cases[] = {
        {"#-imginactive 1 3", {0, 2, 4}},
        {"#-imginactive 3 1", {0, 2, 4}},
        {"#-imginactive 7", {0, 1, 2, 3, 4}},
        {"#-imginactive -1 -7", {0, 1, 2, 3, 4}},
        {"#-imginactive 2 2", {0, 1, 4}}, // the second 2 is the record that moved there
        {"#-imginactive 0x1 04", {0, 2, 3}},
        {"#-imginactive", {0, 1, 2, 3, 4}}, // no blank: not the key
        {"#-imginactive 1 x 3", {0, 2, 3, 4}},
        {"#-imginactive 9\n1 2\n", {0, 1, 2, 3, 4}}, // the next line is not read
        {"p w10\n", {0, 1, 2, 3, 4}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(survivors(c.line), c.left) << c.line;
}

TEST(InactiveImages, NoImageLeft)
{
    EXPECT_EXIT(survivors("#-imginactive 0 1 2 3 4"), ExitedWithCode(1), "^No source image found\\.\n$");
    EXPECT_EXIT(survivors("#-imginactive 0", 1), ExitedWithCode(1), "^No source image found\\.\n$");
}

} // namespace
