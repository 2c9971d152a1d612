// Event round trip between two framework tasks, against a raw floor measured
// in the same run.
//
//   task_event_roundtrip: task "ping" sends an FRW event to task "pong"
//     (YW_sendTaskEvent: queue append and doorbell), "pong" wakes, takes it
//     and sends one back; per round trip. Floor: an eventfd ping-pong of two
//     plain threads.
//
// ratio is value/baseline.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <unistd.h>

#include "bench_util.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

namespace {

using bench::Clock;

constexpr long kRounds = 50000;
constexpr int kReps = 5;

std::atomic<YW_task_id_t> g_pingId{YW_TASK_ID_NONE}, g_pongId{YW_TASK_ID_NONE};
std::atomic<long> g_rounds{0};
std::atomic<double> g_result{-1};

// Takes one FRW event from the calling task's queue, waiting as long as it
// takes.
void take(YW_task_id_t self)
{
    for (;;) {
        YW_event_msg_t *m = nullptr;
        if (YW_recvTaskEvent(self, YW_EVENT_FLAG_FRW, &m) == 0) {
            YW_event_releaseEvent(m);
            return;
        }
        YW_waitTaskEventTime(self, nullptr, 1000000000LL);
    }
}

} // namespace

extern "C" {

void *yw_bench_task_pong(void *)
{
    YW_task_id_t self = YW_getTaskID();
    YW_registerTaskEventFlag(self, YW_EVENT_FLAG_FRW);
    g_pongId = self;
    for (;;) {
        take(self);
        YW_sendTaskEvent(g_pingId.load(), YW_EVENT_FLAG_FRW, 2, nullptr);
    }
    return nullptr;
}

void *yw_bench_task_ping(void *)
{
    YW_task_id_t self = YW_getTaskID();
    YW_registerTaskEventFlag(self, YW_EVENT_FLAG_FRW);
    g_pingId = self;
    while (g_pongId.load() == YW_TASK_ID_NONE)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    long rounds = g_rounds.load();
    auto t0 = Clock::now();
    for (long i = 0; i < rounds; ++i) {
        YW_sendTaskEvent(g_pongId.load(), YW_EVENT_FLAG_FRW, 1, nullptr);
        take(self);
    }
    auto t1 = Clock::now();
    g_result = bench::ns_per(t1 - t0, rounds);
    for (;;)
        YW_waitTaskEventTime(self, nullptr, 1000000000LL); // ends here when stopped
    return nullptr;
}

} // extern "C"

namespace {

YW_task_cfg_t makeCfg(const char *name, const char *entry)
{
    YW_task_cfg_t c{};
    c.name = const_cast<char *>(name);
    c.entry_name = const_cast<char *>(entry);
    c.category = YW_TASK_CAT_APP;
    c.stack_size = 256 * 1024;
    return c;
}

double task_roundtrip_ns(long rounds)
{
    g_pingId = YW_TASK_ID_NONE;
    g_pongId = YW_TASK_ID_NONE;
    g_rounds = rounds;
    g_result = -1;
    YW_task_cfg_t pc = makeCfg("pong", "yw_bench_task_pong");
    YW_task_cfg_t ic = makeCfg("ping", "yw_bench_task_ping");
    YW_task_id_t pong = YW_TASK_ID_NONE, ping = YW_TASK_ID_NONE;
    if (YW_createTask(&pc, &pong) != 0 || YW_startTask(pong, nullptr) != 0)
        return -1;
    while (g_pongId.load() == YW_TASK_ID_NONE)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (YW_createTask(&ic, &ping) != 0 || YW_startTask(ping, nullptr) != 0)
        return -1;
    while (g_result.load() < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double r = g_result.load();
    YW_stopTask(ping);
    YW_stopTask(pong);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return r;
}

} // namespace

int main()
{
    // The task service's lines go to a file nobody reads: only figures on
    // standard output.
    int figures = dup(STDOUT_FILENO);
    if (figures < 0 || !std::freopen("/dev/null", "w", stdout))
        return 1;
    YW_log_init();
    YW_registerLog("stdout", &YW_g_log_stdout);
    YW_task_tsm_init();

    double best = 1e18, floor = 1e18;
    for (int i = 0; i < kReps; ++i) {
        double t = task_roundtrip_ns(kRounds);
        if (t < 0) {
            std::fprintf(stderr, "task round trip failed\n");
            return 1;
        }
        best = std::min(best, t);
        floor = std::min(floor, bench::raw_eventfd_roundtrip_ns(kRounds));
    }
    std::string line =
        bench::figure_line("task_event_roundtrip", best, "ns", floor, bench::slowdown(best, floor));
    if (write(figures, line.data(), line.size()) != (ssize_t)line.size())
        return 1;
    return 0;
}
