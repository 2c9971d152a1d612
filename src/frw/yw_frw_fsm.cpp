// Framework state machine: brings a node up on the thread "frw_fsm".
//
// IDLE -CONF-> CONF -INIT-> INIT -(log service normal: EVT_INIT, CMD_SYNC)->
// SYNC -EVT_SYNC-> NORM. A configuration error ends the bring-up in IERR.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "dym/yw_dym_dsm.h"
#include "frw/yw_frw.h"
#include "frw/yw_frw_cfg.h"
#include "frw/yw_frw_fsm.h"
#include "frw/yw_frw_node.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "log/yw_log.h"
#include "sync/yw_sync_ssm.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"
#include "timer/yw_timer_tsm.h"

extern "C" {

YW_frw_fsmEventControl_t YW_g_frw_fsmEventControl = {nullptr, nullptr, nullptr, nullptr};
extern YW_fsm_context_t YW_s_frw_fsm;
YW_event_q_t YW_g_frw_fsm_event_q;
int dyModuleServiceStarted = 0;
int syncServiceStarted = 0;
int timerServiceStarted = 0;
int ipcServiceStarted = 0;

} // extern "C"

YW_fsm_context_t YW_s_frw_fsm;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr YW_int64_t YW_FRW_FSM_STACK = CONFIG_YW_STACKSIZE * 8; // instrumented frames are larger
#else
constexpr YW_int64_t YW_FRW_FSM_STACK = CONFIG_YW_STACKSIZE;
#endif

bool yw_frw_fsm_stateIn(YW_fsm_state_t s, std::initializer_list<YW_fsm_state_t> states)
{
    for (YW_fsm_state_t x : states)
        if (x == s)
            return true;
    return false;
}

// Prints the invalid-command line for a handler and keeps the state.
YW_fsm_state_t yw_frw_fsm_invalid(const char *func, int line, YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    std::printf("%s:%d invalid cmd %d at state %d\n", func, line, (int)emsg->id.p.value, (int)ctx->state);
    return ctx->state;
}

template <typename MngCfg>
YW_ret_t yw_frw_loadSection(const char *tag, YW_ret_t (*loader)(YW_frw_cfg_element_t *, MngCfg *), MngCfg *mcfg)
{
    YW_frw_cfg_element_t *e = YW_frw_cfg_findServiceManageCfg(tag);
    YW_ret_t r = loader(e, mcfg);
    std::printf("%s:%d error=%d\n", "YW_frw_fsm_handleCfgCmd", __LINE__, (int)r);
    return r;
}

// Starts one service of the initialisation command; a failure is printed, a
// success sets its mark.
void yw_frw_fsm_startService(YW_ret_t (*start)(void), const char *what, int &started)
{
    YW_ret_t r = start();
    if (r != YW_SUCCESS)
        std::printf("%s:%d can't start %s service error = %d\n", "YW_frw_fsm_handleInitCmd", __LINE__, what, (int)r);
    else
        started = 1;
}

} // namespace

extern "C" {

const YW_fsm_vector_t YW_s_frw_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_CMD_CONF), YW_frw_fsm_handleCfgCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_CMD_INIT), YW_frw_fsm_handleInitCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_INIT), YW_frw_fsm_handleInitEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_CMD_SYNC), YW_frw_fsm_handleSyncCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_SYNC), YW_frw_fsm_handleSyncEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_CMD_SHDN), YW_frw_fsm_handleShdnCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_SHDN), YW_frw_fsm_handleShdnEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_CMD_REST), YW_frw_fsm_handleRestCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_REST), YW_frw_fsm_handleRestEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_TOUT), YW_frw_fsm_handleToutEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_SSCH), YW_frw_fsm_handleSschEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_FRW_EVT_IERR), YW_frw_fsm_handleIerrEvt},
    YW_FSM_VECTOR_NULL,
};

// ---- queue and thread --------------------------------------------------------------

YW_ret_t YW_frw_fsm_fire_event(YW_event_q_t *q, void *msg)
{
    YW_P_thread_t th = __atomic_load_n(&YW_g_frw_fsmEventControl.fsm_task, __ATOMIC_ACQUIRE);
    if (!th)
        return YW_SUCCESS; // the message waits in the FIFO for the thread
    return YW_event_q_fireThread(q, th, msg);
}

YW_ret_t YW_frw_fsm_wait_event(YW_event_q_t *q, void *timeout)
{
    YW_int64_t t = timeout ? *static_cast<YW_int64_t *>(timeout) : -1;
    YW_P_thread_t th = __atomic_load_n(&YW_g_frw_fsmEventControl.fsm_task, __ATOMIC_ACQUIRE);
    return YW_event_q_waitThread(q, th, t);
}

YW_ret_t YW_frw_fsm_init(void)
{
    YW_event_q_t *q = YW_event_q_init(&YW_g_frw_fsm_event_q, const_cast<char *>("frw_event"),
                                      YW_frw_fsm_fire_event, YW_frw_fsm_wait_event, &YW_g_frw_fsmEventControl);
    if (!q)
        return YW_FAIL;
    YW_event_set_send_callback(q, YW_EVENT_FLAG_FRW, nullptr);
    YW_event_set_recv_callback(q, YW_EVENT_FLAG_FRW, nullptr);
    q->flags_wait.store(YW_EVENT_FLAG_FRW);
    __atomic_store_n(&YW_g_frw_fsmEventControl.fsm_task, nullptr, __ATOMIC_RELEASE);
    return YW_SUCCESS;
}

YW_ret_t YW_frw_fsm_start(void)
{
    // The handle is stored before the thread runs, so its first wait finds it.
    YW_ret_t r = YW_P_createThread("frw_fsm", 0, 50, YW_FRW_FSM_STACK, 0, YW_frw_fsm_main, nullptr,
                                   &YW_g_frw_fsmEventControl.fsm_task);
    std::printf("%s:%d start result=%d\n", __func__, __LINE__, (int)r);
    return r;
}

YW_ret_t YW_frw_fsm_stop(void)
{
    YW_ret_t r = YW_FAIL;
    YW_P_thread_t th = __atomic_exchange_n(&YW_g_frw_fsmEventControl.fsm_task, nullptr, __ATOMIC_ACQ_REL);
    if (th) {
        YW_P_deleteThread(th);
        r = YW_SUCCESS;
    }
    std::printf("%s:%d stop result=%d\n", __func__, __LINE__, (int)r);
    return r;
}

YW_fsm_state_t YW_frw_fsm_state(void)
{
    return __atomic_load_n(&YW_s_frw_fsm.state, __ATOMIC_ACQUIRE);
}

YW_ret_t YW_frw_fsm_sendEvent(YW_event_value_t cmd, void *data)
{
    YW_P_cancelHoldScope hold; // the event is queued or freed before a stop is acted on
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, cmd, data);
    if (!m) {
        YW_printf("%s: sending %x error=%d\n", __func__, (unsigned)cmd, (int)YW_ERR_NO_MEM);
        return YW_ERR_NO_MEM;
    }
    YW_ret_t r = YW_event_send(&YW_g_frw_fsm_event_q, m);
    if (r > 0)
        return YW_SUCCESS;
    YW_printf("%s: sending %x error=%d\n", __func__, (unsigned)cmd, (int)r);
    if (r < 0) {
        // Not queued: the message (not its data) is released here; the
        // caller keeps its data.
        YW_event_releaseEvent(m);
        return r;
    }
    return YW_SUCCESS; // queued; the framework owns message and data
}

YW_ret_t YW_frw_fsm_contextInit(void)
{
    return YW_fsm_context_init(&YW_s_frw_fsm, "frm_fsm", YW_s_frw_fsm_vectors, &YW_g_frw_fsmEventControl);
}

YW_ret_t YW_frw_fsm_dispatch(YW_event_msg_t *msg)
{
    return YW_fsm_context_run(&YW_s_frw_fsm, msg);
}

void *YW_frw_fsm_main(void *arg)
{
    (void)arg;
    YW_frw_fsm_contextInit();
    YW_frw_fsm_sendEvent(YW_FRW_CMD_CONF, nullptr);
    int timeouts = 0;
    for (;;) {
        YW_ret_t n = YW_event_wait(&YW_g_frw_fsm_event_q, YW_FRW_FSM_TIMEOUT);
        if (n < 1) {
            YW_printf("%s: time out %d\n", __func__, timeouts++);
            YW_task_showTasks(1, nullptr);
            continue;
        }
        YW_event_msg_t *msg = nullptr;
        YW_ret_t r = YW_event_recv(&YW_g_frw_fsm_event_q, YW_EVENT_FLAG_FRW, &msg);
        if (r != 0) {
            YW_printf("%s:frw recv result=%d\n", __func__, (int)r);
            continue;
        }
        YW_frw_fsm_dispatch(msg); // an event without a row is dropped
        YW_event_releaseEvent(msg);
    }
    return nullptr;
}

// ---- handlers ------------------------------------------------------------------------

YW_fsm_state_t YW_frw_fsm_handleCfgCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_IDLE)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_frw_fsmEventControl_t *ctrl = static_cast<YW_frw_fsmEventControl_t *>(ctx->priv);
    YW_ret_t r = YW_loadFrameworkConfig(ctrl ? ctrl->config : nullptr);
    if (r == YW_SUCCESS) {
        YW_g_logEventControl.log_config = YW_frw_cfg_findServiceManageCfg(YW_LOG_LSM_TAG);
        YW_frw_cfg_element_t *e = YW_frw_cfg_findServiceManageCfg("taskConf");
        YW_ret_t tr = YW_loadTaskServiceManageConfig(e, &YW_g_tsm_cfg);
        std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)tr);
        yw_frw_loadSection("dymConf", YW_loadDyModuleServiceManageConfig, &YW_g_dym_dsm_cfg);
        yw_frw_loadSection("resourceConf", YW_loadSyncServiceManageConfig, &YW_g_sync_ssm_cfg);
        yw_frw_loadSection("timerConf", YW_loadTimerServiceManageConfig, &YW_g_timer_tsm_cfg);
        static YW_ipc_ism_cfg_t ipcMngCfg;
        r = YW_loadIpcServiceManageConfig(YW_frw_cfg_findServiceManageCfg("ipcConf"), &ipcMngCfg);
        std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)r);
    }
    if (r >= 0)
        r = YW_task_createInitialFrameworkTasks();
    std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)r);
    if (r == YW_SUCCESS) {
        YW_frw_fsm_sendEvent(YW_FRW_CMD_INIT, nullptr);
        return YW_FRW_FSM_STATE_CONF;
    }
    std::printf("%s:%d frw fsm config faile error = %d\n", __func__, __LINE__, (int)r);
    return YW_FRW_FSM_STATE_IDLE;
}

YW_fsm_state_t YW_frw_fsm_handleInitCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_CONF)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_ret_t r = YW_startLogService();
    if (r != YW_SUCCESS)
        std::printf("%s:%d can't start log service error = %d\n", __func__, __LINE__, (int)r);
    r = YW_startTaskServiceManage();
    if (r != YW_SUCCESS)
        std::printf("%s:%d can't start task service error = %d\n", __func__, __LINE__, (int)r);
    yw_frw_fsm_startService(YW_startDyModuleService, "dymodule", dyModuleServiceStarted);
    yw_frw_fsm_startService(YW_startSyncService, "sync", syncServiceStarted);
    yw_frw_fsm_startService(YW_startTimerService, "timer", timerServiceStarted);
    yw_frw_fsm_startService(YW_startIpcService, "IPC", ipcServiceStarted);
    return YW_FRW_FSM_STATE_INIT;
}

YW_fsm_state_t YW_frw_fsm_handleInitEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_INIT)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_frw_fsm_sendEvent(YW_FRW_CMD_SYNC, nullptr);
    return YW_FRW_FSM_STATE_INIT;
}

YW_fsm_state_t YW_frw_fsm_handleSyncCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_INIT)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_ret_t r = YW_startSync();
    if (r != YW_SUCCESS)
        std::printf("%s:%d can't start sync service error = %d\n", __func__, __LINE__, (int)r);
    return YW_FRW_FSM_STATE_SYNC;
}

YW_fsm_state_t YW_frw_fsm_handleSyncEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_SYNC)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_ret_t r = YW_startApplication();
    if (r != YW_SUCCESS)
        std::printf("%s:%d can't start application error = %d\n", __func__, __LINE__, (int)r);
    return YW_FRW_FSM_STATE_NORM;
}

YW_fsm_state_t YW_frw_fsm_handleShdnCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (!yw_frw_fsm_stateIn(ctx->state, {YW_FRW_FSM_STATE_CONF, YW_FRW_FSM_STATE_INIT, YW_FRW_FSM_STATE_SYNC,
                                         YW_FRW_FSM_STATE_NORM}))
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    return YW_FRW_FSM_STATE_SHDN;
}

YW_fsm_state_t YW_frw_fsm_handleShdnEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_SHDN)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    return YW_FRW_FSM_STATE_IDLE;
}

YW_fsm_state_t YW_frw_fsm_handleRestCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_NORM)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    return YW_FRW_FSM_STATE_REST;
}

YW_fsm_state_t YW_frw_fsm_handleRestEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_FRW_FSM_STATE_REST)
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_frw_fsm_sendEvent(YW_FRW_CMD_CONF, nullptr);
    return YW_FRW_FSM_STATE_IDLE;
}

YW_fsm_state_t YW_frw_fsm_handleToutEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (!yw_frw_fsm_stateIn(ctx->state, {YW_FRW_FSM_STATE_INIT, YW_FRW_FSM_STATE_SYNC, YW_FRW_FSM_STATE_SHDN,
                                         YW_FRW_FSM_STATE_REST}))
        return yw_frw_fsm_invalid(__func__, __LINE__, ctx, emsg);
    return ctx->state;
}

YW_fsm_state_t YW_frw_fsm_handleSschEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    YW_fsm_context_t *d = reinterpret_cast<YW_fsm_context_t *>(emsg->data);
    if (!d) {
        YW_printf("%s: fsm null\n", __func__);
        return ctx->state;
    }
    emsg->data = nullptr; // the copy is released here, once
    const char *name = d->name ? d->name : "";
    YW_printf("%s: fsm %s state change %d to %d\n", __func__, name, (int)d->prev_state, (int)d->state);
    if (std::strcmp(name, "lsm_fsm") == 0 && d->state == 3) {
        YW_printf("LSM enter normal...\n");
        YW_frw_fsm_sendEvent(YW_FRW_EVT_INIT, nullptr);
    } else if (std::strcmp(name, "dsm_fsm") == 0 && d->state == 0 && !dyModuleServiceStarted) {
        YW_ret_t r = YW_dym_dsm_sendEvent(YW_DYM_DSM_CMD_START, nullptr);
        std::printf("%s:%d start dymodule service error = %d\n", __func__, __LINE__, (int)r);
        if (r == YW_SUCCESS)
            dyModuleServiceStarted = 1;
    }
    if (--d->refCount <= 0)
        YW_free(d);
    return ctx->state;
}

YW_fsm_state_t YW_frw_fsm_handleIerrEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    (void)ctx;
    std::printf("framework Internal error = %d\n", (int)(intptr_t)emsg->data);
    return YW_FRW_FSM_STATE_IERR;
}

} /* extern "C" */
