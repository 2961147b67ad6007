// PackBits streams: any bytes decoded as codes end in the stream's bytes or a
// fatal "ends inside a code", and any bytes encoded come back unchanged,
// whatever the sizes of the calls (1 to 256 bytes, from the first byte).
#include "fuzz_support.h"
#include "stitcher/formats/packbits.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    const size_t step = size ? size_t(data[0]) + 1 : 1, read_step = step % 7 + 1;
    int fd;
    if (!memory_file(data, size, &fd).empty()) {
        packbits_malloc(fd, 64);
        packbits_rewind(fd);
        std::vector<unsigned char> out(step);
        try {
            // No code yields more than 128 bytes: the stream ends within this.
            for (size_t produced = 0; produced <= size * 128; produced += out.size())
                check(packbits_decode(fd, out.data(), out.size()) == out.size());
            check(false);
        } catch (const fatal_end &) {
        }
        packbits_close(fd);
    }
    if ((fd = memfd_create("packbits", MFD_CLOEXEC)) < 0)
        return 0;
    packbits_malloc(fd, step);
    for (size_t i = 0; i < size; i += step)
        packbits_encode(fd, data + i, std::min(step, size - i));
    packbits_rewind(fd);
    std::vector<unsigned char> back(size);
    for (size_t i = 0; i < size; i += read_step)
        packbits_decode(fd, back.data() + i, std::min(read_step, size - i));
    check(std::equal(back.begin(), back.end(), data));
    packbits_close(fd);
    return 0;
}
