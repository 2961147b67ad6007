// The threaded row reader over a reader whose shares count what they write.
#include "chain_testing.h"
#include "stitcher/geometry/threadreader.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pthreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// What all shares of the test reader share.
struct share_state {
    int width = 0;
    std::vector<std::atomic<int>> writes; // per column, over all reads
    std::vector<int> row;                 // the row each column was last written for
    std::thread::id share0_thread;
    int slow_share = -1; // this share sleeps before it works
    int closes = 0;
    explicit share_state(int w) : width(w), writes(static_cast<size_t>(w)), row(static_cast<size_t>(w), -1) {}
};

struct share_record {
    int32_t size, thread_index, thread_count;
    share_state *state;
};

// Share i writes the groups of four columns from 4 i, every 4 count.
void *share_read(image_reader *ir, int n, void *buf)
{
    share_record *r = static_cast<share_record *>(ir->data);
    share_state *s = r->state;
    if (r->thread_index == 0)
        s->share0_thread = std::this_thread::get_id();
    if (r->thread_index == s->slow_share)
        usleep(20000);
    for (int p = 4 * r->thread_index; p < s->width; p += 4 * r->thread_count)
        for (int j = p; j < p + 4 && j < s->width; j++) {
            s->writes[static_cast<size_t>(j)]++;
            s->row[static_cast<size_t>(j)] = n;
        }
    return buf ? buf : s;
}

int share_close(void *data)
{
    share_record *r = static_cast<share_record *>(data);
    r->state->closes++;
    aligned_free(r);
    return 5;
}

image_reader *share_reader(share_state *s)
{
    share_record *r = static_cast<share_record *>(aligned_malloc(sizeof(share_record)));
    *r = {sizeof(share_record), 7, 9, s};
    return create_image_reader(1, r, s->width, 1000, uchar_RGB, share_read, share_close);
}

// The shares run on the pixel pool's workers: as many as the reader asks for.
class ThreadReader : public ChainTest
{
  protected:
    void TearDown() override
    {
        set_pixel_threads(0);
        ChainTest::TearDown();
    }
};

TEST_F(ThreadReader, OneThreadIsTheReaderItself)
{
    share_state s(10);
    image_reader *ir = share_reader(&s);
    EXPECT_EQ(thread_reader(ir, 1), ir);
    EXPECT_EQ(thread_reader(ir, 0), ir);
    EXPECT_EQ(ir->connections, 0);
    EXPECT_EQ(static_cast<share_record *>(ir->data)->thread_index, 7); // untouched
    close_image_reader(ir);
}

TEST_F(ThreadReader, EveryColumnOnceAndTheRowComplete)
{
    for (int n : {2, 3, 8, 33}) {
        for (int width : {1, 5, 64, 1001}) {
            share_state s(width);
            image_reader *ir = share_reader(&s);
            int before = image_reader_count;
            set_pixel_threads(n);
            image_reader *tr = thread_reader(ir, n);
            EXPECT_EQ(image_reader_count, before + 1) << "the copies are no readers of their own";
            EXPECT_EQ(tr->width, width);
            EXPECT_EQ(tr->height, 1000);
            EXPECT_EQ(tr->pixformat, uchar_RGB);
            const int rows[] = {0, 1, 7, 3, 3, 999, 0};
            int reads = 0;
            for (int row : rows) {
                void *r = read_row(tr, row, nullptr);
                reads++;
                EXPECT_EQ(r, &s);
                EXPECT_EQ(s.share0_thread, std::this_thread::get_id());
                for (int j = 0; j < width; j++) {
                    ASSERT_EQ(s.writes[static_cast<size_t>(j)], reads) << n << " threads, column " << j;
                    ASSERT_EQ(s.row[static_cast<size_t>(j)], row);
                }
            }
            // A caller buffer reaches every share, and share 0's result is returned.
            char buf[4];
            EXPECT_EQ(read_row(tr, 5, buf), buf);
            EXPECT_EQ(close_image_reader(tr), 5);
            EXPECT_EQ(s.closes, 1);
        }
    }
}

TEST_F(ThreadReader, ALateThreadDoesNotHoldTheRow)
{
    // Share 1 belongs to the first extra thread; whoever runs it sleeps, and
    // the others take the rest meanwhile. Each share still runs once.
    share_state s(400);
    s.slow_share = 1;
    set_pixel_threads(4);
    image_reader *tr = thread_reader(share_reader(&s), 4);
    for (int row = 0; row < 5; row++) {
        read_row(tr, row, nullptr);
        for (int j = 0; j < s.width; j++)
            ASSERT_EQ(s.writes[static_cast<size_t>(j)], row + 1);
    }
    close_image_reader(tr);
}

TEST_F(ThreadReader, OtherConnectionsKeepTheSource)
{
    share_state s(16);
    image_reader *ir = share_reader(&s);
    connect_reader(ir); // another holder
    image_reader *tr = thread_reader(ir, 3);
    read_row(tr, 2, nullptr);
    EXPECT_EQ(close_image_reader(tr), 0);
    EXPECT_EQ(s.closes, 0);
    EXPECT_EQ(ir->connections, 1);
    // Its own record has index 0 of all shares; it still reads its share alone.
    share_record *rec = static_cast<share_record *>(ir->data);
    EXPECT_EQ(rec->thread_index, 0);
    EXPECT_GT(rec->thread_count, 3);
    EXPECT_EQ(close_image_reader(ir), 5);
    EXPECT_EQ(s.closes, 1);
}

// The read-ahead reader: each source row read once, the one after the last
// handed out included; only that row or the last one again may be asked for.
TEST_F(ThreadReader, RowReaderReadsOneRowAhead)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        int height;
        std::vector<int> rows;
        bool fatal; // at the last row asked for
    } cases[] = {
        {0, {}, false},    {1, {0, 0}, false},   {5, {0, 1, 1, 2, 3, 4, 4}, false}, {5, {0, 1}, false},
        {5, {0, 2}, true}, {5, {0, 1, 0}, true}, {3, {0, 1, 2, 3}, true},           {3, {-1}, true},
    };
    for (const auto &c : cases) {
        mem_image m(4, c.height, uchar_RGB);
        auto run = [&c, &m] {
            image_reader *ir = thread_row_reader(mem_reader(&m));
            unsigned char buf[12];
            for (size_t i = 0; i < c.rows.size(); i++) {
                void *got = read_row(ir, c.rows[i], i % 2 ? buf : nullptr);
                EXPECT_TRUE(i % 2 == 0 || got == buf);
                EXPECT_EQ(row_of(got, 12), m.row_copy(c.rows[i])) << i;
            }
            close_image_reader(ir);
        };
        if (c.fatal) {
            std::string says = "^Cannot read row " + std::to_string(c.rows.back()) + "\n$";
            EXPECT_EXIT(run(), testing::ExitedWithCode(1), says);
            continue;
        }
        run();
        const int last = c.rows.empty() ? -1 : *std::max_element(c.rows.begin(), c.rows.end());
        for (int r = 0; r < c.height; r++)
            EXPECT_EQ(m.reads[static_cast<size_t>(r)], r <= last + 1 ? 1 : 0) << r;
        EXPECT_EQ(m.closes, 1);
    }
}

// Threads that cannot be started leave their shares to the calling thread.
// The address space is held to what the process already uses, so that no
// thread stack can be mapped; that needs a process of its own without the
// sanitizers' reservations.
TEST(ThreadReaderDeathTest, ThreadsThatCannotStart)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        share_state s(203);
        image_reader *ir = share_reader(&s);
        FILE *f = fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (!f || fscanf(f, "%lu", &pages) != 1)
            exit(3);
        fclose(f);
        rlimit lim{};
        lim.rlim_cur = lim.rlim_max = pages * static_cast<unsigned long>(sysconf(_SC_PAGESIZE)) + (1 << 20);
        if (setrlimit(RLIMIT_AS, &lim) != 0)
            exit(3);
        zthread *probe;
        if (zthread_create(
                &probe, nullptr, [](void *) -> void * { return nullptr; }, nullptr) == 0)
            exit(5); // the limit did not stop threads: nothing to test
        set_pixel_threads(4);
        image_reader *tr = thread_reader(ir, 4);
        for (int row = 0; row < 3; row++) {
            read_row(tr, row, nullptr);
            for (int j = 0; j < s.width; j++)
                if (s.writes[static_cast<size_t>(j)] != row + 1)
                    exit(4);
        }
        close_image_reader(tr);
        fprintf(stderr, "complete\n");
        exit(0);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "complete");
#endif
}

} // namespace
