// Two real nodes (compute elements 1 and 2, examples/two-ce) over the
// shared-memory transport: handshake and 10^5 messages in order each way
// with flow control, an end killed and started again, and malformed
// descriptors written into a node's ring by the test acting as its peer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>

#include "common/yw_test_shm.h"
#include "ipc/yw_ipc_frame.h"
#include "ipc/yw_ipc_kwt_srio.h"
#include "yw_node_test_util.h"
#include "zv_api.h"

using namespace yw_node_test;

namespace {

// A node of the example in its own folder, with its compute element and
// the application's message count in its environment.
// The lines of out that hold text.
std::string lines(const std::string &out, const std::string &text)
{
    std::string r;
    for (size_t p = out.find(text); p != std::string::npos; p = out.find(text, p + 1)) {
        size_t b = out.rfind('\n', p), e = out.find('\n', p);
        r += out.substr(b == std::string::npos ? 0 : b + 1, e == std::string::npos ? std::string::npos : e - b);
    }
    return r;
}

struct CeNode {
    TempDir dir;
    std::unique_ptr<Node> node;
    CeNode(int ceid, const char *count, const char *periodUs = "0") { start(ceid, count, periodUs); }
    void start(int ceid, const char *count, const char *periodUs)
    {
        std::string src = std::string(TURV_SOURCE_DIR) + "/examples/two-ce/ce" + std::to_string(ceid) + "/";
        for (const char *f : {"turv_sys_cfg.xml", "turv_app_cfg.xml"})
            std::filesystem::copy_file(src + f, dir.path() + "/" + f, std::filesystem::copy_options::overwrite_existing);
        setenv("ZV_ceid", std::to_string(ceid).c_str(), 1);
        setenv("TURV_SHM_COUNT", count, 1);
        setenv("TURV_SHM_PERIOD_US", periodUs, 1);
        node = std::make_unique<Node>(dir.path());
    }
    size_t mark() { return node->output().size(); }
};

TEST(ShmNode, HandshakeThenAHundredThousandMessagesInOrderEachWay)
{
    yw_common_test::ShmCluster shm;
    CeNode a(1, "100000"), b(2, "100000");
    for (CeNode *n : {&a, &b})
        ASSERT_TRUE(n->node->waitFor("shm_receiver: 100000 ", 150s))
            << lines(a.node->output(), "srio") << lines(a.node->output(), "shm_") << "-----\n"
            << lines(b.node->output(), "srio") << lines(b.node->output(), "shm_");
    for (CeNode *n : {&a, &b}) {
        ASSERT_TRUE(n->node->waitFor("shm_sender: sent 100000\n", 30s)) << lines(n->node->output(), "shm_");
        std::string out = n->node->output();
        EXPECT_TRUE(has(out, "YW_example_shm_receiver: 100000 in order\n"));
        EXPECT_TRUE(has(out, "ipc ce1_to_ce2 synced\n") && has(out, "ipc ce2_to_ce1 synced\n")) << lines(out, "srio");
        EXPECT_FALSE(has(out, "bad descriptor") || has(out, "send error") || has(out, "refused"));
    }
    EXPECT_EQ(shm.count(), 8);
}

TEST(ShmNode, AnEndKilledAndStartedAgainIsLinkedAgain)
{
    yw_common_test::ShmCluster shm;
    CeNode a(1, "0", "5000"), b(2, "0", "5000");
    ASSERT_TRUE(a.node->waitFor("shm_receiver: got ", 60s)) << a.node->output().substr(0, 4000);
    ASSERT_TRUE(b.node->waitFor("shm_receiver: got ", 60s)) << b.node->output().substr(0, 4000);
    // Either end killed (its areas stay behind) and started again: both
    // directions carry messages again, the restarted sender's from 0 on.
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        CeNode &dead = round == 0 ? b : a;
        CeNode &alive = round == 0 ? a : b;
        dead.node->kill();
        size_t from = alive.mark();
        dead.start(round == 0 ? 2 : 1, "0", "5000");
        ASSERT_TRUE(dead.node->waitFor("shm_receiver: got ", 60s)) << dead.node->output().substr(0, 4000);
        ASSERT_TRUE(alive.node->waitFor("shm_receiver: got 0\n", 60s, from)) << alive.node->output().substr(from);
        size_t again = alive.node->output().find("shm_receiver: got 0\n", from);
        ASSERT_TRUE(alive.node->waitFor("shm_receiver: got 30\n", 30s, again)) << alive.node->output().substr(from);
        EXPECT_FALSE(has(alive.node->output().substr(from), "out of order"));
    }
}

// Maps an area of the cluster (creating it when the node has not yet).
void *mapArea(const char *name, uint64_t size, std::vector<SMB_handle> &handles)
{
    SMB_handle h = nullptr, m = nullptr;
    void *addr = nullptr;
    ZV_status_t r = smb_create(name, 0x4, size, 1, 1, 0, &h);
    if (r == SMB__DUPLICATE)
        r = smb_attach(name, 0x4, size, 0, 0, &h);
    if (r != 0 || smb_open(name, 0x4, 0, size, 0, 0, &addr, &m) != 0)
        return nullptr;
    handles.push_back(h);
    handles.push_back(m);
    return addr;
}

bool waitTrue(const std::function<bool()> &cond)
{
    for (int i = 0; i < 10000; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return cond();
}

std::atomic_ref<uint64_t> word(void *area, int i)
{
    return std::atomic_ref<uint64_t>(static_cast<uint64_t *>(area)[i]);
}

TEST(ShmNode, MalformedDescriptorsAreNeverDeliveredAroundButResynchronised)
{
    yw_common_test::ShmCluster shm;
    CeNode b(2, "0");
    ASSERT_TRUE(b.node->waitFor("shm_receiver: receiving on ipc", 60s)) << b.node->output().substr(0, 4000);
    // The test is compute element 1's sending end of channel ce1_to_ce2:
    // ring of 64, data area of 64 KiB, control area of one page.
    constexpr int N = 64;
    constexpr uint64_t kData = 65536, kCtrl = 4096;
    std::vector<SMB_handle> handles;
    void *peerData = mapArea("smb_200_0_2_rx", kData, handles);
    void *peerCtrl = mapArea("smb_200_1_2_rx", kCtrl, handles);
    void *ownCtrl = mapArea("smb_100_1_1_tx", kCtrl, handles);
    ASSERT_TRUE(peerData && peerCtrl && ownCtrl);
    auto both = [&](int i, uint64_t v) {
        word(ownCtrl, i).store(v);
        word(peerCtrl, i).store(v);
    };
    // Handshake: SYNC in the transmit end's mailbox word, SYNC_ACK back.
    auto handshake = [&] {
        bool acked = false;
        for (int t = 0; t < 20 && !acked; t++) {
            word(ownCtrl, N + 2).store(0);
            both(N + 1, YW_IPC_KWT_SRIO_MSG_SYNC);
            for (int i = 0; i < 500 && !acked; i++) {
                acked = word(ownCtrl, N + 2).load() == YW_IPC_KWT_SRIO_MSG_SYNC_ACK;
                std::this_thread::sleep_for(1ms);
            }
        }
        both(N + 1, 0);
        word(ownCtrl, N + 2).store(0);
        for (int i = 0; i < N; i++)
            word(ownCtrl, i).store(0);
        return acked;
    };
    ASSERT_TRUE(handshake());
    auto frame = [&](uint64_t off, uint32_t seq, const char *text) {
        char *p = static_cast<char *>(peerData) + off;
        YW_ipc_frame_setHeader(p, seq, 14);
        std::memcpy(p + 8, text, 4);
    };
    // Each malformed descriptor, in the slot the node reads next: never
    // copied nor delivered around; the node asks for a new handshake (a SYNC
    // in its mailbox word) with a line.
    frame(0, 0, "n 5");
    const uint64_t bad[] = {
        YW_IPC_KWT_SRIO_BD_make(kData, 16, 3),     // beyond the area
        YW_IPC_KWT_SRIO_BD_make(64, 4, 3),         // shorter than a frame header
        YW_IPC_KWT_SRIO_BD_make(kData - 8, 16, 3), // ends beyond the area
        YW_IPC_KWT_SRIO_BD_make(0, 16, 2),         // neither empty nor filled
    };
    for (uint64_t d : bad) {
        SCOPED_TRACE(d);
        size_t from = b.mark();
        word(peerCtrl, 0).store(d, std::memory_order_release);
        EXPECT_TRUE(waitTrue([&] { return word(ownCtrl, N + 2).load() == YW_IPC_KWT_SRIO_MSG_SYNC; }));
        ASSERT_TRUE(b.node->waitFor("link resynchronised", 30s, from)) << b.node->output().substr(from);
        ASSERT_TRUE(handshake());
        EXPECT_FALSE(has(b.node->output().substr(from), "shm_receiver: got")) << b.node->output().substr(from);
    }
    // Then good frames in order arrive and are acknowledged into the
    // transmit end's ring, busy bits cleared.
    size_t from = b.mark();
    frame(0, 0, "n 7");
    frame(128, 1, "n 9");
    word(peerCtrl, 0).store(YW_IPC_KWT_SRIO_BD_make(0, 16, 3), std::memory_order_release);
    word(peerCtrl, 1).store(YW_IPC_KWT_SRIO_BD_make(128, 16, 3), std::memory_order_release);
    ASSERT_TRUE(b.node->waitFor("shm_receiver: got 9\n", 30s, from)) << b.node->output().substr(from);
    EXPECT_TRUE(has(b.node->output().substr(from), "shm_receiver: got 7\n"));
    EXPECT_TRUE(waitTrue([&] { return word(ownCtrl, 1).load() == YW_IPC_KWT_SRIO_BD_make(128, 16, 0); }));
    EXPECT_EQ(word(ownCtrl, 0).load(), YW_IPC_KWT_SRIO_BD_make(0, 16, 0));
    for (SMB_handle h : handles)
        smb_close(h, 0);
}

} // namespace
