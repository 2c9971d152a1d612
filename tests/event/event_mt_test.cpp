// Concurrency of event queues: many senders, one receiver woken through its
// thread's doorbell. Every message must arrive exactly once, in the order each
// sender sent it, without lost wake-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "osa/yw_osa.h"
#include "yw_event.h"

namespace {

constexpr int kSenders = 4;
constexpr int kPerSender = 20000;
constexpr YW_event_flag_t kFlags[kSenders] = {YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_IPC,
                                              YW_EVENT_FLAG_TMR};

struct Shared {
    YW_event_q_t q{};
    std::atomic<YW_P_thread_t> receiver{nullptr};
    std::atomic<bool> done{false};
    std::atomic<int> received{0};
    std::atomic<int> orderErrors{0};
    std::atomic<int> lostWakeups{0};
    std::atomic<int> timeouts{0};
};

YW_ret_t fire(YW_event_q_t *q, YW_addr_t msg)
{
    auto *s = static_cast<Shared *>(q->priv);
    return YW_event_q_fireThread(q, s->receiver.load(), msg);
}

YW_ret_t wait(YW_event_q_t *q, YW_addr_t timeout)
{
    auto *s = static_cast<Shared *>(q->priv);
    return YW_event_q_waitThread(q, s->receiver.load(), *static_cast<YW_int64_t *>(timeout));
}

void *receiver_main(void *arg)
{
    auto *s = static_cast<Shared *>(arg);
    YW_P_thread_t self = nullptr;
    YW_P_getThreadID(&self);
    s->receiver.store(self);
    std::vector<int> next(kSenders, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (s->received.load() < kSenders * kPerSender && std::chrono::steady_clock::now() < deadline) {
        YW_ret_t n = YW_event_wait(&s->q, 2000000000LL);
        if (n <= 0) {
            s->timeouts++;
            // A time-out while a message sits in a FIFO is a lost wake-up.
            for (YW_event_flag_t f : {YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_IPC, YW_EVENT_FLAG_TMR}) {
                YW_event_msg_t *m = nullptr;
                if (YW_event_recv(&s->q, f, &m) == 0) {
                    s->lostWakeups++;
                    // put the count right and keep going
                    int id = (int)(intptr_t)m->data;
                    if ((int)m->id.p.value != next[id])
                        s->orderErrors++;
                    next[id] = (int)m->id.p.value + 1;
                    s->received++;
                    YW_event_releaseEvent(m);
                }
            }
            continue;
        }
        for (YW_event_flag_t f : {YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_IPC, YW_EVENT_FLAG_TMR}) {
            YW_event_msg_t *m = nullptr;
            while (YW_event_recv(&s->q, f, &m) == 0) {
                int id = (int)(intptr_t)m->data;
                if (id < 0 || id >= kSenders || kFlags[id] != f || (int)m->id.p.value != next[id])
                    s->orderErrors++;
                else
                    next[id]++;
                s->received++;
                YW_event_releaseEvent(m);
            }
        }
    }
    s->done.store(true);
    return nullptr;
}

TEST(EventQueueMt, FourSendersOneReceiver)
{
    Shared s;
    YW_event_q_init(&s.q, const_cast<char *>("mt_q"), fire, wait, &s);
    s.q.flags_wait.store(YW_EVENT_FLAG_FRW | YW_EVENT_FLAG_IPC | YW_EVENT_FLAG_TMR);

    YW_P_thread_t th = nullptr;
    ASSERT_EQ(0, YW_P_createThread("mt_recv", 0, 0, 0, 0, receiver_main, &s, &th));
    while (!s.receiver.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<std::thread> senders;
    std::atomic<int> sendErrors{0};
    for (int id = 0; id < kSenders; ++id) {
        senders.emplace_back([&s, &sendErrors, id] {
            for (int i = 0; i < kPerSender; ++i) {
                YW_event_msg_t *m =
                    YW_event_initEvent(nullptr, kFlags[id], (YW_event_value_t)i, reinterpret_cast<void *>((intptr_t)id));
                if (!m || YW_event_send(&s.q, m) < 0) {
                    sendErrors++;
                    YW_event_releaseEvent(m);
                }
                if ((i & 1023) == 0)
                    std::this_thread::yield();
            }
        });
    }
    for (auto &t : senders)
        t.join();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!s.done.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(s.done.load());
    EXPECT_EQ(0, sendErrors.load());
    EXPECT_EQ(kSenders * kPerSender, s.received.load());
    EXPECT_EQ(0, s.orderErrors.load());
    EXPECT_EQ(0, s.lostWakeups.load());
    EXPECT_EQ(0, s.timeouts.load());
    YW_event_q_deinit(&s.q);
    YW_P_deleteThread(th);
}

// A message queued while the owner is not known yet is found on its first
// wait; the doorbell value is never taken as the pending flags.
TEST(EventQueueMt, DoorbellSumDoesNotInventFlags)
{
    Shared s;
    YW_event_q_init(&s.q, const_cast<char *>("sum_q"), fire, wait, &s);
    s.q.flags_wait.store(YW_EVENT_FLAG_FRW | YW_EVENT_FLAG_IPC);
    std::atomic<int> result{0};
    std::atomic<int> gotFrw{0}, gotIpc{0};
    struct Ctx {
        Shared *s;
        std::atomic<int> *result, *gotFrw, *gotIpc;
        std::atomic<bool> go{false};
        std::atomic<bool> fin{false};
    } ctx{&s, &result, &gotFrw, &gotIpc};
    auto body = [](void *a) -> void * {
        auto *c = static_cast<Ctx *>(a);
        YW_P_thread_t self = nullptr;
        YW_P_getThreadID(&self);
        c->s->receiver.store(self);
        while (!c->go.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        c->result->store(YW_event_wait(&c->s->q, 1000000000LL));
        YW_event_msg_t *m = nullptr;
        while (YW_event_recv(&c->s->q, YW_EVENT_FLAG_FRW, &m) == 0) {
            (*c->gotFrw)++;
            YW_event_releaseEvent(m);
        }
        while (YW_event_recv(&c->s->q, YW_EVENT_FLAG_IPC, &m) == 0) {
            (*c->gotIpc)++;
            YW_event_releaseEvent(m);
        }
        c->fin.store(true);
        return nullptr;
    };
    // One message before the receiver exists (fire gives 0), one after.
    YW_event_msg_t *m1 = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 1, nullptr);
    EXPECT_EQ(0, YW_event_send(&s.q, m1));
    YW_P_thread_t th = nullptr;
    ASSERT_EQ(0, YW_P_createThread("sum_recv", 0, 0, 0, 0, body, &ctx, &th));
    while (!s.receiver.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    YW_event_msg_t *m2 = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 2, nullptr);
    EXPECT_EQ(8, YW_event_send(&s.q, m2));
    ctx.go.store(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ctx.fin.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(ctx.fin.load());
    EXPECT_EQ(1, result.load()); // one waited flag pending: FRW
    EXPECT_EQ(2, gotFrw.load());
    EXPECT_EQ(0, gotIpc.load());
    EXPECT_EQ(0u, s.q.flags_recv.load());
    YW_event_q_deinit(&s.q);
    YW_P_deleteThread(th);
}

// The wait ends on a pending waited flag or on the time-out, never on a bare
// ring of the doorbell (a ring without a queued message is only a wake-up).
TEST(EventQueueMt, WaitTimesOutAndIgnoresBareRings)
{
    struct Ctx {
        Shared s;
        std::atomic<YW_ret_t> r0{YW_SUCCESS}, r1{YW_SUCCESS};
        std::atomic<long> waitedMs{0};
        std::atomic<bool> fin{false};
    } c;
    YW_event_q_init(&c.s.q, const_cast<char *>("to_q"), fire, wait, &c.s);
    c.s.q.flags_wait.store(YW_EVENT_FLAG_FRW);
    auto body = [](void *a) -> void * {
        auto *c = static_cast<Ctx *>(a);
        YW_P_thread_t self = nullptr;
        YW_P_getThreadID(&self);
        c->s.receiver.store(self);
        c->r0.store(YW_event_wait(&c->s.q, 0));
        auto t0 = std::chrono::steady_clock::now();
        c->r1.store(YW_event_wait(&c->s.q, 300000000LL));
        c->waitedMs.store(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
        c->fin.store(true);
        return nullptr;
    };
    YW_P_thread_t th = nullptr;
    ASSERT_EQ(0, YW_P_createThread("to_recv", 0, 0, 0, 0, body, &c, &th));
    while (!c.s.receiver.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        YW_P_sendThreadEvent(c.s.receiver.load(), YW_EVENT_FLAG_FRW);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!c.fin.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(c.fin.load());
    EXPECT_EQ(YW_ERR_TIMEOUT, c.r0.load());
    EXPECT_EQ(YW_ERR_TIMEOUT, c.r1.load());
    EXPECT_GE(c.waitedMs.load(), 290);
    YW_event_q_deinit(&c.s.q);
    YW_P_deleteThread(th);
}

} // namespace
