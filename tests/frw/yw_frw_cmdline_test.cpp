// Command line of a node: options into the configuration names, "-h", and
// the executable path kept for the symbol lookup.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "frw/yw_frw.h"
#include "osa/yw_osa.h"
#include "yw_mem.h"

extern "C" __attribute__((noinline, used)) int yw_frw_cmdline_test_entry(void)
{
    return 77;
}

namespace {

struct Names {
    const char *folder, *log, *sys, *app;
};

const Names kDefaults = {"./", "../log", "turv_sys_cfg.xml", "turv_app_cfg.xml"};

struct Row {
    const char *what;
    std::vector<const char *> args; // after argv[0]
    int result;
    Names names;
};

const Row kRows[] = {
    {"no arguments", {}, 0, kDefaults},
    {"-h first", {"-h"}, -1, kDefaults},
    {"-h first, nothing else looked at", {"-h", "-C", "dir"}, -1, kDefaults},
    {"-h later is ignored", {"-C", "cfg", "-h"}, 0, {"cfg", "../log", "turv_sys_cfg.xml", "turv_app_cfg.xml"}},
    {"-C last changes nothing", {"-C"}, 0, kDefaults},
    {"option last after a value", {"-a", "one", "-C"}, 0, {"./", "../log", "turv_sys_cfg.xml", "one"}},
    {"-f twice, last wins", {"-f", "a.xml", "-f", "b.xml"}, 0, {"./", "../log", "b.xml", "turv_app_cfg.xml"}},
    {"value looking like an option", {"-C", "-f"}, 0, {"-f", "../log", "turv_sys_cfg.xml", "turv_app_cfg.xml"}},
    {"value -f then a real -f", {"-C", "-f", "-f", "s.xml"}, 0, {"-f", "../log", "s.xml", "turv_app_cfg.xml"}},
    {"all four", {"-C", "dir", "-L", "logs", "-f", "s.xml", "-a", "app.xml"}, 0, {"dir", "logs", "s.xml", "app.xml"}},
    {"other arguments skipped", {"x", "-a", "app.xml", "y"}, 0, {"./", "../log", "turv_sys_cfg.xml", "app.xml"}},
    {"options are case-sensitive", {"-c", "x", "-F", "y", "--C", "z"}, 0, kDefaults},
    {"empty value is a value", {"-f", ""}, 0, {"./", "../log", "", "turv_app_cfg.xml"}},
    {"-h as a value", {"-L", "-h"}, 0, {"./", "-h", "turv_sys_cfg.xml", "turv_app_cfg.xml"}},
};

// Rows are named by what they show (stable test names, no addresses).
void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.what;
}

class CmdLine : public ::testing::TestWithParam<Row> {};

TEST_P(CmdLine, OptionsGiveTheConfigurationNames)
{
    const Row &row = GetParam();
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>("/opt/turv/bin/turv_node"));
    for (const char *a : row.args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    int argc = (int)argv.size() - 1;

    // Leftovers of an earlier row must not show through.
    YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, "stale");
    EXPECT_EQ(YW_frw_init(argc, argv.data()), row.result) << row.what;
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_CFG_FOLDERNAME), row.names.folder) << row.what;
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_LOG_FOLDERNAME), row.names.log) << row.what;
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_SYS_CFG_FILENAME), row.names.sys) << row.what;
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_APP_CFG_FILENAME), row.names.app) << row.what;
    EXPECT_STREQ(YW_g_exefile, "/opt/turv/bin/turv_node") << row.what;
    EXPECT_EQ(YW_frw_procOptions(argc, argv.data()), row.result) << row.what;
}

INSTANTIATE_TEST_SUITE_P(Rows, CmdLine, ::testing::ValuesIn(kRows));

TEST(CmdLineNames, ReplacedCopiesAreReleasedAndDefaultsNeverAre)
{
    YW_frw_setConfigDefault();
    auto &st = yw_pGlobalData->malloc_status;
    YW_count_t alloc0 = yw_count_get(st.alloc_count), free0 = yw_count_get(st.free_count);
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_SYS_CFG_FILENAME, "one.xml"), 0); // replaces a default
    EXPECT_EQ(yw_count_get(st.free_count), free0);
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_SYS_CFG_FILENAME, "two.xml"), 0); // replaces a copy
    EXPECT_EQ(yw_count_get(st.alloc_count), alloc0 + 2);
    EXPECT_EQ(yw_count_get(st.free_count), free0 + 1);
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_SYS_CFG_FILENAME), "two.xml");
    YW_frw_setConfigDefault();
    EXPECT_EQ(yw_count_get(st.free_count), free0 + 2);
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_SYS_CFG_FILENAME), "turv_sys_cfg.xml");

    // The value is copied, not referenced.
    char buf[] = "mine.xml";
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_APP_CFG_FILENAME, buf), 0);
    buf[0] = 'X';
    EXPECT_STREQ(YW_frw_getConfig(YW_FRW_APP_CFG_FILENAME), "mine.xml");
    YW_frw_setConfigDefault();
}

TEST(CmdLineNames, BadItemsAndValuesAreRefusedAndKeepTheName)
{
    YW_frw_setConfigDefault();
    EXPECT_EQ(YW_frw_setConfig(-1, "x"), YW_FAIL);
    EXPECT_EQ(YW_frw_setConfig(YW_FRW_CFGITEM_MAX, "x"), YW_FAIL);
    EXPECT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, nullptr), YW_FAIL);
    EXPECT_EQ(YW_frw_getConfig(-1), nullptr);
    EXPECT_EQ(YW_frw_getConfig(YW_FRW_CFGITEM_MAX), nullptr);
    // A long name is kept as given: it is never swapped for an earlier one
    // (a file would then be read from another folder); the bounded path join
    // of the load refuses what does not fit.
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, "cfgdir"), 0);
    std::string huge(4000, 'd');
    EXPECT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, huge.c_str()), 0);
    EXPECT_EQ(YW_frw_getConfig(YW_FRW_CFG_FOLDERNAME), huge);
    char buf[512];
    EXPECT_EQ(YW_frw_getCfgFilePath_n("a.xml", buf, sizeof(buf)), YW_FAIL);
    YW_frw_setConfigDefault();
}

TEST(CmdLineNames, ConfigurationFilePathJoinsFolderAndName)
{
    YW_frw_setConfigDefault();
    char *p = YW_frw_getCfgFilePath("abcde", nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, ".//abcde");
    YW_free(p);

    char buf[512];
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, "/etc/turv"), 0);
    EXPECT_EQ(YW_frw_getCfgFilePath("turv_sys_cfg.xml", buf), buf);
    EXPECT_STREQ(buf, "/etc/turv/turv_sys_cfg.xml");

    char small[12];
    EXPECT_EQ(YW_frw_getCfgFilePath_n("turv_sys_cfg.xml", small, sizeof(small)), YW_FAIL);
    EXPECT_EQ(YW_frw_getCfgFilePath_n("a", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "/etc/turv/a");
    // The longest names accepted always fit a 512-byte path buffer.
    std::string f(255, 'f'), n(255, 'n');
    ASSERT_EQ(YW_frw_setConfig(YW_FRW_CFG_FOLDERNAME, f.c_str()), 0);
    EXPECT_EQ(YW_frw_getCfgFilePath_n(n.c_str(), buf, sizeof(buf)), 0);
    EXPECT_EQ(strlen(buf), 511u);
    YW_frw_setConfigDefault();
}

TEST(CmdLineExe, LongArgv0IsNotKeptAndNeverOverflows)
{
    std::string exact(YW_EXEFILE_LEN - 1, 'e');
    char *argv1[] = {const_cast<char *>(exact.c_str()), nullptr};
    EXPECT_EQ(YW_frw_init(1, argv1), 0);
    EXPECT_EQ(strlen(YW_g_exefile), exact.size());

    std::string longer(YW_EXEFILE_LEN + 100, 'l');
    char *argv2[] = {const_cast<char *>(longer.c_str()), nullptr};
    EXPECT_EQ(YW_frw_init(1, argv2), 0);
    EXPECT_STREQ(YW_g_exefile, "");
    // The lookup still finds functions of the running executable.
    void *addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("yw_frw_cmdline_test_entry", &addr), 0);
    EXPECT_EQ(reinterpret_cast<int (*)(void)>(addr)(), 77);
    EXPECT_EQ(YW_frw_procOptions(0, nullptr), 0);
    EXPECT_EQ(YW_frw_init(0, nullptr), 0);
}

TEST(CmdLineExe, ThreadShapedEntryIsFoundByItsPlainName)
{
    // A configuration names entries by their plain symbol name.
    YW_g_exefile[0] = '\0';
    void *addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("YW_main_entry", &addr), 0);
    EXPECT_EQ(addr, reinterpret_cast<void *>(&YW_main_entry));
    addr = nullptr;
    ASSERT_EQ(YW_P_getLocalSymbol("YW_frw_main", &addr), 0);
    EXPECT_EQ(addr, reinterpret_cast<void *>(&YW_frw_main));
}

// Runs the node with the given arguments; returns its exit status and
// everything it wrote on standard output and error. A node that does not end
// by itself within 20 s is killed and reported as -2 (a fault must fail the
// test, not hang it).
int runNode(const std::vector<const char *> &args, std::string &out)
{
    std::string exe = std::string(TURV_BIN_DIR) + "/turv_node";
    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) != 0)
        return -1000;
    pid_t pid = fork();
    if (pid < 0) {
        close(pfd[0]);
        close(pfd[1]);
        return -1000;
    }
    if (pid == 0) {
        dup2(pfd[1], 1);
        dup2(pfd[1], 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(exe.c_str()));
        for (const char *a : args)
            argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(pfd[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool timedOut = false;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd p = {pfd[0], POLLIN, 0};
        int n = poll(&p, 1, (int)left.count());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            timedOut = n == 0;
            break;
        }
        ssize_t r = read(pfd[0], buf, sizeof(buf));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        out.append(buf, (size_t)r);
    }
    close(pfd[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CmdLineNode, HelpFirstExitsWith255AndNoOutput)
{
    std::string exe = std::string(TURV_BIN_DIR) + "/turv_node";
    if (access(exe.c_str(), X_OK) != 0)
        GTEST_SKIP() << "turv_node not built";
    std::string out;
    EXPECT_EQ(runNode({"-h"}, out), 255);
    EXPECT_EQ(out, "");
    out.clear();
    EXPECT_EQ(runNode({"-h", "-C", "/nonexistent"}, out), 255);
    EXPECT_EQ(out, "");
}

} // namespace
