// Stand-in for the panorama output file: the record and the name rule only;
// no file is opened.
#include "stitcher/formats/panorama_file.h"

#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"

#include <cstring>

static bool ends_with_any(const char *name, const char *const *suffixes)
{
    for (; *suffixes; suffixes++)
        if (sendswith(name, *suffixes, 1))
            return true;
    return false;
}

static char *output_name(const char *name, output_format format)
{
    static const char *const jpeg[] = {".jpg", ".jpeg", nullptr};
    static const char *const tiff[] = {".tif", ".tiff", ".btf", ".tf8", nullptr};
    const char *suffix = nullptr;
    switch (output_kind(format)) {
    case OUTPUT_JPEG:
        suffix = ends_with_any(name, jpeg) ? nullptr : ".jpg";
        break;
    case OUTPUT_PPM:
        suffix = ".ppm";
        break;
    case OUTPUT_TIFF:
    case OUTPUT_TIFF_LAYERED:
        suffix = ends_with_any(name, tiff) ? nullptr : ".tif";
        break;
    case OUTPUT_PSD:
        suffix = output_big(format) ? ".psb" : ".psd";
        break;
    }
    if (!suffix || sendswith(name, suffix, 1))
        return sdup(name);
    return sadd(name, suffix);
}

pano_file *create_panorama_file(const char *name, int width, int height, int pixformat, output_format format,
                                int wrap)
{
    pano_file *pf = static_cast<pano_file *>(checked_calloc(1, sizeof(pano_file)));
    pf->projection = 2;
    pf->width = width;
    pf->height = height;
    pf->wrap = wrap;
    pf->format = format;
    if (pixformat < 0) {
        pf->pixformat = -pixformat;
        pf->name = sdup(name);
    } else if (strcmp(name, "-") == 0) {
        pf->pixformat = pixformat;
        pf->format = OUTPUT_PPM;
        pf->name = sdup(name);
    } else {
        pf->pixformat = output_kind(format) == OUTPUT_TIFF_LAYERED
                            ? static_cast<int32_t>(alpha_pixformat(static_cast<uint32_t>(pixformat)))
                            : pixformat;
        pf->name = output_name(name, format);
    }
    return pf;
}

int close_panorama_file(image_desc *, int, pano_file *pf)
{
    if (pf)
        aligned_free(pf->name);
    aligned_free(pf);
    return 0;
}
