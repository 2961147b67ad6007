// Opening and creating image files by the suffixes of their names.
#include "stitcher/formats/external_reader.h"
#include "stitcher/formats/image_file.h"
#include "stitcher/formats/tiff.h"
#include "stitcher/pipeline/loadimage.h"
#include "stitcher/pipeline/memory.h"
#include "tests/formats/format_testing.h"

#include <cstdlib>
#include <filesystem>

using ::testing::ExitedWithCode;

namespace
{
class FileOpen : public FormatTest
{
  protected:
    void TearDown() override
    {
        free_ext_readers();
        FormatTest::TearDown();
    }
    // Writes the pattern through create_image_writer; returns the pixels.
    bytes make(const std::string &name, int width, int height, uint32_t fmt)
    {
        bytes pixels = fmt == uchar_RGB ? smooth(width, height) : pattern(width, height, fmt);
        image_writer *iw = create_image_writer(path(name).c_str(), width, height, fmt);
        EXPECT_NE(iw, nullptr);
        write_all(iw, pixels);
        return pixels;
    }
    std::string head(const std::string &name, size_t n) { return read_file(path(name)).substr(0, n); }
};

int largest_difference(const bytes &a, const bytes &b)
{
    int most = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        most = std::max(most, std::abs(int(a[i]) - int(b[i])));
    return most;
}
} // namespace

TEST_F(FileOpen, WriterIsChosenBySuffix)
{
    make("a.PPM", 5, 3, ushort_RGBA);
    EXPECT_EQ(head("a.PPM", 3), "P7\n");
    make("b.JPG", 16, 8, uchar_RGB);
    EXPECT_EQ(head("b.JPG", 3), "\xFF\xD8\xFF");
    make("c.tif", 5, 3, uchar_RGBA);
    EXPECT_EQ(head("c.tif", 4), std::string("II*\0", 4));
    make("d.jpeg", 5, 3, uchar_RGB); // only .jpg is JPEG when writing
    EXPECT_EQ(head("d.jpeg", 4), std::string("II*\0", 4));
    make("e", 5, 3, uchar_RGB);
    EXPECT_EQ(head("e", 4), std::string("II*\0", 4));
}

TEST_F(FileOpen, ReaderIsChosenByTheLastSuffix)
{
    bytes ppm = make("a.ppm", 5, 3, ushort_RGB);
    bytes tif = make("b.tif", 7, 2, uchar_RGBA);
    bytes jpg = make("c.jpg", 32, 16, uchar_RGB);
    std::filesystem::copy_file(path("a.ppm"), path("A.PPM"));
    std::filesystem::copy_file(path("a.ppm"), path("x.jpg.ppm"));
    std::filesystem::copy_file(path("b.tif"), path("B.Tif"));
    std::filesystem::copy_file(path("b.tif"), path("B.TIFF"));
    std::filesystem::copy_file(path("c.jpg"), path("C.JPEG"));

    for (const char *name : {"a.ppm", "A.PPM", "x.jpg.ppm"}) {
        image_reader *ir = file_image_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr) << name;
        EXPECT_EQ(ir->pixformat, ushort_RGB) << name;
        EXPECT_EQ(read_all(ir), ppm) << name;
    }
    for (const char *name : {"b.tif", "B.Tif", "B.TIFF"}) {
        image_reader *ir = file_image_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr) << name;
        EXPECT_EQ(ir->pixformat, uchar_RGBA) << name;
        EXPECT_EQ(read_all(ir), tif) << name;
    }
    for (const char *name : {"c.jpg", "C.JPEG"}) {
        image_reader *ir = file_image_reader(path(name).c_str());
        ASSERT_NE(ir, nullptr) << name;
        EXPECT_EQ(ir->pixformat, uchar_RGB) << name;
        EXPECT_LE(largest_difference(read_all(ir), jpg), 12) << name;
    }
}

TEST_F(FileOpen, ImageSize)
{
    make("a.ppm", 9, 4, uchar_RGBA);
    image_size size = {0, 0, 0};
    EXPECT_EQ(get_image_size(path("a.ppm").c_str(), &size), 0);
    EXPECT_EQ(size.width, 9);
    EXPECT_EQ(size.height, 4);
    EXPECT_EQ(size.pixformat, uchar_RGBA);

    testing::internal::CaptureStderr();
    EXPECT_EQ(get_image_size(path("missing.tif").c_str(), &size), -1);
    EXPECT_EQ(get_image_size(path("missing.jpg").c_str(), &size), -1);
    EXPECT_EQ(file_image_reader(path("missing.ppm").c_str()), nullptr);
    testing::internal::GetCapturedStderr();
}

TEST_F(FileOpen, OtherSuffixWithoutConverterIsFatal)
{
    std::string name = path("x.cr2");
    EXPECT_EXIT(file_image_reader(name.c_str()), ExitedWithCode(1),
                "^Image " + name + " cannot be read\\.\n$");
}

TEST_F(FileOpen, OtherSuffixGoesThroughTheConverters)
{
    REQUIRE_TOOL("convert");
    bytes pixels = pattern(7, 5, uchar_RGB);
    magick_from_raw(pixels, 7, 5, "rgb", 8, "", path("p.png"));
    write_file(path("readers.txt"), ".png sh -c 'exec convert \"$0\" -depth 8 ppm:-'\n");
    ASSERT_EQ(register_external_readers(path("readers.txt").c_str(), nullptr), 0);

    image_size size = {0, 0, 0};
    EXPECT_EQ(get_image_size(path("p.png").c_str(), &size), 0);
    EXPECT_EQ(size.width, 7);
    EXPECT_EQ(size.height, 5);
    EXPECT_EQ(size.pixformat, uchar_RGB);
    image_reader *ir = file_image_reader(path("p.png").c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), pixels);
    // A suffix that no entry names stays unreadable.
    std::string gif = path("q.gif");
    EXPECT_EXIT(file_image_reader(gif.c_str()), ExitedWithCode(1), "Image " + gif + " cannot be read\\.\n$");
}

TEST_F(FileOpen, ReaderIntoACallersRecordAndItsDump)
{
    make("a.ppm", 9, 5, uchar_RGBA);
    image_reader *ir = file_image_reader(path("a.ppm").c_str());
    loaded_image li{};
    li.kind = 3;
    get_image_buffer(ir, &li);
    EXPECT_EQ(li.kind, 3);
    EXPECT_EQ(li.width, 9);
    EXPECT_EQ(li.pixformat, uchar_RGBA);
    EXPECT_EQ(li.size, 9u * 5 * 4 + 12);
    void *buffer = li.buffer;
    // Not closed: a second load of another reader of the same size reuses the buffer.
    image_reader *again = file_image_reader(path("a.ppm").c_str());
    get_image_buffer(again, &li);
    EXPECT_EQ(li.buffer, buffer);
    close_image_reader(again);
    close_image_reader(ir);
    // The debugging dump writes a TIFF of the same pixels.
    dump_buffer(&li, path("dump.tif").c_str());
    bytes back = read_all(tiff_reader(path("dump.tif").c_str()));
    EXPECT_EQ(back,
              bytes(static_cast<unsigned char *>(li.buffer), static_cast<unsigned char *>(li.buffer) + 180));
    aligned_free(li.buffer);
}
