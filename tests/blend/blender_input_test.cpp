#include "blend_testing.h"

#include "stitcher/blend/blender_input.h"
#include "stitcher/blend/pyramid.h"
#include "stitcher/blend/seam.h"

#include <limits>

using ::testing::ExitedWithCode;

namespace
{
class BlenderInput : public SeamModeTest
{
};

void set_pixel(float_image &im, int x, int y, float r, float g, float b, float alpha)
{
    im.at(x, y, 0) = r;
    im.at(x, y, 1) = g;
    im.at(x, y, 2) = b;
    im.at(x, y, 3) = alpha;
}

const float nan = std::numeric_limits<float>::quiet_NaN();

// One row of pixel pairs, one for each case of the rules.
struct pairs {
    float_image a{8, 1, 4}, b{8, 1, 4};
    pairs()
    {
        set_pixel(a, 0, 0, 10, 20, 30, 100); // a only
        set_pixel(b, 0, 0, 1, 2, 3, 0);
        set_pixel(a, 1, 0, 1, 2, 3, 0); // b only
        set_pixel(b, 1, 0, 40, 50, 60, 90);
        set_pixel(a, 2, 0, 1, 2, 3, 0); // neither
        set_pixel(b, 2, 0, 4, 5, 6, 0);
        set_pixel(a, 3, 0, 10, 20, 30, 150); // both, a larger
        set_pixel(b, 3, 0, 40, 50, 60, 100);
        set_pixel(a, 4, 0, 10, 20, 30, 200); // both, equal
        set_pixel(b, 4, 0, 40, 50, 60, 200);
        set_pixel(a, 5, 0, 10, 20, 30, 50); // both, b larger
        set_pixel(b, 5, 0, 40, 50, 60, 100);
        set_pixel(a, 6, 0, 10, 20, 30, nan); // a not a number: it covers
        set_pixel(b, 6, 0, 40, 50, 60, 0);
        set_pixel(a, 7, 0, 10, 20, 30, nan); // and loses to a number
        set_pixel(b, 7, 0, 40, 50, 60, 70);
    }
};

struct blender_out {
    float_image a, b, m;
};

// Reads the three outputs row by row, in order, as the pyramids would.
blender_out blend_inputs(float_image &s0, float_image &s1, int levels)
{
    image_reader *a, *b, *m;
    EXPECT_EQ(0, create_blender_images(&a, &b, &m, float_reader(&s0), float_reader(&s1), levels));
    blender_out out{float_image(a->width, a->height, 4), float_image(b->width, b->height, 4),
                    float_image(m->width, m->height, 1)};
    EXPECT_EQ(a->height, m->height);
    for (int y = 0; y < a->height; y++) {
        memcpy(out.a.row(y), read_row(a, y, nullptr), out.a.row_floats() * 4);
        memcpy(out.b.row(y), read_row(b, y, nullptr), out.b.row_floats() * 4);
        // The smart seam's mask comes from a ring of its own, which copies.
        if (get_seamer() == 1)
            read_row(m, y, out.m.row(y));
        else
            memcpy(out.m.row(y), read_row(m, y, nullptr), out.m.row_floats() * 4);
    }
    close_image_reader(m);
    close_image_reader(b);
    close_image_reader(a);
    return out;
}

void expect_pixel(const float_image &im, int x, float r, float g, float b, float alpha, const char *what)
{
    EXPECT_EQ(r, im.at(x, 0, 0)) << what << " column " << x;
    EXPECT_EQ(g, im.at(x, 0, 1)) << what << " column " << x;
    EXPECT_EQ(b, im.at(x, 0, 2)) << what << " column " << x;
    EXPECT_EQ(alpha, im.at(x, 0, 3)) << what << " column " << x;
}

// A and B under the rules that all modes share.
void expect_outputs(const blender_out &o)
{
    expect_pixel(o.a, 0, 10, 20, 30, 100, "A");
    expect_pixel(o.b, 0, 10, 20, 30, 100, "B");
    expect_pixel(o.a, 1, 40, 50, 60, 90, "A");
    expect_pixel(o.b, 1, 40, 50, 60, 90, "B");
    expect_pixel(o.a, 2, 0, 0, 0, 0, "A");
    expect_pixel(o.b, 2, 0, 0, 0, 0, "B");
    expect_pixel(o.a, 3, 10, 20, 30, 150, "A");
    expect_pixel(o.b, 3, 40, 50, 60, 150, "B");
    expect_pixel(o.a, 4, 10, 20, 30, 200, "A");
    expect_pixel(o.b, 4, 40, 50, 60, 200, "B");
    expect_pixel(o.a, 5, 10, 20, 30, 100, "A");
    expect_pixel(o.b, 5, 40, 50, 60, 100, "B");
    EXPECT_TRUE(std::isnan(o.a.at(6, 0, 3)));
    expect_pixel(o.a, 7, 10, 20, 30, 70, "A");
    expect_pixel(o.b, 7, 40, 50, 60, 70, "B");
}
} // namespace

TEST(PaddedSize, SmallestSizeOfThePyramidForm)
{
    EXPECT_EQ(13, padded_size(10, 2));
    EXPECT_EQ(9, padded_size(7, 2));
    for (int levels = 1; levels <= 10; levels++) {
        int step = 1 << levels;
        EXPECT_EQ(1, padded_size(1, levels));
        EXPECT_EQ(1, padded_size(0, levels));
        EXPECT_EQ(step + 1, padded_size(2, levels));
        EXPECT_EQ(step + 1, padded_size(step + 1, levels));
        EXPECT_EQ(2 * step + 1, padded_size(step + 2, levels));
    }
    EXPECT_EQ(-1, padded_size(2147483647, 10));
}

TEST_F(BlenderInput, CentreSeamRules)
{
    set_seamer(0);
    pairs p;
    blender_out o = blend_inputs(p.a, p.b, 1);
    ASSERT_EQ(9, o.a.width);
    ASSERT_EQ(1, o.a.height);
    expect_outputs(o);
    const float mask[] = {255, 0, 0, 255, 0, 0, 255, 0};
    for (int x = 0; x < 8; x++)
        EXPECT_EQ(mask[x], o.m.at(x, 0)) << x;
    EXPECT_EQ(0, o.m.at(8, 0)); // padding repeats the last real column
}

TEST_F(BlenderInput, EvenMixRulesAndTheirOneLevelBlendIsTheMean)
{
    set_seamer(2);
    pairs p;
    blender_out o = blend_inputs(p.a, p.b, 1);
    expect_outputs(o);
    const float mask[] = {255, 0, 0, 127.5f, 127.5f, 127.5f, 255, 127.5f};
    for (int x = 0; x < 8; x++)
        EXPECT_EQ(mask[x], o.m.at(x, 0)) << x;

    image_reader *a, *b, *m;
    ASSERT_EQ(0, create_blender_images(&a, &b, &m, float_reader(&p.a), float_reader(&p.b), 1));
    image_reader *r = blend_pyramids(a, b, m, 1);
    float_image out = read_all(r);
    close_image_reader(r);
    for (int c = 0; c < 3; c++)
        EXPECT_EQ((p.a.at(3, 0, c) + p.b.at(3, 0, c)) * 0.5f, out.at(3, 0, c));
    EXPECT_EQ(150, out.at(3, 0, 3));
}

TEST_F(BlenderInput, SmartSeamRowHoldsCostRecordsOfThePairsAsTheyCameIn)
{
    pairs p;
    const int g = 11;
    const size_t off_b = 16 * g, off_c = 32 * g;
    std::vector<float> row(12 * g);
    unsigned char *wide = reinterpret_cast<unsigned char *>(row.data());
    smart_blender(wide, off_b, off_c, p.a.row(0), p.b.row(0), 8, g);
    blender_out o{float_image(g, 1, 4), float_image(g, 1, 4), float_image()};
    memcpy(o.a.row(0), wide, off_b);
    memcpy(o.b.row(0), wide + off_b, off_b);
    expect_outputs(o);
    const float *cost = reinterpret_cast<const float *>(wide + off_c);
    for (int x = 0; x < 8; x++) {
        float dr = p.a.at(x, 0, 0) - p.b.at(x, 0, 0), dg = p.a.at(x, 0, 1) - p.b.at(x, 0, 1);
        float db = p.a.at(x, 0, 2) - p.b.at(x, 0, 2);
        EXPECT_TRUE(memcmp(&cost[4 * x], &p.a.at(x, 0, 3), 4) == 0) << x;
        EXPECT_EQ(p.b.at(x, 0, 3), cost[4 * x + 1]) << x;
        EXPECT_EQ(dg * dg + dr * dr + db * db + 1, cost[4 * x + 2]) << x;
    }
    EXPECT_EQ(3 * 900 + 1, cost[4 * 4 + 2]);
    for (int x = 8; x < g; x++) {
        EXPECT_EQ(0, memcmp(&cost[4 * x], &cost[4 * 7], 16)) << x;
        EXPECT_EQ(0, o.a.at(x, 0, 0) + o.a.at(x, 0, 3) + o.b.at(x, 0, 1) + o.b.at(x, 0, 3)) << x;
    }
}

TEST_F(BlenderInput, PaddingRepeatsTheLastColumnAndRowOfTheMask)
{
    set_seamer(0);
    float_image s0 = random_image(10, 7, 4, 5), s1 = random_image(10, 7, 4, 6);
    for (int y = 0; y < 7; y++)
        for (int x = 0; x < 10; x++)
            s1.at(x, y, 3) = (x + y) % 3 == 0 ? 0.0f : 128.0f;
    blender_out o = blend_inputs(s0, s1, 2);
    ASSERT_EQ(13, o.a.width);
    ASSERT_EQ(9, o.a.height);
    ASSERT_EQ(13, o.m.width);
    for (int y = 0; y < 9; y++)
        for (int x = 0; x < 13; x++) {
            if (x < 10 && y < 7) {
                EXPECT_EQ(s0.at(x, y, 3) > s1.at(x, y, 3) ? 255.0f : 0.0f, o.m.at(x, y)) << x << "," << y;
                continue;
            }
            for (int c = 0; c < 4; c++) {
                EXPECT_EQ(0, o.a.at(x, y, c)) << x << "," << y;
                EXPECT_EQ(0, o.b.at(x, y, c)) << x << "," << y;
            }
            EXPECT_EQ(o.m.at(std::min(x, 9), std::min(y, 6)), o.m.at(x, y)) << x << "," << y;
        }
}

TEST_F(BlenderInput, SmartSeamPaddingRowsRepeatTheCostRecords)
{
    set_seamer(1);
    float_image s0 = random_image(6, 3, 4, 8), s1 = random_image(6, 3, 4, 9);
    image_reader *a, *b, *m;
    ASSERT_EQ(0, create_blender_images(&a, &b, &m, float_reader(&s0), float_reader(&s1), 2));
    ASSERT_EQ(5, a->height);
    ASSERT_EQ(9, a->width);
    // The views sit on one wide row: its third region follows B.
    const float *row2 = static_cast<const float *>(read_row(b, 2, nullptr));
    std::vector<float> third2(row2 + 4 * 9, row2 + 8 * 9);
    for (int y = 3; y < 5; y++) {
        const float *row = static_cast<const float *>(read_row(b, y, nullptr));
        EXPECT_EQ(third2, std::vector<float>(row + 4 * 9, row + 8 * 9)) << y;
        const float *pa = static_cast<const float *>(read_row(a, y, nullptr));
        EXPECT_EQ(std::vector<float>(36, 0.0f), std::vector<float>(pa, pa + 36));
    }
    float mask[9];
    for (int y = 0; y < 5; y++)
        read_row(m, y, mask);
    close_image_reader(m);
    close_image_reader(b);
    close_image_reader(a);
}

TEST_F(BlenderInput, WiderEarlierContentIsCutToTheNewImage)
{
    set_seamer(0);
    float_image s0 = random_image(6, 3, 4, 10), s1 = random_image(20, 5, 4, 11);
    blender_out o = blend_inputs(s0, s1, 1);
    ASSERT_EQ(7, o.b.width);
    ASSERT_EQ(3, o.b.height);
    for (int y = 0; y < 3; y++) {
        for (int x = 0; x < 6; x++)
            EXPECT_EQ(s1.at(x, y, 1), o.b.at(x, y, 1)) << x;
        EXPECT_EQ(0, o.b.at(6, y, 1));
    }
}

// The wide ring holds blend_bufsize(levels) rows plus the seam window.
TEST_F(BlenderInput, RingHoldsTheBlendBudget)
{
    float_image s0(3, 900, 4), s1(3, 900, 4);
    image_reader *a, *b, *m;
    ASSERT_EQ(0, create_blender_images(&a, &b, &m, float_reader(&s0), float_reader(&s1), 2));
    int rows = blend_bufsize(2) + get_seam_preload();
    read_row(a, 900, nullptr);
    read_row(a, 901 - rows, nullptr);
    std::string msg =
        "^Read buffer too small, is " + std::to_string(rows) + ", should be " + std::to_string(rows + 1);
    EXPECT_EXIT(read_row(b, 900 - rows, nullptr), ExitedWithCode(1), msg);
    close_image_reader(m);
    close_image_reader(b);
    close_image_reader(a);
}

TEST_F(BlenderInput, InputsAreChecked)
{
    float_image rgba(4, 4, 4), gray(4, 4, 1), other(4, 4, 4), small(3, 3, 4);
    other.tag = 2;
    image_reader *a, *b, *m;
    image_reader *r = float_reader(&rgba), *g = float_reader(&gray), *o = float_reader(&other);
    image_reader *s = float_reader(&small);
    EXPECT_EXIT(create_blender_images(&a, &b, &m, g, r, 1), ExitedWithCode(1), "s0->pixformat == float_RGBA");
    EXPECT_EXIT(create_blender_images(&a, &b, &m, r, g, 1), ExitedWithCode(1), "s1->pixformat == float_RGBA");
    EXPECT_EXIT(create_blender_images(&a, &b, &m, r, o, 1), ExitedWithCode(1),
                "\\(s0->type & 3\\) == \\(s1->type & 3\\)");
    EXPECT_EXIT(create_blender_images(&a, &b, &m, r, s, 1), ExitedWithCode(1), "Assertion failed");
    for (image_reader *ir : {r, g, o, s})
        close_image_reader(ir);
}
