// The read-ahead reader: the source's rows, each fetched once, in order, by a
// thread of its own that stays within its ring.
#include "chain_testing.h"
#include "stitcher/pipeline/ramfs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>

namespace
{

using Prefetch = ChainTest;

void *follow_read(image_reader *ir, int n, void *)
{
    static_cast<std::vector<int> *>(ir->data)->push_back(n);
    return nullptr;
}

// Counts reads where the test may look while the fetcher reads.
void *counted_read(image_reader *ir, int, void *buf)
{
    static unsigned char row[12];
    ++*static_cast<std::atomic<int> *>(ir->data);
    return buf ? buf : row;
}

TEST_F(Prefetch, RowsInOrderOnceEachWithFollowers)
{
    for (int height : {0, 1, 7, 100})
        for (int ring : {2, 3, 32}) {
            mem_image m(5, height, uchar_RGB);
            image_reader *ir = prefetch_reader(mem_reader(&m), ring);
            std::vector<int> followed, all(static_cast<size_t>(height));
            image_reader *f = create_image_reader(1, &followed, 5, height, uchar_RGB, follow_read, nullptr);
            synchronize_reader(f, ir);
            unsigned char buf[15];
            for (int r = 0; r < height; r++) {
                r += r == 3; // rows 3 and 4 in one read: row 3 is fetched on the way
                EXPECT_EQ(row_of(read_row(ir, r, nullptr), 15), m.row_copy(r)) << r;
                EXPECT_EQ(read_row(ir, r, buf), buf); // the last row again, copied
                EXPECT_EQ(row_of(buf, 15), m.row_copy(r)) << r;
            }
            close_image_reader(f);
            close_image_reader(ir);
            std::iota(all.begin(), all.end(), 0);
            EXPECT_EQ(m.reads, std::vector<int>(static_cast<size_t>(height), 1));
            EXPECT_EQ(followed, all);
            EXPECT_EQ(m.closes, 1);
        }
}

// Wide rows run fewer ahead, within the bytes, between the bounds, unless
// the whole depth is within an eighth of the store's budget.
TEST_F(Prefetch, RowsAheadWithinTheirBytes)
{
    const struct {
        int64_t budget;
        int width;
        int rows;
    } cases[] = {{0, 1, 64},       {0, 8192, 64},          {0, 16384, 32},         {0, 32768, 16},
                 {0, 1 << 20, 16}, {128 << 20, 16384, 64}, {128 << 20, 32768, 16}, {1 << 30, 32768, 64}};
    for (const auto &c : cases) {
        set_ramfs_budget(c.budget);
        image_reader *ir = create_image_reader(1, nullptr, c.width, 1, float_RGBA, counted_read, nullptr);
        EXPECT_EQ(rows_ahead(ir, 16, 64, size_t(8) << 20), c.rows) << c.width << " in " << c.budget;
        close_image_reader(ir);
    }
    set_ramfs_budget(-1);
}

TEST_F(Prefetch, TheFetcherStaysWithinItsRingAndStopsWhenClosed)
{
    std::atomic<int> reads{0};
    image_reader *ir =
        prefetch_reader(create_image_reader(1, &reads, 4, 50, uchar_RGB, counted_read, nullptr), 6);
    read_row(ir, 10, nullptr);
    // While row 10 is held, rows up to 15 may be fetched, and are.
    for (int i = 0; i < 2000 && reads < 16; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(reads, 16);
    close_image_reader(ir); // with the fetcher waiting for room
    EXPECT_EQ(reads, 16);
}

// The last `window` rows read again as they were while the fetcher runs
// ahead; a ring past the deep rings' budget is refused.
TEST_F(Prefetch, WindowRowsReadAgainWhileTheFetcherRunsAhead)
{
    mem_image m(4, 60, uchar_RGB);
    image_reader *ir = prefetch_window_reader(mem_reader(&m), 8, 4, "test-ahead");
    ASSERT_NE(ir, nullptr);
    for (int r = 0; r < 60; r += 3) {
        read_row(ir, r, nullptr);
        for (int back = r; back >= 0 && back > r - 8; back--)
            ASSERT_EQ(row_of(read_row(ir, back, nullptr), 12), m.row_copy(back)) << r << " " << back;
    }
    close_image_reader(ir);
    set_ramfs_budget(1000);
    image_reader *src = mem_reader(&m);
    EXPECT_EQ(prefetch_window_reader(src, 100, 4, "test-ahead"), nullptr);
    close_image_reader(src);
    set_ramfs_budget(-1);
}

TEST_F(Prefetch, OnlyTheLastRowsCanBeReadAgain)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mem_image m(4, 9, uchar_RGB);
    image_reader *ir = prefetch_reader(mem_reader(&m), 4);
    read_row(ir, 5, nullptr);
    EXPECT_EXIT(read_row(ir, 4, nullptr), testing::ExitedWithCode(1),
                "^Read buffer too small, is 1, should be 2\n");
    EXPECT_EQ(row_of(read_row(ir, 5, nullptr), 12), m.row_copy(5));
    close_image_reader(ir);
    ir = prefetch_window_reader(mem_reader(&m), 3, 2, "test-ahead");
    read_row(ir, 7, nullptr);
    EXPECT_EXIT(read_row(ir, 4, nullptr), testing::ExitedWithCode(1),
                "^Read buffer too small, is 3, should be 4\n");
    close_image_reader(ir);
}

} // namespace
