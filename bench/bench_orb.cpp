// Round trips of this broker's client and server, in two processes on
// 127.0.0.1: `add` (a small two-way call) and `echo_octets` with 64 KiB each
// way, beside a raw TCP ping-pong between two processes that moves the same
// bytes in the same pieces over sockets with the same options. Both servers
// run on CPU pins 1 and 2 (the broker's reader that takes the circuit back
// runs beside the one serving), the client on pin 0; the broker and the raw
// exchange are measured in turn, in short blocks, in one run. Then 8 client
// processes make 5000 `add` calls each at once, against the broker's server
// and against a raw thread-per-connection server doing the same exchanges.
#include "bench_util.h"
#include "corba_orb.h"
#include "peertest_echo.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char **environ;

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

// Clients in processes of their own (each broker client its own ORB and
// connection), on the CPUs the servers do not use. Each child prepares with
// `prepare`, waits for the start, runs `body` and reports; the result is the
// wall time in ms from the start to the last end, or -1 when one failed.
double run_clients(int n, bool (*prepare)(void *), bool (*body)(void *), void *arg)
{
    int ready[2], go[2], done[2];
    if (pipe(ready) != 0 || pipe(go) != 0 || pipe(done) != 0)
        return -1;
    std::vector<pid_t> kids;
    for (int k = 0; k < n; ++k) {
        pid_t pid = fork();
        if (pid == 0) {
            long cpus = sysconf(_SC_NPROCESSORS_ONLN);
            cpu_set_t set;
            CPU_ZERO(&set);
            for (long c = 0; c < cpus; ++c)
                if (cpus < 4 || (c != 2 && c != 3))
                    CPU_SET(int(c), &set);
            sched_setaffinity(0, sizeof set, &set);
            char ok = prepare(arg) ? 1 : 0;
            (void)!write(ready[1], &ok, 1);
            char g;
            (void)!read(go[0], &g, 1);
            ok = ok && body(arg) ? 1 : 0;
            (void)!write(done[1], &ok, 1);
            _exit(0);
        }
        kids.push_back(pid);
    }
    bool ok = true;
    for (int k = 0; k < n; ++k) {
        char c = 0;
        ok = read(ready[0], &c, 1) == 1 && c && ok;
    }
    auto t0 = bench::Clock::now();
    std::vector<char> start(size_t(n), 'g');
    (void)!write(go[1], start.data(), start.size());
    for (int k = 0; k < n; ++k) {
        char c = 0;
        ok = read(done[0], &c, 1) == 1 && c && ok;
    }
    double ms = std::chrono::duration<double, std::milli>(bench::Clock::now() - t0).count();
    for (pid_t p : kids)
        waitpid(p, nullptr, 0);
    for (int f : {ready[0], ready[1], go[0], go[1], done[0], done[1]})
        close(f);
    return ok ? ms : -1;
}

constexpr int kClients = 8, kClientCalls = 5000;

struct ManyArgs {
    std::string ior;
    uint16_t raw_port;
    // In each child.
    PeerTest::Echo *echo = nullptr;
    int fd = -1;
};

bool orb_prepare(void *a)
{
    auto *m = static_cast<ManyArgs *>(a);
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

bool orb_adds(void *a)
{
    auto *m = static_cast<ManyArgs *>(a);
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    for (int i = 0; i < kClientCalls && !env.pending(); ++i)
        m->echo->add(i, 1, env);
    bool ok = !env.pending();
    env.clear();
    return ok;
}

bool raw_prepare(void *a)
{
    auto *m = static_cast<ManyArgs *>(a);
    m->fd = raw_connect(m->raw_port, kAddReq, kAddRep);
    return m->fd >= 0;
}

bool raw_adds(void *a)
{
    auto *m = static_cast<ManyArgs *>(a);
    char buf[kAddReq + kAddRep];
    for (int i = 0; i < kClientCalls; ++i)
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

pid_t echo_server(std::string &ior)
{
    int p[2];
    if (pipe(p) != 0)
        std::exit(1);
    std::string prog = std::string(TURV_BIN_DIR) + "/orb_echo_server";
    char const *argv[] = {prog.c_str(), "-ORBdiag", "none", nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, const_cast<char **>(argv), environ) != 0)
        std::exit(1);
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    char c;
    while (read(p[0], &c, 1) == 1 && c != '\n')
        ior += c;
    close(p[0]);
    return pid;
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

} // namespace

int main(int argc, char **argv)
{
    pin_servers();
    uint16_t raw_port = 0;
    pid_t raw = raw_server(raw_port);
    std::string ior;
    pid_t srv = echo_server(ior);
    bench::pin_cpu(0);
    // Concurrent clients first, while this process has no broker of its
    // own (the clients fork from it): the better of three runs on each
    // side, in turn.
    bool many_failed = false;
    ManyArgs many{ior, raw_port};
    double orb_ms = 1e300, raw_ms = 1e300;
    for (int run = 0; run < 3; ++run) {
        double o = run_clients(kClients, orb_prepare, orb_adds, &many);
        double r = run_clients(kClients, raw_prepare, raw_adds, &many);
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
        kill(srv, SIGTERM);
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
    if (failed)
        std::fprintf(stderr, "bench_orb: call failed: %s\n", env.exception()->wq_ir_name());
    env.clear();
    report("orb_add_roundtrip", add);
    report("orb_echo_octets_64k_roundtrip", octets);

    bench::figure("orb_8clients_add_wall", orb_ms, "ms", raw_ms, bench::slowdown(orb_ms, raw_ms), {1, 1, 2});

    close(small);
    close(big);
    CORBA::release(echo);
    CORBA::release(obj);
    kill(srv, SIGTERM);
    kill(raw, SIGKILL);
    waitpid(srv, nullptr, 0);
    waitpid(raw, nullptr, 0);
    return failed ? 1 : 0;
}
