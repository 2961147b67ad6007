// The allocation tracker: every block listed with its size until released,
// also while threads allocate at once.
#include "stitcher/pipeline/checkmem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

static std::string low32(const void *p) { return std::to_string(uint32_t(reinterpret_cast<uintptr_t>(p))); }

TEST(CheckMem, EveryBlockListedUntilReleased)
{
    char *grown = c_strdup("012345678");
    using block = std::pair<void *, unsigned>;
    std::vector<block> live = {block(c_malloc(100), 100), block(c_calloc(7, 9), 63),
                               block(c_memalign(4096, 10), 10), block(c_realloc(nullptr, 5), 5),
                               block(c_realloc(grown, 5000), 5000)};
    EXPECT_EQ(reinterpret_cast<uintptr_t>(live[2].first) % 4096, 0u);
    EXPECT_EQ(std::string(static_cast<char *>(live[1].first), 63) + static_cast<char *>(live[4].first),
              std::string(63, '\0') + "012345678");
    std::sort(live.begin(), live.end());
    std::string expected = "Allocated memory: 5178 Bytes\n";
    for (auto [p, size] : live)
        expected += "p= " + low32(p) + "   Size= " + std::to_string(size) + " \n";
    testing::internal::CaptureStdout();
    c_report();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected + "Allocated memory2: 5178 Bytes\n");

    // Refusals list nothing; a pointer from elsewhere is reported, not freed.
    EXPECT_EQ(c_calloc(SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(c_memalign(24, 8), nullptr);
    int local;
    testing::internal::CaptureStdout();
    c_free(&local);
    c_free(nullptr);
    EXPECT_EQ(c_realloc(live[0].first, 0), nullptr);
    for (size_t i = 1; i < live.size(); i++)
        c_free(live[i].first);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([] {
            for (size_t i = 0; i < 2000; i++)
                c_free(c_realloc(c_malloc(i), 3000));
        });
    for (auto &t : threads)
        t.join();
    c_report();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Freeing un-malloced pointer " + low32(&local) +
                  "\nAllocated memory: 0 Bytes\nAllocated memory2: 0 Bytes\n");
}
