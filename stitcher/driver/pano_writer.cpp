// The panorama writer thread.
#include "stitcher/driver/pano_writer.h"

#include "stitcher/driver/merge.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixel_pool.h"
#include "stitcher/pipeline/pthreads.h"

static const char msg_thread[] = "Could not start panorama writer thread.\n";

struct writer_thread_data {
    image_desc *images;
    int n;
    pano_file *pf;
};

static void *pano_writer_thread(void *arg)
{
    writer_thread_data *wd = static_cast<writer_thread_data *>(arg);
    zthread_name("zenthra-write");
    pano_file *pf = wd->pf;
    // Merging and compressing is pixel work like any other under -j; the
    // waits for the images give the permit back.
    permit_take();
    merge_alpha(wd->images, irectangle{0, 0, pf->width, pf->height}, wd->n, pf->writer, pf->wrap);
    close_image_writer(pf->writer);
    permit_give();
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
