// The colour-coded mask read from an image file.
#include "stitcher/blend/color_image.h"
#include "stitcher/formats/ppm.h"
#include "tests/blend/color_testing.h"
#include "testutil.h"

#include <vector>

TEST_F(ColorImage, MaskOfAPpmWithCodesAndOtherColours)
{
    // Row 0: image 0, image 1, black, image 0 retouched by one step.
    // Row 1: image 254, image 2, image 2, image 0.
    std::vector<std::vector<unsigned char>> pixels = {rgb_of(0),   rgb_of(1), {0, 0, 0}, {98, 42, 156},
                                                      rgb_of(254), rgb_of(2), rgb_of(2), rgb_of(0)};
    std::string file = "P6\n4 2\n255\n";
    for (auto &p : pixels)
        file.append(p.begin(), p.end());
    std::string name = scratch_dir() + "/mask.ppm";
    write_file(name, file);
    image_reader *ir = ppm_reader(name.c_str());
    ASSERT_NE(ir, nullptr);
    image_number_mask *mask = read_mask(ir);
    EXPECT_EQ(close_image_reader(ir), 0);
    EXPECT_EQ(mask->kind, 1);
    EXPECT_EQ(mask->width, 4);
    EXPECT_EQ(mask->height, 2);
    EXPECT_EQ(mask->pixformat, -1);
    EXPECT_EQ(mask->size, 8u);
    EXPECT_EQ(mask->priority, 100);
    EXPECT_EQ(std::vector<unsigned char>(mask->bytes, mask->bytes + 8),
              (std::vector<unsigned char>{0, 1, 255, 255, 254, 2, 2, 0}));
    free_mask(mask);
}
