// A TIFF file of any content, opened as the program opens source images and
// read row by row: refused, read, or ended by a fatal error that names the
// file, never a fault or a leak.
#include "fuzz_support.h"
#include "stitcher/formats/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    survive_fatal_errors();
    read_file_of(data, size, tiff_reader);
    return 0;
}
