// Thread data and its destructor passes, diagnostic headers,
// thread creation and platform support.
#include "corba.h"
#include "orb/test_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> g_calls{0};
std::atomic<int> g_limit{0};
uint32_t g_key = 0;

void resetting_dtor(void *v)
{
    int n = ++g_calls;
    if (n < g_limit)
        wq_Thread::set_specific(g_key, v); // hands the destructor more work
}

} // namespace

TEST(OrbThreadData, SlotsGrowAndKeysOf64AreRefused)
{
    wq_ThreadEnvironment tenv;
    int a = 0;
    EXPECT_EQ(wq_Thread::get_specific(40, tenv), nullptr);
    EXPECT_TRUE(wq_Thread::set_specific(40, &a, tenv));
    EXPECT_EQ(wq_Thread::get_specific(40, tenv), &a);
    EXPECT_TRUE(wq_Thread::set_specific(63, &a, tenv));
    EXPECT_FALSE(wq_Thread::set_specific(64, &a, tenv));
    EXPECT_FALSE(wq_Thread::set_specific(1000, &a, tenv));
    EXPECT_EQ(wq_Thread::get_specific(64, tenv), nullptr);
    EXPECT_GE(tenv.record()->data_size, 41u);
    EXPECT_LE(tenv.record()->data_size, 64u);
    wq_Thread::set_specific(40, nullptr, tenv);
    wq_Thread::set_specific(63, nullptr, tenv);
}

namespace {
// The death tests' children start afresh (re-executed) instead of being
// forked: a forked child keeps none of the threads that earlier tests left
// ending, so the leak checker at its exit would count their records lost.
struct ThreadsafeDeathTests {
    ThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void exhaust_keys()
{
    uint32_t last = 0, k;
    while ((k = wq_SpecificData::create_key(nullptr)) != 0)
        last = k;
    std::exit(last == 63 && wq_SpecificData::create_key(nullptr) == 0 ? 0 : 1);
}
} // namespace

TEST(OrbThreadData, KeyCreationStopsAt64)
{
    ThreadsafeDeathTests style;
    EXPECT_EXIT(exhaust_keys(), testing::ExitedWithCode(0), "");
}

TEST(OrbThreadData, DestructorPassesRunUntilNothingIsLeft)
{
    // Keys are never given back: make them once, so that a repeated run does
    // not use up the 64.
    static const uint32_t key = wq_SpecificData::create_key(resetting_dtor);
    static const uint32_t plain = wq_SpecificData::create_key(nullptr);
    g_key = key;
    ASSERT_GT(g_key, 3u);
    ASSERT_GT(plain, 3u);
    g_calls = 0;
    g_limit = 5;
    static int value;
    std::thread([] { wq_Thread::set_specific(g_key, &value); }).join();
    EXPECT_EQ(g_calls, 5);

    // A destructor that always leaves work: 16 passes, then the error text.
    g_calls = 0;
    g_limit = 1000;
    testing::internal::CaptureStderr();
    std::thread([] { wq_Thread::set_specific(g_key, &value); }).join();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_calls, 16);
    EXPECT_NE(err.find("Ulvenor error: thread specific data was not cleaned after 16 trys!\n"),
              std::string::npos);

    // A slot without a destructor is left alone.
    g_calls = 0;
    std::thread([] { wq_Thread::set_specific(plain, &value); }).join();
    EXPECT_EQ(g_calls, 0);
}

TEST(OrbThreadData, ExitDestructorsMayStillUseBrokerLocks)
{
    static wq_Mutex m;
    static std::atomic<int> ran{0};
    static uint32_t key = wq_SpecificData::create_key([](void *) {
        m.lock();
        ++ran;
        m.unlock();
        wq_err << ""; // the text writer too
    });
    static int v;
    ran = 0;
    m.lock();
    std::thread t([] { wq_Thread::set_specific(key, &v); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m.unlock(); // the exiting thread may be waiting for it
    t.join();
    EXPECT_EQ(ran, 1);
}

TEST(OrbHeaderLog, Levels)
{
    wq_ORB::process_name = "srv";
    wq_ORB::svr_class_name = "";
    wq_ORB::svr_instance_name = "h_12";
    wq_ORB::host_name = "node1";
    wq_ORB::diagnostics = 1;
    char *h = wq_HeaderLog::get_header();
    EXPECT_STREQ(h, "srv: _h_12:");
    delete[] h;
    wq_ORB::diagnostics = 2;
    h = wq_HeaderLog::get_header();
    std::string full(h);
    ASSERT_EQ(full.size(), 8u + std::strlen(" srv: _h_12 @node1:")) << full;
    for (int i : {0, 1, 3, 4, 6, 7})
        EXPECT_TRUE(full[i] >= '0' && full[i] <= '9') << full;
    EXPECT_EQ(full[2], ':');
    EXPECT_EQ(full[5], ':');
    EXPECT_EQ(full.substr(8), " srv: _h_12 @node1:");
    delete[] h;
    wq_ORB::diagnostics = 0;
    h = wq_HeaderLog::get_header();
    EXPECT_STREQ(h, "");
    delete[] h;
}

TEST(OrbThread, SpawnSleepAndPolicy)
{
    static std::atomic<int> ran{0};
    ran = 0;
    wq_Thread::tid_t t = wq_Thread::spawn(
        [](void *) -> void * {
            ++ran;
            return nullptr;
        },
        nullptr, 0, 0, 0, SCHED_OTHER);
    ASSERT_NE(t, wq_Thread::INVALID_TID);
    pthread_join(t, nullptr);
    EXPECT_EQ(ran, 1);

    EXPECT_TRUE(wq_Thread::setCurrentSchedulingPolicy(SCHED_FIFO));
    EXPECT_EQ(wq_Thread::currentSchedulingPolicy(), SCHED_FIFO);
    EXPECT_FALSE(wq_Thread::setCurrentSchedulingPolicy(12345));
    EXPECT_EQ(wq_Thread::currentSchedulingPolicy(), SCHED_FIFO);
    EXPECT_TRUE(wq_Thread::setCurrentSchedulingPolicy(SCHED_OTHER));

    auto t0 = std::chrono::steady_clock::now();
    wq_Thread::sleep(20000); // 2 ms
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2));
}

namespace {
void spawn_without_rt()
{
    rlimit rl{0, 0};
    setrlimit(RLIMIT_RTPRIO, &rl);
    if (setgid(65534) != 0 || setuid(65534) != 0)
        std::exit(3);
    static std::atomic<int> policy{-1};
    wq_Thread::tid_t t = wq_Thread::spawn(
        [](void *) -> void * {
            sched_param sp;
            int pol;
            pthread_getschedparam(pthread_self(), &pol, &sp);
            policy = pol;
            return nullptr;
        },
        nullptr, 0, 50, 0, SCHED_FIFO);
    if (t == wq_Thread::INVALID_TID)
        std::exit(1);
    pthread_join(t, nullptr);
    std::exit(policy == SCHED_OTHER ? 0 : 2);
}
} // namespace

TEST(OrbThread, RealTimeSpawnFallsBackWhenNotPermitted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs to drop privileges";
    ThreadsafeDeathTests style;
    EXPECT_EXIT(spawn_without_rt(), testing::ExitedWithCode(0), "");
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr char const *k_stack_line = ""; // the stack is not painted under sanitizers
#else
constexpr char const *k_stack_line = "Ulvenor: thread [0-9]+ used [0-9]+ of 1048576 bytes of stack";
#endif

TEST(OrbThread, StackReportingPrintsTheUse)
{
    ThreadsafeDeathTests style;
    EXPECT_EXIT(
        {
            wq_Thread::enable_stack_reporting();
            wq_Thread::tid_t t = wq_Thread::spawn([](void *) -> void * { return nullptr; }, nullptr,
                                                  0, 0, 1 << 20, SCHED_OTHER);
            pthread_join(t, nullptr);
            std::exit(0);
        },
        testing::ExitedWithCode(0), k_stack_line);
}

TEST(OrbSupport, PlatformFunctions)
{
    EXPECT_EQ(tkq_support_get_pid(), static_cast<int>(getpid()));
    EXPECT_EQ(tkq_support_initialize(), 0);
    tkq_support_finalize();

    char full[256];
    std::size_t len = 99;
    ASSERT_EQ(tkq_support_get_node_name(full, sizeof full, &len), 0);
    EXPECT_EQ(len, std::strlen(full));
    char host[256];
    gethostname(host, sizeof host);
    EXPECT_STREQ(full, host);

    // A cut name is terminated inside the buffer.
    char tiny[3] = {'x', 'x', 'x'};
    len = 99;
    tkq_support_get_node_name(tiny, sizeof tiny, &len);
    EXPECT_LE(len, 2u);
    EXPECT_EQ(std::strlen(tiny), len);
    EXPECT_EQ(tkq_support_get_node_name(nullptr, 0, &len), -1);
    EXPECT_EQ(len, 0u);

    char text[256];
    ASSERT_EQ(tkq_support_get_error_string(ENOENT, text, sizeof text, &len), 0);
    EXPECT_STREQ(text, "No such file or directory");
    EXPECT_EQ(len, std::strlen(text));

    EXPECT_EQ(tkq_support_sig_supress(), 0);
    struct sigaction sa;
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
}
