// The pixel pool under several posting threads, and the hand-off ring
// between two threads.
#include "chain_testing.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/spill.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace
{

// Four threads post jobs at once: every share runs exactly once, and never
// more than n threads run shares together, posters included.
TEST(Pool, EveryShareOnceAndAtMostNBusy)
{
    const int posters = 4, jobs = 30, shares = 24;
    for (int n : {1, 2, 3, 8}) {
        set_pixel_threads(n);
        std::vector<std::atomic<int>> runs(static_cast<size_t>(posters * jobs * shares));
        std::atomic<int> busy{0}, most{0};
        auto post = [&](int p) {
            permit_take();
            for (int j = 0; j < jobs; j++)
                pool_for(shares, [&](int i) {
                    int now = ++busy, seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    std::this_thread::sleep_for(std::chrono::microseconds(20));
                    runs[static_cast<size_t>((p * jobs + j) * shares + i)]++;
                    --busy;
                });
            permit_give();
        };
        {
            blocking_wait w; // this thread's permit goes to the posters
            std::vector<std::thread> threads;
            for (int p = 0; p < posters; p++)
                threads.emplace_back(post, p);
            for (std::thread &t : threads)
                t.join();
        }
        for (const std::atomic<int> &r : runs)
            ASSERT_EQ(r.load(), 1) << n << " threads";
        EXPECT_LE(most.load(), n);
        EXPECT_GE(most.load(), 1);
    }
    set_pixel_threads(0);
}

// Rows cut by columns from four threads, -j far above the processor count
// too: every column once, in ranges of the least width unless not cut.
TEST(Pool, ColumnsEachOnceInWideEnoughRanges)
{
    const int widths[] = {1, 7, 4095, 4096, 16129};
    for (int n : {2, 8, 256}) {
        set_pixel_threads(n);
        auto post = [&](int p) {
            permit_take();
            for (int j = 0; j < 40; j++) {
                const int width = widths[(j + p) % 5];
                std::vector<std::atomic<int>> runs(static_cast<size_t>(width));
                std::atomic<int> ranges{0}, narrow{0};
                pool_columns_for(width, 1024, [&](int x0, int x1) {
                    ranges++;
                    narrow += x1 - x0 < 1024;
                    for (int x = x0; x < x1; x++)
                        runs[static_cast<size_t>(x)]++;
                });
                for (const std::atomic<int> &r : runs)
                    ASSERT_EQ(r.load(), 1) << width << " columns, " << n << " threads";
                EXPECT_TRUE(ranges == 1 || narrow == 0) << width;
            }
            permit_give();
        };
        blocking_wait w;
        std::vector<std::thread> threads;
        for (int p = 0; p < 4; p++)
            threads.emplace_back(post, p);
        for (std::thread &t : threads)
            t.join();
    }
    set_pixel_threads(0);
}

// Threads of this process.
int tasks() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

// -j far above the processor count starts only the workers that the jobs'
// shares need (one more thread may be a sanitizer's own).
TEST(Pool, WorkersAsManyAsTheSharesNeed)
{
    set_pixel_threads(1024);
    const int before = tasks();
    std::atomic<int> runs{0};
    for (int shares : {3, 3, 2, 40}) {
        pool_for(shares, [&](int) { runs++; });
        EXPECT_LE(tasks() - before, shares == 40 ? 40 : 3) << shares << " shares";
    }
    EXPECT_EQ(runs.load(), 48);
    set_pixel_threads(0);
    EXPECT_LE(tasks(), before + 1);
}

using Handoff = ChainTest;

// A thread pulls the leader and so feeds a ring of four rows; this thread
// takes the rows in order, then, the feeding thread gone, pulls the rest
// itself. With no budget the ring lies in a spill file.
void rows_cross(int64_t budget)
{
    set_ramfs_budget(budget);
    const int height = 200, half = 120;
    counting_source c(5, height);
    image_reader *leader = buffered_reader_2(counting_reader(&c, height), 2);
    connect_reader(leader); // held by the test besides the hand-off
    image_reader *h = handoff_reader(leader, leader, 4);
    EXPECT_EQ(spill_total_size() > 0, budget == 0);
    std::thread puller([&] {
        for (int r = 0; r < half; r++)
            read_row(leader, r, nullptr);
    });
    auto expect_row = [&](int r) {
        const unsigned char *p = static_cast<const unsigned char *>(read_row(h, r, nullptr));
        for (size_t i = 0; i < 15; i++)
            ASSERT_EQ(p[i], counting_source::value(r, i)) << "row " << r;
    };
    for (int r = 0; r < half; r++)
        expect_row(r);
    puller.join();
    handoff_direct(h);
    for (int r = half; r < height; r++)
        expect_row(r);
    for (int produced : c.produced)
        EXPECT_EQ(produced, 1);
    close_image_reader(h);
    close_image_reader(leader);
    EXPECT_EQ(spill_total_size(), 0);
    set_ramfs_budget(-1);
}

TEST_F(Handoff, RowsCrossFromThePullingThread)
{
    rows_cross(-1);
    rows_cross(0);
}

} // namespace
