// Decoding source images whole: the crop window, circle and selection, the
// shared buffer and its reuse, colour mode.
#include "stitcher/blend/color_image.h"
#include "stitcher/driver/source_images.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/script/image_desc.h"
#include "tests/formats/format_testing.h"

#include <cstring>
#include <vector>

using ::testing::ExitedWithCode;

namespace
{

class Loading : public FormatTest
{
  protected:
    std::vector<image_desc> images;
    std::vector<std::string> names;

    void TearDown() override
    {
        free_load_data();
        FormatTest::TearDown();
    }
    // A PPM file of the pattern; returns its pixels.
    bytes make(const std::string &name, int width, int height, uint32_t fmt = uchar_RGB, int seed = 0)
    {
        bytes pixels = pattern(width, height, fmt, seed);
        write_all(ppm_writer(path(name).c_str(), width, height, fmt), pixels);
        return pixels;
    }
    image_desc &add(const std::string &name, int width, int height)
    {
        names.push_back(path(name));
        image_desc d{};
        d.index = static_cast<int>(images.size());
        d.width = width;
        d.height = height;
        images.push_back(d);
        for (size_t i = 0; i < images.size(); i++)
            images[i].name = const_cast<char *>(names[i].c_str());
        return images.back();
    }
    void init(int color_mode = 0)
    {
        init_load_data(images.data(), static_cast<int>(images.size()), color_mode);
    }
};

const unsigned char *px(const loaded_image *li, int x, int y)
{
    return static_cast<const unsigned char *>(li->buffer) +
           (static_cast<size_t>(y) * li->width + x) * get_bytes_per_pixel(li->pixformat);
}

TEST_F(Loading, RgbImageGetsAlphaAndARoundedBuffer)
{
    bytes p = make("a.ppm", 5, 3);
    add("a.ppm", 5, 3);
    init();
    loaded_image *li = get_source_image(0);
    EXPECT_EQ(li->kind, 1);
    EXPECT_EQ(li->pixformat, uchar_RGBA);
    EXPECT_EQ(li->width, 5);
    EXPECT_EQ(li->height, 3);
    EXPECT_EQ(li->size, 64u); // 60 rounded up
    EXPECT_EQ(li->priority, 100);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(li->buffer) % 16, 0u);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 5; x++) {
            EXPECT_EQ(0, memcmp(px(li, x, y), &p[static_cast<size_t>(y * 5 + x) * 3], 3));
            EXPECT_EQ(px(li, x, y)[3], 255);
        }
}

TEST_F(Loading, OneBufferWhileTheSizeStays)
{
    make("a.ppm", 6, 4, uchar_RGB, 1);
    bytes b = make("b.ppm", 6, 4, uchar_RGB, 2);
    bytes c = make("c.ppm", 3, 7, ushort_RGB, 3);
    add("a.ppm", 6, 4);
    add("b.ppm", 6, 4);
    add("c.ppm", 3, 7);
    init();
    loaded_image *first = get_source_image(0);
    void *buffer = first->buffer;
    first->priority = 40;
    loaded_image *second = get_source_image(1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->buffer, buffer);
    EXPECT_EQ(second->priority, 100);
    EXPECT_EQ(0, memcmp(px(second, 5, 3), &b[(3 * 6 + 5) * 3], 3));
    loaded_image *third = get_source_image(2);
    EXPECT_EQ(third->pixformat, ushort_RGBA);
    EXPECT_EQ(third->size, 176u); // 168 rounded up
    EXPECT_EQ(0, memcmp(px(third, 2, 6), &c[(6 * 3 + 2) * 6], 6));
}

TEST_F(Loading, CropCircleAndSelection)
{
    make("a.ppm", 8, 6);
    // A window reaching 2 pixels past the left edge: 2 transparent zero
    // pixels start every row.
    image_desc &d = add("a.ppm", 7, 6);
    d.crop_rect = {-2, 0, 7, 6};
    init();
    loaded_image *li = get_source_image(0);
    EXPECT_EQ(li->width, 7);
    for (int y = 0; y < 6; y++) {
        const unsigned char zero[8] = {};
        EXPECT_EQ(0, memcmp(px(li, 0, y), zero, 8)) << y;
        EXPECT_EQ(px(li, 2, y)[3], 255);
    }
    // The selection leaves only its rectangle opaque.
    images[0].crop_rect = {};
    images[0].select_rect = {1, 2, 3, 2};
    li = get_source_image(0);
    EXPECT_EQ(li->width, 8);
    for (int y = 0; y < 6; y++)
        for (int x = 0; x < 8; x++)
            EXPECT_EQ(px(li, x, y)[3], x >= 1 && x < 4 && y >= 2 && y < 4 ? 255 : 0) << x << "," << y;
    // The circle clears the corners.
    images[0].select_rect = {};
    images[0].is_circle = 1;
    li = get_source_image(0);
    EXPECT_EQ(px(li, 0, 0)[3], 0);
    EXPECT_EQ(px(li, 4, 3)[3], 255);
}

TEST_F(Loading, ColourModeIsTheWholeCroppedImage)
{
    make("a.ppm", 8, 6);
    add("a.ppm", 8, 6);
    image_desc &d = add("missing.ppm", 5, 4); // colour mode never opens the file
    d.crop_rect = {3, 2, 5, 4};
    init(1);
    testing::internal::CaptureStdout();
    loaded_image *li = get_source_image(1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Color reader ff3854c2\n");
    EXPECT_EQ(li->width, 5);
    EXPECT_EQ(li->height, 4);
    uint32_t word = color_word(1);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 5; x++)
            EXPECT_EQ(0, memcmp(px(li, x, y), &word, 4)) << x << "," << y;
}

void *no_rows(image_reader *, int, void *) { return nullptr; }

TEST_F(Loading, Refusals)
{
    add("missing.ppm", 5, 3);
    init();
    EXPECT_EXIT(get_source_image(0), ExitedWithCode(1),
                "Could not open imagefile .*missing\\.ppm: No such file or directory\\.");
    // A size past the machine's memory is refused before anything is read.
    image_reader *huge = create_image_reader(1, nullptr, 1000000, 1000000, uchar_RGBA, no_rows, nullptr);
    loaded_image li{};
    EXPECT_EXIT(get_image_buffer(huge, &li), ExitedWithCode(1), "Not enough memory to load source image\\.");
    close_image_reader(huge);
}

} // namespace

namespace
{

// With threads the next image is decoded on a thread of its own while the
// current one stays as it is; an image other than the one ahead is decoded
// when asked for.
TEST_F(Loading, DecodedAhead)
{
    bytes a = make("a.ppm", 6, 4, uchar_RGB, 1);
    bytes b = make("b.ppm", 6, 4, uchar_RGB, 2);
    make("c.ppm", 3, 7, ushort_RGB, 3);
    add("a.ppm", 6, 4);
    add("b.ppm", 6, 4);
    add("c.ppm", 3, 7);
    init();
    set_pixel_threads(2);
    loaded_image *li = get_source_image(0);
    load_source_image_ahead(1);
    EXPECT_EQ(0, memcmp(px(li, 5, 3), &a[(3 * 6 + 5) * 3], 3));
    li = get_source_image(1);
    EXPECT_EQ(0, memcmp(px(li, 5, 3), &b[(3 * 6 + 5) * 3], 3));
    load_source_image_ahead(2);
    li = get_source_image(0);
    EXPECT_EQ(0, memcmp(px(li, 4, 2), &a[(2 * 6 + 4) * 3], 3));
    free_load_data();
    set_pixel_threads(0);
}

} // namespace
