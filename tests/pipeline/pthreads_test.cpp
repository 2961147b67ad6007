#include "stitcher/pipeline/pthreads.h"

#include "stitcher/pipeline/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sched.h>
#include <unistd.h>
#include <vector>

static void *count_up(void *p)
{
    static_cast<std::atomic<int> *>(p)->fetch_add(1);
    return nullptr;
}

static void *wait_for(void *p)
{
    while (!static_cast<std::atomic<int> *>(p)->load())
        zsched_yield();
    return nullptr;
}

TEST(Threads, StartAndJoin)
{
    std::atomic<int> counter{0};
    zthread *threads[16];
    for (auto &t : threads)
        ASSERT_EQ(0, zthread_create(&t, nullptr, count_up, &counter));
    for (auto &t : threads)
        EXPECT_EQ(0, zthread_join(t, nullptr));
    EXPECT_EQ(16, counter.load());

    // Joining a thread that has already ended returns at once.
    zthread *t;
    ASSERT_EQ(0, zthread_create(&t, nullptr, count_up, &counter));
    while (counter.load() != 17)
        zsched_yield();
    usleep(1000);
    EXPECT_EQ(0, zthread_join(t, nullptr));

    // A timed join gives up while the thread runs, and joins once it ended.
    std::atomic<int> release{0};
    ASSERT_EQ(0, zthread_create(&t, nullptr, wait_for, &release));
    EXPECT_EQ(-1, zthread_timed_join(t, 20));
    release = 1;
    while (zthread_timed_join(t, 20) != 0) {
    }
}

// As many threads at once as -j 1024 and the stages on top start, on 32-bit
// x86 too, where their stacks (kept until joined) share 4 GiB.
TEST(Threads, ThousandAtOnce)
{
    std::atomic<int> counter{0};
    std::vector<zthread *> threads(1040);
    size_t started = 0;
    while (started < threads.size() && zthread_create(&threads[started], nullptr, count_up, &counter) == 0)
        started++;
    for (size_t i = 0; i < started; i++)
        zthread_join(threads[i], nullptr);
    EXPECT_EQ(started, threads.size());
    EXPECT_EQ(counter.load(), int(started));
}

TEST(Threads, ProcessorCountIsTheAffinitySet)
{
    cpu_set_t set;
    ASSERT_EQ(0, sched_getaffinity(0, sizeof set, &set));
    EXPECT_EQ(CPU_COUNT(&set), zsysconf(ZSC_NPROCESSORS));
    EXPECT_EQ(-1, zsysconf(2));
}

TEST(Threads, YieldSleeps)
{
    double t0 = mysecond();
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(0, zsched_yield());
    EXPECT_GE(mysecond() - t0, 100e-6);
}

TEST(Timer, FirstCallAddsNothing)
{
    double before = total_exec_time;
    double first = getcurrenttime();
    EXPECT_GT(first, 1e9); // the time of day itself
    EXPECT_EQ(before, total_exec_time);
    usleep(20000);
    double second = getcurrenttime();
    EXPECT_GE(second, 0.019);
    EXPECT_LT(second, 5.0);
    EXPECT_DOUBLE_EQ(before + second, total_exec_time);
}
