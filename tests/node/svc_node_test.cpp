// The shipped example node with its timer, resources and module: the timer's
// handler runs its three times, and "ss" and "ds" answer over TCP.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "yw_node_test_util.h"

using namespace yw_node_test;

namespace {

size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1))
        ++n;
    return n;
}

} // namespace

TEST(NodeServices, ExampleRunsItsTimerAndAnswersSsAndDs)
{
    TempDir dir;
    dir.copyExample("single-node");
    Node node(dir.path());
    ASSERT_TRUE(node.running());
    ASSERT_TRUE(node.waitFor("YW_timer_tse_main:", 60s)) << node.output();
    ASSERT_TRUE(node.waitFor(" END 3 0 \n", 60s)) << node.output();
    int port = node.cliPort();
    ASSERT_GT(port, 0) << node.output();

    CliClient cli(port);
    ASSERT_TRUE(cli.ok());
    cli.readUntil("<<");
    std::string ss = cli.command("ss");
    for (const std::string &s : {std::string("*** sync object list ***"), std::string("name=app_lock sync_type=1"),
                                 std::string("name=app_sem sync_type=2"), "name=" + dir.shmName() + " sync_type=3"})
        EXPECT_TRUE(has(ss, s)) << s << "\n" << ss;
    struct stat sb {};
    EXPECT_EQ(stat(("/dev/shm" + dir.shmName()).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_size, 4096);

    std::string ds = cli.command("ds", "get address of hello error=-983\n");
    EXPECT_TRUE(has(ds, "*** Dynamic module list ***")) << ds;
    EXPECT_TRUE(has(ds, "filename=libturv_example_module.so \nstatus: state=0x3 ")) << ds;
    EXPECT_TRUE(has(ds, "address of hello is ")) << ds;
    EXPECT_TRUE(node.waitFor("hello from the turv example module\n", 30s)) << node.output();

    std::string out = node.output();
    EXPECT_EQ(count(out, "YW_example_timer_handler: timer 0 expired"), 3u) << out;
    // The three managers took their start commands in IDLE.
    for (const char *s : {"ctx=task_tsm state=0 evt=20000.80\n", "ctx=task_ssm state=0 evt=20000.60\n",
                          "ctx=dsm_fsm state=0 evt=20000.50\n"})
        EXPECT_TRUE(has(out, s)) << s;
    EXPECT_FALSE(has(out, "can't start")) << out;
    EXPECT_FALSE(has(out, "invalid cmd 80")) << out;
    node.kill();
}

TEST(NodeServices, SharedMemoryLeftByAKilledNodeIsMadeAgainByTheNext)
{
    TempDir dir;
    dir.copyExample("single-node");
    {
        Node first(dir.path());
        ASSERT_TRUE(first.running());
        ASSERT_TRUE(first.waitFor(" END 3 0 \n", 60s)) << first.output(); // its services are up
        first.kill();                                                      // SIGKILL: nothing deleted
    }
    struct stat sb {};
    ASSERT_EQ(stat(("/dev/shm" + dir.shmName()).c_str(), &sb), 0);
    Node second(dir.path());
    ASSERT_TRUE(second.running());
    ASSERT_TRUE(second.waitFor(" END 3 0 \n", 60s)) << second.output();
    std::string out = second.output();
    EXPECT_EQ(count(out, "shared memory " + dir.shmName() + " was left by an earlier run: removed and created again\n"),
              1u)
        << out;
    EXPECT_FALSE(has(out, "not created")) << out;
    second.kill();
}
