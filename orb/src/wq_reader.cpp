// Reader threads: the circuit pools they take circuits from, band threads,
// and the life of one message from its receipt to its reply.
#include "corba_orb.h"
#include "rtcorba.h"
#include "wq_dispatch.h"
#include "wq_memtrim.h"
#include "wq_mthread.h"
#include "wq_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_pool(1);
wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_band_pool(256);
uint32_t wq_max_reader_threads = 256;
int wq_reader_idle_ms = 3000;

namespace {

// Reader threads and pollers alive, general and band together.
std::atomic<uint32_t> g_threads{0};
// Of the readers, those waiting for input on the connection they have just
// served.
std::atomic<uint32_t> g_lingering{0};

// Blocks of a long message go back now, so that an idle reader holds none;
// a stream within its first block is reset by its next use (receive, reply).
void give_back_long(wq_ReaderState &st)
{
    for (CORBA::Stream *s : {&st.in, &st.out})
        if (s->head() && (s->head()->next || s->head()->capacity > s->block_size()))
            s->reclaim();
}

// A request read in one piece gives its buffer back before its reply goes
// out, unless the reply lends from it: the client's next large request,
// which may come as soon as the reply is out, then finds the buffer kept.
void give_back_request(wq_ReaderState &st, const CORBA::Stream &reply)
{
    wq_MemoryBlock *h = st.in.head();
    if (!h || h->next || h->capacity <= st.in.block_size() || wq_MemoryBlock::is_held(h))
        return;
    for (wq_MemoryBlock *b = reply.head(); b; b = b->next)
        if (b->data >= h->data && b->data < h->data + h->capacity)
            return;
    st.in.reclaim();
}

// Where a reader is counted: the pool level it waits in (a band thread in
// its band's level of the band pool, any other reader in the general pool).
struct Home {
    bool band = false;
    uint32_t level = 0;
    bool operator==(const Home &) const = default;
};

Home home_of(const wq_ReaderState &st) { return {st.band_thread, st.band_thread ? st.band : 0}; }

wq_PriorityQueue<wq_MsgCircuit> &pool_of(Home h) { return h.band ? wq_msg_circuit_band_pool : wq_msg_circuit_pool; }

// Level 0: the general pool; b + 1: band b of the band pool.
uint32_t pool_level(Home h) { return h.band ? h.level + 1 : 0; }

void return_to_pool(wq_MsgCircuit *c, uint32_t level, uint64_t *ticket = nullptr)
{
    if (level == 0)
        wq_msg_circuit_pool.put(c, 0, ticket);
    else
        wq_msg_circuit_band_pool.put(c, level - 1, ticket);
}

// A circuit whose reading paused while its replies waited goes back to the
// pool it was read from once they have gone.
struct ResumeInstaller {
    ResumeInstaller()
    {
        wq_msg_circuit_resume = [](wq_MsgCircuit *c) { return_to_pool(c, c->paused_level()); };
    }
} g_resume_installer;

// Moves a reader's count to the pool level it belongs to now (it has
// become a band thread, or given its band's circuit up for good).
void rehome(Home &home, const wq_ReaderState &st)
{
    Home now = home_of(st);
    if (now == home)
        return;
    wq_ThreadEnvironment tenv;
    {
        wq_WriteLock g(pool_of(home).lock, tenv);
        --pool_of(home).readers(home.level);
    }
    wq_WriteLock g(pool_of(now).lock, tenv);
    ++pool_of(now).readers(now.level);
    home = now;
}

// A reader that gives its circuit up is no band thread any more and runs at
// the default priority again.
void leave_band(wq_ReaderState &st)
{
    st.band_thread = false;
    if (st.base_priority != wq_default_corba_priority())
        wq_reader_base_priority(st, wq_default_corba_priority());
}

class ReaderSink : public wq_DispatchSink {
public:
    ReaderSink(wq_ReaderState &st, wq_MsgCircuit *&circuit, Home &home) : st_(st), circuit_(circuit), home_(home)
    {
    }
    ~ReaderSink() override
    {
        if (!held_)
            return;
        // Only an early reply leaves the circuit held to the end of the
        // message; any other hold was never given up by its reply.
        if (!early_sent_) {
            static char const text[] = "Ulvenor: internal warning #568\n";
            wq_out.write(text, sizeof text - 1);
        }
        held_->reply_done();
    }

    void hand_back(bool reply_due) override
    {
        wq_MsgCircuit *c = circuit_;
        if (!c)
            return;
        // A reader that has just become a band thread counts in its band.
        rehome(home_, st_);
        if (reply_due) {
            c->hold_for_reply();
            held_ = c;
        }
        if (CORBA::ORB::_connection_ordered_oneways && st_.sync_scope == Messaging::SYNC_WITH_TRANSPORT)
            return; // read again by this thread after this one-way
        circuit_ = nullptr;
        uint32_t level = pool_level(home_);
        // A client that does not take its replies is not read meanwhile:
        // the thread sending them hands it back when they are gone.
        if (c->pause_reading(level))
            return;
        // Back before the servant runs, so that the next message is read by
        // another reader as soon as it comes; this reader takes the circuit
        // back after its reply if nothing came meanwhile.
        return_to_pool(c, level, &st_.lent);
    }

    void send(CORBA::Stream &reply, uint32_t request_id, bool early) override
    {
        deliver(reply, {early ? wq_ReplyNote::EarlyReply : wq_ReplyNote::Reply, request_id});
    }

    void send_locate(CORBA::Stream &reply, uint32_t request_id) override
    {
        deliver(reply, {wq_ReplyNote::LocateReply, request_id});
    }

    char const *peer() override
    {
        wq_MsgCircuit *c = circuit_ ? circuit_ : held_;
        return c && c->net() ? c->net()->get_peer_endpoint() : nullptr;
    }

    void protocol_error() override
    {
        if (wq_MsgCircuit *c = circuit_ ? circuit_ : held_)
            wq_message_error_and_close(c);
        drop_reading();
    }

    // The replies in progress go first, then the connection closes.
    void close() override
    {
        if (wq_MsgCircuit *c = circuit_)
            c->close_after_replies(false);
        drop_reading();
    }

private:
    // Sends a reply on the held circuit; a lost one is reported by what it
    // answers. After an early reply the circuit stays held for the servant's
    // run.
    void deliver(CORBA::Stream &reply, wq_ReplyNote note)
    {
        bool early = note.kind == wq_ReplyNote::EarlyReply;
        wq_MsgCircuit *c = held_;
        if (!c)
            return;
        if (!early)
            take_back_lent();
        if (reply.pending()) {
            // No reply could be built: the client must not wait for one.
            c->fail();
            c->shutdown_net();
        } else if (c->state() != wq_MsgCircuit::Active) {
            wq_log_reply_lost(note, true);
        } else {
            const CORBA::EnvironmentWrapper &penv = st_.aux;
            bool resume = false;
            if (note.kind == wq_ReplyNote::Reply)
                give_back_request(st_, reply);
            c->send_reply(reply, resume, penv, note);
            if (resume)
                return_to_pool(c, c->paused_level());
            if (penv.pending()) {
                // Reported here (and by the circuit when it timed out): the
                // exception goes no further.
                wq_log_reply_lost(note, false);
                penv.clear();
            }
        }
        if (early) {
            early_sent_ = true;
        } else {
            c->reply_done();
            held_ = nullptr;
        }
    }

    // The message is served: the circuit handed back before the servant ran
    // is taken back (when no input came meanwhile) before the reply lets a
    // client that waits for it send its next call, which this reader then
    // reads itself.
    void take_back_lent()
    {
        if (!circuit_)
            circuit_ = wq_PriorityQueue<wq_MsgCircuit>::take_back(st_.lent);
        st_.lent = 0;
    }

    // The circuit is given up for good by the thread that reads it.
    void drop_reading()
    {
        if (circuit_) {
            wq_release_mc_out_of_pool(circuit_);
            leave_band(st_);
        }
    }

    wq_ReaderState &st_;
    wq_MsgCircuit *&circuit_;
    Home &home_;
    wq_MsgCircuit *held_ = nullptr;
    bool early_sent_ = false;
};

// Reads the calling thread's CORBA priority (0 when RT is not available).
int16_t thread_priority()
{
    wq_PrivateEnv pe;
    const CORBA::EnvironmentWrapper &penv = pe.env;
    RTCORBA::Current *cur = RTCORBA::get_current(penv);
    int16_t p = 0;
    if (cur) {
        p = cur->active_priority(penv);
        cur->base_priority(p, penv);
        CORBA::release(cur);
    }
    return penv.pending() ? 0 : p;
}

// Starts a broker thread counted with the readers against
// wq_max_reader_threads; the count is dropped when the body returns.
struct CountedStart {
    void (*body)(void *);
    void *arg;
};

void counted_thread(void *arg)
{
    struct Uncount {
        ~Uncount() { g_threads.fetch_sub(1, std::memory_order_acq_rel); }
    } uncount;
    CountedStart start = *static_cast<CountedStart *>(arg);
    delete static_cast<CountedStart *>(arg);
    start.body(start.arg);
}

bool start_counted(void (*body)(void *), void *arg, int priority)
{
    uint32_t n = g_threads.load(std::memory_order_relaxed);
    do {
        if (n >= wq_max_reader_threads)
            return false;
    } while (!g_threads.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel));
    auto *start = new CountedStart{body, arg};
    // The record may be gone as soon as the thread has ended: only the
    // answer of the start itself is looked at.
    bool started = false;
    wq_ManagedThread::start(&counted_thread, start, wq_Thread::_spawn_flags | 1, priority, CORBA::ORB::_stack_size,
                            wq_Thread::currentSchedulingPolicy(), &started);
    if (started)
        return true;
    delete start;
    g_threads.fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

// The native priority of band b's threads: its CORBA priority (`low`)
// through the priority mapping; false when the mapping cannot convert it.
bool band_native_priority(uint32_t band, int &native, int16_t &low)
{
    int16_t high = 0;
    low = 0;
    wq_band_manager.band(band, low, high);
    RTCORBA::NativePriority n = CORBA::ORB::_default_priority;
    if (RTCORBA::the_PriorityMapping && !RTCORBA::the_PriorityMapping->to_native(low, n))
        return false;
    native = n;
    return true;
}

int band_poller_priority(uint32_t band)
{
    int native = -1;
    int16_t low;
    return band_native_priority(band, native, low) ? native : -1;
}

} // namespace

void wq_message_error_and_close(wq_MsgCircuit *c) { c->close_after_replies(true); }

void wq_release_mc_out_of_pool(wq_MsgCircuit *&circuit)
{
    if (circuit)
        circuit->_remove_ref();
    circuit = nullptr;
}

bool wq_start_poller(void (*body)(void *), void *arg, int priority)
{
    return start_counted(body, arg, priority < 0 ? CORBA::ORB::_default_priority : priority);
}

namespace {

// Starts a reader whose home is `h`, counted there (as a reader, and idle
// from now) when `wanted(pool)` says so under the pool's lock. False when it
// was not wanted or not started (then nothing of it stays counted).
template <class Wanted> bool start_reader(Home h, int priority, Wanted wanted)
{
    wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(h);
    wq_ThreadEnvironment tenv;
    {
        wq_WriteLock g(pool.lock, tenv);
        if (!wanted(pool))
            return false;
        ++pool.readers(h.level);
        pool.idle(h.level).fetch_add(1, std::memory_order_acq_rel);
    }
    if (wq_spawn_reader(new wq_ReaderStart{nullptr, h.level, uint8_t(h.band ? 1 : 0)}, priority))
        return true;
    wq_WriteLock g(pool.lock, tenv);
    --pool.readers(h.level);
    pool.idle(h.level).fetch_sub(1, std::memory_order_acq_rel);
    return false;
}

// Starts a general reader when at most `minimum` readers are idle (or,
// with `total`, fewer than `minimum` readers exist).
bool spawn_general_reader_if_short(uint32_t minimum, bool total = false)
{
    if (!total && wq_msg_circuit_pool.idle(0).load(std::memory_order_acquire) > minimum)
        return false; // the common case, without the lock
    return start_reader({}, CORBA::ORB::_default_priority, [&](wq_PriorityQueue<wq_MsgCircuit> &pool) {
        return total ? pool.readers(0) < minimum : pool.idle(0).load(std::memory_order_acquire) <= minimum;
    });
}

// Circuits with input wait in a level's queue while fewer of its readers
// are idle: readers are started for them while the level's readers are
// fewer than the open connections and the minimum together (a connection
// is read by one reader at a time, so more would only wait), or, past
// that, one when the queue has not moved for a while (every reader is held
// by a servant that waits).
void queue_waits(Home h, bool starved)
{
    if (pool_of(h).shutting_down())
        return;
    // Readers waiting on their own connection's input take no processor;
    // of the others there are never many more than processors.
    static const uint32_t working_bound = 2 * std::max<uint32_t>(1, std::thread::hardware_concurrency());
    uint32_t minimum = h.band ? CORBA::ORB::_min_band_recursion : CORBA::ORB::_min_recursion;
    uint32_t bound = starved ? wq_max_reader_threads
                             : std::min(wq_MsgCircuit::_svr_count.load(std::memory_order_relaxed),
                                        working_bound + g_lingering.load(std::memory_order_relaxed)) +
                                   minimum;
    // A band's reader that cannot run at the band's priority sets it itself.
    int priority = CORBA::ORB::_default_priority;
    int16_t low;
    if (h.band)
        band_native_priority(h.level, priority, low);
    for (bool first = true;; first = false) {
        bool started = start_reader(h, priority, [&](wq_PriorityQueue<wq_MsgCircuit> &pool) {
            uint32_t idle = pool.idle(h.level).load(std::memory_order_acquire);
            bool wanted = starved ? first && idle == 0 : pool.queued(h.level) > idle;
            return wanted && pool.readers(h.level) < bound;
        });
        if (!started)
            return;
    }
}

// Whether all the input of the circuit has been read (a caller waiting
// for its reply), rather than more waiting or coming without pause.
bool input_paused(wq_MsgCircuit *c)
{
    return c->net() && c->net()->read_drained && !c->has_buffered_input();
}

// Whether the circuit a reader has just served goes back to the pool rather
// than being read on by that reader: at the shutdown, and when circuits
// wait for a reader at its level, unless its input has paused (a caller
// waiting for its reply) and idle readers are there for those.
bool goes_behind_queue(wq_MsgCircuit *c, Home h)
{
    wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(h);
    if (pool.shutting_down())
        return true;
    uint32_t queued = pool.queued(h.level);
    if (queued == 0)
        return false;
    return !input_paused(c) || pool.idle(h.level).load(std::memory_order_acquire) < queued;
}

struct QueueHookInstaller {
    QueueHookInstaller()
    {
        wq_msg_circuit_pool.on_no_idle = [](uint32_t, bool starved) { queue_waits({}, starved); };
        wq_msg_circuit_band_pool.on_no_idle = [](uint32_t band, bool starved) { queue_waits({true, band}, starved); };
        wq_msg_circuit_band_pool.poller_priority = &band_poller_priority;
    }
} g_queue_hook_installer;

// How long a reader waits for the next message on the circuit it has just
// served before the pool watches it instead: a client's next call usually
// follows its reply at once, and the reader that waits on the connection
// itself is the only thread its input wakes.
constexpr int kLingerMs = 50;

// Whether an idle reader (counted idle in its home) ends now: more readers
// than the level's minimum remain, and in the general pool another one is
// idle for new connections. If so it is no longer counted.
bool idle_reader_ends(Home h)
{
    wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(h);
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(pool.lock, tenv);
    uint32_t keep = h.band ? CORBA::ORB::_min_band_recursion : std::max<uint32_t>(CORBA::ORB::_min_recursion, 1);
    if (pool.readers(h.level) <= keep || (!h.band && pool.idle(h.level).load(std::memory_order_acquire) < 2))
        return false;
    // A circuit queued meanwhile may have found this reader counted idle
    // and started none: the reader stays for it.
    pool.idle(h.level).fetch_sub(1, std::memory_order_seq_cst);
    if (pool.queued(h.level) != 0) {
        pool.idle(h.level).fetch_add(1, std::memory_order_acq_rel);
        return false;
    }
    --pool.readers(h.level);
    return true;
}

} // namespace

bool wq_spawn_reader(wq_ReaderStart *start, int priority)
{
    // After the shutdown no reader starts (the pollers may still be told
    // of queued circuits until they end).
    if (wq_msg_circuit_pool.shutting_down()) {
        delete start;
        return false;
    }
    wq_memory_tune();
    if (start_counted(&wq_reader_thread_action, start, priority))
        return true;
    delete start;
    return false;
}

void wq_pool_accepted(wq_MsgCircuit *circuit)
{
    // The circuit waits in the pool until it has input; a reader is started
    // when at most the minimum of them are idle.
    wq_msg_circuit_pool.put(circuit, 0);
    spawn_general_reader_if_short(CORBA::ORB::_min_recursion);
}

void wq_ensure_band_threads(wq_MsgCircuit *, uint32_t band, bool, const CORBA::EnvironmentWrapper &env)
{
    if (band >= static_cast<uint32_t>(wq_msg_circuit_band_pool.levels()))
        return;
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_msg_circuit_band_pool.lock, tenv);
    if (wq_msg_circuit_band_pool.readers(band) >= CORBA::ORB::_min_band_recursion)
        return;
    int native = 0;
    int16_t low = 0;
    if (!band_native_priority(band, native, low)) {
        char text[64];
        std::snprintf(text, sizeof text, "passed CORBA priority=%hu", static_cast<unsigned short>(low));
        env.exception(new CORBA::DATA_CONVERSION(1, CORBA::COMPLETED_NO, text));
        return;
    }
    while (start_reader({true, band}, native, [&](wq_PriorityQueue<wq_MsgCircuit> &pool) {
        return pool.readers(band) < CORBA::ORB::_min_band_recursion;
    })) {
    }
}

void wq_reader_thread_action(void *arg)
{
    wq_ReaderStart start = *static_cast<wq_ReaderStart *>(arg);
    delete static_cast<wq_ReaderStart *>(arg);
    auto *st = new wq_ReaderState;
    st->band_thread = start.band_flag != 0;
    st->band = start.band;
    st->base_priority = thread_priority();
    st->request_priority = st->base_priority;
    // A band thread serves at its band's priority from the start (the one
    // asked for, where the process may not use real-time priorities).
    int16_t low = 0, high = 0;
    if (st->band_thread && wq_band_manager.band(st->band, low, high) && low != st->base_priority)
        wq_reader_base_priority(*st, low);
    wq_MsgCircuit *circuit = start.circuit;
    wq_ThreadEnvironment tenv;
    // Counted by its starter where it waits, as a reader and idle.
    Home home = home_of(*st);
    bool counted = true, idle_counted = true;
    bool lingering = false; // the circuit was served by this thread just now
    for (;;) {
        if (!circuit) {
            wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(home);
            if (!idle_counted)
                pool.idle(home.level).fetch_add(1, std::memory_order_acq_rel);
            idle_counted = true;
            bool timed_out = false;
            circuit = pool.get(home.level, wq_reader_idle_ms, &timed_out);
            if (!circuit && timed_out) {
                if (!idle_reader_ends(home))
                    continue;
                counted = idle_counted = false;
                break;
            }
            pool.idle(home.level).fetch_sub(1, std::memory_order_acq_rel);
            idle_counted = false;
            if (!circuit)
                break;
        }
        // On the circuit it has just served, the reader's first read waits
        // a while for the next message.
        wq_NetCircuit *linger_net = lingering && !circuit->has_buffered_input() && circuit->net() &&
                                            circuit->net()->poll_fd() >= 0
                                        ? circuit->net()
                                        : nullptr;
        lingering = false;
        st->env.clear();
        wq_GIOP::MessageHeader h{};
        if (linger_net) {
            linger_net->read_wait_ms = kLingerMs;
            g_lingering.fetch_add(1, std::memory_order_relaxed);
        }
        int r = circuit->receive(st->in, h, st->env);
        if (linger_net) {
            g_lingering.fetch_sub(1, std::memory_order_relaxed);
            linger_net->read_wait_ms = 0;
        }
        if (r == wq_MsgCircuit::Incomplete) {
            // The rest of the message (or, after a quiet while, the next
            // one) is read once it is there, by whichever reader takes the
            // circuit then: the pool watches it from now on.
            return_to_pool(circuit, pool_level(home));
            circuit = nullptr;
            continue;
        }
        if (r != 1) {
            CORBA::Exception *e = st->env.exception();
            auto *se = CORBA::SystemException::_downcast(e);
            bool protocol = se && ((CORBA::COMM_FAILURE::_downcast(e) &&
                                    (se->minor() & 0x1F) == 12) ||
                                   CORBA::IMP_LIMIT::_downcast(e) || CORBA::MARSHAL::_downcast(e));
            if (!protocol && CORBA::ORB::diagnostics() >= 1)
                r < 0 ? wq_CircuitLog::log_abnormal_disconnect(0) : wq_CircuitLog::log_disconnect();
            // Nothing more is read: the replies still due go first (a
            // refused message is answered after them), then the end.
            circuit->close_after_replies(protocol);
            st->env.clear();
            give_back_long(*st); // what a failed message had taken in
            wq_release_mc_out_of_pool(circuit);
            leave_band(*st);
            rehome(home, *st);
            continue;
        }
        // The header's reader has set the order already as a rule.
        uint8_t order = CORBA::Stream::order_for_flag(h.flags);
        if (st->in.byte_order() != order)
            st->in.byte_order(order);
        if (st->in.read_offset() < 12)
            st->in.skip_read(12 - st->in.read_offset());
        bool large_in = h.size >= wq_large_bytes;
        if (large_in)
            wq_large_begin();
        {
            ReaderSink sink(*st, circuit, home);
            wq_dispatch_message(*st, h.type, sink);
        }
        rehome(home, *st); // a circuit given up for good leaves the band
        bool large_out = !large_in && st->out.size_written() >= wq_large_bytes;
        give_back_long(*st);
        if (large_in)
            wq_large_end();
        else if (large_out)
            wq_large_freed();
        // The circuit this thread served is read on by it when no input
        // came while it served (or it kept it, after an ordered one-way);
        // after a reply it was taken back before that went.
        if (!circuit)
            circuit = wq_PriorityQueue<wq_MsgCircuit>::take_back(st->lent);
        st->lent = 0;
        // Circuits waiting for a reader go first.
        if (circuit && goes_behind_queue(circuit, home)) {
            return_to_pool(circuit, pool_level(home));
            circuit = nullptr;
        }
        lingering = circuit != nullptr;
    }
    if (counted) {
        wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(home);
        wq_WriteLock g(pool.lock, tenv);
        --pool.readers(home.level);
    }
    delete st;
}

// ---- the server side of ORB initialisation and teardown ------------------------------------

void wq_orb_create_registries() { wq_ServantRegistry::instance(); }

void wq_orb_destroy_root_poa()
{
    wq_PrivateEnv pe;
    const CORBA::EnvironmentWrapper &penv = pe.env;
    if (wq_root_poa)
        wq_root_poa->destroy(true, false, penv);
    if (wq_global_poa_manager) {
        wq_global_poa_manager->wq_deactivate();
        CORBA::release(wq_global_poa_manager);
        wq_global_poa_manager = nullptr;
    }
    // The root POA stays in the registry (a later ORB_init makes no new one
    // of that name); its destroyed marker refuses requests.
    wq_root_poa = nullptr;
    wq_POARegistry::clear();
}

namespace {
PortableServer::Current *g_poa_current = nullptr;
wq_Mutex g_poa_current_lock;
} // namespace

CORBA::Object *wq_orb_poa_current(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    wq_MutexLock g(g_poa_current_lock);
    if (!g_poa_current)
        g_poa_current = new PortableServer::Current;
    g_poa_current->_add_ref();
    return g_poa_current;
}

void wq_orb_release_poa_current()
{
    PortableServer::Current *c;
    {
        wq_MutexLock g(g_poa_current_lock);
        c = g_poa_current;
        g_poa_current = nullptr;
    }
    CORBA::release(c);
}

void wq_orb_pools_restart()
{
    // Keeps the acceptor (and its registration) in every program that
    // initialises the broker.
    (void)wq_tcp_acceptor_factory();
    wq_msg_circuit_pool.restart();
    wq_msg_circuit_band_pool.restart();
}

void wq_orb_pools_start_readers(uint32_t minimum)
{
    while (spawn_general_reader_if_short(minimum, true)) {
    }
}

void wq_orb_pools_band_minimum(uint32_t) {}

uint32_t wq_orb_pools_reader_count()
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(wq_msg_circuit_pool.lock, tenv);
    return wq_msg_circuit_pool.readers(0);
}

void wq_orb_pools_shutdown()
{
    // Readers waiting for a HOLDING manager are released as well.
    if (wq_global_poa_manager)
        wq_global_poa_manager->wq_deactivate();
    wq_msg_circuit_pool.shutdown();
    wq_msg_circuit_band_pool.shutdown();
}

std::vector<wq_MsgCircuit *> wq_pools_take_polled()
{
    std::vector<wq_MsgCircuit *> taken;
    wq_ThreadEnvironment tenv;
    wq_WriteLock gate(wq_MsgCircuit::_wq_gate, tenv);
    for (wq_MsgCircuit *c = wq_MsgCircuit::_svr_first; c; c = c->svr_next)
        if (wq_poll::take_if_waiting(c->poll_entry))
            taken.push_back(c);
    return taken;
}

void wq_orb_pools_drain()
{
    for (wq_MsgCircuit *c : wq_pools_take_polled())
        c->_remove_ref();
    for (auto *pool : {&wq_msg_circuit_pool, &wq_msg_circuit_band_pool})
        while (wq_MsgCircuit *c = pool->get_after_shutdown())
            c->_remove_ref();
}
