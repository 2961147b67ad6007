// The .vtx editor's lines: what changes nothing, inactive images.
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"

#include <gtest/gtest.h>

namespace
{

TEST(ParserVtx, SettingsBeforeThePLine)
{
    std::string script = "p w10\n#-dummyimage\n#-fileversion x2\n";
    preprocess_script(script.data());
    EXPECT_EQ(script, "p w10\n#-dummyimage\n#-fileversion x2\n");
    EXPECT_EQ(global_image_params, nullptr);
    EXPECT_EQ(vantorix_fileversion, 0);
}

// The survivors of five records (marked by blend_weight) and a line.
std::vector<int> survivors(const std::string &line, int count = 5)
{
    image_desc *images = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * size_t(count)));
    for (int i = 0; i < count; i++) {
        images[i] = image_desc{};
        images[i].blend_weight = i;
        images[i].o_line = static_cast<char *>(aligned_malloc(8)); // freed with its record
    }
    std::vector<int> marks;
    for (int i = 0, n = remove_inactive_images(line.c_str(), &images, count); i < n; i++) {
        marks.push_back(images[i].blend_weight);
        free_image_desc(&images[i]);
    }
    aligned_free(images);
    return marks;
}

TEST(ParserVtx, InactiveImages)
{
    const std::pair<std::string, std::vector<int>> cases[] = {
        {"#-imginactive 1 3", {0, 2, 4}},        {"#-imginactive 3 1", {0, 2, 4}},
        {"#-imginactive 7 -1", {0, 1, 2, 3, 4}}, {"#-imginactive 2 2", {0, 1, 4}},
        {"#-imginactive 0x1 04", {0, 2, 3}},     {"#-imginactive 1 x 3", {0, 2, 3, 4}},
        {"#-imginactive", {0, 1, 2, 3, 4}},      {"#-imginactive 9\n1 2", {0, 1, 2, 3, 4}},
    };
    for (const auto &[line, left] : cases)
        EXPECT_EQ(survivors(line), left) << line;
    EXPECT_EXIT(survivors("#-imginactive 0", 1), ::testing::ExitedWithCode(1),
                "^No source image found\\.\n$");
    int v[] = {3, -1, 7, 3, 12};
    qsort(v, 5, sizeof(int), cmp_int);
    EXPECT_EQ(std::vector<int>(v, v + 5), std::vector<int>({12, 7, 3, 3, -1}));
}

} // namespace
