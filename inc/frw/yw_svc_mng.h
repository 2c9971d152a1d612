/*
 * Service-manager pattern shared by the task, timer, resource, module and
 * IPC services.
 *
 * Each service keeps a static manager context (status word, state-machine
 * context, the manager task's queue, its table of three rows, a 2 s wait and
 * the table mutex) and describes itself once with a YW_svc_mng_t: where its
 * fields are, its command numbers, its manager entry and the hooks that make
 * it different (start-up and shut-down work, what happens when the manager
 * loop begins or times out). The manager loop, the three row handlers, the
 * framework-side start and shut-down and the command sender are written once
 * here.
 *
 * A service plugs in with:
 *   - a descriptor (static const YW_svc_mng_t) filled with its fields/hooks,
 *   - its three row handlers, each a one-line call of the matching
 *     YW_svc_mng_handle* (so the invalid-command line names the handler),
 *   - its manager entry: return YW_svc_mng_main(&descriptor).
 */
#ifndef YW_SVC_MNG_H
#define YW_SVC_MNG_H

#include "cli/yw_cli.h"
#include "osa/yw_osa.h"
#include "osa/yw_osa_guard.h"
#include "task/yw_task.h"
#include "yw_err.h"
#include "yw_event.h"
#include "yw_fsm.h"
#include "yw_types.h"

/* Manager states common to every service. */
enum { YW_SVC_FSM_STATE_IDLE = 0, YW_SVC_FSM_STATE_ACTV = 1, YW_SVC_FSM_STATE_DOWN = 2 };

/* Bits of a service's status word. */
enum { YW_SVC_STATE_INIT = 1, YW_SVC_STATE_STARTED = 2 };

/* The manager's wait slice: 2 s. */
#define YW_SVC_MNG_TIMEOUT 2000000000LL

typedef struct yw_svc_mng {
    const char *fsm_name;  /* state-machine name ("task_tsm", "dsm_fsm", ...) */
    const char *main_name; /* the manager entry's name, used in its lines */
    const char *tag;       /* word of the queue and receive lines: "tsm", "ssm", "dsm" */
    YW_event_value_t cmd_start;
    YW_event_value_t cmd_stop;
    YW_event_value_t evt_change;
    YW_task_entry_t entry; /* the manager entry, found among the configured tasks */

    /* The service's own fields. */
    int *state;                      /* status word: YW_SVC_STATE_* bits */
    YW_fsm_context_t *fsm;           /* static state-machine context */
    const YW_fsm_vector_t *vectors;  /* its three rows and the end row */
    YW_event_q_t **rcvq;             /* the manager task's queue */
    YW_int64_t *timeout;             /* wait slice in nanoseconds */
    YW_task_id_t *taskid;            /* the manager task's id */
    void *priv;                      /* the service context: the machine's user data */

    /* Behaviour. */
    YW_ret_t (*init)(void);    /* once-only initialisation; may be null */
    YW_ret_t (*deinit)(void);  /* run when the manager loop ends; may be null */
    YW_ret_t (*onStart)(void); /* start row's work: 0 moves IDLE to ACTV */
    YW_ret_t (*onStop)(void);  /* stop row's work: 0 moves ACTV to DOWN */
    /* State-change row's work (in ACTV); may be null. */
    void (*onStateChange)(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
    void (*onLoopStart)(YW_fsm_context_t *ctx); /* after the machine is set up; may be null */
    void (*onTimeout)(void);                    /* after each time-out line; may be null */
    void (*onLoopEnd)(void);                    /* after the loop, before deinit; may be null */

    int activeWhenStarted; /* the machine begins in ACTV when the started bit is already set */
    int startedAlways;     /* framework-side start sets the started bit whatever the result */
    int stopClearsAlways;  /* framework-side shut-down clears the started bit whatever the result */
    int deleteWhenIdle;    /* shut-down before start deletes the manager task */
} YW_svc_mng_t;

extern "C" {

/* The manager task's loop. Returns null; the task then ends. */
void *YW_svc_mng_main(const YW_svc_mng_t *svc);

/* Row handlers: each checks its state, runs the service's work and prints
 * "%s:%d invalid cmd %d at state %d\n" with the caller's name and line. */
YW_fsm_state_t YW_svc_mng_handleStart(const YW_svc_mng_t *svc, YW_fsm_context_t *ctx, YW_event_msg_t *emsg,
                                      const char *func, int line);
YW_fsm_state_t YW_svc_mng_handleStop(const YW_svc_mng_t *svc, YW_fsm_context_t *ctx, YW_event_msg_t *emsg,
                                     const char *func, int line);
YW_fsm_state_t YW_svc_mng_handleStateChange(const YW_svc_mng_t *svc, YW_fsm_context_t *ctx, YW_event_msg_t *emsg,
                                            const char *func, int line);

/* Sends {FRW, value} with data to the manager task's queue: 0 once queued,
 * -989 when the manager task has no queue yet, else the send's failure. */
YW_ret_t YW_svc_mng_sendEvent(const YW_svc_mng_t *svc, YW_event_value_t value, void *data);

/* Framework-side start: find the manager task by its entry, start it, send
 * the start command. Returns 0 at once when already started. */
YW_ret_t YW_svc_mng_start(const YW_svc_mng_t *svc);

/* Framework-side shut-down: send the stop command when started; otherwise
 * delete the manager task (deleteWhenIdle) or do nothing. */
YW_ret_t YW_svc_mng_shutdown(const YW_svc_mng_t *svc);

/* Heap copy of a state-machine context with reference count 1, for a state
 * change report to the framework; null when the allocation fails. */
YW_fsm_context_t *YW_svc_mng_copyContext(const YW_fsm_context_t *ctx);

/* Reports a manager's state to the framework (YW_FRW_EVT_SSCH with a copy of
 * the context). The framework's queue owns the copy once this returns 0. */
YW_ret_t YW_svc_mng_reportState(const YW_fsm_context_t *ctx);

} /* extern "C" */

/* Defines a service's C entry points over its descriptor `svc` (use inside
 * extern "C"): the command sender, the framework-side start and shut-down,
 * the manager task's entry and the three row handlers, each of which names
 * itself in the invalid-command line. */
#define YW_SVC_MNG_DEFINE_ENTRIES(svc, sendEvent, start, shutdown, mainEntry, handleStart, handleStop, handleChange) \
    YW_ret_t sendEvent(YW_event_value_t id, void *data) { return YW_svc_mng_sendEvent(&(svc), id, data); }        \
    YW_ret_t start(void) { return YW_svc_mng_start(&(svc)); }                                                    \
    YW_ret_t shutdown(void) { return YW_svc_mng_shutdown(&(svc)); }                                              \
    void *mainEntry(void *arg)                                                                                   \
    {                                                                                                            \
        (void)arg;                                                                                               \
        return YW_svc_mng_main(&(svc));                                                                          \
    }                                                                                                            \
    YW_fsm_state_t handleStart(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)                                      \
    {                                                                                                            \
        return YW_svc_mng_handleStart(&(svc), ctx, emsg, __func__, __LINE__);                                    \
    }                                                                                                            \
    YW_fsm_state_t handleStop(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)                                       \
    {                                                                                                            \
        return YW_svc_mng_handleStop(&(svc), ctx, emsg, __func__, __LINE__);                                     \
    }                                                                                                            \
    YW_fsm_state_t handleChange(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)                                     \
    {                                                                                                            \
        return YW_svc_mng_handleStateChange(&(svc), ctx, emsg, __func__, __LINE__);                              \
    }

/* Stop-row work over a table of `max` slots: del(id) for every slot whose
 * state (read by inq(id, &status)) is non-zero. 0 when every one went, or
 * none was left; else the first failure, which keeps the manager ACTV so that
 * a later stop command retries what is left. */
template <typename Status, typename Inq, typename Del> YW_ret_t YW_svc_mng_deleteAll(YW_uint32_t max, Inq inq, Del del)
{
    YW_ret_t r = YW_SUCCESS;
    for (YW_uint32_t i = 0; i < max; ++i) {
        Status st{};
        if (inq(i, &st) != YW_SUCCESS || st.state == 0)
            continue;
        YW_ret_t d = del(i);
        if (d != YW_SUCCESS && r == YW_SUCCESS)
            r = d;
    }
    return r;
}

/* First initialisation of a service's context (a record with status.state,
 * fsm, rcvq, fsm_vectors, timeout and lock, as every manager context has):
 * sets the initialised bit and the fields, creates the table mutex once (it
 * lives for the process) and makes sure the thread-id key exists. False when
 * the service was initialised already. */
template <typename Ctx> bool YW_svc_mng_initContext(Ctx &c, YW_fsm_context_t *fsm, const YW_fsm_vector_t *vectors)
{
    if (__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT)
        return false;
    __atomic_fetch_or(&c.status.state, YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    c.fsm = fsm;
    c.rcvq = nullptr;
    c.fsm_vectors = vectors;
    c.timeout = YW_SVC_MNG_TIMEOUT;
    YW_P_tableMutexOnce(&c.lock);
    YW_P_getThreadKey(nullptr, YW_THREAD_KEY_THREADID, &YW_g_threadKey_threadid);
    return true;
}

/* Leaves the initialised state: unregisters the service's command (when it
 * has one) and clears the whole status word (clearAll) or the initialised
 * bit. The table mutex stays: a command may still be running. */
template <typename Ctx> void YW_svc_mng_deinitContext(Ctx &c, const char *command, bool clearAll)
{
    if (!(__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT))
        return;
    if (command)
        YW_unregCLICmd(command);
    c.fsm = nullptr;
    if (clearAll)
        __atomic_store_n(&c.status.state, 0, __ATOMIC_SEQ_CST);
    else
        __atomic_fetch_and(&c.status.state, ~YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
}

#endif
