// The server side of the broker: the circuit pools read by the reader
// threads, band threads, the request and locate-request dispatch from object
// key to POA, servant and skeleton, and the reply-header writer.
#pragma once

#include "portable_server.h"
#include "rtcorba.h"
#include "wq_circuit.h"
#include "wq_poll.h"
#include "wq_servant_registry.h"
#include "wq_skeleton.h"

#include <atomic>
#include <cstdint>
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

// ---- circuit pools --------------------------------------------------------------

// Circuits waiting for a reader, in a fixed number of levels. A circuit
// whose transport has a pollable descriptor and no input already read waits
// in the level's poller (one epoll set; registrations name the circuit's
// poll entry) and is taken by a reader only once input or its end is there,
// so that a silent connection holds no reader; others wait in the level's
// queue. A circuit of small messages stays registered edge-triggered while
// readers hold it: handing it back is one change of its entry's state, with
// no system call unless input may already wait (its last read filled the
// room it was given, or input arrived while it was held), in which case it
// is queued. A circuit of large messages is registered one-shot and armed
// again when handed back.
// Idle readers of a level block in its poller; an eventfd in the set,
// watched edge-triggered, wakes one of them for the queue (each write wakes
// one reader, never all of them), and a reader that takes a circuit from the
// queue while more wait there wakes the next. The queue's lock is held for
// its links only, never across a system call. T provides `pool_next`, `poll_entry`, `poll_set`,
// `poll_oneshot`, `last_message_size()`, `has_buffered_input()` and `net()`.
template <class T> class wq_PriorityQueue {
public:
    explicit wq_PriorityQueue(int32_t levels) : levels_(levels) { restart(); }
    // Detached readers may still be waking from get() when the process
    // ends, so the levels stay allocated after the shutdown; a level's
    // poller is closed only when no reader counts itself idle there.
    ~wq_PriorityQueue()
    {
        YW_P_noCancel hold; // the shutdown's wake-ups and the closes
        shutdown();
        for (int32_t i = 0; i < levels_; ++i) {
            Level &l = lv_[i];
            if (l.idle.load(std::memory_order_acquire) != 0 || l.ep.load() < 0)
                continue;
            ::close(l.ep.exchange(-1));
            ::close(l.ev);
            l.ev = -1;
        }
    }
    wq_PriorityQueue(const wq_PriorityQueue &) = delete;
    wq_PriorityQueue &operator=(const wq_PriorityQueue &) = delete;

    // Hands a circuit (and the reference its reader held) to the level.
    void put(T *c, uint32_t level)
    {
        if (level >= static_cast<uint32_t>(levels_))
            level = 0;
        Level &l = lv_[level];
        int fd = c->net() ? c->net()->poll_fd() : -1;
        if (fd >= 0 && !c->has_buffered_input() && ensure_poller(l) && watch(l, c, fd))
            return;
        bool first;
        {
            wq_MutexLock g(l.mtx);
            c->pool_next = nullptr;
            l.queued.fetch_add(1, std::memory_order_release);
            first = !l.head;
            if (first) {
                l.head = l.tail = c;
            } else {
                l.tail->pool_next = c;
                l.tail = c;
            }
        }
        // A queue that was not empty has had its reader woken already; that
        // reader wakes the next one for this circuit.
        if (first)
            wake(l);
    }
    // Circuits queued at a level (input already there).
    uint32_t queued(uint32_t level)
    {
        Level &l = lv_[level < static_cast<uint32_t>(levels_) ? level : 0];
        wq_MutexLock g(l.mtx);
        return l.queued.load(std::memory_order_relaxed);
    }
    // Waits for a circuit with input; null when shutting down.
    T *get(uint32_t level)
    {
        if (level >= static_cast<uint32_t>(levels_))
            return nullptr;
        Level &l = lv_[level];
        for (;;) {
            if (shutting_down()) {
                wake(l); // the next idle reader ends too
                return nullptr;
            }
            if (l.queued.load(std::memory_order_acquire) != 0)
                if (T *c = pop(l)) {
                    if (l.queued.load(std::memory_order_acquire) != 0)
                        wake(l);
                    return c;
                }
            if (!ensure_poller(l)) {
                // Out of descriptors for now: circuits wait in the queue.
                ::usleep(10000);
                continue;
            }
            epoll_event ev[1];
            int n = ::epoll_wait(l.ep, ev, 1, -1);
            if (n < 1 || ev[0].data.u64 == 0)
                continue; // interrupted, or the queue's wake-up
            if (T *c = claim(ev[0].data.u64))
                return c;
        }
    }
    // After shutdown: a queued circuit, or one that waits in a poller.
    T *get_after_shutdown()
    {
        for (int32_t i = levels_ - 1; i >= 0; --i)
            if (T *c = pop(lv_[i]))
                return c;
        return nullptr;
    }
    void shutdown()
    {
        shutting_.store(true, std::memory_order_release);
        for (int32_t i = 0; i < levels_; ++i) {
            Level &l = lv_[i];
            wq_MutexLock g(l.mtx);
            // One reader wakes; each that ends wakes the next.
            wake(l);
        }
    }
    void restart()
    {
        if (!lv_)
            lv_ = new Level[levels_];
        for (int32_t i = 0; i < levels_; ++i) {
            Level &l = lv_[i];
            wq_MutexLock g(l.mtx);
            l.head = l.tail = nullptr;
            l.queued.store(0, std::memory_order_relaxed);
            l.readers = 0;
            l.idle.store(0, std::memory_order_relaxed);
            uint64_t v;
            if (l.ev >= 0)
                (void)!::read(l.ev, &v, sizeof v);
        }
        shutting_.store(false, std::memory_order_release);
    }
    bool shutting_down() const { return shutting_.load(std::memory_order_acquire); }
    // Messages above this size have their circuit watched one-shot.
    static constexpr uint32_t kOneShotAbove = 16384;
    int32_t levels() const { return levels_; }

    // Reader counts, under the pool's reader-writer lock.
    wq_RWMutex lock;
    uint32_t &readers(uint32_t level) { return lv_[level].readers; }
    // Readers waiting in get, changed by each reader around every get: a
    // counter of its own, so that readers never queue on the pool's lock
    // between two requests.
    std::atomic<uint32_t> &idle(uint32_t level) { return lv_[level].idle; }

private:
    struct Level {
        T *head = nullptr;
        T *tail = nullptr;
        wq_Mutex mtx;
        std::atomic<int> ep{-1}; // the poller, made on first use
        int ev = -1;             // readable while the queue is not empty
        uint32_t readers = 0;    // reader threads serving the level
        std::atomic<uint32_t> idle{0}; // of them, waiting in get
        // Circuits in the queue: changed under mtx, read without it by a
        // reader about to wait (a circuit queued after that look makes the
        // eventfd readable, which wakes it).
        std::atomic<uint32_t> queued{0};
    };

    bool ensure_poller(Level &l)
    {
        if (l.ep.load(std::memory_order_acquire) >= 0)
            return true;
        wq_MutexLock g(l.mtx);
        if (l.ep.load(std::memory_order_relaxed) >= 0)
            return true;
        int ep = ::epoll_create1(EPOLL_CLOEXEC);
        int ev = ep >= 0 ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
        epoll_event e{};
        e.events = EPOLLIN | EPOLLET;
        e.data.ptr = nullptr;
        if (ev < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, ev, &e) != 0) {
            if (ev >= 0)
                ::close(ev);
            if (ep >= 0)
                ::close(ep);
            return false;
        }
        if (l.head || shutting_down()) {
            uint64_t one = 1;
            (void)!::write(ev, &one, sizeof one);
        }
        l.ev = ev;
        l.ep.store(ep, std::memory_order_release);
        return true;
    }
    // The circuit an event names, taken when it waits in the poller; an
    // event for a held circuit is noted for the reader that will hand it
    // back, and one of an older generation is dropped.
    static T *claim(uint64_t data)
    {
        using namespace wq_poll;
        Entry &e = entry(data_index(data));
        uint64_t g = data_gen(data);
        uint64_t w = e.word.load(std::memory_order_acquire);
        while (gen(w) == g) {
            if (state(w) == WAITING) {
                if (e.word.compare_exchange_weak(w, make(g, OWNED), std::memory_order_acq_rel))
                    return static_cast<T *>(e.item.load(std::memory_order_relaxed));
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
    // Leaves the circuit in the level's poller; false when it is to be
    // queued instead (input may already wait, or it cannot be watched).
    bool watch(Level &l, T *c, int fd)
    {
        using namespace wq_poll;
        int ep = l.ep.load(std::memory_order_acquire);
        uint32_t index = c->poll_entry.load(std::memory_order_relaxed);
        if (index == 0) {
            if ((index = take_entry()) == 0)
                return false;
            c->poll_entry.store(index, std::memory_order_relaxed);
        }
        Entry &e = entry(index);
        uint64_t w = e.word.load(std::memory_order_acquire); // OWNED or KICKED: ours
        // A circuit whose last message was large, or that had input while
        // it was held, is watched one-shot: the pieces of a large message
        // would otherwise each wake an idle reader while its own reader
        // takes them in. Small exchanges keep the edge-triggered watch,
        // which needs no system call to hand the circuit back.
        bool oneshot = c->last_message_size() > kOneShotAbove || state(w) == KICKED;
        if (c->poll_set == ep) {
            // An edge-triggered watch left as it is reports nothing for
            // input a read left behind (it filled its room): look for it.
            // A watch that is changed or armed again reports what is there.
            bool rearm = oneshot || c->poll_oneshot;
            if (!rearm && !c->net()->read_drained && readable(fd))
                return false;
            e.item.store(c, std::memory_order_relaxed);
            for (;;) {
                if (state(w) == KICKED) {
                    // Input arrived while it was held: look again.
                    uint64_t owned = make(gen(w), OWNED);
                    if (!e.word.compare_exchange_strong(w, owned, std::memory_order_acq_rel))
                        continue;
                    w = owned;
                    if (readable(fd)) {
                        if (rearm)
                            c->poll_oneshot = true; // whatever is armed, arm again next time
                        return false;
                    }
                }
                if (rearm) {
                    // Changed while the circuit is still held: an event it
                    // reports at once finds it held and marks it.
                    epoll_event ev{};
                    ev.events = EPOLLIN | EPOLLRDHUP | (oneshot ? EPOLLONESHOT : EPOLLET);
                    ev.data.u64 = data(index, gen(w));
                    if (::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) != 0) {
                        c->poll_oneshot = true;
                        return false;
                    }
                    c->poll_oneshot = oneshot;
                }
                // Once it waits the circuit may be taken (and released) at
                // once: nothing of it is touched after this succeeds.
                if (e.word.compare_exchange_strong(w, make(gen(w), WAITING), std::memory_order_acq_rel))
                    return true;
                // Marked meanwhile (w is KICKED); a one-shot watch is spent.
            }
        }
        // New to this poller: a new generation, so that events still on
        // their way from an earlier poller are dropped.
        if (c->poll_set >= 0) {
            epoll_event none{};
            ::epoll_ctl(c->poll_set, EPOLL_CTL_DEL, fd, &none);
        }
        uint64_t g = (gen(w) + 1) & kGenMask;
        e.item.store(c, std::memory_order_relaxed);
        e.word.store(make(g, WAITING), std::memory_order_release);
        c->poll_set = ep;
        c->poll_oneshot = oneshot;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (oneshot ? EPOLLONESHOT : EPOLLET);
        ev.data.u64 = data(index, g);
        // Registering reports input that is already there.
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0 ||
            (errno == EEXIST && ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) == 0))
            return true;
        // Not watched: no event names this generation.
        c->poll_set = -1;
        e.word.store(make(g, OWNED), std::memory_order_release);
        return false;
    }
    // Wakes one reader waiting in the level's poller (one that is about to
    // wait finds the event there). The count is never read back: under the
    // edge-triggered watch every write is an event of its own.
    void wake(Level &l)
    {
        YW_P_noCancel hold; // run on release and shutdown paths too
        if (l.ep.load(std::memory_order_acquire) >= 0 && l.ev >= 0) {
            uint64_t one = 1;
            (void)!::write(l.ev, &one, sizeof one);
        }
    }
    T *pop(Level &l)
    {
        wq_MutexLock g(l.mtx);
        T *c = l.head;
        if (!c)
            return nullptr;
        l.head = c->pool_next;
        c->pool_next = nullptr;
        l.queued.fetch_sub(1, std::memory_order_relaxed);
        if (!l.head)
            l.tail = nullptr;
        return c;
    }

    int32_t levels_;
    std::atomic<bool> shutting_{false};
    Level *lv_ = nullptr;
};

// Takes the circuits that wait in the pools' pollers after a shutdown (each
// with the pool's reference), for the caller to release.
std::vector<wq_MsgCircuit *> wq_pools_take_polled();

extern wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_pool;
extern wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_band_pool;

// Most reader threads the process runs (general and band pools together);
// further accepted circuits wait in the pool for a free reader.
extern uint32_t wq_max_reader_threads;

// The TCP acceptor factory (registered for "tcp" before main).
wq_NetAcceptorFactory *wq_tcp_acceptor_factory();

// Reader-thread start record (freed by the reader).
struct wq_ReaderStart {
    wq_MsgCircuit *circuit;
    uint32_t band;
    uint8_t band_flag;
};

// The body of every reader thread; returns when no circuit can be had.
void wq_reader_thread_action(void *start_record);
// Starts a detached managed reader thread; false (with nothing left behind)
// when the thread cannot be started.
bool wq_spawn_reader(wq_ReaderStart *start, int priority);
// Hands an accepted circuit to the general pool, starting a reader when few
// are idle and the cap allows.
void wq_pool_accepted(wq_MsgCircuit *circuit);
// Keeps _min_band_recursion readers on a band.
void wq_ensure_band_threads(wq_MsgCircuit *circuit, uint32_t band, bool flag,
                            const CORBA::EnvironmentWrapper &env);
// Gives a circuit up for good: drops the reader's reference.
void wq_release_mc_out_of_pool(wq_MsgCircuit *&circuit);
// Answers MessageError on a circuit whose input cannot be read (after any
// message being sent on it) and closes it.
void wq_message_error_and_close(wq_MsgCircuit *circuit);

// ---- request dispatch ----------------------------------------------------------------

// Largest key and operation name kept by a reader (NUL excluded).
constexpr uint32_t WQ_KEY_BUFFER = 256;
constexpr uint32_t WQ_OP_BUFFER = 257;

// What the dispatcher does with a message and its circuit.
class wq_DispatchSink {
public:
    virtual ~wq_DispatchSink() = default;
    // The header is read: the circuit may go back to a pool. `reply_due`
    // tells whether a reply will follow.
    virtual void hand_back(bool reply_due) = 0;
    // Sends a reply message (early: before the servant runs).
    virtual void send(CORBA::Stream &reply, uint32_t request_id, bool early) = 0;
    // Sends a locate reply (by default as a reply).
    virtual void send_locate(CORBA::Stream &reply, uint32_t request_id) { send(reply, request_id, false); }
    // The message cannot be served: answer MessageError and close.
    virtual void protocol_error() = 0;
    // The client closed its side (CloseConnection).
    virtual void close() = 0;
    // The client's endpoint, for the GIOP log (null when unknown).
    virtual char const *peer() { return nullptr; }
};

// Per-reader state, kept for the life of the reader thread.
struct wq_ReaderState {
    wq_ReaderState();
    ~wq_ReaderState();
    wq_ReaderState(const wq_ReaderState &) = delete;
    wq_ReaderState &operator=(const wq_ReaderState &) = delete;

    CORBA::EnvironmentWrapper env{new CORBA::EnvironmentInfo(0)};
    CORBA::EnvironmentInfo &env_info = *env.environment();
    CORBA::Stream in{env};
    CORBA::Stream out{env};
    // A private environment for the reader's own calls whose failures are
    // reported where they happen (cleared after each use).
    CORBA::EnvironmentWrapper aux{new CORBA::EnvironmentInfo(0)};

    bool band_thread = false;
    uint32_t band = 0;
    int16_t base_priority = 0;
    int16_t request_priority = -1;
    bool priority_seen = false;
    bool priority_changed = false;
    uint16_t sync_scope = Messaging::SYNC_WITH_TARGET;
    bool band_request = false;
    int32_t band_index = -1;
    uint32_t request_id = 0;
    uint32_t reply_status = 0;
    uint32_t body_offset = 0; // of the reply being built
    uint8_t response_expected = 1;
    uint32_t key_length = 0; // as sent (may exceed the buffer)
    unsigned char key[WQ_KEY_BUFFER + 1];
    char operation[WQ_OP_BUFFER];
    // The last key whose parts were found (a client sends the same key
    // again and again): its bytes and where its POA name and id lie.
    struct KeyParts {
        uint32_t length = WQ_KEY_BUFFER; // none yet
        uint32_t poa_start = 0;
        uint32_t id_start = 0;
        uint32_t id_length = 0;
        unsigned char bytes[WQ_KEY_BUFFER];
    } last_key;
};

// Dispatches the message in `st.in` (whole message, read position after the
// 12-byte header, byte order set from its flags) of GIOP type `type`.
void wq_dispatch_message(wq_ReaderState &st, uint8_t type, wq_DispatchSink &sink);

// Reply header: the stream holds the 12-byte GIOP header; writes the
// service contexts (a context list, or a priority context when priority >= 0,
// plus the padding context that puts the body on an 8-byte boundary), the
// request id and the status.
struct wq_ServiceContext {
    uint32_t id;
    uint32_t length;
    const unsigned char *data;
};
void wq_write_reply(CORBA::Stream &s, const wq_GIOP::ReplyHeader &h, const wq_ServiceContext *contexts,
                    uint32_t context_count, int16_t priority, const CORBA::EnvironmentWrapper &env);

void wq_raise_poa_mgr_inactive(const CORBA::EnvironmentWrapper &env);
int16_t wq_default_corba_priority();
// Makes p the reader thread's base priority (through RTCORBA::Current) and
// the priority of the request it serves.
void wq_reader_base_priority(wq_ReaderState &st, int16_t p);
// The CORBA priority a client asked for, clamped to what the priority
// mapping can serve (0..32767 and the ORB's priority range).
int16_t wq_clamp_priority(int32_t priority);

// Client band selection: the band whose bounds hold the calling thread's
// CORBA priority (index 0 with fewer than two bands; NO_RESOURCES 1 when none
// holds it). The priority out-argument receives that priority.
class wq_QosInterceptor : public RTCORBA::QosInterceptor {
public:
    void client_request(int32_t &priority, uint32_t &band, CORBA::Object *obj, char const *endpoint,
                        uint32_t band_count, const int16_t *low, const int16_t *high,
                        const CORBA::EnvironmentWrapper &env);
    void choose_band(int32_t &priority, uint32_t &band, CORBA::Object *obj, char const *endpoint,
                     uint32_t band_count, const int16_t *low, const int16_t *high,
                     wq_MsgCircuit *const *circuits, const CORBA::EnvironmentWrapper &env) override;
};
extern wq_QosInterceptor wq_qi;

// Optional dispatch hooks, null unless a request interceptor is installed.
struct wq_RequestInfo {
    uint32_t request_id;
    char const *operation;
    const unsigned char *key;
    uint32_t key_length;
    int16_t priority;
    bool sync_server;
    // Set by wq_receive_request_sc to send these contexts with the reply.
    bool want_reply_contexts = false;
    const wq_ServiceContext *reply_contexts = nullptr;
    uint32_t reply_context_count = 0;
};
extern void (*wq_receive_request_sc)(wq_RequestInfo &info, const CORBA::EnvironmentWrapper &env);
extern void (*wq_receive_request)(wq_RequestInfo &info, const CORBA::EnvironmentWrapper &env);
extern void (*wq_send_reply)(wq_RequestInfo &info, const CORBA::EnvironmentWrapper &env);
// Resolves a key that is no key of this broker as an initial-reference name
// (by default through the ORB's resolve_initial_references; null: nothing
// resolves).
extern CORBA::Object *(*wq_dispatch_initial_reference)(char const *name,
                                                       const CORBA::EnvironmentWrapper &env);
