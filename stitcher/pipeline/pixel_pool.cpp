#include "stitcher/pipeline/pixel_pool.h"

#include "stitcher/pipeline/pthreads.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace
{

// Polls before a thread sleeps, about 15 microseconds: rows follow each
// other closely, and a sleep and its wake-up cost more than that. No pause
// instruction: under a hypervisor it gives the processor away. A thread
// polls only while it holds a permit that no other thread waits for.
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

// Processors this process may run on, read when the limit is set.
int processors = 1;

// Whether this thread may poll: it holds a permit nobody waits for, or
// there is no limit. Above the processor count a poller takes the processor
// from a thread with work, so then nobody polls while more threads hold
// permits than there are processors.
bool may_poll()
{
    const int n = limit.load(std::memory_order_relaxed);
    if (!n)
        return true;
    return holding && permit_sleepers.load(std::memory_order_relaxed) == 0 &&
           (n <= processors || n - free_permits.load(std::memory_order_relaxed) <= processors);
}

// ---- the pool ----

// Open jobs live in slots that the pool owns, so a worker that looks at a
// slot late touches only storage that stays: its claim carries the
// generation of the job it read, and fails once the slot holds another.
const int nslots = 64;

struct alignas(64) slot {
    std::atomic<uint64_t> claim{0}; // generation << 32 | next share
    std::atomic<share_fn> fn{nullptr};
    std::atomic<void *> ctx{nullptr};
    std::atomic<int> count{0};
    alignas(64) std::atomic<int> left{0}; // shares 1 .. count - 1 not yet complete
    std::atomic<int> sleepers{0};         // the poster, while it sleeps on left
};

slot slots[nslots];
// A share past any count: the claim of a slot whose next job is being stored.
const uint32_t closed_share = INT32_MAX;
alignas(64) std::atomic<uint64_t> used_slots{0}; // held by a poster
alignas(64) std::atomic<uint64_t> open_slots{0}; // with shares left to claim

std::mutex start_lock;
std::atomic<int> started{0}; // workers running
std::vector<zthread *> workers;
std::atomic<int> stopping{0};
int threads = 1;

// Raised by every post and by the stop: idle workers sleep on it.
alignas(64) std::atomic<int> posted{0};
std::atomic<int> idle_sleepers{0};
std::atomic<int> spinners{0}; // workers polling for a post, a permit in hand

uint64_t bit(int i) { return uint64_t(1) << i; }

// Claims and runs shares of slot i until none is left to claim.
void run_slot(int i)
{
    slot &s = slots[i];
    for (;;) {
        uint64_t c = s.claim.load(std::memory_order_acquire);
        const int share = static_cast<int>(static_cast<uint32_t>(c));
        const int count = s.count.load(std::memory_order_acquire);
        const share_fn fn = s.fn.load(std::memory_order_acquire);
        void *ctx = s.ctx.load(std::memory_order_acquire);
        if (share >= count)
            return;
        // A claim that succeeds proves that count, fn and ctx were this
        // generation's: the slot is posted again only after its last share
        // is claimed, and the poster closes the claim before it stores the
        // next job's fields (closed_share), so a field seen from the next
        // job makes this claim fail.
        if (!s.claim.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel))
            continue;
        if (share + 1 == count)
            open_slots.fetch_and(~bit(i), std::memory_order_release);
        fn(ctx, share);
        // seq_cst: the count must be stored before the poster's sleeper
        // count is read, or its sleep could miss this wake.
        if (s.left.fetch_sub(1, std::memory_order_seq_cst) == 1)
            wake_sleepers(s.left, s.sleepers);
    }
}

// Runs every open job's shares; false when there was none.
bool run_open_jobs()
{
    bool ran = false;
    for (uint64_t open; (open = open_slots.load(std::memory_order_acquire)) != 0; ran = true)
        run_slot(__builtin_ctzll(open));
    return ran;
}

void *worker(void *)
{
    zthread_name("zenthra-pool");
    for (;;) {
        const int seen = posted.load(std::memory_order_acquire);
        if (stopping.load(std::memory_order_acquire))
            return nullptr;
        if (open_slots.load(std::memory_order_acquire)) {
            permit_take();
            run_open_jobs();
            // Rows follow each other: wait for the next post a while with
            // the permit, unless another thread needs it. The permits bound
            // the workers that poll.
            spinners.fetch_add(1, std::memory_order_relaxed);
            for (int i = 0; i < spin_polls && may_poll() && !stopping.load(std::memory_order_relaxed); i++)
                if (open_slots.load(std::memory_order_relaxed) && run_open_jobs())
                    i = 0;
            spinners.fetch_sub(1, std::memory_order_relaxed);
            permit_give();
            continue;
        }
        idle_sleepers.fetch_add(1, std::memory_order_seq_cst);
        if (!open_slots.load(std::memory_order_seq_cst) && !stopping.load(std::memory_order_seq_cst))
            futex(address(posted), FUTEX_WAIT_PRIVATE, seen, nullptr);
        idle_sleepers.fetch_sub(1, std::memory_order_relaxed);
    }
}

// Workers start as jobs first need them: a small panorama at -j 1024 makes
// no more threads than its rows have shares. A job posted while others are
// being started goes to those running, or runs on its poster alone.
bool workers_running(int want)
{
    want = std::min(want, threads - 1);
    const int now = started.load(std::memory_order_acquire);
    if (now >= want)
        return now > 0;
    std::unique_lock<std::mutex> g(start_lock, std::try_to_lock);
    if (!g.owns_lock())
        return now > 0;
    for (int i = started.load(std::memory_order_relaxed); i < want; i++) {
        zthread *t;
        // A worker that cannot start leaves its shares to the others.
        if (zthread_create(&t, nullptr, worker, nullptr) == 0)
            workers.push_back(t);
    }
    // Failed starts count too: they are not tried again for every row.
    started.store(std::max(want, started.load(std::memory_order_relaxed)), std::memory_order_release);
    return !workers.empty();
}

// Workers take the open job of the lowest slot first: the rows cut by
// columns wait on the way to the output, and go to the lower half.
int take_slot(bool urgent)
{
    const uint64_t half = urgent ? 0xffffffffu : ~uint64_t(0xffffffffu);
    uint64_t used = used_slots.load(std::memory_order_relaxed);
    while (~used & half) {
        const int i = __builtin_ctzll(~used & half);
        if (used_slots.compare_exchange_weak(used, used | bit(i), std::memory_order_acquire))
            return i;
    }
    return -1;
}

// Wakes up to n sleeping workers: fewer when some poll already, and no
// more than would find a permit free, or a processor that no permit holder
// runs on.
void wake_workers(int n)
{
    n = std::min(n - spinners.load(std::memory_order_seq_cst), idle_sleepers.load(std::memory_order_seq_cst));
    if (const int most = limit.load(std::memory_order_relaxed)) {
        const int free = free_permits.load(std::memory_order_relaxed);
        n = std::min({n, free, processors - (most - free)});
    }
    if (n > 0)
        futex(address(posted), FUTEX_WAKE_PRIVATE, n, nullptr);
}

} // namespace

int sleep_until_changed(const std::atomic<int> &word, int old, std::atomic<int> &sleepers)
{
    int value;
    for (int i = 0; i < spin_polls; i++) {
        if ((value = word.load(std::memory_order_acquire)) != old)
            return value;
        if (i % 256 == 0 && !may_poll())
            break;
    }
    blocking_wait w;
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    while ((value = word.load(std::memory_order_seq_cst)) == old)
        futex(address(word), FUTEX_WAIT_PRIVATE, old, nullptr);
    sleepers.fetch_sub(1, std::memory_order_relaxed);
    return value;
}

void wake_sleepers(const std::atomic<int> &word, const std::atomic<int> &sleepers)
{
    // The changed word was stored (seq_cst) before this load: a sleeper that
    // counted itself later sees the new value before it sleeps.
    if (sleepers.load(std::memory_order_seq_cst) > 0)
        futex(address(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void set_pixel_threads(int n)
{
    pool_stop();
    threads = n < 1 ? 1 : n;
    processors = static_cast<int>(std::max(1L, zsysconf(ZSC_NPROCESSORS)));
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

// urgent: a job that the path to the output waits for, which workers take
// before the others.
static void post(pool_job *job, int count, share_fn fn, void *ctx, bool urgent)
{
    *job = {fn, ctx, count, -1, 1};
    if (count <= 1 || threads <= 1)
        return;
    const int i = take_slot(urgent);
    if (i < 0)
        return;
    // Enough workers for this job's shares beside those of the other open
    // jobs.
    if (!workers_running((count - 1) * __builtin_popcountll(used_slots.load(std::memory_order_relaxed)))) {
        used_slots.fetch_and(~bit(i), std::memory_order_release);
        return;
    }
    slot &s = slots[i];
    const uint64_t generation = (s.claim.load(std::memory_order_relaxed) >> 32) + 1;
    s.claim.store(generation << 32 | closed_share, std::memory_order_seq_cst);
    s.fn.store(fn, std::memory_order_release);
    s.ctx.store(ctx, std::memory_order_release);
    s.count.store(count, std::memory_order_release);
    s.left.store(count - 1, std::memory_order_relaxed);
    s.claim.store(generation << 32 | 1, std::memory_order_release);
    job->slot = i;
    open_slots.fetch_or(bit(i), std::memory_order_seq_cst);
    posted.fetch_add(1, std::memory_order_seq_cst);
    wake_workers(count - 1);
}

void pool_begin(pool_job *job, int count, share_fn fn, void *ctx) { post(job, count, fn, ctx, false); }

void pool_wait(pool_job *job)
{
    if (job->slot < 0) {
        while (job->next < job->count)
            job->fn(job->ctx, job->next++);
        return;
    }
    slot &s = slots[job->slot];
    run_slot(job->slot);
    int left;
    while ((left = s.left.load(std::memory_order_acquire)) != 0)
        sleep_until_changed(s.left, left, s.sleepers);
}

void pool_end(pool_job *job)
{
    pool_wait(job);
    if (job->slot >= 0)
        used_slots.fetch_and(~bit(job->slot), std::memory_order_release);
    job->slot = -1;
    job->next = job->count;
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

namespace
{
struct columns_job {
    columns_fn fn;
    void *ctx;
    int width, shares;
};

void column_share(void *c, int share)
{
    const columns_job *j = static_cast<const columns_job *>(c);
    j->fn(j->ctx, static_cast<int>(int64_t(j->width) * share / j->shares),
          static_cast<int>(int64_t(j->width) * (share + 1) / j->shares));
}
} // namespace

void pool_columns(int width, int min_width, columns_fn fn, void *ctx)
{
    const int shares = std::min(width / std::max(min_width, 1), 2 * threads);
    if (shares <= 1 || threads <= 1) {
        fn(ctx, 0, width);
        return;
    }
    columns_job j = {fn, ctx, width, shares};
    pool_job job;
    post(&job, shares, column_share, &j, true);
    column_share(&j, 0);
    pool_end(&job);
}

void pool_stop(void)
{
    blocking_wait w; // a worker may wait for a permit before it sees the stop
    std::lock_guard<std::mutex> g(start_lock);
    stopping.store(1, std::memory_order_seq_cst);
    posted.fetch_add(1, std::memory_order_seq_cst);
    futex(address(posted), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
    for (zthread *t : workers)
        zthread_join(t, nullptr);
    workers.clear();
    started.store(0, std::memory_order_release);
    stopping.store(0, std::memory_order_release);
}
