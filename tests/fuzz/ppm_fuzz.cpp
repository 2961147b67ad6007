// PPM headers of any content: refused, or read to the end without a fault.
#include "stitcher/formats/ppm.h"
#include "stitcher/pipeline/fileio.h"

#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("ppm_fuzz", MFD_CLOEXEC);
    if (fd < 0 || write_full(fd, data, size) != 0)
        return 0;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    image_reader *ir = ppm_reader(path.c_str());
    if (ir) {
        // The reader checked the file holds every row it announces.
        for (int y = 0; y < ir->height && y < 64; y++)
            read_row(ir, y, nullptr);
        close_image_reader(ir);
    }
    close(fd);
    return 0;
}
