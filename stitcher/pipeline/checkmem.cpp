#include "stitcher/pipeline/checkmem.h"

#include "stitcher/pipeline/keloerror.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

static const char msg_total[] = "Allocated memory: %" PRId64 " Bytes\n";
static const char msg_block[] = "p= %u   Size= %u \n";
static const char msg_sum[] = "Allocated memory2: %" PRId64 " Bytes\n";
static const char msg_unknown[] = "Freeing un-malloced pointer %u\n";

namespace
{

std::mutex lock;
std::map<const void *, size_t> blocks; // by address
int64_t total = 0;

unsigned low_bits(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }
unsigned shown_size(size_t size) { return size > UINT_MAX ? UINT_MAX : static_cast<unsigned>(size); }

// Takes a new block into the list; a block the list has no room for is
// released again and the allocation fails.
void *track(void *p, size_t size)
{
    if (!p)
        return nullptr;
    std::lock_guard<std::mutex> g(lock);
    try {
        blocks[p] = size;
    } catch (const std::bad_alloc &) {
        free(p);
        errno = ENOMEM;
        return nullptr;
    }
    total += static_cast<int64_t>(size);
    return p;
}

// Removes p from the list; false (with the report) when it is not there.
bool untrack(void *p)
{
    std::lock_guard<std::mutex> g(lock);
    auto it = blocks.find(p);
    if (it == blocks.end()) {
        print_stdout(msg_unknown, low_bits(p));
        return false;
    }
    total -= static_cast<int64_t>(it->second);
    blocks.erase(it);
    return true;
}

} // namespace

void *c_malloc(size_t size) { return track(malloc(size), size); }

void *c_calloc(size_t count, size_t size)
{
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        return nullptr;
    }
    return track(calloc(count, size), bytes);
}

void *c_memalign(size_t alignment, size_t size)
{
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    void *p = nullptr;
    if (posix_memalign(&p, alignment < sizeof(void *) ? sizeof(void *) : alignment, size) != 0)
        return nullptr;
    return track(p, size);
}

void *c_realloc(void *p, size_t size)
{
    if (!p)
        return c_malloc(size);
    if (size == 0) {
        c_free(p);
        return nullptr;
    }
    // Under the lock, so that no other thread sees the old address reused
    // while it is still listed; the list node is moved, never allocated.
    std::lock_guard<std::mutex> g(lock);
    auto it = blocks.find(p);
    if (it == blocks.end()) {
        print_stdout(msg_unknown, low_bits(p));
        return nullptr;
    }
    void *q = realloc(p, size);
    if (!q)
        return nullptr;
    total += static_cast<int64_t>(size) - static_cast<int64_t>(it->second);
    auto node = blocks.extract(it);
    node.key() = q;
    node.mapped() = size;
    blocks.insert(std::move(node));
    return q;
}

char *c_strdup(const char *s)
{
    size_t n = strlen(s) + 1;
    char *p = static_cast<char *>(c_malloc(n));
    if (p)
        memcpy(p, s, n);
    return p;
}

void c_free(void *p)
{
    if (p && untrack(p))
        free(p);
}

void c_report(void)
{
    std::lock_guard<std::mutex> g(lock);
    print_stdout(msg_total, total);
    int64_t sum = 0;
    for (const auto &[p, size] : blocks) {
        print_stdout(msg_block, low_bits(p), shown_size(size));
        sum += static_cast<int64_t>(size);
    }
    print_stdout(msg_sum, sum);
}
