// Scoped hold of an OS-layer mutex (a service's table lock). A null mutex is
// not locked: a table whose service was never initialised has no lock yet.
// While held it counts as shared state held by the thread, so that a task
// faulting under it (say in a module's "hello", called under the module
// table lock) ends the process instead of leaving the lock held for ever.
#ifndef YW_OSA_GUARD_H
#define YW_OSA_GUARD_H

#include "osa/yw_osa.h"
#include "yw_gate.h"

class YW_P_mutexGuard {
public:
    explicit YW_P_mutexGuard(YW_P_mutex_t m) : m_(m)
    {
        if (m_) {
            YW_P_lockMutex(m_);
            YW_shared_hold();
        }
    }
    // The lock goes first: leaving the last hold may end the thread here.
    ~YW_P_mutexGuard() noexcept(false)
    {
        if (m_) {
            YW_P_unlockMutex(m_);
            YW_shared_release();
        }
    }
    YW_P_mutexGuard(const YW_P_mutexGuard &) = delete;
    YW_P_mutexGuard &operator=(const YW_P_mutexGuard &) = delete;

private:
    YW_P_mutex_t m_;
};

// Creates a service's table mutex once (options 0: recursive, process
// private). It is never destroyed: command-interface clients and other tasks
// may still take it while the service's manager ends.
inline YW_P_mutex_t YW_P_tableMutexOnce(YW_P_mutex_t *slot)
{
    YW_P_mutex_t m = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (m)
        return m;
    YW_P_mutex_t made = nullptr;
    if (YW_P_createMutex(0, &made) != 0)
        return nullptr;
    YW_P_mutex_t expected = nullptr;
    if (!__atomic_compare_exchange_n(slot, &expected, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        YW_P_deleteMutex(made);
        return expected;
    }
    return made;
}

#endif
