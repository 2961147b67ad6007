// Values of a script that would make the job meaningless are refused here,
// when the script is read, rather than as an empty panorama hours later.
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/keloerror.h"
#include "stitcher/script/parser.h"

#include <cmath>
#include <cstdlib>
#include <string>

static const char *const msg_fov = "Script-error: field of view %g is invalid for projection f%d.\n";
static const char *const msg_projection = "Warning: projection f%d is not supported, using %s.\n";
static const char *const msg_number_typo = "Warning: in %s, %s.\n";

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

// Where get_int (strtol, through satoi) or get_double stops reading s; s
// itself when no number starts it.
static const char *number_end(const char *s, bool integer)
{
    char *end = nullptr;
    if (integer)
        strtol(s, &end, 10);
    else
        c_strtod(s, &end);
    return end;
}

void warn_number_typos(const char *line, const char *label, const char *ints, const char *doubles)
{
    std::string said;
    auto check = [&](char key, bool integer) {
        std::string v;
        if (!find_option(line, key, &v))
            return;
        const char *end = number_end(v.c_str(), integer);
        if (end == v.c_str() || *end == '\0')
            return;
        said += std::string(said.empty() ? "" : "; ") + key + v + " is read as " + key +
                v.substr(0, static_cast<size_t>(end - v.c_str()));
    };
    for (const char *k = ints; *k; k++)
        check(*k, true);
    for (const char *k = doubles; *k; k++)
        check(*k, false);
    if (!said.empty())
        print_warning(msg_number_typo, label, said.c_str());
}
