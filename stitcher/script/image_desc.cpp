#include "stitcher/script/image_desc.h"

#include "stitcher/formats/icc_profile.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"

void free_image_desc(image_desc *d)
{
    aligned_free(d->name);
    aligned_free(d->o_line);
    aligned_free(d->viewpoint_line);
    free_stack(d->stack);
    free_icc_profile(d->profile);
    d->profile = nullptr;
    aligned_free(d->tile_ids);
    aligned_free(d->tile_rects);
    aligned_free(d->tile_partner);
    d->name = d->o_line = d->viewpoint_line = nullptr;
    d->stack = nullptr;
    d->tile_ids = d->tile_partner = nullptr;
    d->tile_rects = nullptr;
    d->ntiles = 0;
}
