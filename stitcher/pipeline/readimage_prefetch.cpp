// The read-ahead reader: a thread of its own fetches the source's rows in
// order into a ring while the caller works on earlier ones.
//
// The caller may read again the last `window` rows it took; every other slot
// is the fetcher's to fill. Hand-over: the fetcher stores a row in its slot,
// then raises `fetched` (release); the caller, having seen it (acquire),
// raises `held` to the oldest row it may still read (release), and the
// fetcher's acquire of `held` frees the slots of the rows before it.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pthreads.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/readimage.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

static const char msg_window[] = "Read buffer too small, is %d, should be %d\n";
static const char msg_thread[] = "Could not start the read-ahead thread.\n";
static const char msg_no_memory[] = "Not enough memory.\n";

struct alignas(64) prefetch_data {
    image_reader *src;
    unsigned char *ring;
    size_t rowlength;
    int nrows;
    int window = 1; // rows the caller may read again
    int height;
    int64_t counted = 0; // bytes of the deep rings' budget held
    int next = 0;        // the caller's next row to take
    zthread *thread = nullptr;
    const char *name;
    alignas(64) std::atomic<int> fetched{0}; // rows in the ring, from row 0
    std::atomic<int> fetched_sleepers{0};
    alignas(64) std::atomic<int> held{0}; // the caller's oldest row in use
    std::atomic<int> held_sleepers{0};
    std::atomic<int> stop{0};
};

static unsigned char *slot_of(const prefetch_data *pd, int n)
{
    return pd->ring + static_cast<size_t>(n % pd->nrows) * pd->rowlength;
}

// Waits until done(v) holds, spinning first; returns v's value then. The
// thread's permit goes back while it sleeps.
template <class Done> static int wait_for(std::atomic<int> &v, std::atomic<int> &sleepers, Done done)
{
    int value;
    while (!done(value = v.load(std::memory_order_acquire)))
        sleep_until_changed(v, value, sleepers);
    return value;
}

static void *fetch_rows(void *arg)
{
    prefetch_data *pd = static_cast<prefetch_data *>(arg);
    const size_t length = image_row_length(pd->src);
    zthread_name(pd->name);
    permit_take();
    for (int r = 0; r < pd->height; r++) {
        wait_for(pd->held, pd->held_sleepers, [pd, r](int held) {
            return int64_t(r) < int64_t(held) + pd->nrows || pd->stop.load(std::memory_order_acquire);
        });
        if (pd->stop.load(std::memory_order_acquire))
            break;
        unsigned char *slot = slot_of(pd, r);
        void *q = read_row(pd->src, r, slot);
        kassert(q != NULL);
        if (q != slot)
            memcpy(slot, q, length);
        pd->fetched.store(r + 1, std::memory_order_seq_cst);
        wake_sleepers(pd->fetched, pd->fetched_sleepers);
    }
    permit_give();
    return nullptr;
}

static void *prefetch_read(image_reader *ir, int n, void *dst)
{
    prefetch_data *pd = static_cast<prefetch_data *>(ir->data);
    unsigned char *row;
    if (n < pd->next) {
        int64_t back = int64_t(pd->next) - n;
        if (back > pd->window || n < 0)
            print_error(msg_window, pd->window, back > INT_MAX ? INT_MAX : static_cast<int>(back));
        row = slot_of(pd, n);
    } else {
        do {
            int r = pd->next++;
            wait_for(pd->fetched, pd->fetched_sleepers, [r](int fetched) { return fetched > r; });
            pd->held.store(std::max(r - pd->window + 1, 0), std::memory_order_seq_cst);
            wake_sleepers(pd->held, pd->held_sleepers);
            row = slot_of(pd, r);
            call_followers(ir, r);
        } while (n >= pd->next);
    }
    if (!dst)
        return row;
    memcpy(dst, row, image_row_length(ir));
    return dst;
}

static int prefetch_close(void *data)
{
    prefetch_data *pd = static_cast<prefetch_data *>(data);
    // A waiting fetcher sleeps on held: it must change for the wake-up to count.
    pd->stop.store(1, std::memory_order_release);
    pd->held.store(INT_MAX, std::memory_order_seq_cst);
    wake_sleepers(pd->held, pd->held_sleepers);
    {
        blocking_wait w;
        zthread_join(pd->thread, nullptr);
    }
    int status = close_image_reader(pd->src);
    aligned_free(pd->ring);
    ring_release(pd->counted);
    pd->~prefetch_data();
    aligned_free(pd);
    return status;
}

static image_reader *new_prefetch_reader(image_reader *ir, int nrows, int window, int64_t counted,
                                         const char *name)
{
    kassert(nrows >= window + 1);
    int64_t rowlength = padded_row_length(ir), bytes;
    if (!checked_mul(rowlength, nrows, &bytes))
        print_error(msg_no_memory);
    void *mem = checked_malloc(sizeof(prefetch_data), 64);
    prefetch_data *pd = new (mem) prefetch_data;
    pd->src = ir;
    pd->ring = static_cast<unsigned char *>(checked_malloc(alloc_size(bytes)));
    pd->rowlength = static_cast<size_t>(rowlength);
    pd->nrows = nrows;
    pd->window = window;
    pd->counted = counted;
    pd->height = ir->height;
    pd->name = name;
    connect_reader(ir);
    image_reader *r = create_image_reader(ir->type, pd, ir->width, ir->height, ir->pixformat, prefetch_read,
                                          prefetch_close);
    if (zthread_create(&pd->thread, nullptr, fetch_rows, pd) != 0)
        print_error(msg_thread);
    return r;
}

image_reader *prefetch_reader(image_reader *ir, int nrows, const char *name)
{
    kassert(nrows >= 2);
    return new_prefetch_reader(ir, nrows, 1, 0, name);
}

image_reader *prefetch_window_reader(image_reader *ir, int window, int ahead, const char *name)
{
    kassert(window >= 1 && ahead >= 1);
    int64_t bytes;
    const int64_t nrows = int64_t(window) + ahead;
    if (nrows > INT_MAX || !checked_mul(padded_row_length(ir), nrows, &bytes))
        return nullptr;
    int64_t counted;
    if (!ring_claim(bytes, &counted))
        return nullptr;
    return new_prefetch_reader(ir, static_cast<int>(nrows), window, counted, name);
}

int rows_ahead(const image_reader *ir, int min_rows, int max_rows, size_t bytes)
{
    const size_t length = std::max<size_t>(image_row_length(ir), 1);
    // A ring within an eighth of the store's budget is a small one, as
    // spilled_ring_reader counts them.
    if (int64_t(length) * max_rows <= ring_budget() / 8)
        return max_rows;
    const size_t fit = bytes / length;
    return static_cast<int>(std::clamp<size_t>(fit, min_rows, max_rows));
}
