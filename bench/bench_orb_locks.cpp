// The broker's locks against the standard library's, measured in one run:
// uncontended lock/unlock, a two-thread contended mutex, and a two-thread
// ping-pong hand-off through semaphores.
#include "bench_util.h"
#include "wq_lock.h"
#include "wq_thread.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::ns_per;

void figure(char const *name, double value, char const *unit, double baseline)
{
    bench::figure(name, value, unit, baseline, bench::slowdown(value, baseline), {2, 2, 3});
}

template <class Lock, class L, class U> double uncontended(Lock &m, L lock, U unlock, long n)
{
    auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
        lock(m);
        unlock(m);
    }
    return ns_per(Clock::now() - t0, n);
}

template <class Lock, class L, class U> double contended(Lock &m, L lock, U unlock, long n)
{
    long counter = 0;
    auto body = [&] {
        for (long i = 0; i < n; ++i) {
            lock(m);
            ++counter;
            unlock(m);
        }
    };
    auto t0 = Clock::now();
    std::thread a(body), b(body);
    a.join();
    b.join();
    auto d = Clock::now() - t0;
    if (counter != 2 * n)
        std::fprintf(stderr, "lost updates: %ld of %ld\n", counter, 2 * n);
    return ns_per(d, 2 * n);
}

// One round trip: A signals B, B signals A.
template <class Sem, class W, class S> double ping_pong(Sem &ab, Sem &ba, W wait, S signal, long n)
{
    auto t0 = Clock::now();
    std::thread b([&] {
        for (long i = 0; i < n; ++i) {
            wait(ab);
            signal(ba);
        }
    });
    for (long i = 0; i < n; ++i) {
        signal(ab);
        wait(ba);
    }
    b.join();
    return ns_per(Clock::now() - t0, n);
}

} // namespace

int main()
{
    const long n = 20000000;
    wq_Mutex wm;
    std::mutex sm;
    // Warm both up (thread record, page faults).
    uncontended(wm, [](wq_Mutex &m) { m.lock(); }, [](wq_Mutex &m) { m.unlock(); }, 1000);
    uncontended(sm, [](std::mutex &m) { m.lock(); }, [](std::mutex &m) { m.unlock(); }, 1000);

    double w = uncontended(wm, [](wq_Mutex &m) { m.lock(); }, [](wq_Mutex &m) { m.unlock(); }, n);
    double s = uncontended(sm, [](std::mutex &m) { m.lock(); }, [](std::mutex &m) { m.unlock(); }, n);
    figure("orb_mutex_uncontended_lock_unlock", w, "ns/op", s);

    wq_RWMutex rw;
    wq_ThreadEnvironment tenv;
    double r = uncontended(
        rw, [&](wq_RWMutex &m) { m.lock_write(tenv); }, [&](wq_RWMutex &m) { m.unlock(tenv); },
        n / 4);
    figure("orb_rwmutex_uncontended_write_unlock", r, "ns/op", s);

    // Contended figures swing with scheduling from run to run: the median of
    // several alternating runs of each.
    const long c = 300000;
    std::vector<double> wcs, scs;
    for (int r = 0; r < 7; ++r) {
        wcs.push_back(
            contended(wm, [](wq_Mutex &m) { m.lock(); }, [](wq_Mutex &m) { m.unlock(); }, c));
        scs.push_back(
            contended(sm, [](std::mutex &m) { m.lock(); }, [](std::mutex &m) { m.unlock(); }, c));
    }
    figure("orb_mutex_contended_two_threads", bench::median(wcs), "ns/op", bench::median(scs));

    const long p = 100000;
    wq_CountingSemaphore a1(0), b1(0);
    double wp = ping_pong(
        a1, b1, [](wq_CountingSemaphore &x) { x.wait(); },
        [](wq_CountingSemaphore &x) { x.signal(); }, p);
    std::counting_semaphore<> a2(0), b2(0);
    double sp = ping_pong(
        a2, b2, [](std::counting_semaphore<> &x) { x.acquire(); },
        [](std::counting_semaphore<> &x) { x.release(); }, p);
    figure("orb_semaphore_handoff_round_trip", wp, "ns/round", sp);
    return 0;
}
