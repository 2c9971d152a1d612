// The broker's locks: spin guard with back-off, priority-ordered hand-off
// mutex and counting semaphore, re-entrant reader-writer lock, conditions.
#include "wq_lock.h"
#include "corba_env.h"
#include "corba_except.h"
#include "wq_text.h"
#include "wq_thread.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

// ---- back-off ---------------------------------------------------------------

namespace {

const wq_BackoffStep k_default_steps[] = {
    {20, wq_BackoffStep::SPIN, 0},         {30, wq_BackoffStep::YIELD, 0},
    {50, wq_BackoffStep::SLEEP, 1000},     {100, wq_BackoffStep::SLEEP, 10000},
    {200, wq_BackoffStep::SLEEP, 1000000}, {600, wq_BackoffStep::SLEEP, 10000000},
};

// An installed schedule. Earlier ones stay allocated (and reachable) so that a
// guard still reading one is never left with a dangling table.
struct Schedule {
    const wq_BackoffStep *steps;
    std::size_t count;
    const Schedule *older;
};

const Schedule k_default{k_default_steps, sizeof k_default_steps / sizeof k_default_steps[0],
                         nullptr};
std::atomic<const Schedule *> g_schedule{&k_default};
std::atomic<const Schedule *> g_installed{nullptr}; // every schedule ever installed

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void do_step(const wq_BackoffStep &s)
{
    switch (s.action) {
    case wq_BackoffStep::SPIN:
        cpu_relax();
        break;
    case wq_BackoffStep::YIELD:
        wq_Thread::yield();
        break;
    case wq_BackoffStep::SLEEP:
        wq_Thread::sleep(s.units);
        break;
    }
}

} // namespace

void wq_Backoff::set_schedule(const wq_BackoffStep *steps, std::size_t count)
{
    if (!steps || count == 0) {
        g_schedule.store(&k_default, std::memory_order_release);
        return;
    }
    auto *s = new Schedule{steps, count, nullptr};
    s->older = g_installed.exchange(s, std::memory_order_acq_rel);
    g_schedule.store(s, std::memory_order_release);
}

bool wq_Backoff::pause(uint32_t pass, bool &warned)
{
    // A guard is waited for inside unlocks and destructors too: its sleeps
    // and its warning are never where a stop ends the thread.
    YW_P_noCancel hold;
    const Schedule *s = g_schedule.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < s->count; ++i) {
        if (pass <= s->steps[i].last_pass) {
            do_step(s->steps[i]);
            return false;
        }
    }
    // Past the schedule: the holder may be stuck. Say so once; the caller
    // then looks at the holder.
    if (!warned) {
        warned = true;
        wq_err << "Ulvenor WARNING: wq_Mutex has detected a deadlock. Recovering...\n" << wq_flush;
    }
    do_step(s->steps[s->count - 1]);
    return true;
}

namespace {

// A forked child's thread has an id of its own.
void forget_holder_id() { wq_t_holder_id = 0; }

// Whether the thread of this process with that kernel id has ended. A
// thread that still runs, or an id that cannot be judged, counts as alive.
bool holder_gone(uint32_t tid)
{
    if (tid == 0 || tid > static_cast<uint32_t>(INT32_MAX))
        return false;
    return syscall(SYS_tgkill, getpid(), static_cast<pid_t>(tid), 0) != 0 && errno == ESRCH;
}

} // namespace

uint32_t wq_guard_holder_id_slow()
{
    if (wq_t_holder_id == 0) {
        static std::once_flag once;
        std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &forget_holder_id); });
        wq_t_holder_id = static_cast<uint32_t>(syscall(SYS_gettid));
    }
    return wq_t_holder_id;
}

void wq_SpinGuard::acquire_slow()
{
    bool warned = false;
    uint32_t me = wq_guard_holder_id();
    for (;;) {
        uint32_t pass = 0;
        uint32_t holder, seen = 0;
        while ((holder = word_.load(std::memory_order_relaxed)) != 0) {
            // The schedule measures how long one holder keeps the guard: a
            // guard passed from holder to holder is no stuck one, and its
            // waiter keeps spinning instead of sleeping long.
            if (holder != seen) {
                seen = holder;
                pass = 0;
            }
            // After the whole schedule: a guard whose holder has ended is
            // freed (only if it still names that holder), so that this
            // waiter goes on; a live holder is waited for, however long.
            if (wq_Backoff::pause(++pass, warned) && holder_gone(holder))
                word_.compare_exchange_strong(holder, 0, std::memory_order_relaxed);
        }
        uint32_t expected = 0;
        if (word_.compare_exchange_weak(expected, me, std::memory_order_acquire,
                                        std::memory_order_relaxed))
            return;
    }
}

// ---- wq_ShortLock -------------------------------------------------------------

namespace {
// Spins before sleeping: a holder keeps the lock for well under a
// microsecond unless it was preempted.
constexpr int k_short_spins = 100;

long futex(std::atomic<uint32_t> *word, int op, uint32_t val)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), op | FUTEX_PRIVATE_FLAG, val, nullptr,
                   nullptr, 0);
}
} // namespace

void wq_ShortLock::lock_slow()
{
    for (int i = 0; i < k_short_spins; ++i) {
        cpu_relax();
        uint32_t expected = 0;
        if (word_.load(std::memory_order_relaxed) == 0 &&
            word_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return;
    }
    // Sleep marked as a sleeper (2); whoever takes the lock after a sleep
    // keeps the mark, so the release after it wakes the next sleeper.
    while (word_.exchange(2, std::memory_order_acquire) != 0)
        futex(&word_, FUTEX_WAIT, 2); // returns at once when the word changed
}

void wq_ShortLock::wake_one() { futex(&word_, FUTEX_WAKE, 1); }

// ---- waiter lists -----------------------------------------------------------

void wq_WaitList::enqueue(wq_ThreadRecord *rec)
{
    rec->priority = wq_Thread::priority(rec->tid);
    rec->wait_next = rec->wait_prev = nullptr;
    if (!head) {
        head = tail = rec;
        return;
    }
    if (rec->priority > head->priority) {
        rec->wait_next = head;
        head->wait_prev = rec;
        head = rec;
        return;
    }
    // Behind the last waiter of at least our priority (head qualifies).
    wq_ThreadRecord *p = tail;
    while (p->priority < rec->priority)
        p = p->wait_prev;
    rec->wait_prev = p;
    rec->wait_next = p->wait_next;
    if (p->wait_next)
        p->wait_next->wait_prev = rec;
    else
        tail = rec;
    p->wait_next = rec;
}

wq_ThreadRecord *wq_WaitList::dequeue()
{
    wq_ThreadRecord *r = head;
    if (!r)
        return nullptr;
    head = r->wait_next;
    if (head)
        head->wait_prev = nullptr;
    else
        tail = nullptr;
    r->wait_next = r->wait_prev = nullptr;
    return r;
}

namespace {
// Looks at a queued waiter's flag before it sleeps (a few microseconds).
constexpr int k_handoff_polls = 256;
} // namespace

void wq_block_on_record(wq_ThreadRecord *rec)
{
    // A waiter is never cut while it waits: it stays on a waiter list, and a
    // lock or count later handed to it would be lost with it. A stop is
    // acted on at the thread's next cancellation point after the wait.
    YW_P_noCancel hold;
    // A hand-off often follows within microseconds: watch the record's flag a
    // while before blocking. The waker sets it before it posts, and a post to
    // a thread that does not sleep yet makes no system call on either side.
    // The waiter is queued meanwhile, so the order of waiters is kept.
    for (int i = 0; i < k_handoff_polls; ++i) {
        if (rec->posted.load(std::memory_order_acquire))
            break;
        cpu_relax();
    }
    bool reported = false;
    for (;;) {
        if (sem_wait(&rec->sem) == 0) {
            if (rec->posted.load(std::memory_order_acquire))
                return;
            continue; // a stray post: not our hand-off
        }
        if (errno == EINTR)
            continue;
        // The semaphore is unusable. Never take that as the hand-off: wait
        // for the waker's flag instead.
        if (!reported) {
            std::perror("Ulvenor: wq_Mutex::lock or wq_CountingSemaphore::wait failed");
            reported = true;
        }
        if (rec->posted.load(std::memory_order_acquire))
            return;
        wq_Thread::sleep(1000);
    }
}

void wq_wake_record(wq_ThreadRecord *rec)
{
    while (sem_post(&rec->sem) != 0) {
        if (errno == EINTR)
            continue;
        YW_P_noCancel hold; // an unlock: never ended while it reports
        std::perror("Ulvenor: wq_Mutex::unlock or wq_CountingSemaphore::give failed");
        break;
    }
}

namespace {

// Takes the first waiter off `list` for a hand-off (guard held).
inline wq_ThreadRecord *take_first(wq_WaitList &list)
{
    wq_ThreadRecord *w = list.dequeue();
    if (w)
        w->posted.store(true, std::memory_order_release);
    return w;
}

// Queues the caller, releases the guard and blocks until handed the lock.
inline void wait_for_handoff(wq_WaitList &list, wq_SpinGuard &guard, wq_ThreadRecord *rec)
{
    rec->posted.store(false, std::memory_order_relaxed);
    list.enqueue(rec);
    guard.release();
    wq_block_on_record(rec);
}

} // namespace

// ---- wq_Mutex -----------------------------------------------------------------

void wq_Mutex::lock()
{
    guard_.acquire();
    if (count_.load(std::memory_order_relaxed) == 1) {
        count_.store(0, std::memory_order_relaxed);
        guard_.release();
        return;
    }
    // Held: queue at once, in priority order. A caller that watched the
    // count instead would be no waiter, and on release whoever of the
    // watchers came first would take the lock, whatever its priority. A
    // release soon after still costs no system call: the queued caller
    // polls its own record a while before it sleeps (wq_block_on_record).
    wait_for_handoff(waiters_, guard_, wq_ThreadRecord::current());
}

void wq_Mutex::unlock()
{
    guard_.acquire();
    if (count_.load(std::memory_order_relaxed) == 1) {
        guard_.release();
        return;
    }
    if (wq_ThreadRecord *w = take_first(waiters_)) {
        guard_.release(); // the lock passes to w; count stays 0
        wq_wake_record(w);
        return;
    }
    count_.store(1, std::memory_order_relaxed);
    guard_.release();
}

bool wq_Mutex::is_locked()
{
    guard_.acquire();
    bool held = count_.load(std::memory_order_relaxed) == 0;
    guard_.release();
    return held;
}

// ---- wq_CountingSemaphore -----------------------------------------------------

void wq_CountingSemaphore::wait()
{
    guard_.acquire();
    if (count_ > 0) {
        --count_;
        guard_.release();
        return;
    }
    wait_for_handoff(waiters_, guard_, wq_ThreadRecord::current());
}

void wq_CountingSemaphore::wait_all()
{
    guard_.acquire();
    if (count_ > 0) {
        count_ = 0;
        guard_.release();
        return;
    }
    wait_for_handoff(waiters_, guard_, wq_ThreadRecord::current());
}

void wq_CountingSemaphore::signal()
{
    guard_.acquire();
    if (count_ == 0) {
        if (wq_ThreadRecord *w = take_first(waiters_)) {
            guard_.release();
            wq_wake_record(w);
            return;
        }
    }
    ++count_;
    guard_.release();
}

void wq_CountingSemaphore::signal_all_waiters()
{
    guard_.acquire();
    if (count_ != 0 || waiters_.empty()) {
        guard_.release();
        return;
    }
    wq_ThreadRecord *w = waiters_.head;
    waiters_.head = waiters_.tail = nullptr;
    for (wq_ThreadRecord *p = w; p; p = p->wait_next)
        p->posted.store(true, std::memory_order_release);
    guard_.release();
    while (w) {
        wq_ThreadRecord *next = w->wait_next; // read before w can run again
        w->wait_next = w->wait_prev = nullptr;
        wq_wake_record(w);
        w = next;
    }
}

uint32_t wq_CountingSemaphore::count()
{
    guard_.acquire();
    uint32_t c = count_;
    guard_.release();
    return c;
}

// ---- wq_RWMutex -------------------------------------------------------------

// Grants the lock to waiters from the head while their mode allows it; the
// granted records are chained through wait_next into `woken` (guard held).
void wq_RWMutex::grant_waiters(wq_ThreadRecord *&woken)
{
    wq_ThreadRecord **tailp = &woken;
    while (wq_ThreadRecord *w = waiters_.head) {
        if (w->wait_mode == 1) {
            if (writer_ || readers_)
                break;
            writer_ = 1;
        } else {
            if (writer_)
                break;
            ++readers_;
        }
        waiters_.dequeue();
        w->posted.store(true, std::memory_order_release);
        *tailp = w;
        tailp = &w->wait_next;
        if (w->wait_mode == 1)
            break;
    }
    *tailp = nullptr;
}

namespace {
void wake_chain(wq_ThreadRecord *w)
{
    while (w) {
        wq_ThreadRecord *next = w->wait_next;
        w->wait_next = nullptr;
        wq_wake_record(w);
        w = next;
    }
}
} // namespace

void wq_RWMutex::acquire(wq_ThreadRecord *rec, uint32_t mode, uint32_t depth)
{
    guard_.acquire();
    bool free_now = mode == 1 ? (!writer_ && !readers_ && waiters_.empty())
                              : (!writer_ && waiters_.empty());
    if (free_now) {
        if (mode == 1)
            writer_ = 1;
        else
            ++readers_;
        guard_.release();
    } else {
        rec->wait_mode = mode;
        rec->posted.store(false, std::memory_order_relaxed);
        waiters_.enqueue(rec);
        // A waiter ahead of every other may be grantable at once (a reader
        // of higher priority than a writer that waits for readers).
        wq_ThreadRecord *woken = nullptr;
        grant_waiters(woken);
        guard_.release();
        wake_chain(woken);
        wq_block_on_record(rec);
    }
    // A lock that cannot be recorded could never be unlocked by its holder:
    // give it back before the failure goes on.
    try {
        rec->add_held(this, mode, depth);
    } catch (...) {
        release_level(rec, mode);
        throw;
    }
}

void wq_RWMutex::release_level(wq_ThreadRecord *, uint32_t mode)
{
    guard_.acquire();
    if (mode == 1)
        writer_ = 0;
    else if (readers_ > 0)
        --readers_;
    if (waiters_.empty()) {
        guard_.release();
        return;
    }
    wq_ThreadRecord *woken = nullptr;
    grant_waiters(woken);
    guard_.release();
    wake_chain(woken);
}

void wq_RWMutex::release_all(wq_ThreadRecord *rec, uint32_t &mode, uint32_t &depth)
{
    wq_HeldLock *h = rec->find_held(this);
    if (!h) {
        depth = 0;
        mode = 0;
        return;
    }
    depth = h->count;
    mode = h->mode;
    rec->remove_held_at(h);
    release_level(rec, mode);
    wq_cancel_allow();
}

void wq_RWMutex::lock_write(const wq_ThreadEnvironment &tenv)
{
    wq_ThreadRecord *rec = tenv.record();
    if (wq_HeldLock *h = rec->find_held(this)) {
        if (h->mode != 1) {
            // A reader cannot become the writer in place (another reader may
            // be inside): refused, nothing taken.
            CORBA::EnvironmentInfo::_current()->exception(new CORBA::BAD_INV_ORDER(
                WQ_MINOR_LOCK_UPGRADE, CORBA::COMPLETED_NO,
                "write lock requested by a thread that holds the read lock"));
            return;
        }
        ++h->count;
        return;
    }
    acquire(rec, 1, 1);
}

void wq_RWMutex::lock_read(const wq_ThreadEnvironment &tenv)
{
    wq_ThreadRecord *rec = tenv.record();
    if (wq_HeldLock *h = rec->find_held(this)) {
        ++h->count;
        return;
    }
    acquire(rec, 0, 1);
}

void wq_RWMutex::unlock(const wq_ThreadEnvironment &tenv)
{
    wq_ThreadRecord *rec = tenv.record();
    wq_HeldLock *h = rec->find_held(this);
    if (!h)
        return;
    if (--h->count > 0)
        return;
    uint32_t mode = h->mode;
    rec->remove_held_at(h);
    release_level(rec, mode);
    wq_cancel_allow();
}

void wq_RWMutex::lock_write()
{
    wq_ThreadEnvironment tenv;
    lock_write(tenv);
}

void wq_RWMutex::lock_read()
{
    wq_ThreadEnvironment tenv;
    lock_read(tenv);
}

void wq_RWMutex::unlock()
{
    wq_ThreadEnvironment tenv;
    unlock(tenv);
}

uint32_t wq_RWMutex::held_depth(const wq_ThreadEnvironment &tenv)
{
    wq_HeldLock *h = tenv.record()->find_held(this);
    return h ? h->count : 0;
}

// ---- conditions ---------------------------------------------------------------

void wq_CondList::enqueue(wq_ThreadRecord *rec)
{
    int32_t prio = wq_Thread::priority(rec->tid);
    guard.acquire();
    rec->cond_priority = prio;
    rec->cond_next = rec->cond_prev = nullptr;
    if (!head) {
        head = tail = rec;
    } else if (prio > head->cond_priority) {
        rec->cond_next = head;
        head->cond_prev = rec;
        head = rec;
    } else {
        wq_ThreadRecord *p = tail;
        while (p->cond_priority < prio)
            p = p->cond_prev;
        rec->cond_prev = p;
        rec->cond_next = p->cond_next;
        if (p->cond_next)
            p->cond_next->cond_prev = rec;
        else
            tail = rec;
        p->cond_next = rec;
    }
    guard.release();
}

void wq_CondList::signal()
{
    guard.acquire();
    wq_ThreadRecord *w = head;
    if (w) {
        head = w->cond_next;
        if (head)
            head->cond_prev = nullptr;
        else
            tail = nullptr;
        w->cond_next = w->cond_prev = nullptr;
    }
    guard.release();
    if (w)
        w->cond_sem.signal();
}

void wq_CondList::broadcast()
{
    guard.acquire();
    wq_ThreadRecord *w = head;
    head = tail = nullptr;
    guard.release();
    while (w) {
        wq_ThreadRecord *next = w->cond_next; // read before w can run again
        w->cond_next = w->cond_prev = nullptr;
        w->cond_sem.signal();
        w = next;
    }
}

bool wq_CondList::remove(wq_ThreadRecord *rec)
{
    guard.acquire();
    wq_ThreadRecord *p = head;
    while (p && p != rec)
        p = p->cond_next;
    if (p) {
        if (p->cond_prev)
            p->cond_prev->cond_next = p->cond_next;
        else
            head = p->cond_next;
        if (p->cond_next)
            p->cond_next->cond_prev = p->cond_prev;
        else
            tail = p->cond_prev;
        p->cond_next = p->cond_prev = nullptr;
    }
    guard.release();
    return p != nullptr;
}

void wq_RWCondVar::wait_unless(const wq_ThreadEnvironment &tenv, bool (*leave)())
{
    wq_ThreadRecord *rec = tenv.record();
    list_.enqueue(rec);
    if (leave()) {
        // Queued already: off the list again, or the post that took it
        // off is taken, so that no later wait finds it.
        if (!list_.remove(rec))
            rec->cond_sem.wait();
        return;
    }
    uint32_t mode = 0, depth = 0;
    mutex_->release_all(rec, mode, depth);
    rec->cond_sem.wait();
    if (depth)
        mutex_->acquire(rec, mode, depth);
}

void wq_RWCondVar::wait(const wq_ThreadEnvironment &tenv)
{
    wq_ThreadRecord *rec = tenv.record();
    list_.enqueue(rec);
    // Release every level the caller holds and take them back afterwards, so
    // a nested holder neither deadlocks nor loses its depth.
    uint32_t mode = 0, depth = 0;
    mutex_->release_all(rec, mode, depth);
    rec->cond_sem.wait();
    if (depth)
        mutex_->acquire(rec, mode, depth);
}

void wq_RWCondVar::signal(const wq_ThreadEnvironment &) { list_.signal(); }
void wq_RWCondVar::broadcast(const wq_ThreadEnvironment &) { list_.broadcast(); }

bool wq_RWCondVar::has_waiters()
{
    list_.guard.acquire();
    bool any = list_.head != nullptr;
    list_.guard.release();
    return any;
}

void wq_CondVar::wait()
{
    wq_ThreadEnvironment tenv;
    wait(tenv);
}

void wq_CondVar::wait(const wq_ThreadEnvironment &tenv)
{
    wq_ThreadRecord *rec = tenv.record();
    list_.enqueue(rec);
    mutex_->unlock();
    rec->cond_sem.wait();
    mutex_->lock();
}

void wq_CondVar::signal() { list_.signal(); }
void wq_CondVar::broadcast() { list_.broadcast(); }
