// Singly linked FIFO with embedded links.
#ifndef YW_LINK_H
#define YW_LINK_H

#include <cstdio>

#include "yw_types.h"

typedef struct yw_slink {
    struct yw_slink *next;
} YW_slink_t;

typedef struct yw_link_head {
    YW_slink_t *start;
    YW_slink_t *end;
} YW_linkHead_t;

inline void YW_linkHead_init(YW_linkHead_t *head)
{
    head->start = nullptr;
    head->end = nullptr;
}

inline void YW_link_push(YW_linkHead_t *head, YW_slink_t *link)
{
    link->next = nullptr;
    if (head->end)
        head->end->next = link;
    else
        head->start = link;
    head->end = link;
}

inline YW_slink_t *YW_link_pop(YW_linkHead_t *head)
{
    YW_slink_t *l = head->start;
    if (!l)
        return nullptr;
    head->start = l->next;
    if (!head->start)
        head->end = nullptr;
    return l;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
// Output is cut to the buffer on purpose.
inline YW_size_t YW_linkHead_toString(const YW_linkHead_t *head, char *bp, YW_size_t blen)
{
    if (!bp || blen < 1)
        return 0;
    int n = std::snprintf(bp, (size_t)blen, "start=%llx end=%llx ", (unsigned long long)(uintptr_t)head->start,
                          (unsigned long long)(uintptr_t)head->end);
    if (n < 0)
        return 0;
    return n < blen ? n : blen - 1;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif
