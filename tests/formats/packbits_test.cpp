#include "stitcher/formats/packbits.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using ::testing::ExitedWithCode;

namespace
{
typedef std::vector<unsigned char> bytes;

class PackBits : public ::testing::Test
{
  protected:
    std::string dir = scratch_dir();
    int open_stream(const std::string &name, size_t largest)
    {
        int fd = open((dir + "/" + name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        return packbits_malloc(fd, largest);
    }
    // The codes that one encode call writes.
    bytes codes_of(const bytes &in)
    {
        int fd = open_stream("codes", in.size());
        EXPECT_EQ(packbits_encode(fd, in.data(), in.size()), in.size());
        std::string file = read_file(dir + "/codes");
        packbits_close(fd);
        return bytes(file.begin(), file.end());
    }
};

// Runs of every length around the chunk size, pairs and noise.
bytes mixed_stream(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    bytes b;
    while (b.size() < n) {
        int kind = static_cast<int>(rng() % 3);
        size_t len = kind == 0 ? 1 + rng() % 300 : kind == 1 ? 2 : 1 + rng() % 40;
        unsigned char v = static_cast<unsigned char>(rng());
        for (size_t i = 0; i < len && b.size() < n; i++)
            b.push_back(kind == 2 ? static_cast<unsigned char>(rng()) : v);
    }
    return b;
}

// Sizes of successive calls that add up to n, from 1 to `most`.
std::vector<size_t> cuts(size_t n, size_t most, std::mt19937 &rng)
{
    std::vector<size_t> c;
    for (size_t done = 0; done < n;) {
        size_t k = std::min(n - done, 1 + rng() % most);
        c.push_back(k);
        done += k;
    }
    return c;
}
} // namespace

TEST_F(PackBits, LongRunIsCodedPerChunk)
{
    EXPECT_EQ(codes_of(bytes(300, 9)), (bytes{0x81, 9, 0x81, 9, 0xD5, 9})); // -127, -127, -43
}

TEST_F(PackBits, PairsStayLiteralAndRunsCloseTheLiteral)
{
    EXPECT_EQ(codes_of({1, 2, 2, 3}), (bytes{3, 1, 2, 2, 3}));
    EXPECT_EQ(codes_of({1, 2, 2, 2, 3}), (bytes{0, 1, 0xFE, 2, 0, 3}));
    // 128 different bytes: one literal code; the 129th starts a new chunk.
    bytes in(129);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = static_cast<unsigned char>(i);
    bytes codes = codes_of(in);
    ASSERT_EQ(codes.size(), 131u);
    EXPECT_EQ(codes[0], 127);
    EXPECT_EQ(codes[129], 0);
    EXPECT_EQ(codes[130], 128);
}

TEST_F(PackBits, RoundTripWithCallsOfOtherSizes)
{
    for (unsigned seed = 1; seed <= 6; seed++) {
        std::mt19937 rng(seed);
        bytes in = mixed_stream(20000 + seed * 977, seed);
        size_t most = seed % 2 ? 300 : 5000;
        int fd = open_stream("round", most);
        size_t at = 0;
        for (size_t k : cuts(in.size(), most, rng)) {
            ASSERT_EQ(packbits_encode(fd, in.data() + at, k), k);
            at += k;
        }
        packbits_rewind(fd);
        bytes out;
        // Exactly sized pieces: the sanitizer sees any byte written past one.
        for (size_t k : cuts(in.size(), seed * 61, rng)) {
            bytes piece(k);
            ASSERT_EQ(packbits_decode(fd, piece.data(), k), k);
            out.insert(out.end(), piece.begin(), piece.end());
        }
        EXPECT_EQ(out, in) << "seed " << seed;
        // A second pass after a new rewind reads the same.
        packbits_rewind(fd);
        bytes again(in.size());
        packbits_decode(fd, again.data(), again.size());
        EXPECT_EQ(again, in);
        packbits_close(fd);
    }
}

TEST_F(PackBits, CodeCutByTheRequestGoesOnInTheNextCall)
{
    int fd = open_stream("cut", 400);
    bytes in(200, 7);
    for (int i = 0; i < 60; i++)
        in.push_back(static_cast<unsigned char>(i * 3));
    packbits_encode(fd, in.data(), in.size());
    packbits_rewind(fd);
    unsigned char guard[8];
    for (size_t i = 0; i < in.size(); i++) {
        memset(guard, 0xEE, sizeof guard);
        packbits_decode(fd, guard + 1, 1);
        ASSERT_EQ(guard[1], in[i]) << "byte " << i;
        ASSERT_EQ(guard[0], 0xEE);
        ASSERT_EQ(guard[2], 0xEE);
    }
    packbits_close(fd);
}

TEST_F(PackBits, StreamsAreIndependent)
{
    int a = open_stream("a", 100), b = open_stream("b", 100);
    bytes x = mixed_stream(5000, 11), y = mixed_stream(5000, 12);
    for (size_t i = 0; i < x.size(); i += 100) {
        packbits_encode(a, x.data() + i, 100);
        packbits_encode(b, y.data() + i, 100);
    }
    packbits_rewind(a);
    packbits_rewind(b);
    bytes rx(x.size()), ry(y.size());
    for (size_t i = 0; i < x.size(); i += 250) {
        packbits_decode(b, ry.data() + i, 250);
        packbits_decode(a, rx.data() + i, 250);
    }
    EXPECT_EQ(rx, x);
    EXPECT_EQ(ry, y);
    packbits_close(a);
    packbits_close(b);
}

TEST_F(PackBits, EncodeCallLargerThanAnnouncedGrowsTheBuffer)
{
    int fd = open_stream("grow", 10);
    bytes in = mixed_stream(100000, 5);
    packbits_encode(fd, in.data(), in.size());
    packbits_rewind(fd);
    bytes out(in.size());
    packbits_decode(fd, out.data(), out.size());
    EXPECT_EQ(out, in);
    packbits_close(fd);
}

TEST_F(PackBits, NoOpCodeIsSkipped)
{
    int fd = open_stream("noop", 0);
    std::string codes = "\x80\x01\x41\x42\xFE\x43";
    ASSERT_EQ(write(fd, codes.data(), codes.size()), static_cast<ssize_t>(codes.size()));
    packbits_rewind(fd);
    unsigned char out[5];
    packbits_decode(fd, out, 5);
    EXPECT_EQ(bytes(out, out + 5), (bytes{'A', 'B', 'C', 'C', 'C'}));
    packbits_close(fd);
}

TEST_F(PackBits, TruncatedOrExhaustedStreamEndsTheRun)
{
    int fd = open_stream("short", 0);
    std::string codes = "\x05\x01\x02"; // promises 6 literal bytes, has 2
    ASSERT_EQ(write(fd, codes.data(), codes.size()), 3);
    packbits_rewind(fd);
    unsigned char out[6];
    EXPECT_EXIT(packbits_decode(fd, out, 1), ExitedWithCode(1),
                "^Compressed stream [0-9]+ ends inside a code\\.\n$");
    packbits_close(fd);

    fd = open_stream("exhausted", 10);
    packbits_encode(fd, "abc", 3);
    packbits_rewind(fd);
    packbits_decode(fd, out, 3);
    EXPECT_EXIT(packbits_decode(fd, out, 1), ExitedWithCode(1), "ends inside a code");
    packbits_close(fd);
}

TEST_F(PackBits, DescriptorOutOfRangeIsAProgrammingError)
{
    EXPECT_EXIT(packbits_malloc(PACKBITS_BUFN, 10), ExitedWithCode(1), "fd >= 0 && fd < PACKBITS_BUFN");
}

TEST_F(PackBits, FailedWriteEndsTheRun)
{
    int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    packbits_malloc(fd, 10);
    EXPECT_EXIT(packbits_encode(fd, "abcdef", 6), ExitedWithCode(1),
                "^Could not write compressed stream [0-9]+: ");
    packbits_close(fd);
}
