// Shared-memory/DMA transport between two processes (compute elements 1 and
// 2), sending on the sender's own thread and receiving through the 50 us
// poll: one-way latency of a small message (median and p99) and throughput of
// 64 KiB frames with flow control, each beside a raw single-producer ring in
// shared memory between the same two processes; the raw ring's throughput is
// set beside plain memcpy bandwidth. All in one run.
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "bench_util.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "ipc/yw_ipc_kwt_srio.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

namespace {

constexpr int kLatMessages = 3000;
constexpr long kLatGapNs = 137000; // between latency messages: off the 50 us grid
constexpr size_t kFrame = 64 * 1024;
constexpr int kBulkFrames = 1024; // 64 MiB a repetition
constexpr int kReps = 5;          // bulk figures: median of these, in turn with the raw ring
constexpr int kRawSlots = 16;

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000LL + t.tv_nsec;
}

// The raw ring: one producer, one consumer, slots of a whole frame.
struct RawRing {
    alignas(64) std::atomic<uint64_t> head; // filled by the producer
    alignas(64) std::atomic<uint64_t> tail; // emptied by the consumer
    alignas(64) uint64_t len[kRawSlots];
    alignas(64) uint8_t slot[kRawSlots][kFrame];
};

// Shared between the two processes (an anonymous shared mapping made before
// the fork): phases, results, and the raw ring.
struct Shared {
    std::atomic<int> phase;
    std::atomic<int> ready;
    std::atomic<long> errors;
    int64_t lat[kLatMessages];
    int64_t bulkStart[kReps], bulkEnd[kReps];
    int64_t rawStart[kReps], rawEnd[kReps];
    std::atomic<int> bulkDone, rawDone;
    int64_t rawLat[kLatMessages];
    RawRing ring;
};
Shared *g;

void waitPhase(int p)
{
    while (g->phase.load() < p)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

YW_ipc_id_t g_lat = YW_IPC_INVALID_ID, g_bulk = YW_IPC_INVALID_ID;

void drainEvents(YW_task_id_t tid, YW_int64_t ns)
{
    YW_event_flag_t f = 0;
    YW_waitTaskEventTime(tid, &f, ns);
    YW_event_msg_t *m = nullptr;
    while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0)
        YW_event_releaseEvent(m);
}

bool retryable(YW_size_t r)
{
    return r == YW_ERR_IPC_NO_TX_BD || r == YW_ERR_FIFO_NULL || r == YW_ERR_IPC_KWT_SRIO_RX_BUSY ||
           r == YW_ERR_IPC_BUSY || r == YW_ERR_IPC_NOT_READY;
}

void sendAll(YW_task_id_t tid, YW_ipc_id_t ch, void *p, YW_size_t n, bool stamp = false)
{
    for (;;) {
        if (stamp) // the time of the send that goes through
            static_cast<int64_t *>(p)[0] = nowNs();
        YW_size_t r = YW_sendIpc(ch, p, n);
        if (r == n)
            return;
        if (!retryable(r)) {
            g->errors++;
            return;
        }
        drainEvents(tid, 20000LL);
    }
}

void rawProduce(const void *src, size_t n)
{
    RawRing &r = g->ring;
    uint64_t h = r.head.load(std::memory_order_relaxed);
    while (h - r.tail.load(std::memory_order_acquire) >= kRawSlots) {
    }
    std::memcpy(r.slot[h % kRawSlots], src, n);
    r.len[h % kRawSlots] = n;
    r.head.store(h + 1, std::memory_order_release);
}

size_t rawConsume(void *dst)
{
    RawRing &r = g->ring;
    uint64_t t = r.tail.load(std::memory_order_relaxed);
    while (r.head.load(std::memory_order_acquire) == t) {
    }
    size_t n = r.len[t % kRawSlots];
    std::memcpy(dst, r.slot[t % kRawSlots], n);
    r.tail.store(t + 1, std::memory_order_release);
    return n;
}

} // namespace

extern "C" {

__attribute__((used)) void *bench_shm_sender(void *)
{
    YW_task_id_t tid = YW_getTaskID();
    prctl(PR_SET_TIMERSLACK, 1000UL);
    YW_registerTaskEventFlag(tid, YW_EVENT_FLAG_IPC);
    if (YW_openIpc(1, YW_IPC_FLAGS_TX, nullptr) || YW_openIpc(3, YW_IPC_FLAGS_TX, nullptr))
        g->errors++;
    std::vector<uint8_t> frame(kFrame, 0x5a);
    // Latency: one message at a time, each stamped when it is sent; the
    // first is sent until the handshake let it through.
    waitPhase(1);
    for (int i = 0; i < kLatMessages; i++) {
        int64_t msg[2] = {0, i};
        sendAll(tid, g_lat, msg, sizeof msg, true);
        std::this_thread::sleep_for(std::chrono::nanoseconds(kLatGapNs));
    }
    // Throughput: frames as fast as the channel takes them.
    for (int rep = 0; rep < kReps; rep++) {
        waitPhase(10 + 2 * rep);
        g->bulkStart[rep] = nowNs();
        for (int i = 0; i < kBulkFrames; i++) {
            frame[0] = (uint8_t)i;
            sendAll(tid, g_bulk, frame.data(), (YW_size_t)kFrame);
        }
    }
    return nullptr;
}

__attribute__((used)) void *bench_shm_receiver(void *)
{
    YW_task_id_t tid = YW_getTaskID();
    prctl(PR_SET_TIMERSLACK, 1000UL);
    YW_registerTaskEventFlag(tid, YW_EVENT_FLAG_IPC);
    if (YW_openIpc(2, YW_IPC_FLAGS_RX, nullptr) || YW_openIpc(4, YW_IPC_FLAGS_RX, nullptr))
        g->errors++;
    g->ready++;
    std::vector<uint8_t> buf(kFrame + 64);
    int got = 0;
    while (got < kLatMessages) {
        drainEvents(tid, 1000000000LL);
        int64_t msg[2];
        while (YW_recvIpc(g_lat, msg, sizeof msg) == (YW_size_t)sizeof msg) {
            int64_t t = nowNs();
            if (msg[1] >= 0 && msg[1] < kLatMessages)
                g->lat[msg[1]] = t - msg[0];
            got++;
        }
    }
    for (int rep = 0; rep < kReps; rep++) {
        got = 0;
        while (got < kBulkFrames) {
            drainEvents(tid, 1000000000LL);
            YW_size_t n;
            while (got < kBulkFrames && (n = YW_recvIpc(g_bulk, buf.data(), (YW_size_t)buf.size())) >= 0) {
                if (n != (YW_size_t)kFrame || buf[0] != (uint8_t)got)
                    g->errors++;
                got++;
            }
        }
        g->bulkEnd[rep] = nowNs();
        g->bulkDone++;
    }
    return nullptr;
}

} // extern "C"

namespace {

void setCfg(YW_ipc_cfg_t &c, const char *name, YW_uint32_t flags, YW_uint32_t iap, int lport, int rceid, int rport,
            YW_int64_t size, YW_int64_t frame)
{
    std::memset(&c, 0, sizeof(c));
    c.name = const_cast<char *>(name);
    c.interfaceType = YW_IPC_INTF_KWT_SRIO;
    c.transportType = YW_IPC_TRANSPORT_SMB;
    c.flags = flags | YW_IPC_FLAGS_FRAMED | YW_IPC_FLAGS_FLOWCTRL;
    c.iap = iap;
    YW_ipc_side_cfg_t &s = (flags & YW_IPC_FLAGS_TX) ? c.tx : c.rx;
    s.buffer_size = size;
    s.max_descriptors = 64;
    s.frame_size = frame;
    c.address.local.srio = {(int)(YW_int32_t)ce_getid(), lport};
    c.address.remote.srio = {rceid, rport};
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

// One end of the two channels (latency: ports 1 -> 2, bulk: 3 -> 4).
bool bringUp(bool sender)
{
    setenv("ZV_ceid", sender ? "1" : "2", 1);
    YW_log_init();
    YW_task_tsm_init();
    YW_ipc_ism_init();
    const YW_uint32_t side = sender ? YW_IPC_FLAGS_TX : YW_IPC_FLAGS_RX;
    const int other = sender ? 2 : 1;
    // Both channels: the sender transfers on its own thread (DIRECT); the
    // receiving end is polled by SRIO_RX every 50 us and told by events.
    setCfg(YW_g_ipc_cfg[0], "bench_lat", side | (sender ? YW_IPC_FLAGS_DIRECT : 0), sender ? 1 : 2, sender ? 1 : 2, other, sender ? 2 : 1, 65536, 1024);
    setCfg(YW_g_ipc_cfg[1], "bench_bulk", side | (sender ? YW_IPC_FLAGS_DIRECT : 0), sender ? 3 : 4, sender ? 3 : 4, other, sender ? 4 : 3,
           4 * 1024 * 1024, (YW_int64_t)kFrame + 64);
    if (YW_createIpc(&YW_g_ipc_cfg[0], &g_lat) || YW_createIpc(&YW_g_ipc_cfg[1], &g_bulk))
        return false;
    YW_ipc_kwt_srio_start();
    return startTask(sender ? "bench_tx" : "bench_rx", sender ? "bench_shm_sender" : "bench_shm_receiver");
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
}

double memcpyGBs()
{
    std::vector<uint8_t> a(kFrame * kRawSlots, 1), b(kFrame * kRawSlots);
    auto t0 = bench::Clock::now();
    for (int i = 0; i < kBulkFrames; i++)
        std::memcpy(b.data() + (i % kRawSlots) * kFrame, a.data() + ((i * 7) % kRawSlots) * kFrame, kFrame);
    double s = std::chrono::duration<double>(bench::Clock::now() - t0).count();
    return (double)kFrame * kBulkFrames / s / 1e9;
}

} // namespace

// A two-ce node (examples/two-ce) of the given compute element, its output
// in a file of dir; its process id, or -1.
pid_t startNode(const std::string &dir, int ceid, const std::string &cluster)
{
    std::string src = std::string(TURV_SOURCE_DIR) + "/examples/two-ce/ce" + std::to_string(ceid) + "/";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (const char *f : {"turv_sys_cfg.xml", "turv_app_cfg.xml"})
        std::filesystem::copy_file(src + f, dir + "/" + f, std::filesystem::copy_options::overwrite_existing, ec);
    std::string bin = std::string(TURV_BIN_DIR) + "/turv_node";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setenv("ZV_ceid", std::to_string(ceid).c_str(), 1);
        setenv("ZV_cluster", cluster.c_str(), 1);
        unsetenv("TURV_SHM_COUNT"); // the example's pace: one message a second
        FILE *o = std::freopen((dir + "/out.log").c_str(), "w", stdout);
        if (!o || chdir(dir.c_str()) != 0)
            _exit(127);
        execl(bin.c_str(), bin.c_str(), "-C", ".", "-f", "turv_sys_cfg.xml", "-a", "turv_app_cfg.xml", (char *)nullptr);
        _exit(127);
    }
    return pid;
}

// Whether the file holds the text, looked at for up to the given time.
bool waitText(const std::string &file, const std::string &text, int seconds)
{
    for (int i = 0; i < seconds * 20; i++) {
        std::FILE *f = std::fopen(file.c_str(), "r");
        std::string all;
        if (f) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                all.append(buf, n);
            std::fclose(f);
        }
        if (all.find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Share of a core (percent) a process used over the given time.
double corePercent(pid_t pid, int seconds)
{
    auto ticks = [pid] {
        std::FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        char buf[1024] = "";
        size_t n = f ? std::fread(buf, 1, sizeof buf - 1, f) : 0;
        if (f)
            std::fclose(f);
        buf[n] = '\0';
        const char *p = std::strrchr(buf, ')');
        long long ut = 0, st = 0;
        // after the name: state, then fields 4 to 13, then utime and stime
        if (p)
            std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &ut, &st);
        return ut + st;
    };
    long long t0 = ticks();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 100.0 * (double)(ticks() - t0) / (double)sysconf(_SC_CLK_TCK) / seconds;
}

// Two linked two-ce nodes at the example's pace: the share of a core of
// node 1 while its peer runs (the baseline), then after the peer was killed.
// -1 when the nodes did not link.
double idleDeadPeer(double *linked)
{
    std::string cluster = "benchidle" + std::to_string(getpid());
    std::string root = (std::filesystem::temp_directory_path() / cluster).string();
    pid_t a = startNode(root + "/ce1", 1, cluster), b = startNode(root + "/ce2", 2, cluster);
    double dead = -1;
    *linked = -1;
    if (a > 0 && b > 0 && waitText(root + "/ce1/out.log", "ipc ce1_to_ce2 synced", 60) &&
        waitText(root + "/ce1/out.log", "ipc ce2_to_ce1 synced", 60)) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        *linked = corePercent(a, 5);
        kill(b, SIGKILL);
        waitpid(b, nullptr, 0);
        b = -1;
        // Its link goes down within a second or two (no acknowledgement,
        // then no answer to the handshake).
        std::this_thread::sleep_for(std::chrono::seconds(4));
        dead = corePercent(a, 5);
    }
    for (pid_t p : {a, b})
        if (p > 0) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    std::error_code ec;
    std::vector<std::filesystem::path> areas;
    for (auto &e : std::filesystem::directory_iterator("/dev/shm", ec))
        if (e.path().filename().string().rfind("zv_" + cluster + "_", 0) == 0)
            areas.push_back(e.path());
    for (auto &p : areas)
        std::filesystem::remove(p, ec);
    std::filesystem::remove_all(root, ec);
    return dead;
}

int main()
{
    std::fflush(stdout);
    int out = dup(1);
    dup2(2, 1);
    std::string cluster = "bench" + std::to_string(getpid());
    setenv("ZV_cluster", cluster.c_str(), 1);
    g = static_cast<Shared *>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (g == MAP_FAILED)
        return 1;
    pid_t child = fork();
    if (child == 0) {
        // Receiving end: the transport's task, and the raw ring's consumer.
        if (!bringUp(false)) {
            g->errors += 1000;
            _exit(1);
        }
        waitPhase(3);
        std::vector<uint8_t> buf(kFrame);
        for (int i = 0; i < kLatMessages; i++) {
            rawConsume(buf.data());
            int64_t m[2];
            std::memcpy(m, buf.data(), sizeof m);
            g->rawLat[i] = nowNs() - m[0];
        }
        for (int rep = 0; rep < kReps; rep++) {
            waitPhase(11 + 2 * rep);
            for (int i = 0; i < kBulkFrames; i++)
                rawConsume(buf.data());
            g->rawEnd[rep] = nowNs();
            g->rawDone++;
        }
        _exit(0);
    }
    bool ok = bringUp(true);
    while (ok && g->ready.load() < 1 && g->errors.load() < 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g->phase = 1;
    auto alive = [&] { return ok && g->errors.load() < 1000; };
    while (alive() && g->lat[kLatMessages - 1] == 0) // the last latency message
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The raw ring between the same two processes: latency first.
    g->phase = 3;
    std::vector<uint8_t> frame(kFrame, 0x5a);
    for (int i = 0; i < kLatMessages; i++) {
        int64_t m[2] = {nowNs(), i};
        rawProduce(m, sizeof m);
        std::this_thread::sleep_for(std::chrono::nanoseconds(kLatGapNs));
    }
    // Frames: the transport and the raw ring in turn, so both see the same load.
    for (int rep = 0; rep < kReps && alive(); rep++) {
        g->phase = 10 + 2 * rep;
        while (alive() && g->bulkDone.load() <= rep)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        g->phase = 11 + 2 * rep;
        g->rawStart[rep] = nowNs();
        for (int i = 0; i < kBulkFrames; i++)
            rawProduce(frame.data(), kFrame);
        while (g->rawDone.load() <= rep)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    int st = 0;
    waitpid(child, &st, 0);
    double mem = memcpyGBs();

    std::vector<double> lat, rawLat;
    for (int i = 0; i < kLatMessages; i++) {
        lat.push_back((double)g->lat[i] / 1000.0);
        rawLat.push_back((double)g->rawLat[i] / 1000.0);
    }
    const double bytes = (double)kFrame * kBulkFrames;
    std::vector<double> rates, rawRates;
    for (int rep = 0; rep < kReps; rep++) {
        rates.push_back(bytes / (double)(g->bulkEnd[rep] - g->bulkStart[rep]));
        rawRates.push_back(bytes / (double)(g->rawEnd[rep] - g->rawStart[rep]));
    }
    double gbs = bench::median(rates), rawGbs = bench::median(rawRates);
    double med = bench::median(lat), p99 = percentile(lat, 0.99);
    double rawMed = bench::median(rawLat), rawP99 = percentile(rawLat, 0.99);

    std::error_code ec;
    std::vector<std::filesystem::path> areas;
    for (auto &e : std::filesystem::directory_iterator("/dev/shm", ec))
        if (e.path().filename().string().rfind("zv_" + cluster + "_", 0) == 0)
            areas.push_back(e.path());
    for (auto &p : areas)
        std::filesystem::remove(p, ec);
    std::fflush(stdout);
    dup2(out, 1);
    if (!ok || g->errors.load())
        std::printf("bench_shm: %ld errors\n", g->errors.load());
    bench::Digits d{1, 2, 1};
    bench::figure("shm_oneway_latency_median", med, "us", rawMed, bench::slowdown(med, rawMed), d);
    bench::figure("shm_oneway_latency_p99", p99, "us", rawP99, bench::slowdown(p99, rawP99), d);
    bench::Digits g2{2, 2, 2};
    bench::figure("shm_throughput_64KiB", gbs, "GB/s", rawGbs, rawGbs > 0 ? gbs / rawGbs : 0, g2);
    bench::figure("shm_raw_ring_64KiB", rawGbs, "GB/s", mem, mem > 0 ? rawGbs / mem : 0, g2);
    std::fflush(stdout);
    // The node whose peer is gone, beside the same node linked to a live peer.
    dup2(2, 1);
    double linked = 0;
    double dead = idleDeadPeer(&linked);
    std::fflush(stdout);
    dup2(out, 1);
    if (dead < 0)
        std::printf("bench_shm: the two-ce nodes did not link\n");
    bench::figure("idle_dead_peer_cpu", dead, "%core", linked, linked > 0 ? dead / linked : 0, bench::Digits{2, 2, 3});
    std::fflush(stdout);
    _exit(0);
}
