// Counting allocator: every framework allocation goes through YW_malloc and
// YW_free, which keep process-wide statistics.
#ifndef YW_MEM_H
#define YW_MEM_H

#include <atomic>
#include <cstdlib>

#include "yw_types.h"

typedef struct yw_memstatus {
    YW_count_t alloc_count; /* successful allocations */
    YW_count_t alloc_fail;  /* failed allocations */
    YW_count_t free_count;  /* releases (null included) */
} YW_memStatus_t;

struct yw_global_data {
    YW_memStatus_t malloc_status;
};

inline yw_global_data yw_g_globalData{};
inline yw_global_data *const yw_pGlobalData = &yw_g_globalData;

// Counters are shared statistics: updated with relaxed atomic increments.
inline void yw_count_inc(YW_count_t &c)
{
    std::atomic_ref<YW_count_t>(c).fetch_add(1, std::memory_order_relaxed);
}

inline YW_count_t yw_count_get(YW_count_t &c)
{
    return std::atomic_ref<YW_count_t>(c).load(std::memory_order_relaxed);
}

// Memory aligned to 8 bytes; null on failure.
inline void *YW_P_malloc(YW_usize_t size)
{
    void *p = nullptr;
    if (posix_memalign(&p, 8, size ? size : 1) != 0)
        return nullptr;
    return p;
}

// Out of line: callers pass records whose ownership the compiler cannot see.
__attribute__((noinline)) inline void YW_P_free(void *ptr)
{
    std::free(ptr);
}

inline YW_addr_t YW_malloc(YW_usize_t size)
{
    void *p = YW_P_malloc(size);
    if (p)
        yw_count_inc(yw_pGlobalData->malloc_status.alloc_count);
    else
        yw_count_inc(yw_pGlobalData->malloc_status.alloc_fail);
    return p;
}

inline void YW_free(YW_addr_t ptr)
{
    yw_count_inc(yw_pGlobalData->malloc_status.free_count);
    YW_P_free(ptr);
}

#endif
