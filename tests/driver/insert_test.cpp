// Caps over zenith and nadir: the copies of the source images whose stacks
// start on the cap plane. The cap records' rows and lines the end-to-end
// sphere-with-caps and query-mode runs check.
#include "stitcher/driver/insert.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/pixformat.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"
#include "tests/geometry/stack_reference.h"
#include "tests/geometry/stack_testutil.h"

#include <gtest/gtest.h>

#include <random>

namespace
{

typedef std::tuple<const char *, const char *, int, int> photo; // o-line, viewpoint line or "", size

// A full equirectangular panorama of 4000 x 2000 and its source images, as
// the entry hands them to add_cap.
struct cap_job {
    std::string pline = "p f2 w4000 h2000 v360";
    stitch_context ctx{};
    cap_job(const std::vector<photo> &images)
    {
        ctx.pano = create_panorama_file("out.tif", 4000, 2000, -int(uchar_RGB), OUTPUT_TIFF, 4000); // no file
        ctx.images = static_cast<image_desc *>(checked_calloc(images.size(), sizeof(image_desc)));
        for (const auto &[oline, vp, width, height] : images) {
            image_desc *d = &ctx.images[ctx.nimages++];
            d->width = width, d->height = height, d->src_rect = {0, 0, width, height}, d->wrap_shift = 1;
            d->o_line = sdup(oline), d->name = sdup("photo.ppm");
            d->viewpoint_line = *vp ? sdup(vp) : nullptr;
            d->stack =
                parser_create_stack_data(pline.c_str(), oline, d->viewpoint_line, width, &d->wrap_shift);
        }
    }
    ~cap_job()
    {
        free_caps(&ctx);
        for (int i = 0; i < ctx.nimages; i++)
            free_image_desc(&ctx.images[i]);
        aligned_free(ctx.images);
        close_panorama_file(nullptr, 0, ctx.pano);
    }
    void add(double angle, int direction)
    {
        testing::internal::CaptureStdout(); // its parameters line
        add_cap(&ctx, pline.c_str(), angle, direction);
        testing::internal::GetCapturedStdout();
    }
};

// A panorama pixel near a pole, taken onto the cap plane by the cap record's
// stack and on by an image's cap copy, lands on the source pixel that the
// image's own stack (built again without a wrap shift) finds for it: the
// copy sees the direction that the image sees. Plain turns the end-to-end
// sphere with caps checks; here turns that are no whole wrap shift, a
// viewpoint, lens corrections. A photo on the horizon has no piece of a cap.
TEST(Caps, CopiesSeeWhatTheImagesSee)
{
    const photo cases[] = {
        {"o f0 v80 p-40", "#-viewpoint 0.05 0 1 0 0", 400, 300},
        {"o f0 v80 y-135", "", 300, 400},
        {"o f3 v180 y200 p10 r3 a0.02 b-0.01 d4 e-3 g0.001 t0.002", "", 500, 500},
        {"o f0 v80 y20 p45", "#-viewpoint 0.05 -0.03 1 2 -3", 400, 300},
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0, 1);
    for (const auto &c : cases) {
        const auto &[oline, vp, width, height] = c;
        int compared = 0; // at one pole or the other
        for (int direction : {0, 1}) {
            cap_job j({c, {"o f0 v40", "", 100, 100}});
            j.add(60, direction);
            const image_desc &cap = j.ctx.images[j.ctx.nimages], &copy = j.ctx.caps[0][0],
                             &image = j.ctx.images[0];
            EXPECT_EQ(int64_t(j.ctx.caps[0][1].dest_rect.width) * j.ctx.caps[0][1].dest_rect.height, 0);
            int no_wrap = 0;
            stacktest::stack_ptr own(
                parser_create_stack_data(j.pline.c_str(), oline, image.viewpoint_line, width, &no_wrap));
            for (int n = 0; n < 4000; n++) {
                // Rows of the band whose pixels lie on the cap's disc.
                double x = 4000 * unit(rng) - 1999.5, y = (cap.width / 2 - 2) * unit(rng) - 999.5;
                ref::point p = ref::remap(cap.stack, x, direction ? -y : y);
                ASSERT_LT(std::hypot(p.x, p.y), cap.width / 2);
                ref::point a = ref::remap(copy.stack, p.x, p.y),
                           b = ref::remap(own.get(), x, direction ? -y : y);
                if (!(std::fabs(b.x) <= width / 2.0 && std::fabs(b.y) <= height / 2.0))
                    continue;
                compared++;
                ASSERT_LT(std::hypot(a.x - b.x, a.y - b.y), 1e-6) << oline << " " << x << "," << y;
            }
        }
        EXPECT_GT(compared, 100) << oline;
    }
}

} // namespace
