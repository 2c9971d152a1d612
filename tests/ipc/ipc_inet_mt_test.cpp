// Socket channels under concurrency: a buffered TCP stream with flow
// control through both socket tasks, and channels deleted while datagrams
// keep arriving.
#include <atomic>
#include <fcntl.h>
#include <thread>

#include "ipc/ipc_inet_util.h"

using namespace yw_ipc_test;

namespace {

using InetMt = InetChannels;

TEST_F(InetMt, BufferedStreamWithFlowControlArrivesWholeAndInOrder)
{
    constexpr int kCount = 3000;
    uint16_t port = freePort(SOCK_STREAM);
    InetCfg rx("mt_rx", YW_IPC_TRANSPORT_TCP, YW_IPC_FLAGS_RX | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_RX_BUFFERED, 60,
               port, 0, 128, 2048, 8);
    InetCfg tx("mt_tx", YW_IPC_TRANSPORT_TCP, YW_IPC_FLAGS_TX | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_TX_BUFFERED, 61, 0,
               port, 128, 2048, 8);
    YW_ipc_id_t r = make(rx), t = make(tx);
    ASSERT_TRUE(waitFor([&] { return (YW_ipc_state_get(&YW_g_ipc[r]) & YW_IPC_STATE_RX_UP) != 0; }));
    TaskHost sender("mt_sender"), receiver("mt_receiver");
    ASSERT_TRUE(sender.ok() && receiver.ok());
    receiver.run([&] { ASSERT_EQ(YW_openIpc(60, YW_IPC_FLAGS_RX, nullptr), 0); });
    sender.run([&] { ASSERT_EQ(YW_openIpc(61, YW_IPC_FLAGS_TX, nullptr), 0); });
    std::atomic<int> got{0}, bad{0};
    sender.post([&] {
        char m[64];
        for (int i = 0; i < kCount;) {
            int n = std::snprintf(m, sizeof(m), "message %d", i);
            YW_size_t s = YW_sendIpc(t, m, n);
            if (s == n)
                i++;
            else if (s == YW_ERR_NO_TX_BD)
                takeIpcEvent(200000000LL); // room comes with an event (or look again)
            else
                return bad++, void();
        }
    });
    receiver.post([&] {
        char b[128];
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (got < kCount && std::chrono::steady_clock::now() < end) {
            YW_size_t n = YW_recvIpc(r, b, sizeof(b));
            if (n < 0) {
                takeIpcEvent(200000000LL);
                continue;
            }
            if (std::string(b, (size_t)n) != "message " + std::to_string(got.load()))
                bad++;
            got++;
        }
    });
    sender.drain();
    receiver.drain();
    EXPECT_EQ(got.load(), kCount);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(YW_g_ipc[r].rx.seqerr, 0u);
    EXPECT_EQ(YW_g_ipc[r].rx.lenerr, 0u);
}

TEST_F(InetMt, ChannelsAreDeletedWhileDatagramsArrive)
{
    uint16_t port = freePort(SOCK_DGRAM);
    std::atomic<bool> stop{false};
    std::thread blaster([&] {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = loop4(port);
        char d[32] = {0};
        uint32_t len = 20;
        std::memcpy(d + 4, &len, 4);
        while (!stop)
            sendto(fd, d, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        close(fd);
    });
    for (int round = 0; round < 20; round++) {
        InetCfg c("mt_udp", YW_IPC_TRANSPORT_UDP, YW_IPC_FLAGS_RX | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_RX_BUFFERED,
                  62, port, 0, 128, 2048, 8);
        YW_ipc_id_t id = make(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // nobody takes the datagrams: the ring fills and the receive task
        // waits for room instead of spinning; the deletion still goes through
        ASSERT_EQ(YW_ipc_closeAndDelete(id), 0);
    }
    stop = true;
    blaster.join();
}

TEST_F(InetMt, ServerStartedWhileAnotherStopsKeepsItsDescriptors)
{
    YW_P_inet_address_t a{}, b{};
    a.addr_in = loop4(freePort());
    b.addr_in = loop4(freePort());
    testing::internal::CaptureStdout();
    for (int round = 0; round < 200; round++) {
        ASSERT_EQ(YW_ipc_tcp_server_start(&a), 0);
        YW_ipc_tcp_server_t *sa = YW_ipc_tcp_server_find(&a);
        ASSERT_NE(sa, nullptr);
        std::atomic<int> go{0};
        std::thread stopper([&] {
            go++;
            while (go < 2) {
            }
            YW_ipc_tcp_server_stop(sa->index);
        });
        go++;
        while (go < 2) {
        }
        ASSERT_EQ(YW_ipc_tcp_server_start(&b), 0);
        stopper.join();
        // b keeps a listening socket on its port and its own doorbell
        YW_ipc_tcp_server_t *sb = YW_ipc_tcp_server_find(&b);
        ASSERT_NE(sb, nullptr);
        sockaddr_in got{};
        socklen_t len = sizeof(got);
        ASSERT_EQ(getsockname(sb->socket, reinterpret_cast<sockaddr *>(&got), &len), 0) << "round " << round;
        ASSERT_EQ(got.sin_port, b.addr_in.sin_port);
        ASSERT_GE(fcntl(sb->wakefd, F_GETFD), 0);
        ASSERT_EQ(YW_ipc_tcp_server_stopAll(), 0);
    }
    testing::internal::GetCapturedStdout();
}

} // namespace
