// The order of the images: the first stays first, then left to right (or
// top to bottom), the earlier first on ties, ten numbers a line.
#include "stitcher/driver/order.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"

#include <gtest/gtest.h>

TEST(Order, FirstStaysThenLeftToRight)
{
    const std::tuple<std::vector<int>, bool, const char *> cases[] = {
        {{300, 100, 200, 100}, false, "0  1  3  2  \n"},
        {{300, 100, 200, 100}, true, "0  1  3  2  \n"},
        {{5}, false, "0  \n"},
        {{10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, false, "0  10  9  8  7  6  5  4  3  2  \n1  \n"},
    };
    for (const auto &[keys, by_y, printed] : cases) {
        int n = int(keys.size());
        image_desc *images = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * keys.size()));
        for (int i = 0; i < n; i++) // each marked by its old position
            images[i] = image_desc{}, images[i].blend_weight = i,
            images[i].dest_rect = {by_y ? 0 : keys[i], keys[i], 1, 1};
        ::testing::internal::CaptureStderr();
        images = by_y ? optimize_order_2(images, n) : optimize_order(images, n);
        std::string order;
        for (int i = 0; i < n; i++)
            order += std::to_string(images[i].blend_weight) + "  " + (i % 10 == 9 || i == n - 1 ? "\n" : "");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), std::string("Project reordered to:\n") + printed);
        EXPECT_EQ(order, printed);
        for (int i = 0; i < n; i++)
            EXPECT_EQ(images[i].index, i);
        aligned_free(images);
    }
}

TEST(Order, StandaloneSteps)
{
    const int order[] = {2, 0, 3};
    EXPECT_EQ(std::vector<int>({in_order(3, 3, order), in_order(3, 2, order), in_order(1, 3, order)}),
              std::vector<int>({1, 0, 0}));
    image_desc images[5] = {};
    const int xs[5] = {40, 10, 30, 20, 10}, ys[5] = {5, 6, 1, 9, 1}, all[5] = {0, 1, 2, 3, 4};
    for (int i = 0; i < 5; i++)
        images[i].dest_rect = {xs[i], ys[i], 1, 1};
    EXPECT_EQ(std::vector<int>({min_rect_x(images, order, 0, 5), min_rect_x(images, order, 3, 5),
                                min_rect_y(images, order, 1, 5), min_rect_x(images, all, 5, 5)}),
              std::vector<int>({1, 1, 4, 0}));
}
