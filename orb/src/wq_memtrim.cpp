// Memory after large messages: kept buffers and free memory beyond the bound.
#include "wq_memtrim.h"

#include <atomic>
#include <cstddef>
#include <malloc.h>
#include <mutex>
#include <new>

namespace {

// Memory kept for the next large message once none is in service, in two
// parts: buffers of large messages and octet sequences kept whole (the
// request and the result of a 16 MiB call, with room for their headers),
// which the next ones of about their size take again instead of faulting in
// fresh pages; and free memory in the allocator, beyond which it goes back
// to the system. With the blocks that the streams keep (16.25 MiB), memory
// after large calls stays within 64 MiB of before.
constexpr size_t kKeepBuffers = size_t(129) << 18; // 32.25 MiB
constexpr size_t kKeepFree = size_t(62) << 18;     // 15.5 MiB
// Buffers kept at most, and the rounding of a new buffer's size: a request
// and the reply of the same sequence round to the same size, so that either
// one's buffer serves the other.
constexpr int kKeptSlots = 8;
constexpr size_t kRoundBuffer = 65536;
constexpr size_t kHeaderRoom = 4096;
// Allocations below this come from the allocator's arenas (and are reused);
// the allocator's largest fixed value.
constexpr int kMmapAbove = 32 << 20;
constexpr int kArenas = 4;

// Set once a server has fixed the allocator's settings; a process that
// only calls out leaves its allocator to itself.
std::atomic<bool> g_tuned{false};
std::atomic<int> g_in_service{0};
// One thread looks at a time; one that finds it busy leaves a mark, and the
// looking thread looks once more before it stops.
std::atomic<bool> g_busy{false};
std::atomic<bool> g_again{false};

// Kept buffers, oldest first; their usable sizes and total.
std::mutex g_kept_lock;
unsigned char *g_kept[kKeptSlots];
size_t g_kept_size[kKeptSlots];
int g_kept_count = 0;
size_t g_kept_bytes = 0;

void unkeep_locked(int i)
{
    g_kept_bytes -= g_kept_size[i];
    for (int k = i + 1; k < g_kept_count; ++k) {
        g_kept[k - 1] = g_kept[k];
        g_kept_size[k - 1] = g_kept_size[k];
    }
    --g_kept_count;
}

} // namespace

// Fixed thresholds (the allocator would otherwise raise them after the first
// large buffer is freed, and trim the top of an arena on every free that
// leaves more than the trim threshold there), and a few arenas: one alone
// made every reader that takes or frees a servant's buffer queue on its
// lock behind the others (seconds per call under hundreds of clients of
// large echoes), while one per thread would keep free memory once per
// reader (and each arena reserves 64 MiB of address space). The request path itself allocates nothing.
void wq_memory_tune()
{
    static std::once_flag fixed;
    std::call_once(fixed, [] {
        ::mallopt(M_ARENA_MAX, kArenas);
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

unsigned char *wq_large_alloc(size_t n)
{
    if (n < wq_large_bytes || !g_tuned.load(std::memory_order_acquire))
        return new (std::nothrow) unsigned char[n];
    {
        // The closest kept buffer that holds n bytes and wastes little.
        std::lock_guard<std::mutex> g(g_kept_lock);
        int best = -1;
        for (int i = 0; i < g_kept_count; ++i)
            if (g_kept_size[i] >= n && g_kept_size[i] - n <= n / 8 + kRoundBuffer &&
                (best < 0 || g_kept_size[i] < g_kept_size[best]))
                best = i;
        if (best >= 0) {
            unsigned char *b = g_kept[best];
            unkeep_locked(best);
            return b;
        }
    }
    size_t cap = (n + kHeaderRoom + kRoundBuffer - 1) / kRoundBuffer * kRoundBuffer;
    return new (std::nothrow) unsigned char[cap < n ? n : cap];
}

void wq_large_free(unsigned char *b)
{
    if (!b)
        return;
    size_t size = ::malloc_usable_size(b);
    if (size < wq_large_bytes || size > kKeepBuffers || !g_tuned.load(std::memory_order_acquire)) {
        delete[] b;
        if (size >= wq_large_bytes)
            wq_large_freed();
        return;
    }
    // Kept; the oldest ones make room (the sizes in use now are kept).
    unsigned char *drop[kKeptSlots];
    int dropped = 0;
    {
        std::lock_guard<std::mutex> g(g_kept_lock);
        while (g_kept_count > 0 && (g_kept_count == kKeptSlots || g_kept_bytes + size > kKeepBuffers)) {
            drop[dropped++] = g_kept[0];
            unkeep_locked(0);
        }
        g_kept[g_kept_count] = b;
        g_kept_size[g_kept_count++] = size;
        g_kept_bytes += size;
    }
    for (int i = 0; i < dropped; ++i)
        delete[] drop[i];
    if (dropped)
        wq_large_freed();
}

size_t wq_large_kept_bytes()
{
    std::lock_guard<std::mutex> g(g_kept_lock);
    return g_kept_bytes;
}
