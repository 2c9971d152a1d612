/*
 * Loading a service's configuration table from its section, shared by the
 * timer, resource and module services: one definition element per slot, in
 * document order, each applied attribute by attribute.
 */
#ifndef YW_SVC_CFG_H
#define YW_SVC_CFG_H

#include <cstdio>
#include <type_traits>

#include "frw/yw_frw_cfg.h"

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

#endif
