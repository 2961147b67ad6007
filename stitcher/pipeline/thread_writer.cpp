#include "stitcher/pipeline/thread_writer.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pthreads.h"

#include <atomic>
#include <cstring>
#include <new>

static const char msg_exit[] = "Received exit";

enum { NBUF = 5 };

// The caller only raises handed_in, the thread only raises written; the
// release/acquire pairs publish the row bytes with the counts.
struct thread_writer_data {
    image_writer *iw;
    size_t row_length;
    void *buf[NBUF];
    std::atomic<int64_t> handed_in;
    std::atomic<int64_t> written;
    std::atomic<int> stop;
    std::atomic<int> signal; // raised with every row handed in and by the stop
    zthread *thread;
};

static void *writer_thread(void *arg)
{
    thread_writer_data *td = static_cast<thread_writer_data *>(arg);
    int64_t done = td->written.load(std::memory_order_relaxed);
    for (;;) {
        // The signal first, so that a row or the stop after it wakes the wait.
        // Stop is read before the count: once it is seen, every row handed in
        // is visible.
        const int seen = td->signal.load(std::memory_order_acquire);
        int stop = td->stop.load(std::memory_order_acquire);
        if (done < td->handed_in.load(std::memory_order_acquire)) {
            write_row(td->iw, td->buf[done % NBUF]);
            td->written.store(++done, std::memory_order_release);
            td->written.notify_one();
        } else if (stop) {
            break;
        } else {
            td->signal.wait(seen, std::memory_order_acquire);
        }
    }
    print_stdout(msg_exit);
    for (void *b : td->buf)
        aligned_free(b);
    close_image_writer(td->iw);
    return nullptr;
}

static int thread_write(void *data, void *row)
{
    thread_writer_data *td = static_cast<thread_writer_data *>(data);
    int64_t n = td->handed_in.load(std::memory_order_relaxed), written;
    while (n - (written = td->written.load(std::memory_order_acquire)) >= NBUF)
        td->written.wait(written, std::memory_order_acquire);
    memcpy(td->buf[n % NBUF], row, td->row_length);
    td->handed_in.store(n + 1, std::memory_order_release);
    td->signal.fetch_add(1, std::memory_order_release);
    td->signal.notify_one();
    return 0;
}

static int thread_close(void *data)
{
    thread_writer_data *td = static_cast<thread_writer_data *>(data);
    td->stop.store(1, std::memory_order_release);
    td->signal.fetch_add(1, std::memory_order_release);
    td->signal.notify_one();
    zthread_join(td->thread, nullptr);
    td->~thread_writer_data();
    aligned_free(td);
    return 0;
}

image_writer *thread_writer(image_writer *iw)
{
    void *mem = checked_malloc(sizeof(thread_writer_data), 64);
    thread_writer_data *td =
        new (mem) thread_writer_data{iw, image_row_length(iw), {}, {0}, {0}, {0}, {0}, nullptr};
    for (int i = 0; i < NBUF; i++) {
        td->buf[i] = aligned_malloc(td->row_length);
        kassert(td->buf[i]);
    }
    int fail = zthread_create(&td->thread, nullptr, writer_thread, td);
    kassert(!fail);
    return create_virtual_image_writer(iw->width, iw->height, iw->pixformat, thread_write, thread_close, td);
}
