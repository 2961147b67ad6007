#include "stitcher/driver/photo_metadata.h"

#include "stitcher/driver/warp_and_blend.h"
#include "stitcher/formats/icc_profile.h"
#include "stitcher/formats/image_file.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/formats/output_format.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/stitch_context.h"

#include <string>

static const char msg_mixed[] =
    "Warning: the photos have different colour profiles, and nothing is converted: the panorama "
    "carries %s of %s. These photos differ:\n%s";
static const char msg_mixed_ppm[] =
    "Warning: the photos have different colour profiles, and nothing is converted (a PPM panorama "
    "carries none): the first is %s of %s. These photos differ:\n%s";

// Photos named in the warning; the rest are counted.
enum { LISTED = 20 };

static std::string describe(const icc_profile *p)
{
    if (!p)
        return "none";
    char text[128];
    icc_profile_description(p, text, sizeof text);
    return text[0] ? "\"" + std::string(text) + "\"" : "a profile without description";
}

static void warn_if_mixed(const stitch_context *ctx, const image_desc *first)
{
    std::string list;
    int differ = 0;
    for (int k = 0; k < ctx->nimages; k++) {
        const image_desc *d = &ctx->images[k];
        if (!image_lands(ctx, k) || same_icc_profile(d->profile, first->profile))
            continue;
        if (++differ <= LISTED)
            list += "  " + std::string(d->name) + ": " + describe(d->profile) + "\n";
    }
    if (differ == 0)
        return;
    if (differ > LISTED)
        list += "  and " + std::to_string(differ - LISTED) + " more\n";
    const bool ppm = output_kind(ctx->pano->format) == OUTPUT_PPM;
    print_warning(ppm ? msg_mixed_ppm : msg_mixed, describe(first->profile).c_str(), first->name,
                  list.c_str());
}

void choose_panorama_metadata(stitch_context *ctx)
{
    if (ctx->color_mode)
        return;
    const image_desc *first = nullptr; // the first photo with a profile
    bool markers = false;
    for (int k = 0; k < ctx->nimages; k++) {
        if (!image_lands(ctx, k))
            continue;
        image_desc *d = &ctx->images[k];
        image_metadata m = read_image_metadata(d->name);
        check_exif_orientation(d->name, m.orientation);
        if (m.markers && !markers) {
            keep_saved_markers(m.markers);
            m.markers = nullptr;
            markers = true;
        }
        free_icc_profile(d->profile);
        d->profile = m.profile;
        m.profile = nullptr;
        if (!first && d->profile)
            first = d;
        free_image_metadata(&m);
    }
    if (!markers)
        keep_saved_markers(nullptr);
    keep_icc_profile(first ? first->profile : nullptr);
    // A layered TIFF's pages carry each its own.
    if (first && output_kind(ctx->pano->format) != OUTPUT_TIFF_LAYERED)
        warn_if_mixed(ctx, first);
}
