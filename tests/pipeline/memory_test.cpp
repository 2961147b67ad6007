// Aligned blocks, small and large (large ones are backed by huge pages where
// the system offers them).
#include "stitcher/pipeline/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

TEST(Memory, BlocksAreAlignedAndWholeForEverySize)
{
    for (size_t size : {size_t(0), size_t(1), size_t(100), size_t(8) << 20, (size_t(9) << 20) + 5})
        for (size_t alignment : {size_t(1), size_t(16), size_t(64), size_t(4096)}) {
            unsigned char *p = static_cast<unsigned char *>(aligned_malloc(size, alignment));
            ASSERT_NE(p, nullptr) << size;
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << size << " " << alignment;
            memset(p, 0x5a, size);
            EXPECT_TRUE(size == 0 || (p[0] == 0x5a && p[size - 1] == 0x5a));
            aligned_free(p);
            unsigned char *z = static_cast<unsigned char *>(aligned_calloc(size, 1, alignment));
            EXPECT_TRUE(size == 0 || (z[0] == 0 && z[size - 1] == 0));
            aligned_free(z);
        }
}
