/*
 * Dynamic modules: at most two shared libraries named by "dymConf", loaded
 * when the module service starts and unloaded when it stops. The command
 * "ds" lists them and calls the function "hello" of each loaded module.
 *
 * The module table lock is held across a symbol look-up, the call through
 * it, and every unload, so a module is never unloaded while it is called.
 */
#ifndef YW_DYM_H
#define YW_DYM_H

#include "osa/yw_osa.h"
#include "yw_err.h"
#include "yw_types.h"

#define YW_DYM_MAX 2
/* Room for "folder/filename" and its terminator. */
#define YW_DYM_PATH_MAX 512

typedef YW_uint32_t YW_dym_id_t;

typedef struct yw_dym_cfg {
    char *folder;
    char *filename;
} YW_dym_cfg_t;

#define YW_DYM_CFG_VALID(c) ((c)->folder != nullptr && (c)->filename != nullptr)

enum { YW_DYM_STATE_ASSIGNED = 1, YW_DYM_STATE_LOADED = 2, YW_DYM_STATE_UNLOADING = 4 };

typedef struct yw_dym_status {
    int state;
} YW_dym_status_t;

typedef struct yw_dym {
    YW_dym_id_t dym_id;
    YW_dym_status_t status;
    YW_dym_cfg_t *cfg; /* null = free slot */
    YW_P_lib_t libid;
} YW_dym_t;

extern "C" {

extern YW_dym_cfg_t YW_g_dym_cfg[YW_DYM_MAX];
extern YW_dym_t YW_g_dym[YW_DYM_MAX];

struct yw_frw_cfg_element;
struct yw_dym_dsm_cfg;
YW_ret_t YW_loadDyModuleServiceManageConfig(struct yw_frw_cfg_element *base, struct yw_dym_dsm_cfg *mcfg);
YW_ret_t YW_loadDyModuleConfig(struct yw_frw_cfg_element *base, YW_dym_cfg_t *cfg,
                               struct yw_frw_cfg_element **cursor);
YW_ret_t YW_dym_cfg_setAttribute(YW_dym_cfg_t *cfg, const char *key, const char *value);
int YW_dym_cfg_equal(const YW_dym_cfg_t *a, const YW_dym_cfg_t *b);

YW_ret_t YW_createDyModule(YW_dym_cfg_t *cfg, YW_dym_id_t *id);
YW_ret_t YW_deleteDyModule(YW_dym_id_t id);
YW_ret_t YW_inqDyModule(YW_dym_id_t id, YW_dym_status_t *status);
YW_ret_t YW_loadLibrary(YW_dym_id_t id);
YW_ret_t YW_unloadLibrary(YW_dym_id_t id);
/* Looks name up in a loaded module only; -983 when the module is not
 * loaded. The address stays valid only while the module table lock is held
 * (YW_dym_showDyModules holds it across the look-up and the call). */
YW_ret_t YW_findSymbol(YW_dym_id_t id, const char *name, void **address);

int YW_dym_showDyModules(int argc, char **argv);
YW_size_t YW_dym_toString(const YW_dym_t *dym, char *buffer, YW_size_t size);

} /* extern "C" */

#endif
