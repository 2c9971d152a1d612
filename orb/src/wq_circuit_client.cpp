// GIOP message circuits, client side: sending requests in turn, the
// demultiplexing of replies among the client threads that share one
// connection, the failures their callers get, and how a stop of a calling
// task ends its call (waiting for its turn to send, sending, waiting for a
// reply another thread reads, or reading).
#include "wq_circuit.h"
#include "wq_circuit_int.h"

#include "corba_orb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using CORBA::COMPLETED_MAYBE;
using CORBA::COMPLETED_NO;
using namespace wq_circuit_int;

// ---- failures -------------------------------------------------------------------

void wq_MsgCircuit::raise_stored(const CORBA::EnvironmentWrapper &env, bool stale)
{
    // A request of an earlier connection gets what ended that one. A
    // circuit that is no longer Active always has its failure stored; the
    // closing failure stands in should none be.
    CORBA::SystemException *f = stale ? old_failure_ : failure_;
    CORBA::SystemException *c = f ? wq_msgcircuit_duplicate(f) : nullptr;
    if (f && !c)
        c = static_cast<CORBA::SystemException *>(f->wq_duplicate());
    if (!c)
        c = comm_failure(3, COMPLETED_MAYBE, "connection closed before the reply came");
    // Every caller that waits here has written its request: the server may
    // have run it.
    c->completed(COMPLETED_MAYBE);
    env.exception(c);
}

void wq_MsgCircuit::new_connection_failures()
{
    delete old_failure_;
    old_failure_ = failure_ ? failure_ : comm_failure(3, COMPLETED_MAYBE, "connection closed before the reply came");
    failure_ = nullptr;
}

void wq_MsgCircuit::drop_unclaimed_mailbox()
{
    // A reply parked for a caller still waiting is that caller's, whatever
    // happens to the connection afterwards: it is taken from the mailbox.
    if (mailbox_full_ && is_waiting(mailbox_id_))
        return;
    empty_mailbox();
}

// ---- a stop of a waiting task ------------------------------------------------------

namespace {

// Task threads waiting in a circuit for their turn to send or for a reply
// that another thread reads. The wait holds cancellation off (the thread
// sits on the condition's list), so a stop of such a task wakes it through
// this list instead; it then gives up its call. Entries live on the
// waiters' stacks.
struct EndWaiter {
    std::atomic<int> *task; // the waiting task thread's end mark
    wq_RWCondVar *cond;          // broadcast to wake the wait
    wq_MsgCircuit *shut;         // or: its connection shut down to end a write
    bool fired = false;          // woken by a stop (under the guard)
    EndWaiter *next = nullptr;
    EndWaiter *prev = nullptr;
};
wq_SpinGuard end_waiters_guard;
EndWaiter *end_waiters = nullptr;

void wake_ended(std::atomic<int> *task)
{
    end_waiters_guard.acquire();
    for (EndWaiter *w = end_waiters; w; w = w->next)
        if (w->task == task) {
            w->fired = true;
            if (w->cond)
                w->cond->broadcast();
            if (w->shut)
                w->shut->drop_by_stop();
        }
    end_waiters_guard.release();
}

// Listed for the scope of one wait (only task threads can be asked to end).
struct EndWaitScope {
    EndWaiter w;
    bool listed;
    explicit EndWaitScope(wq_RWCondVar &cond) : EndWaitScope(&cond, nullptr) {}
    explicit EndWaitScope(wq_MsgCircuit *shut) : EndWaitScope(nullptr, shut) {}
    EndWaitScope(wq_RWCondVar *cond, wq_MsgCircuit *shut)
        : w{yw_t_endMark, cond, shut}, listed(yw_t_endMark != nullptr)
    {
        if (!listed)
            return;
        static const bool installed = [] {
            yw_g_endWakeHook.store(&wake_ended, std::memory_order_release);
            return true;
        }();
        (void)installed;
        end_waiters_guard.acquire();
        w.next = end_waiters;
        if (end_waiters)
            end_waiters->prev = &w;
        end_waiters = &w;
        end_waiters_guard.release();
    }
    ~EndWaitScope() { unlist(); }
    // Off the list now; true when a stop woke it meanwhile.
    bool leave()
    {
        unlist();
        return w.fired;
    }
    void unlist()
    {
        if (!listed)
            return;
        listed = false;
        end_waiters_guard.acquire();
        if (w.prev)
            w.prev->next = w.next;
        else
            end_waiters = w.next;
        if (w.next)
            w.next->prev = w.prev;
        end_waiters_guard.release();
    }
    EndWaitScope(const EndWaitScope &) = delete;
    EndWaitScope &operator=(const EndWaitScope &) = delete;
};

} // namespace

// ---- send -------------------------------------------------------------------------

void wq_MsgCircuit::send_failed(CORBA::SystemException *e, uint64_t id, long result,
                                const CORBA::EnvironmentWrapper &env)
{
    wq_ThreadEnvironment tenv;
    reply_lock_.lock_write(tenv);
    // The stream may be torn mid-message: nothing more can be sent or read
    // on this connection.
    fail();
    shutdown_net();
    store_failure(e);
    drop_unclaimed_mailbox();
    env.exception(e);
    if (result == 0 && CORBA::ORB::_transparent_reconnect && owner_)
        owner_->unfail();
    leave_call(id, HoldsSend, tenv);
}

bool wq_MsgCircuit::prepare(CORBA::Stream &s, uint32_t &size, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending() || s.pending()) {
        if (s.pending())
            take_stream_error(s, env);
        return false;
    }
    size = s.size_written();
    if (size < 12 || !s.head()) {
        env.exception(new CORBA::INTERNAL(4, COMPLETED_NO, "GIOP message shorter than its header"));
        return false;
    }
    s.write_ulong_at(s.head()->data + 8, size - 12);
    if (s.pending()) {
        take_stream_error(s, env);
        return false;
    }
    const uint32_t max_size = max_size_.load(std::memory_order_relaxed);
    if (max_size && max_size < size) {
        char t[128];
        std::snprintf(t, sizeof t, "Message size of %u exceeded transport maximum of %u", size, max_size);
        env.exception(comm_failure(3, COMPLETED_NO, t));
        return false;
    }
    return true;
}

long wq_MsgCircuit::write_blocks(CORBA::Stream &s, bool &whole)
{
    long result = 1;
    whole = true;
    for (wq_MemoryBlock *b = s.head(); b; b = b->next) {
        uint32_t len = b == s.write_block() ? static_cast<uint32_t>(s.write_position() - b->data) : b->used;
        if (len) {
            result = net_->write(b->data, len);
            if (result != static_cast<long>(len)) {
                whole = false;
                break;
            }
        }
        if (b == s.write_block())
            break;
    }
    return result;
}

void wq_MsgCircuit::writer_cut(uint64_t id, bool dropped, bool written, const CORBA::EnvironmentWrapper &env,
                               const wq_ThreadEnvironment &tenv)
{
    reply_lock_.lock_write(tenv);
    if (dropped) {
        // The connection may hold half a message and is shut down: it is
        // given up as a reader cut by a stop gives it up (nothing Failed).
        CORBA::COMM_FAILURE *e = comm_failure(3, COMPLETED_MAYBE, "writer ended by a stop");
        store_failure(e);
        delete e;
        drop_connection();
    }
    leave_call(id, HoldsSend, tenv, Left::Stopped, &env, written ? COMPLETED_MAYBE : COMPLETED_NO);
}

bool wq_MsgCircuit::take_send_turn(const CORBA::EnvironmentWrapper &env, const wq_ThreadEnvironment &tenv)
{
    bool idle = false;
    if (send_busy_.compare_exchange_strong(idle, true))
        return true;
    // Behind another sender, whose write may not progress (a peer that
    // takes nothing): waited for on a condition, which a stop of the
    // waiting task wakes, instead of on the send lock.
    reply_lock_.lock_write(tenv);
    turn_waiters_.fetch_add(1);
    for (;;) {
        idle = false;
        if (send_busy_.compare_exchange_strong(idle, true))
            break;
        if (YW_P_endAsked()) {
            leave_call(kNoCall, HoldsTurnWait, tenv, Left::Stopped, &env, COMPLETED_NO);
            return false;
        }
        _turn_waits.fetch_add(1, std::memory_order_relaxed);
        {
            EndWaitScope ew(send_cond_);
            send_cond_.wait_unless(tenv, &YW_P_endAsked);
        }
        _turn_waits.fetch_sub(1, std::memory_order_relaxed);
    }
    turn_waiters_.fetch_sub(1);
    reply_lock_.unlock(tenv);
    return true;
}

void wq_MsgCircuit::end_send_turn(const wq_ThreadEnvironment &tenv, bool reply_locked)
{
    send_busy_.store(false);
    if (turn_waiters_.load() == 0)
        return;
    // Under the reply lock: a waiter is queued on the condition before it
    // lets the lock go.
    if (!reply_locked)
        reply_lock_.lock_write(tenv);
    send_cond_.broadcast(tenv);
    if (!reply_locked)
        reply_lock_.unlock(tenv);
}

void wq_MsgCircuit::unlock_send(const wq_ThreadEnvironment &tenv)
{
    send_lock_.unlock(tenv);
    end_send_turn(tenv, false);
}

void wq_MsgCircuit::send(CORBA::Stream &s, uint64_t &id, unsigned char *id_location, bool hold,
                         const CORBA::EnvironmentWrapper &env)
{
    uint32_t size = 0;
    if (!prepare(s, size, env))
        return;
    wq_ThreadEnvironment tenv;
    if (!take_send_turn(env, tenv))
        return;
    send_lock_.lock_write(tenv);
    if (state() != Active || !net_) {
        unlock_send(tenv);
        env.exception(comm_failure(3, COMPLETED_NO, "circuit is not Active"));
        return;
    }
    uint64_t my_id = kNoCall;
    if (id_location) {
        my_id = next_id_++;
        id = my_id;
        s.write_ulong_at(id_location, static_cast<uint32_t>(my_id));
        if (s.pending()) {
            unlock_send(tenv);
            take_stream_error(s, env);
            return;
        }
        if (hold) {
            // Registered before the bytes leave, so that a reader never
            // takes its reply for a stray one.
            wq_WriteLock rl(reply_lock_, tenv);
            waiting_.push_back(my_id);
            // Nobody reads: this thread becomes the reader now, which spares
            // receive_reply a round of the reply lock. Nobody else can take
            // the part meanwhile, and the connection cannot be flushed, as
            // the send lock stays held until then. Not for the first request
            // after a (re)connect, which waits for the old waiters to leave.
            if (!reader_active_ && state() == Active && !reset_pending_.load(std::memory_order_relaxed)) {
                reader_active_ = 1;
                claimed_ = true;
                claimed_id_ = my_id;
            }
        }
    }
    bool whole = true;
    long result = 1;
    bool unsent = false, cut = false;
    {
        // A stop of the writing task while its write does not progress (a
        // peer that takes nothing) shuts the connection down, which ends
        // the write; a stop asked before the write leaves the request unsent.
        EndWaitScope ew(this);
        if (YW_P_endAsked())
            unsent = true;
        else
            result = write_blocks(s, whole);
        cut = ew.leave();
    }
    if (unsent || cut) {
        writer_cut(my_id, cut, whole && result > 0 && !unsent, env, tenv);
        return;
    }
    if (!whole) {
        CORBA::COMM_FAILURE *e;
        if (result < 0)
            e = errno_failure(net_->last_write_error);
        else if (result == 0)
            e = comm_failure(2, COMPLETED_NO, "return code from write = 0");
        else
            e = comm_failure(3, COMPLETED_NO, "partial write of a GIOP message");
        send_failed(e, my_id, result, env);
        return;
    }
    if (!hold) {
        unlock_send(tenv);
        return;
    }
    // Set only under the send lock, which this thread holds: a plain look
    // first spares the exchange on every other request. (The failure of the
    // old connection was set aside for its callers when it was flushed.)
    if (reset_pending_.load(std::memory_order_relaxed))
        reset_pending_.store(0);
}

void wq_MsgCircuit::next_request_id(uint64_t id)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock sl(send_lock_, tenv);
    wq_WriteLock rl(reply_lock_, tenv);
    if (id >= next_id_)
        next_id_ = id;
}

void wq_MsgCircuit::release_send_lock(uint64_t id)
{
    wq_ThreadEnvironment tenv;
    reply_lock_.lock_write(tenv);
    leave_call(id, HoldsSend, tenv);
}

// ---- replies ----------------------------------------------------------------------

void wq_MsgCircuit::leave_call(uint64_t id, unsigned holds, const wq_ThreadEnvironment &tenv, Left how,
                               const CORBA::EnvironmentWrapper *env, CORBA::CompletionStatus completed)
{
    unregister(id);
    if (mailbox_full_ && mailbox_id_ == id)
        empty_mailbox(); // parked for this caller, which will not take it
    // The reader's part send() gave this caller (read under the send lock).
    if ((holds & HoldsSend) && claimed_ && claimed_id_ == id) {
        claimed_ = false;
        holds |= HoldsReading;
    }
    if (holds & HoldsReading)
        reader_active_ = 0;
    if (holds & HoldsTurnWait) {
        turn_waiters_.fetch_sub(1);
        if (!send_busy_.load())
            send_cond_.broadcast(tenv); // a turn this thread was woken for
    }
    if (!reader_active_)
        reader_cond_.broadcast(tenv);
    if (mailbox_waiters_)
        mailbox_cond_.broadcast(tenv);
    if (how == Left::Stale)
        raise_stored(*env, id < first_valid_id_);
    if (holds & HoldsSend) {
        send_lock_.unlock(tenv);
        end_send_turn(tenv, true);
    }
    reply_lock_.unlock(tenv);
    if (how == Left::Stopped) {
        env->exception(comm_failure(3, completed, "call ended by a stop"));
        wq_stop_point();
    }
}

std::atomic<uint32_t> wq_MsgCircuit::_reply_waits{0};
std::atomic<uint32_t> wq_MsgCircuit::_turn_waits{0};

void wq_MsgCircuit::receive_reply_or_locate_reply(CORBA::Stream &s, uint64_t id, wq_GIOP::MessageHeader &h,
                                                  wq_GIOP::ReplyHeader &rh, wq_GIOP::LocateReplyHeader &lh,
                                                  const CORBA::EnvironmentWrapper &env)
{
    // Every way out of the wait below goes through leave_call.
    wq_ThreadEnvironment tenv;
    h.type = 0xFF;
    if (claimed_ && claimed_id_ == id) {
        // send() made this thread the reader already.
        claimed_ = false;
        unlock_send(tenv);
        if (YW_P_endAsked()) {
            // Stopped: the reading part is given back unused, so that the
            // connection stays whole for the others.
            reply_lock_.lock_write(tenv);
            leave_call(id, HoldsReading, tenv, Left::Stopped, &env);
            return;
        }
    } else {
        reply_lock_.lock_write(tenv);
        send_lock_.unlock(tenv);
        end_send_turn(tenv, true);
        for (;;) {
            // A reply parked for this thread is its own, even when the
            // connection failed or was replaced since.
            if (mailbox_full_ && mailbox_id_ == id) {
                mailbox_full_ = 0;
                s.swap(*mailbox_);
                // The caller's former chain goes back with the mailbox.
                delete mailbox_;
                mailbox_ = nullptr;
                h = mb_h_;
                rh = mb_rh_;
                lh = mb_lh_;
                leave_call(id, 0, tenv);
                return;
            }
            if (id < first_valid_id_ || state() != Active) {
                // Stale (the connection of this request is gone) or failed.
                leave_call(id, 0, tenv, Left::Stale, &env);
                return;
            }
            if (YW_P_endAsked()) {
                // The task is being stopped: it gives up the call (the
                // reply, when it comes, is nobody's and is dropped) rather
                // than read the connection it would cut.
                leave_call(id, 0, tenv, Left::Stopped, &env);
                return;
            }
            if (!reader_active_)
                break;
            ++reader_waiters_;
            _reply_waits.fetch_add(1, std::memory_order_relaxed);
            {
                EndWaitScope ew(reader_cond_);
                reader_cond_.wait_unless(tenv, &YW_P_endAsked);
            }
            _reply_waits.fetch_sub(1, std::memory_order_relaxed);
            --reader_waiters_;
        }
        // This thread reads until its own reply comes.
        reader_active_ = 1;
        reply_lock_.unlock(tenv);
    }
    // The reader waits in the transport holding no lock, so a stop of its
    // thread (cancellation) may end it there. The reading part is then given
    // back and the waiters woken, so that other threads' calls on this
    // circuit go on. The connection cannot be read on: the cut read may have
    // taken bytes that nobody will see (the C library may act on the cancel
    // just after its read returned data), or left a message half read. It is
    // closed, the calls waiting on it get the stored failure, and the
    // circuit connects again on the next call: a local stop is no failure
    // of the peer or the transport, so nothing is left Failed.
    struct ReaderCut {
        wq_MsgCircuit *c;
        uint64_t id;
        bool armed = true;
        ~ReaderCut()
        {
            if (!armed)
                return;
            wq_ThreadEnvironment te;
            c->reply_lock_.lock_write(te);
            // The waiters' requests were written: the server may run them.
            CORBA::COMM_FAILURE *e = comm_failure(3, COMPLETED_MAYBE, "reader ended by a stop");
            c->store_failure(e); // keeps a copy
            delete e;
            c->drop_connection();
            c->leave_call(id, HoldsReading, te);
        }
    };
    for (;;) {
        uint32_t wire = 0;
        int r;
        {
            ReaderCut cut{this, id};
            r = read_next_reply(s, h, rh, lh, wire, env);
            cut.armed = false;
        }
        reply_lock_.lock_write(tenv);
        if (r < 1 || env.pending()) {
            store_failure(env.exception());
            // Its own request was written: the server may have run it.
            if (auto *se = CORBA::SystemException::_downcast(env.exception()))
                se->completed(COMPLETED_MAYBE);
            // A reply parked for another caller stays for it.
            drop_unclaimed_mailbox();
            leave_call(id, HoldsReading, tenv);
            return;
        }
        // Widen the 32-bit wire id next to this thread's 64-bit id.
        uint64_t wid = (id & ~uint64_t(0xFFFFFFFF)) | wire;
        if (wid > id + 0x80000000ull)
            wid -= 0x100000000ull;
        else if (wid + 0x80000000ull < id)
            wid += 0x100000000ull;
        if (wid == id) {
            leave_call(id, HoldsReading, tenv);
            return;
        }
        // Another caller's reply, parked for it once the mailbox is free:
        // looked at again after each wait, as its caller may have left
        // meanwhile (its reply is then nobody's).
        while (state() == Active && mailbox_full_ && id >= first_valid_id_ && wid >= first_valid_id_ &&
               is_waiting(wid)) {
            ++mailbox_waiters_;
            mailbox_cond_.wait(tenv);
            --mailbox_waiters_;
        }
        if (id < first_valid_id_ || state() != Active) {
            leave_call(id, HoldsReading, tenv, Left::Stale, &env);
            return;
        }
        if (wid < first_valid_id_ || !is_waiting(wid)) {
            // Nobody waits for it: dropped.
            stray_replies.fetch_add(1, std::memory_order_relaxed);
            reply_lock_.unlock(tenv);
            continue;
        }
        if (!mailbox_)
            mailbox_ = new CORBA::Stream(*mwrap_);
        mailbox_id_ = wid;
        mb_h_ = h;
        mb_rh_ = rh;
        mb_lh_ = lh;
        mailbox_->swap(s);
        mailbox_full_ = 1;
        reader_cond_.broadcast(tenv);
        reply_lock_.unlock(tenv);
    }
}

void wq_MsgCircuit::receive_reply(CORBA::Stream &s, uint64_t id, wq_GIOP::MessageHeader &h,
                                  wq_GIOP::ReplyHeader &rh, const CORBA::EnvironmentWrapper &env)
{
    wq_GIOP::LocateReplyHeader lh{};
    receive_reply_or_locate_reply(s, id, h, rh, lh, env);
    if (!env.pending() && h.type != wq_GIOP::Reply)
        env.exception(comm_failure(3, COMPLETED_MAYBE, "Message reply error - Expected a GIOP reply"));
}

void wq_MsgCircuit::receive_locate_reply(CORBA::Stream &s, uint64_t id, wq_GIOP::MessageHeader &h,
                                         wq_GIOP::LocateReplyHeader &lh, const CORBA::EnvironmentWrapper &env)
{
    wq_GIOP::ReplyHeader rh{};
    rh.priority = 0xFFFF;
    receive_reply_or_locate_reply(s, id, h, rh, lh, env);
    if (!env.pending() && h.type != wq_GIOP::LocateReply)
        env.exception(comm_failure(3, COMPLETED_MAYBE, "Message reply error - Expected a GIOP locate reply"));
}

void wq_MsgCircuit::flush_replies(const CORBA::EnvironmentWrapper &) { flush(true); }

void wq_MsgCircuit::flush_dropped() { flush(false); }

void wq_MsgCircuit::flush(bool peers)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock sl(send_lock_, tenv);
    reply_lock_.lock_write(tenv);
    if (peers && (state() == Active || (owner_ && owner_->state() == wq_MsgEndpoint::Active))) {
        fail();
        delete failure_;
        failure_ = new CORBA::COMM_FAILURE(
            3, COMPLETED_MAYBE, "a peer circuit for another priority band to the same endpoint failed");
        drop_unclaimed_mailbox();
    }
    reader_cond_.broadcast(tenv);
    mailbox_cond_.broadcast(tenv);
    // A reader blocked in the transport is woken by the shutdown.
    shutdown_net();
    while (reader_active_)
        reader_cond_.wait(tenv);
    wq_NetCircuitFactory::release(net_);
    net_ = nullptr;
    ahead_drop();
    first_valid_id_ = next_id_;
    // Every outstanding request is stale from here on: its caller gets what
    // ended this connection; the next connection starts with no failure.
    new_connection_failures();
    drop_unclaimed_mailbox();
    reply_lock_.unlock(tenv);
    set_unconnected();
}
