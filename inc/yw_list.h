// Circular doubly linked list with embedded links (container-of).
#ifndef YW_LIST_H
#define YW_LIST_H

#include <cstddef>

#include "yw_types.h"

typedef struct yw_list_head {
    struct yw_list_head *next;
    struct yw_list_head *prev;
} YW_listHead_t;

#define YW_LIST_HEAD_INIT(name) {&(name), &(name)}

inline void YW_list_init(YW_listHead_t *head)
{
    head->next = head;
    head->prev = head;
}

inline void __YW_list_add(YW_listHead_t *new_list, YW_listHead_t *prev, YW_listHead_t *next)
{
    next->prev = new_list;
    new_list->next = next;
    new_list->prev = prev;
    prev->next = new_list;
}

inline void YW_list_add_tail(YW_listHead_t *new_list, YW_listHead_t *head)
{
    __YW_list_add(new_list, head->prev, head);
}

inline void YW_list_add(YW_listHead_t *new_list, YW_listHead_t *head)
{
    __YW_list_add(new_list, head, head->next);
}

inline void __YW_list_del(YW_listHead_t *prev, YW_listHead_t *next)
{
    next->prev = prev;
    prev->next = next;
}

inline void YW_list_del(YW_listHead_t *entry)
{
    if (entry->next && entry->prev)
        __YW_list_del(entry->prev, entry->next);
    entry->next = nullptr;
    entry->prev = nullptr;
}

inline int YW_list_empty(const YW_listHead_t *head)
{
    return head->next == head ? 1 : 0;
}

inline YW_size_t YW_listHead_count(const YW_listHead_t *head)
{
    if (!head)
        return 0;
    YW_size_t n = 0;
    for (const YW_listHead_t *p = head->next; p && p != head; p = p->next)
        ++n;
    return n;
}

// The record that holds `ptr` as its member `member`.
#define YW_list_entry(ptr, type, member) \
    reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))

#endif
