// Key/value record: the unit the configuration tree is built from.
#ifndef YW_KV_H
#define YW_KV_H

#include <cstdio>

#include "yw_link.h"
#include "yw_list.h"
#include "yw_mem.h"

typedef struct yw_kv {
    YW_string_t key;
    YW_string_t value;
    YW_listHead_t listLink;
    YW_int32_t refCount; /* 1: allocated by YW_kv_create; -1: lives inside another object */
} YW_kv_t;

inline YW_kv_t *YW_kv_create(YW_kv_t *inkv, YW_string_t key, YW_string_t value)
{
    YW_kv_t *kv = inkv;
    if (kv) {
        kv->refCount = -1;
    } else {
        kv = static_cast<YW_kv_t *>(YW_malloc(sizeof(YW_kv_t)));
        if (!kv)
            return nullptr;
        kv->refCount = 1;
    }
    kv->key = key;
    kv->value = value;
    YW_list_init(&kv->listLink);
    return kv;
}

inline void YW_kv_release(YW_kv_t *kv)
{
    if (!kv || kv->refCount < 0)
        return;
    if (--kv->refCount == 0)
        YW_free(kv);
}

inline void YW_kv_add(YW_listHead_t *list, YW_kv_t *kv)
{
    YW_list_add_tail(&kv->listLink, list);
}

inline void YW_kv_del(YW_listHead_t * /*list*/, YW_kv_t *kv)
{
    YW_list_del(&kv->listLink);
}

inline YW_kv_t *YW_kv_next(YW_listHead_t *list, YW_kv_t *kv)
{
    YW_listHead_t *n = kv ? kv->listLink.next : list->next;
    if (!n || n == list)
        return nullptr;
    return YW_list_entry(n, YW_kv_t, listLink);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
inline YW_size_t YW_kv_toString(const YW_kv_t *kv, char *bp, YW_size_t blen)
{
    if (!bp || blen < 1)
        return 0;
    int n = std::snprintf(bp, (size_t)blen, "key=%s value=%s refCount=%d listLink: ", kv->key ? kv->key : "(null)",
                          kv->value ? kv->value : "(null)", kv->refCount);
    if (n < 0)
        return 0;
    if (n >= blen)
        return blen - 1;
    // The list link prints like a FIFO head: its two pointers.
    YW_linkHead_t h{reinterpret_cast<YW_slink_t *>(kv->listLink.next), reinterpret_cast<YW_slink_t *>(kv->listLink.prev)};
    return n + YW_linkHead_toString(&h, bp + n, blen - n);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
