// A channel id kept by a task after its channel is deleted and another
// channel is made in the same slot: every call by that id fails and never
// acts on the new channel, while the channel it was given for works as usual.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "ipc/yw_ipc.h"
#include "ipc_test_util.h"

using namespace yw_ipc_test;

namespace {

class IpcStaleId : public FreshChannels {};

TEST_F(IpcStaleId, KeptIdFailsAfterItsSlotChangedHands)
{
    constexpr YW_uint32_t both = YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX;
    TaskHost holder("stale_holder"), owner("stale_owner");
    ASSERT_TRUE(holder.ok() && owner.ok());
    // The calls a task makes with a channel id, and what each gives once the
    // id outlived its channel.
    YW_ipc_id_t kept = YW_IPC_INVALID_ID;
    char buf[16];
    YW_uint32_t flags = 0;
    YW_ipc_status_t st;
    const struct {
        const char *name;
        std::function<long long()> call;
        long long stale;
    } calls[] = {
        {"send", [&] { return (long long)YW_sendIpc(kept, "z", 1); }, YW_ERR_IPC_NULL},
        {"recv", [&] { return (long long)YW_recvIpc(kept, buf, sizeof(buf)); }, YW_ERR_IPC_NULL},
        {"control", [&] { return (long long)YW_controlIpc(kept, YW_IPC_CMD_GET_FLAGS, &flags, (YW_ipc_arg_t)4); },
         YW_ERR_IPC_NULL},
        {"close", [&] { return (long long)YW_closeIpc(kept, both); }, YW_ERR_IPC_NULL},
        {"inq", [&] { return (long long)YW_inqIpc(kept, &st); }, YW_FAIL},
    };
    for (int round = 0; round < 40; round++) {
        MsgqCfg a("stale_a", both, 70), b("stale_b", both, 71);
        YW_ipc_id_t ida, idb;
        ASSERT_EQ(YW_createIpc(&a.cfg, &ida), 0);
        // the normal path: open, send, the event, receive
        holder.run([&] {
            ASSERT_EQ(YW_openIpc(70, both, &kept), 0);
            ASSERT_EQ(kept, ida);
            ASSERT_EQ(YW_sendIpc(kept, "a", 2), 2);
            ASSERT_EQ(takeIpcEvent(), (long long)kept);
            ASSERT_EQ(YW_recvIpc(kept, buf, sizeof(buf)), 2);
            EXPECT_STREQ(buf, "a");
        });
        ASSERT_FALSE(HasFatalFailure());
        // The holder keeps calling with its id while the slot changes hands.
        std::atomic<int> phase{0}, lateCalls{0};
        std::atomic<bool> stop{false};
        AtExit joined([&] {
            stop = true;
            holder.drain();
        });
        holder.post([&] {
            while (!stop) {
                for (const auto &c : calls) {
                    bool late = phase.load() == 2; // the new channel was whole before the call
                    long long r = c.call();
                    if (late) {
                        EXPECT_EQ(r, c.stale) << c.name << " round " << round;
                        lateCalls++;
                    }
                }
            }
        });
        phase = 1;
        ASSERT_EQ(YW_ipc_closeAndDelete(ida), 0);
        ASSERT_EQ(YW_createIpc(&b.cfg, &idb), 0);
        ASSERT_EQ(idb, ida); // same slot, same index
        owner.run([&] {
            YW_ipc_id_t id;
            ASSERT_EQ(YW_openIpc(71, both, &id), 0);
            ASSERT_EQ(YW_sendIpc(id, "b", 2), 2);
        });
        phase = 2;
        ASSERT_TRUE(waitFor([&] { return lateCalls.load() >= 50; }, std::chrono::seconds(20)));
        stop = true;
        holder.drain();
        // The new channel saw only its owner: one message sent, still queued,
        // one event, both sides open.
        owner.run([&] {
            YW_ipc_status_t s;
            ASSERT_EQ(YW_inqIpc(idb, &s), 0);
            EXPECT_EQ(s.sendPackets, 1);
            EXPECT_EQ(s.recvPackets, 0);
            EXPECT_EQ(s.state & (YW_IPC_STATE_RX_OPENED | YW_IPC_STATE_TX_OPENED),
                      YW_IPC_STATE_RX_OPENED | YW_IPC_STATE_TX_OPENED);
            EXPECT_EQ(countIpcEvents(), 1);
            char got[8] = {};
            EXPECT_EQ(YW_recvIpc(idb, got, sizeof(got)), 2);
            EXPECT_STREQ(got, "b");
        });
        // Once the holder opens the new channel itself (its sides are taken),
        // the id is the new channel's for it too.
        holder.run([&] {
            EXPECT_EQ(YW_openIpc(71, YW_IPC_FLAGS_RX, &kept), YW_ERR_IPC_REOPEN);
            EXPECT_EQ(YW_inqIpc(kept, &st), 0);
            EXPECT_EQ(YW_controlIpc(kept, YW_IPC_CMD_GET_FLAGS, &flags, (YW_ipc_arg_t)4), 0);
        });
        ASSERT_EQ(YW_ipc_closeAndDelete(idb), 0);
    }
}

} // namespace
