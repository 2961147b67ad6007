// Whole blends of tall synthetic overlaps: they must stream, in rings of a
// fixed size, whatever the height.
#include "blend_testing.h"

#include "stitcher/blend/blender_input.h"
#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/seam.h"

#include <fstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime; its header is not always installed.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

namespace
{
class BlendMemory : public SeamModeTest
{
};

size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
#endif
}

// A synthetic overlap computed row by row: the new image a covers the left
// part up to a slanted edge, the earlier content b the right part from
// another, so that the two overlap in a band; both carry smooth colour with
// a little texture.
struct synthetic {
    int width, height;
    bool is_a;
};

void *synthetic_read(image_reader *ir, int n, void *buf)
{
    EXPECT_NE(nullptr, buf);
    const synthetic *s = static_cast<const synthetic *>(ir->data);
    float *p = static_cast<float *>(buf);
    int edge_a = s->width * 2 / 3 + (n % 97) / 4, edge_b = s->width / 3 - (n % 89) / 4;
    for (int x = 0; x < s->width; x++) {
        bool covered = s->is_a ? x < edge_a : x >= edge_b;
        float t = static_cast<float>((x * 7 + n * 3) % 256);
        p[4 * x + 0] = s->is_a ? t : 255 - t;
        p[4 * x + 1] = static_cast<float>((x ^ n) & 63) + 100;
        p[4 * x + 2] = s->is_a ? 30.0f : 220.0f;
        p[4 * x + 3] = covered ? static_cast<float>(1 + std::abs(x - (s->is_a ? edge_a : edge_b))) : 0.0f;
    }
    return buf;
}

struct blend_run {
    size_t peak_heap = 0; // above the heap in use before the blend was built
    long peak_rss_kb = -1;
    bool shapes_ok = true;
};

long vm_hwm_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Resets the process's peak resident size; false where the kernel refuses.
bool reset_hwm()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return clear.good();
}

blend_run run_blend(int width, int height, int levels)
{
    blend_run out;
    bool rss = reset_hwm();
    size_t base = heap_in_use();
    synthetic sa = {width, height, true}, sb = {width, height, false};
    // One-row rings, as the loop hands the blender its inputs.
    image_reader *s0 =
        buffered_reader_2(create_image_reader(1, &sa, width, height, float_RGBA, synthetic_read, nullptr), 1);
    image_reader *s1 =
        buffered_reader_2(create_image_reader(1, &sb, width, height, float_RGBA, synthetic_read, nullptr), 1);
    image_reader *a, *b, *m;
    EXPECT_EQ(0, create_blender_images(&a, &b, &m, s0, s1, levels));
    image_reader *r = blend_pyramids(a, b, m, levels);
    std::vector<float> row(static_cast<size_t>(r->width) * 4);
    for (int y = 0; y < r->height; y++) {
        read_row(r, y, row.data());
        // The blend keeps the alpha of the blender's A output: a's or b's
        // where one covers, none in the padding.
        if (y < height)
            out.shapes_ok = out.shapes_ok && row[3] > 0 && row[4 * static_cast<size_t>(width - 1) + 3] > 0 &&
                            row[4 * static_cast<size_t>(width) + 3] == 0;
        else
            out.shapes_ok = out.shapes_ok && row[4 * static_cast<size_t>(width / 2) + 3] == 0;
        if (y % 16 == 0)
            out.peak_heap = std::max(out.peak_heap, heap_in_use() - base);
    }
    close_image_reader(r);
    if (rss)
        out.peak_rss_kb = vm_hwm_kb();
    return out;
}
} // namespace

TEST_F(BlendMemory, TallOverlapsBlendInRingsThatDoNotGrowWithTheHeight)
{
    blend_run one = run_blend(200, 3000, 10);
    blend_run two = run_blend(200, 6000, 10);
    EXPECT_TRUE(one.shapes_ok);
    EXPECT_TRUE(two.shapes_ok);
    // One padded image alone is 1025 x 3073 float_RGBA pixels, 50 MB: the
    // rings are what stays, about the same for both heights.
    RecordProperty("peak_heap_3000", std::to_string(one.peak_heap));
    RecordProperty("peak_heap_6000", std::to_string(two.peak_heap));
    EXPECT_GT(one.peak_heap, 10u << 20);
    EXPECT_LE(two.peak_heap, one.peak_heap + (1u << 20));
#if !defined(__SANITIZE_ADDRESS__)
    if (one.peak_rss_kb > 0 && two.peak_rss_kb > 0) {
        RecordProperty("peak_rss_kb_3000", std::to_string(one.peak_rss_kb));
        RecordProperty("peak_rss_kb_6000", std::to_string(two.peak_rss_kb));
        EXPECT_LE(two.peak_rss_kb, one.peak_rss_kb + 8 * 1024);
    }
#endif
}

// The smart seam adds its window to the blender ring, and its reader plans
// each window from rows that must still be there; the even mix is the plain
// case with another mask.
TEST_F(BlendMemory, OtherSeamModesBlendWithoutARingError)
{
    for (int seam_mode : {1, 2}) {
        set_seamer(seam_mode);
        for (int levels : {10, 9, 8, 3, 1})
            EXPECT_TRUE(run_blend(150, 1500, levels).shapes_ok)
                << "mode " << seam_mode << ", " << levels << " levels";
    }
}

// The program's default smooths the four finest mask levels, which changes
// how far ahead the mask's levels are read. Run apart: min_level cannot be
// set back to 0.
TEST_F(BlendMemory, EveryLevelCountAndSeamModeStreamsWithSmoothedMasks)
{
    EXPECT_EXIT(
        {
            set_max_level(10);
            set_min_level(4);
            bool ok = true;
            for (int seam_mode : {0, 1, 2}) {
                set_seamer(seam_mode);
                for (int levels = 1; levels <= 10; levels++)
                    for (int height : {1, 2, 77, 1100})
                        ok = ok && run_blend(40, height, levels).shapes_ok;
            }
            fprintf(stderr, ok ? "streamed\n" : "wrong alpha\n");
            exit(ok ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "^streamed\n$");
}
