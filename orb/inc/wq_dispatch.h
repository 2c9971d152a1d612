// The server side of the broker: the circuit pools read by the reader
// threads, band threads, the request and locate-request dispatch from object
// key to POA, servant and skeleton, and the reply-header writer.
#pragma once

#include "portable_server.h"
#include "rtcorba.h"
#include "wq_circuit.h"
#include "wq_servant_registry.h"
#include "wq_skeleton.h"

#include <atomic>
#include <cstdint>

// ---- circuit pools --------------------------------------------------------------

// A queue of circuits with a fixed number of levels. T links through its
// `pool_next` field.
template <class T> class wq_PriorityQueue {
public:
    explicit wq_PriorityQueue(int32_t levels) : levels_(levels) { restart(); }
    // Detached readers may still be waking from get() when the process
    // ends, so the levels stay allocated after the shutdown.
    ~wq_PriorityQueue() { shutdown(); }
    wq_PriorityQueue(const wq_PriorityQueue &) = delete;
    wq_PriorityQueue &operator=(const wq_PriorityQueue &) = delete;

    // Appends a circuit; the level's semaphore is signalled when it was empty.
    // The signal follows the unlock: a reader woken while the level's mutex
    // is still held would only block on it and need a second wake-up, both
    // on the path of the request this thread is about to serve. get() looks
    // at the head under the mutex, so the order changes nothing it sees.
    void put(T *c, uint32_t level)
    {
        if (level >= static_cast<uint32_t>(levels_))
            level = 0;
        Level &l = lv_[level];
        bool was_empty;
        {
            wq_MutexLock g(l.mtx);
            c->pool_next = nullptr;
            ++l.queued;
            was_empty = !l.head;
            if (was_empty) {
                l.head = l.tail = c;
            } else {
                l.tail->pool_next = c;
                l.tail = c;
            }
        }
        if (was_empty)
            l.sem.signal();
    }
    // Circuits waiting at a level for a reader.
    uint32_t queued(uint32_t level)
    {
        Level &l = lv_[level < static_cast<uint32_t>(levels_) ? level : 0];
        wq_MutexLock g(l.mtx);
        return l.queued;
    }
    // Waits for a circuit; null when shutting down.
    T *get(uint32_t level)
    {
        if (level >= static_cast<uint32_t>(levels_) || shutting_down())
            return nullptr;
        Level &l = lv_[level];
        for (;;) {
            l.sem.wait();
            if (shutting_down()) {
                l.sem.signal(); // the next waiter sees the flag too
                return nullptr;
            }
            wq_MutexLock g(l.mtx);
            T *c = l.head;
            if (!c)
                continue; // taken meanwhile: wait for the next signal
            l.head = c->pool_next;
            c->pool_next = nullptr;
            --l.queued;
            if (l.head)
                l.sem.signal();
            else
                l.tail = nullptr;
            return c;
        }
    }
    // After shutdown: the head circuit of the highest non-empty level.
    T *get_after_shutdown()
    {
        for (int32_t i = levels_ - 1; i >= 0; --i) {
            Level &l = lv_[i];
            wq_MutexLock g(l.mtx);
            if (T *c = l.head) {
                l.head = c->pool_next;
                c->pool_next = nullptr;
                --l.queued;
                if (!l.head)
                    l.tail = nullptr;
                return c;
            }
        }
        return nullptr;
    }
    void shutdown()
    {
        shutting_.store(true, std::memory_order_release);
        for (int32_t i = 0; i < levels_; ++i)
            lv_[i].sem.signal(); // each woken waiter passes the signal on
    }
    void restart()
    {
        if (!lv_)
            lv_ = new Level[levels_];
        for (int32_t i = 0; i < levels_; ++i) {
            lv_[i].head = lv_[i].tail = nullptr;
            lv_[i].queued = 0;
            lv_[i].readers = 0;
            lv_[i].idle = 0;
            while (lv_[i].sem.count())
                lv_[i].sem.wait();
        }
        shutting_.store(false, std::memory_order_release);
    }
    bool shutting_down() const { return shutting_.load(std::memory_order_acquire); }
    int32_t levels() const { return levels_; }

    // Reader counts, under the pool's reader-writer lock.
    wq_RWMutex lock;
    uint32_t &readers(uint32_t level) { return lv_[level].readers; }
    uint32_t &idle(uint32_t level) { return lv_[level].idle; }

private:
    struct Level {
        T *head = nullptr;
        T *tail = nullptr;
        wq_WackySemaphore sem{0};
        wq_Mutex mtx;
        uint32_t readers = 0; // reader threads serving the level
        uint32_t idle = 0;    // of them, waiting in get
        uint32_t queued = 0;  // circuits in the level (under mtx)
    };
    int32_t levels_;
    std::atomic<bool> shutting_{false};
    Level *lv_ = nullptr;
};

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

    bool band_thread = false;
    uint32_t band = 0;
    int16_t base_priority = 0;
    int16_t request_priority = -1;
    bool priority_seen = false;
    bool priority_changed = false;
    uint16_t sync_scope = 3;
    bool band_request = false;
    int32_t band_index = -1;
    uint32_t request_id = 0;
    uint32_t reply_status = 0;
    uint32_t body_offset = 0; // of the reply being built
    uint8_t response_expected = 1;
    uint32_t key_length = 0; // as sent (may exceed the buffer)
    unsigned char key[WQ_KEY_BUFFER + 1];
    char operation[WQ_OP_BUFFER];
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
