#include "format_testing.h"

#include "stitcher/formats/ppm.h"
#include "stitcher/pipeline/fileio.h"
#include "stitcher/pipeline/memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using ::testing::ExitedWithCode;

class PpmFile : public FormatTest
{
  protected:
    // A file of these bytes, and its reader (null when refused).
    image_reader *reader_of(const std::string &content, const std::string &name = "x.ppm")
    {
        write_file(path(name), content);
        return ppm_reader(path(name).c_str());
    }
};

static std::string body(size_t n, char c = 'a') { return std::string(n, c); }

TEST_F(PpmFile, RoundTripsAreBitExactInEveryLayout)
{
    const uint32_t formats[] = {uchar_RGB, uchar_RGBA, ushort_RGB, ushort_RGBA};
    const char *headers[] = {"P6\n13 7\n255\n", "P7\n13 7\n255\n", "P6\n13 7\n65535\n", "P7\n13 7\n65535\n"};
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE(headers[k]);
        bytes pixels = pattern(13, 7, formats[k], k);
        write_all(ppm_writer(path("rt.ppm").c_str(), 13, 7, formats[k]), pixels);
        std::string file = read_file(path("rt.ppm"));
        EXPECT_EQ(file, headers[k] + std::string(pixels.begin(), pixels.end()));
        image_reader *ir = ppm_reader(path("rt.ppm").c_str());
        ASSERT_NE(ir, nullptr);
        EXPECT_EQ(ir->width, 13);
        EXPECT_EQ(ir->height, 7);
        EXPECT_EQ(ir->pixformat, formats[k]);
        EXPECT_EQ(read_all(ir), pixels);
    }
}

TEST_F(PpmFile, HeadersOfThePartAreRead)
{
    image_reader *ir = reader_of("P6\n640 480\n255\n" + body(640 * 480 * 3));
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(ir->width, 640);
    EXPECT_EQ(ir->height, 480);
    EXPECT_EQ(ir->pixformat, uchar_RGB);
    close_image_reader(ir);

    ir = reader_of("P7\n10 10\n65535\n" + body(10 * 10 * 8));
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(ir->pixformat, ushort_RGBA);
    close_image_reader(ir);
}

TEST_F(PpmFile, CommentsAndBlankLinesBeforeTheSizeAreSkipped)
{
    image_reader *ir = reader_of("\n\r\nP6\n# made by hand\n\n#another\r\n2 1\n255\nABCDEF");
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), to_bytes("ABCDEF"));
}

TEST_F(PpmFile, CrLfHeaderLeavesTheLfAsFirstPixelByte)
{
    image_reader *ir = reader_of("P6\r\n2 1\r\n255\r\nABCDE");
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), to_bytes("\nABCDE"));
}

TEST_F(PpmFile, HeadersThatAreNotAcceptedGiveNull)
{
    const char *refused[] = {
        "P6 4 4 255\n",              // all on one line
        "P6\n4 4\n4095\n",           // 12-bit maximum value
        "P6\n4 4\n# comment\n255\n", // comment before the maximum value
        "P3\n1 1\n255\n1 2 3\n",     // plain text PPM
        "P5\n4 4\n255\n",            // grey PGM
        "4 4\n255\n",                // no magic line
        "P6\n4\n255\n",              // one number for the size
        "P6\n0 4\n255\n",            // empty
        "P6\n-4 4\n255\n",           // negative
        "P6\n4 4\n",                 // no maximum value
        "P6\n99999999999 1\n255\n",  // past the int range
        "",                          // empty file
        "Hello, I am a text file.\nNot an image at all.\n",
    };
    for (const char *text : refused) {
        SCOPED_TRACE(text);
        // Enough bytes for any image the header could mean.
        EXPECT_EQ(reader_of(std::string(text) + body(200)), nullptr);
    }
}

TEST_F(PpmFile, EndlessCommentsAreRefused)
{
    FILE *pipe = popen("yes '# comment'", "re");
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(ppm_reader_2(pipe), nullptr);
}

// What a refusal of a converter's output says, or "accepted".
static std::string piped_refusal(const std::string &command)
{
    FILE *pipe = popen(command.c_str(), "re");
    testing::internal::CaptureStderr();
    image_reader *ir = ppm_reader_2(pipe);
    std::string err = testing::internal::GetCapturedStderr();
    if (!ir)
        return err;
    close_image_reader(ir);
    return "accepted";
}

// A converter that writes nothing but line ends used to keep the reader
// spinning for ever. One row of 16 GiB is more than a 64th of any
// machine's memory.
TEST_F(PpmFile, PipedHeadersAndSizesAreBoundedBeforeTheRing)
{
    EXPECT_NE(piped_refusal("yes ''").find("the header is too long"), std::string::npos);
    EXPECT_NE(piped_refusal("printf 'P7\\n2147483647 1\\n65535\\n'").find("a row of the image is larger"),
              std::string::npos);
    set_available_memory(1 << 20);
    EXPECT_NE(piped_refusal("printf 'P6\\n1000 1000\\n255\\n'").find("larger than the memory"),
              std::string::npos);
    EXPECT_EQ(piped_refusal("printf 'P6\\n100 100\\n255\\n'; head -c 30000 /dev/zero"), "accepted");
    set_available_memory(SIZE_MAX);
}

TEST_F(PpmFile, HugeSizeInATinyFileIsRefusedBeforeAnyAllocation)
{
    write_file(path("huge.ppm"), "P6\n65000 65000\n255\nx"); // 20 bytes
    expect_refused(ppm_reader, path("huge.ppm"));
}

TEST_F(PpmFile, RowBytesThatOverflowAreRefused)
{
    // 2^31 - 1 pixels of 8 bytes, times as many rows, is past 2^63.
    EXPECT_EQ(reader_of("P7\n2147483647 2147483647\n65535\n" + body(64)), nullptr);
}

TEST_F(PpmFile, TruncatedFileIsRefusedAtOpen)
{
    EXPECT_EQ(reader_of("P6\n4 4\n255\n" + body(47)), nullptr);
    image_reader *ir = reader_of("P6\n4 4\n255\n" + body(48));
    ASSERT_NE(ir, nullptr);
    close_image_reader(ir);
}

TEST_F(PpmFile, MissingFileGivesNull) { EXPECT_EQ(ppm_reader(path("none.ppm").c_str()), nullptr); }

TEST_F(PpmFile, PipeOutputIsReadAndClosed)
{
    bytes pixels = pattern(4, 3, uchar_RGBA);
    write_file(path("p.ppm"), "P7\n4 3\n255\n" + std::string(pixels.begin(), pixels.end()));
    FILE *pipe = popen(("cat " + path("p.ppm")).c_str(), "re");
    ASSERT_NE(pipe, nullptr);
    image_reader *ir = ppm_reader_2(pipe);
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(ir->pixformat, uchar_RGBA);
    EXPECT_EQ(read_all(ir), pixels);

    pipe = popen("echo not an image", "re");
    EXPECT_EQ(ppm_reader_2(pipe), nullptr);
}

TEST_F(PpmFile, PipeThatEndsEarlyIsFatal)
{
    FILE *pipe = popen("printf 'P6\\n2 2\\n255\\nabcdefghi'", "re");
    ASSERT_NE(pipe, nullptr);
    image_reader *ir = ppm_reader_2(pipe);
    ASSERT_NE(ir, nullptr);
    read_row(ir, 0, nullptr);
    EXPECT_EXIT(read_row(ir, 1, nullptr), ExitedWithCode(1), "^Cannot read ppm image\\.\n$");
    close_image_reader(ir);
}

TEST_F(PpmFile, PositionedOutputIsExtendedToItsFullLength)
{
    std::string name = path("pano.ppm");
    ppm_data *pd = open_ppm(name.c_str(), 10, 6, ushort_RGB);
    EXPECT_EQ(pd->header_len, 14); // "P6\n10 6\n65535\n"
    EXPECT_EQ(pd->row_bytes, 60);
    bytes row = pattern(10, 1, ushort_RGB);
    ASSERT_EQ(pwrite_full(pd->fd, row.data(), row.size(), pd->header_len + 2 * pd->row_bytes), 0);
    EXPECT_EQ(ppm_close(pd), 0);

    std::string file = read_file(name);
    ASSERT_EQ(file.size(), 14u + 6 * 60);
    EXPECT_EQ(file.substr(14 + 120, 60), std::string(row.begin(), row.end()));
    EXPECT_EQ(file.substr(14 + 180), std::string(180, '\0')) << "rows never written read as zero";
}

TEST_F(PpmFile, ExistingOutputIsReplaced)
{
    write_file(path("old.ppm"), std::string(5000, 'z'));
    write_all(ppm_writer(path("old.ppm").c_str(), 1, 1, uchar_RGB), to_bytes("abc"));
    EXPECT_EQ(read_file(path("old.ppm")), "P6\n1 1\n255\nabc");
}

TEST_F(PpmFile, StandardOutputIsNeverExtendedNorClosed)
{
    std::string name = path("stdout.ppm");
    int file = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(file, 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(file, 1);
    ppm_data *pd = open_ppm("-", 4, 4, uchar_RGB);
    EXPECT_EQ(pd->fd, 1);
    ppm_close(pd);
    bool still_open = fcntl(1, F_GETFD) != -1;
    dup2(saved, 1);
    close(saved);
    close(file);
    EXPECT_TRUE(still_open);
    EXPECT_EQ(read_file(name), "P6\n4 4\n255\n");
}

TEST_F(PpmFile, WriteFailuresAreFatalAndNameTheFile)
{
    EXPECT_EXIT(ppm_writer("/dev/full", 4, 4, uchar_RGB), ExitedWithCode(1),
                "Could not write file /dev/full");
    std::string missing = path("no/such/folder/x.ppm");
    EXPECT_EXIT(ppm_writer(missing.c_str(), 4, 4, uchar_RGB), ExitedWithCode(1),
                "Could not open file .*no/such/folder/x\\.ppm: No such file or directory\\.");
    EXPECT_EXIT(ppm_writer(path("f.ppm").c_str(), 4, 4, float_RGBA), ExitedWithCode(1),
                "Pixel format 1 not supported for output");
}

TEST_F(PpmFile, RowWriteFailureIsFatal)
{
    std::string name = path("full.ppm");
    EXPECT_EXIT(
        {
            image_writer *iw = ppm_writer(name.c_str(), 100, 100, uchar_RGB);
            // The disk fills up after the header.
            int full = open("/dev/full", O_WRONLY);
            dup2(full, static_cast<ppm_data *>(iw->data)->fd);
            bytes row(300, 7);
            write_row(iw, row.data());
        },
        ExitedWithCode(1), "Could not write file .*full\\.ppm: No space left on device");
}

// ---- outside decoders ----

TEST_F(PpmFile, OutsideToolsReadWhatWeWrite)
{
    REQUIRE_TOOL("convert");
    REQUIRE_TOOL("ppmtoppm");
    bytes rgb = pattern(13, 7, uchar_RGB);
    write_all(ppm_writer(path("a.ppm").c_str(), 13, 7, uchar_RGB), rgb);
    EXPECT_EQ(magick_pixels(path("a.ppm"), "rgb", 8), rgb);
    run_result r = sh("ppmtoppm < " + path("a.ppm"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "P6\n13 7\n255\n" + std::string(rgb.begin(), rgb.end()));

    // 16-bit samples stay in host order: netpbm and ImageMagick, which read
    // them big-endian, see every sample with its bytes swapped.
    bytes rgb16 = pattern(13, 7, ushort_RGB);
    write_all(ppm_writer(path("b.ppm").c_str(), 13, 7, ushort_RGB), rgb16);
    bytes swapped = rgb16;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    EXPECT_EQ(magick_pixels(path("b.ppm"), "rgb", 16), swapped);
    r = sh("ppmtoppm < " + path("b.ppm") + " | tail -c " + std::to_string(rgb16.size()));
    EXPECT_EQ(r.out, std::string(rgb16.begin(), rgb16.end()))
        << "netpbm keeps the bytes of a valid 16-bit PPM";

    // The RGBA variant is not PAM; its pixel block is plain interleaved RGBA.
    bytes rgba = pattern(13, 7, uchar_RGBA);
    write_all(ppm_writer(path("c.ppm").c_str(), 13, 7, uchar_RGBA), rgba);
    r = sh("convert -size 13x7+12 -depth 8 rgba:" + path("c.ppm") + " rgba:-");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(to_bytes(r.out), rgba);
}

TEST_F(PpmFile, WeReadWhatOutsideToolsWrite)
{
    REQUIRE_TOOL("convert");
    REQUIRE_TOOL("rawtoppm");
    bytes rgb = pattern(13, 7, uchar_RGB);
    magick_from_raw(rgb, 13, 7, "rgb", 8, "", path("im.ppm"));
    image_reader *ir = ppm_reader(path("im.ppm").c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), rgb);

    write_file(path("raw"), std::string(rgb.begin(), rgb.end()));
    ASSERT_EQ(sh("rawtoppm 13 7 < " + path("raw") + " > " + path("net.ppm")).status, 0);
    ir = ppm_reader(path("net.ppm").c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), rgb);
}
