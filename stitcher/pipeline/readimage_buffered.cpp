// The ring-buffered reader: a window of the last nrows rows fetched.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/readimage.h"
#include "stitcher/pipeline/spill.h"

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstring>

static const char msg_window[] = "Read buffer too small, is %d, should be %d\n";
static const char msg_locked[] = "Trying to overwrite locked rowbuffer %d\n";
static const char msg_no_ring[] = "Could not allocate %" PRId64 " bytes for imagereader.\n";

struct buffered_data {
    int next; // next row to fetch
    unsigned char *ring;
    size_t rowlength;
    int nrows;
    image_reader *src;
    int owns;
    int32_t *locks;  // per slot
    int64_t counted; // bytes of the in-memory ring budget it holds
};

// Large rings stay in memory while all of them together stay within the
// store's budget, and spill past it: the spill's copies cost more than the
// blend that fills the rings.
static std::atomic<int64_t> ring_bytes{0};

bool ring_claim(int64_t bytes, int64_t *counted)
{
    *counted = 0;
    if (bytes <= ring_budget() / 8)
        return true;
    if (ring_bytes.fetch_add(bytes) + bytes > ring_budget()) {
        ring_bytes.fetch_sub(bytes);
        return false;
    }
    *counted = bytes;
    return true;
}

void ring_release(int64_t bytes) { ring_bytes.fetch_sub(bytes); }

static unsigned char *slot_of(const buffered_data *bd, int n)
{
    return bd->ring + static_cast<size_t>(n % bd->nrows) * bd->rowlength;
}

static void *buffered_read(image_reader *ir, int n, void *dst)
{
    buffered_data *bd = static_cast<buffered_data *>(ir->data);
    unsigned char *row;
    if (n < bd->next) {
        int64_t back = int64_t(bd->next) - n;
        if (back > bd->nrows || n < 0)
            print_error(msg_window, bd->nrows, back > INT_MAX ? INT_MAX : static_cast<int>(back));
        row = slot_of(bd, n);
    } else {
        // Keep this order: raise the next row, call the source with the slot,
        // then call the followers. A follower that reads this reader without
        // a buffer (the warp-and-blend loop's converter of the warped rows)
        // then finds the new row inside the window, already in its slot,
        // while the leader is still producing.
        do {
            if (bd->locks[bd->next % bd->nrows] != 0)
                print_error(msg_locked, bd->next);
            int r = bd->next++;
            row = slot_of(bd, r);
            void *q = read_row(bd->src, r, row);
            // the assertion's text is fixed
            // clang-format off
            kassert(q!= NULL);
            // clang-format on
            // A source that served the row from its own storage still fills
            // the slot, so that the window holds what it promises.
            if (q != row)
                memcpy(row, q, image_row_length(ir));
            call_followers(ir, r);
        } while (n >= bd->next);
    }
    if (!dst)
        return row;
    memcpy(dst, row, image_row_length(ir));
    return dst;
}

static int buffered_close(void *data)
{
    buffered_data *bd = static_cast<buffered_data *>(data);
    if (bd->owns)
        aligned_free(bd->ring);
    int status = close_image_reader(bd->src);
    ring_release(bd->counted);
    aligned_free(bd->locks);
    aligned_free(bd);
    return status;
}

image_reader *buffered_reader_1(image_reader *ir, void *ring, int nrows, size_t rowlength, int owns)
{
    // the assertion's text is fixed
    // clang-format off
    kassert(rowlength >= image_row_length( ir ));
    // clang-format on
    kassert(nrows > 0);
    kassert(ring != NULL);
    buffered_data *bd = static_cast<buffered_data *>(checked_malloc(sizeof(buffered_data)));
    int32_t *locks = static_cast<int32_t *>(checked_calloc(static_cast<size_t>(nrows), sizeof(int32_t)));
    *bd = {0, static_cast<unsigned char *>(ring), rowlength, nrows, ir, owns, locks, 0};
    connect_reader(ir);
    return create_image_reader(ir->type, bd, ir->width, ir->height, ir->pixformat, buffered_read,
                               buffered_close);
}

image_reader *buffered_reader_2(image_reader *ir, int nrows)
{
    kassert(nrows > 0);
    int64_t rowlength = padded_row_length(ir);
    int64_t bytes;
    if (!checked_mul(rowlength, nrows, &bytes))
        print_error(msg_no_ring, INT64_MAX);
    void *ring = aligned_malloc(alloc_size(bytes));
    if (!ring)
        print_error(msg_no_ring, bytes);
    return buffered_reader_1(ir, ring, nrows, static_cast<size_t>(rowlength), 1);
}

// ---- the spilled ring ----

struct spilled_ring {
    int next; // next row to fetch
    int nrows;
    size_t rowlength;
    image_reader *src;
    unsigned char *front; // RING_FRONT slots, then RING_BACK slots
    int32_t back_row[RING_BACK];
    int index; // the spilled image that holds the ring: row r at slot r % nrows
    spill_extent where;
};

static int64_t spill_offset(const spilled_ring *sr, int n)
{
    return static_cast<int64_t>(n % sr->nrows) * static_cast<int64_t>(sr->rowlength);
}

static void *spilled_read(image_reader *ir, int n, void *dst)
{
    spilled_ring *sr = static_cast<spilled_ring *>(ir->data);
    const size_t length = image_row_length(ir);
    unsigned char *row;
    if (n < sr->next) {
        int64_t back = int64_t(sr->next) - n;
        if (back > sr->nrows || n < 0)
            print_error(msg_window, sr->nrows, back > INT_MAX ? INT_MAX : static_cast<int>(back));
        if (back <= RING_FRONT) {
            row = sr->front + static_cast<size_t>(n % RING_FRONT) * sr->rowlength;
        } else {
            int slot = n % RING_BACK;
            row = sr->front + static_cast<size_t>(RING_FRONT + slot) * sr->rowlength;
            if (sr->back_row[slot] != n) {
                spill_read_at(sr->where, row, length, spill_offset(sr, n));
                sr->back_row[slot] = n;
            }
        }
    } else {
        // The order of a buffered reader's fetch, and every row stored as
        // it arrives.
        do {
            int r = sr->next++;
            row = sr->front + static_cast<size_t>(r % RING_FRONT) * sr->rowlength;
            void *q = read_row(sr->src, r, row);
            kassert(q != nullptr);
            if (q != row)
                memcpy(row, q, length);
            spill_write_at(sr->where, row, length, spill_offset(sr, r));
            call_followers(ir, r);
        } while (n >= sr->next);
    }
    if (!dst)
        return row;
    memcpy(dst, row, length);
    return dst;
}

static int spilled_close(void *data)
{
    spilled_ring *sr = static_cast<spilled_ring *>(data);
    spill_close(sr->index);
    int status = close_image_reader(sr->src);
    aligned_free(sr->front);
    aligned_free(sr);
    return status;
}

image_reader *spilled_ring_reader(image_reader *ir, int nrows)
{
    kassert(nrows > 0);
    const int64_t rowlength = padded_row_length(ir);
    int64_t bytes;
    if (nrows <= 2 * (RING_FRONT + RING_BACK) || !checked_mul(rowlength, nrows, &bytes))
        return buffered_reader_2(ir, nrows);
    // A ring that the address space cannot hold (32-bit x86) spills like one
    // past the budget; only when the spill fails too is it fatal.
    int64_t counted;
    if (ring_claim(bytes, &counted)) {
        if (void *ring = aligned_malloc(alloc_size(bytes))) {
            image_reader *r = buffered_reader_1(ir, ring, nrows, static_cast<size_t>(rowlength), 1);
            static_cast<buffered_data *>(r->data)->counted = counted;
            return r;
        }
        ring_release(counted);
    }
    int index = spill_open(bytes);
    if (index < 0)
        return buffered_reader_2(ir, nrows);
    spilled_ring *sr = static_cast<spilled_ring *>(checked_calloc(1, sizeof(spilled_ring)));
    sr->nrows = nrows;
    sr->rowlength = alloc_size(rowlength);
    sr->src = ir;
    sr->front =
        static_cast<unsigned char *>(checked_malloc(alloc_size((RING_FRONT + RING_BACK) * rowlength)));
    for (int32_t &r : sr->back_row)
        r = -1;
    sr->index = index;
    sr->where = spill_where(index);
    connect_reader(ir);
    return create_image_reader(ir->type, sr, ir->width, ir->height, ir->pixformat, spilled_read,
                               spilled_close);
}

// The slot of row n when it is one of the last nrows rows fetched, else -1.
static int locked_slot(image_reader *ir, int n)
{
    kassert(ir->read == buffered_read);
    const buffered_data *bd = static_cast<const buffered_data *>(ir->data);
    if (n < 0 || n >= bd->next || int64_t(bd->next) - n > bd->nrows)
        return -1;
    return n % bd->nrows;
}

void lock_row(int n, image_reader *ir)
{
    int buf_n = locked_slot(ir, n);
    // the assertion's text is fixed
    // clang-format off
    kassert(buf_n>=0);
    // clang-format on
    static_cast<buffered_data *>(ir->data)->locks[buf_n]++;
}

void release_row(int n, image_reader *ir)
{
    int buf_n = locked_slot(ir, n);
    // clang-format off
    kassert(buf_n>=0);
    // clang-format on
    int32_t *lock = &static_cast<buffered_data *>(ir->data)->locks[buf_n];
    kassert(*lock > 0);
    --*lock;
}
