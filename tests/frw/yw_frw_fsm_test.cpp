// The framework state machine driven row by row on this thread: states that
// accept or refuse each command, events without a row, internal errors, and
// the state-change reports of the service managers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "frw/yw_frw_cfg.h"
#include "frw/yw_frw_fsm.h"
#include "frw/yw_frw_node.h"
#include "frw/yw_svc_mng.h"
#include "log/yw_log.h"

namespace {

long long liveAllocations()
{
    return (long long)yw_count_get(yw_pGlobalData->malloc_status.alloc_count) -
           (long long)yw_count_get(yw_pGlobalData->malloc_status.free_count);
}

// Takes every message waiting in the framework queue.
std::vector<YW_event_msg_t *> drainQueue()
{
    std::vector<YW_event_msg_t *> v;
    YW_event_msg_t *m = nullptr;
    while (YW_event_recv(&YW_g_frw_fsm_event_q, YW_EVENT_FLAG_FRW, &m) == 0)
        v.push_back(m);
    return v;
}

void releaseAll(std::vector<YW_event_msg_t *> &v)
{
    for (auto *m : v)
        YW_event_releaseEvent(m);
    v.clear();
}

class FrwFsmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool once = false;
        if (!once) {
            once = true;
            YW_log_init();
            YW_registerLog("stdout", &YW_g_log_stdout);
            ASSERT_EQ(YW_frw_fsm_init(), 0);
        }
        auto left = drainQueue();
        releaseAll(left);
        ASSERT_EQ(YW_frw_fsm_contextInit(), 0);
        YW_frw_node_init0();
    }

    void setState(YW_fsm_state_t s) { YW_s_frw_fsm.state = s; }
    YW_fsm_state_t state() { return YW_s_frw_fsm.state; }

    // Runs the machine on {flag, value} with data; returns what it printed.
    std::string run(YW_event_value_t value, void *data = nullptr, YW_event_flag_t flag = YW_EVENT_FLAG_FRW,
                    YW_ret_t *result = nullptr)
    {
        YW_event_msg_t *m = YW_event_initEvent(nullptr, flag, value, data);
        testing::internal::CaptureStdout();
        YW_ret_t r = YW_frw_fsm_dispatch(m);
        std::string out = testing::internal::GetCapturedStdout();
        YW_event_releaseEvent(m);
        if (result)
            *result = r;
        return out;
    }

    // Loads a system configuration from text into the process-wide set.
    void loadSys(const char *text)
    {
        static char buf[8192];
        std::snprintf(buf, sizeof buf, "%s", text);
        // The earlier tree and arena are released (the load would do it too).
        YW_frw_cfg_unload(&YW_g_frw_sys_cfg_set);
        ASSERT_EQ(YW_frw_cfg_loadText(buf, (YW_size_t)std::strlen(buf), &YW_g_frw_sys_cfg_set), 0);
    }
};

bool has(const std::string &out, const std::string &s)
{
    return out.find(s) != std::string::npos;
}

} // namespace

TEST_F(FrwFsmTest, CommandsRefusedInStatesThatDoNotAcceptThem)
{
    setState(YW_FRW_FSM_STATE_IDLE);
    std::string out = run(YW_FRW_CMD_INIT);
    EXPECT_TRUE(has(out, "YW_frw_fsm_handleInitCmd:")) << out;
    EXPECT_TRUE(has(out, " invalid cmd 17 at state 0\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IDLE);

    // A synchronisation event before the synchronisation command.
    setState(YW_FRW_FSM_STATE_INIT);
    out = run(YW_FRW_EVT_SYNC);
    EXPECT_TRUE(has(out, "YW_frw_fsm_handleSyncEvt:")) << out;
    EXPECT_TRUE(has(out, " invalid cmd 20 at state 2\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_INIT);

    out = run(YW_FRW_CMD_CONF);
    EXPECT_TRUE(has(out, " invalid cmd 16 at state 2\n")) << out;
    out = run(YW_FRW_EVT_TOUT); // accepted in INIT, nothing changes
    EXPECT_FALSE(has(out, "invalid")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_INIT);

    setState(YW_FRW_FSM_STATE_IDLE);
    out = run(YW_FRW_EVT_TOUT);
    EXPECT_TRUE(has(out, " invalid cmd 25 at state 0\n")) << out;
    out = run(YW_FRW_CMD_SHDN);
    EXPECT_TRUE(has(out, " invalid cmd 21 at state 0\n")) << out;
    out = run(YW_FRW_CMD_REST);
    EXPECT_TRUE(has(out, " invalid cmd 23 at state 0\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IDLE);
}

TEST_F(FrwFsmTest, ShutdownAndRestartRows)
{
    setState(YW_FRW_FSM_STATE_NORM);
    run(YW_FRW_CMD_SHDN);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_SHDN);
    run(YW_FRW_EVT_TOUT);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_SHDN);
    run(YW_FRW_EVT_SHDN);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IDLE);

    setState(YW_FRW_FSM_STATE_NORM);
    run(YW_FRW_CMD_REST);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_REST);
    run(YW_FRW_EVT_REST);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IDLE);
    // The restart queues the configuration command.
    auto q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0]->id.w, YW_event_word(YW_EVENT_FLAG_FRW, YW_FRW_CMD_CONF));
    releaseAll(q);
}

TEST_F(FrwFsmTest, UnknownFrameworkValueIsDroppedSilently)
{
    setState(YW_FRW_FSM_STATE_SYNC);
    YW_ret_t r = YW_SUCCESS;
    std::string out = run(30, nullptr, YW_EVENT_FLAG_FRW, &r);
    EXPECT_EQ(r, -1);
    EXPECT_FALSE(has(out, "invalid")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_SYNC);
    // The right value with another flag matches no row either.
    out = run(YW_FRW_EVT_SYNC, nullptr, YW_EVENT_FLAG_LSE, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_SYNC);
}

TEST_F(FrwFsmTest, InternalErrorEndsTheBringUpInEveryState)
{
    for (YW_fsm_state_t s : {0u, 1u, 2u, 3u, 4u, 7u}) {
        setState(s);
        std::string out = run(YW_FRW_EVT_IERR, reinterpret_cast<void *>((intptr_t)YW_ERR_CFG_NODE_NO_MISSING));
        EXPECT_TRUE(has(out, "framework Internal error = -931\n")) << out;
        EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IERR);
    }
    // IERR accepts no further command.
    std::string out = run(YW_FRW_CMD_INIT);
    EXPECT_TRUE(has(out, " invalid cmd 17 at state 7\n")) << out;
    out = run(YW_FRW_CMD_CONF);
    EXPECT_TRUE(has(out, " invalid cmd 16 at state 7\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IERR);
}

TEST_F(FrwFsmTest, LogManagerNormalStateMovesTheBringUpOn)
{
    setState(YW_FRW_FSM_STATE_INIT);
    long long live0 = liveAllocations();
    YW_fsm_context_t lsm{};
    lsm.name = const_cast<char *>("lsm_fsm");
    lsm.prev_state = 2;
    lsm.state = 3;
    // The copy is queued while no framework thread runs; the queue owns it.
    ASSERT_EQ(YW_svc_mng_reportState(&lsm), 0);
    auto q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    YW_event_msg_t *m = q[0];
    EXPECT_EQ(m->id.w, YW_event_word(YW_EVENT_FLAG_FRW, YW_FRW_EVT_SSCH));
    ASSERT_NE(m->data, nullptr);
    EXPECT_NE(reinterpret_cast<YW_fsm_context_t *>(m->data), &lsm);

    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_frw_fsm_dispatch(m), 0);
    std::string out = testing::internal::GetCapturedStdout();
    YW_event_releaseEvent(m);
    EXPECT_TRUE(has(out, "YW_frw_fsm_handleSschEvt: fsm lsm_fsm state change 2 to 3\n")) << out;
    EXPECT_TRUE(has(out, "LSM enter normal...\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_INIT);
    // The copy and the message are released; EVT_INIT is queued.
    q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0]->id.w, YW_event_word(YW_EVENT_FLAG_FRW, YW_FRW_EVT_INIT));
    releaseAll(q);
    EXPECT_EQ(liveAllocations(), live0);

    // EVT_INIT in INIT sends the synchronisation command.
    run(YW_FRW_EVT_INIT);
    q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0]->id.w, YW_event_word(YW_EVENT_FLAG_FRW, YW_FRW_CMD_SYNC));
    releaseAll(q);
}

TEST_F(FrwFsmTest, OtherManagersStateChangeIsOnlyLogged)
{
    setState(YW_FRW_FSM_STATE_NORM);
    YW_fsm_context_t *d = YW_svc_mng_copyContext(nullptr);
    EXPECT_EQ(d, nullptr);
    YW_fsm_context_t other{};
    other.name = const_cast<char *>("task_ism");
    other.prev_state = 0;
    other.state = 1;
    d = YW_svc_mng_copyContext(&other);
    long long live = liveAllocations();
    std::string out = run(YW_FRW_EVT_SSCH, d);
    EXPECT_TRUE(has(out, "fsm task_ism state change 0 to 1\n")) << out;
    EXPECT_FALSE(has(out, "LSM enter normal")) << out;
    EXPECT_EQ(liveAllocations(), live - 1); // the copy was released
    EXPECT_TRUE(drainQueue().empty());
    out = run(YW_FRW_EVT_SSCH, nullptr);
    EXPECT_TRUE(has(out, "YW_frw_fsm_handleSschEvt: fsm null\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_NORM);
}

TEST_F(FrwFsmTest, MissingNodeNumberFailsTheConfigurationWithIerr)
{
    loadSys("<turv><fw>\n<fwConf>\n<fwDef name=\"n0\" local=\"1\"/>\n</fwConf>\n</fw></turv>\n");
    setState(YW_FRW_FSM_STATE_IDLE);
    std::string out = run(YW_FRW_CMD_CONF);
    EXPECT_TRUE(has(out, "config error code=-931 msg:framework Node number missing\n")) << out;
    EXPECT_TRUE(has(out, "frw fsm config faile error = -931\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IDLE);
    auto q = drainQueue();
    ASSERT_EQ(q.size(), 1u);
    out = run(q[0]->id.p.value, q[0]->data);
    releaseAll(q);
    EXPECT_TRUE(has(out, "framework Internal error = -931\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IERR);
}

TEST_F(FrwFsmTest, TwoLocalNodesReachIerrBeforeTheInitCommand)
{
    loadSys("<turv><fw>\n<fwConf>\n"
            "<fwDef nodeNo=\"0\" name=\"a\" local=\"1\" isMaster=\"1\" frwIAP=\"3\"/>\n"
            "<fwDef nodeNo=\"1\" name=\"b\" local=\"1\"/>\n"
            "</fwConf>\n<logConf>\n</logConf>\n</fw></turv>\n");
    setState(YW_FRW_FSM_STATE_IDLE);
    std::string out = run(YW_FRW_CMD_CONF);
    EXPECT_TRUE(has(out, "config error code=-932 msg:multiple local node flag not allowed\n")) << out;
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_CONF);
    ASSERT_NE(localNode, nullptr);
    EXPECT_STREQ(localNode->name, "a"); // the first local node stays
    EXPECT_EQ(masterNode, &YW_g_frw_node[0]);
    EXPECT_EQ(YW_g_frw_node[0].iap, 3);
    EXPECT_EQ(YW_g_frw_node[1].state, YW_FRW_NODE_STATE_CONFIGURED);
    EXPECT_EQ(YW_g_frw_node[2].state, 0);

    auto q = drainQueue();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0]->id.p.value, (YW_event_value_t)YW_FRW_EVT_IERR);
    EXPECT_EQ(q[1]->id.p.value, (YW_event_value_t)YW_FRW_CMD_INIT);
    out = run(q[0]->id.p.value, q[0]->data);
    EXPECT_TRUE(has(out, "framework Internal error = -932\n")) << out;
    out = run(q[1]->id.p.value, q[1]->data);
    EXPECT_TRUE(has(out, "invalid cmd 17 at state 7\n")) << out;
    releaseAll(q);
    EXPECT_EQ(state(), (YW_fsm_state_t)YW_FRW_FSM_STATE_IERR);
}

TEST_F(FrwFsmTest, NodeEntriesOutsideTheTableAndAttributesBeforeNodeNo)
{
    loadSys("<turv><fw>\n<fwConf>\n"
            "<fwDef nodeNo=\"9\" name=\"far\" local=\"1\"/>\n"
            "<fwDef isMaster=\"1\" nodeNo=\"2\" name=\"two\" frwIAP=\"12\"/>\n"
            "</fwConf>\n</fw></turv>\n");
    EXPECT_EQ(YW_loadFrameworkConfig(nullptr), 0);
    EXPECT_EQ(localNode, nullptr);  // node 9 is never read
    EXPECT_EQ(masterNode, nullptr); // written before "nodeNo": not applied
    EXPECT_STREQ(YW_g_frw_node[2].name, "two");
    EXPECT_EQ(YW_g_frw_node[2].iap, 12);
    EXPECT_EQ(YW_frw_node_searchByIpc(12), &YW_g_frw_node[2]);
    EXPECT_EQ(YW_frw_node_searchByIpc(13), nullptr);
    char buf[256];
    YW_frw_node_toString(&YW_g_frw_node[2], buf, sizeof buf);
    EXPECT_STREQ(buf, "\tno:2 name:two isLocal:0 state:1  isMaster:0 \n\t\tflags:0 iap:12 sent:0 rcvd:0\n");
    YW_frw_node_toString(nullptr, buf, sizeof buf);
    EXPECT_STREQ(buf, "\tnode null\n");
}

TEST_F(FrwFsmTest, ReadingTheNodesAgainKeepsTheLocalNode)
{
    // The restart row queues the configuration command, which reads the
    // node section again: the same local node is no configuration error.
    loadSys("<turv><fw>\n<fwConf>\n"
            "<fwDef nodeNo=\"0\" name=\"a\" local=\"1\" isMaster=\"1\" frwIAP=\"3\"/>\n"
            "</fwConf>\n</fw></turv>\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_loadFrameworkConfig(nullptr), 0);
    EXPECT_EQ(YW_loadFrameworkConfig(nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(has(out, "config error")) << out;
    EXPECT_EQ(localNode, &YW_g_frw_node[0]);
    EXPECT_EQ(masterNode, &YW_g_frw_node[0]);
    auto q = drainQueue();
    EXPECT_TRUE(q.empty());
    releaseAll(q);
}
