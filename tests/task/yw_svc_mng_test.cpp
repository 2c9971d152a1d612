// The service-manager pattern driven through a service of the test's own:
// its manager runs as a real task, commands travel as framework events.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "frw/yw_svc_mng.h"
#include "yw_task_test_util.h"

using namespace yw_test;

namespace {

struct TestSvcCtx {
    struct {
        int state;
        YW_uint64_t nthings;
    } status;
    YW_fsm_context_t *fsm;
    YW_event_q_t *rcvq;
    const YW_fsm_vector_t *fsm_vectors;
    YW_int64_t timeout;
    YW_P_mutex_t lock;
};

TestSvcCtx g_ctx{};
YW_fsm_context_t g_fsm;
YW_task_id_t g_taskid = YW_TASK_ID_NONE;
std::atomic<int> g_starts{0}, g_stops{0}, g_handled{0}, g_changes{0}, g_inits{0}, g_deinits{0}, g_timeouts{0};
std::atomic<bool> g_loopEnded{false};

YW_ret_t testInit()
{
    g_inits++;
    return YW_SUCCESS;
}
YW_ret_t testDeinit()
{
    g_deinits++;
    return YW_SUCCESS;
}
YW_ret_t testOnStart()
{
    g_starts++;
    return YW_SUCCESS;
}
YW_ret_t testOnStop()
{
    g_stops++;
    return YW_SUCCESS;
}
void testLoopEnd()
{
    g_loopEnded = true;
}
void testTimeout()
{
    g_timeouts++;
}

YW_fsm_state_t fsmState()
{
    return loadShared(g_fsm.state);
}

} // namespace

extern "C" {
YW_fsm_state_t yw_test_svc_handleStart(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t yw_test_svc_handleStop(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t yw_test_svc_handleChange(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
void *yw_test_svc_main(void *arg);
}

static const YW_fsm_vector_t g_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 200), yw_test_svc_handleStart},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 201), yw_test_svc_handleStop},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, 202), yw_test_svc_handleChange},
    YW_FSM_VECTOR_NULL,
};

static const YW_svc_mng_t g_svc = {
    .fsm_name = "test_fsm",
    .main_name = "yw_test_svc_main",
    .tag = "xsm",
    .cmd_start = 200,
    .cmd_stop = 201,
    .evt_change = 202,
    .entry = yw_test_svc_main,
    .state = &g_ctx.status.state,
    .fsm = &g_fsm,
    .vectors = g_vectors,
    .rcvq = &g_ctx.rcvq,
    .timeout = &g_ctx.timeout,
    .taskid = &g_taskid,
    .priv = &g_ctx,
    .init = testInit,
    .deinit = testDeinit,
    .onStart = testOnStart,
    .onStop = testOnStop,
    .onStateChange = nullptr,
    .onLoopStart = nullptr,
    .onTimeout = testTimeout,
    .onLoopEnd = testLoopEnd,
    .activeWhenStarted = 0,
    .startedAlways = 0,
    .stopClearsAlways = 0,
    .deleteWhenIdle = 1,
};

extern "C" {
YW_fsm_state_t yw_test_svc_handleStart(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    YW_fsm_state_t s = YW_svc_mng_handleStart(&g_svc, ctx, emsg, __func__, __LINE__);
    g_handled++;
    return s;
}
YW_fsm_state_t yw_test_svc_handleStop(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    YW_fsm_state_t s = YW_svc_mng_handleStop(&g_svc, ctx, emsg, __func__, __LINE__);
    g_handled++;
    return s;
}
YW_fsm_state_t yw_test_svc_handleChange(YW_fsm_context_t *ctx, YW_event_msg_t *emsg)
{
    YW_fsm_state_t s = YW_svc_mng_handleStateChange(&g_svc, ctx, emsg, __func__, __LINE__);
    g_changes++;
    g_handled++;
    return s;
}
void *yw_test_svc_main(void *)
{
    return YW_svc_mng_main(&g_svc);
}
}

class SvcMngTest : public ::testing::Test {
protected:
    YW_task_cfg_t cfg = makeCfg("test_svc", "yw_test_svc_main", YW_TASK_CAT_FRW | YW_TASK_CAT_INI);
    YW_task_id_t id = YW_TASK_ID_NONE;
    int threads0 = 0;

    void SetUp() override
    {
        setUpTaskService();
        threads0 = threadCount();
        g_ctx = TestSvcCtx{};
        g_ctx.timeout = 2000000000LL;
        g_starts = g_stops = g_handled = g_changes = g_timeouts = 0;
        g_loopEnded = false;
        g_fsm = YW_fsm_context_t{};
        ASSERT_EQ(YW_createTask(&cfg, &id), 0);
    }
    void TearDown() override
    {
        YW_stopTask(id);
        YW_deleteTask(id);
        EXPECT_TRUE(waitFor([] { return !taskExists("test_svc"); }));
        // The manager's thread has ended before the next test resets what
        // it uses.
        EXPECT_TRUE(waitFor([this] { return threadCount() <= threads0; })) << threadCount() << " vs " << threads0;
    }
};

TEST_F(SvcMngTest, StartTwiceSendsOneStartCommandAndStopEndsTheManager)
{
    EXPECT_EQ(YW_svc_mng_start(&g_svc), 0);
    EXPECT_EQ(YW_svc_mng_start(&g_svc), 0); // already started: nothing sent
    EXPECT_EQ(loadShared(g_taskid), id);
    EXPECT_TRUE(waitFor([] { return fsmState() == YW_SVC_FSM_STATE_ACTV; }));

    // The state-change row is accepted in ACTV and keeps the state. The
    // queue is in order: once it ran, every command sent before it has run
    // too, so a second start command would show here.
    EXPECT_EQ(YW_svc_mng_sendEvent(&g_svc, 202, nullptr), 0);
    EXPECT_TRUE(waitFor([] { return g_changes == 1; }));
    EXPECT_EQ(g_starts, 1);
    EXPECT_EQ(g_handled, 2);
    EXPECT_EQ(fsmState(), (YW_fsm_state_t)YW_SVC_FSM_STATE_ACTV);

    // Shut-down: stop command, DOWN, the loop ends, deinit runs and the
    // manager task's slot is free.
    int deinits = g_deinits;
    EXPECT_EQ(YW_svc_mng_shutdown(&g_svc), 0);
    EXPECT_EQ(loadShared(g_ctx.status.state) & YW_SVC_STATE_STARTED, 0);
    EXPECT_TRUE(waitFor([] { return g_loopEnded.load(); }));
    EXPECT_EQ(fsmState(), (YW_fsm_state_t)YW_SVC_FSM_STATE_DOWN);
    EXPECT_EQ(g_stops, 1);
    EXPECT_TRUE(waitFor([&] { return g_deinits == deinits + 1 && !taskExists("test_svc"); }));
}

TEST_F(SvcMngTest, StopInIdlePrintsTheInvalidCommandLineAndKeepsIdle)
{
    ASSERT_EQ(YW_startTask(id, nullptr), 0);
    __atomic_store_n(&g_taskid, id, __ATOMIC_RELEASE);
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_svc_mng_sendEvent(&g_svc, 201, nullptr), 0);
    EXPECT_TRUE(waitFor([] { return g_handled == 1; }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("yw_test_svc_handleStop:"), std::string::npos) << out;
    EXPECT_NE(out.find(" invalid cmd 201 at state 0\n"), std::string::npos) << out;
    EXPECT_EQ(fsmState(), (YW_fsm_state_t)YW_SVC_FSM_STATE_IDLE);
    EXPECT_EQ(g_stops, 0);

    // The state-change row is refused in IDLE too; a start then works.
    EXPECT_EQ(YW_svc_mng_sendEvent(&g_svc, 202, nullptr), 0);
    EXPECT_EQ(YW_svc_mng_sendEvent(&g_svc, 200, nullptr), 0);
    EXPECT_TRUE(waitFor([] { return fsmState() == YW_SVC_FSM_STATE_ACTV; }));
    EXPECT_EQ(g_handled, 3);
}

TEST_F(SvcMngTest, TimeOutLinesAreCounted)
{
    g_ctx.timeout = 60000000LL; // 60 ms slices
    testing::internal::CaptureStdout();
    ASSERT_EQ(YW_startTask(id, nullptr), 0);
    // Three time-outs, however long a busy machine takes for them.
    bool three = waitFor([] { return g_timeouts >= 3; });
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(three) << out;
    size_t p0 = out.find("yw_test_svc_main:time out 0\n");
    size_t p1 = out.find("yw_test_svc_main:time out 1\n");
    size_t p2 = out.find("yw_test_svc_main:time out 2\n");
    ASSERT_NE(p0, std::string::npos) << out;
    ASSERT_NE(p1, std::string::npos) << out;
    ASSERT_NE(p2, std::string::npos) << out;
    EXPECT_LT(p0, p1);
    EXPECT_LT(p1, p2);
}

TEST_F(SvcMngTest, TimeOutNumberRisesOnlyWithAWrittenLine)
{
    ASSERT_NE(YW_g_log_stdout, nullptr);
    g_ctx.timeout = 30000000LL; // 30 ms slices
    testing::internal::CaptureStdout();
    ASSERT_EQ(YW_startTask(id, nullptr), 0);
    bool ok = waitFor([] { return g_timeouts >= 2; });
    // With the log off, at least the second time-out after this point is
    // not written (the first may have been checked before).
    YW_g_log_stdout->flags.fetch_and((YW_uint16_t)~YW_LOG_FLAG_ENABLED);
    int n1 = g_timeouts;
    ok = ok && waitFor([n1] { return g_timeouts >= n1 + 3; });
    YW_g_log_stdout->flags.fetch_or(YW_LOG_FLAG_ENABLED);
    int n2 = g_timeouts;
    ok = ok && waitFor([n2] { return g_timeouts >= n2 + 3; });
    int total = g_timeouts;
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok) << out;
    // The numbers written run 0, 1, 2, ... without a gap, and fewer lines
    // were written than time-outs happened.
    int lines = 0;
    while (out.find("yw_test_svc_main:time out " + std::to_string(lines) + "\n") != std::string::npos)
        ++lines;
    EXPECT_GE(lines, 3) << out;
    EXPECT_LT(lines, total) << out;
    EXPECT_EQ(out.find("yw_test_svc_main:time out " + std::to_string(total - 1) + "\n"), std::string::npos)
        << out;
}

TEST_F(SvcMngTest, ShutdownBeforeStartDeletesTheManagerTask)
{
    EXPECT_EQ(YW_svc_mng_shutdown(&g_svc), 0);
    EXPECT_FALSE(taskExists("test_svc"));
    // Without a manager task the start fails, no command goes out.
    EXPECT_EQ(YW_svc_mng_start(&g_svc), YW_ERR_TASK_NULL);
    EXPECT_EQ(loadShared(g_ctx.status.state) & YW_SVC_STATE_STARTED, 0);
    EXPECT_EQ(YW_svc_mng_sendEvent(&g_svc, 200, nullptr), YW_ERR_EVENTQ_NULL);
}

TEST_F(SvcMngTest, StateCopyForTheFrameworkIsItsOwn)
{
    YW_fsm_context_t c{};
    c.name = const_cast<char *>("lsm_fsm");
    c.prev_state = 2;
    c.state = 3;
    YW_fsm_context_t *d = YW_svc_mng_copyContext(&c);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d, &c);
    EXPECT_STREQ(d->name, "lsm_fsm");
    EXPECT_EQ(d->prev_state, 2u);
    EXPECT_EQ(d->state, 3u);
    EXPECT_EQ(d->refCount, 1);
    YW_free(d);
}
