// What the fuzz targets share: fuzzed bytes as a file, and fatal errors that
// return to the target instead of ending the process.
#pragma once
#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/readimage.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// Thrown in place of the end of the run; the target closes what it opened,
// so that a fatal path is also checked for leaks.
struct fatal_end {
};

inline void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Silent, and sizes read from the input held far below the fuzzer's memory.
inline void survive_fatal_errors()
{
    set_fatal_handler([](const char *) { throw fatal_end{}; });
    set_verbose(0);
    set_available_memory(size_t(512) << 20);
}

// The bytes as a file without a name on disk: "/proc/self/fd/N", or empty
// when it cannot be made. Close fd afterwards.
inline std::string memory_file(const uint8_t *data, size_t size, int *fd)
{
    *fd = memfd_create("fuzz", MFD_CLOEXEC);
    if (*fd >= 0 && write_full(*fd, data, size) == 0)
        return "/proc/self/fd/" + std::to_string(*fd);
    if (*fd >= 0)
        close(*fd);
    return std::string();
}

// Reads rows until the image or a budget of bytes ends: enough to reach
// damaged data without decoding gigabytes of a huge but valid image.
inline void read_rows(image_reader *ir, int64_t budget = int64_t(64) << 20)
{
    int64_t len = static_cast<int64_t>(image_row_length(ir));
    for (int y = 0; y < ir->height && budget > 0; y++, budget -= len + 1)
        read_row(ir, y, nullptr);
}

// Opens a reader and reads its rows; closes it, fatal error or not. With
// read_file_of, the reader is opened on a file of the bytes.
template <typename Open> void read_to_the_end(Open open)
{
    image_reader *ir = nullptr;
    try {
        if ((ir = open()))
            read_rows(ir);
    } catch (const fatal_end &) {
    }
    if (ir)
        close_image_reader(ir);
}

inline void read_file_of(const uint8_t *data, size_t size, image_reader *(*open)(const char *))
{
    int fd;
    std::string path = memory_file(data, size, &fd);
    if (!path.empty()) {
        read_to_the_end([&] { return open(path.c_str()); });
        close(fd);
    }
}
