// The generated scripts read back by the stitcher's own parser and stack
// builder: every panorama pixel must land in a photo where the generator's
// camera model put it. Neither side is built from the other, so this is a
// second opinion on both.
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/script/parser.h"
#include "tools/scenegen/script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

namespace
{

using aligned_line = std::unique_ptr<char, decltype(&aligned_free)>;

struct SceneStack : testing::TestWithParam<const char *> {
};

TEST_P(SceneStack, PanoramaPixelsLandWhereTheModelPutsThem)
{
    scene sc;
    scene_options opt;
    opt.scale = 0.25;
    ASSERT_TRUE(make_scene(GetParam(), &opt, &sc));
    const std::string script =
        scene_script(&sc, std::vector<std::string>(sc.shots.size(), "p.ppm"), "test", 0);
    // Sizes and angles as the parser reads them are checked by the pixels
    // below; names and wrap by the stitching runs.
    aligned_line pline{parser_read_script_line(script.c_str(), "p", 1), aligned_free};
    ASSERT_NE(pline.get(), nullptr);
    camera pano = pano_camera(&sc);
    alignas(16) vector_stack vs[RMPSIZE];
    for (size_t i = 0; i < sc.shots.size(); i++) {
        aligned_line oline{parser_read_script_line(script.c_str(), "o", int(i) + 1), aligned_free};
        ASSERT_NE(oline.get(), nullptr);
        int wrap = 0;
        stack_data *sd =
            parser_create_stack_data(pline.get(), oline.get(), nullptr, sc.shots[i].width, &wrap);
        vector_remapper(sd, vs);
        free_stack(sd);
        photo p = shot_photo(&sc.shots[i]);
        int checked = 0;
        for (int y = 0; y < pano.height; y += 7)
            for (int x = 0; x < pano.width; x += 5) {
                double d[3], px, py;
                if (!pixel_to_direction(&pano, x, y, d) || !direction_to_pixel(&p.cam, d, &px, &py) ||
                    px < 0 || py < 0 || px > p.cam.width - 1 || py > p.cam.height - 1)
                    continue;
                alignas(16) float xs[4], ys[4];
                std::fill(xs, xs + 4, float(x - (pano.width / 2.0 - 0.5)));
                std::fill(ys, ys + 4, float(y - (pano.height / 2.0 - 0.5)));
                remap(xs, ys, vs);
                ASSERT_LT(std::hypot(xs[0] + (p.cam.width / 2.0 - 0.5) - px,
                                     ys[0] + (p.cam.height / 2.0 - 0.5) - py),
                          0.01)
                    << "photo " << i + 1 << " at " << x << "," << y;
                checked++;
            }
        EXPECT_GT(checked, 100) << "photo " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(Presets, SceneStack,
                         testing::Values("identity", "crops", "seam", "sphere", "fisheye", "demo", "big20",
                                         "big24", "big20lens", "sphere20lens"));

} // namespace
