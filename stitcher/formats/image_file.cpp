// Opening and creating image files by the suffix of their names.
#include "stitcher/formats/image_file.h"

#include "stitcher/formats/external_reader.h"
#include "stitcher/formats/icc_profile.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

static const char msg_unreadable[] = "Image %s cannot be read.\n";
static const char msg_unreadable_why[] = "Image %s cannot be read: %s.\n";

image_reader *file_image_reader(const char *path)
{
    clear_refusal();
    // Nothing opens a FIFO, which would wait for a writer for ever, nor a
    // device or a folder.
    if (const char *kind = non_regular_kind(path)) {
        set_refusal("it is %s, not a regular file", kind);
        return nullptr;
    }
    if (sendswith(path, ".jpg", 1) || sendswith(path, ".jpeg", 1))
        return jpeg_reader(path);
    if (sendswith(path, ".ppm", 1))
        return ppm_reader(path);
    if (sendswith(path, ".tif", 1) || sendswith(path, ".tiff", 1))
        return tiff_reader(path);
    image_reader *ir = external_reader(path);
    if (!ir)
        print_refused_file(msg_unreadable, msg_unreadable_why, path);
    return ir;
}

int get_image_size(const char *path, image_size *out)
{
    image_reader *ir = file_image_reader(path);
    if (!ir)
        return -1;
    *out = {ir->width, ir->height, ir->pixformat};
    close_image_reader(ir);
    return 0;
}

image_metadata read_image_metadata(const char *path)
{
    image_metadata m = {nullptr, nullptr, 1};
    if (sendswith(path, ".jpg", 1) || sendswith(path, ".jpeg", 1)) {
        int orientation;
        if (jpeg_read_metadata(path, &m.markers, &m.profile, &orientation) == 0)
            m.orientation = orientation;
    } else if (sendswith(path, ".tif", 1) || sendswith(path, ".tiff", 1)) {
        m.profile = tiff_read_icc_profile(path);
    }
    return m;
}

void free_image_metadata(image_metadata *m)
{
    free_icc_profile(m->profile);
    free_marker_list(m->markers);
    *m = {nullptr, nullptr, 1};
}

void keep_image_metadata(image_metadata *m)
{
    keep_icc_profile(m->profile);
    keep_saved_markers(m->markers);
    m->markers = nullptr;
    free_image_metadata(m);
}

image_writer *create_image_writer(const char *path, int width, int height, uint32_t pixformat)
{
    if (sendswith(path, ".ppm", 1))
        return ppm_writer(path, width, height, pixformat);
    if (sendswith(path, ".jpg", 1))
        return jpeg_writer(path, width, height, pixformat, 85, 0);
    return tiff_writer(path, width, height, pixformat, 0);
}

void dump_buffer(const loaded_image *li, const char *path)
{
    image_writer *t = tiff_writer(path, li->width, li->height, li->pixformat, 0);
    kassert(t);
    size_t len = static_cast<size_t>(li->width) * get_bytes_per_pixel(li->pixformat);
    unsigned char *p = static_cast<unsigned char *>(li->buffer);
    for (int y = 0; y < li->height; y++, p += len)
        write_row(t, p);
    close_image_writer(t);
}
