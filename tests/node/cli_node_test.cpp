// The real node started from the example configuration, inspected through its
// command interface over TCP.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "yw_node_test_util.h"

namespace {

using namespace yw_node_test;

TEST(NodeCli, OperatorListsCommandsAndTasksAndQuits)
{
    if (!std::filesystem::exists(std::string(TURV_BIN_DIR) + "/turv_node"))
        GTEST_SKIP() << "turv_node not built";
    TempDir tmp;
    tmp.copyExample("single-node");
    Node node(tmp.path());
    ASSERT_TRUE(node.running());
    int port = node.cliPort();
    ASSERT_GT(port, 0) << node.output();
    // 30000, or a later port when another node of a parallel test holds it.
    EXPECT_GE(port, 30000);

    CliClient c(port);
    ASSERT_TRUE(c.ok());
    // The client's log port is in place before the prompt is written, so a
    // line that a task logs at that moment may arrive ahead of the prompt.
    std::string first = c.readUntil("<<");
    EXPECT_NE(first.find("<<"), std::string::npos) << first;
    // Log lines of the node's tasks may come between the listed names.
    std::string ls = c.command("ls", "hv \n");
    for (const char *name : {"ls ", "help ", "q ", "hv ", "ts "}) // "ts": the task service's
        EXPECT_NE(ls.find(name), std::string::npos) << name << " in " << ls;
    std::string ts = c.command("ts", "*** Task list ***");
    EXPECT_NE(ts.find("*** Task list ***"), std::string::npos) << ts;
    std::string nf = c.command("nosuch", "Command not found\n");
    EXPECT_NE(nf.find("Command not found\n"), std::string::npos) << nf;
    // The memory viewer on an unmapped address answers with an error line and
    // the node lives on.
    std::string hv = c.command("hv 10", "is not readable\n");
    EXPECT_NE(hv.find("hv: address 10 is not readable\n"), std::string::npos) << hv;
    std::string q = c.command("q", "Exit...\n");
    EXPECT_NE(q.find("Exit...\n"), std::string::npos) << q;

    // Another client is served after the first has gone.
    CliClient d(port);
    ASSERT_TRUE(d.ok());
    std::string help = d.command("help q", "quit\n");
    EXPECT_NE(help.find("quit\n"), std::string::npos) << help;
}

} // namespace
