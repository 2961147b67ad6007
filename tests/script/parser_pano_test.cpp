// The p-line read into the panorama record, the caps permission and the
// m-line.
#include "stitcher/formats/panorama_file.h"
#include "stitcher/geometry/transform.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"

#include <gtest/gtest.h>

namespace
{

// projection, wrap, format and width of the panorama record. Read as in
// inverse mode, which opens no file.
std::vector<int> pano(const std::string &pline, const char *name = "out")
{
    stitch_context ctx{};
    EXPECT_EQ(parser_get_pano(pline.c_str(), name, -4, &ctx), 0);
    std::vector<int> r = {ctx.pano->projection, ctx.pano->wrap, ctx.pano->format, ctx.pano->width};
    close_panorama_file(nullptr, 0, ctx.pano);
    return r;
}

TEST(ParserPano, EveryProjection)
{
    const int classes[20] = {0, 1, 2, 3, 2, 4, 5, 2, 2, 2, 4, 7, 2, 2, 2, 2, 2, 2, 2, 6};
    for (int f = -2; f <= 20; f++) {
        int pclass = f >= 0 && f < 20 ? classes[f] : 2;
        std::string pline = "p f" + std::to_string(f) + " w2000 h1000 v" + (pclass == 0 ? "90" : "360");
        int wrap = pclass == 1 || pclass == 2 ? 2000 : 0;
        EXPECT_EQ(pano(pline), std::vector<int>({pclass, wrap, 3, 2000})) << pline;
    }
    EXPECT_EQ(pano("p v180"), std::vector<int>({2, 0, 3, 1024}));
    EXPECT_EQ(pano("p w268435455 h1 v10")[3], 268435455);
}

TEST(ParserPano, OutputFormat)
{
    const std::tuple<const char *, const char *, int> cases[] = {
        {"p n\"PSB\"", "out", 0x105},     {"p n\"PSB\"", "out.TIFF", 3},
        {"p n\"TIFF b1\"", "out.tif", 3}, {"p n\"JPEG q95 g1\"", "out.jpg", 1281},
        {"p n\"BMP\"", "out", 3},         {"p n\"JPEG q95 g1\"", "out.jpeg", 95 * 16 + 1 + 0x10000},
    };
    for (const auto &[pline, name, format] : cases)
        EXPECT_EQ(pano(pline, name)[2], format) << pline << " " << name;
}

TEST(ParserPano, CapPermission)
{
    // Without f the class is rectilinear here; w and h default to 1.
    for (const char *yes :
         {"p f2 w2000 h1000 v360", "p f-1 w2000 h1000", "p f25 w2000 h1000", "p f4 w2 h1", "p f2 w2"})
        EXPECT_EQ(can_blend_over_cap(yes), 1) << yes;
    for (const char *no : {"p w2000 h1000", "p f2 w2000 h1000 v359", "p f1 w2000 h1000", "p f2 w2000", "p f2",
                           "p f2 w2001 h1000", "p f19 w2000 h1000"})
        EXPECT_EQ(can_blend_over_cap(no), 0) << no;
}

TEST(ParserPano, InterpolatorMap)
{
    const int codes[10] = {INTERP_POLY3,    INTERP_SPLINE16, INTERP_SPLINE36, INTERP_SINC256, INTERP_SPLINE64,
                           INTERP_BILINEAR, INTERP_NN,       INTERP_SINC1024, INTERP_SINC36,  INTERP_SINC64};
    for (int i = 0; i < 10; i++) {
        int code = -5;
        parser_set_mode(("m g1 i" + std::to_string(i)).c_str(), &code);
        EXPECT_EQ(code, codes[i]) << i;
    }
    for (const char *unchanged : {"m", "m i-1", "m i10", "m i-2"}) {
        int code = -5;
        parser_set_mode(unchanged, &code);
        EXPECT_EQ(code, -5) << unchanged;
    }
}

} // namespace
