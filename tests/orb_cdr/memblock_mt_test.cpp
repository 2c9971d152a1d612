// Memory-block free lists and kept large buffers under concurrent
// allocation and release.
#include "wq_memblock.h"
#include "wq_memtrim.h"
#include "orb/test_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

TEST(OrbCdrMemBlockMt, ConcurrentAllocReleaseNeverSharesABlock)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::atomic<int> errors{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t, &errors] {
            for (int i = 0; i < kRounds; ++i) {
                uint32_t size = (i + t) % 2 ? 65536 : 4096;
                wq_MemoryBlock *a = wq_MemoryBlock::alloc(size);
                wq_MemoryBlock *b = wq_MemoryBlock::alloc(size);
                if (!a || !b || a == b) {
                    ++errors;
                    continue;
                }
                // Each block is ours alone while we hold it.
                a->data[0] = static_cast<unsigned char>(t);
                a->data[size - 1] = static_cast<unsigned char>(i);
                b->data[0] = static_cast<unsigned char>(t + 100);
                if (a->data[0] != t || b->data[0] != t + 100)
                    ++errors;
                a->used = size;
                a->next = b;
                wq_MemoryBlock::release(a);
            }
        });
    }
    for (auto &th : ts)
        th.join();
    EXPECT_EQ(errors.load(), 0);
    // The lists hold distinct blocks.
    std::set<wq_MemoryBlock *> seen;
    std::vector<wq_MemoryBlock *> taken;
    uint32_t n = wq_mb_free_count(0);
    for (uint32_t i = 0; i < n; ++i) {
        wq_MemoryBlock *b = wq_MemoryBlock::alloc(65536);
        EXPECT_TRUE(seen.insert(b).second);
        taken.push_back(b);
    }
    for (auto *b : taken)
        wq_MemoryBlock::release(b);
    wq_mem_block_clean_up(true);
}

// Threads taking and giving back large buffers of two sizes at once (as
// readers do with requests and replies): a kept buffer is never handed to
// two holders, and what is kept stays within its bound.
TEST(OrbCdrMemBlockMt, KeptLargeBuffersNeverShared)
{
    constexpr size_t MiB = size_t(1) << 20;
    wq_memory_tune();
    constexpr int kThreads = 6;
    constexpr int kRounds = 200;
    std::atomic<int> errors{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t, &errors] {
            for (int i = 0; i < kRounds; ++i) {
                size_t n = (i + t) % 3 ? 2 * MiB + 88 : MiB;
                unsigned char *a = wq_large_alloc(n), *b = wq_large_alloc(n);
                if (!a || !b || a == b) {
                    ++errors;
                    continue;
                }
                // Each buffer is ours alone while we hold it.
                a[0] = a[n - 1] = static_cast<unsigned char>(t);
                b[0] = b[n - 1] = static_cast<unsigned char>(t + 100);
                std::this_thread::yield();
                if (a[0] != t || a[n - 1] != t || b[0] != t + 100 || b[n - 1] != t + 100)
                    ++errors;
                wq_large_free(b);
                wq_large_free(a);
            }
        });
    }
    for (auto &th : ts)
        th.join();
    EXPECT_EQ(errors.load(), 0);
    EXPECT_GT(wq_large_kept_bytes(), 0u);
    EXPECT_LE(wq_large_kept_bytes(), 129 * MiB / 4);
}
