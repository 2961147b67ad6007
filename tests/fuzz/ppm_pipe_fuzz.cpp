// A PPM stream of any content from a pipe, as an external reader program's
// output is read: refused, read, or ended by "Cannot read ppm image." when it
// stops early, never a fault, a leak or a wait without end.
#include "fuzz_support.h"
#include "stitcher/formats/ppm.h"

#include <cstdio>
#include <fcntl.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return 0;
    // The whole input waits in the pipe, so no writer thread is needed.
    int capacity = fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    size_t n = capacity > 0 ? std::min(size, static_cast<size_t>(capacity)) : 0;
    bool written = write_full(ends[1], data, n) == 0;
    close(ends[1]);
    FILE *stream = written ? fdopen(ends[0], "r") : nullptr;
    if (!stream) {
        close(ends[0]);
        return 0;
    }
    read_to_the_end([&] { return ppm_reader_2(stream); }); // a refusal closes the stream
    return 0;
}
