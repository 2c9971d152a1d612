// The task service's own manager: found by its entry among the configured
// framework tasks, creating the useFlag tasks once, starting and stopping
// through its state machine.
#include <gtest/gtest.h>

#include <cstring>

#include "frw/yw_frw_cfg.h"
#include "yw_task_test_util.h"

using namespace yw_test;

TEST(TaskServiceManager, StartsOnceCreatesUseFlagTasksAndStopsApplicationTasks)
{
    setUpTaskService();
    static char xml[] = "<cfg><fw><taskConf>\n"
                        "<taskDef name=\"tsm_a\" functionName=\"YW_task_tsm_main\" category=\"framework ini\" "
                        "stackSize=\"262144\"/>\n"
                        "<taskDef name=\"tsm_b\" functionName=\"YW_task_tsm_main\" category=\"framework ini\" "
                        "stackSize=\"262144\"/>\n"
                        "<taskDef name=\"use_app\" functionName=\"yw_test_task_idle\" category=\"app\" useFlag=\"1\" "
                        "stackSize=\"262144\"/>\n"
                        "<taskDef name=\"run_app\" functionName=\"yw_test_task_idle\" category=\"app\" "
                        "stackSize=\"262144\"/>\n"
                        "</taskConf></fw></cfg>\n";
    static YW_frw_cfg_set_t set;
    ASSERT_EQ(YW_frw_cfg_loadText(xml, (YW_size_t)std::strlen(xml), &set), 0);
    YW_frw_cfg_element_t *sec = YW_frw_searchCfgElement(set.base, "taskConf", nullptr);
    YW_task_tsm_cfg_t mcfg{};
    ASSERT_EQ(YW_loadTaskServiceManageConfig(sec, &mcfg), 0);
    ASSERT_EQ(YW_task_createInitialFrameworkTasks(), 0);

    // Two tasks with the manager's entry: the lower slot is the manager.
    YW_task_id_t a, b;
    ASSERT_EQ(YW_searchTaskByName("tsm_a", &a), 0);
    ASSERT_EQ(YW_searchTaskByName("tsm_b", &b), 0);
    ASSERT_LT(a, b);
    EXPECT_EQ(YW_task_tsm_findTaskIdByEntry(YW_task_tsm_main), a);
    EXPECT_FALSE(taskExists("use_app")); // not framework+ini

    ASSERT_EQ(YW_startTaskServiceManage(), 0);
    EXPECT_EQ(loadShared(YW_g_tsm_taskid), a);
    EXPECT_TRUE(waitFor([] { return loadShared(YW_s_tsm_fsm.state) == YW_TSM_FSM_STATE_ACTV; }));
    YW_task_id_t u;
    ASSERT_EQ(YW_searchTaskByName("use_app", &u), 0);
    EXPECT_EQ(YW_g_task[u].status.state, YW_TASK_STATE_ASSIGNED); // created, not started
    YW_uint64_t created = YW_g_tsm_ctx.status.ntasks;
    EXPECT_EQ(YW_startTaskServiceManage(), 0); // started: nothing more happens
    EXPECT_EQ(YW_g_tsm_ctx.status.ntasks, created);

    // The application tasks: created and started by the framework.
    ASSERT_EQ(YW_task_createApplicationTasks(), 0);
    ASSERT_EQ(YW_task_startApplicationTasks(), 0);
    YW_task_id_t r;
    ASSERT_EQ(YW_searchTaskByName("run_app", &r), 0);
    EXPECT_EQ(YW_g_task[r].status.state, YW_TASK_STATE_ASSIGNED | YW_TASK_STATE_BUSY);
    EXPECT_EQ(YW_g_task[u].status.state, YW_TASK_STATE_ASSIGNED | YW_TASK_STATE_BUSY);

    // Shut-down: the stop row stops every application task; the manager
    // goes DOWN and ends.
    EXPECT_EQ(YW_shutdownTaskServiceManage(), 0);
    EXPECT_TRUE(waitFor([] { return !taskExists("run_app") && !taskExists("use_app"); }));
    EXPECT_TRUE(waitFor([] { return !taskExists("tsm_a"); }));
    EXPECT_EQ(loadShared(YW_s_tsm_fsm.state), (YW_fsm_state_t)YW_TSM_FSM_STATE_DOWN);

    YW_deleteTask(b);
    for (auto &c : YW_g_task_cfg)
        c = YW_task_cfg_t{};
    // The table's service is initialised again for the other tests.
    YW_task_tsm_init();
}
