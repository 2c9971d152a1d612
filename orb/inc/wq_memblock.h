// Memory blocks: the buffers that a CDR stream chains together, recycled
// through process-wide free lists.
#pragma once

#include <atomic>
#include <cstdint>

struct wq_MemoryBlock {
    wq_MemoryBlock *next = nullptr; // following block of the chain
    unsigned char *data = nullptr;  // first usable byte (8-aligned when owned)
    unsigned char *raw = nullptr;   // array allocation behind data, or null
    uint32_t used = 0;              // valid bytes
    uint32_t capacity = 0;          // usable bytes
    uint32_t owns = 0;              // 1 when the block frees its buffer
    uint32_t base = 0;              // stream offset of data[0]
    uint32_t mapped = 0;            // raw is a mapping of its own (see alloc)
    // A lent buffer (see lend): handed back through give_back(lender) when
    // the block leaves its chain; null otherwise.
    void (*give_back)(void *) = nullptr;
    void *lender = nullptr;
    // On the head block of a chain: holders beside its owner (read-only
    // views). The chain goes back only when the last of them lets go.
    std::atomic<uint32_t> holders{0};

    // A block owning a new 8-aligned buffer of `size` bytes; the standard
    // sizes come from the free lists. Null when memory is short. Buffers of
    // 65536 bytes and more that the free lists cannot give are mapped for
    // themselves (their pages resident only as they are written) and unmapped when
    // destroyed: the free lists keep a bounded number of blocks (16.25 MiB
    // of 65536-byte ones, and as many as are in use while more are, up to
    // 256 MiB), and blocks beyond them go back to the system instead of
    // staying in the allocator's arenas.
    static wq_MemoryBlock *alloc(uint32_t size);
    // A block wrapping a caller's buffer; owns 0.
    static wq_MemoryBlock *alloc(uint32_t size, void *buffer);
    // As above; with owns 1 the buffer (from new unsigned char[]) is deleted
    // with the block.
    static wq_MemoryBlock *alloc(uint32_t size, void *buffer, uint32_t owns);

    // A block holding `size` bytes already written in a caller's buffer
    // (owns 0, used = size), which stays untouched until the block is
    // recycled or destroyed: then give_back(lender) runs, once, in whichever
    // thread lets the chain go. Null when memory is short (nothing given
    // back then).
    static wq_MemoryBlock *lend(uint32_t size, const void *buffer, void (*give_back)(void *), void *lender);

    // The block that follows this one when writing (existing or new), with
    // base = this->base + used. Null when memory is short. A new mapped
    // block is made resident at once, as a chained block is written whole
    // (but the last of a message).
    wq_MemoryBlock *next_alloc(uint32_t size);

    // Gives a whole chain back (recycled or destroyed) and nulls `block`.
    // A chain that still has holders only loses one of them.
    static void release(wq_MemoryBlock *&block);
    // Adds a holder to the chain headed by `head` (the caller holds it
    // already, as its owner or another holder).
    static void hold(wq_MemoryBlock *head);
    // True when the chain headed by `head` has holders beside its owner.
    static bool is_held(const wq_MemoryBlock *head)
    {
        return head && head->holders.load(std::memory_order_acquire) != 0;
    }

    // Frees an owned buffer and destroys the rest of the chain.
    ~wq_MemoryBlock();

    wq_MemoryBlock() = default;
    wq_MemoryBlock(const wq_MemoryBlock &) = delete;
    wq_MemoryBlock &operator=(const wq_MemoryBlock &) = delete;
};

// Test hook: while above 0, the calling thread's block allocations count it
// down, and the one that brings it to 0 fails (null), as when memory is
// short.
extern thread_local uint32_t wq_mb_fail_after;

// Destroys the three free lists, under the free-list lock when `lock`.
void wq_mem_block_clean_up(bool lock);

// Number of blocks on a free list (0: 65536-byte, 1: 4096-byte, 2: no buffer).
uint32_t wq_mb_free_count(int list);
// Bytes of the buffers that alloc(size) made and that are in use (not on a
// free list): what streams, circuits and readers hold.
uint64_t wq_mb_bytes_in_use();
