// Module service manager: the module service's instance of the
// service-manager pattern (frw/yw_svc_mng.h) and the framework-side start and
// shut-down. Unlike the other managers it reports its state to the framework
// when its task begins and lists the modules on every time-out of its wait.
#include <cstdio>

#include "cli/yw_cli.h"
#include "dym/yw_dym.h"
#include "dym/yw_dym_dsm.h"
#include "osa/yw_osa_guard.h"

extern "C" {

YW_dym_dsm_ctx_t YW_g_dym_dsm_ctx = {{0, 0, 0, 0, 0}, nullptr, nullptr, nullptr, YW_SVC_MNG_TIMEOUT, nullptr};
YW_dym_dsm_cfg_t YW_g_dym_dsm_cfg = {0};
YW_task_id_t YW_g_dym_dsm_taskid = YW_TASK_ID_NONE;
YW_fsm_context_t YW_s_dsm_fsm;

const YW_fsm_vector_t YW_s_dsm_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_DYM_DSM_CMD_START), YW_dym_dsm_handleStartCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_DYM_DSM_CMD_STOP), YW_dym_dsm_handleStopCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_DYM_DSM_EVT_DCHG), YW_dym_dsm_handleDymStateChgEvt},
    YW_FSM_VECTOR_NULL,
};

} // extern "C"

namespace {

void yw_dym_dsm_report(YW_fsm_context_t *ctx)
{
    YW_svc_mng_reportState(ctx);
}

void yw_dym_dsm_timeout()
{
    YW_dym_showDyModules(1, nullptr);
}

const YW_svc_mng_t yw_s_dym_svc = {
    .fsm_name = "dsm_fsm",
    .main_name = "YW_dym_dsm_main",
    .tag = "dsm",
    .cmd_start = YW_DYM_DSM_CMD_START,
    .cmd_stop = YW_DYM_DSM_CMD_STOP,
    .evt_change = YW_DYM_DSM_EVT_DCHG,
    .entry = YW_dym_dsm_main,
    .state = &YW_g_dym_dsm_ctx.status.state,
    .fsm = &YW_s_dsm_fsm,
    .vectors = YW_s_dsm_fsm_vectors,
    .rcvq = &YW_g_dym_dsm_ctx.rcvq,
    .timeout = &YW_g_dym_dsm_ctx.timeout,
    .taskid = &YW_g_dym_dsm_taskid,
    .priv = &YW_g_dym_dsm_ctx,
    .init = YW_dym_dsm_init,
    .deinit = YW_dym_dsm_deinit,
    .onStart = YW_dym_dsm_onStart,
    .onStop = YW_dym_dsm_onStop,
    .onStateChange = nullptr,
    .onLoopStart = yw_dym_dsm_report,
    .onTimeout = yw_dym_dsm_timeout,
    .onLoopEnd = nullptr,
    .activeWhenStarted = 0,
    .startedAlways = 1,
    .stopClearsAlways = 1,
    .deleteWhenIdle = 1,
};

} // namespace

extern "C" {

YW_ret_t YW_dym_dsm_init(void)
{
    YW_dym_dsm_ctx_t &c = YW_g_dym_dsm_ctx;
    if (!YW_svc_mng_initContext(c, &YW_s_dsm_fsm, YW_s_dsm_fsm_vectors))
        return YW_SUCCESS;
    {
        YW_P_mutexGuard lk(c.lock);
        for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
            YW_g_dym_cfg[i] = YW_dym_cfg_t{};
            YW_g_dym[i] = YW_dym_t{};
            YW_g_dym[i].dym_id = i;
        }
    }
    YW_regCLICmd("ds", YW_dym_showDyModules, "ds");
    return YW_SUCCESS;
}

YW_ret_t YW_dym_dsm_deinit(void)
{
    YW_svc_mng_deinitContext(YW_g_dym_dsm_ctx, "ds", false);
    return YW_SUCCESS;
}

YW_ret_t YW_dym_dsm_onStart(void)
{
    YW_ret_t r = YW_FAIL;
    for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
        YW_dym_cfg_t *cfg = &YW_g_dym_cfg[i];
        if (!YW_DYM_CFG_VALID(cfg))
            break;
        YW_dym_id_t id = YW_DYM_MAX;
        r = YW_createDyModule(cfg, &id);
        if (r == YW_SUCCESS)
            r = YW_loadLibrary(id);
    }
    return r;
}

YW_ret_t YW_dym_dsm_onStop(void)
{
    return YW_svc_mng_deleteAll<YW_dym_status_t>(YW_DYM_MAX, YW_inqDyModule, [](YW_dym_id_t id) {
        YW_unloadLibrary(id);
        return YW_deleteDyModule(id);
    });
}

YW_SVC_MNG_DEFINE_ENTRIES(yw_s_dym_svc,
                          YW_dym_dsm_sendEvent, YW_startDyModuleService, YW_shutdownDyModuleService,
                          YW_dym_dsm_main,
                          YW_dym_dsm_handleStartCmd, YW_dym_dsm_handleStopCmd,
                          YW_dym_dsm_handleDymStateChgEvt)

} /* extern "C" */
