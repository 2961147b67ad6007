// The panorama writer thread.
#include "stitcher/driver/pano_writer.h"

#include "stitcher/driver/merge.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/output_format.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/psd.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pthreads.h"

#include <cstring>

static const char msg_create[] = "Could not create image file %s\n";
static const char msg_thread[] = "Could not start panorama writer thread.\n";

struct writer_thread_data {
    image_desc *images;
    int n;
    pano_file *pf;
};

// The sequential writer of the output kind.
static image_writer *sequential_writer(const pano_file *pf)
{
    const int big = output_big(pf->format);
    switch (output_kind(pf->format)) {
    case OUTPUT_JPEG:
        return jpeg_writer(pf->name, pf->width, pf->height, pf->pixformat, output_quality(pf->format),
                           output_progressive(pf->format));
    case OUTPUT_PPM:
        return ppm_writer(pf->name, pf->width, pf->height, pf->pixformat);
    case OUTPUT_TIFF:
        return tiff_writer(pf->name, pf->width, pf->height, pf->pixformat, big);
    case OUTPUT_PSD:
        return psd_writer(pf->name, pf->width, pf->height, pf->pixformat, big);
    default:
        return nullptr;
    }
}

// A failed run removes the file this thread created (regular files only);
// "-" is standard output, never a file of that name.
static void register_output(const char *name)
{
    if (strcmp(name, "-") != 0)
        set_partial_output(name);
}

static void *pano_writer_thread(void *arg)
{
    writer_thread_data *wd = static_cast<writer_thread_data *>(arg);
    pano_file *pf = wd->pf;
    image_writer *writer = sequential_writer(pf);
    if (!writer)
        print_error(msg_create, pf->name);
    register_output(pf->name);
    merge_alpha(wd->images, irectangle{0, 0, pf->width, pf->height}, wd->n, writer, pf->wrap);
    close_image_writer(writer);
    aligned_free(wd);
    return nullptr;
}

void init_pano_writer(pano_file *pf, int n, image_desc *images)
{
    writer_thread_data *wd = static_cast<writer_thread_data *>(checked_malloc(sizeof(writer_thread_data)));
    *wd = {images, n, pf};
    if (zthread_create(&pf->write_thread, nullptr, pano_writer_thread, wd) != 0)
        print_error(msg_thread);
}
