// Runs that fail: each ends with a message naming the file at fault,
// status 1, and no output file left behind.
#include "e2e_testing.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{

struct kind_case {
    const char *kind; // the p-line's n"..." text
    const char *file; // the output's name
};

void PrintTo(const kind_case &c, std::ostream *os) { *os << c.kind; }

struct Failures : ::testing::TestWithParam<kind_case> {
    scene_files s = generate_scene("crops", {"--scale", "0.25"});
    std::string script = script_for(s, GetParam().kind, "s.txt");
    std::string out = s.dir + "/" + GetParam().file;

    std::vector<std::string> args(bool defer)
    {
        std::vector<std::string> a = {"-q", "-o", s.dir + "/out", script};
        if (defer)
            a.push_back("-d");
        return a;
    }

    // The run, in place and deferred, fails naming culprit and leaves no output.
    void expect_failure(const std::string &culprit, const std::string &text = "")
    {
        for (bool defer : {false, true}) {
            run_result r = stitch(args(defer));
            EXPECT_EQ(r.status, 1) << GetParam().kind << (defer ? " -d" : "");
            EXPECT_NE(r.err.find(culprit), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
            EXPECT_FALSE(file_exists(out)) << r.err;
        }
    }
};

TEST_P(Failures, MissingSourceFile)
{
    std::string photo = s.photos.at(2).at("file");
    std::filesystem::remove(photo);
    expect_failure(photo);
}

TEST_P(Failures, SourceCutShortAfterOthersWereWritten)
{
    // The third image in processing order is decoded when two are written.
    std::string photo = s.photos.at(2).at("file"), bytes = read_file(photo);
    write_file(photo, bytes.substr(0, bytes.size() / 2));
    expect_failure(photo);
}

TEST_P(Failures, UnreadableScript)
{
    std::filesystem::remove(script);
    std::filesystem::create_directory(script); // opens, but cannot be read
    expect_failure("Could not read scriptfile " + script + "\n");
}

TEST_P(Failures, FullDisk)
{
    // Writes that pass a file size limit fail with EFBIG, early, half way
    // and at the very end.
    for (bool defer : {false, true}) {
        ASSERT_EQ(stitch(args(defer)).status, 0);
        int64_t size = file_size(out);
        std::filesystem::remove(out);
        for (double share : {0.02, 0.5, 0.98}) {
            run_result r = stitch_with_file_limit(static_cast<int64_t>(size * share), args(defer));
            EXPECT_EQ(r.status, 1) << share << (defer ? " -d" : "");
            EXPECT_NE(r.err.find(out), std::string::npos) << share << (defer ? " -d: " : ": ") << r.err;
            EXPECT_FALSE(file_exists(out)) << share << (defer ? " -d" : "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Failures,
                         ::testing::Values(kind_case{"PPM", "out.ppm"}, kind_case{"TIFF", "out.tif"},
                                           kind_case{"TIFF b1", "out.tif"}, kind_case{"PSD", "out.psd"},
                                           kind_case{"PSB", "out.psb"}, kind_case{"JPEG q95", "out.jpg"},
                                           kind_case{"TIFF_m", "out.tif"}),
                         [](const auto &info) {
                             std::string name = info.param.kind;
                             for (char &c : name)
                                 c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

} // namespace
