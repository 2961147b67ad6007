#include "stitcher/script/image_desc.h"
#include "stitcher/script/parser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace
{

output_format format_of(const std::string &n)
{
    return parser_get_fileformat(("p f2 w100 n\"" + n + "\"").c_str());
}

TEST(OutputFormat, CodesOfTheKeywords)
{
    using row = std::pair<const char *, output_format>;
    const row keywords[] = {
        {"JPEG q95 g1", 67057}, {"JPEG", 1281}, {"jpg q0", 1}, {"JPEG q100", 1601}, {"JPEG q80 g0", 1281},
        {"TIFF b1", 259},       {"tif b2", 3},  {"TIFF", 3},   {"TIFF_m b1", 260},  {"TIFF_m", 4},
        {"PSB", 261},           {"psd", 5},     {"PPM", 2},    {"BMP", -1},         {"PNG b1", -1},
    };
    // The keywords are prefixes, tried in order; options are letters after
    // a blank inside the text.
    const row prefixes[] = {
        {"TIFF_mask b1", 260}, {"tiff_multi", 4}, {"TIFFX b1", 259}, {"JPEGXL q90", 90 * 16 + 1},
        {"JPGfoo", 1281},      {"JPEGq95", 1281}, {"TIFFb1", 3},
    };
    for (const auto &[n, code] : keywords)
        EXPECT_EQ(format_of(n), code) << n;
    for (const auto &[n, code] : prefixes)
        EXPECT_EQ(format_of(n), code) << n;
}

TEST(OutputFormat, AbsentOrEmptyName)
{
    EXPECT_EQ(parser_get_fileformat("p f2 w100"), -1);
    EXPECT_EQ(parser_get_fileformat("p f2 n\"\""), -1);
    EXPECT_EQ(parser_get_fileformat("p f2 n"), -1);
    // Unquoted, the value is one token.
    EXPECT_EQ(parser_get_fileformat("p f2 nPSD w100"), 5);
    EXPECT_EQ(parser_get_fileformat("p nJPEG q50"), 1281);
}

TEST(OutputFormat, FieldsOfTheCode)
{
    output_format f = format_of("JPEG q95 g1");
    EXPECT_EQ(output_kind(f), OUTPUT_JPEG);
    EXPECT_EQ(output_quality(f), 95);
    EXPECT_EQ(output_progressive(f), 1);
    f = format_of("JPEG q100");
    EXPECT_EQ(output_quality(f), 100);
    EXPECT_EQ(output_progressive(f), 0);
    f = format_of("TIFF_m b1");
    EXPECT_EQ(output_kind(f), OUTPUT_TIFF_LAYERED);
    EXPECT_EQ(output_big(f), 1);
    EXPECT_EQ(output_big(format_of("PSD")), 0);
}

TEST(OutputFormatDeathTest, JpegSettingsOutOfRange)
{
    EXPECT_EXIT(format_of("JPEG q101"), ::testing::ExitedWithCode(1),
                "^JPEG quality must be >0 && < 100, is 101\n$");
    EXPECT_EXIT(format_of("jpg q-5"), ::testing::ExitedWithCode(1),
                "^JPEG quality must be >0 && < 100, is -5\n$");
    EXPECT_EXIT(format_of("JPEG g2"), ::testing::ExitedWithCode(1),
                "^JPEG progressive setting must be 0 or 1, is 2\n$");
    EXPECT_EXIT(format_of("JPEG q90 g-1"), ::testing::ExitedWithCode(1),
                "JPEG progressive setting must be 0 or 1, is -1");
}

// The writer thread may read what an image wrote once its word says so.
TEST(ImageRecord, DoneWordHandsTheImageOver)
{
    for (int round = 0; round < 50; round++) {
        image_desc d{};
        std::atomic<int> seen_fd{0};
        std::thread writer([&] {
            while (get_image_done(&d) == 0)
                std::this_thread::yield();
            seen_fd = d.fd;
        });
        d.fd = 0x10000 + round;
        d.dest_rect = {round, 0, 10, 10};
        set_image_done(&d, 1);
        writer.join();
        EXPECT_EQ(seen_fd, 0x10000 + round);
    }
}

} // namespace
