// The leader/follower pattern of the warp-and-blend loop: one chain pulls the
// rows of a leader while a buffered converter follows it and captures every
// row, so that the source computes each row once.
#include "chain_testing.h"

#include "stitcher/pipeline/memory.h"

class Followers : public ChainTest
{
};

static void expect_rgba_of(const void *row, counting_source &c, int r)
{
    const unsigned char *p = static_cast<const unsigned char *>(row);
    for (int x = 0; x < c.width; x++) {
        for (int k = 0; k < 3; k++)
            ASSERT_EQ(p[4 * x + k], counting_source::value(r, 3 * x + k)) << "row " << r << " pixel " << x;
        ASSERT_EQ(p[4 * x + 3], 255);
    }
}

TEST_F(Followers, EverySourceRowIsProducedOnceAndTheFollowerSeesItUnchanged)
{
    const int W = 5, H = 14, RING = 3;
    counting_source c(W, H);
    image_reader *seq = counting_reader(&c, H);
    void *ring = aligned_malloc(static_cast<size_t>(W) * 3);
    image_reader *leader = buffered_reader_1(seq, ring, 1, static_cast<size_t>(W) * 3, 1);
    connect_reader(leader); // both the follower and the view will close it
    image_reader *follower = toformat(leader, uchar_RGBA, RING);
    synchronize_reader(follower, leader);
    image_reader *view = split_reader(leader, 0, W, uchar_RGB);

    // The view reads ahead by a whole ring at a time; the follower keeps up.
    for (int r = RING - 1; r < 11; r += RING) {
        const unsigned char *v = static_cast<const unsigned char *>(read_row(view, r, nullptr));
        for (size_t i = 0; i < static_cast<size_t>(W) * 3; i++)
            ASSERT_EQ(v[i], counting_source::value(r, i));
        for (int k = r - RING + 1; k <= r; k++)
            expect_rgba_of(read_row(follower, k, nullptr), c, k);
    }
    // Now the follower runs ahead of its leader: the leader's new rows call
    // back into the follower while it is fetching.
    for (int k = 11; k < H; k++) {
        unsigned char buf[W * 4];
        EXPECT_EQ(read_row(follower, k, buf), buf);
        expect_rgba_of(buf, c, k);
    }
    EXPECT_EQ(c.produced, std::vector<int>(H, 1));

    EXPECT_EQ(close_image_reader(follower), 0);
    EXPECT_EQ(c.closes, 0);
    EXPECT_EQ(close_image_reader(view), 0);
    EXPECT_EQ(c.closes, 1);
}

TEST_F(Followers, AFollowerOfALeaderReadInOneJumpGetsEveryRow)
{
    mem_image m(3, 9, uchar_RGB);
    image_reader *leader = buffered_reader_2(mem_reader(&m), 1);
    connect_reader(leader);
    image_reader *follower = toformat(leader, uchar_RGB, 9); // holds the whole image
    synchronize_reader(follower, leader);
    read_row(leader, 8, nullptr);
    for (int r = 0; r < 9; r++) {
        EXPECT_EQ(row_of(read_row(follower, r, nullptr), 9), m.row_copy(r));
        EXPECT_EQ(m.reads[r], 1);
    }
    close_image_reader(follower);
    close_image_reader(leader);
    EXPECT_EQ(m.closes, 1);
}
