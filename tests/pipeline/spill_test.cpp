#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/spill.h"

#include "chain_testing.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// Four threads open, fill, check and close spilled images of random sizes
// at once, as parallel blends will: no byte lands in another image, and at
// the end one file served them all and every extent and block came back.
TEST(Spill, ThreadsShareOneFileAndLoseNothing)
{
    spill_reset();
    auto rounds = [](unsigned seed, int *bad) {
        std::mt19937 rng(seed);
        std::vector<std::pair<int, unsigned char>> open;
        auto check_and_close = [&] {
            auto [index, v] = open.back();
            open.pop_back();
            spill_extent e = spill_where(index);
            std::vector<unsigned char> got(static_cast<size_t>(e.size));
            *bad += pread(e.fd, got.data(), got.size(), e.offset) != e.size ||
                    std::count(got.begin(), got.end(), v) != e.size;
            spill_close(index);
        };
        for (int r = 0; r < 2000; r++) {
            if (open.size() < 8 && rng() % 2) {
                std::vector<unsigned char> bytes(1 + rng() % 20000,
                                                 static_cast<unsigned char>(seed * 64 + r));
                int index = spill_open(static_cast<int64_t>(bytes.size()));
                spill_extent e = spill_where(index);
                *bad += pwrite(e.fd, bytes.data(), bytes.size(), e.offset) != e.size;
                open.push_back({index, bytes[0]});
            } else if (!open.empty()) {
                check_and_close();
            }
        }
        while (!open.empty())
            check_and_close();
    };
    int bad[4] = {};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; t++)
        threads.emplace_back(rounds, t, &bad[t]);
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(bad[0] + bad[1] + bad[2] + bad[3], 0);
    EXPECT_EQ(spill_total_size(), 0);
    EXPECT_EQ(spill_files(), 1);
    int index = spill_open(1);
    spill_extent e = spill_where(index);
    struct stat st;
    EXPECT_EQ(e.offset, 0) << "the extents were not joined again";
    EXPECT_TRUE(fstat(e.fd, &st) == 0 && st.st_blocks * 512 <= 65536) << st.st_blocks << " blocks kept";
    spill_close(index);
}

using SpilledRing = ChainTest;

// A deep ring read at its two ends, as the blend reads it: every row comes
// back as it was, each fetched once, and a row read back keeps its address
// while its neighbours are read.
TEST_F(SpilledRing, ReadAtBothEnds)
{
    set_ramfs_budget(0);
    mem_image m(50, 300, uchar_RGB);
    image_reader *ir = spilled_ring_reader(mem_reader(&m), 200);
    EXPECT_EQ(spill_total_size(), 200 * 256); // rows padded to 256 bytes
    for (int n = 0; n < 300; n++) {
        read_row(ir, std::min(n + 150, 299), nullptr);
        const unsigned char *p = static_cast<const unsigned char *>(read_row(ir, n, nullptr));
        if (n > 0)
            read_row(ir, n - 1, nullptr);
        ASSERT_EQ(bytes(p, p + m.row_bytes()), m.row_copy(n)) << n;
    }
    EXPECT_EQ(std::count(m.reads.begin(), m.reads.end(), 1), 300);
    EXPECT_EXIT(read_row(ir, 99, nullptr), testing::ExitedWithCode(1),
                "^Read buffer too small, is 200, should be 201\n$");
    close_image_reader(ir);
    set_ramfs_budget(-1);
    EXPECT_EQ(spill_total_size(), 0);
}

// A ring that memory cannot hold waits in a spill file, even within the
// budget (ReadAtBothEnds reads such a ring); only when the spill fails too
// does the run end, with the ring's allocation error. 1000 rows of 13600 RGB
// pixels, padded to 40960 bytes.
TEST_F(SpilledRing, WhatMemoryCannotHoldSpills)
{
#ifdef ZENTHRA_SANITIZED
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit under an address-space limit";
#endif
    auto ring = [](bool spill_fails) {
        set_ramfs_budget(int64_t(1) << 40);
        char gone[] = "/tmp/zenthra-gone-XXXXXX"; // made and removed, so that nothing stays behind
        if (spill_fails && (!mkdtemp(gone) || chdir(gone) + rmdir(gone) != 0))
            _exit(2);
        counting_source c(13600, 1000);
        limit_address_space(16 << 20);
        image_reader *ir = spilled_ring_reader(counting_reader(&c, 1000), 1000);
        limit_address_space(-1);
        read_row(ir, 999, nullptr);
        fprintf(stderr, "spilled %lld\n", static_cast<long long>(spill_total_size()));
        close_image_reader(ir);
        _exit(0);
    };
    // Fresh processes: memory that earlier tests freed would still be mapped.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ring(false), testing::ExitedWithCode(0), "^spilled 40960000\n$");
    EXPECT_EXIT(ring(true), testing::ExitedWithCode(1),
                "Temporary images stay in memory.\nCould not allocate 40960000 bytes for imagereader.\n$");
    GTEST_FLAG_SET(death_test_style, "fast");
}

// Out of memory after the spill folder has gone: one message names both.
TEST(SpillDeathTest, NoMemoryAfterTheSpillFailed)
{
#ifdef ZENTHRA_SANITIZED
    GTEST_SKIP() << "the sanitizer ends a refused allocation itself";
#endif
    spill_reset();
    EXPECT_EXIT(ramfs_malloc(ramfs_open(), int64_t(1) << 62), testing::ExitedWithCode(1),
                "^Not enough memory for temporary images.\n$");
    std::string gone = scratch_dir() + "/gone";
    std::filesystem::create_directory(gone);
    EXPECT_EXIT(
        {
            EXPECT_EQ(chdir(gone.c_str()) + rmdir(gone.c_str()), 0);
            EXPECT_EQ(spill_open(100), -1);
            ramfs_malloc(ramfs_open(), int64_t(1) << 62);
        },
        testing::ExitedWithCode(1),
        "^Could not write temporary file in .*: No such file or directory. Temporary images stay in "
        "memory.\nCould not write temporary file in .*: No such file or directory. Not enough memory to "
        "keep it instead.\n$");
}
