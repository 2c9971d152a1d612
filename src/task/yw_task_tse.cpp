// Task entities: creation, start, stop and deletion of the 128 task slots,
// the thread wrapper every task runs in, the per-task recovery from
// segmentation faults, and the task-level event calls.
//
// Lifetimes:
//   - The slot (YW_g_task[i]) belongs to whoever holds the table lock. A
//     stopped or deleted task's slot stays taken, STOPPING, until its thread
//     has ended: the thread frees it on its way out, so an old thread never
//     acts under a new task's id. The stopper waits (bounded) for that.
//   - Ending a thread: the stop asks the OS layer to end it (deferred
//     cancellation, plus the mark its framework waits end at). A task thread
//     ends at its next cancellation point (sleep, read, poll ...) or
//     framework wait, unwinding through the wrapper, whose guard releases
//     what the thread owns and frees the slot. Framework locks hold
//     cancellation off while held, so a thread is never cut inside one;
//     leaving the last hold acts on an end asked meanwhile, and so do the
//     framework calls a task may loop on without waiting. Framework tasks
//     (managers, timer tasks running their handlers) are ended the same
//     way: the calls they make (broker, communication library, transports)
//     hold cancellation off inside, or give back what they hold when cut.
//   - The thread handle: the slot holds the creator's reference, dropped
//     when the slot is freed; the running thread holds its own until it
//     ends (OS layer).
//   - The event queue is made by YW_startTask and released by the task's own
//     thread when it ends, after the channel sides opened with it are closed. Senders reach it only through the slot under the
//     slot's own lock, held for the whole send (append and doorbell); a
//     stopped slot no longer points at it, so no send is still inside when
//     the thread releases it.
//   - Locks: the table lock serialises searches and claims; each slot also
//     has a lock of its own that guards what a sender reads (queue, thread,
//     state). Whoever changes those holds both, table lock first. Senders
//     hold only the slot lock, so sends to different tasks do not meet, and
//     a task's own thread takes from its queue without any lock.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "frw/yw_frw.h"
#include "frw/yw_svc_cfg.h"
#include "ipc/yw_ipc.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"
#include "yw_task_int.h"

extern "C" {
YW_task_t YW_g_task[YW_TASK_MAX];
YW_task_cfg_t YW_g_task_cfg[YW_TASK_MAX];
YW_P_threadKey_t YW_g_threadKey_taskid;
YW_P_threadKey_t YW_g_threadKey_threadid;
}

namespace {

pthread_mutex_t yw_s_task_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// One lock per slot, for the senders (recursive: the queue's fire callback
// runs inside a send and takes it again).
struct yw_task_slotMutex {
    pthread_mutex_t m = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
};
yw_task_slotMutex yw_s_slot_mutex[YW_TASK_MAX];

// The slot lock the calling thread holds, and how often (one slot at a time).
thread_local pthread_mutex_t *yw_t_slotHeld = nullptr;
thread_local int yw_t_slotDepth = 0;

class yw_task_slotGuard {
public:
    explicit yw_task_slotGuard(const YW_task_t *task) : m_(&yw_s_slot_mutex[task - YW_g_task].m)
    {
        YW_P_cancelHoldOff();
        pthread_mutex_lock(m_);
        yw_t_slotHeld = m_;
        ++yw_t_slotDepth;
    }
    ~yw_task_slotGuard() noexcept(false)
    {
        if (--yw_t_slotDepth == 0)
            yw_t_slotHeld = nullptr;
        pthread_mutex_unlock(m_);
        YW_P_cancelAllow();
    }
    yw_task_slotGuard(const yw_task_slotGuard &) = delete;
    yw_task_slotGuard &operator=(const yw_task_slotGuard &) = delete;

private:
    pthread_mutex_t *m_;
};

// Gives back the locks a task thread still held when it faulted inside a
// framework call (the jump to its recovery point skipped their guards).
void yw_task_dropHeldLocks()
{
    while (yw_t_slotDepth > 0) {
        --yw_t_slotDepth;
        pthread_mutex_unlock(yw_t_slotHeld);
        YW_P_cancelAllow();
    }
    yw_t_slotHeld = nullptr;
    while (yw_t_tableLockDepth > 0) {
        --yw_t_tableLockDepth;
        pthread_mutex_unlock(yw_task_tableMutex());
        YW_P_cancelAllow();
    }
}

// Generation of each slot, moved on whenever a slot is freed; a stopper
// waits on the condition until the slot it stopped has moved on. Written
// with the table lock and the end lock held.
pthread_mutex_t yw_s_end_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t yw_s_end_cond = PTHREAD_COND_INITIALIZER;
YW_uint32_t yw_s_slotGen[YW_TASK_MAX];

// How long a stop waits for the stopped thread to end.
constexpr YW_int64_t YW_TASK_STOP_WAIT_NS = 5 * 1000000000LL;

// Per-thread state of a running task.
thread_local sigjmp_buf *yw_t_recover = nullptr; // armed recovery point
thread_local YW_task_t *yw_t_task = nullptr;     // the slot this thread was started for
thread_local YW_P_thread_t yw_t_self = nullptr;  // this thread's handle
thread_local YW_event_q_t *yw_t_queue = nullptr;  // this thread's own queue

// The source line as text, for a line written from a signal handler (no
// printf there).
#define YW_TASK_LINE_TEXT2(l) #l
#define YW_TASK_LINE_TEXT(l) YW_TASK_LINE_TEXT2(l)

// Room of a task name copied out of the table (longer names are cut).
constexpr size_t YW_TASK_NAME_COPY = 64;

// Size of the per-thread alternate signal stack: the fault handler runs on it
// so that a fault caused by an exhausted stack is still handled.
constexpr size_t YW_TASK_ALTSTACK_SIZE = 64 * 1024;


// Counters are read by other threads: decremented atomically, never below 0.
void yw_count_dec(YW_uint64_t &c)
{
    std::atomic_ref<YW_uint64_t> a(c);
    YW_uint64_t v = a.load();
    while (v > 0 && !a.compare_exchange_weak(v, v - 1)) {
    }
}

// The task-id thread key, created once for the process.
YW_P_threadKey_t yw_task_taskKey(YW_ret_t *result)
{
    static YW_ret_t r;
    static YW_P_threadKey_t key = [] {
        YW_P_threadKey_t k{};
        r = YW_P_getThreadKey(nullptr, YW_THREAD_KEY_TASKID, &k);
        YW_g_threadKey_taskid = k;
        return k;
    }();
    if (result)
        *result = r;
    return key;
}

// Slots whose creation failed at the symbol lookup: they keep their
// configuration (and so their place in the duplicate search) without
// ASSIGNED. Guarded by the table lock.
bool yw_s_task_noSymbol[YW_TASK_MAX];

// Resolves a task's entry name in the executable; null when it is missing.
// Functions that run the process's start-up: a task naming one would run the
// whole start-up again on its own thread, over configuration the first run
// still owns and later frees. Matched by name and by address (an alias).
static bool yw_task_isStartup(const char *entryName, void *addr)
{
    static const char *const names[] = {"main", "_start", "__libc_start_main", "YW_main_entry",
                                        "YW_frw_main", "YW_frw_init", "YW_frw_initCfg", "YW_frw_procOptions"};
    for (const char *n : names)
        if (std::strcmp(n, entryName) == 0)
            return true;
    static void *const mainAddr = [] {
        void *a = nullptr;
        return YW_P_getLocalSymbol("main", &a) == 0 ? a : nullptr;
    }();
    const void *const known[] = {mainAddr,
                                 reinterpret_cast<void *>(&YW_main_entry),
                                 reinterpret_cast<void *>(&YW_frw_main),
                                 reinterpret_cast<void *>(&YW_frw_init),
                                 reinterpret_cast<void *>(&YW_frw_initCfg),
                                 reinterpret_cast<void *>(&YW_frw_procOptions)};
    for (const void *k : known)
        if (k && k == addr)
            return true;
    return false;
}

} // namespace

YW_task_entry_t yw_task_resolve(const char *entryName)
{
    void *addr = nullptr;
    if (!entryName || YW_P_getLocalSymbol(entryName, &addr) != 0 || !addr)
        return nullptr;
    if (yw_task_isStartup(entryName, addr)) {
        std::printf("%s:%d %s is the process's start-up, refused as a task entry\n", __func__, __LINE__, entryName);
        return nullptr;
    }
    return reinterpret_cast<YW_task_entry_t>(addr);
}

namespace {

bool yw_task_isStatic(const YW_task_cfg_t *cfg)
{
    return cfg >= &YW_g_task_cfg[0] && cfg < &YW_g_task_cfg[YW_TASK_MAX];
}

// A heap copy of a configuration, names duplicated.
YW_task_cfg_t *yw_task_cfgCopy(const YW_task_cfg_t *cfg)
{
    return YW_svc_cfgCopy(cfg, {&YW_task_cfg_t::name, &YW_task_cfg_t::entry_name});
}

void yw_task_cfgFree(YW_task_cfg_t *cfg)
{
    if (cfg && !yw_task_isStatic(cfg))
        YW_svc_cfgFree(cfg, {&YW_task_cfg_t::name, &YW_task_cfg_t::entry_name});
}

const char *yw_task_name(const YW_task_t *t)
{
    return (t && t->cfg && t->cfg->name) ? t->cfg->name : "NULL";
}

// Copies a task's name (table lock held) for use after the lock is released.
struct yw_task_nameCopy {
    char text[YW_TASK_NAME_COPY] = "NULL";
    void set(const YW_task_t *t) { std::snprintf(text, sizeof text, "%s", yw_task_name(t)); }
};

// Frees a slot for good; table and slot locks held. Drops the creator's
// reference of the slot's thread (the thread itself runs on to its end
// holding its own) and wakes whoever waits for the slot.
void yw_task_releaseSlot(YW_task_t *task)
{
    yw_task_cfgFree(task->cfg);
    task->cfg = nullptr;
    task->entry = nullptr;
    task->arg = nullptr;
    task->status.state = 0;
    task->eventq = nullptr; // the task's own thread releases its queue
    YW_P_thread_t th = task->thread;
    task->thread = nullptr;
    if (th)
        YW_P_deleteThread(th); // never blocks; does not cancel the caller
    pthread_mutex_lock(&yw_s_end_mutex);
    __atomic_add_fetch(&yw_s_slotGen[task - YW_g_task], 1, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&yw_s_end_cond);
    pthread_mutex_unlock(&yw_s_end_mutex);
}

// Ends the task of a slot that holds exactly ASSIGNED (BUSY already
// cleared); table lock held. Without a thread the slot is free at once;
// with one it stays taken, STOPPING, and its thread is asked to end.
yw_task_stopToken yw_task_endLocked(YW_task_t *task)
{
    yw_task_slotGuard sl(task);
    yw_count_dec(YW_g_tsm_ctx.status.ntasks);
    if (!task->thread) {
        yw_task_releaseSlot(task);
        return {};
    }
    task->status.state = YW_TASK_STATE_STOPPING | (task->status.state & YW_TASK_STATE_EXCEPT);
    task->eventq = nullptr; // no sender reaches the queue any more
    YW_P_cancelThread(task->thread);
    yw_task_stopToken tok;
    tok.task = task;
    tok.gen = __atomic_load_n(&yw_s_slotGen[task - YW_g_task], __ATOMIC_ACQUIRE);
    tok.self = task->thread == yw_t_self;
    return tok;
}

// A task's event queue with room for its name. It is made by YW_startTask,
// before the thread exists, so that commands sent right after the start are
// queued; from then on the task's thread owns it and releases it when it
// ends, whether or not it ever ran its entry.
struct yw_task_queue {
    YW_event_q_t q;
    char name[64];
};

yw_task_queue *yw_task_queueCreate(YW_task_t *task)
{
    void *mem = YW_malloc(sizeof(yw_task_queue));
    if (!mem)
        return nullptr;
    yw_task_queue *tq = new (mem) yw_task_queue{};
    std::snprintf(tq->name, sizeof tq->name, "%s", (task->cfg && task->cfg->name) ? task->cfg->name : "");
    YW_event_q_init(&tq->q, tq->name, YW_task_tse_fire_event, YW_task_tse_wait_event, task);
    return tq;
}

void yw_task_queueRelease(yw_task_queue *tq)
{
    if (!tq)
        return;
    YW_event_q_deinit(&tq->q);
    tq->~yw_task_queue();
    YW_free(tq);
}

// True when the slot is still the one this thread was started for.
bool yw_task_ownsSlot(const YW_task_t *task)
{
    return task && yw_t_self && task->thread == yw_t_self && task->cfg;
}

// Ends the calling task thread when its task was stopped: a wait or sleep is
// where such a thread ends, whatever id it passes (YW_getTaskID gives it
// none any more).
void yw_task_endIfStopped()
{
    if (yw_t_self && yw_t_self->deleteRequest.load(std::memory_order_acquire))
        YW_P_recvThreadEvent(yw_t_self, 0, 0, 0, nullptr);
}

// True when the calling thread was started for this slot and its task has
// been stopped since: the thread runs on until its next wait, but the slot
// (and its id) may already belong to another task. Slot lock held.
bool yw_task_staleSelf(const YW_task_t *task)
{
    return yw_t_task == task && yw_t_self && task->thread != yw_t_self;
}

// Releases what a task thread owns when it ends, whichever way it ends: by
// returning from its entry, after a fault, or unwinding out of a wait once
// its task was deleted.
struct YW_task_threadGuard {
    YW_task_t *task = nullptr;
    yw_task_queue *tq = nullptr;
    void *altstack = nullptr;

    ~YW_task_threadGuard()
    {
        // Nothing here nor in the thread's last steps after it may be cut
        // by a cancel still pending (a destructor must not unwind): held
        // off for the rest of the thread's life.
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        yw_t_recover = nullptr;
        // The channel sides the task left open are closed while its queue
        // still exists and before its slot is free (a replacement task then
        // opens them again); no task lock is held here, as the channel
        // table's lock goes before the task table's.
        if (tq)
            YW_ipc_closeSidesOfQueue(&tq->q);
        if (task) {
            // Once the slot no longer names the queue (cleared here or by
            // the stop), no sender is inside it: senders hold the slot lock.
            YW_task_lockGuard lk;
            yw_task_slotGuard sl(task);
            if (tq && task->eventq == &tq->q)
                task->eventq = nullptr;
            if (yw_task_ownsSlot(task)) {
                if (task->status.state & YW_TASK_STATE_BUSY)
                    yw_task_stopLocked(task); // ended by itself
                // The thread has no task from here on; then the slot goes.
                YW_ret_t kr;
                YW_P_threadKey_t key = yw_task_taskKey(&kr);
                if (kr == 0)
                    pthread_setspecific(key, nullptr);
                yw_task_releaseSlot(task);
            }
        }
        yw_t_queue = nullptr;
        yw_task_queueRelease(tq);
        if (altstack) {
            stack_t ss{};
            ss.ss_flags = SS_DISABLE;
            sigaltstack(&ss, nullptr);
            std::free(altstack);
        }
        yw_t_task = nullptr;
    }
};

void yw_task_installSigHandler(YW_task_t *task)
{
    struct sigaction act {};
    act.sa_handler = YW_task_tse_sig_handler;
    sigemptyset(&act.sa_mask);
    sigaddset(&act.sa_mask, SIGSEGV);
    act.sa_flags = SA_NODEFER | SA_ONSTACK;
    struct sigaction old {};
    sigaction(SIGSEGV, &act, &old);
    YW_task_lockGuard lk;
    if (yw_task_ownsSlot(task)) {
        task->action_new = act;
        task->action_old = old;
    }
}

} // namespace

yw_task_stopToken yw_task_stopLocked(YW_task_t *task)
{
    {
        yw_task_slotGuard sl(task);
        task->status.state &= ~YW_TASK_STATE_BUSY;
        // a task marked by its fault is stopped all the same
        if ((task->status.state & ~YW_TASK_STATE_EXCEPT) != YW_TASK_STATE_ASSIGNED)
            return {};
        yw_count_dec(YW_g_tsm_ctx.status.ntaskStarted);
    }
    std::printf("%s:%d taskId=%d\n", "YW_deleteTask", __LINE__, (int)task->task_id);
    return yw_task_endLocked(task);
}

bool yw_task_stopFinish(const yw_task_stopToken &tok)
{
    if (!tok.task)
        return true;
    if (tok.self) {
        // A task that stops itself ends inside the call, unless the call
        // comes from a destructor: then at its next stop place after it.
        YW_P_endSelf();
        return true;
    }
    // The ending thread needs the table lock to free its slot: a caller that
    // still holds it cannot wait for that.
    if (yw_t_tableLockDepth > 0)
        return true;
    const size_t i = (size_t)(tok.task - YW_g_task);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += YW_TASK_STOP_WAIT_NS / 1000000000LL;
    YW_P_cancelHoldOff(); // the wait holds the end lock
    pthread_mutex_lock(&yw_s_end_mutex);
    bool ended = true;
    while (__atomic_load_n(&yw_s_slotGen[i], __ATOMIC_ACQUIRE) == tok.gen) {
        if (pthread_cond_clockwait(&yw_s_end_cond, &yw_s_end_mutex, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT) {
            ended = __atomic_load_n(&yw_s_slotGen[i], __ATOMIC_ACQUIRE) != tok.gen;
            break;
        }
    }
    pthread_mutex_unlock(&yw_s_end_mutex);
    YW_P_cancelAllow();
    return ended;
}

pthread_mutex_t *yw_task_tableMutex()
{
    return &yw_s_task_mutex;
}

void yw_task_clearTable()
{
    YW_task_lockGuard lk;
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        YW_task_t *t = &YW_g_task[i];
        yw_task_slotGuard sl(t);
        // A slot that still holds a task (a table cleared again after use)
        // gives back what it owns: the copied configuration, and the thread,
        // which ends at its next wait and releases its queue and record.
        if (t->cfg && t->task_id == i)
            yw_task_cfgFree(t->cfg);
        if (t->thread && t->task_id == i)
            YW_P_deleteThread(t->thread);
        pthread_mutex_lock(&yw_s_end_mutex);
        __atomic_add_fetch(&yw_s_slotGen[i], 1, __ATOMIC_RELEASE);
        pthread_cond_broadcast(&yw_s_end_cond);
        pthread_mutex_unlock(&yw_s_end_mutex);
        t->task_id = i;
        t->cfg = nullptr;
        t->entry = nullptr;
        t->arg = nullptr;
        t->status = YW_task_status_t{};
        t->eventq = nullptr;
        t->priv = nullptr;
        t->thread = nullptr;
        yw_s_task_noSymbol[i] = false;
    }
}

extern "C" {

YW_task_t *YW_task_get(YW_task_id_t id)
{
    return id < YW_TASK_MAX ? &YW_g_task[id] : nullptr;
}

int YW_task_cfg_equal(const YW_task_cfg_t *a, const YW_task_cfg_t *b)
{
    if (!a || !b)
        return 0;
    if (a == b || a->name == b->name)
        return 1;
    if (a->name && b->name && a->entry_name && b->entry_name && std::strcmp(a->name, b->name) == 0 &&
        std::strcmp(a->entry_name, b->entry_name) == 0)
        return 1;
    return 0;
}

YW_ret_t YW_createTask(YW_task_cfg_t *cfg, YW_task_id_t *id)
{
    // A slot is claimed with the caller's configuration and completed later
    // (its copy, its entry): a stop of the calling task is acted on only
    // once the slot is complete, never between (a half-made slot would keep
    // the caller's gone configuration, and every later create of it would
    // find that slot, which can neither start nor stop).
    YW_P_cancelHoldScope hold;
    YW_ret_t r = YW_SUCCESS;
    YW_task_t *task = nullptr;
    bool again = false;
    bool retry = false; // the same configuration failed at its symbol before
    bool retried = false; // ... and this call resolved it

    if (!cfg) {
        r = YW_ERR_CFG_NULL;
    } else {
        YW_task_lockGuard lk;
        for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
            YW_task_t *t = &YW_g_task[i];
            if (t->cfg && !(t->status.state & YW_TASK_STATE_STOPPING) && YW_task_cfg_equal(t->cfg, cfg)) {
                std::printf("%s:%d cfg %lx equal to %lx\n", __func__, __LINE__, (unsigned long)(uintptr_t)cfg,
                            (unsigned long)(uintptr_t)t->cfg);
                task = t;
                if (yw_s_task_noSymbol[i])
                    retry = true;
                else
                    again = true;
                r = YW_ERR_TASK_CFG_AGAIN;
                break;
            }
        }
        if (!again && !retry) {
            for (YW_task_id_t i = 0; i < YW_TASK_MAX && !task; ++i) {
                if (!YW_g_task[i].cfg) {
                    task = &YW_g_task[i];
                    yw_task_slotGuard sl(task);
                    task->cfg = cfg; // claimed
                    yw_s_task_noSymbol[i] = false;
                    task->status.state = 0;
                    task->entry = nullptr;
                    task->arg = nullptr;
                    task->thread = nullptr;
                    task->eventq = nullptr;
                }
            }
            if (!task)
                r = YW_ERR_NO_FREE_TSE;
        }
    }

    if (retry) {
        // A slot that failed at the lookup is never freed, so its
        // configuration stays; the lookup is tried again instead of
        // reporting the task that cannot run as created.
        // copied: the slot's configuration may go once the lock is released
        char entryName[YW_TASK_NAME_COPY] = "";
        {
            YW_task_lockGuard lk;
            if (task->cfg && task->cfg->entry_name)
                std::snprintf(entryName, sizeof entryName, "%s", task->cfg->entry_name);
        }
        YW_task_entry_t entry = yw_task_resolve(entryName[0] ? entryName : nullptr);
        YW_task_lockGuard lk;
        yw_task_slotGuard sl(task);
        if (!yw_s_task_noSymbol[task - YW_g_task]) {
            r = YW_SUCCESS; // resolved meanwhile by another creator
        } else if (!entry) {
            std::printf("%s:%d no symbol of %s for task %s\n", __func__, __LINE__, entryName[0] ? entryName : "NULL",
                        yw_task_name(task));
            r = YW_ERR_NO_SYMBOL;
        } else {
            task->entry = entry;
            std::printf("%s:%d task %s entry = %lx\n", __func__, __LINE__, yw_task_name(task),
                        (unsigned long)(uintptr_t)entry);
            task->status = YW_task_status_t{};
            task->status.state = YW_TASK_STATE_ASSIGNED;
            yw_s_task_noSymbol[task - YW_g_task] = false;
            retried = true;
            r = YW_SUCCESS;
        }
        if (r == YW_SUCCESS && id)
            *id = task->task_id;
    }

    if (task && !again && !retry) {
        YW_task_cfg_t *use = cfg;
        if (!yw_task_isStatic(cfg)) {
            use = yw_task_cfgCopy(cfg);
            if (!use) {
                YW_task_lockGuard lk;
                yw_task_slotGuard sl(task);
                task->cfg = nullptr;
                r = YW_ERR_NO_MEM;
            }
        }
        if (r == YW_SUCCESS) {
            YW_task_entry_t entry = yw_task_resolve(use->entry_name);
            YW_task_lockGuard lk;
            yw_task_slotGuard sl(task);
            task->cfg = use;
            if (!entry) {
                std::printf("%s:%d no symbol of %s for task %s\n", __func__, __LINE__,
                            use->entry_name ? use->entry_name : "NULL", use->name ? use->name : "NULL");
                yw_s_task_noSymbol[task - YW_g_task] = true;
                r = YW_ERR_NO_SYMBOL;
            } else {
                task->entry = entry;
                std::printf("%s:%d task %s entry = %lx\n", __func__, __LINE__, use->name ? use->name : "NULL",
                            (unsigned long)(uintptr_t)entry);
                task->status = YW_task_status_t{};
                task->status.state = YW_TASK_STATE_ASSIGNED;
                if (id)
                    *id = task->task_id;
            }
        }
    }

    // A duplicate counts as a failure, unless it created the task now.
    if (r == YW_SUCCESS && (!retry || retried))
        yw_count_inc(YW_g_tsm_ctx.status.ntasks);
    else
        yw_count_inc(YW_g_tsm_ctx.status.ntaskCreateFail);

    // The task may be stopped by another thread from here on: its name and
    // entry are copied under the lock for the lines below.
    yw_task_nameCopy nm;
    unsigned long entryAddr = 0;
    if (task) {
        YW_task_lockGuard lk;
        nm.set(task);
        entryAddr = (unsigned long)(uintptr_t)task->entry;
    }
    if (again) {
        std::printf("%s:%d task %s cfg again\n", __func__, __LINE__, nm.text);
        if (id)
            *id = task->task_id;
        r = YW_SUCCESS;
    }
    std::printf("%s:%d error = %d for %s entry=%lx\n", __func__, __LINE__, (int)r, nm.text, entryAddr);
    return r;
}

YW_ret_t YW_startTask(YW_task_id_t id, void *arg)
{
    YW_task_t *task = YW_task_get(id);
    if (!task) {
        std::printf("%s:%d taskId = %d\n", __func__, __LINE__, (int)id);
        return YW_ERR_TASK_NULL;
    }
    YW_task_lockGuard lk;
    yw_task_slotGuard sl(task);
    task->arg = arg;
    if (!task->cfg || !(task->status.state & YW_TASK_STATE_ASSIGNED) || (task->status.state & YW_TASK_STATE_BUSY))
        return YW_ERR_TASK_STATE;
    // BUSY before the thread exists: the new thread may stop itself at once
    // and must find its slot started. The thread waits for the table lock
    // before it looks at the slot, so the slot is complete when it does.
    yw_task_queue *tq = yw_task_queueCreate(task);
    if (!tq)
        return YW_ERR_NO_MEM;
    task->status.state |= YW_TASK_STATE_BUSY;
    task->eventq = &tq->q;
    const YW_task_cfg_t *c = task->cfg;
    YW_ret_t r = YW_P_createThread(c->name, c->policy, c->priority, c->stack_size, 0, YW_task_tse_entry, tq,
                                   &task->thread);
    if (r == YW_SUCCESS) {
        yw_count_inc(YW_g_tsm_ctx.status.ntaskStarted);
    } else {
        task->status.state &= ~YW_TASK_STATE_BUSY;
        task->thread = nullptr;
        task->eventq = nullptr;
        yw_task_queueRelease(tq);
    }
    return r;
}

YW_ret_t YW_stopTask(YW_task_id_t id)
{
    YW_P_giveBackScope giveBack; // made from destructors: no stop place
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    yw_task_stopToken tok;
    {
        YW_task_lockGuard lk;
        if (yw_task_staleSelf(task))
            return YW_ERR_TASK_NULL; // its own task is gone; the slot is another's
        if (!task->cfg || !(task->status.state & YW_TASK_STATE_BUSY))
            return YW_ERR_TASK_STATE;
        tok = yw_task_stopLocked(task);
    }
    // A thread that did not end within the bound: the slot stays stopping
    // (listed with S) and the caller is told.
    return yw_task_stopFinish(tok) ? YW_SUCCESS : YW_ERR_TIMEOUT;
}

YW_ret_t YW_deleteTask(YW_task_id_t id)
{
    YW_P_giveBackScope giveBack; // made from destructors: no stop place
    std::printf("%s:%d taskId=%d\n", __func__, __LINE__, (int)id);
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_FAIL;
    yw_task_stopToken tok;
    {
        YW_task_lockGuard lk;
        if (yw_task_staleSelf(task))
            return YW_FAIL; // its own task is gone; the slot is another's
        if (!task->cfg || task->status.state != YW_TASK_STATE_ASSIGNED)
            return YW_ERR_TASK_STATE;
        tok = yw_task_endLocked(task);
    }
    return yw_task_stopFinish(tok) ? YW_SUCCESS : YW_ERR_TIMEOUT;
}

YW_ret_t YW_inqTask(YW_task_id_t id, YW_task_status_t *status)
{
    YW_task_t *task = YW_task_get(id);
    if (!task || !status)
        return YW_FAIL;
    YW_task_lockGuard lk;
    *status = task->status;
    return YW_SUCCESS;
}

// Suspends or resumes the task's thread; the SUSPEND bit follows a success.
static YW_ret_t yw_task_setSuspended(YW_task_id_t id, bool suspend)
{
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    YW_task_lockGuard lk;
    yw_task_slotGuard sl(task);
    YW_ret_t r = suspend ? YW_P_suspendThread(task->thread) : YW_P_resumeThread(task->thread);
    if (r == YW_SUCCESS) {
        if (suspend)
            task->status.state |= YW_TASK_STATE_SUSPEND;
        else
            task->status.state &= ~YW_TASK_STATE_SUSPEND;
    }
    return r;
}

YW_ret_t YW_suspendTask(YW_task_id_t id)
{
    return yw_task_setSuspended(id, true);
}

YW_ret_t YW_resumeTask(YW_task_id_t id)
{
    return yw_task_setSuspended(id, false);
}

YW_ret_t YW_sleepTask(YW_task_id_t id, YW_int64_t nsec)
{
    yw_task_endIfStopped();
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    YW_P_thread_t th;
    {
        YW_task_lockGuard lk;
        th = task->thread;
    }
    // Only the task's own thread may sleep as the task; its handle is the
    // thread's own, which stays valid while it runs.
    if (th != yw_t_self)
        return YW_FAIL;
    return YW_P_sleepThread(th, nsec);
}

YW_task_id_t YW_getTaskID(void)
{
    // The key holds id + 1 so that a thread without a task (value null) is
    // told apart from task 0.
    YW_ret_t kr;
    YW_P_threadKey_t key = yw_task_taskKey(&kr);
    if (kr != 0)
        return YW_TASK_ID_NONE;
    uintptr_t v = reinterpret_cast<uintptr_t>(YW_P_getThreadValue(key));
    if (v == 0 || v > YW_TASK_MAX)
        return YW_TASK_ID_NONE;
    // A thread whose task was stopped runs on until its next wait; it has no
    // task any more, and its old slot may already hold another one.
    if (yw_t_self && yw_t_self->deleteRequest.load(std::memory_order_acquire))
        return YW_TASK_ID_NONE;
    return (YW_task_id_t)(v - 1);
}

const char *YW_getTaskName(void)
{
    // A copy of this thread's own: the configuration (a copy freed with the
    // slot) may go when another thread stops the task. Valid until the next
    // call on the same thread.
    static thread_local char name[YW_TASK_NAME_COPY];
    YW_task_t *task = YW_task_get(YW_getTaskID());
    if (!task)
        return nullptr;
    YW_task_lockGuard lk;
    if (!yw_task_ownsSlot(task) || !task->cfg->name)
        return nullptr;
    std::snprintf(name, sizeof name, "%s", task->cfg->name);
    return name;
}

YW_ret_t YW_searchTaskByName(const char *name, YW_task_id_t *id)
{
    if (!name)
        return YW_ERR_TASK_NOT_FOUND;
    YW_task_lockGuard lk;
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        const YW_task_t *t = &YW_g_task[i];
        if (t->cfg && !(t->status.state & YW_TASK_STATE_STOPPING) && t->cfg->name &&
            std::strcmp(t->cfg->name, name) == 0) {
            if (id)
                *id = i;
            return YW_SUCCESS;
        }
    }
    return YW_ERR_TASK_NOT_FOUND;
}

YW_P_thread_t YW_task_tse_getThread(YW_task_id_t id)
{
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return nullptr;
    yw_task_slotGuard sl(task);
    return task->thread;
}

// ---- event queues ---------------------------------------------------------

YW_event_q_t *YW_task_tse_getTaskEventq(YW_task_id_t id)
{
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return nullptr;
    yw_task_slotGuard sl(task);
    return task->eventq;
}

YW_event_q_t *YW_task_tse_getEventQ(void)
{
    return YW_task_tse_getTaskEventq(YW_getTaskID());
}

YW_event_q_t *YW_getTaskEventQ(void)
{
    return YW_task_tse_getEventQ();
}

static YW_ret_t yw_task_changeWaitMask(YW_task_id_t id, YW_event_flag_t flags, bool add)
{
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    yw_task_slotGuard sl(task);
    if (yw_task_staleSelf(task))
        return YW_ERR_TASK_NULL; // its own task is gone; the slot is another's
    if (!task->eventq)
        return YW_ERR_EVENTQ_NULL;
    if (add)
        task->eventq->flags_wait.fetch_or(flags);
    else
        task->eventq->flags_wait.fetch_and(~flags);
    return YW_SUCCESS;
}

YW_ret_t YW_registerTaskEventFlag(YW_task_id_t id, YW_event_flag_t flags)
{
    return yw_task_changeWaitMask(id, flags, true);
}

YW_ret_t YW_registerTaskEvent(YW_task_id_t id, YW_event_flag_t flags)
{
    return yw_task_changeWaitMask(id, flags, true);
}

YW_ret_t YW_unregisterTaskEventFlag(YW_task_id_t id, YW_event_flag_t flags)
{
    return yw_task_changeWaitMask(id, flags, false);
}

YW_ret_t YW_unregisterTaskEvent(YW_task_id_t id, YW_event_flag_t flags)
{
    return yw_task_changeWaitMask(id, flags, false);
}

// The queue of task `id` for its receiver. A task thread may only take from
// its own task's queue: once its task is deleted the slot may belong to
// another task, whose queue has a reader of its own.
static YW_event_q_t *yw_task_readerQueue(YW_task_t *task)
{
    // A task's own thread takes from the queue it owns without a lock: the
    // queue stays while the thread runs.
    if (yw_t_task == task && yw_t_queue)
        return yw_t_queue;
    yw_task_slotGuard sl(task);
    if (yw_t_self && task->thread != yw_t_self)
        return nullptr;
    return task->eventq;
}

YW_ret_t YW_waitTaskEventTime(YW_task_id_t id, YW_event_flag_t *flags, YW_int64_t nsec)
{
    // A thread whose task was deleted ends at its wait.
    yw_task_endIfStopped();
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    YW_event_q_t *q = yw_task_readerQueue(task);
    if (!q)
        return YW_ERR_EVENTQ_NULL;
    // Only the owner waits on a queue: the queue stays valid while its own
    // thread is here (the thread releases it only when it ends).
    YW_ret_t r = YW_event_wait(q, nsec);
    if (r >= 1 && flags)
        *flags = q->flags_recv.load();
    return r;
}

YW_ret_t YW_waitTaskEvent(YW_task_id_t id, YW_event_flag_t *flags)
{
    return YW_waitTaskEventTime(id, flags, -1);
}

YW_ret_t YW_recvTaskEvent(YW_task_id_t id, YW_event_flag_t flag, YW_event_msg_t **msg)
{
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    YW_event_q_t *q = yw_task_readerQueue(task);
    if (!q)
        return YW_ERR_TASK_NULL;
    return YW_event_recv(q, flag, msg);
}

YW_ret_t YW_task_sendEventMsg(YW_task_id_t id, YW_event_msg_t *emsg)
{
    YW_task_t *task = YW_task_get(id);
    if (!task)
        return YW_ERR_TASK_NULL;
    // The send (append and doorbell) runs under the slot lock so that the
    // queue cannot be released by its ending thread while the message goes
    // in.
    yw_task_slotGuard sl(task);
    if (!task->eventq)
        return YW_ERR_EVENTQ_NULL;
    return YW_event_send(task->eventq, emsg);
}

YW_ret_t YW_sendTaskEvent(YW_task_id_t id, YW_event_flag_t flag, YW_event_value_t value, void *data)
{
    // A stop of the calling task is acted on once the event is queued or
    // freed (the send's slot lock would otherwise act on it between them
    // and lose the event when the queue is already gone).
    YW_P_cancelHoldScope hold;
    YW_event_msg_t *m = YW_event_initEvent(nullptr, flag, value, data);
    if (!m)
        return YW_ERR_NO_MEM;
    YW_ret_t r = YW_task_sendEventMsg(id, m);
    if (r < 0)
        YW_event_releaseEvent(m); // not queued: still ours
    return r;
}

YW_ret_t YW_task_tse_fire_event(YW_event_q_t *q, void *arg)
{
    YW_task_t *task = q ? static_cast<YW_task_t *>(q->priv) : nullptr;
    YW_event_msg_t *m = static_cast<YW_event_msg_t *>(arg);
    if (!task)
        return YW_ERR_TASK_STATE;
    yw_task_slotGuard sl(task);
    if (!(task->status.state & YW_TASK_STATE_BUSY) || task->eventq != q || !task->thread)
        return YW_ERR_TASK_STATE;
    return YW_P_sendThreadEvent(task->thread, m ? m->id.p.flag : (YW_event_flag_t)YW_EVENT_FLAG_FRW);
}

YW_ret_t YW_task_tse_wait_event(YW_event_q_t *q, void *timeout)
{
    YW_int64_t t = timeout ? *static_cast<YW_int64_t *>(timeout) : -1;
    // A thread whose task was deleted ends here, even while messages are
    // still pending on its queue.
    if (yw_t_self && yw_t_self->deleteRequest.load(std::memory_order_acquire))
        YW_P_recvThreadEvent(yw_t_self, 0, 0, 0, nullptr);
    // A queue whose wait mask is empty never reports an event: a ring of the
    // doorbell ends the wait with 0, the time running out with -995.
    if (q && yw_t_self && q->flags_wait.load() == 0) {
        YW_ret_t r = YW_P_recvThreadEvent(yw_t_self, 0xFFFFFFFFu, 0, t, nullptr);
        return r < 0 ? r : YW_SUCCESS;
    }
    // The owner waits on its own doorbell.
    return YW_event_q_waitThread(q, yw_t_self, t);
}

// ---- the thread wrapper -----------------------------------------------------

// Calls the entry under the thread's recovery point; false when the entry
// faulted and the handler came back here. Nothing of this frame is changed
// between the recovery point and the jump back to it.
static bool yw_task_runEntry(YW_task_entry_t entry, void *entryArg, const char *name, YW_ret_t *result)
{
    sigjmp_buf env;
    if (sigsetjmp(env, 1) != 0)
        return false;
    yw_t_recover = &env;
    if (entry) {
        *result = (YW_ret_t)(intptr_t)entry(entryArg);
    } else {
        std::printf("%s:%d task %s entry null", "YW_task_tse_entry", __LINE__, name);
        *result = YW_ERR_ENTRY_NULL;
    }
    yw_t_recover = nullptr;
    return true;
}

void YW_task_tse_sig_handler(int sig)
{
    if (sig != SIGSEGV)
        return;
    sigjmp_buf *env = yw_t_recover;
    if (env && YW_shared_held() > 0) {
        // The fault is inside a framework call that holds locks or in-flight
        // counts of shared tables (channels, logs): jumping out would leave
        // them held and hang every other task. The node cannot be trusted
        // any more: the process ends (the default action, on return).
        static const char fatal[] = "YW_task_tse_sig_handler:" YW_TASK_LINE_TEXT(__LINE__)
            " segmentation fault inside a framework call holding shared locks: process ended\n";
        ssize_t w = write(STDERR_FILENO, fatal, sizeof fatal - 1);
        (void)w;
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    if (env) {
        yw_t_recover = nullptr;
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGSEGV);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        siglongjmp(*env, 1);
    }
    // Not a task thread (or a fault outside the armed region): there is no
    // recovery point. Restore the default action so that returning re-raises
    // the fault and the process ends with it instead of faulting for ever.
    static const char msg[] = "YW_task_tse_sig_handler:" YW_TASK_LINE_TEXT(__LINE__) " task not found\n";
    ssize_t w = write(STDOUT_FILENO, msg, sizeof msg - 1);
    (void)w;
    signal(SIGSEGV, SIG_DFL);
}

void *YW_task_tse_entry(void *arg)
{
    yw_task_queue *tq = static_cast<yw_task_queue *>(arg);
    YW_task_t *task = tq ? static_cast<YW_task_t *>(tq->q.priv) : nullptr;
    YW_P_initThread();

    YW_task_threadGuard guard;
    guard.tq = tq; // the queue is this thread's from now on
    guard.task = task;
    YW_task_entry_t entry = nullptr;
    void *entryArg = nullptr;
    YW_task_id_t id = YW_TASK_ID_NONE;
    const char *name = tq ? tq->name : "";
    {
        // Waits here until YW_startTask has finished with the slot.
        YW_task_lockGuard lk;
        if (!task || !task->thread || !pthread_equal(task->thread->id, pthread_self()) || !task->cfg)
            return nullptr; // the table was cleared under it: only the queue is ours
        yw_t_self = task->thread;
        yw_t_task = task;
        yw_t_queue = &tq->q;
        if (!(task->status.state & YW_TASK_STATE_BUSY))
            return nullptr; // stopped before it ran: the guard frees the slot
        entry = task->entry;
        entryArg = task->arg;
        id = task->task_id;
    }
    std::printf("%s:%d arg=%x task=%s\n", __func__, __LINE__, (unsigned)(uintptr_t)task, name);

    YW_ret_t kr;
    YW_P_threadKey_t key = yw_task_taskKey(&kr);
    if (kr == 0)
        YW_P_setThreadValue(key, reinterpret_cast<void *>((uintptr_t)id + 1));
    else
        std::printf("%s:%d get taskid key fail = %d\n", __func__, __LINE__, (int)kr);
    YW_P_threadKey_t tk{};
    if (YW_P_getThreadKey(nullptr, YW_THREAD_KEY_THREADID, &tk) == 0)
        YW_P_setThreadValue(tk, yw_t_self);

    // Alternate signal stack of this thread, for the fault handler.
    void *alt = std::malloc(YW_TASK_ALTSTACK_SIZE);
    if (alt) {
        stack_t ss{};
        ss.ss_sp = alt;
        ss.ss_size = YW_TASK_ALTSTACK_SIZE;
        ss.ss_flags = 0;
        if (sigaltstack(&ss, nullptr) == 0)
            guard.altstack = alt;
        else
            std::free(alt);
    }
    yw_task_installSigHandler(task);

    YW_ret_t result = YW_SUCCESS;
    if (!yw_task_runEntry(entry, entryArg, name, &result)) {
        // Back from the fault handler: only this task ends.
        yw_task_dropHeldLocks();
        std::printf("%s:%d task %s segmentation fault, task stopped\n", __func__, __LINE__, name);
        result = YW_FAIL;
        // Marked while the slot is still this task's, then stopped (the
        // guard frees it): the mark never lands in a freed or reused slot.
        YW_task_lockGuard lk;
        if (yw_task_ownsSlot(task)) {
            {
                yw_task_slotGuard sl(task);
                task->status.state |= YW_TASK_STATE_EXCEPT;
            }
            yw_task_stopLocked(task);
        }
    }
    // The guard releases the queue and stops the task (freeing its slot).
    return reinterpret_cast<void *>((intptr_t)result);
}

} /* extern "C" */
