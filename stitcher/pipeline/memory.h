// Aligned allocation and checked size arithmetic, shared by every module.
#pragma once
#include <cstddef>
#include <cstdint>

// Blocks are 16-byte aligned so that SSE code may use them directly; 64 is for
// per-thread blocks that must not share a cache line. Null when out of memory.
void *aligned_malloc(size_t size, size_t alignment = 16);
void *aligned_calloc(size_t count, size_t size, size_t alignment = 16);
void aligned_free(void *p);
// The same, ending the run with "Not enough memory.\n" instead of null.
void *checked_malloc(size_t size, size_t alignment = 16);
void *checked_calloc(size_t count, size_t size, size_t alignment = 16);

// A 64-bit size as the allocators take it: one that this address space
// cannot hold (on 32-bit x86) or a negative one becomes SIZE_MAX, which no
// allocation gets, instead of wrapping round to a small block.
inline size_t alloc_size(int64_t bytes)
{
    return bytes >= 0 && static_cast<uint64_t>(bytes) <= SIZE_MAX ? static_cast<size_t>(bytes) : SIZE_MAX;
}

// Products of sizes read from files and scripts: false when an operand is
// negative or the product does not fit in 63 bits, and *out is then untouched.
bool checked_mul(int64_t a, int64_t b, int64_t *out);
bool checked_mul3(int64_t a, int64_t b, int64_t c, int64_t *out);

// Bytes of memory in the machine (0 when unknown).
uint64_t physical_memory(void);
// The bound for what a size read from a file may make us allocate: the
// machine's memory, or less once lowered (fuzz targets run under a limit).
// SIZE_MAX when unknown.
size_t available_memory(void);
void set_available_memory(size_t bytes);
// Source images are loaded whole, so one row of a real image is a small part
// of the memory: a row beyond this bound comes from a damaged header.
enum { ROW_SHARE_OF_MEMORY = 64 };
inline size_t row_memory_bound(void) { return available_memory() / ROW_SHARE_OF_MEMORY; }
// Bytes the system can still give without swapping (MemAvailable), else the
// physical memory.
uint64_t memory_left(void);
