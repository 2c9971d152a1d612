// Cross-thread event latency: one message bounced between two threads over
// two event queues (send -> doorbell -> wake -> receive), against a raw
// eventfd ping-pong between two threads as the floor.
//
// Prints: figure event_pingpong_oneway <ns> ns baseline <ns> ratio <x>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "osa/yw_osa.h"
#include "yw_event.h"

namespace {

using Clock = std::chrono::steady_clock;

// Both variants run their two parties on the same two CPUs, so they compare
// the same wake-up path.
void pin(int which)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET((int)((1 + which) % n), &set);
    sched_setaffinity(0, sizeof(set), &set);
}

// ---- raw eventfd ping-pong ---------------------------------------------------

void raw_wait(int fd)
{
    struct pollfd p{fd, POLLIN, 0};
    for (;;) {
        if (ppoll(&p, 1, nullptr, nullptr) > 0) {
            uint64_t v;
            if (read(fd, &v, sizeof(v)) == (ssize_t)sizeof(v))
                return;
        }
    }
}

void raw_ring(int fd)
{
    uint64_t one = 1;
    if (write(fd, &one, sizeof(one)) != (ssize_t)sizeof(one))
        std::abort();
}

double raw_pingpong(long rounds)
{
    int a = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int b = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::thread pong([&] {
        pin(1);
        for (long i = 0; i < rounds; ++i) {
            raw_wait(b);
            raw_ring(a);
        }
    });
    pin(0);
    auto t0 = Clock::now();
    for (long i = 0; i < rounds; ++i) {
        raw_ring(b);
        raw_wait(a);
    }
    auto t1 = Clock::now();
    pong.join();
    close(a);
    close(b);
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / (2.0 * rounds);
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
    pin(1);
    r->ready++;
    for (long i = 0; i < r->rounds; ++i) {
        YW_event_msg_t *m = take(r->pong);
        YW_event_send(&r->ping.q, m); // the same message goes back
    }
    return nullptr;
}

void *ping_main(void *arg)
{
    Run *r = static_cast<Run *>(arg);
    YW_P_thread_t self = nullptr;
    YW_P_getThreadID(&self);
    r->ping.th.store(self);
    pin(0);
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
    r->ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / (2.0 * r->rounds);
    r->done.store(true);
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
    while (!r.done.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
    std::printf("figure event_pingpong_oneway %.0f ns baseline %.0f ratio %.2f\n", evt, raw, evt / raw);
    return 0;
}
