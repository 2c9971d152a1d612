// GIOP message circuits: life cycle, connect, receive, and the server's
// replies. The client's sending and the demultiplexing of replies among the
// client threads that share one connection are in wq_circuit_client.cpp.
#include "wq_circuit.h"
#include "wq_circuit_int.h"

#include "corba_orb.h"
#include "tkq_support.h"
#include "wq_memblock.h"
#include "wq_pending.h"
#include "wq_poll.h"
#include "wq_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sys/epoll.h>

using CORBA::COMPLETED_MAYBE;
using CORBA::COMPLETED_NO;

wq_MsgCircuit *wq_MsgCircuit::_svr_first = nullptr;
std::atomic<uint32_t> wq_MsgCircuit::_svr_count{0};
wq_MsgCircuit *wq_MsgCircuit::_svr_last = nullptr;
wq_RWMutex wq_MsgCircuit::_wq_gate;

CORBA::SystemException *wq_msgcircuit_duplicate(CORBA::Exception *e)
{
    if (!e)
        return nullptr;
    if (auto *c = CORBA::COMM_FAILURE::_downcast(e))
        return static_cast<CORBA::SystemException *>(c->wq_duplicate());
    if (auto *m = CORBA::MARSHAL::_downcast(e))
        return static_cast<CORBA::SystemException *>(m->wq_duplicate());
    if (auto *l = CORBA::IMP_LIMIT::_downcast(e))
        return static_cast<CORBA::SystemException *>(l->wq_duplicate());
    return nullptr;
}

namespace wq_circuit_int {

CORBA::COMM_FAILURE *comm_failure(uint8_t minor, CORBA::completion_status c, char const *text)
{
    return new CORBA::COMM_FAILURE(minor, c, text);
}

CORBA::COMM_FAILURE *errno_failure(int error)
{
    char buf[256];
    size_t n = 0;
    tkq_support_get_error_string(error, buf, sizeof buf, &n);
    return comm_failure(3, COMPLETED_NO, buf);
}

// Moves a stream's pending exception into env (a copy), clearing the stream's.
void take_stream_error(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env)
{
    CORBA::Exception *e = s.env().exception();
    if (e && &s.env() != &env && s.env().environment() != env.environment()) {
        env.exception(*e);
        s.env().clear();
    } else if (!e && !env.pending()) {
        env.exception(new CORBA::MARSHAL(1, COMPLETED_MAYBE, "read exceeded message size"));
    }
}

} // namespace wq_circuit_int

using namespace wq_circuit_int;

// ---- life cycle -------------------------------------------------------------

wq_MsgCircuit::wq_MsgCircuit(char const *endpoint, wq_MsgEndpoint *owner)
    : endpoint_(CORBA::string_dup(endpoint ? endpoint : "")), owner_(owner),
      menv_(new CORBA::EnvironmentInfo(0)), mwrap_(new CORBA::EnvironmentWrapper(menv_))
{
}

wq_MsgCircuit::wq_MsgCircuit(wq_NetCircuit *accepted)
    : server_(1), endpoint_(CORBA::string_dup(accepted && accepted->endpoint() ? accepted->endpoint() : "")),
      net_(accepted), menv_(new CORBA::EnvironmentInfo(0)), mwrap_(new CORBA::EnvironmentWrapper(menv_))
{
    if (net_) {
        reliable_ = net_->is_reliable();
        max_size_ = net_->max_msg_size();
    }
    state_.store(Active);
}

void wq_MsgCircuit::list_server(wq_MsgCircuit *c)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(_wq_gate, tenv);
    c->svr_next = _svr_first;
    if (_svr_first)
        _svr_first->svr_prev = c;
    else
        _svr_last = c;
    _svr_first = c;
    c->listed_ = true;
    _svr_count.fetch_add(1, std::memory_order_relaxed);
}

wq_MsgCircuit::~wq_MsgCircuit()
{
    if (server_) {
        wq_ThreadEnvironment tenv;
        wq_WriteLock g(_wq_gate, tenv);
        if (svr_prev)
            svr_prev->svr_next = svr_next;
        else if (_svr_first == this)
            _svr_first = svr_next;
        if (svr_next)
            svr_next->svr_prev = svr_prev;
        else if (_svr_last == this)
            _svr_last = svr_prev;
        if (listed_)
            _svr_count.fetch_sub(1, std::memory_order_relaxed);
    }
    if (out_cur_.stream) {
        wq_log_reply_lost(out_cur_.note, false);
        delete out_cur_.stream;
    }
    drop_queued();
    delete part_;
    wq_pending_release(take_reserved());
    clear_receive_due();
    if (watch_added && net_ && net_->poll_fd() >= 0)
        wq_watch::forget(net_->poll_fd());
    if (uint32_t index = poll_entry.load(std::memory_order_relaxed)) {
        // Out of its poller before the descriptor goes (a copy of it in
        // another process would keep the registration), then no late event
        // names it any more.
        int fd = net_ ? net_->poll_fd() : -1;
        if (poll_set >= 0 && fd >= 0) {
            epoll_event none{};
            ::epoll_ctl(poll_set, EPOLL_CTL_DEL, fd, &none);
        }
        wq_poll::free_entry(index);
    }
    wq_NetCircuitFactory::release(net_);
    wq_MemoryBlock::release(ahead_);
    delete failure_;
    delete old_failure_;
    delete mailbox_;
    delete mwrap_; // destroys the private environment
    CORBA::string_free(endpoint_);
}

wq_NetCollectorReleasor wq_MsgCircuit::get_releasor() { return wq_MsgCircuitFactory::release; }

namespace {

// Moves a circuit's reference count by `delta` unless the last drop has
// begun (count below 1): that misuse is reported with `warning` and changes
// nothing. The count before the move, or 0 when refused.
int32_t step_count(std::atomic<int32_t> &refs, int32_t delta, char const *warning)
{
    int32_t n = refs.load(std::memory_order_relaxed);
    do {
        if (n < 1) {
            wq_err.write(warning, std::strlen(warning));
            return 0;
        }
    } while (!refs.compare_exchange_weak(n, n + delta, std::memory_order_acq_rel));
    return n;
}

} // namespace

void wq_MsgCircuit::_add_ref() { step_count(refs_, 1, "Ulvenor internal warning #581\n"); }

void wq_MsgCircuit::_remove_ref()
{
    if (step_count(refs_, -1, "Ulvenor internal warning #582\n") == 1) {
        refs_.store(-100000, std::memory_order_relaxed);
        delete this;
    }
}

void wq_MsgCircuit::fail()
{
    clear_receive_due(); // no message is waited for any more
    // Only the failure of a live connection fails its endpoint: a late one
    // (a write or read on a connection a stop already dropped) does not.
    if (wq_Atomic::compare_exchange(state_, uint32_t(Failed), uint32_t(Active)) == uint32_t(Active) && owner_)
        owner_->fail();
}

void wq_MsgCircuit::set_unconnected(bool)
{
    reset_pending_.store(1);
    wq_Atomic::compare_exchange(state_, uint32_t(Unconnected), uint32_t(Active));
}

void wq_MsgCircuit::drop_connection()
{
    clear_receive_due(); // no message is waited for any more
    set_unconnected();
    shutdown_net();
}

void wq_MsgCircuit::drop_by_stop()
{
    // Unconnected first: a reader that fails on the shut connection then
    // neither fails the circuit nor its endpoint.
    set_unconnected();
    shutdown_net();
}

void wq_MsgCircuit::shutdown_net()
{
    if (net_)
        net_->shutdown(false);
}

bool wq_MsgCircuit::is_waiting(uint64_t id) const
{
    return std::find(waiting_.begin(), waiting_.end(), id) != waiting_.end();
}

void wq_MsgCircuit::unregister(uint64_t id)
{
    auto it = std::find(waiting_.begin(), waiting_.end(), id);
    if (it != waiting_.end()) {
        *it = waiting_.back();
        waiting_.pop_back();
    }
}

void wq_MsgCircuit::store_failure(CORBA::Exception *e)
{
    CORBA::SystemException *c = wq_msgcircuit_duplicate(e);
    if (!c && e) {
        auto *s = CORBA::SystemException::_downcast(e);
        c = new CORBA::COMM_FAILURE(3, COMPLETED_NO, s ? s->param() : nullptr);
    }
    if (!c)
        return;
    delete failure_;
    failure_ = c;
}

void wq_MsgCircuit::empty_mailbox()
{
    mailbox_full_ = 0;
    delete mailbox_;
    mailbox_ = nullptr;
    menv_->clear();
}

// ---- connect ------------------------------------------------------------------

void wq_MsgCircuit::connect(char const *qos, int32_t retries, uint64_t delay, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    wq_ThreadEnvironment tenv;
    wq_WriteLock sl(send_lock_, tenv);
    uint32_t st = state();
    if (st == Active || st == Failed)
        return;
    if (!wq_Endpoint::is_valid(endpoint_)) {
        env.exception(new CORBA::BAD_PARAM(12, COMPLETED_NO, wq_Endpoint::why_not_valid(endpoint_)));
        return;
    }
    wq_NetCircuitFactory *f = wq_NetCircuitFactory::lookup(endpoint_);
    if (!f) {
        state(Failed);
        if (owner_)
            owner_->fail();
        env.exception(comm_failure(8, COMPLETED_NO, endpoint_));
        if (CORBA::ORB::diagnostics() > 0)
            wq_CircuitLog::log_connect_failure(endpoint_);
        return;
    }
    set_unconnected();
    if (net_) {
        wq_NetCircuitFactory::release(net_);
        net_ = nullptr;
    }
    reliable_ = 1;
    max_size_ = 0;
    wq_NetCircuit *net = nullptr;
    int64_t attempts = int64_t(retries < 0 ? 0 : retries) + 1;
    for (int64_t a = 0; a < attempts; ++a) {
        net = f->initiate_connection(endpoint_, qos, 49);
        if (net)
            break;
        if (a + 1 < attempts)
            wq_Thread::sleep(delay);
    }
    if (!net) {
        state(Failed);
        if (owner_)
            owner_->fail();
        env.exception(new CORBA::BAD_PARAM(12, COMPLETED_NO, "Perhaps the host name or port was invalid??"));
        if (CORBA::ORB::diagnostics() > 0)
            wq_CircuitLog::log_connect_failure(endpoint_);
        return;
    }
    // The net circuit was made for this endpoint string; the circuit keeps
    // its own copy, which other threads may be reading.
    net_ = net;
    ahead_drop();
    {
        wq_WriteLock rl(reply_lock_, tenv);
        reader_active_ = 0;
        drop_unclaimed_mailbox();
    }
    server_ = 0;
    reliable_ = net->is_reliable();
    max_size_ = net->max_msg_size();
    state(Active);
    if (CORBA::ORB::diagnostics() >= 1)
        wq_CircuitLog::log_connect(endpoint_);
}

// ---- server replies ---------------------------------------------------------------

uint32_t wq_message_receive_ms = 10000;
uint32_t wq_reply_send_ms = 20000;

namespace {
// Replies queued on one circuit beyond which its reading pauses.
constexpr uint64_t kPauseBytes = 4u << 20;
constexpr size_t kPauseCount = 64;

// A transport deadline long past: a read or write that would wait fails at
// once (ETIMEDOUT) instead. Set while a server circuit has not needed to
// wait yet, so that the clock is read only once it has to.
constexpr int64_t kNoWaitYet = 1;

// Writes the stream's bytes from offset `sent` on, moving `sent` past what
// went out. `result` is what one write of the whole failing block would
// have returned (1 when all went); false when not all went.
bool write_from(wq_NetCircuit *net, CORBA::Stream &s, uint32_t &sent, long &result)
{
    result = 1;
    uint32_t at = 0;
    for (wq_MemoryBlock *b = s.head(); b; b = b->next) {
        uint32_t len = b == s.write_block() ? static_cast<uint32_t>(s.write_position() - b->data) : b->used;
        if (len && sent < at + len) {
            uint32_t off = sent - at;
            long r = net->write(b->data + off, len - off);
            long got = r < 0 ? 0 : std::min<long>(r, long(len - off));
            sent += static_cast<uint32_t>(got);
            result = r < 0 && off == 0 ? r : long(off) + got;
            if (result != static_cast<long>(len))
                return false;
        }
        at += len;
        if (b == s.write_block())
            break;
    }
    return true;
}
} // namespace

bool wq_MsgCircuit::pause_reading(uint32_t level)
{
    // Without a sender nothing is queued: the common case needs no lock.
    // (A sender that starts meanwhile has queued nothing yet.)
    if (!sending_.load(std::memory_order_acquire))
        return false;
    wq_MutexLock g(out_lock_);
    if (!sending_.load(std::memory_order_relaxed) ||
        (out_bytes_ < kPauseBytes && out_.size() - out_head_ < kPauseCount))
        return false;
    paused_ = true;
    paused_level_ = level;
    return true;
}

void wq_log_reply_lost(const wq_ReplyNote &note, bool circuit_failed_before)
{
    if (note.kind == wq_ReplyNote::None || CORBA::ORB::diagnostics() < 2)
        return;
    static char const *const what[][2] = {
        {"", ""},
        {"exception during send for reply to request id", "circuit failed before send of reply for request id"},
        {"exception during send for early reply to request id",
         "circuit failed before send of early reply for request id"},
        {"exception during send for locate reply", "circuit failed before send of locate reply"},
    };
    char const *text = what[note.kind][circuit_failed_before ? 1 : 0];
    char const *process = wq_ORB::process_name ? wq_ORB::process_name : "";
    char const *cls = wq_ORB::svr_class_name ? wq_ORB::svr_class_name : "";
    char const *inst = wq_ORB::svr_instance_name ? wq_ORB::svr_instance_name : "";
    char line[512];
    int n = note.kind == wq_ReplyNote::LocateReply
                ? std::snprintf(line, sizeof line, "[ %s: %s_%s: %s ]\n", process, cls, inst, text)
                : std::snprintf(line, sizeof line, "[ %s: %s_%s: %s %u ]\n", process, cls, inst, text,
                                note.request_id);
    if (n > 0)
        wq_err.write(line, std::min<size_t>(size_t(n), sizeof line - 1));
}

void wq_MsgCircuit::drop_queued()
{
    for (size_t i = out_head_; i < out_.size(); ++i) {
        wq_log_reply_lost(out_[i].note, false);
        delete out_[i].stream;
    }
    out_.clear();
    out_head_ = 0;
    out_bytes_ = 0;
}

void wq_MsgCircuit::send_reply(CORBA::Stream &s, bool &resume, const CORBA::EnvironmentWrapper &env,
                               wq_ReplyNote note)
{
    resume = false;
    uint32_t size = 0;
    if (!prepare(s, size, env))
        return;
    if (state() != Active || !net_) {
        env.exception(comm_failure(3, COMPLETED_NO, "circuit is not Active"));
        return;
    }
    bool idle = false;
    if (!sending_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
        // The stream that may hold the reply in the queue is made before the
        // lock: making it may wait for the block lists, and the sender needs
        // the lock to go on.
        std::unique_ptr<CORBA::Stream> q(new CORBA::Stream(*mwrap_));
        wq_MutexLock g(out_lock_);
        if (state() != Active || !net_) {
            env.exception(comm_failure(3, COMPLETED_NO, "circuit is not Active"));
            return;
        }
        // The sender clears the flag only under the lock: while it is held
        // here, either this thread becomes the sender or the sender takes
        // what is queued now.
        idle = false;
        if (!sending_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
            // The sending thread takes it; this one goes on at once.
            q->swap(s);
            out_.push_back({q.get(), note});
            q.release();
            out_bytes_ += size;
            return;
        }
    }
    send_as_sender({&s, note}, &s, resume, &env);
}

void wq_MsgCircuit::close_sending(bool timed_out)
{
    if (timed_out && state() == Active) {
        char const *peer = net_->get_peer_endpoint();
        char line[256];
        int n = std::snprintf(line, sizeof line, "Ulvenor: closing connection %s: a reply was not taken within %u ms\n",
                              peer ? peer : endpoint_, wq_reply_send_ms);
        wq_err.write(line, std::min<size_t>(size_t(n), sizeof line - 1));
    }
    fail();
    shutdown_net();
}

bool wq_MsgCircuit::park(Queued &cur, CORBA::Stream *own, uint32_t sent)
{
    if (net_->poll_fd() < 0)
        return false;
    if (cur.stream == own) {
        // The reader's stream stays its own: the reply moves to the circuit.
        auto *q = new CORBA::Stream(*mwrap_);
        q->swap(*own);
        cur.stream = q;
    }
    out_cur_ = cur;
    out_sent_ = sent;
    _add_ref();
    if (wq_watch::park(this))
        return true; // nothing of the circuit is touched after this
    out_cur_ = {nullptr, {}};
    _remove_ref();
    return false;
}

void wq_MsgCircuit::send_as_sender(Queued q, CORBA::Stream *own, bool &resume, const CORBA::EnvironmentWrapper *env,
                                   uint32_t sent)
{
    if (!q.stream && !q.last) {
        wq_MutexLock g(out_lock_);
        if (!next_queued(q, resume))
            return;
    }
    for (;;) {
        CORBA::Stream *cur = q.stream;
        // Replies and MessageError are written only by the circuit's one
        // sender: they need no send lock. The send time runs from the first
        // write that has to wait; a reply that has to wait is parked for the
        // watcher, so that no reader waits on a client that does not read.
        long result = 1;
        bool whole = true;
        if (cur) {
            // The last message (a MessageError) never lands inside a
            // request another thread sends on the circuit.
            std::optional<wq_ThreadEnvironment> tenv;
            std::optional<wq_WriteLock> sl;
            auto lock_send = [&] {
                if (!q.last)
                    return;
                if (!tenv)
                    tenv.emplace();
                sl.emplace(send_lock_, *tenv);
            };
            lock_send();
            net_->last_write_error = 0;
            net_->write_deadline_ms = kNoWaitYet;
            whole = write_from(net_, *cur, sent, result);
            net_->write_deadline_ms = 0;
            if (!whole && net_->last_write_error == ETIMEDOUT) {
                int64_t now = wq_monotonic_ms();
                if (!out_due_ms_)
                    out_due_ms_ = now + wq_reply_send_ms;
                sl.reset();
                if (now < out_due_ms_ && park(q, own, sent))
                    return;
                // Not to be watched: the rest is written here within its time.
                lock_send();
                net_->last_write_error = 0;
                net_->write_deadline_ms = std::max<int64_t>(out_due_ms_, kNoWaitYet);
                whole = write_from(net_, *cur, sent, result);
                net_->write_deadline_ms = 0;
            }
        }
        out_due_ms_ = 0;
        if (!whole) {
            if (cur == own && env)
                env->exception(result < 0 ? errno_failure(net_->last_write_error)
                                          : comm_failure(result == 0 ? 2 : 3, COMPLETED_NO,
                                                         result == 0 ? "return code from write = 0"
                                                                     : "partial write of a GIOP message"));
            close_sending(net_->last_write_error == ETIMEDOUT);
        } else if (q.last) {
            // Everything due has gone: the client reads it, then the end.
            fail();
            net_->shutdown(true);
        }
        // Another thread's reply (or this one's, parked before): its failure
        // is told here.
        if (cur != own && !whole)
            wq_log_reply_lost(q.note, false);
        // A queued reply's stream is freed once the next reply may go out:
        // freeing may wait for the block lists.
        std::unique_ptr<CORBA::Stream> done(cur != own ? cur : nullptr);
        sent = 0;
        wq_MutexLock g(out_lock_);
        if (!whole || q.last)
            drop_queued(); // nothing more can go on this connection
        if (!next_queued(q, resume))
            return;
    }
}

void wq_MsgCircuit::send_parked(bool &resume)
{
    resume = false;
    Queued cur = out_cur_;
    out_cur_ = {nullptr, {}};
    if (!cur.stream)
        return;
    if (state() != Active) {
        // Failed meanwhile (by its reader or a peer's end): nothing goes.
        out_cur_ = cur;
        send_overdue(resume);
        return;
    }
    send_as_sender(cur, nullptr, resume, nullptr, out_sent_);
}

void wq_MsgCircuit::send_overdue(bool &resume)
{
    resume = false;
    Queued cur = out_cur_;
    out_cur_ = {nullptr, {}};
    out_due_ms_ = 0;
    close_sending(true);
    if (cur.stream) {
        wq_log_reply_lost(cur.note, false);
        delete cur.stream;
    }
    wq_MutexLock g(out_lock_);
    drop_queued();
    next_queued(cur, resume);
}

bool wq_MsgCircuit::next_queued(Queued &cur, bool &resume)
{
    if (out_head_ == out_.size()) {
        out_.clear();
        out_head_ = 0;
        out_bytes_ = 0;
        sending_.store(false, std::memory_order_release);
        resume = paused_;
        paused_ = false;
        return false;
    }
    cur = out_[out_head_++];
    out_bytes_ -= std::min<uint64_t>(out_bytes_, cur.stream ? cur.stream->size_written() : 0);
    return true;
}

void wq_MsgCircuit::hold_for_reply()
{
    _add_ref();
    ending_.fetch_add(1, std::memory_order_seq_cst);
}

bool wq_MsgCircuit::reply_sent()
{
    // Sequentially consistent with the pool's look at calls_in_service
    // (see wq_PriorityQueue::service_ended).
    uint32_t was = ending_.fetch_sub(1, std::memory_order_seq_cst);
    if ((was & kDueMask) == 1 && (was & kClosing))
        end_connection((was & kAnswerError) != 0);
    return (was & kDueMask) == 1;
}

void wq_MsgCircuit::reply_done()
{
    reply_sent();
    _remove_ref();
}

void wq_MsgCircuit::close_after_replies(bool message_error)
{
    // No more input is waited for; the watcher stops counting it.
    clear_receive_due();
    uint32_t was = ending_.fetch_or(kClosing | (message_error ? kAnswerError : 0), std::memory_order_acq_rel);
    if (was & kClosing)
        return; // already ending
    if ((was & kDueMask) == 0)
        end_connection(message_error);
}

void wq_MsgCircuit::end_connection(bool message_error)
{
    Queued q{nullptr, {}, true};
    if (message_error) {
        const unsigned char m[12] = {'G', 'I', 'O', 'P', 1, 0, CORBA::Stream::write_flag(), wq_GIOP::MessageError,
                                     0, 0, 0, 0};
        q.stream = new CORBA::Stream(*mwrap_);
        q.stream->write_array_1(m, sizeof m);
    }
    {
        wq_MutexLock g(out_lock_);
        bool idle = false;
        if (!sending_.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
            // The thread sending ends the connection after what it has.
            out_.push_back(q);
            return;
        }
    }
    bool resume = false; // nothing is read any more
    send_as_sender(q, nullptr, resume, nullptr);
}

// ---- receive ----------------------------------------------------------------------

void wq_MsgCircuit::fail_read(long result, const CORBA::EnvironmentWrapper &env)
{
    if (!server_ && state() == Unconnected)
        // Given up on this side (a stop dropped it) while it was read.
        fail_protocol(comm_failure(3, COMPLETED_MAYBE, "connection closed on this side"), env, false);
    else if (result < 0)
        fail_protocol(errno_failure(net_ ? net_->last_read_error : 0), env, false);
    else
        fail_protocol(comm_failure(2, COMPLETED_NO, "return code from read = 0"), env, false);
}

void wq_MsgCircuit::fail_protocol(CORBA::SystemException *e, const CORBA::EnvironmentWrapper &env, bool refused)
{
    if (server_) {
        // Nothing more is read. The replies still due go first (a refused
        // message is answered after them), then the circuit fails and
        // closes; at once when none is due.
        env.exception(e);
        close_after_replies(refused);
        return;
    }
    {
        // The failure is stored before the state says Failed, so that every
        // waiter that sees the state also finds the failure.
        wq_ThreadEnvironment tenv;
        wq_WriteLock rl(reply_lock_, tenv);
        store_failure(e);
        fail();
    }
    shutdown_net();
    env.exception(e);
}

void wq_MsgCircuit::fail_stream(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env)
{
    take_stream_error(s, env);
    if (server_) {
        close_after_replies(true); // as fail_protocol
        return;
    }
    CORBA::Exception *e = env.exception();
    wq_ThreadEnvironment tenv;
    {
        wq_WriteLock rl(reply_lock_, tenv);
        store_failure(e);
        fail();
    }
    shutdown_net();
}

namespace {
// A reader whose message's rest is not there yet hands the circuit back,
// unless the peer is writing a large message at speed: once a turn has
// taken kGraceAfter bytes, a read that would wait waits up to kGraceMs for
// more, while the turn is younger than kTurnMs. A slow sender never holds a
// reader.
constexpr uint32_t kGraceAfter = 65536;
constexpr int64_t kGraceMs = 1;
constexpr int64_t kTurnMs = 100;
// A server reads a message this long into one block, so that the servant
// gets its arrays where they lie instead of copies of them; only once this
// much of it is in, so that a header promising a long message reserves
// nothing for it.
constexpr uint32_t kOnePieceFrom = 1u << 20;
constexpr uint32_t kOnePieceAfter = 65536;
} // namespace

// The watcher's count of waiting circuits changes with the exchange that
// sets or clears the time, so that a failure from another thread (fail)
// and the reader's own end of the message count once between them.
void wq_MsgCircuit::set_receive_due(int64_t due)
{
    int64_t none = 0;
    if (in_due_.compare_exchange_strong(none, due, std::memory_order_acq_rel))
        wq_watch::receive_begun();
}

void wq_MsgCircuit::clear_receive_due()
{
    if (in_due_.load(std::memory_order_relaxed) != 0 && in_due_.exchange(0, std::memory_order_acq_rel) != 0)
        wq_watch::receive_ended();
}

int wq_MsgCircuit::on_would_wait(Turn &turn, uint32_t have)
{
    // No message begun: nothing to wait for (a silent circuit is no
    // reader's business).
    if (have == 0 && net_->poll_fd() >= 0)
        return 2;
    int64_t now = wq_monotonic_ms();
    int64_t due = in_due_.load(std::memory_order_relaxed);
    if (!due) {
        due = now + wq_message_receive_ms;
        set_receive_due(due);
    }
    if (now >= due)
        return 0;
    if (net_->poll_fd() < 0) {
        // Nothing tells when more comes: wait here, within the time.
        net_->read_deadline_ms = due;
        return 1;
    }
    if (!turn.started)
        turn.started = now;
    if (turn.waited || turn.taken < kGraceAfter || now - turn.started >= kTurnMs)
        return 2;
    turn.waited = true;
    net_->read_deadline_ms = std::min(due, now + kGraceMs);
    return 1;
}

int wq_MsgCircuit::fill(CORBA::Stream &s, uint32_t want, uint32_t &loose, Turn &turn,
                        const CORBA::EnvironmentWrapper &env)
{
    uint32_t have = s.write_offset();
    // Bytes an earlier read left past the write position come first.
    uint32_t t = std::min(loose, want - have);
    if (t) {
        s.wrote(t);
        loose -= t;
        have += t;
    }
    while (have < want && !s.pending()) {
        if (ahead_count_ > 0) {
            t = std::min(static_cast<uint32_t>(ahead_count_), want - have);
            s.write_array_1(ahead_->data + ahead_offset_, t);
            ahead_offset_ += static_cast<int32_t>(t);
            ahead_count_ -= static_cast<int32_t>(t);
            have += t;
            if (ahead_count_ == 0)
                ahead_drop();
            continue;
        }
        if (!net_) {
            fail_read(0, env);
            return 0;
        }
        // Straight into the stream: each read asks for the rest of the block.
        uint32_t room = 0;
        unsigned char *p = s.write_room(room);
        if (!p)
            break;
        long n = net_->read(p, room);
        if (n < 0 && server_ && net_->read_deadline_ms != 0 && net_->last_read_error == ETIMEDOUT) {
            // Nothing there now (or not within the time).
            int next = on_would_wait(turn, have);
            if (next == 1)
                continue;
            if (next == 2)
                return Incomplete;
            fail_read(-1, env);
            return 0;
        }
        if (n < 1) {
            fail_read(n, env);
            return 0;
        }
        if (turn.waited) {
            // More came: the next wait is decided afresh.
            turn.waited = false;
            net_->read_deadline_ms = kNoWaitYet;
        }
        uint32_t got = static_cast<uint32_t>(std::min<long>(n, room));
        turn.taken += got;
        t = std::min(got, want - have);
        s.wrote(t);
        loose = got - t;
        have += t;
    }
    if (s.pending()) {
        fail_stream(s, env);
        return 0;
    }
    return 1;
}

unsigned char *wq_MsgCircuit::ahead_room(uint32_t n)
{
    constexpr uint32_t kSmall = 4096; // a size the free lists keep
    uint32_t size = n <= kSmall ? kSmall : READ_AHEAD;
    if (ahead_ && ahead_->capacity < size)
        wq_MemoryBlock::release(ahead_);
    if (!ahead_)
        ahead_ = wq_MemoryBlock::alloc(size);
    return ahead_ && ahead_->capacity >= n ? ahead_->data : nullptr;
}

void wq_MsgCircuit::ahead_drop()
{
    ahead_count_ = ahead_offset_ = 0;
    wq_MemoryBlock::release(ahead_);
}

void wq_MsgCircuit::keep_partial(CORBA::Stream &s, uint32_t total)
{
    uint32_t have = s.write_offset();
    net_->read_drained = true; // the read that would have waited drained it
    if (have == 0)
        return;
    unsigned char *room = have <= READ_AHEAD ? ahead_room(have) : nullptr;
    if (room) {
        // A short start waits in the read-ahead (empty now: it is used up
        // before the transport is read), where the next receive takes it.
        uint32_t at = copy_written(s, have, room);
        ahead_offset_ = 0;
        ahead_count_ = static_cast<int32_t>(at);
        ahead_partial_ = true;
    } else {
        if (!part_)
            part_ = new CORBA::Stream(*mwrap_);
        part_->swap(s);
    }
    // Watched one-shot while its rest comes, when that is long.
    last_in_size_ = total;
}

uint32_t wq_MsgCircuit::copy_written(const CORBA::Stream &s, uint32_t have, unsigned char *to)
{
    uint32_t at = 0;
    for (wq_MemoryBlock *b = s.head(); b && at < have; b = b->next) {
        uint32_t len = b == s.write_block() ? static_cast<uint32_t>(s.write_position() - b->data) : b->used;
        len = std::min(len, have - at);
        std::memcpy(to + at, b->data, len);
        at += len;
        if (b == s.write_block())
            break;
    }
    return at;
}

bool wq_MsgCircuit::unread(CORBA::Stream &s)
{
    uint32_t have = s.write_offset();
    uint32_t behind = static_cast<uint32_t>(ahead_count_);
    if (!server_ || have < 12 || ahead_partial_ || part_ || have > READ_AHEAD - behind)
        return false;
    constexpr uint32_t kSmall = 4096; // a size the free lists keep
    wq_MemoryBlock *b = wq_MemoryBlock::alloc(have + behind <= kSmall ? kSmall : READ_AHEAD);
    if (!b)
        return false;
    if (copy_written(s, have, b->data) != have) {
        wq_MemoryBlock::release(b);
        return false;
    }
    if (behind)
        std::memcpy(b->data + have, ahead_->data + ahead_offset_, behind);
    if (ahead_)
        wq_MemoryBlock::release(ahead_);
    ahead_ = b;
    ahead_offset_ = 0;
    ahead_count_ = static_cast<int32_t>(have + behind);
    return true;
}

int wq_MsgCircuit::receive(CORBA::Stream &s, wq_GIOP::MessageHeader &h, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return 0;
    // Whatever waited unread is taken up now, even to find the circuit gone.
    if (net_)
        net_->taken_up();
    if (state() != Active || (ending_.load(std::memory_order_acquire) & kClosing)) {
        if (!server_ && state() == Unconnected)
            // Given up on this side (a stop dropped it) before it was read.
            env.exception(comm_failure(3, COMPLETED_MAYBE, "connection closed on this side"));
        else
            env.exception(comm_failure(4, COMPLETED_NO, "circuit is not Active"));
        return 0;
    }
    s.reclaim();
    if (s.pending())
        s.env().clear();
    Turn turn;
    if (ahead_partial_ || part_) {
        // The rest of a message begun in an earlier turn.
        ahead_partial_ = false;
        if (part_) {
            s.swap(*part_);
            delete part_;
            part_ = nullptr;
        }
        int64_t due = in_due_.load(std::memory_order_relaxed);
        if (due && wq_monotonic_ms() >= due && net_) {
            net_->last_read_error = ETIMEDOUT;
            fail_read(-1, env);
            return 0;
        }
    }
    // Bytes read beyond what is taken so far, lying past the write position.
    uint32_t loose = 0;
    // A server's reader takes a circuit when input is there and never waits
    // long for more: the rest of a message is gathered as it arrives, in
    // later turns, within a bounded time counted from the first read that
    // has to wait (so that a message read whole at once needs no clock).
    struct Deadline {
        wq_NetCircuit *net;
        Deadline(wq_NetCircuit *n, bool on) : net(on ? n : nullptr)
        {
            if (net)
                net->read_deadline_ms = kNoWaitYet;
        }
        ~Deadline()
        {
            if (net)
                net->read_deadline_ms = 0;
        }
    } deadline(net_, server_ && net_);
    int r = fill(s, 12, loose, turn, env);
    if (r == Incomplete)
        keep_partial(s, 0);
    if (r != 1)
        return r;
    wq_read_message_header(s, h);
    if (std::memcmp(h.magic, "GIOP", 4) != 0) {
        fail_protocol(comm_failure(12, COMPLETED_MAYBE, "Message header didn't contain \"GIOP\""), env);
        return 0;
    }
    if (h.version.major != 1 || h.version.minor != 0) {
        fail_protocol(comm_failure(12, COMPLETED_MAYBE,
                                   "Message header contained an unsupported GIOP version number"),
                      env);
        return 0;
    }
    if (h.type > 5 || h.flags > 1) {
        fail_protocol(comm_failure(12, COMPLETED_MAYBE,
                                   "Message header contained an unsupported GIOP Byte Order Mark"),
                      env);
        return 0;
    }
    uint64_t total = 12 + uint64_t(h.size);
    uint64_t limit = std::min<uint64_t>(CORBA::ORB::_max_message_size, 0xFFFFFFF0u);
    bool counted = server_ && total >= wq_pending_from;
    uint64_t bound = CORBA::ORB::_max_pending_request_bytes;
    if (total > limit || (counted && total > bound)) {
        char t[160];
        if (total > limit)
            std::snprintf(t, sizeof t, "GIOP message of %llu bytes exceeds the limit of %llu",
                          static_cast<unsigned long long>(total), static_cast<unsigned long long>(limit));
        else
            std::snprintf(t, sizeof t, "GIOP message of %llu bytes exceeds the %llu bytes held for requests",
                          static_cast<unsigned long long>(total), static_cast<unsigned long long>(bound));
        fail_protocol(new CORBA::IMP_LIMIT(1, COMPLETED_MAYBE, t), env);
        return 0;
    }
    if (counted && reserved_ < total) {
        wq_pending_release(take_reserved());
        bool deferred = !wq_pending_reserve(total);
        if (deferred) {
            // Not read further until it fits: what came (the bytes read
            // past the header, or read ahead with an earlier message) waits
            // with the circuit, and the wait is the server's, not the
            // client's. Read ahead beyond one block, it is taken now.
            s.wrote(loose);
            loose = 0;
            if (ahead_count_ > 0) {
                uint32_t more = static_cast<uint32_t>(ahead_count_), room = 0;
                unsigned char *p = s.write_room(room);
                if (p && room >= more) {
                    std::memcpy(p, ahead_->data + ahead_offset_, more);
                    s.wrote(more);
                    ahead_drop();
                } else {
                    deferred = false;
                    wq_pending_take(total);
                }
            }
        }
        if (deferred) {
            bool drained = net_->read_drained;
            keep_partial(s, static_cast<uint32_t>(total));
            net_->read_drained = drained;
            clear_receive_due();
            return Deferred;
        }
        reserved_ = total;
    }
    if (server_ && total >= kOnePieceFrom && s.write_offset() + loose >= kOnePieceAfter)
        (void)s.contiguous(static_cast<uint32_t>(total), loose); // else it is read in blocks
    r = fill(s, static_cast<uint32_t>(total), loose, turn, env);
    if (r == Incomplete)
        keep_partial(s, static_cast<uint32_t>(total));
    if (r != 1)
        return r;
    clear_receive_due();
    // What the last read brought beyond the message waits for the next one
    // (the read-ahead is empty whenever the transport was read).
    if (loose > READ_AHEAD) {
        wq_err << "Ulvenor internal error 638: closing connection\n" << wq_flush;
        fail();
        shutdown_net();
        return 0;
    }
    if (loose > 0) {
        unsigned char *room = ahead_room(loose);
        if (!room) {
            fail_protocol(new CORBA::NO_MEMORY(0, COMPLETED_NO), env, false);
            return 0;
        }
        std::memcpy(room, s.write_position(), loose);
        ahead_offset_ = 0;
        ahead_count_ = static_cast<int32_t>(loose);
    }
    s.message_length(static_cast<uint32_t>(total));
    last_in_size_ = static_cast<uint32_t>(total);
    if (net_)
        net_->message_read();
    return 1;
}

int wq_MsgCircuit::read_next_reply(CORBA::Stream &s, wq_GIOP::MessageHeader &h, wq_GIOP::ReplyHeader &rh,
                                   wq_GIOP::LocateReplyHeader &lh, uint32_t &wire_id,
                                   const CORBA::EnvironmentWrapper &env)
{
    int r = receive(s, h, env);
    if (r < 1)
        return r < 0 ? r : -1;
    switch (h.type) {
    case wq_GIOP::Reply:
        rh.priority = 0xFFFF;
        wq_read_reply(s, rh, env);
        wire_id = rh.request_id;
        break;
    case wq_GIOP::LocateReply:
        s >> lh;
        wire_id = lh.request_id;
        break;
    case wq_GIOP::CloseConnection:
        fail_protocol(comm_failure(3, COMPLETED_NO, "Illegal GIOP reply"), env);
        return -1;
    default:
        fail_protocol(comm_failure(3, COMPLETED_NO, "Illegal/Unsupported GIOP message"), env);
        return -1;
    }
    if (s.pending()) {
        // A reply header that runs past its message: the peer is broken.
        fail_stream(s, env);
        return -1;
    }
    return 1;
}

