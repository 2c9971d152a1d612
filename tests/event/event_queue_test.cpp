// Event messages and event queues: ordering, pending bits, callbacks,
// reference counts and the results of bad input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "yw_event.h"

namespace {

YW_count_t frees()
{
    return yw_count_get(yw_pGlobalData->malloc_status.free_count);
}

int g_fireCalls;
YW_ret_t g_fireResult;
YW_ret_t fire_cb(YW_event_q_t *, YW_addr_t)
{
    ++g_fireCalls;
    return g_fireResult;
}

YW_ret_t wait_cb(YW_event_q_t *, YW_addr_t)
{
    return (YW_ret_t)7;
}

struct QueueTest : ::testing::Test {
    YW_event_q_t q{};
    void SetUp() override
    {
        g_fireCalls = 0;
        g_fireResult = (YW_ret_t)8;
        ASSERT_EQ(&q, YW_event_q_init(&q, const_cast<char *>("test_q"), fire_cb, nullptr, nullptr));
    }
    void TearDown() override
    {
        if (q.status.load() != YW_EVENT_Q_STATUS_IDLE)
            YW_event_q_deinit(&q);
    }
    YW_event_msg_t *send(YW_event_flag_t flag, YW_event_value_t value)
    {
        YW_event_msg_t *m = YW_event_initEvent(nullptr, flag, value, nullptr);
        EXPECT_NE(nullptr, m);
        EXPECT_GE(YW_event_send(&q, m), 0);
        return m;
    }
};

TEST(EventId, WordLayoutAndVectors)
{
    YW_event_t e;
    e.p.flag = YW_EVENT_FLAG_FRW;
    e.p.value = 16;
    EXPECT_EQ(0x0000001000020000ULL, e.w);
    EXPECT_EQ(e.w, YW_EVENT_ID(YW_EVENT_FLAG_FRW, 16).w);
    EXPECT_EQ(17, YW_EVENT_FLAG_TO_VECNO(YW_EVENT_FLAG_LSE));
    EXPECT_EQ(18, YW_EVENT_FLAG_TO_VECNO(YW_EVENT_FLAG_FRW));
    EXPECT_EQ(19, YW_EVENT_FLAG_TO_VECNO(YW_EVENT_FLAG_IPC));
    EXPECT_EQ(20, YW_EVENT_FLAG_TO_VECNO(YW_EVENT_FLAG_TMR));
    EXPECT_FALSE(YW_EVENT_VECNO_VALID(YW_EVENT_FLAG_TO_VECNO(0x80000000u)));
}

TEST_F(QueueTest, OrderPerVectorAndPendingBit)
{
    send(YW_EVENT_FLAG_FRW, 1);
    send(YW_EVENT_FLAG_IPC, 100);
    send(YW_EVENT_FLAG_FRW, 2);
    send(YW_EVENT_FLAG_IPC, 101);
    send(YW_EVENT_FLAG_FRW, 3);
    EXPECT_EQ(5, g_fireCalls);
    EXPECT_EQ((YW_uint32_t)(YW_EVENT_FLAG_FRW | YW_EVENT_FLAG_IPC), q.flags_recv.load());

    YW_event_msg_t *m = nullptr;
    for (YW_event_value_t v : {1u, 2u, 3u}) {
        ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_FRW, &m));
        EXPECT_EQ(v, m->id.p.value);
        YW_event_releaseEvent(m);
    }
    // The last message taken leaves the bit set; the empty receive clears it.
    EXPECT_EQ(0, YW_event_empty(&q, YW_EVENT_FLAG_FRW));
    m = nullptr;
    EXPECT_EQ(-1, YW_event_recv(&q, YW_EVENT_FLAG_FRW, &m));
    EXPECT_EQ(nullptr, m);
    EXPECT_EQ(1, YW_event_empty(&q, YW_EVENT_FLAG_FRW));
    EXPECT_EQ(0, YW_event_empty(&q, YW_EVENT_FLAG_IPC));

    for (YW_event_value_t v : {100u, 101u}) {
        ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_IPC, &m));
        EXPECT_EQ(v, m->id.p.value);
        YW_event_releaseEvent(m);
    }
    EXPECT_EQ(-1, YW_event_recv(&q, YW_EVENT_FLAG_IPC, &m));
    EXPECT_EQ(0u, q.flags_recv.load());
}

TEST_F(QueueTest, SendAfterPartialDrainKeepsOrder)
{
    send(YW_EVENT_FLAG_TMR, 1);
    send(YW_EVENT_FLAG_TMR, 2);
    YW_event_msg_t *m = nullptr;
    ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_TMR, &m));
    EXPECT_EQ(1u, m->id.p.value);
    YW_event_releaseEvent(m);
    send(YW_EVENT_FLAG_TMR, 3);
    send(YW_EVENT_FLAG_TMR, 4);
    for (YW_event_value_t v : {2u, 3u, 4u}) {
        ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_TMR, &m));
        EXPECT_EQ(v, m->id.p.value);
        YW_event_releaseEvent(m);
    }
    EXPECT_EQ(-1, YW_event_recv(&q, YW_EVENT_FLAG_TMR, &m));
}

TEST_F(QueueTest, InvalidFlagsAreRefusedWithTheirLine)
{
    for (YW_event_flag_t flag : {0u, 3u, 0x80000000u}) {
        YW_event_msg_t *m = YW_event_initEvent(nullptr, flag, 5, nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(YW_ERR_OOR, YW_event_send(&q, m));
        std::string out = testing::internal::GetCapturedStdout();
        int vec = YW_bitPos32(flag);
        char expect[64];
        std::snprintf(expect, sizeof(expect), "flag=%x vecno=%d\n", flag, vec);
        EXPECT_NE(std::string::npos, out.find(std::string("YW_event_send:"))) << out;
        EXPECT_NE(std::string::npos, out.find(expect)) << out;
        // The message stays with the sender, untouched.
        EXPECT_EQ(1, m->refCount);
        EXPECT_EQ(0u, q.flags_recv.load());
        YW_event_releaseEvent(m);
    }
    EXPECT_EQ(0, g_fireCalls);
    YW_event_msg_t *m = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(YW_ERR_OOR, YW_event_recv(&q, 0, &m));
    EXPECT_EQ(YW_ERR_OOR, YW_event_recv(&q, 0x80000000u, &m));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(nullptr, m);

    EXPECT_EQ(-1, YW_event_set_send_callback(&q, 0x80000000u, fire_cb));
    EXPECT_EQ(-1, YW_event_set_send_callback(&q, 0, fire_cb));
    EXPECT_EQ(-1, YW_event_set_recv_callback(&q, 0x6, fire_cb));
    EXPECT_EQ(0, YW_event_set_recv_callback(&q, 0x1, nullptr));
}

TEST_F(QueueTest, BadArgumentsAndStates)
{
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 1, nullptr);
    EXPECT_EQ(-1, YW_event_send(nullptr, m));
    EXPECT_EQ(-1, YW_event_send(&q, nullptr));
    EXPECT_EQ(-1, YW_event_recv(&q, YW_EVENT_FLAG_FRW, nullptr));
    YW_event_q_t idle{};
    EXPECT_EQ(-1, YW_event_send(&idle, m));
    EXPECT_EQ(-1, YW_event_recv(&idle, YW_EVENT_FLAG_FRW, &m));
    EXPECT_EQ(0, YW_event_wait(&idle, 1000));
    EXPECT_EQ(-1, YW_event_q_deinit(&idle));
    EXPECT_EQ(0, YW_event_q_deinit(nullptr));
    EXPECT_EQ(1, YW_event_empty(nullptr, YW_EVENT_FLAG_FRW));
    YW_event_releaseEvent(m);
    YW_event_releaseEvent(nullptr);
}

TEST_F(QueueTest, InitTwiceKeepsFirstSettings)
{
    int other;
    EXPECT_EQ(&q, YW_event_q_init(&q, const_cast<char *>("other"), nullptr, wait_cb, &other));
    EXPECT_STREQ("test_q", q.name);
    EXPECT_EQ(fire_cb, q.cb_fireEvent);
    EXPECT_EQ(nullptr, q.cb_waitEvent);
    EXPECT_EQ(nullptr, q.priv);
    EXPECT_EQ(1, q.refCount);
}

YW_event_msg_t *g_taken;
YW_ret_t take_cb(YW_event_q_t *, YW_addr_t msg)
{
    g_taken = static_cast<YW_event_msg_t *>(msg);
    return YW_SUCCESS;
}

YW_ret_t give_cb(YW_event_q_t *, YW_addr_t msgp)
{
    if (!g_taken)
        return YW_FAIL;
    *static_cast<YW_event_msg_t **>(msgp) = g_taken;
    g_taken = nullptr;
    return YW_SUCCESS;
}

TEST_F(QueueTest, VectorCallbacksTakeMessages)
{
    g_taken = nullptr;
    ASSERT_EQ(0, YW_event_set_send_callback(&q, YW_EVENT_FLAG_IPC, take_cb));
    ASSERT_EQ(0, YW_event_set_recv_callback(&q, YW_EVENT_FLAG_IPC, give_cb));
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_IPC, 9, nullptr);
    EXPECT_EQ(0, YW_event_send(&q, m));
    EXPECT_EQ(m, g_taken);
    EXPECT_EQ(0u, q.flags_recv.load());
    EXPECT_EQ(0, g_fireCalls);

    YW_event_msg_t *got = nullptr;
    EXPECT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_IPC, &got));
    EXPECT_EQ(m, got);
    // A non-zero callback result clears the pending bit.
    q.flags_recv.fetch_or(YW_EVENT_FLAG_IPC);
    EXPECT_EQ(-1, YW_event_recv(&q, YW_EVENT_FLAG_IPC, &got));
    EXPECT_EQ(1, YW_event_empty(&q, YW_EVENT_FLAG_IPC));
    YW_event_releaseEvent(m);

    // A null callback restores the FIFO.
    ASSERT_EQ(0, YW_event_set_send_callback(&q, YW_EVENT_FLAG_IPC, nullptr));
    ASSERT_EQ(0, YW_event_set_recv_callback(&q, YW_EVENT_FLAG_IPC, nullptr));
    send(YW_EVENT_FLAG_IPC, 10);
    ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_IPC, &got));
    EXPECT_EQ(10u, got->id.p.value);
    YW_event_releaseEvent(got);
}

TEST_F(QueueTest, FireResultsAndAFailedDoorbell)
{
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 1, nullptr);
    EXPECT_EQ(8, YW_event_send(&q, m));

    // The doorbell fails after the append: the queue keeps the message and
    // the sender must not release it.
    g_fireResult = YW_ERR_TASK_NULL;
    YW_event_msg_t *m2 = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 2, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_GE(YW_event_send(&q, m2), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("error=-993")) << out;

    YW_event_msg_t *got = nullptr;
    ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_FRW, &got));
    EXPECT_EQ(m, got);
    YW_event_releaseEvent(got);
    ASSERT_EQ(0, YW_event_recv(&q, YW_EVENT_FLAG_FRW, &got));
    EXPECT_EQ(m2, got);
    YW_event_releaseEvent(got);

    // Without a fire callback the result is 0.
    q.cb_fireEvent = nullptr;
    m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 3, nullptr);
    EXPECT_EQ(0, YW_event_send(&q, m));
}

TEST(EventMsg, ReferenceCounts)
{
    YW_count_t f0 = frees();
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_TMR, 4, reinterpret_cast<void *>(0x55));
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(1, m->refCount);
    EXPECT_EQ(reinterpret_cast<YW_uint8_t *>(0x55), m->data);
    EXPECT_EQ(m, YW_event_initEvent(m, YW_EVENT_FLAG_TMR, 5, nullptr));
    EXPECT_EQ(2, m->refCount);
    EXPECT_EQ(5u, m->id.p.value);
    YW_event_releaseEvent(m);
    EXPECT_EQ(f0, frees());
    YW_event_releaseEvent(m);
    EXPECT_EQ(f0 + 1, frees());

    // A message in caller storage is never handed to the allocator.
    YW_event_msg_t own{};
    YW_event_initEvent(&own, YW_EVENT_FLAG_FRW, 1, nullptr);
    EXPECT_EQ(1, own.refCount);
    YW_event_releaseEvent(&own);
    EXPECT_EQ(0, own.refCount);
    EXPECT_EQ(f0 + 1, frees());
}

TEST(EventQueue, AllocatedQueueDeinitReleasesMessagesAndItself)
{
    YW_count_t f0 = frees();
    YW_event_q_t *q = YW_event_q_init(nullptr, const_cast<char *>("heap_q"), nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(YW_EVENT_Q_STATUS_NORM, q->status.load());
    EXPECT_EQ(1, q->refCount);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0, YW_event_send(q, YW_event_initEvent(nullptr, YW_EVENT_FLAG_IPC, i, nullptr)));
    YW_event_msg_t *m = nullptr;
    ASSERT_EQ(0, YW_event_recv(q, YW_EVENT_FLAG_IPC, &m));
    YW_event_releaseEvent(m);
    ASSERT_EQ(0, YW_event_send(q, YW_event_initEvent(nullptr, YW_EVENT_FLAG_LSE, 1, nullptr)));
    // Three messages are still queued (two in the private FIFO or inbox, one
    // on LSE); deinit releases them and then the queue itself.
    EXPECT_EQ(0, YW_event_q_deinit(q));
    EXPECT_EQ(f0 + 5, frees());
}

TEST(EventQueue, WaitWithoutCallbackCountsPendingWaitedFlags)
{
    YW_event_q_t q{};
    YW_event_q_init(&q, const_cast<char *>("w"), nullptr, nullptr, nullptr);
    q.flags_wait.store(YW_EVENT_FLAG_FRW | YW_EVENT_FLAG_IPC);
    EXPECT_EQ(0, YW_event_wait(&q, 0));
    YW_event_send(&q, YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 1, nullptr));
    YW_event_send(&q, YW_event_initEvent(nullptr, YW_EVENT_FLAG_TMR, 1, nullptr));
    EXPECT_EQ(1, YW_event_wait(&q, 0));
    q.cb_waitEvent = wait_cb;
    EXPECT_EQ(7, YW_event_wait(&q, 0));
    YW_event_q_deinit(&q);
}

} // namespace
