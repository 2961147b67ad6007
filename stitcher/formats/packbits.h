// Byte streams kept PackBits-compressed in a file descriptor: written with
// any number of encode calls, then read back in order after a rewind. Each
// descriptor has a buffer of its own, so several streams can be open at once.
//
// Code bytes: a count c of 0..127 is followed by c + 1 literal bytes; a count
// of -127..-1 (signed) by one byte that stands for 1 - c copies of it.
// Failed reads, writes and seeks, and a stream that ends inside a code, end
// the run.
#pragma once
#include <cstddef>

enum { PACKBITS_BUFN = 2048 };

// Gives fd a buffer for encode calls of up to n bytes (a larger call grows
// it); returns fd. Descriptors from PACKBITS_BUFN on are refused.
int packbits_malloc(int fd, size_t n);
// Compresses n bytes and appends the codes to fd with one write; returns n.
size_t packbits_encode(int fd, const void *bytes, size_t n);
// Seeks fd to 0 and loads the start of the stream for decoding.
void packbits_rewind(int fd);
// The next n bytes of the stream into dst; returns n. A code may end in the
// next call: nothing is written past dst + n.
size_t packbits_decode(int fd, void *dst, size_t n);
// Frees the buffer and closes fd.
void packbits_close(int fd);
