// Mutex options and semaphores of the OS layer, observed by behaviour.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "osa/yw_osa.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

int lockFromOtherThread(YW_P_mutex_t m)
{
    int rc = -1;
    std::thread t([&] {
        rc = YW_P_trylockMutex(m);
        if (rc == 0)
            YW_P_unlockMutex(m);
    });
    t.join();
    return rc;
}

TEST(OsaMutex, DefaultIsRecursive)
{
    YW_P_mutex_t m = nullptr;
    ASSERT_EQ(YW_P_createMutex(0, &m), 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(YW_P_lockMutex(m), 0);
    EXPECT_EQ(YW_P_lockMutex(m), 0); // the owner relocks
    EXPECT_EQ(YW_P_trylockMutex(m), 0);
    EXPECT_EQ(lockFromOtherThread(m), EBUSY);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(lockFromOtherThread(m), EBUSY); // still held once
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(lockFromOtherThread(m), 0);
    EXPECT_EQ(YW_P_deleteMutex(m), 0);
}

TEST(OsaMutex, ProtocolOptionsGiveWorkingMutexes)
{
    for (int opts : {YW_SEM_INVERSION_SAFE, YW_SEM_Q_PRIORITY | YW_SEM_INVERSION_SAFE, YW_SEM_PROCESS_SHARED, YW_SEM_INTERRUPTIBLE | YW_SEM_NO_SYSTEM_VIEWER}) {
        YW_P_mutex_t m = nullptr;
        ASSERT_EQ(YW_P_createMutex(opts, &m), 0) << opts;
        // Usable by an ordinary (SCHED_OTHER) thread.
        EXPECT_EQ(YW_P_lockMutex(m), 0) << opts;
        EXPECT_EQ(lockFromOtherThread(m), EBUSY) << opts;
        EXPECT_EQ(YW_P_unlockMutex(m), 0) << opts;
        EXPECT_EQ(YW_P_deleteMutex(m), 0) << opts;
    }
    EXPECT_EQ(YW_P_createMutex(0, nullptr), YW_FAIL);
}

TEST(OsaMutex, PriorityOptionsLockOnTheFirstTryInEveryPolicy)
{
    // Every priority option gives an inheriting mutex (no ceiling), which a
    // thread of each policy locks on its first try. A real-time policy the
    // process may not use is skipped.
    const int opts[] = {YW_SEM_INVERSION_SAFE, YW_SEM_Q_PRIORITY | YW_SEM_INVERSION_SAFE, YW_SEM_Q_PRIORITY,
                        YW_SEM_Q_PRIORITY | YW_SEM_NO_RECURSE};
    const int policies[] = {SCHED_OTHER, SCHED_FIFO, SCHED_RR};
    for (int o : opts) {
        for (int pol : policies) {
            YW_P_mutex_t m = nullptr;
            ASSERT_EQ(YW_P_createMutex(o, &m), 0);
            int ceiling = -1;
            EXPECT_EQ(pthread_mutex_getprioceiling(m, &ceiling), EINVAL) << o;
            int rc = -1, owner = 0, self = 0;
            bool ran = false;
            std::thread t([&] {
                struct sched_param sp {};
                sp.sched_priority = pol == SCHED_OTHER ? 0 : 10;
                ran = pthread_setschedparam(pthread_self(), pol, &sp) == 0;
                if (!ran)
                    return;
                self = (int)gettid();
                rc = YW_P_lockMutex(m);
                // A priority-inheritance lock word holds its owner's thread
                // id (a plain one holds 1).
                owner = m->__data.__lock & 0x3fffffff;
                if (rc == 0)
                    YW_P_unlockMutex(m);
            });
            t.join();
            if (ran) {
                EXPECT_EQ(rc, 0) << o << " policy " << pol;
                EXPECT_EQ(owner, self) << o << " policy " << pol;
            }
            EXPECT_EQ(YW_P_deleteMutex(m), 0);
        }
    }
}

TEST(OsaMutex, PlainMutexLockWordIsNotAThreadId)
{
    YW_P_mutex_t m = nullptr;
    ASSERT_EQ(YW_P_createMutex(0, &m), 0);
    ASSERT_EQ(YW_P_lockMutex(m), 0);
    EXPECT_EQ(m->__data.__lock, 1);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(YW_P_deleteMutex(m), 0);
}

TEST(OsaMutex, DeleteSafeMutexSurvivesAnOwnerThatEnded)
{
    YW_P_mutex_t m = nullptr;
    ASSERT_EQ(YW_P_createMutex(YW_SEM_DELETE_SAFE | YW_SEM_NO_RECURSE, &m), 0);
    std::thread t([&] { YW_P_lockMutex(m); }); // ends while holding it
    t.join();
    EXPECT_EQ(YW_P_lockMutex(m), 0);
    EXPECT_EQ(YW_P_unlockMutex(m), 0);
    EXPECT_EQ(lockFromOtherThread(m), 0);
    EXPECT_EQ(YW_P_deleteMutex(m), 0);
}

TEST(OsaSemaphore, BinaryEmptyTimesOutAndPostWakesAWaiter)
{
    YW_P_bsem_arg_t arg{0, YW_SEM_B_STATE_EMPTY};
    YW_P_sem_t s = nullptr;
    ASSERT_EQ(YW_P_createBinarySemaphore(&arg, &s), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(YW_P_timedWaitSemaphore(s, 50000000), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(msSince(t0), 50);

    std::atomic<int> rc{-100};
    // A generous bound: the post below ends the wait long before it.
    std::thread waiter([&] { rc = YW_P_timedWaitSemaphore(s, 30000000000LL); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rc.load(), -100);
    EXPECT_EQ(YW_P_postSemaphore(s), 0);
    waiter.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(YW_P_deleteSemaphore(s), 0);
}

TEST(OsaSemaphore, CountingSemaphoreCountsDown)
{
    YW_P_csem_arg_t arg{YW_SEM_Q_FIFO, 3};
    YW_P_sem_t s = nullptr;
    ASSERT_EQ(YW_P_createCountSemaphore(&arg, &s), 0);
    EXPECT_EQ(YW_P_waitSemaphore(s), 0);
    EXPECT_EQ(YW_P_timedWaitSemaphore(s, 0), 0);
    EXPECT_EQ(YW_P_timedWaitSemaphore(s, 0), 0);
    EXPECT_EQ(YW_P_timedWaitSemaphore(s, 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(YW_P_postSemaphore(s), 0);
    EXPECT_EQ(YW_P_timedWaitSemaphore(s, 1000000), 0);
    EXPECT_EQ(YW_P_deleteSemaphore(s), 0);

    YW_P_csem_arg_t neg{0, -1};
    s = nullptr;
    EXPECT_EQ(YW_P_createCountSemaphore(&neg, &s), YW_FAIL);
    EXPECT_EQ(s, nullptr);
}

void noop(int) {}

TEST(OsaSemaphore, SignalDoesNotShortenATimedWait)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = noop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR2, &sa, nullptr);

    YW_P_bsem_arg_t arg{0, 0};
    YW_P_sem_t s = nullptr;
    ASSERT_EQ(YW_P_createBinarySemaphore(&arg, &s), 0);
    std::atomic<int> rc{-100};
    std::atomic<long long> took{0};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        auto t0 = Clock::now();
        rc = YW_P_timedWaitSemaphore(s, 150000000);
        took = msSince(t0);
        done = true;
    });
    pthread_t wid = waiter.native_handle();
    for (int i = 0; i < 10 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(8));
        if (!done)
            pthread_kill(wid, SIGUSR2);
    }
    waiter.join();
    EXPECT_EQ(rc.load(), -1);
    EXPECT_GE(took.load(), 150);
    EXPECT_EQ(YW_P_deleteSemaphore(s), 0);
}

} // namespace
