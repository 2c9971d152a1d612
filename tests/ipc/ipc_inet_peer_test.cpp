// Socket channels take only their configured peers: a UDP channel with a
// remote address drops datagrams from elsewhere (counted), and a listening
// TCP channel keeps a healthy connection against a newcomer from the peer's
// address. Set-up failures name the channel and the address.
#include <memory>
#include <poll.h>
#include <vector>

#include "ipc/ipc_inet_util.h"

using namespace yw_ipc_test;

namespace {

constexpr YW_uint32_t RX = YW_IPC_FLAGS_RX, TX = YW_IPC_FLAGS_TX, FR = YW_IPC_FLAGS_FRAMED,
                      RXB = YW_IPC_FLAGS_RX_BUFFERED;

struct Sock {
    int fd;
    // a socket of the given type bound to ip (port chosen by the kernel, or port)
    Sock(int type, uint32_t ip, uint16_t port = 0) : fd(socket(AF_INET, type | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a = loop4(port, ip);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Sock()
    {
        if (fd >= 0)
            close(fd);
    }
    uint16_t port() const
    {
        sockaddr_in a{};
        socklen_t l = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &l);
        return ntohs(a.sin_port);
    }
};

std::string frame(uint32_t seq, const std::string &payload)
{
    std::string f(8, '\0');
    uint32_t l = (uint32_t)payload.size() + 10;
    std::memcpy(&f[0], &seq, 4);
    std::memcpy(&f[4], &l, 4);
    return f + payload + std::string(2, '\0');
}

bool closedByPeer(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char b;
    return poll(&p, 1, 10000) == 1 && recv(fd, &b, 1, 0) <= 0;
}

using InetPeers = InetChannels;

TEST_F(InetPeers, UdpTakesDatagramsOnlyFromItsRemoteAddress)
{
    constexpr uint32_t kLo1 = 0x7F000001, kLo3 = 0x7F000003;
    Sock peer(SOCK_DGRAM, kLo1), elsewhere(SOCK_DGRAM, kLo3, 0), otherPort(SOCK_DGRAM, kLo1);
    ASSERT_TRUE(peer.fd >= 0 && elsewhere.fd >= 0 && otherPort.fd >= 0);
    struct Row {
        const char *name;
        YW_uint32_t flags;
        bool withPort;   // the remote names the peer's port too
        int taken;       // of the three senders: peer, 127.0.0.3, other port
    } rows[] = {
        {"udp_direct", RX, true, 1},
        {"udp_framed", RX | FR, true, 1},
        {"udp_buffered", RX | FR | RXB, true, 1},
        {"udp_anyport", RX | FR | RXB, false, 2},
    };
    TaskHost host("inet_peers");
    ASSERT_TRUE(host.ok());
    YW_uint32_t iap = 60;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        uint16_t port = freePort(SOCK_DGRAM);
        InetCfg c(r.name, YW_IPC_TRANSPORT_UDP, r.flags, iap, port, r.withPort ? peer.port() : 0, 64);
        YW_ipc_id_t id = make(c);
        host.run([&] { ASSERT_EQ(YW_openIpc(iap, RX, nullptr), 0); });
        iap++;
        bool framed = (r.flags & FR) != 0;
        sockaddr_in to = loop4(port);
        testing::internal::CaptureStdout();
        for (Sock *s : {&elsewhere, &otherPort, &peer}) {
            std::string d = framed ? frame(0, "hi") : "hi";
            sendto(s->fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        }
        // what is taken arrives; the source of the last one is the peer
        int got = 0;
        host.run([&] {
            char buf[64];
            for (int tries = 0; tries < 600 && got < r.taken; tries++) {
                if (YW_recvIpc(id, buf, sizeof(buf)) == 2)
                    got++;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_LT(YW_recvIpc(id, buf, sizeof(buf)), 0); // nothing more
        });
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, r.taken);
        EXPECT_EQ(YW_g_ipc[id].rx.rcverr, (YW_count_t)(3 - r.taken));
        sockaddr_in from{};
        ASSERT_EQ(YW_controlIpc(id, YW_IPC_CMD_GET_RX_SOURCE, &from, (YW_ipc_arg_t)sizeof(from)), 0);
        EXPECT_EQ(from.sin_addr.s_addr, htonl(kLo1));
        EXPECT_EQ(ntohs(from.sin_port), peer.port());
        std::string line = "ipc " + std::string(r.name) + ": datagram from 127.0.0.3:" +
                           std::to_string(elsewhere.port()) + " dropped, not from the remote address";
        EXPECT_NE(out.find(line), std::string::npos) << out;
    }
}

TEST_F(InetPeers, AConnectionFromThePeerReplacesOnlyAFailedOne)
{
    uint16_t port = freePort();
    InetCfg c("tcp_rx", YW_IPC_TRANSPORT_TCP, RX | FR | RXB, 70, port, 0, 64);
    YW_ipc_id_t id = make(c);
    TaskHost host("inet_tcp_peer");
    ASSERT_TRUE(host.ok());
    host.run([&] { ASSERT_EQ(YW_openIpc(70, RX, nullptr), 0); });
    sockaddr_in to = loop4(port);
    auto connectFrom = [&](std::unique_ptr<Sock> &s) {
        s = std::make_unique<Sock>(SOCK_STREAM, 0x7F000001);
        return s->fd >= 0 && connect(s->fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0;
    };
    auto receive = [&](const std::string &want) {
        bool ok = false;
        host.run([&] {
            char buf[64];
            ok = waitFor([&] {
                YW_size_t n = YW_recvIpc(id, buf, sizeof(buf));
                return n > 0 && std::string(buf, (size_t)n) == want;
            });
        });
        return ok;
    };
    std::unique_ptr<Sock> first, second;
    ASSERT_TRUE(connectFrom(first));
    ASSERT_TRUE(waitFor([&] { return (YW_ipc_state_get(&YW_g_ipc[id]) & YW_IPC_STATE_RX_UP) != 0; }));
    std::string f0 = frame(0, "one");
    send(first->fd, f0.data(), f0.size(), 0);
    ASSERT_TRUE(receive("one"));

    // a newcomer while the first is healthy: closed, with both ends named
    testing::internal::CaptureStdout();
    ASSERT_TRUE(connectFrom(second));
    EXPECT_TRUE(closedByPeer(second->fd));
    std::string out = testing::internal::GetCapturedStdout();
    std::string line = "connection 127.0.0.1:" + std::to_string(second->port()) + " -> 127.0.0.1:" +
                       std::to_string(port) + " closed: ipc tcp_rx is connected to 127.0.0.1:" +
                       std::to_string(first->port());
    EXPECT_NE(out.find(line), std::string::npos) << out;
    std::string f1 = frame(1, "two");
    send(first->fd, f1.data(), f1.size(), 0);
    EXPECT_TRUE(receive("two"));

    // the first goes: the next one from the peer's address is taken
    first.reset();
    bool taken = false;
    for (int i = 0; i < 50 && !taken; i++) {
        ASSERT_TRUE(connectFrom(second));
        std::string f = frame(0, "three");
        send(second->fd, f.data(), f.size(), MSG_NOSIGNAL);
        pollfd p{second->fd, POLLIN, 0};
        taken = poll(&p, 1, 200) == 0; // not closed by the channel
    }
    EXPECT_TRUE(taken);
    EXPECT_TRUE(receive("three"));
}

TEST_F(InetPeers, SetUpFailuresNameTheChannelAndTheAddress)
{
    // a UDP and a TCP address taken by another socket, a UDP and a TCP
    // local address that is not on this machine (TEST-NET-1)
    Sock udpTaken(SOCK_DGRAM, 0x7F000001, 0), tcpTaken(SOCK_STREAM, 0x7F000001, 0);
    ASSERT_EQ(listen(tcpTaken.fd, 1), 0);
    const uint32_t kAbsent = 0xC0000201; // 192.0.2.1
    uint16_t far = freePort();
    struct Row {
        const char *name;
        YW_uint16_t transport;
        YW_uint32_t flags;
        uint32_t localIp;
        uint16_t localPort;
        std::string line; // expected in the output
    } rows[] = {
        {"udp_taken", YW_IPC_TRANSPORT_UDP, RX, 0x7F000001, udpTaken.port(),
         "err=Address already in use ipc udp_taken 127.0.0.1:" + std::to_string(udpTaken.port())},
        {"udp_absent", YW_IPC_TRANSPORT_UDP, RX, kAbsent, 4000,
         "err=Cannot assign requested address ipc udp_absent 192.0.2.1:4000"},
        {"tcp_taken", YW_IPC_TRANSPORT_TCP, RX, 0x7F000001, tcpTaken.port(),
         "tcp server start fail error=-958 ipc tcp_taken 127.0.0.1:" + std::to_string(tcpTaken.port()) +
             ": Address already in use"},
        {"tcp_absent", YW_IPC_TRANSPORT_TCP, TX, kAbsent, 0,
         "tcp client connect fail, retry 1 sec later ipc tcp_absent 192.0.2.1:0 -> 127.0.0.1:" +
             std::to_string(far) + ": Cannot assign requested address"},
    };
    TaskHost host("inet_setup");
    ASSERT_TRUE(host.ok());
    YW_uint32_t iap = 80;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        InetCfg c(r.name, r.transport, r.flags, iap, r.localPort, far, 64);
        c.cfg.address.local.inet.addr_in.sin_addr.s_addr = htonl(r.localIp);
        testing::internal::CaptureStdout();
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        YW_createIpc(&c.cfg, &id);
        ASSERT_NE(id, YW_IPC_INVALID_ID);
        YW_ret_t opened = YW_SUCCESS;
        host.run([&] { opened = YW_openIpc(iap, r.flags, nullptr); });
        if (r.flags & TX) // a client goes on trying: its line comes from its retry thread
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(r.line), std::string::npos) << out;
        // a listening side that cannot be set up is not opened
        if (r.flags & RX) {
            EXPECT_LT(opened, 0);
            EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id]) & YW_IPC_STATE_RX_OPENED);
        }
        if (opened == YW_SUCCESS)
            host.run([&] { YW_closeIpc(id, r.flags); });
        EXPECT_EQ(YW_deleteIpc(id), 0);
        iap++;
    }
}

} // namespace
