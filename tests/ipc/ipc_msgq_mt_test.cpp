// Message-queue channels between real framework tasks on their own threads:
// events to the receiving task, order of delivery, the full-queue path with
// its room event, and a sustained stream under flow control.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "ipc_test_util.h"

using namespace yw_ipc_test;

namespace {

class IpcMsgq : public FreshChannels {};

TEST_F(IpcMsgq, OneChannelBothSidesWakesTheReceiverPerMessage)
{
    // slot 0 taken first, so that the id in the events is not 0
    MsgqCfg filler("mq_filler", YW_IPC_FLAGS_RX, 49);
    YW_ipc_id_t fillerId;
    ASSERT_EQ(YW_createIpc(&filler.cfg, &fillerId), 0);
    MsgqCfg c("mq_both", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 50, 4096, 16);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    ASSERT_NE(id, 0u);
    TaskHost a("mq_a"), b("mq_b");
    ASSERT_TRUE(a.ok() && b.ok());
    a.run([&] { EXPECT_EQ(YW_openIpc(50, YW_IPC_FLAGS_TX, nullptr), 0); });
    b.run([&] { EXPECT_EQ(YW_openIpc(50, YW_IPC_FLAGS_RX, nullptr), 0); });

    a.run([&] {
        for (int i = 0; i < 3; i++) {
            std::string m = "msg" + std::to_string(i);
            EXPECT_EQ(YW_sendIpc(id, m.data(), (YW_size_t)m.size()), (YW_size_t)m.size());
        }
    });
    b.run([&] {
        char buf[64];
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(takeIpcEvent(), (long long)id);
            YW_size_t n = YW_recvIpc(id, buf, sizeof(buf));
            ASSERT_EQ(n, 4);
            EXPECT_EQ(std::string(buf, (size_t)n), "msg" + std::to_string(i));
        }
        EXPECT_EQ(YW_recvIpc(id, buf, sizeof(buf)), YW_ERR_FIFO_EMPTY);
        EXPECT_EQ(countIpcEvents(), 0);
    });
    // the sender got no event for its own sends
    a.run([&] { EXPECT_EQ(countIpcEvents(), 0); });
    YW_closeIpc(id, YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX);
}

TEST_F(IpcMsgq, OneChannelRoomEventCarriesTheChannelId)
{
    MsgqCfg filler("mq_filler2", YW_IPC_FLAGS_RX, 48);
    YW_ipc_id_t fillerId;
    ASSERT_EQ(YW_createIpc(&filler.cfg, &fillerId), 0);
    MsgqCfg c("mq_room", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 51, 4096, 2);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    ASSERT_NE(id, 0u);
    TaskHost a("mqr_a"), b("mqr_b");
    ASSERT_TRUE(a.ok() && b.ok());
    a.run([&] { EXPECT_EQ(YW_openIpc(51, YW_IPC_FLAGS_TX, nullptr), 0); });
    b.run([&] { EXPECT_EQ(YW_openIpc(51, YW_IPC_FLAGS_RX, nullptr), 0); });
    a.run([&] {
        EXPECT_EQ(YW_sendIpc(id, "1", 2), 2);
        EXPECT_EQ(YW_sendIpc(id, "2", 2), 2);
        EXPECT_EQ(YW_sendIpc(id, "3", 2), YW_ERR_NO_TX_BD);
    });
    b.run([&] {
        char buf[8];
        EXPECT_EQ(takeIpcEvent(), (long long)id);
        EXPECT_EQ(YW_recvIpc(id, buf, sizeof(buf)), 2);
    });
    a.run([&] { EXPECT_EQ(takeIpcEvent(), (long long)(id | YW_IPC_EVENT_TX_PEND)); });
    YW_closeIpc(id, YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX);
}

TEST_F(IpcMsgq, TwoChannelFormWakesTheOpenerOfTheReceivingChannel)
{
    MsgqCfg tx("mq_tx", YW_IPC_FLAGS_TX, 60, 4096, 16, "left", "right");
    MsgqCfg rx("mq_rx", YW_IPC_FLAGS_RX, 61, 4096, 16, "right", "left");
    YW_ipc_id_t txId, rxId;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &txId), 0);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rxId), 0);
    TaskHost a("mq2_a"), b("mq2_b");
    ASSERT_TRUE(a.ok() && b.ok());
    a.run([&] { EXPECT_EQ(YW_openIpc(60, YW_IPC_FLAGS_TX, nullptr), 0); });
    b.run([&] { EXPECT_EQ(YW_openIpc(61, YW_IPC_FLAGS_RX, nullptr), 0); });
    a.run([&] { EXPECT_EQ(YW_sendIpc(txId, "ping", 5), 5); });
    b.run([&] {
        long long v = takeIpcEvent();
        EXPECT_EQ(v, (long long)rxId); // the receiving channel's id
        char buf[16];
        EXPECT_EQ(YW_recvIpc(YW_IPC_EVENT_IPC_ID((YW_uint32_t)v), buf, sizeof(buf)), 5);
        EXPECT_STREQ(buf, "ping");
        // the sending channel has no receive side
        EXPECT_EQ(YW_recvIpc(txId, buf, sizeof(buf)), YW_ERR_RX_NOT_READY);
    });
    a.run([&] { EXPECT_EQ(YW_sendIpc(rxId, "x", 1), YW_ERR_TX_NOT_READY); });
    YW_closeIpc(txId, YW_IPC_FLAGS_TX);
    YW_closeIpc(rxId, YW_IPC_FLAGS_RX);
}

TEST_F(IpcMsgq, FullQueueSetsTxPendingAndTheNextReceiveGivesRoom)
{
    MsgqCfg tx("mq_ftx", YW_IPC_FLAGS_TX, 70, 4096, 2, "f1", "f2");
    MsgqCfg rx("mq_frx", YW_IPC_FLAGS_RX, 71, 4096, 2, "f2", "f1");
    YW_ipc_id_t txId, rxId;
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rxId), 0);
    ASSERT_EQ(YW_createIpc(&tx.cfg, &txId), 0);
    TaskHost a("mqf_a"), b("mqf_b");
    ASSERT_TRUE(a.ok() && b.ok());
    a.run([&] { EXPECT_EQ(YW_openIpc(70, YW_IPC_FLAGS_TX, nullptr), 0); });
    b.run([&] { EXPECT_EQ(YW_openIpc(71, YW_IPC_FLAGS_RX, nullptr), 0); });
    a.run([&] {
        EXPECT_EQ(YW_sendIpc(txId, "one", 4), 4);
        EXPECT_EQ(YW_sendIpc(txId, "two", 4), 4);
        EXPECT_EQ(YW_sendIpc(txId, "three", 6), YW_ERR_NO_TX_BD);
        EXPECT_TRUE(YW_ipc_state_get(&YW_g_ipc[txId]) & YW_IPC_STATE_TX_PENDING);
        EXPECT_EQ(countIpcEvents(), 0);
    });
    b.run([&] {
        char small[2], buf[16];
        EXPECT_EQ(YW_recvIpc(rxId, small, sizeof(small)), YW_ERR_RX_BUFFER_SHORT); // stays queued
        EXPECT_EQ(YW_recvIpc(rxId, buf, sizeof(buf)), 4);
        EXPECT_STREQ(buf, "one");
    });
    a.run([&] {
        long long v = takeIpcEvent();
        EXPECT_EQ(v, (long long)(txId | YW_IPC_EVENT_TX_PEND));
        EXPECT_EQ(YW_IPC_EVENT_IPC_ID((YW_uint32_t)v), txId);
        EXPECT_EQ(YW_sendIpc(txId, "three", 6), 6);
        EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[txId]) & YW_IPC_STATE_TX_PENDING);
    });
    b.run([&] {
        char buf[16];
        EXPECT_EQ(YW_recvIpc(rxId, buf, sizeof(buf)), 4);
        EXPECT_STREQ(buf, "two");
        EXPECT_EQ(YW_recvIpc(rxId, buf, sizeof(buf)), 6);
        EXPECT_STREQ(buf, "three");
    });
    // no pending mark: no further room events
    a.run([&] { EXPECT_EQ(countIpcEvents(), 0); });
    YW_closeIpc(txId, YW_IPC_FLAGS_TX);
    YW_closeIpc(rxId, YW_IPC_FLAGS_RX);
}

TEST_F(IpcMsgq, ReceiverThatEndedWithoutClosingIsNeverSentTo)
{
    MsgqCfg c("mq_gone", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 55, 4096, 16);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    TaskHost a("mqg_a");
    ASSERT_TRUE(a.ok());
    {
        TaskHost b("mqg_b");
        ASSERT_TRUE(b.ok());
        b.run([&] { EXPECT_EQ(YW_openIpc(55, YW_IPC_FLAGS_RX, nullptr), 0); });
        a.run([&] { EXPECT_EQ(YW_openIpc(55, YW_IPC_FLAGS_TX, nullptr), 0); });
        b.stop(); // ends with its receive side still open; its queue is released
    }
    a.run([&] { EXPECT_EQ(YW_sendIpc(id, "late", 5), 5); });
    // the side of the ended task counts as closed from then on
    EXPECT_EQ(YW_g_ipc[id].rx.event_q, nullptr);
    EXPECT_FALSE(YW_ipc_state_get(&YW_g_ipc[id]) & YW_IPC_STATE_RX_OPENED);
    TaskHost c2("mqg_c");
    ASSERT_TRUE(c2.ok());
    c2.run([&] {
        EXPECT_EQ(YW_openIpc(55, YW_IPC_FLAGS_RX, nullptr), 0);
        char buf[8];
        EXPECT_EQ(YW_recvIpc(id, buf, sizeof(buf)), 5);
        EXPECT_STREQ(buf, "late");
    });
    a.run([&] { EXPECT_EQ(YW_sendIpc(id, "next", 5), 5); });
    c2.run([&] { EXPECT_EQ(takeIpcEvent(), (long long)id); });
    YW_closeIpc(id, YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX);
}

TEST_F(IpcMsgq, StreamUnderFlowControlArrivesWholeAndInOrder)
{
    constexpr int kCount = 20000;
    MsgqCfg c("mq_stream", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 80, 1000, 8);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    TaskHost a("mqs_a"), b("mqs_b");
    ASSERT_TRUE(a.ok() && b.ok());
    a.run([&] { EXPECT_EQ(YW_openIpc(80, YW_IPC_FLAGS_TX, nullptr), 0); });
    b.run([&] { EXPECT_EQ(YW_openIpc(80, YW_IPC_FLAGS_RX, nullptr), 0); });

    std::atomic<int> sent{0}, got{0}, bad{0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    a.post([&] {
        YW_event_q_t *q = YW_task_tse_getEventQ();
        for (int i = 0; i < kCount && std::chrono::steady_clock::now() < end;) {
            char m[200];
            int len = 1 + (i * 37) % 150;
            if (len < (int)sizeof(i))
                len = sizeof(i);
            std::memset(m, (char)(i & 0x7F), (size_t)len);
            std::memcpy(m, &i, sizeof(i));
            YW_size_t r = YW_sendIpc(id, m, len);
            if (r == len) {
                sent++;
                i++;
                continue;
            }
            if (r != YW_ERR_NO_TX_BD) {
                bad++;
                return;
            }
            // wait for the room event
            YW_event_wait(q, 100000000LL);
            YW_event_msg_t *e;
            while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &e) == 0)
                YW_event_releaseEvent(e);
        }
    });
    b.post([&] {
        YW_event_q_t *q = YW_task_tse_getEventQ();
        char buf[256];
        while (got < kCount && std::chrono::steady_clock::now() < end) {
            YW_event_wait(q, 100000000LL);
            YW_event_msg_t *e;
            while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &e) == 0)
                YW_event_releaseEvent(e);
            for (;;) {
                YW_size_t n = YW_recvIpc(id, buf, sizeof(buf));
                if (n < 0)
                    break;
                int i = got.load();
                int len = 1 + (i * 37) % 150;
                if (len < (int)sizeof(i))
                    len = sizeof(i);
                int seq;
                std::memcpy(&seq, buf, sizeof(seq));
                if (n != len || seq != i || (len > 4 && buf[len - 1] != (char)(i & 0x7F)))
                    bad++;
                got++;
            }
        }
    });
    a.drain();
    b.drain();
    EXPECT_EQ(sent.load(), kCount);
    EXPECT_EQ(got.load(), kCount);
    EXPECT_EQ(bad.load(), 0);
    YW_ipc_buffer_t *buf = YW_g_ipc[id].rx.buffer;
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->alloc, buf->free);
    EXPECT_EQ(buf->outp_oor + buf->wrap_overrun + buf->wrap_underrun, 0u);
    YW_closeIpc(id, YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX);
}

TEST_F(IpcMsgq, StopWhileTasksSendAndReceiveWaitsForTheirCalls)
{
    // The manager's stop closes and deletes channels that two tasks are busy
    // with: their calls in progress finish on a live queue, later ones are
    // refused, and nothing is touched after it was freed.
    for (int round = 0; round < 20; round++) {
        MsgqCfg tx("mq_stop_tx", YW_IPC_FLAGS_TX, 90, 2048, 8, "s1", "s2");
        MsgqCfg rx("mq_stop_rx", YW_IPC_FLAGS_RX, 91, 2048, 8, "s2", "s1");
        YW_ipc_id_t txId, rxId;
        ASSERT_EQ(YW_createIpc(&tx.cfg, &txId), 0);
        ASSERT_EQ(YW_createIpc(&rx.cfg, &rxId), 0);
        TaskHost a("mqstop_a"), b("mqstop_b");
        ASSERT_TRUE(a.ok() && b.ok());
        a.run([&] { EXPECT_EQ(YW_openIpc(90, YW_IPC_FLAGS_TX, nullptr), 0); });
        b.run([&] { EXPECT_EQ(YW_openIpc(91, YW_IPC_FLAGS_RX, nullptr), 0); });
        std::atomic<int> sent{0}, got{0}, odd{0};
        std::atomic<bool> going{true}, quit{false};
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        AtExit endJobs([&] {
            quit = true;
            a.drain();
            b.drain();
        });
        a.post([&] {
            char m[64] = "payload";
            while (!quit && std::chrono::steady_clock::now() < until) {
                YW_size_t r = YW_sendIpc(txId, m, 1 + sent % 60);
                if (r == YW_ERR_IPC_NULL)
                    break; // deleted
                if (r > 0)
                    sent++;
                else if (r != YW_ERR_NO_TX_BD)
                    odd++;
            }
            going = false;
        });
        b.post([&] {
            char buf[64];
            while (!quit && std::chrono::steady_clock::now() < until) {
                YW_size_t r = YW_recvIpc(rxId, buf, sizeof(buf));
                if (r == YW_ERR_IPC_NULL)
                    break;
                if (r > 0)
                    got++;
                else if (r != YW_ERR_FIFO_EMPTY)
                    odd++;
            }
        });
        ASSERT_TRUE(waitFor([&] { return got.load() > 50; }, std::chrono::seconds(60)));
        EXPECT_EQ(YW_ipc_ism_onStop(), 0);
        a.drain();
        b.drain();
        EXPECT_FALSE(going.load());
        EXPECT_EQ(odd.load(), 0);
        EXPECT_EQ(YW_g_ipc[txId].cfg, nullptr);
        EXPECT_EQ(YW_g_ipc[rxId].cfg, nullptr);
        EXPECT_EQ(YW_sendIpc(txId, "x", 1), YW_ERR_IPC_NULL);
    }
}

TEST_F(IpcMsgq, OpenRacingCreationAndDeletionSeesWholeChannelsOnly)
{
    // A task opens an access point again and again while the channel behind
    // it is created and deleted: it either finds no channel or a complete
    // one, never a channel without its operations.
    TaskHost a("mqrace_a");
    ASSERT_TRUE(a.ok());
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0}, odd{0};
    AtExit endJob([&] {
        stop = true;
        a.drain();
    });
    a.post([&] {
        while (!stop) {
            YW_ipc_id_t id = YW_IPC_INVALID_ID;
            YW_ret_t r = YW_openIpc(95, YW_IPC_FLAGS_RX, &id);
            if (r == 0) {
                opened++;
                // the channel of this access point, never the one of another
                // access point made meanwhile in the same slot
                if (id >= YW_IPC_MAX || !YW_g_ipc[id].cfg || YW_g_ipc[id].cfg->iap != 95)
                    odd++;
                char buf[8];
                YW_size_t n = YW_recvIpc(id, buf, sizeof(buf));
                if (n != YW_ERR_FIFO_EMPTY && n != YW_ERR_IPC_NULL)
                    odd++;
                r = YW_closeIpc(id, YW_IPC_FLAGS_RX);
                if (r != 0 && r != YW_ERR_IPC_NULL)
                    odd++;
                // leave the deleting side a window, as a real task would
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            } else if (r != YW_ERR_IPC_NULL && r != YW_ERR_IPC_NOT_READY) {
                odd++;
            }
        }
    });
    int created = 0, kept = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((created < 300 || opened.load() < 20) && std::chrono::steady_clock::now() < until) {
        // every other round the slot holds a channel of another access point
        MsgqCfg c("mq_race", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, created % 2 ? 96 : 95, 256, 4);
        YW_ipc_id_t id;
        ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
        created++;
        std::this_thread::yield();
        YW_ret_t r;
        // Opened just now: the task closes it soon. A close refused while a
        // deletion was deciding would keep it open for ever.
        auto closeBy = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((r = YW_deleteIpc(id)) == YW_ERR_STATE && std::chrono::steady_clock::now() < closeBy) {
            kept++;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        ASSERT_EQ(r, 0) << "channel left open after " << created << " rounds";
    }
    stop = true;
    a.drain();
    EXPECT_EQ(odd.load(), 0);
    EXPECT_GE(created, 300);
    EXPECT_GT(opened.load(), 0);
}

TEST_F(IpcMsgq, StopClosesChannelsATaskKeepsOpening)
{
    // A task opens its channel again as soon as it finds it closed. The stop
    // closes and deletes with no window for that open: it never fails with
    // the channel still there.
    for (int round = 0; round < 20; round++) {
        MsgqCfg c("mq_reopen", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 97, 256, 4);
        YW_ipc_id_t id;
        ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
        TaskHost a("mqreopen_a");
        ASSERT_TRUE(a.ok());
        std::atomic<bool> quit{false};
        std::atomic<int> opens{0}, odd{0};
        AtExit endJob([&] {
            quit = true;
            a.drain();
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        a.post([&] {
            while (!quit && std::chrono::steady_clock::now() < until) {
                YW_ret_t r = YW_openIpc(97, YW_IPC_FLAGS_RX, nullptr);
                if (r == YW_SUCCESS)
                    opens++;
                else if (r == YW_ERR_IPC_NULL)
                    break; // deleted
                else if (r != YW_ERR_IPC_REOPEN)
                    odd++;
            }
        });
        ASSERT_TRUE(waitFor([&] { return opens.load() > 0; }));
        EXPECT_EQ(YW_deleteIpc(id), YW_ERR_STATE); // open: a plain delete keeps it
        EXPECT_EQ(YW_ipc_ism_onStop(), 0);
        EXPECT_EQ(YW_g_ipc[id].cfg, nullptr);
        a.drain();
        EXPECT_EQ(odd.load(), 0);
        EXPECT_EQ(YW_openIpc(97, YW_IPC_FLAGS_RX, nullptr), YW_ERR_IPC_NULL);
    }
}

} // namespace
