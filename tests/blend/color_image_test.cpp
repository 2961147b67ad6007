#include "blend_testing.h"
#include "color_testing.h"
#include "stitcher/blend/color_image.h"
#include "stitcher/pipeline/keloerror.h"
#include "testutil.h"

#include <map>

using ::testing::ExitedWithCode;

TEST_F(ColorImage, ColourCodesOfTheFirstImages)
{
    EXPECT_EQ(rgb_of(0), (std::vector<unsigned char>{97, 42, 156}));
    EXPECT_EQ(rgb_of(1), (std::vector<unsigned char>{194, 84, 56}));
    EXPECT_EQ(rgb_of(2), (std::vector<unsigned char>{35, 127, 212}));
    EXPECT_EQ(color_word(0), 0xff9c2a61u);
    EXPECT_EQ(color_word(1), 0xff3854c2u);
}

TEST_F(ColorImage, ImageNumberIsTheSearchOverAllCodes)
{
    std::map<uint32_t, int> searched; // the definition: the first i whose code matches
    for (int i = 254; i >= 0; i--)
        searched[(static_cast<uint32_t>(i + 1) * 0x9C2A61u) & 0xFFFFFF] = i;
    ASSERT_EQ(searched.size(), 255u) << "codes are distinct";
    EXPECT_EQ(searched.count(0), 0u) << "no code is black";
    int found = 0;
    for (uint32_t code = 0; code <= 0xFFFFFF; code++) {
        auto it = searched.find(code);
        int expected = it == searched.end() ? 255 : it->second;
        if (image_number(code) != expected)
            FAIL() << "code " << std::hex << code;
        found += expected != 255;
    }
    EXPECT_EQ(found, 255);
    EXPECT_EQ(image_number(0x1000000u | 0x9C2A61u), 255);
}

TEST_F(ColorImage, ColourReaderRowsAndItsLine)
{
    testing::internal::CaptureStdout();
    image_reader *ir = color_reader(1, 5, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Color reader ff3854c2\n");
    EXPECT_EQ(ir->type, 1u);
    EXPECT_EQ(ir->pixformat, uchar_RGBA);
    EXPECT_EQ(ir->width, 5);
    EXPECT_EQ(ir->height, 3);
    std::vector<unsigned char> pixel = rgb_of(1);
    pixel.push_back(255);
    for (int y = 0; y < 3; y++) {
        unsigned char buf[5 * 4 + 1];
        buf[20] = 0xEE;
        ASSERT_EQ(read_row(ir, y, buf), buf);
        EXPECT_EQ(buf[20], 0xEE) << "no byte past the row";
        const unsigned char *own = static_cast<const unsigned char *>(read_row(ir, y, nullptr));
        for (int x = 0; x < 5; x++) {
            EXPECT_EQ(std::vector<unsigned char>(buf + 4 * x, buf + 4 * x + 4), pixel);
            EXPECT_EQ(std::vector<unsigned char>(own + 4 * x, own + 4 * x + 4), pixel);
        }
    }
    EXPECT_EQ(close_image_reader(ir), 0);
}

TEST_F(ColorImage, ColourLineMovesToStderrWhileStdoutCarriesThePanorama)
{
    reserve_stdout(1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    image_reader *ir = color_reader(0, 1, 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    reserve_stdout(0);
    close_image_reader(ir);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "Color reader ff9c2a61\n");
}

TEST_F(ColorImage, MaskOfRgbaSkipsTheAlpha)
{
    mem_image m(3, 1, uchar_RGBA);
    std::vector<unsigned char> px = {97, 42, 156, 0, 0, 0, 0, 255, 194, 84, 56, 7};
    std::copy(px.begin(), px.end(), m.pixels.begin());
    image_reader *ir = mem_reader(&m);
    image_number_mask *mask = read_mask(ir);
    close_image_reader(ir);
    EXPECT_EQ(std::vector<unsigned char>(mask->bytes, mask->bytes + 3),
              (std::vector<unsigned char>{0, 255, 1}));
    free_mask(mask);
}

TEST_F(ColorImage, MaskNeedsEightBitSamples)
{
    mem_image m(2, 2, ushort_RGB);
    image_reader *ir = mem_reader(&m);
    EXPECT_EXIT(read_mask(ir), ExitedWithCode(1), "get_bytes_per_channel\\( ir->pixformat \\) == 1");
    close_image_reader(ir);
}

TEST_F(ColorImage, TooManyImagesForAMask)
{
    image_number_mask mask = {1, 1, 1, -1, 1, nullptr, 100, 0};
    check_mask_images(&mask, 255);
    check_mask_images(nullptr, 1000);
    EXPECT_EXIT(check_mask_images(&mask, 256), ExitedWithCode(1),
                "^A mask image can tell apart only 255 images; the script has 256\\.\n$");
}

namespace
{
// A mask whose every byte is its column (0..255), on every row.
struct column_mask {
    std::vector<unsigned char> bytes;
    image_number_mask mask;
    column_mask(int width, int height)
    {
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++)
                bytes.push_back(static_cast<unsigned char>(x));
        mask = {1, width, height, -1, bytes.size(), bytes.data(), 100, 0};
    }
};
} // namespace

TEST_F(ColorImage, MaskOverridesTheSeamByImageNumber)
{
    column_mask cm(256, 4);
    float_image seam = random_image(300, 6, 1, 3);
    // The blend rectangle starts at panorama column 0, row 1, and is 256 x 3:
    // seam rows 3..5 and columns 256..299 (pyramid padding) stay as they are.
    image_reader *ir = mask_reader(float_reader(&seam), 3, &cm.mask, irectangle{0, 1, 256, 3});
    EXPECT_EQ(ir->pixformat, float_G);
    EXPECT_EQ(ir->width, 300);
    EXPECT_EQ(ir->height, 6);
    float_image out = read_all(ir);
    EXPECT_EQ(close_image_reader(ir), 0);
    for (int y = 0; y < 6; y++)
        for (int x = 0; x < 300; x++) {
            float expected = seam.at(x, y);
            if (y < 3 && x < 3)
                expected = 0.0f; // an earlier image's colour
            else if (y < 3 && x == 3)
                expected = 255.0f; // image 3's own colour
            ASSERT_EQ(out.at(x, y), expected) << x << "," << y;
        }
}

TEST_F(ColorImage, LookupsOutsideTheMaskLeaveTheSeam)
{
    column_mask cm(8, 2);
    float_image seam = random_image(6, 4, 1, 4);
    // Shifted 4 columns left and one row down: columns 0..3 and panorama
    // row 2 fall outside the mask.
    image_reader *ir = mask_reader(float_reader(&seam), 7, &cm.mask, irectangle{-4, 1, 6, 2});
    float_image out = read_all(ir);
    close_image_reader(ir);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 6; x++) {
            float expected = y == 0 && x >= 4 ? 0.0f : seam.at(x, y); // mask bytes 0, 1 < 7
            EXPECT_EQ(out.at(x, y), expected) << x << "," << y;
        }
}

TEST_F(ColorImage, NoCodePassesEvenForNumbersPastTheCodes)
{
    column_mask cm(256, 1);
    float_image seam = random_image(256, 1, 1, 5);
    image_reader *ir = mask_reader(float_reader(&seam), 256, &cm.mask, irectangle{0, 0, 256, 1});
    float_image out = read_all(ir);
    close_image_reader(ir);
    EXPECT_EQ(out.at(254, 0), 0.0f);
    EXPECT_EQ(out.at(255, 0), seam.at(255, 0)) << "byte 255 is no code, not an earlier image";
}

TEST_F(ColorImage, MaskReaderChecksItsSource)
{
    column_mask cm(4, 4);
    float_image rgba(4, 4, 4);
    image_reader *ir = float_reader(&rgba);
    EXPECT_EXIT(mask_reader(ir, 0, &cm.mask, irectangle{0, 0, 4, 4}), ExitedWithCode(1),
                "ir->pixformat == float_G");
    close_image_reader(ir);
    float_image g(4, 4, 1);
    g.tag = 2;
    ir = float_reader(&g);
    EXPECT_EXIT(mask_reader(ir, 0, &cm.mask, irectangle{0, 0, 4, 4}), ExitedWithCode(1),
                "\\(ir->type & 3\\) == \\(mask->type & 3\\)");
    close_image_reader(ir);
}
