// Timer configurations (the "timerConf" loader) and the timer listing.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../task/yw_task_int.h"
#include "frw/yw_frw_cfg.h"
#include "frw/yw_svc_cfg.h"
#include "log/yw_log.h"
#include "osa/yw_osa_guard.h"
#include "timer/yw_timer.h"
#include "timer/yw_timer_tsm.h"

#define YW_TIMER_CFG_TAG "timerDef"
#define YW_TIMER_CFG_TASK_TAG "task"
#define YW_TIMER_LINE_SZ 128

namespace {

long long yw_timer_dec(const char *v)
{
    return v ? std::strtoll(v, nullptr, 10) : 0;
}

} // namespace

extern "C" {

YW_timer_cfg_t YW_g_timer_cfg[YW_TIMER_MAX];
const char *const YW_g_timer_source_name[] = {"sys"};

YW_ret_t YW_timer_cfg_setAttribute(YW_timer_cfg_t *cfg, const char *key, const char *value)
{
    if (!cfg)
        return YW_FAIL;
    if (!key)
        return YW_SUCCESS;
    if (std::strcmp(key, "name") == 0)
        cfg->name = const_cast<char *>(value);
    else if (std::strcmp(key, "handler") == 0)
        cfg->handler = const_cast<char *>(value);
    else if (std::strcmp(key, "repeat") == 0)
        cfg->repeat = yw_timer_dec(value);
    else if (std::strcmp(key, "interval") == 0)
        cfg->interval = (YW_uint64_t)yw_timer_dec(value);
    else if (std::strcmp(key, "source") == 0)
        cfg->sourceType = (value && std::strcmp(value, "SYS") == 0) ? YW_TIMER_SOURCE_SYS : YW_TIMER_SOURCE_MAX;
    return YW_SUCCESS;
}

YW_ret_t YW_timer_cfg_child_setAttribute(YW_timer_cfg_t *cfg, const char *child, const char *key, const char *value)
{
    if (!cfg)
        return YW_FAIL;
    if (!child || !key || std::strcmp(child, YW_TIMER_CFG_TASK_TAG) != 0)
        return YW_SUCCESS;
    if (std::strcmp(key, "policy") == 0) {
        cfg->policy = yw_task_policyOf(value);
    } else if (std::strcmp(key, "priority") == 0) {
        cfg->priority = value ? std::atoi(value) : 0;
    } else if (std::strcmp(key, "cpu") == 0) {
        cfg->cpu_no = value ? std::atoi(value) : 0;
    } else if (std::strcmp(key, "process") == 0) {
        cfg->process_no = value ? std::atoi(value) : 0;
    } else if (std::strcmp(key, "core_mask") == 0) {
        cfg->core_mask = value ? (YW_uint64_t)std::strtoull(value, nullptr, 16) : 0;
    } else if (std::strcmp(key, "stackSize") == 0) {
        cfg->stack_size = yw_timer_dec(value);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_loadTimerConfig(YW_frw_cfg_element_t *base, YW_timer_cfg_t *cfg, YW_frw_cfg_element_t **cursor)
{
    if (!base || !cfg)
        return YW_ERR_NO_CFG;
    return YW_svc_cfg_loadEntry(base, cfg, cursor, YW_TIMER_CFG_TAG, YW_timer_cfg_setAttribute,
                                YW_timer_cfg_child_setAttribute);
}

YW_ret_t YW_loadTimerServiceManageConfig(YW_frw_cfg_element_t *base, YW_timer_tsm_cfg_t *mcfg)
{
    if (!base || !mcfg)
        return YW_ERR_ARG_NULL;
    YW_P_mutexGuard lk(YW_g_timer_tsm_ctx.lock);
    return YW_svc_cfg_loadTable(__func__, base, YW_g_timer_cfg, YW_TIMER_MAX, YW_TIMER_CFG_TAG, YW_loadTimerConfig);
}

int YW_timer_cfg_equal(const YW_timer_cfg_t *a, const YW_timer_cfg_t *b)
{
    if (!a || !b)
        return 0;
    if (a == b)
        return 1;
    return a->name && b->name && std::strcmp(a->name, b->name) == 0;
}

YW_size_t YW_timer_toString(const YW_timer_t *t, char *bp, YW_size_t blen)
{
    if (!t || !bp || blen < 1)
        return 0;
    int n;
    if (t->cfg)
        n = std::snprintf(bp, (size_t)blen, "timer_id=%d \ncfg: name=%s type=%d \nstatus: state=0x%x ",
                          (int)t->timer_id, t->cfg->name ? t->cfg->name : "NULL", (int)t->cfg->sourceType,
                          (unsigned)t->status.state);
    else
        n = std::snprintf(bp, (size_t)blen, "timer_id=%d \ncfg: null\nstatus: state=0x%x ", (int)t->timer_id,
                          (unsigned)t->status.state);
    if (n < 0)
        return 0;
    return n >= blen ? blen - 1 : n;
}

int YW_timer_showTimers(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    YW_printf("\t*** timer object list ***\n");
    for (YW_timer_id_t i = 0; i < YW_TIMER_MAX; ++i) {
        char line[YW_TIMER_LINE_SZ];
        {
            YW_P_mutexGuard lk(YW_g_timer_tsm_ctx.lock);
            YW_timer_toString(&YW_g_timer[i], line, sizeof line);
        }
        YW_printf("  %s\n", line);
    }
    return 0;
}

} /* extern "C" */
