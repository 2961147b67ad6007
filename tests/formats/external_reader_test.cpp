#include "format_testing.h"
#include "stitcher/formats/external_reader.h"
#include "stitcher/pipeline/keloerror.h"

#include <filesystem>
#include <regex>
#include <sys/stat.h>

using ::testing::ExitedWithCode;

namespace
{
struct entry {
    std::string suffix, command;
    bool operator==(const entry &o) const { return suffix == o.suffix && command == o.command; }
};

std::ostream &operator<<(std::ostream &os, const entry &e) { return os << e.suffix << " -> " << e.command; }

std::vector<entry> entries()
{
    std::vector<entry> v;
    for (ext_reader *e = ext_readers; e; e = e->next)
        v.push_back({e->suffix, e->command});
    return v;
}

class ExternalReader : public FormatTest
{
  protected:
    void TearDown() override
    {
        free_ext_readers();
        FormatTest::TearDown();
    }
    // The scratch folder, with its separator, as the program directory.
    std::string program_dir() { return dir + "/"; }
    // A converter script in the program directory.
    void converter(const std::string &name, const std::string &body)
    {
        write_file(path(name), "#!/bin/sh\n" + body);
        chmod(path(name).c_str(), 0755);
    }
    void describe(const std::string &text)
    {
        write_file(path("readers.txt"), text);
        ASSERT_EQ(register_external_readers(path("readers.txt").c_str(), program_dir().c_str()), 0);
    }
    std::string quoted_dir() { return "'" + program_dir() + "'"; }
};

const std::string image_6x2 = [] {
    bytes p = pattern(6, 2, uchar_RGB);
    return "P6\n6 2\n255\n" + std::string(p.begin(), p.end());
}();
} // namespace

TEST_F(ExternalReader, DescriptionLines)
{
    describe("# .tif comment\n"
             "#.jpg also a comment\n"
             ".cr2 rawconv -c\r\n"
             "\n"
             ".lonely\n"
             ".tab\t\t  \n"
             "   .nef    foo bar  \r"
             "* anyconv\n"
             " #x  not a comment\n");
    std::string d = quoted_dir();
    EXPECT_EQ(entries(), (std::vector<entry>{{".cr2", d + "rawconv -c"},
                                             {".nef", d + "foo bar  "},
                                             {"*", d + "anyconv"},
                                             {"#x", d + "not a comment"}}));
}

TEST_F(ExternalReader, LongLineGoesOnAsTheNextLine)
{
    std::string first = ".a " + std::string(1020, 'c'); // 1023 characters
    describe(first + ".b conv\n");
    EXPECT_EQ(entries(), (std::vector<entry>{{".a", quoted_dir() + std::string(1020, 'c')},
                                             {".b", quoted_dir() + "conv"}}));
}

TEST_F(ExternalReader, FileIsFoundBesideTheProgram)
{
    write_file(path("KeloImageReader.txt"), ".x conv\n");
    // Not in the current folder, so the program directory is tried.
    ASSERT_EQ(register_external_readers("KeloImageReader.txt", program_dir().c_str()), 0);
    EXPECT_EQ(entries(), (std::vector<entry>{{".x", quoted_dir() + "conv"}}));
    // Without a directory the command stands alone.
    ASSERT_EQ(register_external_readers(path("KeloImageReader.txt").c_str(), nullptr), 0);
    EXPECT_EQ(entries().back(), (entry{".x", "conv"}));
}

TEST_F(ExternalReader, MissingOrUnreadableFile)
{
    EXPECT_EQ(register_external_readers(path("none.txt").c_str(), program_dir().c_str()), -1);
    EXPECT_EQ(register_external_readers("none.txt", nullptr), -1);
    EXPECT_EQ(register_external_readers(dir.c_str(), nullptr), -1) << "a folder is no description";
    write_file(path("empty.txt"), "");
    EXPECT_EQ(register_external_readers(path("empty.txt").c_str(), nullptr), 0);
    EXPECT_EQ(ext_readers, nullptr);
}

// A file past 1 MiB, a device and a FIFO, which would hold the run for ever.
TEST_F(ExternalReader, HugeDescriptionsAndOtherFilesAreRefused)
{
    write_file(path("huge.txt"), std::string((1 << 20) + 1, '#'));
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {path("huge.txt"), " is too large"},
        {"/dev/zero", " is a character device, not a regular file"},
        {path("fifo"), " is a FIFO, not a regular file"}};
    for (const auto &[name, why] : cases)
        EXPECT_EXIT(register_external_readers(name.c_str(), nullptr), ExitedWithCode(1),
                    "^Reader description file " + name + why + "\\.\n$");
}

TEST_F(ExternalReader, FirstMatchingEntryConvertsTheFile)
{
    write_file(path("img.ppm"), image_6x2);
    converter("rawconv",
              "printf '%s\\n' raw \"$@\" > \"$(dirname \"$0\")/args\"; cat \"$(dirname \"$0\")/img.ppm\"\n");
    converter("anyconv",
              "printf '%s\\n' any \"$@\" > \"$(dirname \"$0\")/args\"; cat \"$(dirname \"$0\")/img.ppm\"\n");
    describe(".cr2 rawconv -c\n* anyconv\n");

    image_reader *ir = external_reader(path("x.CR2").c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(ir->type, 1u);
    EXPECT_EQ(ir->width, 6);
    EXPECT_EQ(ir->height, 2);
    EXPECT_EQ(ir->pixformat, uchar_RGB);
    EXPECT_EQ(read_all(ir), pattern(6, 2, uchar_RGB));
    EXPECT_EQ(read_file(path("args")), "raw\n-c\n" + path("x.CR2") + "\n");

    ir = external_reader(path("x.png").c_str());
    ASSERT_NE(ir, nullptr);
    close_image_reader(ir);
    EXPECT_EQ(read_file(path("args")), "any\n" + path("x.png") + "\n");
}

TEST_F(ExternalReader, NoMatchingEntryGivesNull)
{
    describe(".cr2 rawconv\n");
    EXPECT_EQ(external_reader("x.png"), nullptr);
    EXPECT_EQ(external_reader("x.cr"), nullptr);
}

TEST_F(ExternalReader, StarFirstCatchesEverything)
{
    write_file(path("img.ppm"), image_6x2);
    converter("anyconv", "cat \"$(dirname \"$0\")/img.ppm\"\n");
    describe("* anyconv\n.cr2 never\n");
    image_reader *ir = external_reader("x.cr2");
    ASSERT_NE(ir, nullptr);
    close_image_reader(ir);
}

TEST_F(ExternalReader, NameArrivesAsOneArgumentAndRunsNothing)
{
    write_file(path("img.ppm"), image_6x2);
    converter(
        "conv",
        "printf '%s\\n' \"$#\" \"$@\" > \"$(dirname \"$0\")/args\"; cat \"$(dirname \"$0\")/img.ppm\"\n");
    describe("* conv\n");
    std::string name =
        path("two words 'quoted' $(touch " + path("ran") + ") `touch " + path("ran2") + "`.raw");
    image_reader *ir = external_reader(name.c_str());
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), pattern(6, 2, uchar_RGB));
    EXPECT_EQ(read_file(path("args")), "1\n" + name + "\n");
    EXPECT_FALSE(file_exists(path("ran")));
    EXPECT_FALSE(file_exists(path("ran2")));
}

TEST_F(ExternalReader, ProgramDirectoryWithSpacesAndQuotes)
{
    std::string odd = dir + "/it's a dir";
    std::filesystem::create_directories(odd);
    write_file(odd + "/conv", "#!/bin/sh\nprintf 'P6\\n1 1\\n255\\nabc'\n");
    chmod((odd + "/conv").c_str(), 0755);
    write_file(path("readers.txt"), "* conv\n");
    ASSERT_EQ(register_external_readers(path("readers.txt").c_str(), (odd + "/").c_str()), 0);
    image_reader *ir = external_reader("x.raw");
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(read_all(ir), to_bytes("abc"));
}

TEST_F(ExternalReader, MissingProgramGivesNull)
{
    describe("* not-there -q\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(external_reader("x.raw"), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("not-there"), std::string::npos) << err;
}

TEST_F(ExternalReader, OutputThatIsNoPpmGivesNull)
{
    converter("text", "echo hello; echo world\n");
    describe("* text\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(external_reader("x.raw"), nullptr);
    testing::internal::GetCapturedStderr();
}

// Output that ends early, or a program that fails before its header ends,
// is told with the photo's name and how the program ended. The program is
// started where it is waited for: in the death test's child.
TEST_F(ExternalReader, ShortOutputNamesThePhotoAndTheProgramsEnd)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"exit 3", "; its reader ended with status 3"},
        {"kill -SEGV $$", "; its reader was ended by signal 11 (Segmentation fault)"}};
    for (const auto &[end, fate] : cases) {
        converter("short", "printf 'P6\\n4 4\\n255\\n'; head -c 20 /dev/zero\n" + end + "\n");
        converter("early", "printf 'P6'\n" + end + "\n");
        describe("* short\n");
        const std::string text = "Cannot read ppm image x.raw: the image ends early" + fate + ".\n";
        EXPECT_EXIT(read_row(external_reader("x.raw"), 1, nullptr), ExitedWithCode(1),
                    std::regex_replace(text, std::regex(R"([().])"), "\\$&") + "$");
        free_ext_readers();
        describe("* early\n");
        testing::internal::CaptureStderr();
        EXPECT_EQ(external_reader("x.raw"), nullptr);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(refusal(), "the header is incomplete" + fate);
        free_ext_readers();
    }
}

TEST_F(ExternalReader, HugeSizeIsRefusedBeforeAnyAllocation)
{
    converter("huge", "printf 'P7\\n200000 200000\\n65535\\n'; head -c 100 /dev/zero\n");
    describe("* huge\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(external_reader("x.raw"), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("larger than the memory"), std::string::npos) << err;
}
