// Timer entities: creation, start, stop and deletion of the 128 timer slots,
// the expiry of an OS timer and the task every timer with a handler runs.
//
// Lifetimes:
//   - A slot belongs to whoever holds the timer table lock. Its generation
//     changes whenever it is claimed or freed; the OS timer carries the slot
//     and the generation as its user id, so an expiry that arrives for a
//     deleted or re-made timer finds another generation and is dropped.
//   - A timer's task id names its task only while that task exists: it is
//     YW_TIMER_NO_TASK before the task is made, after a failed creation and
//     again when the task ends (its entry resets it on the way out, also when
//     the task is stopped in its wait). Deleting a timer only stops a task
//     whose configuration still names this timer, so it never stops a task
//     that took over the slot.
//   - Lock order: timer table lock, then the task table and slot locks, then
//     the OS layer's timer lock.
#include <cstdio>
#include <cstring>

#include "../task/yw_task_int.h"
#include "frw/yw_svc_cfg.h"
#include "log/yw_log.h"
#include "osa/yw_osa_guard.h"
#include "timer/yw_timer.h"
#include "timer/yw_timer_tsm.h"

extern "C" {
YW_timer_t YW_g_timer[YW_TIMER_MAX];
}

namespace {

YW_P_mutex_t yw_timer_lock()
{
    return YW_g_timer_tsm_ctx.lock;
}

bool yw_timer_isStatic(const YW_timer_cfg_t *cfg)
{
    return cfg >= &YW_g_timer_cfg[0] && cfg < &YW_g_timer_cfg[YW_TIMER_MAX];
}

// A caller's configuration is copied with its name (the handler name is
// shared).
YW_timer_cfg_t *yw_timer_cfgCopy(const YW_timer_cfg_t *cfg)
{
    return YW_svc_cfgCopy(cfg, {&YW_timer_cfg_t::name});
}

void yw_timer_cfgFree(YW_timer_cfg_t *cfg)
{
    if (!yw_timer_isStatic(cfg))
        YW_svc_cfgFree(cfg, {&YW_timer_cfg_t::name});
}

// The slot's OS timer goes; timer lock held.
void yw_timer_dropSource(YW_timer_t *t)
{
    if (t->timer_source.id && t->timer_source.Delete)
        t->timer_source.Delete(t->timer_source.id);
    t->timer_source.id = nullptr;
}

// Stops a started timer; timer lock held.
YW_ret_t yw_timer_stopLocked(YW_timer_t *t)
{
    if (!(t->status.state & YW_TIMER_STATE_STARTED))
        return YW_ERR_AGAIN;
    YW_ret_t r = YW_ERR_ENTITY_NULL;
    if (t->timer_source.Stop) {
        r = t->timer_source.Stop(t->timer_source.id);
        t->timer_source.id = nullptr;
    }
    t->status.state &= ~YW_TIMER_STATE_STARTED;
    return r;
}

// True when task slot `tid` still holds the task made for timer `t` (a task
// that ended by a fault could not reset the timer's task id). Task table
// lock held.
bool yw_timer_ownsTask(const YW_timer_t *t, YW_task_id_t tid)
{
    const YW_task_t *task = YW_task_get(tid);
    return task && task->cfg && !(task->status.state & YW_TASK_STATE_STOPPING) && task->cfg->priv == t &&
           (task->cfg->category & YW_TASK_CAT_TMR);
}

// Ends the timer's task, when it still has one: stops it when it runs, else
// deletes it. A task that has ended (or a slot that another task took over)
// is left alone. Timer lock held; the stop is finished by the caller once
// the timer lock is given back (the ending task takes it on its way out).
yw_task_stopToken yw_timer_endTask(YW_timer_t *t)
{
    YW_task_id_t tid = t->task_id;
    t->task_id = YW_TIMER_NO_TASK;
    if (tid >= YW_TASK_MAX)
        return {};
    YW_task_lockGuard lk; // recursive: held across the check and the stop
    if (!yw_timer_ownsTask(t, tid))
        return {};
    YW_task_t *task = YW_task_get(tid);
    if (task->status.state & YW_TASK_STATE_BUSY)
        return yw_task_stopLocked(task);
    YW_deleteTask(tid); // created, never started: no thread to wait for
    return {};
}

// Resolves a handler name in the running executable, as a task entry is
// resolved: null when absent or when it names the process's start-up.
YW_timer_handler_t yw_timer_resolve(const char *name)
{
    return reinterpret_cast<YW_timer_handler_t>(reinterpret_cast<void *>(yw_task_resolve(name)));
}

// Makes and starts the task of a timer that names a handler; the OS timer is
// dropped when that fails. Runs without the timer lock (the symbol lookup
// reads the executable); `gen` is the generation the slot was claimed with
// and `cfg` the caller's configuration (the slot's copy may go meanwhile).
YW_ret_t yw_timer_makeTask(YW_timer_t *t, YW_uint32_t gen, const YW_timer_cfg_t *cfg)
{
    // A handler that is not in the executable leaves a task that only counts
    // the expiries.
    YW_timer_handler_t fn = yw_timer_resolve(cfg->handler);
    if (!fn)
        std::printf("%s:%d no handler %s in the executable for timer %s: expiries are only counted\n",
                    "YW_createTimer", __LINE__, cfg->handler, cfg->name ? cfg->name : "NULL");
    YW_ret_t r = YW_SUCCESS;
    YW_task_id_t tid = YW_TIMER_NO_TASK;
    {
        YW_task_cfg_t tc{};
        tc.name = cfg->name;
        tc.entry_name = const_cast<char *>("YW_timer_tse_main");
        tc.category = YW_TASK_CAT_FRW | YW_TASK_CAT_TMR;
        tc.policy = cfg->policy;
        tc.priority = cfg->priority;
        tc.cpu_no = cfg->cpu_no;
        tc.core_mask = cfg->core_mask;
        tc.process_no = cfg->process_no;
        tc.stack_size = cfg->stack_size;
        tc.use_flag = 0;
        tc.priv = t;
        r = YW_createTask(&tc, &tid);
        if (r == YW_SUCCESS) {
            YW_task_lockGuard lk;
            const YW_task_t *task = YW_task_get(tid);
            if (!task || !task->cfg || task->cfg->priv != t) {
                // A task of that name exists already and is not this timer's.
                r = YW_ERR_TASK_CFG_AGAIN;
                tid = YW_TIMER_NO_TASK;
            }
        }
    }
    // Started under the timer lock, so a deletion of the timer cannot free
    // the task's slot in between; the new task waits for the lock before it
    // looks at its timer.
    YW_P_mutexGuard lk(yw_timer_lock());
    if (t->generation != gen) {
        // Deleted while its task was made: the task goes too.
        if (r == YW_SUCCESS)
            YW_deleteTask(tid);
        return YW_ERR_STATE;
    }
    if (r != YW_SUCCESS) {
        yw_timer_dropSource(t);
        return r;
    }
    t->task_id = tid;
    t->handler_fn = fn;
    YW_startTask(tid, t); // its result is not the creation's
    return r;
}

// Resets the timer's task id when its task ends, however it ends.
struct yw_timer_taskEndGuard {
    YW_timer_t *t;
    YW_uint32_t gen;
    YW_task_id_t self;
    ~yw_timer_taskEndGuard() noexcept(false)
    {
        YW_P_mutexGuard lk(yw_timer_lock());
        if (t->generation == gen && t->task_id == self)
            t->task_id = YW_TIMER_NO_TASK;
    }
};

} // namespace

extern "C" {

YW_ret_t YW_createTimer(YW_timer_cfg_t *cfg, YW_timer_id_t *id)
{
    // The timer and its task are made whole before a stop of the calling
    // task is acted on (at the return).
    YW_P_cancelHoldScope hold;
    YW_ret_t r = YW_SUCCESS;
    YW_timer_t *t = nullptr;
    YW_uint32_t gen = 0;
    if (!cfg)
        r = YW_ERR_CFG_NULL;
    if (r == YW_SUCCESS) {
        YW_P_mutexGuard lk(yw_timer_lock());
        for (YW_timer_id_t i = 0; i < YW_TIMER_MAX; ++i) {
            if (YW_g_timer[i].cfg && YW_timer_cfg_equal(YW_g_timer[i].cfg, cfg)) {
                r = YW_ERR_CFG_AGAIN;
                break;
            }
        }
        for (YW_timer_id_t i = 0; r == YW_SUCCESS && i < YW_TIMER_MAX && !t; ++i)
            if (!YW_g_timer[i].cfg)
                t = &YW_g_timer[i];
        if (r == YW_SUCCESS && !t)
            r = YW_ERR_NO_FREE_TSE;
        if (t) {
            YW_timer_cfg_t *use = yw_timer_isStatic(cfg) ? cfg : yw_timer_cfgCopy(cfg);
            if (!use) {
                t = nullptr;
                r = YW_ERR_NO_MEM;
            } else {
                t->cfg = use;
                t->generation++;
                gen = t->generation;
                t->status.state = YW_TIMER_STATE_ASSIGNED;
                t->status.count = 0;
                t->task_id = YW_TIMER_NO_TASK;
                t->handler_fn = nullptr;
                t->timer_source = YW_timer_source_t{};
                if (use->sourceType == YW_TIMER_SOURCE_SYS) {
                    t->timer_source.Create = YW_P_createTimer;
                    t->timer_source.Delete = YW_P_deleteTimer;
                    t->timer_source.Start = YW_P_startTimer;
                    t->timer_source.Stop = YW_P_stopTimer;
                    t->timer_source.OnTimerExpired = YW_timer_onSysTimerExpired;
                    r = t->timer_source.Create(YW_timer_userid(t->timer_id, gen), &t->timer_source.id,
                                               YW_timer_onSysTimerExpired);
                    std::printf("%s:%d timer %d source %x\n", __func__, __LINE__, (int)t->timer_id,
                                (unsigned)(uintptr_t)t->timer_source.id);
                }
            }
        }
    }
    if (r == YW_SUCCESS) {
        if (id)
            *id = t->timer_id;
        // The caller's configuration, not the slot's: once the lock is gone
        // the timer may be deleted and the slot's copy freed.
        if (cfg->handler)
            r = yw_timer_makeTask(t, gen, cfg);
    }
    yw_count_inc(r == YW_SUCCESS ? YW_g_timer_tsm_ctx.status.ntimers : YW_g_timer_tsm_ctx.status.ntimerCreateFail);
    if (r != YW_SUCCESS)
        std::printf("%s:%d error = %d for %s\n", __func__, __LINE__, (int)r, (cfg && cfg->name) ? cfg->name : "NULL");
    return r;
}

YW_ret_t YW_deleteTimer(YW_timer_id_t id)
{
    YW_P_giveBackScope giveBack; // made from destructors: no stop place
    if (id >= YW_TIMER_MAX)
        return YW_SUCCESS;
    YW_timer_t *t = &YW_g_timer[id];
    yw_task_stopToken tok;
    {
        YW_P_mutexGuard lk(yw_timer_lock());
        if (t->status.state != YW_TIMER_STATE_ASSIGNED)
            return YW_ERR_STATE;
        yw_timer_dropSource(t);
        tok = yw_timer_endTask(t);
        yw_timer_cfgFree(t->cfg);
        t->cfg = nullptr;
        t->status = YW_timer_status_t{};
        t->handler_fn = nullptr;
        t->generation++;
        YW_svc_countDec(YW_g_timer_tsm_ctx.status.ntimers);
    }
    // The timer is gone either way; a task that could not be ended within
    // the bound (its slot still listed as stopping) is reported.
    return yw_task_stopFinish(tok) ? YW_SUCCESS : YW_ERR_TIMEOUT;
}

YW_ret_t YW_inqTimer(YW_timer_id_t id, YW_timer_status_t *status)
{
    if (id >= YW_TIMER_MAX || !status)
        return YW_FAIL;
    YW_P_mutexGuard lk(yw_timer_lock());
    *status = YW_g_timer[id].status;
    return YW_SUCCESS;
}

YW_ret_t YW_startTimer(YW_timer_id_t id)
{
    if (id >= YW_TIMER_MAX)
        return YW_ERR_ENTITY_NULL;
    YW_timer_t *t = &YW_g_timer[id];
    YW_P_mutexGuard lk(yw_timer_lock());
    std::printf("%s:%d timer %d source %x\n", __func__, __LINE__, (int)id, (unsigned)(uintptr_t)t->timer_source.id);
    if (!t->cfg || !t->timer_source.Start)
        return YW_ERR_ENTITY_NULL;
    YW_ret_t r = t->timer_source.Start(t->timer_source.id, (YW_int64_t)t->cfg->interval);
    if (r == YW_SUCCESS)
        t->status.state |= YW_TIMER_STATE_STARTED;
    return r;
}

YW_ret_t YW_stopTimer(YW_timer_id_t id)
{
    YW_P_giveBackScope giveBack; // made from destructors: no stop place
    if (id >= YW_TIMER_MAX)
        return YW_ERR_ENTITY_NULL;
    YW_P_mutexGuard lk(yw_timer_lock());
    return yw_timer_stopLocked(&YW_g_timer[id]);
}

void YW_timer_onSysTimerExpired(int userid)
{
    YW_timer_id_t id = (YW_timer_id_t)userid & 0x7Fu;
    YW_uint32_t gen = ((YW_uint32_t)userid >> 7) & 0xFFFFFFu;
    std::printf("%s:%d timer id %d\n", __func__, __LINE__, (int)id);
    YW_timer_t *t = &YW_g_timer[id];
    YW_P_mutexGuard lk(yw_timer_lock());
    if (!t->cfg || (t->generation & 0xFFFFFFu) != gen || !(t->status.state & YW_TIMER_STATE_STARTED))
        return; // a late expiry of a stopped, deleted or re-made timer
    if (t->task_id < YW_TASK_MAX) {
        YW_task_lockGuard tl; // the slot stays this timer's task while the event goes in
        if (!yw_timer_ownsTask(t, t->task_id)) {
            t->task_id = YW_TIMER_NO_TASK;
        } else {
            YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_TMR, id, nullptr);
            YW_ret_t r = m ? YW_task_sendEventMsg(t->task_id, m) : YW_ERR_NO_MEM;
            if (m && r < 0)
                YW_event_releaseEvent(m);
            std::printf("%s:%d send timeout event to %s result=%d\n", __func__, __LINE__,
                        t->cfg->name ? t->cfg->name : "NULL", (int)r);
        }
    }
    YW_int64_t repeat = t->cfg->repeat;
    if (repeat > 0) {
        t->status.count++;
        if (t->status.count != repeat)
            t->timer_source.Start(t->timer_source.id, (YW_int64_t)t->cfg->interval);
    } else if (repeat < 0) {
        t->timer_source.Start(t->timer_source.id, (YW_int64_t)t->cfg->interval);
    }
}

void *YW_timer_tse_main(void *arg)
{
    auto *t = static_cast<YW_timer_t *>(arg);
    if (t < &YW_g_timer[0] || t >= &YW_g_timer[YW_TIMER_MAX])
        return nullptr;
    YW_task_id_t self = YW_getTaskID();
    YW_uint32_t gen;
    YW_int64_t repeat;
    YW_timer_handler_t fn;
    YW_timer_id_t tmid = t->timer_id;
    {
        YW_P_mutexGuard lk(yw_timer_lock());
        if (!t->cfg || t->task_id != self)
            return nullptr; // the timer went before its task ran
        gen = t->generation;
        repeat = t->cfg->repeat;
        fn = t->handler_fn;
    }
    yw_timer_taskEndGuard endGuard{t, gen, self};
    YW_registerTaskEventFlag(self, YW_EVENT_FLAG_TMR);
    YW_int64_t remaining = repeat;
    bool done = false;
    while (!done) {
        std::printf("%s:%d wait %d %d \n", __func__, __LINE__, (int)repeat, (int)remaining);
        YW_ret_t n = YW_waitTaskEventTime(self, nullptr, -1);
        if (n < 0) {
            std::printf("%s:%d result %d\n", __func__, __LINE__, (int)n);
            if (n != YW_ERR_TIMEOUT)
                break; // the queue is gone: nothing will come
            continue;
        }
        YW_event_msg_t *m = nullptr;
        // A handler that deleted its own timer from a destructor ended the
        // task (its id is gone): no more calls, it ends at the wait.
        while (!done && YW_getTaskID() == self && YW_recvTaskEvent(self, YW_EVENT_FLAG_TMR, &m) == 0) {
            YW_event_releaseEvent(m);
            if (fn)
                fn(tmid);
            if (repeat > 0 && --remaining == 0)
                done = true;
            std::printf("%s:%d repeat %d %d \n", __func__, __LINE__, (int)repeat, (int)remaining);
        }
    }
    {
        YW_P_mutexGuard lk(yw_timer_lock());
        if (t->generation == gen)
            yw_timer_stopLocked(t);
    }
    std::printf("%s:%d END %d %d \n", __func__, __LINE__, (int)repeat, (int)remaining);
    return nullptr;
}

} /* extern "C" */
