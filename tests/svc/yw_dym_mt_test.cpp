// "ds" on a client thread racing the module manager's stop: the listing
// holds the module table lock across the look-up of "hello" and the call, so
// the unload waits and no call reaches an unloaded library.
#include <atomic>
#include <sys/mman.h>
#include <thread>

#include "osa/yw_osa_guard.h"
#include "yw_svc_test_util.h"

using namespace yw_svc_test;

// A task that faults while it holds the module table lock, as the module
// manager does when a module's "hello" faults inside its listing.
extern "C" __attribute__((used, visibility("default"), no_sanitize("undefined"))) void *
yw_svc_test_fault_under_lock(void *arg)
{
    YW_P_mutexGuard lk(YW_g_dym_dsm_ctx.lock);
    return (void *)(uintptr_t)*static_cast<volatile const char *>(arg);
}

TEST(DymRace, FaultUnderTheModuleTableLockEndsTheProcessNotJustTheTask)
{
    setUp();
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Ending the task alone would leave the lock held by a dead thread: "ds"
    // and the module manager's stop would wait on it for ever.
    EXPECT_DEATH(
        {
            YW_task_cfg_t c = yw_common_test::makeCfg("t_dym_fault", "yw_svc_test_fault_under_lock");
            YW_task_id_t tid;
            if (YW_createTask(&c, &tid) == 0 && YW_startTask(tid, page) == 0)
                waitFor([&] { return YW_searchTaskByName("t_dym_fault", &tid) != 0; }, 10s);
        },
        "inside a framework call holding shared locks: process ended");
    munmap(page, 4096);
}

TEST(DymRace, DsRacingTheManagersStopNeverCallsAnUnloadedModule)
{
    setUp();
    YW_frw_cfg_element_t *base =
        loadXml("<c><fw><dymConf><dymDef folder=\"" + moduleFolder() + "\" filename=\"" + kModuleFile +
                "\"/></dymConf></fw></c>");
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(loadSections(base)[2], 0);
    YW_task_cfg_t c = yw_common_test::makeCfg("t_dsm_race", "YW_dym_dsm_main", YW_TASK_CAT_FRW | YW_TASK_CAT_INI);
    YW_task_id_t tid;
    ASSERT_EQ(YW_createTask(&c, &tid), 0);
    ASSERT_EQ(YW_startDyModuleService(), 0);
    // Loaded: the manager's start row has run (read under the table lock).
    ASSERT_TRUE(waitFor([] {
        YW_dym_status_t st{};
        return YW_inqDyModule(0, &st) == 0 && st.state == (YW_DYM_STATE_ASSIGNED | YW_DYM_STATE_LOADED);
    }));

    testing::internal::CaptureStdout();
    std::atomic<bool> stop{false};
    std::atomic<int> listings{0};
    std::thread client([&] {
        for (int i = 0; i < 5000 && !stop.load(); ++i) {
            YW_dym_showDyModules(0, nullptr);
            listings++;
        }
    });
    waitFor([&] { return listings.load() >= 3; }, 10s);
    EXPECT_EQ(YW_shutdownDyModuleService(), 0);
    // The manager task ends once it is DOWN; its end is seen under the task
    // table lock, after which its state is read.
    bool ended = waitFor([] {
        YW_task_id_t id;
        return YW_searchTaskByName("t_dsm_race", &id) != 0;
    });
    stop = true;
    client.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(YW_s_dsm_fsm.state, (YW_fsm_state_t)YW_SVC_FSM_STATE_DOWN);
    YW_dym_showDyModules(0, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("hello from the turv example module"), std::string::npos);
    EXPECT_EQ(YW_g_dym_dsm_ctx.status.ndymLoaded, 0u);
    EXPECT_EQ(YW_g_dym[0].cfg, nullptr);
    // After the stop "ds" finds no module to call.
    size_t last = out.rfind("*** Dynamic module list ***");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NE(out.find("get address of hello error=-983", last), std::string::npos);
}
