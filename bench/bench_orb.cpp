// The broker's server beside omniORB's first, on all CPUs (neither server
// nor any client pinned): 2, 8 and 32 client processes, of this broker and
// of omniORB (omni_load_client), each make 5000 `add` calls and 5000
// `echo_octets` of 1 KiB against each server in turn: the server's CPU time
// per request and the wall time, ours / omniORB's. Then an ordinary caller's
// worst call beside 16 connections that pipeline `add` without pause, and
// the threads each server has 10 s after those bursts. Then omniORB's client
// (omni_echo_bulk) makes `echo_octets` calls of 64 KiB, 1 MiB and 16 MiB
// against both servers, in turn: the median time, ours / omniORB's
// (orb_echo_octets_<size>_vs_omniorb), with the servers' CPU time and minor
// page faults per call. Then the memory each of 1000 idle connections
// costs each server, never served and served once
// (orb_idle_connection_KiB_vs_omniorb_*), and the peak descriptors and
// resident size of each server in a flood of clients that close without
// reading their reply, sent with the connection (orb_flood_peak_*_vs_omniorb)
// or 30 ms after it (orb_late_flood_peak_*_vs_omniorb).
// Then, with both servers on CPU pins 2 and 3 and the client on pin 0 (the
// broker's reader that takes the circuit back runs beside the one serving):
// round trips of this broker's client and server, `add` (a small two-way
// call) and `echo_octets` with 64 KiB each way, beside a raw TCP ping-pong
// between two processes that moves the same bytes in the same pieces over
// sockets with the same options, measured in turn in short blocks; 8 client
// processes making 5000 `add` calls each at once, against the broker's
// server and a raw thread-per-connection server doing the same exchanges;
// and this broker's client echoing 1 MiB to the broker's server and to
// omniORB's in turn (orb_echo_octets_1MiB_broker_client_vs_omniorb).
// BENCH_ORB_RUNS (default 3) and BENCH_ORB_CALLS (default 5000) shorten it,
// BENCH_ORB_CLIENT_COUNTS (default "2,8,32") sets the client counts;
// BENCH_ORB_LOAD_ONLY ends it after the client loads on all CPUs,
// BENCH_ORB_PIPE_ONLY with BENCH_ORB_PEER_ONLY runs the pipelining alone,
// BENCH_ORB_PEER_ONLY after the figures on all CPUs, BENCH_ORB_LARGE_CALLS
// (default 12) sets the 16 MiB calls on each side (the 1 MiB ones are five
// times as many, the 64 KiB ones fifty times), and BENCH_ORB_LARGE_ONLY runs
// the large echoes alone, BENCH_ORB_IDLE_ONLY the idle connections and the
// flood alone (BENCH_ORB_IDLE_MS, default 4000: how long the connections
// are held before the count).
// After the 8 clients, a short call beside a slow servant on one connection
// (orb_short_call_beside_slow_servant, against the same call alone);
// BENCH_ORB_SLOW_ONLY runs it alone.
// After the flood of small requests, a flood of large ones (64 KiB and
// 1 MiB) from clients that close without reading their reply, beside
// ordinary calls on a kept and on a new connection
// (orb_large_flood_<size>_<clients>_*_vs_omniorb); BENCH_ORB_LFLOOD_ONLY
// runs it alone. Then connections that pipeline slow calls and never read,
// beside ordinary calls (orb_slow_pipelines_*, see slow_pipes_against_peer).
// Then many clients of large echoes (bench_orb_pressure.h;
// BENCH_ORB_MANY_ONLY runs them alone).
// After the pipelining, calls pipelined on one connection against both
// servers: a short call behind 4 slow calls and a mixed pipelined load on 4
// connections (see pipelined_side_by_side_against_peer);
// BENCH_ORB_SIDE_BY_SIDE_ONLY runs them alone.
#include "bench_peer.h"
#include "corba_orb.h"
#include "peertest_echo.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

// GIOP sizes of the two calls (request, reply), as this broker sends them:
// header, request or reply header, arguments or results.
constexpr size_t kAddReq = 88, kAddRep = 28;
constexpr size_t kBig = 65536;
constexpr size_t kBigReq = kBig + 92, kBigRep = kBig + 28;

// The broker writes a message block by block (one write per 65536-byte block
// of its stream) and reads into 65536-byte blocks, so the raw side moves its
// bytes in the same pieces: a 64 KiB body with its header is two writes.
constexpr size_t kPiece = 65536;

// CPU pins 1 and 2 (pin_cpu's numbering) for the calling thread, which then
// starts both servers: every thread of theirs inherits the set. (Pinning a
// running server by its process id would reach its main thread only; the
// broker's acceptor and readers, made during its start-up, would run on any
// CPU while the raw server stays on two.)
void pin_servers()
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 3) {
        bench::pin_cpu(1);
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(int(2 % n), &set);
    CPU_SET(int(3 % n), &set);
    sched_setaffinity(0, sizeof set, &set);
}

bool full(int fd, void *buf, size_t n, bool rd)
{
    auto *p = static_cast<char *>(buf);
    while (n) {
        size_t k = std::min(n, kPiece);
        ssize_t r = rd ? read(fd, p, k) : write(fd, p, k);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// The options the broker's TCP acceptor gives an accepted connection.
void server_options(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    timeval tv{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The options of the broker's default QoS list for "tcp", which its client
// applies before it connects: no Nagle delay, 64 KiB socket buffers (fixed
// sizes, which also turn the kernel's buffer tuning off) and a 1 s linger.
void client_options(int fd)
{
    int one = 1, buf = 65536;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    linger l{1, 1};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// The raw peer: a forked process that answers each request of `req` bytes
// with `rep` bytes; the client announces both sizes in 16 leading bytes.
pid_t raw_server(uint16_t &port)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(ls, 4) != 0 ||
        getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        std::exit(1);
    port = ntohs(sa.sin_port);
    pid_t pid = fork();
    if (pid != 0) {
        close(ls);
        return pid;
    }
    for (;;) {
        int c = accept(ls, nullptr, nullptr);
        if (c < 0)
            _exit(0);
        // One thread per connection, each blocking on its own socket.
        std::thread([c] {
            server_options(c);
            uint64_t sizes[2];
            if (full(c, sizes, sizeof sizes, true)) {
                std::vector<char> in(sizes[0]), out(sizes[1], 'r');
                while (full(c, in.data(), in.size(), true) && full(c, out.data(), out.size(), false)) {
                }
            }
            close(c);
        }).detach();
    }
}

int raw_connect(uint16_t port, uint64_t req, uint64_t rep);

constexpr int kClients = 8;
long client_calls = 5000;

struct ManyArgs {
    std::string ior;
    uint16_t raw_port;
    // In each child.
    PeerTest::Echo *echo = nullptr;
    int fd = -1;
};

bool orb_prepare(ManyArgs *m)
{
    char name[] = "bench_orb_client", diag[] = "-ORBdiag", none[] = "none";
    char *argv[] = {name, diag, none, nullptr};
    int argc = 3;
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, env);
    CORBA::Object *obj = orb ? orb->string_to_object(m->ior.c_str(), env) : nullptr;
    m->echo = obj ? PeerTest::Echo::_narrow(obj) : nullptr;
    if (m->echo)
        m->echo->add(1, 2, env); // connected before the start
    return m->echo && !env.pending();
}

bool orb_adds(ManyArgs *m)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    for (long i = 0; i < client_calls && !env.pending(); ++i)
        m->echo->add(int(i), 1, env);
    bool ok = !env.pending();
    env.clear();
    return ok;
}

// `add` and a 1 KiB `echo_octets` in turn, each client_calls times, every
// answer checked.
bool orb_mixed(ManyArgs *m)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    PeerTest::OctetSeq data(1024, 5);
    bool ok = true;
    for (long i = 0; i < client_calls && ok; ++i) {
        ok = m->echo->add(int(i), 1, env) == int(i) + 1 && !env.pending();
        if (ok) {
            PeerTest::OctetSeq back = m->echo->echo_octets(data, env);
            ok = !env.pending() && back.size() == 1024 && back[1023] == 5;
        }
    }
    env.clear();
    return ok;
}

bool raw_prepare(ManyArgs *m)
{
    m->fd = raw_connect(m->raw_port, kAddReq, kAddRep);
    return m->fd >= 0;
}

bool raw_adds(ManyArgs *m)
{
    char buf[kAddReq + kAddRep];
    for (long i = 0; i < client_calls; ++i)
        if (!full(m->fd, buf, kAddReq, false) || !full(m->fd, buf, kAddRep, true))
            return false;
    return true;
}

int raw_connect(uint16_t port, uint64_t req, uint64_t rep)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    client_options(fd);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        std::exit(1);
    uint64_t sizes[2] = {req, rep};
    full(fd, sizes, sizeof sizes, false);
    return fd;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

double us_since(bench::Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(bench::Clock::now() - t0).count();
}

struct Series {
    std::vector<double> orb, raw;
};

void report(char const *name, const Series &s)
{
    double m = bench::median(s.orb), mr = bench::median(s.raw);
    double p = percentile(s.orb, 0.99), pr = percentile(s.raw, 0.99);
    std::string n = name;
    bench::Digits d{1, 1, 2};
    bench::figure((n + "_median").c_str(), m, "us", mr, bench::slowdown(m, mr), d);
    bench::figure((n + "_p99").c_str(), p, "us", pr, bench::slowdown(p, pr), d);
}

// One server under n concurrent clients doing orb_mixed: CPU seconds per
// request, voluntary context switches per request and wall time in ms; false
// when a client failed.
struct Load {
    double cpu_us = 0, vcsw = 0, ivcsw = 0, wall_ms = 0;
};

bool load_run(bench::ServerProc const &srv, int n, bool omni_clients, Load &out)
{
    ManyArgs m{srv.ior, 0};
    bench::ProcStats s0, s1;
    auto started = [&] { s0 = bench::proc_stats(srv.pid); };
    auto ended = [&] { s1 = bench::proc_stats(srv.pid); };
    double ms = omni_clients
                    ? bench::run_omni_clients(n, {srv.ior, "mixed", std::to_string(client_calls)}, started, ended)
                    : bench::run_clients(
                          n, [&] { return orb_prepare(&m); }, [&] { return orb_mixed(&m); }, started, ended,
                          false);
    double requests = double(n) * 2.0 * double(client_calls);
    out.cpu_us = (s1.cpu_s - s0.cpu_s) * 1e6 / requests;
    out.vcsw = double(s1.vcsw - s0.vcsw) / requests;
    out.ivcsw = double(s1.ivcsw - s0.ivcsw) / requests;
    out.wall_ms = ms;
    return ms >= 0;
}

// The broker's server beside omniORB's, neither pinned: for 2, 8 and 32
// client processes of this broker and of omniORB, runs in turn (the order
// of the two servers swapped from run to run), each figure the median of
// its runs.
bool against_peer(bench::ServerProc const &ours, bench::ServerProc const &peer)
{
    bool ok = bool(ours);
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    bool omni = bench::bin_exists("omni_load_client");
    if (!omni)
        std::fprintf(stderr, "bench_orb: omni_load_client not built: figures with omniORB's clients skipped\n");
    std::vector<int> counts = {2, 8, 32};
    if (char const *list = std::getenv("BENCH_ORB_CLIENT_COUNTS")) {
        counts.clear();
        for (char const *p = list; *p;) {
            char *end = nullptr;
            long v = std::strtol(p, &end, 10);
            if (end == p)
                break;
            if (v > 0 && v <= 256)
                counts.push_back(int(v));
            p = *end ? end + 1 : end;
        }
    }
    for (int n : counts) {
        for (int kind = 0; kind < (omni ? 2 : 1) && ok && peer; ++kind) {
            std::vector<double> cpu_o, cpu_p, sw_o, sw_p, wall_o, wall_p;
            char const *who = kind ? "omniORB" : "broker";
            for (long r = 0; r < runs && ok; ++r) {
                Load o, p;
                if (r % 2)
                    ok = load_run(peer, n, kind, p) && load_run(ours, n, kind, o);
                else
                    ok = load_run(ours, n, kind, o) && load_run(peer, n, kind, p);
                cpu_o.push_back(o.cpu_us);
                cpu_p.push_back(p.cpu_us);
                sw_o.push_back(o.vcsw);
                sw_p.push_back(p.vcsw);
                wall_o.push_back(o.wall_ms);
                wall_p.push_back(p.wall_ms);
                std::fprintf(stderr, "bench_orb: %d %s clients run %ld: cpu/request %.1f / %.1f us, "
                                     "switches/request %.2f / %.2f (involuntary %.2f / %.2f), wall %.0f / %.0f ms\n",
                             n, who, r, o.cpu_us, p.cpu_us, o.vcsw, p.vcsw, o.ivcsw, p.ivcsw, o.wall_ms, p.wall_ms);
            }
            if (!ok) {
                std::fprintf(stderr, "bench_orb: a %s client against the servers failed\n", who);
                break;
            }
            std::string pre = "orb_" + std::to_string(n) + "clients_" + (kind ? "omni_" : "");
            double co = bench::median(cpu_o), cp = bench::median(cpu_p);
            double so = bench::median(sw_o), sp = bench::median(sw_p);
            double wo = bench::median(wall_o), wp = bench::median(wall_p);
            bench::figure((pre + "cpu_per_request").c_str(), co, "us", cp, bench::slowdown(co, cp), {1, 1, 2});
            bench::figure((pre + "switches_per_request").c_str(), so, "count", sp, bench::slowdown(so, sp),
                          {2, 2, 2});
            bench::figure((pre + "wall").c_str(), wo, "ms", wp, bench::slowdown(wo, wp), {0, 0, 2});
        }
    }
    return ok;
}

int tcp_connect(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// One whole GIOP message read and dropped; false on close or time-out.
bool read_one_message(int fd)
{
    unsigned char h[12];
    if (!full(fd, h, 12, true))
        return false;
    uint32_t size = (h[6] & 1) ? uint32_t(h[8] | h[9] << 8 | h[10] << 16 | h[11] << 24)
                               : uint32_t(h[8] << 24 | h[9] << 16 | h[10] << 8 | h[11]);
    std::vector<char> body(size);
    return size > (64u << 20) ? false : full(fd, body.data(), size, true);
}

// `pipes` connections write `add` requests without pause (and read their
// replies on threads of their own) for `seconds`, while an ordinary caller
// makes one `add` at a time: its worst call in ms and its count of calls.
struct PipeResult {
    double worst_ms = 0;
    long calls = 0;
    bool ok = false;
};

PipeResult pipelining_round(bench::ServerProc const &srv, int pipes, double seconds)
{
    PipeResult res;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key))
        return res;
    std::vector<uint8_t> batch;
    for (uint32_t i = 0; i < 32; ++i) {
        std::vector<uint8_t> m = bench::giop_add(i, key, 1, 2);
        batch.insert(batch.end(), m.begin(), m.end());
    }
    std::atomic<bool> stop{false};
    std::vector<int> fds;
    std::vector<std::thread> threads;
    for (int p = 0; p < pipes; ++p) {
        int fd = tcp_connect(port);
        if (fd < 0)
            break;
        fds.push_back(fd);
        threads.emplace_back([&, fd] {
            while (!stop && write(fd, batch.data(), batch.size()) > 0) {
            }
        });
        threads.emplace_back([&, fd] {
            std::vector<char> sink(65536);
            while (read(fd, sink.data(), sink.size()) > 0) {
            }
        });
    }
    int fd = tcp_connect(port);
    res.ok = fd >= 0 && int(fds.size()) == pipes;
    if (!res.ok)
        std::fprintf(stderr, "bench_orb: %zu of %d pipelining connections made, errno %d\n", fds.size(), pipes, errno);
    auto end = bench::Clock::now() + std::chrono::duration<double>(seconds);
    for (uint32_t i = 0; res.ok && bench::Clock::now() < end; ++i) {
        std::vector<uint8_t> m = bench::giop_add(100000 + i, key, int32_t(i), 1);
        auto t0 = bench::Clock::now();
        bool sent = write(fd, m.data(), m.size()) == ssize_t(m.size());
        res.ok = sent && read_one_message(fd);
        if (!res.ok)
            std::fprintf(stderr, "bench_orb: ordinary call %u failed (%s, errno %d) after %.1f ms\n", i,
                         sent ? "reading its reply" : "sending it", errno, us_since(t0) / 1000.0);
        double ms = us_since(t0) / 1000.0;
        if (ms > 50 && std::getenv("BENCH_ORB_PIPE_ONLY"))
            std::fprintf(stderr, "bench_orb: call %u took %.1f ms\n", i, ms);
        res.worst_ms = std::max(res.worst_ms, ms);
        res.calls += res.ok;
    }
    stop = true;
    for (int f : fds)
        shutdown(f, SHUT_RDWR);
    for (auto &t : threads)
        t.join();
    for (int f : fds)
        close(f);
    if (fd >= 0)
        close(fd);
    return res;
}

// Beside 16 pipelining connections, an ordinary caller's worst call against
// each server (rounds in turn); then, 10 s after the last round, the threads
// each server has left.
bool pipelining_against_peer(bench::ServerProc const &ours, bench::ServerProc const &peer)
{
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    std::vector<double> worst[2];
    std::vector<double> calls[2];
    bench::ServerProc const *srv[2] = {&ours, &peer};
    // A server that closes a pipelining connection must not end the bench.
    std::signal(SIGPIPE, SIG_IGN);
    for (long r = 0; r < runs; ++r)
        for (int j = 0; j < 2; ++j) {
            int k = r % 2 ? 1 - j : j;
            PipeResult p = pipelining_round(*srv[k], 16, 3.0);
            if (!p.ok) {
                std::fprintf(stderr, "bench_orb: a pipelining round failed\n");
                return false;
            }
            worst[k].push_back(p.worst_ms);
            calls[k].push_back(double(p.calls));
            std::fprintf(stderr, "bench_orb: beside 16 pipelining connections (%s): %ld calls in 3 s, worst %.2f ms\n",
                         k ? "omniORB" : "broker", p.calls, p.worst_ms);
        }
    double wo = bench::median(worst[0]), wp = bench::median(worst[1]);
    bench::figure("orb_pipelining_worst_call_vs_omniorb", wo, "ms", wp, bench::slowdown(wo, wp), {2, 2, 2});
    double co = bench::median(calls[0]), cp = bench::median(calls[1]);
    std::fprintf(stderr, "bench_orb: ordinary calls beside the pipelines: %.0f / %.0f\n", co, cp);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double to = double(bench::proc_threads(ours.pid)), tp = double(bench::proc_threads(peer.pid));
    bench::figure("orb_readers_after_burst", to, "threads", tp, bench::slowdown(to, tp), {0, 0, 2});
    return true;
}

// ---- calls pipelined on one connection, side by side ------------------------------

// A GIOP 1.0 request for `echo_string(text)`.
std::vector<uint8_t> giop_echo_string(uint32_t id, std::vector<uint8_t> const &key, std::string const &text)
{
    return bench::giop_request(id, key, "echo_string", [&](auto &u32, std::vector<uint8_t> &m) {
        u32(uint32_t(text.size() + 1));
        m.insert(m.end(), text.begin(), text.end());
        m.push_back(0);
    });
}

// The request id of the next reply on `fd` (its body dropped); -1 on close,
// time-out or another message.
int64_t read_reply_id(int fd)
{
    unsigned char h[12];
    if (!full(fd, h, 12, true) || h[7] != 1)
        return -1;
    bool little = h[6] & 1;
    auto get = [little](unsigned char const *p) {
        return little ? uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24)
                      : uint32_t(uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
    };
    uint32_t size = get(h + 8);
    if (size < 12 || size > (1u << 20))
        return -1;
    std::vector<unsigned char> body(size);
    if (!full(fd, body.data(), size, true))
        return -1;
    // Service contexts (count, then id, length and data each), then the id.
    uint32_t at = 4, count = get(body.data());
    for (uint32_t i = 0; i < count && at + 8 <= size; ++i) {
        uint32_t len = get(body.data() + at + 4);
        at = (at + 8 + len + 3) & ~3u;
    }
    return at + 4 <= size ? int64_t(get(body.data() + at)) : -1;
}

// The broker's and omniORB's Echo servers, each with echo_string("nap N")
// taking N ms.
bool nap_servers(bench::ServerProc (&srv)[2])
{
    srv[0] = bench::spawn_server({bench::bin_path("orb_echo_server"), "-ORBdiag", "none", "-nap"});
    srv[1] = bench::start_peer_server({"-nap"});
    if (!srv[0])
        std::fprintf(stderr, "bench_orb: orb_echo_server -nap gave no IOR\n");
    return srv[0] && srv[1];
}

// A short call behind `slow` calls of 20 ms sent with it in one write on
// one connection, `rounds` times: the short call's time, in ms, for each
// round (all replies read before the next). False when a call failed.
bool short_behind_slow_rounds(bench::ServerProc const &srv, int slow, int rounds, std::vector<double> &ms)
{
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key))
        return false;
    int fd = tcp_connect(port);
    if (fd < 0)
        return false;
    bool ok = true;
    uint32_t id = 1;
    for (int r = 0; ok && r < rounds; ++r) {
        std::vector<uint8_t> all;
        for (int k = 0; k < slow; ++k) {
            std::vector<uint8_t> m = giop_echo_string(id++, key, "nap 20");
            all.insert(all.end(), m.begin(), m.end());
        }
        uint32_t short_id = id++;
        std::vector<uint8_t> m = bench::giop_add(short_id, key, 1, 2);
        all.insert(all.end(), m.begin(), m.end());
        auto t0 = bench::Clock::now();
        ok = write(fd, all.data(), all.size()) == ssize_t(all.size());
        for (int k = 0; ok && k <= slow; ++k) {
            int64_t got = read_reply_id(fd);
            ok = got >= 0;
            if (got == int64_t(short_id))
                ms.push_back(us_since(t0) / 1000.0);
        }
        // The slow calls of this round have all ended.
    }
    close(fd);
    return ok;
}

// Mixed calls pipelined on `conns` connections for `seconds`: each keeps up
// to 8 calls outstanding, a slow one (echo_string "nap N", N from 0 to 50
// ms) and then three short ones (`add`) in turn. The calls completed and
// each short call's time (ms).
struct MixedResult {
    long calls = 0;
    std::vector<double> short_ms;
    bool ok = false;
};

MixedResult mixed_pipelined_round(bench::ServerProc const &srv, int conns, double seconds)
{
    MixedResult res;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key))
        return res;
    constexpr int kWindow = 8;
    struct Conn {
        int fd = -1;
        std::mutex mtx;
        std::condition_variable cv;
        int outstanding = 0;
        bool failed = false;
        std::vector<std::pair<bench::Clock::time_point, bool>> sent; // by id: when, short
        long done = 0;
        std::vector<double> short_ms;
    };
    std::vector<std::unique_ptr<Conn>> cs;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    auto end = bench::Clock::now() + std::chrono::duration<double>(seconds);
    for (int c = 0; c < conns; ++c) {
        auto conn = std::make_unique<Conn>();
        conn->fd = tcp_connect(port);
        if (conn->fd < 0)
            break;
        conn->sent.reserve(1 << 20);
        Conn *k = conn.get();
        cs.push_back(std::move(conn));
        threads.emplace_back([&, k, c] {
            uint32_t n = 0;
            unsigned seed = 12345u + unsigned(c);
            while (!stop) {
                std::unique_lock<std::mutex> g(k->mtx);
                k->cv.wait(g, [&] { return k->outstanding < kWindow || stop || k->failed; });
                if (stop || k->failed || k->sent.size() >= (1u << 20))
                    break;
                bool is_short = n % 4 != 0;
                uint32_t id = uint32_t(k->sent.size());
                k->sent.push_back({bench::Clock::now(), is_short});
                ++k->outstanding;
                g.unlock();
                seed = seed * 1103515245u + 12345u;
                std::vector<uint8_t> m = is_short ? bench::giop_add(id, key, 1, 2)
                                                  : giop_echo_string(id, key, "nap " + std::to_string((seed >> 16) % 51));
                if (write(k->fd, m.data(), m.size()) != ssize_t(m.size())) {
                    std::lock_guard<std::mutex> l(k->mtx);
                    k->failed = true;
                    break;
                }
                ++n;
            }
        });
        threads.emplace_back([&, k] {
            for (;;) {
                int64_t id = read_reply_id(k->fd);
                std::lock_guard<std::mutex> g(k->mtx);
                if (id < 0 || size_t(id) >= k->sent.size()) {
                    if (!stop)
                        k->failed = true;
                    k->cv.notify_all();
                    return;
                }
                --k->outstanding;
                if (bench::Clock::now() < end) {
                    ++k->done;
                    if (k->sent[size_t(id)].second)
                        k->short_ms.push_back(
                            std::chrono::duration<double, std::milli>(bench::Clock::now() - k->sent[size_t(id)].first)
                                .count());
                }
                k->cv.notify_all();
            }
        });
    }
    res.ok = int(cs.size()) == conns;
    while (res.ok && bench::Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (auto &k : cs) {
        std::lock_guard<std::mutex> g(k->mtx);
        k->cv.notify_all();
    }
    // The last replies are read (their calls ended within the time or not),
    // then the connections go.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (auto &k : cs)
        shutdown(k->fd, SHUT_RDWR);
    for (auto &t : threads)
        t.join();
    for (auto &k : cs) {
        close(k->fd);
        res.ok = res.ok && !k->failed;
        res.calls += k->done;
        res.short_ms.insert(res.short_ms.end(), k->short_ms.begin(), k->short_ms.end());
    }
    return res;
}

// Calls pipelined on one connection against both servers, rounds in turn:
// a short call behind 4 slow (20 ms) calls (orb_short_call_behind_4_slow_calls,
// the median), and the mixed pipelined load on 4 connections
// (orb_mixed_pipelined_calls: calls completed in the time, omniORB's over
// ours as the ratio; the short calls' median time on standard error).
// BENCH_ORB_SIDE_BY_SIDE_ONLY runs these alone.
bool pipelined_side_by_side_against_peer()
{
    bench::ServerProc srv[2];
    if (!nap_servers(srv)) {
        for (auto &s : srv)
            bench::stop_server(s);
        return !srv[1] && srv[0];
    }
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    bool ok = true;
    std::vector<double> behind[2];
    for (long r = 0; ok && r < runs * 4; ++r)
        for (int j = 0; ok && j < 2; ++j) {
            int k = r % 2 ? 1 - j : j;
            ok = short_behind_slow_rounds(srv[k], 4, 10, behind[k]);
        }
    if (ok) {
        double o = bench::median(behind[0]), p = bench::median(behind[1]);
        std::fprintf(stderr, "bench_orb: short call behind 4 slow calls: median %.2f / %.2f ms, p90 %.2f / %.2f ms\n",
                     o, p, percentile(behind[0], 0.9), percentile(behind[1], 0.9));
        bench::figure("orb_short_call_behind_4_slow_calls", o, "ms", p, bench::slowdown(o, p), {2, 2, 2});
    }
    std::vector<double> calls[2], shorts[2];
    for (long r = 0; ok && r < runs; ++r)
        for (int j = 0; ok && j < 2; ++j) {
            int k = r % 2 ? 1 - j : j;
            MixedResult m = mixed_pipelined_round(srv[k], 4, 5.0);
            ok = m.ok;
            calls[k].push_back(double(m.calls));
            shorts[k].insert(shorts[k].end(), m.short_ms.begin(), m.short_ms.end());
            std::fprintf(stderr, "bench_orb: mixed pipelined load (%s): %ld calls in 5 s, short median %.2f ms\n",
                         k ? "omniORB" : "broker", m.calls, m.short_ms.empty() ? 0.0 : bench::median(m.short_ms));
        }
    if (ok) {
        double o = bench::median(calls[0]), p = bench::median(calls[1]);
        std::fprintf(stderr, "bench_orb: mixed pipelined load: short calls' median %.2f / %.2f ms\n",
                     bench::median(shorts[0]), bench::median(shorts[1]));
        bench::figure("orb_mixed_pipelined_calls", o, "calls", p, o > 0 ? p / o : 0, {0, 0, 2});
    } else {
        std::fprintf(stderr, "bench_orb: a pipelined call failed\n");
    }
    for (auto &s : srv)
        bench::stop_server(s);
    return ok;
}

// Makes `n` connections to a server, each served one `add` when `served`
// (its reply read), none otherwise; false when one failed.
bool open_connections(uint16_t port, std::vector<uint8_t> const &key, int n, bool served, std::vector<int> &fds)
{
    for (int i = 0; i < n; ++i) {
        int fd = tcp_connect(port);
        if (fd < 0)
            return false;
        fds.push_back(fd);
        if (!served)
            continue;
        std::vector<uint8_t> m = bench::giop_add(uint32_t(i), key, i, 1);
        if (write(fd, m.data(), m.size()) != ssize_t(m.size()) || !read_one_message(fd))
            return false;
    }
    return true;
}

// The memory each of 1000 idle connections costs a server: its resident
// size with them held minus before, per connection, for connections that
// never sent anything and for connections served one `add` each, both
// counted `idle_s` seconds after the last was made (by when a server's
// surplus threads have ended). The broker's server beside omniORB's, each
// started afresh for every count (and warmed by one call), rounds in turn.
bool idle_connections_against_peer()
{
    constexpr int kConns = 1000;
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    double idle_s = double(bench::env_count("BENCH_ORB_IDLE_MS", 4000)) / 1000.0;
    if (!bench::bin_exists("omni_echo_server")) {
        std::fprintf(stderr, "bench_orb: omni_echo_server not built: idle connections skipped\n");
        return true;
    }
    char const *kind[2] = {"never_served", "served_once"};
    bool ok = true;
    for (int served = 0; served < 2 && ok; ++served) {
        std::vector<double> kib[2];
        for (long r = 0; r < runs && ok; ++r)
            for (int j = 0; j < 2 && ok; ++j) {
                int k = r % 2 ? 1 - j : j;
                bench::ServerProc srv = k ? bench::start_peer_server() : bench::start_orb_server();
                uint16_t port = 0;
                std::vector<uint8_t> key;
                std::vector<int> fds;
                ok = srv && bench::ior_profile(srv.ior, port, key) && open_connections(port, key, 1, true, fds);
                for (int f : fds)
                    close(f);
                fds.clear();
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                long before = bench::proc_rss_kib(srv.pid);
                ok = ok && open_connections(port, key, kConns, served, fds);
                std::this_thread::sleep_for(std::chrono::duration<double>(idle_s));
                long after = bench::proc_rss_kib(srv.pid);
                size_t threads = bench::proc_threads(srv.pid);
                for (int f : fds)
                    close(f);
                bench::stop_server(srv);
                kib[k].push_back(double(after - before) / kConns);
                std::fprintf(stderr, "bench_orb: %d connections %s (%s): %ld -> %ld KiB, %.1f KiB each, %zu threads\n",
                             kConns, kind[served], k ? "omniORB" : "broker", before, after, kib[k].back(), threads);
            }
        if (!ok) {
            std::fprintf(stderr, "bench_orb: a server or a connection for the idle connections failed\n");
            break;
        }
        double o = bench::median(kib[0]), p = bench::median(kib[1]);
        bench::figure((std::string("orb_idle_connection_KiB_vs_omniorb_") + kind[served]).c_str(), o, "KiB", p,
                      o / p, {1, 1, 2});
    }
    return ok;
}

// Clients that close without reading their reply: `threads` threads each
// make `per_thread` connections that send an `add` (`send_after_ms` after
// connecting) and close at once, while the server's descriptors and
// resident size are sampled; the peaks.
struct FloodPeak {
    double fds = 0, mib = 0, ms = 0;
    bool ok = false;
};

FloodPeak flood_round(bench::ServerProc const &srv, int threads, int per_thread, int send_after_ms = 0)
{
    FloodPeak res;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key))
        return res;
    std::vector<uint8_t> m = bench::giop_add(1, key, 1, 2);
    std::atomic<bool> done{false};
    std::atomic<int> failed{0};
    size_t peak_fds = 0;
    long peak_kib = 0;
    std::thread sampler([&] {
        while (!done.load()) {
            peak_fds = std::max(peak_fds, bench::proc_fds(srv.pid));
            peak_kib = std::max(peak_kib, bench::proc_rss_kib(srv.pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::vector<std::thread> ts;
    auto t0 = bench::Clock::now();
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < per_thread; ++i) {
                int fd = tcp_connect(port);
                if (fd < 0) {
                    ++failed;
                    continue;
                }
                if (send_after_ms)
                    std::this_thread::sleep_for(std::chrono::milliseconds(send_after_ms));
                if (write(fd, m.data(), m.size()) != ssize_t(m.size()))
                    ++failed;
                close(fd);
            }
        });
    for (auto &t : ts)
        t.join();
    res.ms = us_since(t0) / 1000.0;
    // The server's ends of the last connections go within a second.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    done = true;
    sampler.join();
    res.fds = double(peak_fds);
    res.mib = double(peak_kib) / 1024.0;
    res.ok = failed.load() == 0;
    return res;
}

// The flood against both servers, each started afresh, rounds in turn: the
// peak descriptors and resident size, ours / omniORB's.
bool flood_against_peer()
{
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    bench::ServerProc srv[2] = {bench::start_orb_server(), bench::start_peer_server()};
    bool ok = srv[0] && srv[1];
    // At once: 16 clients of 1000 connections; late: 300 clients of 10
    // connections that each send 30 ms after connecting.
    struct Kind {
        char const *what, *name;
        int threads, per_thread, send_after_ms;
    } const kinds[] = {{"", "orb_flood_peak", 16, 1000, 0}, {"sent 30 ms late, ", "orb_late_flood_peak", 300, 10, 30}};
    for (const Kind &kind : kinds) {
        std::vector<double> fds[2], mib[2];
        for (long r = 0; r < runs && ok; ++r)
            for (int j = 0; j < 2 && ok; ++j) {
                int k = r % 2 ? 1 - j : j;
                FloodPeak p = flood_round(srv[k], kind.threads, kind.per_thread, kind.send_after_ms);
                ok = p.ok;
                fds[k].push_back(p.fds);
                mib[k].push_back(p.mib);
                std::fprintf(stderr,
                             "bench_orb: flood of clients gone without their reply (%s%s): peak %.0f fds, %.1f MiB, "
                             "%.0f ms\n",
                             kind.what, k ? "omniORB" : "broker", p.fds, p.mib, p.ms);
            }
        if (!ok)
            break;
        double fo = bench::median(fds[0]), fp = bench::median(fds[1]);
        double mo = bench::median(mib[0]), mp = bench::median(mib[1]);
        std::string n = kind.name;
        bench::figure((n + "_fds_vs_omniorb").c_str(), fo, "fds", fp, fo / fp, {0, 0, 2});
        bench::figure((n + "_MiB_vs_omniorb").c_str(), mo, "MiB", mp, mo / mp, {1, 1, 2});
    }
    if (!ok && srv[0] && srv[1]) {
        std::fprintf(stderr, "bench_orb: a flood client failed\n");
    }
    for (auto &s : srv)
        bench::stop_server(s);
    return ok || !srv[1];
}

// A GIOP 1.0 request for echo_octets of `n` octets on `key`.
std::vector<uint8_t> giop_echo_octets(uint32_t id, std::vector<uint8_t> const &key, uint32_t n)
{
    return bench::giop_request(id, key, "echo_octets", [&](auto &u32, std::vector<uint8_t> &m) {
        u32(n);
        m.resize(m.size() + n, 0x5A);
    });
}

// A connection to 127.0.0.1:port within `ms` (blocking once made, sends
// bounded by `ms` as well); -1 when none was made in time.
int tcp_connect_within(uint16_t port, int ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        pollfd pf{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (errno != EINPROGRESS || poll(&pf, 1, ms) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            close(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// Large requests from clients that close without reading their reply:
// `clients` threads each connect, send an `echo_octets` of `size` octets
// and close, again and again, for `seconds`, while an ordinary caller makes
// `add` calls on a connection it keeps and another makes each call on a new
// connection (each 5 ms after the last answer). The server's peak
// descriptors and resident size are sampled; cycles counts the requests
// sent whole.
struct LargeFlood {
    double fds = 0, mib = 0, cycles = 0, kept_ms = 0, new_ms = 0;
    long kept_calls = 0, new_calls = 0;
    int failed = 0;
    bool ok = false;
};

LargeFlood large_flood_round(bench::ServerProc const &srv, uint32_t size, int clients, double seconds)
{
    LargeFlood res;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key))
        return res;
    std::vector<uint8_t> const req = giop_echo_octets(1, key, size);
    std::vector<uint8_t> const add = bench::giop_add(2, key, 1, 2);
    std::atomic<bool> stop{false}, sampling{true};
    std::atomic<long> cycles{0};
    std::atomic<int> failed{0};
    size_t peak_fds = 0;
    long peak_kib = 0;
    std::thread sampler([&] {
        while (sampling.load()) {
            peak_fds = std::max(peak_fds, bench::proc_fds(srv.pid));
            peak_kib = std::max(peak_kib, bench::proc_rss_kib(srv.pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // An ordinary caller: the worst time of a call (ms), counted while the
    // flood runs (a call unanswered within 10 s fails).
    auto caller = [&](bool kept, double &worst, long &calls) {
        int fd = kept ? tcp_connect_within(port, 10000) : -1;
        if (kept && fd < 0) {
            ++failed;
            return;
        }
        while (!stop.load()) {
            auto t0 = bench::Clock::now();
            int c = kept ? fd : tcp_connect_within(port, 10000);
            bool ok = c >= 0 && write(c, add.data(), add.size()) == ssize_t(add.size()) && read_one_message(c);
            if (!kept && c >= 0)
                close(c);
            // A failed call counts with the time it took; a kept
            // connection is made again.
            worst = std::max(worst, us_since(t0) / 1000.0);
            if (!ok) {
                ++failed;
                if (kept) {
                    close(fd);
                    fd = c = tcp_connect_within(port, 10000);
                    if (fd < 0)
                        break;
                }
                continue;
            }
            ++calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (fd >= 0)
            close(fd);
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < clients; ++t)
        ts.emplace_back([&] {
            while (!stop.load()) {
                int fd = tcp_connect_within(port, 1000);
                if (fd < 0)
                    continue;
                size_t at = 0;
                while (at < req.size() && !stop.load()) {
                    ssize_t n = write(fd, req.data() + at, req.size() - at);
                    if (n <= 0 && errno != EAGAIN && errno != EINTR)
                        break;
                    at += n > 0 ? size_t(n) : 0;
                }
                close(fd);
                if (at == req.size())
                    ++cycles;
            }
        });
    // The ordinary callers start once the flood has begun.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::thread kept([&] { caller(true, res.kept_ms, res.kept_calls); });
    std::thread fresh([&] { caller(false, res.new_ms, res.new_calls); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    long sent = cycles.load();
    kept.join();
    fresh.join();
    for (auto &t : ts)
        t.join();
    // The server's ends of the last connections go within a second.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sampling = false;
    sampler.join();
    res.fds = double(peak_fds);
    res.mib = double(peak_kib) / 1024.0;
    res.cycles = double(sent);
    res.failed = failed.load();
    res.ok = res.failed == 0 && res.kept_calls > 0 && res.new_calls > 0;
    return res;
}

// The large-request flood against both servers, each started afresh for
// every round, rounds in turn, for each size and number of clients
// (BENCH_ORB_LFLOOD, default "65536:200,65536:2000,1048576:200,1048576:2000",
// BENCH_ORB_LFLOOD_S seconds each, default 5, BENCH_ORB_LFLOOD_RUNS rounds,
// default 5): peak descriptors and resident size, cycles (requests sent
// whole) and the worst ordinary call on a kept and on a new connection,
// ours / omniORB's, each the median of the rounds. The flood keeps either
// server's listen queue full, so a new connection's first SYN is often
// dropped and sent again by TCP after 1 s (then 3 s): the worst call on a
// new connection is mostly those retries, and one unlucky round decides a
// median of two; an odd number of rounds gives a true median.
bool large_flood_against_peer()
{
    if (!bench::bin_exists("omni_echo_server")) {
        std::fprintf(stderr, "bench_orb: omni_echo_server not built: large-request flood skipped\n");
        return true;
    }
    // Room for the servers' descriptors when they fall behind.
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = std::min<rlim_t>(65536, nofile.rlim_max);
        setrlimit(RLIMIT_NOFILE, &nofile);
    }
    std::signal(SIGPIPE, SIG_IGN);
    char const *sizes = std::getenv("BENCH_ORB_LFLOOD");
    std::string list = sizes && *sizes ? sizes : "65536:200,65536:2000,1048576:200,1048576:2000";
    long runs = bench::env_count("BENCH_ORB_LFLOOD_RUNS", 5);
    double seconds = double(bench::env_count("BENCH_ORB_LFLOOD_S", 5));
    bool ok = true;
    for (size_t at = 0; at < list.size() && ok;) {
        size_t end = list.find(',', at);
        std::string item = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? list.size() : end + 1;
        unsigned long size = 0;
        int clients = 0;
        if (std::sscanf(item.c_str(), "%lu:%d", &size, &clients) != 2 || size == 0 || size > (64ul << 20) ||
            clients <= 0 || clients > 5000)
            continue;
        std::vector<double> v[2][5];
        for (long r = 0; r < runs && ok; ++r)
            for (int j = 0; j < 2 && ok; ++j) {
                int k = r % 2 ? 1 - j : j;
                bench::ServerProc srv = k ? bench::start_peer_server() : bench::start_orb_server();
                ok = bool(srv);
                LargeFlood f = ok ? large_flood_round(srv, uint32_t(size), clients, seconds) : LargeFlood{};
                bench::stop_server(srv);
                std::fprintf(stderr,
                             "bench_orb: large-request flood, %lu octets, %d clients (%s): peak %.0f fds, %.1f MiB, "
                             "%.0f cycles, worst call %.1f ms kept (%ld calls), %.1f ms new (%ld calls)%s\n",
                             size, clients, k ? "omniORB" : "broker", f.fds, f.mib, f.cycles, f.kept_ms,
                             f.kept_calls, f.new_ms, f.new_calls, f.ok ? "" : ", ordinary calls failed");
                double got[5] = {f.fds, f.mib, f.cycles, f.kept_ms, f.new_ms};
                for (int i = 0; i < 5; ++i)
                    v[k][i].push_back(got[i]);
            }
        if (!ok) {
            std::fprintf(stderr, "bench_orb: a server for the large-request flood failed\n");
            break;
        }
        char const *names[5] = {"peak_fds", "peak_MiB", "cycles", "kept_worst_ms", "new_worst_ms"};
        char const *units[5] = {"fds", "MiB", "count", "ms", "ms"};
        for (int i = 0; i < 5; ++i) {
            double o = bench::median(v[0][i]), p = bench::median(v[1][i]);
            std::string n = "orb_large_flood_" + std::to_string(size >> 10) + "KiB_" + std::to_string(clients) +
                            "_" + names[i] + "_vs_omniorb";
            bench::figure(n.c_str(), o, units[i], p, p > 0 ? o / p : 0, {1, 1, 2});
        }
    }
    return ok;
}

// ---- connections pipelining slow calls ---------------------------------------------

// An echo_string("nap N") request with a priority-range context naming
// the band [p, p] (ignored by a server without bands).
std::vector<uint8_t> giop_nap_in_band(uint32_t id, std::vector<uint8_t> const &key, int nap_ms, uint16_t p)
{
    std::vector<uint8_t> m = giop_echo_string(id, key, "nap " + std::to_string(nap_ms));
    // One context (id 11, 6 octets, big-endian), then 2 octets of padding:
    // 16 octets in all, so everything behind keeps its alignment.
    uint8_t hi = uint8_t(p >> 8), lo = uint8_t(p);
    std::vector<uint8_t> ctx = {0, 0, 0, 11, 0, 0, 0, 6, 0, 0, hi, lo, hi, lo, 0, 0};
    m[15] = 1;
    m.insert(m.begin() + 16, ctx.begin(), ctx.end());
    uint32_t body = uint32_t(m.size() - 12);
    for (int i = 0; i < 4; ++i)
        m[8 + i] = uint8_t(body >> (8 * (3 - i)));
    return m;
}

struct SlowPipes {
    double kept_ms = 0, new_ms = 0;
    long kept_calls = 0, new_calls = 0;
    int failed = 0;
};

// `clients` connections each write `calls` calls that take `nap_ms` in
// one go (with `bands`, each in a band of its own) and then half-close
// (end 0), keep their writing side open (1) or close (2), never reading;
// meanwhile an ordinary caller calls `add` every 100 ms on a kept
// connection and every 200 ms on a new one, for `seconds`: the worst of
// each (ms; a call unanswered within 10 s fails and counts with its time).
SlowPipes slow_pipes_round(bench::ServerProc const &srv, int clients, int calls, int nap_ms, int end, bool bands,
                           double seconds)
{
    SlowPipes res;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key)) {
        res.failed = 1;
        return res;
    }
    std::vector<int> load;
    uint32_t id = 1;
    for (int c = 0; c < clients; ++c) {
        int fd = tcp_connect_within(port, 10000);
        if (fd < 0) {
            ++res.failed;
            continue;
        }
        std::vector<uint8_t> all;
        for (int k = 0; k < calls; ++k) {
            std::vector<uint8_t> m = bands ? giop_nap_in_band(id, key, nap_ms, uint16_t(2000 + c))
                                           : giop_echo_string(id, key, "nap " + std::to_string(nap_ms));
            ++id;
            all.insert(all.end(), m.begin(), m.end());
        }
        if (write(fd, all.data(), all.size()) != ssize_t(all.size()))
            ++res.failed;
        if (end == 0)
            shutdown(fd, SHUT_WR);
        if (end == 2)
            close(fd);
        else
            load.push_back(fd);
    }
    std::vector<uint8_t> const add = bench::giop_add(2, key, 1, 2);
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    auto caller = [&](bool kept, double &worst, long &count) {
        int fd = kept ? tcp_connect_within(port, 10000) : -1;
        while (!stop.load()) {
            auto t0 = bench::Clock::now();
            int c = kept ? fd : tcp_connect_within(port, 10000);
            bool ok = c >= 0 && write(c, add.data(), add.size()) == ssize_t(add.size()) && read_one_message(c);
            if (!kept && c >= 0)
                close(c);
            worst = std::max(worst, us_since(t0) / 1000.0);
            if (ok) {
                ++count;
            } else {
                ++failed;
                if (kept) {
                    if (fd >= 0)
                        close(fd);
                    fd = tcp_connect_within(port, 10000);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kept ? 100 : 200));
        }
        if (fd >= 0)
            close(fd);
    };
    std::thread kept([&] { caller(true, res.kept_ms, res.kept_calls); });
    std::thread fresh([&] { caller(false, res.new_ms, res.new_calls); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    kept.join();
    fresh.join();
    for (int fd : load)
        close(fd);
    res.failed += failed.load();
    return res;
}

// Connections pipelining slow calls beside ordinary calls, against both
// servers (each started afresh for every round, with echo_string("nap N")
// taking N ms), one round each in turn for each row: 200 clients x 16
// calls of 1 s, half-closed, writing side kept open or closed, and 200
// clients x 4 calls of 5 s, each in a band of its own (omniORB ignores the
// band), half-closed. Figures: the ordinary caller's worst call on a new
// and on a kept connection (orb_slow_pipelines_<row>_{new,kept}_worst_ms_vs_omniorb);
// BENCH_ORB_SLOW_PIPES_S seconds a round (default 5), BENCH_ORB_SLOW_PIPES
// the rows (default "halfclose,open,close,bands"); BENCH_ORB_SLOW_PIPES_ONLY
// runs these alone.
bool slow_pipes_against_peer()
{
    if (!bench::bin_exists("omni_echo_server")) {
        std::fprintf(stderr, "bench_orb: omni_echo_server not built: slow pipelines skipped\n");
        return true;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct Row {
        char const *name;
        int clients, calls, nap_ms, end;
        bool bands;
    } rows[] = {{"halfclose", 200, 16, 1000, 0, false},
                {"open", 200, 16, 1000, 1, false},
                {"close", 200, 16, 1000, 2, false},
                {"bands", 200, 4, 5000, 0, true}};
    char const *wanted = std::getenv("BENCH_ORB_SLOW_PIPES");
    std::string list = wanted && *wanted ? wanted : "halfclose,open,close,bands";
    double seconds = double(bench::env_count("BENCH_ORB_SLOW_PIPES_S", 5));
    bool ok = true;
    for (const Row &r : rows) {
        if (("," + list + ",").find(std::string(",") + r.name + ",") == std::string::npos)
            continue;
        SlowPipes got[2];
        for (int j = 0; j < 2 && ok; ++j) {
            bench::ServerProc srv =
                j ? bench::start_peer_server({"-nap"})
                  : bench::spawn_server({bench::bin_path("orb_echo_server"), "-ORBdiag", "none", "-nap"});
            ok = bool(srv);
            if (ok)
                got[j] = slow_pipes_round(srv, r.clients, r.calls, r.nap_ms, r.end, r.bands, seconds);
            bench::stop_server(srv);
            std::fprintf(stderr,
                         "bench_orb: slow pipelines %s, %d clients x %d calls of %d ms (%s): worst call %.1f ms new "
                         "(%ld calls), %.1f ms kept (%ld calls), %d failed\n",
                         r.name, r.clients, r.calls, r.nap_ms, j ? "omniORB" : "broker", got[j].new_ms,
                         got[j].new_calls, got[j].kept_ms, got[j].kept_calls, got[j].failed);
        }
        if (!ok) {
            std::fprintf(stderr, "bench_orb: a server for the slow pipelines failed\n");
            break;
        }
        std::string n = std::string("orb_slow_pipelines_") + r.name;
        bench::figure((n + "_new_worst_ms_vs_omniorb").c_str(), got[0].new_ms, "ms", got[1].new_ms,
                      bench::slowdown(got[0].new_ms, got[1].new_ms), {1, 1, 2});
        bench::figure((n + "_kept_worst_ms_vs_omniorb").c_str(), got[0].kept_ms, "ms", got[1].kept_ms,
                      bench::slowdown(got[0].kept_ms, got[1].kept_ms), {1, 1, 2});
    }
    return ok;
}

// A short call beside a slow servant on the same connection: one thread
// calls `echo_string` of a server where it takes 10 ms, one call after
// another, while this one times `add` calls on the same reference (the
// broker's client sends both over its one connection to the server). The
// baseline is the same calls with no slow one running, in blocks taken in
// turn; the figure is the median.
bool short_call_beside_slow_servant(CORBA::ORB *orb)
{
    bench::ServerProc srv =
        bench::spawn_server({bench::bin_path("orb_echo_server"), "-ORBdiag", "none", "-slow_ms", "10"});
    if (!srv) {
        std::fprintf(stderr, "bench_orb: orb_echo_server -slow_ms gave no IOR\n");
        return false;
    }
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::Object *obj = orb->string_to_object(srv.ior.c_str(), env);
    PeerTest::Echo *echo = obj ? PeerTest::Echo::_narrow(obj) : nullptr;
    bool ok = echo && !env.pending();
    for (int i = 0; ok && i < 200; ++i)
        ok = (echo->add(i, 1, env), !env.pending());
    std::atomic<bool> slow{false}, stop{false}, slow_failed{false};
    std::thread slow_caller([&] {
        CORBA::EnvironmentWrapper e(new CORBA::EnvironmentInfo(0));
        while (ok && !stop) {
            if (!slow) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            char *back = echo->echo_string("slow", e);
            CORBA::string_free(back);
            if (e.pending()) {
                slow_failed = true;
                e.clear();
                break;
            }
        }
    });
    std::vector<double> alone, beside;
    for (int block = 0; ok && block < 40; ++block) {
        slow = block % 2 == 1;
        // The slow calls have begun (or the last of them has ended).
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        std::vector<double> &into = slow ? beside : alone;
        for (int i = 0; ok && i < 20; ++i) {
            auto t0 = bench::Clock::now();
            echo->add(i, 1, env);
            into.push_back(us_since(t0));
            ok = !env.pending();
            // Calls spread over the servant's run.
            std::this_thread::sleep_for(std::chrono::microseconds(300 + 700 * (i % 3)));
        }
    }
    stop = true;
    slow_caller.join();
    if (env.pending() || slow_failed)
        std::fprintf(stderr, "bench_orb: a call beside the slow servant failed\n");
    ok = ok && !slow_failed;
    CORBA::release(echo);
    CORBA::release(obj);
    bench::stop_server(srv);
    if (!ok)
        return false;
    double b = bench::median(beside), a = bench::median(alone);
    std::fprintf(stderr, "bench_orb: short call beside a 10 ms servant: median %.0f us, p90 %.0f us (alone %.0f us)\n",
                 b, percentile(beside, 0.9), a);
    bench::figure("orb_short_call_beside_slow_servant", b, "us", a, bench::slowdown(b, a), {1, 1, 2});
    return true;
}

// Large echoes from this process's client to the broker's server and to
// omniORB's (started with room for them), in short blocks in turn: the
// median time per call, ours / omniORB's. False when a call failed; where
// omniORB's server is missing the figures are skipped (with a line saying so).
bool large_against_peer(CORBA::ORB *orb)
{
    bench::ServerProc servers[2] = {bench::start_orb_server(),
                                    bench::start_peer_server({"-ORBgiopMaxMsgSize", "67108864"})};
    bool ok = bool(servers[0]);
    PeerTest::Echo *echo[2] = {};
    CORBA::Object *obj[2] = {};
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    for (int k = 0; k < 2 && ok && servers[1]; ++k) {
        obj[k] = orb->string_to_object(servers[k].ior.c_str(), env);
        echo[k] = obj[k] ? PeerTest::Echo::_narrow(obj[k]) : nullptr;
        ok = echo[k] && !env.pending();
    }
    long large_calls = bench::env_count("BENCH_ORB_LARGE_CALLS", 12);
    struct Size {
        char const *name;
        size_t bytes;
        long calls;
    } sizes[] = {{"1MiB", size_t(1) << 20, large_calls * 5}};
    for (const Size &z : sizes) {
        if (!ok || !servers[1])
            break;
        PeerTest::OctetSeq data(z.bytes, 7);
        std::vector<double> ms[2];
        bench::ProcStats s0[2], s1[2];
        auto call = [&](int k) {
            auto t0 = bench::Clock::now();
            PeerTest::OctetSeq back = echo[k]->echo_octets(data, env);
            ok = ok && !env.pending() && back.size() == z.bytes;
            return us_since(t0) / 1000.0;
        };
        for (int k = 0; k < 2; ++k)
            for (int i = 0; i < 3; ++i)
                call(k);
        for (int k = 0; k < 2; ++k)
            s0[k] = bench::proc_stats(servers[k].pid);
        for (long done = 0; done < z.calls && ok; done += 3)
            for (int k = 0; k < 2; ++k)
                for (int i = 0; i < 3; ++i)
                    ms[k].push_back(call(k));
        for (int k = 0; k < 2; ++k)
            s1[k] = bench::proc_stats(servers[k].pid);
        if (!ok)
            break;
        double n = double(ms[0].size());
        std::fprintf(stderr, "bench_orb: echo_octets %s: server cpu/call %.2f / %.2f ms, minor faults/call %.0f / %.0f\n",
                     z.name, (s1[0].cpu_s - s0[0].cpu_s) * 1e3 / n, (s1[1].cpu_s - s0[1].cpu_s) * 1e3 / n,
                     double(s1[0].minflt - s0[0].minflt) / n, double(s1[1].minflt - s0[1].minflt) / n);
        double mo = bench::median(ms[0]), mp = bench::median(ms[1]);
        bench::figure((std::string("orb_echo_octets_") + z.name + "_broker_client_vs_omniorb").c_str(), mo, "ms",
                      mp, bench::slowdown(mo, mp), {2, 2, 2});
    }
    if (!ok)
        std::fprintf(stderr, "bench_orb: a large echo failed%s%s\n", env.pending() ? ": " : "",
                     env.pending() ? env.exception()->wq_ir_name() : "");
    env.clear();
    for (int k = 0; k < 2; ++k) {
        CORBA::release(echo[k]);
        CORBA::release(obj[k]);
        bench::stop_server(servers[k]);
    }
    return ok;
}

// One omni_echo_bulk client (omniORB's) against `srv`: `warm` calls of
// `bytes`, then `calls` measured ones. Appends each measured call's time,
// and adds the server's minor page faults and CPU seconds over them to
// `faults` and `cpu_s`. False when the client failed.
bool omni_bulk_run(bench::ServerProc const &srv, size_t bytes, long warm, long calls, std::vector<double> &ms,
                   double &faults, double &cpu_s)
{
    bench::ChildProc c;
    bool ok = c.start({bench::bin_path("omni_echo_bulk"), srv.ior, std::to_string(bytes), std::to_string(warm),
                       std::to_string(calls)});
    // "ready" before the measured calls and after them: the server's figures
    // are taken there; any other line is a call's time.
    size_t had = ms.size();
    bench::ProcStats at[2];
    int readies = 0;
    std::string l;
    while (ok && readies < 2 && c.line(l, 600)) {
        if (l.compare(0, 5, "ready") != 0) {
            ms.push_back(std::strtod(l.c_str(), nullptr));
            continue;
        }
        at[readies++] = bench::proc_stats(srv.pid);
        c.go();
    }
    // The client ends after its last "ready" has been answered.
    while (ok && c.line(l, 60)) {
    }
    ok = c.finish() && ok;
    if (readies == 2) {
        faults += double(at[1].minflt - at[0].minflt);
        cpu_s += at[1].cpu_s - at[0].cpu_s;
    }
    return ok && readies == 2 && long(ms.size() - had) == calls;
}

// Echoes of 64 KiB, 1 MiB and 16 MiB from omniORB's client (the one most
// users have) to the broker's server and to omniORB's, neither pinned, in
// client processes of a few calls each, in turn: the median time per call,
// ours / omniORB's, with the servers' CPU time and minor page faults per
// call on standard error. Skipped where the omniORB programs are missing.
bool large_omni_client()
{
    if (!bench::bin_exists("omni_echo_bulk")) {
        std::fprintf(stderr, "bench_orb: omni_echo_bulk not built: echoes from omniORB's client skipped\n");
        return true;
    }
    cpu_set_t kept, all;
    sched_getaffinity(0, sizeof kept, &kept);
    CPU_ZERO(&all);
    for (long c = 0; c < sysconf(_SC_NPROCESSORS_ONLN) && c < CPU_SETSIZE; ++c)
        CPU_SET(int(c), &all);
    sched_setaffinity(0, sizeof all, &all);
    bench::ServerProc servers[2] = {bench::start_orb_server(),
                                    bench::start_peer_server({"-ORBgiopMaxMsgSize", "67108864"})};
    bool ok = servers[0] && servers[1];
    long large_calls = bench::env_count("BENCH_ORB_LARGE_CALLS", 12);
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    struct Size {
        char const *name;
        size_t bytes;
        long calls;
    } sizes[] = {{"64KiB", size_t(64) << 10, large_calls * 50},
                 {"1MiB", size_t(1) << 20, large_calls * 5},
                 {"16MiB", size_t(16) << 20, large_calls}};
    for (const Size &z : sizes) {
        std::vector<double> ms[2];
        double cpu_s[2] = {0, 0}, faults[2] = {0, 0};
        for (long r = 0; r < runs && ok; ++r)
            for (int k = 0; k < 2 && ok; ++k)
                ok = omni_bulk_run(servers[k], z.bytes, 3, z.calls, ms[k], faults[k], cpu_s[k]);
        if (!ok)
            break;
        double n = double(ms[0].size());
        std::fprintf(stderr,
                     "bench_orb: echo_octets %s from omniORB's client: server cpu/call %.3f / %.3f ms, "
                     "minor faults/call %.1f / %.1f\n",
                     z.name, cpu_s[0] * 1e3 / n, cpu_s[1] * 1e3 / n, faults[0] / n, faults[1] / n);
        double mo = bench::median(ms[0]), mp = bench::median(ms[1]);
        bench::figure((std::string("orb_echo_octets_") + z.name + "_vs_omniorb").c_str(), mo, "ms", mp,
                      bench::slowdown(mo, mp), {3, 3, 2});
    }
    if (!ok && servers[0] && servers[1])
        std::fprintf(stderr, "bench_orb: an echo from omniORB's client failed\n");
    for (auto &srv : servers)
        bench::stop_server(srv);
    sched_setaffinity(0, sizeof kept, &kept);
    return ok || !servers[1];
}

} // namespace

#include "bench_orb_pressure.h"

int main(int argc, char **argv)
{
    client_calls = bench::env_count("BENCH_ORB_CALLS", 5000);
    // Room for a thousand connections at once in this process and in the
    // servers it starts (which inherit the limit).
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < 8192) {
        nofile.rlim_cur = std::min<rlim_t>(8192, nofile.rlim_max);
        setrlimit(RLIMIT_NOFILE, &nofile);
    }
    if (std::getenv("BENCH_ORB_IDLE_ONLY")) {
        std::signal(SIGPIPE, SIG_IGN);
        bool ok = std::getenv("BENCH_ORB_FLOOD_ONLY") || idle_connections_against_peer();
        return flood_against_peer() && ok ? 0 : 1;
    }
    if (std::getenv("BENCH_ORB_LFLOOD_ONLY"))
        return large_flood_against_peer() ? 0 : 1;
    if (std::getenv("BENCH_ORB_SLOW_PIPES_ONLY"))
        return slow_pipes_against_peer() ? 0 : 1;
    if (std::getenv("BENCH_ORB_MANY_ONLY"))
        return many_large_echoes_against_peer() ? 0 : 1;
    if (std::getenv("BENCH_ORB_SIDE_BY_SIDE_ONLY")) {
        std::signal(SIGPIPE, SIG_IGN);
        return pipelined_side_by_side_against_peer() ? 0 : 1;
    }
    if (std::getenv("BENCH_ORB_SLOW_ONLY")) {
        CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
        CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, env);
        return orb && !env.pending() && short_call_beside_slow_servant(orb) ? 0 : 1;
    }
    if (std::getenv("BENCH_ORB_LARGE_ONLY")) {
        bool ok = large_omni_client();
        pin_servers();
        bench::pin_cpu(0);
        CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
        CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, env);
        return orb && !env.pending() && large_against_peer(orb) && ok ? 0 : 1;
    }
    // Against omniORB's server first, on all CPUs, while this process has no
    // broker of its own (the clients fork from it).
    bool peer_ok = true;
    {
        bench::ServerProc ours = bench::start_orb_server();
        bench::ServerProc peer = bench::start_peer_server();
        if (!ours)
            std::fprintf(stderr, "bench_orb: orb_echo_server gave no IOR\n");
        if (!std::getenv("BENCH_ORB_PIPE_ONLY"))
            peer_ok = against_peer(ours, peer);
        if (!std::getenv("BENCH_ORB_LOAD_ONLY") && ours && peer)
            peer_ok = pipelining_against_peer(ours, peer) && peer_ok;
        bench::stop_server(ours);
        bench::stop_server(peer);
    }
    if (!std::getenv("BENCH_ORB_LOAD_ONLY"))
        peer_ok = pipelined_side_by_side_against_peer() && peer_ok;
    if (!std::getenv("BENCH_ORB_LOAD_ONLY") && !std::getenv("BENCH_ORB_PIPE_ONLY")) {
        peer_ok = large_omni_client() && peer_ok;
        std::signal(SIGPIPE, SIG_IGN);
        peer_ok = idle_connections_against_peer() && peer_ok;
        peer_ok = flood_against_peer() && peer_ok;
        peer_ok = large_flood_against_peer() && peer_ok;
        peer_ok = slow_pipes_against_peer() && peer_ok;
        peer_ok = many_large_echoes_against_peer() && peer_ok;
    }
    if (std::getenv("BENCH_ORB_PEER_ONLY") || std::getenv("BENCH_ORB_LOAD_ONLY"))
        return peer_ok ? 0 : 1;
    pin_servers();
    uint16_t raw_port = 0;
    pid_t raw = raw_server(raw_port);
    bench::ServerProc srv = bench::start_orb_server();
    std::string ior = srv.ior;
    bench::pin_cpu(0);
    // Concurrent clients first, while this process has no broker of its
    // own (the clients fork from it): the better of three runs on each
    // side, in turn.
    bool many_failed = false;
    ManyArgs many{ior, raw_port};
    double orb_ms = 1e300, raw_ms = 1e300;
    for (int run = 0; run < 3; ++run) {
        double o = bench::run_clients(kClients, [&] { return orb_prepare(&many); }, [&] { return orb_adds(&many); });
        double r = bench::run_clients(kClients, [&] { return raw_prepare(&many); }, [&] { return raw_adds(&many); });
        many_failed = many_failed || o < 0 || r < 0;
        orb_ms = std::min(orb_ms, o);
        raw_ms = std::min(raw_ms, r);
    }

    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    CORBA::ORB *orb = CORBA::ORB_init(argc, argv, nullptr, env);
    CORBA::Object *obj = orb ? orb->string_to_object(ior.c_str(), env) : nullptr;
    PeerTest::Echo *echo = obj ? PeerTest::Echo::_narrow(obj) : nullptr;
    if (!echo || env.pending()) {
        std::fprintf(stderr, "bench_orb: no Echo reference (%s)\n",
                     env.pending() ? env.exception()->wq_ir_name() : "nil");
        kill(raw, SIGKILL);
        bench::stop_server(srv);
        return 1;
    }
    int small = raw_connect(raw_port, kAddReq, kAddRep);
    int big = raw_connect(raw_port, kBigReq, kBigRep);
    std::vector<char> buf(kBigReq + kBigRep);
    PeerTest::OctetSeq data(kBig, 7);

    Series add, octets;
    auto raw_rt = [&](int fd, size_t req, size_t rep) {
        auto t0 = bench::Clock::now();
        full(fd, buf.data(), req, false);
        full(fd, buf.data(), rep, true);
        return us_since(t0);
    };
    // Warm-up, then blocks in turn.
    for (int i = 0; i < 200; ++i) {
        echo->add(i, 1, env);
        raw_rt(small, kAddReq, kAddRep);
    }
    for (int i = 0; i < 20; ++i) {
        PeerTest::OctetSeq back = echo->echo_octets(data, env);
        raw_rt(big, kBigReq, kBigRep);
    }
    // Short blocks, so that the load of the (shared) machine falls on both
    // sides alike.
    for (int block = 0; block < 400; ++block) {
        for (int i = 0; i < 25; ++i) {
            auto t0 = bench::Clock::now();
            echo->add(i, 1, env);
            add.orb.push_back(us_since(t0));
        }
        for (int i = 0; i < 25; ++i)
            add.raw.push_back(raw_rt(small, kAddReq, kAddRep));
        for (int i = 0; i < 3; ++i) {
            auto t0 = bench::Clock::now();
            PeerTest::OctetSeq back = echo->echo_octets(data, env);
            octets.orb.push_back(us_since(t0));
        }
        for (int i = 0; i < 3; ++i)
            octets.raw.push_back(raw_rt(big, kBigReq, kBigRep));
    }
    bool failed = env.pending() || many_failed;
    if (env.pending())
        std::fprintf(stderr, "bench_orb: call failed: %s\n", env.exception()->wq_ir_name());
    env.clear();
    report("orb_add_roundtrip", add);
    report("orb_echo_octets_64k_roundtrip", octets);

    bench::figure("orb_8clients_add_wall", orb_ms, "ms", raw_ms, bench::slowdown(orb_ms, raw_ms), {1, 1, 2});
    failed = !short_call_beside_slow_servant(orb) || failed;
    failed = !large_against_peer(orb) || failed;

    close(small);
    close(big);
    CORBA::release(echo);
    CORBA::release(obj);
    bench::stop_server(srv);
    kill(raw, SIGKILL);
    waitpid(raw, nullptr, 0);
    return failed || !peer_ok ? 1 : 0;
}
