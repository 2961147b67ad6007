#include "stitcher/pipeline/ramfs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

// Sizes and positions past 2^31: only the pages at the end are touched.
TEST(Ramfs, TransfersSeeksAndTheTotal)
{
    // One block of 32-bit x86 stays below 2 GiB (PTRDIFF_MAX).
    const int64_t before = ramfs_total_size, size = (int64_t(1) << (sizeof(void *) == 8 ? 31 : 30)) + 4096;
    int fd = ramfs_open();
    EXPECT_EQ(ramfs_malloc(fd, size), fd);
    EXPECT_EQ(ramfs_total_size, before + size);
    EXPECT_EQ(ramfs_lseek(fd, size - 30, SEEK_SET), size - 30);
    EXPECT_EQ(ramfs_lseek(fd, -10, SEEK_CUR), size - 40);
    EXPECT_EQ(ramfs_lseek(fd, 10, SEEK_CUR), size - 30);
    EXPECT_EQ(ramfs_lseek(fd, 0, SEEK_END), -1);
    EXPECT_EQ(ramfs_write(fd, "0123456789abcdefghijklmnopqrst", 30), 30);
    ramfs_lseek(fd, size - 30, SEEK_SET);
    char *a = static_cast<char *>(ramfs_read_direct(fd, 12)), b[18];
    EXPECT_EQ(ramfs_read(fd, b, 18), 18);
    EXPECT_EQ(std::string(a, 12) + std::string(b, 18), "0123456789abcdefghijklmnopqrst");
    ramfs_close(fd);
    EXPECT_EQ(ramfs_total_size, before);
}

// Clearing zeroes the whole block, whatever its size.
TEST(Ramfs, ClearZeroesTheWholeBlock)
{
    for (int64_t size : {0, 1, 100003}) {
        int fd = ramfs_open();
        ramfs_malloc(fd, size);
        std::vector<unsigned char> bytes(static_cast<size_t>(size), 0xA5), zeros(bytes.size(), 0);
        ramfs_write(fd, bytes.data(), size);
        ramfs_clear(fd);
        ramfs_lseek(fd, 0, SEEK_SET);
        ramfs_read(fd, bytes.data(), size);
        EXPECT_EQ(bytes, zeros) << size;
        ramfs_close(fd);
    }
}

// The main thread and the panorama writer thread open and close RAM files
// at the same time; afterwards every slot is free, the 1001st open fails
// and a freed slot is reused.
TEST(Ramfs, TwoThreadsLoseNoSlotAndNoByte)
{
    auto rounds = [](int seed, int *bad) {
        unsigned char buf[256];
        for (int r = 0; r < 100000; r++) {
            int64_t n = 1 + (r * 7 + seed) % 256;
            int fd = ramfs_open();
            ramfs_malloc(fd, n);
            memset(buf, seed + r, static_cast<size_t>(n));
            ramfs_write(fd, buf, n);
            ramfs_lseek(fd, 0, SEEK_SET);
            const unsigned char *p = static_cast<const unsigned char *>(ramfs_read_direct(fd, n));
            *bad += p[0] != buf[0] || p[n - 1] != buf[0];
            ramfs_close(fd);
        }
    };
    int bad1 = 0, bad2 = 0;
    std::thread t1(rounds, 1, &bad1), t2(rounds, 2, &bad2);
    t1.join();
    t2.join();
    EXPECT_EQ(bad1 + bad2, 0);
    EXPECT_EQ(ramfs_total_size, 0);
    std::vector<int> fds(RAMFS_NFILES);
    for (int &fd : fds)
        fd = ramfs_open();
    EXPECT_EQ(fds.back(), RAMFS_NFILES - 1) << "a slot was lost";
    EXPECT_EQ(ramfs_open(), -1);
    ramfs_close(17);
    EXPECT_EQ(ramfs_open(), 17);
    for (int fd : fds)
        ramfs_close(fd);
}
