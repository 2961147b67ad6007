// The writer record and its generic stages.
#include "stitcher/pipeline/writeimage.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"

#include <cstring>

size_t image_row_length(const image_writer *iw)
{
    int64_t len = 0;
    if (!checked_mul(iw->width, get_bytes_per_pixel(iw->pixformat), &len))
        return 0;
    return alloc_size(len);
}

image_writer *create_virtual_image_writer(int width, int height, uint32_t pixformat, writer_write_fn write,
                                          writer_close_fn close, void *data)
{
    kassert(width >= 0);
    image_writer *iw = static_cast<image_writer *>(checked_malloc(sizeof(image_writer)));
    *iw = {pixformat, width, height, write, close, data, 0};
    return iw;
}

int write_row(image_writer *iw, void *row)
{
    iw->rows_written++;
    return iw->write(iw->data, row);
}

int close_image_writer(image_writer *iw)
{
    if (iw->rows_written < iw->height) {
        size_t len = image_row_length(iw);
        void *zero = checked_malloc(len);
        // Refilled for every row: a writer may change the row it is given.
        while (iw->rows_written < iw->height) {
            memset(zero, 0, len);
            iw->rows_written++;
            iw->write(iw->data, zero);
        }
        aligned_free(zero);
    }
    if (iw->data)
        iw->close(iw->data);
    aligned_free(iw);
    return 0;
}

// ---- mult_writer ----

struct mult_data {
    image_writer **writers;
    int n;
};

static int mult_write(void *data, void *row)
{
    mult_data *md = static_cast<mult_data *>(data);
    int status = 0;
    for (int i = 0; i < md->n; i++)
        status |= write_row(md->writers[i], row);
    return status;
}

static int mult_close(void *data)
{
    mult_data *md = static_cast<mult_data *>(data);
    int status = 0;
    for (int i = 0; i < md->n; i++)
        status |= close_image_writer(md->writers[i]);
    aligned_free(md->writers);
    aligned_free(md);
    return status;
}

image_writer *mult_writer(image_writer **writers, int n)
{
    kassert(n > 0);
    mult_data *md = static_cast<mult_data *>(checked_malloc(sizeof(mult_data)));
    md->writers =
        static_cast<image_writer **>(checked_malloc(static_cast<size_t>(n) * sizeof(image_writer *)));
    memcpy(md->writers, writers, static_cast<size_t>(n) * sizeof(image_writer *));
    md->n = n;
    return create_virtual_image_writer(writers[0]->width, writers[0]->height, writers[0]->pixformat,
                                       mult_write, mult_close, md);
}

// ---- heavyside_writer ----

static int heavyside_write(void *data, void *row)
{
    image_writer *iw = static_cast<image_writer *>(data);
    if (iw->pixformat == uchar_RGBA) {
        unsigned char *p = static_cast<unsigned char *>(row);
        for (int i = 0; i < iw->width; i++)
            if (p[4 * i + 3] != 0)
                p[4 * i + 3] = 255;
    } else {
        uint16_t *p = static_cast<uint16_t *>(row);
        for (int i = 0; i < iw->width; i++)
            if (p[4 * i + 3] != 0)
                p[4 * i + 3] = 65535;
    }
    return write_row(iw, row);
}

static int heavyside_close(void *data)
{
    close_image_writer(static_cast<image_writer *>(data));
    return 0;
}

image_writer *heavyside_writer(image_writer *iw)
{
    kassert(iw->pixformat == uchar_RGBA || iw->pixformat == ushort_RGBA);
    return create_virtual_image_writer(iw->width, iw->height, iw->pixformat, heavyside_write, heavyside_close,
                                       iw);
}

// ---- empty_writer ----

static int empty_write(void *, void *) { return 0; }

image_writer *empty_writer(int width, int height, uint32_t pixformat)
{
    return create_virtual_image_writer(width, height, pixformat, empty_write, nullptr, nullptr);
}

void set_write_log(void) {}
