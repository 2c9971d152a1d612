// Replacement of the global operator new and delete for tests that measure
// how much memory an operation holds at its peak, or that make one
// allocation fail. Include in exactly one source file of a test executable.
#pragma once

#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <new>

// The replacements below pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace test_alloc {

inline std::atomic<long> live{0}; // bytes held through operator new now
inline std::atomic<long> peak{0}; // highest value of live since reset_peak()
// Allocations of the calling thread still to succeed before one fails.
inline thread_local long fail_after = -1;

inline void reset_peak() { peak.store(live.load()); }

inline void *take(std::size_t n)
{
    if (fail_after == 0) {
        fail_after = -1;
        return nullptr;
    }
    if (fail_after > 0)
        --fail_after;
    void *p = std::malloc(n ? n : 1);
    if (!p)
        return nullptr;
    long now = live.fetch_add(static_cast<long>(malloc_usable_size(p))) +
               static_cast<long>(malloc_usable_size(p));
    long old = peak.load();
    while (now > old && !peak.compare_exchange_weak(old, now)) {
    }
    return p;
}

inline void give(void *p)
{
    if (!p)
        return;
    live.fetch_sub(static_cast<long>(malloc_usable_size(p)));
    std::free(p);
}

} // namespace test_alloc

void *operator new(std::size_t n)
{
    if (void *p = test_alloc::take(n))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n)
{
    if (void *p = test_alloc::take(n))
        return p;
    throw std::bad_alloc();
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return test_alloc::take(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return test_alloc::take(n); }
void operator delete(void *p) noexcept { test_alloc::give(p); }
void operator delete[](void *p) noexcept { test_alloc::give(p); }
void operator delete(void *p, std::size_t) noexcept { test_alloc::give(p); }
void operator delete[](void *p, std::size_t) noexcept { test_alloc::give(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { test_alloc::give(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { test_alloc::give(p); }
