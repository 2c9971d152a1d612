// IPC service manager: start creates the configured channels (a failing entry
// does not stop the others), a repeated start keeps what it made, and the stop
// closes and deletes every channel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "ipc_test_util.h"

using namespace yw_ipc_test;

namespace {

void setMsgq(YW_ipc_cfg_t &c, const char *name, YW_uint32_t iap)
{
    std::memset(&c, 0, sizeof(c));
    c.name = const_cast<char *>(name);
    c.interfaceType = YW_IPC_INTF_MSGQ;
    c.transportType = YW_IPC_TRANSPORT_MAX;
    c.flags = YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX;
    c.iap = iap;
    c.rx.buffer_size = 1024;
    c.rx.max_descriptors = 4;
}

int liveChannels()
{
    int n = 0;
    for (auto &ipc : YW_g_ipc)
        n += ipc.cfg != nullptr;
    return n;
}

class IpcIsm : public FreshChannels {};

TEST_F(IpcIsm, StartResultDependsOnWhatWasMade)
{
    // nothing configured: nothing to wait for
    EXPECT_EQ(YW_ipc_ism_onStart(), 0);

    // only entries that cannot be made: the manager stays idle
    setMsgq(YW_g_ipc_cfg[0], "tcp_only", 1);
    YW_g_ipc_cfg[0].interfaceType = YW_IPC_INTF_INET;
    YW_g_ipc_cfg[0].transportType = YW_IPC_TRANSPORT_TCP;
    setMsgq(YW_g_ipc_cfg[1], "no_sides", 2);
    YW_g_ipc_cfg[1].flags = 0;
    EXPECT_EQ(YW_ipc_ism_onStart(), YW_ERR_IPC_FLAGS);
    EXPECT_EQ(liveChannels(), 0);

    // one good entry behind them is made; a second start keeps it
    setMsgq(YW_g_ipc_cfg[2], "good", 3);
    EXPECT_EQ(YW_ipc_ism_onStart(), 0);
    EXPECT_EQ(liveChannels(), 1);
    EXPECT_EQ(YW_ipc_ism_onStart(), 0);
    EXPECT_EQ(liveChannels(), 1);
    EXPECT_EQ(YW_ipc_ism_onStop(), 0);
    EXPECT_EQ(liveChannels(), 0);
    // a stop with nothing left to delete still succeeds
    EXPECT_EQ(YW_ipc_ism_onStop(), 0);
}

TEST_F(IpcIsm, ASecondEntryOfTheSameNameIsReportedNotTakenAsMade)
{
    setMsgq(YW_g_ipc_cfg[0], "twice", 71);
    setMsgq(YW_g_ipc_cfg[1], "twice", 72);
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ipc_ism_onStart(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ipc twice not created: -981"), std::string::npos) << out;
    EXPECT_EQ(liveChannels(), 1);
    EXPECT_NE(YW_ipc_searchByIap(71), nullptr);
    EXPECT_EQ(YW_ipc_searchByIap(72), nullptr);
    // a repeated start keeps the channel it made and reports the other again
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ipc_ism_onStart(), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ipc twice not created: -981"), std::string::npos) << out;
    EXPECT_EQ(liveChannels(), 1);
}

TEST_F(IpcIsm, ManagerTaskStartsChannelsAndStopClosesAndDeletesThem)
{
    setMsgq(YW_g_ipc_cfg[0], "first", 90);
    setMsgq(YW_g_ipc_cfg[1], "tcp", 91);
    YW_g_ipc_cfg[1].interfaceType = YW_IPC_INTF_INET;
    YW_g_ipc_cfg[1].transportType = YW_IPC_TRANSPORT_TCP;
    setMsgq(YW_g_ipc_cfg[2], "unknown", 92);
    YW_g_ipc_cfg[2].interfaceType = YW_IPC_INTF_MAX;
    setMsgq(YW_g_ipc_cfg[3], "last", 93);

    YW_task_cfg_t tc{};
    tc.name = const_cast<char *>("ism");
    tc.entry_name = const_cast<char *>("YW_ipc_ism_main");
    tc.category = YW_TASK_CAT_FRW | YW_TASK_CAT_INI;
    tc.stack_size = 256 * 1024;
    YW_task_id_t tid;
    ASSERT_EQ(YW_createTask(&tc, &tid), 0);

    EXPECT_EQ(YW_shutdownIpcService(), 0); // not started: nothing to do
    ASSERT_EQ(YW_startIpcService(), 0);
    EXPECT_EQ(YW_startIpcService(), 0); // one start command only
    ASSERT_TRUE(waitFor([] { return YW_g_ipc_ism_ctx.fsm && YW_g_ipc_ism_ctx.fsm->state == YW_IPC_FSM_STATE_ACTV; }));
    EXPECT_NE(YW_ipc_searchByIap(90), nullptr);
    EXPECT_EQ(YW_ipc_searchByIap(91), nullptr);
    EXPECT_EQ(YW_ipc_searchByIap(92), nullptr);
    EXPECT_NE(YW_ipc_searchByIap(93), nullptr);
    EXPECT_EQ(YW_g_ipc_ism_ctx.status.nipcs, 2u);
    EXPECT_GE(YW_g_ipc_ism_ctx.status.nipcCreateFail, 2u);

    TaskHost user("ism_user");
    ASSERT_TRUE(user.ok());
    user.run([] { EXPECT_EQ(YW_openIpc(90, YW_IPC_FLAGS_RX, nullptr), 0); });

    ASSERT_EQ(YW_shutdownIpcService(), 0);
    // the manager reaches DOWN, ends, and leaves no channel behind
    EXPECT_TRUE(waitFor([] { return !(YW_g_ipc_ism_ctx.status.state & 1); }));
    EXPECT_EQ(liveChannels(), 0);
    EXPECT_FALSE(YW_g_ipc_ism_ctx.status.state & 2);
    user.stop();
}

TEST_F(IpcIsm, StopCommandInIdleIsRefusedWithALine)
{
    YW_fsm_context_t ctx{};
    ctx.state = YW_IPC_FSM_STATE_IDLE;
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, YW_IPC_CMD_STOP, nullptr);
    ASSERT_NE(m, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ipc_ism_handleStopCmd(&ctx, m), YW_IPC_FSM_STATE_IDLE);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("YW_ipc_ism_handleStopCmd:"), std::string::npos) << out;
    EXPECT_NE(out.find(" invalid cmd 97 at state 0\n"), std::string::npos) << out;
    YW_event_releaseEvent(m);
}

} // namespace
