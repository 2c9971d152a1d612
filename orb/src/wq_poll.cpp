// The table of poller entries: chunks that are never freed, so that an
// entry named by a late event is always readable, and a free list.
#include "wq_poll.h"

#include <mutex>
#include <new>
#include <vector>

namespace wq_poll {

namespace {

constexpr uint32_t kChunkBits = 12;
constexpr uint32_t kChunk = 1u << kChunkBits;
constexpr uint32_t kChunks = 1u << (kIndexBits - kChunkBits);

std::atomic<Entry *> g_chunks[kChunks];
std::mutex g_mtx;
std::vector<uint32_t> *g_free = nullptr; // reused indexes (never destroyed)
std::atomic<uint32_t> g_next{1};         // next index never used (changed under g_mtx)

} // namespace

uint32_t take_entry()
{
    std::lock_guard<std::mutex> g(g_mtx);
    if (!g_free)
        g_free = new (std::nothrow) std::vector<uint32_t>;
    if (g_free && !g_free->empty()) {
        uint32_t i = g_free->back();
        g_free->pop_back();
        return i;
    }
    if (g_next >= kChunks * kChunk)
        return 0;
    uint32_t c = g_next.load(std::memory_order_relaxed) >> kChunkBits;
    if (!g_chunks[c].load(std::memory_order_relaxed)) {
        auto *chunk = new (std::nothrow) Entry[kChunk];
        if (!chunk)
            return 0;
        g_chunks[c].store(chunk, std::memory_order_release);
    }
    return g_next.fetch_add(1, std::memory_order_release);
}

Entry &entry(uint32_t index)
{
    return g_chunks[index >> kChunkBits].load(std::memory_order_acquire)[index & (kChunk - 1)];
}

void free_entry(uint32_t index)
{
    if (index == 0)
        return;
    Entry &e = entry(index);
    uint64_t w = e.word.load(std::memory_order_relaxed);
    e.word.store(make((gen(w) + 1) & kGenMask, OWNED), std::memory_order_release);
    e.item.store(nullptr, std::memory_order_relaxed);
    move_home(e, nullptr);
    std::lock_guard<std::mutex> g(g_mtx);
    try {
        if (g_free)
            g_free->push_back(index);
    } catch (...) {
        // Out of memory: the entry is not reused.
    }
}

void move_home(Entry &e, std::atomic<uint32_t> *home)
{
    std::atomic<uint32_t> *was = e.home.exchange(home, std::memory_order_acq_rel);
    if (was == home)
        return;
    if (home)
        home->fetch_add(1, std::memory_order_acq_rel);
    if (was)
        was->fetch_sub(1, std::memory_order_acq_rel);
}

bool take_if_waiting(uint32_t index)
{
    if (index == 0)
        return false;
    Entry &e = entry(index);
    uint64_t w = e.word.load(std::memory_order_acquire);
    while (state(w) == WAITING)
        if (e.word.compare_exchange_weak(w, make(gen(w), OWNED), std::memory_order_acq_rel))
            return true;
    return false;
}

} // namespace wq_poll
