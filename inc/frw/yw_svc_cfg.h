/*
 * Loading a service's configuration table from its section, shared by the
 * timer, resource and module services: one definition element per slot, in
 * document order, each applied attribute by attribute.
 */
#ifndef YW_SVC_CFG_H
#define YW_SVC_CFG_H

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "frw/yw_frw_cfg.h"
#include "yw_mem.h"

/* Reads the next `tag` element after *cursor (from the first when it is
 * null) into cfg: every attribute through setAttr(cfg, key, value) until one
 * fails, then, when setChild is given, every attribute of every child element
 * through setChild(cfg, child, key, value). No further element: *cursor null,
 * 0. Otherwise *cursor = the element and the last result. */
template <typename Cfg, typename SetAttr, typename SetChild>
YW_ret_t YW_svc_cfg_loadEntry(YW_frw_cfg_element_t *base, Cfg *cfg, YW_frw_cfg_element_t **cursor, const char *tag,
                              SetAttr setAttr, SetChild setChild)
{
    YW_frw_cfg_element_t *e = YW_frw_searchCfgElement(base, tag, cursor ? *cursor : nullptr);
    if (!e) {
        if (cursor)
            *cursor = nullptr;
        return YW_SUCCESS;
    }
    YW_ret_t r = YW_SUCCESS;
    for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(e, nullptr); a && r == YW_SUCCESS; a = YW_frw_nextCfgAttr(e, a))
        r = setAttr(cfg, a->kv.key, a->kv.value);
    if constexpr (!std::is_same_v<SetChild, std::nullptr_t>) {
        for (YW_frw_cfg_element_t *c = YW_frw_nextCfgElement(e, nullptr); c && r == YW_SUCCESS;
             c = YW_frw_nextCfgElement(e, c))
            for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(c, nullptr); a && r == YW_SUCCESS;
                 a = YW_frw_nextCfgAttr(c, a))
                r = setChild(cfg, c->kv.key, a->kv.key, a->kv.value);
    }
    if (cursor)
        *cursor = e;
    return r;
}

/* Fills table[0..max) from slot 0, one `tag` element each through
 * load(base, slot, &cursor), stopping after the last element or at the first
 * non-zero result (that slot is left empty), which is returned. Elements
 * beyond the table are not read: one line says how many the table holds. */
template <typename Cfg, typename Load>
YW_ret_t YW_svc_cfg_loadTable(const char *func, YW_frw_cfg_element_t *base, Cfg *table, int max, const char *tag,
                              Load load)
{
    YW_frw_cfg_element_t *cursor = nullptr;
    YW_ret_t r = YW_SUCCESS;
    for (int i = 0; i < max; ++i) {
        table[i] = Cfg{};
        r = load(base, &table[i], &cursor);
        if (r != YW_SUCCESS || !cursor) {
            table[i] = Cfg{};
            return r;
        }
    }
    if (YW_frw_searchCfgElement(base, tag, cursor))
        std::printf("%s:%d only %d %s entries are read, the rest are ignored\n", func, __LINE__, max, tag);
    return r;
}

/* ---- configurations given by callers: copied on creation ---- */

/* A counted copy of s; null for null or when the allocation fails. */
inline char *YW_svc_strdup(const char *s)
{
    if (!s)
        return nullptr;
    size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(YW_malloc(n));
    if (p)
        std::memcpy(p, s, n);
    return p;
}

/* Releases a copy made by YW_svc_cfgCopy with the same string fields. */
template <typename Cfg> void YW_svc_cfgFree(Cfg *cfg, std::initializer_list<char *Cfg::*> strings)
{
    if (!cfg)
        return;
    for (char *Cfg::*f : strings)
        if (cfg->*f)
            YW_free(cfg->*f);
    YW_free(cfg);
}

/* A heap copy of a configuration record with the given string fields
 * duplicated (the others shared); null when an allocation fails. */
template <typename Cfg> Cfg *YW_svc_cfgCopy(const Cfg *cfg, std::initializer_list<char *Cfg::*> strings)
{
    Cfg *c = static_cast<Cfg *>(YW_malloc(sizeof(Cfg)));
    if (!c)
        return nullptr;
    *c = *cfg;
    bool ok = true;
    for (char *Cfg::*f : strings) {
        c->*f = YW_svc_strdup(cfg->*f);
        ok = ok && (!(cfg->*f) || c->*f);
    }
    if (!ok) {
        YW_svc_cfgFree(c, strings);
        return nullptr;
    }
    return c;
}

/* A status counter read by other threads: decremented, never below 0. */
inline void YW_svc_countDec(YW_uint64_t &c)
{
    std::atomic_ref<YW_uint64_t> a(c);
    YW_uint64_t v = a.load();
    while (v > 0 && !a.compare_exchange_weak(v, v - 1)) {
    }
}

#endif
