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
    if (__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT)
        return YW_SUCCESS;
    __atomic_fetch_or(&c.status.state, YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    c.fsm = &YW_s_timer_tsm_fsm;
    c.rcvq = nullptr;
    c.fsm_vectors = YW_s_timer_tsm_fsm_vectors;
    c.timeout = YW_SVC_MNG_TIMEOUT;
    YW_P_tableMutexOnce(&c.lock);
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
    YW_P_getThreadKey(nullptr, YW_THREAD_KEY_THREADID, &YW_g_threadKey_threadid);
    return YW_SUCCESS;
}

YW_ret_t YW_timer_tsm_deinit(void)
{
    YW_timer_tsm_ctx_t &c = YW_g_timer_tsm_ctx;
    if (__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT) {
        c.fsm = nullptr; // the table mutex stays for the process
        __atomic_fetch_and(&c.status.state, ~YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    }
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
    YW_ret_t r = YW_FAIL;
    for (YW_timer_id_t i = 0; i < YW_TIMER_MAX; ++i) {
        YW_timer_status_t st{};
        if (YW_inqTimer(i, &st) == YW_SUCCESS && st.state != 0)
            r = YW_deleteTimer(i);
    }
    return r;
}

YW_ret_t YW_timer_tsm_sendEvent(YW_event_value_t id, void *data)
{
    return YW_svc_mng_sendEvent(&yw_s_timer_svc, id, data);
}

YW_ret_t YW_startTimerService(void)
{
    return YW_svc_mng_start(&yw_s_timer_svc);
}

YW_ret_t YW_shutdownTimerService(void)
{
    return YW_svc_mng_shutdown(&yw_s_timer_svc);
}

void *YW_timer_tsm_main(void *arg)
{
    (void)arg;
    return YW_svc_mng_main(&yw_s_timer_svc);
}

YW_fsm_state_t YW_timer_tsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStart(&yw_s_timer_svc, ctx, emsg, __func__, __LINE__);
}

YW_fsm_state_t YW_timer_tsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStop(&yw_s_timer_svc, ctx, emsg, __func__, __LINE__);
}

YW_fsm_state_t YW_timer_tsm_handleTimerStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStateChange(&yw_s_timer_svc, ctx, emsg, __func__, __LINE__);
}

} /* extern "C" */
