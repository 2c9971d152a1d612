// Log service manager ("LSM"): brings the logging service up under a
// five-state machine on its own task, starts the log receiver task and
// reports each of its state changes to the framework.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "frw/yw_frw_cfg.h"
#include "frw/yw_frw_fsm.h"
#include "frw/yw_svc_mng.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

/* LSM states and events (flag YW_EVENT_FLAG_LSE). */
enum {
    YW_LOG_LSM_STATE_IDLE = 0,
    YW_LOG_LSM_STATE_CONF = 1,
    YW_LOG_LSM_STATE_INIT = 2,
    YW_LOG_LSM_STATE_NORM = 3,
    YW_LOG_LSM_STATE_TERM = 4
};
enum { YW_LOG_CMD_CONF = 0, YW_LOG_CMD_START = 1, YW_LOG_CMD_STOP = 2, YW_LOG_EVT_READY = 3, YW_LOG_EVT_TERM = 4 };

#define YW_LOG_LSM_TIMEOUT 2000000000LL

extern "C" {

YW_ret_t YW_log_lsm_sendEvent(YW_event_value_t value, void *data);
YW_ret_t YW_log_lsm_start(void);
YW_ret_t YW_log_lsm_ready(void);
YW_ret_t YW_log_lsm_stop(void);
YW_ret_t YW_log_lsm_createTask(void);
void *YW_log_lse_entry(void *arg);
YW_fsm_state_t YW_log_lsm_handleCfgCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_log_lsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_log_lsm_handleReadyEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_log_lsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_log_lsm_handleTermEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

YW_fsm_context_t YW_s_log_lsm_fsm;

const YW_fsm_vector_t YW_s_log_lsm_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_LSE, YW_LOG_CMD_CONF), YW_log_lsm_handleCfgCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_LSE, YW_LOG_CMD_START), YW_log_lsm_handleStartCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_LSE, YW_LOG_EVT_READY), YW_log_lsm_handleReadyEvt},
    {YW_EVENT_ID(YW_EVENT_FLAG_LSE, YW_LOG_CMD_STOP), YW_log_lsm_handleStopCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_LSE, YW_LOG_EVT_TERM), YW_log_lsm_handleTermEvt},
    YW_FSM_VECTOR_NULL,
};

} // extern "C"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr YW_int64_t YW_LOG_TASK_STACK = CONFIG_YW_STACKSIZE * 8; // instrumented frames are larger
#else
constexpr YW_int64_t YW_LOG_TASK_STACK = CONFIG_YW_STACKSIZE;
#endif

std::atomic_ref<YW_P_thread_t> yw_lsm_handle(YW_P_thread_t &h)
{
    return std::atomic_ref<YW_P_thread_t>(h);
}

std::atomic_ref<int> yw_lsm_status()
{
    return std::atomic_ref<int>(YW_g_logServiceStatus.status);
}

// Starts the task of a log service thread: a configured task with the entry
// when there is one, else a built-in task configuration, else a plain thread.
YW_ret_t yw_log_startTask(const char *taskName, const char *entryName, YW_task_entry_t entry,
                          const char *threadName, YW_P_thread_t &handle, const char *createLine,
                          const char *startLine, const char *defaultLine)
{
    YW_task_id_t id = YW_task_tsm_findTaskIdByEntry(entry);
    if (id >= YW_TASK_MAX) {
        YW_task_cfg_t cfg{};
        cfg.name = const_cast<char *>(taskName);
        cfg.entry_name = const_cast<char *>(entryName);
        cfg.category = YW_TASK_CAT_FRW | YW_TASK_CAT_INI;
        cfg.policy = 0;
        cfg.priority = 50;
        cfg.cpu_no = 0;
        cfg.core_mask = 1;
        cfg.process_no = 0;
        cfg.stack_size = YW_LOG_TASK_STACK;
        YW_ret_t r = YW_createTask(&cfg, &id);
        if (r != YW_SUCCESS) {
            std::printf(createLine, "YW_log_lsm_createTask", __LINE__, (int)r);
            id = YW_TASK_ID_NONE;
        }
    }
    YW_ret_t r;
    if (id >= YW_TASK_MAX) {
        YW_P_thread_t th = nullptr;
        r = YW_P_createThread(threadName, 0, 50, YW_LOG_TASK_STACK, 0, entry, &YW_g_logEventControl, &th);
        if (r == YW_SUCCESS)
            yw_lsm_handle(handle).store(th);
        std::printf(defaultLine, "YW_log_lsm_createTask", __LINE__, (int)r);
        return r;
    }
    // The task found or created runs `entry`: it was found by that entry or
    // resolved from its name.
    r = YW_startTask(id, &YW_g_logEventControl);
    std::printf(startLine, "YW_log_lsm_createTask", __LINE__, (int)r);
    YW_P_thread_t th = r == YW_SUCCESS ? YW_task_tse_getThread(id) : nullptr;
    if (th)
        yw_lsm_handle(handle).store(th); // the new thread's, not an ended one's
    return r;
}

YW_fsm_state_t yw_lsm_invalid(const char *func, int line, YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    std::printf("%s:%d invalid cmd %x at state %d\n", func, line, (unsigned)emsg->id.p.value, (int)ctx->state);
    return ctx->state;
}

} // namespace

extern "C" {

YW_ret_t YW_log_lsm_sendEvent(YW_event_value_t value, void *data)
{
    YW_P_cancelHoldScope hold; // the event is queued or freed before a stop is acted on
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_LSE, value, data);
    if (!m) {
        std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)YW_ERR_NO_MEM);
        return YW_ERR_NO_MEM;
    }
    YW_ret_t r = YW_event_send(&YW_g_lsm_event_q, m);
    if (r > 0)
        return YW_SUCCESS;
    if (r < 0) {
        std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)r);
        YW_event_releaseEvent(m); // not queued
        return r;
    }
    return YW_SUCCESS; // queued; the LSM finds it on its next wait
}

YW_ret_t YW_log_lsm_start(void)
{
    return YW_log_lsm_sendEvent(YW_LOG_CMD_CONF, nullptr);
}

YW_ret_t YW_log_lsm_ready(void)
{
    return YW_log_lsm_sendEvent(YW_LOG_EVT_READY, nullptr);
}

YW_ret_t YW_log_lsm_stop(void)
{
    return YW_log_lsm_sendEvent(YW_LOG_CMD_STOP, nullptr);
}

YW_ret_t YW_log_lsm_createTask(void)
{
    return yw_log_startTask("LSM", "YW_log_lsm_main", YW_log_lsm_main, "lsm", YW_g_logEventControl.lsm_task,
                            "%s:%d create lsm task error=%d\n", "%s:%d start lsm task result=%d\n",
                            "%s:%d start default lsm thread result=%d\n");
}

YW_ret_t YW_log_lse_startReceiver(void)
{
    return yw_log_startTask("LSE_RECEIVER", "YW_log_lse_main", YW_log_lse_main, "lse_receiver",
                            YW_g_logEventControl.lse_recv_task, "%s:%d create lse task error=%d\n",
                            "%s:%d start lse task result=%d\n", "%s:%d start default lsm thread result=%d\n");
}

YW_ret_t YW_startLogService(void)
{
    YW_ret_t r = YW_log_init();
    if (yw_lsm_status().load() & YW_LOG_STATUS_STARTED)
        return r;
    if (r != YW_SUCCESS)
        return r;
    r = YW_log_lsm_createTask();
    if (r == YW_SUCCESS)
        r = YW_log_lsm_start();
    if (r == YW_SUCCESS)
        yw_lsm_status().fetch_or(YW_LOG_STATUS_STARTED);
    return r;
}

YW_ret_t YW_shutdownLogService(void)
{
    if (!(yw_lsm_status().load() & YW_LOG_STATUS_STARTED))
        return YW_SUCCESS;
    YW_ret_t r = YW_log_lsm_stop();
    if (r == YW_SUCCESS)
        yw_lsm_status().fetch_and(~YW_LOG_STATUS_STARTED);
    return r;
}

YW_ret_t YW_inqLogService(YW_logServiceStatus_t *status)
{
    if (!status)
        return YW_FAIL;
    status->status = yw_lsm_status().load();
    status->logRecordCount = YW_g_logServiceStatus.logRecordCount;
    return YW_SUCCESS;
}

YW_ret_t YW_loadLogServiceConfig(YW_frw_cfg_element_t *section)
{
    if (!section)
        return YW_ERR_NO_CFG;
    YW_frw_cfg_element_t *it = nullptr;
    for (int i = 0; i < YW_LSE_MAX; ++i) {
        // Each entry is loaded from a clean state: a second load (the service
        // started again) must not add its outputs after those of the first.
        YW_log_cfg_init(&YW_g_log_cfg[i]);
        YW_ret_t r = YW_loadLogServiceEntity(section, &YW_g_log_cfg[i], &it);
        if (r != YW_SUCCESS)
            return r;
        // No more "logDef" (the walk would start over), or an entry without
        // a name: the table ends here.
        if (!it || !YW_g_log_cfg[i].name)
            break;
    }
    return YW_SUCCESS;
}

void *YW_log_lsm_main(void *ctrl)
{
    (void)ctrl;
    if (!yw_lsm_handle(YW_g_logEventControl.lsm_task).load()) {
        YW_P_thread_t th = nullptr;
        YW_P_getThreadID(&th);
        YW_P_thread_t expected = nullptr;
        yw_lsm_handle(YW_g_logEventControl.lsm_task).compare_exchange_strong(expected, th);
    }
    // The handle goes with this thread, on every way out: commands sent from
    // then on wait in the queue instead of ringing a doorbell that is gone.
    struct drop_on_exit {
        ~drop_on_exit() noexcept(false)
        {
            YW_P_thread_t self = nullptr;
            YW_P_getThreadID(&self);
            if (self)
                YW_log_lse_dropThread(&YW_g_logEventControl.lsm_task, self);
        }
    } drop;
    YW_fsm_context_t *fsm = &YW_s_log_lsm_fsm;
    YW_fsm_context_init(fsm, "lsm_fsm", YW_s_log_lsm_fsm_vectors, &YW_g_logEventControl);
    int timeouts = 0;
    while (fsm->state != YW_LOG_LSM_STATE_TERM) {
        YW_ret_t n = YW_event_wait(&YW_g_lsm_event_q, YW_LOG_LSM_TIMEOUT);
        if (n < 1) {
            // The queue was taken down (YW_log_deinit): no command can reach
            // this task any more, and waiting on it would return at once.
            if (YW_g_lsm_event_q.status.load() != YW_EVENT_Q_STATUS_NORM)
                break;
            YW_printf("%s: time out %d\n", __func__, ++timeouts);
            continue;
        }
        YW_event_msg_t *msg = nullptr;
        YW_ret_t r = YW_event_recv(&YW_g_lsm_event_q, YW_EVENT_FLAG_LSE, &msg);
        if (r != 0) {
            std::printf("%s:%d lsm recv result=%d\n", __func__, __LINE__, (int)r);
            continue;
        }
        YW_fsm_state_t before = fsm->state;
        YW_fsm_context_run(fsm, msg);
        YW_event_releaseEvent(msg);
        if (fsm->state != before)
            YW_svc_mng_reportState(fsm); // the framework owns the copy once sent
    }
    std::printf("%s:%d %s....", __func__, __LINE__, "LSM task end");
    return nullptr;
}

void *YW_log_lse_entry(void *arg)
{
    (void)arg;
    YW_task_id_t id = YW_getTaskID();
    YW_registerTaskEventFlag(id, YW_EVENT_FLAG_LSE | YW_EVENT_FLAG_FRW);
    int timeouts = 0;
    for (;;) {
        YW_waitTaskEventTime(id, nullptr, YW_LOG_LSM_TIMEOUT);
        std::printf("%s:%d time out %d\n", __func__, __LINE__, timeouts++);
    }
    return nullptr;
}

// ---- handlers ---------------------------------------------------------------------------

YW_fsm_state_t YW_log_lsm_handleCfgCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_LOG_LSM_STATE_IDLE)
        return yw_lsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_logEventControl_t *c = static_cast<YW_logEventControl_t *>(ctx->priv);
    YW_ret_t r = YW_loadLogServiceConfig(c ? c->log_config : nullptr);
    if (r != YW_SUCCESS) {
        std::printf("%s:%d lsm config fail error = %d\n", __func__, __LINE__, (int)r);
        return YW_LOG_LSM_STATE_IDLE;
    }
    YW_log_lsm_sendEvent(YW_LOG_CMD_START, nullptr);
    return YW_LOG_LSM_STATE_CONF;
}

YW_fsm_state_t YW_log_lsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_LOG_LSM_STATE_CONF)
        return yw_lsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_ret_t r = YW_log_lse_startReceiver();
    if (r != YW_SUCCESS) {
        std::printf("%s:%d lsm starting fail error = %d\n", __func__, __LINE__, (int)r);
        return YW_LOG_LSM_STATE_CONF;
    }
    YW_log_lsm_ready();
    return YW_LOG_LSM_STATE_INIT;
}

YW_fsm_state_t YW_log_lsm_handleReadyEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_LOG_LSM_STATE_INIT)
        return yw_lsm_invalid(__func__, __LINE__, ctx, emsg);
    yw_lsm_status().fetch_or(YW_LOG_STATUS_NORMAL);
    return YW_LOG_LSM_STATE_NORM;
}

YW_fsm_state_t YW_log_lsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_LOG_LSM_STATE_NORM)
        return yw_lsm_invalid(__func__, __LINE__, ctx, emsg);
    YW_ret_t r = YW_log_lse_stopReceiver();
    if (r != YW_SUCCESS) {
        std::printf("%s:%d lsm config fail error = %d\n", __func__, __LINE__, (int)r);
        return YW_LOG_LSM_STATE_NORM;
    }
    // The service leaves its normal state here: nothing sends TERM, whose
    // row would clear the status, and the LSM ends at TERM.
    yw_lsm_status().fetch_and(~YW_LOG_STATUS_NORMAL);
    return YW_LOG_LSM_STATE_TERM;
}

YW_fsm_state_t YW_log_lsm_handleTermEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    if (ctx->state != YW_LOG_LSM_STATE_TERM)
        return yw_lsm_invalid(__func__, __LINE__, ctx, emsg);
    yw_lsm_status().store(0);
    return YW_LOG_LSM_STATE_IDLE;
}

} /* extern "C" */
