// Message-queue IPC between two framework tasks, against raw floors measured
// in the same run.
//
//   ipc_msgq_roundtrip: a 16-byte message sent by task A on one channel and
//     answered by task B on another (send -> IPC event -> wake -> receive ->
//     send back -> ...), per round trip; floor: an eventfd ping-pong of two
//     plain threads.
//   ipc_msgq_oneway_64B: messages per second from A to B with 64-byte
//     payloads and flow control (the room event when the queue is full);
//     floor: two plain threads moving 64-byte records through a mutex-guarded
//     ring with one eventfd wake per record.
//   ipc_tcp_roundtrip_64B / ipc_udp_roundtrip_64B: a 64-byte message sent
//     over a framed direct TCP (UDP) channel and answered on the same
//     channel, between two threads, each end holding one channel with TX and
//     RX (one connection both ways, as the floor has). With one message in
//     flight each end waits on its channel's socket with poll() and then
//     takes the message with YW_recvIpc. Floor: a raw TCP (UDP) socket
//     ping-pong of 64 bytes on loopback, made the way the channel has to
//     work (see "Raw floors" below).
//   ipc_tcp_oneway_64KiB: one-way throughput of 64 KiB framed messages over
//     a TCP channel (MB/s of payload); floor: raw TCP writes of 64 KiB read
//     by a plain thread.
//
// ratio is the slowdown against the floor (value/baseline for times,
// baseline/value for rates). Each value is the median of kReps (socket
// figures: kNetReps) runs taken in turn with the floor's runs, after one
// warm-up run of each.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_util.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

namespace {

using bench::Clock;

constexpr long kRounds = 20000;
constexpr long kMessages = 200000;
// Each figure and its floor are measured this many times, in turn, after one
// warm-up run of each; the median of each is reported (the machine may be
// busy with other work).
constexpr int kReps = 5;
// The socket figures are short runs whose spread on a busy machine is wide:
// more of them are taken.
constexpr int kNetReps = 11;
constexpr int kPayload = 64;

// ---- raw floors ----------------------------------------------------------------

using bench::efd_ring;
using bench::efd_wait;

double raw_oneway_rate(long count)
{
    constexpr int kSlots = 64;
    struct Rec {
        char b[kPayload];
    };
    std::vector<Rec> ring(kSlots);
    std::mutex mx;
    long head = 0, tail = 0; // under mx
    int data = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int room = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::atomic<bool> waitingRoom{false};
    long sum = 0;
    std::thread consumer([&] {
        long got = 0;
        Rec r;
        while (got < count) {
            efd_wait(data);
            for (;;) {
                {
                    std::lock_guard<std::mutex> g(mx);
                    if (tail == head)
                        break;
                    r = ring[tail % kSlots];
                    tail++;
                }
                sum += r.b[0];
                got++;
                if (waitingRoom.exchange(false))
                    efd_ring(room);
            }
        }
    });
    Rec m;
    std::memset(m.b, 1, sizeof(m.b));
    auto t0 = Clock::now();
    for (long i = 0; i < count;) {
        bool put = false;
        {
            std::lock_guard<std::mutex> g(mx);
            if (head - tail < kSlots) {
                ring[head % kSlots] = m;
                head++;
                put = true;
            } else {
                waitingRoom = true;
            }
        }
        if (put) {
            efd_ring(data);
            i++;
        } else {
            struct pollfd p{room, POLLIN, 0};
            if (poll(&p, 1, 1) > 0) {
                uint64_t v;
                (void)!read(room, &v, sizeof(v));
            }
        }
    }
    consumer.join();
    auto t1 = Clock::now();
    close(data);
    close(room);
    if (sum != count)
        std::fprintf(stderr, "raw: lost records\n");
    return (double)count / std::chrono::duration<double>(t1 - t0).count();
}

// ---- message-queue channels between two tasks ------------------------------------
//
// The main thread drives the measurement in steps; each step is one run of
// one figure by the two tasks: step 2k+1 the round trips of repetition k,
// step 2k+2 the stream of repetition k. Repetition 0 is the warm-up.

struct Shared {
    YW_ipc_id_t ping = YW_IPC_INVALID_ID, pong = YW_IPC_INVALID_ID, stream = YW_IPC_INVALID_ID;
    std::atomic<int> ready{0};
    std::atomic<int> step{0};    // set by main
    std::atomic<int> doneA{0};   // last step task A finished
    std::atomic<int> doneB{0};   // last step task B finished
    std::atomic<long> errors{0};
    double rttNs[kReps + 1] = {};
    double rate[kReps + 1] = {};
    double netFig[6] = {};
};

Shared g;

// Waits on the task's queue and drops the IPC events taken.
void drainEvents(YW_event_q_t *q, YW_int64_t timeout)
{
    if (YW_event_wait(q, timeout) < 1)
        return;
    YW_event_msg_t *e;
    while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &e) == 0)
        YW_event_releaseEvent(e);
}

// Receives one message, waiting for its event when none is queued yet.
YW_size_t recvOne(YW_event_q_t *q, YW_ipc_id_t id, void *buf, YW_size_t size)
{
    for (;;) {
        YW_size_t n = YW_recvIpc(id, buf, size);
        if (n >= 0)
            return n;
        drainEvents(q, 1000000000LL);
    }
}

void waitStep(int s)
{
    while (g.step.load() < s)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

} // namespace

extern "C" {

__attribute__((used)) void *bench_ipc_task_a(void *)
{
    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (YW_openIpc(1, YW_IPC_FLAGS_TX, nullptr) || YW_openIpc(2, YW_IPC_FLAGS_RX, nullptr) ||
        YW_openIpc(3, YW_IPC_FLAGS_TX, nullptr))
        g.errors++;
    g.ready++;
    char msg[16] = "ping";
    char buf[64];
    char payload[kPayload];
    std::memset(payload, 1, sizeof(payload));
    for (int rep = 0; rep <= kReps; rep++) {
        waitStep(2 * rep + 1);
        auto t0 = Clock::now();
        for (long i = 0; i < kRounds; i++) {
            if (YW_sendIpc(g.ping, msg, sizeof(msg)) != (YW_size_t)sizeof(msg))
                g.errors++;
            recvOne(q, g.pong, buf, sizeof(buf));
        }
        g.rttNs[rep] = bench::ns_per(Clock::now() - t0, kRounds);
        g.doneA = 2 * rep + 1;

        waitStep(2 * rep + 2);
        auto t1 = Clock::now();
        for (long i = 0; i < kMessages;) {
            YW_size_t r = YW_sendIpc(g.stream, payload, kPayload);
            if (r == kPayload) {
                i++;
            } else if (r == YW_ERR_NO_TX_BD) {
                drainEvents(q, 1000000LL); // the room event
            } else {
                g.errors++;
                break;
            }
        }
        while (g.doneB.load() < 2 * rep + 2) // the last message received
            std::this_thread::yield();
        g.rate[rep] = (double)kMessages / std::chrono::duration<double>(Clock::now() - t1).count();
        g.doneA = 2 * rep + 2;
    }
    return nullptr;
}

__attribute__((used)) void *bench_ipc_task_b(void *)
{
    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (YW_openIpc(1, YW_IPC_FLAGS_RX, nullptr) || YW_openIpc(2, YW_IPC_FLAGS_TX, nullptr) ||
        YW_openIpc(3, YW_IPC_FLAGS_RX, nullptr))
        g.errors++;
    g.ready++;
    char buf[64];
    for (int rep = 0; rep <= kReps; rep++) {
        waitStep(2 * rep + 1);
        for (long i = 0; i < kRounds; i++) {
            YW_size_t n = recvOne(q, g.ping, buf, sizeof(buf));
            if (YW_sendIpc(g.pong, buf, n) != n)
                g.errors++;
        }
        g.doneB = 2 * rep + 1;

        waitStep(2 * rep + 2);
        long got = 0, sum = 0;
        while (got < kMessages) {
            YW_size_t n = YW_recvIpc(g.stream, buf, sizeof(buf));
            if (n == kPayload) {
                got++;
                sum += buf[0];
            } else {
                drainEvents(q, 1000000000LL);
            }
        }
        if (sum != kMessages)
            g.errors++;
        g.doneB = 2 * rep + 2;
    }
    return nullptr;
}

} // extern "C"

namespace {

void setCfg(YW_ipc_cfg_t &c, const char *name, YW_uint32_t iap, YW_int64_t size, YW_uint64_t descs)
{
    std::memset(&c, 0, sizeof(c));
    c.name = const_cast<char *>(name);
    c.interfaceType = YW_IPC_INTF_MSGQ;
    c.transportType = YW_IPC_TRANSPORT_MAX;
    c.flags = YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX;
    c.iap = iap;
    c.rx.buffer_size = size;
    c.rx.max_descriptors = descs;
}

bool startTask(const char *name, const char *entry)
{
    YW_task_cfg_t c{};
    c.name = const_cast<char *>(name);
    c.entry_name = const_cast<char *>(entry);
    c.category = YW_TASK_CAT_APP;
    c.stack_size = 256 * 1024;
    YW_task_id_t id;
    return YW_createTask(&c, &id) == 0 && YW_startTask(id, nullptr) == 0;
}


// ---- socket channels between two plain threads ------------------------------------

constexpr long kNetRounds = 10000;
constexpr long kBigMessages = 4000;
constexpr int kBig = 64 * 1024;

sockaddr_in loopAddr(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t freePort(int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = loopAddr(0);
    socklen_t len = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Raw floors. A floor does what the channel is bound to do and nothing more,
// so that the ratio shows the channel's own cost:
// - The channel's receive never blocks (one non-blocking read; "no data" when
//   nothing is there) and a direct channel has no wait of its own, so its
//   user waits for the socket with poll(). The floor's receiver does the
//   same (rawRecv, the twin of netRecv). A blocking recv() would leave that
//   wait out: on this kind of machine the extra poll() alone made a raw UDP
//   ping-pong 1.05-1.3x slower, which was then charged to the channel.
// - A UDP channel is one socket bound to its local port that sends to its
//   remote address with sendto(); it must not connect(), since a connected
//   socket takes datagrams from that one peer only. The floor's two UDP
//   sockets are bound, non-blocking and unconnected in the same way.
// - A TCP channel is one connection with TCP_NODELAY, sending with a plain
//   send(); so is the floor.

// Waits up to 100 ms for fd to become readable (as netWait does).
void rawWait(int fd)
{
    struct pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 100);
}

// One non-blocking read of up to n bytes, waiting on the socket while
// nothing is there; waitFirst as for netRecv. The read's result (< 0 only
// for a failure other than "no data").
ssize_t rawRecv(int fd, void *p, size_t n, bool waitFirst = false)
{
    if (waitFirst)
        rawWait(fd);
    for (;;) {
        ssize_t k = recv(fd, p, n, MSG_DONTWAIT);
        if (k >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return k;
        rawWait(fd);
    }
}

// Reads exactly n bytes of a stream: with rawRecv (waitFirst as there), or
// with blocking reads. The 64 KiB stream floor keeps blocking reads: there
// the channel takes up to two frames per read and seldom waits, while a
// floor of non-blocking reads of one message at a time came out slower than
// the channel; the blocking reader is the harder floor.
bool readAll(int fd, char *p, size_t n, bool block, bool waitFirst = false)
{
    while (n > 0) {
        ssize_t k = block ? recv(fd, p, n, 0) : rawRecv(fd, p, n, waitFirst);
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
        waitFirst = false;
    }
    return true;
}

// A connected TCP pair (TCP_NODELAY) or two bound UDP sockets, each sending
// to the other's address (to[]).
struct RawPair {
    int a = -1, b = -1;
    sockaddr_in to[2]{}; // the address a sends to, the one b sends to
    explicit RawPair(int type)
    {
        uint16_t pa = freePort(type), pb = freePort(type);
        sockaddr_in aa = loopAddr(pa), ab = loopAddr(pb);
        if (type == SOCK_DGRAM) {
            a = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            b = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            bind(a, reinterpret_cast<sockaddr *>(&aa), sizeof(aa));
            bind(b, reinterpret_cast<sockaddr *>(&ab), sizeof(ab));
            to[0] = ab;
            to[1] = aa;
            return;
        }
        int l = socket(AF_INET, SOCK_STREAM, 0);
        bind(l, reinterpret_cast<sockaddr *>(&aa), sizeof(aa));
        listen(l, 1);
        a = socket(AF_INET, SOCK_STREAM, 0);
        connect(a, reinterpret_cast<sockaddr *>(&aa), sizeof(aa));
        b = accept(l, nullptr, nullptr);
        close(l);
        int one = 1;
        setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~RawPair()
    {
        close(a);
        close(b);
    }
};

double raw_socket_roundtrip_ns(int type, long rounds)
{
    RawPair p(type);
    bool stream = type == SOCK_STREAM;
    // one message: a send(), or a sendto() of one datagram
    auto put = [&](int fd, const sockaddr_in &to, const char *m) {
        if (stream)
            send(fd, m, kPayload, 0);
        else
            sendto(fd, m, kPayload, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to),
                   sizeof(to));
    };
    auto get = [&](int fd, char *m) {
        return stream ? readAll(fd, m, kPayload, false, true) : rawRecv(fd, m, kPayload, true) == kPayload;
    };
    std::thread pong([&] {
        char b[kPayload];
        for (long i = 0; i < rounds; i++) {
            if (!get(p.b, b))
                return;
            put(p.b, p.to[1], b);
        }
    });
    char m[kPayload] = {1};
    auto t0 = Clock::now();
    for (long i = 0; i < rounds; i++) {
        put(p.a, p.to[0], m);
        if (!get(p.a, m))
            break;
    }
    auto t1 = Clock::now();
    pong.join();
    return bench::ns_per(t1 - t0, rounds);
}

double raw_tcp_stream_mbs(long count)
{
    RawPair p(SOCK_STREAM);
    std::thread reader([&] {
        std::vector<char> b(kBig);
        for (long i = 0; i < count; i++)
            if (!readAll(p.b, b.data(), kBig, true))
                return;
    });
    std::vector<char> m(kBig, 1);
    auto t0 = Clock::now();
    for (long i = 0; i < count; i++) {
        size_t off = 0;
        while (off < (size_t)kBig) {
            ssize_t k = send(p.a, m.data() + off, kBig - off, 0);
            if (k <= 0)
                break;
            off += (size_t)k;
        }
    }
    reader.join();
    auto t1 = Clock::now();
    return (double)count * kBig / 1e6 / std::chrono::duration<double>(t1 - t0).count();
}

// A one-way socket channel (iap, transport, flags, ports).
void setInetCfg(YW_ipc_cfg_t &c, const char *name, YW_uint32_t iap, YW_uint16_t transport, YW_uint32_t flags,
                uint16_t local, uint16_t remote, YW_int64_t frame)
{
    std::memset(&c, 0, sizeof(c));
    c.name = const_cast<char *>(name);
    c.interfaceType = YW_IPC_INTF_INET;
    c.transportType = transport;
    c.flags = flags | YW_IPC_FLAGS_FRAMED;
    c.iap = iap;
    c.tx.frame_size = c.rx.frame_size = frame;
    c.address.local.inet.addr_in = loopAddr(local);
    c.address.remote.inet.addr_in = loopAddr(remote);
}

// Waits up to 100 ms for the channel's socket to become readable.
void netWait(YW_ipc_id_t id)
{
    struct pollfd p{YW_g_ipc[id].sap.fd, POLLIN, 0};
    poll(&p, 1, 100);
}

// Receives one message, waiting on the channel's socket while none is there.
// waitFirst: the caller knows nothing is held in the channel yet (one
// message in flight), so the socket is waited on before the first attempt.
YW_size_t netRecv(YW_ipc_id_t id, void *buf, YW_size_t size, bool waitFirst = false)
{
    if (waitFirst)
        netWait(id);
    for (;;) {
        YW_size_t n = YW_recvIpc(id, buf, size);
        if (n != YW_ERR_IPC_INET_RX_NODATA)
            return n;
        netWait(id);
    }
}

bool waitUp(YW_ipc_id_t id, int bit)
{
    for (int i = 0; i < 5000; i++) {
        if (YW_ipc_state_get(&YW_g_ipc[id]) & bit)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Two channels on loopback, a and b, each with TX and RX: TCP, a listens and
// b connects; UDP, each is bound to its own port and sends to the other's.
// ids: a, b. False when they do not come up.
bool makeDuplex(YW_ipc_cfg_t *cfg, YW_uint32_t iap, YW_uint16_t transport, YW_int64_t frame, const std::string &prefix,
                YW_ipc_id_t ids[2])
{
    const bool tcp = transport == YW_IPC_TRANSPORT_TCP;
    uint16_t pa = freePort(tcp ? SOCK_STREAM : SOCK_DGRAM), pb = tcp ? 0 : freePort(SOCK_DGRAM);
    const std::string names[2] = {prefix + "_a", prefix + "_b"};
    const YW_uint32_t both = YW_IPC_FLAGS_RX | YW_IPC_FLAGS_TX;
    setInetCfg(cfg[0], names[0].c_str(), iap, transport, both, pa, pb, frame);
    setInetCfg(cfg[1], names[1].c_str(), iap + 1, transport, both, pb, pa, frame);
    // the channels keep their own copies of these configurations
    for (int i = 0; i < 2; i++)
        if (YW_createIpc(&cfg[i], &ids[i]) != 0)
            return false;
    const int up = YW_IPC_STATE_RX_UP | YW_IPC_STATE_TX_UP;
    return waitUp(ids[0], up) && waitUp(ids[1], up);
}

// A one-way channel pair: rx listens (TCP) or is bound (UDP), tx sends to it.
// ids: rx, tx.
bool makeOneWay(YW_ipc_cfg_t *cfg, YW_uint32_t iap, YW_uint16_t transport, YW_int64_t frame, const std::string &prefix,
                YW_ipc_id_t ids[2])
{
    uint16_t p = freePort(transport == YW_IPC_TRANSPORT_TCP ? SOCK_STREAM : SOCK_DGRAM);
    const std::string names[2] = {prefix + "_rx", prefix + "_tx"};
    setInetCfg(cfg[0], names[0].c_str(), iap, transport, YW_IPC_FLAGS_RX, p, 0, frame);
    setInetCfg(cfg[1], names[1].c_str(), iap + 1, transport, YW_IPC_FLAGS_TX, 0, p, frame);
    for (int i = 0; i < 2; i++)
        if (YW_createIpc(&cfg[i], &ids[i]) != 0)
            return false;
    return waitUp(ids[0], YW_IPC_STATE_RX_UP) && waitUp(ids[1], YW_IPC_STATE_TX_UP);
}

// ids: a (sends first), b (answers)
double channel_roundtrip_ns(const YW_ipc_id_t ids[2], long rounds)
{
    std::thread pong([&] {
        char b[kPayload * 2];
        for (long i = 0; i < rounds; i++) {
            YW_size_t n = netRecv(ids[1], b, sizeof(b), true);
            if (n != kPayload || YW_sendIpc(ids[1], b, n) != n) {
                g.errors++;
                return;
            }
        }
    });
    char m[kPayload * 2] = {1};
    auto t0 = Clock::now();
    for (long i = 0; i < rounds; i++) {
        if (YW_sendIpc(ids[0], m, kPayload) != kPayload || netRecv(ids[0], m, sizeof(m), true) != kPayload) {
            g.errors++;
            break;
        }
    }
    auto t1 = Clock::now();
    pong.join();
    return bench::ns_per(t1 - t0, rounds);
}

double channel_stream_mbs(const YW_ipc_id_t ids[2], long count)
{
    std::thread reader([&] {
        std::vector<char> b(kBig);
        for (long i = 0; i < count; i++) {
            if (netRecv(ids[0], b.data(), kBig) != kBig) {
                g.errors++;
                return;
            }
        }
    });
    std::vector<char> m(kBig, 1);
    auto t0 = Clock::now();
    for (long i = 0; i < count; i++) {
        if (YW_sendIpc(ids[1], m.data(), kBig) != kBig) {
            g.errors++;
            break;
        }
    }
    reader.join();
    auto t1 = Clock::now();
    return (double)count * kBig / 1e6 / std::chrono::duration<double>(t1 - t0).count();
}

YW_ipc_cfg_t g_netCfg[6];

// Socket figures: channel and floor in turn, median of kNetReps after a warm-up.
void netFigures()
{
    YW_ipc_id_t tcp[2], udp[2], big[2];
    if (!makeDuplex(&g_netCfg[0], 11, YW_IPC_TRANSPORT_TCP, 1024, "bench_tcp", tcp) ||
        !makeDuplex(&g_netCfg[2], 21, YW_IPC_TRANSPORT_UDP, 1024, "bench_udp", udp)) {
        std::fprintf(stderr, "bench_ipc: socket channels did not come up\n");
        g.errors++;
        return;
    }
    if (!makeOneWay(&g_netCfg[4], 31, YW_IPC_TRANSPORT_TCP, kBig + 64, "bench_big", big)) {
        std::fprintf(stderr, "bench_ipc: 64 KiB channels did not come up\n");
        g.errors++;
        return;
    }
    std::vector<double> rt, rtRaw, ru, ruRaw, mb, mbRaw;
    for (int rep = 0; rep <= kNetReps; rep++) {
        double a = raw_socket_roundtrip_ns(SOCK_STREAM, kNetRounds), b = channel_roundtrip_ns(tcp, kNetRounds);
        double c = raw_socket_roundtrip_ns(SOCK_DGRAM, kNetRounds), d = channel_roundtrip_ns(udp, kNetRounds);
        double e = raw_tcp_stream_mbs(kBigMessages), f = channel_stream_mbs(big, kBigMessages);
        if (rep == 0)
            continue;
        rtRaw.push_back(a);
        rt.push_back(b);
        ruRaw.push_back(c);
        ru.push_back(d);
        mbRaw.push_back(e);
        mb.push_back(f);
    }
    g.netFig[0] = bench::median(rt);
    g.netFig[1] = bench::median(rtRaw);
    g.netFig[2] = bench::median(ru);
    g.netFig[3] = bench::median(ruRaw);
    g.netFig[4] = bench::median(mb);
    g.netFig[5] = bench::median(mbRaw);
}

} // namespace

int main()
{
    // The framework prints its diagnostics on standard output; keep the
    // figures readable by sending those to standard error.
    std::fflush(stdout);
    int out = dup(1);
    dup2(2, 1);
    YW_log_init();
    YW_task_tsm_init();
    YW_ipc_ism_init();
    setCfg(YW_g_ipc_cfg[0], "bench_ping", 1, 4096, 16);
    setCfg(YW_g_ipc_cfg[1], "bench_pong", 2, 4096, 16);
    setCfg(YW_g_ipc_cfg[2], "bench_stream", 3, 64 * 1024, 256);
    if (YW_createIpc(&YW_g_ipc_cfg[0], &g.ping) || YW_createIpc(&YW_g_ipc_cfg[1], &g.pong) ||
        YW_createIpc(&YW_g_ipc_cfg[2], &g.stream) || !startTask("bench_a", "bench_ipc_task_a") ||
        !startTask("bench_b", "bench_ipc_task_b")) {
        std::fprintf(stderr, "bench_ipc: set-up failed\n");
        return 1;
    }
    while (g.ready.load() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Floor and figure in turn, so that both see the same load; run 0 of
    // each warms up and is not counted.
    std::vector<double> rawRtt, rawRate, rtt, rate;
    for (int rep = 0; rep <= kReps; rep++) {
        double t = bench::raw_eventfd_roundtrip_ns(kRounds);
        g.step = 2 * rep + 1;
        while (g.doneA.load() < 2 * rep + 1 || g.doneB.load() < 2 * rep + 1)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        double r = raw_oneway_rate(kMessages);
        g.step = 2 * rep + 2;
        while (g.doneA.load() < 2 * rep + 2)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (rep == 0)
            continue;
        rawRtt.push_back(t);
        rawRate.push_back(r);
        rtt.push_back(g.rttNs[rep]);
        rate.push_back(g.rate[rep]);
    }
    netFigures();
    double mRawRtt = bench::median(rawRtt), mRawRate = bench::median(rawRate), mRtt = bench::median(rtt),
           mRate = bench::median(rate);
    std::fflush(stdout);
    dup2(out, 1);
    if (g.errors)
        std::printf("bench_ipc: %ld errors\n", g.errors.load());
    bench::figure("ipc_msgq_roundtrip", mRtt, "ns", mRawRtt, bench::slowdown(mRtt, mRawRtt));
    bench::figure("ipc_msgq_oneway_64B", mRate, "msg/s", mRawRate, bench::slowdown(mRawRate, mRate));
    bench::figure("ipc_tcp_roundtrip_64B", g.netFig[0], "ns", g.netFig[1], bench::slowdown(g.netFig[0], g.netFig[1]));
    bench::figure("ipc_udp_roundtrip_64B", g.netFig[2], "ns", g.netFig[3], bench::slowdown(g.netFig[2], g.netFig[3]));
    bench::figure("ipc_tcp_oneway_64KiB", g.netFig[4], "MB/s", g.netFig[5], bench::slowdown(g.netFig[5], g.netFig[4]));
    std::fflush(stdout);
    _exit(0);
}
