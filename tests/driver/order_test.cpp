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

// The standalone steps: membership among the first entries of an order, and
// the untaken image with the smallest left (top) edge, the earlier on ties,
// 0 when none is left.
TEST(Order, StepsFindTheNextImage)
{
    const struct {
        std::vector<irectangle> rects;
        std::vector<int> order;
        int count;
        std::vector<int> members; // in_order of 0 .. n - 1
        int min_x, min_y;
    } cases[] = {
        {{{30, 5, 1, 1}, {10, 7, 1, 1}, {20, 3, 1, 1}}, {0, 2, 1}, 0, {0, 0, 0}, 1, 2},
        {{{30, 5, 1, 1}, {10, 7, 1, 1}, {20, 3, 1, 1}}, {0, 2, 1}, 1, {1, 0, 0}, 1, 2},
        {{{30, 5, 1, 1}, {10, 7, 1, 1}, {20, 3, 1, 1}}, {1, 2, 0}, 2, {0, 1, 1}, 0, 0},
        {{{30, 5, 1, 1}, {10, 7, 1, 1}, {20, 3, 1, 1}}, {2, 0, 1}, 3, {1, 1, 1}, 0, 0},
        // Ties: the lower position; negative edges count as smaller.
        {{{5, 5, 1, 1}, {-4, 9, 1, 1}, {5, 5, 1, 1}, {-4, 5, 1, 1}}, {1, 0}, 1, {0, 1, 0, 0}, 3, 0},
        {{{5, 5, 1, 1}, {-4, 9, 1, 1}, {5, 5, 1, 1}, {-4, 5, 1, 1}}, {3, 0, 1}, 2, {1, 0, 0, 1}, 1, 2},
    };
    for (const auto &c : cases) {
        const int n = int(c.rects.size());
        std::vector<image_desc> images(c.rects.size());
        for (int i = 0; i < n; i++)
            images[size_t(i)].dest_rect = c.rects[size_t(i)];
        std::vector<int> members;
        for (int i = 0; i < n; i++)
            members.push_back(in_order(i, c.count, c.order.data()));
        EXPECT_EQ(members, c.members) << c.count;
        EXPECT_EQ(min_rect_x(images.data(), c.order.data(), c.count, n), c.min_x) << c.count;
        EXPECT_EQ(min_rect_y(images.data(), c.order.data(), c.count, n), c.min_y) << c.count;
    }
}
