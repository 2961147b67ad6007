#include "stitcher/formats/icc_profile.h"

#include "testutil.h"

#include <gtest/gtest.h>

namespace
{

icc_profile *make(const std::string &bytes) { return new_icc_profile("p.icc", bytes.data(), bytes.size()); }

std::string description(const std::string &bytes, size_t room = 128)
{
    icc_profile *p = make(bytes);
    std::string out(room, '#');
    icc_profile_description(p, out.data(), room);
    free_icc_profile(p);
    return out.c_str();
}

std::string with(std::string b, size_t at, const std::string &part)
{
    return b.replace(at, part.size(), part);
}

} // namespace

// The plain descriptions of both versions are named by the end-to-end tests.
TEST(IccProfile, DescriptionsAreKeptPrintableAndCutBetweenCharacters)
{
    EXPECT_EQ(description(icc_profile_with("bell\a and tab\t")), "bell? and tab?");
    EXPECT_EQ(description(icc_profile_with("Wide Gamut"), 5), "Wide");
    const std::string srgb = icc_profile_with("sRGB");
    EXPECT_EQ(description(with(srgb, 132, "wtpt")), "") << "no description tag";
    EXPECT_EQ(description(with(srgb, 136, "\x7f")), "") << "one that points past the profile";
    // UTF-16 beyond ASCII becomes UTF-8, cut only between characters.
    std::string v4 = icc_profile_with("ab", true);
    v4 = with(v4, v4.size() - 4, std::string("\x00\xe9\x20\xac", 4)); // "é€"
    EXPECT_EQ(description(v4), "\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(description(v4, 5), "\xc3\xa9");
}

TEST(IccProfile, TheSameColoursWhoeverMadeTheFileAndWhen)
{
    const std::string adobe = icc_profile_with("Adobe RGB (1998)"),
                      remade = with(with(with(adobe, 4, "lcms"), 24, std::string(12, '\x07')), 84,
                                    std::string(16, '\x09')); // CMM, date, ID
    icc_profile *a = make(adobe), *b = make(remade), *other_space = make(with(remade, 16, "G")),
                *other_name = make(icc_profile_with("Adobe RGB (1999)"));
    EXPECT_TRUE(same_icc_profile(a, b));
    EXPECT_FALSE(same_icc_profile(a, other_space));
    EXPECT_FALSE(same_icc_profile(a, other_name));
    EXPECT_FALSE(same_icc_profile(a, nullptr));
    EXPECT_TRUE(same_icc_profile(nullptr, nullptr));
    for (icc_profile *p : {a, b, other_space, other_name})
        free_icc_profile(p);
}
