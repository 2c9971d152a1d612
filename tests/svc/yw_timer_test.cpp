// Timer service: timers on OS timers with one task each calling a named
// handler, their repeat count, late expiries and the deletion of timers whose
// task has ended.
#include <atomic>

#include "yw_svc_test_util.h"

using namespace yw_svc_test;

namespace {
std::atomic<int> g_calls{0};
std::atomic<YW_timer_id_t> g_lastId{999};
} // namespace

extern "C" void yw_test_timer_handler(YW_timer_id_t id)
{
    g_lastId = id;
    g_calls++;
}

extern "C" void *yw_test_timer_idle(void *)
{
    for (;;)
        YW_waitTaskEventTime(YW_getTaskID(), nullptr, -1);
    return nullptr;
}

namespace {

YW_timer_cfg_t timerCfg(const char *name, YW_int64_t repeat, YW_uint64_t interval, const char *handler)
{
    YW_timer_cfg_t c{};
    c.name = const_cast<char *>(name);
    c.sourceType = YW_TIMER_SOURCE_SYS;
    c.repeat = repeat;
    c.interval = interval;
    c.handler = const_cast<char *>(handler);
    c.stack_size = 256 * 1024;
    return c;
}

YW_task_id_t timerTask(YW_timer_id_t id)
{
    return loadShared(YW_g_timer[id].task_id);
}

} // namespace

TEST(Timer, RepeatThreeCountsThreeExpiriesThenEndsItsTaskAndDeletes)
{
    // handler, the calls it gets
    const struct {
        const char *handler;
        int calls;
    } rows[] = {{"yw_test_timer_handler", 3}, {"yw_no_such_handler_anywhere", 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.handler);
        setUp();
        g_calls = 0;
        g_lastId = 999;
        YW_timer_cfg_t cfg = timerCfg("t_rep3", 3, 100000000, row.handler);
        YW_timer_id_t id = YW_TIMER_INVALID_ID;
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_createTimer(&cfg, &id), 0);
        std::string made = testing::internal::GetCapturedStdout();
        ASSERT_LT(id, (YW_timer_id_t)YW_TIMER_MAX);
        ASSERT_LT(timerTask(id), (YW_task_id_t)YW_TASK_MAX);
        YW_task_id_t slot = timerTask(id);
        EXPECT_NE(YW_g_timer[id].cfg, &cfg); // copied
        // One line names a missing handler.
        EXPECT_EQ(made.find(std::string("no handler ") + row.handler + " in the executable for timer t_rep3") !=
                      std::string::npos,
                  row.calls == 0)
            << made;

        testing::internal::CaptureStdout();
        ASSERT_EQ(YW_startTimer(id), 0);
        bool ended = waitFor([&] { return timerTask(id) == YW_TIMER_NO_TASK; });
        std::this_thread::sleep_for(350ms); // a fourth call would come within this
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ended) << out;
        EXPECT_EQ(g_calls.load(), row.calls) << out;
        if (row.calls) {
            EXPECT_EQ(g_lastId.load(), id);
        }
        EXPECT_NE(out.find(" END 3 0 \n"), std::string::npos) << out;
        YW_timer_status_t st{};
        ASSERT_EQ(YW_inqTimer(id, &st), 0);
        EXPECT_EQ(st.state, YW_TIMER_STATE_ASSIGNED); // the task stopped it
        EXPECT_GE(st.count, 3);
        EXPECT_EQ(YW_startTimer(id), YW_FAIL); // its OS timer is gone

        // Another task takes the task slot once the old thread is gone;
        // deleting the timer leaves it.
        ASSERT_TRUE(waitFor([&] { return loadShared(YW_g_task[slot].cfg) == nullptr; }));
        YW_task_cfg_t other = yw_common_test::makeCfg("t_other", "yw_test_timer_idle");
        YW_task_id_t oid;
        ASSERT_EQ(YW_createTask(&other, &oid), 0);
        ASSERT_EQ(YW_startTask(oid, nullptr), 0);
        EXPECT_EQ(oid, slot);
        EXPECT_EQ(YW_deleteTimer(id), 0);
        YW_task_status_t ts{};
        ASSERT_EQ(YW_inqTask(oid, &ts), 0);
        EXPECT_EQ(ts.state, YW_TASK_STATE_ASSIGNED | YW_TASK_STATE_BUSY);
        YW_stopTask(oid);
    }
}

TEST(Timer, TaskLifetimeAndDeletionNeverStopAnotherTask)
{
    setUp();
    // A task in slot 0 that a timer without a task must never touch.
    YW_task_cfg_t keep = yw_common_test::makeCfg("t_keep", "yw_test_timer_idle");
    YW_task_id_t kid;
    ASSERT_EQ(YW_createTask(&keep, &kid), 0);
    ASSERT_EQ(YW_startTask(kid, nullptr), 0);

    struct Row {
        const char *name;
        const char *handler;
        YW_ret_t create;  // creation's result
        bool task;        // a task exists afterwards
    } rows[] = {
        {"t_nohandler", nullptr, YW_SUCCESS, false},
        // a missing handler leaves a task that only counts
        {"t_missing", "yw_no_such_handler_anywhere", YW_SUCCESS, true},
        // the process's start-up is no handler: it would run the start-up again
        {"t_main", "main", YW_SUCCESS, true},
        {"t_frw_main", "YW_frw_main", YW_SUCCESS, true},
        {"t_idle", "yw_test_timer_handler", YW_SUCCESS, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        YW_timer_cfg_t cfg = timerCfg(r.name, -1, 1000000000, r.handler);
        YW_timer_id_t id = YW_TIMER_INVALID_ID;
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_createTimer(&cfg, &id), r.create);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_LT(id, (YW_timer_id_t)YW_TIMER_MAX);
        EXPECT_EQ(timerTask(id) < YW_TASK_MAX, r.task);
        YW_task_id_t tid;
        EXPECT_EQ(YW_searchTaskByName(r.name, &tid) == 0, r.task);
        if (r.handler && std::strcmp(r.handler, "yw_test_timer_handler") != 0) {
            EXPECT_NE(out.find(std::string("no handler ") + r.handler + " in the executable for timer " + r.name),
                      std::string::npos)
                << out;
        }
        // Deleting stops the timer's own task (running or not) and nothing else.
        EXPECT_EQ(YW_deleteTimer(id), 0);
        EXPECT_TRUE(waitFor([&] { return YW_searchTaskByName(r.name, &tid) != 0; }));
        YW_task_status_t ts{};
        ASSERT_EQ(YW_inqTask(kid, &ts), 0);
        EXPECT_EQ(ts.state, YW_TASK_STATE_ASSIGNED | YW_TASK_STATE_BUSY);
    }
    YW_stopTask(kid);
}

TEST(Timer, LateExpiryOfADeletedOrRemadeTimerIsIgnored)
{
    setUp();
    YW_timer_cfg_t cfg = timerCfg("t_late", 100, 10000000000ULL, nullptr); // first real expiry after 10 s
    YW_timer_id_t id;
    ASSERT_EQ(YW_createTimer(&cfg, &id), 0);
    YW_uint32_t gen = YW_g_timer[id].generation;
    ASSERT_EQ(YW_startTimer(id), 0);
    YW_timer_onSysTimerExpired(YW_timer_userid(id, gen - 1)); // an earlier life of the slot
    YW_timer_status_t st{};
    YW_inqTimer(id, &st);
    EXPECT_EQ(st.count, 0);
    YW_timer_onSysTimerExpired(YW_timer_userid(id, gen));
    YW_inqTimer(id, &st);
    EXPECT_EQ(st.count, 1);

    ASSERT_EQ(YW_stopTimer(id), 0);
    ASSERT_EQ(YW_deleteTimer(id), 0);
    YW_timer_onSysTimerExpired(YW_timer_userid(id, gen)); // after the deletion: nothing to reach
    YW_timer_id_t again;
    ASSERT_EQ(YW_createTimer(&cfg, &again), 0);
    ASSERT_EQ(again, id);
    ASSERT_EQ(YW_startTimer(again), 0);
    YW_timer_onSysTimerExpired(YW_timer_userid(id, gen)); // queued for the old timer
    YW_inqTimer(again, &st);
    EXPECT_EQ(st.count, 0);
    ASSERT_EQ(YW_stopTimer(again), 0);
    ASSERT_EQ(YW_deleteTimer(again), 0);
}

TEST(Timer, StopWorkKeepsTheManagerActiveWhileAnyTimerIsStarted)
{
    setUp();
    YW_timer_cfg_t a = timerCfg("t_stop_a", -1, 10000000000ULL, nullptr);
    YW_timer_cfg_t b = timerCfg("t_stop_b", -1, 10000000000ULL, nullptr);
    YW_timer_id_t ia, ib;
    ASSERT_EQ(YW_createTimer(&a, &ia), 0);
    ASSERT_EQ(YW_createTimer(&b, &ib), 0);
    ASSERT_LT(ia, ib);
    ASSERT_EQ(YW_startTimer(ia), 0); // the lower slot is the started one
    EXPECT_EQ(YW_timer_tsm_onStop(), YW_ERR_STATE);
    YW_timer_status_t st{};
    YW_inqTimer(ib, &st);
    EXPECT_EQ(st.state, 0); // the others went
    ASSERT_EQ(YW_stopTimer(ia), 0);
    EXPECT_EQ(YW_timer_tsm_onStop(), 0);
    EXPECT_EQ(YW_timer_tsm_onStop(), 0); // nothing left: a stop succeeds
}
