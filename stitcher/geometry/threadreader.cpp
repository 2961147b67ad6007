// The threaded row reader.
//
// A row is cut into shares_per_thread shares per thread and posted to the
// pixel pool as one job: share 0 is the caller's, the others go to
// whichever worker is free, so a thread that is late, descheduled or busy
// with another stage costs nothing but the share it is reading. The job's
// completion count hands the shares back (pixel_pool.h).
#include "stitcher/geometry/threadreader.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pthreads.h"

#include <atomic>
#include <cstring>
#include <new>

// Under load from other programs a finer cut finishes rows sooner; 8 loses
// again to the claims and to the spread of each share over the whole row.
static const int shares_per_thread = 4;

struct thread_data {
    image_reader *source;  // share 0, always read by the calling thread
    int32_t count;         // shares
    image_reader **clones; // shares 1 .. count - 1
    int32_t row = 0;       // the read of the current job
    void *buf = nullptr;
    pool_job job;
};

static void read_share(void *ctx, int share)
{
    thread_data *td = static_cast<thread_data *>(ctx);
    read_row(td->clones[share - 1], td->row, td->buf);
}

static void *thread_read_row(image_reader *tr, int n, void *buf)
{
    thread_data *td = static_cast<thread_data *>(tr->data);
    td->row = n;
    td->buf = buf;
    pool_begin(&td->job, td->count, read_share, td);
    void *r = read_row(td->source, n, buf);
    pool_end(&td->job);
    return r;
}

void thread_reader_wait(image_reader *tr)
{
    if (tr)
        pool_wait(&static_cast<thread_data *>(tr->data)->job);
}

static int thread_close(void *data)
{
    thread_data *td = static_cast<thread_data *>(data);
    for (int i = 0; i < td->count - 1; i++) {
        // The copies never went through create_image_reader: their close
        // functions do not run, and the source's close frees what they share.
        aligned_free(td->clones[i]->data);
        aligned_free(td->clones[i]);
    }
    aligned_free(td->clones);
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
    thread_data *td = new (mem) thread_data;
    td->source = ir;
    td->count = count;
    td->clones = static_cast<image_reader **>(clones);
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
