#include "chain_testing.h"

#include "stitcher/pipeline/thread_writer.h"

using ::testing::ExitedWithCode;

static bytes filled(size_t n, unsigned char v) { return bytes(n, v); }

TEST(Writers, ShortImageIsPaddedWithZeroRowsBeforeItsClose)
{
    recording_sink s;
    image_writer *iw = recording_writer(&s, 2, 10, uchar_RGBA);
    for (int r = 0; r < 7; r++) {
        bytes row = filled(8, static_cast<unsigned char>(r + 1));
        EXPECT_EQ(write_row(iw, row.data()), 0);
        EXPECT_EQ(iw->rows_written, r + 1);
    }
    EXPECT_EQ(close_image_writer(iw), 0);
    ASSERT_EQ(s.rows.size(), 10u);
    for (int r = 7; r < 10; r++)
        EXPECT_EQ(s.rows[r], filled(8, 0));
    EXPECT_EQ(s.events.back(), "close");
    EXPECT_EQ(std::count(s.events.begin(), s.events.end(), "close"), 1);
}

TEST(Writers, WriterWithoutDataIsNeverClosedAndRowLengthFollowsPixformat)
{
    image_writer *iw = empty_writer(3, 2, ushort_RGB);
    EXPECT_EQ(image_row_length(iw), 18u);
    unsigned char row[18] = {};
    EXPECT_EQ(write_row(iw, row), 0);
    EXPECT_EQ(close_image_writer(iw), 0);
    set_write_log();
}

TEST(Writers, WriteStatusIsPassedOnButCloseReturnsZero)
{
    recording_sink s;
    s.write_status = 4;
    image_writer *iw = recording_writer(&s, 1, 1, uchar_RGB);
    unsigned char row[3] = {1, 2, 3};
    EXPECT_EQ(write_row(iw, row), 4);
    EXPECT_EQ(close_image_writer(iw), 0);
}

TEST(Writers, MultWriterFansOutInOrderAndOrsTheStatuses)
{
    recording_sink a, b;
    b.write_status = 2;
    image_writer *list[2] = {recording_writer(&a, 2, 4, uchar_RGB), recording_writer(&b, 2, 4, uchar_RGB)};
    image_writer *iw = mult_writer(list, 2);
    list[0] = list[1] = nullptr; // the writer keeps its own copy of the list
    EXPECT_EQ(iw->width, 2);
    EXPECT_EQ(iw->height, 4);
    EXPECT_EQ(iw->pixformat, (uint32_t)uchar_RGB);
    bytes row = filled(6, 9);
    EXPECT_EQ(write_row(iw, row.data()), 2);
    EXPECT_EQ(close_image_writer(iw), 0);
    for (recording_sink *s : {&a, &b}) {
        ASSERT_EQ(s->rows.size(), 4u); // one row, then three rows of padding
        EXPECT_EQ(s->rows[0], row);
        EXPECT_EQ(s->rows[3], filled(6, 0));
        EXPECT_EQ(s->events.back(), "close");
    }
}

TEST(Writers, HeavysideMakesAlphaZeroOrFull)
{
    recording_sink s;
    image_writer *iw = heavyside_writer(recording_writer(&s, 3, 2, ushort_RGBA));
    uint16_t row[12] = {10, 20, 30, 1, 40, 50, 60, 0, 70, 80, 90, 65535};
    write_row(iw, row);
    close_image_writer(iw);
    ASSERT_EQ(s.rows.size(), 2u);
    const uint16_t *got = reinterpret_cast<const uint16_t *>(s.rows[0].data());
    EXPECT_EQ(std::vector<uint16_t>(got, got + 12),
              (std::vector<uint16_t>{10, 20, 30, 65535, 40, 50, 60, 0, 70, 80, 90, 65535}));
    EXPECT_EQ(s.rows[1], bytes(24, 0)); // padding passes through as zero

    recording_sink s8;
    iw = heavyside_writer(recording_writer(&s8, 2, 1, uchar_RGBA));
    unsigned char row8[8] = {1, 2, 3, 7, 4, 5, 6, 0};
    write_row(iw, row8);
    close_image_writer(iw);
    EXPECT_EQ(s8.rows[0], (bytes{1, 2, 3, 255, 4, 5, 6, 0}));

    recording_sink rgb;
    image_writer *plain = recording_writer(&rgb, 2, 1, uchar_RGB);
    EXPECT_EXIT(heavyside_writer(plain), ExitedWithCode(1),
                "Assertion failed: iw->pixformat == uchar_RGBA \\|\\| iw->pixformat == ushort_RGBA");
    close_image_writer(plain);
}

TEST(ThreadWriter, RowsArriveInOrderFromItsThread)
{
    recording_sink s;
    const int H = 200;
    image_writer *iw = thread_writer(recording_writer(&s, 3, H + 5, uchar_RGB));
    EXPECT_EQ(iw->height, H + 5);
    for (int r = 0; r < H; r++) {
        bytes row = filled(9, static_cast<unsigned char>(r));
        row[8] = static_cast<unsigned char>(r >> 8);
        EXPECT_EQ(write_row(iw, row.data()), 0);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(close_image_writer(iw), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Received exit");
    ASSERT_EQ(s.rows.size(), size_t(H + 5));
    for (int r = 0; r < H; r++) {
        EXPECT_EQ(s.rows[r][0], static_cast<unsigned char>(r));
        EXPECT_EQ(s.rows[r][8], static_cast<unsigned char>(r >> 8));
    }
    EXPECT_EQ(s.rows[H + 4], filled(9, 0));
    EXPECT_EQ(s.events.back(), "close");
}
