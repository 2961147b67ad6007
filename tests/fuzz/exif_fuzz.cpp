// EXIF field access on arbitrary blocks: every read and rewrite must stay
// inside the block (the sanitizer build catches a byte past it), and the
// block made true to a panorama only ever grows into the room it is given.
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
    std::vector<unsigned char> exact(data, data + size);
    if (exif_for_image(exact.data(), exact.size(), exact.size(), 70000, 300) > size)
        __builtin_trap();
    std::vector<unsigned char> roomy(data, data + size);
    roomy.resize(size + 4096);
    if (exif_for_image(roomy.data(), size, roomy.size(), 2000, 1000) > roomy.size())
        __builtin_trap();
    return 0;
}
