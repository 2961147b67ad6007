// PackBits streams: any bytes decoded as codes end in the stream's bytes or a
// fatal "ends inside a code", and any bytes encoded come back unchanged,
// whatever the sizes of the calls.
#include "fuzz_support.h"
#include "stitcher/formats/packbits.h"

#include <algorithm>
#include <vector>

static void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Call sizes from the first byte: 1 to 256 bytes per call.
static size_t call_size(const uint8_t *data, size_t size) { return size ? size_t(data[0]) + 1 : 1; }

static void decode_codes(const uint8_t *data, size_t size)
{
    int fd;
    std::string path = memory_file(data, size, &fd);
    if (path.empty())
        return;
    packbits_malloc(fd, 64);
    packbits_rewind(fd);
    std::vector<unsigned char> out(call_size(data, size));
    try {
        // No code yields more than 128 bytes: the stream ends within this.
        for (size_t produced = 0; produced <= size * 128; produced += out.size())
            check(packbits_decode(fd, out.data(), out.size()) == out.size());
        check(false);
    } catch (const fatal_end &) {
    }
    packbits_close(fd);
}

static void round_trip(const uint8_t *data, size_t size)
{
    int fd = memfd_create("packbits", MFD_CLOEXEC);
    if (fd < 0)
        return;
    size_t step = call_size(data, size);
    packbits_malloc(fd, step);
    for (size_t i = 0; i < size; i += step)
        packbits_encode(fd, data + i, std::min(step, size - i));
    packbits_rewind(fd);
    std::vector<unsigned char> back(size);
    size_t read_step = step % 7 + 1;
    for (size_t i = 0; i < size; i += read_step)
        packbits_decode(fd, back.data() + i, std::min(read_step, size - i));
    check(std::equal(back.begin(), back.end(), data));
    packbits_close(fd);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    decode_codes(data, size);
    round_trip(data, size);
    return 0;
}
