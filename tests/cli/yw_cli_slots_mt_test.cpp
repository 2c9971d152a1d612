// Client slots of the command interface under quiet and trickling clients,
// with the line and idle bounds shortened through their environment knobs.
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
const std::string kIdleGone = "\nidle while a new client needs the slot: disconnected\n";

// A server with a 400 ms line bound and a 600 ms idle bound.
class CliSlots : public ::testing::Test {
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

TEST_F(CliSlots, StartedLineMustBeFinishedInTime)
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
        EXPECT_EQ(data.size() >= kLineGone.size() && data.compare(data.size() - kLineGone.size(), std::string::npos,
                                                                  kLineGone) == 0,
                  r.dropped)
            << data;
        if (!r.dropped) {
            EXPECT_EQ(data.find("line not finished"), std::string::npos) << data;
            // still served
            c->send("ls\r");
            EXPECT_EQ(c->readUntil(kLs + kPrompt), kLs + kPrompt);
        }
    }
}

TEST_F(CliSlots, NewcomerTakesTheSlotOfTheClientIdleLongest)
{
    struct Row {
        const char *name;
        int waitMs;  // before the newcomer arrives
        int touched; // client that ran a command just before (-1: none)
        int victim;  // client that gives way (-1: the newcomer is refused)
    } rows[] = {
        {"all idle past the bound", 800, -1, 0},
        {"the oldest ran a command just before", 800, 0, 1},
        {"none idle long enough", 0, -1, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::unique_ptr<Client>> cs;
        for (int i = 0; i < YW_CLI_CLIENT_MAX; ++i) {
            cs.push_back(connect());
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(r.waitMs));
        if (r.touched >= 0) {
            cs[r.touched]->send("ls\r");
            EXPECT_EQ(cs[r.touched]->readUntil(kLs + kPrompt), kLs + kPrompt);
        }
        auto newcomer = std::make_unique<Client>(port_);
        ASSERT_TRUE(newcomer->ok());
        if (r.victim < 0) {
            std::string data;
            EXPECT_TRUE(newcomer->waitClosed(5000, &data));
            EXPECT_EQ(data, "");
        } else {
            EXPECT_EQ(newcomer->readUntil(kPrompt), kPrompt);
            std::string data;
            EXPECT_TRUE(cs[r.victim]->waitClosed(5000, &data));
            EXPECT_EQ(data, kIdleGone);
            cs[r.victim] = std::move(newcomer);
        }
        // everyone left is served
        for (auto &c : cs) {
            c->send("ls\r");
            EXPECT_EQ(c->readUntil(kLs + kPrompt), kLs + kPrompt);
        }
        // all leave; their slots are free for the next row
        for (auto &c : cs) {
            c->send("q\r");
            EXPECT_TRUE(c->waitClosed());
        }
    }
}

}  // namespace
