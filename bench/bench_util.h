// Pieces every bench program shares: the clock, medians, CPU pinning, the raw
// eventfd ping-pong floor and the one line each figure ends in:
//   figure <name> <value> <unit> baseline <value> ratio <value>
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

// Nanoseconds per operation for n operations that took d.
inline double ns_per(Clock::duration d, long n)
{
    return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(n);
}

// Median of the values (the mean of the middle two for an even count), 0 for none.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// value/baseline: how many times slower a time is than its floor.
inline double slowdown(double value, double baseline)
{
    return baseline > 0 ? value / baseline : 0.0;
}

// Keeps the calling thread on one CPU (1 + which, modulo the count), so that a
// figure and its floor run their two parties on the same two CPUs.
// With a process id, that process (its threads made later follow it).
inline void pin_cpu(int which, pid_t pid = 0)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET((int)((1 + which) % n), &set);
    sched_setaffinity(pid, sizeof(set), &set);
}

// Blocks until the eventfd has been rung, and takes the count.
inline void efd_wait(int fd)
{
    struct pollfd p{fd, POLLIN, 0};
    for (;;) {
        if (poll(&p, 1, -1) > 0) {
            uint64_t v;
            if (read(fd, &v, sizeof(v)) == (ssize_t)sizeof(v))
                return;
        }
    }
}

inline void efd_ring(int fd)
{
    uint64_t one = 1;
    if (write(fd, &one, sizeof(one)) != (ssize_t)sizeof(one))
        std::abort();
}

// The raw floor of a wake-up round trip: two plain threads bouncing one ring
// over two eventfds. Nanoseconds per round trip. With `pinned`, the calling
// thread stays on CPU pin 0 and the other on pin 1 (see pin_cpu).
inline double raw_eventfd_roundtrip_ns(long rounds, bool pinned = false)
{
    int a = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int b = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (a < 0 || b < 0) {
        std::perror("eventfd");
        std::exit(1);
    }
    std::thread pong([&] {
        if (pinned)
            pin_cpu(1);
        for (long i = 0; i < rounds; ++i) {
            efd_wait(b);
            efd_ring(a);
        }
    });
    if (pinned)
        pin_cpu(0);
    auto t0 = Clock::now();
    for (long i = 0; i < rounds; ++i) {
        efd_ring(b);
        efd_wait(a);
    }
    auto t1 = Clock::now();
    pong.join();
    close(a);
    close(b);
    return ns_per(t1 - t0, rounds);
}

// Decimal places of the value, the baseline and the ratio on a figure line.
struct Digits {
    int value = 0;
    int baseline = 0;
    int ratio = 2;
};

// The figure line, newline included.
inline std::string figure_line(const char *name, double value, const char *unit, double baseline, double ratio,
                               Digits d = {})
{
    char buf[256];
    int n = std::snprintf(buf, sizeof(buf), "figure %s %.*f %s baseline %.*f ratio %.*f\n", name, d.value, value,
                          unit, d.baseline, baseline, d.ratio, ratio);
    if (n < 0)
        return {};
    if ((size_t)n >= sizeof(buf)) { // a long name: format again at full size
        std::string s((size_t)n + 1, '\0');
        std::snprintf(s.data(), s.size(), "figure %s %.*f %s baseline %.*f ratio %.*f\n", name, d.value, value, unit,
                      d.baseline, baseline, d.ratio, ratio);
        s.resize((size_t)n);
        return s;
    }
    return std::string(buf, (size_t)n);
}

// Prints the figure line on standard output.
inline void figure(const char *name, double value, const char *unit, double baseline, double ratio, Digits d = {})
{
    std::fputs(figure_line(name, value, unit, baseline, ratio, d).c_str(), stdout);
}

} // namespace bench
