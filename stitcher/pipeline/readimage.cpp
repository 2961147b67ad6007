// The reader record, connection counting, followers, and the two simplest
// stages: the sequential reader and the split view.
#include "stitcher/pipeline/readimage.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

static const char msg_no_memory[] = "Not enough memory.\n";
static const char msg_rewind[] = "Cannot rewind sequential reader from %d to %d\n";

std::atomic<int> image_reader_count{0};

// Records not yet released. A second close of a released reader is caught
// here, before its freed memory is touched.
static std::mutex live_lock;
static std::unordered_set<const image_reader *> live_readers;

static void *released_read(image_reader *, int, void *)
{
    assertion_failed("row read from an image reader after its release", __FILE__, __LINE__);
}

// The row's bytes in 64 bits (width and bytes per pixel are 32-bit: no overflow).
static int64_t row_bytes(const image_reader *ir)
{
    int64_t len = 0;
    return checked_mul(ir->width, get_bytes_per_pixel(ir->pixformat), &len) ? len : 0;
}

size_t image_row_length(const image_reader *ir) { return alloc_size(row_bytes(ir)); }

int64_t padded_row_length(const image_reader *ir) { return (row_bytes(ir) + 255) & ~int64_t(255); }

image_reader *create_image_reader(uint32_t type, void *data, int width, int height, uint32_t pixformat,
                                  reader_read_fn read, reader_close_fn close)
{
    kassert(width >= 0 && height >= 0);
    image_reader *ir = static_cast<image_reader *>(checked_malloc(sizeof(image_reader)));
    *ir = {type & 3u, width, height, pixformat, read, data, close, 0, 0, nullptr};
    {
        std::lock_guard<std::mutex> hold(live_lock);
        live_readers.insert(ir);
    }
    image_reader_count.fetch_add(1);
    return ir;
}

void connect_reader(image_reader *ir) { ir->connections++; }

void *read_row(image_reader *ir, int n, void *buf) { return ir->read(ir, n, buf); }

int close_image_reader(image_reader *ir)
{
    bool live;
    {
        std::lock_guard<std::mutex> hold(live_lock);
        live = live_readers.count(ir) != 0;
    }
    if (!live)
        assertion_failed("image reader closed after its release", __FILE__, __LINE__);
    if (--ir->connections > 0)
        return 0;
    int status = ir->close ? ir->close(ir->data) : 0;
    if (ir->nfollowers > 0)
        free(ir->followers);
    {
        std::lock_guard<std::mutex> hold(live_lock);
        live_readers.erase(ir);
    }
    // Poisoned for whoever still holds the pointer and reads through it.
    *ir = {ir->type, 0, 0, 0, released_read, nullptr, nullptr, INT_MIN, 0, nullptr};
    aligned_free(ir);
    image_reader_count.fetch_sub(1);
    return status;
}

void synchronize_reader(image_reader *follower, image_reader *leader)
{
    size_t n = static_cast<size_t>(leader->nfollowers) + 1;
    void *list = realloc(leader->followers, n * sizeof(image_reader *));
    if (!list)
        print_error(msg_no_memory);
    leader->followers = static_cast<image_reader **>(list);
    leader->followers[n - 1] = follower;
    leader->nfollowers = static_cast<int32_t>(n);
}

void call_followers(image_reader *ir, int row)
{
    for (int i = 0; i < ir->nfollowers; i++) {
        image_reader *f = ir->followers[i];
        f->read(f, row, nullptr);
    }
}

// ---- sequential reader ----

struct sequential_data {
    int next; // the row the next produce call delivers
    produce_fn produce;
    reader_close_fn close;
    void *data;
};

static void *sequential_read(image_reader *ir, int n, void *buf)
{
    kassert(buf != NULL);
    sequential_data *sd = static_cast<sequential_data *>(ir->data);
    if (n < sd->next)
        print_error(msg_rewind, sd->next, n);
    // Rows skipped on the way are produced into buf and overwritten.
    while (sd->next <= n) {
        int row = sd->next++;
        sd->produce(sd->data, buf);
        call_followers(ir, row);
    }
    return buf;
}

static int sequential_close(void *data)
{
    sequential_data *sd = static_cast<sequential_data *>(data);
    int status = sd->close ? sd->close(sd->data) : 0;
    aligned_free(sd);
    return status;
}

image_reader *sequential_reader(uint32_t type, void *data, int width, int height, uint32_t pixformat,
                                produce_fn produce, reader_close_fn close)
{
    sequential_data *sd = static_cast<sequential_data *>(checked_malloc(sizeof(sequential_data)));
    *sd = {0, produce, close, data};
    return create_image_reader(type, sd, width, height, pixformat, sequential_read, sequential_close);
}

// ---- split view ----

struct split_data {
    size_t offset;
    image_reader *src;
};

static void *split_read(image_reader *ir, int n, void *buf)
{
    kassert(buf == NULL);
    split_data *sd = static_cast<split_data *>(ir->data);
    return static_cast<unsigned char *>(read_row(sd->src, n, nullptr)) + sd->offset;
}

static int split_close(void *data)
{
    split_data *sd = static_cast<split_data *>(data);
    image_reader *src = sd->src;
    size_t offset = sd->offset;
    aligned_free(sd);
    // Several views share one source; only the one at offset 0 owns it.
    if (offset == 0)
        close_image_reader(src);
    return 0;
}

image_reader *split_reader(image_reader *ir, size_t byte_offset, int width, uint32_t pixformat)
{
    int64_t view_len;
    kassert(width >= 0 && checked_mul(width, get_bytes_per_pixel(pixformat), &view_len));
    // The view must lie inside the source's row, or its pointers reach past it.
    kassert(byte_offset + static_cast<size_t>(view_len) <= image_row_length(ir));
    split_data *sd = static_cast<split_data *>(checked_malloc(sizeof(split_data)));
    *sd = {byte_offset, ir};
    return create_image_reader(ir->type, sd, width, ir->height, pixformat, split_read, split_close);
}
