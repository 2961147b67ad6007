// The p-line read into the panorama record, the caps permission and the
// m-line.
#include "stitcher/formats/panorama_file.h"
#include "stitcher/geometry/transform.h"
#include "stitcher/script/stitch_context.h"
#include "tests/script/script_testing.h"

using namespace scripttest;
using ::testing::ExitedWithCode;

namespace
{

struct pano_result {
    int width, height, projection, wrap, format, pixformat;
    std::string warning;
};

pano_result read_pano(const std::string &pline, const char *name = "out", int pixformat = 4)
{
    stitch_context ctx{};
    ::testing::internal::CaptureStderr();
    int status = parser_get_pano(pline.c_str(), name, pixformat, &ctx);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    pano_file *pf = ctx.pano;
    pano_result r{pf->width, pf->height, pf->projection, pf->wrap, pf->format, pf->pixformat, err};
    close_panorama_file(nullptr, 0, pf);
    return r;
}

TEST(PLine, EveryProjection)
{
    // Class and wrap of every f; rectilinear ones (f0) get a field of view
    // they can show. Codes outside the table are equirectangular, with a
    // warning; -1 and no f are equirectangular without one.
    const int classes[20] = {0, 1, 2, 3, 2, 4, 5, 2, 2, 2, 4, 7, 2, 2, 2, 2, 2, 2, 2, 6};
    for (int f = -1; f <= 21; f++) {
        int pclass = f >= 0 && f < 20 ? classes[f] : 2;
        std::string pline = "p f" + std::to_string(f) + " w2000 h1000 v" + (pclass == 0 ? "90" : "360");
        pano_result r = read_pano(pline);
        EXPECT_EQ(r.projection, pclass) << pline;
        EXPECT_EQ(r.wrap, pclass == 1 || pclass == 2 ? 2000 : 0) << pline;
        EXPECT_EQ(r.width, 2000);
        EXPECT_EQ(r.height, 1000);
        if (f < -1 || f > 19)
            EXPECT_EQ(r.warning, "Warning: projection f" + std::to_string(f) +
                                     " is not supported, using equirectangular.\n");
        else
            EXPECT_EQ(r.warning, "") << pline;
    }
    pano_result none = read_pano("p v180");
    EXPECT_EQ(none.projection, 2);
    EXPECT_EQ(none.wrap, 0);
    EXPECT_EQ(none.width, 1024);
    EXPECT_EQ(none.height, 512);
    EXPECT_EQ(read_pano("p f-5 w100 h50").warning,
              "Warning: projection f-5 is not supported, using equirectangular.\n");
}

TEST(PLine, OutputFormatAndPixformat)
{
    const struct {
        const char *pline, *name;
        int format;
    } cases[] = {
        {"p w100 h50", "out", 3},
        {"p w100 h50 n\"PSB\"", "out", 0x105},
        {"p w100 h50 n\"PSB\"", "out.TIFF", 3},
        {"p w100 h50 n\"TIFF b1\"", "out.tif", 3},
        {"p w100 h50 n\"JPEG q95 g1\"", "out.jpg", 1281},
        {"p w100 h50 n\"JPEG q95 g1\"", "out.jpeg", 95 * 16 + 1 + 0x10000},
        {"p w100 h50 n\"BMP\"", "out", 3},
        {"p w100 h50 n\"TIFF_m\"", "out", 4},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read_pano(c.pline, c.name).format, c.format) << c.pline << " " << c.name;
    EXPECT_EQ(read_pano("p w100 h50", "out", 6).pixformat, 6);
    EXPECT_EQ(read_pano("p w100 h50", "in.tif", -4).pixformat, 4);
}

TEST(PLine, RefusedPanoramas)
{
    const struct {
        const char *pline, *message;
    } cases[] = {
        {"p w0 h50", "Script-error: panorama size 0x50 is invalid.\n"},
        {"p w100 h-5", "Script-error: panorama size 100x-5 is invalid.\n"},
        {"p w268435456", "Script-error: panorama size 268435456x512 is invalid.\n"},
        {"p wx", "Script-error: panorama size 0x512 is invalid.\n"},
        {"p f2 v0", "Script-error: field of view 0 is invalid for projection f2.\n"},
        {"p v-360", "Script-error: field of view -360 is invalid for projection f2.\n"},
        {"p f1 vinf", "Script-error: field of view inf is invalid for projection f1.\n"},
        {"p f0 v180", "Script-error: field of view 180 is invalid for projection f0.\n"},
        {"p f5 v720", "Script-error: field of view 720 is invalid for projection f5.\n"},
    };
    for (const auto &c : cases) {
        stitch_context ctx{};
        EXPECT_EXIT(parser_get_pano(c.pline, "out", 4, &ctx), ExitedWithCode(1), literally(c.message))
            << c.pline;
    }
    // The largest side that the rectangles can hold is accepted.
    EXPECT_EQ(read_pano("p w268435455 h1 v10").width, 268435455);
}

TEST(CapPermission, Table)
{
    const struct {
        const char *pline;
        int allowed;
    } cases[] = {
        {"p f2 w2000 h1000", 1},
        {"p f2 w2000 h1000 v360", 1},
        {"p f2 w2000 h1000 v359", 0},
        {"p w2000 h1000", 0},
        {"p f-1 w2000 h1000", 1},
        {"p f25 w2000 h1000", 1},
        {"p f4 w2000 h1000", 1},
        {"p f1 w2000 h1000", 0},
        {"p f0 w2000 h1000", 0},
        {"p f2 w2000", 0},
        {"p f2 h1000", 0},
        {"p f2", 0},
        {"p f2 w2001 h1000", 0},
        {"p f2 w2 ", 1},
        {"p f19 w2000 h1000", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(can_blend_over_cap(c.pline), c.allowed) << c.pline;
}

TEST(MLine, InterpolatorMap)
{
    const int codes[10] = {INTERP_POLY3,    INTERP_SPLINE16, INTERP_SPLINE36, INTERP_SINC256, INTERP_SPLINE64,
                           INTERP_BILINEAR, INTERP_NN,       INTERP_SINC1024, INTERP_SINC36,  INTERP_SINC64};
    for (int i = 0; i < 10; i++) {
        int code = -5;
        parser_set_mode(("m g1 i" + std::to_string(i)).c_str(), &code);
        EXPECT_EQ(code, codes[i]) << i;
    }
    for (const char *unchanged : {"m", "m i-1", "m g1"}) {
        int code = INTERP_SPLINE36;
        parser_set_mode(unchanged, &code);
        EXPECT_EQ(code, INTERP_SPLINE36) << unchanged;
    }
    ::testing::internal::CaptureStderr();
    int code = INTERP_POLY3;
    parser_set_mode("m i10", &code);
    parser_set_mode("m i-2", &code);
    EXPECT_EQ(
        ::testing::internal::GetCapturedStderr(),
        "Unsupported interpolator : i10, using bicubic\nUnsupported interpolator : i-2, using bicubic\n");
    EXPECT_EQ(code, INTERP_POLY3);
}

} // namespace
