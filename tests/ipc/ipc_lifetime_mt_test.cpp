// Channel lifetimes under concurrency: one name claimed once, paired queues
// made and deleted at once, two deleters of one channel, holds of a slot that
// changed hands, and the status read while the channel carries traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <sys/mman.h>

#include "ipc/yw_ipc.h"
#include "ipc_test_util.h"

using namespace yw_ipc_test;

// A task that makes one call with a buffer that cannot be read.
struct FaultCase {
    YW_ipc_id_t id;
    const char *bad;
    bool viaChannel; // in a channel call, or in the task's own formatting
};

extern "C" __attribute__((used, visibility("default"), no_sanitize("undefined"))) void *
yw_ipc_test_fault_entry(void *arg)
{
    auto *c = static_cast<FaultCase *>(arg);
    if (c->viaChannel)
        YW_sendIpc(c->id, c->bad, 64);
    else
        YW_logPrintf(&YW_g_lse_stdout, YW_LOG_LEVEL_INFO, "%.64s\n", c->bad);
    return nullptr;
}

namespace {

class IpcLifetime : public FreshChannels {};

// Runs a and b on two threads released together; returns when both end.
template <typename A, typename B> void together(A a, B b)
{
    std::atomic<int> ready{0};
    auto gate = [&] {
        ready++;
        while (ready.load() < 2)
            std::this_thread::yield();
    };
    std::thread ta([&] { gate(); a(); });
    std::thread tb([&] { gate(); b(); });
    ta.join();
    tb.join();
}

TEST_F(IpcLifetime, TwoCreatorsOfOneNameAndTwoDeletersOfOneChannel)
{
    for (int i = 0; i < 400; i++) {
        MsgqCfg c1("same", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 10), c2("same", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 11);
        YW_ret_t r1, r2;
        YW_ipc_id_t id1 = YW_IPC_INVALID_ID, id2 = YW_IPC_INVALID_ID;
        together([&] { r1 = YW_createIpc(&c1.cfg, &id1); }, [&] { r2 = YW_createIpc(&c2.cfg, &id2); });
        ASSERT_EQ((r1 == 0) + (r2 == 0), 1) << "round " << i << ": " << r1 << " " << r2;
        EXPECT_EQ(r1 == 0 ? r2 : r1, YW_ERR_CFG_AGAIN);
        YW_ipc_id_t id = r1 == 0 ? id1 : id2;
        together([&] { r1 = YW_deleteIpc(id); }, [&] { r2 = YW_deleteIpc(id); });
        ASSERT_EQ((r1 == 0) + (r2 == 0), 1) << "round " << i << ": " << r1 << " " << r2;
        ASSERT_EQ(YW_g_ipc[id].cfg, nullptr);
    }
}

TEST_F(IpcLifetime, PairedQueuesMadeAndDeletedAtOnce)
{
    // Each side makes, uses and deletes its channel again and again; the
    // queue found through the peer is held while it is joined.
    std::atomic<int> odd{0};
    auto side = [&](const char *name, YW_uint32_t flags, YW_uint32_t iap, const char *loc, const char *rem) {
        for (int i = 0; i < 1500; i++) {
            MsgqCfg c(name, flags, iap, 256, 4, loc, rem);
            YW_ipc_id_t id;
            if (YW_createIpc(&c.cfg, &id) != 0) {
                odd++;
                continue;
            }
            char b[8] = "x";
            YW_size_t n = flags & YW_IPC_FLAGS_TX ? YW_sendIpc(id, b, 1) : YW_recvIpc(id, b, sizeof(b));
            if (n < 0 && n != YW_ERR_FIFO_EMPTY && n != YW_ERR_NO_TX_BD)
                odd++;
            if (YW_deleteIpc(id) != 0)
                odd++;
        }
    };
    together([&] { side("peer_tx", YW_IPC_FLAGS_TX, 20, "pa", "pb"); },
             [&] { side("peer_rx", YW_IPC_FLAGS_RX, 21, "pb", "pa"); });
    EXPECT_EQ(odd.load(), 0);
    for (int i = 0; i < YW_IPC_MAX; i++)
        EXPECT_EQ(YW_g_ipc[i].cfg, nullptr);
}

TEST_F(IpcLifetime, HoldOfASlotThatChangedHandsIsRefused)
{
    // A transport thread holds the channel it was given for each use; the
    // manager deletes it and makes another in the same slot meanwhile.
    std::atomic<bool> stop{false};
    std::atomic<int> used{0}, odd{0};
    std::atomic<YW_uint32_t> given{0};
    std::atomic<YW_ipc_t *> ch{nullptr};
    std::thread user([&] {
        while (!stop) {
            YW_ipc_t *ipc = ch.load();
            if (!ipc)
                continue;
            YW_uint32_t gen = given.load();
            YW_ipc_hold h(ipc, gen);
            if (!h)
                continue;
            // the channel of this generation, never the one made after it
            if (YW_ipc_generation(ipc) != gen || std::strcmp(ipc->cfg->name, "gen_a") != 0)
                odd++;
            char b[4] = "abc";
            if (ipc->oprs.send(ipc, b, 3) == 3)
                used++;
            ipc->oprs.recv(ipc, b, sizeof(b));
        }
    });
    // On a busy machine the user thread may not run at all in 300 rounds:
    // go on (bounded) until it has used at least one generation.
    for (int i = 0; i < 300 || (used.load() == 0 && i < 20000); i++) {
        MsgqCfg a("gen_a", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 30, 64, 2);
        MsgqCfg b("gen_b", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 31, 64, 2);
        YW_ipc_id_t ida, idb;
        ASSERT_EQ(YW_createIpc(&a.cfg, &ida), 0);
        YW_uint32_t genA = YW_ipc_generation(&YW_g_ipc[ida]);
        given = genA;
        ch = &YW_g_ipc[ida];
        if (i >= 300)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        else
            std::this_thread::yield();
        ASSERT_EQ(YW_deleteIpc(ida), 0);
        ASSERT_EQ(YW_createIpc(&b.cfg, &idb), 0);
        ASSERT_EQ(idb, ida); // the slot changed hands: ids are slot indexes
        EXPECT_NE(YW_ipc_generation(&YW_g_ipc[idb]), genA);
        EXPECT_EQ(YW_ipc_enterGen(&YW_g_ipc[idb], genA), YW_ERR_IPC_NULL);
        ASSERT_EQ(YW_deleteIpc(idb), 0);
    }
    stop = true;
    user.join();
    EXPECT_EQ(odd.load(), 0);
    EXPECT_GT(used.load(), 0);
}

TEST_F(IpcLifetime, StatusReadWhileTheChannelCarriesTraffic)
{
    MsgqCfg c("stat", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 40, 1024, 8);
    YW_ipc_id_t id;
    ASSERT_EQ(YW_createIpc(&c.cfg, &id), 0);
    constexpr int kMsgs = 20000;
    std::atomic<bool> done{false};
    int backwards = 0;
    together(
        [&] {
            char b[16] = "0123456789";
            for (int i = 0; i < kMsgs; i++) {
                YW_sendIpc(id, b, 10);
                YW_recvIpc(id, b, sizeof(b));
            }
            done = true;
        },
        [&] {
            YW_int64_t last = 0;
            while (!done) {
                YW_ipc_status_t s;
                ASSERT_EQ(YW_inqIpc(id, &s), 0);
                backwards += s.recvPackets < last;
                last = s.recvPackets;
            }
        });
    YW_ipc_status_t s;
    ASSERT_EQ(YW_inqIpc(id, &s), 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(s.sendPackets, kMsgs);
    EXPECT_EQ(s.recvBytes, 10LL * kMsgs);
}

TEST_F(IpcLifetime, FaultInsideAChannelCallEndsTheProcessAFaultInTheTaskOnlyTheTask)
{
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto runFault = [&](const char *name, bool viaChannel) {
        MsgqCfg c("fault_ch", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX, 60);
        FaultCase fc{YW_IPC_INVALID_ID, static_cast<const char *>(page), viaChannel};
        ASSERT_EQ(YW_createIpc(&c.cfg, &fc.id), 0);
        YW_task_cfg_t t = makeCfg(name, "yw_ipc_test_fault_entry");
        YW_task_id_t tid;
        ASSERT_EQ(YW_createTask(&t, &tid), 0);
        testing::internal::CaptureStdout();
        ASSERT_EQ(YW_startTask(tid, &fc), 0);
        // only the task ends: its slot is freed, the channel is whole
        bool ended = waitFor([&] { return YW_searchTaskByName(name, &tid) != 0; });
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ended);
        EXPECT_NE(out.find("segmentation fault, task stopped"), std::string::npos) << out;
        EXPECT_EQ(YW_deleteIpc(fc.id), 0);
    };
    runFault("own_fault", false);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(runFault("call_fault", true), "inside a framework call holding shared locks: process ended");
    munmap(page, 4096);
}

} // namespace
