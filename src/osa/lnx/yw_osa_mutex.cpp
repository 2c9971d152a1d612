/*
 * Mutexes: one per service table, per channel and per buffer.
 */
#include <cerrno>
#include <pthread.h>
#include <sched.h>

#include "yw_osa_priv.h"

YW_ret_t YW_P_createMutex(int options, YW_P_mutex_t *mutex)
{
    if (!mutex)
        return YW_FAIL;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return YW_FAIL;
    /* Recursive by default: a thread may relock a table mutex it holds. */
    pthread_mutexattr_settype(&attr, (options & YW_SEM_NO_RECURSE) ? PTHREAD_MUTEX_NORMAL
                                                                   : PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setpshared(&attr, (options & YW_SEM_PROCESS_SHARED) ? PTHREAD_PROCESS_SHARED
                                                                          : PTHREAD_PROCESS_PRIVATE);
    if (options & (YW_SEM_INVERSION_SAFE | YW_SEM_Q_PRIORITY)) {
        /* Priority protection: a ceiling protocol can only raise real-time
         * threads. The library refuses every ceiling (1..99) to a thread of
         * the default policy, whose first lock then fails with EINVAL, and a
         * real-time thread above the ceiling is refused too, so no ceiling
         * fits every locker. A resource mutex is locked by tasks of any
         * policy: YW_SEM_Q_PRIORITY therefore falls back to priority
         * inheritance, which bounds the inversion the same way (the owner
         * runs at its highest waiter's priority) and locks on the first try
         * in every policy. */
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    } else {
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_NONE);
    }
    if (options & YW_SEM_DELETE_SAFE)
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);

    auto *m = static_cast<pthread_mutex_t *>(YW_P_malloc(sizeof(pthread_mutex_t)));
    if (!m) {
        pthread_mutexattr_destroy(&attr);
        return YW_FAIL;
    }
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        YW_P_free(m);
        *mutex = nullptr;
        return YW_FAIL;
    }
    *mutex = m;
    return YW_SUCCESS;
}

YW_ret_t YW_P_deleteMutex(YW_P_mutex_t mutex)
{
    if (!mutex)
        return YW_FAIL;
    int rc = pthread_mutex_destroy(mutex);
    if (rc == 0)
        YW_P_free(mutex);
    return yw_osa::ret(rc);
}

namespace {

/* A robust mutex whose owner died is handed on in a usable state. */
int recoverOwnerDead(YW_P_mutex_t mutex, int rc)
{
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(mutex);
    return rc;
}

} // namespace

/* Slice of a lock wait of a task thread that may be stopped. */
constexpr YW_int64_t kStoppableLockSliceNs = 10 * 1000000LL;

YW_ret_t YW_P_lockMutex(YW_P_mutex_t mutex)
{
    if (!mutex)
        return YW_FAIL;
    /* A task thread that holds nothing waits in slices, so that a stop ends
     * it while it waits for a lock another task holds (a mutex wait is no
     * cancellation point). Inside a hold, and on other threads, the wait is
     * the plain one. */
    if (yw_t_endMark && yw_t_cancelable && yw_t_cancelHoldDepth == 0) {
        int rc = pthread_mutex_trylock(mutex);
        while (rc == EBUSY) {
            YW_P_stopPoint();
            struct timespec until = yw_osa::toTimespec(yw_osa::deadlineNs(CLOCK_REALTIME, kStoppableLockSliceNs));
            rc = pthread_mutex_timedlock(mutex, &until);
            if (rc == ETIMEDOUT)
                rc = EBUSY;
        }
        return yw_osa::ret(recoverOwnerDead(mutex, rc));
    }
    return yw_osa::ret(recoverOwnerDead(mutex, pthread_mutex_lock(mutex)));
}

YW_ret_t YW_P_trylockMutex(YW_P_mutex_t mutex)
{
    if (!mutex)
        return YW_FAIL;
    return yw_osa::ret(recoverOwnerDead(mutex, pthread_mutex_trylock(mutex)));
}

YW_ret_t YW_P_unlockMutex(YW_P_mutex_t mutex)
{
    if (!mutex)
        return YW_FAIL;
    return yw_osa::ret(pthread_mutex_unlock(mutex));
}
