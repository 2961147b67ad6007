// The threaded row reader.
//
// The extra threads start with the reader and live until it is closed:
// starting and joining them for every row cost more than a whole warped row
// at 8 threads (bench/warper_bench.cpp). Between rows a worker spins for a
// while, then sleeps on the round counter.
//
// A row is cut into shares_per_thread shares per thread. Share 0 is the
// caller's; the others are claimed one at a time from one counter by
// whichever thread is free, so a thread that is late, descheduled, asleep or
// was never started costs nothing but the share it is reading. A claim past
// the last share fails until the caller opens the next round; a thread late
// enough to claim in a later round than it woke for reads that round's
// share, which the claim makes visible. One counter for all claims: letting
// each thread scan a claim word per share moved every word between the
// processors on every row, which cost a sixth of a warped row at 8 threads.
//
// Hand-over: the calling thread writes the row and buffer of the round,
// sets `pending`, opens the counter at share 1 of the new round and raises
// `round` (release); a claim (acquire) makes the round's row and buffer
// visible; a thread lowers `pending` (release) for the shares it read, and
// the caller's acquire of pending == 0 makes every share visible.
#include "stitcher/geometry/threadreader.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pthreads.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>

// Under load from other programs a finer cut finishes rows sooner; 8 loses
// again to the claims and to the spread of each share over the whole row.
static const int shares_per_thread = 4;

// About the time of one warped row: rows pulled back to back find their
// workers awake. No pause instruction: under a hypervisor a pause loop makes
// the virtual processor give its time away.
static const int64_t spin_ns = 100000;

struct thread_data;

struct thread_worker {
    thread_data *owner;
    int32_t index;   // 1 .. threads - 1; the calling thread is 0
    zthread *thread; // null when it could not be started
};

struct alignas(64) thread_data {
    image_reader *source;   // share 0, always read by the calling thread
    int32_t count;          // shares
    int32_t threads;        // threads, the calling one included
    image_reader **clones;  // shares 1 .. count - 1
    thread_worker *workers; // threads - 1
    int32_t row = 0;        // the read of the current round
    void *buf = nullptr;
    alignas(64) std::atomic<uint32_t> round{0};
    std::atomic<int32_t> stop{0};
    alignas(64) std::atomic<int32_t> next{0};    // the next share to claim
    alignas(64) std::atomic<int32_t> pending{0}; // shares of the round not yet read
};

static int64_t now_ns(void)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Spins for spin_ns, then sleeps on v, until done(value); returns that value.
template <class T, class Done> static T wait_until(std::atomic<T> &v, Done done)
{
    T value;
    const int64_t end = now_ns() + spin_ns;
    for (int i = 1;; i++) {
        if (done(value = v.load(std::memory_order_acquire)))
            return value;
        if (i % 64 == 0 && now_ns() > end)
            break;
    }
    while (!done(value = v.load(std::memory_order_acquire)))
        v.wait(value, std::memory_order_acquire);
    return value;
}

// Claims and reads shares until none is left in the counter's round;
// `pending` is lowered once for all the shares this thread read.
static void run_shares(thread_data *td)
{
    int done = 0;
    for (;;) {
        int share = td->next.fetch_add(1, std::memory_order_acq_rel);
        if (share >= td->count)
            break;
        read_row(td->clones[share - 1], td->row, td->buf);
        done++;
    }
    if (done > 0 && td->pending.fetch_sub(done, std::memory_order_acq_rel) == done)
        td->pending.notify_one();
}

static void *read_thread_function(void *arg)
{
    thread_worker *w = static_cast<thread_worker *>(arg);
    thread_data *td = w->owner;
    uint32_t seen = 0;
    for (;;) {
        seen = wait_until(td->round, [seen](uint32_t r) { return r != seen; });
        if (td->stop.load(std::memory_order_acquire))
            return nullptr;
        run_shares(td);
    }
}

// The calling thread's part after share 0.
static void finish_row(thread_data *td)
{
    run_shares(td);
    wait_until(td->pending, [](int32_t v) { return v == 0; });
}

static void *thread_read_row(image_reader *tr, int n, void *buf)
{
    thread_data *td = static_cast<thread_data *>(tr->data);
    td->row = n;
    td->buf = buf;
    td->pending.store(td->count - 1, std::memory_order_relaxed);
    td->next.store(1, std::memory_order_release);
    td->round.store(td->round.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    td->round.notify_all();
    void *r = read_row(td->source, n, buf);
    finish_row(td);
    return r;
}

void thread_reader_wait(image_reader *tr)
{
    if (tr)
        finish_row(static_cast<thread_data *>(tr->data));
}

static int thread_close(void *data)
{
    thread_data *td = static_cast<thread_data *>(data);
    td->stop.store(1, std::memory_order_relaxed);
    td->round.fetch_add(1, std::memory_order_release);
    td->round.notify_all();
    for (int i = 0; i < td->threads - 1; i++)
        if (td->workers[i].thread)
            zthread_join(td->workers[i].thread, nullptr);
    for (int i = 0; i < td->count - 1; i++) {
        // The copies never went through create_image_reader: their close
        // functions do not run, and the source's close frees what they share.
        aligned_free(td->clones[i]->data);
        aligned_free(td->clones[i]);
    }
    aligned_free(td->clones);
    aligned_free(td->workers);
    int status = close_image_reader(td->source);
    td->~thread_data();
    aligned_free(td);
    return status;
}

image_reader *thread_reader(image_reader *ir, int n)
{
    if (n <= 1)
        return ir;
    thread_header *head = static_cast<thread_header *>(ir->data);
    kassert(head->size >= static_cast<int32_t>(sizeof(thread_header)));
    const int count = n * shares_per_thread;
    void *mem = checked_malloc(sizeof(thread_data), 64);
    void *clones = checked_calloc(static_cast<size_t>(count) - 1, sizeof(image_reader *));
    void *workers = checked_calloc(static_cast<size_t>(n) - 1, sizeof(thread_worker));
    thread_data *td = new (mem) thread_data;
    td->source = ir;
    td->count = count;
    td->threads = n;
    td->clones = static_cast<image_reader **>(clones);
    td->workers = static_cast<thread_worker *>(workers);
    head->thread_index = 0;
    head->thread_count = count;
    for (int i = 1; i < count; i++) {
        image_reader *copy = static_cast<image_reader *>(checked_malloc(sizeof(image_reader)));
        thread_header *h = static_cast<thread_header *>(checked_malloc(static_cast<size_t>(head->size), 64));
        *copy = *ir;
        memcpy(h, head, static_cast<size_t>(head->size));
        h->thread_index = i;
        h->thread_count = count;
        copy->data = h;
        td->clones[i - 1] = copy;
    }
    // Started once every share is complete. A thread that cannot be started
    // leaves its shares to the others.
    for (int i = 0; i < n - 1; i++) {
        thread_worker *w = &td->workers[i];
        *w = {td, i + 1, nullptr};
        if (zthread_create(&w->thread, nullptr, read_thread_function, w) != 0)
            w->thread = nullptr;
    }
    connect_reader(ir);
    return create_image_reader(ir->type, td, ir->width, ir->height, ir->pixformat, thread_read_row,
                               thread_close);
}

// The read-ahead reader. The only hand-over is the join: the thread fills
// its row's buffer, and the caller reads it only after joining.

static const char msg_row[] = "Cannot read row %d\n";

struct thread_row_data {
    image_reader *src;
    void *buf[2]; // row r in buf[r & 1]
    size_t length;
    int delivered; // the row last handed out, -1 before the first
    int reading;   // the row the thread is reading, -1 when none is
    zthread *thread;
};

static void *read_ahead(void *arg)
{
    thread_row_data *t = static_cast<thread_row_data *>(arg);
    void *slot = t->buf[t->reading & 1];
    void *row = read_row(t->src, t->reading, slot);
    if (row != slot)
        memcpy(slot, row, t->length);
    return nullptr;
}

static void start_reading(thread_row_data *t, int n)
{
    t->reading = n;
    int fail = zthread_create(&t->thread, nullptr, read_ahead, t);
    kassert(!fail);
}

static void join_reading(thread_row_data *t)
{
    if (t->reading >= 0)
        zthread_join(t->thread, nullptr);
}

static void *thread_row(image_reader *ir, int n, void *buf)
{
    thread_row_data *t = static_cast<thread_row_data *>(ir->data);
    const bool again = n == t->delivered && n >= 0, next = n == t->reading && n >= 0;
    if (!again) {
        // The thread is joined either way: none is left reading while the
        // run ends.
        join_reading(t);
        t->reading = -1;
        if (!next)
            print_error(msg_row, n);
        t->delivered = n;
        if (n + 1 < ir->height)
            start_reading(t, n + 1);
    }
    if (!buf)
        return t->buf[n & 1];
    memcpy(buf, t->buf[n & 1], t->length);
    return buf;
}

static int thread_row_close(void *data)
{
    thread_row_data *t = static_cast<thread_row_data *>(data);
    join_reading(t);
    aligned_free(t->buf[0]);
    aligned_free(t->buf[1]);
    int status = close_image_reader(t->src);
    aligned_free(t);
    return status;
}

image_reader *thread_row_reader(image_reader *ir)
{
    thread_row_data *t = static_cast<thread_row_data *>(checked_malloc(sizeof(thread_row_data)));
    *t = {ir, {nullptr, nullptr}, image_row_length(ir), -1, -1, nullptr};
    t->buf[0] = aligned_malloc(t->length);
    kassert(t->buf[0]);
    t->buf[1] = aligned_malloc(t->length);
    kassert(t->buf[1]);
    connect_reader(ir);
    if (ir->height > 0)
        start_reading(t, 0);
    return create_image_reader(ir->type, t, ir->width, ir->height, ir->pixformat, thread_row,
                               thread_row_close);
}
