// The broker's own locks: a one-word spin guard with back-off, the mutex and
// counting semaphore that hand the lock (or a count) straight to the
// highest-priority waiter, the re-entrant reader-writer lock and the condition
// variables over them.
//
// Waiters block on their thread record's POSIX semaphore (locks) or on the
// record's own counting semaphore (conditions); a record can sit on one lock's
// waiter list and one condition list at once, through separate links.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>

#include "osa/yw_nocancel.h"

struct wq_ThreadRecord;
class wq_ThreadEnvironment;

// Cancellation of a thread that holds a broker lock (a reader-writer lock
// recorded as held, or a scoped wq_MutexLock) is held off until its last
// such lock is released: a thread stopped by its application is never cut
// while it owns a lock, a circuit's send side or half a message. Counted per
// thread, so holds nest; the state found by the first hold is restored by
// the last release (a pending cancel is then acted on at the thread's next
// cancellation point).
inline thread_local int wq_t_cancel_holds = 0;
inline thread_local int wq_t_cancel_saved = PTHREAD_CANCEL_ENABLE;
inline void wq_cancel_hold()
{
    if (wq_t_cancel_holds++ == 0)
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &wq_t_cancel_saved);
}
inline void wq_cancel_allow()
{
    if (wq_t_cancel_holds > 0 && --wq_t_cancel_holds == 0)
        pthread_setcancelstate(wq_t_cancel_saved, nullptr);
}

// The broker's stop point, run at the entry of its public calls that are
// not made from destructors (ORB_init, string_to_object, object_to_string,
// a stub's request, _narrow): a task thread whose stop is pending ends there
// when it holds no broker lock, so a loop of broker calls is ended like a
// loop of framework calls. Releases, _duplicate and string frees are never
// stop points (an application's holder makes them from its destructor).
// Never from a destructor or noexcept code.
inline void wq_stop_point()
{
    if (wq_t_cancel_holds == 0)
        YW_P_stopPointHook();
}

// One step of the guard's back-off: the passes up to `last_pass` (counted from
// 1) do `action` (spin, yield the processor, or sleep `units` of 100 ns).
struct wq_BackoffStep {
    enum Action : uint32_t { SPIN = 0, YIELD = 1, SLEEP = 2 };
    uint32_t last_pass;
    Action action;
    uint32_t units;
};

// The back-off schedule used by every guard of the process. After the last
// step the guard prints the deadlock warning once and keeps waiting with the
// last step's action; it never breaks mutual exclusion.
class wq_Backoff {
public:
    // Installs a schedule (the table must outlive its use); null or an empty
    // table restores the default (about 410 s before the warning).
    static void set_schedule(const wq_BackoffStep *steps, std::size_t count);
    // One pass of waiting; `pass` counts from 1. `warned` is set once the
    // warning has been printed for this wait. True once the pass lies past
    // the whole schedule.
    static bool pause(uint32_t pass, bool &warned);
};

// The calling thread's kernel thread id (never 0), kept per thread.
inline thread_local constinit uint32_t wq_t_holder_id = 0;
uint32_t wq_guard_holder_id_slow();
inline uint32_t wq_guard_holder_id()
{
    uint32_t id = wq_t_holder_id;
    return id ? id : wq_guard_holder_id_slow();
}

// The one-word guard: 0 free, otherwise the kernel thread id of its holder.
// Taken by compare-exchange (acquire), released by a release-store. Never
// held while a thread blocks. A waiter that has waited past the whole
// back-off schedule frees a guard whose holder no longer exists, never one
// whose holder still runs.
class wq_SpinGuard {
public:
    constexpr wq_SpinGuard() = default;
    wq_SpinGuard(const wq_SpinGuard &) = delete;
    wq_SpinGuard &operator=(const wq_SpinGuard &) = delete;

    void acquire()
    {
        uint32_t expected = 0;
        if (word_.compare_exchange_strong(expected, wq_guard_holder_id(), std::memory_order_acquire,
                                          std::memory_order_relaxed))
            return;
        acquire_slow();
    }
    void release() { word_.store(0, std::memory_order_release); }
    // Raw access for diagnostics and tests.
    std::atomic<uint32_t> &word() { return word_; }

private:
    void acquire_slow();
    std::atomic<uint32_t> word_{0};
};

// A lock for critical sections of a few instructions that never block
// (free lists and their counts): taken by compare-exchange, a short spin,
// then a sleep on the word itself (futex). Its release wakes one sleeper
// but does not hand the lock over: whichever thread runs first takes it, so
// many threads taking it in turn never queue behind a sleeper that is still
// waking up. No priority order, no owner, not re-entrant; a thread that
// holds it must neither block nor be cancelled (its sections contain no
// cancellation point). Constant-initialised and trivially destroyed, so it
// serves during the exit-time teardown too.
class wq_ShortLock {
public:
    constexpr wq_ShortLock() = default;
    wq_ShortLock(const wq_ShortLock &) = delete;
    wq_ShortLock &operator=(const wq_ShortLock &) = delete;

    void lock()
    {
        uint32_t expected = 0;
        if (!word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            lock_slow();
    }
    void unlock()
    {
        if (word_.exchange(0, std::memory_order_release) == 2)
            wake_one();
    }

private:
    void lock_slow();
    void wake_one();
    // 0 free, 1 held, 2 held with sleepers (perhaps).
    std::atomic<uint32_t> word_{0};
};

class wq_ShortLockGuard {
public:
    explicit wq_ShortLockGuard(wq_ShortLock &l) : l_(l) { l_.lock(); }
    ~wq_ShortLockGuard() { l_.unlock(); }
    wq_ShortLockGuard(const wq_ShortLockGuard &) = delete;
    wq_ShortLockGuard &operator=(const wq_ShortLockGuard &) = delete;

private:
    wq_ShortLock &l_;
};

// Priority-ordered list of waiting thread records (the wait links).
struct wq_WaitList {
    wq_ThreadRecord *head = nullptr;
    wq_ThreadRecord *tail = nullptr;

    // Reads the caller's priority afresh and inserts it: strictly above the
    // head goes first, otherwise behind the last waiter of at least its own
    // priority (first in, first out among equals).
    void enqueue(wq_ThreadRecord *rec);
    // Removes and returns the head (null when empty), links cleared.
    wq_ThreadRecord *dequeue();
    bool empty() const { return head == nullptr; }
};

// Blocks the calling record on its POSIX semaphore until a waker hands it the
// lock (EINTR is retried; a failure never counts as being woken).
void wq_block_on_record(wq_ThreadRecord *rec);
// Marks a record woken and posts its semaphore (called after the guard is
// released).
void wq_wake_record(wq_ThreadRecord *rec);

// Broker mutex: not re-entrant, no owner recorded; any thread may unlock and
// unlocking a free mutex does nothing. Unlock hands the lock to the first
// (highest-priority) waiter.
class wq_Mutex {
public:
    constexpr wq_Mutex() = default;
    wq_Mutex(const wq_Mutex &) = delete;
    wq_Mutex &operator=(const wq_Mutex &) = delete;

    void lock();
    void unlock();
    void force_unlock() { unlock(); }
    bool is_locked();

    wq_SpinGuard &wq_guard() { return guard_; }

private:
    wq_WaitList waiters_;
    wq_SpinGuard guard_;
    // 1 free, 0 held. Changed only under the guard; read without it only by
    // a locker watching for the holder to let go before it queues.
    std::atomic<uint32_t> count_{1};
};

// Counting semaphore with the same hand-off: a signal given to a waiter cannot
// be taken by a thread that arrives later.
class wq_CountingSemaphore {
public:
    constexpr explicit wq_CountingSemaphore(uint32_t count = 0) : count_(count) {}
    wq_CountingSemaphore(const wq_CountingSemaphore &) = delete;
    wq_CountingSemaphore &operator=(const wq_CountingSemaphore &) = delete;

    void wait();
    // Takes every pending signal at once (count > 0: count = 0), else blocks.
    void wait_all();
    void signal();
    // Only when the count is 0: wakes every waiter; the count is unchanged.
    void signal_all_waiters();
    uint32_t count();

    wq_SpinGuard &wq_guard() { return guard_; }

private:
    wq_WaitList waiters_;
    wq_SpinGuard guard_;
    uint32_t count_;
};

// The counting semaphore of a circuit-pool level.
class wq_WackySemaphore : public wq_CountingSemaphore {
public:
    constexpr explicit wq_WackySemaphore(uint32_t count = 0) : wq_CountingSemaphore(count) {}
};

// Reader-writer lock, re-entrant per thread: a thread that already holds it
// takes one more level of the mode it first took; lock_write by a thread that
// holds only the read lock is refused (BAD_INV_ORDER in the thread's
// environment, nothing taken). A lock granted but not recorded (out of memory)
// is released before the failure goes on. Each thread
// keeps the locks it holds with a count per lock. Waiters are granted in
// priority order; while anyone waits, new readers queue too.
class wq_RWMutex {
public:
    constexpr wq_RWMutex() = default;
    wq_RWMutex(const wq_RWMutex &) = delete;
    wq_RWMutex &operator=(const wq_RWMutex &) = delete;

    void lock_write(const wq_ThreadEnvironment &tenv);
    void lock_read(const wq_ThreadEnvironment &tenv);
    // Releases one level; a thread that does not hold the lock changes nothing.
    void unlock(const wq_ThreadEnvironment &tenv);
    void lock_write();
    void lock_read();
    void unlock();

    // Levels the calling thread holds (0 when none).
    uint32_t held_depth(const wq_ThreadEnvironment &tenv);

private:
    friend class wq_RWCondVar;
    void acquire(wq_ThreadRecord *rec, uint32_t mode, uint32_t depth);
    void release_all(wq_ThreadRecord *rec, uint32_t &mode, uint32_t &depth);
    void release_level(wq_ThreadRecord *rec, uint32_t mode);
    void grant_waiters(wq_ThreadRecord *&woken); // guard held

    wq_WaitList waiters_;
    wq_SpinGuard guard_;
    uint32_t readers_ = 0;
    uint32_t writer_ = 0;
};

// Priority-ordered list of records waiting on a condition (the cond links),
// with its own guard so that signalling needs no lock of the caller's.
struct wq_CondList {
    wq_ThreadRecord *head = nullptr;
    wq_ThreadRecord *tail = nullptr;
    wq_SpinGuard guard;

    void enqueue(wq_ThreadRecord *rec);
    void signal();
    void broadcast();
    // Takes rec off the list; false when a signal or broadcast took it
    // first (its post is then on the way).
    bool remove(wq_ThreadRecord *rec);
};

// Condition on a wq_RWMutex. wait() releases every level the caller holds,
// waits on the thread's own counting semaphore and takes the lock back at the
// same depth and mode.
class wq_RWCondVar {
public:
    constexpr explicit wq_RWCondVar(wq_RWMutex &mutex) : mutex_(&mutex) {}
    wq_RWCondVar(const wq_RWCondVar &) = delete;
    wq_RWCondVar &operator=(const wq_RWCondVar &) = delete;

    void wait(const wq_ThreadEnvironment &tenv);
    // As wait(), unless `leave()` is true once the caller is queued: then it
    // returns at once, the lock still held. A thread that sets what leave()
    // reads and then broadcasts is never missed.
    void wait_unless(const wq_ThreadEnvironment &tenv, bool (*leave)());
    void signal(const wq_ThreadEnvironment &tenv);
    void broadcast(const wq_ThreadEnvironment &tenv);
    // The same from a thread that has no broker record (no lock needed).
    void broadcast() { list_.broadcast(); }
    bool has_waiters();

private:
    wq_RWMutex *mutex_;
    wq_CondList list_;
};

// Condition on a wq_Mutex (held by the caller of wait()).
class wq_CondVar {
public:
    explicit wq_CondVar(wq_Mutex &mutex) : mutex_(&mutex) {}
    wq_CondVar(const wq_CondVar &) = delete;
    wq_CondVar &operator=(const wq_CondVar &) = delete;

    void wait();
    void wait(const wq_ThreadEnvironment &tenv);
    void signal();
    void broadcast();

private:
    wq_Mutex *mutex_;
    wq_CondList list_;
};

// Scoped holders.
class wq_MutexLock {
public:
    explicit wq_MutexLock(wq_Mutex &m) : m_(m)
    {
        wq_cancel_hold();
        m_.lock();
    }
    ~wq_MutexLock()
    {
        m_.unlock();
        wq_cancel_allow();
    }
    wq_MutexLock(const wq_MutexLock &) = delete;
    wq_MutexLock &operator=(const wq_MutexLock &) = delete;

private:
    wq_Mutex &m_;
};

class wq_WriteLock {
public:
    wq_WriteLock(wq_RWMutex &m, const wq_ThreadEnvironment &tenv) : m_(m), t_(tenv)
    {
        m_.lock_write(t_);
    }
    ~wq_WriteLock() { m_.unlock(t_); }
    wq_WriteLock(const wq_WriteLock &) = delete;
    wq_WriteLock &operator=(const wq_WriteLock &) = delete;

private:
    wq_RWMutex &m_;
    const wq_ThreadEnvironment &t_;
};

class wq_ReadLock {
public:
    wq_ReadLock(wq_RWMutex &m, const wq_ThreadEnvironment &tenv) : m_(m), t_(tenv)
    {
        m_.lock_read(t_);
    }
    ~wq_ReadLock() { m_.unlock(t_); }
    wq_ReadLock(const wq_ReadLock &) = delete;
    wq_ReadLock &operator=(const wq_ReadLock &) = delete;

private:
    wq_RWMutex &m_;
    const wq_ThreadEnvironment &t_;
};
