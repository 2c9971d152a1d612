// TCP and UDP channels against raw sockets on 127.0.0.1: the bytes on the
// wire, frame reassembly, malformed input (counted, connection dropped and
// made again), peers that go and come back, and the socket tasks.
#include <dirent.h>
#include <memory>
#include <poll.h>
#include <vector>

#include "ipc/ipc_inet_util.h"

using namespace yw_ipc_test;

namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
};

int rawListen(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = loop4(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(fd, 5) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int rawAccept(int lfd, int ms = 10000)
{
    pollfd p{lfd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

int rawConnect(uint16_t port)
{
    for (int i = 0; i < 200; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loop4(port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0)
            return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// Reads exactly n bytes (bounded); "" on time-out, "EOF" when the peer closed.
std::string readN(int fd, size_t n, int ms = 10000)
{
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return "";
        char b[4096];
        ssize_t k = recv(fd, b, std::min(sizeof(b), n - out.size()), 0);
        if (k <= 0)
            return "EOF";
        out.append(b, (size_t)k);
    }
    return out;
}

std::string frame(uint32_t seq, const std::string &payload, uint32_t len = 0)
{
    std::string f(8, '\0');
    uint32_t l = len ? len : (uint32_t)payload.size() + 10;
    std::memcpy(&f[0], &seq, 4);
    std::memcpy(&f[4], &l, 4);
    return f + payload + std::string(2, '\0');
}

uint32_t word(const std::string &s, size_t at)
{
    uint32_t v = 0;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

constexpr YW_uint32_t TX = YW_IPC_FLAGS_TX, RX = YW_IPC_FLAGS_RX, FR = YW_IPC_FLAGS_FRAMED,
                      TXB = YW_IPC_FLAGS_TX_BUFFERED, RXB = YW_IPC_FLAGS_RX_BUFFERED;

int stateOf(YW_ipc_id_t id)
{
    return YW_ipc_state_get(&YW_g_ipc[id]);
}

using Inet = InetChannels;

// A framed TCP and a framed UDP sending channel (access points iap, iap + 1),
// each read by a raw socket of the test.
class InetSenders : public InetChannels {
protected:
    uint16_t tport = 0, uport = 0;
    Fd lis, udp, conn;
    YW_ipc_id_t t = YW_IPC_INVALID_ID, u = YW_IPC_INVALID_ID;
    std::unique_ptr<InetCfg> tc, uc;
    // true when both are up
    bool start(YW_uint32_t iap, YW_int64_t frameSize)
    {
        tport = freePort();
        uport = freePort(SOCK_DGRAM);
        lis.reset(rawListen(tport));
        udp.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in ua = loop4(uport);
        if (bind(udp.fd, reinterpret_cast<sockaddr *>(&ua), sizeof(ua)) != 0)
            return false;
        tc = std::make_unique<InetCfg>("tcp_tx", YW_IPC_TRANSPORT_TCP, TX | FR, iap, 0, tport, frameSize);
        uc = std::make_unique<InetCfg>("udp_tx", YW_IPC_TRANSPORT_UDP, TX | FR, iap + 1, 0, uport, frameSize);
        t = make(*tc);
        u = make(*uc);
        conn.reset(rawAccept(lis.fd));
        return conn.fd >= 0 && waitFor([&] { return (stateOf(t) & YW_IPC_STATE_TX_UP) != 0; });
    }
};

TEST_F(InetSenders, FramedDirectSendPutsTheWholeFrameOnTheWire)
{
    // 6 bytes framed: 16 bytes, length 16, sequence numbers 0 then 1
    ASSERT_TRUE(start(40, 64));
    for (uint32_t seq = 0; seq < 2; seq++) {
        ASSERT_EQ(YW_sendIpc(t, "abcdef", 6), 6);
        ASSERT_EQ(YW_sendIpc(u, "abcdef", 6), 6);
        std::string w = readN(conn.fd, 16);
        ASSERT_EQ(w.size(), 16u);
        EXPECT_EQ(word(w, 0), seq);
        EXPECT_EQ(word(w, 4), 16u);
        EXPECT_EQ(w.substr(8, 6), "abcdef");
        char d[64];
        ASSERT_EQ(recv(udp.fd, d, sizeof(d), 0), 16);
        EXPECT_EQ(word(std::string(d, 16), 0), seq);
        EXPECT_EQ(word(std::string(d, 16), 4), 16u);
    }
    // a frame longer than the frame size is refused, nothing is written
    std::string big(60, 'x');
    EXPECT_EQ(YW_sendIpc(t, big.data(), (YW_size_t)big.size()), YW_ERR_IPC_TOO_LONG);
    EXPECT_EQ(YW_sendIpc(u, big.data(), (YW_size_t)big.size()), YW_ERR_IPC_TOO_LONG);
    EXPECT_EQ(YW_g_ipc[t].status.txBytes, 32);
    // the peer goes: the send fails without a signal, the channel is down
    // and connects again to the next listener
    conn.reset();
    lis.reset();
    ASSERT_TRUE(waitFor([&] {
        YW_sendIpc(t, "x", 1);
        return (stateOf(t) & YW_IPC_STATE_TX_UP) == 0;
    }));
    lis.reset(rawListen(tport));
    conn.reset(rawAccept(lis.fd));
    ASSERT_GE(conn.fd, 0);
    ASSERT_TRUE(waitFor([&] { return (stateOf(t) & YW_IPC_STATE_TX_UP) != 0; }));
    ASSERT_EQ(YW_sendIpc(t, "ghijkl", 6), 6);
    std::string w = readN(conn.fd, 16);
    EXPECT_EQ(word(w, 4), 16u);
    EXPECT_EQ(w.substr(8, 6), "ghijkl");
}

TEST_F(InetSenders, FramedDirectSendIsTheSameFrameWhetherSentInOneBufferOrInPieces)
{
    // small frames go out of the transmit scratch, larger ones from the
    // caller's data: the bytes on the wire are the same frame either way
    ASSERT_TRUE(start(44, 8192));
    uint32_t seq = 0;
    for (size_t n : {0, 4086, 4087, 8182}) {
        std::string payload(n, '\0');
        for (size_t i = 0; i < n; i++)
            payload[i] = (char)('a' + (i * 7 + n) % 26);
        ASSERT_EQ(YW_sendIpc(t, payload.data(), (YW_size_t)n), (YW_size_t)n);
        ASSERT_EQ(YW_sendIpc(u, payload.data(), (YW_size_t)n), (YW_size_t)n);
        std::string want = frame(seq++, payload);
        EXPECT_EQ(readN(conn.fd, want.size()), want) << n;
        std::string d(8192, '\0');
        ASSERT_EQ(recv(udp.fd, &d[0], d.size(), 0), (ssize_t)want.size()) << n;
        EXPECT_EQ(d.substr(0, want.size()), want) << n;
    }
}

TEST_F(Inet, FramedReceiveReassemblesAndRefusesBadLengths)
{
    // direct framed and buffered framed receive on server channels
    uint16_t pd = freePort(), pb = freePort();
    InetCfg dc("tcp_rxd", YW_IPC_TRANSPORT_TCP, RX | FR, 42, pd, 0, 64);
    InetCfg bc("tcp_rxb", YW_IPC_TRANSPORT_TCP, RX | FR | RXB, 43, pb, 0, 64);
    YW_ipc_id_t d = make(dc), b = make(bc);
    TaskHost host("inet_rx");
    ASSERT_TRUE(host.ok());
    host.run([&] { ASSERT_EQ(YW_openIpc(43, RX, nullptr), 0); });
    char buf[64];
    Fd c(rawConnect(pd));
    ASSERT_TRUE(waitFor([&] { return (stateOf(d) & YW_IPC_STATE_RX_UP) != 0; }));
    std::string f = frame(0, "hello");
    // the header in two pieces, 3 then 5 bytes, then the body
    for (auto piece : {f.substr(0, 3), f.substr(3, 5)}) {
        send(c.fd, piece.data(), piece.size(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(YW_recvIpc(d, buf, sizeof(buf)), YW_ERR_IPC_INET_RX_NODATA);
    }
    send(c.fd, f.data() + 8, f.size() - 8, 0);
    YW_size_t n = YW_ERR_IPC_INET_RX_NODATA;
    ASSERT_TRUE(waitFor([&] { return (n = YW_recvIpc(d, buf, sizeof(buf))) != YW_ERR_IPC_INET_RX_NODATA; }));
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "hello");

    // several frames in one write, one split across writes: each delivered
    // whole and in order, with one event each
    Fd cb(rawConnect(pb));
    std::string three = frame(0, "one") + frame(1, "two") + frame(2, "three");
    std::string tail = frame(3, "four");
    send(cb.fd, three.data(), three.size(), 0);
    send(cb.fd, tail.data(), 5, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send(cb.fd, tail.data() + 5, tail.size() - 5, 0);
    host.run([&] {
        for (const char *want : {"one", "two", "three", "four"}) {
            long long ev = takeIpcEvent(10000000000LL);
            EXPECT_EQ(ev, (long long)(b | YW_IPC_EVENT_RX_READY));
            YW_size_t k = YW_recvIpc(b, buf, sizeof(buf));
            ASSERT_EQ(k, (YW_size_t)std::strlen(want));
            EXPECT_EQ(std::string(buf, (size_t)k), want);
        }
    });
    EXPECT_EQ(YW_g_ipc[b].rx.seqerr, 0u);

    // malformed lengths (too short, longer than a frame): counted, the
    // connection is dropped, the channel takes the next one
    struct Bad {
        Fd *conn;
        uint16_t port;
        YW_ipc_id_t id;
        uint32_t len;
    } bad[] = {{&c, pd, d, 5}, {&cb, pb, b, 65}, {&c, pd, d, 0xFFFFFFF0u}};
    for (const Bad &k : bad) {
        YW_count_t before = YW_g_ipc[k.id].rx.lenerr;
        std::string m = frame(9, "zz", k.len);
        send(k.conn->fd, m.data(), m.size(), MSG_NOSIGNAL);
        if (k.id == d)
            waitFor([&] { return YW_recvIpc(d, buf, sizeof(buf)) != YW_ERR_IPC_INET_RX_NODATA ||
                                 YW_g_ipc[d].rx.lenerr > before; });
        EXPECT_TRUE(waitFor([&] { return YW_g_ipc[k.id].rx.lenerr == before + 1; })) << k.len;
        EXPECT_EQ(readN(k.conn->fd, 1), "EOF") << k.len;
        k.conn->reset(rawConnect(k.port));
        ASSERT_TRUE(waitFor([&] { return (stateOf(k.id) & YW_IPC_STATE_RX_UP) != 0; }));
    }
    // a connecting channel that is sent a bad frame drops the connection
    // and connects again
    uint16_t pc = freePort();
    Fd lis(rawListen(pc));
    InetCfg cc("tcp_rxc", YW_IPC_TRANSPORT_TCP, RX | FR | RXB, 50, 0, pc, 64);
    YW_ipc_id_t ci = make(cc);
    Fd srv(rawAccept(lis.fd));
    ASSERT_GE(srv.fd, 0);
    std::string m = frame(0, "zz", 0xFFFF);
    send(srv.fd, m.data(), m.size(), MSG_NOSIGNAL);
    EXPECT_EQ(readN(srv.fd, 1), "EOF");
    EXPECT_EQ(YW_g_ipc[ci].rx.lenerr, 1u);
    Fd again(rawAccept(lis.fd, 5000));
    EXPECT_GE(again.fd, 0);

    std::string ok = frame(0, "again");
    send(cb.fd, ok.data(), ok.size(), 0);
    host.run([&] {
        ASSERT_GE(takeIpcEvent(10000000000LL), 0);
        ASSERT_EQ(YW_recvIpc(b, buf, sizeof(buf)), 5);
        EXPECT_EQ(std::string(buf, 5), "again");
    });
}

TEST_F(Inet, UdpChecksSequenceAndLengthAndKeepsOneSocket)
{
    uint16_t port = freePort(SOCK_DGRAM);
    InetCfg rc("udp_rx", YW_IPC_TRANSPORT_UDP, RX | FR | RXB, 44, port, 0, 64);
    YW_ipc_id_t r = make(rc);
    int fd = YW_g_ipc[r].sap.fd;
    ASSERT_GT(fd, 0);
    TaskHost host("inet_udp");
    ASSERT_TRUE(host.ok());
    host.run([&] { ASSERT_EQ(YW_openIpc(44, RX, nullptr), 0); });
    EXPECT_EQ(YW_g_ipc[r].sap.fd, fd); // opening made no second socket
    Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = loop4(port);
    auto put = [&](const std::string &d) {
        sendto(s.fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    };
    // short datagram, length above its size, length above the frame size:
    // each counted and dropped
    put("abc");
    put(frame(0, "xy", 40));
    put(frame(0, std::string(60, 'q')));
    put(frame(3, "three")); // sequence 3 where 0 is expected
    put(frame(4, "four"));
    host.run([&] {
        char buf[64];
        for (const char *want : {"three", "four"}) {
            ASSERT_GE(takeIpcEvent(10000000000LL), 0);
            YW_size_t k = YW_recvIpc(r, buf, sizeof(buf));
            ASSERT_EQ(k, (YW_size_t)std::strlen(want));
            EXPECT_EQ(std::string(buf, (size_t)k), want);
        }
    });
    EXPECT_EQ(YW_g_ipc[r].rx.lenerr, 3u);
    EXPECT_EQ(YW_g_ipc[r].rx.seqerr, 1u);
    EXPECT_EQ(YW_g_ipc[r].rx.seqno, 5u);
}

TEST_F(Inet, BufferedSendsGoOutWholeAndInOrder)
{
    // TCP: one stream; UDP: one datagram per message. Exactly the frames
    // (11, 12, 13 bytes) go out, never the ring's padding.
    uint16_t tport = freePort(), uport = freePort(SOCK_DGRAM);
    Fd lis(rawListen(tport));
    Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in ua = loop4(uport);
    ASSERT_EQ(bind(udp.fd, reinterpret_cast<sockaddr *>(&ua), sizeof(ua)), 0);
    InetCfg tc("tcp_txb", YW_IPC_TRANSPORT_TCP, TX | FR | TXB, 45, 0, tport, 64);
    InetCfg uc("udp_txb", YW_IPC_TRANSPORT_UDP, TX | FR | TXB, 49, 0, uport, 64);
    YW_ipc_id_t t = make(tc), u = make(uc);
    Fd conn(rawAccept(lis.fd));
    ASSERT_GE(conn.fd, 0);
    TaskHost host("inet_txb");
    ASSERT_TRUE(host.ok());
    host.run([&] {
        for (YW_ipc_id_t id : {t, u}) {
            ASSERT_EQ(YW_openIpc(YW_g_ipc[id].cfg->iap, TX, nullptr), 0);
            for (const char *m : {"a", "bb", "ccc"})
                EXPECT_EQ(YW_sendIpc(id, m, (YW_size_t)std::strlen(m)), (YW_size_t)std::strlen(m));
        }
    });
    std::string w = readN(conn.fd, 36);
    ASSERT_EQ(w.size(), 36u);
    EXPECT_EQ(word(w, 4), 11u);
    EXPECT_EQ(w.substr(8, 1), "a");
    EXPECT_EQ(word(w, 11 + 4), 12u);
    EXPECT_EQ(word(w, 23 + 4), 13u);
    EXPECT_EQ(w.substr(31, 3), "ccc");
    for (uint32_t seq = 0; seq < 3; seq++) {
        char d[64];
        pollfd p{udp.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        ASSERT_EQ(recv(udp.fd, d, sizeof(d), 0), (ssize_t)(11 + seq));
        EXPECT_EQ(word(std::string(d, 8), 0), seq);
    }
    for (YW_ipc_id_t id : {t, u}) {
        YW_ipc_buffer_t *buf = YW_g_ipc[id].tx.buffer;
        ASSERT_NE(buf, nullptr);
        EXPECT_TRUE(waitFor([&] { return buf->alloc == buf->free; }));
        EXPECT_EQ(YW_g_ipc[id].status.txBytes, 36);
    }
    // stopping the family ends both tasks; it starts again
    EXPECT_EQ(YW_ipc_inet_stop(), 0);
    EXPECT_EQ(YW_g_ipc_inet_tx_ctx.task, nullptr);
    EXPECT_EQ(YW_g_ipc_inet_rx_ctx.task, nullptr);
    EXPECT_EQ(YW_ipc_inet_start(), 0);
    EXPECT_NE(YW_g_ipc_inet_tx_ctx.task, nullptr);
    EXPECT_NE(YW_g_ipc_inet_rx_ctx.task, nullptr);
}

TEST_F(Inet, ServersShareAnAddressMatchPeersAndRefuseAnAddressInUse)
{
    uint16_t port = freePort();
    Fd taken(rawListen(port));
    YW_P_inet_address_t a{};
    a.addr_in = loop4(port);
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ipc_tcp_server_start(&a), YW_ERR_AGAIN); // in use by another socket
    taken.reset();
    EXPECT_EQ(YW_ipc_tcp_server_start(&a), 0);
    EXPECT_EQ(YW_ipc_tcp_server_start(&a), YW_ERR_AGAIN); // served already
    EXPECT_EQ(YW_ipc_tcp_server_stopAll(), 0);
    // two channels on one port: a peer from 127.0.0.1 goes to the first, one
    // from 127.0.0.3 matches nothing and is closed at once
    InetCfg c1("srv_a", YW_IPC_TRANSPORT_TCP, RX, 46, port, 0);
    InetCfg c2("srv_b", YW_IPC_TRANSPORT_TCP, RX, 47, port, 0);
    c2.cfg.address.remote.inet.addr_in.sin_addr.s_addr = htonl(0x7F000002);
    YW_ipc_id_t i1 = make(c1), i2 = make(c2);
    Fd peer(rawConnect(port));
    ASSERT_TRUE(waitFor([&] { return (stateOf(i1) & YW_IPC_STATE_RX_UP) != 0; }));
    EXPECT_FALSE(stateOf(i2) & YW_IPC_STATE_RX_UP);
    Fd stranger(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = loop4(0, 0x7F000003), to = loop4(port);
    ASSERT_EQ(bind(stranger.fd, reinterpret_cast<sockaddr *>(&from), sizeof(from)), 0);
    ASSERT_EQ(connect(stranger.fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 0);
    EXPECT_EQ(readN(stranger.fd, 1), "EOF");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("no channel for peer 127.0.0.3: closed"), std::string::npos) << out;
    // the first channel keeps its connection
    EXPECT_TRUE(stateOf(i1) & YW_IPC_STATE_RX_UP);
    send(peer.fd, "hi", 2, 0);
    char b[8];
    ASSERT_TRUE(waitFor([&] { return YW_recvIpc(i1, b, sizeof(b)) == 2; }));
}

size_t countEntries(const char *dir)
{
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}

TEST_F(Inet, AnAbsentPeerIsRetriedWithoutLeaks)
{
    uint16_t port = freePort();
    InetCfg tc("tcp_retry", YW_IPC_TRANSPORT_TCP, TX | FR, 48, 0, port, 64);
    YW_ipc_id_t t = make(tc);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    size_t fds = countEntries("/proc/self/fd"), threads = countEntries("/proc/self/task");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100)); // two more attempts
    EXPECT_EQ(countEntries("/proc/self/fd"), fds);
    EXPECT_EQ(countEntries("/proc/self/task"), threads);
    EXPECT_EQ(YW_sendIpc(t, "x", 1), YW_FAIL); // not connected: refused, counted
    EXPECT_EQ(YW_g_ipc[t].tx.snderr, 1u);
    Fd lis(rawListen(port));
    Fd conn(rawAccept(lis.fd, 5000));
    ASSERT_GE(conn.fd, 0);
    ASSERT_TRUE(waitFor([&] { return (stateOf(t) & YW_IPC_STATE_TX_UP) != 0; }));
    // deleting the channel ends the connection; no retry thread stays
    ASSERT_EQ(YW_deleteIpc(t), 0);
    EXPECT_EQ(readN(conn.fd, 1), "EOF");
    EXPECT_TRUE(waitFor([&] { return countEntries("/proc/self/task") <= threads; }, std::chrono::seconds(5)));
}

TEST_F(Inet, ABufferedReceiverTheReceiveTaskCannotServeIsNotUp)
{
    constexpr YW_uint32_t kFlags = YW_IPC_FLAGS_RX | YW_IPC_FLAGS_RX_BUFFERED;
    std::vector<std::unique_ptr<InetCfg>> cfgs;
    std::vector<YW_ipc_id_t> ids;
    testing::internal::CaptureStdout();
    for (int i = 0; i <= YW_IPC_INET_MAX; i++) {
        std::string n = "full" + std::to_string(i);
        cfgs.push_back(std::make_unique<InetCfg>(n.c_str(), YW_IPC_TRANSPORT_UDP, kFlags, 100 + i, 0, 0, 64, 256, 4));
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        YW_createIpc(&cfgs.back()->cfg, &id);
        ASSERT_NE(id, YW_IPC_INVALID_ID);
        ids.push_back(id);
    }
    std::string out = testing::internal::GetCapturedStdout();
    // every served one is up; the one past the task's list says so and is not
    for (int i = 0; i < YW_IPC_INET_MAX; i++)
        EXPECT_TRUE(YW_ipc_state_get(&YW_g_ipc[ids[i]]) & YW_IPC_STATE_RX_UP) << i;
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[ids.back()]) & YW_IPC_STATE_RX_UP);
    EXPECT_NE(out.find("not served"), std::string::npos);
}

} // namespace
