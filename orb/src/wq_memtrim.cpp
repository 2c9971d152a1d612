// Free memory after large messages.
#include "wq_memtrim.h"

#include <atomic>
#include <cstddef>
#include <malloc.h>
#include <mutex>

namespace {

// Free memory the allocator may keep for reuse once no large message is in
// service: the arguments and results of a 16 MiB call and the hole that the
// allocator's small requests leave among them (one more such buffer), so
// that repeated large calls reuse pages instead of mapping, zeroing and
// unmapping them each time; beyond it the free memory goes back to the
// system. With the blocks that the streams keep (16.25 MiB), memory after
// large calls stays within 64 MiB of before.
constexpr size_t kKeepFree = size_t(191) << 18; // 47.75 MiB
// Allocations below this come from the allocator's arenas (and are reused);
// the allocator's largest fixed value.
constexpr int kMmapAbove = 32 << 20;

// Set once a server has fixed the allocator's settings; a process that
// only calls out leaves its allocator to itself.
std::atomic<bool> g_tuned{false};
std::atomic<int> g_in_service{0};
// One thread looks at a time; one that finds it busy leaves a mark, and the
// looking thread looks once more before it stops.
std::atomic<bool> g_busy{false};
std::atomic<bool> g_again{false};

} // namespace

// Fixed thresholds (the allocator would otherwise raise them after the first
// large buffer is freed, and trim the top of an arena on every free that
// leaves more than the trim threshold there), and one arena, so that what
// one reader frees another reuses and free memory is kept once, not once per
// reader. The request path itself allocates nothing.
void wq_memory_tune()
{
    static std::once_flag fixed;
    std::call_once(fixed, [] {
        ::mallopt(M_ARENA_MAX, 1);
        ::mallopt(M_MMAP_THRESHOLD, kMmapAbove);
        ::mallopt(M_TRIM_THRESHOLD, int(kKeepFree));
        g_tuned.store(true, std::memory_order_release);
    });
}

void wq_large_begin()
{
    g_in_service.fetch_add(1, std::memory_order_acq_rel);
}

void wq_large_end()
{
    g_in_service.fetch_sub(1, std::memory_order_acq_rel);
    wq_large_freed();
}

void wq_large_freed()
{
    if (!g_tuned.load(std::memory_order_acquire))
        return;
    for (;;) {
        if (g_in_service.load(std::memory_order_acquire) != 0)
            return; // the last one to leave service looks
        g_again.store(true, std::memory_order_release);
        if (g_busy.exchange(true, std::memory_order_acq_rel))
            return; // the looking thread sees the mark
        while (g_again.exchange(false, std::memory_order_acq_rel)) {
            if (g_in_service.load(std::memory_order_acquire) != 0)
                break;
            if (::mallinfo2().fordblks > kKeepFree)
                ::malloc_trim(0);
        }
        g_busy.store(false, std::memory_order_release);
        // A mark left after the last look and before the release: look again.
        if (!g_again.load(std::memory_order_acquire))
            return;
    }
}
