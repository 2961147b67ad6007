#include "format_testing.h"

#include "stitcher/formats/exif.h"
#include "stitcher/formats/icc_profile.h"
#include "stitcher/formats/jpeg.h"
#include "stitcher/pipeline/memory.h"

#include <thread>

using ::testing::ExitedWithCode;

struct marker {
    int code;
    bytes data;
    bool operator==(const marker &o) const { return code == o.code && data == o.data; }
};

// The APPn markers of a JPEG file up to its first scan, in file order.
static std::vector<marker> app_markers(const std::string &file)
{
    std::vector<marker> out;
    size_t p = 2;
    while (p + 4 <= file.size() && static_cast<unsigned char>(file[p]) == 0xFF) {
        int code = static_cast<unsigned char>(file[p + 1]);
        size_t len = (static_cast<unsigned char>(file[p + 2]) << 8) | static_cast<unsigned char>(file[p + 3]);
        if (code == 0xDA || len < 2 || p + 2 + len > file.size())
            break;
        if (code >= 0xE0 && code <= 0xEF)
            out.push_back({code, bytes(file.begin() + static_cast<ptrdiff_t>(p + 4),
                                       file.begin() + static_cast<ptrdiff_t>(p + 2 + len))});
        p += 2 + len;
    }
    return out;
}

// The file with a marker inserted right after its start-of-image.
static std::string with_marker(const std::string &jpeg, int code, const bytes &payload)
{
    size_t len = payload.size() + 2;
    std::string m = {'\xFF', static_cast<char>(code), static_cast<char>(len >> 8),
                     static_cast<char>(len & 255)};
    return jpeg.substr(0, 2) + m + std::string(payload.begin(), payload.end()) + jpeg.substr(2);
}

// A colour profile in its APP2 form: "ICC_PROFILE", chunk 1 of 1, then the
// profile (but for its signature, its contents do not matter to a reader).
static bytes icc_marker()
{
    bytes b = to_bytes(std::string("ICC_PROFILE\0\x01\x01", 14));
    for (int i = 0; i < 300; i++)
        b.push_back(static_cast<unsigned char>(i * 7));
    memcpy(&b[14 + 36], "acsp", 4);
    return b;
}

// Pixels of a PPM or PGM text as RGB.
static bytes pnm_pixels(const std::string &pnm, int *width = nullptr, int *height = nullptr)
{
    int w, h, maxval, n = 0;
    char magic[3] = {};
    if (sscanf(pnm.c_str(), "%2s %d %d %d%n", magic, &w, &h, &maxval, &n) != 4)
        return {};
    bytes raw(pnm.begin() + n + 1, pnm.end());
    if (width)
        *width = w;
    if (height)
        *height = h;
    if (magic[1] == '6')
        return raw;
    bytes rgb;
    for (unsigned char g : raw)
        rgb.insert(rgb.end(), {g, g, g});
    return rgb;
}

static std::string ppm_text(const bytes &rgb, int w, int h)
{
    return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
           std::string(rgb.begin(), rgb.end());
}

// Rotates an RGB image as EXIF orientation 6 (90 degrees clockwise) or 8.
static bytes rotated(const bytes &rgb, int w, int h, int orientation)
{
    bytes out(rgb.size());
    // Output is h wide and w high.
    for (int y = 0; y < w; y++)
        for (int x = 0; x < h; x++) {
            int sx = orientation == 6 ? y : w - 1 - y;
            int sy = orientation == 6 ? h - 1 - x : x;
            memcpy(&out[(static_cast<size_t>(y) * h + x) * 3], &rgb[(static_cast<size_t>(sy) * w + sx) * 3],
                   3);
        }
    return out;
}

class JpegFile : public FormatTest
{
  protected:
    void SetUp() override
    {
        FormatTest::SetUp();
        free_saved_markers();
        set_honor_exiforientation(0);
    }
    void TearDown() override
    {
        free_saved_markers();
        forget_icc_profile();
        set_honor_exiforientation(0);
        FormatTest::TearDown();
    }
    // A JPEG made by cjpeg from the pixels.
    std::string cjpeg(const bytes &rgb, int w, int h, const std::string &options, const std::string &name)
    {
        write_file(path(name + ".ppm"), ppm_text(rgb, w, h));
        run_result r =
            sh("cjpeg " + options + " -outfile " + shq(path(name)) + " " + shq(path(name + ".ppm")));
        EXPECT_EQ(r.status, 0) << r.err;
        return path(name);
    }
    // Keeps the file's markers and profile for the JPEGs written next; its orientation.
    int keep_markers_of(const std::string &file)
    {
        saved_marker *markers;
        icc_profile *profile;
        int orientation = 0;
        EXPECT_EQ(jpeg_read_metadata(file.c_str(), &markers, &profile, &orientation), 0);
        keep_saved_markers(markers);
        keep_icc_profile(profile);
        free_icc_profile(profile);
        return orientation;
    }
    bytes djpeg(const std::string &file, int *w = nullptr, int *h = nullptr)
    {
        run_result r = sh("djpeg -rgb -pnm " + shq(file));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "") << "djpeg complained about " << file;
        return pnm_pixels(r.out, w, h);
    }
};

TEST_F(JpegFile, DecodesExactlyAsDjpeg)
{
    REQUIRE_TOOL("cjpeg");
    REQUIRE_TOOL("djpeg");
    const int w = 37, h = 23; // not a multiple of the 16-pixel blocks
    bytes rgb = pattern(w, h, uchar_RGB);
    for (const char *options : {"", "-sample 1x1", "-sample 2x1", "-progressive", "-restart 1 -optimize"}) {
        SCOPED_TRACE(options);
        std::string file = cjpeg(rgb, w, h, options, "d.jpg");
        image_reader *ir = jpeg_reader(file.c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->width, w);
        EXPECT_EQ(ir->height, h);
        EXPECT_EQ(ir->pixformat, uchar_RGB);
        EXPECT_EQ(read_all(ir), djpeg(file));
    }
}

TEST_F(JpegFile, GreyIsDeliveredAsRgb)
{
    REQUIRE_TOOL("cjpeg");
    std::string file = cjpeg(pattern(19, 11, uchar_RGB), 19, 11, "-grayscale", "g.jpg");
    image_reader *ir = jpeg_reader(file.c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(ir->pixformat, uchar_RGB);
    bytes got = read_all(ir);
    EXPECT_EQ(got, djpeg(file));
    for (size_t i = 0; i < got.size(); i += 3)
        ASSERT_TRUE(got[i] == got[i + 1] && got[i] == got[i + 2]);
}

TEST_F(JpegFile, CmykAndYcckAreRefusedWithTheName)
{
    REQUIRE_TOOL("convert");
    magick_from_raw(pattern(8, 8, uchar_RGB), 8, 8, "rgb", 8, "-colorspace CMYK", path("cmyk.jpg"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(jpeg_reader(path("cmyk.jpg").c_str()), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path("cmyk.jpg")), std::string::npos) << err;
    // ImageMagick stores CMYK as YCCK; both are four-sample colour spaces.
    EXPECT_TRUE(err.find("CMYK") != std::string::npos || err.find("YCCK") != std::string::npos) << err;
}

// Round trips of a smooth picture at quality 95 stay within 8 levels per
// sample, 1.5 on average.
TEST_F(JpegFile, RoundTripsStayWithinTheBoundAndOutsideToolsAgree)
{
    REQUIRE_TOOL("djpeg");
    REQUIRE_TOOL("jpeginfo");
    const int w = 61, h = 37;
    bytes rgb = smooth(w, h);
    for (int progressive = 0; progressive < 2; progressive++) {
        SCOPED_TRACE(progressive ? "progressive" : "baseline");
        std::string file = path("rt.jpg");
        write_all(jpeg_writer(file.c_str(), w, h, uchar_RGB, 95, progressive), rgb);
        run_result info = sh("jpeginfo -c " + file);
        EXPECT_EQ(info.status, 0) << info.out;
        EXPECT_NE(info.out.find(progressive ? " P " : " N "), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("OK"), std::string::npos) << info.out;
        bytes got = read_all(jpeg_reader(file.c_str()));
        EXPECT_EQ(got, djpeg(file));
        ASSERT_EQ(got.size(), rgb.size());
        int worst = 0;
        double sum = 0;
        for (size_t i = 0; i < got.size(); i++) {
            int d = std::abs(got[i] - rgb[i]);
            worst = std::max(worst, d);
            sum += d;
        }
        EXPECT_LE(worst, 8);
        EXPECT_LE(sum / static_cast<double>(got.size()), 1.5);
    }
}

TEST_F(JpegFile, QualityIsHonoured)
{
    bytes rgb = pattern(64, 64, uchar_RGB);
    write_all(jpeg_writer(path("q30.jpg").c_str(), 64, 64, uchar_RGB, 30, 0), rgb);
    write_all(jpeg_writer(path("q95.jpg").c_str(), 64, 64, uchar_RGB, 95, 0), rgb);
    EXPECT_LT(read_file(path("q30.jpg")).size() * 2, read_file(path("q95.jpg")).size());
}

// ---- EXIF orientation ----

TEST_F(JpegFile, OrientationSixAndEightAreRotatedOnlyWhenHonoured)
{
    REQUIRE_TOOL("cjpeg");
    REQUIRE_TOOL("exiftool");
    const int w = 24, h = 16;
    std::string plain = cjpeg(pattern(w, h, uchar_RGB), w, h, "-quality 95", "plain.jpg");
    bytes pixels = djpeg(plain);
    for (int orientation : {6, 8})
        for (const char *order : {"II", "MM"}) {
            SCOPED_TRACE(std::to_string(orientation) + order);
            std::string file = path("o.jpg");
            write_file(file, read_file(plain));
            ASSERT_EQ(sh("exiftool -q -overwrite_original -n -Orientation=" + std::to_string(orientation) +
                         " -ExifByteOrder=" + order + " " + file)
                          .status,
                      0);
            set_honor_exiforientation(0);
            image_reader *ir = jpeg_reader(file.c_str());
            ASSERT_NE(ir, nullptr);
            EXPECT_EQ(ir->width, w);
            EXPECT_EQ(read_all(ir), pixels);

            set_honor_exiforientation(1);
            ir = jpeg_reader(file.c_str());
            ASSERT_NE(ir, nullptr);
            EXPECT_EQ(ir->width, h);
            EXPECT_EQ(ir->height, w);
            EXPECT_EQ(read_all(ir), rotated(pixels, w, h, orientation));

            // What is written after it carries its EXIF, upright now.
            EXPECT_EQ(keep_markers_of(file), orientation);
            std::string out = path("out.jpg");
            write_all(jpeg_writer(out.c_str(), h, w, uchar_RGB, 90, 0), rotated(pixels, w, h, orientation));
            run_result r = sh("exiftool -n -Orientation -ExifByteOrder " + out);
            EXPECT_NE(r.out.find("Orientation                     : 1"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(std::string("Exif Byte Order                 : ") + order),
                      std::string::npos)
                << r.out;
            free_saved_markers();
        }
}

TEST_F(JpegFile, OtherOrientationsEndTheRunWhenHonoured)
{
    REQUIRE_TOOL("exiftool");
    write_all(jpeg_writer(path("o3.jpg").c_str(), 8, 8, uchar_RGB, 90, 0), smooth(8, 8));
    ASSERT_EQ(sh("exiftool -q -overwrite_original -n -Orientation=3 " + path("o3.jpg")).status, 0);
    image_reader *ir = jpeg_reader(path("o3.jpg").c_str());
    ASSERT_NE(ir, nullptr);
    read_all(ir); // not honoured: read as it is
    set_honor_exiforientation(1);
    EXPECT_EXIT(jpeg_reader(path("o3.jpg").c_str()), ExitedWithCode(1),
                "^exif rotation 3 not implemented in .*/o3\\.jpg\n$");
}

TEST_F(JpegFile, ExifWithOffsetsPastItsEndIsIgnored)
{
    std::string file = path("plain.jpg");
    write_all(jpeg_writer(file.c_str(), 8, 4, uchar_RGB, 90, 0), smooth(8, 4));
    // IFD0 far beyond the block, then an entry count past its end.
    bytes far = to_bytes(std::string("Exif\0\0MM\0\x2a\xff\xff\xff\xf0", 14));
    bytes many =
        to_bytes(std::string("Exif\0\0II\x2a\0\x08\0\0\0\xff\xff\x12\x01\x03\0\x01\0\0\0\x06\0", 26));
    set_honor_exiforientation(1);
    for (const bytes &payload : {far, many}) {
        write_file(path("bad.jpg"), with_marker(read_file(file), 0xE1, payload));
        image_reader *ir = jpeg_reader(path("bad.jpg").c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->width, 8) << "not rotated";
        read_all(ir);
    }
}

// ---- saved markers ----

TEST_F(JpegFile, MarkersReadFromTheHeaderReachTheOutput)
{
    REQUIRE_TOOL("exiftool");
    REQUIRE_TOOL("djpeg");
    std::string plain = path("plain.jpg");
    write_all(jpeg_writer(plain.c_str(), 16, 8, uchar_RGB, 90, 0), smooth(16, 8));
    ASSERT_TRUE(app_markers(read_file(plain)).size() == 1) << "only the JFIF APP0";

    std::string tagged = path("tagged.jpg");
    write_file(tagged, with_marker(read_file(plain), 0xE2, icc_marker()));
    ASSERT_EQ(
        sh("exiftool -q -overwrite_original -n -Orientation=6 -ExifByteOrder=MM -Make=Zenthra " + tagged)
            .status,
        0);
    std::string other = path("other.jpg");
    write_file(other, read_file(plain));
    ASSERT_EQ(sh("exiftool -q -overwrite_original -n -Orientation=8 -Make=Other " + other).status, 0);

    EXPECT_EQ(keep_markers_of(plain), 1);
    EXPECT_EQ(saved_markers(), nullptr);
    close_image_reader(jpeg_reader(other.c_str())); // decoding keeps nothing
    EXPECT_EQ(saved_markers(), nullptr);
    EXPECT_EQ(keep_markers_of(tagged), 6);

    std::vector<marker> source;
    for (const marker &m : app_markers(read_file(tagged)))
        if (m.code == 0xE1 || m.code == 0xE2)
            source.push_back(m);
    ASSERT_EQ(source.size(), 2u);
    std::vector<marker> kept;
    for (const saved_marker *m = saved_markers(); m; m = m->next)
        kept.push_back({m->code, bytes(m->data, m->data + m->length)});
    EXPECT_EQ(kept, source);

    std::string out = path("out.jpg");
    write_all(jpeg_writer(out.c_str(), 20, 10, uchar_RGB, 90, 1), smooth(20, 10));
    std::vector<marker> written = app_markers(read_file(out));
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].code, 0xE0);
    EXPECT_EQ(written[2], source[1]) << "the colour profile unchanged";
    EXPECT_EQ(written[1].code, 0xE1);
    uint16_t orientation = 0;
    EXPECT_EQ(get_exif_tag(written[1].data.data(), written[1].data.size(), 274, SHORT, &orientation), 0);
    EXPECT_EQ(orientation, 1);
    EXPECT_EQ(get_exif_tag(kept[0].data.data(), kept[0].data.size(), 274, SHORT, &orientation), 0);
    EXPECT_EQ(orientation, 6) << "the kept list itself is not rewritten";

    run_result r = sh("exiftool -n -Orientation -ExifByteOrder -Make " + out);
    EXPECT_NE(r.out.find("Orientation                     : 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MM"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Zenthra"), std::string::npos) << r.out;
    ASSERT_EQ(sh("djpeg -icc " + path("icc.bin") + " " + out + " > /dev/null").status, 0);
    bytes icc = icc_marker();
    EXPECT_EQ(to_bytes(read_file(path("icc.bin"))), bytes(icc.begin() + 14, icc.end()));
}

TEST_F(JpegFile, AWriterOnAnotherThreadSeesTheMarkers)
{
    std::string plain = path("plain.jpg");
    write_all(jpeg_writer(plain.c_str(), 8, 8, uchar_RGB, 90, 0), smooth(8, 8));
    std::string tagged = path("tagged.jpg");
    bytes payload = to_bytes("ZenthraTestMarker");
    // A Multi-Picture index describes images behind the photo's own: dropped.
    const bytes mpf = to_bytes(std::string("MPF\0II*\0\x08\0\0\0", 12));
    write_file(tagged, with_marker(with_marker(read_file(plain), 0xE2, mpf), 0xE1, payload));
    keep_markers_of(tagged);
    ASSERT_EQ(saved_markers()->next->length, mpf.size());
    std::string out = path("out.jpg");
    std::thread writer([&] { write_all(jpeg_writer(out.c_str(), 8, 8, uchar_RGB, 90, 0), smooth(8, 8)); });
    writer.join();
    std::vector<marker> written = app_markers(read_file(out));
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1], (marker{0xE1, payload})) << "not EXIF: written unchanged";
}

// Profiles that are none, or too large for JPEG markers, are refused; one kept
// from a photo read earlier replaces the profile in the markers of a JPEG.
TEST_F(JpegFile, AnEarlierPhotosProfileReplacesTheMarkersOwn)
{
    auto profile = [](size_t length, bool piece) { // an ICC header's signature, alone or in its APP2 piece
        bytes p(length, static_cast<unsigned char>(length));
        memcpy(&p[36], "acsp", 4);
        p.insert(p.begin(), {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1});
        return piece ? p : bytes(p.begin() + 14, p.end());
    };
    std::string jpeg = path("photo.jpg");
    write_all(jpeg_writer(jpeg.c_str(), 8, 8, uchar_RGB, 90, 0), smooth(8, 8));
    write_file(jpeg, with_marker(read_file(jpeg), 0xE2, profile(301, true)));
    testing::internal::CaptureStderr();
    EXPECT_EQ(new_icc_profile("short.tif", profile(200, false).data(), 127), nullptr);
    EXPECT_EQ(new_icc_profile("big.tif", profile(ICC_PROFILE_MAX + 1, false).data(), ICC_PROFILE_MAX + 1),
              nullptr);
    icc_profile *tiff = new_icc_profile("photo.tif", profile(200, false).data(), 200);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: the colour profile of short.tif is no ICC profile; it is not used.\n"
              "Warning: the colour profile of big.tif is larger than 16,707,345 bytes; it is not used.\n");
    keep_markers_of(jpeg);
    keep_icc_profile(tiff);
    free_icc_profile(tiff);
    write_all(jpeg_writer(jpeg.c_str(), 8, 8, uchar_RGB, 90, 0), smooth(8, 8));
    std::vector<marker> written = app_markers(read_file(jpeg));
    ASSERT_EQ(written.size(), 2u) << "JFIF, then the profile alone";
    EXPECT_EQ(written[1], (marker{0xE2, profile(200, true)}));
}

// ---- damaged files and failures ----

TEST_F(JpegFile, DamagedFilesAreRefusedWithTheirNameAtOpen)
{
    std::string good = path("good.jpg");
    write_all(jpeg_writer(good.c_str(), 64, 64, uchar_RGB, 90, 1), pattern(64, 64, uchar_RGB));
    std::string file = read_file(good);
    write_file(path("empty.jpg"), "");
    write_file(path("text.jpg"), "This is a text file that only pretends to be a JPEG image.\n");
    write_file(path("header-cut.jpg"), file.substr(0, 200));
    // A progressive file is decoded whole at open, so its missing scans show there.
    write_file(path("progressive-cut.jpg"), file.substr(0, file.size() * 2 / 3));
    // Whole, but its frame header claims 65500 x 65500: far more blocks than
    // the file has bits, refused before anything is decoded.
    write_all(jpeg_writer(good.c_str(), 64, 64, uchar_RGB, 90, 0), pattern(64, 64, uchar_RGB));
    file = read_file(good);
    for (size_t i = 2; i + 9 < file.size(); i += 2 + (uint8_t(file[i + 2]) << 8 | uint8_t(file[i + 3])))
        if (file[i + 1] == '\xC0') {
            file.replace(i + 5, 4, "\xFF\xDC\xFF\xDC");
            break;
        }
    write_file(path("claims-huge.jpg"), file);
    EXPECT_EQ(jpeg_reader(path("missing.jpg").c_str()), nullptr);
    for (const char *name :
         {"empty.jpg", "text.jpg", "header-cut.jpg", "progressive-cut.jpg", "claims-huge.jpg"})
        expect_refused(jpeg_reader, path(name));
}

TEST_F(JpegFile, SizeBeyondTheMemoryIsRefusedBeforeDecoding)
{
    // Found by fuzzing: a header of 2.4 GB of pixels with orientation 6 made
    // the rotation reserve all of it before a row was decoded.
    write_all(jpeg_writer(path("a.jpg").c_str(), 100, 100, uchar_RGB, 90, 0), smooth(100, 100));
    set_available_memory(29999);
    expect_refused(jpeg_reader, path("a.jpg"));
    set_available_memory(30000);
    image_reader *ir = jpeg_reader(path("a.jpg").c_str());
    ASSERT_NE(ir, nullptr);
    close_image_reader(ir);
    set_available_memory(SIZE_MAX);
}

TEST_F(JpegFile, TruncatedBaselineDataIsFatalWhereItIsMet)
{
    std::string good = path("good.jpg");
    write_all(jpeg_writer(good.c_str(), 64, 64, uchar_RGB, 90, 0), pattern(64, 64, uchar_RGB));
    std::string file = read_file(good);
    write_file(path("cut.jpg"), file.substr(0, file.size() / 2));
    image_reader *ir = jpeg_reader(path("cut.jpg").c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EXIT(read_all(ir), ExitedWithCode(1), "JPEG file .*cut\\.jpg: Premature end of JPEG file");
    close_image_reader(ir);
}

TEST_F(JpegFile, WriterFailuresAreFatalAndNameTheFile)
{
    EXPECT_EXIT(jpeg_writer(path("a.jpg").c_str(), 4, 4, uchar_RGBA, 90, 0), ExitedWithCode(1),
                "^JPEG images must be uchar_RGB\\.\n$");
    EXPECT_EXIT(jpeg_writer(path("no/folder/a.jpg").c_str(), 4, 4, uchar_RGB, 90, 0), ExitedWithCode(1),
                "Could not create file .*no/folder/a\\.jpg");
    EXPECT_EXIT(write_all(jpeg_writer("/dev/full", 64, 64, uchar_RGB, 90, 0), pattern(64, 64, uchar_RGB)),
                ExitedWithCode(1), "JPEG file /dev/full: ");
    EXPECT_EXIT(jpeg_writer(path("wide.jpg").c_str(), 70000, 4, uchar_RGB, 90, 0), ExitedWithCode(1),
                "JPEG file .*wide\\.jpg: Maximum supported image dimension");
}
