// Threads cancelled at random moments while they run the broker's lock and
// memory-block paths (mutex, reader-writer lock, the free lists' lock, with a
// back-off that sleeps after a few passes): a cancel is acted on only at the
// workers' own cancellation points, never inside an unlock, a back-off sleep
// or a destructor, so the process lives on, and afterwards every lock can be
// taken and every free list used.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "common/yw_test_sanitizer.h"
#include "wq_lock.h"
#include "wq_memblock.h"
#include "wq_thread.h"

namespace {

using namespace std::chrono_literals;

wq_Mutex g_mutex;
wq_RWMutex g_rw;
std::atomic<long> g_rounds{0};
std::atomic<int> g_started{0};

// One pass of each path; the holders' destructors unlock.
void onePass(unsigned kind)
{
    wq_ThreadEnvironment tenv;
    switch (kind % 4) {
    case 0: {
        wq_MemoryBlock *b = wq_MemoryBlock::alloc(kind & 4 ? 65536 : 4096);
        wq_MemoryBlock::release(b);
        break;
    }
    case 1: {
        wq_MutexLock g(g_mutex);
        wq_MemoryBlock *b = wq_MemoryBlock::alloc(4096);
        wq_MemoryBlock::release(b);
        break;
    }
    case 2: {
        wq_WriteLock w(g_rw, tenv);
        wq_ReadLock r(g_rw, tenv); // a nested level of the same lock
        break;
    }
    default: {
        wq_ReadLock r(g_rw, tenv);
        break;
    }
    }
}

void *worker(void *arg)
{
    const unsigned seed = static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg));
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    g_started++;
    for (unsigned i = seed;; ++i) {
        onePass(i * 2654435761u >> 7);
        g_rounds++;
        pthread_testcancel(); // the worker's own place to end
    }
    return nullptr;
}

// Runs fn on a thread of its own; a lock left taken hangs it, and the
// process ends then with a line naming what hung.
void mustEndWithin(const std::function<void()> &fn, const char *what)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([fn, done] {
        fn();
        *done = true;
    });
    auto end = std::chrono::steady_clock::now() + 20s;
    while (!done->load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    if (!done->load()) {
        std::fprintf(stderr, "%s did not end: a lock stayed taken\n", what);
        std::fflush(stderr);
        _exit(1);
    }
    t.join();
}

TEST(OrbLockCancel, CancelsAtRandomMomentsLeaveEveryLockFree)
{
    // Sleeps after four passes, so that unlocks under contention sleep.
    static const wq_BackoffStep steps[] = {{2, wq_BackoffStep::SPIN, 0},
                                           {4, wq_BackoffStep::YIELD, 0},
                                           {1000000, wq_BackoffStep::SLEEP, 20}};
    wq_Backoff::set_schedule(steps, 3);
    constexpr int kThreads = 12;
    constexpr int kCancels = 2000;
    std::mt19937 rng(12345);
    std::vector<pthread_t> threads(kThreads);
    unsigned seed = 1;
    auto start = [&](int i) {
        ASSERT_EQ(pthread_create(&threads[i], nullptr, worker, reinterpret_cast<void *>(uintptr_t(seed++))), 0);
    };
    for (int i = 0; i < kThreads; ++i)
        start(i);
    int cancelled = 0;
    for (int c = 0; c < kCancels; ++c) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
        const int i = static_cast<int>(rng() % kThreads);
        ASSERT_EQ(pthread_cancel(threads[i]), 0);
        void *res = nullptr;
        ASSERT_EQ(pthread_join(threads[i], &res), 0);
        cancelled += res == PTHREAD_CANCELED;
        start(i);
    }
    for (pthread_t t : threads) {
        pthread_cancel(t);
        void *res = nullptr;
        pthread_join(t, &res);
        cancelled += res == PTHREAD_CANCELED;
    }
    wq_Backoff::set_schedule(nullptr, 0);
    EXPECT_EQ(cancelled, kCancels + kThreads);
    EXPECT_GT(g_rounds.load(), 0);

    mustEndWithin(
        [] {
            wq_ThreadEnvironment tenv;
            g_mutex.lock();
            g_mutex.unlock();
            g_rw.lock_write(tenv);
            EXPECT_EQ(g_rw.held_depth(tenv), 1u);
            g_rw.unlock(tenv);
            EXPECT_EQ(g_rw.held_depth(tenv), 0u);
            for (unsigned k = 0; k < 8; ++k)
                onePass(k);
        },
        "taking the broker's locks after the cancels");
}

} // namespace
