// Concurrency of event queues: many senders, one receiver woken through its
// thread's doorbell. Every message must arrive exactly once, in the order each
// sender sent it, without lost wake-ups; a queue torn down while senders run
// keeps or hands back every message.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "osa/yw_osa.h"
#include "yw_event.h"
#include "common/yw_test_sanitizer.h"

namespace {

using Clock = std::chrono::steady_clock;


constexpr int kSenders = 4;
#ifdef YW_TEST_TSAN
constexpr int kPerSender = 5000; // the sanitizer slows every atomic step
#else
constexpr int kPerSender = 20000;
#endif
constexpr YW_event_flag_t kFlags[kSenders] = {YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_IPC,
                                              YW_EVENT_FLAG_TMR};

// Waits until pred() holds, for at most `limit`; the result of the last look.
template <class Pred>
bool wait_until(Pred pred, std::chrono::seconds limit = std::chrono::seconds(30))
{
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Deletes a framework thread when the test leaves, also on a failed assertion:
// a thread still waiting on its doorbell then ends at that wait.
struct ThreadGuard {
    YW_P_thread_t th = nullptr;
    ~ThreadGuard()
    {
        if (th)
            YW_P_deleteThread(th);
    }
};

struct Shared {
    YW_event_q_t q{};
    std::atomic<YW_P_thread_t> receiver{nullptr};
    std::atomic<bool> done{false};
    std::atomic<bool> abandon{false}; // the test gave up: the receiver ends
    std::atomic<int> received{0};
    std::atomic<int> orderErrors{0};
    std::atomic<int> lostWakeups{0};
    std::atomic<int> completedSends{0}; // sends that have returned
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
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    auto take = [&](YW_event_flag_t f, YW_event_msg_t *m) {
        int id = (int)(intptr_t)m->data;
        if (id < 0 || id >= kSenders || kFlags[id] != f || (int)m->id.p.value != next[id])
            s->orderErrors++;
        else
            next[id]++;
        s->received++;
        YW_event_releaseEvent(m);
    };
    while (s->received.load() < kSenders * kPerSender && !s->abandon.load() && Clock::now() < deadline) {
        // Every send that returned before the wait starts has set its pending
        // bit, so the wait must not time out while one of them is unreceived.
        int sentBefore = s->completedSends.load();
        int receivedBefore = s->received.load();
        YW_ret_t n = YW_event_wait(&s->q, 2000000000LL);
        if (n <= 0 && sentBefore > receivedBefore)
            s->lostWakeups++;
        for (YW_event_flag_t f : {YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_IPC, YW_EVENT_FLAG_TMR}) {
            YW_event_msg_t *m = nullptr;
            while (YW_event_recv(&s->q, f, &m) == 0)
                take(f, m);
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

    ThreadGuard th;
    ASSERT_EQ(0, YW_P_createThread("mt_recv", 0, 0, 0, 0, receiver_main, &s, &th.th));
    ASSERT_TRUE(wait_until([&] { return s.receiver.load() != nullptr; }));

    std::vector<std::thread> senders;
    std::atomic<int> sendErrors{0};
    for (int id = 0; id < kSenders; ++id) {
        senders.emplace_back([&s, &sendErrors, id] {
            for (int i = 0; i < kPerSender; ++i) {
                YW_event_msg_t *m = YW_event_initEvent(nullptr, kFlags[id], (YW_event_value_t)i,
                                                       reinterpret_cast<void *>((intptr_t)id));
                if (!m || YW_event_send(&s.q, m) < 0) {
                    sendErrors++;
                    YW_event_releaseEvent(m);
                }
                s.completedSends++;
                if ((i & 1023) == 0)
                    std::this_thread::yield();
            }
        });
    }
    for (auto &t : senders)
        t.join();
    bool finished = wait_until([&] { return s.done.load(); }, std::chrono::seconds(90));
    if (!finished) {
        s.abandon.store(true);
        wait_until([&] { return s.done.load(); }, std::chrono::seconds(10));
    }
    ASSERT_TRUE(finished);
    EXPECT_EQ(0, sendErrors.load());
    EXPECT_EQ(kSenders * kPerSender, s.received.load());
    EXPECT_EQ(0, s.orderErrors.load());
    EXPECT_EQ(0, s.lostWakeups.load());
    YW_event_q_deinit(&s.q);
}

// A message queued while the owner is not known yet is found on its first
// wait; the doorbell value is never taken as the pending flags.
TEST(EventQueueMt, DoorbellSumDoesNotInventFlags)
{
    struct Ctx {
        Shared s;
        std::atomic<int> result{0}, gotFrw{0}, gotIpc{0};
        std::atomic<bool> go{false};
        std::atomic<bool> fin{false};
    } c;
    YW_event_q_init(&c.s.q, const_cast<char *>("sum_q"), fire, wait, &c.s);
    c.s.q.flags_wait.store(YW_EVENT_FLAG_FRW | YW_EVENT_FLAG_IPC);
    auto body = [](void *a) -> void * {
        auto *c = static_cast<Ctx *>(a);
        YW_P_thread_t self = nullptr;
        YW_P_getThreadID(&self);
        c->s.receiver.store(self);
        // Sleeps through the OS layer, so a deleted thread ends here.
        for (int i = 0; i < 30000 && !c->go.load(); ++i)
            YW_P_sleepThread(nullptr, 1000000);
        c->result.store(YW_event_wait(&c->s.q, 1000000000LL));
        YW_event_msg_t *m = nullptr;
        while (YW_event_recv(&c->s.q, YW_EVENT_FLAG_FRW, &m) == 0) {
            c->gotFrw++;
            YW_event_releaseEvent(m);
        }
        while (YW_event_recv(&c->s.q, YW_EVENT_FLAG_IPC, &m) == 0) {
            c->gotIpc++;
            YW_event_releaseEvent(m);
        }
        c->fin.store(true);
        return nullptr;
    };
    // One message before the receiver exists (fire gives 0), one after.
    YW_event_msg_t *m1 = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 1, nullptr);
    EXPECT_EQ(0, YW_event_send(&c.s.q, m1));
    ThreadGuard th;
    ASSERT_EQ(0, YW_P_createThread("sum_recv", 0, 0, 0, 0, body, &c, &th.th));
    ASSERT_TRUE(wait_until([&] { return c.s.receiver.load() != nullptr; }));
    YW_event_msg_t *m2 = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 2, nullptr);
    EXPECT_EQ(8, YW_event_send(&c.s.q, m2));
    c.go.store(true);
    ASSERT_TRUE(wait_until([&] { return c.fin.load(); }, std::chrono::seconds(60)));
    EXPECT_EQ(1, c.result.load()); // one waited flag pending: FRW
    EXPECT_EQ(2, c.gotFrw.load());
    EXPECT_EQ(0, c.gotIpc.load());
    EXPECT_EQ(0u, c.s.q.flags_recv.load());
    YW_event_q_deinit(&c.s.q);
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
        auto t0 = Clock::now();
        c->r1.store(YW_event_wait(&c->s.q, 300000000LL));
        c->waitedMs.store(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
        c->fin.store(true);
        return nullptr;
    };
    ThreadGuard th;
    ASSERT_EQ(0, YW_P_createThread("to_recv", 0, 0, 0, 0, body, &c, &th.th));
    ASSERT_TRUE(wait_until([&] { return c.s.receiver.load() != nullptr; }));
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        YW_P_sendThreadEvent(c.s.receiver.load(), YW_EVENT_FLAG_FRW);
    }
    ASSERT_TRUE(wait_until([&] { return c.fin.load(); }, std::chrono::seconds(60)));
    EXPECT_EQ(YW_ERR_TIMEOUT, c.r0.load());
    EXPECT_EQ(YW_ERR_TIMEOUT, c.r1.load());
    // The wait lasts at least its time-out (a lower bound only).
    EXPECT_GE(c.waitedMs.load(), 299);
    YW_event_q_deinit(&c.s.q);
}

// Tearing a queue down while senders still send: each message is either
// refused (and released by its sender) or queued and released by the
// teardown; none stays referenced in a queue that was already emptied.
TEST(EventQueueMt, DeinitWhileSendersRun)
{
    constexpr int kRounds = 40;
    constexpr int kSendersHere = 3;
    constexpr int kMsgs = 256;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<YW_event_msg_t> msgs((size_t)kSendersHere * kMsgs);
        for (auto &m : msgs)
            m = YW_event_msg_t{};
        // The queue's storage outlives the senders (as an owner's queue does);
        // only its state goes back to IDLE.
        YW_event_q_t storage{};
        YW_event_q_t *q = YW_event_q_init(&storage, const_cast<char *>("teardown_q"), nullptr, nullptr, nullptr);
        ASSERT_EQ(&storage, q);
        std::atomic<int> started{0};
        std::atomic<int> queued{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < kSendersHere; ++t)
            senders.emplace_back([&, t] {
                started++;
                for (int i = 0; i < kMsgs; ++i) {
                    YW_event_msg_t *m = &msgs[(size_t)t * kMsgs + i];
                    YW_event_initEvent(m, t == 0 ? YW_EVENT_FLAG_FRW : YW_EVENT_FLAG_IPC, (YW_event_value_t)i,
                                       nullptr);
                    if (YW_event_send(q, m) < 0) {
                        YW_event_releaseEvent(m);
                        break; // the queue is going away
                    }
                    queued++;
                }
            });
        wait_until([&] { return started.load() == kSendersHere; });
        // Let some sends land first on most rounds.
        if (round % 4)
            wait_until([&] { return queued.load() >= round % 32; }, std::chrono::seconds(5));
        EXPECT_EQ(0, YW_event_q_deinit(q));
        for (auto &t : senders)
            t.join();
        int held = 0;
        for (auto &m : msgs)
            if (m.refCount != 0)
                ++held;
        ASSERT_EQ(0, held) << "round " << round;
    }
}

// A send still ringing the doorbell holds the teardown back: the queue (here
// one the teardown frees) is not emptied or released under it.
std::atomic<int> g_inFire{0};
std::atomic<bool> g_releaseFire{false};
YW_ret_t slow_fire(YW_event_q_t *, YW_addr_t)
{
    g_inFire.store(1);
    wait_until([] { return g_releaseFire.load(); });
    return YW_SUCCESS;
}

TEST(EventQueueMt, DeinitWaitsForASendInProgress)
{
    g_inFire.store(0);
    g_releaseFire.store(false);
    YW_event_q_t *q = YW_event_q_init(nullptr, const_cast<char *>("slow_q"), slow_fire, nullptr, nullptr);
    ASSERT_NE(nullptr, q);
    YW_event_msg_t m{};
    YW_event_initEvent(&m, YW_EVENT_FLAG_FRW, 1, nullptr);
    std::atomic<YW_ret_t> sent{YW_FAIL};
    std::thread sender([&] { sent.store(YW_event_send(q, &m)); });
    ASSERT_TRUE(wait_until([] { return g_inFire.load() == 1; }));
    std::atomic<bool> deinitDone{false};
    std::thread teardown([&] {
        YW_event_q_deinit(q);
        deinitDone.store(true);
    });
    // However long the fire takes, the teardown does not finish before it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(deinitDone.load());
    EXPECT_EQ(1, (int)m.refCount);
    g_releaseFire.store(true);
    sender.join();
    teardown.join();
    EXPECT_EQ(YW_SUCCESS, sent.load());
    EXPECT_TRUE(deinitDone.load());
    EXPECT_EQ(0, (int)m.refCount); // queued, then released by the teardown
}

} // namespace
