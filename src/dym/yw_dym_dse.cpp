// Module entities: creation and deletion of the two module slots, loading and
// unloading their libraries and looking up their symbols. Everything runs
// under the module table lock, which the listing of "ds" also holds while it
// calls into a module, so an unload waits for such a call to return.
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

#include "dym/yw_dym.h"
#include "dym/yw_dym_dsm.h"
#include "frw/yw_svc_cfg.h"
#include "osa/yw_osa_guard.h"
#include "yw_path.h"

extern "C" {
YW_dym_t YW_g_dym[YW_DYM_MAX];
}

namespace {

YW_P_mutex_t yw_dym_lock()
{
    return YW_g_dym_dsm_ctx.lock;
}

bool yw_dym_isStatic(const YW_dym_cfg_t *cfg)
{
    return cfg >= &YW_g_dym_cfg[0] && cfg < &YW_g_dym_cfg[YW_DYM_MAX];
}

void yw_dym_cfgFree(YW_dym_cfg_t *cfg)
{
    if (!yw_dym_isStatic(cfg))
        YW_svc_cfgFree(cfg, {&YW_dym_cfg_t::folder, &YW_dym_cfg_t::filename});
}

YW_dym_cfg_t *yw_dym_cfgCopy(const YW_dym_cfg_t *cfg)
{
    return YW_svc_cfgCopy(cfg, {&YW_dym_cfg_t::folder, &YW_dym_cfg_t::filename});
}

} // namespace

extern "C" {

YW_ret_t YW_createDyModule(YW_dym_cfg_t *cfg, YW_dym_id_t *id)
{
    if (!cfg)
        return YW_ERR_CFG_NULL;
    std::printf("%s:%d pCfg=%x %s %s\n", __func__, __LINE__, (unsigned)(uintptr_t)cfg,
                cfg->folder ? cfg->folder : "NULL", cfg->filename ? cfg->filename : "NULL");
    YW_P_mutexGuard lk(yw_dym_lock());
    YW_dym_t *d = nullptr;
    for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
        if (YW_g_dym[i].cfg && YW_dym_cfg_equal(YW_g_dym[i].cfg, cfg))
            return YW_ERR_CFG_AGAIN;
        if (!d && !YW_g_dym[i].cfg)
            d = &YW_g_dym[i];
    }
    if (!d)
        return YW_ERR_NO_FREE_TSE;
    YW_dym_cfg_t *use = yw_dym_isStatic(cfg) ? cfg : yw_dym_cfgCopy(cfg);
    if (!use)
        return YW_ERR_NO_MEM;
    d->cfg = use;
    d->status.state = YW_DYM_STATE_ASSIGNED;
    d->libid = nullptr;
    if (id)
        *id = d->dym_id;
    yw_count_inc(YW_g_dym_dsm_ctx.status.ndyms);
    return YW_SUCCESS;
}

YW_ret_t YW_deleteDyModule(YW_dym_id_t id)
{
    if (id >= YW_DYM_MAX)
        return YW_FAIL;
    YW_dym_t *d = &YW_g_dym[id];
    YW_P_mutexGuard lk(yw_dym_lock());
    if (d->status.state != YW_DYM_STATE_ASSIGNED)
        return YW_ERR_DYM_STATE;
    yw_dym_cfgFree(d->cfg);
    d->cfg = nullptr;
    d->status.state = 0;
    YW_svc_countDec(YW_g_dym_dsm_ctx.status.ndyms);
    return YW_SUCCESS;
}

YW_ret_t YW_inqDyModule(YW_dym_id_t id, YW_dym_status_t *status)
{
    if (id >= YW_DYM_MAX || !status)
        return YW_FAIL;
    YW_P_mutexGuard lk(yw_dym_lock());
    *status = YW_g_dym[id].status;
    return YW_SUCCESS;
}

YW_ret_t YW_loadLibrary(YW_dym_id_t id)
{
    if (id >= YW_DYM_MAX)
        return YW_ERR_DYM_NULL;
    YW_dym_t *d = &YW_g_dym[id];
    YW_P_mutexGuard lk(yw_dym_lock());
    if (d->status.state & YW_DYM_STATE_LOADED)
        return YW_ERR_DYM_STATE;
    if (!d->cfg || !YW_DYM_CFG_VALID(d->cfg))
        return YW_ERR_ENTITY_NULL;
    char path[YW_DYM_PATH_MAX];
    YW_ret_t r;
    if (YW_get_file_path_n(d->cfg->folder, d->cfg->filename, path, sizeof path) != 0) {
        std::printf("%s:%d path of module %d does not fit %d bytes\n", __func__, __LINE__, (int)id,
                    YW_DYM_PATH_MAX);
        r = YW_FAIL;
    } else {
        r = YW_P_loadSharedLibrary(path, &d->libid);
        if (r != YW_SUCCESS) {
            const char *why = dlerror();
            std::printf("%s:%d cannot load %s: %s\n", __func__, __LINE__, path, why ? why : "unknown error");
            d->libid = nullptr;
        }
    }
    if (r == YW_SUCCESS) {
        d->status.state |= YW_DYM_STATE_LOADED;
        yw_count_inc(YW_g_dym_dsm_ctx.status.ndymLoaded);
    } else {
        yw_count_inc(YW_g_dym_dsm_ctx.status.ndymLoadFail);
    }
    std::printf("%s:%d dym_id = %d\n", __func__, __LINE__, (int)id);
    return r;
}

YW_ret_t YW_unloadLibrary(YW_dym_id_t id)
{
    if (id >= YW_DYM_MAX)
        return YW_ERR_DYM_NULL;
    YW_dym_t *d = &YW_g_dym[id];
    YW_P_mutexGuard lk(yw_dym_lock());
    if (!(d->status.state & YW_DYM_STATE_LOADED))
        return YW_ERR_DYM_STATE;
    YW_ret_t r = YW_P_unloadSharedLibrary(d->libid);
    if (r == YW_SUCCESS) {
        d->libid = nullptr;
        d->status.state &= ~YW_DYM_STATE_LOADED;
        YW_svc_countDec(YW_g_dym_dsm_ctx.status.ndymLoaded);
    }
    return r;
}

YW_ret_t YW_findSymbol(YW_dym_id_t id, const char *name, void **address)
{
    if (id >= YW_DYM_MAX)
        return YW_ERR_DYM_NULL;
    YW_dym_t *d = &YW_g_dym[id];
    YW_P_mutexGuard lk(yw_dym_lock());
    // Only a loaded module is searched: a null handle would search the
    // whole process.
    if (!(d->status.state & YW_DYM_STATE_LOADED) || !d->libid)
        return YW_ERR_DYM_STATE;
    return YW_P_getSharedLibrarySymbol(d->libid, name, address);
}

} /* extern "C" */
