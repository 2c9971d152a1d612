/*
 * POSIX timers notifying SIGRTMIN.
 *
 * Every timer's signal is directed to one dispatch thread of the layer that
 * keeps SIGRTMIN blocked and takes it with sigwaitinfo, so timer handlers run
 * in ordinary thread context: they may allocate, lock and print without the
 * deadlocks a signal handler would risk. A registry of live timers guards
 * against an expiry that was already taken when its timer was deleted.
 */
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "yw_osa_priv.h"

namespace {

std::mutex g_lock;                                  /* guards g_live */
std::unordered_set<YW_P_timer_control_t *> *g_live; /* never destroyed: used until exit */
std::atomic<pid_t> g_dispatchTid{0};
std::once_flag g_dispatchOnce;

/* A SIGRTMIN that reaches some other thread is ignored rather than ending
 * the process (its default action). */
void strayRtSignal(int, siginfo_t *, void *) {}

void *dispatch(void *)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGRTMIN);
    g_dispatchTid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
    g_dispatchTid.notify_all();
    for (;;) {
        siginfo_t info;
        int sig = sigwaitinfo(&set, &info);
        if (sig == SIGRTMIN)
            YW_P_onTimeout(sig, &info, nullptr);
    }
    return nullptr;
}

void startDispatcher()
{
    g_live = new std::unordered_set<YW_P_timer_control_t *>();

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = strayRtSignal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGRTMIN, &sa, nullptr);

    /* The dispatcher starts with every signal blocked. */
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, dispatch, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        printf("%s:%d status=%d\n", __func__, __LINE__, rc);
        g_dispatchTid.store(-1, std::memory_order_release);
        return;
    }
    while (g_dispatchTid.load(std::memory_order_acquire) == 0)
        g_dispatchTid.wait(0, std::memory_order_acquire);
}

void releaseTimer(YW_P_timer_control_t *t)
{
    if (--t->refCount <= 0)
        YW_P_free(t);
}

} // namespace

YW_ret_t YW_P_createTimer(int userid, YW_P_timer_t *ret, YW_P_timer_handler_t handler)
{
    if (!ret)
        return YW_FAIL;
    *ret = nullptr;
    std::call_once(g_dispatchOnce, startDispatcher);
    pid_t tid = g_dispatchTid.load(std::memory_order_acquire);
    if (tid <= 0)
        return YW_FAIL;

    auto *t = static_cast<YW_P_timer_control_t *>(YW_P_malloc(sizeof(YW_P_timer_control_t)));
    if (!t)
        return YW_FAIL;
    memset(t, 0, sizeof(*t));
    t->handler = handler;
    t->userid = userid;
    t->refCount = 1;

    struct sigevent sev;
    memset(&sev, 0, sizeof(sev));
    sev.sigev_notify = SIGEV_THREAD_ID;
    sev.sigev_signo = SIGRTMIN;
    sev.sigev_value.sival_ptr = t;
    sev._sigev_un._tid = tid;

    int status;
    {
        std::lock_guard<std::mutex> g(g_lock);
        status = timer_create(CLOCK_REALTIME, &sev, &t->id);
        if (status == 0)
            g_live->insert(t);
    }
    printf("%s: status=%d timer=%lx\n", __func__, status, (unsigned long)(uintptr_t)t->id);
    if (status != 0) {
        YW_P_free(t);
        return YW_FAIL;
    }
    *ret = t;
    return YW_SUCCESS;
}

YW_ret_t YW_P_startTimer(YW_P_timer_t timer, YW_int64_t interval)
{
    if (!timer) {
        printf("%s: timer null\n", __func__);
        return YW_FAIL;
    }
    struct itimerspec its;
    its.it_value = yw_osa::toTimespec(interval);
    its.it_interval = its.it_value;
    int status;
    {
        /* A deleted (stopped) timer is no longer registered: refuse it. */
        std::lock_guard<std::mutex> g(g_lock);
        if (!g_live || g_live->find(timer) == g_live->end())
            status = -1;
        else
            status = timer_settime(timer->id, 0, &its, nullptr);
    }
    if (status != 0) {
        printf("%s: status=%d\n", __func__, status);
        return YW_FAIL;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_P_deleteTimer(YW_P_timer_t timer)
{
    if (!timer)
        return YW_FAIL;
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (!g_live || g_live->find(timer) == g_live->end())
            return YW_FAIL;
        if (timer_delete(timer->id) != 0)
            return YW_FAIL;
        g_live->erase(timer);
    }
    releaseTimer(timer);
    return YW_SUCCESS;
}

YW_ret_t YW_P_stopTimer(YW_P_timer_t timer)
{
    return YW_P_deleteTimer(timer);
}

void YW_P_onTimeout(int sig, siginfo_t *info, void *context)
{
    (void)sig;
    (void)context;
    if (!info)
        return;
    auto *t = static_cast<YW_P_timer_control_t *>(info->si_value.sival_ptr);
    YW_P_timer_handler_t handler;
    int userid;
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (!g_live || g_live->find(t) == g_live->end())
            return; /* deleted after this expiry was queued */
        /* The record of a deleted timer may have been reused by a newer
         * one: the expiry belongs to it only when the kernel's timer id
         * (never reused soon: the kernel counts them up) is its own. */
        if (info->si_code == SI_TIMER && info->si_timerid != (int)(intptr_t)t->id)
            return;
        handler = t->handler;
        userid = t->userid;
    }
    if (handler) {
        printf("%s: id=%d\n", __func__, userid);
        handler(userid);
    } else {
        printf("%s: timer %lx handler null\n", __func__, (unsigned long)(uintptr_t)t);
    }
}
