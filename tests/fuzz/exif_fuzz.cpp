// EXIF field access on arbitrary blocks: every read and the rewrite must stay
// inside the block (the sanitizer build catches a byte past it).
#include "stitcher/formats/exif.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<unsigned char> block(data, data + size);
    uint16_t value;
    for (int tag : {274, 0x0112, 0, 0xFFFF}) {
        int found = get_exif_tag(block.data(), block.size(), tag, SHORT, &value);
        int rewritten = set_exif_tag(block.data(), block.size(), tag, SHORT, 1);
        if (found != rewritten)
            __builtin_trap();
    }
    return 0;
}
