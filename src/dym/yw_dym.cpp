// Module configurations (the "dymConf" loader) and the module listing of the
// command "ds", which also calls each loaded module's "hello".
#include <cstdio>
#include <cstring>

#include "dym/yw_dym.h"
#include "dym/yw_dym_dsm.h"
#include "frw/yw_frw_cfg.h"
#include "frw/yw_svc_cfg.h"
#include "log/yw_log.h"
#include "osa/yw_osa_guard.h"

#define YW_DYM_CFG_TAG "dymDef"
#define YW_DYM_LINE_SZ 128
#define YW_DYM_HELLO "hello"

namespace {

const char *yw_dym_str(const char *s)
{
    return s ? s : "NULL";
}

} // namespace

extern "C" {

YW_dym_cfg_t YW_g_dym_cfg[YW_DYM_MAX];

YW_ret_t YW_dym_cfg_setAttribute(YW_dym_cfg_t *cfg, const char *key, const char *value)
{
    if (!cfg)
        return YW_FAIL;
    if (key && std::strcmp(key, "folder") == 0)
        cfg->folder = const_cast<char *>(value);
    else if (key && std::strcmp(key, "filename") == 0)
        cfg->filename = const_cast<char *>(value);
    return YW_SUCCESS;
}

YW_ret_t YW_loadDyModuleConfig(YW_frw_cfg_element_t *base, YW_dym_cfg_t *cfg, YW_frw_cfg_element_t **cursor)
{
    if (!base || !cfg)
        return YW_ERR_NO_TSM_CFG;
    YW_ret_t r = YW_svc_cfg_loadEntry(base, cfg, cursor, YW_DYM_CFG_TAG, YW_dym_cfg_setAttribute, nullptr);
    std::printf("%s:%d pCfg=%x %s %s\n", __func__, __LINE__, (unsigned)(uintptr_t)cfg, yw_dym_str(cfg->folder),
                yw_dym_str(cfg->filename));
    return r;
}

YW_ret_t YW_loadDyModuleServiceManageConfig(YW_frw_cfg_element_t *base, YW_dym_dsm_cfg_t *mcfg)
{
    if (!mcfg)
        return YW_ERR_ARG_NULL;
    YW_P_mutexGuard lk(YW_g_dym_dsm_ctx.lock);
    YW_ret_t r = YW_svc_cfg_loadTable(__func__, base, YW_g_dym_cfg, YW_DYM_MAX, YW_DYM_CFG_TAG, YW_loadDyModuleConfig);
    std::printf("%s:%d pCfg=%x %s %s\n", __func__, __LINE__, (unsigned)(uintptr_t)YW_g_dym_cfg,
                yw_dym_str(YW_g_dym_cfg[0].folder), yw_dym_str(YW_g_dym_cfg[0].filename));
    return r;
}

int YW_dym_cfg_equal(const YW_dym_cfg_t *a, const YW_dym_cfg_t *b)
{
    if (!a || !b)
        return 0;
    if (a == b || (a->folder == b->folder && a->filename == b->filename))
        return 1;
    return a->folder && b->folder && a->filename && b->filename && std::strcmp(a->folder, b->folder) == 0 &&
           std::strcmp(a->filename, b->filename) == 0;
}

YW_size_t YW_dym_toString(const YW_dym_t *d, char *bp, YW_size_t blen)
{
    if (!d || !bp || blen < 1)
        return 0;
    int n;
    if (d->cfg)
        n = std::snprintf(bp, (size_t)blen, "dym_id=%d \ncfg: folder=%s filename=%s \nstatus: state=0x%x ",
                          (int)d->dym_id, yw_dym_str(d->cfg->folder), yw_dym_str(d->cfg->filename),
                          (unsigned)d->status.state);
    else
        n = std::snprintf(bp, (size_t)blen, "dym_id=%d \ncfg: null\nstatus: state=0x%x ", (int)d->dym_id,
                          (unsigned)d->status.state);
    if (n < 0)
        return 0;
    return n >= blen ? blen - 1 : n;
}

int YW_dym_showDyModules(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    YW_printf("\t*** Dynamic module list ***\n");
    // Held across the look-ups and the calls: no module is unloaded while
    // its code runs.
    YW_P_mutexGuard lk(YW_g_dym_dsm_ctx.lock);
    for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
        if (!YW_g_dym[i].cfg || !YW_DYM_CFG_VALID(&YW_g_dym_cfg[i]))
            break;
        char line[YW_DYM_LINE_SZ];
        YW_dym_toString(&YW_g_dym[i], line, sizeof line);
        YW_printf("  %s\n", line);
    }
    for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
        void *addr = nullptr;
        YW_ret_t r = YW_findSymbol(i, YW_DYM_HELLO, &addr);
        if (r == YW_SUCCESS && addr) {
            YW_printf("address of %s is %lx %lx\n", YW_DYM_HELLO, (unsigned long)(uintptr_t)addr,
                      (unsigned long)(uintptr_t)addr);
            reinterpret_cast<void (*)(void)>(addr)();
        } else {
            YW_printf("get address of %s error=%d\n", YW_DYM_HELLO, (int)r);
        }
    }
    return 0;
}

} /* extern "C" */
