#include "stitcher/pipeline/timer.h"

#include <sys/time.h>

double total_exec_time = 0.0;
static double pold = 0.0;

double mysecond(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

double getcurrenttime(void)
{
    double now = mysecond();
    double delta = now - pold;
    if (pold != 0.0)
        total_exec_time += delta;
    pold = now;
    return delta;
}
