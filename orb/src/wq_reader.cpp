// Reader threads: the circuit pools they take circuits from, band threads,
// and the life of one message from its receipt to its reply.
#include "corba_orb.h"
#include "rtcorba.h"
#include "wq_dispatch.h"
#include "wq_memtrim.h"
#include "wq_mthread.h"
#include "wq_pending.h"
#include "wq_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <new>
#include <unistd.h>
#include <thread>

wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_pool(1);
wq_PriorityQueue<wq_MsgCircuit> wq_msg_circuit_band_pool(256);
uint32_t wq_max_reader_threads = 256;
int wq_reader_idle_ms = 3000;

namespace {

// Reader threads alive, general and band together (capped by
// wq_max_reader_threads).
std::atomic<uint32_t> g_threads{0};
// Of them, those counted in band levels (changed under the band pool's
// lock): capped below wq_max_reader_threads, so that the general level
// always has room for readers of its own, however many bands clients name.
std::atomic<uint32_t> g_band_readers{0};
// Set when a band level was refused a reader by that cap: idle band readers
// then end at once (a band's minimum is not kept meanwhile), and the slot
// each leaves goes to a level whose input waits.
std::atomic<bool> g_band_short{false};
// General readers lent to a connection: each serves a call of a connection
// that another reader served when it began (see general_may_double).
std::atomic<uint32_t> g_lent{0};
// Of the readers, those waiting for input on the connection they have just
// served.
std::atomic<uint32_t> g_lingering{0};
// The CORBA priority general readers run at (read by the first of them;
// INT32_MIN until then).
std::atomic<int32_t> g_general_priority{INT32_MIN};

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

// Most readers the band levels may have together: the cap less a reserve
// for the general level (a quarter of the cap, at least its minimum).
uint32_t band_reader_cap()
{
    uint32_t cap = wq_max_reader_threads;
    uint32_t reserve = std::max<uint32_t>({CORBA::ORB::_min_recursion, cap / 4, 1});
    return cap > reserve ? cap - reserve : std::min<uint32_t>(cap, 1);
}

// Moves a level's reader count by `delta`; under its pool's lock.
void count_reader(Home h, int delta);

wq_PriorityQueue<wq_MsgCircuit> &pool_of(Home h) { return h.band ? wq_msg_circuit_band_pool : wq_msg_circuit_pool; }

// Level 0: the general pool; b + 1: band b of the band pool.
uint32_t pool_level(Home h) { return h.band ? h.level + 1 : 0; }

// False only with `may_keep`, when the circuit cannot be watched and has
// no input: the caller keeps it (see wq_PriorityQueue::put).
bool return_to_pool(wq_MsgCircuit *c, uint32_t level, uint64_t *ticket = nullptr, bool may_keep = false)
{
    if (level == 0)
        return wq_msg_circuit_pool.put(c, 0, ticket, may_keep);
    return wq_msg_circuit_band_pool.put(c, level - 1, ticket, may_keep);
}

// A circuit whose reading paused while its replies waited goes back to the
// pool it was read from once they have gone.
struct ResumeInstaller {
    ResumeInstaller()
    {
        wq_msg_circuit_resume = [](wq_MsgCircuit *c) { return_to_pool(c, c->paused_level()); };
        wq_pending_resume = [](wq_MsgCircuit *c, uint32_t level) { return_to_pool(c, level); };
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
        count_reader(home, -1);
    }
    wq_WriteLock g(pool_of(now).lock, tenv);
    count_reader(now, 1);
    home = now;
}

// The priority of the general level's readers.
int16_t general_priority()
{
    int32_t p = g_general_priority.load(std::memory_order_acquire);
    return p == INT32_MIN ? wq_default_corba_priority() : int16_t(p);
}

// A reader that gives its circuit up is no band thread any more and runs at
// the default priority again.
void leave_band(wq_ReaderState &st)
{
    st.band_thread = false;
    if (st.base_priority != general_priority())
        wq_reader_base_priority(st, general_priority());
}

// Counts a reader where it belongs now (see rehome); a general reader that
// has just become a band thread only while the band levels are below their
// cap, checked and counted under the band pool's lock (readers admitted at
// once never pass the cap together). False when it was not admitted: it
// stays a general reader.
bool admit_to_band(Home &home, const wq_ReaderState &st)
{
    if (!st.band_thread || home.band) {
        rehome(home, st);
        return true;
    }
    Home now = home_of(st);
    wq_ThreadEnvironment tenv;
    {
        wq_WriteLock g(wq_msg_circuit_band_pool.lock, tenv);
        if (g_band_readers.load(std::memory_order_acquire) >= band_reader_cap())
            return false;
        count_reader(now, 1);
    }
    wq_WriteLock g(pool_of(home).lock, tenv);
    count_reader(home, -1);
    home = now;
    return true;
}

// A reply has gone (or is queued, or lost): the circuit's calls in service
// are one fewer, and when none is left while it waits for a reader beside
// them it joins the connections waiting with none (the pools' fair share).
// Gives the reader's hold on the circuit back.
void reply_finished(wq_MsgCircuit *c)
{
    if (c->reply_sent())
        wq_PriorityQueue<wq_MsgCircuit>::service_ended(c);
    c->_remove_ref();
}

class ReaderSink : public wq_DispatchSink {
public:
    ReaderSink(wq_ReaderState &st, wq_MsgCircuit *&circuit, Home &home) : st_(st), circuit_(circuit), home_(home)
    {
    }
    ~ReaderSink() override
    {
        done_serving();
        if (!held_)
            return;
        if (std::uncaught_exceptions() > 0) {
            // The message failed on its way (memory ran out): its reply
            // will not come, so its connection ends after the replies due.
            held_->close_after_replies(false);
        } else if (!early_sent_) {
            // Only an early reply leaves the circuit held to the end of the
            // message; any other hold was never given up by its reply.
            static char const text[] = "Ulvenor: internal warning #568\n";
            wq_out.write(text, sizeof text - 1);
        }
        reply_finished(held_);
    }

    // A band request read by a general reader that its band cannot take
    // (the band levels have all the readers they may) goes back to its
    // circuit, which waits for the band's own readers: band calls never
    // hold the readers the general level's calls need.
    bool pass_on() override
    {
        wq_MsgCircuit *c = circuit_;
        admitted_ = admit_to_band(home_, st_) ? 1 : 0;
        if (admitted_ || !c || (CORBA::ORB::_connection_ordered_oneways &&
                                st_.sync_scope == Messaging::SYNC_WITH_TRANSPORT))
            return false;
        uint32_t level = pool_level({true, st_.band});
        if (!c->unread(st_.in))
            return false;
        circuit_ = nullptr;
        leave_band(st_);
        return_to_pool(c, level);
        return true;
    }

    void hand_back(bool reply_due) override
    {
        wq_MsgCircuit *c = circuit_;
        if (!c)
            return;
        // A reader that has just become a band thread counts in its band,
        // unless the band levels have all the readers they may (asked once).
        bool admitted = admitted_ >= 0 ? admitted_ != 0 : admit_to_band(home_, st_);
        if (reply_due) {
            // Lent to the connection when another of its calls is in
            // service (one-way calls are not counted).
            lent_ = c->readers_serving.fetch_add(1, std::memory_order_acq_rel) != 0 && !home_.band;
            serving_ = c;
            if (lent_)
                g_lent.fetch_add(1, std::memory_order_acq_rel);
            c->hold_for_reply();
            held_ = c;
        }
        if (CORBA::ORB::_connection_ordered_oneways && st_.sync_scope == Messaging::SYNC_WITH_TRANSPORT)
            return; // read again by this thread after this one-way
        circuit_ = nullptr;
        uint32_t level = admitted ? pool_level(home_) : pool_level({true, st_.band});
        // A client that does not take its replies is not read meanwhile:
        // the thread sending them hands it back when they are gone.
        if (c->pause_reading(level))
            return;
        // Back before the servant runs, so that the next message is read by
        // another reader as soon as it comes; this reader takes the circuit
        // back after its reply if nothing came meanwhile (not one that the
        // band did not admit: the band's readers read it on).
        return_to_pool(c, level, admitted ? &st_.lent : nullptr);
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
        if (!early) {
            done_serving();
            take_back_lent();
        }
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
            held_ = nullptr;
            reply_finished(c);
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
    int admitted_ = -1; // by admit_to_band (-1: not asked yet)
    bool lent_ = false;
    wq_MsgCircuit *serving_ = nullptr; // counted in its readers_serving

    // The call's reply is ready (or the call is over): the reader no
    // longer serves the circuit, nor is it lent. Before the reply goes, so
    // that a client's next call never finds this one still counted.
    void done_serving()
    {
        if (serving_)
            serving_->readers_serving.fetch_sub(1, std::memory_order_acq_rel);
        serving_ = nullptr;
        if (lent_)
            g_lent.fetch_sub(1, std::memory_order_acq_rel);
        lent_ = false;
    }
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

void band_place_freed();

void counted_thread(void *arg)
{
    {
        struct Uncount {
            ~Uncount() { g_threads.fetch_sub(1, std::memory_order_acq_rel); }
        } uncount;
        CountedStart start = *static_cast<CountedStart *>(arg);
        delete static_cast<CountedStart *>(arg);
        start.body(start.arg);
    }
    // Its place is free now: a band level waiting for one takes it.
    band_place_freed();
}

// Reader starts that failed (no thread, or no memory for its state). The
// circuits they were for wait on in their pool, whose poller asks again
// while they wait with no reader idle.
std::atomic<uint64_t> g_start_failures{0};

bool start_counted(void (*body)(void *), void *arg, int priority, uint32_t beyond_cap)
{
    uint32_t n = g_threads.load(std::memory_order_relaxed);
    do {
        if (n >= wq_max_reader_threads + beyond_cap)
            return false;
    } while (!g_threads.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel));
    auto *start = new (std::nothrow) CountedStart{body, arg};
    // The record may be gone as soon as the thread has ended: only the
    // answer of the start itself is looked at.
    bool started = false;
    try {
        if (start)
            wq_ManagedThread::start(&counted_thread, start, wq_Thread::_spawn_flags | 1, priority,
                                    CORBA::ORB::_stack_size, wq_Thread::currentSchedulingPolicy(), &started);
    } catch (std::bad_alloc &) {
    }
    if (started)
        return true;
    delete start;
    g_threads.fetch_sub(1, std::memory_order_acq_rel);
    g_start_failures.fetch_add(1, std::memory_order_relaxed);
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

uint64_t wq_reader_start_failures() { return g_start_failures.load(std::memory_order_relaxed); }

void wq_release_mc_out_of_pool(wq_MsgCircuit *&circuit)
{
    if (circuit)
        circuit->_remove_ref();
    circuit = nullptr;
}

namespace {

void count_reader(Home h, int delta)
{
    pool_of(h).readers(h.level) += uint32_t(delta);
    if (h.band)
        g_band_readers.fetch_add(uint32_t(delta), std::memory_order_acq_rel);
}

// Starts a reader whose home is `h`, counted there (as a reader, and idle
// from now) when `wanted(pool)` says so under the pool's lock. False when it
// was not wanted or not started (then nothing of it stays counted).
// `beyond_cap`, read once `wanted` has said yes: how far past the cap it may
// start (see lent_allowance).
template <class Wanted>
bool start_reader(Home h, int priority, Wanted wanted, const uint32_t &beyond_cap = 0)
{
    wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(h);
    wq_ThreadEnvironment tenv;
    {
        wq_WriteLock g(pool.lock, tenv);
        if (!wanted(pool))
            return false;
        count_reader(h, 1);
        pool.idle(h.level).fetch_add(1, std::memory_order_acq_rel);
    }
    // Started from the poller and the acceptor too: a start that finds no
    // memory fails (and is counted) rather than throw there.
    auto *record = new (std::nothrow) wq_ReaderStart{nullptr, h.level, uint8_t(h.band ? 1 : 0)};
    if (!record)
        g_start_failures.fetch_add(1, std::memory_order_relaxed);
    else if (wq_spawn_reader(record, priority, beyond_cap))
        return true;
    wq_WriteLock g(pool.lock, tenv);
    count_reader(h, -1);
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

// The band levels have all the readers they may: idle band readers are
// told to look whether they end (see idle_reader_ends), once per shortage.
void band_short()
{
    if (g_band_short.exchange(true, std::memory_order_acq_rel))
        return;
    for (int32_t b = 0; b < wq_msg_circuit_band_pool.levels(); ++b)
        if (wq_msg_circuit_band_pool.idle(uint32_t(b)).load(std::memory_order_acquire) != 0)
            wq_msg_circuit_band_pool.nudge(uint32_t(b));
}

// Readers a connection may have at once before more wait for a queue that
// does not move.
constexpr uint32_t kPerConnection = 4;

// Readers in service, for telling a queue whose readers wait in their
// servants (more readers serve it sooner) from one whose readers are busy
// or wait for a processor (more would only take turns with them).
struct ServiceSlot {
    std::atomic<int> tid{0};             // 0: free
    std::atomic<uint32_t> level{0};      // pool_level of its home
    std::atomic<int64_t> since_us{0};    // serving a message since; 0: not
};
constexpr int kServiceSlots = 1024;
ServiceSlot g_service[kServiceSlots];

int64_t steady_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ServiceSlot *take_service_slot()
{
    int tid = int(::gettid());
    for (ServiceSlot &s : g_service) {
        int none = 0;
        if (s.tid.load(std::memory_order_relaxed) == 0 &&
            s.tid.compare_exchange_strong(none, tid, std::memory_order_acq_rel))
            return &s;
    }
    return nullptr;
}

// Whether a reader of the level has served its message for 5 ms or more and
// now sleeps (`any`: in its servant, or waiting for something), rather than
// running or waiting for a processor (short calls that wait a moment for a
// lock of a busy process are not taken for slow ones); and how many of
// them (up to `most`) sleep waiting for an event (not in the kernel, as
// readers that move large messages do while memory is mapped). Looked at
// no more than every few milliseconds while it finds none.
uint32_t readers_asleep_in_service(uint32_t level, uint32_t most, bool &any)
{
    static std::atomic<int64_t> quiet_until{0};
    any = false;
    int64_t now = steady_us();
    if (now < quiet_until.load(std::memory_order_relaxed))
        return 0;
    uint32_t looked = 0, asleep = 0;
    for (ServiceSlot &s : g_service) {
        int tid = s.tid.load(std::memory_order_acquire);
        int64_t since = s.since_us.load(std::memory_order_acquire);
        if (!tid || !since || s.level.load(std::memory_order_relaxed) != level || now - since < 5000)
            continue;
        if (++looked > std::max<uint32_t>(32, most))
            break;
        char path[64], buf[256];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0)
            continue;
        buf[n] = 0;
        char const *paren = std::strrchr(buf, ')');
        if (!paren || paren[1] != ' ' || (paren[2] != 'S' && paren[2] != 'D'))
            continue;
        any = true;
        if (paren[2] == 'S' && ++asleep >= most)
            break;
    }
    if (!any)
        quiet_until.store(now + 5000, std::memory_order_relaxed);
    return asleep;
}

// The fair share's bound (see wq_PriorityQueue): a connection whose calls
// are in service gets another general reader beside them (one lent to it)
// only while fewer than a quarter of the cap are lent and its readers in
// service stay below the cap less the general level's reserve; on a band
// level, only while the band
// levels are not short of readers and below three quarters of their cap.
// Connections that come while readers are lent get their places beyond the
// cap (lent_allowance): a lent reader never keeps a connection waiting.
bool general_may_double(uint32_t)
{
    if (g_lent.load(std::memory_order_acquire) >= wq_max_reader_threads / 4)
        return false;
    uint32_t readers = wq_msg_circuit_pool.readers(0).load(std::memory_order_acquire);
    uint32_t idle = wq_msg_circuit_pool.idle(0).load(std::memory_order_acquire);
    return (readers > idle ? readers - idle : 0) < band_reader_cap();
}

uint32_t lent_allowance()
{
    return std::min(g_lent.load(std::memory_order_acquire), wq_max_reader_threads / 4);
}

bool band_may_double(uint32_t)
{
    uint32_t cap = band_reader_cap();
    return !g_band_short.load(std::memory_order_acquire) &&
           g_band_readers.load(std::memory_order_acquire) < cap - cap / 4;
}

// Circuits with input wait in a level's queue while fewer of its readers
// are idle: readers are started for them at once while the level's readers
// are fewer than kPerConnection for each open connection and the minimum
// together (and than what the processors can run): a connection's next
// message is read while its servants run, so one connection may use
// several (as the fair share allows). Past that, readers are started each
// time the queue has not moved for a while while one of its readers sleeps
// in service (held by a servant that waits), up to the cap (for band
// levels, their share of it): one for each reader found asleep waiting for
// an event, up to the connections waiting with no call in service, or else
// one. Readers busy with short calls move the queue
// on, or are found running, so they are not joined by more than the
// processors run.
void queue_waits(Home h, bool starved)
{
    if (pool_of(h).shutting_down())
        return;
    // A stalled queue whose level has readers gets another only while one
    // of them sleeps in service. Each reader found asleep waiting for an
    // event lets one more start for a connection that waits with no call in
    // service (a servant that waits holds its reader); readers that move
    // large messages, in the kernel while memory is mapped, are not
    // replaced wholesale: each new thread would slow the others down.
    uint32_t asleep = 0;
    if (starved) {
        uint32_t readers;
        {
            wq_ThreadEnvironment tenv;
            wq_ReadLock g(pool_of(h).lock, tenv);
            readers = pool_of(h).readers(h.level);
        }
        uint32_t fresh = pool_of(h).fresh(h.level);
        uint32_t idle = pool_of(h).idle(h.level).load(std::memory_order_acquire);
        bool any = false;
        asleep = readers_asleep_in_service(pool_level(h), fresh > idle ? fresh - idle : 1, any);
        if (readers != 0 && !any)
            return;
    }
    // Readers waiting on their own connection's input take no processor;
    // of the others there are never many more than processors.
    static const uint32_t working_bound = 2 * std::max<uint32_t>(1, std::thread::hardware_concurrency());
    uint32_t minimum = h.band ? CORBA::ORB::_min_band_recursion : CORBA::ORB::_min_recursion;
    uint32_t bound = starved ? wq_max_reader_threads
                             : std::min(kPerConnection * wq_MsgCircuit::_svr_count.load(std::memory_order_relaxed),
                                        working_bound + g_lingering.load(std::memory_order_relaxed)) +
                                   minimum;
    // Connections waiting with no call in service get the places of the
    // general readers lent meanwhile, beyond the cap.
    uint32_t lent = starved && !h.band ? lent_allowance() : 0;
    // A band's reader that cannot run at the band's priority sets it itself.
    int priority = CORBA::ORB::_default_priority;
    int16_t low;
    if (h.band)
        band_native_priority(h.level, priority, low);
    bool band_full = false, places_full = false;
    uint32_t started_here = 0;
    for (bool first = true;; first = false) {
        uint32_t beyond = 0;
        bool started = start_reader(h, priority, [&](wq_PriorityQueue<wq_MsgCircuit> &pool) {
            bool fresh_waits = pool.fresh(h.level) > pool.idle(h.level).load(std::memory_order_acquire);
            beyond = fresh_waits ? lent : 0;
            bool wanted = pool.unserved(h.level) != 0 &&
                          (!starved || first || (fresh_waits && started_here < asleep)) &&
                          pool.readers(h.level) < bound + beyond;
            if (wanted && h.band && g_band_readers.load(std::memory_order_acquire) >= band_reader_cap()) {
                band_full = true;
                return false;
            }
            if (wanted && h.band && g_threads.load(std::memory_order_acquire) >= wq_max_reader_threads) {
                // The places below the cap are held by readers elsewhere:
                // idle ones give theirs up.
                band_full = places_full = true;
                return false;
            }
            return wanted;
        }, beyond);
        if (!started)
            break;
        ++started_here;
    }
    if (band_full)
        band_short();
    if (places_full && wq_msg_circuit_pool.idle(0).load(std::memory_order_acquire) > 1)
        wq_msg_circuit_pool.nudge(0);
}

// After a reader has ended while the band levels were short of readers
// (or of places below the cap): its place goes to a band level whose input
// waits; when none waits any more, the shortage is over.
void band_place_freed()
{
    if (!g_band_short.load(std::memory_order_acquire))
        return;
    // Looked at from where the last place went on, so that band levels
    // waiting for places are served in turn.
    static std::atomic<uint32_t> next{0};
    uint32_t levels = uint32_t(wq_msg_circuit_band_pool.levels());
    uint32_t from = next.load(std::memory_order_relaxed);
    for (uint32_t b = 0; b < levels; ++b) {
        uint32_t level = (from + b) % levels;
        if (wq_msg_circuit_band_pool.unserved(level) != 0) {
            next.store(level + 1, std::memory_order_relaxed);
            queue_waits({true, level}, false);
            return;
        }
    }
    g_band_short.store(false, std::memory_order_release);
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
        wq_msg_circuit_pool.may_double = &general_may_double;
        wq_msg_circuit_band_pool.may_double = &band_may_double;
        // Band calls wait for band readers, never keeping new connections
        // out.
        wq_msg_circuit_band_pool.counts_unread = false;
        wq_msg_circuit_pool.managed_poller = true;
        wq_msg_circuit_band_pool.managed_poller = true;
    }
} g_queue_hook_installer;

// How long a reader waits for the next message on the circuit it has just
// served before the pool watches it instead: a client's next call usually
// follows its reply at once, and the reader that waits on the connection
// itself is the only thread its input wakes.
constexpr int kLingerMs = 50;
// How long a reader that keeps a circuit no poller watches waits for its
// input at a time (it then tries to hand it to the pool again).
constexpr int kKeptWaitMs = 200;

// Whether an idle reader (counted idle in its home) ends now: more readers
// than the level's minimum remain, and in the general pool another one is
// idle for new connections. A band level keeps its minimum only while it
// has connections and the band levels are not short of readers. If it
// ends it is no longer counted.
bool idle_reader_ends(Home h)
{
    wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(h);
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(pool.lock, tenv);
    uint32_t keep = h.band ? (pool.members(h.level) != 0 && !g_band_short.load(std::memory_order_acquire)
                                  ? CORBA::ORB::_min_band_recursion
                                  : 0)
                           : std::max<uint32_t>(CORBA::ORB::_min_recursion, 1);
    if (pool.readers(h.level) <= keep || (!h.band && pool.idle(h.level).load(std::memory_order_acquire) < 2))
        return false;
    // A circuit queued meanwhile may have found this reader counted idle
    // and started none: the reader stays for it (not for circuits waiting
    // apart that the level may not double up on: it would hold a place
    // that connections of other levels wait for).
    pool.idle(h.level).fetch_sub(1, std::memory_order_seq_cst);
    if (pool.unserved(h.level) != 0) {
        pool.idle(h.level).fetch_add(1, std::memory_order_acq_rel);
        return false;
    }
    count_reader(h, -1);
    return true;
}

// A reader woken by the shutdown leaves (and is no longer counted) when the
// pool is still shut; after a restart it stays, counted as before.
bool shut_reader_leaves(Home h)
{
    wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(h);
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(pool.lock, tenv);
    if (!pool.shutting_down())
        return false;
    pool.idle(h.level).fetch_sub(1, std::memory_order_acq_rel);
    count_reader(h, -1);
    return true;
}

} // namespace

bool wq_spawn_reader(wq_ReaderStart *start, int priority, uint32_t beyond_cap)
{
    // After the shutdown no reader starts (the pollers may still be told
    // of queued circuits until they end).
    if (wq_msg_circuit_pool.shutting_down()) {
        delete start;
        return false;
    }
    wq_memory_tune();
    if (start_counted(&wq_reader_thread_action, start, priority, beyond_cap))
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
    // The reader serving the band's first request becomes its thread, and
    // the band's level starts more when its input waits (see queue_waits);
    // none is started ahead, so that bands that clients name take no
    // threads while their connections are silent.
    if (band >= static_cast<uint32_t>(wq_msg_circuit_band_pool.levels()))
        return;
    int native = 0;
    int16_t low = 0;
    if (!band_native_priority(band, native, low)) {
        char text[64];
        std::snprintf(text, sizeof text, "passed CORBA priority=%hu", static_cast<unsigned short>(low));
        env.exception(new CORBA::DATA_CONVERSION(1, CORBA::COMPLETED_NO, text));
    }
}

void wq_reader_thread_action(void *arg)
{
    wq_ReaderStart start = *static_cast<wq_ReaderStart *>(arg);
    delete static_cast<wq_ReaderStart *>(arg);
    wq_ReaderState *st = nullptr;
    try {
        st = new wq_ReaderState;
    } catch (std::bad_alloc &) {
        // No memory for a reader: it leaves as an idle one that ends, and
        // the circuit it was given waits in its pool for another.
        g_start_failures.fetch_add(1, std::memory_order_relaxed);
        Home h{start.band_flag != 0, start.band_flag ? start.band : 0};
        {
            wq_ThreadEnvironment tenv;
            wq_WriteLock g(pool_of(h).lock, tenv);
            pool_of(h).idle(h.level).fetch_sub(1, std::memory_order_acq_rel);
            count_reader(h, -1);
        }
        if (start.circuit)
            return_to_pool(start.circuit, pool_level(h));
        return;
    }
    st->band_thread = start.band_flag != 0;
    st->band = start.band;
    st->base_priority = thread_priority();
    st->request_priority = st->base_priority;
    if (!st->band_thread) {
        // General readers all start alike: the first tells their priority.
        int32_t none = INT32_MIN;
        g_general_priority.compare_exchange_strong(none, st->base_priority, std::memory_order_acq_rel);
        if (st->base_priority != general_priority())
            wq_reader_base_priority(*st, general_priority());
    }
    // A band thread serves at its band's priority from the start (the one
    // asked for, where the process may not use real-time priorities).
    int16_t low = 0, high = 0;
    if (st->band_thread && wq_band_manager.band(st->band, low, high) && low != st->base_priority)
        wq_reader_base_priority(*st, low);
    wq_MsgCircuit *circuit = start.circuit;
    ServiceSlot *slot = take_service_slot();
    // Counted by its starter where it waits, as a reader and idle.
    Home home = home_of(*st);
    bool idle_counted = true;
    bool lingering = false; // the circuit was served by this thread just now
    bool kept = false;      // the circuit has no poller and no input yet
    for (;;) {
        if (!circuit) {
            wq_PriorityQueue<wq_MsgCircuit> &pool = pool_of(home);
            if (!idle_counted)
                pool.idle(home.level).fetch_add(1, std::memory_order_acq_rel);
            idle_counted = true;
            bool timed_out = false;
            // While the band levels are short of readers, an idle band
            // reader gives its place up at once.
            int idle_ms = home.band && g_band_short.load(std::memory_order_acquire) ? 1 : wq_reader_idle_ms;
            circuit = pool.get(home.level, idle_ms, &timed_out, true);
            if (!circuit && timed_out) {
                if (!idle_reader_ends(home))
                    continue;
                break;
            }
            if (!circuit) {
                if (!shut_reader_leaves(home))
                    continue;
                break;
            }
            idle_counted = false; // no longer counted idle since get took the circuit
        }
        // On the circuit it has just served, the reader's first read waits
        // a while for the next message (and on one it keeps, longer).
        wq_NetCircuit *linger_net = (lingering || kept) && !circuit->has_buffered_input() && circuit->net() &&
                                            circuit->net()->poll_fd() >= 0
                                        ? circuit->net()
                                        : nullptr;
        if (linger_net) {
            linger_net->read_wait_ms = kept ? kKeptWaitMs : kLingerMs;
            g_lingering.fetch_add(1, std::memory_order_relaxed);
        }
        lingering = kept = false;
        st->env.clear();
        wq_GIOP::MessageHeader h{};
        int r;
        try {
            r = circuit->receive(st->in, h, st->env);
        } catch (std::bad_alloc &) {
            r = 0; // no memory to take the message in: its connection ends
            st->env.clear();
        }
        if (linger_net) {
            g_lingering.fetch_sub(1, std::memory_order_relaxed);
            linger_net->read_wait_ms = 0;
        }
        if (r == wq_MsgCircuit::Incomplete) {
            // The rest of the message (or, after a quiet while, the next
            // one) is read once it is there, by whichever reader takes the
            // circuit then: the pool watches it from now on. One that no
            // poller can watch is kept and waited for by this reader.
            if (!return_to_pool(circuit, pool_level(home), nullptr, true)) {
                kept = true;
                continue;
            }
            circuit = nullptr;
            continue;
        }
        if (r == wq_MsgCircuit::Deferred) {
            // Its message waits, unread, until the bytes held for requests
            // not yet served leave room for it (TCP holds its sender); its
            // input counts as waiting at the accept gate meanwhile.
            if (wq_NetCircuit *net = circuit->net())
                net->input_waits();
            wq_pending_park(circuit, pool_level(home), circuit->last_message_size());
            circuit = nullptr;
            continue;
        }
        if (r != 1) {
            wq_pending_release(circuit->take_reserved());
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
        // Held until the message is served.
        uint64_t reserved = circuit->take_reserved();
        bool large_in = h.size >= wq_large_bytes;
        if (large_in)
            wq_large_begin();
        if (slot) {
            slot->level.store(pool_level(home), std::memory_order_relaxed);
            slot->since_us.store(steady_us(), std::memory_order_release);
        }
        try {
            ReaderSink sink(*st, circuit, home);
            wq_dispatch_message(*st, h.type, sink);
        } catch (std::bad_alloc &) {
            // Memory ran out where not even NO_MEMORY could be answered: the
            // message's connection ends after the replies due on it, and
            // the reader goes on.
            st->env.clear();
            if (circuit) {
                circuit->close_after_replies(false);
                wq_release_mc_out_of_pool(circuit);
                leave_band(*st);
            }
        }
        if (slot)
            slot->since_us.store(0, std::memory_order_release);
        // A reader the band did not admit serves at the general level's
        // priority again; a circuit given up for good leaves the band.
        if (st->band_thread && !home.band)
            leave_band(*st);
        rehome(home, *st);
        bool large_out = !large_in && st->out.size_written() >= wq_large_bytes;
        give_back_long(*st);
        wq_pending_release(reserved);
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
    delete st;
    if (slot)
        slot->tid.store(0, std::memory_order_release);
}

void wq_orb_pools_start_readers(uint32_t minimum)
{
    while (spawn_general_reader_if_short(minimum, true)) {
    }
}
