#include "stitcher/formats/icc_profile.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <memory>

namespace
{

struct profile_deleter {
    void operator()(icc_profile *p) const { free_icc_profile(p); }
};
using profile_ptr = std::unique_ptr<icc_profile, profile_deleter>;

profile_ptr make(const std::string &bytes)
{
    return profile_ptr(new_icc_profile("p.icc", bytes.data(), bytes.size()));
}

std::string description(const std::string &bytes, size_t room = 128)
{
    profile_ptr p = make(bytes);
    std::string out(room, '#');
    icc_profile_description(p.get(), out.data(), room);
    return out.c_str();
}

} // namespace

TEST(IccProfile, DescriptionsOfBothVersionsAreReadAndKeptPrintable)
{
    EXPECT_EQ(description(icc_profile_with("Adobe RGB (1998)")), "Adobe RGB (1998)");
    EXPECT_EQ(description(icc_profile_with("ProPhoto RGB", true)), "ProPhoto RGB");
    EXPECT_EQ(description(icc_profile_with("bell\a and tab\t")), "bell? and tab?");
    EXPECT_EQ(description(icc_profile_with("Wide Gamut"), 5), "Wide");
    // Without a description tag, or with one pointing past the profile.
    std::string none = icc_profile_with("sRGB");
    none.replace(132, 4, "wtpt");
    EXPECT_EQ(description(none), "");
    std::string past = icc_profile_with("sRGB");
    past[136] = '\x7f';
    EXPECT_EQ(description(past), "");
    // UTF-16 beyond ASCII becomes UTF-8, cut only between characters.
    std::string v4 = icc_profile_with("ab", true);
    v4.replace(v4.size() - 4, 4, std::string("\x00\xe9\x20\xac", 4)); // "é€"
    EXPECT_EQ(description(v4), "\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(description(v4, 5), "\xc3\xa9");
}

TEST(IccProfile, TheSameColoursWhoeverMadeTheFileAndWhen)
{
    const std::string adobe = icc_profile_with("Adobe RGB (1998)");
    std::string remade = adobe;
    remade.replace(4, 4, "lcms");                    // CMM
    remade.replace(24, 12, std::string(12, '\x07')); // date
    remade.replace(84, 16, std::string(16, '\x09')); // ID
    profile_ptr a = make(adobe), b = make(remade), c = make(icc_profile_with("Adobe RGB (1999)"));
    EXPECT_TRUE(same_icc_profile(a.get(), b.get()));
    EXPECT_FALSE(same_icc_profile(a.get(), c.get()));
    EXPECT_FALSE(same_icc_profile(a.get(), nullptr));
    EXPECT_TRUE(same_icc_profile(nullptr, nullptr));
    remade[16] = 'G'; // another colour space
    b = make(remade);
    EXPECT_FALSE(same_icc_profile(a.get(), b.get()));
}
