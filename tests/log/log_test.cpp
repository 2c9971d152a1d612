// Logging: default logs, the record path and its refusals, prefixes, ports,
// file output, the record ring and the "logDef" loader.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frw/yw_frw_cfg.h"
#include "log/yw_log.h"

namespace {

std::string make_temp_dir()
{
    char tmpl[] = "/tmp/turv_log_XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "";
}

// True when `s` is a sequence of "<hh/mm/ss.uuuuuu>" + line, one per element of `lines`.
bool stamped_lines(const std::string &s, const std::vector<std::string> &lines)
{
    size_t p = 0;
    for (const std::string &l : lines) {
        const char *pat = "<dd/dd/dd.dddddd>";
        for (size_t i = 0; pat[i]; ++i, ++p) {
            if (p >= s.size())
                return false;
            if (pat[i] == 'd' ? !std::isdigit((unsigned char)s[p]) : s[p] != pat[i])
                return false;
        }
        if (s.compare(p, l.size(), l) != 0)
            return false;
        p += l.size();
    }
    return p == s.size();
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct LogTest : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(0, YW_log_init());
        ASSERT_EQ(0, YW_registerLog("stdout", &YW_g_log_stdout));
    }
    void TearDown() override
    {
        YW_log_deinit();
    }
};

// A configuration of one on-demand log named `name` at `level`.
YW_log_cfg_t plain_cfg(const char *name, YW_uint32_t level, YW_uint32_t flags = 0)
{
    YW_log_cfg_t c;
    YW_log_cfg_init(&c);
    c.name = const_cast<char *>(name);
    c.bufferSize = 4096;
    c.flags = flags;
    c.input.type = YW_LOG_PORT_TYPE_ONDEMAND;
    c.input.level = level;
    return c;
}

YW_log_t make_log(YW_log_cfg_t *c)
{
    YW_log_t h = nullptr;
    EXPECT_EQ(0, YW_createLog(c, &h));
    if (h) {
        EXPECT_EQ(0, YW_addLogSource(h, YW_LOG_PORT_TYPE_ONDEMAND, nullptr));
        YW_enableLog(h);
    }
    return h;
}

TEST_F(LogTest, DefaultLogsAndPlainPrintf)
{
    ASSERT_EQ(&YW_g_lse_stdout, YW_g_log_stdout);
    ASSERT_EQ(&YW_g_lse_stderr, YW_g_log_stderr);
    EXPECT_EQ(YW_LOG_FLAG_ASSIGNED | YW_LOG_FLAG_ENABLED | YW_LOG_FLAG_TIME, YW_g_lse_stdout.flags.load());
    EXPECT_EQ(YW_LOG_FLAG_ASSIGNED | YW_LOG_FLAG_ENABLED | YW_LOG_FLAG_TIME, YW_g_lse_stderr.flags.load());
    EXPECT_EQ(100, YW_g_lse_stdout.level);
    EXPECT_EQ(20, YW_g_lse_stderr.level);
    EXPECT_EQ(2, YW_g_lse_count);
    EXPECT_EQ(YW_LOG_PORT_TYPE_STDOUT, YW_g_lse_stdout.output[0].type);
    EXPECT_EQ(YW_LOG_PORT_TYPE_FILE, YW_g_lse_stdout.output[1].type);
    EXPECT_EQ(65536, YW_g_lse_stdout.buffer->size);
    EXPECT_EQ(0, YW_log_init()); // second call does nothing

    testing::internal::CaptureStdout();
    YW_printf("hello %d\n", 42);
    YW_elog("bad %s\n", "thing");
    EXPECT_EQ("hello 42\nbad thing\n", testing::internal::GetCapturedStdout());

    YW_log_t h = nullptr;
    EXPECT_EQ(-1, YW_registerLog("nope", &h));
    EXPECT_EQ(nullptr, h);
}

TEST_F(LogTest, RecordRefusals)
{
    testing::internal::CaptureStdout();
    int line = __LINE__ + 1;
    YW_logPrintf(YW_g_log_stderr, YW_LOG_LEVEL_INFO, "not shown\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string("TestBody:") + std::to_string(line) + " level 20 40\n", out);

    YW_log_cfg_t c = plain_cfg("refuse", 50);
    YW_log_t h = make_log(&c);
    ASSERT_NE(nullptr, h);
    YW_disableLog(h);
    testing::internal::CaptureStdout();
    YW_logPrintf(h, 40, "x");
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(" not enabled\n"));
    YW_enableLog(h);
    YW_setLogFlags(h, YW_LOG_FLAG_DATA);
    testing::internal::CaptureStdout();
    YW_logPrintf(h, 40, "x");
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(" flag data\n"));

    // Raw writes: only data logs, enabled, within the level, with an input.
    YW_resetLogFlags(h, YW_LOG_FLAG_DATA);
    EXPECT_EQ(YW_ERR_NOT_DATALOG, YW_logWrite(h, 40, "abc", 3));
    YW_setLogFlags(h, YW_LOG_FLAG_DATA);
    YW_disableLog(h);
    EXPECT_EQ(YW_ERR_LOG_DISABLED, YW_logWrite(h, 40, "abc", 3));
    YW_enableLog(h);
    EXPECT_EQ(YW_ERR_LOG_LEVEL, YW_logWrite(h, 60, "abc", 3));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, YW_logWrite(h, 50, "abc", 3));
    EXPECT_EQ("abc", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, YW_delLogSource(h, YW_LOG_PORT_TYPE_ONDEMAND));
    EXPECT_EQ(YW_ERR_LOG_INVALID, YW_logWrite(h, 50, "abc", 3));
    YW_resetLogFlags(h, YW_LOG_FLAG_DATA);
    testing::internal::CaptureStdout();
    YW_logPrintf(h, 40, "x");
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(" invalid\n"));

    EXPECT_EQ(-1, YW_logWrite(nullptr, 1, "a", 1));
    EXPECT_EQ(-1, YW_enableLog(nullptr));
    EXPECT_EQ(-1, YW_setLogFlags(nullptr, 1));
    EXPECT_EQ(YW_ERR_CFG_INCONSISTENT, YW_addLogSource(h, YW_LOG_PORT_TYPE_IPC, nullptr));
    EXPECT_EQ(-1, YW_delLogSource(h, YW_LOG_PORT_TYPE_FILE));
    YW_logPrintf(nullptr, 0, "nothing at all"); // a null handle prints nothing
    EXPECT_EQ(0, YW_deleteLog(h));
}

TEST_F(LogTest, PrefixTable)
{
    struct Case {
        YW_uint32_t flags;
        std::string expect; // with FILE, FUNC and LINE placeholders
    } cases[] = {
        {YW_LOG_FLAG_FILE | YW_LOG_FLAG_LINE | YW_LOG_FLAG_FUNC, "(F:L, N) "},
        {YW_LOG_FLAG_FILE | YW_LOG_FLAG_LINE, "(F:L) "},
        {YW_LOG_FLAG_FILE | YW_LOG_FLAG_FUNC, "(F: N) "},
        {YW_LOG_FLAG_FILE, "(F) "},
        {YW_LOG_FLAG_LINE | YW_LOG_FLAG_FUNC, "(L, N) "},
        {YW_LOG_FLAG_LINE, "(L) "},
        {YW_LOG_FLAG_FUNC, "(N) "},
        {0, ""},
    };
    YW_log_cfg_t c = plain_cfg("prefix", 100);
    YW_log_t h = make_log(&c);
    ASSERT_NE(nullptr, h);
    for (const auto &k : cases) {
        YW_resetLogFlags(h, 0xFFFF & ~(YW_LOG_FLAG_ASSIGNED | YW_LOG_FLAG_ENABLED));
        YW_setLogFlags(h, k.flags);
        testing::internal::CaptureStdout();
        int line = __LINE__ + 1;
        YW_logPrintf(h, 40, "msg\n");
        std::string out = testing::internal::GetCapturedStdout();
        std::string want = k.expect;
        auto rep = [&](const std::string &from, const std::string &to) {
            size_t p = want.find(from);
            if (p != std::string::npos)
                want.replace(p, from.size(), to);
        };
        rep("F", __FILE__);
        rep("L", std::to_string(line));
        rep("N", "TestBody");
        EXPECT_EQ(want + "msg\n", out) << "flags " << k.flags;
    }
    YW_deleteLog(h);
}

TEST_F(LogTest, LongLineIsCutAtTheBuffer)
{
    std::string big(5000, 'x');
    testing::internal::CaptureStdout();
    YW_printf("%s", big.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ((size_t)YW_LOG_PRINTF_BUF_SZ - 1, out.size());
    EXPECT_EQ(std::string(YW_LOG_PRINTF_BUF_SZ - 1, 'x'), out);

    // With a prefix longer than the buffer, the prefix itself is cut.
    YW_log_cfg_t c = plain_cfg("cut", 100, YW_LOG_FLAG_FUNC);
    YW_log_t h = make_log(&c);
    testing::internal::CaptureStdout();
    YW_logPrintf(h, 40, "%s%s", big.c_str(), big.c_str());
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ((size_t)YW_LOG_PRINTF_BUF_SZ - 1, out.size());
    EXPECT_EQ(0u, out.find("(TestBody) xxx"));
    YW_deleteLog(h);
}

TEST_F(LogTest, CreateDeleteAndPorts)
{
    YW_log_cfg_t c = plain_cfg("ports", 60);
    c.bufferSize = 0;
    YW_log_t h = nullptr;
    EXPECT_EQ(YW_ERR_CFG_NULL, YW_createLog(nullptr, &h));
    ASSERT_EQ(0, YW_createLog(&c, &h));
    EXPECT_EQ(65536, h->buffer->size); // bufferSize 0 gets the default ring
    EXPECT_NE(&c, h->cfg);             // a configuration outside the table is copied
    EXPECT_STREQ("ports", h->cfg->name);
    EXPECT_EQ(YW_LOG_FLAG_ASSIGNED, h->flags.load());
    EXPECT_EQ(h, YW_log_lse(h->logId));
    YW_log_t h2 = nullptr;
    EXPECT_EQ(YW_ERR_CFG_AGAIN, YW_createLog(&c, &h2));

    int keys[9];
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(i, YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_CLI, nullptr, &keys[i], nullptr));
    EXPECT_EQ(-1, YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_CLI, nullptr, &keys[8], nullptr));
    EXPECT_EQ(3, YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_CLI, nullptr, &keys[3], nullptr));
    EXPECT_EQ(60, h->output[3].level);
    EXPECT_EQ(0, YW_log_lse_delOutput(h, 3));
    EXPECT_EQ(YW_LOG_PORT_TYPE_INVALID, h->output[3].type);
    EXPECT_EQ(-1, YW_log_lse_delOutput(h, 8));
    EXPECT_EQ(-1, YW_log_lse_delOutput(h, -1));
    for (int i = 0; i < 8; ++i)
        YW_log_lse_delOutput(h, i);

    // Sinks: only configured outputs, once each.
    EXPECT_EQ(YW_ERR_CFG_INCONSISTENT, YW_addLogSink(h, YW_LOG_PORT_TYPE_STDOUT, nullptr));
    EXPECT_EQ(0, YW_deleteLog(h));
    EXPECT_EQ(0, YW_deleteLog(nullptr));

    c.output[0].type = YW_LOG_PORT_TYPE_STDOUT;
    c.output_count = 1;
    h = nullptr;
    ASSERT_EQ(0, YW_createLog(&c, &h));
    EXPECT_EQ(0, YW_addLogSink(h, YW_LOG_PORT_TYPE_STDOUT, nullptr));
    EXPECT_EQ(YW_ERR_AGAIN, YW_addLogSink(h, YW_LOG_PORT_TYPE_STDOUT, nullptr));
    EXPECT_EQ(-1, YW_delLogSink(h, YW_LOG_PORT_TYPE_FILE, 0));
    EXPECT_EQ(0, YW_delLogSink(h, YW_LOG_PORT_TYPE_STDOUT, 0));
    EXPECT_EQ(0, YW_deleteLog(h));
}

TEST_F(LogTest, DeletingDefaultLogsKeepsStaticStorage)
{
    // The default entities live in static storage: deleting them must not
    // hand that storage to the allocator (a sanitizer build would fail).
    EXPECT_EQ(0, YW_deleteLog(&YW_g_lse_stderr));
    EXPECT_EQ(YW_ERR_STATE, YW_deleteLog(&YW_g_lse_stderr));
    EXPECT_EQ(nullptr, YW_g_log_stderr);
    YW_elog("dropped\n"); // null handle: nothing
    EXPECT_EQ(0, YW_deleteLog(&YW_g_lse_stdout));
    EXPECT_EQ(0, YW_g_lse_count);
}

TEST_F(LogTest, FileOutputAppendsTimeStampedLines)
{
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string path = dir + "/app.log";
    {
        std::ofstream f(path);
        f << "previous run line that is long\n";
    }
    YW_log_cfg_t c = plain_cfg("filelog", 40);
    c.output[0].type = YW_LOG_PORT_TYPE_FILE;
    c.output[0].logFolderName = const_cast<char *>(dir.c_str());
    c.output[0].logFileName = const_cast<char *>("app.log");
    c.output_count = 1;
    YW_log_t h = make_log(&c);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(0, YW_log_lse_addOutputFile(h, nullptr, &h->cfg->output[0]));
    testing::internal::CaptureStdout();
    YW_logPrintf(h, YW_LOG_LEVEL_INFO, "first %d\n", 1);
    YW_logPrintf(h, YW_LOG_LEVEL_ERROR, "second\n");
    YW_logPrintf(h, YW_LOG_LEVEL_DEBUG, "refused\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find("first 1\nsecond\n")); // standard output: no stamp
    EXPECT_EQ(0, YW_deleteLog(h));                 // closes the file

    std::string text = read_file(path);
    const std::string prev = "previous run line that is long\n";
    ASSERT_EQ(0u, text.find(prev)) << text;
    EXPECT_TRUE(stamped_lines(text.substr(prev.size()), {"first 1\n", "second\n"})) << text;
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

int cli_cb(YW_logOutputPort_t *port, const char *data, YW_size_t len, YW_logRecord_t *rec)
{
    YW_log_lse_sendStamped((int)(intptr_t)port->priv, data, len, rec);
    return 0;
}

TEST_F(LogTest, CommandInterfacePortGetsLinesBeforeReturn)
{
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    int idx = YW_log_lse_addStdoutToCli(nullptr, sv[0], cli_cb);
    ASSERT_GE(idx, 0);
    EXPECT_EQ(YW_LOG_PORT_TYPE_CLI, YW_g_lse_stdout.output[idx].type);
    EXPECT_EQ(idx, YW_log_lse_addStdoutToCli(nullptr, sv[0], cli_cb)); // same socket: same port
    testing::internal::CaptureStdout();
    YW_printf("task list\n");
    testing::internal::GetCapturedStdout();
    char buf[256] = {};
    ssize_t n = recv(sv[1], buf, sizeof(buf) - 1, MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(stamped_lines(std::string(buf, n), {"task list\n"})) << buf;
    EXPECT_EQ(0, YW_log_lse_delCliFromStdout(idx));
    testing::internal::CaptureStdout();
    YW_printf("not for the client\n");
    testing::internal::GetCapturedStdout();
    EXPECT_LT(recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT), 0);
    // A stale or wrong index never removes the log's own outputs.
    EXPECT_EQ(-1, YW_log_lse_delCliFromStdout(0));
    EXPECT_EQ(-1, YW_log_lse_delCliFromStdout(1));
    EXPECT_EQ(-1, YW_log_lse_delCliFromStdout(8));
    EXPECT_EQ(YW_LOG_PORT_TYPE_STDOUT, YW_g_lse_stdout.output[0].type);
    EXPECT_EQ(YW_LOG_PORT_TYPE_FILE, YW_g_lse_stdout.output[1].type);
    EXPECT_EQ(0, YW_log_lse_delCliFromStdout(idx)); // already free: nothing to do
    close(sv[0]);
    close(sv[1]);
}

struct Seg {
    std::string data;
    int segment;
};
std::vector<Seg> g_segs;

int capture_cb(YW_logOutputPort_t *, const char *data, YW_size_t len, YW_logRecord_t *rec)
{
    g_segs.push_back({std::string(data, (size_t)len), rec->segmentIndex});
    return 0;
}

TEST_F(LogTest, RingRecordThatWrapsIsDeliveredInTwoPieces)
{
    YW_log_cfg_t c = plain_cfg("ring", 100);
    c.bufferSize = 64;
    YW_log_t h = make_log(&c);
    ASSERT_NE(nullptr, h);
    int key;
    ASSERT_GE(YW_log_lse_addOutput(h, YW_LOG_PORT_TYPE_LSE, nullptr, &key, capture_cb), 0);
    g_segs.clear();
    std::string a(40, 'a'), b = std::string(24, 'b') + std::string(16, 'c');
    EXPECT_EQ(YW_FAIL, YW_log_lse_proc(h)); // nothing buffered
    ASSERT_EQ(0, YW_log_lse_pushRecord(h, a.data(), (YW_size_t)a.size(), 40));
    EXPECT_EQ(40u, YW_circularBuffer_held(&h->buffer->control));
    ASSERT_EQ(0, YW_log_lse_proc(h));
    ASSERT_EQ(0, YW_log_lse_pushRecord(h, b.data(), (YW_size_t)b.size(), 40));
    EXPECT_EQ(YW_ERR_BUFFER_NO_SPACE, YW_log_lse_pushRecord(h, a.data(), (YW_size_t)a.size(), 40));
    EXPECT_EQ(1u, h->buffer->control.overflow);
    ASSERT_EQ(0, YW_log_lse_proc(h));
    EXPECT_EQ(YW_FAIL, YW_log_lse_proc(h));
    ASSERT_EQ(3u, g_segs.size());
    EXPECT_EQ(a, g_segs[0].data);
    EXPECT_EQ(0, g_segs[0].segment);
    EXPECT_EQ(std::string(24, 'b'), g_segs[1].data);
    EXPECT_EQ(0, g_segs[1].segment);
    EXPECT_EQ(std::string(16, 'c'), g_segs[2].data);
    EXPECT_EQ(1, g_segs[2].segment);
    EXPECT_EQ(0u, YW_circularBuffer_held(&h->buffer->control));
    // A record filling the ring exactly is held whole.
    std::string full(64, 'f');
    ASSERT_EQ(0, YW_log_lse_pushRecord(h, full.data(), 64, 40));
    EXPECT_EQ(64u, YW_circularBuffer_held(&h->buffer->control));
    ASSERT_EQ(0, YW_log_lse_proc(h));
    EXPECT_EQ(0u, YW_circularBuffer_held(&h->buffer->control));
    YW_deleteLog(h);
}

YW_log_t g_nestLog;
int g_nestCalls;
int nesting_cb(YW_logOutputPort_t *, const char *, YW_size_t, YW_logRecord_t *)
{
    ++g_nestCalls;
    YW_logPrintf(g_nestLog, 40, "from the port\n"); // standard output only
    return 0;
}

TEST_F(LogTest, PortCallbackMayLogAndPortLevelFilters)
{
    YW_log_cfg_t c = plain_cfg("nest", 100);
    g_nestLog = make_log(&c);
    ASSERT_NE(nullptr, g_nestLog);
    int key;
    int idx = YW_log_lse_addOutput(g_nestLog, YW_LOG_PORT_TYPE_CLI, nullptr, &key, nesting_cb);
    ASSERT_GE(idx, 0);
    g_nestCalls = 0;
    testing::internal::CaptureStdout();
    YW_logPrintf(g_nestLog, 40, "outer\n");
    EXPECT_EQ("outer\nfrom the port\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, g_nestCalls);
    // A port below the record's level does not get it.
    g_nestLog->output[idx].level = 30;
    testing::internal::CaptureStdout();
    YW_logPrintf(g_nestLog, 40, "skipped by the port\n");
    YW_logPrintf(g_nestLog, 30, "taken\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(2, g_nestCalls);
    YW_deleteLog(g_nestLog);
}

TEST(LogCfg, SetAttributeAndToString)
{
    YW_log_cfg_t c;
    YW_log_cfg_init(&c);
    EXPECT_EQ(4096000, c.bufferSize);
    auto set = [&](const char *el, const char *at, const char *v) {
        return YW_log_cfg_setAttribute(&c, const_cast<char *>(el), const_cast<char *>(at), const_cast<char *>(v));
    };
    EXPECT_EQ(0, set("logDef", "groupID", "g"));
    EXPECT_EQ(0, set("logDef", "bufferSize", "1024"));
    EXPECT_EQ(-1, set("logDef", "bufferSize", "12x"));
    EXPECT_EQ(-1, set("logDef", "nope", "1"));
    EXPECT_EQ(-1, set("unknown", "groupID", "1"));
    EXPECT_EQ(0, set("flags", "timestampFlag", "1"));
    EXPECT_EQ(0, set("flags", "lineFlag", "0"));
    EXPECT_EQ(YW_LOG_FLAG_TIME, c.flags);
    EXPECT_EQ(0, set("input", "output", "ondeman"));
    EXPECT_EQ(YW_LOG_PORT_TYPE_ONDEMAND, c.input.type);
    EXPECT_EQ(0, set("input", "output", "other")); // leaves it
    EXPECT_EQ(YW_LOG_PORT_TYPE_ONDEMAND, c.input.type);
    EXPECT_EQ(-1, set("input", "level", "70000"));
    EXPECT_EQ(0, set("task", "policy", "SCHED_RR"));
    EXPECT_EQ(2, c.policy);
    EXPECT_EQ(0, set("task", "policy", "fifo"));
    EXPECT_EQ(0, c.policy);
    EXPECT_EQ(0, set("task", "core_mask", "ff"));
    EXPECT_EQ(255u, c.core_mask);
    EXPECT_EQ(0, set("output", "output", "cli"));
    EXPECT_EQ(1u, c.output_count);
    EXPECT_EQ(YW_LOG_PORT_TYPE_CLI, c.output[0].type);
    char text[512];
    YW_log_cfg_toString(&c, text, sizeof(text));
    EXPECT_STREQ("groupID=g bufferSize=1024 flags=10 input=2 0output=6(0) ", text);
    char small[8];
    EXPECT_EQ(7, YW_log_cfg_toString(&c, small, sizeof(small)));
    EXPECT_STREQ("groupID", small);
}

TEST_F(LogTest, LogDefLoading)
{
    std::string xml = "<turv>\n<fw>\n<logConf>\n"
                      "<logDef groupID=\"net\" bufferSize=\"0\">\n"
                      "  <flags fileFlag=\"1\" lineFlag=\"0\"/>\n"
                      "  <input output=\"ondemand\" level=\"50\"/>\n"
                      "  <output output=\"stdout\" level=\"40\"/>\n"
                      "  <output level=\"30\" output=\"file\">\n"
                      "    <logFile logFolderName=\"/tmp/x\" logFileName=\"net.log\" logFileMaxSize=\"1000\" "
                      "logFileWrapOption=\"1\"/>\n"
                      "  </output>\n"
                      "  <task policy=\"SCHED_FIFO\" priority=\"10\" core_mask=\"3\" stackSize=\"65536\"/>\n"
                      "</logDef>\n"
                      "<logDef groupID=\"app\">\n</logDef>\n"
                      "</logConf>\n</fw>\n</turv>\n";
    static YW_frw_cfg_set_t set; // the tree must outlive the configurations
    std::vector<char> text(xml.begin(), xml.end());
    text.push_back('\0');
    ASSERT_EQ(0, YW_frw_cfg_loadText(text.data(), (YW_size_t)xml.size(), &set));
    YW_frw_cfg_element_t *section = YW_frw_searchCfgElement(set.base, YW_LOG_LSM_TAG, nullptr);
    ASSERT_NE(nullptr, section);

    YW_frw_cfg_element_t *it = nullptr;
    EXPECT_EQ(YW_ERR_NO_CFG, YW_loadLogServiceEntity(nullptr, &YW_g_log_cfg[0], &it));
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, YW_loadLogServiceEntity(section, &YW_g_log_cfg[0], &it));
    ASSERT_NE(nullptr, it);
    ASSERT_EQ(0, YW_loadLogServiceEntity(section, &YW_g_log_cfg[1], &it));
    ASSERT_NE(nullptr, it);
    ASSERT_EQ(0, YW_loadLogServiceEntity(section, &YW_g_log_cfg[2], &it));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, it);
    EXPECT_EQ(nullptr, YW_g_log_cfg[2].name);
    EXPECT_NE(std::string::npos, out.find("cfg: groupID=net bufferSize=0 flags=20 input=2 0output=1(0) "
                                          "3(/tmp/x, net.log, 1000, 1) \n"))
        << out;

    YW_log_cfg_t &net = YW_g_log_cfg[0];
    EXPECT_STREQ("net", net.name);
    EXPECT_EQ(YW_LOG_FLAG_FILE, net.flags);
    EXPECT_EQ(50u, net.input.level);
    ASSERT_EQ(2u, net.output_count);
    EXPECT_EQ(YW_LOG_PORT_TYPE_STDOUT, net.output[0].type);
    EXPECT_EQ(40u, net.output[0].level);
    EXPECT_EQ(YW_LOG_PORT_TYPE_FILE, net.output[1].type);
    EXPECT_EQ(30u, net.output[1].level);
    EXPECT_STREQ("net.log", net.output[1].logFileName);
    EXPECT_EQ(1, net.policy);
    EXPECT_EQ(10, net.priority);
    EXPECT_EQ(3u, net.core_mask);
    EXPECT_EQ(65536, net.stack_size);
    EXPECT_STREQ("app", YW_g_log_cfg[1].name);
    EXPECT_EQ(0u, YW_g_log_cfg[1].output_count);

    // A table configuration is used in place, not copied.
    YW_log_t h = nullptr;
    ASSERT_EQ(0, YW_createLog(&net, &h));
    EXPECT_EQ(&net, h->cfg);
    EXPECT_EQ(YW_LOG_FLAG_ASSIGNED | YW_LOG_FLAG_FILE, h->flags.load());
    EXPECT_EQ(65536, h->buffer->size);
    YW_log_t found = nullptr;
    EXPECT_EQ(0, YW_registerLog("net", &found));
    EXPECT_EQ(h, found);
    EXPECT_EQ(0, YW_deleteLog(h));
    EXPECT_STREQ("net", net.name); // table entry not freed
}

} // namespace
