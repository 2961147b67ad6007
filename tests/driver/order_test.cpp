// The order of the images: the first stays first, then left to right (or
// top to bottom), the earlier first on ties, ten numbers a line. The
// end-to-end stitches see a few images reordered left to right.
#include "stitcher/driver/order.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"

#include <gtest/gtest.h>

TEST(Order, FirstStaysThenLeftToRight)
{
    const std::tuple<std::vector<int>, bool, const char *> cases[] = {
        {{300, 100, 200, 100}, true, "0  1  3  2  \n"},
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

// The steps: membership among the first entries of an order, and the
// untaken image with the smallest left (top) edge, the earlier on ties, 0
// when none is left.
TEST(Order, StepsFindTheNextImage)
{
    const irectangle rects[] = {{30, 5, 1, 1}, {10, 7, 1, 1}, {-4, 3, 1, 1}, {10, 3, 1, 1}};
    std::vector<image_desc> images(4);
    for (size_t i = 0; i < 4; i++)
        images[i].dest_rect = rects[i];
    const struct {
        int order[4], count, members[4], min_x, min_y;
    } cases[] = {{{2, 0, 1, 3}, 0, {0, 0, 0, 0}, 2, 2},
                 {{2, 0, 1, 3}, 2, {1, 0, 1, 0}, 1, 3},
                 {{3, 2, 0, 1}, 3, {1, 0, 1, 1}, 1, 1},
                 {{3, 2, 0, 1}, 4, {1, 1, 1, 1}, 0, 0}};
    for (const auto &c : cases) {
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(in_order(i, c.count, c.order), c.members[i]) << c.count << " " << i;
        EXPECT_EQ(min_rect_x(images.data(), c.order, c.count, 4), c.min_x) << c.count;
        EXPECT_EQ(min_rect_y(images.data(), c.order, c.count, 4), c.min_y) << c.count;
    }
}
