// Server circuits over a socket pair whose far end misbehaves: a message that
// stops part-way fails the circuit after the receive time, and replies to a
// peer that does not read cost one waiting thread at most, for the send time,
// after which the circuit closes with one line.
#include "server_test_util.h"

#include "corba_orb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace srv_test;

namespace {

struct Pair {
    int far = -1;
    wq_MsgCircuit *c = nullptr;
    Pair()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        far = sv[1];
        c = new wq_MsgCircuit(new wq_NetCircuitTCP(sv[0])); // a server circuit
    }
    ~Pair()
    {
        c->_remove_ref();
        close(far);
    }
};

struct Timeouts {
    uint32_t r = wq_message_receive_ms, s = wq_reply_send_ms;
    Timeouts(uint32_t receive, uint32_t send)
    {
        wq_message_receive_ms = receive;
        wq_reply_send_ms = send;
    }
    ~Timeouts()
    {
        wq_message_receive_ms = r;
        wq_reply_send_ms = s;
    }
};

TEST(ServerCircuitMt, MessagesMustArriveWholeWithinTheReceiveTime)
{
    Timeouts t(1000, 20000);
    Bytes req = request(7, make_key("RootPOA", "calc"), "add", Bytes(8, 1));
    struct Row {
        char const *what;
        size_t first, pause_ms; // bytes sent at once, pause before the rest
        bool rest;              // the rest follows
        int result;
    } rows[] = {
        {"whole", req.size(), 0, false, 1},
        {"in two pieces within the time", 10, 50, true, 1},
        {"part of the header, then nothing", 5, 0, false, -1},
        {"header promising more, then nothing", 20, 0, false, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Pair p;
        ASSERT_EQ(write(p.far, req.data(), r.first), ssize_t(r.first));
        std::thread rest([&] {
            if (!r.rest)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(r.pause_ms));
            EXPECT_EQ(write(p.far, req.data() + r.first, req.size() - r.first), ssize_t(req.size() - r.first));
        });
        wq_PrivateEnv pe;
        CORBA::Stream in(pe.env);
        wq_GIOP::MessageHeader h{};
        int got = p.c->receive(in, h, pe.env);
        rest.join();
        EXPECT_EQ(got == 1 ? 1 : -1, r.result);
        if (r.result == 1) {
            EXPECT_EQ(in.size_written(), req.size());
            EXPECT_EQ(p.c->state(), wq_MsgCircuit::Active);
        } else {
            EXPECT_TRUE(pe.env.pending());
            EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
            pe.env.clear();
        }
        EXPECT_EQ(p.c->net()->read_deadline_ms, 0);
    }
}

TEST(ServerCircuitMt, OneThreadWaitsOnASendAndTheCircuitClosesWithOneLine)
{
    Timeouts t(10000, 3000); // room for queueing on a loaded machine
    Pair p;
    auto reply = [](CORBA::Stream &s, uint32_t words) {
        wq_write_giop_header(s, wq_GIOP::Reply);
        for (uint32_t i = 0; i < words; ++i)
            s << i;
    };
    testing::internal::CaptureStderr();
    // The first sender fills the socket and waits; every other reply is
    // queued at once, and after enough of them the circuit asks not to be
    // read.
    std::atomic<bool> first_done{false};
    bool first_resume = false;
    std::thread first([&] {
        wq_PrivateEnv pe;
        CORBA::Stream s(pe.env);
        reply(s, 1 << 20);
        p.c->send_reply(s, first_resume, pe.env);
        EXPECT_TRUE(pe.env.pending());
        pe.env.clear();
        first_done = true;
    });
    int waiting = 0;
    for (int i = 0; i < 500 && (ioctl(p.far, FIONREAD, &waiting) != 0 || waiting == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(waiting, 0);
    bool paused = false;
    for (int i = 0; i < 1000 && !paused; ++i) {
        wq_PrivateEnv pe;
        CORBA::Stream s(pe.env);
        reply(s, 16 << 10);
        bool resume = true;
        p.c->send_reply(s, resume, pe.env);
        ASSERT_FALSE(pe.env.pending()) << i; // queued behind the first
        EXPECT_FALSE(resume);
        paused = p.c->pause_reading(0);
    }
    EXPECT_TRUE(paused);
    EXPECT_FALSE(first_done); // none of them waited for the first's send
    first.join();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
    EXPECT_TRUE(first_resume); // the paused circuit goes back to be closed by its reader
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("a reply was not taken within 3000 ms"), std::string::npos) << err;
    // Nothing is sent on a failed circuit.
    wq_PrivateEnv pe;
    CORBA::Stream s(pe.env);
    reply(s, 4);
    bool resume = false;
    p.c->send_reply(s, resume, pe.env);
    EXPECT_TRUE(pe.env.pending());
    pe.env.clear();
}

// Replies queued behind a send that fails are dropped, and at diagnostics
// level 2 each gets the line of what it answered; the failing sender's own
// reply is told to its caller (who writes its line), and a message that
// answers nothing gets none.
TEST(ServerCircuitMt, RepliesDroppedBehindAFailedSendEachGetTheirLine)
{
    Timeouts t(10000, 1000);
    auto reply = [](CORBA::Stream &s, uint32_t words) {
        wq_write_giop_header(s, wq_GIOP::Reply);
        for (uint32_t i = 0; i < words; ++i)
            s << i;
    };
    const wq_ReplyNote queued[] = {{wq_ReplyNote::Reply, 11},
                                   {wq_ReplyNote::EarlyReply, 12},
                                   {wq_ReplyNote::LocateReply, 13},
                                   {wq_ReplyNote::None, 14}};
    char const *const lines[] = {"exception during send for reply to request id 11 ]\n",
                                 "exception during send for early reply to request id 12 ]\n",
                                 "exception during send for locate reply ]\n"};
    CORBA::ORB::DiagnosticsLevel before = CORBA::ORB::diagnostics();
    for (int level : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "diagnostics " << level);
        CORBA::ORB::diagnostics(static_cast<CORBA::ORB::DiagnosticsLevel>(level));
        Pair p;
        testing::internal::CaptureStderr();
        bool own_failed = false;
        std::thread first([&] {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            reply(s, 1 << 20);
            bool resume = false;
            p.c->send_reply(s, resume, pe.env, {wq_ReplyNote::Reply, 10});
            own_failed = pe.env.pending();
            pe.env.clear();
        });
        int waiting = 0;
        for (int i = 0; i < 500 && (ioctl(p.far, FIONREAD, &waiting) != 0 || waiting == 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const wq_ReplyNote &note : queued) {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            reply(s, 4);
            bool resume = false;
            p.c->send_reply(s, resume, pe.env, note);
            EXPECT_FALSE(pe.env.pending()) << note.request_id; // queued behind the first
        }
        first.join();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(own_failed);
        EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
        EXPECT_NE(err.find("a reply was not taken within 1000 ms"), std::string::npos) << err;
        size_t expected = level == 2 ? std::size(lines) : 0;
        EXPECT_EQ(size_t(std::count(err.begin(), err.end(), '\n')), 1 + expected) << err;
        for (size_t i = 0; i < expected; ++i)
            EXPECT_NE(err.find(lines[i]), std::string::npos) << lines[i] << err;
        EXPECT_EQ(err.find("request id 10 ]"), std::string::npos) << err;
    }
    CORBA::ORB::diagnostics(before);
}

TEST(ServerCircuitMt, PoolHandsACircuitWithInputToOneReaderAtATime)
{
    // 16 circuits, 4 readers: each byte written is taken by exactly one
    // reader, never by two at once on one circuit; silent circuits are never
    // handed out; the shutdown wakes every reader.
    // Static like the broker's own pools, whose levels outlive them.
    static wq_PriorityQueue<wq_MsgCircuit> pool(1);
    constexpr int kCircuits = 16, kRounds = 200;
    std::vector<Pair> pairs(kCircuits + 4); // the last 4 stay silent
    std::vector<std::atomic<int>> busy(pairs.size()), taken(pairs.size());
    auto index = [&](wq_MsgCircuit *c) {
        for (size_t i = 0; i < pairs.size(); ++i)
            if (pairs[i].c == c)
                return i;
        return pairs.size();
    };
    for (auto &p : pairs) {
        p.c->_add_ref(); // the pool's reference, given back at the end
        pool.put(p.c, 0);
    }
    std::atomic<int> overlaps{0}, strays{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&] {
            while (wq_MsgCircuit *c = pool.get(0)) {
                size_t i = index(c);
                if (i >= pairs.size()) {
                    ++strays;
                    continue;
                }
                overlaps += busy[i].exchange(1) != 0;
                char b;
                if (c->net()->read(&b, 1) == 1)
                    ++taken[i];
                busy[i] = 0;
                pool.put(c, 0);
            }
        });
    for (int round = 0; round < kRounds; ++round)
        for (int i = 0; i < kCircuits; ++i)
            ASSERT_EQ(write(pairs[size_t(i)].far, "x", 1), 1);
    int total = 0;
    for (int wait = 0; wait < 2000 && total < kCircuits * kRounds; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        total = 0;
        for (auto &t : taken)
            total += t;
    }
    pool.shutdown();
    for (auto &r : readers)
        r.join();
    EXPECT_EQ(total, kCircuits * kRounds);
    for (size_t i = kCircuits; i < pairs.size(); ++i)
        EXPECT_EQ(taken[i].load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(strays.load(), 0);
    for (auto &p : pairs)
        EXPECT_TRUE(wq_poll::take_if_waiting(p.c->poll_entry));
    for (auto &p : pairs)
        p.c->_remove_ref();
}

} // namespace

namespace {

// Waits up to `ms` for pool.get(level) on its own thread; the circuit it
// returned, or null when it returned none in time (the thread is then
// released by the pool's shutdown at the caller's end).
struct Taker {
    wq_PriorityQueue<wq_MsgCircuit> &pool;
    uint32_t level;
    std::atomic<wq_MsgCircuit *> got{nullptr};
    std::atomic<bool> done{false};
    std::thread t;
    Taker(wq_PriorityQueue<wq_MsgCircuit> &p, uint32_t lv) : pool(p), level(lv)
    {
        t = std::thread([this] {
            got = pool.get(level);
            done = true;
        });
    }
    wq_MsgCircuit *wait(int ms)
    {
        for (int i = 0; i < ms && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return got.load();
    }
    ~Taker()
    {
        if (!done)
            pool.shutdown();
        t.join();
    }
};

long read_some(wq_MsgCircuit *c, size_t ask)
{
    char b[64];
    return c->net()->read(b, std::min(ask, sizeof b));
}

} // namespace

TEST(ServerCircuitMt, AHandedBackCircuitIsTakenAgainWheneverInputWaitsAndNeverWithout)
{
    // A circuit is taken, read and handed back; whatever input is left in
    // the transport or arrives while it is held must make it be taken
    // again, and a drained circuit must not be.
    struct Row {
        char const *what;
        size_t before;      // bytes waiting when it is taken
        size_t ask;         // the reader's room
        size_t while_held;  // bytes written after the read, before the hand-back
        size_t after;       // bytes written after the hand-back
        bool taken_again;
    } rows[] = {
        {"read filled its room, more waits", 4, 1, 0, 0, true},
        {"read drained it, input came while held", 1, 16, 1, 0, true},
        {"read drained it, input comes after", 1, 16, 0, 1, true},
        {"read drained it, nothing more", 1, 16, 0, 0, false},
        {"read filled its room exactly, nothing more", 3, 3, 0, 0, false},
        {"the peer closed while it was held", 1, 16, 0, 0, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        static wq_PriorityQueue<wq_MsgCircuit> pool(1);
        pool.restart();
        Pair p;
        p.c->_add_ref(); // the pool's
        ASSERT_EQ(write(p.far, "xxxx", r.before), ssize_t(r.before));
        pool.put(p.c, 0);
        {
            Taker first(pool, 0);
            ASSERT_EQ(first.wait(5000), p.c);
        }
        pool.restart();
        EXPECT_EQ(read_some(p.c, r.ask), long(std::min(r.ask, r.before)));
        if (r.while_held) {
            ASSERT_EQ(write(p.far, "yyyy", r.while_held), ssize_t(r.while_held));
        }
        bool closes = std::strstr(r.what, "closed") != nullptr;
        if (closes)
            shutdown(p.far, SHUT_WR);
        // Let an event for input that came while held reach the poller.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pool.put(p.c, 0);
        if (r.after) {
            ASSERT_EQ(write(p.far, "zzzz", r.after), ssize_t(r.after));
        }
        {
            Taker again(pool, 0);
            wq_MsgCircuit *c = again.wait(r.taken_again ? 5000 : 200);
            EXPECT_EQ(c, r.taken_again ? p.c : nullptr);
            if (!c) {
                // Still waiting in the poller: one byte takes it out.
                ASSERT_EQ(write(p.far, "w", 1), 1);
                EXPECT_EQ(again.wait(5000), p.c);
            }
        }
        pool.restart();
        // However it is watched now, it goes on being served: each byte
        // takes it out once, after whatever was left is read.
        if (!closes) {
            char b[16];
            while (p.c->net()->read(b, sizeof b) == sizeof b) {
            }
            for (int i = 0; i < 3; ++i) {
                pool.put(p.c, 0);
                ASSERT_EQ(write(p.far, "v", 1), 1);
                Taker next(pool, 0);
                EXPECT_EQ(next.wait(5000), p.c);
                EXPECT_EQ(read_some(p.c, 16), 1);
            }
            pool.restart();
        }
        p.c->_remove_ref();
    }
}

TEST(ServerCircuitMt, ACircuitMovedToAnotherPollerIsTakenOnlyThere)
{
    static wq_PriorityQueue<wq_MsgCircuit> a(1), b(2);
    a.restart();
    b.restart();
    Pair p;
    p.c->_add_ref();
    a.put(p.c, 0);
    ASSERT_EQ(write(p.far, "a", 1), 1);
    {
        Taker t(a, 0);
        ASSERT_EQ(t.wait(5000), p.c);
    }
    a.restart();
    EXPECT_EQ(read_some(p.c, 16), 1);
    b.put(p.c, 1);
    ASSERT_EQ(write(p.far, "b", 1), 1);
    {
        Taker old(a, 0), other(b, 0), now(b, 1);
        EXPECT_EQ(now.wait(5000), p.c);
        EXPECT_EQ(old.wait(100), nullptr);
        EXPECT_EQ(other.wait(1), nullptr);
    }
    a.restart();
    b.restart();
    p.c->_remove_ref();
}
