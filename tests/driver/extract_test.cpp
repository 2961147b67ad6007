// Inverse mode: the writer each photo gets by its name, and the failures.
// The round trips (a .jpg and a .tif photo among them) run the program.
#include "stitcher/driver/extract.h"
#include "stitcher/formats/panorama_file.h"
#include "stitcher/formats/ppm.h"
#include "stitcher/pipeline/memory.h"
#include "stitcher/pipeline/string2.h"
#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"
#include "stitcher/script/stitch_context.h"
#include "tests/formats/format_testing.h"

using ::testing::ExitedWithCode;

namespace
{

// The job as the entry hands it over: the panorama record naming the file
// to read, and the image records of the script in dir.
struct inverse_job {
    stitch_context ctx{};
    char *script, *pline;
    inverse_job(const std::string &dir, const std::string &text, const std::string &pano)
        : script(sdup(text.c_str())), pline(parser_read_script_line(script, "p", 1))
    {
        testing::internal::CaptureStderr();
        parser_get_pano(pline, pano.c_str(), -int(uchar_RGB), &ctx);
        ctx.images = static_cast<image_desc *>(checked_calloc(4, sizeof(image_desc)));
        while (parser_get_image((dir + "/").c_str(), script, pline, ctx.nimages + 1,
                                &ctx.images[ctx.nimages]) == 0)
            ctx.nimages++;
        testing::internal::GetCapturedStderr();
    }
    ~inverse_job()
    {
        for (int i = 0; i < ctx.nimages; i++)
            free_image_desc(&ctx.images[i]);
        aligned_free(ctx.images);
        close_panorama_file(nullptr, 0, ctx.pano);
        aligned_free(pline);
        aligned_free(script);
    }
    void run() { extract_images(pline, &ctx); }
};

// What a file is by its first bytes; for a JPEG also the first entry of its
// first quantisation table, which libjpeg scales from 16 to 6 at quality 80,
// 3 at 90 and 2 at 95.
std::string file_kind(const std::string &path)
{
    std::string s = read_file(path);
    size_t dqt = s.find("\xFF\xDB");
    if (s.rfind("\xFF\xD8", 0) == 0 && dqt != std::string::npos)
        return (s.find("\xFF\xC2") != std::string::npos ? "progressive q" : "jpeg q") +
               std::to_string(static_cast<unsigned char>(s.at(dqt + 5)));
    for (const char *magic : {"II+", "P6\n"})
        if (s.rfind(magic, 0) == 0)
            return magic;
    return "?";
}

using Extract = FormatTest;

TEST_F(Extract, WriterByNameThenByPanorama)
{
    const output_format q90p = 90 * 16 + OUTPUT_JPEG + OUTPUT_PROGRESSIVE, q95 = 95 * 16 + OUTPUT_JPEG;
    const std::tuple<const char *, output_format, uint32_t, const char *> cases[] = {
        {"a.jpg", OUTPUT_TIFF | OUTPUT_BIG, uchar_RGB, "jpeg q6"},
        {"a.JPEG", q90p, uchar_RGB, "progressive q3"},
        {"a.jpg", q95, ushort_RGB, "jpeg q2"},
        {"a.png", q95, uchar_RGB, "jpeg q2"},
        {"a.TIFF", OUTPUT_TIFF | OUTPUT_BIG, uchar_RGB, "II+"},
        {"a", OUTPUT_PPM, uchar_RGB, "P6\n"},
    };
    for (const auto &[name, code, pixformat, kind] : cases) {
        const std::string file = path(name);
        write_file(file, std::string(100000, 'x')); // must not survive past the new end
        pano_file *pano = create_panorama_file("pano", 40, 20, -int(pixformat), code, 40);
        image_writer *iw = extract_writer(file.c_str(), 12, 9, pano);
        ASSERT_NE(iw, nullptr) << name;
        write_all(iw, pattern(12, 9, iw->pixformat)); // 16-bit rows go into a JPEG as 8-bit
        close_panorama_file(nullptr, 0, pano);
        EXPECT_EQ(file_kind(file), kind) << name << " " << code;
        EXPECT_EQ(read_file(file).find("xxxx"), std::string::npos) << name;
    }
}

// A panorama of 20 x 10 pixels whose script says 40 x 20, and a photo of
// 8 x 6. A failure ends the run; the photo is opened only when its reader
// chain stands, so a stack without an inverse leaves it untouched.
TEST_F(Extract, Failures)
{
    write_all(ppm_writer(path("pano.ppm").c_str(), 20, 10, uchar_RGB), pattern(20, 10, uchar_RGB));
    const std::string p = "p f2 w40 h20 v360\n", o = "o w8 h6 f4 v72 n\"a.ppm\"\n";
    inverse_job missing(dir, p + o, path("missing.ppm"));
    EXPECT_EXIT(missing.run(), ExitedWithCode(1),
                "Could not read panorama: " + path("missing.ppm") + ": No such file or directory\\.\n");
    inverse_job psd(dir, p + "o w8 h6 f4 v72 n\"a.png\"\n", path("pano.ppm"));
    psd.ctx.pano->format = OUTPUT_PSD;
    EXPECT_EXIT(psd.run(), ExitedWithCode(1),
                "Could not create image file " + path("a.png") +
                    ": inverse mode writes JPEG, TIFF and PPM files only\\.\n");
    write_file(path("a.ppm"), "keep");
    inverse_job f11(dir, "p f11 w40 h20 v120\n" + o, path("pano.ppm"));
    EXPECT_EXIT(f11.run(), ExitedWithCode(1), "Multirectilinear format not invertible");
    EXPECT_EQ(read_file(path("a.ppm")), "keep");
}

} // namespace
