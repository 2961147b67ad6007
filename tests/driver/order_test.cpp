// The order of the images: the first stays first, the rest from left to
// right (or top to bottom).
#include "stitcher/driver/order.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/image_desc.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

namespace
{

// Records at the given x (and y), each named by its old position in
// blend_weight.
image_desc *images_at(const std::vector<int> &xs, const std::vector<int> &ys = {})
{
    image_desc *images = static_cast<image_desc *>(aligned_malloc(sizeof(image_desc) * xs.size()));
    for (size_t i = 0; i < xs.size(); i++) {
        images[i] = image_desc{};
        images[i].index = static_cast<int>(i);
        images[i].dest_rect = {xs[i], ys.empty() ? 0 : ys[i], 10, 10};
        images[i].blend_weight = static_cast<int>(i);
    }
    return images;
}

// The old positions in their new order, and the printed lines.
std::vector<int> reordered(const std::vector<int> &xs, std::string *printed = nullptr, bool by_y = false)
{
    image_desc *images = by_y ? images_at(std::vector<int>(xs.size(), 0), xs) : images_at(xs);
    int n = static_cast<int>(xs.size());
    ::testing::internal::CaptureStderr();
    images = by_y ? optimize_order_2(images, n) : optimize_order(images, n);
    std::string err = ::testing::internal::GetCapturedStderr();
    if (printed)
        *printed = err;
    std::vector<int> old;
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(images[i].index, i);
        old.push_back(images[i].blend_weight);
    }
    aligned_free(images);
    return old;
}

TEST(Order, FirstStaysThenLeftToRight)
{
    std::string printed;
    EXPECT_EQ(reordered({300, 100, 200, 100}, &printed), std::vector<int>({0, 1, 3, 2}));
    EXPECT_EQ(printed, "Project reordered to:\n0  1  3  2  \n");
    EXPECT_EQ(reordered({5}, &printed), std::vector<int>({0}));
    EXPECT_EQ(printed, "Project reordered to:\n0  \n");
    EXPECT_EQ(reordered({0, -50, 7, -50, -51}), std::vector<int>({0, 4, 1, 3, 2}));
    EXPECT_EQ(reordered({300, 100, 200, 100}, nullptr, true), std::vector<int>({0, 1, 3, 2}));
}

TEST(Order, TenEntriesALine)
{
    std::string printed;
    std::vector<int> xs(11);
    std::iota(xs.rbegin(), xs.rend(), 0); // 10, 9, ..., 0
    EXPECT_EQ(reordered(xs, &printed), std::vector<int>({0, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(printed, "Project reordered to:\n0  10  9  8  7  6  5  4  3  2  \n1  \n");
    reordered(std::vector<int>(10, 0), &printed);
    EXPECT_EQ(printed, "Project reordered to:\n0  1  2  3  4  5  6  7  8  9  \n");
}

TEST(Order, SortsLikeAStableSortAfterTheFirst)
{
    std::mt19937 rng(7);
    for (int n : {2, 3, 17, 300}) {
        std::vector<int> xs(static_cast<size_t>(n));
        for (int &x : xs)
            x = static_cast<int>(rng() % 40) - 20;
        std::vector<int> expected(xs.size());
        std::iota(expected.begin(), expected.end(), 0);
        std::stable_sort(expected.begin() + 1, expected.end(), [&](int a, int b) { return xs[a] < xs[b]; });
        EXPECT_EQ(reordered(xs), expected) << n;
    }
}

TEST(Order, StandaloneSteps)
{
    const int order[] = {2, 0, 3};
    EXPECT_EQ(in_order(3, 3, order), 1);
    EXPECT_EQ(in_order(3, 2, order), 0);
    EXPECT_EQ(in_order(1, 3, order), 0);
    EXPECT_EQ(in_order(2, 0, order), 0);
    image_desc *images = images_at({40, 10, 30, 20, 10}, {5, 6, 1, 9, 1});
    EXPECT_EQ(min_rect_x(images, order, 0, 5), 1);
    EXPECT_EQ(min_rect_x(images, order, 2, 5), 1);
    EXPECT_EQ(min_rect_x(images, order, 3, 5), 1);
    EXPECT_EQ(min_rect_y(images, order, 1, 5), 4);
    const int all[] = {0, 1, 2, 3, 4};
    EXPECT_EQ(min_rect_x(images, all, 5, 5), 0);
    const int back[] = {4, 3, 2, 1, 0};
    ::testing::internal::CaptureStderr();
    print_order(back, 5);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Project reordered to:\n4  3  2  1  0  \n");
    images = reorder(images, back, 5);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(images[i].index, i);
        EXPECT_EQ(images[i].blend_weight, 4 - i);
    }
    aligned_free(images);
}

} // namespace
