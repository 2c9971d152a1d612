// Dispatch from several reader threads at once while another thread
// activates and deactivates objects and releases their servants: every
// request is answered with its result or OBJECT_NOT_EXIST, never from a
// servant that is gone.
#include "../orb/child_process.h"
#include "../orb/test_alloc.h"
#include "../orb/test_watchdog.h"
#include "corba_orb.h"
#include "common/yw_test_port.h"
#include "server_test_util.h"
#include "wq_memblock.h"
#include "wq_mthread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <malloc.h>
#include <memory>
#include <netinet/in.h>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace PortableServer;
using namespace srv_test;

namespace {

// An initialised broker (no endpoints): its registries take their locks.
CORBA::ORB *plain_orb(wq_PrivateEnv &init)
{
    int argc = 1;
    char name[] = "server_mt_test";
    char *argv[] = {name, nullptr};
    return CORBA::ORB_init(argc, argv, nullptr, init.env);
}

TEST(ServerMt, DispatchWhileObjectsComeAndGo)
{
    wq_PrivateEnv init;
    CORBA::ORB *orb = plain_orb(init);
    ASSERT_NE(orb, nullptr);
    POA *root = root_poa();
    activate_manager();
    root->_id_assignment = USER_ID;
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, missing{0}, wrong{0};

    std::thread flipper([&] {
        for (int i = 0; i < 300 && !stop; ++i) {
            wq_PrivateEnv pe;
            auto *s = new CalcServant;
            root->activate_object_with_id(ObjectId("flip", 4), s, pe.env);
            s->_remove_ref(); // the POA's target keeps it alive while active
            std::this_thread::yield();
            root->deactivate_object(ObjectId("flip", 4), pe.env);
            pe.env.clear();
        }
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            std::unique_ptr<wq_ReaderState> st(new wq_ReaderState);
            for (int i = 0; i < 400; ++i) {
                Cdr a;
                a.u32(uint32_t(i)).u32(uint32_t(t));
                RecordingSink sink;
                dispatch(*st, request(uint32_t(i), make_key("RootPOA", "flip"), "add", a.b), sink);
                if (sink.replies.size() != 1) {
                    ++wrong;
                    continue;
                }
                Reply r = parse_reply(sink.replies[0]);
                if (r.status == 0 && r.c.get32(r.body) == uint32_t(i + t))
                    ++answered;
                else if (r.status == 2 && exception_id(r) == "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0")
                    ++missing;
                else
                    ++wrong;
            }
        });
    for (auto &r : readers)
        r.join();
    stop = true;
    flipper.join();
    root->_id_assignment = SYSTEM_ID;
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(answered + missing, 1600);
    orb->destroy(init.env); // the next test's ORB_init starts afresh
    CORBA::release(orb);
}

// Skeletons registered while readers look operations up: every one is
// found once added, and none is found wrong (the skeleton lists are read and
// grown under their lock).
TEST(ServerMt, SkeletonsAddedWhileReadersLookThemUp)
{
    wq_PrivateEnv init;
    CORBA::ORB *orb = plain_orb(init);
    ASSERT_NE(orb, nullptr);
    static char const *const id = "IDL:Test/Grow:1.0";
    constexpr int kOps = 200;
    static std::vector<std::string> names;
    names.clear();
    for (int i = 0; i < kOps; ++i)
        names.push_back("op" + std::to_string(i));
    wq_Interface *itf = wq_interface_registry_get()->NI_find_or_create(id, true);
    ASSERT_NE(itf, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!done)
                for (int i = 0; i < kOps; ++i)
                    if (wq_Skeleton f = wq_SkeletonMap::find(itf, names[i].c_str()); f && f != &skel_add)
                        ++wrong;
        });
    for (int i = 0; i < kOps; ++i)
        wq_SkeletonMap::add(id, names[i].c_str(), &skel_add);
    done = true;
    for (auto &r : readers)
        r.join();
    EXPECT_EQ(wrong.load(), 0);
    for (int i = 0; i < kOps; ++i)
        EXPECT_EQ(wq_SkeletonMap::find(itf, names[i].c_str()), &skel_add) << names[i];
    itf->_remove_ref(true);
    orb->destroy(init.env);
    CORBA::release(orb);
}

// One request on a connection and the CORBA priority its reply reports
// (the "prio" operation), or -1.
int64_t priority_served(int fd, uint32_t rid, std::vector<Context> const &ctx = {})
{
    Bytes msg = request(rid, make_key("RootPOA", "prio"), "prio", {}, ctx);
    if (write(fd, msg.data(), msg.size()) != ssize_t(msg.size()))
        return -1;
    Bytes m = read_message(fd);
    if (m.size() < 20)
        return -1;
    Reply r = parse_reply(m);
    return r.status == 0 && r.body + 4 <= m.size() ? int64_t(r.c.get32(r.body)) : -1;
}

// The broker of this process serving on 127.0.0.1 (with `extra` options),
// with a CalcServant active as "prio"; destroyed at the end.
struct LocalServer {
    wq_PrivateEnv init;
    CORBA::ORB *orb = nullptr;
    uint16_t port = 0;
    CalcServant *servant = nullptr;

    explicit LocalServer(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"server_mt_test", "-ORBendpoint",
                                         "tcp:127.0.0.1:" + std::to_string(yw_common_test::freePort()), "-ORBdiag", "none"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = int(args.size());
        orb = CORBA::ORB_init(argc, argv.data(), nullptr, init.env);
        if (!orb)
            return;
        std::string list = CORBA::ORB::endpoint_list() ? CORBA::ORB::endpoint_list() : "";
        port = uint16_t(std::atoi(list.substr(list.rfind(':') + 1).c_str()));
        POA *root = root_poa();
        activate_manager();
        root->_id_assignment = USER_ID;
        servant = new CalcServant;
        root->activate_object_with_id(ObjectId("prio", 4), servant, init.env);
        root->_id_assignment = SYSTEM_ID;
    }
    ~LocalServer()
    {
        if (!orb)
            return;
        wq_root_poa->deactivate_object(ObjectId("prio", 4), init.env);
        init.env.clear();
        servant->_remove_ref();
        orb->destroy(init.env);
        CORBA::release(orb);
    }
    bool ready() const { return orb && port && servant && !init.env.pending(); }
};

// Real reader threads: a band request is served at the band's priority, and
// so is the next request of its connection (now read by band threads); once
// the client goes, its reader leaves the band at the default priority, and
// requests of new connections are not served at the band's priority.
TEST(ServerMt, BandThreadsServeAtTheBandPriorityUntilTheirClientGoes)
{
    LocalServer srv({"-ORBmin_recursion", "1"});
    ASSERT_TRUE(srv.ready());
    uint16_t port = srv.port;
    // The general level's priority, as its readers serve before any band.
    int general = connect_to(port);
    ASSERT_GE(general, 0);
    int64_t general_priority = priority_served(general, 1);
    ASSERT_GE(general_priority, 0);
    close(general);
    Cdr range;
    range.u8(1).u8(0).u16(300).u16(400);
    uint32_t rid = 2;
    // Band cycles: the readers that served the band serve ordinary calls
    // afterwards, at the general level's priority again (once at the
    // default priority's mapping instead, where the process may not use
    // real-time priorities).
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(priority_served(fd, rid++, {{11, range.b}}), 300);
        for (uint32_t i = 2; i < 6; ++i)
            EXPECT_EQ(priority_served(fd, rid++), 300);
        close(fd);
        // The reader sees the close and leaves the band (bounded wait).
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (uint32_t i = 0; i < 6; ++i) {
            int f2 = connect_to(port);
            ASSERT_GE(f2, 0);
            EXPECT_EQ(priority_served(f2, rid++), general_priority) << "request " << i;
            close(f2);
        }
    }
}

// Calls on the test servant beside which others wait: "quick" counts
// itself and answers the priority it is served at; "nap" (target, ms)
// waits until `target` quick calls have been served, at most ms, and
// answers 1 when they have; "meet" (count, ms) waits until `count` meet
// calls are inside the servant at once, at most ms, and answers 1 when
// they were.
std::atomic<uint32_t> g_quick{0}, g_meeting{0};

void skel_quick(wq_ServerRequest &req, void *impl, const CORBA::EnvironmentWrapper &env)
{
    ++g_quick;
    skel_prio(req, impl, env);
}

template <class Done> int wait_until(uint32_t ms, Done done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    return done() ? 1 : 0;
}

void skel_nap(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    uint32_t target = 0, ms = 0;
    req.in.read_4(&target);
    req.in.read_4(&ms);
    if (!env.pending())
        req.out << wait_until(ms, [&] { return g_quick >= target; });
}

void skel_meet(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    uint32_t count = 0, ms = 0;
    req.in.read_4(&count);
    req.in.read_4(&ms);
    ++g_meeting;
    int met = wait_until(ms, [&] { return g_meeting >= count; });
    if (!env.pending())
        req.out << met;
}

struct WaitingCalls {
    WaitingCalls()
    {
        wq_SkeletonMap::add(kCalcId, "quick", &skel_quick);
        wq_SkeletonMap::add(kCalcId, "nap", &skel_nap);
        wq_SkeletonMap::add(kCalcId, "meet", &skel_meet);
    }
} g_waiting_calls;

// A two-way call with two 32-bit arguments on the "prio" object; its reply
// (status 0) answers a 32-bit value, -1 otherwise.
Bytes call_message(uint32_t rid, char const *op, uint32_t a, uint32_t b, std::vector<Context> const &ctx = {})
{
    Cdr args;
    args.u32(a).u32(b);
    return request(rid, make_key("RootPOA", "prio"), op, args.b, ctx);
}

int64_t answer(Bytes const &m)
{
    if (m.size() < 20)
        return -1;
    Reply r = parse_reply(m);
    return r.status == 0 && r.body + 4 <= m.size() ? int64_t(int32_t(r.c.get32(r.body))) : -1;
}

// Short calls beside slow ones on one connection: while servants run, the
// next message on their connection is read and served by another reader
// (the slow calls wait for it), on the general level and on a band, where
// it is served at the band's priority; behind many slow calls sent at once
// as well, each of which gets a reader of its own (once the connection had
// two, and the short call waited 50 ms for each further slow one, longer
// than the slow calls wait). How soon is measured by bench_orb
// (orb_short_call_beside_slow_servant, orb_short_call_behind_4_slow_calls).
TEST(ServerMt, ShortCallsBesideASlowOneOnTheSameConnectionAreServedMeanwhile)
{
    LocalServer srv;
    ASSERT_TRUE(srv.ready());
    Cdr range;
    range.u8(1).u8(0).u16(300).u16(400);
    struct Row {
        char const *what;
        bool band;
        int slow;         // slow calls sent ahead of the short one
        uint32_t wait_ms; // how long each waits for it at most
    } rows[] = {{"general level", false, 1, 10000},
                {"band 300-400", true, 1, 10000},
                {"general level, 6 slow calls ahead", false, 6, 10000},
                {"band 300-400, 6 slow calls ahead", true, 6, 10000},
                {"general level, 64 slow calls ahead", false, 64, 2000}};
    uint32_t rid = 1;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        int fd = connect_to(srv.port);
        ASSERT_GE(fd, 0);
        // A band request first: the connection is read by the band's
        // threads from then on.
        int64_t first = priority_served(fd, rid++, r.band ? std::vector<Context>{{11, range.b}}
                                                           : std::vector<Context>{});
        EXPECT_EQ(first == 300, r.band) << first;
        for (int round = 0; round < 3; ++round) {
            uint32_t target = g_quick + 1;
            Bytes all;
            for (int k = 0; k < r.slow; ++k) {
                Bytes nap = call_message(rid + uint32_t(k), "nap", target, r.wait_ms);
                all.insert(all.end(), nap.begin(), nap.end());
            }
            uint32_t quick_id = rid + uint32_t(r.slow);
            Bytes quick = call_message(quick_id, "quick", 0, 0);
            all.insert(all.end(), quick.begin(), quick.end());
            ASSERT_EQ(write(fd, all.data(), all.size()), ssize_t(all.size()));
            std::vector<int64_t> got(size_t(r.slow) + 1, -1);
            for (int i = 0; i <= r.slow; ++i) {
                Bytes m = read_message(fd);
                ASSERT_GE(m.size(), 20u);
                uint32_t id = parse_reply(m).request_id;
                ASSERT_TRUE(id >= rid && id <= quick_id) << id;
                got[id - rid] = answer(m);
            }
            int waited_in_vain = 0;
            for (int k = 0; k < r.slow; ++k)
                waited_in_vain += got[size_t(k)] != 1;
            EXPECT_EQ(waited_in_vain, 0) << "slow calls that did not see the short one served meanwhile";
            if (r.band)
                EXPECT_EQ(got.back(), 300);
            else
                EXPECT_GE(got.back(), 0);
            rid = quick_id + 1;
        }
        close(fd);
    }
}

// The readers of the general pool and of band 300-400, under the pools'
// locks.
struct ReaderCounts {
    uint32_t general, band;
};

ReaderCounts reader_counts(uint32_t band)
{
    wq_ThreadEnvironment tenv;
    ReaderCounts c{};
    {
        wq_ReadLock g(wq_msg_circuit_pool.lock, tenv);
        c.general = wq_msg_circuit_pool.readers(0);
    }
    wq_ReadLock g(wq_msg_circuit_band_pool.lock, tenv);
    c.band = wq_msg_circuit_band_pool.readers(band);
    return c;
}

// Banded connections come and go in cycles (3 clients that make 1-3 calls
// each and close, and more). Each reader is counted once, where it waits:
// once the cycle's readers are idle for a while, a band keeps its minimum
// and the general pool its own, so the threads at rest do not grow from
// cycle to cycle; banded connections held open do not take the general
// readers' places, and ordinary calls beside them run at once side by
// side. After shutdown(true) every count is 0 (it once wrapped below 0) and
// the pollers have ended with the readers.
TEST(ServerMt, BandedConnectionsComeAndGoWithoutPilingUpReaders)
{
    struct IdleTime {
        int was = wq_reader_idle_ms;
        IdleTime() { wq_reader_idle_ms = 100; }
        ~IdleTime() { wq_reader_idle_ms = was; }
    } idle_time;
    const size_t threads_before = orb_test::thread_count_of();
    LocalServer srv({"-ORBmin_recursion", "1", "-ORBmin_band_recursion", "1"});
    ASSERT_TRUE(srv.ready());
    Cdr range;
    range.u8(1).u8(0).u16(300).u16(400);
    uint32_t band = uint32_t(wq_band_manager.find_or_create(300, 400));
    struct Row {
        char const *what;
        int clients;
        int calls;     // each
        bool held;     // the connections stay open while ordinary calls run
    } rows[] = {
        {"3 clients, 1 call", 3, 1, false},   {"3 clients, 3 calls", 3, 3, false},
        {"3 clients, 2 calls", 3, 2, false},  {"1 client, 1 call", 1, 1, false},
        {"8 clients, 2 calls", 8, 2, false},  {"3 clients, 1 call", 3, 1, false},
        {"20 clients held open", 20, 1, true}, {"3 clients, 3 calls", 3, 3, false},
    };
    // Ordinary connections, open from the start.
    constexpr int kOrdinary = 10;
    int ordinary[kOrdinary];
    for (int &fd : ordinary) {
        fd = connect_to(srv.port);
        ASSERT_GE(fd, 0);
        EXPECT_GE(priority_served(fd, 1), 0);
    }
    // At rest: the cycle's closes are taken in and its readers have ended
    // down to the minimums, and stay there (bounded wait; an idle reader
    // ends after 100 ms).
    auto at_rest = [&] {
        ReaderCounts c{};
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            c = reader_counts(band);
            if (c.general > 1 || c.band > 1)
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            ReaderCounts again = reader_counts(band);
            if (again.general == c.general && again.band == c.band)
                break;
        }
        return c;
    };
    // Threads at rest beside the readers (the pollers, the acceptor, this
    // process's own); the first cycle's count, and room for the circuit
    // watcher, which a message that comes in pieces starts once.
    size_t first_others = 0;
    uint32_t rid = 100;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<int> fds;
        for (int i = 0; i < r.clients; ++i) {
            int fd = connect_to(srv.port);
            ASSERT_GE(fd, 0);
            fds.push_back(fd);
            EXPECT_EQ(priority_served(fd, rid++, {{11, range.b}}), 300);
            for (int k = 1; k < r.calls; ++k)
                EXPECT_EQ(priority_served(fd, rid++), 300);
        }
        if (r.held) {
            ReaderCounts c = at_rest();
            EXPECT_LE(c.general, 1u) << "general readers while banded connections are held open";
            EXPECT_LE(c.band, 1u);
            // Ordinary calls at once, side by side: each waits in the
            // servant until all are there.
            g_meeting = 0;
            auto t0 = std::chrono::steady_clock::now();
            std::vector<std::thread> callers;
            std::atomic<int> met{0};
            for (int fd : ordinary)
                callers.emplace_back([&, fd] {
                    Bytes m = call_message(7, "meet", kOrdinary, 10000);
                    if (write(fd, m.data(), m.size()) == ssize_t(m.size()))
                        met += answer(read_message(fd)) == 1;
                });
            for (auto &t : callers)
                t.join();
            std::printf("%d ordinary calls beside %d open banded connections met in %lld ms\n", kOrdinary,
                        r.clients,
                        (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - t0)
                            .count());
            EXPECT_EQ(met.load(), kOrdinary);
        }
        for (int fd : fds)
            close(fd);
        ReaderCounts c = at_rest();
        EXPECT_LE(c.general, 1u);
        EXPECT_LE(c.band, 1u);
        size_t others = orb_test::thread_count_of() - c.general - c.band;
        if (!first_others)
            first_others = others;
        EXPECT_LE(others, first_others + 1) << "threads at rest grew";
    }
    for (int fd : ordinary)
        close(fd);
    srv.orb->shutdown(true, srv.init.env);
    ReaderCounts c = reader_counts(band);
    EXPECT_EQ(CORBA::ORB::cur_recursion(), 0u);
    EXPECT_EQ(c.general, 0u);
    EXPECT_EQ(c.band, 0u);
    // The readers and the pollers have ended with it (room for the circuit
    // watcher, which stays once started); a thread that has signalled its
    // end may still be listed for a moment (bounded wait).
    size_t threads = orb_test::thread_count_of();
    for (int i = 0; i < 250 && threads > threads_before + 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        threads = orb_test::thread_count_of();
    }
    EXPECT_LE(threads, threads_before + 1);
}

// Rounds of connections served once and closed, each round's calls inside
// the servant at once (so that each takes a reader of its own): the readers
// end after their idle time (100 ms here) and leave no record behind, and
// the heap in use comes back to its level, round after round.
TEST(ServerMt, ReadersThatEndLeaveNothingBehind)
{
    struct IdleTime {
        int was = wq_reader_idle_ms;
        IdleTime() { wq_reader_idle_ms = 100; }
        ~IdleTime() { wq_reader_idle_ms = was; }
    } idle_time;
    LocalServer srv({"-ORBmin_recursion", "1"});
    ASSERT_TRUE(srv.ready());
    constexpr uint32_t kClients = 6;
    uint32_t rid = 1;
    auto round = [&] {
        g_meeting = 0;
        std::vector<int> fds;
        for (uint32_t i = 0; i < kClients; ++i) {
            int fd = connect_to(srv.port);
            ASSERT_GE(fd, 0);
            fds.push_back(fd);
        }
        for (int fd : fds) {
            Bytes m = call_message(rid++, "meet", kClients, 10000);
            ASSERT_EQ(write(fd, m.data(), m.size()), ssize_t(m.size()));
        }
        for (int fd : fds) {
            EXPECT_EQ(answer(read_message(fd)), 1);
            close(fd);
        }
    };
    // Until the round's readers have ended down to the minimum (bounded).
    auto at_rest = [&] {
        for (int i = 0; i < 200 && reader_counts(0).general > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    round();
    at_rest();
    const std::size_t records = wq_ManagedThread::listed();
    const size_t heap = mallinfo2().uordblks;
    constexpr int kRounds = 12;
    for (int r = 0; r < kRounds; ++r) {
        SCOPED_TRACE(r);
        round();
        at_rest();
        EXPECT_EQ(reader_counts(0).general, 1u);
    }
    // Before, each ended reader left its record: kClients - 1 a round.
    EXPECT_LE(wq_ManagedThread::listed(), records);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    const size_t heap_after = mallinfo2().uordblks;
    EXPECT_LE(heap_after, heap + 64 * 1024) << "heap in use " << heap << " -> " << heap_after;
#endif
}

// Bands that clients choose, each connection a range of its own, held open:
// band levels are bounded and share one poller, so ordinary calls beside
// them are answered at once, side by side, and every band call is answered,
// also when all of them come at once (each band once kept a poller, two
// descriptors and a reader for good, until the cap left no reader for
// ordinary calls, and some band calls were never answered). Once those
// connections close, their band levels give their readers back.
TEST(ServerMt, ClientChosenBandsHeldOpenLeaveOrdinaryCallsTheirReaders)
{
    struct IdleTime {
        int was = wq_reader_idle_ms;
        IdleTime() { wq_reader_idle_ms = 200; }
        ~IdleTime() { wq_reader_idle_ms = was; }
    } idle_time;
    const size_t threads_before = orb_test::thread_count_of();
    LocalServer srv;
    ASSERT_TRUE(srv.ready());
    struct Row {
        char const *what;
        int bands;
    } rows[] = {{"130 bands", 130}, {"200 bands", 200}};
    constexpr int kOrdinary = 10;
    int ordinary[kOrdinary];
    for (int &fd : ordinary) {
        fd = connect_to(srv.port);
        ASSERT_GE(fd, 0);
        EXPECT_GE(priority_served(fd, 1), 0);
    }
    uint32_t rid = 100;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<int> fds;
        int first_answered = 0;
        for (int i = 0; i < r.bands; ++i) {
            int fd = connect_to(srv.port);
            ASSERT_GE(fd, 0);
            fds.push_back(fd);
            Cdr range;
            uint16_t p = uint16_t(2000 + i);
            range.u8(1).u8(0).u16(p).u16(p);
            first_answered += priority_served(fd, rid++, {{11, range.b}}) == p;
        }
        EXPECT_EQ(first_answered, r.bands);
        // Ordinary calls at once, side by side: each waits in the servant
        // until all are there.
        g_meeting = 0;
        std::vector<std::thread> callers;
        std::atomic<int> met{0};
        for (int fd : ordinary)
            callers.emplace_back([&, fd] {
                Bytes m = call_message(7, "meet", kOrdinary, 4000);
                if (write(fd, m.data(), m.size()) == ssize_t(m.size()))
                    met += answer(read_message(fd)) == 1;
            });
        for (auto &t : callers)
            t.join();
        EXPECT_EQ(met.load(), kOrdinary);
        // A call on every band at once: each is answered at its band's
        // priority (a band short of readers takes those idle elsewhere).
        for (size_t i = 0; i < fds.size(); ++i) {
            Bytes m = request(rid + uint32_t(i), make_key("RootPOA", "prio"), "prio");
            ASSERT_EQ(write(fds[i], m.data(), m.size()), ssize_t(m.size()));
        }
        int answered = 0;
        for (size_t i = 0; i < fds.size(); ++i) {
            Bytes m = read_message(fds[i]);
            answered += m.size() >= 20 && parse_reply(m).request_id == rid + uint32_t(i) &&
                        answer(m) == int64_t(2000 + i);
        }
        rid += uint32_t(fds.size());
        EXPECT_EQ(answered, r.bands) << "band calls answered at their band's priority";
        for (int fd : fds)
            close(fd);
        // The band levels without connections give their readers back.
        size_t threads = orb_test::thread_count_of();
        for (int i = 0; i < 200 && threads > threads_before + 12; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            threads = orb_test::thread_count_of();
        }
        EXPECT_LE(threads, threads_before + 12) << "threads after the banded connections closed";
    }
    for (int fd : ordinary)
        close(fd);
}

// ORB_init failing after its readers started (here a post-initializer's
// error) leaves the reader counts right, and the next ORB_init starts its
// minimum of readers and serves (the counts once wrapped below 0, and the
// next ORB_init then reported 4294967295 readers and started none). With a
// cap of one reader, a silent connection takes no processor (a level that
// could not start its poller once queued it, and its reader spun on it) and
// calls are answered.
TEST(ServerMt, ReadersAfterAFailedStartAndUnderACapOfOne)
{
    struct Cap {
        uint32_t was = wq_max_reader_threads;
        ~Cap() { wq_max_reader_threads = was; }
    } cap;
    struct Row {
        char const *what;
        bool failed_start;
        uint32_t cap;
        uint32_t min_readers;
    } rows[] = {{"after a failed start", true, 256, 3}, {"a cap of one reader", false, 1, 1}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        wq_max_reader_threads = r.cap;
        std::string min = std::to_string(r.min_readers);
        if (r.failed_start) {
            struct Post {
                wq_OrbInitializer was = wq_orb_initializer_post;
                Post()
                {
                    wq_orb_initializer_post = [](int &, char **, char const *, const CORBA::EnvironmentWrapper &env) {
                        env.exception(new CORBA::INITIALIZE(0, CORBA::COMPLETED_NO));
                    };
                }
                ~Post() { wq_orb_initializer_post = was; }
            } post;
            LocalServer failed({"-ORBmin_recursion", min});
            EXPECT_EQ(failed.orb, nullptr);
            failed.init.env.clear();
        }
        LocalServer srv({"-ORBmin_recursion", min});
        ASSERT_TRUE(srv.ready());
        uint32_t readers = CORBA::ORB::cur_recursion();
        EXPECT_GE(readers, r.min_readers);
        EXPECT_LE(readers, r.min_readers + 4);
        int silent = connect_to(srv.port);
        ASSERT_GE(silent, 0);
        int fd = connect_to(srv.port);
        ASSERT_GE(fd, 0);
        EXPECT_GE(priority_served(fd, 1), 0);
        // With the silent connection open, the process takes next to no
        // processor time while nothing comes (a spinning reader takes all
        // of one).
        auto cpu_ms = [] {
            timespec t{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
            return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
        };
        int64_t before = cpu_ms();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_LT(cpu_ms() - before, 200) << "processor time while a connection is silent";
        EXPECT_GE(priority_served(fd, 2), 0);
        Bytes m = request(3, make_key("RootPOA", "prio"), "prio");
        ASSERT_EQ(write(silent, m.data(), m.size()), ssize_t(m.size()));
        EXPECT_GE(answer(read_message(silent)), 0);
        close(silent);
        close(fd);
    }
}

// "hold" (client, ms): counts itself for `client` (below kHolders) and
// stays in the servant for ms.
constexpr uint32_t kHolders = 128;
std::atomic<uint32_t> g_held[kHolders], g_holding{0};

void skel_hold(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    uint32_t client = 0, ms = 0;
    req.in.read_4(&client);
    req.in.read_4(&ms);
    if (env.pending())
        return;
    ++g_held[client % kHolders];
    ++g_holding;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 5000)));
    --g_holding;
    req.out << int32_t(1);
}

struct HoldCall {
    HoldCall() { wq_SkeletonMap::add(kCalcId, "hold", &skel_hold); }
} g_hold_call;

// Ends a connection with a reset (unread replies or not).
void reset_close(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// Readers shared fairly among connections, under a cap of 64 readers (a
// quarter of them the general level's reserve): 32 clients each pipeline 16
// calls that hold their reader 1.5 s and half-close without reading, keep
// their writing side open, or close; or 60 clients each in a band of its
// own pipeline 4 such calls, more than the band levels may have readers.
// Beside them an ordinary caller calls every 100 ms on a kept connection
// and every 200 ms on a new one: each call is answered, none waits for a
// slow call to end (they once waited seconds behind the pipelined calls, as
// a connection took several readers while others had none, and band calls
// took the general level's readers). Clients that send 16 such calls and
// reset have at most the calls run that began before a reply could not be
// written (every call read once ran), and clients that half-close and
// read get every reply. How long the calls wait is measured by bench_orb
// (orb_slow_pipelines_*).
TEST(ServerMt, ConnectionsPipeliningSlowCallsLeaveEveryOtherConnectionItsTurn)
{
    signal(SIGPIPE, SIG_IGN);
    struct Cap {
        uint32_t was = wq_max_reader_threads;
        Cap() { wq_max_reader_threads = 64; }
        ~Cap() { wq_max_reader_threads = was; }
    } cap;
    LocalServer srv;
    ASSERT_TRUE(srv.ready());
    enum End { HalfClose, KeptOpen, Close };
    struct Row {
        char const *what;
        int clients;
        uint32_t calls; // each
        End end;
        bool bands;     // each client a band of its own
    } rows[] = {
        {"32 clients x 16 calls, half-closed", 32, 16, HalfClose, false},
        {"32 clients x 16 calls, writing side kept open", 32, 16, KeptOpen, false},
        {"32 clients x 16 calls, closed", 32, 16, Close, false},
        {"60 bands x 4 calls, half-closed", 60, 4, HalfClose, true},
    };
    constexpr uint32_t kHoldMs = 1500;
    constexpr int kResets = 3, kReaders = 2;
    uint32_t rid = 1;
    int band_base = 3000;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        for (auto &h : g_held)
            h = 0;
        // The calls of a client, with request ids from `id` on.
        auto calls_of = [&](uint32_t client, uint32_t n, uint32_t ms, bool band, uint32_t id) {
            Bytes all;
            std::vector<Context> ctx;
            if (band) {
                Cdr range;
                uint16_t p = uint16_t(band_base + int(client));
                range.u8(1).u8(0).u16(p).u16(p);
                ctx.push_back({11, range.b});
            }
            for (uint32_t k = 0; k < n; ++k) {
                Bytes m = call_message(id + k, "hold", client, ms, ctx);
                all.insert(all.end(), m.begin(), m.end());
            }
            return all;
        };
        // Clients 0..: the pipelining ones, then those that reset, then
        // those that half-close and read.
        std::vector<int> load;
        for (int i = 0; i < r.clients; ++i) {
            int fd = connect_to(srv.port);
            ASSERT_GE(fd, 0);
            Bytes all = calls_of(uint32_t(i), r.calls, kHoldMs, r.bands, rid);
            rid += r.calls;
            ASSERT_EQ(write(fd, all.data(), all.size()), ssize_t(all.size()));
            if (r.end == HalfClose)
                shutdown(fd, SHUT_WR);
            if (r.end == Close)
                close(fd);
            else
                load.push_back(fd);
        }
        std::vector<int> resets;
        for (int i = 0; i < kResets; ++i) {
            int fd = connect_to(srv.port);
            ASSERT_GE(fd, 0);
            Bytes all = calls_of(uint32_t(r.clients + i), 16, kHoldMs, false, rid);
            rid += 16;
            ASSERT_EQ(write(fd, all.data(), all.size()), ssize_t(all.size()));
            resets.push_back(fd);
        }
        std::atomic<int> replies_read[kReaders] = {};
        std::vector<std::thread> readers;
        for (int i = 0; i < kReaders; ++i)
            readers.emplace_back([&, i] {
                int fd = connect_to(srv.port);
                if (fd < 0)
                    return;
                Bytes all = calls_of(uint32_t(r.clients + kResets + i), 16, 20, false, 1000000 + 100 * uint32_t(i));
                if (write(fd, all.data(), all.size()) == ssize_t(all.size())) {
                    shutdown(fd, SHUT_WR);
                    timeval tv{20, 0};
                    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                    while (answer(read_message(fd)) == 1)
                        ++replies_read[i];
                }
                close(fd);
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (int fd : resets)
            reset_close(fd);
        // The ordinary caller: a kept connection every 100 ms, a new one
        // every 200 ms, for 2 s.
        int kept = connect_to(srv.port);
        ASSERT_GE(kept, 0);
        int64_t worst_ms = 0;
        int calls = 0, answered = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int n = 0; std::chrono::steady_clock::now() < end; ++n) {
            for (bool fresh : {false, true}) {
                if (fresh && n % 2)
                    continue;
                auto t0 = std::chrono::steady_clock::now();
                int fd = fresh ? connect_to(srv.port) : kept;
                Bytes m = call_message(rid++, "quick", 0, 0);
                ++calls;
                if (fd >= 0 && write(fd, m.data(), m.size()) == ssize_t(m.size()))
                    answered += answer(read_message(fd)) >= 0;
                worst_ms = std::max<int64_t>(worst_ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           std::chrono::steady_clock::now() - t0)
                                                           .count());
                if (fresh && fd >= 0)
                    close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        close(kept);
        for (auto &t : readers)
            t.join();
        // The load goes (its connections reset, so that what they sent is
        // not run any more); the calls in service end (band calls wait for
        // band places, which take longer to pass on under a sanitizer).
        for (int fd : load)
            reset_close(fd);
        wait_until(60000, [] { return g_holding == 0; });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::printf("%s: %d ordinary calls, worst %lld ms\n", r.what, calls, (long long)worst_ms);
        EXPECT_EQ(answered, calls);
        EXPECT_LT(worst_ms, 1000);
        // With the general level loaded, a client that resets has one call
        // served at a time, and nothing more once its reply could not be
        // written (beside band load its calls all get readers at once).
        for (int i = 0; i < kResets && !r.bands; ++i)
            EXPECT_LE(g_held[size_t(r.clients + i)].load(), 3u) << "calls run of a client that reset";
        for (int i = 0; i < kReaders; ++i) {
            EXPECT_EQ(replies_read[i].load(), 16) << "replies to a half-closed client that reads";
            EXPECT_EQ(g_held[size_t(r.clients + kResets + i)].load(), 16u);
        }
        if (r.end == Close) {
            uint32_t ran = 0;
            for (int i = 0; i < r.clients; ++i)
                ran += g_held[size_t(i)];
            EXPECT_LE(ran, uint32_t(4 * r.clients)) << "calls run of clients that closed";
        }
        band_base += r.bands ? r.clients : 0;
        EXPECT_EQ(g_holding.load(), 0u);
    }
    // The band readers of the rows end once idle: the tests after this one
    // find the band levels as a fresh process would.
    wait_until(30000, [] {
        uint32_t n = 0;
        for (int32_t l = 0; l < wq_msg_circuit_band_pool.levels(); ++l)
            n += wq_msg_circuit_band_pool.readers(uint32_t(l)).load();
        return n == 0;
    });
}

// "starve" (k): from the middle of the answer on (k, then 192 KiB of
// octets, which take blocks of their own), the serving reader's (k/2)-th
// memory block fails and, for odd k, so does its (k/2)-th allocation of
// any other kind.
void skel_starve(wq_ServerRequest &req, void *, const CORBA::EnvironmentWrapper &env)
{
    uint32_t k = 0, n = 0;
    req.in.read_4(&k);
    req.in.read_4(&n); // octets the request carries besides (skipped)
    req.in.skip_read(n);
    if (env.pending())
        return;
    req.out << k;
    wq_mb_fail_after = k / 2 + 1;
    if (k % 2)
        test_alloc::fail_after = long(k / 2);
    static const std::vector<unsigned char> octets(192 * 1024, 0x5A);
    req.out.write_array_1(octets.data(), uint32_t(octets.size()));
}

struct StarveRegistration {
    StarveRegistration() { wq_SkeletonMap::add(kCalcId, "starve", &skel_starve); }
} g_starve_registration;

// Standard error into a file for the life of the holder.
struct ErrorsToFile {
    char path[32] = "/tmp/orb_reader_err_XXXXXX";
    int saved = -1;
    ErrorsToFile()
    {
        int fd = mkstemp(path);
        std::fflush(stderr);
        saved = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    ~ErrorsToFile()
    {
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        unlink(path);
    }
    std::string text() const
    {
        std::fflush(stderr);
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};

// An allocation made to fail at each place in turn of a reader's way after
// a servant (writing and sending the reply, giving back a request read in
// one piece, reading the next message), after small requests and after
// ones of 1 MiB: the call is answered (its result or NO_MEMORY) or its
// connection is closed, the reader lives on (no "thread died"), and the
// next calls, on the same connection and on a new one, are answered.
TEST(ServerMt, AnAllocationFailingInAReaderCostsOneCallAtMost)
{
    signal(SIGPIPE, SIG_IGN);
    ErrorsToFile err;
    LocalServer srv({"-ORBmin_recursion", "1"});
    ASSERT_TRUE(srv.ready());
    uint32_t rid = 1;
    int answered = 0, refused = 0, closed = 0;
    for (uint32_t carried : {0u, 1u << 20})
    for (uint32_t k = 0; k < 24; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " after " + std::to_string(carried) + " octets");
        int fd = connect_to(srv.port);
        ASSERT_GE(fd, 0);
        Cdr a;
        a.u32(k).u32(carried);
        a.b.resize(a.b.size() + carried, 0x33);
        Bytes call = request(rid, make_key("RootPOA", "prio"), "starve", a.b);
        // A request read while memory is short may end its connection
        // before it is all sent.
        Bytes m;
        if (write(fd, call.data(), call.size()) == ssize_t(call.size()))
            m = read_message(fd);
        if (m.size() < 20) {
            ++closed;
        } else {
            Reply r = parse_reply(m);
            EXPECT_EQ(r.request_id, rid);
            if (r.status == 0) {
                EXPECT_EQ(r.c.get32(r.body), k);
                ++answered;
            } else {
                EXPECT_EQ(exception_id(r), "IDL:omg.org/CORBA/NO_MEMORY:1.0");
                ++refused;
            }
            // The connection carries on, or ends cleanly.
            int64_t p = priority_served(fd, rid + 1000);
            EXPECT_TRUE(p >= 0 || read_message(fd).empty());
        }
        close(fd);
        ++rid;
        int again = connect_to(srv.port);
        ASSERT_GE(again, 0);
        EXPECT_GE(priority_served(again, rid + 2000), 0) << "a new connection after the failure";
        close(again);
    }
    std::printf("%d answered, %d NO_MEMORY, %d connections closed\n", answered, refused, closed);
    EXPECT_GT(refused + closed, 0);
    std::string text = err.text();
    EXPECT_EQ(text.find("thread died"), std::string::npos) << text.substr(0, 2000);
}

} // namespace
