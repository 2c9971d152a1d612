/*
 * Unnamed POSIX semaphores.
 */
#include <cerrno>
#include <cstdio>
#include <semaphore.h>

#include "yw_osa_priv.h"

namespace {

YW_ret_t createSem(const char *fn, int line, YW_int32_t options, YW_int32_t value, YW_P_sem_t *sem)
{
    if (!sem)
        return YW_FAIL;
    auto *s = static_cast<sem_t *>(YW_P_malloc(sizeof(sem_t)));
    if (!s) {
        printf("%s:%d fail!!!!!!!!\n", fn, line);
        return YW_FAIL;
    }
    if (value < 0 || sem_init(s, (options & YW_SEM_PROCESS_SHARED) ? 1 : 0, (unsigned)value) != 0) {
        YW_P_free(s);
        return YW_FAIL;
    }
    printf("%s:%d success!!!!!!!!\n", fn, line);
    *sem = s;
    return YW_SUCCESS;
}

} // namespace

YW_ret_t YW_P_createBinarySemaphore(YW_P_bsem_arg_t *arg, YW_P_sem_t *sem)
{
    if (!arg)
        return YW_FAIL;
    return createSem(__func__, __LINE__, arg->options, arg->init_state, sem);
}

YW_ret_t YW_P_createCountSemaphore(YW_P_csem_arg_t *arg, YW_P_sem_t *sem)
{
    if (!arg)
        return YW_FAIL;
    return createSem(__func__, __LINE__, arg->options, arg->init_count, sem);
}

YW_ret_t YW_P_deleteSemaphore(YW_P_sem_t sem)
{
    if (!sem)
        return YW_FAIL;
    int rc = sem_destroy(sem);
    if (rc == 0)
        YW_P_free(sem);
    return yw_osa::ret(rc);
}

YW_ret_t YW_P_waitSemaphore(YW_P_sem_t sem)
{
    if (!sem)
        return YW_FAIL;
    int rc;
    while ((rc = sem_wait(sem)) != 0 && errno == EINTR) {
    }
    return yw_osa::ret(rc);
}

YW_ret_t YW_P_timedWaitSemaphore(YW_P_sem_t sem, YW_int64_t nsec)
{
    if (!sem)
        return YW_FAIL;
    /* Monotonic deadline: a signal retries for the time left, and a change
     * of the wall clock does not stretch or cut the wait. */
    struct timespec deadline =
        yw_osa::toTimespec(yw_osa::deadlineNs(CLOCK_MONOTONIC, nsec));
    int rc;
    while ((rc = sem_clockwait(sem, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
    }
    return yw_osa::ret(rc);
}

YW_ret_t YW_P_postSemaphore(YW_P_sem_t sem)
{
    if (!sem)
        return YW_FAIL;
    return yw_osa::ret(sem_post(sem));
}
