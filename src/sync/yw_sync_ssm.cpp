// Resource service manager: the resource service's instance of the
// service-manager pattern (frw/yw_svc_mng.h) and the framework-side start and
// shut-down.
#include <cstdio>

#include "cli/yw_cli.h"
#include "osa/yw_osa_guard.h"
#include "sync/yw_sync.h"
#include "sync/yw_sync_ssm.h"

extern "C" {

YW_sync_ssm_ctx_t YW_g_sync_ssm_ctx = {{0, 0, 0, 0, 0}, nullptr, nullptr, nullptr, YW_SVC_MNG_TIMEOUT, nullptr};
YW_sync_ssm_cfg_t YW_g_sync_ssm_cfg = {0};
YW_task_id_t YW_g_sync_ssm_taskid = YW_TASK_ID_NONE;
YW_fsm_context_t YW_s_ssm_fsm;

const YW_fsm_vector_t YW_s_ssm_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_SYNC_SSM_CMD_START), YW_sync_ssm_handleStartCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_SYNC_SSM_CMD_STOP), YW_sync_ssm_handleStopCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_SYNC_SSM_EVT_SCHG), YW_sync_ssm_handleSyncStateChgEvt},
    YW_FSM_VECTOR_NULL,
};

} // extern "C"

namespace {

const YW_svc_mng_t yw_s_sync_svc = {
    .fsm_name = "task_ssm",
    .main_name = "YW_sync_ssm_main",
    .tag = "ssm",
    .cmd_start = YW_SYNC_SSM_CMD_START,
    .cmd_stop = YW_SYNC_SSM_CMD_STOP,
    .evt_change = YW_SYNC_SSM_EVT_SCHG,
    .entry = YW_sync_ssm_main,
    .state = &YW_g_sync_ssm_ctx.status.state,
    .fsm = &YW_s_ssm_fsm,
    .vectors = YW_s_ssm_fsm_vectors,
    .rcvq = &YW_g_sync_ssm_ctx.rcvq,
    .timeout = &YW_g_sync_ssm_ctx.timeout,
    .taskid = &YW_g_sync_ssm_taskid,
    .priv = &YW_g_sync_ssm_ctx,
    .init = YW_sync_ssm_init,
    .deinit = YW_sync_ssm_deinit,
    .onStart = YW_sync_ssm_onStart,
    .onStop = YW_sync_ssm_onStop,
    .onStateChange = nullptr,
    .onLoopStart = nullptr,
    .onTimeout = nullptr,
    .onLoopEnd = nullptr,
    .activeWhenStarted = 0,
    .startedAlways = 1,
    .stopClearsAlways = 1,
    .deleteWhenIdle = 1,
};

} // namespace

extern "C" {

YW_ret_t YW_sync_ssm_init(void)
{
    YW_sync_ssm_ctx_t &c = YW_g_sync_ssm_ctx;
    if (!YW_svc_mng_initContext(c, &YW_s_ssm_fsm, YW_s_ssm_fsm_vectors))
        return YW_SUCCESS;
    {
        YW_P_mutexGuard lk(c.lock);
        for (YW_sync_id_t i = 0; i < YW_SYNC_MAX; ++i) {
            YW_g_sync_cfg[i].name = nullptr;
            YW_g_sync[i] = YW_sync_t{};
            YW_g_sync[i].sync_id = i;
        }
    }
    YW_regCLICmd("ss", YW_sync_showSyncs, "ss");
    return YW_SUCCESS;
}

YW_ret_t YW_sync_ssm_deinit(void)
{
    YW_svc_mng_deinitContext(YW_g_sync_ssm_ctx, "ss", true);
    return YW_SUCCESS;
}

YW_ret_t YW_sync_ssm_onStart(void)
{
    YW_ret_t r = YW_FAIL;
    for (YW_sync_id_t i = 0; i < YW_SYNC_MAX; ++i) {
        YW_sync_cfg_t *cfg = &YW_g_sync_cfg[i];
        if (!YW_SYNC_CFG_VALID(cfg))
            break;
        YW_sync_id_t id;
        r = YW_createSync(cfg, &id);
        if (r != YW_SUCCESS)
            std::printf("%s:%d resource %s not created: %d\n", __func__, __LINE__, cfg->name, (int)r);
    }
    return r;
}

YW_ret_t YW_sync_ssm_onStop(void)
{
    return YW_svc_mng_deleteAll<YW_sync_status_t>(YW_SYNC_MAX, YW_inqSync, YW_deleteSync);
}

YW_SVC_MNG_DEFINE_ENTRIES(yw_s_sync_svc,
                          YW_sync_ssm_sendEvent, YW_startSyncService, YW_shutdownSyncService,
                          YW_sync_ssm_main,
                          YW_sync_ssm_handleStartCmd, YW_sync_ssm_handleStopCmd,
                          YW_sync_ssm_handleSyncStateChgEvt)

} /* extern "C" */
