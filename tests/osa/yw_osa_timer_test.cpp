// POSIX timers of the OS layer: expiries on SIGRTMIN reach the handler in
// thread context; stop/delete end the OS timer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <signal.h>

#include "osa/yw_osa.h"

namespace {

std::atomic<int> g_expiries[8];
std::atomic<int> g_inSignalContext{0};
std::atomic<pthread_t> g_handlerThread;
std::mutex g_handlerLock;

// Expiry handler: allocates and locks, which only ordinary thread context
// allows safely; records whether SIGRTMIN is blocked where it runs (it is
// in the dispatching thread, which takes the signal synchronously).
void onExpiry(int userid)
{
    std::lock_guard<std::mutex> g(g_handlerLock);
    void *p = malloc(64);
    free(p);
    sigset_t cur;
    pthread_sigmask(SIG_SETMASK, nullptr, &cur);
    if (!sigismember(&cur, SIGRTMIN))
        ++g_inSignalContext;
    g_handlerThread = pthread_self();
    if (userid >= 0 && userid < 8)
        ++g_expiries[userid];
}

template <class P> bool waitFor(P pred, int ms = 5000)
{
    for (int i = 0; i < ms; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

TEST(OsaTimer, PeriodicExpiriesCallTheHandlerWithItsUserId)
{
    YW_P_timer_t t1 = nullptr, t2 = nullptr;
    ASSERT_EQ(YW_P_createTimer(1, &t1, onExpiry), 0);
    ASSERT_EQ(YW_P_createTimer(2, &t2, onExpiry), 0);
    ASSERT_NE(t1, nullptr);
    EXPECT_EQ(t1->userid, 1);
    EXPECT_EQ(t1->refCount, 1);
    ASSERT_EQ(YW_P_startTimer(t1, 10000000), 0);  // every 10 ms
    ASSERT_EQ(YW_P_startTimer(t2, 15000000), 0);  // every 15 ms
    EXPECT_TRUE(waitFor([] { return g_expiries[1] >= 5 && g_expiries[2] >= 3; }));
    EXPECT_EQ(g_inSignalContext.load(), 0);
    EXPECT_FALSE(pthread_equal(g_handlerThread.load(), pthread_self()));
    EXPECT_EQ(YW_P_deleteTimer(t1), 0);
    EXPECT_EQ(YW_P_stopTimer(t2), 0);
    int after1 = g_expiries[1], after2 = g_expiries[2];
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_LE(g_expiries[1] - after1, 1);
    EXPECT_LE(g_expiries[2] - after2, 1);
}

TEST(OsaTimer, IntervalZeroDisarms)
{
    YW_P_timer_t t = nullptr;
    ASSERT_EQ(YW_P_createTimer(3, &t, onExpiry), 0);
    ASSERT_EQ(YW_P_startTimer(t, 5000000), 0);
    ASSERT_TRUE(waitFor([] { return g_expiries[3] >= 2; }));
    ASSERT_EQ(YW_P_startTimer(t, 0), 0);
    int n = g_expiries[3];
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // One expiry being handled and one queued before the disarm may still
    // be counted (however late a loaded machine runs them); no other is.
    EXPECT_LE(g_expiries[3].load() - n, 2);
    EXPECT_EQ(YW_P_deleteTimer(t), 0);
}

TEST(OsaTimer, StartAfterStopFailsAndNullHandlesAreRefused)
{
    YW_P_timer_t t = nullptr;
    ASSERT_EQ(YW_P_createTimer(0, &t, onExpiry), 0);
    EXPECT_EQ(YW_P_stopTimer(t), 0);
    EXPECT_EQ(YW_P_startTimer(t, 1000000), YW_FAIL); // the OS timer is gone
    EXPECT_EQ(YW_P_deleteTimer(t), YW_FAIL);
    EXPECT_EQ(YW_P_startTimer(nullptr, 1000000), YW_FAIL);
    EXPECT_EQ(YW_P_stopTimer(nullptr), YW_FAIL);
    EXPECT_EQ(YW_P_deleteTimer(nullptr), YW_FAIL);
    EXPECT_EQ(YW_P_createTimer(0, nullptr, onExpiry), YW_FAIL);
}

TEST(OsaTimer, TimerWithoutHandlerExpiresHarmlessly)
{
    YW_P_timer_t t = nullptr;
    ASSERT_EQ(YW_P_createTimer(9, &t, nullptr), 0);
    ASSERT_EQ(YW_P_startTimer(t, 2000000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(YW_P_deleteTimer(t), 0);
}

// Handler of expiries handed over directly by the test.
std::atomic<int> g_direct{0};
void onDirect(int)
{
    ++g_direct;
}

// An expiry taken for a deleted timer whose record was reused by a newer
// timer carries the old kernel timer id: it is not the newer timer's.
TEST(OsaTimer, ExpiryOfAnotherKernelTimerIsNotDelivered)
{
    YW_P_timer_t t = nullptr;
    ASSERT_EQ(YW_P_createTimer(5, &t, onDirect), 0);
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    info.si_signo = SIGRTMIN;
    info.si_code = SI_TIMER;
    info.si_value.sival_ptr = t;
    info.si_timerid = (int)(intptr_t)t->id + 1000;
    int before = g_direct;
    YW_P_onTimeout(SIGRTMIN, &info, nullptr);
    EXPECT_EQ(g_direct.load(), before);
    info.si_timerid = (int)(intptr_t)t->id; // its own expiry is delivered
    YW_P_onTimeout(SIGRTMIN, &info, nullptr);
    EXPECT_EQ(g_direct.load(), before + 1);
    EXPECT_EQ(YW_P_deleteTimer(t), 0);
    YW_P_onTimeout(SIGRTMIN, &info, nullptr); // deleted: nothing
    EXPECT_EQ(g_direct.load(), before + 1);
}

TEST(OsaTimer, DeletingFastTimersWhileTheyExpireIsSafe)
{
    for (int round = 0; round < 50; ++round) {
        YW_P_timer_t t[4] = {};
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(YW_P_createTimer(i, &t[i], onExpiry), 0);
            ASSERT_EQ(YW_P_startTimer(t[i], 100000), 0); // 100 us
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(YW_P_deleteTimer(t[i]), 0);
    }
}

} // namespace
