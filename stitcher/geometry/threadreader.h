// Several threads computing one row of a reader together.
//
// The wrapped reader's private record must begin with three int32 fields:
// its own size in bytes, a thread index and a thread count. Its read function
// computes only the share of the row that index and count select, into
// storage that all copies share, and returns the complete row's storage.
// thread_reader makes a byte copy of the record for each extra thread (the
// pointers in it are shared) and runs all copies on the same row at once.
#pragma once
#include "stitcher/pipeline/readimage.h"

#include <cstdint>

// The header every wrapped private record begins with.
struct thread_header {
    int32_t size;
    int32_t thread_index;
    int32_t thread_count;
};

// n <= 1 returns ir itself, untouched. Otherwise a reader of ir's tag, size
// and pixformat that connects ir once; its close closes ir.
image_reader *thread_reader(image_reader *ir, int n);

// For a share that must end the run (Cancel) while the row is being read:
// waits until every other thread has finished its share of that row. Called
// from within the calling thread's own share, never from the others.
void thread_reader_wait(image_reader *tr);
