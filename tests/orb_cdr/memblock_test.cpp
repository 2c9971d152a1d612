// Memory blocks: recycling through the free lists and chain growth.
#include "wq_memblock.h"

#include "corba_orb.h"
#include "corba_sequence.h"
#include "wq_memtrim.h"

#include <gtest/gtest.h>

TEST(OrbCdrMemBlock, ReleaseRecyclesStandardBlocks)
{
    wq_mem_block_clean_up(true);
    // What blocks hold counts from alloc to release, whether the buffer is
    // new or listed; a listed block counts no more.
    const uint64_t held = wq_mb_bytes_in_use();
    wq_MemoryBlock *a = wq_MemoryBlock::alloc(65536);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a->data) % 8, 0u);
    EXPECT_EQ(a->capacity, 65536u);
    a->used = 65536;
    wq_MemoryBlock *b = a->next_alloc(4096);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->base, 65536u);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(wq_mb_bytes_in_use(), held + 65536 + 4096);
    wq_MemoryBlock *keep_a = a;
    wq_MemoryBlock::release(a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(wq_mb_free_count(0), 1u);
    EXPECT_EQ(wq_mb_free_count(1), 1u);
    EXPECT_EQ(wq_mb_bytes_in_use(), held);
    wq_MemoryBlock *c = wq_MemoryBlock::alloc(65536);
    EXPECT_EQ(wq_mb_bytes_in_use(), held + 65536);
    EXPECT_EQ(c, keep_a);
    EXPECT_EQ(c->next, nullptr);
    EXPECT_EQ(c->used, 0u);
    EXPECT_EQ(c->base, 0u);
    EXPECT_EQ(wq_mb_free_count(0), 0u);
    wq_MemoryBlock::release(c);
    wq_mem_block_clean_up(true);
    EXPECT_EQ(wq_mb_free_count(0), 0u);
    // Odd sizes count until destroyed; wrapped buffers never count.
    static unsigned char caller[4096];
    wq_MemoryBlock *odd = wq_MemoryBlock::alloc(1000);
    wq_MemoryBlock *w = wq_MemoryBlock::alloc(4096, caller);
    EXPECT_EQ(wq_mb_bytes_in_use(), held + 1000);
    odd->next = w;
    wq_MemoryBlock::release(odd);
    EXPECT_EQ(wq_mb_bytes_in_use(), held);
    wq_mem_block_clean_up(true);
}

// Chains given back in one release, shorter and longer than the lists'
// bound (260 blocks of 65536 bytes, 256 of 4096, 256 records): the lists
// take blocks up to their bound, the rest are destroyed, and the bytes in
// use come back to where they were. While more 65536-byte blocks than that
// stay in use elsewhere, as many as those are kept (a busy server maps and
// unmaps none), and they go when those come back.
TEST(OrbCdrMemBlock, LongChainsFillTheListsUpToTheirBound)
{
    wq_mem_block_clean_up(true);
    const uint64_t held = wq_mb_bytes_in_use();
    struct Row {
        uint32_t req, any, wrapped; // blocks of each kind in the chain
        uint32_t in_use;            // 65536-byte blocks held meanwhile
        uint32_t listed_req, listed_any, listed_rec; // on the lists after
    } const rows[] = {
        {3, 2, 1, 0, 3, 2, 1},
        {200, 100, 10, 0, 200, 100, 10}, // the first blocks come from the lists
        {300, 300, 300, 0, 260, 256, 256},
        {1, 1, 1, 0, 260, 256, 256},
        {700, 0, 0, 400, 400, 256, 256}, // as many as stay in use
        {100, 0, 0, 0, 260, 256, 256},   // those in use came back first
    };
    static unsigned char caller[64];
    for (const Row &r : rows) {
        SCOPED_TRACE(r.req);
        wq_MemoryBlock *busy = nullptr;
        for (uint32_t i = 0; i < r.in_use; ++i) {
            wq_MemoryBlock *b = wq_MemoryBlock::alloc(65536);
            ASSERT_NE(b, nullptr);
            b->next = busy;
            busy = b;
        }
        wq_MemoryBlock *head = nullptr;
        auto push = [&](wq_MemoryBlock *b) {
            ASSERT_NE(b, nullptr);
            b->next = head;
            head = b;
        };
        for (uint32_t i = 0; i < r.req; ++i)
            push(wq_MemoryBlock::alloc(65536));
        for (uint32_t i = 0; i < r.any; ++i)
            push(wq_MemoryBlock::alloc(4096));
        for (uint32_t i = 0; i < r.wrapped; ++i)
            push(wq_MemoryBlock::alloc(sizeof caller, caller));
        wq_MemoryBlock::release(head);
        EXPECT_EQ(wq_mb_free_count(0), r.listed_req);
        EXPECT_EQ(wq_mb_free_count(1), r.listed_any);
        EXPECT_EQ(wq_mb_free_count(2), r.listed_rec);
        EXPECT_EQ(wq_mb_bytes_in_use(), held + uint64_t(r.in_use) * 65536);
        // Given back one by one: the list keeps what it has room for.
        while (wq_MemoryBlock *b = busy) {
            busy = b->next;
            b->next = nullptr;
            wq_MemoryBlock::release(b);
        }
        EXPECT_EQ(wq_mb_bytes_in_use(), held);
    }
    wq_mem_block_clean_up(true);
}

TEST(OrbCdrMemBlock, OnlyAllocatorBuffersAreRecycled)
{
    wq_mem_block_clean_up(true);
    // A caller's buffer that happens to have a standard size is never
    // handed to another stream; an owned caller buffer is freed with it.
    static unsigned char caller[65536];
    wq_MemoryBlock *w = wq_MemoryBlock::alloc(65536, caller);
    EXPECT_EQ(w->raw, nullptr);
    EXPECT_EQ(w->owns, 0u);
    wq_MemoryBlock *o = wq_MemoryBlock::alloc(4096, new unsigned char[4096], 1);
    w->next = o;
    wq_MemoryBlock::release(w);
    EXPECT_EQ(wq_mb_free_count(0), 0u);
    EXPECT_EQ(wq_mb_free_count(1), 0u);
    EXPECT_EQ(wq_mb_free_count(2), 1u);
    // An odd size is destroyed, not listed.
    wq_MemoryBlock *odd = wq_MemoryBlock::alloc(1000);
    wq_MemoryBlock::release(odd);
    EXPECT_EQ(wq_mb_free_count(0) + wq_mb_free_count(1), 0u);
    wq_mem_block_clean_up(true);
}

TEST(OrbCdrMemBlock, NoReuseDestroys)
{
    wq_mem_block_clean_up(true);
    CORBA::ORB::_reuse_memory = false;
    wq_MemoryBlock *a = wq_MemoryBlock::alloc(65536);
    wq_MemoryBlock::release(a);
    EXPECT_EQ(wq_mb_free_count(0), 0u);
    CORBA::ORB::_reuse_memory = true;
}

TEST(OrbCdrMemBlock, LongChainsDestroyWithoutRecursion)
{
    wq_MemoryBlock *head = wq_MemoryBlock::alloc(8);
    wq_MemoryBlock *b = head;
    for (int i = 0; i < 200000; ++i) {
        b->used = 8;
        b = b->next_alloc(8);
    }
    delete head;
}

// A server keeps freed large buffers (messages read in one piece, long octet
// sequences) for the next ones of about their size, within a bound.
TEST(OrbCdrMemBlock, LargeBuffersKeptForTheNextOfTheirSize)
{
    constexpr size_t MiB = size_t(1) << 20;
    constexpr size_t kBound = 129 * MiB / 4;
    wq_memory_tune();

    // A 16 MiB request with its headers and its reply: either buffer serves
    // either one afterwards.
    unsigned char *req = wq_large_alloc(16 * MiB + 88), *rep = wq_large_alloc(16 * MiB);
    ASSERT_TRUE(req && rep);
    req[16 * MiB + 87] = rep[16 * MiB - 1] = 1; // the sizes asked for are there
    wq_large_free(req);
    wq_large_free(rep);
    EXPECT_GT(wq_large_kept_bytes(), 32 * MiB);
    EXPECT_LE(wq_large_kept_bytes(), kBound);
    for (int round = 0; round < 3; ++round) {
        unsigned char *a = wq_large_alloc(16 * MiB), *b = wq_large_alloc(16 * MiB + 88);
        EXPECT_TRUE((a == req && b == rep) || (a == rep && b == req)) << round;
        EXPECT_EQ(wq_large_kept_bytes(), 0u);
        wq_large_free(b);
        wq_large_free(a);
    }

    struct Row {
        char const *what;
        size_t size;
        bool from_kept; // served by one of two kept 16 MiB buffers
    } const rows[] = {
        {"much smaller: a new buffer", 1 * MiB, false},
        {"a little smaller", 15 * MiB, true},
        {"below the large size: never kept", MiB / 2, false},
        {"larger than any kept", 17 * MiB, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        unsigned char *a = wq_large_alloc(16 * MiB), *b = wq_large_alloc(16 * MiB);
        wq_large_free(a);
        wq_large_free(b);
        size_t kept = wq_large_kept_bytes();
        EXPECT_GT(kept, 32 * MiB);
        unsigned char *c = wq_large_alloc(r.size);
        ASSERT_NE(c, nullptr);
        c[r.size - 1] = 1;
        EXPECT_EQ(wq_large_kept_bytes() < kept, r.from_kept);
        EXPECT_EQ(c == a || c == b, r.from_kept);
        // Freed, it is kept (the oldest make room) unless it is small, and
        // serves the next of its size.
        wq_large_free(c);
        EXPECT_LE(wq_large_kept_bytes(), kBound);
        kept = wq_large_kept_bytes();
        unsigned char *d = wq_large_alloc(r.size);
        EXPECT_EQ(wq_large_kept_bytes() < kept, r.size >= MiB);
        wq_large_free(d);
    }

    // Many buffers freed at once: the bound holds.
    std::vector<unsigned char *> many;
    for (int i = 0; i < 6; ++i)
        many.push_back(wq_large_alloc(16 * MiB));
    for (unsigned char *m : many)
        wq_large_free(m);
    EXPECT_LE(wq_large_kept_bytes(), kBound);

    // Long octet sequences take kept buffers; copies too.
    unsigned char *seq_buffer = nullptr;
    {
        CORBA_Sequence<unsigned char> s(3 * MiB);
        seq_buffer = s.data();
    }
    {
        CORBA_Sequence<unsigned char> s;
        s.length(3 * MiB);
        EXPECT_EQ(s.data(), seq_buffer);
        s[3 * MiB - 1] = 9;
        CORBA_Sequence<unsigned char> copy(s);
        EXPECT_NE(copy.data(), s.data());
        EXPECT_EQ(copy[3 * MiB - 1], 9);
    }
    EXPECT_LE(wq_large_kept_bytes(), kBound);
}
