#include "stitcher/pipeline/memory.h"

#include "stitcher/pipeline/keloerror.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

static std::atomic<size_t> memory_limit{SIZE_MAX};

// Rings and temporary images of many megabytes are made and freed for every
// image; filled in 4 KiB pages, their page faults cost more than the blend
// (a third of the run under a hypervisor). Such blocks ask for huge pages.
static const size_t huge_page = size_t(2) << 20;

void *aligned_malloc(size_t size, size_t alignment)
{
    void *p = nullptr;
    const bool huge = size >= 4 * huge_page;
    if (huge && alignment < huge_page)
        alignment = huge_page;
    if (posix_memalign(&p, alignment < sizeof(void *) ? sizeof(void *) : alignment, size ? size : 1) != 0)
        return nullptr;
    if (huge)
        madvise(p, size / huge_page * huge_page, MADV_HUGEPAGE);
    return p;
}

void *aligned_calloc(size_t count, size_t size, size_t alignment)
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total))
        return nullptr;
    void *p = aligned_malloc(total, alignment);
    if (p)
        memset(p, 0, total);
    return p;
}

void aligned_free(void *p) { free(p); }

void *checked_malloc(size_t size, size_t alignment)
{
    void *p = aligned_malloc(size, alignment);
    if (!p)
        print_error("Not enough memory.\n");
    return p;
}

void *checked_calloc(size_t count, size_t size, size_t alignment)
{
    void *p = aligned_calloc(count, size, alignment);
    if (!p)
        print_error("Not enough memory.\n");
    return p;
}

bool checked_mul(int64_t a, int64_t b, int64_t *out)
{
    int64_t r;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r))
        return false;
    *out = r;
    return true;
}

bool checked_mul3(int64_t a, int64_t b, int64_t c, int64_t *out)
{
    int64_t ab;
    return checked_mul(a, b, &ab) && checked_mul(ab, c, out);
}

uint64_t physical_memory(void)
{
    long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
}

size_t available_memory(void)
{
    // A 32-bit process reaches at most its address space, whatever the machine has.
    uint64_t memory = physical_memory();
    if (memory == 0 || memory > SIZE_MAX)
        memory = SIZE_MAX;
    return std::min(static_cast<size_t>(memory), memory_limit.load());
}

void set_available_memory(size_t bytes) { memory_limit = bytes; }

uint64_t memory_left(void)
{
    FILE *f = fopen("/proc/meminfo", "re");
    unsigned long long kb = 0;
    if (f) {
        char line[128];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "MemAvailable: %llu kB", &kb) == 1)
                break;
        fclose(f);
    }
    return kb > 0 ? static_cast<uint64_t>(kb) * 1024 : physical_memory();
}
