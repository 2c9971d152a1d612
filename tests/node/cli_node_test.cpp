// The real node started from the example configuration, inspected through its
// command interface over TCP.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_client.h"
#include "cli/yw_cli.h"
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

TEST(NodeCli, QuietAndTricklingClientsDoNotHoldEverySlot)
{
    if (!std::filesystem::exists(std::string(TURV_BIN_DIR) + "/turv_node"))
        GTEST_SKIP() << "turv_node not built";
    // Bounds shortened for the test: a line is finished within 1.5 s; a
    // client idle for 2 s gives its slot to a newcomer.
    setenv(YW_CLI_LINE_WAIT_ENV, "1500", 1);
    setenv(YW_CLI_IDLE_MIN_ENV, "2000", 1);
    TempDir tmp;
    tmp.copyExample("single-node");
    Node node(tmp.path());
    unsetenv(YW_CLI_LINE_WAIT_ENV);
    unsetenv(YW_CLI_IDLE_MIN_ENV);
    int port = node.cliPort();
    ASSERT_GT(port, 0) << node.output();
    const std::string idleGone = "\nidle while a new client needs the slot: disconnected\n";
    const std::string lineGone = "\nline not finished in time: disconnected\n";
    const std::string tasks = "*** Task list ***";

    struct Row {
        const char *name;
        bool trickle; // each sends a byte every 500 ms, no line end
        int touched;  // ran "ts" a second before the newcomer (-1: none)
        int waitMs;   // from the five's connection to the newcomer's
        int victim;   // gives way; -1: the newcomer is refused; -2: all five dropped before
    } rows[] = {
        {"five silent, a sixth too early", false, -1, 0, -1},
        {"five silent, a sixth after the idle bound", false, -1, 2500, 0},
        {"the oldest typed ts a second ago", false, 0, 2500, 1},
        {"five slowloris", true, -1, 2500, -2},
    };
    size_t served = 0;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::unique_ptr<clitest::Client>> cs;
        for (int i = 0; i < 5; ++i) {
            cs.push_back(std::make_unique<clitest::Client>(port));
            ASSERT_TRUE(cs.back()->ok());
            EXPECT_TRUE(has(cs.back()->readUntilHas("<<"), "<<"));
            std::this_thread::sleep_for(100ms);
        }
        served += 5;
        if (r.trickle) {
            for (int t = 0; t < 3; ++t) {
                for (auto &c : cs)
                    c->send("t");
                std::this_thread::sleep_for(500ms);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(r.waitMs - 1500));
        } else if (r.touched >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.waitMs - 1000));
            cs[r.touched]->send("ts\r");
            EXPECT_TRUE(has(cs[r.touched]->readUntilHas(tasks), tasks));
            std::this_thread::sleep_for(1s);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.waitMs));
        }
        auto newcomer = std::make_unique<clitest::Client>(port);
        ASSERT_TRUE(newcomer->ok());
        std::string data;
        if (r.victim == -1) {
            EXPECT_TRUE(newcomer->waitClosed(10000, &data));
            EXPECT_EQ(data, "");
        } else {
            EXPECT_TRUE(has(newcomer->readUntilHas("<<"), "<<"));
            served++;
            for (int i = 0; i < 5; ++i) {
                if (r.victim != -2 && i != r.victim)
                    continue;
                EXPECT_TRUE(cs[i]->waitClosed(10000, &data)) << i;
                EXPECT_TRUE(has(data, r.victim == -2 ? lineGone : idleGone)) << i << ": " << data;
                cs[i].reset();
            }
        }
        cs.push_back(std::move(newcomer));
        // the others are still served
        for (auto &c : cs) {
            if (c && !(r.victim == -1 && c == cs.back())) {
                c->send("ts\r");
                EXPECT_TRUE(has(c->readUntilHas(tasks), tasks));
            }
        }
        // all leave; the next row starts with five free slots
        cs.clear();
        auto until = std::chrono::steady_clock::now() + 10s;
        size_t ended = 0;
        while (std::chrono::steady_clock::now() < until) {
            std::string out = node.output();
            ended = 0;
            for (size_t p = out.find("(): q\n"); p != std::string::npos; p = out.find("(): q\n", p + 1))
                ended++;
            if (ended >= served)
                break;
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(ended, served) << node.output();
    }
}

} // namespace
