// Task service manager: the task service's instance of the service-manager
// pattern (frw/yw_svc_mng.h) and the framework-side start and shut-down.
#include <cstdio>
#include <cstring>

#include "cli/yw_cli.h"
#include "frw/yw_svc_mng.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"
#include "yw_task_int.h"

namespace {

void yw_task_tsm_loopEnd()
{
    std::printf("%s:%d tsm task %d end...", "YW_task_tsm_main", __LINE__, (int)YW_g_tsm_taskid);
}

} // namespace

extern "C" {

YW_task_tsm_ctx_t YW_g_tsm_ctx = {{0, 0, 0, 0}, nullptr, nullptr, nullptr, YW_SVC_MNG_TIMEOUT, nullptr};
YW_task_tsm_cfg_t YW_g_tsm_cfg = {nullptr};
YW_task_id_t YW_g_tsm_taskid = YW_TASK_ID_NONE;
YW_fsm_context_t YW_s_tsm_fsm;

const YW_fsm_vector_t YW_s_tsm_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_TSM_CMD_START), YW_task_tsm_handleStartCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_TSM_CMD_STOP), YW_task_tsm_handleStopCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_TSM_EVT_TSCHG), YW_task_tsm_handleTaskStateChgEvt},
    YW_FSM_VECTOR_NULL,
};

const YW_svc_mng_t YW_g_tsm_svc = {
    .fsm_name = "task_tsm",
    .main_name = "YW_task_tsm_main",
    .tag = "tsm",
    .cmd_start = YW_TSM_CMD_START,
    .cmd_stop = YW_TSM_CMD_STOP,
    .evt_change = YW_TSM_EVT_TSCHG,
    .entry = YW_task_tsm_main,
    .state = &YW_g_tsm_ctx.status.state,
    .fsm = &YW_s_tsm_fsm,
    .vectors = YW_s_tsm_fsm_vectors,
    .rcvq = &YW_g_tsm_ctx.rcvq,
    .timeout = &YW_g_tsm_ctx.timeout,
    .taskid = &YW_g_tsm_taskid,
    .priv = &YW_g_tsm_ctx,
    .init = YW_task_tsm_init,
    .deinit = YW_task_tsm_deinit,
    .onStart = YW_startTaskServiceManage,
    .onStop = YW_task_tsm_onStop,
    .onStateChange = nullptr,
    .onLoopStart = nullptr,
    .onTimeout = nullptr,
    .onLoopEnd = yw_task_tsm_loopEnd,
    .activeWhenStarted = 1,
    .startedAlways = 1,
    .stopClearsAlways = 1,
    .deleteWhenIdle = 1,
};

YW_ret_t YW_task_tsm_init(void)
{
    if (__atomic_load_n(&YW_g_tsm_ctx.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT)
        return YW_SUCCESS;
    __atomic_fetch_or(&YW_g_tsm_ctx.status.state, YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    YW_g_tsm_ctx.fsm = &YW_s_tsm_fsm;
    YW_g_tsm_ctx.rcvq = nullptr;
    YW_g_tsm_ctx.fsm_vectors = YW_s_tsm_fsm_vectors;
    YW_g_tsm_ctx.timeout = YW_SVC_MNG_TIMEOUT;
    {
        YW_task_lockGuard lk;
        for (int i = 0; i < YW_TASK_MAX; ++i)
            YW_g_task_cfg[i].name = nullptr;
    }
    yw_task_clearTable();
    YW_g_tsm_ctx.lock = yw_task_tableMutex();
    YW_P_getThreadKey(nullptr, YW_THREAD_KEY_THREADID, &YW_g_threadKey_threadid);
    YW_regCLICmd("ts", YW_task_showTasks, "ts");
    return YW_SUCCESS;
}

YW_ret_t YW_task_tsm_deinit(void)
{
    YW_shutdownTaskServiceManage();
    if (__atomic_load_n(&YW_g_tsm_ctx.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT) {
        YW_unregCLICmd("ts");
        YW_g_tsm_ctx.fsm = nullptr;
        // The table mutex outlives the manager: running tasks still use it.
        YW_g_tsm_ctx.lock = nullptr;
        __atomic_store_n(&YW_g_tsm_ctx.status.state, 0, __ATOMIC_SEQ_CST);
    }
    return YW_SUCCESS;
}

YW_task_id_t YW_task_tsm_findTaskIdByEntry(YW_task_entry_t entry)
{
    if (!entry)
        return YW_TASK_ID_NONE;
    YW_task_lockGuard lk;
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        const YW_task_t *t = &YW_g_task[i];
        if (t->cfg && (t->cfg->category & YW_TASK_CAT_FRW) && t->entry == entry)
            return i;
    }
    return YW_TASK_ID_NONE;
}

YW_ret_t YW_task_tsm_sendEvent(YW_event_value_t id, void *data)
{
    return YW_svc_mng_sendEvent(&YW_g_tsm_svc, id, data);
}

YW_ret_t YW_startTaskServiceManage(void)
{
    int *st = &YW_g_tsm_ctx.status.state;
    if (__atomic_load_n(st, __ATOMIC_SEQ_CST) & YW_SVC_STATE_STARTED)
        return YW_SUCCESS;
    YW_task_id_t id = YW_task_tsm_findTaskIdByEntry(YW_task_tsm_main);
    YW_ret_t r = YW_startTask(id, nullptr);
    __atomic_store_n(&YW_g_tsm_taskid, id, __ATOMIC_RELEASE);
    if (r == YW_SUCCESS) {
        for (int i = 0; i < YW_TASK_MAX; ++i) {
            YW_task_cfg_t *cfg = &YW_g_task_cfg[i];
            if (!cfg->name || !cfg->use_flag)
                continue;
            YW_task_id_t tid;
            r = YW_createTask(cfg, &tid);
            if (r != YW_SUCCESS)
                break;
        }
    }
    // The started bit goes up before the start command leaves: the manager's
    // start row runs this function again and must find the service started.
    __atomic_fetch_or(st, YW_SVC_STATE_STARTED, __ATOMIC_SEQ_CST);
    if (r == YW_SUCCESS)
        r = YW_task_tsm_sendEvent(YW_TSM_CMD_START, nullptr);
    return r;
}

YW_ret_t YW_shutdownTaskServiceManage(void)
{
    return YW_svc_mng_shutdown(&YW_g_tsm_svc);
}

YW_ret_t YW_task_tsm_onStop(void)
{
    return YW_task_stopApplicationTasks();
}

void *YW_task_tsm_main(void *arg)
{
    (void)arg;
    return YW_svc_mng_main(&YW_g_tsm_svc);
}

YW_fsm_state_t YW_task_tsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStart(&YW_g_tsm_svc, ctx, emsg, __func__, __LINE__);
}

YW_fsm_state_t YW_task_tsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStop(&YW_g_tsm_svc, ctx, emsg, __func__, __LINE__);
}

YW_fsm_state_t YW_task_tsm_handleTaskStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    return YW_svc_mng_handleStateChange(&YW_g_tsm_svc, ctx, emsg, __func__, __LINE__);
}

} /* extern "C" */
