/*
 * Configuration tree: an XML configuration file read into elements and
 * attributes, with every name and value held in one fixed-size string arena.
 *
 * Document shape: <root-element><fw><fwConf .../><taskConf>...</taskConf>...
 * Every service finds its section as a child of the "fw" element (the base)
 * of the system set and fills its own table from the section's entries.
 * The services keep pointers into the arena: a loaded set lives until the
 * process ends.
 */
#ifndef YW_FRW_CFG_H
#define YW_FRW_CFG_H

#include "yw_err.h"
#include "yw_kv.h"
#include "yw_list.h"
#include "yw_types.h"

#define YW_FRW_CFG_BASE_TAG "fw"
#define YW_FRW_CFG_ROOT_KEY "root"
#define YW_FRW_CFG_VALUE_NORMAL "normal" /* element opened by a start tag */
#define YW_FRW_CFG_VALUE_LEAF "leaf"     /* element written as an empty tag */

/* Size of the string arena of one set. */
#define CONFIG_XML_KV_BUFFER_SIZE (30 * 2048)
/* Room for "folder/file" with its terminator. */
#define YW_FRW_CFG_PATH_MAX 512
/* Elements may nest at most this deep below the root; deeper input fails the
 * load (the tree walks are recursive and run on 32 KiB task stacks). */
#define YW_FRW_CFG_DEPTH_MAX 32
/* Largest configuration file that is read. */
#define YW_FRW_CFG_FILE_MAX (4 * 1024 * 1024)
/* Shared text buffer of YW_frw_cfg_element_getString. */
#define YW_FRW_CFG_STRING_BUF_SIZE 81920

typedef struct yw_frw_cfg_element {
    YW_kv_t kv;                         /* key: tag or attribute name; value: "normal", "leaf" or the attribute value */
    YW_listHead_t attrList;             /* attributes, each an element, in document order */
    YW_listHead_t childList;            /* child elements in document order */
    struct yw_frw_cfg_element *parent;  /* null for the root and for a detached element */
    YW_int32_t refCount;                /* 1: allocated; -1: lives inside another object */
} YW_frw_cfg_element_t;

typedef struct yw_frw_cfg_set {
    YW_frw_cfg_element_t root;          /* key "root", value "normal" */
    YW_frw_cfg_element_t *base;         /* first child "fw" of the root, or null */
    YW_frw_cfg_element_t *cur;          /* current element while building */
    YW_frw_cfg_element_t *parent;       /* its parent */
    char *buffer;                       /* string arena */
    char *bufferCur;                    /* first free byte of the arena */
    YW_size_t bufferSize;               /* CONFIG_XML_KV_BUFFER_SIZE */

    /* Builder state, meaningful only while a file is loaded. */
    const char *text;                   /* the file content being parsed */
    const char *textEnd;
    const char *lastPos;                /* position of the latest event, for line numbers */
    const char *lineMark;               /* position whose line number is lineNo (counting resumes there) */
    YW_int32_t lineNo;
    YW_frw_cfg_element_t *attrOwner;    /* element that the next attributes belong to */
    YW_int32_t attrMode;                /* what to do with attributes (see the builder) */
    YW_int32_t depth;                   /* elements open below the root */
    YW_int32_t skipDepth;               /* > 0 while a dropped element's subtree is skipped */
    YW_int32_t errors;                  /* problems found; any fails the load */
} YW_frw_cfg_set_t;

/* Per-attribute setter of a service loader: (its configuration, element key,
 * attribute key, attribute value) -> 0 or an error. */
typedef YW_ret_t (*YW_frw_cfg_setAttr_f)(YW_addr_t pCfg, YW_string_t elementKey, YW_string_t key, YW_string_t value);

#ifdef __cplusplus
extern "C" {
#endif

/* The system and the application configuration sets of the process. */
extern YW_frw_cfg_set_t YW_g_frw_sys_cfg_set;
extern YW_frw_cfg_set_t YW_g_frw_app_cfg_set;

/* Element operations */
YW_frw_cfg_element_t *YW_frw_createCfgElement(YW_frw_cfg_element_t *incfge, YW_string_t key, YW_string_t value);
void YW_frw_releaseCfgElement(YW_frw_cfg_element_t *cfge);
void YW_frw_addCfgElement(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child);
void YW_frw_addCfgAttr(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child);
void YW_frw_delCfgElement(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child);
void YW_frw_delCfgAttr(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *child);
YW_frw_cfg_element_t *YW_frw_nextCfgElement(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *next);
YW_frw_cfg_element_t *YW_frw_nextCfgAttr(YW_frw_cfg_element_t *parent, YW_frw_cfg_element_t *next);
/* First child after `next` (from the first when null) whose key equals key. */
YW_frw_cfg_element_t *YW_frw_searchCfgElement(YW_frw_cfg_element_t *parent, const char *key,
                                              YW_frw_cfg_element_t *next);
YW_frw_cfg_element_t *YW_frw_searchCfgAttr(YW_frw_cfg_element_t *parent, const char *key);

/* Set operations */
/* Builds the set from "<configuration folder>/<filename>". 0 or -1. */
YW_ret_t YW_frw_cfg_load(const char *filename, YW_frw_cfg_set_t *pCfgSet);
/* Builds the set from text in memory: `text` holds `size` bytes followed by
 * one more writable byte (set to NUL here). The load's core, 0 or -1. */
YW_ret_t YW_frw_cfg_loadText(char *text, YW_size_t size, YW_frw_cfg_set_t *pCfgSet);
YW_ret_t YW_frw_cfg_unload(YW_frw_cfg_set_t *pCfgSet);
YW_ret_t YW_frw_cfg_releaseCfgElement(YW_frw_cfg_element_t *cur);
void YW_frw_cfg_setBase(YW_frw_cfg_set_t *pCfgSet);
YW_frw_cfg_element_t *YW_frw_cfg_getSysRoot(void);
YW_frw_cfg_element_t *YW_frw_cfg_getAppRoot(void);
YW_frw_cfg_element_t *YW_frw_cfg_getSysBase(void);
YW_frw_cfg_element_t *YW_frw_cfg_getAppBase(void);
/* The section `tag` under the system base, or null. */
YW_frw_cfg_element_t *YW_frw_cfg_findServiceManageCfg(const char *tag);
/* Applies every attribute of the element, then of each child (recursively),
 * through setAttr_f; the first non-zero result is returned. */
YW_ret_t YW_frw_cfg_setAttr(YW_frw_cfg_element_t *next, YW_addr_t pCfg, YW_frw_cfg_setAttr_f setAttr_f);
/* XML reader callback building the set `arg`. */
int YW_frw_cfg_proc(int tag, char *key, char *val, void *arg);

/* Text dumps (diagnostics) */
YW_size_t YW_frw_cfg_element_toString(YW_frw_cfg_element_t *p, char *bp, YW_size_t blen, int depth);
YW_size_t YW_frw_cfg_element_briefString(YW_frw_cfg_element_t *p, char *bp, YW_size_t blen, int depth);
/* Brief (non-zero) or full text of p in one shared buffer; not thread-safe. */
char *YW_frw_cfg_element_getString(YW_frw_cfg_element_t *p, int brief);

/* Start-up steps: load the system file (exits the process with status 1 on
 * failure) and the application file (a failure is reported and returned). */
YW_int32_t YW_frw_loadConfig(void);
YW_int32_t YW_frw_loadAppConfig(void);

#ifdef __cplusplus
}
#endif

#endif /* YW_FRW_CFG_H */
