// The server side's circuit pools: the levels of circuits waiting for a
// reader, the poller that moves circuits with input to them, and the
// starvation timer that tells a level whose queue does not move.
#pragma once

#include "wq_circuit.h"
#include "wq_poll.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cerrno>
#include <mutex>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

// ---- circuit pools --------------------------------------------------------------

// Starts a pool's poller thread; false when it cannot be started.
// `priority` < 0: the broker's default priority. With `managed`, as one of
// the broker's managed threads (joined by its shutdown), otherwise as a
// plain detached thread that the pool's own shutdown ends.
bool wq_start_poller(void (*body)(void *), void *arg, int priority, bool managed);
// Sets the calling thread's native priority (where its policy has
// priorities).
void wq_set_own_native_priority(int priority);

// Circuits waiting for a reader, in a fixed number of levels. A circuit
// whose transport has a pollable descriptor and no input already read waits
// in the pool's poller (one epoll set for all levels; registrations name the
// circuit's poll entry, which names its level) until input or its end is
// there, so that a silent connection holds no reader. One poller thread per
// pool waits in that set and moves each circuit that has input to its
// level's queue; readers wait on the queues only, one of them woken per
// circuit, so that no reader ever waits in the set (whose kernel lock every
// waiter would take). A queue is first in, first out: a circuit whose input
// never ends goes behind every other circuit after each message, and none
// waits behind it for long.
// A circuit is watched one-shot and armed again when handed back; one
// whose input is already there (read ahead, or come while it was held) is
// queued instead. A reader hands its circuit back before it serves the
// message read, so that the next message is read by another reader as soon
// as it comes; with the ticket that put() gives it takes the circuit back
// after its reply when nothing came meanwhile (take_back), and reads on.
// When circuits are queued while fewer readers of the level are idle, the
// level's `on_no_idle` hook (if set) is told, and told again by the poller
// while the queue's head has not moved for kStarvedUs and none is idle.
// The poller is started on first use and ends at the shutdown.
// Fair share: a level's queue has two parts. A circuit none of whose calls
// is in service (`calls_in_service()`) waits among the fresh ones, served
// first and in turn; one whose calls are in service already waits apart,
// and a reader takes it only when no fresh circuit waits and the level's
// `may_double` hook allows a connection another reader (readers nobody
// else waits for). When its last call in service ends (service_ended), a
// circuit waiting apart joins the fresh ones behind those there.
// T provides `pool_next`, `pool_prev`, `pool_busy`, `pool_where`,
// `calls_in_service()`, `poll_entry`, `poll_set`, `has_buffered_input()`
// and `net()`.
template <class T> class wq_PriorityQueue {
public:
    explicit wq_PriorityQueue(int32_t levels) : levels_(levels), lv_(new Level[levels])
    {
        for (int32_t i = 0; i < levels; ++i) {
            lv_[i].owner = this;
            lv_[i].index = uint32_t(i);
        }
    }
    // Detached readers and the poller may still run when the process ends,
    // so the levels stay allocated after the shutdown.
    ~wq_PriorityQueue()
    {
        YW_P_noCancel hold; // the shutdown's wake-ups
        shutdown();
    }
    wq_PriorityQueue(const wq_PriorityQueue &) = delete;
    wq_PriorityQueue &operator=(const wq_PriorityQueue &) = delete;

    // Hands a circuit (and the reference its reader held) to the level.
    // With `ticket`: set to name the circuit for take_back when it waits in
    // the poller, to 0 when it was queued. A circuit that cannot be watched
    // (no poller could be started) is queued when its input is there;
    // otherwise, with `may_keep`, false is returned and the caller keeps it
    // (and waits for its input itself), so that no silent circuit is ever
    // queued by a reader that could wait for it.
    bool put(T *c, uint32_t level, uint64_t *ticket = nullptr, bool may_keep = false)
    {
        if (ticket)
            *ticket = 0;
        if (level >= static_cast<uint32_t>(levels_))
            level = 0;
        Level &l = lv_[level];
        int fd = c->net() ? c->net()->poll_fd() : -1;
        if (fd >= 0 && !c->has_buffered_input()) {
            if (ensure_poller(level) && watch(l, level, c, fd, ticket))
                return true;
            if (may_keep && !shutting_down() && !readable(fd))
                return false;
        }
        enqueue(l, &c, 1, level);
        return true;
    }
    // Takes back a circuit that waits in a poller since the put() that gave
    // `ticket`, disarming its watch: its next input wakes only the reader
    // that then reads it. Null when it has been taken meanwhile (its input
    // came) or handed back again.
    static T *take_back(uint64_t ticket)
    {
        using namespace wq_poll;
        if (!ticket)
            return nullptr;
        Entry &e = entry(data_index(ticket));
        uint64_t w = make(data_gen(ticket), WAITING);
        if (!e.word.compare_exchange_strong(w, make(data_gen(ticket), OWNED), std::memory_order_acq_rel))
            return nullptr;
        T *c = static_cast<T *>(e.item.load(std::memory_order_relaxed));
        // An event of this arming that comes before the change finds the
        // circuit held and only marks it.
        epoll_event off{};
        off.events = EPOLLONESHOT;
        off.data.u64 = ticket;
        ::epoll_ctl(c->poll_set, EPOLL_CTL_MOD, c->net()->poll_fd(), &off);
        return c;
    }
    // Circuits queued at a level (input already there).
    uint32_t queued(uint32_t level)
    {
        Level &l = lv_[level < static_cast<uint32_t>(levels_) ? level : 0];
        return l.queued.load(std::memory_order_acquire);
    }
    // Circuits queued at a level beyond the readers idle there.
    uint32_t unserved(uint32_t level) { return unserved(lv_[level < static_cast<uint32_t>(levels_) ? level : 0]); }
    // Circuits last watched at a level that are still open.
    uint32_t members(uint32_t level)
    {
        Level &l = lv_[level < static_cast<uint32_t>(levels_) ? level : 0];
        return l.members.load(std::memory_order_acquire);
    }
    // Waits for a circuit with input; null when shutting down, or (with
    // `timed_out` set) after idle_ms without one (never with idle_ms < 0)
    // or when nudged meanwhile. A caller counted in the level's idle readers
    // (`counted_idle`) is no longer counted once it has a circuit: taken off
    // with the circuit under the queue's mutex, so that a circuit queued
    // meanwhile never finds the taker still counted idle, starts no reader
    // and is left with none.
    T *get(uint32_t level, int idle_ms = -1, bool *timed_out = nullptr, bool counted_idle = false)
    {
        if (timed_out)
            *timed_out = false;
        if (level >= static_cast<uint32_t>(levels_))
            return nullptr;
        Level &l = lv_[level];
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle_ms < 0 ? 0 : idle_ms);
        std::unique_lock<std::mutex> g(l.mtx);
        uint32_t nudges = l.nudges;
        ++l.waiting;
        bool may_double = false;
        while (!(l.head || (l.bhead && (may_double = doubling_allowed(l)))) && !shutting_down()) {
            bool over = false;
            // Circuits waiting apart are looked at again after a while: what
            // allows a connection another reader changes without a wake-up.
            auto wake = l.bhead ? std::chrono::steady_clock::now() + std::chrono::milliseconds(kApartLookMs)
                                : std::chrono::steady_clock::time_point::max();
            if (idle_ms < 0 && !l.bhead)
                l.cv.wait(g);
            else if (idle_ms < 0)
                l.cv.wait_until(g, wake);
            else
                over = l.cv.wait_until(g, std::min(until, wake)) == std::cv_status::timeout &&
                       std::chrono::steady_clock::now() >= until;
            if (!l.head && !shutting_down() && idle_ms >= 0 && (over || l.nudges != nudges)) {
                --l.waiting;
                if (timed_out)
                    *timed_out = true;
                return nullptr;
            }
        }
        --l.waiting;
        if (shutting_down())
            return nullptr;
        l.moved_us.store(now_us(), std::memory_order_relaxed);
        // Off the idle count before the queue (see unserved).
        if (counted_idle)
            l.idle.fetch_sub(1, std::memory_order_seq_cst);
        return unlink_head(l, may_double);
    }
    // The last call in service of a circuit has ended: when it waits apart
    // (see the fair share above) it joins the fresh circuits of its level.
    // The caller holds a reference to the circuit.
    static void service_ended(T *c)
    {
        auto *l = static_cast<Level *>(c->pool_where.load(std::memory_order_seq_cst));
        if (!l)
            return; // not queued: the next enqueue looks for itself
        {
            std::lock_guard<std::mutex> g(l->mtx);
            if (c->pool_where.load(std::memory_order_relaxed) != l || !c->pool_busy || c->calls_in_service() != 0)
                return;
            unlink(l->bhead, l->btail, c);
            c->pool_busy = false;
            append(l->head, l->tail, c);
            l->owner->input_waits(c);
            l->fresh.fetch_add(1, std::memory_order_seq_cst);
            if (l->waiting)
                l->cv.notify_one();
        }
        l->owner->tell_if_unserved(*l);
    }
    // Ends the time-limited waits of the level's idle readers now, so that
    // they look whether they may end.
    void nudge(uint32_t level)
    {
        if (level >= static_cast<uint32_t>(levels_))
            return;
        Level &l = lv_[level];
        std::lock_guard<std::mutex> g(l.mtx);
        if (!l.waiting)
            return;
        ++l.nudges;
        l.cv.notify_all();
    }
    // After shutdown: a queued circuit.
    T *get_after_shutdown()
    {
        for (int32_t i = levels_ - 1; i >= 0; --i) {
            Level &l = lv_[i];
            std::lock_guard<std::mutex> g(l.mtx);
            if (T *c = unlink_head(l, true))
                return c;
        }
        return nullptr;
    }
    // Readers waiting in get and the poller are woken; the poller ends.
    void shutdown()
    {
        shutting_.store(true, std::memory_order_release);
        for (int32_t i = 0; i < levels_; ++i) {
            Level &l = lv_[i];
            std::lock_guard<std::mutex> g(l.mtx);
            l.cv.notify_all();
        }
        wake_poller();
    }
    // Shuts the pool down and waits (at most `ms`) until its poller has
    // ended; false when it still runs.
    bool shutdown_and_wait(int ms)
    {
        shutdown();
        for (int i = 0; i < ms && poller_.runs.load(std::memory_order_acquire); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return !poller_.runs.load(std::memory_order_acquire);
    }
    // Empties the queues and takes the shutdown back (under `lock`). The
    // reader counts are kept: a reader woken by the shutdown leaves, and
    // takes itself off, only when it finds the pool still shut under
    // `lock`; otherwise it stays, counted.
    void restart()
    {
        for (int32_t i = 0; i < levels_; ++i) {
            Level &l = lv_[i];
            std::lock_guard<std::mutex> g(l.mtx);
            for (T *list : {l.head, l.bhead})
                for (T *c = list; c; c = c->pool_next)
                    c->pool_where.store(nullptr, std::memory_order_relaxed);
            l.head = l.tail = l.bhead = l.btail = nullptr;
            l.fresh.store(0, std::memory_order_relaxed);
            if (uint32_t n = l.queued.exchange(0, std::memory_order_relaxed))
                queued_total_.fetch_sub(n, std::memory_order_relaxed);
        }
        wq_ThreadEnvironment tenv;
        wq_WriteLock g(lock, tenv);
        shutting_.store(false, std::memory_order_release);
    }
    bool shutting_down() const { return shutting_.load(std::memory_order_acquire); }
    // A queue whose head has not moved for this long (microseconds) while
    // no reader is idle is told to the hook again: its readers are held by
    // servants that take their time (or wait), while short calls would
    // have moved it on by then.
    static constexpr int64_t kStarvedUs = 1000;
    // How often readers waiting while circuits wait apart look again
    // whether they may take one (milliseconds).
    static constexpr int kApartLookMs = 20;
    int32_t levels() const { return levels_; }

    // Reader counts, under the pool's reader-writer lock.
    wq_RWMutex lock;
    std::atomic<uint32_t> &readers(uint32_t level) { return lv_[level].readers; }
    // Readers waiting in get (or about to), changed by each reader around
    // every get: a counter of its own, so that readers never queue on the
    // pool's lock between two requests.
    std::atomic<uint32_t> &idle(uint32_t level) { return lv_[level].idle; }
    // Told (on the thread that queued, or on the poller) when circuits
    // wait in the queue while fewer readers are idle; `starved` when the
    // queue has not moved for kStarvedUs and no reader is idle.
    void (*on_no_idle)(uint32_t level, bool starved) = nullptr;
    // Whether a reader of the level may take a circuit whose calls are in
    // service already (null: always); asked only while no fresh circuit
    // waits there. Reads counters only: called under the level's mutex.
    bool (*may_double)(uint32_t level) = nullptr;
    // Fresh circuits queued at a level (none of their calls in service).
    uint32_t fresh(uint32_t level)
    {
        return lv_[level < static_cast<uint32_t>(levels_) ? level : 0].fresh.load(std::memory_order_acquire);
    }
    // The native priority of a level's circuits (null, or < 0: the
    // default): the poller runs at the highest of the levels it watches.
    int (*poller_priority)(uint32_t level) = nullptr;
    // The broker's own pools: their poller is a managed thread.
    bool managed_poller = false;
    // Whether input waiting in the queue counts in the acceptor's bound on
    // unread connections (not where calls wait for readers by design).
    bool counts_unread = true;

private:
    struct Level {
        T *head = nullptr; // fresh circuits
        T *tail = nullptr;
        T *bhead = nullptr; // circuits whose calls are in service
        T *btail = nullptr;
        wq_PriorityQueue *owner = nullptr;
        uint32_t index = 0;
        std::mutex mtx;
        std::condition_variable cv; // readers waiting for the queue
        uint32_t waiting = 0;        // of them, under mtx
        uint32_t nudges = 0;         // under mtx
        std::atomic<uint32_t> readers{0};       // reader threads serving the level (changed under lock)
        std::atomic<uint32_t> idle{0};          // of them, waiting in get
        // Circuits in the queue (both parts), and of them the fresh ones:
        // changed under mtx, read without it.
        std::atomic<uint32_t> queued{0};
        std::atomic<uint32_t> fresh{0};
        std::atomic<uint32_t> members{0};       // circuits last watched here
        std::atomic<int64_t> moved_us{0}; // when the queue's head last went
        std::atomic<int> priority{INT32_MIN}; // poller_priority, once asked
    };
    // The pool's one poller.
    struct Poller {
        std::mutex mtx;
        std::atomic<int> ep{-1}; // its set, made on first use
        int ev = -1;             // wakes the poller thread
        std::atomic<bool> runs{false};   // changed under mtx
        std::atomic<bool> asleep{false}; // waits without a time-out
        std::atomic<int> want_priority{-1};
    };

    static int64_t now_us()
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // Circuits queued beyond the idle readers. The queue is read before the
    // idle count, and a reader that takes a circuit leaves the idle count
    // before the queue: a take between the two reads is seen whole or not at
    // all, so a circuit with no idle reader for it is never missed (at worst
    // one just taken is still counted).
    // Circuits waiting apart count only while the level may double up.
    uint32_t unserved(Level &l)
    {
        uint32_t fresh = l.fresh.load(std::memory_order_seq_cst);
        uint32_t queued = l.queued.load(std::memory_order_seq_cst);
        uint32_t idle = l.idle.load(std::memory_order_seq_cst);
        uint32_t takeable = queued > fresh && doubling_allowed(l) ? queued : fresh;
        return takeable > idle ? takeable - idle : 0;
    }
    bool doubling_allowed(Level &l) { return !may_double || may_double(l.index); }
    // Tells the hook when circuits wait beyond the idle readers.
    void tell_if_unserved(Level &l)
    {
        if (unserved(l) != 0 && !shutting_down()) {
            if (on_no_idle)
                on_no_idle(l.index, false);
            // The poller looks at the queue's progress from now on.
            if (poller_.asleep.exchange(false, std::memory_order_seq_cst))
                wake_poller();
        }
    }

    // A fresh circuit's input waits unread from now (the acceptor's bound,
    // where the pool counts in it); one waiting apart is being served, and
    // is not counted.
    void input_waits(T *c)
    {
        if constexpr (requires(T *t) { t->net()->input_waits(); })
            if (auto *net = c->net(); net && counts_unread)
                net->input_waits();
    }

    // A circuit list (linked both ways through the circuits).
    static void append(T *&head, T *&tail, T *c)
    {
        c->pool_next = nullptr;
        c->pool_prev = tail;
        if (tail)
            tail->pool_next = c;
        else
            head = c;
        tail = c;
    }
    static void unlink(T *&head, T *&tail, T *c)
    {
        (c->pool_prev ? c->pool_prev->pool_next : head) = c->pool_next;
        (c->pool_next ? c->pool_next->pool_prev : tail) = c->pool_prev;
        c->pool_next = c->pool_prev = nullptr;
    }

    // The fair share: the first fresh circuit, else (`may_double`) the
    // first of those waiting apart, unlinked; null when none. Under the
    // level's mutex.
    T *unlink_head(Level &l, bool may_double)
    {
        T *c = l.head;
        if (c) {
            unlink(l.head, l.tail, c);
            l.fresh.fetch_sub(1, std::memory_order_seq_cst);
        } else if ((c = may_double ? l.bhead : nullptr)) {
            unlink(l.bhead, l.btail, c);
        } else {
            return nullptr;
        }
        c->pool_busy = false;
        c->pool_where.store(nullptr, std::memory_order_seq_cst);
        l.queued.fetch_sub(1, std::memory_order_seq_cst);
        queued_total_.fetch_sub(1, std::memory_order_relaxed);
        return c;
    }

    // Appends circuits to the level's queue and wakes a reader for each.
    void enqueue(Level &l, T *const *cs, int n, uint32_t level)
    {
        (void)level;
        uint32_t woken;
        {
            std::lock_guard<std::mutex> g(l.mtx);
            uint32_t fresh = 0;
            for (int i = 0; i < n; ++i) {
                T *c = cs[i];
                if (!l.head && !l.bhead)
                    l.moved_us.store(now_us(), std::memory_order_relaxed);
                // Where it waits is told before its calls are looked at:
                // a last call ending meanwhile (service_ended) finds it
                // here, or this finds the call ended.
                c->pool_where.store(&l, std::memory_order_seq_cst);
                c->pool_busy = c->calls_in_service() != 0;
                if (c->pool_busy) {
                    append(l.bhead, l.btail, c);
                } else {
                    append(l.head, l.tail, c);
                    input_waits(c);
                    ++fresh;
                }
            }
            l.fresh.fetch_add(fresh, std::memory_order_seq_cst);
            l.queued.fetch_add(uint32_t(n), std::memory_order_seq_cst);
            queued_total_.fetch_add(uint32_t(n), std::memory_order_relaxed);
            woken = std::min<uint32_t>(l.waiting, uint32_t(n));
        }
        for (uint32_t i = 0; i < woken; ++i)
            l.cv.notify_one();
        tell_if_unserved(l);
    }

    // Wakes the poller; also reached from release and shutdown paths, so
    // the write is never a place where a stop is acted on.
    void wake_poller()
    {
        if (poller_.ev < 0)
            return;
        YW_P_noCancel hold;
        uint64_t one = 1;
        (void)!::write(poller_.ev, &one, sizeof one);
    }

    // The pool's set (made once, kept for the life of the process, so that
    // a circuit's poll_set never names another set) and a running poller
    // at no less than the level's priority; false when either cannot be
    // had, or after the shutdown.
    bool ensure_poller(uint32_t level)
    {
        Poller &p = poller_;
        if (p.ep.load(std::memory_order_acquire) < 0) {
            std::lock_guard<std::mutex> g(p.mtx);
            if (p.ep.load(std::memory_order_relaxed) < 0) {
                int ep = ::epoll_create1(EPOLL_CLOEXEC);
                int ev = ep >= 0 ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
                epoll_event e{};
                e.events = EPOLLIN;
                e.data.u64 = 0;
                if (ev < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, ev, &e) != 0) {
                    if (ev >= 0)
                        ::close(ev);
                    if (ep >= 0)
                        ::close(ep);
                    return false;
                }
                p.ev = ev;
                p.ep.store(ep, std::memory_order_release);
            }
        }
        int priority = -1;
        if (poller_priority) {
            Level &l = lv_[level];
            priority = l.priority.load(std::memory_order_relaxed);
            if (priority == INT32_MIN) {
                priority = poller_priority(level);
                l.priority.store(priority, std::memory_order_relaxed);
            }
            int want = p.want_priority.load(std::memory_order_relaxed);
            while (priority > want &&
                   !p.want_priority.compare_exchange_weak(want, priority, std::memory_order_acq_rel)) {
            }
            if (priority > want && p.runs.load(std::memory_order_acquire))
                wake_poller(); // to raise itself
        }
        if (p.runs.load(std::memory_order_acquire))
            return true; // the common case, without the lock
        std::unique_lock<std::mutex> g(p.mtx);
        if (p.runs.load(std::memory_order_relaxed))
            return true;
        if (shutting_down())
            return false;
        p.runs.store(true, std::memory_order_relaxed);
        g.unlock();
        int start_priority = std::max(priority, p.want_priority.load(std::memory_order_acquire));
        if (wq_start_poller(&poller_body, this, start_priority, managed_poller))
            return true;
        g.lock();
        p.runs.store(false, std::memory_order_release);
        return false;
    }

    static void poller_body(void *arg) { static_cast<wq_PriorityQueue *>(arg)->poll_loop(); }

    // Waits for events: without a time-out, or (`briefly`) kStarvedUs.
    static int wait_events(int ep, epoll_event *ev, int n, bool briefly)
    {
        if (!briefly)
            return ::epoll_wait(ep, ev, n, -1);
        static std::atomic<bool> fine_timer{true};
        if (fine_timer.load(std::memory_order_relaxed)) {
            timespec t{0, long(kStarvedUs * 1000)};
            int r = ::epoll_pwait2(ep, ev, n, &t, nullptr);
            if (r >= 0 || errno != ENOSYS)
                return r;
            fine_timer.store(false, std::memory_order_relaxed);
        }
        return ::epoll_wait(ep, ev, n, 1);
    }

    // Tells the hook of each level whose queue has not moved for a while
    // while none of its readers is idle; true when some queue waits with no
    // reader idle (the poller then looks again after a while).
    bool look_at_queues()
    {
        if (!on_no_idle || queued_total_.load(std::memory_order_acquire) == 0)
            return false;
        bool waits = false;
        int64_t now = now_us();
        for (int32_t i = 0; i < levels_ && !shutting_down(); ++i) {
            Level &l = lv_[i];
            if (l.queued.load(std::memory_order_acquire) == 0 || l.idle.load(std::memory_order_acquire) != 0)
                continue;
            waits = true;
            // Circuits waiting apart while the level may not double up are
            // looked at again: it may once their neighbours' calls end.
            if (unserved(l) == 0)
                continue;
            if (now - l.moved_us.load(std::memory_order_relaxed) >= kStarvedUs) {
                l.moved_us.store(now, std::memory_order_relaxed);
                on_no_idle(uint32_t(i), true);
            }
        }
        return waits;
    }

    // The poller thread: moves circuits with input to their levels' queues,
    // many at a time when many have input, until the shutdown.
    void poll_loop()
    {
        Poller &p = poller_;
        int ep = p.ep.load(std::memory_order_acquire);
        int own_priority = -1;
        constexpr int kBatch = 64;
        epoll_event ev[kBatch];
        T *got[kBatch];
        for (;;) {
            if (shutting_down()) {
                // Decided under the mutex, so that a put after a restart
                // either finds this poller running on or starts another.
                std::lock_guard<std::mutex> g(p.mtx);
                if (shutting_down()) {
                    p.runs.store(false, std::memory_order_release);
                    return;
                }
            }
            int want = p.want_priority.load(std::memory_order_acquire);
            if (want > own_priority) {
                wq_set_own_native_priority(want);
                own_priority = want;
            }
            // A queue that waits while no reader is idle is looked at again
            // after a while; otherwise the poller sleeps until input.
            p.asleep.store(true, std::memory_order_seq_cst);
            bool watch_queue = look_at_queues();
            if (watch_queue)
                p.asleep.store(false, std::memory_order_relaxed);
            int n = wait_events(ep, ev, kBatch, watch_queue);
            p.asleep.store(false, std::memory_order_relaxed);
            int k = 0;
            uint32_t at = 0;
            for (int i = 0; i < n; ++i) {
                uint32_t level = 0;
                if (ev[i].data.u64 == 0) {
                    uint64_t v;
                    (void)!::read(p.ev, &v, sizeof v);
                } else if (T *c = claim(ev[i].data.u64, level)) {
                    if (k && level != at) {
                        enqueue(lv_[at], got, k, at);
                        k = 0;
                    }
                    at = level;
                    got[k++] = c;
                }
            }
            if (k)
                enqueue(lv_[at], got, k, at);
            if (!shutting_down())
                look_at_queues();
        }
    }
    // The circuit an event names, taken (with its level) when it waits in
    // the poller; an event for a held circuit is noted for the reader that
    // will hand it back, and one of another arming is dropped.
    T *claim(uint64_t data, uint32_t &level)
    {
        using namespace wq_poll;
        Entry &e = entry(data_index(data));
        uint64_t g = data_gen(data);
        uint64_t w = e.word.load(std::memory_order_acquire);
        while (gen(w) == g) {
            if (state(w) == WAITING) {
                if (e.word.compare_exchange_weak(w, make(g, OWNED), std::memory_order_acq_rel)) {
                    level = e.level.load(std::memory_order_relaxed);
                    if (level >= static_cast<uint32_t>(levels_))
                        level = 0;
                    return static_cast<T *>(e.item.load(std::memory_order_relaxed));
                }
                continue;
            }
            if (state(w) == KICKED ||
                e.word.compare_exchange_weak(w, make(g, KICKED), std::memory_order_acq_rel))
                break;
        }
        return nullptr;
    }
    // Whether input (or the end, or an error) can be read now.
    static bool readable(int fd)
    {
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        int r;
        while ((r = ::poll(&p, 1, 0)) < 0 && errno == EINTR) {
        }
        return r != 0;
    }
    // Arms the circuit's descriptor in the set (added when the set does not
    // hold it yet, changed when it does).
    static bool arm(int ep, bool known, int fd, epoll_event &ev)
    {
        if (known && ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) == 0)
            return true;
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0)
            return true;
        return errno == EEXIST && ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) == 0;
    }
    // Leaves the circuit in the poller for the level, armed under a new
    // generation (`ticket` names it); false when it is to be queued instead
    // (input may already wait, or it cannot be watched).
    bool watch(Level &l, uint32_t level, T *c, int fd, uint64_t *ticket)
    {
        using namespace wq_poll;
        int ep = poller_.ep.load(std::memory_order_acquire);
        uint32_t index = c->poll_entry.load(std::memory_order_relaxed);
        if (index == 0) {
            if ((index = take_entry()) == 0)
                return false;
            c->poll_entry.store(index, std::memory_order_relaxed);
        }
        Entry &e = entry(index);
        e.item.store(c, std::memory_order_relaxed);
        e.level.store(level, std::memory_order_relaxed);
        move_home(e, &l.members);
        if (c->poll_set >= 0 && c->poll_set != ep) {
            // Moved from another poller: its events there are of older
            // generations and are dropped.
            epoll_event none{};
            ::epoll_ctl(c->poll_set, EPOLL_CTL_DEL, fd, &none);
            c->poll_set = -1;
        }
        uint64_t w = e.word.load(std::memory_order_acquire); // OWNED or KICKED: ours
        for (;;) {
            if (state(w) == KICKED) {
                // Input arrived while it was held: look again.
                uint64_t owned = make(gen(w), OWNED);
                if (!e.word.compare_exchange_strong(w, owned, std::memory_order_acq_rel))
                    continue;
                w = owned;
                if (readable(fd))
                    return false;
            }
            // A new generation for this arming: an event of an earlier one
            // still on its way is dropped (this arming reports input that
            // is already there).
            uint64_t g = (gen(w) + 1) & kGenMask;
            if (!e.word.compare_exchange_strong(w, make(g, OWNED), std::memory_order_acq_rel))
                continue; // marked meanwhile
            w = make(g, OWNED);
            // Watched one-shot: an event takes the circuit and disarms the
            // watch, so that while readers hold it its input wakes no other
            // thread. Armed while the circuit is still held: an event it
            // reports at once finds it held and marks it.
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
            ev.data.u64 = data(index, g);
            if (!arm(ep, c->poll_set == ep, fd, ev))
                return false;
            c->poll_set = ep;
            uint64_t armed = ev.data.u64;
            // Once it waits the circuit may be taken (and released) at
            // once: nothing of it is touched after this succeeds.
            if (e.word.compare_exchange_strong(w, make(g, WAITING), std::memory_order_acq_rel)) {
                if (ticket)
                    *ticket = armed;
                return true;
            }
            // Marked meanwhile (w is KICKED); a one-shot watch is spent.
        }
    }

    int32_t levels_;
    std::atomic<bool> shutting_{false};
    Level *lv_;
    Poller poller_;
    std::atomic<uint32_t> queued_total_{0};
};

// Takes the circuits that wait in the pools' pollers after a shutdown (each
// with the pool's reference), for the caller to release.
std::vector<wq_MsgCircuit *> wq_pools_take_polled();

extern wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_pool;
extern wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_band_pool;
