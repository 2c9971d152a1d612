// Internal helpers shared by the task service's source files.
#ifndef YW_TASK_INT_H
#define YW_TASK_INT_H

#include <cstring>
#include <pthread.h>

#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

// The task table mutex. It lives for the whole process: tasks outlive the
// task service manager, so the table lock is never destroyed under them.
// Recursive: a send under the lock may run a queue callback that looks at the
// same slot.
pthread_mutex_t *yw_task_tableMutex();

// How many times the calling thread holds the table lock; a task thread
// that faults inside a framework call gives back what it still holds.
inline thread_local int yw_t_tableLockDepth = 0;

class YW_task_lockGuard {
public:
    YW_task_lockGuard()
    {
        YW_P_cancelHoldOff(); // never cancelled while the table is held
        pthread_mutex_lock(yw_task_tableMutex());
        ++yw_t_tableLockDepth;
    }
    ~YW_task_lockGuard() noexcept(false)
    {
        --yw_t_tableLockDepth;
        pthread_mutex_unlock(yw_task_tableMutex());
        YW_P_cancelAllow();
    }
    YW_task_lockGuard(const YW_task_lockGuard &) = delete;
    YW_task_lockGuard &operator=(const YW_task_lockGuard &) = delete;
};

// Resolves a function name in the running executable; null when it is
// missing or names the process's start-up (which must never run again on a
// task thread), with a line saying so. Used for task entries and timer
// handlers.
YW_task_entry_t yw_task_resolve(const char *entryName);

// The scheduling policy a configuration word names: "SCHED_FIFO",
// "SCHED_RR", anything else the default. Read for tasks and timer tasks.
inline int yw_task_policyOf(const char *word)
{
    if (word && std::strcmp(word, "SCHED_FIFO") == 0)
        return YW_TASK_POLICY_FIFO;
    if (word && std::strcmp(word, "SCHED_RR") == 0)
        return YW_TASK_POLICY_RR;
    return YW_TASK_POLICY_DEFAULT;
}

// A stop in progress: the slot, stopping, and the generation it had when
// its task was stopped. `self` when the stopped task is the caller's own.
struct yw_task_stopToken {
    YW_task_t *task = nullptr;
    YW_uint32_t gen = 0;
    bool self = false;
};

// Stops a started slot (BUSY); table lock held. The slot stays taken,
// STOPPING, until its thread has ended; the token says what to wait for.
yw_task_stopToken yw_task_stopLocked(YW_task_t *task);

// Finishes a stop once the table lock is given back: the caller's own task
// ends the calling thread here (or, asked from a destructor, at the
// thread's next stop place after it); another's is waited for, a bounded time,
// until its thread has freed the slot (a thread blocked outside any
// cancellation point leaves its slot stopping when the wait runs out).
// False when the stopped thread had not ended within the bound.
bool yw_task_stopFinish(const yw_task_stopToken &tok);

// Clears the whole task table (every slot free, ids set); used by the
// service's init.
void yw_task_clearTable();

#endif
