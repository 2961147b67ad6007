// The project script of a scene: the p-line, the m-line and one o-line per
// photo, in the classic p/o/m-line syntax.
#pragma once
#include "tools/scenegen/scenes.h"

#include <string>
#include <vector>

// The shortest decimal text that reads back as exactly v.
std::string number_text(double v);

// names: the photos' file names as the script gives them (relative to the
// script's folder); about: a line of comment on what made the scene.
std::string scene_script(const scene *sc, const std::vector<std::string> &names, const std::string &about,
                         int interpolator);
