// Stack blocks: the code table, the evaluation form, printing and inversion.
#include "stack_testutil.h"
#include "stitcher/geometry/matrix.h"
#include "stitcher/geometry/polynom.h"
#include "stitcher/geometry/stack.h"
#include "stitcher/pipeline/memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

using namespace stacktest;

namespace
{

TEST(Stack, CodeTable)
{
    const int want[27] = {256, 0, 7, 6, 5, 2, 3, 2, 9, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 7, 5, 5, 1};
    ASSERT_EQ(sizeof(remap_data_size) / sizeof(int), 27u);
    for (int i = 0; i < 27; i++)
        EXPECT_EQ(remap_data_size[i], want[i]) << i;
}

TEST(Stack, NewStackAndPushStep)
{
    stack_ptr sd(new_stack());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sd.get()) % 16, 0u);
    EXPECT_EQ(sd.get()[0].func, -1);
    int pos = 0;
    const double shift[2] = {3, 4};
    push_step(sd.get(), &pos, _shift, shift);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(sd.get()[0].func, _shift);
    EXPECT_EQ(sd.get()[1].param, 3);
    EXPECT_EQ(sd.get()[2].param, 4);
    EXPECT_EQ(sd.get()[3].func, -1);
}

TEST(StackDeathTest, PushStepStaysInsideTheBlock)
{
    stack_ptr sd(new_stack());
    int pos = RMPSIZE - 10;
    const double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    // 1 + 9 slots and the end code do not fit in the last 10.
    EXPECT_EXIT(push_step(sd.get(), &pos, _perspect, m), ::testing::ExitedWithCode(1), "Assertion failed");
}

TEST(Stack, VectorForm)
{
    auto sd = make_stack({{_shift, {0.1, -2.5}}, {_from_rectilinear, {1e300, 1e-300}}, {_identity, {}}});
    alignas(16) vector_stack vs[RMPSIZE];
    memset(vs, 0x55, sizeof vs);
    vector_remapper(sd.get(), vs);
    EXPECT_EQ(vs[0].func, _shift);
    for (int l = 0; l < 4; l++) {
        EXPECT_EQ(vs[1].lane[l], 0.1f);
        EXPECT_EQ(vs[2].lane[l], -2.5f);
        EXPECT_EQ(vs[4].lane[l], INFINITY); // beyond the float range
        EXPECT_EQ(vs[5].lane[l], 0.0f);
    }
    EXPECT_EQ(vs[3].func, _from_rectilinear);
    EXPECT_EQ(vs[6].func, _identity);
    EXPECT_EQ(vs[7].func, -1);
}

TEST(Stack, PrintStack)
{
    auto sd =
        make_stack({{_shift, {1, 2}}, {_perspect, {1, 0, 0, 0, 1, 0, 0, 0, 1}}, {_to_rectilinear, {5, 0.2}}});
    testing::internal::CaptureStdout();
    print_stack(sd.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "No 0: func 7 size 2\nNo 3: func 8 size 9\nNo 13: func 9 size 2\n");
}

TEST(StackDeathTest, PrintStackRefusesUnknownCodes)
{
    stack_data sd[RMPSIZE] = {};
    sd[0].func = 30;
    EXPECT_EXIT(print_stack(sd), ::testing::ExitedWithCode(1),
                "Assertion failed: sd\\[i\\].func>=0 && sd\\[i\\].func < "
                "sizeof\\(remap_data_size\\)/sizeof\\(int\\)");
    sd[0].func = 0;
    EXPECT_EXIT(print_stack(sd), ::testing::ExitedWithCode(1), "Assertion failed: sd\\[i\\].func != 0");
}

// ---- Inversion ----

TEST(Invert, EmptyStack)
{
    auto sd = make_stack({});
    stack_ptr inv(invert_stack(sd.get()));
    EXPECT_EQ(inv.get()[0].func, -1);
}

TEST(Invert, ShiftAndProjectionChain)
{
    stack_ptr inv(invert_stack(make_stack({{_shift, {3, 4}}}).get()));
    auto s = steps_of(inv.get());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].func, _shift);
    EXPECT_EQ(s[0].params, (std::vector<double>{-3, -4}));

    rot_matrix m;
    set_euler_matrix(20, -10, 5, m);
    const double d1 = 636.6, d2 = 1000;
    auto fwd = make_stack(
        {{_from_rectilinear, {d1, 1 / d1}}, {_perspect, {m, m + 9}}, {_to_rectilinear, {d2, 1 / d2}}});
    stack_ptr back(invert_stack(fwd.get()));
    auto b = steps_of(back.get());
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0].func, _from_rectilinear);
    EXPECT_EQ(b[0].params, (std::vector<double>{d2, 1 / d2}));
    EXPECT_EQ(b[1].func, _perspect);
    rot_matrix prod;
    matrix_matrix_mult(m, b[1].params.data(), prod);
    for (int i = 0; i < 9; i++)
        EXPECT_NEAR(prod[i], i % 4 == 0 ? 1 : 0, 1e-15);
    EXPECT_EQ(b[2].func, _to_rectilinear);
    EXPECT_EQ(b[2].params, (std::vector<double>{d1, 1 / d1}));
    EXPECT_EQ(back.get()[1 + 2 + 1 + 9 + 1 + 2].func, -1); // as long as the input
}

TEST(Invert, EveryInverse)
{
    const std::vector<double> radial = {0.97, 0.01, 0.02, -0.03, 0.004, 500, 1.5};
    const std::vector<double> vert = {1.02, 0.01, -0.03, 0.02, 0.7, 750};
    const std::vector<double> sing = {1, 2, 3, 2, 4, 6, 0, 0, 1}; // determinant 0
    auto sd = make_stack({{_identity, {}},
                          {_radial, radial},
                          {_vert_radial, vert},
                          {_scale, {2, -4}},
                          {_shear, {1.5, 0.1, 0.2}},
                          {_perspect, sing},
                          {_translate, {0.5, -0.25, 0.8}},
                          {_inv_translate, {1, 2, 4}},
                          {_from_tripar, {600, 1 / 600.0, 0.2, -0.1, 0.7}},
                          {_to_cylindrical, {7, 1 / 7.0}},
                          {_from_mirror_equisolid, {9, 1 / 9.0}}});
    stack_ptr inv(invert_stack(sd.get()));
    auto s = steps_of(inv.get());
    ASSERT_EQ(s.size(), 11u);
    // In reverse order.
    EXPECT_EQ(s[0].func, _to_mirror_equisolid);
    EXPECT_EQ(s[0].params, (std::vector<double>{9, 1 / 9.0}));
    EXPECT_EQ(s[1].func, _from_cylindrical);
    EXPECT_EQ(s[2].func, _to_tripar);
    EXPECT_EQ(s[2].params, (std::vector<double>{600, 1 / 600.0, 0.2, -0.1, 0.7}));
    EXPECT_EQ(s[3].func, _translate);
    EXPECT_EQ(s[3].params, (std::vector<double>{-1, -2, 0.25}));
    EXPECT_EQ(s[4].func, _inv_translate);
    EXPECT_EQ(s[4].params, (std::vector<double>{-0.5, 0.25, 1.25}));
    EXPECT_EQ(s[5].func, _perspect);
    EXPECT_EQ(s[5].params, sing); // singular: unchanged
    EXPECT_EQ(s[6].func, _shear);
    EXPECT_DOUBLE_EQ(s[6].params[0], 1 / (1.5 * (1 - 0.02)));
    EXPECT_EQ(s[6].params[1], -0.1);
    EXPECT_EQ(s[6].params[2], -0.2);
    EXPECT_EQ(s[7].func, _scale);
    EXPECT_EQ(s[7].params, (std::vector<double>{0.5, -0.25}));
    EXPECT_EQ(s[8].func, _vert_radial);
    double b[4];
    poly_inverse(vert.data(), b, 1.0);
    EXPECT_EQ(s[8].params, (std::vector<double>{b[0], b[1], b[2], b[3], 0, 750}));
    EXPECT_EQ(s[9].func, _inv_radial);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(s[9].params[k], radial[k]);
    // The validity radius after the forward mapping.
    double r = 1.5, fr = r * (0.97 + 0.01 * r + 0.02 * r * r - 0.03 * r * r * r + 0.004 * r * r * r * r);
    EXPECT_DOUBLE_EQ(s[9].params[6], fr);
    EXPECT_EQ(s[10].func, _identity);
}

TEST(Invert, TwiceGivesTheStackBack)
{
    rot_matrix m;
    set_euler_matrix(33, 12, -7, m);
    const std::vector<step_def> steps = {{_from_equirect, {636.6, 1 / 636.6}},
                                         {_perspect, {m, m + 9}},
                                         {_translate, {0.1, 0.2, 1 / 1.3}},
                                         {_perspect, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
                                         {_to_fisheye, {700, 1 / 700.0}},
                                         {_scale, {3, 0.1}},
                                         {_shift, {2.5, -1}},
                                         {_shear, {1, 0.01, 0.02}},
                                         {_from_tripar, {500, 0.002, -0.1, -0.2, 0.5}},
                                         {_identity, {}}};
    auto sd = make_stack(steps);
    stack_ptr once(invert_stack(sd.get()));
    stack_ptr twice(invert_stack(once.get()));
    auto back = steps_of(twice.get());
    ASSERT_EQ(back.size(), steps.size());
    for (size_t j = 0; j < steps.size(); j++) {
        EXPECT_EQ(back[j].func, steps[j].func) << j;
        for (size_t k = 0; k < steps[j].params.size(); k++) {
            // Copies and negations come back exactly; reciprocals and the
            // matrix to the last bits.
            double want = steps[j].params[k], got = back[j].params[k];
            if (steps[j].func == _perspect) {
                EXPECT_NEAR(got, want, 1e-15) << j << "," << k;
            } else {
                EXPECT_DOUBLE_EQ(got, want) << j << "," << k;
            }
            if (steps[j].func == _shift || steps[j].func == _to_fisheye || steps[j].func == _from_equirect ||
                steps[j].func == _from_tripar || (steps[j].func == _translate && k < 2)) {
                EXPECT_EQ(got, want) << j << "," << k;
            }
        }
    }
}

TEST(InvertDeathTest, StepsWithoutInverse)
{
    auto ssr = make_stack({{_shift, {1, 1}}, {_shift_scale_rotate, {0, 0, 1, 1, 0}}});
    EXPECT_EXIT(invert_stack(ssr.get()), ::testing::ExitedWithCode(1),
                "^invert_shift_scale_rotate_data: Not implemented.\n?$");
    auto multi = make_stack({{_mult_rectilinear, {11}}, {_to_rectilinear, {1, 1}}});
    EXPECT_EXIT(invert_stack(multi.get()), ::testing::ExitedWithCode(1),
                "^Error: Multirectilinear format not invertible.\n$");
    stack_data bad[RMPSIZE] = {};
    bad[0].func = 27;
    EXPECT_EXIT(invert_stack(bad), ::testing::ExitedWithCode(1),
                "Assertion failed: s\\[i\\].func < sizeof\\(remap_data_size\\)/sizeof\\(int\\)");
    bad[0].func = 0;
    EXPECT_EXIT(invert_stack(bad), ::testing::ExitedWithCode(1), "Assertion failed");
    auto newton = make_stack({{_inv_radial, {1, 0, 0, 0, 0, 1, 1}}});
    EXPECT_EXIT(invert_stack(newton.get()), ::testing::ExitedWithCode(1), "Assertion failed");
}

} // namespace
