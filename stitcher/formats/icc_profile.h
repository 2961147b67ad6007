// The panorama's colour profile: that of the first photo read that carries
// one (a JPEG's APP2 ICC markers joined, or a TIFF's InterColorProfile
// field). Every output kind that has room for a profile writes it, each when
// it writes its header, so that photos taken in another colour space than
// sRGB keep their colours.
#pragma once
#include <cstdint>

struct icc_profile {
    const unsigned char *data;
    uint32_t length;
};

// JPEG markers carry at most 255 pieces of 65,519 bytes.
enum { ICC_PROFILE_MAX = 255 * 65519 };

// Keeps a copy of the profile of the image file `path` unless one is kept
// already. One that is not an ICC profile (shorter than its header, no "acsp"
// signature) or larger than ICC_PROFILE_MAX is not kept: a warning names the
// file.
void keep_icc_profile(const char *path, const void *data, uint64_t length);
// The profile kept, or null. Kept once and then never changed, so any thread
// may read it.
const icc_profile *kept_icc_profile(void);
// Forgets it, so that the next image with a profile gives it; only while no
// output is written.
void forget_icc_profile(void);
