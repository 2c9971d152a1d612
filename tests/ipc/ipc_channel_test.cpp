// Channel table, configuration loading, creation checks and the channel API.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "frw/yw_frw_cfg.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "ipc/yw_ipc_msgq.h"
#include "ipc_test_util.h"

using namespace yw_ipc_test;

namespace {

class IpcTable : public FreshChannels {};

// Loads a configuration text and returns its "ipcConf" element.
struct CfgText {
    std::string text;
    YW_frw_cfg_set_t set{};
    YW_frw_cfg_element_t *section = nullptr;
    explicit CfgText(const std::string &body)
        : text("<?xml version=\"1.0\"?>\n<cfg>\n<fw>\n<ipcConf>\n" + body + "</ipcConf>\n</fw>\n</cfg>\n")
    {
        if (YW_frw_cfg_loadText(text.data(), (YW_size_t)text.size(), &set) == 0 && set.base)
            section = YW_frw_searchCfgElement(set.base, "ipcConf", nullptr);
    }
    ~CfgText() { YW_frw_cfg_unload(&set); }
    CfgText(const CfgText &) = delete;
    CfgText &operator=(const CfgText &) = delete;
};

TEST_F(IpcTable, LoaderFillsEntriesInDocumentOrder)
{
    CfgText t("<ipcDef name=\"a\" type=\"MSGQ\" flags=\"TX RX\" iap=\"7\">\n"
              "  <rx buffer_size=\"4096\" max_descriptors=\"16\" frame_size=\"512\"/>\n"
              "  <local msgq_name=\"qa\"/>\n"
              "</ipcDef>\n"
              "<ipcDef name=\"b\" type=\"INET\" transport=\"UDP\" flags=\"TX_BUFFER FRAMED\" iap=\"8\">\n"
              "  <local ip=\"127.0.0.1\" port=\"4000\"/>\n"
              "  <remote ip=\"not-an-ip\" port=\"4001\"/>\n"
              "</ipcDef>\n"
              "<ipcDef name=\"c\" type=\"KWT_SRIO\" transport=\"SMB\" flags=\"RX\" iap=\"9\">\n"
              "  <remote ceid=\"3\" port=\"12\"/>\n"
              "</ipcDef>\n");
    ASSERT_NE(t.section, nullptr);
    YW_ipc_ism_cfg_t mc{};
    ASSERT_EQ(YW_loadIpcServiceManageConfig(t.section, &mc), 0);
    const YW_ipc_cfg_t *c = YW_g_ipc_cfg;
    ASSERT_STREQ(c[0].name, "a");
    EXPECT_EQ(c[0].interfaceType, YW_IPC_INTF_MSGQ);
    EXPECT_EQ(c[0].transportType, 0); // no "transport" attribute
    EXPECT_EQ(c[0].flags, 0x30u);
    EXPECT_EQ(c[0].iap, 7u);
    EXPECT_EQ(c[0].rx.buffer_size, 4096);
    EXPECT_EQ(c[0].rx.max_descriptors, 16u);
    EXPECT_EQ(c[0].rx.frame_size, 512);
    EXPECT_STREQ(c[0].address.local.msgq_name, "qa");
    ASSERT_STREQ(c[1].name, "b");
    EXPECT_EQ(c[1].interfaceType, YW_IPC_INTF_INET);
    EXPECT_EQ(c[1].transportType, YW_IPC_TRANSPORT_UDP);
    EXPECT_EQ(c[1].flags, 0x51u);
    EXPECT_EQ(c[1].address.local.inet.addr_in.sin_family, AF_INET);
    EXPECT_EQ(c[1].address.local.inet.addr_in.sin_addr.s_addr, htonl(0x7F000001));
    EXPECT_EQ(c[1].address.local.inet.addr_in.sin_port, htons(4000));
    EXPECT_EQ(c[1].address.remote.inet.addr_in.sin_addr.s_addr, 0u);
    ASSERT_STREQ(c[2].name, "c");
    EXPECT_EQ(c[2].address.remote.srio.ceid, 3);
    EXPECT_EQ(c[2].address.remote.srio.port, 12);
    EXPECT_EQ(c[3].name, nullptr);

    EXPECT_EQ(YW_loadIpcServiceManageConfig(t.section, nullptr), YW_ERR_ARG_NULL);
    EXPECT_EQ(YW_loadIpcConfig(nullptr, &YW_g_ipc_cfg[0], nullptr), YW_ERR_NO_CFG);
    // no section: no channels, not a failure
    EXPECT_EQ(YW_loadIpcServiceManageConfig(nullptr, &mc), 0);
}

TEST_F(IpcTable, NamesAreAlwaysTerminated)
{
    std::string n31(31, 'q'), n32(32, 'q');
    CfgText ok("<ipcDef name=\"a\" type=\"MSGQ\" flags=\"TX\">\n  <local msgq_name=\"" + n31 + "\"/>\n</ipcDef>\n");
    YW_ipc_ism_cfg_t mc{};
    ASSERT_EQ(YW_loadIpcServiceManageConfig(ok.section, &mc), 0);
    EXPECT_EQ(std::string(YW_g_ipc_cfg[0].address.local.msgq_name), n31);

    CfgText bad("<ipcDef name=\"a\" type=\"MSGQ\" flags=\"TX\">\n  <remote msgq_name=\"" + n32 + "\"/>\n</ipcDef>\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_loadIpcServiceManageConfig(bad.section, &mc), YW_ERR_INVD_ARGS);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ipc cfg a loading fail -953"), std::string::npos) << out;
    EXPECT_EQ(YW_g_ipc_cfg[0].address.remote.msgq_name[0], '\0');

    YW_ipc_cfg_t c{};
    c.interfaceType = YW_IPC_INTF_KWT_SFPDP;
    EXPECT_EQ(YW_ipc_cfg_child_setAttribute(&c, "remote", "dev_name", n32.c_str()), YW_ERR_INVD_ARGS);
    EXPECT_EQ(YW_ipc_cfg_child_setAttribute(&c, "remote", "dev_name", n31.c_str()), 0);
    EXPECT_EQ(std::string(c.address.remote.dev_name), n31);
}

TEST_F(IpcTable, MoreThan128EntriesStopAt128)
{
    std::string body;
    for (int i = 0; i < 130; i++)
        body += "<ipcDef name=\"c" + std::to_string(i) + "\" type=\"MSGQ\" flags=\"RX\"/>\n";
    CfgText t(body);
    ASSERT_NE(t.section, nullptr);
    YW_ipc_ism_cfg_t mc{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_loadIpcServiceManageConfig(t.section, &mc), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("more than 128 ipcDef entries"), std::string::npos) << out;
    EXPECT_STREQ(YW_g_ipc_cfg[127].name, "c127");
}

TEST_F(IpcTable, KindsThatDoNotFitAreRefusedAndFreeTheirSlot)
{
    MsgqCfg live("live", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 1);
    YW_ipc_id_t liveId = 77;
    ASSERT_EQ(YW_createIpc(&live.cfg, &liveId), 0);
    EXPECT_EQ(liveId, 0u);

    struct Case {
        YW_uint16_t intf, tp;
        YW_ret_t want;
    } cases[] = {
        {YW_IPC_INTF_INET, YW_IPC_TRANSPORT_SMB, YW_ERR_IPC_INVD_TYPE},
        {YW_IPC_INTF_KWT_SRIO, YW_IPC_TRANSPORT_TCP, YW_ERR_IPC_INVD_TYPE},
        {YW_IPC_INTF_KWT_SFPDP, YW_IPC_TRANSPORT_MAX, YW_ERR_IPC_INVD_TYPE},
        {YW_IPC_INTF_MAX, YW_IPC_TRANSPORT_TCP, YW_ERR_IPC_INVD_TYPE},
    };
    for (const Case &k : cases) {
        MsgqCfg c("odd", YW_IPC_FLAGS_TX, 2);
        c.cfg.interfaceType = k.intf;
        c.cfg.transportType = k.tp;
        YW_ipc_id_t id = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_createIpc(&c.cfg, &id), k.want) << k.intf << "/" << k.tp;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("ipc odd refused"), std::string::npos) << out;
        EXPECT_EQ(id, (YW_ipc_id_t)YW_IPC_INVALID_ID);
        EXPECT_EQ(YW_ipc_searchByIap(2), nullptr);
        EXPECT_EQ(YW_g_ipc[1].cfg, nullptr);
    }
    // the live channel 0 was never touched by the refusals
    YW_uint32_t flags = 0;
    EXPECT_EQ(YW_controlIpc(0, YW_IPC_CMD_GET_FLAGS, &flags, (YW_ipc_arg_t)4), 0);
    EXPECT_EQ(flags, 0x30u);
}

TEST_F(IpcTable, ChannelsThatCannotCarryMessagesAreRefused)
{
    YW_ipc_id_t id = 0;
    MsgqCfg none("none", 0, 3);
    none.cfg.rx.buffer_size = 1024;
    none.cfg.rx.max_descriptors = 4;
    EXPECT_EQ(YW_createIpc(&none.cfg, &id), YW_ERR_IPC_FLAGS);
    EXPECT_EQ(id, (YW_ipc_id_t)YW_IPC_INVALID_ID);

    MsgqCfg nodesc("nodesc", YW_IPC_FLAGS_RX, 3, 1024, 0);
    id = 0;
    EXPECT_LT(YW_createIpc(&nodesc.cfg, &id), 0);
    EXPECT_EQ(id, (YW_ipc_id_t)YW_IPC_INVALID_ID);

    MsgqCfg nobuf("nobuf", YW_IPC_FLAGS_RX, 3, 0, 4);
    EXPECT_LT(YW_createIpc(&nobuf.cfg, &id), 0);

    MsgqCfg tiny("tiny", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_FRAMED, 3);
    tiny.cfg.tx.frame_size = 9;
    EXPECT_EQ(YW_createIpc(&tiny.cfg, &id), YW_ERR_INVD_ARGS);
    for (int i = 0; i < YW_IPC_MAX; i++)
        EXPECT_EQ(YW_g_ipc[i].cfg, nullptr);
}

TEST_F(IpcTable, DuplicatesAndAFullTable)
{
    std::vector<std::unique_ptr<MsgqCfg>> cfgs;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        cfgs.push_back(std::make_unique<MsgqCfg>(("m" + std::to_string(i)).c_str(), YW_IPC_FLAGS_RX, 100 + i, 64, 2));
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        ASSERT_EQ(YW_createIpc(&cfgs.back()->cfg, &id), 0) << i;
        EXPECT_EQ(id, (YW_ipc_id_t)i);
    }
    YW_ipc_id_t id = 5;
    EXPECT_EQ(YW_createIpc(&cfgs[3]->cfg, &id), YW_ERR_CFG_AGAIN);
    MsgqCfg extra("extra", YW_IPC_FLAGS_RX, 999, 64, 2);
    EXPECT_EQ(YW_createIpc(&extra.cfg, &id), YW_ERR_NO_FREE_TSE);
    EXPECT_EQ(id, (YW_ipc_id_t)YW_IPC_INVALID_ID);
    EXPECT_EQ(YW_ipc_searchByIap(150)->ipc_id, 50u);
    // private copies: the caller's record may go away
    EXPECT_NE(YW_g_ipc[0].cfg, &cfgs[0]->cfg);
    EXPECT_STREQ(YW_g_ipc[0].cfg->name, "m0");
}

TEST_F(IpcTable, ApiRefusesBadArgumentsBeforeTheTransport)
{
    MsgqCfg c("chan", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 4);
    YW_ipc_id_t id = YW_IPC_INVALID_ID;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    char buf[16] = "x";
    EXPECT_EQ(YW_sendIpc(id, buf, -1), YW_ERR_INVD_ARGS);
    EXPECT_EQ(YW_sendIpc(id, nullptr, 4), YW_ERR_INVD_ARGS);
    EXPECT_EQ(YW_recvIpc(id, buf, -5), YW_ERR_INVD_ARGS);
    EXPECT_EQ(YW_recvIpc(id, nullptr, 4), YW_ERR_INVD_ARGS);
    // free slots and ids out of range
    EXPECT_EQ(YW_sendIpc(id + 1, buf, 1), YW_ERR_IPC_NULL);
    EXPECT_EQ(YW_recvIpc(id + 1, buf, 1), YW_ERR_IPC_NULL);
    EXPECT_EQ(YW_sendIpc(YW_IPC_INVALID_ID, buf, 1), YW_ERR_IPC_NULL);
    EXPECT_EQ(YW_closeIpc(200, YW_IPC_FLAGS_RX), YW_ERR_IPC_NULL);
    EXPECT_EQ(YW_controlIpc(id + 1, 1, buf, (YW_ipc_arg_t)4), YW_ERR_IPC_NULL);
    // a failed channel is refused as well
    YW_ipc_state_set(&YW_g_ipc[id], YW_IPC_STATE_ASSIGN_FAILED);
    EXPECT_EQ(YW_sendIpc(id, buf, 1), YW_ERR_IPC_NOT_READY);
    YW_ipc_state_clear(&YW_g_ipc[id], YW_IPC_STATE_ASSIGN_FAILED);

    YW_uint32_t flags = 0;
    EXPECT_EQ(YW_controlIpc(id, YW_IPC_CMD_GET_FLAGS, &flags, (YW_ipc_arg_t)4), 0);
    EXPECT_EQ(flags, 0x30u);
    EXPECT_EQ(YW_controlIpc(id, YW_IPC_CMD_GET_FLAGS, &flags, (YW_ipc_arg_t)8), YW_ERR_INVD_ARGS);
    EXPECT_EQ(YW_controlIpc(id, YW_IPC_CMD_GET_FLAGS, nullptr, (YW_ipc_arg_t)4), YW_ERR_INVD_ARGS);
    EXPECT_EQ(YW_controlIpc(id, YW_IPC_CMD_GET_FRAME_SIZE, &flags, (YW_ipc_arg_t)4), YW_ERR_NOT_SUPPORT);
    EXPECT_EQ(YW_controlIpc(id, 51, &flags, (YW_ipc_arg_t)4), YW_ERR_NOT_SUPPORT);
    YW_int64_t v = 0;
    EXPECT_EQ(YW_controlIpc(id, YW_IPC_CMD_GET_RX_BUFFER_SIZE, &v, (YW_ipc_arg_t)8), 0);
    EXPECT_EQ(v, 1024);

    EXPECT_EQ(YW_IPC_EVENT_IPC_ID(0x80000005u), 5u);
    EXPECT_EQ(YW_IPC_EVENT_IPC_ID(0x40000007u), 7u);

    char text[128];
    EXPECT_GT(YW_ipc_toString(&YW_g_ipc[id], text, sizeof(text)), 0);
    EXPECT_NE(std::string(text).find("name=chan type=0"), std::string::npos) << text;
    EXPECT_EQ(YW_ipc_toString(&YW_g_ipc[id], text, 4), 3);
}

TEST_F(IpcTable, OpenAndCloseEachSide)
{
    MsgqCfg rxOnly("rxonly", YW_IPC_FLAGS_RX, 30);
    MsgqCfg both("both", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 31);
    YW_ipc_id_t rxId, bothId;
    ASSERT_EQ(YW_createIpc(&rxOnly.cfg, &rxId), 0);
    ASSERT_EQ(YW_createIpc(&both.cfg, &bothId), 0);

    TaskHost a("ipc_open_a"), b("ipc_open_b");
    ASSERT_TRUE(a.ok());
    ASSERT_TRUE(b.ok());
    a.run([&] {
        YW_ipc_id_t id = 99;
        EXPECT_EQ(YW_openIpc(12345, YW_IPC_FLAGS_RX, &id), YW_ERR_IPC_NULL);
        EXPECT_EQ(id, 99u); // untouched
        EXPECT_EQ(YW_openIpc(30, YW_IPC_FLAGS_RX, &id), 0);
        EXPECT_EQ(id, rxId);
        EXPECT_EQ(YW_openIpc(30, YW_IPC_FLAGS_RX, &id), YW_ERR_IPC_REOPEN);
        EXPECT_EQ(YW_openIpc(30, YW_IPC_FLAGS_TX, &id), YW_ERR_IPC_FLAGS);
        EXPECT_EQ(YW_openIpc(30, 0, &id), YW_ERR_IPC_FLAGS);
        EXPECT_EQ(YW_openIpc(31, YW_IPC_FLAGS_TX, &id), 0);
    });
    // the receive side stays as it was after the refused transmit open
    EXPECT_EQ(YW_g_ipc[rxId].rx.event_q, YW_task_tse_getTaskEventq(a.id()));
    EXPECT_TRUE(YW_ipc_state_get(&YW_g_ipc[rxId]) & YW_IPC_STATE_RX_OPENED);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[rxId]) & YW_IPC_STATE_TX_OPENED);

    b.run([&] {
        YW_ipc_id_t id;
        EXPECT_EQ(YW_openIpc(30, YW_IPC_FLAGS_RX, &id), YW_ERR_IPC_REOPEN);
        EXPECT_EQ(YW_openIpc(31, YW_IPC_FLAGS_RX, &id), 0);
        EXPECT_EQ(YW_openIpc(31, YW_IPC_FLAGS_TX, &id), YW_ERR_IPC_REOPEN);
    });
    EXPECT_EQ(YW_deleteIpc(rxId), YW_ERR_STATE);
    EXPECT_NE(YW_g_ipc[rxId].cfg, nullptr);

    EXPECT_EQ(YW_closeIpc(rxId, YW_IPC_FLAGS_TX), YW_ERR_IPC_FLAGS);
    EXPECT_EQ(YW_closeIpc(rxId, YW_IPC_FLAGS_RX), 0);
    EXPECT_EQ(YW_g_ipc[rxId].rx.event_q, nullptr);
    EXPECT_EQ(YW_deleteIpc(rxId), 0);
    EXPECT_EQ(YW_g_ipc[rxId].cfg, nullptr);
    EXPECT_EQ(YW_closeIpc(rxId, YW_IPC_FLAGS_RX), YW_ERR_IPC_NULL);

    EXPECT_EQ(YW_closeIpc(bothId, YW_IPC_FLAGS_RX | YW_IPC_FLAGS_TX), 0);
    EXPECT_EQ(YW_ipc_state_get(&YW_g_ipc[bothId]) & (YW_IPC_STATE_RX_OPENED | YW_IPC_STATE_TX_OPENED), 0);
    a.stop();
    b.stop();
}

TEST_F(IpcTable, AReceiveSideOpenedBeforeARefusedTransmitSideStillWakesItsTask)
{
    MsgqCfg tx("wake_tx", YW_IPC_FLAGS_TX, 60, 256, 4, "wa", "wb");
    MsgqCfg rx("wake_rx", YW_IPC_FLAGS_RX, 61, 256, 4, "wb", "wa");
    YW_ipc_id_t txId, rxId;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &txId), 0);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rxId), 0);
    TaskHost a("ipc_wake_a"), b("ipc_wake_b");
    ASSERT_TRUE(a.ok() && b.ok());
    AtExit end([&] {
        a.stop();
        b.stop();
    });
    // both sides asked for: the receive side opens, the transmit side is
    // refused and ends the open
    b.run([&] { EXPECT_EQ(YW_openIpc(61, YW_IPC_FLAGS_RX | YW_IPC_FLAGS_TX, nullptr), YW_ERR_IPC_FLAGS); });
    EXPECT_TRUE(YW_ipc_state_get(&YW_g_ipc[rxId]) & YW_IPC_STATE_RX_OPENED);
    a.run([&] {
        EXPECT_EQ(YW_openIpc(60, YW_IPC_FLAGS_TX, nullptr), 0);
        EXPECT_EQ(YW_sendIpc(txId, "hi", 2), 2);
    });
    b.run([&] {
        // the event on the open receive side wakes the task's wait
        EXPECT_GE(YW_event_wait(YW_task_tse_getEventQ(), 2000000000LL), 1);
        EXPECT_EQ(takeIpcEvent(), (long long)rxId);
        char buf[8];
        EXPECT_EQ(YW_recvIpc(rxId, buf, sizeof(buf)), 2);
    });
}

TEST_F(IpcTable, DeletingOneChannelOfAPairLeavesTheOtherSafe)
{
    MsgqCfg tx("pair_tx", YW_IPC_FLAGS_TX, 40, 256, 4, "pa", "pb");
    MsgqCfg rx("pair_rx", YW_IPC_FLAGS_RX, 41, 256, 4, "pb", "pa");
    YW_ipc_id_t txId, rxId;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &txId), 0);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rxId), 0);
    ASSERT_EQ(YW_g_ipc[txId].priv, YW_g_ipc[rxId].priv);
    auto *q = static_cast<YW_ipc_msgq_t *>(YW_g_ipc[txId].priv);
    EXPECT_EQ(q->refCount, 2);
    EXPECT_EQ(q->tx, &YW_g_ipc[txId]);
    EXPECT_EQ(q->rx, &YW_g_ipc[rxId]);

    // a third channel wanting the same receiving end is refused
    MsgqCfg rx2("pair_rx2", YW_IPC_FLAGS_RX, 42, 256, 4, "pb", "pa");
    YW_ipc_id_t id;
    EXPECT_EQ(YW_createIpc(&rx2.cfg, &id), YW_ERR_IPC_BUSY);

    EXPECT_EQ(YW_deleteIpc(rxId), 0);
    EXPECT_EQ(q->refCount, 1);
    EXPECT_EQ(q->rx, nullptr);
    // sending into a queue whose receiver is gone is harmless
    char m[8] = "hello";
    EXPECT_EQ(YW_sendIpc(txId, m, 6), 6);
    EXPECT_EQ(YW_deleteIpc(txId), 0);

    // the other way round: the receiver keeps what was sent before its
    // sender went, and a receive that finds a pending mark tells nobody
    ASSERT_EQ(YW_createIpc(&tx.cfg, &txId), 0);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rxId), 0);
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(YW_sendIpc(txId, m, 6), 6);
    EXPECT_EQ(YW_sendIpc(txId, m, 6), YW_ERR_NO_TX_BD);
    EXPECT_TRUE(YW_ipc_state_get(&YW_g_ipc[txId]) & YW_IPC_STATE_TX_PENDING);
    EXPECT_EQ(YW_deleteIpc(txId), 0);
    char buf[8];
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(YW_recvIpc(rxId, buf, sizeof(buf)), 6);
    EXPECT_EQ(YW_recvIpc(rxId, buf, sizeof(buf)), YW_ERR_FIFO_EMPTY);
    EXPECT_EQ(YW_deleteIpc(rxId), 0);
}

TEST_F(IpcTable, AMessageThatFitsTheQueueIsNeverRefusedForEver)
{
    MsgqCfg c("mq_fit", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 5, 100, 4);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    char m[128], buf[128];
    std::memset(m, 'a', sizeof(m));
    // the queue is empty again after these, with its positions at 60
    ASSERT_EQ(YW_sendIpc(id, m, 60), 60);
    ASSERT_EQ(YW_recvIpc(id, buf, sizeof(buf)), 60);
    // 40 bytes to the end, 60 before: 70 bytes still go in
    EXPECT_EQ(YW_sendIpc(id, m, 70), 70);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id]) & YW_IPC_STATE_TX_PENDING);
    EXPECT_EQ(YW_recvIpc(id, buf, sizeof(buf)), 70);
    // longer than the whole queue: refused as such, no room to wait for
    EXPECT_EQ(YW_sendIpc(id, m, 101), YW_ERR_IPC_TOO_LONG);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id]) & YW_IPC_STATE_TX_PENDING);
    EXPECT_EQ(YW_sendIpc(id, m, 100), 100);
    EXPECT_EQ(YW_recvIpc(id, buf, sizeof(buf)), 100);
}

TEST_F(IpcTable, ObjectListShowsEverySlot)
{
    MsgqCfg c("chan_show", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 4);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    ASSERT_EQ(id, 0u);
    if (!YW_g_log_stdout) { // the node registers it at start-up
        ASSERT_EQ(YW_registerLog("stdout", &YW_g_log_stdout), 0);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ipc_showIpcs(0, nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\t*** ipc object list ***\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  ipc_id=0 \ncfg: name=chan_show type=0 \nstatus: state=0x"), std::string::npos) << out;
    EXPECT_NE(out.find("  ipc_id=1 \ncfg: null\nstatus: state=0x0 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("  ipc_id=127 \ncfg: null"), std::string::npos) << out;
    size_t n = 0;
    for (size_t p = out.find("ipc_id="); p != std::string::npos; p = out.find("ipc_id=", p + 1))
        n++;
    EXPECT_EQ(n, 128u);
}

} // namespace
