// An allocation tracker for hunting leaks: allocates and releases like the C
// library's functions while keeping every live block's address and size, and
// reports them. Safe to call from several threads. Nothing in the program
// uses it; link it in place of the plain calls while debugging.
#pragma once
#include <cstddef>

void *c_malloc(size_t size);
void *c_calloc(size_t count, size_t size);
// alignment: a power of two (below the pointer size it is raised to it);
// another value gives null.
void *c_memalign(size_t alignment, size_t size);
// A null p allocates; size 0 releases p and returns null; a failure leaves p
// as it was.
void *c_realloc(void *p, size_t size);
char *c_strdup(const char *s);
// A block that was not allocated here is reported and left alone.
void c_free(void *p);

// The running total, one line per block and the sum of the blocks, on
// standard output. The "%u" fields are 32 bits wide: a block shows the low 32
// bits of its address and its size up to 4294967295 (larger ones show that).
void c_report(void);
