#include "stitcher/pipeline/pixel_pool.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pthreads.h"

#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace
{

// Polls before a thread sleeps, about 15 microseconds: rows follow each
// other closely, and a sleep and its wake-up cost more than that. No pause
// instruction: under a hypervisor it gives the processor away.
const int spin_polls = 50000;

long futex(const void *word, int op, int value, const timespec *timeout)
{
    return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

const int *address(const std::atomic<int> &word) { return reinterpret_cast<const int *>(&word); }

// ---- permits ----

std::atomic<int> limit{0}; // 0: no limit
std::atomic<int> free_permits{0};
std::atomic<int> permit_sleepers{0};
thread_local bool holding = false;

// ---- the pool ----

// The list of open jobs: held for a few loads at a time, by up to n
// threads at once, where a sleeping lock would cost a system call.
struct spin_lock {
    std::atomic_flag flag = ATOMIC_FLAG_INIT;
    void lock()
    {
        while (flag.test_and_set(std::memory_order_acquire))
            while (flag.test(std::memory_order_relaxed)) {
            }
    }
    void unlock() { flag.clear(std::memory_order_release); }
};
spin_lock lock;
pool_job *open_jobs = nullptr; // oldest first
std::vector<zthread *> workers;
std::atomic<int> stopping{0};
// Raised by every post and by the stop: idle workers sleep on it.
std::atomic<int> posted{0};
std::atomic<int> posted_sleepers{0};
int threads = 1;

// A job with shares left to claim, held against its withdrawal; null when
// there is none.
pool_job *take_job()
{
    std::lock_guard<spin_lock> g(lock);
    for (pool_job *j = open_jobs; j; j = j->link)
        if (j->next.load(std::memory_order_relaxed) < j->count) {
            j->users.fetch_add(1, std::memory_order_relaxed);
            return j;
        }
    return nullptr;
}

void run_shares(pool_job *job)
{
    for (;;) {
        int share = job->next.fetch_add(1, std::memory_order_acq_rel);
        if (share >= job->count)
            return;
        job->fn(job->ctx, share);
        if (job->left.fetch_sub(1, std::memory_order_acq_rel) == 1)
            wake_sleepers(job->left, job->sleepers);
    }
}

void *worker(void *)
{
    for (;;) {
        const int seen = posted.load(std::memory_order_acquire);
        if (stopping.load(std::memory_order_acquire))
            return nullptr;
        // The permit first: a job is only ever held by a running worker, so
        // the poster's wait for its workers is short.
        permit_take();
        pool_job *job = take_job();
        if (job) {
            run_shares(job);
            // The last touch: once no worker holds it, the job may go.
            job->users.fetch_sub(1, std::memory_order_release);
        }
        permit_give();
        if (!job)
            sleep_until_changed(posted, seen, posted_sleepers);
    }
}

void start_workers()
{
    for (int i = 1; i < threads; i++) {
        zthread *t;
        // A worker that cannot start leaves its shares to the others.
        if (zthread_create(&t, nullptr, worker, nullptr) == 0)
            workers.push_back(t);
    }
}

} // namespace

int sleep_until_changed(const std::atomic<int> &word, int old, std::atomic<int> &sleepers)
{
    int value;
    for (int i = 0; i < spin_polls; i++)
        if ((value = word.load(std::memory_order_acquire)) != old)
            return value;
    blocking_wait w;
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    while ((value = word.load(std::memory_order_seq_cst)) == old)
        futex(address(word), FUTEX_WAIT_PRIVATE, old, nullptr);
    sleepers.fetch_sub(1, std::memory_order_relaxed);
    return value;
}

void wake_sleepers(const std::atomic<int> &word, const std::atomic<int> &sleepers)
{
    // The changed word was stored before this load: a sleeper that counted
    // itself later sees the new value before it sleeps.
    if (sleepers.load(std::memory_order_seq_cst) > 0)
        futex(address(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void set_pixel_threads(int n)
{
    pool_stop();
    threads = n < 1 ? 1 : n;
    limit = n < 1 ? 0 : n;
    free_permits = threads - 1;
    holding = n >= 1;
}

int pixel_threads(void) { return threads; }

void permit_take(void)
{
    if (!limit.load(std::memory_order_relaxed) || holding)
        return;
    int f = free_permits.load(std::memory_order_acquire);
    for (;;) {
        if (f == 0) {
            permit_sleepers.fetch_add(1, std::memory_order_seq_cst);
            while ((f = free_permits.load(std::memory_order_seq_cst)) == 0)
                futex(address(free_permits), FUTEX_WAIT_PRIVATE, 0, nullptr);
            permit_sleepers.fetch_sub(1, std::memory_order_relaxed);
        } else if (free_permits.compare_exchange_weak(f, f - 1, std::memory_order_acq_rel)) {
            break;
        }
    }
    holding = true;
}

void permit_give(void)
{
    if (!holding)
        return;
    holding = false;
    free_permits.fetch_add(1, std::memory_order_seq_cst);
    if (permit_sleepers.load(std::memory_order_seq_cst) > 0)
        futex(address(free_permits), FUTEX_WAKE_PRIVATE, 1, nullptr);
}

blocking_wait::blocking_wait() : held(holding) { permit_give(); }

blocking_wait::~blocking_wait()
{
    if (held)
        permit_take();
}

int wait_word(const int *word, int old, void (*check)(void))
{
    int value = __atomic_load_n(word, __ATOMIC_ACQUIRE);
    if (value != old)
        return value;
    blocking_wait w;
    const timespec tick = {0, 100000000};
    while ((value = __atomic_load_n(word, __ATOMIC_ACQUIRE)) == old) {
        futex(word, FUTEX_WAIT_PRIVATE, old, check ? &tick : nullptr);
        if (check && __atomic_load_n(word, __ATOMIC_ACQUIRE) == old)
            check();
    }
    return value;
}

void wake_word(const int *word) { futex(word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr); }

void pool_begin(pool_job *job, int count, share_fn fn, void *ctx)
{
    job->fn = fn;
    job->ctx = ctx;
    job->count = count;
    job->next.store(1, std::memory_order_relaxed);
    job->left.store(count - 1, std::memory_order_relaxed);
    job->users.store(0, std::memory_order_relaxed);
    job->sleepers.store(0, std::memory_order_relaxed);
    job->link = nullptr;
    if (count <= 1 || threads <= 1)
        return;
    {
        std::lock_guard<spin_lock> g(lock);
        if (workers.empty())
            start_workers();
        pool_job **tail = &open_jobs;
        while (*tail)
            tail = &(*tail)->link;
        *tail = job;
    }
    posted.fetch_add(1, std::memory_order_seq_cst);
    wake_sleepers(posted, posted_sleepers);
}

void pool_wait(pool_job *job)
{
    run_shares(job);
    int left;
    while ((left = job->left.load(std::memory_order_acquire)) != 0)
        sleep_until_changed(job->left, left, job->sleepers);
}

void pool_end(pool_job *job)
{
    pool_wait(job);
    if (job->count <= 1 || threads <= 1)
        return;
    {
        std::lock_guard<spin_lock> g(lock);
        for (pool_job **p = &open_jobs; *p; p = &(*p)->link)
            if (*p == job) {
                *p = job->link;
                break;
            }
    }
    // A worker that took the job before it left the list is about to find
    // no share to claim; it cannot wake this thread without touching the
    // job after letting it go, so the wait spins.
    for (int i = 1; job->users.load(std::memory_order_acquire) != 0; i++)
        if (i % 1024 == 0)
            sched_yield();
}

void pool_run(int count, share_fn fn, void *ctx)
{
    if (count <= 0)
        return;
    pool_job job;
    pool_begin(&job, count, fn, ctx);
    fn(ctx, 0);
    pool_end(&job);
}

void pool_stop(void)
{
    std::vector<zthread *> joined;
    {
        std::lock_guard<spin_lock> g(lock);
        joined.swap(workers);
    }
    stopping.store(1, std::memory_order_seq_cst);
    posted.fetch_add(1, std::memory_order_seq_cst);
    wake_sleepers(posted, posted_sleepers);
    for (zthread *t : joined)
        zthread_join(t, nullptr);
    stopping.store(0, std::memory_order_release);
}
