// The threaded row reader. Its extra threads start with the reader and live
// until it is closed: starting and joining them for every row cost more than
// the row itself at 8 threads (see bench/warper_bench.cpp). Between rows a
// worker spins briefly, then sleeps on the round counter.
//
// Hand-over: the calling thread writes each worker's row and buffer, sets
// `pending` and raises `round` (release); a worker that sees the new round
// (acquire) reads its share and lowers `pending` (release); the caller's
// acquire of pending == 0 makes every share visible to it.
#include "stitcher/geometry/threadreader.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pthreads.h"

#include <atomic>
#include <cstring>
#include <emmintrin.h>
#include <new>

static const char msg_no_memory[] = "Not enough memory.\n";

struct thread_data;

// One extra thread: its copy of the reader and the current read. On a line
// of its own, so that no two workers share one.
struct alignas(64) thread_arg {
    image_reader *reader;
    int32_t row;
    void *buf;
    thread_data *owner;
    zthread *thread; // null when it could not be started: the caller reads its share
};

struct alignas(64) thread_data {
    image_reader *source; // thread index 0
    int32_t count;
    thread_arg *clones; // count - 1
    alignas(64) std::atomic<uint32_t> round{0};
    alignas(64) std::atomic<int32_t> pending{0};
    std::atomic<int32_t> stop{0};
};

// About 10 to 40 microseconds: rows pulled back to back find their workers
// awake, and idle workers soon leave the processors to others.
static const int spin_rounds = 1000;

static uint32_t wait_round(std::atomic<uint32_t> &round, uint32_t seen)
{
    uint32_t r;
    for (int i = 0; i < spin_rounds; i++) {
        if ((r = round.load(std::memory_order_acquire)) != seen) return r;
        _mm_pause();
    }
    while ((r = round.load(std::memory_order_acquire)) == seen)
        round.wait(seen, std::memory_order_acquire);
    return r;
}

static void wait_done(std::atomic<int32_t> &pending)
{
    int32_t v;
    for (int i = 0; i < spin_rounds; i++) {
        if (pending.load(std::memory_order_acquire) == 0) return;
        _mm_pause();
    }
    while ((v = pending.load(std::memory_order_acquire)) != 0)
        pending.wait(v, std::memory_order_acquire);
}

static void *read_thread_function(void *arg)
{
    thread_arg *a = static_cast<thread_arg *>(arg);
    thread_data *td = a->owner;
    uint32_t seen = 0;
    for (;;) {
        seen = wait_round(td->round, seen);
        if (td->stop.load(std::memory_order_acquire)) return nullptr;
        read_row(a->reader, a->row, a->buf);
        if (td->pending.fetch_sub(1, std::memory_order_acq_rel) == 1) td->pending.notify_one();
    }
}

static void *thread_read_row(image_reader *tr, int n, void *buf)
{
    thread_data *td = static_cast<thread_data *>(tr->data);
    int running = 0;
    for (int i = 0; i < td->count - 1; i++) {
        thread_arg *a = &td->clones[i];
        if (a->thread) {
            a->row = n;
            a->buf = buf;
            running++;
        }
    }
    if (running > 0) {
        td->pending.store(running, std::memory_order_relaxed);
        td->round.fetch_add(1, std::memory_order_release);
        td->round.notify_all();
    }
    void *r = read_row(td->source, n, buf);
    // Shares of threads that could not be started; the row is always complete.
    for (int i = 0; i < td->count - 1; i++)
        if (!td->clones[i].thread) read_row(td->clones[i].reader, n, buf);
    wait_done(td->pending);
    return r;
}

void thread_reader_wait(image_reader *tr)
{
    if (tr) wait_done(static_cast<thread_data *>(tr->data)->pending);
}

static int thread_close(void *data)
{
    thread_data *td = static_cast<thread_data *>(data);
    td->stop.store(1, std::memory_order_relaxed);
    td->round.fetch_add(1, std::memory_order_release);
    td->round.notify_all();
    for (int i = 0; i < td->count - 1; i++) {
        thread_arg *a = &td->clones[i];
        if (a->thread) zthread_join(a->thread, nullptr);
        // The copies never went through create_image_reader: their close
        // functions do not run, and the source's close frees what they share.
        aligned_free(a->reader->data);
        aligned_free(a->reader);
    }
    aligned_free(td->clones);
    int status = close_image_reader(td->source);
    td->~thread_data();
    aligned_free(td);
    return status;
}

image_reader *thread_reader(image_reader *ir, int n)
{
    if (n <= 1) return ir;
    thread_header *head = static_cast<thread_header *>(ir->data);
    kassert(head->size >= static_cast<int32_t>(sizeof(thread_header)));
    void *mem = aligned_malloc(sizeof(thread_data), 64);
    thread_arg *clones =
        static_cast<thread_arg *>(aligned_calloc(static_cast<size_t>(n) - 1, sizeof(thread_arg), 64));
    if (!mem || !clones) print_error(msg_no_memory);
    thread_data *td = new (mem) thread_data;
    td->source = ir;
    td->count = n;
    td->clones = clones;
    head->thread_index = 0;
    head->thread_count = n;
    for (int i = 1; i < n; i++) {
        image_reader *copy = static_cast<image_reader *>(aligned_malloc(sizeof(image_reader)));
        thread_header *h = static_cast<thread_header *>(aligned_malloc(static_cast<size_t>(head->size), 64));
        if (!copy || !h) print_error(msg_no_memory);
        *copy = *ir;
        memcpy(h, head, static_cast<size_t>(head->size));
        h->thread_index = i;
        h->thread_count = n;
        copy->data = h;
        clones[i - 1] = thread_arg{copy, 0, nullptr, td, nullptr};
    }
    // Started only once every copy is complete; a thread that cannot be
    // started leaves its share to the calling thread.
    for (int i = 0; i < n - 1; i++)
        if (zthread_create(&clones[i].thread, nullptr, read_thread_function, &clones[i]) != 0)
            clones[i].thread = nullptr;
    connect_reader(ir);
    return create_image_reader(ir->type, td, ir->width, ir->height, ir->pixformat, thread_read_row,
                               thread_close);
}
