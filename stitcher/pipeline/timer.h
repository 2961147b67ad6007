// Wall-clock timing of the per-image work.
#pragma once

// Seconds accumulated by getcurrenttime.
extern double total_exec_time;

// The time of day in seconds, with microsecond resolution.
double mysecond(void);
// Seconds since the previous call, also added to total_exec_time; the first
// call returns the time of day itself and adds nothing.
double getcurrenttime(void);
