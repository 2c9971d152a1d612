// Message-queue IPC between two framework tasks, against raw floors measured
// in the same run.
//
//   ipc_msgq_roundtrip: a 16-byte message sent by task A on one channel and
//     answered by task B on another (send -> IPC event -> wake -> receive ->
//     send back -> ...), per round trip; floor: an eventfd ping-pong of two
//     plain threads.
//   ipc_msgq_oneway_64B: messages per second from A to B with 64-byte
//     payloads and flow control (the room event when the queue is full);
//     floor: two plain threads moving 64-byte records through a mutex-guarded
//     ring with one eventfd wake per record.
//
// ratio is the slowdown against the floor (value/baseline for times,
// baseline/value for rates). Each value is the median of kReps runs taken in
// turn with the floor's runs, after one warm-up run of each.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "bench_util.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

namespace {

using bench::Clock;

constexpr long kRounds = 20000;
constexpr long kMessages = 200000;
// Each figure and its floor are measured this many times, in turn, after one
// warm-up run of each; the median of each is reported (the machine may be
// busy with other work).
constexpr int kReps = 5;
constexpr int kPayload = 64;

// ---- raw floors ----------------------------------------------------------------

using bench::efd_ring;
using bench::efd_wait;

double raw_oneway_rate(long count)
{
    constexpr int kSlots = 64;
    struct Rec {
        char b[kPayload];
    };
    std::vector<Rec> ring(kSlots);
    std::mutex mx;
    long head = 0, tail = 0; // under mx
    int data = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int room = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::atomic<bool> waitingRoom{false};
    long sum = 0;
    std::thread consumer([&] {
        long got = 0;
        Rec r;
        while (got < count) {
            efd_wait(data);
            for (;;) {
                {
                    std::lock_guard<std::mutex> g(mx);
                    if (tail == head)
                        break;
                    r = ring[tail % kSlots];
                    tail++;
                }
                sum += r.b[0];
                got++;
                if (waitingRoom.exchange(false))
                    efd_ring(room);
            }
        }
    });
    Rec m;
    std::memset(m.b, 1, sizeof(m.b));
    auto t0 = Clock::now();
    for (long i = 0; i < count;) {
        bool put = false;
        {
            std::lock_guard<std::mutex> g(mx);
            if (head - tail < kSlots) {
                ring[head % kSlots] = m;
                head++;
                put = true;
            } else {
                waitingRoom = true;
            }
        }
        if (put) {
            efd_ring(data);
            i++;
        } else {
            struct pollfd p{room, POLLIN, 0};
            if (poll(&p, 1, 1) > 0) {
                uint64_t v;
                (void)!read(room, &v, sizeof(v));
            }
        }
    }
    consumer.join();
    auto t1 = Clock::now();
    close(data);
    close(room);
    if (sum != count)
        std::fprintf(stderr, "raw: lost records\n");
    return (double)count / std::chrono::duration<double>(t1 - t0).count();
}

// ---- message-queue channels between two tasks ------------------------------------
//
// The main thread drives the measurement in steps; each step is one run of
// one figure by the two tasks: step 2k+1 the round trips of repetition k,
// step 2k+2 the stream of repetition k. Repetition 0 is the warm-up.

struct Shared {
    YW_ipc_id_t ping = YW_IPC_INVALID_ID, pong = YW_IPC_INVALID_ID, stream = YW_IPC_INVALID_ID;
    std::atomic<int> ready{0};
    std::atomic<int> step{0};    // set by main
    std::atomic<int> doneA{0};   // last step task A finished
    std::atomic<int> doneB{0};   // last step task B finished
    std::atomic<long> errors{0};
    double rttNs[kReps + 1] = {};
    double rate[kReps + 1] = {};
};

Shared g;

// Waits on the task's queue and drops the IPC events taken.
void drainEvents(YW_event_q_t *q, YW_int64_t timeout)
{
    if (YW_event_wait(q, timeout) < 1)
        return;
    YW_event_msg_t *e;
    while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &e) == 0)
        YW_event_releaseEvent(e);
}

// Receives one message, waiting for its event when none is queued yet.
YW_size_t recvOne(YW_event_q_t *q, YW_ipc_id_t id, void *buf, YW_size_t size)
{
    for (;;) {
        YW_size_t n = YW_recvIpc(id, buf, size);
        if (n >= 0)
            return n;
        drainEvents(q, 1000000000LL);
    }
}

void waitStep(int s)
{
    while (g.step.load() < s)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

} // namespace

extern "C" {

__attribute__((used)) void *bench_ipc_task_a(void *)
{
    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (YW_openIpc(1, YW_IPC_FLAGS_TX, nullptr) || YW_openIpc(2, YW_IPC_FLAGS_RX, nullptr) ||
        YW_openIpc(3, YW_IPC_FLAGS_TX, nullptr))
        g.errors++;
    g.ready++;
    char msg[16] = "ping";
    char buf[64];
    char payload[kPayload];
    std::memset(payload, 1, sizeof(payload));
    for (int rep = 0; rep <= kReps; rep++) {
        waitStep(2 * rep + 1);
        auto t0 = Clock::now();
        for (long i = 0; i < kRounds; i++) {
            if (YW_sendIpc(g.ping, msg, sizeof(msg)) != (YW_size_t)sizeof(msg))
                g.errors++;
            recvOne(q, g.pong, buf, sizeof(buf));
        }
        g.rttNs[rep] = bench::ns_per(Clock::now() - t0, kRounds);
        g.doneA = 2 * rep + 1;

        waitStep(2 * rep + 2);
        auto t1 = Clock::now();
        for (long i = 0; i < kMessages;) {
            YW_size_t r = YW_sendIpc(g.stream, payload, kPayload);
            if (r == kPayload) {
                i++;
            } else if (r == YW_ERR_NO_TX_BD) {
                drainEvents(q, 1000000LL); // the room event
            } else {
                g.errors++;
                break;
            }
        }
        while (g.doneB.load() < 2 * rep + 2) // the last message received
            std::this_thread::yield();
        g.rate[rep] = (double)kMessages / std::chrono::duration<double>(Clock::now() - t1).count();
        g.doneA = 2 * rep + 2;
    }
    return nullptr;
}

__attribute__((used)) void *bench_ipc_task_b(void *)
{
    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (YW_openIpc(1, YW_IPC_FLAGS_RX, nullptr) || YW_openIpc(2, YW_IPC_FLAGS_TX, nullptr) ||
        YW_openIpc(3, YW_IPC_FLAGS_RX, nullptr))
        g.errors++;
    g.ready++;
    char buf[64];
    for (int rep = 0; rep <= kReps; rep++) {
        waitStep(2 * rep + 1);
        for (long i = 0; i < kRounds; i++) {
            YW_size_t n = recvOne(q, g.ping, buf, sizeof(buf));
            if (YW_sendIpc(g.pong, buf, n) != n)
                g.errors++;
        }
        g.doneB = 2 * rep + 1;

        waitStep(2 * rep + 2);
        long got = 0, sum = 0;
        while (got < kMessages) {
            YW_size_t n = YW_recvIpc(g.stream, buf, sizeof(buf));
            if (n == kPayload) {
                got++;
                sum += buf[0];
            } else {
                drainEvents(q, 1000000000LL);
            }
        }
        if (sum != kMessages)
            g.errors++;
        g.doneB = 2 * rep + 2;
    }
    return nullptr;
}

} // extern "C"

namespace {

void setCfg(YW_ipc_cfg_t &c, const char *name, YW_uint32_t iap, YW_int64_t size, YW_uint64_t descs)
{
    std::memset(&c, 0, sizeof(c));
    c.name = const_cast<char *>(name);
    c.interfaceType = YW_IPC_INTF_MSGQ;
    c.transportType = YW_IPC_TRANSPORT_MAX;
    c.flags = YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX;
    c.iap = iap;
    c.rx.buffer_size = size;
    c.rx.max_descriptors = descs;
}

bool startTask(const char *name, const char *entry)
{
    YW_task_cfg_t c{};
    c.name = const_cast<char *>(name);
    c.entry_name = const_cast<char *>(entry);
    c.category = YW_TASK_CAT_APP;
    c.stack_size = 256 * 1024;
    YW_task_id_t id;
    return YW_createTask(&c, &id) == 0 && YW_startTask(id, nullptr) == 0;
}

} // namespace

int main()
{
    // The framework prints its diagnostics on standard output; keep the
    // figures readable by sending those to standard error.
    std::fflush(stdout);
    int out = dup(1);
    dup2(2, 1);
    YW_log_init();
    YW_task_tsm_init();
    YW_ipc_ism_init();
    setCfg(YW_g_ipc_cfg[0], "bench_ping", 1, 4096, 16);
    setCfg(YW_g_ipc_cfg[1], "bench_pong", 2, 4096, 16);
    setCfg(YW_g_ipc_cfg[2], "bench_stream", 3, 64 * 1024, 256);
    if (YW_createIpc(&YW_g_ipc_cfg[0], &g.ping) || YW_createIpc(&YW_g_ipc_cfg[1], &g.pong) ||
        YW_createIpc(&YW_g_ipc_cfg[2], &g.stream) || !startTask("bench_a", "bench_ipc_task_a") ||
        !startTask("bench_b", "bench_ipc_task_b")) {
        std::fprintf(stderr, "bench_ipc: set-up failed\n");
        return 1;
    }
    while (g.ready.load() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // Floor and figure in turn, so that both see the same load; run 0 of
    // each warms up and is not counted.
    std::vector<double> rawRtt, rawRate, rtt, rate;
    for (int rep = 0; rep <= kReps; rep++) {
        double t = bench::raw_eventfd_roundtrip_ns(kRounds);
        g.step = 2 * rep + 1;
        while (g.doneA.load() < 2 * rep + 1 || g.doneB.load() < 2 * rep + 1)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        double r = raw_oneway_rate(kMessages);
        g.step = 2 * rep + 2;
        while (g.doneA.load() < 2 * rep + 2)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (rep == 0)
            continue;
        rawRtt.push_back(t);
        rawRate.push_back(r);
        rtt.push_back(g.rttNs[rep]);
        rate.push_back(g.rate[rep]);
    }
    double mRawRtt = bench::median(rawRtt), mRawRate = bench::median(rawRate), mRtt = bench::median(rtt),
           mRate = bench::median(rate);
    std::fflush(stdout);
    dup2(out, 1);
    if (g.errors)
        std::printf("bench_ipc: %ld errors\n", g.errors.load());
    bench::figure("ipc_msgq_roundtrip", mRtt, "ns", mRawRtt, bench::slowdown(mRtt, mRawRtt));
    bench::figure("ipc_msgq_oneway_64B", mRate, "msg/s", mRawRate, bench::slowdown(mRawRate, mRate));
    std::fflush(stdout);
    _exit(0);
}
