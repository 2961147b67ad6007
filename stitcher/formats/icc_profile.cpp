#include "stitcher/formats/icc_profile.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <atomic>
#include <cstring>

static const char msg_not_icc[] = "Warning: the colour profile of %s is no ICC profile; it is not used.\n";
static const char msg_too_large[] =
    "Warning: the colour profile of %s is larger than 16,707,345 bytes; it is not used.\n";

// Published once, complete, through the release/acquire pair: the writer
// thread may read it while the main thread reads photos.
static std::atomic<icc_profile *> kept{nullptr};

void keep_icc_profile(const char *path, const void *data, uint64_t length)
{
    if (kept.load(std::memory_order_acquire))
        return;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    if (length < 128 || memcmp(bytes + 36, "acsp", 4) != 0) {
        print_warning(msg_not_icc, path);
        return;
    }
    if (length > ICC_PROFILE_MAX) {
        print_warning(msg_too_large, path);
        return;
    }
    icc_profile *p = static_cast<icc_profile *>(checked_malloc(sizeof(icc_profile) + length));
    unsigned char *copy = reinterpret_cast<unsigned char *>(p + 1);
    memcpy(copy, bytes, length);
    *p = {copy, static_cast<uint32_t>(length)};
    icc_profile *expected = nullptr;
    if (!kept.compare_exchange_strong(expected, p, std::memory_order_acq_rel))
        aligned_free(p); // another thread kept its image's profile first
}

const icc_profile *kept_icc_profile(void) { return kept.load(std::memory_order_acquire); }

void forget_icc_profile(void) { aligned_free(kept.exchange(nullptr, std::memory_order_acq_rel)); }
