// Client loops of the command interface under trickling and silent clients,
// with the line and idle bounds shortened through their environment knobs
// (the hand-over of idle clients' slots is tested in full against a real
// node in tests/node).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_client.h"
#include "cli/yw_cli.h"

using clitest::Client;
using namespace std::chrono_literals;

namespace {

const std::string kPrompt = "<<";
const std::string kLs = "ls help q hv \n";
const std::string kLineGone = "\nline not finished in time: disconnected\n";

// A server with a 400 ms line bound and a 600 ms idle bound.
class CliLineBound : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(YW_CLI_LINE_WAIT_ENV, "400", 1);
        setenv(YW_CLI_IDLE_MIN_ENV, "600", 1);
        YW_cli_Init();
        port_ = YW_cli_StartServerOnPort(0, 15000);
        ASSERT_GT(port_, 0);
    }
    void TearDown() override
    {
        if (port_ > 0) {
            EXPECT_EQ(YW_shutdownCLIManage(), 0);
        }
        unsetenv(YW_CLI_LINE_WAIT_ENV);
        unsetenv(YW_CLI_IDLE_MIN_ENV);
    }
    std::unique_ptr<Client> connect()
    {
        auto c = std::make_unique<Client>(port_);
        EXPECT_EQ(c->readUntil(kPrompt), kPrompt);
        return c;
    }
    int port_ = -1;
};

TEST_F(CliLineBound, StartedLineMustBeFinishedInTime)
{
    struct Step {
        std::string bytes;
        int pauseMs;
    };
    struct Row {
        const char *name;
        std::vector<Step> steps;
        bool dropped;
    } rows[] = {
        {"one byte every 100 ms, no line end", {{"l", 100}, {"s", 100}, {"x", 100}}, true},
        {"recalled line not run", {{"ls\r", 50}, {"\x1b", 0}}, true},
        {"slow line finished within the bound", {{"l", 150}, {"s", 150}, {"\r", 0}}, false},
        {"silent at the prompt", {}, false},
        {"bare line ends only", {{"\r", 150}, {"\n", 150}, {"\r", 0}}, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        auto c = connect();
        for (const Step &s : r.steps) {
            c->send(s.bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(s.pauseMs));
        }
        std::string data;
        bool closed = c->waitClosed(r.dropped ? 5000 : 1000, &data);
        EXPECT_EQ(closed, r.dropped) << data;
        // one parting line, at the end
        EXPECT_EQ(data.size() >= kLineGone.size() && data.rfind(kLineGone) == data.size() - kLineGone.size(),
                  r.dropped)
            << data;
        if (!r.dropped) {
            // still served
            c->send("ls\r");
            EXPECT_EQ(c->readUntil(kLs + kPrompt), kLs + kPrompt);
        }
    }
}

TEST_F(CliLineBound, SilentClientGivesItsSlotToANewcomer)
{
    std::vector<std::unique_ptr<Client>> cs;
    for (int i = 0; i < YW_CLI_CLIENT_MAX; ++i) {
        cs.push_back(connect());
    }
    std::this_thread::sleep_for(700ms);
    for (int i = 1; i < YW_CLI_CLIENT_MAX; ++i) {
        cs[i]->send("ls\r");
        EXPECT_EQ(cs[i]->readUntil(kLs + kPrompt), kLs + kPrompt);
    }
    Client newcomer(port_);
    EXPECT_EQ(newcomer.readUntil(kPrompt), kPrompt);
    std::string data;
    EXPECT_TRUE(cs[0]->waitClosed(5000, &data));
    EXPECT_EQ(data, "\nidle while a new client needs the slot: disconnected\n");
}

}  // namespace
