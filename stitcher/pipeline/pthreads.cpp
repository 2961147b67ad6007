#include "stitcher/pipeline/pthreads.h"

#include "stitcher/pipeline/memory.h"

#include <new>
#include <pthread.h>
#include <sched.h>
#include <time.h>

struct zthread {
    void *argument;
    void *(*function)(void *);
    pthread_t handle;
};

static void *thread_entry(void *p)
{
    zthread *t = static_cast<zthread *>(p);
    t->function(t->argument);
    return nullptr;
}

// On 32-bit x86 the default stack of 8 MiB a thread would let -j 1024 (and
// the threads on top of it) fill the 4 GiB of address space; ours need less
// than 256 KiB.
static const size_t stack_bytes = sizeof(void *) == 4 ? size_t(2) << 20 : 0;

int zthread_create(zthread **thread, const void *, void *(*function)(void *), void *argument)
{
    void *mem = aligned_malloc(sizeof(zthread));
    if (!mem)
        return -1;
    zthread *t = new (mem) zthread{argument, function, pthread_t()};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_bytes)
        pthread_attr_setstacksize(&attr, stack_bytes);
    int fail = pthread_create(&t->handle, &attr, thread_entry, t);
    pthread_attr_destroy(&attr);
    if (fail) {
        aligned_free(t);
        return -1;
    }
    *thread = t;
    return 0;
}

int zthread_join(zthread *thread, void **)
{
    pthread_join(thread->handle, nullptr);
    aligned_free(thread);
    return 0;
}

int zthread_timed_join(zthread *thread, int milliseconds)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(thread->handle, nullptr, &until) != 0)
        return -1;
    aligned_free(thread);
    return 0;
}

void zthread_name(const char *name) { pthread_setname_np(pthread_self(), name); }

int zsched_yield(void)
{
    struct timespec ts = {0, 10000};
    nanosleep(&ts, nullptr);
    return 0;
}

long zsysconf(int name)
{
    if (name != ZSC_NPROCESSORS)
        return -1;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
    return 1;
}
