/*
 * Threads, the per-thread doorbell and thread keys.
 */
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include "yw_osa_priv.h"

YW_P_threadKey_t YW_P_s_thread_key_taskid;
YW_P_threadKey_t YW_P_s_thread_key_threadid;

namespace {

/* AddressSanitizer and ThreadSanitizer cannot follow a stack unwound from
 * inside the cancellation signal's handler (which is where a thread blocked
 * in a system call is ended): their builds never cancel, and end task
 * threads at the framework's waits only. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCancelThreads = false;
#else
constexpr bool kCancelThreads = true;
#endif

/* The calling thread's own record (null for threads not made by the layer).
 * Also read from the SIGUSR1 handler, hence a plain thread-local pointer. */
thread_local YW_P_thread_control_t *tl_self = nullptr;

/* Set once the calling thread has begun to end (unwinding): nothing may
 * start a second end while the first unwinds. */
thread_local bool tl_exiting = false;

/* Ends the calling thread: pthread_exit, marked first. */
[[noreturn]] void exitThread()
{
    tl_exiting = true;
    pthread_exit(nullptr);
}

/* The calling thread's own stop was deferred and a timer now asks it, every
 * kDeferredAskNs, whether it can end (see armDeferredEnd). */
thread_local bool tl_deferAsked = false;
thread_local timer_t tl_deferTimer;
constexpr long kDeferredAskNs = 10 * 1000000L;
int deferredAskSignal()
{
    return SIGRTMIN + 1;
}

std::mutex g_keyLock;
bool g_keyTaskidMade = false;
bool g_keyThreadidMade = false;

/* Creates one of the two process keys on first use. */
int ensureKey(int keyid, YW_P_threadKey_t *out)
{
    std::lock_guard<std::mutex> g(g_keyLock);
    bool &made = (keyid == YW_THREAD_KEY_TASKID) ? g_keyTaskidMade : g_keyThreadidMade;
    YW_P_threadKey_t &key =
        (keyid == YW_THREAD_KEY_TASKID) ? YW_P_s_thread_key_taskid : YW_P_s_thread_key_threadid;
    if (!made) {
        int rc = pthread_key_create(&key, nullptr);
        if (rc != 0) {
            printf("%s:%d key create fail = %d\n", __func__, __LINE__, rc);
            return rc;
        }
        made = true;
        if (keyid == YW_THREAD_KEY_TASKID)
            printf("%s:%d YW_THREAD_KEY_TASKID=%llx\n", __func__, __LINE__, (unsigned long long)key);
        else
            printf("%s:%d YW_THREAD_KEY_THREADID=%llx\n", __func__, __LINE__, (unsigned long long)key);
    }
    if (out)
        *out = key;
    return 0;
}

bool keyMade(int keyid)
{
    std::lock_guard<std::mutex> g(g_keyLock);
    return keyid == YW_THREAD_KEY_TASKID ? g_keyTaskidMade : g_keyThreadidMade;
}

void freeRecord(YW_P_thread_control_t *t)
{
    pthread_mutex_destroy(&t->endLock);
    if (t->eventfd >= 0)
        close(t->eventfd);
    if (t->join) {
        pthread_cond_destroy(&t->join->cond);
        pthread_mutex_destroy(&t->join->mutex);
        YW_P_free(t->join);
    }
    t->~YW_P_thread_control_t();
    YW_P_free(t);
}

void release(YW_P_thread_control_t *t)
{
    if (t->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        freeRecord(t);
}

/* A record with its doorbell (and join record when asked), not yet running.
 * errno-style result in *err when null is returned. */
YW_P_thread_control_t *makeRecord(YW_P_thread_entry_t entry, void *arg, bool withJoin, int *err)
{
    void *mem = YW_P_malloc(sizeof(YW_P_thread_control_t));
    if (!mem) {
        *err = ENOMEM;
        return nullptr;
    }
    auto *t = new (mem) YW_P_thread_control_t();
    t->eventfd = -1;
    t->join = nullptr;
    t->entry = entry;
    t->arg = arg;
    t->refCount.store(1, std::memory_order_relaxed);
    t->cancelable = 0;
    t->ended = 0;
    pthread_mutex_init(&t->endLock, nullptr);
    t->eventfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (t->eventfd < 0) {
        *err = errno;
        freeRecord(t);
        return nullptr;
    }
    t->pollfd.fd = t->eventfd;
    t->pollfd.events = POLLIN;
    t->pollfd.revents = 0;
    if (withJoin) {
        auto *j = static_cast<YW_P_thread_wait_t *>(YW_P_malloc(sizeof(YW_P_thread_wait_t)));
        if (!j) {
            *err = ENOMEM;
            freeRecord(t);
            return nullptr;
        }
        j->state = 1;
        pthread_cond_init(&j->cond, nullptr);
        pthread_mutex_init(&j->mutex, nullptr);
        t->join = j;
    }
    return t;
}

/* Drops the running thread's reference however the thread ends (return,
 * pthread_exit or cancellation all unwind through here). */
struct ThreadExitGuard {
    YW_P_thread_control_t *t;
    ~ThreadExitGuard()
    {
        /* A stop still pending is not acted on here: the record's release
         * closes the doorbell. */
        YW_P_noCancel hold;
        pthread_mutex_lock(&t->endLock);
        t->ended = 1; /* the id may go from here on: no cancel is sent */
        pthread_mutex_unlock(&t->endLock);
        tl_exiting = true;
        if (tl_deferAsked) {
            tl_deferAsked = false;
            timer_delete(tl_deferTimer);
        }
        yw_t_endMark = nullptr;
        tl_self = nullptr;
        if (keyMade(YW_THREAD_KEY_THREADID))
            pthread_setspecific(YW_P_s_thread_key_threadid, nullptr);
        release(t);
    }
};

/* Every thread of the layer starts here: it waits until its creator has
 * completed the record, then runs the entry. */
void *threadStart(void *p)
{
    auto *t = static_cast<YW_P_thread_control_t *>(p);
    while (t->started.load(std::memory_order_acquire) == 0)
        t->started.wait(0, std::memory_order_acquire);
    ThreadExitGuard guard{t};
    tl_self = t;
    yw_t_endMark = &t->deleteRequest;
    YW_P_threadKey_t key;
    if (ensureKey(YW_THREAD_KEY_THREADID, &key) == 0)
        pthread_setspecific(key, t);
    return t->entry(t->arg);
}

/* Starts a record's thread with the given attributes; on success the
 * creator's handle is stored and the thread released. */
int launch(YW_P_thread_control_t *t, pthread_attr_t *attr, YW_P_thread_t *ret)
{
    pthread_t tid;
    /* One reference for the creator, one for the running thread. */
    t->refCount.store(2, std::memory_order_relaxed);
    int rc = pthread_create(&tid, attr, threadStart, t);
    if (rc != 0) {
        t->refCount.store(1, std::memory_order_relaxed);
        return rc;
    }
    t->id = tid;
    *ret = t;
    t->started.store(1, std::memory_order_release);
    t->started.notify_all();
    return 0;
}

int setSchedAttr(pthread_attr_t *attr, int policy, int priority)
{
    int pol = SCHED_OTHER;
    struct sched_param sp;
    memset(&sp, 0, sizeof(sp));
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        pol = policy;
        sp.sched_priority = priority;
    }
    int rc = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    if (rc == 0)
        rc = pthread_attr_setschedpolicy(attr, pol);
    if (rc == 0)
        rc = pthread_attr_setschedparam(attr, &sp);
    return rc;
}

/* Scheduling and stack of a thread made by YW_P_createThread. */
struct ThreadShape {
    const char *name;
    int policy;
    int priority;
    YW_int64_t stackSize;
};

/* Makes a complete record and starts its detached thread. With a shape the
 * thread gets a join record, its stack size and its scheduling (applied
 * explicitly, falling back to the default policy where a real-time one is
 * not permitted); without one the library defaults are used. On failure
 * nothing is left behind and *ret is null. 0 or the failing step's error. */
int createLayerThread(const char *fn, const ThreadShape *shape, YW_P_thread_entry_t entry, void *arg,
                      YW_P_thread_t *ret)
{
    int status = 0;
    YW_P_thread_control_t *t = makeRecord(entry, arg, shape != nullptr, &status);
    if (!t) {
        printf("%s:%d status=%d\n", fn, __LINE__, status);
        return status;
    }
    pthread_attr_t attr;
    status = pthread_attr_init(&attr);
    if (status != 0) {
        printf("%s:%d error=%d\n", fn, __LINE__, status);
        freeRecord(t);
        return status;
    }
    if (shape && shape->stackSize >= 1) {
        YW_int64_t ss = shape->stackSize;
        size_t sz = ss > (YW_int64_t)(SIZE_MAX / 2) ? SIZE_MAX / 2 : (size_t)ss;
        status = pthread_attr_setstacksize(&attr, sz);
        if (status != 0)
            printf("%s:%d error=%d stacksize=%d\n", fn, __LINE__, status, (int)ss);
    }
    if (shape && status == 0)
        status = setSchedAttr(&attr, shape->policy, shape->priority);
    if (status == 0)
        status = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (status != 0) {
        printf("%s:%d error=%d\n", fn, __LINE__, status);
    } else {
        status = launch(t, &attr, ret);
        if (shape && status == EPERM && (shape->policy == SCHED_FIFO || shape->policy == SCHED_RR)) {
            /* The process may not use real-time scheduling here (no
             * privilege, container, CI): run with the default policy. */
            printf("%s:%d thread %s: policy %d priority %d not permitted, default policy used\n", fn,
                   __LINE__, shape->name ? shape->name : "", shape->policy, shape->priority);
            status = setSchedAttr(&attr, SCHED_OTHER, 0);
            if (status == 0)
                status = launch(t, &attr, ret);
        }
    }
    pthread_attr_destroy(&attr);
    if (status != 0) {
        printf("%s:%d status=%d\n", fn, __LINE__, status);
        freeRecord(t);
        *ret = nullptr;
    }
    return status;
}

/* The C++ personality routine: asked, frame by frame, whether a thread's
 * end could unwind through the frames above the caller. */
extern "C" _Unwind_Reason_Code __gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class,
                                                    struct _Unwind_Exception *, struct _Unwind_Context *);

struct UnwindProbe {
    struct _Unwind_Exception ue;
    bool stopped; /* a frame the end may not pass */
};

/* One frame of the walk, which goes to the thread's first frame however
 * deep the stack: a frame whose personality finds a handler for a foreign
 * exception is one that an end would not leave cleanly: a noexcept
 * function (every destructor), a catch-all handler, an empty throw()
 * list. */
_Unwind_Reason_Code probeFrame(struct _Unwind_Context *ctx, void *arg)
{
    auto *p = static_cast<UnwindProbe *>(arg);
    if (!_Unwind_GetLanguageSpecificData(ctx))
        return _URC_NO_REASON;
    if (__gxx_personality_v0(1, _UA_SEARCH_PHASE, p->ue.exception_class, &p->ue, ctx) == _URC_HANDLER_FOUND) {
        p->stopped = true;
        return _URC_END_OF_STACK;
    }
    return _URC_NO_REASON;
}

/* True when the calling thread's stack can be unwound from here to its
 * start: nothing above forbids it, and no exception is propagating. */
bool endCanUnwind()
{
    if (std::uncaught_exceptions() > 0)
        return false;
    UnwindProbe p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(&p.ue.exception_class, "YWOSAEND", sizeof p.ue.exception_class);
    /* A walk that could not reach the thread's first frame says no. */
    return _Unwind_Backtrace(probeFrame, &p) == _URC_END_OF_STACK && !p.stopped;
}

/* The deferred end's timer signal, on the thread it asks. Taken inside a
 * blocking system call (where the C library has the thread's cancellation
 * act at once) with cancellation enabled, and nothing on the interrupted
 * stack forbidding the end, it cancels the thread there, as a stop from
 * another task would: the call ends the thread. Elsewhere it does nothing:
 * running code ends at its next stop place by itself. */
void deferredEndAsk(int)
{
    YW_P_thread_control_t *self = tl_self;
    if (!self || tl_exiting || !tl_deferAsked)
        return;
    const int saved = errno;
    int type = PTHREAD_CANCEL_DEFERRED;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &type);
    if (type == PTHREAD_CANCEL_ASYNCHRONOUS) {
        pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
        int state = PTHREAD_CANCEL_DISABLE;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
        pthread_setcancelstate(state, nullptr);
        if (state == PTHREAD_CANCEL_ENABLE && endCanUnwind()) {
            struct itimerspec off;
            std::memset(&off, 0, sizeof off);
            timer_settime(tl_deferTimer, 0, &off, nullptr);
            pthread_cancel(pthread_self()); /* acts here */
        }
    }
    errno = saved;
}

/* A stop of the calling thread's own task was deferred (it came from code
 * no end may leave): the thread ends at its next stop place once that code
 * has returned. Its blocking system calls are such places, as they are for
 * a stop from another task, which cancels the thread: a timer signals the
 * thread every kDeferredAskNs until it ends, and the handler cancels it in
 * a blocking call once the deferring code has returned. (A signal taken
 * meanwhile may end a sleep or poll of the deferring code early, with
 * EINTR, as any signal does.) Only where threads are cancelled at all. */
void armDeferredEnd()
{
    if (!kCancelThreads || tl_deferAsked || !yw_t_cancelable)
        return;
    static const bool handled = [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = deferredEndAsk;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        return sigaction(deferredAskSignal(), &sa, nullptr) == 0;
    }();
    if (!handled)
        return;
    struct sigevent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = deferredAskSignal();
#ifdef sigev_notify_thread_id
    ev.sigev_notify_thread_id = (pid_t)syscall(SYS_gettid);
#else
    ev._sigev_un._tid = (pid_t)syscall(SYS_gettid);
#endif
    if (timer_create(CLOCK_MONOTONIC, &ev, &tl_deferTimer) != 0)
        return;
    sigset_t ask;
    sigemptyset(&ask);
    sigaddset(&ask, deferredAskSignal());
    pthread_sigmask(SIG_UNBLOCK, &ask, nullptr);
    tl_deferAsked = true;
    struct itimerspec every;
    every.it_value = {0, kDeferredAskNs};
    every.it_interval = every.it_value;
    timer_settime(tl_deferTimer, 0, &every, nullptr);
}

} // namespace

void yw_osa::endIfDeleted()
{
    YW_P_thread_control_t *self = tl_self;
    if (self && !tl_exiting && self->deleteRequest.load(std::memory_order_acquire) && endCanUnwind())
        exitThread();
}

void YW_P_exitThread(void)
{
    exitThread();
}

void YW_P_endSelf(void)
{
    YW_P_thread_control_t *self = tl_self;
    if (tl_exiting)
        return;
    if (endCanUnwind())
        exitThread();
    /* Called from a destructor or other code no end may leave: marked, and
     * acted on at the thread's next stop place once that code has returned
     * (no cancel is sent, so the rest of the destructor is not cut). */
    if (self) {
        self->deleteRequest.store(1, std::memory_order_release);
        armDeferredEnd();
    }
}

void YW_P_stopPoint(void)
{
    YW_P_thread_control_t *self = tl_self;
    if (!self || tl_exiting || !yw_t_cancelable || yw_t_cancelHoldDepth > 0 ||
        !self->deleteRequest.load(std::memory_order_acquire))
        return;
    int state = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, nullptr);
    if (state != PTHREAD_CANCEL_ENABLE)
        return; /* the thread itself keeps cancellation off here */
    /* Ending inside a destructor, a noexcept function or a catch-all
     * handler, or while a C++ exception unwinds, would terminate the
     * process: the thread ends at its next point once that code has
     * returned, as a stop of its own task from there does. */
    if (!endCanUnwind())
        return;
    if (kCancelThreads) {
        /* A cancel already acted on (the thread unwinds) is not acted on
         * again: the library ignores it then. */
        pthread_cancel(pthread_self());
        pthread_testcancel();
        return;
    }
    exitThread();
}

YW_ret_t YW_P_createThread(const char *name, int policy, int priority, YW_int64_t stackSize,
                           int options, YW_P_thread_entry_t entry, void *arg, YW_P_thread_t *ret)
{
    (void)options;
    ensureKey(YW_THREAD_KEY_THREADID, nullptr);
    if (!ret || !entry)
        return YW_FAIL;
    *ret = nullptr;
    const ThreadShape shape{name, policy, priority, stackSize};
    return yw_osa::ret(createLayerThread(__func__, &shape, entry, arg, ret));
}

YW_ret_t YW_P_runThread(YW_P_thread_entry_t entry, void *arg, YW_P_thread_t *ret)
{
    if (!ret || !entry)
        return YW_FAIL;
    *ret = nullptr;
    ensureKey(YW_THREAD_KEY_THREADID, nullptr);
    int status = createLayerThread(__func__, nullptr, entry, arg, ret);
    if (status != 0)
        return yw_osa::ret(status);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    return YW_SUCCESS;
}

YW_ret_t YW_P_deleteThread(YW_P_thread_t thread)
{
    if (!thread)
        return YW_FAIL;
    if (thread->join) {
        pthread_mutex_lock(&thread->join->mutex);
        thread->join->state = 0;
        pthread_cond_broadcast(&thread->join->cond);
        pthread_mutex_unlock(&thread->join->mutex);
    }
    YW_P_cancelThread(thread);
    release(thread);
    return YW_SUCCESS;
}

YW_ret_t YW_P_cancelThread(YW_P_thread_t thread)
{
    if (!thread)
        return YW_FAIL;
    if (thread == tl_self)
        return YW_SUCCESS;
    pthread_mutex_lock(&thread->endLock);
    thread->deleteRequest.store(1, std::memory_order_release);
    const bool ended = thread->ended != 0;
    if (kCancelThreads && thread->cancelable && !ended)
        pthread_cancel(thread->id);
    pthread_mutex_unlock(&thread->endLock);
    YW_uint64_t one = 1;
    ssize_t n;
    do {
        n = write(thread->eventfd, &one, sizeof(one));
    } while (n < 0 && errno == EINTR);
    /* Waits of other libraries that hold cancellation off (a broker call
     * waiting for a reply another thread reads) give up on the mark. They
     * are found by the record's mark, never by the thread's id, which the
     * C library gives to a later thread once this one has ended. */
    if (!ended)
        if (void (*wake)(std::atomic<int> *) = yw_g_endWakeHook.load(std::memory_order_acquire))
            wake(&thread->deleteRequest);
    return YW_SUCCESS;
}

YW_ret_t YW_P_joinThread(YW_P_thread_t thread)
{
    if (!thread || !thread->join)
        return YW_FAIL;
    thread->refCount.fetch_add(1, std::memory_order_relaxed);
    YW_P_thread_wait_t *j = thread->join;
    pthread_mutex_lock(&j->mutex);
    while (j->state != 0)
        pthread_cond_wait(&j->cond, &j->mutex);
    pthread_mutex_unlock(&j->mutex);
    release(thread);
    return YW_SUCCESS;
}

YW_ret_t YW_P_setSchThread(YW_P_thread_t thread, YW_P_thread_priority_t *prio)
{
    if (!thread || !prio)
        return YW_FAIL;
    struct sched_param sp;
    memset(&sp, 0, sizeof(sp));
    sp.sched_priority = prio->priority;
    return yw_osa::ret(pthread_setschedparam(thread->id, prio->policy, &sp));
}

YW_ret_t YW_P_getSchThread(YW_P_thread_t thread, YW_P_thread_priority_t *prio)
{
    if (!thread || !prio)
        return YW_FAIL;
    struct sched_param sp;
    int rc = pthread_getschedparam(thread->id, &prio->policy, &sp);
    if (rc == 0)
        prio->priority = sp.sched_priority;
    return yw_osa::ret(rc);
}

YW_ret_t YW_P_sleepThread(YW_P_thread_t thread, YW_int64_t nsec)
{
    if (thread && !pthread_equal(thread->id, pthread_self()))
        return YW_FAIL;
    yw_osa::endIfDeleted();
    struct timespec req = yw_osa::toTimespec(nsec);
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR)
            return YW_FAIL;
        yw_osa::endIfDeleted();
        req = rem;
    }
    yw_osa::endIfDeleted();
    return YW_SUCCESS;
}

YW_ret_t YW_P_yieldThread(void)
{
    return yw_osa::ret(sched_yield());
}

YW_ret_t YW_P_suspendThread(YW_P_thread_t)
{
    return YW_ERR_NOT_SUPPORT;
}

YW_ret_t YW_P_resumeThread(YW_P_thread_t)
{
    return YW_ERR_NOT_SUPPORT;
}

YW_ret_t YW_P_getThreadID(YW_P_thread_t *thread)
{
    if (!thread)
        return YW_FAIL;
    *thread = keyMade(YW_THREAD_KEY_THREADID)
                  ? static_cast<YW_P_thread_t>(pthread_getspecific(YW_P_s_thread_key_threadid))
                  : nullptr;
    return YW_SUCCESS;
}

YW_ret_t YW_P_initThread(void)
{
    /* Deferred only: a thread is never cancelled asynchronously (it could
     * hold a lock or be inside malloc/printf). */
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    yw_t_cancelable = true;
    /* The libraries that do not link this layer act on a stop through it. */
    yw_g_stopPointHook.store(&YW_P_stopPoint, std::memory_order_release);
    if (YW_P_thread_control_t *self = tl_self) {
        pthread_mutex_lock(&self->endLock);
        self->cancelable = 1;
        /* Deleted before it got here: the cancel it could not be sent. */
        if (kCancelThreads && self->deleteRequest.load(std::memory_order_acquire))
            pthread_cancel(pthread_self());
        pthread_mutex_unlock(&self->endLock);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = YW_P_sigHandle;
    sa.sa_flags = SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGUSR1);
    sigaction(SIGUSR1, &sa, nullptr);
    return YW_SUCCESS;
}

void YW_P_sigHandle(int sig)
{
    /* Only marks the thread: it ends at its next wait. The doorbell is rung
     * as well, because a signal that lands between the wait's check of the
     * mark and its poll would otherwise leave an unbounded wait asleep. */
    if (sig == SIGUSR1 && tl_self) {
        const int saved = errno;
        tl_self->deleteRequest.store(1, std::memory_order_release);
        YW_uint64_t one = 1;
        ssize_t n = write(tl_self->eventfd, &one, sizeof(one)); /* async-signal-safe */
        (void)n;
        errno = saved;
    }
}

/* ---- doorbell ---- */

YW_ret_t YW_P_sendThreadEvent(YW_P_thread_t thread, YW_uint32_t events)
{
    if (!thread)
        return YW_FAIL;
    thread->pending.fetch_or(events, std::memory_order_release);
    YW_uint64_t one = 1;
    ssize_t n;
    do {
        n = write(thread->eventfd, &one, sizeof(one));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN)
        return yw_osa::ret(sizeof(one)); /* counter saturated: already rung */
    return n == (ssize_t)sizeof(one) ? yw_osa::ret(sizeof(one)) : YW_FAIL;
}

YW_ret_t YW_P_recvThreadEvent(YW_P_thread_t thread, YW_uint32_t mask, YW_uint8_t options,
                              YW_int64_t timeout, YW_uint32_t *received)
{
    (void)options;
    if (!thread)
        return YW_FAIL;
    const YW_int64_t deadline = timeout > 0 ? yw_osa::deadlineNs(CLOCK_MONOTONIC, timeout) : 0;
    /* A thread asked to end is woken here by its doorbell and ends at the
     * check below: the wait itself is never cut by a cancel. */
    struct CancelHold {
        CancelHold() { YW_P_cancelHoldOff(); }
        ~CancelHold() noexcept(false) { YW_P_cancelAllow(); }
    } hold;
    for (;;) {
        yw_osa::endIfDeleted();
        YW_uint32_t got = thread->pending.fetch_and(~mask, std::memory_order_acquire) & mask;
        if (got) {
            if (received)
                *received = got;
            return yw_osa::ret(1);
        }
        struct timespec ts = {0, 0};
        struct timespec *tsp = &ts;
        if (timeout < 0) {
            tsp = nullptr;
        } else if (timeout > 0) {
            YW_int64_t left = deadline - yw_osa::nowNs(CLOCK_MONOTONIC);
            if (left <= 0)
                break;
            ts = yw_osa::toTimespec(left);
        }
        struct pollfd pfd;
        pfd.fd = thread->eventfd;
        pfd.events = POLLIN;
        pfd.revents = 0;
        int n = ppoll(&pfd, 1, tsp, nullptr);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (n == 0)
            break; /* the bounded wait ran out */
        YW_uint64_t counter;
        while (read(thread->eventfd, &counter, sizeof(counter)) < 0 && errno == EINTR) {
        }
        /* loop: take the flags that woke us, or wait on for the rest */
    }
    yw_osa::endIfDeleted();
    if (received)
        *received = 0;
    return YW_ERR_TIMEOUT;
}

YW_ret_t YW_P_clearThreadEvent(YW_P_thread_t thread)
{
    if (!thread)
        return YW_FAIL;
    thread->pending.store(0, std::memory_order_relaxed);
    YW_uint64_t counter;
    for (;;) {
        ssize_t n = read(thread->eventfd, &counter, sizeof(counter));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
    }
    return YW_SUCCESS;
}

/* ---- thread keys ---- */

YW_ret_t YW_P_getThreadKey(YW_P_thread_t thread, int keyid, YW_P_threadKey_t *key)
{
    (void)thread;
    if (!key)
        return YW_FAIL;
    if (keyid != YW_THREAD_KEY_TASKID && keyid != YW_THREAD_KEY_THREADID) {
        *key = 0;
        return YW_FAIL;
    }
    return yw_osa::ret(ensureKey(keyid, key));
}

YW_ret_t YW_P_setThreadValue(YW_P_threadKey_t key, YW_P_threadValue_t value)
{
    int rc = -1;
    if ((keyMade(YW_THREAD_KEY_TASKID) && key == YW_P_s_thread_key_taskid) ||
        (keyMade(YW_THREAD_KEY_THREADID) && key == YW_P_s_thread_key_threadid))
        rc = pthread_setspecific(key, value);
    printf("%s:%d error=%d\n", __func__, __LINE__, rc);
    return yw_osa::ret(rc);
}

YW_P_threadValue_t YW_P_getThreadValue(YW_P_threadKey_t key)
{
    return pthread_getspecific(key);
}
