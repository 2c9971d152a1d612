// The two-node example against an intruder and a misconfigured operator:
// forged answers of the master from a third loopback address, or from the
// master's address but not its sending port, change nothing,
// and a node whose framework channel cannot be set up (a second copy of the
// master, an address that is not on this machine) ends in IERR while the
// running nodes keep their connections and their message sequences. The
// example's "tcp_peer" keeps sending while messages keep arriving.
#include <gtest/gtest.h>

#include "two_node_util.h"

using namespace yw_node_test;

namespace {

// The master's answer to node1 (iap 10) as one framed datagram.
std::string forgedAnswer(uint32_t seq)
{
    YW_int32_t msg[2] = {(YW_int32_t)0x87654321, 10};
    std::string f(8, '\0');
    uint32_t len = 8 + sizeof(msg) + 2;
    std::memcpy(&f[0], &seq, 4);
    std::memcpy(&f[4], &len, 4);
    return f + std::string(reinterpret_cast<const char *>(msg), sizeof(msg)) + std::string(2, '\0');
}

const char *kSyncStarts = "ctx=frm_fsm state=2 evt=20000.13\n";

} // namespace

TEST(TwoNodeTrust, ForgedMasterAnswersLeaveNode1InSync)
{
    // With the example's receive channel, which names the master's address
    // and sending port, the channel drops and counts the datagrams (also
    // those from the master's address but another port); without it node
    // management does.
    auto ports = examplePorts();
    const std::string masterAt = "not from the remote address 127.0.0.1:" + std::to_string(ports["41714"]);
    struct Row {
        const char *name;
        bool channelNamesTheMaster;
        const char *from;
        std::string line, counted;
    } rows[] = {
        {"another address", true, "127.0.0.3", "ipc frw_node1: datagram from 127.0.0.3:", masterAt + " (2 dropped)"},
        {"master's address, another port", true, "127.0.0.1", "ipc frw_node1: datagram from 127.0.0.1:",
         masterAt + " (2 dropped)"},
        {"node management", false, "127.0.0.3",
         "msg type 87654321 for iap 10 from 127.0.0.3 dropped: node node0 is at 127.0.0.1", " (2 dropped)"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string sys1 = exampleNodeConfig("node1", ports);
        const std::string filter = "        <remote ip=\"127.0.0.1\" port=\"" + std::to_string(ports["41714"]) +
                                   "\"/>\n      </ipcDef>\n      <ipcDef name=\"app_to";
        ASSERT_TRUE(has(sys1, filter));
        if (!r.channelNamesTheMaster)
            replaceAll(sys1, filter, "      </ipcDef>\n      <ipcDef name=\"app_to");
        TempDir d0, d1;
        prepare(d0, "master", ports);
        prepare(d1, "node1", sys1);
        Node node1(d1.path());
        ASSERT_TRUE(node1.waitFor(kSyncStarts, 60s)) << node1.output();
        int u = rawSocket(SOCK_DGRAM, r.from);
        sockaddr_in to = at("127.0.0.2", ports["41711"]);
        // sent until node1 has seen one (its channel may not be open yet),
        // then once more
        uint32_t seq = 0;
        for (; seq < 120 && !has(node1.output(), r.line); seq++) {
            std::string f = forgedAnswer(seq);
            sendto(u, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
            node1.waitFor(r.line, 500ms);
        }
        std::string f = forgedAnswer(seq);
        sendto(u, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        close(u);
        EXPECT_TRUE(has(node1.output(), r.line)) << node1.output();
        EXPECT_TRUE(node1.waitFor(r.counted, 10s)) << node1.output();
        std::this_thread::sleep_for(1s);
        EXPECT_FALSE(has(node1.output(), kSyncLine)) << node1.output();
        // the real master's answer still brings NORM
        Node master(d0.path());
        EXPECT_TRUE(node1.waitFor(kSyncLine, 60s)) << node1.output();
        EXPECT_TRUE(node1.waitFor("YW_example_tcp_peer: node1 received ", 60s)) << node1.output();
    }
}

TEST(TwoNodeTrust, AMasterThatCannotSetUpItsFrameworkChannelEndsInIerr)
{
    auto ports = examplePorts();
    const std::string udp0 = std::to_string(ports["41710"]), tcp0 = std::to_string(ports["41712"]);
    std::string sys0 = exampleNodeConfig("master", ports), absent = sys0;
    replaceAll(absent, "127.0.0.1", "192.0.2.1"); // TEST-NET-1: not on this machine
    TempDir d0, d1;
    prepare(d0, "master", sys0);
    prepare(d1, "node1", ports);
    Node master(d0.path());
    ASSERT_TRUE(master.waitFor(kSyncLine, 60s)) << master.output();
    Node node1(d1.path());
    ASSERT_TRUE(node1.waitFor("YW_example_tcp_peer: node1 received ", 60s)) << node1.output();

    struct Row {
        const char *name;
        std::string sys;
        std::vector<std::string> lines;
    } rows[] = {
        {"second copy", sys0,
         {"err=Address already in use ipc frw_node0 127.0.0.1:" + udp0,
          "tcp server start fail error=-958 ipc app_from_node1 127.0.0.1:" + tcp0 + ": Address already in use"}},
        {"absent address", absent,
         {"err=Cannot assign requested address ipc frw_node0 192.0.2.1:" + udp0,
          "tcp client connect fail, retry 1 sec later ipc app_to_node1 192.0.2.1:0 -> 127.0.0.2:"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        size_t mark1 = node1.output().size(), mark0 = master.output().size();
        TempDir dc;
        prepare(dc, "master", r.sys);
        Node copy(dc.path());
        ASSERT_TRUE(copy.waitFor("framework channel frw_node0 of iap 10 can't be set up", 60s)) << copy.output();
        EXPECT_TRUE(copy.waitFor("framework Internal error = ", 60s)) << copy.output();
        for (const std::string &l : r.lines)
            EXPECT_TRUE(copy.waitFor(l, 10s)) << l << "\n" << copy.output();
        // the running pair goes on, each sequence whole, for a few messages
        for (int i = 0; i < 3; i++) {
            size_t m = node1.output().size();
            ASSERT_TRUE(node1.waitFor(" from node0\n", 60s, m));
            m = master.output().size();
            ASSERT_TRUE(master.waitFor(" from node1\n", 60s, m));
        }
        std::string out = copy.output();
        EXPECT_FALSE(has(out, kSyncLine)) << out;
        EXPECT_FALSE(has(out, "YW_example_tcp_peer")) << out;
        std::vector<long> to1 = helloNumbers(node1.output(), "node0", mark1);
        std::vector<long> to0 = helloNumbers(master.output(), "node1", mark0);
        EXPECT_GE(to1.size(), 3u);
        EXPECT_TRUE(consecutive(to1)) << node1.output().substr(mark1);
        EXPECT_TRUE(consecutive(to0)) << master.output().substr(mark0);
        copy.kill();
    }
    // the copy's connections to node1 were refused while the master's stood
    EXPECT_TRUE(has(node1.output(), "closed: ipc app_from_node0 is connected to 127.0.0.1:")) << node1.output();
}

TEST(TwoNodeExample, TcpPeerSendsOnItsOwnScheduleWhileMessagesArrive)
{
    // node1 alone, with raw sockets of the test in the master's place
    // (127.0.0.1): an answer to its heartbeat, a listener for its sending
    // channel, and a client that sends to it five times a second.
    auto ports = examplePorts();
    TempDir d1;
    prepare(d1, "node1", ports);
    int lis = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in la = at("127.0.0.1", ports["41712"]);
    ASSERT_EQ(bind(lis, reinterpret_cast<sockaddr *>(&la), sizeof(la)), 0);
    ASSERT_EQ(listen(lis, 4), 0);
    Node node1(d1.path());
    ASSERT_TRUE(node1.waitFor(kSyncStarts, 60s)) << node1.output();
    // from the master's sending port: node1 trusts address and port only
    int u = rawSocket(SOCK_DGRAM, "127.0.0.1", ports["41714"]);
    sockaddr_in to = at("127.0.0.2", ports["41711"]);
    std::string answer = forgedAnswer(0);
    for (int i = 0; i < 120 && !has(node1.output(), kSyncLine); i++) {
        sendto(u, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        node1.waitFor(kSyncLine, 500ms);
    }
    close(u);
    ASSERT_TRUE(has(node1.output(), kSyncLine)) << node1.output();
    pollfd lp{lis, POLLIN, 0};
    ASSERT_EQ(poll(&lp, 1, 60000), 1);
    int from1 = accept4(lis, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(from1, 0);
    int to1 = -1;
    sockaddr_in srv = at("127.0.0.2", ports["41713"]);
    for (int i = 0; i < 120 && to1 < 0; i++) {
        to1 = rawSocket(SOCK_STREAM, "127.0.0.1");
        if (connect(to1, reinterpret_cast<sockaddr *>(&srv), sizeof(srv)) != 0) {
            close(to1);
            to1 = -1;
            std::this_thread::sleep_for(500ms);
        }
    }
    ASSERT_GE(to1, 0);
    // 25 messages, 200 ms apart; node1 goes on sending its own once a second
    std::string got;
    for (uint32_t i = 0; i < 25; i++) {
        std::string payload = "hello " + std::to_string(i) + " from node0";
        payload.push_back('\0');
        std::string f(8, '\0');
        uint32_t len = (uint32_t)payload.size() + 10;
        std::memcpy(&f[0], &i, 4);
        std::memcpy(&f[4], &len, 4);
        f += payload + std::string(2, '\0');
        send(to1, f.data(), f.size(), MSG_NOSIGNAL);
        auto until = std::chrono::steady_clock::now() + 200ms;
        for (pollfd p{from1, POLLIN, 0}; poll(&p, 1, 50) >= 0 && std::chrono::steady_clock::now() < until;) {
            char b[512];
            ssize_t n = p.revents ? recv(from1, b, sizeof(b), MSG_DONTWAIT) : 0;
            if (n > 0)
                got.append(b, (size_t)n);
        }
    }
    size_t sent = 0;
    for (size_t p = got.find(" from node1"); p != std::string::npos; p = got.find(" from node1", p + 1))
        sent++;
    EXPECT_GE(sent, 3u) << node1.output();
    EXPECT_TRUE(has(node1.output(), "hello 20 from node0")) << node1.output();
    close(to1);
    close(from1);
    close(lis);
}
