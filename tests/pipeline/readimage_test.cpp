#include "chain_testing.h"

#include "stitcher/pipeline/memory.h"

using ::testing::ExitedWithCode;

class ReaderCore : public ChainTest
{
};

TEST_F(ReaderCore, UnconnectedReaderIsReleasedByItsFirstClose)
{
    mem_image m(2, 2, uchar_RGB);
    m.close_status = 5;
    image_reader *ir = mem_reader(&m);
    EXPECT_EQ(image_reader_count, start_count + 1);
    EXPECT_EQ(ir->type, 1u);
    EXPECT_EQ(close_image_reader(ir), 5);
    EXPECT_EQ(m.closes, 1);
}

TEST_F(ReaderCore, ReaderConnectedTwiceSurvivesOneClose)
{
    mem_image m(2, 2, uchar_RGB);
    m.close_status = 3;
    image_reader *ir = mem_reader(&m);
    connect_reader(ir);
    connect_reader(ir);
    EXPECT_EQ(close_image_reader(ir), 0);
    EXPECT_EQ(m.closes, 0);
    EXPECT_EQ(image_reader_count, start_count + 1);
    EXPECT_EQ(close_image_reader(ir), 3);
    EXPECT_EQ(m.closes, 1);
}

TEST_F(ReaderCore, TypeKeepsTwoBitsAndRowLengthFollowsThePixformat)
{
    image_reader *ir = create_image_reader(7, nullptr, 5, 1, ushort_RGBA, mem_read, nullptr);
    EXPECT_EQ(ir->type, 3u);
    EXPECT_EQ(image_row_length(ir), 40u);
    ir->pixformat = 99;
    EXPECT_EQ(image_row_length(ir), 0u);
    EXPECT_EQ(close_image_reader(ir), 0);
}

TEST_F(ReaderCore, SecondCloseOfAReleasedReaderStops)
{
    mem_image m(1, 1, uchar_RGB);
    image_reader *ir = mem_reader(&m);
    close_image_reader(ir);
    EXPECT_EXIT(close_image_reader(ir), ExitedWithCode(1), "image reader closed after its release");
}

// ---- sequential reader ----

TEST_F(ReaderCore, SequentialReaderProducesSkippedRowsInOrder)
{
    counting_source c(2, 8);
    image_reader *ir = counting_reader(&c, 8);
    unsigned char buf[6];
    EXPECT_EQ(read_row(ir, 3, buf), buf);
    EXPECT_EQ(buf[0], counting_source::value(3, 0));
    EXPECT_EQ(c.produced, (std::vector<int>{1, 1, 1, 1, 0, 0, 0, 0}));
    read_row(ir, 4, buf);
    EXPECT_EQ(buf[0], counting_source::value(4, 0));
    EXPECT_EQ(c.next, 5);
    close_image_reader(ir);
    EXPECT_EQ(c.closes, 1);
}

TEST_F(ReaderCore, SequentialReaderCannotRewind)
{
    counting_source c(2, 8);
    image_reader *ir = counting_reader(&c, 8);
    unsigned char buf[6];
    read_row(ir, 6, buf);
    EXPECT_EXIT(read_row(ir, 4, buf), ExitedWithCode(1), "^Cannot rewind sequential reader from 7 to 4\n$");
    EXPECT_EXIT(read_row(ir, 7, nullptr), ExitedWithCode(1), "Assertion failed: buf != NULL");
    close_image_reader(ir);
}

// ---- buffered reader ----

struct follow_log {
    std::vector<int> rows;
    bool null_buffers = true;
};

static void *follow_read(image_reader *ir, int n, void *buf)
{
    follow_log *log = static_cast<follow_log *>(ir->data);
    log->rows.push_back(n);
    log->null_buffers = log->null_buffers && buf == nullptr;
    return nullptr;
}

TEST_F(ReaderCore, BufferedReaderServesItsWindowAndAnyRowAhead)
{
    mem_image m(3, 20, uchar_RGB);
    image_reader *ir = buffered_reader_2(mem_reader(&m), 3);
    EXPECT_EQ(ir->width, 3);
    EXPECT_EQ(ir->pixformat, (uint32_t)uchar_RGB);
    read_row(ir, 9, nullptr);
    for (int r = 0; r <= 9; r++)
        EXPECT_EQ(m.reads[r], 1) << "row " << r;
    for (int r = 7; r <= 9; r++) {
        void *p = read_row(ir, r, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        EXPECT_EQ(row_of(p, 9), m.row_copy(r));
        unsigned char buf[9];
        EXPECT_EQ(read_row(ir, r, buf), buf);
        EXPECT_EQ(row_of(buf, 9), m.row_copy(r));
    }
    EXPECT_EXIT(read_row(ir, 6, nullptr), ExitedWithCode(1), "^Read buffer too small, is 3, should be 4\n$");
    EXPECT_EXIT(read_row(ir, -1, nullptr), ExitedWithCode(1), "Read buffer too small, is 3, should be 11");
    EXPECT_EQ(row_of(read_row(ir, 15, nullptr), 9), m.row_copy(15));
    EXPECT_EQ(row_of(read_row(ir, 13, nullptr), 9), m.row_copy(13));
    for (int r = 0; r < 20; r++)
        EXPECT_EQ(m.reads[r], r <= 15 ? 1 : 0) << "row " << r;
    EXPECT_EQ(close_image_reader(ir), 0);
    EXPECT_EQ(m.closes, 1);
}

TEST_F(ReaderCore, BufferedFetchCallsFollowersWithEveryRowInOrder)
{
    mem_image m(2, 10, uchar_RGB);
    image_reader *ir = buffered_reader_2(mem_reader(&m), 2);
    follow_log log;
    image_reader *f1 = create_image_reader(1, &log, 2, 10, uchar_RGB, follow_read, nullptr);
    synchronize_reader(f1, ir);
    synchronize_reader(f1, ir); // listed twice: called twice, in list order
    read_row(ir, 5, nullptr);
    EXPECT_EQ(log.rows, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}));
    EXPECT_TRUE(log.null_buffers);
    read_row(ir, 4, nullptr); // inside the window: no new row, no follower
    EXPECT_EQ(log.rows.size(), 12u);
    close_image_reader(f1);
    close_image_reader(ir);
}

TEST_F(ReaderCore, SequentialReaderCallsFollowersToo)
{
    counting_source c(1, 4);
    image_reader *ir = counting_reader(&c, 4);
    follow_log log;
    image_reader *f = create_image_reader(1, &log, 1, 4, uchar_RGB, follow_read, nullptr);
    synchronize_reader(f, ir);
    unsigned char buf[3];
    read_row(ir, 2, buf);
    EXPECT_EQ(log.rows, (std::vector<int>{0, 1, 2}));
    close_image_reader(f);
    close_image_reader(ir);
}

TEST_F(ReaderCore, LockedRingSlotIsNotOverwritten)
{
    mem_image m(2, 10, uchar_RGB);
    image_reader *ir = buffered_reader_2(mem_reader(&m), 2);
    read_row(ir, 1, nullptr);
    lock_row(0, ir);
    EXPECT_EXIT(read_row(ir, 2, nullptr), ExitedWithCode(1), "^Trying to overwrite locked rowbuffer 2\n$");
    EXPECT_EXIT(lock_row(5, ir), ExitedWithCode(1), "Assertion failed: buf_n>=0");
    release_row(0, ir);
    EXPECT_EQ(row_of(read_row(ir, 2, nullptr), 6), m.row_copy(2));
    EXPECT_EXIT(release_row(0, ir), ExitedWithCode(1), "Assertion failed: buf_n>=0");
    close_image_reader(ir);
}

TEST_F(ReaderCore, CallersRingIsFreedOnlyWhenOwned)
{
    mem_image m(4, 3, uchar_RGBA);
    void *ring = aligned_malloc(2 * 32);
    image_reader *ir = buffered_reader_1(mem_reader(&m), ring, 2, 32, 0);
    EXPECT_EQ(read_row(ir, 0, nullptr), ring);
    EXPECT_EQ(row_of(read_row(ir, 1, nullptr), 16), m.row_copy(1));
    close_image_reader(ir);
    aligned_free(ring); // still ours; the sanitizer build catches a double free

    mem_image m2(4, 3, uchar_RGBA);
    image_reader *src = mem_reader(&m2);
    EXPECT_EXIT(buffered_reader_1(src, ring, 2, 15, 0), ExitedWithCode(1),
                "Assertion failed: rowlength >= image_row_length\\( ir \\)");
    close_image_reader(src);
}

// A source that hands out its own storage instead of the slot it is given.
static void *own_storage_read(image_reader *ir, int n, void *)
{
    mem_image *m = static_cast<mem_image *>(ir->data);
    return m->row(n);
}

TEST_F(ReaderCore, RowServedFromElsewhereStillFillsTheSlot)
{
    mem_image m(2, 4, uchar_RGB);
    image_reader *ir =
        buffered_reader_2(create_image_reader(1, &m, 2, 4, uchar_RGB, own_storage_read, nullptr), 2);
    read_row(ir, 1, nullptr);
    read_row(ir, 0, nullptr);
    memset(m.row(0), 0xEE, m.row_bytes()); // the source reuses its storage
    EXPECT_EQ(row_of(read_row(ir, 0, nullptr), 6), mem_image(2, 4, uchar_RGB).row_copy(0));
    close_image_reader(ir);
}

TEST_F(ReaderCore, RingTooLargeToAllocateIsRefusedWithTheAllocationMessage)
{
    image_reader *src = create_image_reader(1, nullptr, 2000000000, 1, float_RGBA, own_storage_read, nullptr);
    // 32e9 bytes per row times 2^30 rows does not fit in 64 bits.
    EXPECT_EXIT(buffered_reader_2(src, 1 << 30), ExitedWithCode(1),
                "^Could not allocate 9223372036854775807 bytes for imagereader.\n$");
#if !defined(__SANITIZE_ADDRESS__)
    // 320 TB fits in 64 bits but not in the address space.
    EXPECT_EXIT(buffered_reader_2(src, 10000), ExitedWithCode(1),
                "^Could not allocate 320000000000000 bytes for imagereader.\n$");
#endif
    EXPECT_EXIT(buffered_reader_2(src, 0), ExitedWithCode(1), "Assertion failed: nrows > 0");
    close_image_reader(src);
}

// ---- format conversion ----

TEST_F(ReaderCore, ToformatConvertsEveryRow)
{
    mem_image m(3, 4, uchar_RGB);
    image_reader *ir = toformat(buffered_reader_2(mem_reader(&m), 1), uchar_RGBA, 0);
    EXPECT_EQ(ir->pixformat, (uint32_t)uchar_RGBA);
    unsigned char buf[12];
    for (int r = 0; r < 4; r++) {
        EXPECT_EQ(read_row(ir, r, buf), buf);
        for (int x = 0; x < 3; x++) {
            EXPECT_EQ(buf[4 * x], m.row(r)[3 * x]);
            EXPECT_EQ(buf[4 * x + 2], m.row(r)[3 * x + 2]);
            EXPECT_EQ(buf[4 * x + 3], 255);
        }
    }
    EXPECT_EXIT(read_row(ir, 0, nullptr), ExitedWithCode(1), "Assertion failed: buf != NULL");
    close_image_reader(ir);
    EXPECT_EQ(m.closes, 1);
}

TEST_F(ReaderCore, BufferedToformatServesWithoutBuffer)
{
    mem_image m(3, 6, ushort_RGBA);
    image_reader *ir = toformat(buffered_reader_2(mem_reader(&m), 1), ushort_RGBA, 2);
    for (int r = 0; r < 6; r++)
        EXPECT_EQ(row_of(read_row(ir, r, nullptr), 24), m.row_copy(r));
    close_image_reader(ir);
}

TEST_F(ReaderCore, ToformatOfAnEmptyRowAndOfAnUnsupportedPair)
{
    mem_image m(0, 2, uchar_RGB);
    image_reader *ir = toformat(mem_reader(&m), float_RGBA, 0);
    unsigned char buf[16];
    EXPECT_EQ(read_row(ir, 1, buf), buf);
    close_image_reader(ir);

    mem_image g(2, 2, float_G);
    image_reader *src = mem_reader(&g);
    EXPECT_EXIT(toformat(src, ushort_RGB, 0), ExitedWithCode(1), "Assertion failed: conv != NULL");
    close_image_reader(src);
}

TEST_F(ReaderCore, ToformatExclLeavesTheRectangleOfTheCallersBuffer)
{
    mem_image m(5, 4, uchar_RGBA);
    // Columns 1..7 reach past the row: only column 0 is converted on rows 1, 2.
    image_reader *ir = toformat_excl(buffered_reader_2(mem_reader(&m), 1), uchar_RGBA, {1, 1, 7, 2}, 0);
    for (int r = 0; r < 4; r++) {
        bytes buf(20, 0xAA);
        read_row(ir, r, buf.data());
        for (int x = 0; x < 5; x++) {
            bool kept = (r == 1 || r == 2) && x >= 1;
            bytes px(buf.begin() + 4 * x, buf.begin() + 4 * x + 4);
            bytes src(m.row(r) + 4 * x, m.row(r) + 4 * x + 4);
            EXPECT_EQ(px, kept ? bytes(4, 0xAA) : src) << r << "," << x;
        }
    }
    close_image_reader(ir);
}

TEST_F(ReaderCore, ReadFloatConvertsOrPassesTheOwnRow)
{
    mem_image m(2, 2, uchar_RGBA);
    image_reader *ir = mem_reader(&m);
    float buf[8];
    EXPECT_EQ(read_float(ir, 1, buf), buf);
    EXPECT_EQ(buf[3], float(m.row(1)[3]));
    EXPECT_EXIT(read_float(ir, 1, nullptr), ExitedWithCode(1), "Assertion failed: pix != NULL");
    close_image_reader(ir);

    mem_image f(2, 2, float_RGBA);
    ir = mem_reader(&f);
    EXPECT_EQ(read_float(ir, 1, buf), f.row(1));
    close_image_reader(ir);
}

// ---- split views ----

TEST_F(ReaderCore, SplitViewsShareRowsAndOnlyOffsetZeroClosesTheSource)
{
    mem_image m(6, 3, uchar_RGBA); // read as three views of 2 pixels
    image_reader *wide = buffered_reader_2(mem_reader(&m), 1);
    image_reader *a = split_reader(wide, 0, 2, uchar_RGBA);
    image_reader *b = split_reader(wide, 8, 2, uchar_RGBA);
    image_reader *c = split_reader(wide, 16, 2, uchar_RGBA);
    EXPECT_EQ(wide->connections, 0); // views never connect
    for (int r = 0; r < 3; r++) {
        unsigned char *pa = static_cast<unsigned char *>(read_row(a, r, nullptr));
        EXPECT_EQ(read_row(b, r, nullptr), pa + 8);
        EXPECT_EQ(read_row(c, r, nullptr), pa + 16);
        EXPECT_EQ(row_of(pa, 24), m.row_copy(r));
    }
    unsigned char buf[8];
    EXPECT_EXIT(read_row(a, 0, buf), ExitedWithCode(1), "Assertion failed: buf == NULL");
    EXPECT_EQ(close_image_reader(c), 0);
    EXPECT_EQ(close_image_reader(b), 0);
    EXPECT_EQ(m.closes, 0);
    EXPECT_EQ(close_image_reader(a), 0);
    EXPECT_EQ(m.closes, 1);
}

TEST_F(ReaderCore, SplitViewMustLieInsideTheSourceRow)
{
    mem_image m(4, 1, uchar_RGBA);
    image_reader *src = mem_reader(&m);
    EXPECT_EXIT(split_reader(src, 8, 3, uchar_RGBA), ExitedWithCode(1), "Assertion failed");
    close_image_reader(split_reader(src, 8, 2, uchar_RGBA));
    EXPECT_EQ(m.closes, 0);
    close_image_reader(src);
}

// ---- EXIF rotation ----

class Rotation : public ChainTest
{
  protected:
    // 3x2: row 0 is P Q R, row 1 is S T U (one byte value per pixel).
    mem_image m{3, 2, uchar_RGB};
    void SetUp() override
    {
        ChainTest::SetUp();
        const char *names = "PQRSTU";
        for (int i = 0; i < 6; i++)
            memset(m.pixels.data() + 3 * i, names[i], 3);
    }
    std::vector<std::string> rows(int orientation)
    {
        image_reader *ir = rotate_reader(buffered_reader_2(mem_reader(&m), 1), orientation);
        EXPECT_EQ(ir->width, 2);
        EXPECT_EQ(ir->height, 3);
        std::vector<std::string> out;
        for (int n : {2, 0, 1}) { // any order
            unsigned char buf[6];
            EXPECT_EQ(read_row(ir, n, buf), buf);
            out.push_back(std::string{char(buf[0]), char(buf[3])});
        }
        close_image_reader(ir);
        return {out[1], out[2], out[0]};
    }
};

TEST_F(Rotation, Orientation6And8OfTheThreeByTwoImage)
{
    EXPECT_EQ(rows(6), (std::vector<std::string>{"SP", "TQ", "UR"}));
    EXPECT_EQ(m.closes, 1);
    EXPECT_EQ(rows(8), (std::vector<std::string>{"RU", "QT", "PS"}));
    EXPECT_EQ(m.reads, (std::vector<int>{2, 2})); // each source row once per rotation
}

TEST_F(Rotation, RefusedOrientationsAndLayouts)
{
    image_reader *ir = rotate_reader(buffered_reader_2(mem_reader(&m), 1), 3);
    unsigned char buf[6];
    EXPECT_EXIT(read_row(ir, 0, buf), ExitedWithCode(1), "^exif rotation 3 not implemented\n$");
    EXPECT_EXIT(read_row(ir, 0, nullptr), ExitedWithCode(1), "Assertion failed: buf != NULL");
    close_image_reader(ir); // never read: the source is still released
    EXPECT_EQ(m.closes, 1);

    mem_image rgba(2, 2, uchar_RGBA);
    image_reader *src = mem_reader(&rgba);
    EXPECT_EXIT(rotate_reader(src, 6), ExitedWithCode(1), "Assertion failed: ir->pixformat == uchar_RGB");
    close_image_reader(src);

    // 6e9 bytes per row times 2e9 rows does not fit in 64 bits.
    src = create_image_reader(1, nullptr, 2000000000, 2000000000, uchar_RGB, own_storage_read, nullptr);
    ir = rotate_reader(src, 6);
    EXPECT_EXIT(read_row(ir, 0, buf), ExitedWithCode(1), "^Not enough memory to load image.\n$");
    close_image_reader(ir);

    // A source beyond the memory is refused before it is reserved: 20000 x
    // 20000 pixels, 1.2 GB, under a bound of 1 GB.
    src = create_image_reader(1, nullptr, 20000, 20000, uchar_RGB, own_storage_read, nullptr);
    ir = rotate_reader(src, 6);
    EXPECT_EXIT(
        {
            set_available_memory(size_t(1) << 30);
            read_row(ir, 0, buf);
        },
        ExitedWithCode(1), "^Not enough memory to load image.\n$");
    close_image_reader(ir);
}
