// The server side of the broker: the reader threads that serve the circuit
// pools (wq_pool.h), band threads, the request and locate-request dispatch
// from object key to POA, servant and skeleton, and the reply-header writer.
#pragma once

#include "portable_server.h"
#include "rtcorba.h"
#include "wq_circuit.h"
#include "wq_pool.h"
#include "wq_servant_registry.h"
#include "wq_skeleton.h"

#include <cstdint>
#include <vector>

// ---- reader threads ------------------------------------------------------------------

// Most reader threads the process runs (general and band pools together,
// with the pools' pollers); further accepted circuits wait in the pool for a
// free reader.
extern uint32_t wq_max_reader_threads;
// How long a reader waits idle before it may end (when more readers than
// the minimum of its pool level remain).
extern int wq_reader_idle_ms;

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
// when the thread cannot be started (at the cap, which it may pass by
// `beyond_cap`), or after the shutdown.
bool wq_spawn_reader(wq_ReaderStart *start, int priority, uint32_t beyond_cap = 0);
// Reader starts that failed (no thread or no memory could be had); the
// circuits they were for wait in their pool, whose poller asks again.
uint64_t wq_reader_start_failures();
// Hands an accepted circuit to the general pool, starting a reader when few
// are idle and the cap allows.
void wq_pool_accepted(wq_MsgCircuit *circuit);
// Keeps _min_band_recursion readers on a band.
void wq_ensure_band_threads(wq_MsgCircuit *circuit, uint32_t band, bool flag,
                            const CORBA::EnvironmentWrapper &env);
// Gives a circuit up for good: drops the reader's reference.
void wq_release_mc_out_of_pool(wq_MsgCircuit *&circuit);
// Answers MessageError on a circuit whose input cannot be read, after the
// replies still due on it, and closes it.
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
    // A request that has just made its reader a band thread, before
    // hand_back: true when the sink has passed the message on to be served
    // elsewhere (nothing more is done with it here).
    virtual bool pass_on() { return false; }
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
    // The ticket of the circuit handed back to its poller while its
    // message is served, for taking it back after the reply (0 when none).
    uint64_t lent = 0;
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
