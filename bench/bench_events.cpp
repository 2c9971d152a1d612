// Cross-thread event latency: one message bounced between two threads over
// two event queues (send -> doorbell -> wake -> receive), against a raw
// eventfd ping-pong between two threads as the floor.
//
// Prints: figure event_pingpong_oneway <ns> ns baseline <ns> ratio <x>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bench_util.h"
#include "osa/yw_osa.h"
#include "yw_event.h"

namespace {

using bench::Clock;
using bench::pin_cpu;

// The floor: a raw eventfd ping-pong on the same two CPUs as the event
// queues, so both take the same wake-up path. One way, in nanoseconds.
double raw_pingpong(long rounds)
{
    return bench::raw_eventfd_roundtrip_ns(rounds, true) / 2.0;
}

// ---- event queue ping-pong -------------------------------------------------------

struct Side {
    YW_event_q_t q{};
    std::atomic<YW_P_thread_t> th{nullptr};
};

YW_ret_t fire(YW_event_q_t *q, YW_addr_t msg)
{
    return YW_event_q_fireThread(q, static_cast<Side *>(q->priv)->th.load(std::memory_order_acquire), msg);
}

YW_ret_t wait(YW_event_q_t *q, YW_addr_t timeout)
{
    return YW_event_q_waitThread(q, static_cast<Side *>(q->priv)->th.load(std::memory_order_relaxed),
                                 *static_cast<YW_int64_t *>(timeout));
}

struct Run {
    Side ping, pong;
    long rounds = 0;
    std::atomic<int> ready{0};
    std::atomic<bool> done{false};
    std::atomic<int> ended{0}; // threads past their last queue operation
    double ns = 0;
};

// Takes the next message of FRW, waiting on the owner's doorbell.
YW_event_msg_t *take(Side &s)
{
    YW_event_msg_t *m = nullptr;
    for (;;) {
        if (YW_event_recv(&s.q, YW_EVENT_FLAG_FRW, &m) == 0)
            return m;
        YW_event_wait(&s.q, -1);
    }
}

void *pong_main(void *arg)
{
    Run *r = static_cast<Run *>(arg);
    YW_P_thread_t self = nullptr;
    YW_P_getThreadID(&self);
    r->pong.th.store(self);
    pin_cpu(1);
    r->ready++;
    for (long i = 0; i < r->rounds; ++i) {
        YW_event_msg_t *m = take(r->pong);
        YW_event_send(&r->ping.q, m); // the same message goes back
    }
    r->ended++;
    return nullptr;
}

void *ping_main(void *arg)
{
    Run *r = static_cast<Run *>(arg);
    YW_P_thread_t self = nullptr;
    YW_P_getThreadID(&self);
    r->ping.th.store(self);
    pin_cpu(0);
    r->ready++;
    while (r->ready.load() < 2)
        std::this_thread::yield();
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_FRW, 1, nullptr);
    auto t0 = Clock::now();
    for (long i = 0; i < r->rounds; ++i) {
        YW_event_send(&r->pong.q, m);
        m = take(r->ping);
    }
    auto t1 = Clock::now();
    YW_event_releaseEvent(m);
    r->ns = bench::ns_per(t1 - t0, r->rounds) / 2.0;
    r->done.store(true);
    r->ended++;
    return nullptr;
}

double event_pingpong(long rounds)
{
    Run r;
    r.rounds = rounds;
    for (Side *s : {&r.ping, &r.pong}) {
        YW_event_q_init(&s->q, const_cast<char *>("bench"), fire, wait, s);
        s->q.flags_wait.store(YW_EVENT_FLAG_FRW);
    }
    YW_P_thread_t a = nullptr, b = nullptr;
    if (YW_P_createThread("pong", 0, 0, 0, 0, pong_main, &r, &b) != 0 ||
        YW_P_createThread("ping", 0, 0, 0, 0, ping_main, &r, &a) != 0) {
        std::fprintf(stderr, "thread creation failed\n");
        std::exit(1);
    }
    // Both threads must be past their last send before the queues and
    // their doorbells go away; a run that stops making progress is reported.
    const auto limit = Clock::now() + std::chrono::seconds(120);
    while (r.ended.load() < 2) {
        if (Clock::now() > limit) {
            std::fprintf(stderr, "bench_events: event ping-pong made no progress\n");
            std::exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    YW_event_q_deinit(&r.ping.q);
    YW_event_q_deinit(&r.pong.q);
    YW_P_deleteThread(a);
    YW_P_deleteThread(b);
    return r.ns;
}

} // namespace

int main(int argc, char **argv)
{
    long rounds = argc > 1 ? std::atol(argv[1]) : 100000;
    if (rounds < 1)
        rounds = 100000;
    // Warm-up, then the best of several alternating runs of each.
    raw_pingpong(rounds / 10);
    event_pingpong(rounds / 10);
    double raw = 1e18, evt = 1e18;
    for (int i = 0; i < 7; ++i) {
        double r = raw_pingpong(rounds);
        double e = event_pingpong(rounds);
        std::printf("run %d: raw %.0f ns, event %.0f ns\n", i, r, e);
        if (r < raw)
            raw = r;
        if (e < evt)
            evt = e;
    }
    bench::figure("event_pingpong_oneway", evt, "ns", raw, bench::slowdown(evt, raw));
    return 0;
}
