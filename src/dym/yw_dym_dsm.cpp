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
    if (__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT)
        return YW_SUCCESS;
    __atomic_fetch_or(&c.status.state, YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    c.fsm = &YW_s_dsm_fsm;
    c.rcvq = nullptr;
    c.fsm_vectors = YW_s_dsm_fsm_vectors;
    c.timeout = YW_SVC_MNG_TIMEOUT;
    YW_P_tableMutexOnce(&c.lock);
    {
        YW_P_mutexGuard lk(c.lock);
        for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
            YW_g_dym_cfg[i] = YW_dym_cfg_t{};
            YW_g_dym[i] = YW_dym_t{};
            YW_g_dym[i].dym_id = i;
        }
    }
    YW_P_getThreadKey(nullptr, YW_THREAD_KEY_THREADID, &YW_g_threadKey_threadid);
    YW_regCLICmd("ds", YW_dym_showDyModules, "ds");
    return YW_SUCCESS;
}

YW_ret_t YW_dym_dsm_deinit(void)
{
    YW_dym_dsm_ctx_t &c = YW_g_dym_dsm_ctx;
    if (__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT) {
        YW_unregCLICmd("ds");
        c.fsm = nullptr; // the table mutex stays: "ds" may still be running
        __atomic_fetch_and(&c.status.state, ~YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    }
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
    YW_ret_t r = YW_FAIL;
    for (YW_dym_id_t i = 0; i < YW_DYM_MAX; ++i) {
        YW_dym_status_t st{};
        if (YW_inqDyModule(i, &st) != YW_SUCCESS || st.state == 0)
            continue;
        YW_unloadLibrary(i);
        r = YW_deleteDyModule(i);
    }
    return r;
}

YW_ret_t YW_dym_dsm_sendEvent(YW_event_value_t id, void *data)
{
    return YW_svc_mng_sendEvent(&yw_s_dym_svc, id, data);
}

YW_ret_t YW_startDyModuleService(void)
{
    return YW_svc_mng_start(&yw_s_dym_svc);
}

YW_ret_t YW_shutdownDyModuleService(void)
{
    return YW_svc_mng_shutdown(&yw_s_dym_svc);
}

void *YW_dym_dsm_main(void *arg)
{
    (void)arg;
    return YW_svc_mng_main(&yw_s_dym_svc);
}

YW_fsm_state_t YW_dym_dsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStart(&yw_s_dym_svc, ctx, emsg, __func__, __LINE__);
}

YW_fsm_state_t YW_dym_dsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStop(&yw_s_dym_svc, ctx, emsg, __func__, __LINE__);
}

YW_fsm_state_t YW_dym_dsm_handleDymStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStateChange(&yw_s_dym_svc, ctx, emsg, __func__, __LINE__);
}

} /* extern "C" */
