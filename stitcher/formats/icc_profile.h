// Colour profiles of image files (a JPEG's APP2 ICC markers joined, or a
// TIFF's InterColorProfile field), and the panorama's: one per run, decided
// from the photos' headers before the output's first row is written. Every
// output kind that has room for a profile writes that one; nothing is
// converted.
#pragma once
#include <cstddef>
#include <cstdint>

struct icc_profile {
    const unsigned char *data;
    uint32_t length;
};

// JPEG markers carry at most 255 pieces of 65,519 bytes.
enum { ICC_PROFILE_MAX = 255 * 65519 };

// A copy of the profile of the image file `path`, released by
// free_icc_profile. Null for bytes that are no ICC profile (shorter than its
// header, no "acsp" signature) or larger than ICC_PROFILE_MAX: a warning then
// names the file.
icc_profile *new_icc_profile(const char *path, const void *data, uint64_t length);
void free_icc_profile(icc_profile *p);
// Whether two profiles (or none) describe the same colours: byte for byte
// equal but for the header's CMM, date, creator and ID.
bool same_icc_profile(const icc_profile *a, const icc_profile *b);
// The profile's description tag ('desc', as text or as the first of its
// localized strings) in printable UTF-8 of at most size - 1 bytes; "" when
// it has none.
void icc_profile_description(const icc_profile *p, char *out, size_t size);

// Makes a copy of p (null: none) the panorama's profile. Only while no
// output is being written.
void keep_icc_profile(const icc_profile *p);
// The panorama's profile, or null. Any thread may read it once kept.
const icc_profile *kept_icc_profile(void);
void forget_icc_profile(void);
