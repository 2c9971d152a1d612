// Memory blocks: recycling through the free lists and chain growth.
#include "wq_memblock.h"

#include "corba_orb.h"

#include <gtest/gtest.h>

TEST(OrbCdrMemBlock, ReleaseRecyclesStandardBlocks)
{
    wq_mem_block_clean_up(true);
    wq_MemoryBlock *a = wq_MemoryBlock::alloc(65536);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a->data) % 8, 0u);
    EXPECT_EQ(a->capacity, 65536u);
    a->used = 65536;
    wq_MemoryBlock *b = a->next_alloc(4096);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->base, 65536u);
    EXPECT_EQ(a->next, b);
    wq_MemoryBlock *keep_a = a;
    wq_MemoryBlock::release(a);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(wq_mb_free_count(0), 1u);
    EXPECT_EQ(wq_mb_free_count(1), 1u);
    wq_MemoryBlock *c = wq_MemoryBlock::alloc(65536);
    EXPECT_EQ(c, keep_a);
    EXPECT_EQ(c->next, nullptr);
    EXPECT_EQ(c->used, 0u);
    EXPECT_EQ(c->base, 0u);
    EXPECT_EQ(wq_mb_free_count(0), 0u);
    wq_MemoryBlock::release(c);
    wq_mem_block_clean_up(true);
    EXPECT_EQ(wq_mb_free_count(0), 0u);
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
