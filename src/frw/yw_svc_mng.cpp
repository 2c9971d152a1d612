// The service-manager pattern, written once: the manager task's loop, the
// three row handlers, the framework-side start and shut-down, the command
// sender and the state-change report. Each service supplies a YW_svc_mng_t.
#include <cstdio>
#include <cstring>

#include "frw/yw_frw_fsm.h"
#include "frw/yw_svc_mng.h"
#include "log/yw_log.h"
#include "task/yw_task_tsm.h"

namespace {

// True when a line at `level` on log `h` reaches the log's outputs.
bool yw_svc_logAdmits(YW_log_t h, YW_uint16_t level)
{
    if (!h)
        return false;
    YW_uint16_t f = h->flags.load();
    return (f & YW_LOG_FLAG_ENABLED) && level <= h->level;
}

const char *yw_svc_tag(const YW_svc_mng_t *svc)
{
    return svc->tag ? svc->tag : "tsm";
}

// True when the machine is in `state`; else prints the invalid-command line
// with the handler's name and line (the state is kept).
bool yw_svc_accepts(const YW_fsm_context_t *ctx, const YW_event_msg_t *emsg, YW_fsm_state_t state, const char *func,
                    int line)
{
    if (ctx->state == state)
        return true;
    std::printf("%s:%d invalid cmd %d at state %d\n", func, line, (int)emsg->id.p.value, (int)ctx->state);
    return false;
}

} // namespace

extern "C" {

YW_fsm_context_t *YW_svc_mng_copyContext(const YW_fsm_context_t *ctx)
{
    if (!ctx)
        return nullptr;
    YW_fsm_context_t *d = static_cast<YW_fsm_context_t *>(YW_malloc(sizeof(YW_fsm_context_t)));
    if (!d)
        return nullptr;
    *d = *ctx;
    d->refCount = 1;
    return d;
}

YW_ret_t YW_svc_mng_reportState(const YW_fsm_context_t *ctx)
{
    YW_fsm_context_t *d = YW_svc_mng_copyContext(ctx);
    if (!d) {
        std::printf("%s:%d %s", __func__, __LINE__, "malloc fail");
        return YW_ERR_NO_MEM;
    }
    YW_ret_t r = YW_frw_fsm_sendEvent(YW_FRW_EVT_SSCH, d);
    if (r < 0)
        YW_free(d); // not queued: the copy is still ours
    return r;
}

YW_ret_t YW_svc_mng_sendEvent(const YW_svc_mng_t *svc, YW_event_value_t value, void *data)
{
    if (!svc || !svc->taskid)
        return YW_ERR_EVENTQ_NULL;
    YW_task_id_t id = __atomic_load_n(svc->taskid, __ATOMIC_ACQUIRE);
    if (id >= YW_TASK_MAX || !YW_task_tse_getTaskEventq(id))
        return YW_ERR_EVENTQ_NULL;
    YW_P_cancelHoldScope hold; // the event is queued or freed before a stop is acted on
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, value, data);
    if (!m)
        return YW_ERR_NO_MEM;
    YW_ret_t r = YW_task_sendEventMsg(id, m);
    if (r < 0) {
        YW_event_releaseEvent(m);
        return r;
    }
    return YW_SUCCESS;
}

YW_fsm_state_t YW_svc_mng_handleStart(const YW_svc_mng_t *svc, YW_fsm_context_t *ctx, YW_event_msg_t *emsg,
                                      const char *func, int line)
{
    if (!yw_svc_accepts(ctx, emsg, YW_SVC_FSM_STATE_IDLE, func, line))
        return ctx->state;
    YW_ret_t r = svc->onStart ? svc->onStart() : YW_SUCCESS;
    return r == YW_SUCCESS ? YW_SVC_FSM_STATE_ACTV : YW_SVC_FSM_STATE_IDLE;
}

YW_fsm_state_t YW_svc_mng_handleStop(const YW_svc_mng_t *svc, YW_fsm_context_t *ctx, YW_event_msg_t *emsg,
                                     const char *func, int line)
{
    if (!yw_svc_accepts(ctx, emsg, YW_SVC_FSM_STATE_ACTV, func, line))
        return ctx->state;
    YW_ret_t r = svc->onStop ? svc->onStop() : YW_SUCCESS;
    return r == YW_SUCCESS ? YW_SVC_FSM_STATE_DOWN : YW_SVC_FSM_STATE_ACTV;
}

YW_fsm_state_t YW_svc_mng_handleStateChange(const YW_svc_mng_t *svc, YW_fsm_context_t *ctx, YW_event_msg_t *emsg,
                                            const char *func, int line)
{
    if (!yw_svc_accepts(ctx, emsg, YW_SVC_FSM_STATE_ACTV, func, line))
        return ctx->state;
    if (svc->onStateChange)
        svc->onStateChange(ctx, emsg);
    return ctx->state;
}

void *YW_svc_mng_main(const YW_svc_mng_t *svc)
{
    if (!svc)
        return nullptr;
    const char *fn = svc->main_name ? svc->main_name : __func__;

    YW_ret_t r = svc->init ? svc->init() : YW_SUCCESS;
    if (r < 0)
        std::printf("%s:%d error=%d\n", fn, __LINE__, (int)r);

    YW_task_id_t self = YW_getTaskID();
    if (svc->taskid)
        __atomic_store_n(svc->taskid, self, __ATOMIC_RELEASE);

    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (svc->rcvq)
        __atomic_store_n(svc->rcvq, q, __ATOMIC_RELEASE);
    if (!q) {
        std::printf("%s:%d %s event queue null", fn, __LINE__, yw_svc_tag(svc));
    } else {
        YW_fsm_context_t *fsm = svc->fsm;
        YW_fsm_context_init(fsm, svc->fsm_name, svc->vectors, svc->priv);
        if (svc->activeWhenStarted && svc->state &&
            (__atomic_load_n(svc->state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_STARTED))
            fsm->state = YW_SVC_FSM_STATE_ACTV;
        YW_registerTaskEventFlag(self, YW_EVENT_FLAG_FRW);
        if (svc->onLoopStart)
            svc->onLoopStart(fsm);

        int timeouts = 0;
        while (fsm->state != YW_SVC_FSM_STATE_DOWN) {
            YW_int64_t slice = svc->timeout && *svc->timeout > 0 ? *svc->timeout : YW_SVC_MNG_TIMEOUT;
            YW_ret_t n = YW_event_wait(q, slice);
            if (n < 1) {
                if (yw_svc_logAdmits(YW_log_handle(YW_g_log_stdout), YW_LOG_LEVEL_INFO)) {
                    YW_printf("%s:time out %d\n", fn, timeouts);
                    timeouts++;
                }
                if (svc->onTimeout)
                    svc->onTimeout();
                continue;
            }
            YW_event_msg_t *msg = nullptr;
            YW_ret_t rr = YW_event_recv(q, YW_EVENT_FLAG_FRW, &msg);
            if (rr != 0) {
                // -1: the vector was drained by an earlier receive.
                YW_printf("%s: %s recv result=%d\n", fn, yw_svc_tag(svc), (int)rr);
                continue;
            }
            YW_fsm_context_run(fsm, msg);
            YW_event_releaseEvent(msg);
        }
        if (svc->onLoopEnd)
            svc->onLoopEnd();
    }
    if (svc->deinit)
        svc->deinit();
    return nullptr;
}

YW_ret_t YW_svc_mng_start(const YW_svc_mng_t *svc)
{
    if (!svc || !svc->state)
        return YW_FAIL;
    if (__atomic_load_n(svc->state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_STARTED)
        return YW_SUCCESS;
    YW_task_id_t id = svc->entry ? YW_task_tsm_findTaskIdByEntry(svc->entry) : YW_TASK_ID_NONE;
    if (svc->taskid)
        __atomic_store_n(svc->taskid, id, __ATOMIC_RELEASE);
    YW_ret_t r = YW_startTask(id, nullptr);
    if (r == YW_SUCCESS)
        r = YW_svc_mng_sendEvent(svc, svc->cmd_start, nullptr);
    if (r == YW_SUCCESS || svc->startedAlways)
        __atomic_fetch_or(svc->state, YW_SVC_STATE_STARTED, __ATOMIC_SEQ_CST);
    return r;
}

YW_ret_t YW_svc_mng_shutdown(const YW_svc_mng_t *svc)
{
    if (!svc || !svc->state)
        return YW_FAIL;
    if (__atomic_load_n(svc->state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_STARTED) {
        YW_ret_t r = YW_svc_mng_sendEvent(svc, svc->cmd_stop, nullptr);
        if (r != YW_SUCCESS)
            std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)r);
        if (r == YW_SUCCESS || svc->stopClearsAlways)
            __atomic_fetch_and(svc->state, ~YW_SVC_STATE_STARTED, __ATOMIC_SEQ_CST);
        return r;
    }
    if (!svc->deleteWhenIdle)
        return YW_SUCCESS;
    YW_task_id_t id = svc->entry ? YW_task_tsm_findTaskIdByEntry(svc->entry) : YW_TASK_ID_NONE;
    return YW_deleteTask(id);
}

} /* extern "C" */
