// The real node started with configuration folders: start-up steps that read
// the configuration files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "yw_node_test_util.h"

extern char **environ;

namespace {

struct RunResult {
    bool exited = false; // ended by itself within the time limit
    int status = -1;     // exit status when exited
    std::string out;     // standard output
};

// Runs turv_node with the arguments, collecting its standard output, and
// kills it when it has not ended after `limit`, or as soon as its output
// holds `until` (when given).
RunResult runNode(const std::vector<std::string> &args, std::chrono::milliseconds limit,
                  const std::string &until = "", const std::string &cwd = "")
{
    RunResult res;
    std::string bin = std::string(TURV_BIN_DIR) + "/turv_node";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return res;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return res;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, (int)left.count()) <= 0)
            continue;
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break; // end of output: the node has ended
        res.out.append(buf, (size_t)n);
        if (!until.empty() && res.out.find(until) != std::string::npos) {
            deadline = std::chrono::steady_clock::now(); // seen: stop the node now
            break;
        }
    }
    close(fds[0]);
    int st = 0;
    // The output ends a moment before the process can be reaped: allow for a
    // busy machine (10 s) unless the node is to be stopped now.
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid, &st, WNOHANG) == pid) {
            res.exited = WIFEXITED(st);
            res.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return res;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    return res;
}

struct TempFolder {
    std::filesystem::path dir;
    TempFolder()
    {
        char tmpl[] = "/tmp/yw_node_cfg_XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~TempFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

bool haveNode()
{
    return std::filesystem::exists(std::string(TURV_BIN_DIR) + "/turv_node");
}

} // namespace

TEST(NodeConfig, MissingSystemFileEndsWithStatus1)
{
    if (!haveNode())
        GTEST_SKIP() << "turv_node not built";
    TempFolder tmp;
    RunResult r = runNode({"-C", tmp.dir.string()}, std::chrono::seconds(20));
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("file not found:" + tmp.dir.string() + "/turv_sys_cfg.xml\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("load sys config file fail error=-1\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("load app config"), std::string::npos) << r.out;
}

TEST(NodeConfig, NoArgumentsReadTheDefaultFilesFromTheCurrentFolder)
{
    if (!haveNode())
        GTEST_SKIP() << "turv_node not built";
    TempFolder tmp;
    // The default folder "./" joined with a slash and the default name.
    RunResult r = runNode({}, std::chrono::seconds(20), "", tmp.dir.string());
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("file not found:.//turv_sys_cfg.xml\n"), std::string::npos) << r.out;

    yw_node_test::ShmName shm;
    std::ofstream(tmp.dir / "turv_sys_cfg.xml") << yw_node_test::exampleSysConfig(shm.name());
    r = runNode({}, std::chrono::seconds(60), "START TURV ....", tmp.dir.string());
    EXPECT_NE(r.out.find("sys config loaded:\n \n[0]kv: key=root value=normal"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("attr=0 child=1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file not found:.//turv_app_cfg.xml\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("START TURV ...."), std::string::npos) << r.out;
}

TEST(NodeConfig, LongFolderIsNeverReplacedByTheCurrentFolder)
{
    if (!haveNode())
        GTEST_SKIP() << "turv_node not built";
    TempFolder tmp;
    // A usable system file in the current folder must not be read in place
    // of the one named by a long "-C".
    yw_node_test::ShmName shm;
    std::ofstream(tmp.dir / "turv_sys_cfg.xml") << yw_node_test::exampleSysConfig(shm.name());
    std::string longDir = (tmp.dir / std::string(300, 'd')).string();
    RunResult r = runNode({"-C", longDir}, std::chrono::seconds(20), "sys config loaded", tmp.dir.string());
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("file not found:" + longDir + "/turv_sys_cfg.xml\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("sys config loaded"), std::string::npos) << r.out;

    std::string tooLong = (tmp.dir / std::string(600, 'd')).string();
    r = runNode({"-C", tooLong}, std::chrono::seconds(20), "sys config loaded", tmp.dir.string());
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("config file path too long"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("load sys config file fail error=-1\n"), std::string::npos) << r.out;
}

TEST(NodeConfig, BrokenSystemFileEndsWithStatus1)
{
    if (!haveNode())
        GTEST_SKIP() << "turv_node not built";
    TempFolder tmp;
    std::ofstream(tmp.dir / "sys.xml") << "<turvConfig>\n  <fw>\n    <fwConf>\n      <fwDef nodeNo=0/>\n"
                                          "    </fwConf>\n  </fw>\n</turvConfig>\n";
    RunResult r = runNode({"-C", tmp.dir.string(), "-f", "sys.xml"}, std::chrono::seconds(20));
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("xml parse error: unquoted attribute value (line 4)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("load sys config file fail error=-1\n"), std::string::npos) << r.out;
}

TEST(NodeConfig, MissingApplicationFileIsOnlyReported)
{
    if (!haveNode())
        GTEST_SKIP() << "turv_node not built";
    TempFolder tmp;
    yw_node_test::ShmName shm;
    std::ofstream(tmp.dir / "turv_sys_cfg.xml") << yw_node_test::exampleSysConfig(shm.name());
    // The node goes on with its start-up (its banner follows the two loads)
    // and is stopped then.
    RunResult r = runNode({"-C", tmp.dir.string(), "-a", "absent_app.xml"}, std::chrono::seconds(60),
                          "START TURV ....");
    EXPECT_NE(r.out.find("sys config loaded:\n \n[0]kv: key=root value=normal"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("file not found:" + tmp.dir.string() + "/absent_app.xml\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("load app config file fail error=-1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("START TURV ...."), std::string::npos) << r.out;
    EXPECT_LT(r.out.find("load app config file fail"), r.out.find("START TURV ....")) << r.out;
    EXPECT_FALSE(r.exited) << r.out;
}

// Configuration a newcomer may get wrong: a FIFO where the system file should
// be, a task entry naming the process's own start-up, a size beyond 32 bits.
TEST(NodeConfig, BadFirstConfigurationsAreRefusedWithALine)
{
    using namespace yw_node_test;
    if (!haveNode())
        GTEST_SKIP() << "turv_node not built";
    TempFolder fifo;
    ASSERT_EQ(mkfifo((fifo.dir / "turv_sys_cfg.xml").c_str(), 0600), 0);
    RunResult r = runNode({"-C", fifo.dir.string()}, std::chrono::seconds(20));
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "not a regular file:" + fifo.dir.string() + "/turv_sys_cfg.xml\n")) << r.out;

    // A refused task entry leaves the node coming up; a refused log size
    // fails the log configuration like any other bad log attribute.
    struct Case {
        const char *extraTask, *logConf, *refusal, *then;
    } cases[] = {
        {"      <taskDef name=\"again\" functionName=\"main\" category=\"app\" stackSize=\"65536\"/>\n", "",
         "main is the process's start-up, refused as a task entry\n", kSyncLine},
        {"      <taskDef name=\"again\" functionName=\"YW_main_entry\" category=\"app\" stackSize=\"65536\"/>\n", "",
         "YW_main_entry is the process's start-up, refused as a task entry\n", kSyncLine},
        {"", "      <logDef groupID=\"big\" bufferSize=\"999999999999\">\n      </logDef>\n",
         "bufferSize \"999999999999\" refused: not a number from 0 to 2147483647\n", "lsm config fail error = -1\n"},
    };
    for (const Case &c : cases) {
        TempFolder tmp;
        std::string sys = sysConfig(kSingleNode, c.extraTask);
        sys.replace(sys.find("    <logConf>\n") + 14, 0, c.logConf);
        std::ofstream(tmp.dir / "turv_sys_cfg.xml") << sys;
        std::ofstream(tmp.dir / "turv_app_cfg.xml") << kAppConfig;
        // Wait for the later of the two lines: a refused entry shows after
        // the synchronisation, a refused log size before its failure line.
        RunResult n = runNode({"-C", tmp.dir.string()}, std::chrono::seconds(60), *c.extraTask ? c.refusal : c.then);
        EXPECT_TRUE(has(n.out, c.refusal)) << n.out;
        EXPECT_TRUE(has(n.out, c.then)) << n.out;
        EXPECT_FALSE(has(n.out, "-727379969")) << n.out;
    }
}
