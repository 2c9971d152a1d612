// The broker's locks under real threads: priority order of waiters, the
// guard's back-off, signals during a wait, and contention on every lock.
#include "corba_env.h"
#include "corba_except.h"
#include "wq_lock.h"
#include "wq_thread.h"
#include "orb/test_alloc.h"
#include "orb/test_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

thread_local int32_t t_prio = 0;
std::atomic<int> g_queued{0};
std::atomic<int> g_passed{0}; // waiters that got through

thread_local bool t_counted = false;
// Set while a thread queues on a lock that is not the one under test.
thread_local bool t_uncounted = false;

// The caller's own priority. Counts each thread once, at its first queueing,
// so that the test knows when a waiter has taken its place.
int32_t test_priority(wq_Thread::tid_t)
{
    if (!t_counted && !t_uncounted) {
        t_counted = true;
        ++g_queued;
    }
    return t_prio;
}

struct PrioritySource {
    PrioritySource()
    {
        g_queued = 0;
        wq_Thread::set_priority_source(test_priority);
    }
    ~PrioritySource() { wq_Thread::set_priority_source(nullptr); }
};

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds limit = 30000ms)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// Starts waiters of priorities 10, 20, 20 one after the other (each queued
// before the next starts), releases them with `release` and returns the order
// in which they got through. `settle`, when given, runs once a waiter has
// counted itself and returns when its place in the queue is final.
std::vector<std::string> run_priority_order(const std::function<void()> &block,
                                            const std::function<void()> &after,
                                            const std::function<void()> &release,
                                            const std::function<void()> &settle = {})
{
    PrioritySource src;
    g_passed = 0;
    wq_Mutex order_lock;
    std::vector<std::string> order;
    std::vector<std::thread> threads;
    struct W {
        int prio;
        char const *name;
    } ws[] = {{10, "10"}, {20, "20a"}, {20, "20b"}};
    int n = 0;
    for (const W &w : ws) {
        threads.emplace_back([&, w] {
            t_prio = w.prio;
            block();
            order_lock.lock();
            order.push_back(w.name);
            order_lock.unlock();
            ++g_passed;
            after();
        });
        ++n;
        EXPECT_TRUE(wait_until([&] { return g_queued.load() >= n; }));
        if (settle)
            settle();
    }
    std::this_thread::sleep_for(2ms);
    release();
    for (auto &t : threads)
        t.join();
    return order;
}

const std::vector<std::string> k_expected{"20a", "20b", "10"};

} // namespace

TEST(OrbLockOrder, MutexWakesByPriorityThenArrival)
{
    wq_Mutex m;
    m.lock();
    auto order = run_priority_order([&] { m.lock(); }, [&] { m.unlock(); }, [&] { m.unlock(); });
    EXPECT_EQ(order, k_expected);
    EXPECT_FALSE(m.is_locked());
}

TEST(OrbLockOrder, CountingSemaphoreWakesByPriority)
{
    wq_CountingSemaphore s(0);
    auto order = run_priority_order([&] { s.wait(); }, [&] { s.signal(); }, [&] { s.signal(); });
    EXPECT_EQ(order, k_expected);
    EXPECT_EQ(s.count(), 1u);
}

TEST(OrbLockOrder, RWMutexWritersByPriority)
{
    wq_RWMutex m;
    m.lock_write();
    auto order =
        run_priority_order([&] { m.lock_write(); }, [&] { m.unlock(); }, [&] { m.unlock(); });
    EXPECT_EQ(order, k_expected);
}

TEST(OrbLockOrder, ConditionsWakeByPriority)
{
    // Only the queueing on the condition counts; a waiter may also queue on
    // the mutex. The mutex is free again only once the waiter has joined the
    // condition's list and let go of it inside wait(), which `settle` waits
    // for, so every waiter is in the list before the next one starts.
    wq_Mutex m;
    wq_CondVar cv(m);
    auto order = run_priority_order(
        [&] {
            t_uncounted = true;
            m.lock();
            t_uncounted = false;
            cv.wait();
            m.unlock();
        },
        [] {},
        [&] {
            for (int i = 0; i < 3; ++i) {
                cv.signal();
                EXPECT_TRUE(wait_until([i] { return g_passed.load() > i; }));
            }
        },
        [&] {
            t_uncounted = true;
            m.lock();
            m.unlock();
            t_uncounted = false;
        });
    EXPECT_EQ(order, k_expected);

    wq_RWMutex rw;
    wq_RWCondVar rcv(rw);
    auto order2 = run_priority_order(
        [&] {
            wq_ThreadEnvironment tenv;
            t_uncounted = true;
            rw.lock_write(tenv);
            t_uncounted = false;
            rcv.wait(tenv);
            rw.unlock(tenv);
        },
        [] {},
        [&] {
            wq_ThreadEnvironment tenv;
            for (int i = 0; i < 3; ++i) {
                rcv.signal(tenv);
                EXPECT_TRUE(wait_until([i] { return g_passed.load() > i; }));
            }
        },
        [&] {
            t_uncounted = true;
            rw.lock_write();
            rw.unlock();
            t_uncounted = false;
        });
    EXPECT_EQ(order2, k_expected);
}

TEST(OrbCountingSemaphore, CountsAndWakeAll)
{
    wq_CountingSemaphore s(0);
    s.signal();
    EXPECT_EQ(s.count(), 1u);
    s.wait(); // returns at once
    s.signal();
    s.signal();
    s.signal();
    s.wait_all();
    EXPECT_EQ(s.count(), 0u);

    // A positive count wakes nobody.
    s.signal();
    s.signal_all_waiters();
    EXPECT_EQ(s.count(), 1u);
    s.wait();

    std::atomic<int> through{0};
    std::vector<std::thread> ts;
    {
        PrioritySource src; // counts the waiters as they queue
        for (int i = 0; i < 4; ++i)
            ts.emplace_back([&] {
                s.wait();
                ++through;
            });
        EXPECT_TRUE(wait_until([] { return g_queued.load() >= 4; }));
    }
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(through, 0);
    s.signal_all_waiters();
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(through, 4);
    EXPECT_EQ(s.count(), 0u);
}

namespace {

// Standard error sent into a pipe for the life of the object, so that a test
// can wait (bounded) for a line that another thread prints.
class StderrPipe {
public:
    StderrPipe()
    {
        std::fflush(stderr);
        if (pipe(fds_) != 0)
            return;
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        saved_ = dup(2);
        dup2(fds_[1], 2);
    }
    ~StderrPipe() { restore(); }
    bool ok() const { return saved_ >= 0; }

    // Reads what has arrived until `text` is in it or `limit` has passed.
    bool wait_for(const std::string &text, std::chrono::milliseconds limit)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (got_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            pollfd p{fds_[0], POLLIN, 0};
            if (poll(&p, 1, 50) > 0)
                drain();
        }
        return true;
    }
    // Puts standard error back and returns everything written meanwhile.
    std::string finish()
    {
        restore();
        return got_;
    }

private:
    void drain()
    {
        char buf[512];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0)
            got_.append(buf, static_cast<std::size_t>(n));
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
        close(fds_[1]);
        drain();
        close(fds_[0]);
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
    std::string got_;
};

} // namespace

TEST(OrbMutex, DeadlockRecoveryFreesOnlyAGuardWhoseHolderHasEnded)
{
    static const wq_BackoffStep fast[] = {{2, wq_BackoffStep::SPIN, 0},
                                          {3, wq_BackoffStep::SLEEP, 1000}};
    const std::string warning =
        "Ulvenor WARNING: wq_Mutex has detected a deadlock. Recovering...\n";
    for (bool holder_ends : {true, false}) {
        SCOPED_TRACE(holder_ends ? "holder ended" : "holder runs");
        wq_Backoff::set_schedule(fast, 2);
        wq_Mutex m;
        // A thread takes the guard and keeps it: it ends so, or it waits.
        std::atomic<bool> let_go{false};
        std::atomic<bool> taken{false};
        std::thread holder([&] {
            m.wq_guard().acquire();
            taken = true;
            if (holder_ends)
                return;
            while (!let_go)
                std::this_thread::sleep_for(1ms);
            m.wq_guard().release();
        });
        while (!taken)
            std::this_thread::sleep_for(1ms);
        if (holder_ends)
            holder.join();
        std::atomic<bool> got{false};
        StderrPipe err;
        ASSERT_TRUE(err.ok());
        std::thread t([&] {
            m.lock();
            got = true;
            m.unlock();
        });
        EXPECT_TRUE(err.wait_for(warning, 10000ms));
        if (holder_ends) {
            // Recovered: the waiter goes on (bounded wait).
            for (int i = 0; i < 1000 && !got; ++i)
                std::this_thread::sleep_for(5ms);
            EXPECT_TRUE(got);
        } else {
            // Two threads are never let into one critical section.
            std::this_thread::sleep_for(50ms);
            EXPECT_FALSE(got);
            let_go = true;
            holder.join();
        }
        t.join();
        std::string text = err.finish();
        wq_Backoff::set_schedule(nullptr, 0);
        EXPECT_TRUE(got);
        // Printed once per wait, not once per pass.
        EXPECT_EQ(text.find("Recovering"), text.rfind("Recovering")) << text;
    }
}

TEST(OrbMutex, AGuardPassedFromHolderToHolderIsNoDeadlock)
{
    // The guard goes from holder to holder without ever being free (its
    // word names a new holder every 50 us) for 300 ms: a waiter's back-off
    // is for one holder that keeps the guard, so it does not warn of a
    // deadlock however many holders it waits behind, and gets the guard
    // once it is free.
    static const wq_BackoffStep steps[] = {{500, wq_BackoffStep::SLEEP, 1000}};
    const std::string warning =
        "Ulvenor WARNING: wq_Mutex has detected a deadlock. Recovering...\n";
    wq_Backoff::set_schedule(steps, 1);
    wq_SpinGuard guard;
    guard.word().store(1000000);
    std::atomic<bool> got{false};
    StderrPipe err;
    ASSERT_TRUE(err.ok());
    std::thread waiter([&] {
        guard.acquire();
        got = true;
        guard.release();
    });
    auto end = std::chrono::steady_clock::now() + 300ms;
    for (uint32_t holder = 1000001; std::chrono::steady_clock::now() < end; ++holder) {
        auto until = std::chrono::steady_clock::now() + 50us;
        while (std::chrono::steady_clock::now() < until) {
        }
        guard.word().store(holder);
    }
    EXPECT_FALSE(got);
    guard.word().store(0);
    waiter.join();
    std::string text = err.finish();
    wq_Backoff::set_schedule(nullptr, 0);
    EXPECT_TRUE(got);
    EXPECT_EQ(text.find(warning), std::string::npos) << text;
}

TEST(OrbMutex, HandOffIsNeverStolenByALaterLocker)
{
    // The queued waiter owns the lock from the unlock on: the unlocker locking
    // again at once (queueing behind it) gets it only
    // after the waiter's turn.
    PrioritySource src;
    wq_Mutex m;
    for (int round = 0; round < 20; ++round) {
        g_queued = 0;
        m.lock();
        std::atomic<bool> waiter_done{false};
        std::thread w([&] {
            t_counted = false;
            m.lock();
            waiter_done = true;
            m.unlock();
        });
        bool queued = wait_until([] { return g_queued.load() >= 1; });
        EXPECT_TRUE(queued) << round;
        m.unlock();
        m.lock();
        if (queued) {
            EXPECT_TRUE(waiter_done) << round;
        }
        m.unlock();
        w.join();
        if (!queued)
            break;
    }
    EXPECT_FALSE(m.is_locked());
}

namespace {
void on_usr1(int) {}
} // namespace

TEST(OrbMutex, SignalsDuringAWaitDoNotAcquire)
{
    struct sigaction sa {};
    sa.sa_handler = on_usr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: sem_wait fails with EINTR
    struct sigaction old {};
    sigaction(SIGUSR1, &sa, &old);

    PrioritySource src;
    wq_Mutex m;
    m.lock();
    std::atomic<bool> got{false};
    std::thread t([&] {
        m.lock();
        got = true;
        m.unlock();
    });
    bool queued = wait_until([] { return g_queued.load() >= 1; });
    EXPECT_TRUE(queued);
    for (int i = 0; queued && i < 20; ++i) {
        pthread_kill(t.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(1ms);
    }
    if (queued) {
        EXPECT_FALSE(got);
    }
    m.unlock();
    t.join();
    EXPECT_TRUE(got);
    EXPECT_FALSE(m.is_locked());
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(OrbRWMutex, ReentrantAndShared)
{
    wq_RWMutex m;
    wq_ThreadEnvironment tenv;
    m.lock_read(tenv);
    m.lock_read(tenv);
    EXPECT_EQ(m.held_depth(tenv), 2u);
    std::atomic<bool> reader_in{false}, writer_in{false};
    std::thread r([&] {
        m.lock_read();
        reader_in = true;
        m.unlock();
    });
    EXPECT_TRUE(wait_until([&] { return reader_in.load(); })); // readers share
    r.join();
    std::thread w([&] {
        m.lock_write();
        writer_in = true;
        m.unlock();
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(writer_in);
    m.unlock(tenv);
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(writer_in); // one level still held
    m.unlock(tenv);
    w.join();
    EXPECT_TRUE(writer_in);
    EXPECT_EQ(m.held_depth(tenv), 0u);
    m.unlock(tenv); // not held: nothing happens
    m.lock_write(tenv);
    m.unlock(tenv);
}

// Neither a refused upgrade nor a grant that cannot be recorded leaves the
// lock taken: a writer from another thread gets it afterwards.
TEST(OrbRWMutex, FailedLockingLeavesNothingHeld)
{
    wq_RWMutex m;
    auto writer_gets_in = [&] {
        std::atomic<bool> in{false};
        std::thread w([&] {
            m.lock_write();
            in = true;
            m.unlock();
        });
        w.join();
        return in.load();
    };
    std::thread reader([&] {
        wq_ThreadEnvironment tenv;
        m.lock_read(tenv);
        m.lock_write(tenv); // a reader cannot upgrade in place
        CORBA::EnvironmentInfo *env = CORBA::EnvironmentInfo::_current();
        EXPECT_NE(CORBA::BAD_INV_ORDER::_downcast(env->exception()), nullptr);
        env->clear();
        EXPECT_EQ(m.held_depth(tenv), 1u);
        m.unlock(tenv);
        EXPECT_EQ(m.held_depth(tenv), 0u);
    });
    reader.join();
    EXPECT_TRUE(writer_gets_in());
    for (int mode = 0; mode < 2; ++mode) {
        std::thread t([&] {
            wq_ThreadEnvironment tenv;      // the record exists before the failure
            test_alloc::fail_after = 0;     // the held-list growth fails
            if (mode)
                EXPECT_THROW(m.lock_write(tenv), std::bad_alloc);
            else
                EXPECT_THROW(m.lock_read(tenv), std::bad_alloc);
            test_alloc::fail_after = -1;
            EXPECT_EQ(m.held_depth(tenv), 0u);
        });
        t.join();
        EXPECT_TRUE(writer_gets_in()) << "mode " << mode;
    }
}

TEST(OrbRWCondVar, NestedHolderReleasesEveryLevelWhileWaiting)
{
    wq_RWMutex m;
    wq_RWCondVar cv(m);
    std::atomic<bool> waiting{false}, done{false};
    std::atomic<uint32_t> depth_after{0};
    bool flag = false;
    std::thread a([&] {
        wq_ThreadEnvironment tenv;
        m.lock_write(tenv);
        m.lock_write(tenv);
        m.lock_read(tenv);
        waiting = true;
        while (!flag)
            cv.wait(tenv);
        depth_after = m.held_depth(tenv);
        m.unlock(tenv);
        m.unlock(tenv);
        m.unlock(tenv);
        done = true;
    });
    EXPECT_TRUE(wait_until([&] { return waiting.load(); }));
    std::this_thread::sleep_for(5ms);
    {
        wq_ThreadEnvironment tenv;
        m.lock_write(tenv); // possible only when every level was released
        flag = true;
        cv.signal(tenv);
        m.unlock(tenv);
    }
    a.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(depth_after, 3u);
    wq_ThreadEnvironment tenv;
    m.lock_write(tenv); // free again
    m.unlock(tenv);
}

TEST(OrbLockStress, MutexSemaphoreRWLockAndConditions)
{
    constexpr int kThreads = 8;
    constexpr int kIters = 3000;

    // Mutex: a plain counter stays exact.
    {
        wq_Mutex m;
        long counter = 0;
        std::vector<std::thread> ts;
        for (int i = 0; i < kThreads; ++i)
            ts.emplace_back([&] {
                for (int k = 0; k < kIters; ++k) {
                    m.lock();
                    ++counter;
                    m.unlock();
                }
            });
        for (auto &t : ts)
            t.join();
        EXPECT_EQ(counter, long(kThreads) * kIters);
        EXPECT_FALSE(m.is_locked());
    }

    // Counting semaphore as a pool of 3.
    {
        wq_CountingSemaphore pool(3);
        std::atomic<int> in_use{0}, peak{0};
        std::vector<std::thread> ts;
        for (int i = 0; i < kThreads; ++i)
            ts.emplace_back([&] {
                for (int k = 0; k < kIters / 2; ++k) {
                    pool.wait();
                    int n = ++in_use;
                    int p = peak.load();
                    while (n > p && !peak.compare_exchange_weak(p, n)) {
                    }
                    --in_use;
                    pool.signal();
                }
            });
        for (auto &t : ts)
            t.join();
        EXPECT_LE(peak, 3);
        EXPECT_EQ(pool.count(), 3u);
    }

    // Reader-writer lock: readers never see a half-done write.
    {
        wq_RWMutex m;
        long a = 0, b = 0;
        std::atomic<int> torn{0};
        std::vector<std::thread> ts;
        for (int i = 0; i < kThreads; ++i)
            ts.emplace_back([&, i] {
                wq_ThreadEnvironment tenv;
                for (int k = 0; k < kIters / 2; ++k) {
                    if (i % 4 == 0) {
                        m.lock_write(tenv);
                        ++a;
                        ++b;
                        m.unlock(tenv);
                    } else {
                        m.lock_read(tenv);
                        m.lock_read(tenv); // re-entered
                        if (a != b)
                            ++torn;
                        m.unlock(tenv);
                        m.unlock(tenv);
                    }
                }
            });
        for (auto &t : ts)
            t.join();
        EXPECT_EQ(torn, 0);
        EXPECT_EQ(a, long(kThreads / 4) * (kIters / 2));
    }

    // Conditions: producers and consumers over a queue, on both kinds.
    constexpr int kItems = 2000;
    {
        wq_Mutex m;
        wq_CondVar cv(m);
        std::deque<int> q;
        long sum = 0;
        int consumed = 0;
        const int total = (kThreads / 2) * kItems;
        std::vector<std::thread> ts;
        for (int i = 0; i < kThreads / 2; ++i)
            ts.emplace_back([&] {
                for (int k = 1; k <= kItems; ++k) {
                    m.lock();
                    q.push_back(k);
                    cv.signal();
                    m.unlock();
                }
            });
        for (int i = 0; i < kThreads / 2; ++i)
            ts.emplace_back([&] {
                for (;;) {
                    m.lock();
                    while (q.empty() && consumed < total)
                        cv.wait();
                    if (q.empty()) {
                        m.unlock();
                        return;
                    }
                    sum += q.front();
                    q.pop_front();
                    if (++consumed == total)
                        cv.broadcast();
                    m.unlock();
                }
            });
        for (auto &t : ts)
            t.join();
        EXPECT_EQ(sum, long(kThreads / 2) * kItems * (kItems + 1) / 2);
    }
    {
        wq_RWMutex m;
        wq_RWCondVar cv(m);
        std::deque<int> q;
        long sum = 0;
        int consumed = 0;
        const int total = (kThreads / 2) * kItems;
        std::vector<std::thread> ts;
        for (int i = 0; i < kThreads / 2; ++i)
            ts.emplace_back([&] {
                wq_ThreadEnvironment tenv;
                for (int k = 1; k <= kItems; ++k) {
                    m.lock_write(tenv);
                    q.push_back(k);
                    cv.signal(tenv);
                    m.unlock(tenv);
                }
            });
        for (int i = 0; i < kThreads / 2; ++i)
            ts.emplace_back([&] {
                wq_ThreadEnvironment tenv;
                for (;;) {
                    m.lock_write(tenv);
                    while (q.empty() && consumed < total)
                        cv.wait(tenv);
                    if (q.empty()) {
                        m.unlock(tenv);
                        return;
                    }
                    sum += q.front();
                    q.pop_front();
                    if (++consumed == total)
                        cv.broadcast(tenv);
                    m.unlock(tenv);
                }
            });
        for (auto &t : ts)
            t.join();
        EXPECT_EQ(sum, long(kThreads / 2) * kItems * (kItems + 1) / 2);
    }
}

namespace {

// Callers of priorities 10, 20, 20 arriving at a held lock while its holder
// lets go. Every step is numbered from one counter: a caller's queueing (from
// the priority source, which the lock asks under its guard as it queues the
// caller), each release (just before it), each acquisition (just after it).
struct Arrival {
    static constexpr int kCallers = 3;
    static constexpr int32_t kPrio[kCallers] = {10, 20, 20};
    std::atomic<long> step{0};
    std::atomic<long> queued_at[kCallers];
    long released_at[kCallers] = {};
    int acquired_by[kCallers] = {};
    int acquisitions = 0;
    std::atomic<int> arrived{0};
    void reset()
    {
        step = 0;
        for (auto &q : queued_at)
            q = 0;
        arrived = 0;
        acquisitions = 0;
    }
};

Arrival g_arrival;
thread_local int t_caller = -1;

int32_t arrival_priority(wq_Thread::tid_t)
{
    if (t_caller < 0)
        return 0;
    long expected = 0;
    g_arrival.queued_at[t_caller].compare_exchange_strong(expected, ++g_arrival.step);
    return Arrival::kPrio[t_caller];
}

// Whether each acquisition went to the first in priority order of the callers
// queued before the release that handed it over (a caller queued after that
// release may come first only with a higher priority); a caller that never
// queued may take the lock only when nobody was queued.
std::string arrival_fault(const Arrival &a)
{
    bool served[Arrival::kCallers] = {};
    for (int k = 0; k < a.acquisitions; ++k) {
        long rel = a.released_at[k];
        int best = -1;
        for (int w = 0; w < Arrival::kCallers; ++w) {
            long q = a.queued_at[w].load();
            if (served[w] || q == 0 || q > rel)
                continue;
            if (best < 0 || Arrival::kPrio[w] > Arrival::kPrio[best] ||
                (Arrival::kPrio[w] == Arrival::kPrio[best] && q < a.queued_at[best].load()))
                best = w;
        }
        int y = a.acquired_by[k];
        long qy = a.queued_at[y].load();
        if (best >= 0 && y != best && !(qy > rel && Arrival::kPrio[y] > Arrival::kPrio[best]))
            return "acquisition " + std::to_string(k) + " went to caller " + std::to_string(y) +
                   " while caller " + std::to_string(best) + " was first in the queue";
        served[y] = true;
    }
    return {};
}

inline void cpu_pause()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

constexpr bool k_sanitized =
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

} // namespace

TEST(OrbLockOrder, CallersArrivingWhileTheHolderReleasesQueueInPriorityOrder)
{
    // The callers arrive one right after the other. The holder lets go once
    // all have queued (the order is then exactly by priority, then arrival),
    // or 1 us after the last one called, while they may still be on their way
    // in: every hand-off must then go to the first of those queued, and a
    // caller that took the lock without queueing may have done so only when
    // nobody was queued.
    struct Lock {
        char const *name;
        std::function<void()> hold, block, release;
    };
    wq_Mutex mtx;
    wq_CountingSemaphore sem(0);
    wq_RWMutex rw;
    const Lock locks[] = {
        {"wq_Mutex", [&] { mtx.lock(); }, [&] { mtx.lock(); }, [&] { mtx.unlock(); }},
        // The count each trial leaves behind is taken first.
        {"wq_CountingSemaphore", [&] { if (sem.count() > 0) sem.wait_all(); }, [&] { sem.wait(); }, [&] { sem.signal(); }},
        {"wq_RWMutex", [&] { rw.lock_write(); }, [&] { rw.lock_write(); }, [&] { rw.unlock(); }},
    };
    struct Row {
        char const *release;
        bool after_all_queued;
        int trials;
    };
    const Row rows[] = {{"once all queued", true, 20}, {"1 us after the last call", false, 200}};
    wq_Thread::set_priority_source(arrival_priority);
    for (const Lock &lk : locks)
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(lk.name) + ", release " + row.release);
            int all_queued = 0;
            for (int trial = 0; trial < row.trials; ++trial) {
                Arrival &a = g_arrival;
                a.reset();
                lk.hold();
                std::atomic<bool> go{false};
                std::vector<std::thread> callers;
                for (int w = 0; w < Arrival::kCallers; ++w)
                    callers.emplace_back([&, w] {
                        // The thread's record is made before it arrives,
                        // not while it queues.
                        (void)wq_ThreadRecord::current();
                        t_caller = w;
                        while (!go.load())
                            std::this_thread::yield();
                        // Right behind the previous caller.
                        while (a.arrived.load() < w)
                            cpu_pause();
                        a.arrived.store(w + 1);
                        lk.block();
                        int k = a.acquisitions++;
                        a.acquired_by[k] = w;
                        if (k + 1 < Arrival::kCallers)
                            a.released_at[k + 1] = ++a.step;
                        lk.release();
                    });
                go = true;
                auto limit = std::chrono::steady_clock::now() + 10s;
                while (a.arrived.load() < Arrival::kCallers && std::chrono::steady_clock::now() < limit)
                    cpu_pause();
                if (row.after_all_queued) {
                    auto queued = [&] {
                        for (auto &q : a.queued_at)
                            if (q.load() == 0)
                                return false;
                        return true;
                    };
                    EXPECT_TRUE(wait_until(queued, 10000ms));
                } else {
                    auto until = std::chrono::steady_clock::now() + 1us;
                    while (std::chrono::steady_clock::now() < until)
                        cpu_pause();
                }
                a.released_at[0] = ++a.step;
                lk.release();
                for (auto &t : callers)
                    t.join();
                ASSERT_EQ(a.acquisitions, Arrival::kCallers);
                std::string fault = arrival_fault(a);
                ASSERT_EQ(fault, "") << "trial " << trial;
                bool before = true;
                for (auto &q : a.queued_at)
                    before = before && q.load() != 0 && q.load() < a.released_at[0];
                if (before) {
                    ++all_queued;
                    // The two of priority 20 in the order they queued, then 10.
                    EXPECT_EQ(a.acquired_by[2], 0) << "trial " << trial;
                    EXPECT_LT(a.queued_at[a.acquired_by[0]].load(), a.queued_at[a.acquired_by[1]].load());
                }
            }
            // The exact order was seen (how often depends on the machine's load).
            EXPECT_GE(all_queued, k_sanitized ? 0 : 1);
        }
    wq_Thread::set_priority_source(nullptr);
    EXPECT_FALSE(mtx.is_locked());
    EXPECT_EQ(sem.count(), 1u);
}
