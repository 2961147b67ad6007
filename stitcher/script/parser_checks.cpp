// Values of a script that would make the job meaningless are refused here,
// when the script is read, rather than as an empty panorama hours later.
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/script/parser.h"

#include <cmath>

static const char *const msg_fov = "Script-error: field of view %g is invalid for projection f%d.\n";
static const char *const msg_projection = "Warning: projection f%d is not supported, using %s.\n";

static const char *const class_names[] = {
    "rectilinear", "cylindrical",        "equirectangular", "fisheye",
    "equisolid",   "mirrored equisolid", "three-parameter", "multi-segment rectilinear"};

// A rectilinear plane ends at 180 degrees (tan(fov / 2)); the equisolid
// scale 4 sin(fov / 4) vanishes at 720.
void check_field_of_view(double fov, int f, int pclass)
{
    double limit = INFINITY;
    if (pclass == PROJ_RECTILINEAR)
        limit = 180;
    else if (pclass == PROJ_EQUISOLID || pclass == PROJ_MIRROR_EQUISOLID)
        limit = 720;
    if (!std::isfinite(fov) || fov <= 0 || fov >= limit)
        print_error(msg_fov, fov, f);
}

void warn_projection(int f, int fallback_class)
{
    print_warning(msg_projection, f, class_names[fallback_class]);
}
