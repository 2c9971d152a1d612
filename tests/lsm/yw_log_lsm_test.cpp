// The log service manager as a real task: its five states, the commands it
// refuses, the "logConf" loading, its reports to the framework queue, and its
// end on the stop command.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frw/yw_frw_cfg.h"
#include "frw/yw_frw_fsm.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

extern "C" {
extern YW_fsm_context_t YW_s_log_lsm_fsm;
YW_ret_t YW_log_lsm_sendEvent(YW_event_value_t value, void *data);
YW_ret_t YW_log_lsm_start(void);
}

namespace {

using namespace std::chrono_literals;

// Standard output of this process read while the test runs.
class StdoutTap {
public:
    StdoutTap()
    {
        std::fflush(stdout);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        if (pipe(fds_) != 0)
            return;
        saved_ = dup(1);
        dup2(fds_[1], 1);
        close(fds_[1]);
        reader_ = std::thread([this] {
            char b[4096];
            ssize_t n;
            while ((n = read(fds_[0], b, sizeof b)) > 0) {
                std::lock_guard<std::mutex> g(m_);
                out_.append(b, (size_t)n);
            }
        });
    }
    ~StdoutTap()
    {
        std::fflush(stdout);
        dup2(saved_, 1); // closes the pipe's last writer: the reader ends
        close(saved_);
        reader_.join();
        close(fds_[0]);
    }
    bool waitFor(const std::string &s, std::chrono::milliseconds limit = 30s)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            std::fflush(stdout);
            {
                std::lock_guard<std::mutex> g(m_);
                if (out_.find(s) != std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
    std::string text()
    {
        std::lock_guard<std::mutex> g(m_);
        return out_;
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
    std::thread reader_;
    std::mutex m_;
    std::string out_;
};

bool waitUntil(const std::function<bool()> &f, std::chrono::milliseconds limit = 30s)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return f();
}

// The state-change reports waiting in the framework queue (copies taken out).
std::vector<YW_fsm_context_t> takeReports()
{
    std::vector<YW_fsm_context_t> v;
    YW_event_msg_t *m = nullptr;
    while (YW_event_recv(&YW_g_frw_fsm_event_q, YW_EVENT_FLAG_FRW, &m) == 0) {
        if (m->id.p.value == YW_FRW_EVT_SSCH && m->data) {
            auto *d = reinterpret_cast<YW_fsm_context_t *>(m->data);
            EXPECT_NE(d, &YW_s_log_lsm_fsm); // a copy, not the live context
            EXPECT_EQ(d->refCount, 1);
            v.push_back(*d);
            YW_free(d);
        }
        YW_event_releaseEvent(m);
    }
    return v;
}

// Logging and the task table up, the framework's queue ready and emptied
// (the reports queue up: no framework thread), no "logConf" and the log
// service not normal: the log service manager starts from scratch.
void freshLogService()
{
    YW_log_init();
    YW_registerLog("stdout", &YW_g_log_stdout);
    YW_task_tsm_init();
    ASSERT_EQ(YW_frw_fsm_init(), 0);
    takeReports();
    YW_g_logEventControl.log_config = nullptr;
    __atomic_fetch_and(&YW_g_logServiceStatus.status, ~YW_LOG_STATUS_NORMAL, __ATOMIC_SEQ_CST);
}

// Loads the text into set and gives its "logConf" section to the manager.
void useLogConf(char *xml, YW_frw_cfg_set_t *set)
{
    ASSERT_EQ(YW_frw_cfg_loadText(xml, (YW_size_t)std::strlen(xml), set), 0);
    YW_g_logEventControl.log_config = YW_frw_searchCfgElement(set->base, YW_LOG_LSM_TAG, nullptr);
    ASSERT_NE(YW_g_logEventControl.log_config, nullptr);
}

} // namespace

TEST(LogServiceManager, ConfiguresStartsReportsAndStops)
{
    StdoutTap tap;
    ASSERT_NO_FATAL_FAILURE(freshLogService());

    // Without "logConf" the configuration command fails and the LSM stays IDLE.
    ASSERT_EQ(YW_startLogService(), 0);
    ASSERT_TRUE(tap.waitFor("lsm config fail error = -974\n")) << tap.text();
    EXPECT_TRUE(tap.text().find("start lsm task result=0") != std::string::npos) << tap.text();
    EXPECT_EQ(__atomic_load_n(&YW_s_log_lsm_fsm.state, __ATOMIC_ACQUIRE), 0u);

    // START in IDLE is refused.
    ASSERT_EQ(YW_log_lsm_sendEvent(1, nullptr), 0);
    ASSERT_TRUE(tap.waitFor("YW_log_lsm_handleStartCmd:")) << tap.text();
    ASSERT_TRUE(tap.waitFor(" invalid cmd 1 at state 0\n")) << tap.text();
    EXPECT_TRUE(takeReports().empty());

    // With two "logDef" the LSM goes on to INIT and NORM.
    static char xml[] = "<cfg><fw><logConf>\n"
                        "<logDef groupID=\"lg_a\" bufferSize=\"65536\"/>\n"
                        "<logDef groupID=\"lg_b\" bufferSize=\"65536\"/>\n"
                        "</logConf></fw></cfg>\n";
    static YW_frw_cfg_set_t set;
    ASSERT_NO_FATAL_FAILURE(useLogConf(xml, &set));
    ASSERT_EQ(YW_log_lsm_start(), 0);
    ASSERT_TRUE(waitUntil([] { return (__atomic_load_n(&YW_g_logServiceStatus.status, __ATOMIC_ACQUIRE) & YW_LOG_STATUS_NORMAL) != 0; }))
        << tap.text();
    EXPECT_STREQ(YW_g_log_cfg[0].name, "lg_a");
    EXPECT_STREQ(YW_g_log_cfg[1].name, "lg_b");
    EXPECT_EQ(YW_g_log_cfg[2].name, nullptr);
    ASSERT_TRUE(tap.waitFor("start lse task result=0")) << tap.text();

    std::vector<YW_fsm_context_t> r;
    ASSERT_TRUE(waitUntil([&] {
        auto more = takeReports();
        r.insert(r.end(), more.begin(), more.end());
        return r.size() >= 3;
    }));
    ASSERT_EQ(r.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(r[i].name, "lsm_fsm");
        EXPECT_EQ(r[i].prev_state, (YW_fsm_state_t)i);
        EXPECT_EQ(r[i].state, (YW_fsm_state_t)i + 1);
    }

    // Started: a second start does nothing.
    EXPECT_EQ(YW_startLogService(), 0);
    YW_logServiceStatus_t st{};
    EXPECT_EQ(YW_inqLogService(&st), 0);
    EXPECT_EQ(st.status & YW_LOG_STATUS_STARTED, YW_LOG_STATUS_STARTED);
    EXPECT_EQ(YW_inqLogService(nullptr), -1);

    // STOP: the receiver is told to end, the LSM reaches TERM and ends.
    ASSERT_EQ(YW_shutdownLogService(), 0);
    ASSERT_TRUE(tap.waitFor("LSM task end....")) << tap.text();
    ASSERT_TRUE(tap.waitFor("lse stop...\n")) << tap.text();
    EXPECT_EQ(YW_g_logServiceStatus.status & YW_LOG_STATUS_STARTED, 0);
    // Stopped: the service no longer reports its normal state.
    EXPECT_EQ(YW_inqLogService(&st), 0);
    EXPECT_EQ(st.status & YW_LOG_STATUS_NORMAL, 0);
    r = takeReports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].prev_state, 3u);
    EXPECT_EQ(r[0].state, 4u);
    EXPECT_TRUE(waitUntil([] {
        YW_task_id_t id;
        return YW_searchTaskByName("LSM", &id) != 0 && YW_searchTaskByName("LSE_RECEIVER", &id) != 0;
    }));
}

TEST(LogServiceManager, ConfiguredLsmTaskRunsAndTheReceiverOutlivesOtherFrameworkEvents)
{
    StdoutTap tap;
    ASSERT_NO_FATAL_FAILURE(freshLogService());
    static char xml[] = "<cfg><fw><logConf>\n</logConf></fw></cfg>\n";
    static YW_frw_cfg_set_t set;
    ASSERT_NO_FATAL_FAILURE(useLogConf(xml, &set));

    // A configured task with the LSM entry is the one started.
    YW_task_cfg_t c{};
    c.name = const_cast<char *>("my_lsm");
    c.entry_name = const_cast<char *>("YW_log_lsm_main");
    c.category = YW_TASK_CAT_FRW | YW_TASK_CAT_INI;
    c.stack_size = 256 * 1024;
    YW_task_id_t mine = YW_TASK_ID_NONE;
    ASSERT_EQ(YW_createTask(&c, &mine), 0);
    ASSERT_EQ(YW_startLogService(), 0);
    ASSERT_TRUE(tap.waitFor("start lsm task result=0", 60s)) << tap.text();
    ASSERT_TRUE(waitUntil([] { return (__atomic_load_n(&YW_g_logServiceStatus.status, __ATOMIC_ACQUIRE) & YW_LOG_STATUS_NORMAL) != 0; }, 60s))
        << tap.text();
    YW_task_id_t id;
    EXPECT_NE(YW_searchTaskByName("LSM", &id), 0);
    EXPECT_EQ(YW_g_task[mine].status.state, YW_TASK_STATE_ASSIGNED | YW_TASK_STATE_BUSY);

    // An FRW event other than 65 is released and the receiver goes on.
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 7, nullptr);
    ASSERT_GE(YW_event_send(&YW_g_log_event_q, m), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(tap.text().find("lse stop..."), std::string::npos) << tap.text();
    ASSERT_EQ(YW_searchTaskByName("LSE_RECEIVER", &id), 0);

    // The stop still reaches it.
    ASSERT_EQ(YW_shutdownLogService(), 0);
    ASSERT_TRUE(tap.waitFor("lse stop...\n", 60s)) << tap.text();
    EXPECT_TRUE(waitUntil([] {
        YW_task_id_t t;
        return YW_searchTaskByName("my_lsm", &t) != 0 && YW_searchTaskByName("LSE_RECEIVER", &t) != 0;
    }, 60s));
    takeReports();
}

TEST(LogServiceManager, TimeOutsCountFromOneAndTheLogThreadsEndWhenTheServiceIsTakenDown)
{
    StdoutTap tap;
    ASSERT_NO_FATAL_FAILURE(freshLogService());

    // Without "logConf" the LSM stays IDLE and waits; the receiver runs too.
    ASSERT_EQ(YW_startLogService(), 0);
    ASSERT_TRUE(tap.waitFor("lsm config fail error = -974\n")) << tap.text();
    ASSERT_EQ(YW_log_lse_startReceiver(), 0);
    ASSERT_TRUE(tap.waitFor("YW_log_lse_main start...\n")) << tap.text();

    // The first time-out is the first one counted.
    ASSERT_TRUE(tap.waitFor("YW_log_lsm_main: time out 1\n")) << tap.text();
    EXPECT_EQ(tap.text().find("YW_log_lsm_main: time out 0\n"), std::string::npos) << tap.text();

    // Taken down without a stop command: the queues go, and both threads end
    // instead of waiting on a queue that no longer exists.
    __atomic_fetch_and(&YW_g_logServiceStatus.status, ~YW_LOG_STATUS_STARTED, __ATOMIC_SEQ_CST);
    ASSERT_EQ(YW_log_deinit(), 0);
    EXPECT_TRUE(waitUntil([] {
        return __atomic_load_n(&YW_g_logEventControl.lsm_task, __ATOMIC_ACQUIRE) == nullptr &&
               __atomic_load_n(&YW_g_logEventControl.lse_recv_task, __ATOMIC_ACQUIRE) == nullptr;
    }, 10s)) << tap.text();
    EXPECT_TRUE(tap.waitFor("LSM task end....", 10s)) << tap.text();
    EXPECT_TRUE(tap.waitFor("lse stop...\n", 10s)) << tap.text();
}

TEST(LogServiceManager, LoadingTheSameLogConfTwiceGivesTheSameEntries)
{
    YW_log_init();
    static char xml[] = "<cfg><fw><logConf>\n"
                        "<logDef groupID=\"twice_a\">\n"
                        "  <flags lineFlag=\"1\"/>\n"
                        "  <output output=\"stdout\" level=\"40\"/>\n"
                        "  <output output=\"file\" level=\"30\"><logFile logFolderName=\"/tmp\" "
                        "logFileName=\"twice.log\"/></output>\n"
                        "</logDef>\n"
                        "<logDef groupID=\"twice_b\"><output output=\"cli\"/></logDef>\n"
                        "</logConf></fw></cfg>\n";
    static YW_frw_cfg_set_t set;
    ASSERT_EQ(YW_frw_cfg_loadText(xml, (YW_size_t)std::strlen(xml), &set), 0);
    YW_frw_cfg_element_t *section = YW_frw_searchCfgElement(set.base, YW_LOG_LSM_TAG, nullptr);
    ASSERT_NE(section, nullptr);

    // A service started again loads its configuration again.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(YW_loadLogServiceConfig(section), 0);
        const YW_log_cfg_t &a = YW_g_log_cfg[0];
        EXPECT_STREQ(a.name, "twice_a");
        EXPECT_EQ(a.flags, (YW_uint32_t)YW_LOG_FLAG_LINE);
        ASSERT_EQ(a.output_count, 2u);
        EXPECT_EQ(a.output[0].type, (YW_uint32_t)YW_LOG_PORT_TYPE_STDOUT);
        EXPECT_EQ(a.output[0].level, 40u);
        EXPECT_EQ(a.output[1].type, (YW_uint32_t)YW_LOG_PORT_TYPE_FILE);
        EXPECT_STREQ(a.output[1].logFileName, "twice.log");
        EXPECT_EQ(a.output[2].type, (YW_uint32_t)YW_LOG_PORT_TYPE_INVALID);
        const YW_log_cfg_t &b = YW_g_log_cfg[1];
        EXPECT_STREQ(b.name, "twice_b");
        ASSERT_EQ(b.output_count, 1u);
        EXPECT_EQ(b.output[0].type, (YW_uint32_t)YW_LOG_PORT_TYPE_CLI);
        EXPECT_EQ(YW_g_log_cfg[2].name, nullptr);
    }
}

TEST(LogServiceManager, StartedAgainAfterAStopReachesNormWithTheSameConfiguration)
{
    StdoutTap tap;
    ASSERT_NO_FATAL_FAILURE(freshLogService());
    static char xml[] = "<cfg><fw><logConf>\n"
                        "<logDef groupID=\"again\"><output output=\"stdout\"/><output output=\"cli\"/></logDef>\n"
                        "</logConf></fw></cfg>\n";
    static YW_frw_cfg_set_t set;
    ASSERT_NO_FATAL_FAILURE(useLogConf(xml, &set));

    auto normal = [] {
        return (__atomic_load_n(&YW_g_logServiceStatus.status, __ATOMIC_ACQUIRE) & YW_LOG_STATUS_NORMAL) != 0;
    };
    auto tasksGone = [] {
        YW_task_id_t t;
        return YW_searchTaskByName("LSM", &t) != 0 && YW_searchTaskByName("LSE_RECEIVER", &t) != 0;
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(YW_startLogService(), 0);
        ASSERT_TRUE(waitUntil(normal)) << tap.text();
        EXPECT_STREQ(YW_g_log_cfg[0].name, "again");
        EXPECT_EQ(YW_g_log_cfg[0].output_count, 2u);
        EXPECT_EQ(YW_g_log_cfg[0].output[1].type, (YW_uint32_t)YW_LOG_PORT_TYPE_CLI);
        EXPECT_EQ(YW_g_log_cfg[1].name, nullptr);
        ASSERT_EQ(YW_shutdownLogService(), 0);
        ASSERT_TRUE(waitUntil([&] { return !normal() && tasksGone(); })) << tap.text();
    }
    takeReports();
}
