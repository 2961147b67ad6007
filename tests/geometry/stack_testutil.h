// Writing and reading stacks in tests.
#pragma once
#include "stitcher/geometry/stack.h"

#include <memory>
#include <vector>

namespace stacktest
{

struct step_def {
    int func;
    std::vector<double> params;
};

struct stack_deleter {
    void operator()(void *p) const { free_stack(p); }
};
using stack_ptr = std::unique_ptr<stack_data, stack_deleter>;

inline stack_ptr make_stack(const std::vector<step_def> &steps)
{
    stack_ptr sd(new_stack());
    int pos = 0;
    for (const auto &s : steps)
        push_step(sd.get(), &pos, s.func, s.params.data());
    return sd;
}

// The steps of a stack, read back.
inline std::vector<step_def> steps_of(const stack_data *sd)
{
    std::vector<step_def> out;
    for (int i = 0; sd[i].func >= 0; i += 1 + remap_data_size[sd[i].func]) {
        step_def s{sd[i].func, {}};
        for (int k = 0; k < remap_data_size[sd[i].func]; k++)
            s.params.push_back(sd[i + 1 + k].param);
        out.push_back(s);
    }
    return out;
}

// Room for the evaluation form of a stack.
struct vstack {
    alignas(16) vector_stack slots[RMPSIZE];
};

inline std::unique_ptr<vstack> to_vector(const stack_data *sd)
{
    auto v = std::make_unique<vstack>();
    vector_remapper(sd, v->slots);
    return v;
}

} // namespace stacktest
