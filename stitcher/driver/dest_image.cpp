// Destination images and their overlap tiles.
#include "stitcher/driver/dest_image.h"

#include "stitcher/driver/merge.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/ramfs.h"
#include "stitcher/pipeline/spill.h"
#include "stitcher/pipeline/tmp_image.h"
#include "stitcher/script/image_desc.h"

#include <vector>

static const char msg_store_full[] = "Too many temporary images (in-memory store full).\n";
static const char msg_found[] = "Found %d images for blending.\n";
static const char msg_rectangles[] = "Error calculating blender rectangles.\n";

// A new, empty temporary image of exactly `bytes`: a file of the in-memory
// store while the store stays within its budget, has a free slot and gets
// the block (the address space of 32-bit x86 may not hold it), else a
// spilled image; in memory again when the spill fails.
static int new_temp_image(int64_t bytes)
{
    if (ramfs_total_size.load() + bytes <= ramfs_budget()) {
        int slot = ramfs_open();
        if (slot >= 0 && ramfs_try_malloc(slot, bytes))
            return slot | FD_RAMFS;
        if (slot >= 0)
            ramfs_close(slot);
    }
    int index = spill_open(bytes);
    if (index >= 0)
        return index | FD_SPILL;
    int slot = ramfs_open();
    if (slot < 0)
        print_error(msg_store_full);
    return slot | FD_RAMFS;
}

image_writer *dest_writer(image_desc *d, pano_file *pf)
{
    const int n = d->ntiles;
    const uint32_t alpha = alpha_pixformat(d->pixformat);
    const irectangle &r = d->dest_rect;
    std::vector<image_writer *> writers(static_cast<size_t>(n) + 1);
    if (pf->tif) {
        writers[0] = panorama_writer(pf, alpha, r, d->tile_rects, n, d->profile);
    } else {
        d->fd = new_temp_image(temp_image_size(r.width, r.height, d->pixformat, nullptr, d->tile_rects, n));
        writers[0] = temp_writer(d->fd, r.width, r.height, alpha, d->pixformat, nullptr, d->tile_rects, n);
    }
    // A pixel in several tiles goes to the first of them only.
    for (int t = 0; t < n; t++) {
        d->tile_ids[t] =
            new_temp_image(temp_image_size(r.width, r.height, alpha, &d->tile_rects[t], d->tile_rects, t));
        writers[static_cast<size_t>(t) + 1] =
            temp_writer(d->tile_ids[t], r.width, r.height, alpha, alpha, &d->tile_rects[t], d->tile_rects, t);
    }
    return mult_writer(writers.data(), n + 1);
}

image_reader *dest_reader(image_desc *d) { return buffered_reader_2(temp_reader(d->fd), 1); }

int preload_tile_reader(const image_desc *d, int partner, int *pos)
{
    for (int t = *pos; t < d->ntiles; t++)
        if (d->tile_partner[t] == partner) {
            *pos = t + 1;
            return 1;
        }
    return 0;
}

image_reader *dest_tile_reader(image_desc *d, int partner, int *pos)
{
    int next = *pos;
    if (!preload_tile_reader(d, partner, &next))
        return nullptr;
    *pos = next - 1;
    return temp_reader(d->tile_ids[*pos]);
}

int preload_blend_images(const image_desc *d, const image_desc *images)
{
    for (int e = 0; e < d->index; e++)
        for (int pos = 0; preload_tile_reader(&images[e], d->index, &pos);)
            ;
    return 0;
}

static bool inside(const irectangle &a, const irectangle &b)
{
    return a.x >= b.x && a.y >= b.y && int64_t(a.x) + a.width <= int64_t(b.x) + b.width &&
           int64_t(a.y) + a.height <= int64_t(b.y) + b.height;
}

// A merge reader over the readers, each at its rectangle moved by (-dx, -dy);
// with kept, merge_reader_kept.
static image_reader *merge_of(const std::vector<image_reader *> &readers,
                              const std::vector<irectangle> &rects, int dx, int dy, int width, int height,
                              image_reader **kept = nullptr)
{
    const size_t k = readers.size();
    image_reader **ra = static_cast<image_reader **>(checked_malloc(sizeof(image_reader *) * k));
    irectangle *rc = static_cast<irectangle *>(checked_malloc(sizeof(irectangle) * k));
    for (size_t i = 0; i < k; i++) {
        ra[i] = readers[i];
        rc[i] = {rects[i].x - dx, rects[i].y - dy, rects[i].width, rects[i].height};
    }
    if (kept)
        return merge_reader_kept(ra, rc, width, height, static_cast<int>(k), kept);
    return merge_reader(ra, rc, width, height, static_cast<int>(k));
}

image_reader *get_blend_images_rim(image_desc *d, image_desc *images, irectangle *out, int wrap,
                                   image_reader **rim)
{
    const int n = d->index;
    std::vector<image_reader *> readers;
    std::vector<irectangle> rects;
    for (int e = 0; e < n; e++) {
        image_desc *earlier = &images[e];
        for (int pos = 0;; pos++) {
            image_reader *ir = dest_tile_reader(earlier, n, &pos);
            if (!ir)
                break;
            irectangle t = earlier->tile_rects[pos];
            t.x += earlier->dest_rect.x;
            t.y += earlier->dest_rect.y;
            readers.push_back(ir);
            rects.push_back(t);
        }
    }
    const int count = static_cast<int>(readers.size());
    print_message(msg_found, count);
    if (count == 0)
        return nullptr;

    for (irectangle &t : rects) {
        if (inside(t, d->dest_rect))
            continue;
        irectangle moved = t;
        moved.x = t.x + wrap;
        if (!inside(moved, d->dest_rect)) {
            moved.x = t.x - wrap;
            if (!inside(moved, d->dest_rect))
                print_error(msg_rectangles);
        }
        t = moved;
    }

    if (count == 1) {
        *out = {rects[0].x - d->dest_rect.x, rects[0].y - d->dest_rect.y, rects[0].width, rects[0].height};
        image_reader *one = buffered_reader_2(readers[0], 1);
        if (rim)
            *rim = one; // a tile read alone keeps every pixel
        return one;
    }
    irectangle bound = rects[0];
    for (int i = 1; i < count; i++) {
        irectangle merged;
        merge_rectangles(&bound, &rects[static_cast<size_t>(i)], &merged);
        bound = merged;
    }
    *out = {bound.x - d->dest_rect.x, bound.y - d->dest_rect.y, bound.width, bound.height};
    return merge_of(readers, rects, bound.x, bound.y, bound.width, bound.height, rim);
}

image_reader *get_blend_images(image_desc *d, image_desc *images, irectangle *out, int wrap)
{
    return get_blend_images_rim(d, images, out, wrap, nullptr);
}

image_reader *merge_dest_images(int count, int width, int height, image_desc *images)
{
    std::vector<image_reader *> readers;
    std::vector<irectangle> rects;
    for (int i = 0; i < count; i++)
        if (images[i].fd != -1 && images[i].dest_rect.width > 0 && images[i].dest_rect.height > 0) {
            readers.push_back(temp_reader(images[i].fd));
            rects.push_back(images[i].dest_rect);
        }
    if (readers.empty())
        return nullptr;
    return merge_of(readers, rects, 0, 0, width, height);
}
