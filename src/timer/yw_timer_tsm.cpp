// Timer service manager: the timer service's instance of the service-manager
// pattern (frw/yw_svc_mng.h) and the framework-side start and shut-down.
#include <cstdio>

#include "osa/yw_osa_guard.h"
#include "timer/yw_timer.h"
#include "timer/yw_timer_tsm.h"

extern "C" {

YW_timer_tsm_ctx_t YW_g_timer_tsm_ctx = {{0, 0, 0}, nullptr, nullptr, nullptr, YW_SVC_MNG_TIMEOUT, nullptr};
YW_timer_tsm_cfg_t YW_g_timer_tsm_cfg = {0};
YW_task_id_t YW_g_timer_tsm_taskid = YW_TASK_ID_NONE;
YW_fsm_context_t YW_s_timer_tsm_fsm;

const YW_fsm_vector_t YW_s_timer_tsm_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_TIMER_TSM_CMD_START), YW_timer_tsm_handleStartCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_TIMER_TSM_CMD_STOP), YW_timer_tsm_handleStopCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_TIMER_TSM_EVT_TCHG), YW_timer_tsm_handleTimerStateChgEvt},
    YW_FSM_VECTOR_NULL,
};

} // extern "C"

namespace {

const YW_svc_mng_t yw_s_timer_svc = {
    .fsm_name = "task_tsm",
    .main_name = "YW_timer_tsm_main",
    .tag = "tsm",
    .cmd_start = YW_TIMER_TSM_CMD_START,
    .cmd_stop = YW_TIMER_TSM_CMD_STOP,
    .evt_change = YW_TIMER_TSM_EVT_TCHG,
    .entry = YW_timer_tsm_main,
    .state = &YW_g_timer_tsm_ctx.status.state,
    .fsm = &YW_s_timer_tsm_fsm,
    .vectors = YW_s_timer_tsm_fsm_vectors,
    .rcvq = &YW_g_timer_tsm_ctx.rcvq,
    .timeout = &YW_g_timer_tsm_ctx.timeout,
    .taskid = &YW_g_timer_tsm_taskid,
    .priv = &YW_g_timer_tsm_ctx,
    .init = YW_timer_tsm_init,
    .deinit = YW_timer_tsm_deinit,
    .onStart = YW_timer_tsm_onStart,
    .onStop = YW_timer_tsm_onStop,
    .onStateChange = nullptr,
    .onLoopStart = nullptr,
    .onTimeout = nullptr,
    .onLoopEnd = nullptr,
    .activeWhenStarted = 0,
    .startedAlways = 0,
    .stopClearsAlways = 0,
    .deleteWhenIdle = 0,
};

} // namespace

extern "C" {

YW_ret_t YW_timer_tsm_init(void)
{
    YW_timer_tsm_ctx_t &c = YW_g_timer_tsm_ctx;
    if (!YW_svc_mng_initContext(c, &YW_s_timer_tsm_fsm, YW_s_timer_tsm_fsm_vectors))
        return YW_SUCCESS;
    YW_P_mutexGuard lk(c.lock);
    for (YW_timer_id_t i = 0; i < YW_TIMER_MAX; ++i) {
        YW_g_timer_cfg[i].name = nullptr;
        YW_timer_t &t = YW_g_timer[i];
        // The generation survives: an expiry of an earlier use of the slot
        // must not match the next one.
        YW_uint32_t gen = t.generation + 1;
        t = YW_timer_t{};
        t.timer_id = i;
        t.task_id = YW_TIMER_NO_TASK;
        t.generation = gen;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_timer_tsm_deinit(void)
{
    YW_svc_mng_deinitContext(YW_g_timer_tsm_ctx, nullptr, false);
    return YW_SUCCESS;
}

YW_ret_t YW_timer_tsm_onStart(void)
{
    YW_ret_t r = YW_FAIL;
    for (YW_timer_id_t i = 0; i < YW_TIMER_MAX; ++i) {
        YW_timer_cfg_t *cfg = &YW_g_timer_cfg[i];
        if (!YW_TIMER_CFG_VALID(cfg))
            break;
        YW_timer_id_t id;
        r = YW_createTimer(cfg, &id);
    }
    return r;
}

YW_ret_t YW_timer_tsm_onStop(void)
{
    return YW_svc_mng_deleteAll<YW_timer_status_t>(YW_TIMER_MAX, YW_inqTimer, YW_deleteTimer);
}

YW_SVC_MNG_DEFINE_ENTRIES(yw_s_timer_svc,
                          YW_timer_tsm_sendEvent, YW_startTimerService, YW_shutdownTimerService,
                          YW_timer_tsm_main,
                          YW_timer_tsm_handleStartCmd, YW_timer_tsm_handleStopCmd,
                          YW_timer_tsm_handleTimerStateChgEvt)

} /* extern "C" */
