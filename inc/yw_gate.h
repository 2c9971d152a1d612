/*
 * Object lifetimes shared by the services: an enter/leave/retire gate and a
 * get/put reference count, both kept in one plain int of the object's record
 * (so that records keep their layout).
 *
 * Gate: an object that other threads find by look-up and use after the look-up
 * lock is released is entered before use and left after; the owner retires
 * it before freeing: new enters are refused (or wait, see below), the calls in
 * flight drain, and only then is it freed. Word values:
 *   -1                 closed: not usable (not yet made, or gone)
 *   0..INT_MAX         open, with that many users in flight
 *   INT_MIN + n        retiring, n users still in flight
 *
 * Reference: a count of holders; YW_ref_get takes a hold only while the count
 * is above 0 (an object whose last hold is gone cannot be revived) and
 * YW_ref_put tells the caller whose put was the last: that caller frees.
 *
 * The gate's waits are drain and clean-up steps: they never end a stopped
 * thread (it ends at its next stop point, once the step is done).
 */
#ifndef YW_GATE_H
#define YW_GATE_H

#include <atomic>
#include <climits>

#include "osa/yw_nocancel.h"
#include "osa/yw_osa.h"

/* Shared state the calling thread holds inside a framework call: locks of
 * shared tables, rings and output ports, and in-flight counts of gates. A
 * task that faults while it holds any cannot be recovered by ending the task
 * alone (the fault handler ends the process instead). */
inline thread_local int yw_t_sharedHeld = 0;

inline void YW_shared_hold()
{
    ++yw_t_sharedHeld;
    YW_P_cancelHoldOff(); // never cancelled while it holds shared state
}
inline void YW_shared_release()
{
    --yw_t_sharedHeld;
    YW_P_cancelAllow();
}
inline int YW_shared_held()
{
    return yw_t_sharedHeld;
}

/* A lock of shared framework state, counted as held while locked. */
template <typename M> class YW_shared_lock {
public:
    explicit YW_shared_lock(M &m) : m_(m)
    {
        m_.lock();
        YW_shared_hold();
    }
    // The lock goes first: leaving the last hold may end the thread here.
    ~YW_shared_lock() noexcept(false)
    {
        m_.unlock();
        YW_shared_release();
    }
    YW_shared_lock(const YW_shared_lock &) = delete;
    YW_shared_lock &operator=(const YW_shared_lock &) = delete;

private:
    M &m_;
};

#define YW_GATE_CLOSED   (-1)
#define YW_GATE_RETIRING INT_MIN

/* Enter: true when the caller is counted in. A retiring gate refuses at once,
 * unless waitRetire is set: the caller then waits (stepNs at a time) for the
 * retirement to end, since the owner may give the object back. */
inline bool YW_gate_enter(int &word, bool waitRetire = false, YW_int64_t stepNs = 100000LL)
{
    std::atomic_ref<int> w(word);
    int v = w.load(std::memory_order_acquire);
    for (;;) {
        if (v == YW_GATE_CLOSED)
            return false;
        if (v < 0) {
            if (!waitRetire)
                return false;
            YW_P_pauseNoCancel(stepNs);
            v = w.load(std::memory_order_acquire);
            continue;
        }
        if (w.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
            YW_shared_hold();
            return true;
        }
    }
}

/* Leaves a gate entered by the same thread. */
inline void YW_gate_leave(int &word)
{
    std::atomic_ref<int>(word).fetch_sub(1, std::memory_order_acq_rel);
    YW_shared_release();
}

/* Opens the gate (the object is made and may be used). */
inline void YW_gate_open(int &word)
{
    std::atomic_ref<int>(word).store(0, std::memory_order_release);
}

/* Closes the gate for good (after a successful retire, or before the object
 * is made). */
inline void YW_gate_close(int &word)
{
    std::atomic_ref<int>(word).store(YW_GATE_CLOSED, std::memory_order_release);
}

/* Retire result */
enum YW_gate_retire_e {
    YW_GATE_DRAINED = 0, /* no user left; only this caller may free the object */
    YW_GATE_NOT_OPEN,    /* closed, or another retirement is under way */
    YW_GATE_BUSY         /* users still in flight after the wait; the gate is open again */
};

/* Stops new enters and waits up to tries * stepNs for the users in flight
 * (tries < 0: until they are gone). Only one of several concurrent callers
 * gets DRAINED. After DRAINED the word stays retiring: the owner then either
 * closes the gate and frees, or opens it again (gives the object back). */
inline YW_gate_retire_e YW_gate_retire(int &word, int tries, YW_int64_t stepNs = 1000000LL)
{
    std::atomic_ref<int> w(word);
    int v = w.load(std::memory_order_acquire);
    do {
        if (v < 0)
            return YW_GATE_NOT_OPEN;
    } while (!w.compare_exchange_weak(v, v | YW_GATE_RETIRING, std::memory_order_acq_rel, std::memory_order_acquire));
    for (int i = 0; tries < 0 || i < tries; i++) {
        if (w.load(std::memory_order_acquire) == YW_GATE_RETIRING)
            return YW_GATE_DRAINED;
        YW_P_pauseNoCancel(stepNs);
    }
    if (w.load(std::memory_order_acquire) == YW_GATE_RETIRING)
        return YW_GATE_DRAINED;
    w.fetch_and(~YW_GATE_RETIRING, std::memory_order_acq_rel);
    return YW_GATE_BUSY;
}

/* Users in flight (0 when closed). */
inline int YW_gate_users(int &word)
{
    int v = std::atomic_ref<int>(word).load(std::memory_order_acquire);
    return v == YW_GATE_CLOSED ? 0 : (v & ~YW_GATE_RETIRING);
}

/* Holds a gate for one scope. */
class YW_gate_hold {
public:
    explicit YW_gate_hold(int &word, bool waitRetire = false) : m_word(&word), m_in(YW_gate_enter(word, waitRetire)) {}
    ~YW_gate_hold() noexcept(false)
    {
        if (m_in)
            YW_gate_leave(*m_word);
    }
    YW_gate_hold(const YW_gate_hold &) = delete;
    YW_gate_hold &operator=(const YW_gate_hold &) = delete;
    explicit operator bool() const { return m_in; }

private:
    int *m_word;
    bool m_in;
};

/* ---- counters and words read by other threads ---- */

template <typename T> inline void YW_stat_add(T &word, T n = 1)
{
    std::atomic_ref<T>(word).fetch_add(n, std::memory_order_relaxed);
}

template <typename T> inline T YW_stat_get(T &word)
{
    return std::atomic_ref<T>(word).load(std::memory_order_relaxed);
}

/* ---- references ---- */

inline void YW_ref_init(int &count, int n = 1)
{
    std::atomic_ref<int>(count).store(n, std::memory_order_release);
}

/* Takes one more hold; false when the object has no holder left (dying). */
inline bool YW_ref_get(int &count)
{
    std::atomic_ref<int> c(count);
    int v = c.load(std::memory_order_acquire);
    do {
        if (v <= 0)
            return false;
    } while (!c.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel, std::memory_order_acquire));
    return true;
}

/* Gives a hold back; true for the last one: the caller frees the object. */
inline bool YW_ref_put(int &count)
{
    return std::atomic_ref<int>(count).fetch_sub(1, std::memory_order_acq_rel) == 1;
}

#endif
