// Broker threads: the per-thread record, the per-call thread environment
// handle, thread-specific data with its exit-time destructor passes, thread
// creation and scheduling, and locked 32-bit atomics.
#pragma once

#include "wq_lock.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <semaphore.h>

class wq_RWMutex;

// One lock a thread holds, with its depth and the mode it was taken in.
struct wq_HeldLock {
    wq_RWMutex *lock;
    uint32_t count;
    uint32_t mode; // 0 read, 1 write
};

// The calling thread's broker record, made on the thread's first use and
// destroyed at its exit (after the thread-data destructor passes).
struct wq_ThreadRecord {
    pthread_t tid;
    int32_t priority; // read afresh whenever the thread queues on a lock
    // Links on one lock's waiter list.
    wq_ThreadRecord *wait_next = nullptr;
    wq_ThreadRecord *wait_prev = nullptr;
    uint32_t wait_mode = 0; // reader-writer waiters: 0 read, 1 write
    // Links on one condition's waiter list.
    wq_ThreadRecord *cond_next = nullptr;
    wq_ThreadRecord *cond_prev = nullptr;
    int32_t cond_priority = 0;
    sem_t sem;                        // blocks on a lock
    std::atomic<bool> posted{false};  // set by the waker before posting sem
    wq_CountingSemaphore cond_sem{0}; // blocks on a condition
    // Thread data, indexed by key; 16 slots to begin with.
    void **data = nullptr;
    uint32_t data_size = 0;
    // Reader-writer locks held, grown 8 entries at a time.
    wq_HeldLock *held = nullptr;
    uint32_t held_count = 0;
    uint32_t held_cap = 0;

    wq_ThreadRecord();
    ~wq_ThreadRecord();
    wq_ThreadRecord(const wq_ThreadRecord &) = delete;
    wq_ThreadRecord &operator=(const wq_ThreadRecord &) = delete;

    // The calling thread's record, created on first use.
    static wq_ThreadRecord *current()
    {
        if (wq_ThreadRecord *r = t_current)
            return r;
        return make_current();
    }

    wq_HeldLock *find_held(const wq_RWMutex *lock)
    {
        for (uint32_t i = 0; i < held_count; ++i)
            if (held[i].lock == lock)
                return &held[i];
        return nullptr;
    }
    wq_HeldLock *add_held(wq_RWMutex *lock, uint32_t mode, uint32_t count)
    {
        if (held_count == held_cap)
            grow_held();
        held[held_count] = wq_HeldLock{lock, count, mode};
        wq_cancel_hold(); // given back with the entry
        return &held[held_count++];
    }
    void remove_held(const wq_RWMutex *lock)
    {
        if (wq_HeldLock *h = find_held(lock)) {
            remove_held_at(h);
            wq_cancel_allow();
        }
    }
    // Removes an entry find_held returned (the last entry takes its place).
    // The entry's cancellation hold stays until the caller has let the lock
    // go (wq_cancel_allow then): the release may wait on the lock's guard.
    void remove_held_at(wq_HeldLock *h)
    {
        *h = held[held_count - 1];
        --held_count;
    }

    // The record of the calling thread. Stays set while the record's
    // exit-time destructor runs (the POSIX key is already cleared then), so
    // that thread data destructors can still use the broker's locks.
    static constinit inline thread_local wq_ThreadRecord *t_current = nullptr;

private:
    static wq_ThreadRecord *make_current();
    // Makes room for 8 more held locks; throws std::bad_alloc when memory
    // is short (nothing changed then).
    void grow_held();
};

// Per-call handle to the calling thread's record, built on the stack at the
// start of an operation.
class wq_ThreadEnvironment {
public:
    wq_ThreadEnvironment() : rec_(wq_ThreadRecord::current()) {}
    wq_ThreadRecord *record() const { return rec_ ? rec_ : wq_ThreadRecord::current(); }

protected:
    // A handle that is not tied to a thread: record() answers for the caller.
    explicit wq_ThreadEnvironment(std::nullptr_t) : rec_(nullptr) {}
    wq_ThreadRecord *rec_;
};

// Fixed thread-data keys; keys made later follow them.
enum : uint32_t {
    wq_env_key = 1,        // the thread environment
    wq_new_exc_key = 2,    // address of the latest Exception::operator new
    wq_last_throw_key = 3, // heap exception parked by the latest raise
};

typedef void (*wq_SpecificDtor)(void *);

// Destructors of thread data, indexed by key. At thread exit every non-null
// slot whose key has a destructor is cleared and handed to it, in passes until
// a pass finds nothing, at most 16.
struct wq_SpecificData {
    static constexpr uint32_t MAX_KEYS = 64;
    static constexpr uint32_t MAX_PASSES = 16;
    static std::atomic<wq_SpecificDtor> _dtors[MAX_KEYS];
    // A new key above the fixed ones with its destructor (may be null);
    // 0 when all 64 are taken.
    static uint32_t create_key(wq_SpecificDtor dtor);
    // Runs the destructor passes over one record's data.
    static void run_destructors(wq_ThreadRecord *rec);
};

class wq_Thread {
public:
    typedef pthread_t tid_t;
    static constexpr tid_t INVALID_TID = 0;
    enum : int { DETACHED = 1 };

    // Value under `key` for the calling thread; null when the table has no
    // slot for it yet or the key is 64 or above.
    static void *get_specific(uint32_t key, const wq_ThreadEnvironment &tenv);
    static void *get_specific(uint32_t key);
    // Stores `value` under `key`, growing the table to key + 1 slots; refuses
    // (false) keys of 64 or above and when memory is short.
    static bool set_specific(uint32_t key, void *value, const wq_ThreadEnvironment &tenv);
    static bool set_specific(uint32_t key, void *value);

    // Starts a thread (flags bit 0: detached) at `priority` with `policy`
    // (SCHED_OTHER uses the default priority); a real-time policy the process
    // may not use falls back to the default policy. 0 stack size: default.
    static tid_t spawn(void *(*fn)(void *), void *arg, int flags, int priority,
                       unsigned long stack_size, int policy);
    static int _spawn_flags;
    static int currentSchedulingPolicy();
    static bool setCurrentSchedulingPolicy(int policy);
    static void enable_stack_reporting();

    // Sleeps `units` of 100 ns, resuming after an interruption.
    static void sleep(uint64_t units);
    static void yield();
    // Current scheduling priority of a thread.
    static int32_t priority(tid_t tid);
    // Replaces the priority source (null: the scheduler's own value).
    static void set_priority_source(int32_t (*source)(tid_t));
    static tid_t self() { return pthread_self(); }
};

// Locked 32-bit read-modify-write operations.
struct wq_Atomic {
    template <class T> static T compare_exchange(std::atomic<T> &word, T value, T expected)
    {
        word.compare_exchange_strong(expected, value, std::memory_order_acq_rel,
                                     std::memory_order_acquire);
        return expected; // the old value
    }
    template <class T> static T increment(std::atomic<T> &word)
    {
        return word.fetch_add(1, std::memory_order_acq_rel) + 1;
    }
    template <class T> static T decrement(std::atomic<T> &word)
    {
        return word.fetch_sub(1, std::memory_order_acq_rel) - 1;
    }
    template <class T> static T add(std::atomic<T> &word, T value)
    {
        return word.fetch_add(value, std::memory_order_acq_rel) + value;
    }
    template <class T> static T exchange(std::atomic<T> &word, T value)
    {
        return word.exchange(value, std::memory_order_acq_rel);
    }
};
