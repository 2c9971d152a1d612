// Node management over real message-queue channels: the master answers every
// heartbeat and opens the channel to a peer once; another node sends its
// heartbeat to the master, receives the answer on its own access point and
// declares synchronisation once.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "frw/yw_frw_fsm.h"
#include "frw/yw_frw_node.h"
#include "frw/yw_frw_node_mng.h"
#include "ipc/ipc_test_util.h"

using namespace yw_ipc_test;

namespace {

std::string msgBytes(YW_int32_t type, YW_int32_t iap)
{
    YW_frw_node_mng_msg_t m{type, iap};
    return std::string(reinterpret_cast<const char *>(&m), sizeof(m));
}

// FRW events of the given value waiting in the framework queue (taken).
int takeFrwEvents(YW_event_value_t value)
{
    int n = 0;
    YW_event_msg_t *m = nullptr;
    while (YW_event_recv(&YW_g_frw_fsm_event_q, YW_EVENT_FLAG_FRW, &m) == 0) {
        n += m->id.p.value == value;
        YW_event_releaseEvent(m);
    }
    return n;
}

class NodeMng : public FreshChannels {
protected:
    void SetUp() override
    {
        FreshChannels::SetUp();
        static bool fsm = false;
        if (!fsm) {
            YW_frw_fsm_init();
            fsm = true;
        }
        takeFrwEvents(0);
        YW_frw_node_init0();
        // node0 (iap 10) and node1 (iap 11); each access point is a channel
        ASSERT_EQ(YW_createIpc(&ap10.cfg, &id10), 0);
        ASSERT_EQ(YW_createIpc(&ap11.cfg, &id11), 0);
        for (int i = 0; i < 2; i++) {
            YW_frw_node_t &n = YW_g_frw_node[i];
            n.state = YW_FRW_NODE_STATE_CONFIGURED;
            n.iap = 10 + i;
            n.name = const_cast<char *>(i ? "node1" : "node0");
        }
        YW_g_frw_node[0].isMaster = 1;
        masterNode = &YW_g_frw_node[0];
        std::memset(&ctx, 0, sizeof(ctx));
        ctx.init = YW_frw_node_mng_init;
        ctx.recv = YW_frw_node_mng_recv;
        ctx.flags = YW_IPC_RECEIVER_RUNNING;
    }

    MsgqCfg ap10{"ap10", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 10, 1024, 8};
    MsgqCfg ap11{"ap11", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 11, 1024, 8};
    YW_ipc_id_t id10 = YW_IPC_INVALID_ID, id11 = YW_IPC_INVALID_ID;
    YW_ipc_receiver_context_t ctx{};
};

TEST_F(NodeMng, MasterAnswersEveryHeartbeatAndOpensThePeerOnce)
{
    localNode = &YW_g_frw_node[0];
    TaskHost mng("nm_master"), peer("nm_peer");
    ASSERT_TRUE(mng.ok() && peer.ok());
    peer.run([&] { EXPECT_EQ(YW_openIpc(11, YW_IPC_FLAGS_RX, nullptr), 0); });
    mng.run([&] {
        ASSERT_EQ(YW_frw_node_mng_init(&ctx), 0);
        EXPECT_EQ(ctx.rx_ipc_info[0].ipc_no, id10);
        EXPECT_GE(ctx.rx_ipc_info[0].buffer_size, 8);
        EXPECT_EQ(YW_frw_node_send_heartbit(&ctx), 0); // the master sends none
        std::string hb = msgBytes(YW_FRW_MNG_MSG_HEARTBIT, 11);
        EXPECT_EQ(YW_frw_node_mng_recv(&ctx, hb.data(), (YW_size_t)hb.size()), 0);
        EXPECT_EQ(YW_frw_node_mng_recv(&ctx, hb.data(), (YW_size_t)hb.size()), 0);

        testing::internal::CaptureStdout();
        std::string stranger = msgBytes(YW_FRW_MNG_MSG_HEARTBIT, 55);
        EXPECT_EQ(YW_frw_node_mng_recv(&ctx, stranger.data(), (YW_size_t)stranger.size()), YW_ERR_MNG_PEER_NULL);
        std::string odd = msgBytes(0x1111, 11) + "abc"; // a trailing partial message is ignored
        EXPECT_EQ(YW_frw_node_mng_recv(&ctx, odd.data(), (YW_size_t)odd.size()), 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("can't find peer node for iap:55"), std::string::npos) << out;
        EXPECT_NE(out.find("can't unknown msg type 1111 from iap 11"), std::string::npos) << out;
    });
    const YW_frw_node_t &p = YW_g_frw_node[1];
    EXPECT_EQ(p.state, YW_FRW_NODE_STATE_CONFIGURED | YW_FRW_NODE_STATE_CHANNEL | YW_FRW_NODE_STATE_HEARD);
    EXPECT_EQ(p.sent, 2u);
    EXPECT_EQ(p.ipc_no, (YW_int32_t)id11);
    EXPECT_EQ(YW_g_frw_node[0].rcvd, 4u);
    peer.run([&] {
        char buf[16];
        for (int i = 0; i < 2; i++) {
            ASSERT_EQ(YW_recvIpc(id11, buf, sizeof(buf)), 8);
            YW_frw_node_mng_msg_t m;
            std::memcpy(&m, buf, sizeof(m));
            EXPECT_EQ(m.mtype, YW_FRW_MNG_MSG_HEARTBIT_ACK);
            EXPECT_EQ(m.iap, 10);
        }
        EXPECT_EQ(YW_recvIpc(id11, buf, sizeof(buf)), YW_ERR_FIFO_EMPTY);
    });
    mng.run([&] { EXPECT_EQ(YW_frw_node_mng_release(&ctx), 0); });
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id10]) & YW_IPC_STATE_RX_OPENED);
}

TEST_F(NodeMng, OtherNodeSendsHeartbeatsAndSynchronisesOnTheFirstAnswer)
{
    localNode = &YW_g_frw_node[1];
    TaskHost mng("nm_node1"), master("nm_node0");
    ASSERT_TRUE(mng.ok() && master.ok());
    master.run([&] { EXPECT_EQ(YW_openIpc(10, YW_IPC_FLAGS_RX, nullptr), 0); });
    mng.run([&] {
        ASSERT_EQ(YW_frw_node_mng_init(&ctx), 0);
        // the answers come to the node's own access point
        EXPECT_EQ(ctx.rx_ipc_info[0].ipc_no, id11);
        EXPECT_TRUE(YW_g_frw_node[0].state & YW_FRW_NODE_STATE_CHANNEL);
        EXPECT_EQ(YW_frw_node_send_heartbit(&ctx), 0);
        EXPECT_EQ(YW_frw_node_send_heartbit(&ctx), 0);
    });
    EXPECT_EQ(YW_g_frw_node[0].sent, 2u);
    master.run([&] {
        char buf[16];
        ASSERT_EQ(YW_recvIpc(id10, buf, sizeof(buf)), 8);
        YW_frw_node_mng_msg_t m;
        std::memcpy(&m, buf, sizeof(m));
        EXPECT_EQ(m.mtype, YW_FRW_MNG_MSG_HEARTBIT);
        EXPECT_EQ(m.iap, 11);
    });
    mng.run([&] {
        std::string ack = msgBytes(YW_FRW_MNG_MSG_HEARTBIT_ACK, 10);
        EXPECT_EQ(YW_frw_node_mng_recv(&ctx, ack.data(), (YW_size_t)ack.size()), 0);
        EXPECT_EQ(YW_frw_node_mng_recv(&ctx, ack.data(), (YW_size_t)ack.size()), 0);
    });
    EXPECT_TRUE(YW_g_frw_node[0].state & YW_FRW_NODE_STATE_HEARD);
    EXPECT_EQ(takeFrwEvents(YW_FRW_EVT_SYNC), 1);
    mng.run([&] { EXPECT_EQ(YW_frw_node_mng_release(&ctx), 0); });
    EXPECT_FALSE(YW_g_frw_node[0].state & YW_FRW_NODE_STATE_CHANNEL);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id10]) & YW_IPC_STATE_TX_OPENED);
}

TEST_F(NodeMng, WithoutAMasterNothingStarts)
{
    localNode = &YW_g_frw_node[1];
    masterNode = nullptr;
    TaskHost mng("nm_alone");
    ASSERT_TRUE(mng.ok());
    mng.run([&] {
        EXPECT_EQ(YW_frw_node_mng_init(&ctx), YW_ERR_ENTITY_NULL);
        EXPECT_EQ(YW_frw_node_send_heartbit(&ctx), YW_ERR_MNG_NO_MASTER);
    });
    localNode = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_frw_node_mng_task(nullptr), nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("local node config not found"), std::string::npos) << out;
}

TEST_F(NodeMng, ANodeWhoseFrameworkChannelCannotBeOpenedReportsAConfigurationError)
{
    // The master's own access point has no receive side; another node's own
    // access point has none either: neither declares synchronisation, each
    // reports the channel as the framework's configuration error.
    for (int local : {1, 0}) {
        SCOPED_TRACE(local);
        localNode = &YW_g_frw_node[local];
        YW_ipc_id_t &own = local ? id11 : id10;
        ASSERT_EQ(YW_deleteIpc(own), 0);
        MsgqCfg txOnly{local ? "ap11tx" : "ap10tx", YW_IPC_FLAGS_TX, (YW_uint32_t)(10 + local), 1024, 8};
        ASSERT_EQ(YW_createIpc(&txOnly.cfg, &own), 0);
        TaskHost mng("nm_nochan");
        ASSERT_TRUE(mng.ok());
        testing::internal::CaptureStdout();
        mng.run([] { EXPECT_EQ(YW_frw_node_mng_task(nullptr), nullptr); });
        std::string out = testing::internal::GetCapturedStdout();
        std::string chan = std::string("framework channel ") + (local ? "ap11tx of iap 11" : "ap10tx of iap 10");
        EXPECT_NE(out.find(chan + " can't be set up"), std::string::npos) << out;
        EXPECT_EQ(takeFrwEvents(YW_FRW_EVT_IERR), 1);
        EXPECT_EQ(takeFrwEvents(YW_FRW_EVT_SYNC), 0);
        EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[own]) & YW_IPC_STATE_RX_OPENED);
        // another node leaves no channel to the master open behind it
        EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id10]) & YW_IPC_STATE_TX_OPENED);
        ASSERT_EQ(YW_deleteIpc(own), 0);
    }
}

TEST_F(NodeMng, OtherNodeHeartbeatsUntilTheMasterAnswers)
{
    localNode = &YW_g_frw_node[1];
    TaskHost mng("nm_loop"), master("nm_loop_master");
    ASSERT_TRUE(mng.ok() && master.ok());
    master.run([&] {
        EXPECT_EQ(YW_openIpc(10, YW_IPC_FLAGS_RX, nullptr), 0);
        EXPECT_EQ(YW_openIpc(11, YW_IPC_FLAGS_TX, nullptr), 0);
    });
    YW_frw_node_mng_rcv_ctx.flags = 0;
    // the loop ends at its next 2 s slice once the running bit is cleared,
    // also when an assertion below leaves the test early
    AtExit endLoop([&] {
        YW_IPC_RECEIVER_RESET_RUNNING(&YW_frw_node_mng_rcv_ctx);
        mng.drain();
    });
    mng.post([] { YW_frw_node_mng_task(nullptr); });

    // heartbeats arrive at the master's access point, one per 2 s time-out
    int heartbeats = 0;
    auto takeHeartbeats = [&] {
        char buf[16];
        YW_size_t n;
        while ((n = YW_recvIpc(id10, buf, sizeof(buf))) == 8) {
            YW_frw_node_mng_msg_t m;
            std::memcpy(&m, buf, sizeof(m));
            EXPECT_EQ(m.mtype, YW_FRW_MNG_MSG_HEARTBIT);
            EXPECT_EQ(m.iap, 11);
            heartbeats++;
        }
        EXPECT_EQ(n, YW_ERR_FIFO_EMPTY);
    };
    ASSERT_TRUE(waitFor([&] {
        takeHeartbeats();
        return heartbeats >= 2;
    }, std::chrono::seconds(60)));
    EXPECT_EQ(takeFrwEvents(YW_FRW_EVT_SYNC), 0);

    // the answer: synchronisation once, and no heartbeat after it
    std::string ack = msgBytes(YW_FRW_MNG_MSG_HEARTBIT_ACK, 10);
    EXPECT_EQ(YW_sendIpc(id11, ack.data(), 8), 8);
    int syncs = 0;
    ASSERT_TRUE(waitFor([&] {
        syncs += takeFrwEvents(YW_FRW_EVT_SYNC);
        return syncs > 0;
    }, std::chrono::seconds(60)));
    takeHeartbeats(); // any sent before the answer was read
    YW_count_t counted = YW_g_frw_node_mng_heartbeats;
    std::this_thread::sleep_for(std::chrono::milliseconds(4500)); // two more time-outs
    int before = heartbeats;
    takeHeartbeats();
    EXPECT_EQ(heartbeats, before);
    EXPECT_EQ(YW_g_frw_node_mng_heartbeats, counted);
    EXPECT_EQ(YW_sendIpc(id11, ack.data(), 8), 8); // a second answer: no second SYNC
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    YW_IPC_RECEIVER_RESET_RUNNING(&YW_frw_node_mng_rcv_ctx);
    mng.drain();
    EXPECT_EQ(syncs + takeFrwEvents(YW_FRW_EVT_SYNC), 1);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id10]) & YW_IPC_STATE_TX_OPENED);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id11]) & YW_IPC_STATE_RX_OPENED);
}

TEST_F(NodeMng, AMessageLongerThanTheReceiveBufferDoesNotBlockTheHeartbeats)
{
    // The master's access point shares a queue made by a feeding channel, so
    // its own configuration gives the loop only the smallest buffer (8 bytes).
    localNode = &YW_g_frw_node[0];
    ASSERT_EQ(YW_deleteIpc(id10), 0);
    MsgqCfg feed{"ap10feed", YW_IPC_FLAGS_TX, 30, 4096, 8, "n0in", "n0"};
    MsgqCfg own{"ap10own", YW_IPC_FLAGS_RX, 10, 4096, 8, "n0", "n0in"};
    own.cfg.rx.buffer_size = 0;
    YW_ipc_id_t feedId;
    ASSERT_EQ(YW_createIpc(&feed.cfg, &feedId), 0);
    ASSERT_EQ(YW_createIpc(&own.cfg, &id10), 0);
    TaskHost mng("nm_big"), peer("nm_big_peer");
    ASSERT_TRUE(mng.ok() && peer.ok());
    peer.run([&] {
        EXPECT_EQ(YW_openIpc(11, YW_IPC_FLAGS_RX, nullptr), 0);
        EXPECT_EQ(YW_openIpc(30, YW_IPC_FLAGS_TX, nullptr), 0);
    });
    YW_frw_node_mng_rcv_ctx.flags = 0;
    AtExit endLoop([&] {
        YW_IPC_RECEIVER_RESET_RUNNING(&YW_frw_node_mng_rcv_ctx);
        mng.drain();
    });
    mng.post([] { YW_frw_node_mng_task(nullptr); });
    ASSERT_TRUE(waitFor([&] { return YW_ipc_state_get(&YW_g_ipc[id10]) & YW_IPC_STATE_RX_OPENED; }));
    EXPECT_EQ(YW_frw_node_mng_rcv_ctx.rx_ipc_info[0].buffer_size, YW_FRW_NODE_MNG_RECV_BUF_MIN);

    // 32 bytes the loop cannot take whole, then a heartbeat of node1
    std::string big = msgBytes(0x2222, 11) + msgBytes(0x2222, 11) + msgBytes(0x2222, 11) + msgBytes(0x2222, 11);
    std::string hb = msgBytes(YW_FRW_MNG_MSG_HEARTBIT, 11);
    testing::internal::CaptureStdout();
    peer.run([&] {
        EXPECT_EQ(YW_sendIpc(feedId, big.data(), (YW_size_t)big.size()), (YW_size_t)big.size());
        EXPECT_EQ(YW_sendIpc(feedId, hb.data(), (YW_size_t)hb.size()), (YW_size_t)hb.size());
    });
    // the heartbeat behind it is still answered
    bool answered = false;
    peer.run([&] {
        char buf[16];
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!answered && std::chrono::steady_clock::now() < end) {
            YW_size_t n = YW_recvIpc(id11, buf, sizeof(buf));
            if (n == 8) {
                YW_frw_node_mng_msg_t m;
                std::memcpy(&m, buf, sizeof(m));
                EXPECT_EQ(m.mtype, YW_FRW_MNG_MSG_HEARTBIT_ACK);
                answered = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    });
    YW_IPC_RECEIVER_RESET_RUNNING(&YW_frw_node_mng_rcv_ctx);
    mng.drain();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(answered) << out;
    EXPECT_NE(out.find("can't unknown msg type 2222 from iap 11"), std::string::npos) << out;
    EXPECT_TRUE(YW_g_frw_node[1].state & YW_FRW_NODE_STATE_HEARD);
}

} // namespace
