// The timer, resource and module managers run as real tasks: started by the
// framework-side start, they reach ACTV with their timers, resources and
// modules made, answer "ss" and "ds", and reach DOWN at their stop with
// everything deleted again.
#include <fcntl.h>
#include <sys/mman.h>

#include <vector>

#include "cli/yw_cli.h"
#include "yw_svc_test_util.h"

using namespace yw_svc_test;

namespace {
std::atomic<int> g_ticks{0};

bool commandRegistered(const char *name)
{
    for (const auto &row : YW_g_CmdTable)
        if (row.name && std::strcmp(row.name, name) == 0)
            return true;
    return false;
}
} // namespace

extern "C" void yw_test_mgr_tick(YW_timer_id_t)
{
    g_ticks++;
}

TEST(SvcManagers, ReachActvWithTheirEntitiesAndDownAtStop)
{
    setUp();
    const std::string shm = shmName("mgr");
    YW_frw_cfg_element_t *base = loadXml(
        "<c><fw><timerConf><timerDef name=\"t_mgr_tick\" source=\"SYS\" repeat=\"2\" interval=\"50000000\" "
        "handler=\"yw_test_mgr_tick\"><task stackSize=\"262144\"/></timerDef></timerConf>"
        "<resourceConf><resourceDef name=\"t_mgr_mutex\" type=\"mutex\"/><resourceDef name=\"" +
        shm + "\" type=\"sharedmemory\" size=\"4096\" attr=\"RW\"/></resourceConf>"
              "<dymConf><dymDef folder=\"" +
        moduleFolder() + "\" filename=\"" + kModuleFile + "\"/></dymConf></fw></c>");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(loadSections(base), (std::array<YW_ret_t, 3>{}));
    createManagerTasks();
    EXPECT_TRUE(commandRegistered("ss"));
    EXPECT_TRUE(commandRegistered("ds"));

    EXPECT_EQ(YW_startTimerService(), 0);
    EXPECT_EQ(YW_startSyncService(), 0);
    EXPECT_EQ(YW_startDyModuleService(), 0);
    YW_fsm_context_t *fsms[] = {&YW_s_timer_tsm_fsm, &YW_s_ssm_fsm, &YW_s_dsm_fsm};
    for (YW_fsm_context_t *f : fsms)
        EXPECT_TRUE(waitFor([f] { return loadShared(f->state) == YW_SVC_FSM_STATE_ACTV; })) << f->name;

    // What the managers made.
    EXPECT_EQ(YW_g_dym[0].status.state, YW_DYM_STATE_ASSIGNED | YW_DYM_STATE_LOADED);
    EXPECT_EQ(YW_g_sync[1].status.state, YW_SYNC_STATE_ASSIGNED);
    EXPECT_EQ(YW_g_timer[0].status.state, YW_TIMER_STATE_ASSIGNED);
    testing::internal::CaptureStdout();
    YW_sync_showSyncs(0, nullptr);
    YW_dym_showDyModules(0, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    for (const std::string &s : std::vector<std::string>{"*** sync object list ***", "name=t_mgr_mutex sync_type=1",
                                "name=" + shm + " sync_type=3", "*** Dynamic module list ***",
                                "address of hello is", "hello from the turv example module",
                                "get address of hello error=-983"})
        EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;

    // The timer runs its two calls; then nothing keeps its manager ACTV.
    ASSERT_EQ(YW_startTimer(0), 0);
    EXPECT_TRUE(waitFor([] { return loadShared(YW_g_timer[0].task_id) == YW_TIMER_NO_TASK; }));
    EXPECT_EQ(g_ticks.load(), 2);

    EXPECT_EQ(YW_shutdownTimerService(), 0);
    EXPECT_EQ(YW_shutdownSyncService(), 0);
    EXPECT_EQ(YW_shutdownDyModuleService(), 0);
    for (YW_fsm_context_t *f : fsms)
        EXPECT_TRUE(waitFor([f] { return loadShared(f->state) == YW_SVC_FSM_STATE_DOWN; })) << f->name;
    for (const char *t : {"t_timer_tsm", "t_ssm", "t_dsm"}) {
        YW_task_id_t id;
        EXPECT_TRUE(waitFor([&] { return YW_searchTaskByName(t, &id) != 0; })) << t;
    }
    EXPECT_EQ(YW_g_timer[0].cfg, nullptr);
    EXPECT_EQ(YW_g_sync[1].cfg, nullptr);
    EXPECT_EQ(YW_g_dym[0].cfg, nullptr);
    EXPECT_LT(shm_open(shm.c_str(), O_RDONLY, 0), 0); // unlinked
    EXPECT_FALSE(commandRegistered("ss"));
    EXPECT_FALSE(commandRegistered("ds"));
    shm_unlink(shm.c_str());
}
