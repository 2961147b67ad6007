// Row readers: every image is a stream of rows that a reader delivers on
// request, and every stage is a reader that wraps other readers.
//
// The row protocol: read_row(ir, n, buf) returns a pointer to row n. Each
// stage says whether it needs, refuses or accepts a caller buffer; without
// one, the pointer designates storage below and stays valid only until that
// storage is reused (for a ring, until the row leaves its window). A stage
// that reads its source without a buffer passes null, so such a source must
// be buffered or a view of a buffered reader.
//
// Connections: a reader starts with connections 0. close_image_reader lowers
// the count and releases the reader once it is no longer above 0, so a reader
// nobody connected is released by its first close, and the creator's own
// hold passes to the first stage that wraps it. Wrapping stages connect their
// source once (the rotation at its first read, the split view never) and
// close it once when they are closed (a split view only at offset 0).
#pragma once
#include "stitcher/pipeline/rectangle.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct image_reader;

typedef void *(*reader_read_fn)(image_reader *ir, int n, void *buf);
typedef int (*reader_close_fn)(void *data);

// Plain record (threaded stages copy it byte for byte), 16-byte aligned.
struct image_reader {
    uint32_t type; // 2-bit tag: 1 for readers that start a chain, copied by stages
    int32_t width;
    int32_t height;
    uint32_t pixformat;
    reader_read_fn read;
    void *data;
    reader_close_fn close;
    int32_t connections; // extra holders; 0 at creation
    int32_t nfollowers;
    image_reader **followers; // read with (row, null) after each new row of a leader
};

// Size and layout of an image file, as the format readers report them.
struct image_size {
    int32_t width;
    int32_t height;
    uint32_t pixformat;
};

// Readers alive in the process: raised by create_image_reader, lowered when a
// reader is released. Readers are made and released on two threads, hence the
// atomic; read it as an int (`int n = image_reader_count;`).
extern std::atomic<int> image_reader_count;

// Bytes of one row: width times the bytes per pixel (0 for an unknown code;
// SIZE_MAX for a row that this address space cannot hold).
size_t image_row_length(const image_reader *ir);
// The same in 64 bits, padded to a multiple of 256 bytes: a ring's slot,
// which keeps every slot 16-byte aligned for SSE code.
int64_t padded_row_length(const image_reader *ir);

// The width and height must not be negative.
image_reader *create_image_reader(uint32_t type, void *data, int width, int height, uint32_t pixformat,
                                  reader_read_fn read, reader_close_fn close);
void connect_reader(image_reader *ir);
void *read_row(image_reader *ir, int n, void *buf);
// Returns the close function's status when the reader is released, else 0.
// Closing a reader that is already released stops with an assertion.
int close_image_reader(image_reader *ir);
// Appends follower to the leader's list; a follower must accept a null buffer.
void synchronize_reader(image_reader *follower, image_reader *leader);
// Reads row `row` (null buffer) of every follower of ir, in list order. For
// leaders: called once after each new row.
void call_followers(image_reader *ir, int row);

// A producer that can only deliver rows in order; produce writes the next
// row into buf. The reader needs a caller buffer and cannot go back.
typedef void (*produce_fn)(void *data, void *buf);
image_reader *sequential_reader(uint32_t type, void *data, int width, int height, uint32_t pixformat,
                                produce_fn produce, reader_close_fn close);

// A ring of nrows rows of rowlength bytes in `ring` (freed on close when
// owns is non-zero). Serves any of the last nrows rows fetched and any row
// ahead; a caller buffer is optional. Row r always lives in slot r % nrows.
image_reader *buffered_reader_1(image_reader *ir, void *ring, int nrows, size_t rowlength, int owns);
// The same over a ring it allocates: rows padded to a multiple of 256 bytes.
image_reader *buffered_reader_2(image_reader *ir, int nrows);
// The same window of nrows rows, but rows more than RING_FRONT behind the
// newest wait in a spill file, each read back into one of RING_BACK slots
// (row r in slot r % RING_BACK) when asked for: for the deep rings of the
// blend, which are read only near their two ends. A row's address stays
// valid while fewer than RING_FRONT rows are fetched after it, or, read
// back, until another row takes its slot. A buffered_reader_2 when the ring
// is small (an eighth of ring_budget() or less), while the large rings
// kept in memory stay within that budget, or when no spill is made.
enum { RING_FRONT = 32, RING_BACK = 8 };
image_reader *spilled_ring_reader(image_reader *ir, int nrows);
// The source's rows fetched in order by a thread of its own, up to nrows - 1
// (at least 1) rows ahead of the last row asked for, which may be asked for
// again; an older one is fatal. A caller buffer is optional; followers are
// called as by a buffered reader. The source is read only by that thread
// from now on, until this reader is closed, which stops and joins it.
image_reader *prefetch_reader(image_reader *ir, int nrows, const char *name = "zenthra-ahead");
// The same with the last `window` rows taken to read again, fetched up to
// `ahead` rows beyond them: a deep ring and its read-ahead in one, which
// spares the copy from one into the other. A ring of more than an eighth of
// ring_budget() comes under that budget; null when it does not fit there
// (the caller then spills).
image_reader *prefetch_window_reader(image_reader *ir, int window, int ahead, const char *name);
// Rows to run ahead of a reader of ir: max_rows when they fit in an eighth
// of ring_budget(), else as many as fit in bytes when fewer, but at
// least min_rows.
int rows_ahead(const image_reader *ir, int min_rows, int max_rows, size_t bytes);
// Rows of src handed from one thread to another: registered as a follower
// of leader, it reads each new row of the leader through src into a ring of
// nrows rows on the thread that pulls the leader; the returned reader, read
// in order by another thread, waits for its row to arrive, and the feeder
// waits rather than overwrite the row the reader holds. The last row taken
// may be asked for again. Once handoff_direct says that no other thread
// pulls the leader any more, the reader pulls it itself for rows still
// missing. Closing it closes src. A large ring comes under ring_budget() as
// the deep rings of spilled_ring_reader do: past it, the ring's rows wait in
// a spill file.
image_reader *handoff_reader(image_reader *src, image_reader *leader, int nrows);
// No effect on other readers.
void handoff_direct(image_reader *ir);
// Whether a ring of `bytes` may stay in memory: a small one (an eighth of
// ring_budget() or less) always, uncounted, a large one while the large
// rings together fit in the budget. *counted: the bytes then held, which
// ring_release gives back.
bool ring_claim(int64_t bytes, int64_t *counted);
void ring_release(int64_t bytes);
// Pin and unpin the ring slot of row n of a buffered reader; n must be one of
// the last nrows rows fetched. A fetch into a pinned slot is fatal.
void lock_row(int n, image_reader *ir);
void release_row(int n, image_reader *ir);

// Converts every row to pixformat; buffered by nbuffered rows when > 0.
// Unbuffered, it needs a caller buffer.
image_reader *toformat(image_reader *ir, uint32_t pixformat, int nbuffered);
// Like toformat, but in the rows of rect converts only the pixels outside its
// columns and leaves the caller buffer's pixels inside it as they were.
image_reader *toformat_excl(image_reader *ir, uint32_t pixformat, irectangle rect, int nbuffered);
// Row n as float_RGBA: the reader's own row when it already is float_RGBA,
// else converted into buf, which must then be given.
void *read_float(image_reader *ir, int n, void *buf);

// A view of the source's rows from byte_offset on, with its own width and
// pixformat; it refuses a caller buffer and never connects its source.
image_reader *split_reader(image_reader *ir, size_t byte_offset, int width, uint32_t pixformat);

// EXIF orientation 6 or 8 of a uchar_RGB image (any other value is fatal at
// the first read). Holds the whole source from its first read on.
image_reader *rotate_reader(image_reader *ir, int orientation);
