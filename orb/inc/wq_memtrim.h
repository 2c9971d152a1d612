// Memory after large messages: a bounded amount is kept for the next large
// message (buffers kept whole, and free memory in the allocator) and the
// rest goes back to the system.
#pragma once

#include <cstddef>
#include <cstdint>

// Buffers and messages at least this long count as large.
constexpr uint32_t wq_large_bytes = 1u << 20;

// Fixes the allocator's settings for a server, once (before its first
// reader starts).
void wq_memory_tune();

// A large message enters service / leaves it. Memory is looked at only when
// none is in service, since what the others hold comes free with their end.
void wq_large_begin();
void wq_large_end();

// A large buffer was freed outside a message's service (a reply sent by
// another thread, a partial message dropped with its connection): free
// memory beyond the bound goes back unless a large message is in service.
// Nothing is done in a process that has not tuned its allocator (one that
// serves no requests).
void wq_large_freed();

// Buffers of large messages and long octet sequences (new unsigned char[],
// at least n bytes; null when memory is short). A server keeps a bounded
// amount of freed ones, which buffers of about their size take again; in
// any other process, or for a buffer below the large size, these are plain
// new[] and delete[]. wq_large_free takes any buffer from new unsigned
// char[] (its size is the allocator's).
unsigned char *wq_large_alloc(size_t n);
void wq_large_free(unsigned char *buffer);
// Bytes of the buffers kept now.
size_t wq_large_kept_bytes();
