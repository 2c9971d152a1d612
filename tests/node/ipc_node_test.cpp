// The shipped single-node example with its IPC channels: node management
// opens the master's own access point and declares synchronisation, the
// framework reaches NORM and creates the application tasks, and the two
// example tasks exchange messages over the message-queue channel pair.
#include <gtest/gtest.h>

#include "yw_node_test_util.h"

using namespace yw_node_test;

TEST(IpcNode, ExampleReachesNormAndItsTasksExchangeMessages)
{
    TempDir dir;
    dir.copyExample("single-node");
    Node node(dir.path());
    ASSERT_TRUE(node.running());
    // NORM: the synchronisation event ran in SYNC
    ASSERT_TRUE(node.waitFor(kSyncLine, 60s)) << node.output();
    ASSERT_TRUE(node.waitFor("YW_example_ipc_receiver: ipc 2 received 7 bytes: ping 0\n", 60s)) << node.output();
    ASSERT_TRUE(node.waitFor("YW_example_ipc_receiver: ipc 2 received 7 bytes: ping 1\n", 60s)) << node.output();
    std::string out = node.output();
    // the IPC manager made the three channels and node management opened
    // channel 0 (iap 10) without a failure line
    EXPECT_TRUE(has(out, "ctx=task_ism state=0 evt=20000.60\n")) << out;
    EXPECT_FALSE(has(out, "refused")) << out;
    EXPECT_FALSE(has(out, "can't open iap")) << out;
    EXPECT_TRUE(has(out, "YW_example_ipc_sender: sending on ipc 1 (iap 20)\n")) << out;
    EXPECT_TRUE(has(out, "YW_example_ipc_receiver: receiving on ipc 2 (iap 21)\n")) << out;
    EXPECT_FALSE(has(out, "invalid cmd 20")) << out;

    int port = node.cliPort(60s);
    ASSERT_GT(port, 0) << out;
    CliClient cli(port);
    ASSERT_TRUE(cli.ok());
    cli.readUntil("<<");
    std::string ts = cli.command("ts");
    for (const char *t : {"         ism[   B|A]", "    node_mng[   B|A]", "  ipc_sender[   B|A]",
                          "ipc_receiver[   B|A]"})
        EXPECT_TRUE(has(ts, t)) << t << "\n" << ts;
    node.kill();
}
