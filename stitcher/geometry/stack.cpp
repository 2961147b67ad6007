// Stack blocks: allocation, writing steps, the evaluation form, printing.
#include "stitcher/geometry/stack.h"

#include "stitcher/geometry/project.h"

#include "stitcher/pipeline/keloerror.h"
#include "stitcher/pipeline/memory.h"

#include <cstring>

const int remap_data_size[27] = {256, 0, 7, 6, 5, 2, 3, 2, 9, 2, 2, 2, 2, 2,
                                 2,   2, 2, 2, 2, 2, 2, 3, 3, 7, 5, 5, 1};

stack_data *new_stack(void)
{
    auto *sd = static_cast<stack_data *>(checked_calloc(RMPSIZE, sizeof(stack_data)));
    sd[0].func = -1;
    return sd;
}

void push_step(stack_data *sd, int *pos, int func, const double *params)
{
    kassert(func > 0 && func < 27);
    int n = remap_data_size[func];
    // Room for the step and the end code after it.
    kassert(*pos >= 0 && *pos + 1 + n < RMPSIZE);
    sd[*pos].func = func;
    for (int k = 0; k < n; k++)
        sd[*pos + 1 + k].param = params[k];
    *pos += 1 + n;
    sd[*pos].func = -1;
}

void free_stack(void *block) { aligned_free(block); }

void print_stack(const stack_data *sd)
{
    int i = 0;
    while (sd[i].func != -1) {
        if (!(sd[i].func >= 0 && sd[i].func < 27))
            assertion_failed("sd[i].func>=0 && sd[i].func < sizeof(remap_data_size)/sizeof(int)", __FILE__,
                             __LINE__);
        // Code 0 would claim 256 parameters and walk off the block.
        kassert(sd[i].func != 0);
        int n = remap_data_size[sd[i].func];
        print_stdout("No %d: func %d size %d\n", i, sd[i].func, n);
        i += 1 + n;
        kassert(i < RMPSIZE);
    }
}

void vector_remapper(const stack_data *sd, vector_stack *vs)
{
    int i = 0;
    while (sd[i].func >= 0) {
        if (!(sd[i].func < 27))
            assertion_failed("sd[0].func < sizeof(remap_data_size)/sizeof(int)", __FILE__, __LINE__);
        // Code 0 cannot be evaluated.
        kassert(sd[i].func != 0);
        int n = remap_data_size[sd[i].func];
        // The step and the end code after it stay inside the block.
        kassert(i + 1 + n < RMPSIZE);
        memset(&vs[i], 0, sizeof vs[i]);
        vs[i].func = sd[i].func;
        for (int k = 1; k <= n; k++) {
            float v = to_float(sd[i + k].param);
            for (int l = 0; l < 4; l++)
                vs[i + k].lane[l] = v;
        }
        i += 1 + n;
    }
    memset(&vs[i], 0, sizeof vs[i]);
    vs[i].func = -1;
}
