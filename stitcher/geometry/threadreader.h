// Several threads computing one row of a reader together.
//
// The wrapped reader's private record must begin with three int32 fields:
// its own size in bytes, a share index and a share count. Its read function
// computes only the share of the row that index and count select, into
// storage that all copies share, and returns the complete row's storage; it
// must not depend on which thread runs it. thread_reader cuts each row into a
// few shares per thread, makes a byte copy of the record for every share but
// the first (the pointers in it are shared) and has n threads read all shares
// of the row at once. Share 0, the wrapped reader itself, is always read by
// the calling thread.
#pragma once
#include "stitcher/pipeline/readimage.h"

#include <cstdint>

// The header every wrapped private record begins with.
struct thread_header {
    int32_t size;
    int32_t thread_index; // the share
    int32_t thread_count; // the number of shares
};

// n <= 1 returns ir itself, untouched. Otherwise a reader of ir's tag, size
// and pixformat that connects ir once and closes it when closed; its n - 1
// extra threads live as long as it does. It must be read by one thread at a
// time; a read returns once every share of the row is complete.
image_reader *thread_reader(image_reader *ir, int n);

// For share 0 when it must end the run (Cancel): completes the other shares
// of the row being read and waits for them. Called only from within the read
// of share 0.
void thread_reader_wait(image_reader *tr);

// The rows of ir read strictly in order, one row ahead, by a thread of its
// own: while row r is handed out, row r + 1 is being read into the other of
// two row buffers. Only the row last handed out and the next one may be
// asked for; any other is fatal ("Cannot read row %d\n"). A caller buffer is
// optional. Closing it waits for the row being read, then closes ir. ir is
// read with a buffer of its row length. Nothing in the program uses it.
image_reader *thread_row_reader(image_reader *ir);
