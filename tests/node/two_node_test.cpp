// The shipped two-node example as two real turv_node processes on loopback
// (node0 on 127.0.0.1, the master; node1 on 127.0.0.2): node1 reaches NORM
// through heartbeats over UDP, then the application tasks exchange messages
// over TCP both ways. Malformed input from raw sockets is counted and
// survived, and a node that is killed and started again is taken back.
#include <gtest/gtest.h>

#include "two_node_util.h"

using namespace yw_node_test;

TEST(TwoNodes, SynchroniseOverUdpAndTalkOverTcp)
{
    auto ports = examplePorts();
    const int udp0 = ports["41710"], tcp0 = ports["41712"];
    ASSERT_TRUE(ports["41710"] > 0 && ports["41711"] > 0 && ports["41712"] > 0 && ports["41713"] > 0);
    TempDir d0, d1;
    prepare(d0, "master", ports);
    prepare(d1, "node1", ports);
    Node master(d0.path());
    ASSERT_TRUE(master.running());
    ASSERT_TRUE(master.waitFor(kSyncLine, 60s)) << master.output();
    auto node1 = std::make_unique<Node>(d1.path());
    ASSERT_TRUE(node1->running());
    // node1 synchronises on the master's first answer to its heartbeat
    ASSERT_TRUE(node1->waitFor(kSyncLine, 60s)) << node1->output();
    ASSERT_TRUE(node1->waitFor("YW_example_tcp_peer: node1 received ", 60s)) << node1->output();
    ASSERT_TRUE(master.waitFor("YW_example_tcp_peer: node0 received ", 60s)) << master.output();
    EXPECT_TRUE(has(node1->output(), " from node0\n"));
    EXPECT_TRUE(has(master.output(), " from node1\n"));
    for (Node *n : {&master, node1.get()}) {
        std::string out = n->output();
        EXPECT_FALSE(has(out, " refused:")) << out;
        EXPECT_FALSE(has(out, "can't")) << out;
    }
    // the two command interfaces took different ports
    int c0 = master.cliPort(), c1 = node1->cliPort();
    EXPECT_GT(c0, 0);
    EXPECT_GT(c1, 0);
    EXPECT_NE(c0, c1);

    // Malformed input: a short datagram and a frame whose length is too
    // large on the master's framework channel, and a bad frame on its TCP
    // server from node1's address while node1 is connected (that connection
    // is closed at once). The master stays up and node1's messages go on.
    int u = rawSocket(SOCK_DGRAM, "127.0.0.2");
    sockaddr_in to = at("127.0.0.1", udp0);
    const char shortDgram[3] = {1, 2, 3};
    uint32_t badHdr[3] = {0, 5000, 0};
    sendto(u, shortDgram, sizeof(shortDgram), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    sendto(u, badHdr, sizeof(badHdr), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    close(u);
    int t = rawSocket(SOCK_STREAM, "127.0.0.2");
    sockaddr_in srv = at("127.0.0.1", tcp0);
    ASSERT_EQ(connect(t, reinterpret_cast<sockaddr *>(&srv), sizeof(srv)), 0);
    send(t, badHdr, sizeof(badHdr), MSG_NOSIGNAL);
    pollfd p{t, POLLIN, 0};
    char b;
    EXPECT_TRUE(poll(&p, 1, 10000) == 1 && recv(t, &b, 1, 0) <= 0); // closed by the master
    close(t);
    size_t mark = master.output().size();
    ASSERT_TRUE(master.waitFor("YW_example_tcp_peer: node0 received ", 60s, mark)) << master.output().substr(mark);

    // A burst of connections from node1's address while node1 is connected:
    // each is closed with a line, and node1's messages go on, none lost or
    // coming twice.
    int refused = 0;
    for (int i = 0; i < 200; i++) {
        int c = rawSocket(SOCK_STREAM, "127.0.0.2");
        pollfd cp{c, POLLIN, 0};
        refused += connect(c, reinterpret_cast<sockaddr *>(&srv), sizeof(srv)) == 0 && poll(&cp, 1, 10000) == 1 &&
                   recv(c, &b, 1, 0) <= 0;
        close(c);
    }
    EXPECT_EQ(refused, 200);
    mark = master.output().size();
    ASSERT_TRUE(master.waitFor(" from node1\n", 60s, mark));
    mark = master.output().size();
    ASSERT_TRUE(master.waitFor(" from node1\n", 60s, mark));
    std::vector<long> seq = helloNumbers(master.output(), "node1");
    EXPECT_GE(seq.size(), 3u);
    EXPECT_TRUE(consecutive(seq)) << master.output();
    EXPECT_TRUE(has(master.output(), "closed: ipc app_from_node1 is connected to 127.0.0.2:")) << master.output();

    // node1 killed and started again: it synchronises again and the
    // messages flow both ways on new connections
    mark = master.output().size();
    node1->kill();
    node1 = std::make_unique<Node>(d1.path());
    ASSERT_TRUE(node1->running());
    ASSERT_TRUE(node1->waitFor(kSyncLine, 60s)) << node1->output();
    ASSERT_TRUE(node1->waitFor("YW_example_tcp_peer: node1 received ", 60s)) << node1->output();
    ASSERT_TRUE(master.waitFor("hello 0 from node1", 60s, mark)) << master.output().substr(mark);
    node1->kill();
    master.kill();
}
