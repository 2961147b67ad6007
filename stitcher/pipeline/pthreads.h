// The thread layer: start, join, a short yield, and the processor count.
// Named apart from the C library's POSIX functions they are built on.
#pragma once

struct zthread; // {argument, function, POSIX thread}

// 0 after storing the new thread in *thread, -1 when it cannot be started.
// The attributes are ignored; the function's result is not kept.
int zthread_create(zthread **thread, const void *attributes, void *(*function)(void *), void *argument);
// Waits for the thread to end and releases its record; returns 0.
int zthread_join(zthread *thread, void **result);
// zthread_join that gives up after the time: 0 when joined (the record
// released), -1 when the thread still runs.
int zthread_timed_join(zthread *thread, int milliseconds);
// Names the calling thread (up to 15 bytes), so that top -H and perf show
// what each thread does.
void zthread_name(const char *name);
// Sleeps 10 microseconds; every polling loop calls it between two polls.
int zsched_yield(void);

// zsysconf(ZSC_NPROCESSORS): the processors this process may run on; any
// other name gives -1.
enum { ZSC_NPROCESSORS = 1 };
long zsysconf(int name);
