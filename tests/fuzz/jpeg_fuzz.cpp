// A JPEG of any content, opened and decoded row by row (rotated when its
// EXIF orientation says so): refused, read, or ended by a fatal error, never
// a fault or a leak.
#include "fuzz_support.h"
#include "stitcher/formats/jpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    set_honor_exiforientation(1);
    read_file_of(data, size, jpeg_reader);
    free_saved_markers();
    return 0;
}
