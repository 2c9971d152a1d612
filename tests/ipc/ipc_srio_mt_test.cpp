// Shared-memory/DMA transport in one process (LOCAL form): creation limits,
// the handshake gate on sends, messages in order across many ring wraps with
// flow control, a partner that goes and comes back, and the ring itself
// (full ring, acknowledgement range, malformed descriptors). Last, both
// directions between two ends that each hold their own handles of the areas
// (as two compute elements do) while the areas are cut and replaced: the
// counts of messages lost.
#include <dirent.h>

#include <climits>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/yw_test_shm.h"
#include "ipc/yw_ipc_frame.h"
#include "ipc/yw_ipc_kwt_srio.h"
#include "ipc_test_util.h"

namespace {

using namespace yw_ipc_test;

struct SrioCfg {
    std::string name;
    YW_ipc_cfg_t cfg{};
    SrioCfg(const char *n, YW_uint32_t flags, YW_uint32_t iap, int lport, int rport, YW_uint64_t descs = 8,
            YW_int64_t buf = 4096, YW_int64_t frame = 1024)
        : name(n)
    {
        cfg.name = const_cast<char *>(name.c_str());
        cfg.interfaceType = YW_IPC_INTF_KWT_SRIO;
        cfg.transportType = YW_IPC_TRANSPORT_SMB;
        cfg.flags = flags;
        cfg.iap = iap;
        YW_ipc_side_cfg_t &s = (flags & YW_IPC_FLAGS_TX) ? cfg.tx : cfg.rx;
        s.buffer_size = buf;
        s.max_descriptors = descs;
        s.frame_size = frame;
        int ceid = (int)(YW_int32_t)ce_getid();
        cfg.address.local.srio = {ceid, lport};
        cfg.address.remote.srio = {ceid, rport};
    }
};

YW_ipc_kwt_srio_connection_t *connOf(YW_ipc_id_t id)
{
    return static_cast<YW_ipc_kwt_srio_connection_t *>(YW_g_ipc[id].priv);
}

class SrioLocal : public FreshChannels {
protected:
    void SetUp() override
    {
        FreshChannels::SetUp();
        YW_ipc_kwt_srio_start();
    }
    yw_common_test::ShmCluster shm_;
};

constexpr YW_uint32_t kTx = YW_IPC_FLAGS_TX | YW_IPC_FLAGS_LOCAL;
constexpr YW_uint32_t kRx = YW_IPC_FLAGS_RX | YW_IPC_FLAGS_LOCAL;

bool retryable(YW_size_t r)
{
    return r == YW_ERR_IPC_NOT_READY || r == YW_ERR_IPC_NO_TX_BD || r == YW_ERR_FIFO_NULL ||
           r == YW_ERR_IPC_KWT_SRIO_RX_BUSY || r == YW_ERR_IPC_BUSY;
}

// Sends count numbered messages of varying length, retrying (after a room
// event or a millisecond) while the channel has no room or no handshake.
void sendNumbered(YW_ipc_id_t id, int from, int count, bool &ok)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = from; i < from + count && ok;) {
        std::string m = "msg" + std::to_string(i) + std::string((size_t)(i % 200), 'x');
        YW_size_t r = YW_sendIpc(id, m.data(), (YW_size_t)m.size());
        if (r == (YW_size_t)m.size()) {
            i++;
            continue;
        }
        ok = retryable(r) && std::chrono::steady_clock::now() < end;
        EXPECT_TRUE(ok) << "send " << i << " gave " << r;
        // A room event, or a millisecond (DIRECT senders get no event).
        YW_event_q_t *q = YW_task_tse_getEventQ();
        if (YW_event_empty(q, YW_EVENT_FLAG_IPC))
            YW_event_wait(q, 1000000LL);
        countIpcEvents();
    }
}

// Receives until count messages came (events, or polling for DIRECT);
// checks each against its number.
void recvNumbered(YW_ipc_id_t id, int from, int count, bool direct, int &got)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buf[512];
    while (got < count && std::chrono::steady_clock::now() < end) {
        if (!direct && takeIpcEvent(50000000LL) < 0)
            continue;
        for (;;) {
            YW_size_t n = YW_recvIpc(id, buf, sizeof buf);
            if (n < 0)
                break;
            int i = from + got;
            std::string want = "msg" + std::to_string(i) + std::string((size_t)(i % 200), 'x');
            if (std::string(buf, (size_t)n) != want) {
                ADD_FAILURE() << "message " << i << " was " << std::string(buf, (size_t)n).substr(0, 12);
                return;
            }
            got++;
        }
    }
}

TEST_F(SrioLocal, CreationRefusesRingsAndFramesTheDescriptorCannotHold)
{
    // (The last row is configured for another compute element than this.)
    const struct {
        YW_uint64_t descs;
        YW_int64_t buf, frame;
        int ceidOff;
        YW_ret_t want;
    } rows[] = {{0, 4096, 1024, 0, YW_ERR_INVD_ARGS},
                {8, 4096, 1LL << 26, 0, YW_ERR_INVD_ARGS},
                {8, 0, 1024, 0, YW_ERR_INVD_ARGS},
                {8, 4096, -1, 0, YW_ERR_INVD_ARGS},
                {8, 4096, 1024, 1, YW_ERR_CFG_INCONSISTENT}};
    for (const auto &r : rows) {
        SrioCfg c("srio_bad", kTx, 40, 1, 2, r.descs, r.buf, r.frame);
        c.cfg.address.local.srio.ceid += r.ceidOff;
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_createIpc(&c.cfg, &id), r.want) << r.descs << " " << r.frame;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(YW_ipc_searchByCfg(&c.cfg), nullptr);
        if (r.ceidOff) {
            EXPECT_NE(out.find("ipc srio_bad refused: configured for compute element " +
                               std::to_string(c.cfg.address.local.srio.ceid) + ", but this node is compute element " +
                               std::to_string((int)(YW_int32_t)ce_getid()) + " (ZV_ceid)\n"),
                      std::string::npos)
                << out;
        }
    }
    EXPECT_EQ(YW_IPC_KWT_SRIO_BD_make(0x1000, 112, 3), 0x1000C000070ULL);
}

TEST_F(SrioLocal, MessagesArriveInOrderAcrossRingWrapsOnlyAfterTheHandshake)
{
    const struct {
        YW_uint32_t txFlags, rxFlags;
    } rows[] = {
        {YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL, YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL},
        {YW_IPC_FLAGS_FLOWCTRL, YW_IPC_FLAGS_FLOWCTRL},
        {YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL | YW_IPC_FLAGS_DIRECT,
         YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL | YW_IPC_FLAGS_DIRECT},
    };
    constexpr int kCount = 3000; // about 80 wraps of a 4 KiB ring
    int port = 10;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.txFlags);
        SrioCfg tx("srio_tx", kTx | row.txFlags, 41, port, port + 1);
        SrioCfg rx("srio_rx", kRx | row.rxFlags, 42, port + 1, port);
        port += 2;
        TaskHost sender("srio_sender"), receiver("srio_receiver");
        ASSERT_TRUE(sender.ok() && receiver.ok());
        YW_ipc_id_t tid = YW_IPC_INVALID_ID, rid = YW_IPC_INVALID_ID;
        ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
        // No partner yet: refused, nothing written.
        sender.run([&] {
            EXPECT_EQ(YW_openIpc(41, YW_IPC_FLAGS_TX, nullptr), YW_SUCCESS);
            EXPECT_EQ(YW_sendIpc(tid, "early", 5), YW_ERR_IPC_NOT_READY);
        });
        EXPECT_EQ(connOf(tid)->push.load(), 0);
        ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
        receiver.run([&] { EXPECT_EQ(YW_openIpc(42, YW_IPC_FLAGS_RX, nullptr), YW_SUCCESS); });
        int got = 0;
        bool ok = true;
        const bool direct = row.rxFlags & YW_IPC_FLAGS_DIRECT;
        receiver.post([&] { recvNumbered(rid, 0, kCount, direct, got); });
        sender.run([&] { sendNumbered(tid, 0, kCount, ok); });
        receiver.drain();
        EXPECT_EQ(got, kCount);
        EXPECT_EQ(connOf(rid)->baddesc.load(), 0u);
        deleteAllChannels();
    }
}

TEST_F(SrioLocal, PartnerDeletedAndMadeAgainLinksBothEndsAgain)
{
    SrioCfg tx("srio_tx", kTx | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL, 43, 30, 31);
    SrioCfg rx("srio_rx", kRx | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL, 44, 31, 30);
    TaskHost sender("srio_sender"), receiver("srio_receiver");
    ASSERT_TRUE(sender.ok() && receiver.ok());
    YW_ipc_id_t tid = YW_IPC_INVALID_ID, rid = YW_IPC_INVALID_ID;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
    sender.run([&] { EXPECT_EQ(YW_openIpc(43, YW_IPC_FLAGS_TX, nullptr), YW_SUCCESS); });
    int base = 0;
    // The receive end goes and comes back twice, then the transmit end does.
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        if (round == 2) {
            sender.run([&] { YW_closeIpc(tid, YW_IPC_FLAGS_TX); });
            ASSERT_EQ(YW_deleteIpc(tid), YW_SUCCESS);
            ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
            sender.run([&] { EXPECT_EQ(YW_openIpc(43, YW_IPC_FLAGS_TX, nullptr), YW_SUCCESS); });
        } else {
            ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
            receiver.run([&] { EXPECT_EQ(YW_openIpc(44, YW_IPC_FLAGS_RX, nullptr), YW_SUCCESS); });
        }
        int got = 0;
        bool ok = true;
        receiver.post([&] { recvNumbered(rid, base, 200, false, got); });
        sender.run([&] { sendNumbered(tid, base, 200, ok); });
        receiver.drain();
        EXPECT_EQ(got, 200);
        base += 200;
        if (round < 1) {
            receiver.run([&] { YW_closeIpc(rid, YW_IPC_FLAGS_RX); });
            ASSERT_EQ(YW_deleteIpc(rid), YW_SUCCESS);
            // Unlinked: the transmit end is not synced until a partner comes.
            EXPECT_TRUE(waitFor([&] { return !connOf(tid)->synced.load(); }));
            sender.run([&] { EXPECT_EQ(YW_sendIpc(tid, "x", 1), YW_ERR_IPC_NOT_READY); });
        }
    }
}

TEST_F(SrioLocal, RingFullAcknowledgementRangeAndMalformedDescriptors)
{
    // Both ends DIRECT: no task touches the rings; the test drives them.
    constexpr YW_uint32_t kDir = YW_IPC_FLAGS_DIRECT | YW_IPC_FLAGS_FLOWCTRL | YW_IPC_FLAGS_FRAMED;
    SrioCfg tx("srio_tx", kTx | kDir, 45, 50, 51);
    SrioCfg rx("srio_rx", kRx | kDir, 46, 51, 50);
    YW_ipc_id_t tid = YW_IPC_INVALID_ID, rid = YW_IPC_INVALID_ID;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
    auto *s = connOf(tid);
    auto *r = connOf(rid);
    ASSERT_TRUE(waitFor([&] { return s->synced.load() && r->synced.load(); }, std::chrono::seconds(10)));

    // Eight messages fill the ring; the ninth finds the reader busy.
    YW_pos_t offs[8];
    for (int i = 0; i < 8; i++) {
        offs[i] = YW_ipc_buffer_alloc(&s->txring, 112);
        YW_ipc_frame_setHeader(s->buffer + offs[i], (YW_uint32_t)i, 112); // frames numbered in order
        ASSERT_EQ(YW_ipc_kwt_srio_do_transfer(s, (YW_uint64_t)offs[i], 112), YW_SUCCESS);
    }
    EXPECT_EQ(YW_ipc_kwt_srio_do_transfer(s, 0, 112), YW_ERR_IPC_KWT_SRIO_RX_BUSY);
    EXPECT_EQ(s->readerbusy.load(), 1u);
    YW_uint64_t off, size, msg;
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ(YW_ipc_kwt_srio_wait_transfer(r, &off, &size, &msg), YW_SUCCESS);
        EXPECT_EQ(off, (YW_uint64_t)offs[i]);
        EXPECT_EQ(size, 112u);
    }
    // A release outside the oldest taken message is refused and keeps it.
    EXPECT_EQ(YW_ipc_kwt_srio_release_buffer(r, r->buffer + offs[0] + 112, 8), YW_ERR_IPC_KWT_SRIO_FREE_BD_OOR);
    EXPECT_EQ(YW_ipc_kwt_srio_collect_free_buffers(s), 0);
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(YW_ipc_kwt_srio_release_buffer(r, r->buffer + offs[i], 112), YW_SUCCESS);
    // With all eight outstanding, collection still finds the acknowledged
    // (here, or in the transmit task's look at the channel).
    EXPECT_TRUE(waitFor([&] {
        YW_shared_lock<std::mutex> rings(s->ringLock);
        YW_ipc_kwt_srio_collect_free_buffers(s);
        YW_ipc_buffer_guard g(&s->txring);
        return s->txring.inp == s->txring.outp;
    }, std::chrono::seconds(5)));
    EXPECT_EQ(s->release_buffer_offset_err.load(), 0u);

    // A malformed word written straight into the receive ring (or the
    // mailbox) is counted and never delivered around: the receiver asks for
    // a new handshake and takes nothing until it comes; after it the link
    // carries messages again.
    const YW_uint64_t area = r->data_size;
    const struct {
        YW_uint64_t word;
        bool mailbox;
    } bad[] = {
        {YW_IPC_KWT_SRIO_BD_make(area, 16, 3), false},     // starts beyond the area
        {YW_IPC_KWT_SRIO_BD_make(area - 8, 16, 3), false}, // ends beyond it
        {YW_IPC_KWT_SRIO_BD_make(0, 4, 3), false},         // shorter than a frame header
        {YW_IPC_KWT_SRIO_BD_make(0xFFFFFFFFFULL, 0x3FFFFFF, 3), false},
        {YW_IPC_KWT_SRIO_BD_make(0, 64, 1), false}, // neither empty nor filled
        {YW_IPC_KWT_SRIO_BD_make(0, 64, 3), false}, // a frame whose length field is 0
        {0x5555AAAA5555AAAAULL, true},              // a mailbox word nobody writes
    };
    std::memset(r->buffer, 0, 64);
    for (const auto &b : bad) {
        SCOPED_TRACE(b.word);
        const YW_uint64_t before = r->baddesc.load(), resyncs = YW_stat_get(r->ipc->status.resyncs);
        std::atomic_ref<YW_uint64_t>(r->descriptors[b.mailbox ? r->remote_mbox : r->pop.load()]).store(b.word);
        YW_uint64_t off = 0, size = 7, msg = 0;
        EXPECT_EQ(YW_ipc_kwt_srio_wait_transfer(r, &off, &size, &msg), YW_SUCCESS);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(r->baddesc.load() - before, b.mailbox ? 0u : 1u);
        EXPECT_EQ(YW_stat_get(r->ipc->status.resyncs) - resyncs, 1u); // in the channel's status
        EXPECT_TRUE(r->resyncing);
        EXPECT_EQ(YW_ipc_kwt_srio_poll_msg(s), YW_IPC_KWT_SRIO_MSG_SYNC);
        // Nothing is taken while the handshake is due.
        EXPECT_EQ(YW_ipc_kwt_srio_wait_transfer(r, &off, &size, &msg), YW_ERR_ENTITY_NULL);
        std::atomic<bool> done{false};
        std::thread peer([&] {
            while (!done) {
                YW_ipc_kwt_srio_answer_sync(r);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        EXPECT_EQ(YW_ipc_kwt_srio_sender_sync(s, 3), YW_SUCCESS);
        done = true;
        peer.join();
        EXPECT_FALSE(r->resyncing);
    }
    TaskHost sender("srio_sender"), receiver("srio_receiver");
    ASSERT_TRUE(sender.ok() && receiver.ok());
    sender.run([&] {
        YW_openIpc(45, YW_IPC_FLAGS_TX, nullptr);
        EXPECT_EQ(YW_sendIpc(tid, "hello", 5), 5);
    });
    char payload[64];
    YW_size_t n = -1;
    receiver.run([&] {
        YW_openIpc(46, YW_IPC_FLAGS_RX, nullptr);
        for (int i = 0; i < 10 && n < 0; i++)
            n = YW_recvIpc(rid, payload, sizeof payload);
    });
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(payload, 5), "hello");
}

int countEntries(const char *dir)
{
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}

TEST_F(SrioLocal, AnAbsentPeerNeverSyncsAndLeaksNoThreadOrDescriptor)
{
    // Two-process form towards a compute element that never comes.
    SrioCfg tx("srio_tx", YW_IPC_FLAGS_TX | YW_IPC_FLAGS_FLOWCTRL, 47, 60, 61);
    tx.cfg.address.remote.srio.ceid = 99;
    SrioCfg rx("srio_rx", YW_IPC_FLAGS_RX | YW_IPC_FLAGS_FLOWCTRL, 48, 62, 63);
    rx.cfg.address.remote.srio.ceid = 98;
    // A SYNC_ACK left in the transmit end's mailbox word (ring of 8: word 10)
    // by an earlier run must not complete the handshake.
    SMB_handle h = nullptr, m = nullptr;
    void *ctrl = nullptr;
    std::string name = "smb_60_1_" + std::to_string((int)(YW_int32_t)ce_getid()) + "_tx";
    ASSERT_EQ(smb_create(name.c_str(), 0x1000004, 4096, 1, ce_getid(), 0, &h), 0u);
    ASSERT_EQ(smb_open(name.c_str(), 0x1000004, 0, 4096, 0, 0, &ctrl, &m), 0u);
    static_cast<YW_uint64_t *>(ctrl)[10] = YW_IPC_KWT_SRIO_MSG_SYNC_ACK;
    YW_ipc_id_t tid, rid;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    smb_close(m, 0);
    smb_close(h, 0);
    int threads = countEntries("/proc/self/task"), fds = countEntries("/proc/self/fd");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(countEntries("/proc/self/task"), threads);
    EXPECT_EQ(countEntries("/proc/self/fd"), fds);
    EXPECT_FALSE(connOf(tid)->synced.load());
    EXPECT_EQ(shm_.count(), 8);
    deleteAllChannels();
    EXPECT_EQ(countEntries("/proc/self/task"), threads - 2) << "both retry threads end with their channels";
}

TEST_F(SrioLocal, TheReceiveTaskPollsOnlyWhileItHasALinkedChannel)
{
    const auto &ctx = YW_g_ipc_kwt_srio_rx_ctx;
    // Settled once nothing moves over a quiet spell.
    auto still = [&] {
        for (int i = 0; i < 50; i++) {
            YW_uint64_t c = ctx.cycles.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (ctx.cycles.load() == c)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(still()) << "no channel: asleep";
    SrioCfg rx("srio_rx", kRx | YW_IPC_FLAGS_FLOWCTRL, 48, 90, 91);
    YW_ipc_id_t rid;
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
    const YW_uint64_t c0 = ctx.cycles.load();
    EXPECT_TRUE(waitFor([&] { return ctx.cycles.load() > c0 + 100; }, std::chrono::seconds(10))) << "a linked channel";
    deleteAllChannels();
    EXPECT_TRUE(still()) << "its channel gone: asleep again";
}

TEST_F(SrioLocal, PartnersMadeAndDeletedAtOnceLinkOnlyLiveEnds)
{
    // Each end's set-up looks for the other while the other is being made
    // or deleted; a partner on its way out must not be touched.
    SrioCfg tx("srio_tx", kTx | YW_IPC_FLAGS_FLOWCTRL, 49, 70, 71);
    SrioCfg rx("srio_rx", kRx | YW_IPC_FLAGS_FLOWCTRL, 50, 71, 70);
    testing::internal::CaptureStdout();
    auto churn = [](YW_ipc_cfg_t *cfg) {
        for (int i = 0; i < 150; i++) {
            YW_ipc_id_t id = YW_IPC_INVALID_ID;
            ASSERT_EQ(YW_createIpc(cfg, &id), YW_SUCCESS);
            ASSERT_EQ(YW_deleteIpc(id), YW_SUCCESS);
        }
    };
    std::thread a([&] { churn(&tx.cfg); }), b([&] { churn(&rx.cfg); });
    a.join();
    b.join();
    testing::internal::GetCapturedStdout();
    // both made again and linked: the handshake completes
    YW_ipc_id_t tid, rid;
    ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
    ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
    EXPECT_TRUE(waitFor([&] { return connOf(tid)->synced.load() && connOf(rid)->synced.load(); }));
}

} // namespace

namespace {

using namespace yw_ipc_test;

std::string numbered(int i)
{
    return "msg" + std::to_string(i) + std::string((size_t)(i % 200), 'x');
}

TEST_F(SrioLocal, APeerRestartDuringSendsNeitherTearsNorRepeatsNorRewindsTheRing)
{
    // The receive end announces a restart (a SYNC in the sender's mailbox
    // word, as its set-up writes) again and again while messages go, queued
    // through the transmit task and sent directly. Whatever arrives is whole,
    // in order and once; afterwards the link carries every message again and
    // the sender's ring never lost track of its room.
    constexpr YW_uint32_t kFlow = YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL;
    int port = 80;
    for (YW_uint32_t txFlags : {kFlow, kFlow | YW_IPC_FLAGS_DIRECT}) {
        SCOPED_TRACE(txFlags);
        SrioCfg tx("srio_tx", kTx | txFlags, 51, port, port + 1);
        SrioCfg rx("srio_rx", kRx | kFlow, 52, port + 1, port);
        port += 2;
        TaskHost sender("srio_sender"), receiver("srio_receiver");
        ASSERT_TRUE(sender.ok() && receiver.ok());
        YW_ipc_id_t tid = YW_IPC_INVALID_ID, rid = YW_IPC_INVALID_ID;
        ASSERT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
        ASSERT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
        auto *s = connOf(tid);
        auto *r = connOf(rid);
        ASSERT_TRUE(waitFor([&] { return s->synced.load() && r->synced.load(); }, std::chrono::seconds(10)));
        sender.run([&] { EXPECT_EQ(YW_openIpc(51, YW_IPC_FLAGS_TX, nullptr), YW_SUCCESS); });
        receiver.run([&] { EXPECT_EQ(YW_openIpc(52, YW_IPC_FLAGS_RX, nullptr), YW_SUCCESS); });

        // Received: strictly increasing numbers, each message whole; the
        // receiver ends with the last of the settled hundred.
        std::atomic<int> last{-1}, settled{INT_MAX / 2}, afterSettled{0};
        std::atomic<bool> restarting{true}, bad{false};
        receiver.post([&] {
            char buf[512];
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!bad && last.load() < settled.load() + 99 && std::chrono::steady_clock::now() < end) {
                takeIpcEvent(5000000LL);
                for (YW_size_t n; (n = YW_recvIpc(rid, buf, sizeof buf)) >= 0;) {
                    std::string m(buf, (size_t)n);
                    int i = m.rfind("msg", 0) == 0 ? std::atoi(m.c_str() + 3) : -1;
                    if (i <= last.load() || m != numbered(i)) {
                        ADD_FAILURE() << "after " << last.load() << " came " << m.substr(0, 16);
                        bad = true;
                        break;
                    }
                    last = i;
                    afterSettled += i >= settled.load();
                }
            }
        });
        std::thread restarts([&] {
            auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
            while (std::chrono::steady_clock::now() < end && !bad) {
                // (a SYNC written just as a handshake ends is cleared by it)
                YW_ipc_kwt_srio_send_msg(r, YW_IPC_KWT_SRIO_MSG_SYNC);
                if (waitFor([&] { return !s->synced.load() || bad; }, std::chrono::milliseconds(20)))
                    waitFor([&] { return s->synced.load() || bad; }, std::chrono::seconds(5));
            }
            restarting = false;
        });
        // Numbered messages; a refused one is sent again under its number.
        // Once the restarts are over, the next hundred must all arrive.
        int next = 0;
        auto sendUntil = [&](const std::function<bool()> &more) {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!bad && more()) {
                std::string m = numbered(next);
                YW_size_t n = YW_sendIpc(tid, m.data(), (YW_size_t)m.size());
                if (n == (YW_size_t)m.size()) {
                    next++;
                    continue;
                }
                ASSERT_TRUE(retryable(n) && std::chrono::steady_clock::now() < end) << n;
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                countIpcEvents();
            }
        };
        sender.run([&] { sendUntil([&] { return restarting.load(); }); });
        restarts.join();
        settled = next;
        sender.run([&] { sendUntil([&] { return next < settled.load() + 100; }); });
        receiver.drain();
        EXPECT_EQ(afterSettled.load(), 100);
        EXPECT_EQ(last.load() + 1, next);
        EXPECT_EQ(r->baddesc.load(), 0u);
        EXPECT_EQ(YW_stat_get(YW_g_ipc[rid].rx.lenerr), 0u);
        // Every room the sender took was given back exactly once.
        EXPECT_TRUE(waitFor([&] {
            if (txFlags & YW_IPC_FLAGS_DIRECT)
                YW_ipc_kwt_srio_collect_free_buffers(s);
            YW_ipc_buffer_guard g(&s->txring);
            return s->txring.inp == s->txring.outp && s->txring.wrap == 0;
        }, std::chrono::seconds(5)));
        {
            YW_ipc_buffer_guard g(&s->txring);
            const YW_ipc_buffer_t &b = s->txring;
            EXPECT_EQ(b.restore_err + b.outp_oor + b.wrap_err + b.wrap_underrun, 0u);
        }
        deleteAllChannels();
    }
}

} // namespace

namespace {

using namespace yw_ipc_test;

// Mappings of the test's shared-memory areas.
int countMappings(const std::string &cluster)
{
    int n = 0;
    if (FILE *f = std::fopen("/proc/self/maps", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f))
            n += std::strstr(line, cluster.c_str()) != nullptr;
        std::fclose(f);
    }
    return n;
}

TEST_F(SrioLocal, AReceiveChannelTheReceiveTaskCannotPollIsRefusedAndLeavesNothing)
{
    // The receive task's list filled by buffered receive channels (waiting
    // for partners that never come); one more is refused at creation and
    // leaves no area, mapping, descriptor, thread or list entry. A direct one
    // (not polled by the task) is still made, and a place freed is taken.
    constexpr YW_uint32_t kBuffered = kRx | YW_IPC_FLAGS_FLOWCTRL;
    std::vector<std::unique_ptr<SrioCfg>> cfgs;
    auto make = [&](int i, YW_uint32_t flags, YW_ipc_id_t *id) {
        std::string n = "srio_full" + std::to_string(i);
        cfgs.push_back(std::make_unique<SrioCfg>(n.c_str(), flags, 100 + i, 200 + i, 400 + i));
        return YW_createIpc(&cfgs.back()->cfg, id);
    };
    std::vector<YW_ipc_id_t> ids(YW_IPC_KWT_SRIO_MAX);
    for (int i = 0; i < YW_IPC_KWT_SRIO_MAX; i++)
        ASSERT_EQ(make(i, kBuffered, &ids[i]), YW_SUCCESS) << i;
    const int threads = countEntries("/proc/self/task"), fds = countEntries("/proc/self/fd");
    const int maps = countMappings(shm_.name()), areas = shm_.count();
    YW_ipc_id_t id = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(make(YW_IPC_KWT_SRIO_MAX, kBuffered, &id), YW_ERR_OVERFLOW);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(id, YW_IPC_INVALID_ID);
    EXPECT_EQ(YW_ipc_searchByCfg(&cfgs.back()->cfg), nullptr);
    EXPECT_NE(out.find("srio_full64 refused: the receive task polls 64 channels already"), std::string::npos);
    EXPECT_EQ(YW_g_ipc_kwt_srio_rx_ctx.ipc_count.load(), YW_IPC_KWT_SRIO_MAX);
    EXPECT_EQ(countEntries("/proc/self/task"), threads);
    EXPECT_EQ(countEntries("/proc/self/fd"), fds);
    EXPECT_EQ(countMappings(shm_.name()), maps);
    EXPECT_GT(maps, 0);
    EXPECT_EQ(shm_.count(), areas);

    EXPECT_EQ(make(YW_IPC_KWT_SRIO_MAX + 1, kRx | YW_IPC_FLAGS_DIRECT, &id), YW_SUCCESS);
    ASSERT_EQ(YW_deleteIpc(ids[10]), YW_SUCCESS);
    EXPECT_EQ(make(YW_IPC_KWT_SRIO_MAX + 2, kBuffered, &id), YW_SUCCESS);
    EXPECT_EQ(YW_g_ipc_kwt_srio_rx_ctx.ipc_list[YW_IPC_KWT_SRIO_MAX - 1].load(), &YW_g_ipc[id]);
}

} // namespace

namespace {

// A DIRECT pair driven by the test: both ends synced.
struct DrivenPair {
    SrioCfg tx, rx;
    YW_ipc_id_t tid = YW_IPC_INVALID_ID, rid = YW_IPC_INVALID_ID;
    YW_ipc_kwt_srio_connection_t *s = nullptr, *r = nullptr;
    static constexpr YW_uint32_t kDir = YW_IPC_FLAGS_DIRECT | YW_IPC_FLAGS_FLOWCTRL | YW_IPC_FLAGS_FRAMED;
    explicit DrivenPair(int port, YW_uint32_t flags = kDir)
        : tx("srio_tx", kTx | flags, 47, port, port + 1), rx("srio_rx", kRx | flags, 48, port + 1, port)
    {
        EXPECT_EQ(YW_createIpc(&tx.cfg, &tid), YW_SUCCESS);
        EXPECT_EQ(YW_createIpc(&rx.cfg, &rid), YW_SUCCESS);
        s = connOf(tid);
        r = connOf(rid);
    }
    bool synced() { return waitFor([&] { return s->synced.load() && r->synced.load(); }, std::chrono::seconds(10)); }
    // One frame with the given number, as the sender's ring holds it; the
    // sender numbers on from it. (Under the ring lock, as a send and the
    // transmit task work.)
    int send(YW_uint32_t seq)
    {
        YW_shared_lock<std::mutex> rings(s->ringLock);
        YW_pos_t off = YW_ipc_buffer_alloc(&s->txring, 112);
        YW_ipc_frame_setHeader(s->buffer + off, seq, 112);
        YW_g_ipc[tid].tx.seqno = seq + 1;
        return YW_ipc_kwt_srio_do_transfer(s, (YW_uint64_t)off, 112);
    }
    // A message sent as an application sends it ("m<i>", numbered by the
    // channel): its size, or the send's code.
    YW_size_t sendText(int i)
    {
        const std::string m = "m" + std::to_string(i);
        return YW_ipc_kwt_srio_send(&YW_g_ipc[tid], m.data(), (YW_size_t)m.size());
    }
    // The text delivered, or "" for none.
    std::string recvText()
    {
        char buf[256];
        YW_size_t n = YW_ipc_kwt_srio_recv(&YW_g_ipc[rid], buf, sizeof buf);
        return n < 0 ? std::string() : std::string(buf, (size_t)n);
    }
    // The number of the frame delivered, or -1 for none.
    long long recv()
    {
        char buf[256];
        YW_size_t n = YW_ipc_kwt_srio_recv(&YW_g_ipc[rid], buf, sizeof buf);
        return n < 0 ? -1 : (long long)YW_g_ipc[rid].rx.seqno - 1;
    }
    // A new handshake, answered by the receive end (its mailbox only, as
    // the retry thread answers): asked here, or (ask false) by the retry
    // thread of a link that went down.
    void resync(bool ask = true)
    {
        std::atomic<bool> done{false};
        std::thread peer([&] {
            while (!done) {
                {
                    YW_shared_lock<std::mutex> rings(r->ringLock);
                    YW_ipc_kwt_srio_answer_sync(r);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        if (ask) {
            EXPECT_EQ(YW_ipc_kwt_srio_sender_sync(s, 3), YW_SUCCESS);
        } else {
            YW_ipc_kwt_srio_connection_tryConnect(&YW_g_ipc[tid]);
            EXPECT_TRUE(waitFor([&] { return s->synced.load() != 0; }, std::chrono::seconds(10)));
        }
        done = true;
        peer.join();
    }
    // Every message sent acknowledged and collected (here, or by the
    // transmit task, which a handshake wakes).
    bool roomBack()
    {
        return waitFor([&] {
            YW_shared_lock<std::mutex> rings(s->ringLock);
            YW_ipc_kwt_srio_collect_free_buffers(s);
            for (YW_uint64_t i = 0; i < s->descriptors_size; i++)
                if (s->sent[i])
                    return false;
            return true;
        }, std::chrono::seconds(5));
    }
    YW_ret_t collect()
    {
        YW_shared_lock<std::mutex> rings(s->ringLock);
        return YW_ipc_kwt_srio_collect_free_buffers(s);
    }
    YW_ipc_status_t status(YW_ipc_id_t id)
    {
        YW_ipc_status_t st{};
        EXPECT_EQ(YW_inqIpc(id, &st), YW_SUCCESS);
        return st;
    }
};

TEST_F(SrioLocal, AfterAHandshakeTheReceiverGoesOnFromItsLastFrameAndRefusesAnyNumberNeitherDueNorSentAgain)
{
    // Frames 0 to 4 delivered; then a handshake in which the sender gives the
    // number of its first frame (or the word is damaged), and frames.
    constexpr long long kNone = -1;
    const struct {
        const char *what;
        long long given;              // the number the sender gives, kNone: word damaged
        std::vector<YW_uint32_t> seq; // frames sent after the handshake
        std::vector<long long> got;   // delivered (-1: nothing)
        int duplicates;
        bool resync; // refused as damage: the receiver asks for a new handshake
        bool numbering; // the sender's numbering taken, with a line
    } rows[] = {
        {"frames delivered already, sent again, then the one due", 3, {3, 4, 5}, {-1, -1, 5}, 2, false, false},
        {"the frame due", 5, {5}, {5}, 0, false, false},
        {"frame 0 of a sender that started again", 0, {0, 1}, {0, 1}, 0, false, true},
        {"a frame past the one due (the sender counted the others lost)", 9, {9}, {9}, 0, false, true},
        {"a forged frame far ahead", 5, {400000000}, {-1}, 0, true, false},
        {"a forged frame far behind", 5, {1}, {-1}, 0, true, false},
        {"a forged frame ahead where the sender gave one sent again", 3, {400000000}, {-1}, 0, true, false},
        {"a frame other than the next within the link", 5, {5, 7}, {5, -1}, 0, true, false},
        {"without the number: the frame due", kNone, {5}, {5}, 0, false, false},
        // (Only the sender knows which frames it holds: one behind the frame
        // due may be one damaged on its way. Refused, so that the sender
        // gives its number in a new handshake.)
        {"without the number: a frame sent again", kNone, {4}, {-1}, 0, true, false},
        {"without the number: frame 0 of a sender that started again", kNone, {0}, {0}, 0, false, true},
        {"without the number: a forged frame far ahead", kNone, {400000000}, {-1}, 0, true, false},
        {"without the number: a forged frame far behind", kNone, {4294967000u}, {-1}, 0, true, false},
    };
    int port = 60;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        DrivenPair p(port);
        port += 2;
        ASSERT_TRUE(p.synced());
        for (YW_uint32_t i = 0; i < 5; i++) {
            ASSERT_EQ(p.send(i), YW_SUCCESS);
            EXPECT_EQ(p.recv(), (long long)i);
        }
        EXPECT_TRUE(p.roomBack());
        YW_g_ipc[p.tid].tx.seqno = row.given == kNone ? 5 : (YW_uint32_t)row.given;
        p.resync();
        const YW_int64_t word = YW_IPC_KWT_SRIO_SEQ_WORD(p.r->descriptors_size);
        if (row.given == kNone)
            std::atomic_ref<YW_uint64_t>(p.r->descriptors[word]).store(0x1234);
        else
            EXPECT_EQ(std::atomic_ref<YW_uint64_t>(p.r->descriptors[word]).load(), YW_IPC_KWT_SRIO_SEQ_make(row.given));
        for (size_t i = 0; i < row.seq.size(); i++) {
            ASSERT_EQ(p.send(row.seq[i]), YW_SUCCESS);
            EXPECT_EQ(p.recv(), row.got[i]) << i;
        }
        YW_ipc_status_t st = p.status(p.rid);
        EXPECT_EQ(st.duplicates, row.duplicates);
        EXPECT_EQ(st.resyncs, row.resync ? 1 : 0);
        // Refused: the receiver asked for a new handshake (counted above;
        // the sender's task may have answered it already) and took nothing;
        // otherwise the sender gets its room back.
        if (!row.resync)
            EXPECT_TRUE(p.roomBack());
        EXPECT_EQ(p.r->seqFloor == (row.numbering ? row.seq[0] : 0u), true) << p.r->seqFloor;
        deleteAllChannels();
    }
}

TEST_F(SrioLocal, AHeldFrameWhoseHeaderIsDamagedInTheSendersAreaGoesOutAgainAsTheSenderMadeIt)
{
    // Messages 0 to 4 delivered, 5 to 8 sent and not yet taken (held by the
    // sender); then the header of held frames is written over in the
    // sender's own data area, and a new handshake sends them again.
    constexpr int kAll = -1;
    const struct {
        const char *what;
        int which; // the held frame damaged (0: the first), or kAll
        std::function<void(YW_uint32_t &seq, YW_uint32_t &len)> damage;
    } rows[] = {
        {"a length past its descriptor", 1, [](YW_uint32_t &, YW_uint32_t &len) { len = 0xFFFF; }},
        {"a length short of the frame", 1, [](YW_uint32_t &, YW_uint32_t &len) { len = 10; }},
        {"the header zeroed", 2, [](YW_uint32_t &seq, YW_uint32_t &len) { seq = len = 0; }},
        {"the first held frame's number 5 behind", 0, [](YW_uint32_t &seq, YW_uint32_t &) { seq -= 5; }},
        {"a number 5 ahead", 0, [](YW_uint32_t &seq, YW_uint32_t &) { seq += 5; }},
        {"every held frame's number 5 behind", kAll, [](YW_uint32_t &seq, YW_uint32_t &) { seq -= 5; }},
    };
    int port = 82;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        DrivenPair p(port);
        port += 2;
        ASSERT_TRUE(p.synced());
        for (int i = 0; i < 9; i++) {
            ASSERT_EQ(p.sendText(i), (YW_size_t)("m" + std::to_string(i)).size()) << i;
            if (i < 5) {
                EXPECT_EQ(p.recvText(), "m" + std::to_string(i));
            }
        }
        {
            YW_shared_lock<std::mutex> rings(p.s->ringLock);
            YW_ipc_kwt_srio_busy hold(p.s, -1);
            const YW_int64_t pop = p.s->pop.load();
            for (int k = 0; k < 4; k++) {
                const YW_uint64_t d = p.s->sent[(pop + k) % (YW_int64_t)p.s->descriptors_size];
                ASSERT_NE(d, 0u) << k;
                if (row.which != kAll && row.which != k)
                    continue;
                YW_uint8_t *h = p.s->buffer + YW_IPC_KWT_SRIO_BD_OFFSET(d);
                YW_uint32_t seq = 0, len = 0;
                YW_ipc_frame_getHeader(h, &seq, &len);
                ASSERT_EQ(seq, (YW_uint32_t)(5 + k));
                row.damage(seq, len);
                YW_ipc_frame_setHeader(h, seq, len);
            }
        }
        p.resync();
        for (int i = 5; i < 9; i++) {
            std::string got;
            EXPECT_TRUE(waitFor([&] { return !(got = p.recvText()).empty(); }, std::chrono::seconds(5))) << i;
            EXPECT_EQ(got, "m" + std::to_string(i));
        }
        EXPECT_EQ(p.recvText(), "");
        const YW_ipc_t &rx = YW_g_ipc[p.rid];
        EXPECT_EQ(rx.rx.seqno, 9u);
        EXPECT_EQ(rx.rx.lenerr + rx.rx.seqerr, 0u);
        YW_ipc_status_t st = p.status(p.rid);
        EXPECT_EQ(st.duplicates, 0);
        EXPECT_EQ(st.lost + p.status(p.tid).lost, 0);
        EXPECT_TRUE(p.roomBack());
        deleteAllChannels();
    }
}

TEST_F(SrioLocal, AFrameHeaderDamagedAfterTheFrameWasTakenNeitherDropsNorRenumbersIt)
{
    // The receive task takes each frame into the receive FIFO; its header
    // is then written over in the data area before it is collected.
    DrivenPair p(78, YW_IPC_FLAGS_FLOWCTRL | YW_IPC_FLAGS_FRAMED);
    ASSERT_TRUE(p.synced());
    const struct {
        const char *what;
        YW_uint32_t seqXor, len; // len 0: the length kept
    } rows[] = {
        {"length beyond the frame", 0, 0xFFFF},
        {"length shorter than the frame", 0, 10},
        {"length below a frame's overhead", 0, 3},
        {"number changed", 0x40, 0},
        {"number and length changed", 0x80000001u, 1000},
    };
    YW_ipc_t &rx = YW_g_ipc[p.rid];
    for (YW_uint32_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        const auto &row = rows[i];
        SCOPED_TRACE(row.what);
        const YW_count_t taken = p.r->rxcnt.load();
        ASSERT_EQ(p.send(i), YW_SUCCESS);
        ASSERT_TRUE(waitFor([&] { return p.r->rxcnt.load() > taken; }, std::chrono::seconds(10)));
        {
            YW_shared_lock<std::mutex> rings(p.r->ringLock); // queued by now
            YW_pos_t off = 0;
            YW_size_t len = 0;
            ASSERT_EQ(YW_ipc_buffer_peek(&p.r->rxring, &off, &len), YW_SUCCESS);
            YW_uint32_t seq = 0, flen = 0;
            YW_ipc_frame_getHeader(p.r->buffer + off, &seq, &flen);
            ASSERT_EQ(seq, i);
            YW_ipc_frame_setHeader(p.r->buffer + off, seq ^ row.seqXor, row.len ? row.len : flen);
        }
        const YW_count_t lenerr = rx.rx.lenerr, seqerr = rx.rx.seqerr;
        char buf[256];
        EXPECT_EQ(YW_ipc_kwt_srio_recv(&rx, buf, sizeof buf), 112 - YW_IPC_FRAME_OVERHEAD);
        EXPECT_EQ(rx.rx.seqno, i + 1);
        EXPECT_EQ(rx.rx.lenerr, lenerr);
        EXPECT_EQ(rx.rx.seqerr, seqerr);
        EXPECT_TRUE(p.roomBack());
    }
    EXPECT_EQ(p.status(p.rid).lost, 0);
}

TEST_F(SrioLocal, LinkLinesOfAKindComeAtMostOnceASecondAndTheLatestHeldBackFollowsWithItsCount)
{
    DrivenPair p(74);
    ASSERT_TRUE(p.synced());
    // Mailbox words the sender never writes, each a resynchronisation.
    testing::internal::CaptureStdout();
    for (int i = 0; i < 50; i++) {
        std::atomic_ref<YW_uint64_t>(p.r->descriptors[p.r->remote_mbox]).store(0x1000 + i);
        p.recv();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    p.recv(); // a second on: the latest held back is printed
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    for (size_t q = out.find("ipc srio_rx mailbox word "); q != std::string::npos;
         q = out.find("ipc srio_rx mailbox word ", q + 1))
        lines.push_back(out.substr(q, out.find('\n', q) - q));
    const long long resyncs = p.status(p.rid).resyncs;
    EXPECT_GE(resyncs, 40); // (a SYNC of the sender may take the place of a few)
    ASSERT_EQ(lines.size(), 2u) << out;
    EXPECT_EQ(lines[0].find("mailbox word 1000 at slot"), lines[0].find("mailbox word ")) << lines[0];
    EXPECT_EQ(lines[0].find("not shown"), std::string::npos);
    EXPECT_NE(lines[1].find("mailbox word 10"), std::string::npos) << lines[1]; // the latest (1031 unless a SYNC came)
    EXPECT_NE(lines[1].find("(" + std::to_string(resyncs - 2) + " like lines not shown before it)"), std::string::npos)
        << lines[1];

    // Released within the second of a held line: the release prints it,
    // with its count, and the next link of the channel never does.
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; i++) {
        std::atomic_ref<YW_uint64_t>(p.r->descriptors[p.r->remote_mbox]).store(0x2000 + i);
        p.recv();
    }
    const long long held = p.status(p.rid).resyncs - resyncs;
    EXPECT_EQ(YW_ipc_kwt_srio_release(&YW_g_ipc[p.rid]), YW_SUCCESS);
    std::fflush(stdout);
    const std::string atRelease = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ipc_kwt_srio_setup(&YW_g_ipc[p.rid]), YW_SUCCESS);
    ASSERT_TRUE(p.synced());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    p.recv();
    std::fflush(stdout);
    const std::string later = testing::internal::GetCapturedStdout();
    ASSERT_GE(held, 2);
    const size_t q = atRelease.find("ipc srio_rx mailbox word 200");
    ASSERT_NE(q, std::string::npos) << atRelease;
    EXPECT_NE(atRelease.find("(" + std::to_string(held - 1) + " like lines not shown before it)", q), std::string::npos)
        << atRelease;
    EXPECT_EQ(later.find("mailbox word "), std::string::npos) << later;
}

TEST_F(SrioLocal, ADescriptorNeitherTakenNorAcknowledgedForASecondIsALinkFaultAndSentAgain)
{
    DrivenPair p(70);
    ASSERT_TRUE(p.synced());
    ASSERT_EQ(p.send(0), YW_SUCCESS);
    // Written over in the receiver's ring before it was taken.
    std::atomic_ref<YW_uint64_t>(p.r->descriptors[0]).store(0);
    EXPECT_EQ(p.recv(), -1);
    EXPECT_LE(p.collect(), 0);
    // A second on, the link is down (found here, or by the transmit task's
    // look at the channel), once.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_LE(p.collect(), 0);
    EXPECT_FALSE(p.s->synced.load() && p.status(p.tid).linkFaults == 0);
    YW_ipc_status_t st = p.status(p.tid);
    EXPECT_EQ(st.linkFaults, 1);
    EXPECT_EQ(st.resyncs, 1);
    // After the new handshake the transmit task, woken by it, sends it
    // again, and it is delivered once.
    p.resync(false);
    EXPECT_TRUE(waitFor([&] { return p.status(p.tid).resends >= 1; }, std::chrono::seconds(5)));
    EXPECT_TRUE(waitFor([&] { return p.recv() == 0; }, std::chrono::seconds(5)));
    EXPECT_EQ(p.recv(), -1);
    EXPECT_TRUE(p.roomBack());
}

} // namespace

namespace {

TEST_F(SrioLocal, ADescriptorLostBeforeFilledOnesIsFoundByTheReceiverAndCountedWithoutFlowControl)
{
    // Frames 0 to 2 sent, the first written over in the receiver's ring.
    DrivenPair p(72, YW_IPC_FLAGS_DIRECT | YW_IPC_FLAGS_FRAMED);
    ASSERT_TRUE(p.synced());
    for (YW_uint32_t i = 0; i < 3; i++)
        ASSERT_EQ(p.send(i), YW_SUCCESS);
    std::atomic_ref<YW_uint64_t>(p.r->descriptors[0]).store(0);
    EXPECT_EQ(p.recv(), -1);
    YW_ipc_status_t st = p.status(p.rid);
    EXPECT_EQ(st.linkFaults, 1);
    EXPECT_EQ(st.resyncs, 1);
    EXPECT_EQ(st.lost, 3); // the one written over and the two dropped with the ring
    // After the new handshake (which the transmit task may already have
    // answered) the link carries the next frame.
    p.resync();
    ASSERT_EQ(p.send(3), YW_SUCCESS);
    EXPECT_EQ(p.recv(), 3);
}

TEST_F(SrioLocal, TheMailboxPolledWhileTheLinkIsLetGoAndSetUpAgainIsNeverReadUnmapped)
{
    // The transmit task and a send look at the mailbox while the retry
    // thread lets a faulted link go and sets it up again; a read between
    // the look at READY and the unmapping faulted the process.
    DrivenPair p(74);
    ASSERT_TRUE(p.synced());
    std::atomic<bool> done{false};
    std::atomic<long> polls{0};
    std::thread poller([&] {
        while (!done.load()) {
            YW_ipc_kwt_srio_poll_msg(p.s);
            YW_ipc_kwt_srio_watchMailbox(p.s);
            polls++;
        }
    });
    for (int i = 0; i < 300; i++) {
        YW_ipc_KWT_SRIO_release_connection(p.s);
        YW_ipc_kwt_srio_setup_connection(p.s, &YW_g_ipc[p.tid]);
    }
    done = true;
    poller.join();
    EXPECT_GT(polls.load(), 300);
    // The link comes back and carries a message.
    YW_ipc_kwt_srio_connection_tryConnect(&YW_g_ipc[p.tid]);
    p.resync(false);
    EXPECT_TRUE(waitFor([&] { return p.sendText(1) > 0; }, std::chrono::seconds(5)));
    EXPECT_TRUE(waitFor([&] { return p.recvText() == "m1"; }, std::chrono::seconds(5)));
}

} // namespace

namespace {

using namespace yw_ipc_test;

// Message i of a direction: its number, then letters that follow from it;
// 16 to 2000 bytes in all.
std::string faultBody(long long i)
{
    std::string m = "n" + std::to_string(i) + ":";
    const size_t len = 16 + (size_t)((i * 7919) % 1985);
    for (size_t k = m.size(); k < len; k++)
        m.push_back((char)('a' + (i + (long long)k) % 26));
    return m;
}

// One direction between two ends of this process, framed and flow-controlled
// through the transport's tasks as the example nodes' channels are, each end
// with its own areas and handles: its areas by role, and what its
// applications sent and received.
struct Direction {
    static constexpr YW_uint64_t kRing = 64;
    static constexpr YW_int64_t kData = 65536;
    static constexpr off_t kCtrl = 4096;
    SrioCfg tx, rx;
    YW_ipc_id_t tid = YW_IPC_INVALID_ID, rid = YW_IPC_INVALID_ID;
    std::string areas[4]; // sender's data and control, receiver's data and control
    std::atomic<long long> sent{0}, received{0}, missing{0}, last{-1}, badCount{0};
    std::atomic<bool> stopSending{false}, stopReceiving{false};
    std::string bad; // the first message out of order, repeated or damaged
    Direction(const std::string &name, int txPort, int rxPort, YW_uint32_t iap)
        : tx((name + "_tx").c_str(), YW_IPC_FLAGS_TX | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL, iap, txPort,
             rxPort, kRing, kData, 2048),
          rx((name + "_rx").c_str(), YW_IPC_FLAGS_RX | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL, iap + 1, rxPort,
             txPort, kRing, kData, 2048)
    {
        const std::string ce = std::to_string((int)(YW_int32_t)ce_getid());
        areas[0] = "smb_" + std::to_string(txPort) + "_0_" + ce + "_tx";
        areas[1] = "smb_" + std::to_string(txPort) + "_1_" + ce + "_tx";
        areas[2] = "smb_" + std::to_string(rxPort) + "_0_" + ce + "_rx";
        areas[3] = "smb_" + std::to_string(rxPort) + "_1_" + ce + "_rx";
    }
    // Counted lost by either end.
    long long lost()
    {
        YW_ipc_status_t a{}, b{};
        YW_inqIpc(tid, &a);
        YW_inqIpc(rid, &b);
        return (long long)(a.lost + b.lost);
    }
    // Sends numbered messages as fast as the channel takes them; one refused
    // is tried again under its number.
    void sendAll()
    {
        EXPECT_EQ(YW_openIpc(tx.cfg.iap, YW_IPC_FLAGS_TX, nullptr), YW_SUCCESS);
        YW_event_q_t *q = YW_task_tse_getEventQ();
        for (long long i = 0; !stopSending.load();) {
            const std::string m = faultBody(i);
            if (YW_sendIpc(tid, m.data(), (YW_size_t)m.size()) == (YW_size_t)m.size()) {
                sent++;
                i++;
                continue;
            }
            if (YW_event_empty(q, YW_EVENT_FLAG_IPC))
                YW_event_wait(q, 1000000LL);
            countIpcEvents();
        }
    }
    // Receives and checks each message: numbers only ever rise, each body is
    // whole; the gaps are counted.
    void receiveAll()
    {
        EXPECT_EQ(YW_openIpc(rx.cfg.iap, YW_IPC_FLAGS_RX, nullptr), YW_SUCCESS);
        YW_event_q_t *q = YW_task_tse_getEventQ();
        std::vector<char> buf(4096);
        while (!stopReceiving.load()) {
            bool any = false;
            for (YW_size_t n; (n = YW_recvIpc(rid, buf.data(), (YW_size_t)buf.size())) >= 0; any = true) {
                const std::string m(buf.data(), (size_t)n);
                const long long i = m.size() > 1 && m[0] == 'n' ? std::atoll(m.c_str() + 1) : -1;
                if (i <= last.load() || m != faultBody(i)) {
                    if (badCount++ == 0)
                        bad = "after " + std::to_string(last.load()) + " came \"" + m.substr(0, 24) + "\"";
                    continue;
                }
                missing += i - last.load() - 1;
                last = i;
                received++;
            }
            countIpcEvents();
            if (!any)
                YW_event_wait(q, 2000000LL);
        }
    }
};

TEST_F(SrioLocal, AreasOfBothLinksCutAndReplacedInQuickSuccessionLoseExactlyWhatIsCountedLost)
{
    // Both directions carry messages as fast as they go while areas of both
    // links are cut or replaced from outside, one after another. Afterwards,
    // for each direction, every message sent was received once, whole and in
    // order, or counted lost by one of its ends: sent = received + lost.
    using Act = std::function<void(const std::string &cluster, Direction &d, std::mt19937 &rng)>;
    const struct {
        const char *what;
        Act act; // on each direction in turn, every `gap` (up to `spread` more)
        int rounds;
        std::chrono::milliseconds gap, spread;
    } rows[] = {
        {"each sender's control area replaced, then its data area, by zeroed ones of the same size",
         [](const std::string &c, Direction &d, std::mt19937 &) {
             // Acknowledgements go to the old control area until the ends
             // look at their areas (about once a second); the sender's
             // frames go with its data area.
             EXPECT_TRUE(yw_common_test::replaceArea(c, d.areas[1].c_str(), Direction::kCtrl));
             std::this_thread::sleep_for(std::chrono::milliseconds(2));
             EXPECT_TRUE(yw_common_test::replaceArea(c, d.areas[0].c_str(), Direction::kData));
         },
         5, std::chrono::milliseconds(500), std::chrono::milliseconds(0)},
        {"one of the areas cut to nothing or to half, or replaced by a zeroed one of the same or twice the size",
         [](const std::string &c, Direction &d, std::mt19937 &rng) {
             const std::string &a = d.areas[rng() % 4];
             const off_t size = a.find("_0_") != std::string::npos ? Direction::kData : Direction::kCtrl;
             switch (rng() % 4) {
             case 0: yw_common_test::cutArea(c, a.c_str(), 0); break;
             case 1: yw_common_test::cutArea(c, a.c_str(), size / 2); break;
             case 2: yw_common_test::replaceArea(c, a.c_str(), size); break;
             default: yw_common_test::replaceArea(c, a.c_str(), 2 * size); break;
             }
         },
         20, std::chrono::milliseconds(30), std::chrono::milliseconds(150)},
    };
    TaskHost senders[2] = {TaskHost("ab_sender"), TaskHost("ba_sender")};
    TaskHost receivers[2] = {TaskHost("ab_receiver"), TaskHost("ba_receiver")};
    for (TaskHost *h : {&senders[0], &senders[1], &receivers[0], &receivers[1]})
        ASSERT_TRUE(h->ok());
    int port = 300;
    YW_uint32_t iap = 60;
    std::mt19937 rng(7);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::unique_ptr<Direction> dirs[2];
        dirs[0] = std::make_unique<Direction>("ab", port, port + 1, iap);
        dirs[1] = std::make_unique<Direction>("ba", port + 2, port + 3, iap + 2);
        port += 4;
        iap += 4;
        for (auto &d : dirs) {
            ASSERT_EQ(YW_createIpc(&d->rx.cfg, &d->rid), YW_SUCCESS);
            ASSERT_EQ(YW_createIpc(&d->tx.cfg, &d->tid), YW_SUCCESS);
        }
        AtExit ends([&] {
            for (auto &d : dirs)
                d->stopSending = d->stopReceiving = true;
            for (int k = 0; k < 2; k++) {
                senders[k].drain();
                receivers[k].drain();
            }
            deleteAllChannels();
        });
        for (int k = 0; k < 2; k++) {
            Direction *d = dirs[k].get();
            senders[k].post([d] { d->sendAll(); });
            receivers[k].post([d] { d->receiveAll(); });
        }
        // Traffic both ways, then the faults, then traffic both ways again.
        auto flowing = [&](long long more) {
            const long long at[2] = {dirs[0]->received.load(), dirs[1]->received.load()};
            return waitFor([&] { return dirs[0]->received >= at[0] + more && dirs[1]->received >= at[1] + more; },
                           std::chrono::seconds(30));
        };
        ASSERT_TRUE(flowing(2000));
        for (int i = 0; i < row.rounds; i++)
            for (auto &d : dirs) {
                row.act(shm_.name(), *d, rng);
                std::this_thread::sleep_for(row.gap + row.spread * (int)(rng() % 101) / 100);
            }
        EXPECT_TRUE(flowing(2000)) << "after the faults";
        // Once nothing moves any more, every message is accounted for.
        for (auto &d : dirs)
            d->stopSending = true;
        for (auto &s : senders)
            s.drain();
        // (A fault found late, in the last look at the areas, is settled
        // with the handshake after it, within a second or two.)
        waitFor([&] {
            return dirs[0]->received + dirs[0]->lost() >= dirs[0]->sent &&
                   dirs[1]->received + dirs[1]->lost() >= dirs[1]->sent;
        }, std::chrono::seconds(30));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        for (auto &d : dirs)
            d->stopReceiving = true;
        for (auto &r : receivers)
            r.drain();
        for (auto &d : dirs) {
            SCOPED_TRACE(d->tx.name);
            YW_ipc_status_t st{}, sr{};
            YW_inqIpc(d->tid, &st);
            YW_inqIpc(d->rid, &sr);
            const long long sent = d->sent, received = d->received, lost = d->lost();
            std::printf("%s, %s: sent %lld, received %lld, lost %lld (sender %lld), missing %lld, link faults %lld, "
                        "sent again %lld, duplicates %lld\n",
                        row.what, d->tx.name.c_str(), sent, received, lost, (long long)st.lost,
                        d->missing + (sent - 1 - d->last), (long long)(st.linkFaults + sr.linkFaults),
                        (long long)st.resends, (long long)sr.duplicates);
            EXPECT_EQ(d->badCount.load(), 0) << d->bad;
            EXPECT_EQ(sent, received + lost);
            EXPECT_EQ(d->missing + (sent - 1 - d->last), lost) << "gaps in what was received";
            EXPECT_GT(st.linkFaults + sr.linkFaults, 0);
        }
    }
}

} // namespace
