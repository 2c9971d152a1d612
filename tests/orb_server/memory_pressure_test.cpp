// orb_echo_server under memory pressure, as a real process on 127.0.0.1: an
// address-space limit under large echoes costs calls (NO_MEMORY, or their
// connection closed), never a reader thread or the server; and a flood of
// large requests from clients that never read their replies stays under the
// bound on bytes held for requests not yet served, while ordinary calls are
// answered.
#include "../orb/child_process.h"
#include "echo_server_proc.h"
#include "server_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace srv_test;

namespace {

using orb_test::bin;
using orb_test::exists;
using orb_test::spawn;
using orb_test::wait_child;

constexpr uint32_t MiB = 1u << 20;

// An orb_echo_server of the test's own, with its standard error in a file,
// started through prlimit with `limits` (e.g. "--as=536870912") and extra
// options.
struct Server : EchoServerProc {
    Server(std::vector<std::string> limits, std::vector<std::string> extra)
        : EchoServerProc(with_prlimit(std::move(limits)), std::move(extra), true)
    {
    }
    static std::vector<std::string> with_prlimit(std::vector<std::string> limits)
    {
        limits.insert(limits.begin(), "/usr/bin/prlimit");
        return limits;
    }
    size_t fds() const { return orb_test::proc_entries_of(std::to_string(pid), "fd"); }
    // add(x, 1) on a new connection: true when answered right.
    bool add_answered(uint32_t x) const
    {
        int fd = connect_to(port);
        if (fd < 0)
            return false;
        Cdr a;
        a.u32(x).u32(1);
        Bytes call = request(7, echo_server_key(), "add", a.b);
        Bytes m;
        if (write(fd, call.data(), call.size()) == ssize_t(call.size()))
            m = read_message(fd);
        close(fd);
        if (m.size() < 20)
            return false;
        Reply r = parse_reply(m);
        return r.status == 0 && r.request_id == 7 && r.c.get32(r.body) == x + 1;
    }
    // Waits (at most `seconds`) until the server holds at most `most`
    // descriptors; the count then.
    size_t fds_within(size_t most, int seconds) const
    {
        size_t n = fds();
        for (int i = 0; i < seconds * 10 && n > most; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            n = fds();
        }
        return n;
    }
};

// The header of an echo_octets request of `n` octets (its octets follow).
Bytes echo_octets_head(uint32_t id, uint32_t n)
{
    Cdr a;
    a.u32(n);
    Bytes head = request(id, echo_server_key(), "echo_octets", a.b);
    uint32_t size = uint32_t(head.size() - 12) + n;
    std::memcpy(&head[8], &size, 4);
    return head;
}

// Writes the head and n octets of `payload`; false when the connection
// took less.
bool send_echo(int fd, Bytes &head, Bytes const &payload, uint32_t n)
{
    iovec iov[2] = {{head.data(), head.size()}, {const_cast<uint8_t *>(payload.data()), n}};
    size_t want = head.size() + n, sent = 0;
    while (sent < want) {
        ssize_t w = writev(fd, iov, 2);
        if (w <= 0)
            return false;
        sent += size_t(w);
        for (iovec &v : iov) {
            size_t k = std::min(v.iov_len, size_t(w));
            v.iov_base = static_cast<char *>(v.iov_base) + k;
            v.iov_len -= k;
            w -= ssize_t(k);
        }
    }
    return true;
}

// Large echoes from many clients against a server whose address space is
// limited: each call is answered with its octets or with NO_MEMORY, or its
// connection is closed (the client connects again); no reader dies ("thread
// died" on the server's error output, which also left the server deaf), the
// server answers at once when the load ends, and its descriptors come back
// to their idle count (they once stayed in CLOSE-WAIT for a minute).
TEST(MemoryPressure, AnAddressSpaceLimitCostsCallsNotTheServer)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
    signal(SIGPIPE, SIG_IGN);
    struct Row {
        char const *what;
        uint64_t limit;
        int clients;
    } const rows[] = {
        {"512 MiB, 64 clients", 512ull * MiB, 64},
        {"768 MiB, 64 clients", 768ull * MiB, 64},
    };
    static const Bytes payload(4 * MiB, 0x5A);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Server srv({"--as=" + std::to_string(r.limit)}, {});
        ASSERT_NE(srv.port, 0) << srv.errors();
        ASSERT_TRUE(srv.add_answered(1));
        const size_t idle_fds = srv.fds();
        std::atomic<bool> stop{false};
        std::atomic<long> echoed{0}, refused{0}, closed{0}, wrong{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < r.clients; ++t)
            clients.emplace_back([&, t] {
                std::mt19937 rng(uint32_t(t) + 1);
                std::uniform_int_distribution<uint32_t> size(64 * 1024, 4 * MiB);
                int fd = -1;
                for (uint32_t id = 1; !stop; ++id) {
                    if (fd < 0 && (fd = connect_to(srv.port)) < 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        continue;
                    }
                    uint32_t n = size(rng);
                    Bytes head = echo_octets_head(id, n);
                    Bytes m;
                    if (send_echo(fd, head, payload, n))
                        m = read_message(fd);
                    if (m.size() < 24) {
                        ++closed;
                        close(fd);
                        fd = -1;
                        continue;
                    }
                    Reply rep = parse_reply(m);
                    if (rep.request_id != id)
                        ++wrong;
                    else if (rep.status == 0 && rep.c.get32(rep.body) == n)
                        ++echoed;
                    else if (rep.status == 2 && exception_id(rep) == "IDL:omg.org/CORBA/NO_MEMORY:1.0")
                        ++refused;
                    else
                        ++wrong;
                }
                if (fd >= 0)
                    close(fd);
            });
        std::this_thread::sleep_for(std::chrono::seconds(4));
        stop = true;
        for (auto &c : clients)
            c.join();
        std::printf("%s: %ld echoed, %ld NO_MEMORY, %ld connections closed\n", r.what, echoed.load(), refused.load(),
                    closed.load());
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_GT(echoed.load(), 0);
        // Served at once once the load is gone, and its descriptors back.
        bool answered = false;
        for (int i = 0; i < 50 && !answered; ++i) {
            answered = srv.add_answered(uint32_t(i));
            if (!answered)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(answered) << "no call answered within 5 s after the load; " << srv.errors().substr(0, 2000);
        EXPECT_LE(srv.fds_within(idle_fds + 2, 10), idle_fds + 2) << "idle: " << idle_fds;
        for (uint32_t i = 0; i < 10; ++i)
            EXPECT_TRUE(srv.add_answered(100 + i)) << "call " << i;
        std::string err = srv.errors();
        EXPECT_EQ(err.find("thread died"), std::string::npos) << err.substr(0, 2000);
        EXPECT_EQ(err.find("warning #568"), std::string::npos) << err.substr(0, 2000);
    }
}

// Clients that each send a 4 MiB echo and close without reading the reply,
// again and again, from many threads at once: the server holds no more
// than its bound on bytes for requests not yet served (and what it serves
// them with) while further large messages wait unread, ordinary calls on a
// kept connection and on new ones are answered meanwhile, and clients that
// read their echoes get them octet for octet (their requests, too, wait
// part-read); afterwards its descriptors come back. (Without the bound it held all that came: 4.6
// GiB and more under 2000 such clients.)
TEST(MemoryPressure, AFloodOfLargeRequestsStaysUnderTheBound)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator keeps freed memory by design";
#endif
    signal(SIGPIPE, SIG_IGN);
    struct Row {
        char const *what;
        uint32_t size;
        int clients;
        uint64_t bound;
    } const rows[] = {
        {"4 MiB requests, 160 clients, bound 128 MiB", 4 * MiB, 160, 128ull * MiB},
    };
    static const Bytes payload = [] {
        Bytes b(4 * MiB);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = uint8_t(i * 7 + i / 4093);
        return b;
    }();
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        Server srv({"--nofile=8192"}, {"-max_pending", std::to_string(r.bound)});
        ASSERT_NE(srv.port, 0) << srv.errors();
        ASSERT_TRUE(srv.add_answered(1));
        const size_t idle_fds = srv.fds();
        const long idle_kib = srv.rss_kib();
        std::atomic<bool> stop{false};
        std::atomic<long> sent{0};
        long peak_kib = idle_kib;
        std::vector<std::thread> clients;
        for (int t = 0; t < r.clients; ++t)
            clients.emplace_back([&] {
                while (!stop) {
                    int fd = connect_to(srv.port);
                    if (fd < 0)
                        continue;
                    timeval tv{1, 0}; // a sender held by TCP gives up and goes
                    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                    Bytes head = echo_octets_head(1, r.size);
                    if (send_echo(fd, head, payload, r.size))
                        ++sent;
                    close(fd);
                }
            });
        // Clients that read their echoes.
        std::atomic<long> echoed{0}, garbled{0};
        for (int t = 0; t < 4; ++t)
            clients.emplace_back([&, t] {
                for (uint32_t id = 1; !stop; ++id) {
                    int fd = connect_to(srv.port);
                    if (fd < 0)
                        continue;
                    uint32_t n = r.size - uint32_t(t) * 4096;
                    Bytes head = echo_octets_head(id, n);
                    Bytes m;
                    if (send_echo(fd, head, payload, n))
                        m = read_message(fd);
                    close(fd);
                    if (m.empty())
                        continue; // not answered within the read bound
                    Reply rep = parse_reply(m);
                    bool same = rep.status == 0 && rep.request_id == id && rep.c.get32(rep.body) == n &&
                                m.size() >= rep.body + 4 + n &&
                                std::equal(payload.begin(), payload.begin() + n, m.begin() + rep.body + 4);
                    ++(same ? echoed : garbled);
                }
            });
        // Ordinary calls meanwhile, each answered (within the clients'
        // 5 s read bound), on a kept connection and on new ones.
        int kept = connect_to(srv.port);
        ASSERT_GE(kept, 0);
        long kept_calls = 0, new_calls = 0, failed = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (uint32_t i = 0; std::chrono::steady_clock::now() < end; ++i) {
            Cdr a;
            a.u32(i).u32(1);
            Bytes call = request(i, echo_server_key(), "add", a.b);
            Bytes m;
            if (write(kept, call.data(), call.size()) == ssize_t(call.size()))
                m = read_message(kept);
            if (m.size() >= 20 && parse_reply(m).c.get32(parse_reply(m).body) == i + 1)
                ++kept_calls;
            else
                ++failed;
            if (srv.add_answered(i))
                ++new_calls;
            else
                ++failed;
            peak_kib = std::max(peak_kib, srv.rss_kib());
        }
        stop = true;
        for (auto &c : clients)
            c.join();
        close(kept);
        peak_kib = std::max(peak_kib, srv.rss_kib());
        std::printf("%s: %ld requests sent, peak %ld MiB (idle %ld MiB), %ld + %ld ordinary calls, %ld echoed\n",
                    r.what, sent.load(), peak_kib / 1024, idle_kib / 1024, kept_calls, new_calls, echoed.load());
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(garbled.load(), 0);
        EXPECT_GT(echoed.load(), 0);
        EXPECT_GT(kept_calls, 0);
        EXPECT_GT(new_calls, 0);
        EXPECT_GT(sent.load(), r.clients);
        // The bound, with room for what the requests being served take
        // (the servant's copies, the replies being written) and the
        // buffers kept for the next large messages.
        EXPECT_LE(peak_kib - idle_kib, long(r.bound / 1024) + 192 * 1024);
        EXPECT_LE(srv.fds_within(idle_fds + 2, 30), idle_fds + 2) << "idle: " << idle_fds;
        EXPECT_TRUE(srv.add_answered(99));
    }
}

} // namespace
