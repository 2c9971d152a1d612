#include <gtest/gtest.h>

#include <cstring>

#include "yw_bit.h"
#include "yw_err.h"
#include "yw_kv.h"
#include "yw_link.h"
#include "yw_list.h"
#include "yw_mem.h"
#include "yw_path.h"

// The allocation-failure case asks for an impossible size: under
// AddressSanitizer that must come back as null rather than abort.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

TEST(ResultCodes, BlocksHaveTheirValues)
{
    EXPECT_EQ(YW_ERR_OVERFLOW, -1000);
    EXPECT_EQ(YW_ERR_NO_SYMBOL, -982);
    EXPECT_EQ(YW_ERR_OOR, -955);
    EXPECT_EQ(YW_ERR_INVD_ARGS, -953);
    EXPECT_EQ(YW_ERR_IPC_NULL, -933);
    EXPECT_EQ(YW_ERR_CFG_MULTIPLE_LOCAL_NODE, -932);
    EXPECT_EQ(YW_ERR_CFG_NODE_NO_MISSING, -931);
    EXPECT_EQ(YW_ERR_BASE, -926);
}

TEST(Bits, PositionsAndCounts)
{
    EXPECT_EQ(YW_bitPos32(0), -1);
    EXPECT_EQ(YW_bitPos32(3), -1);
    EXPECT_EQ(YW_bitPos32(1), 1);
    EXPECT_EQ(YW_bitPos32(0x80000000u), 32);
    EXPECT_EQ(YW_bitPos32(0x10000), 17);
    EXPECT_EQ(YW_bitPos32(0x20000), 18);
    EXPECT_EQ(YW_bitPos32(0x40000), 19);
    EXPECT_EQ(YW_bitPos32(0x80000), 20);
    EXPECT_EQ(YW_bitPos32(0x10001), -1);
    EXPECT_EQ(YW_bitPos16(0x0100), 9);
    EXPECT_EQ(YW_bitPos16(0x0101), -1);
    // Several bits in one half and one in the other are still several bits
    // (a composition that only looks at the halves' table values would
    // report the single bit's position).
    EXPECT_EQ(YW_bitPos16(0x0103), -1);
    EXPECT_EQ(YW_bitPos16(0x0301), -1);
    EXPECT_EQ(YW_bitPos32(0x00010003u), -1);
    EXPECT_EQ(YW_bitPos32(0x00030001u), -1);
    EXPECT_EQ(YW_bitPos32(0x01000300u), -1);
    EXPECT_EQ(YW_bitPos32(0x80000001u), -1);
    // Exhaustive over 16 bits: a position exactly when one bit is set.
    for (unsigned v = 0; v < 0x10000; ++v) {
        int expect = __builtin_popcount(v) == 1 ? __builtin_ctz(v) + 1 : -1;
        ASSERT_EQ(YW_bitPos16((YW_uint16_t)v), expect) << std::hex << v;
        ASSERT_EQ(YW_bitPos32(v << 16), expect < 0 ? -1 : expect + 16) << std::hex << v;
        ASSERT_EQ(YW_bitPos32(v | 0x10000u), v == 0 ? 17 : -1) << std::hex << v;
    }
    for (int k = 0; k < 32; ++k)
        EXPECT_EQ(YW_bitPos32(1u << k), k + 1);
    EXPECT_EQ(YW_bitCount32(0xFFFFFFFFu), 32);
    EXPECT_EQ(YW_bitCount32(0x80000001u), 2);
    EXPECT_EQ(YW_g_bitPos[0], -1);
    EXPECT_EQ(YW_g_bitPos[128], 8);
}

TEST(Fifo, PushPopAndStaleNext)
{
    YW_linkHead_t h;
    YW_linkHead_init(&h);
    YW_slink_t a, b, stale;
    a.next = &stale; // carries a link from an earlier FIFO
    YW_link_push(&h, &a);
    EXPECT_EQ(h.start, &a);
    EXPECT_EQ(h.end, &a);
    EXPECT_EQ(a.next, nullptr);
    YW_link_push(&h, &b);
    EXPECT_EQ(YW_link_pop(&h), &a);
    EXPECT_EQ(YW_link_pop(&h), &b);
    EXPECT_EQ(h.end, nullptr);
    EXPECT_EQ(YW_link_pop(&h), nullptr);
    char buf[8];
    EXPECT_EQ(YW_linkHead_toString(&h, nullptr, 10), 0);
    EXPECT_EQ(YW_linkHead_toString(&h, buf, 0), 0);
    EXPECT_LT(YW_linkHead_toString(&h, buf, sizeof buf), (YW_size_t)sizeof buf);
}

TEST(KeyValue, ListWalkAndRelease)
{
    YW_listHead_t list;
    YW_list_init(&list);
    EXPECT_EQ(YW_kv_next(&list, nullptr), nullptr);
    char k1[] = "a", v1[] = "1", k2[] = "b", v2[] = "2";
    YW_count_t frees = yw_count_get(yw_pGlobalData->malloc_status.free_count);
    YW_kv_t *x = YW_kv_create(nullptr, k1, v1);
    YW_kv_t inner;
    YW_kv_t *y = YW_kv_create(&inner, k2, v2);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->refCount, 1);
    EXPECT_EQ(y->refCount, -1);
    YW_kv_add(&list, x);
    YW_kv_add(&list, y);
    EXPECT_EQ(YW_listHead_count(&list), 2);
    EXPECT_EQ(YW_kv_next(&list, nullptr), x);
    EXPECT_EQ(YW_kv_next(&list, x), y);
    EXPECT_EQ(YW_kv_next(&list, y), nullptr);
    char buf[256];
    YW_size_t n = YW_kv_toString(x, buf, sizeof buf);
    EXPECT_EQ(n, (YW_size_t)std::strlen(buf));
    EXPECT_EQ(std::strncmp(buf, "key=a value=1 refCount=1 listLink: start=", 41), 0);
    YW_kv_del(&list, y);
    YW_kv_release(y); // lives inside another object: never freed
    EXPECT_EQ(y->refCount, -1);
    YW_kv_del(&list, x);
    YW_kv_release(x);
    EXPECT_EQ(yw_count_get(yw_pGlobalData->malloc_status.free_count), frees + 1);
    EXPECT_EQ(YW_list_empty(&list), 1);
    EXPECT_EQ(YW_listHead_count(nullptr), 0);
}

TEST(Paths, JoinAllocatesExactly)
{
    YW_count_t allocs = yw_count_get(yw_pGlobalData->malloc_status.alloc_count);
    YW_string_t p = YW_get_file_path("./", "a.xml", nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, ".//a.xml");
    EXPECT_EQ(std::strlen(p) + 1, 9u);
    EXPECT_EQ(yw_count_get(yw_pGlobalData->malloc_status.alloc_count), allocs + 1);
    YW_free(p);
    char small[8];
    EXPECT_EQ(YW_get_file_path_n("folder", "file", small, sizeof small), -1);
    EXPECT_STREQ(small, "");
    char ok[16];
    EXPECT_EQ(YW_get_file_path_n("f", "x", ok, sizeof ok), 0);
    EXPECT_STREQ(ok, "f/x");
}

TEST(Allocator, FailureCountsOnlyFailures)
{
    YW_count_t a = yw_count_get(yw_pGlobalData->malloc_status.alloc_count);
    YW_count_t f = yw_count_get(yw_pGlobalData->malloc_status.alloc_fail);
    void *p = YW_malloc(~(YW_usize_t)0 >> 1); // cannot be satisfied
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(yw_count_get(yw_pGlobalData->malloc_status.alloc_count), a);
    EXPECT_EQ(yw_count_get(yw_pGlobalData->malloc_status.alloc_fail), f + 1);
    void *q = YW_malloc(24);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % 8, 0u);
    YW_free(q);
}
