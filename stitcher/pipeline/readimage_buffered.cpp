// The ring-buffered reader: a window of the last nrows rows fetched.
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/readimage.h"

#include <climits>
#include <cstring>

static const char msg_window[] = "Read buffer too small, is %d, should be %d\n";
static const char msg_locked[] = "Trying to overwrite locked rowbuffer %d\n";
static const char msg_no_ring[] = "Could not allocate %ld bytes for imagereader.\n";

struct buffered_data {
    int next; // next row to fetch
    unsigned char *ring;
    size_t rowlength;
    int nrows;
    image_reader *src;
    int owns;
    int32_t *locks; // per slot
};

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
    *bd = {0, static_cast<unsigned char *>(ring), rowlength, nrows, ir, owns, locks};
    connect_reader(ir);
    return create_image_reader(ir->type, bd, ir->width, ir->height, ir->pixformat, buffered_read,
                               buffered_close);
}

image_reader *buffered_reader_2(image_reader *ir, int nrows)
{
    kassert(nrows > 0);
    // Rows padded to 256 bytes keep every slot 16-byte aligned for SSE code.
    int64_t rowlength = (static_cast<int64_t>(image_row_length(ir)) + 255) & ~int64_t(255);
    int64_t bytes;
    if (!checked_mul(rowlength, nrows, &bytes))
        print_error(msg_no_ring, LONG_MAX);
    void *ring = aligned_malloc(static_cast<size_t>(bytes));
    if (!ring)
        print_error(msg_no_ring, static_cast<long>(bytes));
    return buffered_reader_1(ir, ring, nrows, static_cast<size_t>(rowlength), 1);
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
