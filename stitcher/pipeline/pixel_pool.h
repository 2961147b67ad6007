// The threads that do pixel work, shared by every stage.
//
// Permits: -j n allows n threads to warp, blend and decode at once. A
// thread holds a permit while it works and gives it back while it waits for
// another thread (blocking_wait), so that the threads of a pipeline never
// exceed n busy ones, and never deadlock on permits. Without
// set_pixel_threads there is no limit (tests of single stages).
//
// The pool: n - 1 workers that take shares of the jobs that any thread
// posts. A job is cut into shares that do not depend on which thread runs
// them; the posting thread runs share 0 itself and then helps with the
// rest, so a job completes even when no worker is free. A post wakes only
// as many sleeping workers as it has shares for others.
#pragma once
#include <atomic>
#include <cstdint>

// n >= 1 permits and n - 1 workers (started with the first job), and the
// calling thread takes a permit; n <= 0 lifts the limit and leaves no
// worker. Call before other threads start (once in the program; tests call
// it again between cases).
void set_pixel_threads(int n);
int pixel_threads(void); // n, or 1 before set_pixel_threads

// A thread of a pipeline stage takes a permit when it starts pixel work and
// gives it back when it ends (the main thread has one from
// set_pixel_threads). Both do nothing when there is no limit.
void permit_take(void);
void permit_give(void);

// Around a wait for another thread: the permit, if this thread holds one,
// is given back for the wait and taken again after it.
struct blocking_wait {
    bool held;
    blocking_wait();
    ~blocking_wait();
};

// Waits until the word (read atomically) differs from old, giving the permit
// back meanwhile; with `check`, wakes every 100 ms to call it (it may end
// the run: Cancel). wake_word wakes every waiter of the word; the writer
// stores the word first.
int wait_word(const int *word, int old, void (*check)(void) = nullptr);
void wake_word(const int *word);

// Sleeps until word differs from old, after a short spin, giving the permit
// back meanwhile; sleepers counts the sleeping threads, so that
// wake_sleepers calls the kernel only when someone sleeps. The waker stores
// the word first, then calls wake_sleepers. Returns the new value.
int sleep_until_changed(const std::atomic<int> &word, int old, std::atomic<int> &sleepers);
void wake_sleepers(const std::atomic<int> &word, const std::atomic<int> &sleepers);

typedef void (*share_fn)(void *ctx, int share);

// A job as its poster holds it. The pool keeps the open jobs in slots of
// its own; a job without a slot (none free, or no workers) runs on its
// poster alone.
struct pool_job {
    share_fn fn;
    void *ctx;
    int32_t count;
    int32_t slot; // -1: none
    int32_t next; // without a slot: the next share to run
};

// Posts shares 1 .. count - 1 of fn to the workers; the caller runs share 0
// itself, before or while it calls pool_wait.
void pool_begin(pool_job *job, int count, share_fn fn, void *ctx);
// Helps with the shares not yet claimed and waits for shares 1 .. count - 1.
void pool_wait(pool_job *job);
// pool_wait, then withdraws the job; after it returns its storage may go.
void pool_end(pool_job *job);
// fn(ctx, 0 .. count - 1) on this thread and the workers.
void pool_run(int count, share_fn fn, void *ctx);

// f(share) for share 0 .. count - 1, on the pool.
template <class F> void pool_for(int count, F &&f)
{
    pool_run(
        count, [](void *ctx, int share) { (*static_cast<F *>(ctx))(share); }, &f);
}

// fn(ctx, x0, x1) over consecutive ranges of the columns 0 .. width - 1,
// each at least min_width wide, on this thread and the pool, before the
// pool's other jobs: a row's stage cut by columns gives the same values
// whatever the cut.
typedef void (*columns_fn)(void *ctx, int x0, int x1);
void pool_columns(int width, int min_width, columns_fn fn, void *ctx);

template <class F> void pool_columns_for(int width, int min_width, F &&f)
{
    pool_columns(
        width, min_width, [](void *ctx, int x0, int x1) { (*static_cast<F *>(ctx))(x0, x1); }, &f);
}

// Stops and joins the workers; the next job starts them again.
void pool_stop(void);
