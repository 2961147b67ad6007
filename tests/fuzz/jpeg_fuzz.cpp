// Opening a JPEG of any content: refused, or started without a fault. Rows
// are not read, since damaged entropy data ends the run by design.
#include "stitcher/formats/jpeg.h"
#include "stitcher/pipeline/fileio.h"

#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("jpeg_fuzz", MFD_CLOEXEC);
    if (fd < 0 || write_full(fd, data, size) != 0)
        return 0;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    set_honor_exiforientation(1);
    image_reader *ir = jpeg_reader(path.c_str());
    if (ir)
        close_image_reader(ir);
    free_saved_markers();
    close(fd);
    return 0;
}
