// Client loops of the command interface under trickling clients, with the
// line bound shortened through its environment knob (the hand-over of idle
// clients' slots is tested against a real node in tests/node).
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

// A server with a 400 ms line bound.
class CliLineBound : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv(YW_CLI_LINE_WAIT_ENV, "400", 1);
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

}  // namespace
