// The hand-off ring: rows that one thread produces as the follower of a
// leader, taken in order by a reader on another thread.
//
// Hand-over: the feeder stores row r in its slot, then raises `ready`
// (release); the reader, having seen it (acquire), raises `held` to the row
// it takes (release), and the feeder's acquire of `held` frees the slots of
// the rows before it. Once direct, no other thread pulls the leader, and the
// reader pulls it itself for the rows it still needs.
//
// A ring past the rings' budget lies in a spill file instead: the feeder
// writes each row at its slot's offset, the reader reads it back into a row
// of its own, and the same counts keep the two apart.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/spill.h"

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <new>

static const char msg_window[] = "Read buffer too small, is %d, should be %d\n";
static const char msg_no_ring[] = "Could not allocate %" PRId64 " bytes for imagereader.\n";

struct alignas(64) handoff_data {
    image_reader *src;    // the feeder's source, read with the leader's new row
    image_reader *leader; // pulled by the reader itself once direct
    image_reader *feeder; // the follower of the leader
    unsigned char *ring;  // nrows slots, or, spilled, the feeder's row and then the reader's
    size_t rowlength;
    int nrows;
    int taken = -1; // the reader's row; reader thread only
    bool direct = false;
    int spill = -1;                        // the spilled image holding the slots, or -1
    spill_extent where;                    // its place, when spilled
    int64_t counted = 0;                   // bytes of the deep rings' budget held
    alignas(64) std::atomic<int> ready{0}; // rows in the ring, from row 0
    std::atomic<int> ready_sleepers{0};
    alignas(64) std::atomic<int> held{0}; // the reader's row: the feeder never laps it
    std::atomic<int> held_sleepers{0};
};

static unsigned char *slot_of(const handoff_data *hd, int n)
{
    return hd->ring + static_cast<size_t>(n % hd->nrows) * hd->rowlength;
}

static int64_t spill_offset(const handoff_data *hd, int n)
{
    return static_cast<int64_t>(n % hd->nrows) * static_cast<int64_t>(hd->rowlength);
}

static void *feed_read(image_reader *ir, int n, void *)
{
    handoff_data *hd = static_cast<handoff_data *>(ir->data);
    // A leader that delivers a row twice: nobody reads what this returns.
    if (n < hd->ready.load(std::memory_order_relaxed))
        return nullptr;
    kassert(n == hd->ready.load(std::memory_order_relaxed));
    int held;
    while (n >= (held = hd->held.load(std::memory_order_acquire)) + hd->nrows)
        sleep_until_changed(hd->held, held, hd->held_sleepers);
    const size_t length = image_row_length(hd->src);
    unsigned char *slot = hd->spill < 0 ? slot_of(hd, n) : hd->ring;
    void *row = read_row(hd->src, n, slot);
    if (hd->spill >= 0)
        spill_write_at(hd->where, row, length, spill_offset(hd, n));
    else if (row != slot)
        memcpy(slot, row, length);
    hd->ready.store(n + 1, std::memory_order_seq_cst);
    wake_sleepers(hd->ready, hd->ready_sleepers);
    return nullptr;
}

static int feed_close(void *) { return 0; }

static void *handoff_read(image_reader *ir, int n, void *buf)
{
    handoff_data *hd = static_cast<handoff_data *>(ir->data);
    if (n != hd->taken) {
        if (n < hd->taken)
            print_error(msg_window, 1, hd->taken - n + 1);
        int ready = hd->ready.load(std::memory_order_acquire);
        if (ready <= n && hd->direct) {
            read_row(hd->leader, n, nullptr);
            ready = hd->ready.load(std::memory_order_acquire);
            kassert(ready > n);
        }
        while (ready <= n)
            ready = sleep_until_changed(hd->ready, ready, hd->ready_sleepers);
        if (hd->spill >= 0)
            spill_read_at(hd->where, hd->ring + hd->rowlength, image_row_length(ir), spill_offset(hd, n));
        hd->taken = n;
        hd->held.store(n, std::memory_order_seq_cst);
        wake_sleepers(hd->held, hd->held_sleepers);
    }
    unsigned char *row = hd->spill < 0 ? slot_of(hd, n) : hd->ring + hd->rowlength;
    if (!buf)
        return row;
    memcpy(buf, row, image_row_length(ir));
    return buf;
}

static int handoff_close(void *data)
{
    handoff_data *hd = static_cast<handoff_data *>(data);
    int status = close_image_reader(hd->src);
    close_image_reader(hd->feeder);
    if (hd->spill >= 0)
        spill_close(hd->spill);
    ring_release(hd->counted);
    aligned_free(hd->ring);
    hd->~handoff_data();
    aligned_free(hd);
    return status;
}

// The ring's slots in a spill file, whose rows come back one at a time:
// the two rows left in memory are the feeder's and the reader's.
static bool handoff_spill(handoff_data *hd, int64_t *bytes)
{
    if ((hd->spill = spill_open(*bytes)) < 0)
        return false;
    ring_release(hd->counted);
    hd->counted = 0;
    hd->where = spill_where(hd->spill);
    *bytes = 2 * static_cast<int64_t>(hd->rowlength);
    return true;
}

image_reader *handoff_reader(image_reader *src, image_reader *leader, int nrows)
{
    kassert(nrows >= 2);
    int64_t rowlength = padded_row_length(src), bytes;
    if (!checked_mul(rowlength, nrows, &bytes))
        print_error(msg_no_ring, INT64_MAX);
    handoff_data *hd = new (checked_malloc(sizeof(handoff_data), 64)) handoff_data;
    hd->rowlength = static_cast<size_t>(rowlength);
    // Small rings stay in memory uncounted, large ones while the deep rings
    // fit in the budget together, as spilled_ring_reader keeps them; one
    // that the address space cannot hold spills too.
    if (!ring_claim(bytes, &hd->counted))
        handoff_spill(hd, &bytes);
    hd->ring = static_cast<unsigned char *>(aligned_malloc(alloc_size(bytes)));
    if (!hd->ring && hd->spill < 0 && handoff_spill(hd, &bytes))
        hd->ring = static_cast<unsigned char *>(aligned_malloc(alloc_size(bytes)));
    if (!hd->ring)
        print_error(msg_no_ring, bytes);
    hd->src = src;
    hd->leader = leader;
    hd->nrows = nrows;
    connect_reader(src);
    hd->feeder =
        create_image_reader(src->type, hd, src->width, src->height, src->pixformat, feed_read, feed_close);
    synchronize_reader(hd->feeder, leader);
    return create_image_reader(src->type, hd, src->width, src->height, src->pixformat, handoff_read,
                               handoff_close);
}

void handoff_direct(image_reader *ir)
{
    if (ir->read == handoff_read)
        static_cast<handoff_data *>(ir->data)->direct = true;
}
