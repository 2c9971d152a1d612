// GIOP 1.0 message circuits: wq_MsgCircuit carries whole GIOP messages over
// one wq_NetCircuit, shared by the client threads that wait for replies on it
// (they take turns reading; a reply read for another thread is parked in a
// one-message mailbox), and by the server reader of an accepted connection.
// wq_MsgEndpoint owns the circuits of one remote endpoint string: slot 0 for
// non-banded traffic and one per priority band.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "corba_env.h"
#include "corba_except.h"
#include "corba_stream.h"
#include "wq_endpoint.h"
#include "wq_lock.h"
#include "wq_thread.h"

namespace CORBA {
class Object;
}

namespace wq_GIOP {
enum MsgType : uint8_t {
    Request = 0,
    Reply = 1,
    CancelRequest = 2,
    LocateRequest = 3,
    LocateReply = 4,
    CloseConnection = 5,
    MessageError = 6,
};
enum ReplyStatus : uint32_t {
    NO_EXCEPTION = 0,
    USER_EXCEPTION = 1,
    SYSTEM_EXCEPTION = 2,
    LOCATION_FORWARD = 3,
};
enum LocateStatus : uint32_t { UNKNOWN_OBJECT = 0, OBJECT_HERE = 1, OBJECT_FORWARD = 2 };
// Service-context ids.
constexpr uint32_t RTCorbaPriority = 10;
constexpr uint32_t RTCorbaPriorityRange = 11;
constexpr uint32_t SyncScopeServer = 0x51574B37;
constexpr uint32_t ReplyPadding = 0x51574BFF;

struct Version {
    uint8_t major;
    uint8_t minor;
};
extern const Version wq_GIOP_version_1_0;

struct MessageHeader {
    char magic[4];
    Version version;
    uint8_t flags;
    uint8_t type;
    uint32_t size;
};
struct ReplyHeader {
    uint32_t request_id;
    uint32_t reply_status;
    uint16_t priority; // from an RTCorbaPriority context; 0xFFFF none
};
struct LocateReplyHeader {
    uint32_t request_id;
    uint32_t locate_status;
};
// Request header fields as a server reads them.
struct RequestHeader {
    uint32_t request_id;
    uint8_t response_expected;
    int16_t priority;  // -1 when no RTCorbaPriority context came
    bool sync_server;  // the 0x51574B37 context came
    bool has_range;    // an RTCorbaPriorityRange context came
    int16_t range_low;
    int16_t range_high;
    uint32_t key_length;
    unsigned char key[255];
    char operation[256]; // NUL-terminated
};
} // namespace wq_GIOP

// Header readers. Each reads with bounded reads from the stream's read
// position (the message header from the start of the head block) and raises
// into the stream's environment on malformed input.
void wq_read_message_header(CORBA::Stream &s, wq_GIOP::MessageHeader &h);
CORBA::Stream &operator>>(CORBA::Stream &s, wq_GIOP::MessageHeader &h);
CORBA::Stream &operator>>(CORBA::Stream &s, wq_GIOP::LocateReplyHeader &h);
void wq_read_reply(CORBA::Stream &s, wq_GIOP::ReplyHeader &h, const CORBA::EnvironmentWrapper &env);
// A request header (for the server side): keys over 255 bytes and operation
// names over 255 characters are refused (MARSHAL).
void wq_read_request(CORBA::Stream &s, wq_GIOP::RequestHeader &h);
// Skips a service-context list, storing what the broker's contexts carry.
void wq_read_service_contexts(CORBA::Stream &s, wq_GIOP::RequestHeader *req, uint16_t *priority);

// Writes the GIOP header with size 0 (filled by send) for a message type.
void wq_write_giop_header(CORBA::Stream &s, uint8_t type);
// Writes a request header up to the arguments (principal padding included);
// returns the address of the request id inside the stream (4-aligned), or
// null while the stream has failed.
struct wq_RequestContexts {
    int32_t priority = -1;     // RTCorbaPriority when >= 0
    bool sync_server = false;  // the 0x51574B37 context
    bool has_range = false;    // RTCorbaPriorityRange
    int16_t low = 0, high = 0;
};
unsigned char *wq_write_request_header(CORBA::Stream &s, const wq_RequestContexts &ctx,
                                       uint8_t response_expected, const unsigned char *key,
                                       uint32_t key_length, char const *operation);

class wq_MsgEndpoint;
class wq_MsgCircuit;

// What a server reply answers, so that a reply that is lost is reported by
// what it answered, whoever finds it lost.
struct wq_ReplyNote {
    enum Kind : uint8_t { None, Reply, EarlyReply, LocateReply };
    Kind kind = None; // None: no line (a MessageError)
    uint32_t request_id = 0;
};
// At diagnostics level 2 writes the line for a lost reply on the error
// output: "exception during send for ..." when its send failed or it was
// dropped unsent, "circuit failed before send of ..." when its circuit was
// no longer open.
void wq_log_reply_lost(const wq_ReplyNote &note, bool circuit_failed_before);

// A heap copy of a stored circuit failure: COMM_FAILURE, MARSHAL or
// IMP_LIMIT with the same minor, completion and text; null for other types.
CORBA::SystemException *wq_msgcircuit_duplicate(CORBA::Exception *e);

class wq_MsgCircuit : public wq_NetCollector {
public:
    enum State : uint32_t { Unconnected = 0, Active = 1, Failed = 2 };
    static constexpr uint32_t READ_AHEAD = 65536;

    // A client circuit of an endpoint, unconnected.
    wq_MsgCircuit(char const *endpoint, wq_MsgEndpoint *owner);
    // A server circuit over an accepted net circuit, Active.
    explicit wq_MsgCircuit(wq_NetCircuit *accepted);
    ~wq_MsgCircuit() override;

    void pause() override {}
    void resume() override {}
    void stop() override {}
    wq_NetCollectorReleasor get_releasor() override;

    void connect(char const *qos, int32_t retries, uint64_t delay, const CORBA::EnvironmentWrapper &env);
    // Sends the whole message in `s` (its size is patched at offset 8). With
    // id_location a new request id goes to `id` and its low 32 bits to the
    // location. With hold the send lock stays held for the receiving side
    // (receive_reply releases it).
    void send(CORBA::Stream &s, uint64_t &id, unsigned char *id_location, bool hold,
              const CORBA::EnvironmentWrapper &env);
    // Releases a send lock kept by send(hold) when the caller will not wait
    // for the reply of `id`.
    void release_send_lock(uint64_t id);
    // Moves the request counter forward (never back), e.g. to start a
    // connection's numbering near the 32-bit wrap.
    void next_request_id(uint64_t id);
    // Reads one message into `s` (reset to its head); 1 on success, 0 or
    // below on failure (the exception raised into env). On a server circuit
    // whose transport can be polled, a message whose rest is not there yet
    // gives 2: the circuit keeps what came (the next receive goes on with
    // it), and whoever reads it hands it back until more input is there.
    // The message must be whole within wq_message_receive_ms of its first
    // wait; the circuit watcher closes it otherwise. A server circuit whose
    // receive fails ends as close_after_replies says (a bad message is
    // refused, an end of input or a read error is not).
    static constexpr int Incomplete = 2;
    // On a server circuit, a large message whose size does not fit beside
    // the bytes held for requests not yet served (see wq_pending.h) gives
    // 3: what came of it is kept, unread further, until the caller's next
    // receive once it fits.
    static constexpr int Deferred = 3;
    // The bytes taken for the message just received (0 for a short one),
    // handed to the caller, who gives them back once it is served.
    uint64_t take_reserved()
    {
        uint64_t r = reserved_;
        reserved_ = 0;
        return r;
    }
    int receive(CORBA::Stream &s, wq_GIOP::MessageHeader &h, const CORBA::EnvironmentWrapper &env);
    // The reply (or locate reply) of request `id`; the caller holds the send
    // lock from send(hold).
    void receive_reply(CORBA::Stream &s, uint64_t id, wq_GIOP::MessageHeader &h,
                       wq_GIOP::ReplyHeader &rh, const CORBA::EnvironmentWrapper &env);
    void receive_locate_reply(CORBA::Stream &s, uint64_t id, wq_GIOP::MessageHeader &h,
                              wq_GIOP::LocateReplyHeader &lh, const CORBA::EnvironmentWrapper &env);
    void flush_replies(const CORBA::EnvironmentWrapper &env);
    // Readies a circuit given up by drop_connection for its reconnect,
    // alone: the endpoint and its other circuits are not touched.
    void flush_dropped();
    void fail();
    void set_unconnected(bool = true);
    // The connection is given up for a cause on this side (a reader ended
    // within a message): the circuit goes from Active back to unconnected,
    // so that the next call on it reconnects it alone (its endpoint and the
    // endpoint's other circuits go on), and the net circuit is shut down.
    // Reply lock held; the waiters find the stored failure.
    void drop_connection();
    // Shuts the net circuit down (waking a thread blocked reading it).
    void shutdown_net();
    // A stop ends a write that does not progress: the circuit goes back to
    // unconnected and the net circuit is shut down (no lock taken; the
    // writer holds the send lock, so the net circuit stays).
    void drop_by_stop();
    // Server side: sends a reply without ever waiting behind another
    // thread's send. When a thread is already sending on the circuit the
    // reply is queued and that thread sends it too; the one sending thread
    // gets wq_reply_send_ms per message, after which the circuit fails, its
    // queued replies are dropped and one line goes to the error output. An
    // exception in env only for this reply's own failed send; a reply
    // dropped unsent (queued, or parked for the watcher) gets its line by its
    // `note`. `resume` is set when the circuit's reading was paused (see
    // pause_reading) and the caller must hand it back to its pool.
    void send_reply(CORBA::Stream &s, bool &resume, const CORBA::EnvironmentWrapper &env,
                    wq_ReplyNote note = {});
    // Server side: true when so many replies wait to be sent that the
    // circuit should not be read meanwhile; it is then marked paused and
    // send_reply reports when to resume. `level` is kept for the caller.
    bool pause_reading(uint32_t level);
    uint32_t paused_level() const { return paused_level_; }
    // Bytes of the next message already read from the transport (not the
    // start of a message kept until its rest comes).
    bool has_buffered_input() const { return ahead_count_ > 0 && !ahead_partial_; }
    // Its entry in the pools' pollers (0 until it first waits in one) and
    // the poller it is registered with (the pool's use). While the entry
    // says WAITING the circuit holds the pool's reference, and whoever
    // changes that takes the circuit.
    std::atomic<uint32_t> poll_entry{0};
    int poll_set = -1;
    // Size of the last message received (header included).
    uint32_t last_message_size() const { return last_in_size_; }
    // Server side: a reader holds the circuit for a reply it will send
    // (a reference and a count of replies due); reply_done gives both back
    // once the reply has been sent, queued or found lost.
    void hold_for_reply();
    void reply_done();
    // reply_done without giving the reference back (the caller does,
    // after looking at the circuit): true when no other reply is due.
    bool reply_sent();
    // Server side: calls read whose replies are still due (their servants
    // run, or their replies wait to go).
    uint32_t calls_in_service() const { return ending_.load(std::memory_order_seq_cst) & kDueMask; }
    // Server side, by the reader that holds the circuit: the whole message
    // just received into `s` goes back in front of the input, so that the
    // next receive (by whichever reader then takes the circuit) reads it
    // again. False, with nothing changed, when it cannot be kept so.
    bool unread(CORBA::Stream &s);
    // Server side: readers serving a call of the circuit, each until its
    // reply is ready (kept by the readers).
    std::atomic<uint32_t> readers_serving{0};
    // Server side: nothing more is read (the client's input ended, or a
    // message was refused). The replies still due go out first, each as
    // its servant ends; after the last a MessageError follows when
    // `message_error` is set (written under the send lock, so that it never
    // lands inside a message another thread is sending), and the
    // connection is closed both ways.
    void close_after_replies(bool message_error);

    // For the circuit watcher: the time (wq_monotonic_ms) by which the
    // message begun must be whole, 0 when none waits; and, while a reply
    // is parked (see send_reply), the time by which it must have gone.
    int64_t receive_due() const { return in_due_.load(std::memory_order_acquire); }
    int64_t send_due() const { return out_due_ms_; }
    // The watcher goes on with a parked reply, as the circuit's sender,
    // once the transport takes more, or ends it when its time is over
    // (fails the circuit with its line and drops what is queued). `resume`
    // as for send_reply.
    void send_parked(bool &resume);
    void send_overdue(bool &resume);
    // Whether the transport is registered with the watcher's poller (used
    // by the watcher only).
    bool watch_added = false;

    uint32_t state() const { return state_.load(std::memory_order_acquire); }
    void state(uint32_t s) { state_.store(s, std::memory_order_release); }
    bool reliable() const { return reliable_.load(std::memory_order_relaxed); }
    uint32_t max_size() const { return max_size_.load(std::memory_order_relaxed); }
    char const *endpoint() const { return endpoint_; }
    wq_NetCircuit *net() const { return net_; }
    bool is_server() const { return server_ != 0; }

    void _add_ref();
    // Deletes the circuit at 0.
    void _remove_ref();

    // Replies whose id nobody waits for (discarded and counted).
    std::atomic<uint64_t> stray_replies{0};
    // Threads of the process waiting for a reply that another thread of
    // the same connection reads, and for their turn to send behind another
    // sender (diagnostics).
    static std::atomic<uint32_t> _reply_waits;
    static std::atomic<uint32_t> _turn_waits;

    // Process-wide list of server circuits, guarded by _wq_gate.
    static wq_MsgCircuit *_svr_first;
    static wq_MsgCircuit *_svr_last;
    static wq_RWMutex _wq_gate;
    // Server circuits in the list (read without the gate).
    static std::atomic<uint32_t> _svr_count;
    wq_MsgCircuit *svr_next = nullptr;
    wq_MsgCircuit *svr_prev = nullptr;
    // Puts a new server circuit at the head of the list (takes _wq_gate);
    // the destructor takes it out again.
    static void list_server(wq_MsgCircuit *c);
    // Links of the reader-pool queue, whether it waits there with calls in
    // service, and the queue it waits in (null when in none); see
    // wq_PriorityQueue.
    wq_MsgCircuit *pool_next = nullptr;
    wq_MsgCircuit *pool_prev = nullptr;
    bool pool_busy = false;
    std::atomic<void *> pool_where{nullptr};

private:
    friend class wq_MsgEndpoint;
    enum Demux { Mine, Stale, Failure };
    int read_next_reply(CORBA::Stream &s, wq_GIOP::MessageHeader &h, wq_GIOP::ReplyHeader &rh,
                        wq_GIOP::LocateReplyHeader &lh, uint32_t &wire_id,
                        const CORBA::EnvironmentWrapper &env);
    void receive_reply_or_locate_reply(CORBA::Stream &s, uint64_t id, wq_GIOP::MessageHeader &h,
                                       wq_GIOP::ReplyHeader &rh, wq_GIOP::LocateReplyHeader &lh,
                                       const CORBA::EnvironmentWrapper &env);
    void parse_parked(CORBA::Stream &s, wq_GIOP::MessageHeader &h, wq_GIOP::ReplyHeader &rh,
                      wq_GIOP::LocateReplyHeader &lh, const CORBA::EnvironmentWrapper &env);
    // Raises a copy of the failure that ended the caller's connection (the
    // current one's, or for a `stale` request the one set aside when it was
    // replaced), COMPLETED_MAYBE: the caller's request was written.
    void raise_stored(const CORBA::EnvironmentWrapper &env, bool stale);
    void store_failure(CORBA::Exception *e);
    // The connection is replaced (reply lock held): its failure is set
    // aside for the callers of its requests, the new one has none.
    void new_connection_failures();
    void empty_mailbox();
    // Empties the mailbox unless the caller its reply is parked for still
    // waits (it takes it whatever befell the connection since).
    void drop_unclaimed_mailbox();
    // What a caller leaving its call holds besides the reply lock: the
    // reader's part, the send lock (kept from send(hold) or taken to send;
    // given back here, with the turn), a place among the turn's waiters.
    enum : unsigned { HoldsReading = 1, HoldsSend = 2, HoldsTurnWait = 4 };
    // How the call ends for its caller: on its own terms (a reply, or an
    // exception already raised), with a copy of the failure that ended its
    // connection, or by a stop of its task ("call ended by a stop" with
    // `completed`; the stop point follows).
    enum class Left { Done, Stale, Stopped };
    // The request id of a call that has none.
    static constexpr uint64_t kNoCall = ~uint64_t(0);
    // The one way out of a caller's part in a call on this circuit,
    // whatever ends it. Reply lock held, released here. Nobody waits for
    // the reply of `id` any more (a reader drops it; one parked already is
    // dropped now); what the caller holds is given back; the reader's part,
    // when nobody holds it, passes to a caller still waiting and a reader
    // waiting for the mailbox looks again.
    void leave_call(uint64_t id, unsigned holds, const wq_ThreadEnvironment &tenv, Left how = Left::Done,
                    const CORBA::EnvironmentWrapper *env = nullptr,
                    CORBA::CompletionStatus completed = CORBA::COMPLETED_MAYBE);
    // Brings the stream to `want` bytes: `loose` bytes already past its write
    // position first, then the read-ahead, then reads from the net into the
    // stream's blocks; bytes a read brings beyond `want` are left past the
    // write position and counted in `loose`. False on failure.
    // Gives Incomplete (server circuits) when the rest must be waited for.
    struct Turn {
        int64_t started = 0; // when a read first had to wait (0: not yet)
        bool waited = false; // a short wait for more input is under way
        uint32_t taken = 0;  // bytes read from the transport in this turn
    };
    int fill(CORBA::Stream &s, uint32_t want, uint32_t &loose, Turn &turn, const CORBA::EnvironmentWrapper &env);
    // A server circuit's read would have to wait, `have` bytes of the
    // message in: 1 to read again (with a short wait, or up to the
    // message's time on a transport that cannot be polled), 2 to hand the
    // circuit back, 0 when the message's time is over.
    int on_would_wait(Turn &turn, uint32_t have);
    // Keeps the part of a message in `s` for the next receive.
    void keep_partial(CORBA::Stream &s, uint32_t total);
    // Copies the first `have` bytes written to `s` to `to`; the count copied.
    static uint32_t copy_written(const CORBA::Stream &s, uint32_t have, unsigned char *to);
    // Room for `n` (at most READ_AHEAD) bytes in the empty read-ahead, its
    // block taken now; null when memory is short.
    unsigned char *ahead_room(uint32_t n);
    // Gives the read-ahead's block back and empties it.
    void ahead_drop();
    void set_receive_due(int64_t due);
    void clear_receive_due();
    void fail_read(long result, const CORBA::EnvironmentWrapper &env);
    // A server circuit's input ends (see close_after_replies; `refused`:
    // answered with MessageError); a client circuit fails at once.
    void fail_protocol(CORBA::SystemException *e, const CORBA::EnvironmentWrapper &env, bool refused = true);
    // Fails the circuit with the stream's pending exception (moved to env).
    void fail_stream(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env);
    void send_failed(CORBA::SystemException *e, uint64_t id, long result,
                     const CORBA::EnvironmentWrapper &env);

    // The read-ahead: a block from the free lists, held only while it holds
    // bytes (a 4096-byte block when they fit, else a 65536-byte one), so
    // that an idle connection holds no buffer.
    wq_MemoryBlock *ahead_ = nullptr;
    int32_t ahead_count_ = 0;
    int32_t ahead_offset_ = 0;
    // The read-ahead holds the start of a message (not yet whole), or the
    // part of a longer one waits in part_ (under the reader that holds it).
    bool ahead_partial_ = false;
    CORBA::Stream *part_ = nullptr;
    std::atomic<int64_t> in_due_{0};
    std::atomic<int32_t> refs_{1}; // -100000 once the last drop has begun
    uint32_t server_ = 0;
    char *endpoint_ = nullptr;
    wq_MsgEndpoint *owner_ = nullptr;
    wq_RWMutex send_lock_;
    wq_NetCircuit *net_ = nullptr;
    // Of the current connection (set under the send lock; read by senders
    // before they take their turn).
    std::atomic<uint8_t> reliable_{1};
    std::atomic<uint32_t> max_size_{0};
    wq_RWMutex reply_lock_;
    std::atomic<uint32_t> state_{Unconnected};
    uint32_t reader_active_ = 0;
    // A sender that found nobody reading took the reader's part when it
    // registered its request (see send); the claim passes to its
    // receive_reply. Under the send lock, which the sender keeps until then.
    bool claimed_ = false;
    uint64_t claimed_id_ = 0;
    uint32_t last_in_size_ = 0;
    uint64_t reserved_ = 0; // bytes held for the message being read
    bool listed_ = false; // in the server list
    uint32_t mailbox_full_ = 0;
    uint64_t mailbox_id_ = 0;
    std::atomic<uint32_t> reset_pending_{1};
    CORBA::EnvironmentInfo *menv_;
    CORBA::EnvironmentWrapper *mwrap_;
    // The parked reply's stream, made when a reply is parked and deleted
    // when it is taken (null while the mailbox is empty).
    CORBA::Stream *mailbox_ = nullptr;
    CORBA::SystemException *failure_ = nullptr;
    // What ended the connection before this one, for its late callers.
    CORBA::SystemException *old_failure_ = nullptr;
    wq_RWCondVar reader_cond_{reply_lock_};
    wq_RWCondVar mailbox_cond_{reply_lock_};
    // A sender's turn (see take_send_turn) and the threads waiting for one.
    std::atomic<bool> send_busy_{false};
    std::atomic<uint32_t> turn_waiters_{0};
    wq_RWCondVar send_cond_{reply_lock_};
    uint32_t reader_waiters_ = 0;
    uint32_t mailbox_waiters_ = 0;
    uint64_t next_id_ = 0;
    uint64_t first_valid_id_ = 0;
    // Ids of requests whose reply somebody waits for (under the reply lock),
    // and the headers of the parked reply.
    std::vector<uint64_t> waiting_;
    wq_GIOP::MessageHeader mb_h_{};
    wq_GIOP::ReplyHeader mb_rh_{};
    wq_GIOP::LocateReplyHeader mb_lh_{};
    // Server replies waiting for the sending thread (under out_lock_). A
    // thread becomes the sender by setting `sending_` from false, without
    // the lock; it is cleared under the lock once nothing waits.
    wq_Mutex out_lock_;
    std::atomic<bool> sending_{false};
    bool paused_ = false;
    uint32_t paused_level_ = 0;
    // A reply waiting to be sent, with what it answers. `last`: the
    // connection is closed once it has gone (its stream may be null).
    struct Queued {
        CORBA::Stream *stream;
        wq_ReplyNote note;
        bool last = false;
    };
    // Server side: replies due (kDueMask) and how the connection ends once
    // none is due any more, changed together so that the last of the two
    // events closes it, once.
    static constexpr uint32_t kClosing = 1u << 31;
    static constexpr uint32_t kAnswerError = 1u << 30;
    static constexpr uint32_t kDueMask = kAnswerError - 1;
    std::atomic<uint32_t> ending_{0};
    // Queues the end of the connection behind every reply queued (a
    // MessageError first when asked), as the sender does.
    void end_connection(bool message_error);
    std::vector<Queued> out_;
    size_t out_head_ = 0;
    uint64_t out_bytes_ = 0;
    // Writes `cur` (null: nothing of its own) and then every queued reply,
    // as the circuit's one sender, until the queue is empty; the caller has
    // set `sending_`. A failure of `own` goes into env.
    // `sent`: bytes of `cur` already written. When the transport takes no
    // more now (and can be polled), the rest is parked for the watcher, who
    // becomes the sender, and the calling thread goes on.
    void send_as_sender(Queued cur, CORBA::Stream *own, bool &resume, const CORBA::EnvironmentWrapper *env,
                        uint32_t sent = 0);
    // Parks `cur` from byte `sent` on (a reply of the caller's own stream is
    // moved to one of the circuit's); false when it cannot be watched.
    bool park(Queued &cur, CORBA::Stream *own, uint32_t sent);
    // The sender ends: the line when the reply was not taken in time, and
    // the circuit fails.
    void close_sending(bool timed_out);
    Queued out_cur_{nullptr, {}}; // the parked reply
    uint32_t out_sent_ = 0;
    // The send time of the reply being written, once it had to wait.
    int64_t out_due_ms_ = 0;
    // Under out_lock_: the next queued reply into `cur`; false when none is
    // left, the sender's part then given up (`resume` told as for send_reply).
    bool next_queued(Queued &cur, bool &resume);
    // Under out_lock_ (or with the circuit going): deletes every queued
    // reply, each reported by its note.
    void drop_queued();
    // Patches the size into a message; false (env set) when it cannot go.
    bool prepare(CORBA::Stream &s, uint32_t &size, const CORBA::EnvironmentWrapper &env);
    // Writes a prepared message's blocks; the net's result of the failing
    // write, or 1 when all went.
    long write_blocks(CORBA::Stream &s, bool &whole);
    bool is_waiting(uint64_t id) const;
    void unregister(uint64_t id);
    // flush_replies (peers: fail the circuit and its endpoint first when
    // either is Active) or flush_dropped.
    void flush(bool peers);
    // Client senders take turns before the send lock: false (env set, the
    // thread ended where it can be) when its task is stopped while it
    // waits. The turn ends with the send lock (unlock_send), or with
    // end_send_turn after the send lock was let go.
    bool take_send_turn(const CORBA::EnvironmentWrapper &env, const wq_ThreadEnvironment &tenv);
    void end_send_turn(const wq_ThreadEnvironment &tenv, bool reply_locked);
    void unlock_send(const wq_ThreadEnvironment &tenv);
    // The send of request `id` was ended by a stop of the sending task (send
    // lock and turn held, both given back here): unsent, or `dropped` when
    // the stop shut the connection down during the write, which is then
    // given up. The caller gets COMM_FAILURE minor 3 (MAYBE when the whole
    // request went out).
    void writer_cut(uint64_t id, bool dropped, bool written, const CORBA::EnvironmentWrapper &env,
                    const wq_ThreadEnvironment &tenv);
};

// Band table: bounds of priority bands, found or appended under its lock.
class wq_BandManager {
public:
    explicit wq_BandManager(uint32_t capacity);
    ~wq_BandManager();
    // Index of the band with exactly these bounds, appended when new and
    // room is left; -1 otherwise.
    int32_t find_or_create(int16_t low, int16_t high);
    uint32_t count();
    bool band(uint32_t index, int16_t &low, int16_t &high);
    const int16_t *low() const { return low_; }
    const int16_t *high() const { return high_; }

private:
    wq_RWMutex lock_;
    uint32_t count_ = 0;
    uint32_t capacity_;
    int16_t *low_;
    int16_t *high_;
};
extern wq_BandManager wq_band_manager;

// A band of an RT priority-banded-connection policy with its QoS text.
struct wq_PriorityBand {
    int16_t low;
    int16_t high;
    char const *qos;
};

class wq_MsgEndpoint {
public:
    static constexpr uint32_t MAX_BANDS = 32;
    enum State : uint32_t { Unconnected = 0, Active = 1, Failed = 2 };

    explicit wq_MsgEndpoint(char const *endpoint);
    ~wq_MsgEndpoint();

    void apply_priority_bands(const wq_PriorityBand *bands, uint32_t count,
                              const CORBA::EnvironmentWrapper &env);
    void ensure_connections(int32_t retries, uint64_t delay, const CORBA::EnvironmentWrapper &env);
    // The circuit for an invocation with a reference added (release with
    // _remove_ref), and the priority to propagate (-1: none); null on error.
    // Without add_ref the circuit is borrowed: it lives as long as this
    // endpoint, which the caller keeps alive.
    wq_MsgCircuit *select_msg_circuit(CORBA::Object *obj, int32_t &priority,
                                      const CORBA::EnvironmentWrapper &env, bool add_ref = true);
    // Failed -> Unconnected, so that the next call reconnects.
    void unfail();
    void fail();
    // Active -> Unconnected: a connection was given up for a local cause;
    // the next call connects again.
    void set_unconnected();

    void _add_ref(bool lock = true);
    void _remove_ref(bool lock = true);

    uint32_t state() const { return state_.load(std::memory_order_acquire); }
    std::atomic<uint32_t> &state_word() { return state_; }
    char const *endpoint() const { return endpoint_; }
    uint32_t band_count() { return bands_.count(); }
    // The circuit of a slot (0 non-banded, b + 1 band b), not referenced.
    wq_MsgCircuit *circuit(uint32_t slot) const { return slot <= MAX_BANDS ? circuits_[slot] : nullptr; }

    static wq_RWMutex mc_lists_lock;

    // Registry links.
    wq_MsgEndpoint *next = nullptr;
    wq_MsgEndpoint *prev = nullptr;

private:
    friend class wq_MsgEndpointRegistry;
    bool bind_band(uint32_t band, const CORBA::EnvironmentWrapper &env);
    // Connects again the circuit of `slot` when a stop dropped its
    // connection while the endpoint stays Active (binding its band).
    void reconnect_dropped(uint32_t slot, const CORBA::EnvironmentWrapper &env);
    // select_msg_circuit's choice (not referenced) and its slot.
    wq_MsgCircuit *pick_circuit(CORBA::Object *obj, int32_t &priority, uint32_t &slot,
                                const CORBA::EnvironmentWrapper &env);

    wq_BandManager bands_{MAX_BANDS};
    char *endpoint_;
    wq_MsgCircuit *circuits_[MAX_BANDS + 1] = {};
    // circuits_[0] for readers without the lock: a slot once set keeps its
    // circuit while the endpoint lives.
    std::atomic<wq_MsgCircuit *> plain_circuit_{nullptr};
    char *qos_[MAX_BANDS + 1] = {};
    uint32_t max_size_[MAX_BANDS + 1] = {};
    uint8_t reliable_[MAX_BANDS + 1];
    std::atomic<uint32_t> state_{Unconnected};
    wq_RWMutex lock_;
    int32_t refs_ = 1; // under mc_lists_lock
};

// The message endpoints of the process by endpoint string.
class wq_MsgEndpointRegistry {
public:
    explicit wq_MsgEndpointRegistry(uint32_t buckets = 401);
    ~wq_MsgEndpointRegistry();
    // The endpoint of that string with a reference added; created when new.
    wq_MsgEndpoint *find_or_create(char const *endpoint, const CORBA::EnvironmentWrapper &env);
    // Unlinks an endpoint (mc_lists_lock held for writing).
    void unlink(wq_MsgEndpoint *e);
    static uint32_t hash(char const *s);

private:
    uint32_t buckets_;
    wq_MsgEndpoint **table_;
    std::atomic<wq_MsgEndpoint *> cache_{nullptr};
};
// Made on first use (or by ORB initialisation).
extern wq_MsgEndpointRegistry *wq_msg_endpoint_registry;
wq_MsgEndpointRegistry *wq_msg_endpoint_registry_get();

// The collector factory of accepted connections (scheme "messaging-poa").
class wq_MsgCircuitFactory : public wq_NetCollectorFactory {
public:
    wq_MsgCircuitFactory();
    ~wq_MsgCircuitFactory() override;
    wq_NetCollector *create(wq_NetCircuit *circuit, void *flows, bool) override;
    static void release(wq_NetCollector *collector);
};
// Server circuits: time for one whole incoming message once a reader has
// taken the circuit, and for one reply to leave (milliseconds).
extern uint32_t wq_message_receive_ms;
extern uint32_t wq_reply_send_ms;
// Hands an accepted circuit to the server's reader pool; installed by the
// server side (null: the circuit is only listed).
extern void (*wq_msg_circuit_handoff)(wq_MsgCircuit *circuit);
// Hands a circuit whose reading was paused back to its pool (see
// pause_reading); installed by the server side.
extern void (*wq_msg_circuit_resume)(wq_MsgCircuit *circuit);

// The circuit watcher: one thread that goes on with replies the transport
// could not take at once, and closes server circuits whose message or reply
// is overdue. It runs only while it has something to watch.
namespace wq_watch {
// Takes a parked reply's circuit (with a reference the watcher drops);
// false when the watcher cannot run.
bool park(wq_MsgCircuit *c);
// A server circuit began to wait for the rest of a message.
void receive_begun();
void receive_ended();
// Called by the circuit's destructor when it was registered.
void forget(int fd);
} // namespace wq_watch
