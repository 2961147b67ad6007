#include "stitcher/formats/icc_profile.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

static const char msg_not_icc[] = "Warning: the colour profile of %s is no ICC profile; it is not used.\n";
static const char msg_too_large[] =
    "Warning: the colour profile of %s is larger than 16,707,345 bytes; it is not used.\n";

enum { ICC_HEADER = 128 };

// Kept by the main thread before any writer runs; the release/acquire pair
// still hands it over whole to whichever thread writes a file.
static std::atomic<icc_profile *> kept{nullptr};

// The profile record with its bytes behind it, in one block.
static icc_profile *copy_profile(const unsigned char *bytes, uint64_t length)
{
    icc_profile *p = static_cast<icc_profile *>(checked_malloc(sizeof(icc_profile) + length));
    unsigned char *copy = reinterpret_cast<unsigned char *>(p + 1);
    memcpy(copy, bytes, length);
    *p = {copy, static_cast<uint32_t>(length)};
    return p;
}

icc_profile *new_icc_profile(const char *path, const void *data, uint64_t length)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    if (length < ICC_HEADER || memcmp(bytes + 36, "acsp", 4) != 0) {
        print_warning(msg_not_icc, path);
        return nullptr;
    }
    if (length > ICC_PROFILE_MAX) {
        print_warning(msg_too_large, path);
        return nullptr;
    }
    return copy_profile(bytes, length);
}

void free_icc_profile(icc_profile *p) { aligned_free(p); }

bool same_icc_profile(const icc_profile *a, const icc_profile *b)
{
    if (!a || !b)
        return a == b;
    if (a->length != b->length)
        return false;
    // Header fields that say who made the file and when, not what it means:
    // CMM (4-8), date (24-36), creator (80-84), ID (84-100).
    static const uint32_t same[][2] = {{0, 4}, {8, 24}, {36, 80}, {100, 0}};
    for (const auto &range : same) {
        uint32_t end = range[1] ? range[1] : a->length;
        if (memcmp(a->data + range[0], b->data + range[0], end - range[0]) != 0)
            return false;
    }
    return true;
}

static uint32_t be32(const unsigned char *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Code point c as UTF-8; controls and lone surrogates as '?'.
static void put_utf8(std::string *s, uint32_t c)
{
    if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c < 0xE000))
        *s += '?';
    else if (c < 0x80)
        *s += static_cast<char>(c);
    else if (c < 0x800)
        *s += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 63))};
    else if (c < 0x10000)
        *s += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 63)),
               static_cast<char>(0x80 | (c & 63))};
    else
        *s += {static_cast<char>(0xF0 | c >> 18), static_cast<char>(0x80 | (c >> 12 & 63)),
               static_cast<char>(0x80 | (c >> 6 & 63)), static_cast<char>(0x80 | (c & 63))};
}

// The text of a 'desc' (v2), 'text' or 'mluc' (v4) element of n bytes.
static std::string element_text(const unsigned char *e, uint32_t n)
{
    std::string s;
    const unsigned char *text = nullptr;
    uint32_t chars = 0;
    if (n >= 12 && memcmp(e, "desc", 4) == 0) {
        text = e + 12;
        chars = std::min(be32(e + 8), n - 12);
    } else if (n >= 8 && memcmp(e, "text", 4) == 0) {
        text = e + 8;
        chars = n - 8;
    } else if (n >= 28 && memcmp(e, "mluc", 4) == 0 && be32(e + 8) > 0) {
        // The first record: its length and offset (from the element) of UTF-16BE.
        uint32_t length = be32(e + 20), at = be32(e + 24);
        if (at > n || length > n - at)
            return s;
        for (uint32_t i = 0; i + 1 < length; i += 2) {
            uint32_t c = uint32_t(e[at + i]) << 8 | e[at + i + 1];
            if (c >= 0xD800 && c < 0xDC00 && i + 3 < length) {
                uint32_t low = uint32_t(e[at + i + 2]) << 8 | e[at + i + 3];
                if (low >= 0xDC00 && low < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    i += 2;
                }
            }
            if (c == 0)
                break;
            put_utf8(&s, c);
        }
        return s;
    }
    for (uint32_t i = 0; i < chars && text[i]; i++)
        put_utf8(&s, text[i] < 0x80 ? text[i] : '?');
    return s;
}

void icc_profile_description(const icc_profile *p, char *out, size_t size)
{
    std::string s;
    if (p && p->length >= ICC_HEADER + 4) {
        const unsigned char *d = p->data;
        uint64_t tags = be32(d + ICC_HEADER);
        for (uint64_t i = 0; i < tags && ICC_HEADER + 4 + 12 * (i + 1) <= p->length; i++) {
            const unsigned char *t = d + ICC_HEADER + 4 + 12 * i;
            uint64_t at = be32(t + 4), n = be32(t + 8);
            if (memcmp(t, "desc", 4) == 0 && at <= p->length && n <= p->length - at) {
                s = element_text(d + at, static_cast<uint32_t>(n));
                break;
            }
        }
    }
    // Cut on a character's first byte.
    size_t n = s.size() < size ? s.size() : size - 1;
    while (n > 0 && n < s.size() && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        n--;
    memcpy(out, s.data(), n);
    out[n] = '\0';
}

void keep_icc_profile(const icc_profile *p)
{
    icc_profile *copy = p ? copy_profile(p->data, p->length) : nullptr;
    aligned_free(kept.exchange(copy, std::memory_order_acq_rel));
}

const icc_profile *kept_icc_profile(void) { return kept.load(std::memory_order_acquire); }

void forget_icc_profile(void) { keep_icc_profile(nullptr); }
