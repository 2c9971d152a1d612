// Many clients of large echoes against the broker's server and omniORB's:
// `clients` connections (default 256) each echo `echo_octets` of a size
// drawn from 4 KiB to 1 MiB, one call after another, for a few seconds. The
// worst call, the 99.9th percentile and the calls answered, ours beside
// omniORB's (orb_many_large_echoes_*_vs_omniorb); each server started
// afresh for every round, rounds in turn (BENCH_ORB_RUNS, default 3;
// BENCH_ORB_MANY_S seconds each, default 10; BENCH_ORB_MANY_CLIENTS).
// Included by bench_orb.cpp after its helpers.
#pragma once

#include <random>
#include <sys/uio.h>

namespace {

struct ManyEchoes {
    std::vector<double> ms; // every answered call
    long failed = 0;
    bool ok = false;
};

// Reads one whole GIOP message into `buf` (grown as needed); false on
// close, time-out or a message over 64 MiB.
bool read_message_into(int fd, std::vector<char> &buf)
{
    unsigned char h[12];
    if (!full(fd, h, 12, true))
        return false;
    uint32_t size = (h[6] & 1) ? uint32_t(h[8] | h[9] << 8 | h[10] << 16 | h[11] << 24)
                               : uint32_t(h[8] << 24 | h[9] << 16 | h[10] << 8 | h[11]);
    if (size > (64u << 20))
        return false;
    if (buf.size() < size)
        buf.resize(size);
    return full(fd, buf.data(), size, true);
}

ManyEchoes many_echoes_round(bench::ServerProc const &srv, int clients, double seconds)
{
    ManyEchoes res;
    uint16_t port = 0;
    std::vector<uint8_t> key;
    if (!bench::ior_profile(srv.ior, port, key))
        return res;
    constexpr uint32_t kLow = 4096, kHigh = 1u << 20;
    // One payload shared by every client; each request's header is its own.
    static const std::vector<uint8_t> payload(kHigh, 0x5A);
    std::atomic<bool> stop{false};
    std::atomic<long> failed{0};
    std::mutex lock;
    std::vector<std::thread> ts;
    for (int t = 0; t < clients; ++t)
        ts.emplace_back([&, t] {
            std::mt19937 rng(uint32_t(t) * 7919u + 1);
            std::uniform_int_distribution<uint32_t> size(kLow, kHigh);
            std::vector<double> mine;
            std::vector<char> buf;
            int fd = tcp_connect_within(port, 10000);
            for (uint32_t id = 1; fd >= 0 && !stop.load(); ++id) {
                uint32_t n = size(rng);
                std::vector<uint8_t> head = giop_echo_octets(id, key, 0);
                uint32_t body = uint32_t(head.size() - 12) + n;
                for (int i = 0; i < 4; ++i) {
                    head[8 + i] = uint8_t(body >> (8 * (3 - i)));
                    head[head.size() - 4 + i] = uint8_t(n >> (8 * (3 - i)));
                }
                auto t0 = bench::Clock::now();
                iovec iov[2] = {{head.data(), head.size()}, {const_cast<uint8_t *>(payload.data()), n}};
                size_t want = head.size() + n, sent = 0;
                while (sent < want) {
                    ssize_t w = writev(fd, iov, 2);
                    if (w <= 0)
                        break;
                    sent += size_t(w);
                    for (iovec &v : iov) {
                        size_t k = std::min(v.iov_len, size_t(w));
                        v.iov_base = static_cast<char *>(v.iov_base) + k;
                        v.iov_len -= k;
                        w -= ssize_t(k);
                    }
                }
                if (sent < want || !read_message_into(fd, buf)) {
                    ++failed;
                    close(fd);
                    fd = stop.load() ? -1 : tcp_connect_within(port, 10000);
                    continue;
                }
                mine.push_back(us_since(t0) / 1000.0);
            }
            if (fd >= 0)
                close(fd);
            std::lock_guard<std::mutex> g(lock);
            res.ms.insert(res.ms.end(), mine.begin(), mine.end());
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : ts)
        t.join();
    res.failed = failed.load();
    res.ok = !res.ms.empty();
    return res;
}

bool many_large_echoes_against_peer()
{
    if (!bench::bin_exists("omni_echo_server")) {
        std::fprintf(stderr, "bench_orb: omni_echo_server not built: many large echoes skipped\n");
        return true;
    }
    std::signal(SIGPIPE, SIG_IGN);
    long runs = bench::env_count("BENCH_ORB_RUNS", 3);
    long clients = bench::env_count("BENCH_ORB_MANY_CLIENTS", 256);
    double seconds = double(bench::env_count("BENCH_ORB_MANY_S", 10));
    std::vector<double> worst[2], p999[2], calls[2];
    bool ok = true;
    for (long r = 0; r < runs && ok; ++r)
        for (int j = 0; j < 2 && ok; ++j) {
            int k = r % 2 ? 1 - j : j;
            bench::ServerProc srv =
                k ? bench::start_peer_server({"-ORBgiopMaxMsgSize", "67108864"}) : bench::start_orb_server();
            ok = bool(srv);
            ManyEchoes e = ok ? many_echoes_round(srv, int(clients), seconds) : ManyEchoes{};
            bench::stop_server(srv);
            ok = ok && e.ok;
            if (!ok)
                break;
            double w = *std::max_element(e.ms.begin(), e.ms.end()), p = percentile(e.ms, 0.999);
            std::fprintf(stderr,
                         "bench_orb: %ld clients of 4 KiB-1 MiB echoes (%s): %zu calls, median %.1f ms, p99.9 %.1f ms, "
                         "worst %.1f ms, %ld failed\n",
                         clients, k ? "omniORB" : "broker", e.ms.size(), bench::median(e.ms), p, w, e.failed);
            worst[k].push_back(w);
            p999[k].push_back(p);
            calls[k].push_back(double(e.ms.size()));
        }
    if (!ok) {
        std::fprintf(stderr, "bench_orb: a server of the many large echoes failed\n");
        return false;
    }
    double wo = bench::median(worst[0]), wp = bench::median(worst[1]);
    double po = bench::median(p999[0]), pp = bench::median(p999[1]);
    double co = bench::median(calls[0]), cp = bench::median(calls[1]);
    bench::figure("orb_many_large_echoes_worst_ms_vs_omniorb", wo, "ms", wp, wo / wp, {1, 1, 2});
    bench::figure("orb_many_large_echoes_p999_ms_vs_omniorb", po, "ms", pp, po / pp, {1, 1, 2});
    // Calls answered: omniORB's over ours, so that below 1 is better as for
    // the others.
    bench::figure("orb_many_large_echoes_calls_vs_omniorb", co, "count", cp, co > 0 ? cp / co : 0, {0, 0, 2});
    return true;
}

} // namespace
