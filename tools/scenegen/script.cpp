#include "tools/scenegen/script.h"

#include <algorithm>
#include <charconv>

std::string number_text(double v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v == 0 ? 0.0 : v); // no "-0"
    return std::string(buf, r.ptr);
}

static const char conventions[] =
    "# yaw turns right, pitch up, roll turns the picture counter-clockwise; v is the\n"
    "# horizontal field of view in degrees; pixel centres lie at w/2 - 0.5, h/2 - 0.5.\n";

std::string scene_script(const scene *sc, const std::vector<std::string> &names, const std::string &about,
                         int interpolator)
{
    std::string s = "# " + about + "\n" + conventions;
    s += "p f" + std::to_string(pline_code(sc->pano_projection)) + " w" + std::to_string(sc->pano_width) +
         " h" + std::to_string(sc->pano_height) + " v" + number_text(sc->pano_hfov) + " n\"" +
         sc->pano_format + "\"\n";
    s += "m i" + std::to_string(interpolator) + "\n";
    bool circle_told = false;
    for (size_t i = 0; i < sc->shots.size(); i++) {
        const shot &k = sc->shots[i];
        if (k.circular && !circle_told)
            s += "# f2, circular fisheye: only the circle of diameter w centred on the image is used\n";
        circle_told |= k.circular;
        std::string line = "o w" + std::to_string(k.width) + " h" + std::to_string(k.height) + " f" +
                           std::to_string(oline_code(k.projection, k.circular)) + " v" + number_text(k.hfov) +
                           " y" + number_text(k.yaw) + " p" + number_text(k.pitch) + " r" +
                           number_text(k.roll);
        for (int t = 0; t < 5; t++)
            if (k.lens[t] != 0)
                line += std::string(" ") + "abcde"[t] + number_text(k.lens[t]);
        line += " n\"" + names[i] + "\"\n";
        for (int b = 0; b < std::max(1, sc->brackets); b++)
            s += line;
    }
    return s;
}
