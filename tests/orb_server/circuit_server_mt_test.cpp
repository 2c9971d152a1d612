// Server circuits over a socket pair whose far end misbehaves: a message that
// stops part-way is kept while its reader goes on, and fails the circuit
// after the receive time; replies to a peer that does not read wait on the
// circuit, not in a thread, and close it with one line after the send time.
#include "server_test_util.h"

#include "corba_orb.h"
#include "wq_memblock.h"

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
    // Listed: among the server's circuits, as an accepted one is, so that
    // the circuit watcher looks at it.
    explicit Pair(bool listed = false)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        far = sv[1];
        c = new wq_MsgCircuit(new wq_NetCircuitTCP(sv[0])); // a server circuit
        if (listed)
            wq_MsgCircuit::list_server(c);
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

// The bytes a stream holds, from its start to its write position.
Bytes stream_bytes(const CORBA::Stream &s)
{
    Bytes b;
    for (wq_MemoryBlock *m = s.head(); m; m = m->next) {
        uint32_t len = m == s.write_block() ? uint32_t(s.write_position() - m->data) : m->used;
        b.insert(b.end(), m->data, m->data + len);
        if (m == s.write_block())
            break;
    }
    return b;
}

// Whether the far end sees the circuit's end within `ms`.
bool far_sees_end(int fd, int ms)
{
    for (int i = 0; i < ms / 10; ++i) {
        char b[256];
        ssize_t n = recv(fd, b, sizeof b, MSG_DONTWAIT);
        if (n == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ServerCircuitMt, APartOfAMessageIsKeptAcrossTurnsAndMustBeWholeWithinTheReceiveTime)
{
    Timeouts t(400, 20000);
    Bytes small = request(7, make_key("RootPOA", "calc"), "add", Bytes(8, 1));
    Bytes large = request(8, make_key("RootPOA", "calc"), "add", Bytes(100000, 3));
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = i < 100 ? large[i] : uint8_t(i * 7);
    struct Row {
        char const *what;
        const Bytes *req;
        size_t first;    // bytes sent before the first receive
        bool rest;       // the rest follows after that receive
        int first_result;
    } rows[] = {
        {"whole", &small, small.size(), false, 1},
        {"nothing yet: handed back, no time runs", &small, 0, true, wq_MsgCircuit::Incomplete},
        {"a short start, kept in the read-ahead", &small, 10, true, wq_MsgCircuit::Incomplete},
        {"a long start, kept aside", &large, 70000, true, wq_MsgCircuit::Incomplete},
        {"part of the header, then nothing", &small, 5, false, wq_MsgCircuit::Incomplete},
        {"a header promising more, then nothing", &small, 20, false, wq_MsgCircuit::Incomplete},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Pair p(true);
        const Bytes &req = *r.req;
        size_t at = 0;
        while (at < r.first) {
            ssize_t n = write(p.far, req.data() + at, r.first - at);
            ASSERT_GT(n, 0);
            at += size_t(n);
        }
        wq_PrivateEnv pe;
        CORBA::Stream in(pe.env);
        wq_GIOP::MessageHeader h{};
        int got = p.c->receive(in, h, pe.env);
        EXPECT_EQ(got, r.first_result);
        EXPECT_FALSE(pe.env.pending());
        EXPECT_EQ(p.c->net()->read_deadline_ms, 0);
        EXPECT_FALSE(p.c->has_buffered_input()); // a part is no message for the pool
        EXPECT_EQ(p.c->receive_due() != 0, got == wq_MsgCircuit::Incomplete && r.first > 0);
        if (got == 1) {
            EXPECT_EQ(stream_bytes(in), req);
            continue;
        }
        if (r.rest) {
            // The rest, in two pieces a turn apart.
            size_t half = at + (req.size() - at) / 2;
            ASSERT_EQ(write(p.far, req.data() + at, half - at), ssize_t(half - at));
            int second = p.c->receive(in, h, pe.env);
            if (second != 1) {
                EXPECT_EQ(second, wq_MsgCircuit::Incomplete);
                while (half < req.size()) {
                    ssize_t n = write(p.far, req.data() + half, req.size() - half);
                    ASSERT_GT(n, 0);
                    half += size_t(n);
                }
                for (int i = 0; i < 100 && (second = p.c->receive(in, h, pe.env)) == wq_MsgCircuit::Incomplete; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_EQ(second, 1);
            EXPECT_EQ(stream_bytes(in), req);
            EXPECT_EQ(p.c->state(), wq_MsgCircuit::Active);
            EXPECT_EQ(p.c->receive_due(), 0);
            continue;
        }
        // Nothing more: the watcher ends the circuit once the time is over,
        // and the reader that takes it then fails it.
        EXPECT_TRUE(far_sees_end(p.far, 5000));
        EXPECT_NE(p.c->receive(in, h, pe.env), 1);
        EXPECT_TRUE(pe.env.pending());
        EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
        EXPECT_EQ(p.c->receive_due(), 0);
        pe.env.clear();
    }
}

// What a circuit holds of the memory blocks, read from the block lists: an
// idle one nothing, whether never served, served once, or after a message
// whose start it kept; a small block only while bytes of a message not yet
// taken wait in its read-ahead.
TEST(ServerCircuitMt, AnIdleCircuitHoldsNoBlock)
{
    Timeouts t(2000, 20000);
    Bytes req = request(7, make_key("RootPOA", "calc"), "add", Bytes(8, 1));
    Bytes two = req;
    two.insert(two.end(), req.begin(), req.end());
    struct Row {
        char const *what;
        Bytes first;  // sent before the first receive (none: never served)
        uint64_t kept; // bytes the circuit holds after that receive
        Bytes rest;   // sent after it
    } const rows[] = {
        {"never served", {}, 0, {}},
        {"served once", req, 0, {}},
        {"two messages in one write: the second waits", two, 4096, {}},
        {"the start of a message: kept until its rest", Bytes(req.begin(), req.begin() + 10), 4096,
         Bytes(req.begin() + 10, req.end())},
    };
    {
        const uint64_t before = wq_mb_bytes_in_use();
        auto *client = new wq_MsgCircuit("tcp:127.0.0.1:1", nullptr);
        EXPECT_EQ(wq_mb_bytes_in_use(), before) << "an unconnected client circuit";
        client->_remove_ref();
    }
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        wq_PrivateEnv pe;
        CORBA::Stream in(pe.env), reply(pe.env); // the reader's, made before the count
        const uint64_t before = wq_mb_bytes_in_use();
        Pair p;
        EXPECT_EQ(wq_mb_bytes_in_use(), before);
        if (!r.first.empty()) {
            ASSERT_EQ(write(p.far, r.first.data(), r.first.size()), ssize_t(r.first.size()));
            wq_GIOP::MessageHeader h{};
            int got = p.c->receive(in, h, pe.env);
            EXPECT_EQ(wq_mb_bytes_in_use() - before, r.kept);
            if (!r.rest.empty())
                ASSERT_EQ(write(p.far, r.rest.data(), r.rest.size()), ssize_t(r.rest.size()));
            for (int i = 0; i < 200 && (got == wq_MsgCircuit::Incomplete || p.c->has_buffered_input()); ++i) {
                got = p.c->receive(in, h, pe.env);
                if (got == wq_MsgCircuit::Incomplete)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ASSERT_EQ(got, 1);
            EXPECT_EQ(stream_bytes(in), req);
            // Answered: the reply leaves whole.
            wq_write_giop_header(reply, wq_GIOP::Reply);
            reply << uint32_t(0) << uint32_t(7) << uint32_t(0);
            bool resume = false;
            p.c->send_reply(reply, resume, pe.env);
            EXPECT_FALSE(pe.env.pending());
            unsigned char back[24];
            EXPECT_EQ(recv(p.far, back, sizeof back, MSG_WAITALL), ssize_t(sizeof back));
        }
        EXPECT_EQ(wq_mb_bytes_in_use(), before) << "idle";
    }
}

// A receive whose first read may wait (the reader lingering on the circuit
// it has just served) takes a message that comes within the wait, and
// hands the circuit back after it when none came; the wait is the read's
// only, and a later plain read of the transport waits as long as it must.
TEST(ServerCircuitMt, AReceiveThatWaitsForInputTakesWhatComesWithinTheWaitOnly)
{
    Timeouts t(2000, 20000);
    Bytes req = request(9, make_key("RootPOA", "calc"), "add", Bytes(8, 1));
    struct Row {
        char const *what;
        int send_after_ms; // -1: nothing is sent
        int result;
    } rows[] = {
        {"already there", 0, 1},
        {"comes within the wait", 20, 1},
        {"comes after the wait", 300, wq_MsgCircuit::Incomplete},
        {"never comes", -1, wq_MsgCircuit::Incomplete},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Pair p(true);
        std::thread peer([&] {
            if (r.send_after_ms < 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(r.send_after_ms));
            EXPECT_EQ(write(p.far, req.data(), req.size()), ssize_t(req.size()));
        });
        wq_PrivateEnv pe;
        CORBA::Stream in(pe.env);
        wq_GIOP::MessageHeader h{};
        p.c->net()->read_wait_ms = 100;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(p.c->receive(in, h, pe.env), r.result);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_FALSE(pe.env.pending());
        EXPECT_EQ(p.c->net()->read_wait_ms, 0);
        EXPECT_EQ(p.c->state(), wq_MsgCircuit::Active);
        EXPECT_EQ(p.c->receive_due(), 0); // nothing begun: no time runs
        if (r.result != 1) {
            EXPECT_GE(ms, 90);
            // Without a wait, nothing there is handed back at once; what
            // comes later is read whole.
            EXPECT_EQ(p.c->receive(in, h, pe.env), wq_MsgCircuit::Incomplete);
            peer.join();
            if (r.send_after_ms >= 0) {
                EXPECT_EQ(p.c->receive(in, h, pe.env), 1);
            }
        } else {
            peer.join();
        }
        if (r.send_after_ms >= 0) {
            EXPECT_EQ(stream_bytes(in), req);
        }
        // A plain read of the transport (as a client's) keeps waiting past
        // the wait time.
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            EXPECT_EQ(write(p.far, "x", 1), 1);
        });
        char b = 0;
        EXPECT_EQ(p.c->net()->read(&b, 1), 1);
        EXPECT_EQ(b, 'x');
        late.join();
    }
}

std::atomic<int> g_resumed{0};

TEST(ServerCircuitMt, AReplyTheTransportCannotTakeIsParkedAndNoThreadWaitsForIt)
{
    Timeouts t(10000, 1500);
    void (*hook)(wq_MsgCircuit *) = wq_msg_circuit_resume;
    wq_msg_circuit_resume = [](wq_MsgCircuit *) { ++g_resumed; };
    auto reply = [](CORBA::Stream &s, uint32_t words, uint32_t tag) {
        wq_write_giop_header(s, wq_GIOP::Reply);
        s << tag;
        for (uint32_t i = 1; i < words; ++i)
            s << i;
    };
    struct Row {
        char const *what;
        bool reader; // the peer reads everything after a while
    } rows[] = {
        {"the peer never reads: the circuit closes with one line", false},
        {"the peer reads late: every reply arrives, in order", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        g_resumed = 0;
        Pair p;
        testing::internal::CaptureStderr();
        // A large reply fills the transport and is parked; later ones queue
        // behind it until the circuit asks not to be read. No call waits.
        std::vector<uint32_t> sizes;
        bool paused = false;
        for (uint32_t i = 0; i < 200 && !paused; ++i) {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            reply(s, i == 0 ? 1u << 20 : 16u << 10, i);
            bool resume = true;
            sizes.push_back(uint32_t(s.size_written()));
            p.c->send_reply(s, resume, pe.env);
            ASSERT_FALSE(pe.env.pending()) << i;
            EXPECT_FALSE(resume);
            paused = p.c->pause_reading(0);
        }
        EXPECT_TRUE(paused);
        // Had any call waited for the transport, its time would be over.
        EXPECT_EQ(p.c->state(), wq_MsgCircuit::Active);
        Bytes got;
        size_t want = 0;
        for (uint32_t n : sizes)
            want += n;
        if (r.reader) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            for (int i = 0; i < 1000 && got.size() < want; ++i) {
                unsigned char b[65536];
                ssize_t n = recv(p.far, b, sizeof b, 0);
                if (n <= 0)
                    break;
                got.insert(got.end(), b, b + n);
            }
        } else {
            for (int i = 0; i < 500 && p.c->state() == wq_MsgCircuit::Active; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (int i = 0; i < 200 && g_resumed == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(g_resumed.load(), 1); // the paused circuit goes back to its pool once
        if (r.reader) {
            ASSERT_EQ(got.size(), want);
            size_t at = 0;
            for (uint32_t i = 0; i < sizes.size() && at + 16 <= got.size(); ++i) {
                ASSERT_EQ(std::memcmp(&got[at], "GIOP", 4), 0) << i;
                uint32_t tag;
                std::memcpy(&tag, &got[at + 12], 4);
                EXPECT_EQ(tag, i);
                at += sizes[i];
            }
            EXPECT_EQ(p.c->state(), wq_MsgCircuit::Active);
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_NE(err.find("a reply was not taken within 1500 ms"), std::string::npos) << err;
            // Nothing is sent on a failed circuit.
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            reply(s, 4, 0);
            bool resume = false;
            p.c->send_reply(s, resume, pe.env);
            EXPECT_TRUE(pe.env.pending());
            pe.env.clear();
        }
    }
    wq_msg_circuit_resume = hook;
}

// A circuit whose replies are not taken within the send time drops them,
// and at diagnostics level 2 each (the parked one and those queued behind it)
// gets the line of what it answered; a message that answers nothing gets
// none.
TEST(ServerCircuitMt, RepliesDroppedUnsentEachGetTheirLine)
{
    Timeouts t(10000, 1000);
    auto reply = [](CORBA::Stream &s, uint32_t words) {
        wq_write_giop_header(s, wq_GIOP::Reply);
        for (uint32_t i = 0; i < words; ++i)
            s << i;
    };
    const struct {
        wq_ReplyNote note;
        uint32_t words;
        char const *line; // at level 2 (null: none)
    } rows[] = {
        {{wq_ReplyNote::Reply, 10}, 1u << 20, "exception during send for reply to request id 10 ]\n"},
        {{wq_ReplyNote::Reply, 11}, 4, "exception during send for reply to request id 11 ]\n"},
        {{wq_ReplyNote::EarlyReply, 12}, 4, "exception during send for early reply to request id 12 ]\n"},
        {{wq_ReplyNote::LocateReply, 13}, 4, "exception during send for locate reply ]\n"},
        {{wq_ReplyNote::None, 14}, 4, nullptr},
    };
    CORBA::ORB::DiagnosticsLevel before = CORBA::ORB::diagnostics();
    void (*hook)(wq_MsgCircuit *) = wq_msg_circuit_resume;
    wq_msg_circuit_resume = [](wq_MsgCircuit *) { ++g_resumed; };
    for (int level : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "diagnostics " << level);
        CORBA::ORB::diagnostics(static_cast<CORBA::ORB::DiagnosticsLevel>(level));
        g_resumed = 0;
        Pair p;
        testing::internal::CaptureStderr();
        // The first fills the transport and is parked; the others queue
        // behind it. The peer never reads.
        for (const auto &r : rows) {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            reply(s, r.words);
            bool resume = false;
            p.c->send_reply(s, resume, pe.env, r.note);
            EXPECT_FALSE(pe.env.pending()) << r.note.request_id;
        }
        // Replies that answer nothing until the circuit asks not to be read:
        // it goes back to its pool once everything is dropped and told.
        bool paused = false;
        for (int i = 0; i < 200 && !paused; ++i) {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            reply(s, 16u << 10);
            bool resume = false;
            p.c->send_reply(s, resume, pe.env);
            paused = p.c->pause_reading(0);
        }
        EXPECT_TRUE(paused);
        for (int i = 0; i < 500 && g_resumed == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(g_resumed.load(), 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
        EXPECT_NE(err.find("a reply was not taken within 1000 ms"), std::string::npos) << err;
        size_t lines = 1;
        for (const auto &r : rows)
            if (r.line && level == 2) {
                ++lines;
                EXPECT_NE(err.find(r.line), std::string::npos) << r.line << err;
            }
        EXPECT_EQ(size_t(std::count(err.begin(), err.end(), '\n')), lines) << err;
        EXPECT_EQ(err.find("request id 14"), std::string::npos) << err;
    }
    CORBA::ORB::diagnostics(before);
    wq_msg_circuit_resume = hook;
}

// A circuit whose input ends (or whose last message is refused) while
// replies are due sends each of them as its reader is done, then (when
// refused) a MessageError, and only then fails and closes; with none due it
// does so at once. A reply that the transport cannot take at once is
// parked, and the end waits behind it too. The end is found by a receive
// (the client's end of input, a bad header) or told by the reader.
TEST(ServerCircuitMt, AnEndOfInputClosesOnlyAfterTheRepliesDue)
{
    Timeouts t(10000, 5000);
    enum End { Told, ToldRefused, EndOfInput, BadHeader };
    struct Row {
        char const *what;
        int due; // replies due when the input ends
        End end;
        uint32_t words; // of each reply
    } rows[] = {
        {"nothing due: closed at once", 0, Told, 4},
        {"nothing due, a refused message: MessageError, closed", 0, ToldRefused, 4},
        {"nothing due, the input ends", 0, EndOfInput, 4},
        {"the input ends with two replies due", 2, EndOfInput, 4},
        {"a bad header with three replies due, then MessageError", 3, BadHeader, 4},
        {"a reply the transport takes only later, then MessageError", 1, ToldRefused, 1u << 19},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Pair p;
        for (int i = 0; i < r.due; ++i)
            p.c->hold_for_reply();
        bool refused = r.end == ToldRefused || r.end == BadHeader;
        if (r.end == Told || r.end == ToldRefused) {
            p.c->close_after_replies(refused);
        } else {
            if (r.end == EndOfInput)
                shutdown(p.far, SHUT_WR);
            else
                ASSERT_EQ(write(p.far, "GIOP\1\3\1\0\0\0\0\0", 12), 12);
            wq_PrivateEnv pe;
            CORBA::Stream in(pe.env);
            wq_GIOP::MessageHeader h{};
            int got = wq_MsgCircuit::Incomplete;
            for (int i = 0; i < 500 && got == wq_MsgCircuit::Incomplete; ++i) {
                got = p.c->receive(in, h, pe.env);
                if (got == wq_MsgCircuit::Incomplete)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            EXPECT_EQ(got, 0);
            EXPECT_TRUE(pe.env.pending());
            pe.env.clear();
        }
        if (r.due) {
            EXPECT_EQ(p.c->state(), wq_MsgCircuit::Active);
            EXPECT_FALSE(far_sees_end(p.far, 100)); // open while replies are due
        }
        // The readers are done one after the other, each sending its reply
        // (the far end reads only after the last).
        size_t want = 0;
        for (int i = 0; i < r.due; ++i) {
            wq_PrivateEnv pe;
            CORBA::Stream s(pe.env);
            wq_write_giop_header(s, wq_GIOP::Reply);
            s << uint32_t(i);
            for (uint32_t w = 1; w < r.words; ++w)
                s << w;
            want += s.size_written();
            bool resume = false;
            p.c->send_reply(s, resume, pe.env, {wq_ReplyNote::Reply, uint32_t(i)});
            EXPECT_FALSE(pe.env.pending());
            p.c->reply_done();
        }
        want += refused ? 12 : 0;
        Bytes got;
        for (int i = 0; i < 1000; ++i) {
            unsigned char b[65536];
            ssize_t n = recv(p.far, b, sizeof b, 0);
            if (n <= 0) {
                EXPECT_EQ(n, 0); // an orderly end
                break;
            }
            got.insert(got.end(), b, b + n);
        }
        ASSERT_EQ(got.size(), want);
        size_t at = 0;
        for (int i = 0; i < r.due; ++i) {
            ASSERT_EQ(got[at + 7], 1) << i;
            uint32_t tag, size;
            std::memcpy(&tag, &got[at + 12], 4);
            std::memcpy(&size, &got[at + 8], 4);
            EXPECT_EQ(tag, uint32_t(i));
            at += 12 + size;
        }
        if (refused) {
            ASSERT_EQ(at + 12, got.size());
            EXPECT_EQ(std::memcmp(&got[at], "GIOP", 4), 0);
            EXPECT_EQ(got[at + 7], 6);
        }
        EXPECT_EQ(p.c->state(), wq_MsgCircuit::Failed);
        // Nothing more is read from it.
        wq_PrivateEnv pe;
        CORBA::Stream in(pe.env);
        wq_GIOP::MessageHeader h{};
        EXPECT_EQ(p.c->receive(in, h, pe.env), 0);
        pe.env.clear();
    }
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
    EXPECT_TRUE(pool.shutdown_and_wait(5000)); // no poller outlives the test
}

} // namespace

namespace {

// Shuts a test's pool down when it goes, so that its poller ends (the
// broker's shutdown joins every thread it manages).
struct PoolDown {
    wq_PriorityQueue<wq_MsgCircuit> &pool;
    ~PoolDown() { pool.shutdown(); }
};

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

// The pair's circuit (with a reference for the pool) put at level 0, given
// one byte, taken by a reader and its byte read: as a reader holds it once
// it has read a message.
void take_and_read(wq_PriorityQueue<wq_MsgCircuit> &pool, Pair &p)
{
    p.c->_add_ref(); // the pool's
    pool.put(p.c, 0);
    ASSERT_EQ(write(p.far, "a", 1), 1);
    {
        Taker first(pool, 0);
        ASSERT_EQ(first.wait(5000), p.c);
    }
    pool.restart();
    EXPECT_EQ(read_some(p.c, 16), 1);
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
        PoolDown down{pool};
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
        EXPECT_TRUE(pool.shutdown_and_wait(5000)); // no poller outlives the row
    }
}

TEST(ServerCircuitMt, ACircuitHandedBackWhileServedIsReadByAnotherAtOnceOrTakenBackByItsReader)
{
    // A circuit handed back while its reader serves the message read: input
    // meanwhile makes another reader take it at once (its reader then finds
    // it gone); without input its reader takes it back, and the input after
    // that wakes no other reader. A ticket names one hand-back only.
    struct Row {
        char const *what;
        bool input;   // a byte comes while it is served
        bool again;   // taken back and handed back again first (a later ticket)
    } rows[] = {
        {"input while served", true, false},
        {"no input while served", false, false},
        {"handed back again: the first ticket is spent", false, true},
        {"handed back again, then input", true, true},
    };
    using Pool = wq_PriorityQueue<wq_MsgCircuit>;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        static Pool pool(1);
        pool.restart();
        PoolDown down{pool};
        Pair p;
        take_and_read(pool, p);
        ASSERT_FALSE(HasFatalFailure());
        uint64_t ticket = 0;
        pool.put(p.c, 0, &ticket);
        ASSERT_NE(ticket, 0u);
        if (r.again) {
            ASSERT_EQ(Pool::take_back(ticket), p.c);
            uint64_t later = 0;
            pool.put(p.c, 0, &later);
            EXPECT_NE(later, ticket);
            EXPECT_EQ(Pool::take_back(ticket), nullptr);
            ticket = later;
        }
        {
            Taker other(pool, 0);
            if (r.input) {
                ASSERT_EQ(write(p.far, "b", 1), 1);
            }
            EXPECT_EQ(other.wait(r.input ? 5000 : 100), r.input ? p.c : nullptr);
            wq_MsgCircuit *back = Pool::take_back(ticket);
            EXPECT_EQ(back, r.input ? nullptr : p.c);
            if (back) {
                ASSERT_EQ(write(p.far, "c", 1), 1);
                EXPECT_EQ(other.wait(100), nullptr);
                EXPECT_EQ(read_some(back, 16), 1);
                // Handed back once more, its next input takes it out.
                pool.put(back, 0);
                ASSERT_EQ(write(p.far, "d", 1), 1);
                EXPECT_EQ(other.wait(5000), p.c);
            }
        }
        pool.restart();
        p.c->_remove_ref();
        EXPECT_TRUE(pool.shutdown_and_wait(5000)); // no poller outlives the row
    }
}

TEST(ServerCircuitMt, ACircuitMovedToAnotherPollerIsTakenOnlyThere)
{
    static wq_PriorityQueue<wq_MsgCircuit> a(1), b(2);
    a.restart();
    b.restart();
    PoolDown down_a{a}, down_b{b};
    Pair p;
    take_and_read(a, p);
    ASSERT_FALSE(HasFatalFailure());
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
    EXPECT_TRUE(a.shutdown_and_wait(5000)); // no poller outlives the test
    EXPECT_TRUE(b.shutdown_and_wait(5000));
}

namespace {

// A stand-in for a circuit whose input is already read (or that has no
// descriptor): the pool queues it instead of watching it.
struct QueuedOnly {
    struct Net {
        int poll_fd() const { return -1; }
        bool read_drained = true;
    };
    QueuedOnly *pool_next = nullptr;
    QueuedOnly *pool_prev = nullptr;
    bool pool_busy = false;
    std::atomic<void *> pool_where{nullptr};
    uint32_t calls_in_service() const { return 0; }
    std::atomic<uint32_t> poll_entry{0};
    int poll_set = -1;
    bool has_buffered_input() const { return true; }
    Net *net() const { return nullptr; }
};

} // namespace

TEST(ServerCircuitMt, QueuedCircuitsAreEachTakenOnceAndTheShutdownEndsEveryIdleReader)
{
    // Circuits queued one by one or all at once while readers wait in the
    // poller. Each reader keeps what it took until every circuit is taken,
    // so every circuit needs a reader woken for it: each is taken by exactly
    // one reader (a wake-up is passed on while more wait, none is lost). Then
    // a shutdown ends every reader, however many wait.
    struct Row {
        int readers, burst;
    };
    const Row rows[] = {{1, 1}, {4, 1}, {4, 4}, {16, 1}, {16, 16}, {64, 64}};
    for (const Row &row : rows) {
        SCOPED_TRACE("readers " + std::to_string(row.readers) + ", burst " + std::to_string(row.burst));
        static wq_PriorityQueue<QueuedOnly> pool(1);
        pool.restart();
        std::vector<QueuedOnly> circuits(size_t(row.readers));
        std::vector<std::atomic<int>> taken(circuits.size());
        std::atomic<int> total{0}, strays{0};
        std::atomic<bool> all_taken{false};
        std::vector<std::thread> readers;
        for (int r = 0; r < row.readers; ++r)
            readers.emplace_back([&] {
                while (QueuedOnly *c = pool.get(0)) {
                    size_t i = size_t(c - circuits.data());
                    if (i >= circuits.size()) {
                        ++strays;
                        continue;
                    }
                    ++taken[i];
                    ++total;
                    // In service until every circuit is taken (bounded).
                    for (int w = 0; w < 5000 && !all_taken; ++w)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the readers wait in the poller
        for (int at = 0; at < row.readers; at += row.burst) {
            for (int i = at; i < std::min(at + row.burst, row.readers); ++i)
                pool.put(&circuits[size_t(i)], 0);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        for (int wait = 0; wait < 1000 && total < row.readers; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(total.load(), row.readers);
        all_taken = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the readers wait again
        pool.shutdown();
        for (auto &r : readers)
            r.join();
        EXPECT_EQ(strays.load(), 0);
        int twice = 0;
        for (auto &t : taken)
            twice += t.load() > 1;
        EXPECT_EQ(twice, 0);
        EXPECT_EQ(pool.get_after_shutdown(), nullptr);
        EXPECT_TRUE(pool.shutdown_and_wait(5000)); // no poller outlives the row
    }
}

namespace {

// Readers of the next test, counted idle while they wait (as the broker's
// readers are), and started by the pool's hook for circuits that wait.
wq_PriorityQueue<QueuedOnly> g_counted_pool(1);
std::mutex g_counted_lock;
std::vector<std::thread> g_counted_readers;
std::atomic<int> g_counted_taken{0};
std::atomic<bool> g_counted_round_over{false};

void counted_reader()
{
    // Counted idle by its starter; one circuit, then it ends.
    if (!g_counted_pool.get(0, -1, nullptr, true)) {
        g_counted_pool.idle(0).fetch_sub(1, std::memory_order_acq_rel); // the round's end
        return;
    }
    ++g_counted_taken;
    // In service until the round's circuits are all taken (bounded).
    for (int w = 0; w < 3000 && !g_counted_round_over; ++w)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Starts readers while more circuits wait than readers are idle.
void start_counted_readers(uint32_t, bool)
{
    for (;;) {
        uint32_t idle = g_counted_pool.idle(0).load(std::memory_order_acquire);
        if (g_counted_pool.unserved(0) == 0)
            return;
        if (!g_counted_pool.idle(0).compare_exchange_strong(idle, idle + 1, std::memory_order_acq_rel))
            continue;
        std::lock_guard<std::mutex> g(g_counted_lock);
        g_counted_readers.emplace_back(counted_reader);
    }
}

} // namespace

TEST(ServerCircuitMt, ACircuitQueuedWhileAReaderTakesAnotherIsNeverLeftWithoutAReader)
{
    // Rounds of circuits queued from two threads at once; the pool starts a
    // reader whenever more circuits wait than readers are idle. A reader
    // that has taken a circuit is no longer counted idle by the time another
    // is queued: were it still counted, the pool would start no reader for
    // the new one, and every reader being in service, the circuit would wait
    // with none (each reader here keeps its circuit until the round's
    // circuits are all taken, as servants that wait for one another would).
    constexpr int kRounds = 1000, kPerRound = 6;
    g_counted_pool.on_no_idle = &start_counted_readers;
    std::vector<QueuedOnly> circuits(size_t(kRounds * kPerRound));
    int stuck = 0;
    for (int r = 0; r < kRounds && stuck == 0; ++r) {
        g_counted_pool.restart();
        g_counted_taken = 0;
        g_counted_round_over = false;
        auto put_half = [&](int from) {
            for (int i = from; i < kPerRound; i += 2)
                g_counted_pool.put(&circuits[size_t(r * kPerRound + i)], 0);
        };
        std::thread other(put_half, 1);
        put_half(0);
        other.join();
        for (int w = 0; w < 2000 && g_counted_taken < kPerRound; ++w)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (g_counted_taken < kPerRound)
            stuck = r + 1;
        g_counted_round_over = true;
        g_counted_pool.shutdown();
        std::lock_guard<std::mutex> g(g_counted_lock);
        // (One more now and then: a take between a hook's two reads counts
        // the circuit just taken.)
        EXPECT_LE(g_counted_readers.size(), size_t(kPerRound + 2)) << "round " << r;
        for (auto &t : g_counted_readers)
            t.join();
        g_counted_readers.clear();
        EXPECT_EQ(g_counted_pool.idle(0).load(), 0u);
    }
    EXPECT_EQ(stuck, 0) << "a circuit of round " << stuck << " waited 2 s with every reader in service";
}
