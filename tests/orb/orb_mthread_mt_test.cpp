// Managed threads under real threads: death texts, and join_all called from
// a managed thread and from several threads at once.
#include "corba.h"
#include "orb/test_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <thread>

namespace {
std::atomic<bool> g_release{false};
std::atomic<bool> g_inner_joined{false};
std::atomic<bool> g_managed_seen{false};
} // namespace

TEST(OrbManagedThread, DeathTextsAndJoin)
{
    testing::internal::CaptureStderr();
    wq_ManagedThread::start([](void *) { throw std::runtime_error("boom x"); }, nullptr, 0, 0, 0,
                            SCHED_OTHER);
    wq_ManagedThread::start([](void *) { throw 42; }, nullptr, 0, 0, 0, SCHED_OTHER);
    wq_ManagedThread::start([](void *) { g_managed_seen = wq_ManagedThread::is_managed_thread(); },
                            nullptr, 0, 0, 0, SCHED_OTHER);
    wq_ManagedThread::join_all();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Ulvenor WARNING: thread died with an uncaught C++ std::exception = boom x\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Ulvenor WARNING: thread died with an uncaught C++ native exception\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(g_managed_seen);
    EXPECT_FALSE(wq_ManagedThread::is_managed_thread());
    EXPECT_EQ(wq_ManagedThread::_list, nullptr);
}

TEST(OrbManagedThread, JoinAllFromAManagedThreadSkipsItself)
{
    g_release = false;
    g_inner_joined = false;
    wq_ManagedThread::start(
        [](void *) {
            while (!g_release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        nullptr, 0, 0, 0, SCHED_OTHER);
    wq_ManagedThread::start(
        [](void *) {
            wq_ManagedThread::join_all(); // waits for the other, not for itself
            g_inner_joined = true;
        },
        nullptr, 0, 0, 0, SCHED_OTHER);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(g_inner_joined);
    g_release = true;
    for (int i = 0; i < 30000 && !g_inner_joined; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(g_inner_joined);
    wq_ManagedThread::join_all();
    EXPECT_EQ(wq_ManagedThread::_list, nullptr);
}

TEST(OrbManagedThread, AJoiningManagedThreadCanItselfBeJoined)
{
    // The main thread joins (and so waits for the newest record first) while
    // that managed thread joins too and waits for a third one. Neither join
    // may hold up the other.
    static std::atomic<bool> main_joining{false};
    main_joining = false;
    g_release = false;
    g_inner_joined = false;
    wq_ManagedThread::start(
        [](void *) {
            while (!g_release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        },
        nullptr, 0, 0, 0, SCHED_OTHER);
    wq_ManagedThread::start(
        [](void *) {
            while (!main_joining)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            wq_ManagedThread::join_all();
            g_inner_joined = true;
        },
        nullptr, 0, 0, 0, SCHED_OTHER);
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g_release = true;
    });
    main_joining = true;
    wq_ManagedThread::join_all();
    releaser.join();
    EXPECT_TRUE(g_inner_joined);
    EXPECT_EQ(wq_ManagedThread::_list, nullptr);
}

TEST(OrbManagedThread, ConcurrentJoinsEachReturnWhenAllHaveEnded)
{
    // Two joiners share the records between them; neither returns before
    // every worker's body has ended.
    static std::atomic<int> ended{0};
    ended = 0;
    g_release = false;
    for (int i = 0; i < 4; ++i)
        wq_ManagedThread::start(
            [](void *) {
                while (!g_release)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++ended;
            },
            nullptr, 0, 0, 0, SCHED_OTHER);
    std::atomic<int> seen_a{-1}, seen_b{-1};
    std::thread a([&] {
        wq_ManagedThread::join_all();
        seen_a = ended.load();
    });
    std::thread b([&] {
        wq_ManagedThread::join_all();
        seen_b = ended.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g_release = true;
    a.join();
    b.join();
    EXPECT_EQ(seen_a, 4);
    EXPECT_EQ(seen_b, 4);
    EXPECT_EQ(wq_ManagedThread::_list, nullptr);
}

// Threads that end on their own leave no record behind: after rounds of
// short-lived threads, with no join_all between them, the list holds what
// it held before (bounded wait for the last of each round to end). A
// join_all that claims a thread still running waits for it as before.
TEST(OrbManagedThread, ThreadsThatEndLeaveNoRecord)
{
    static std::atomic<int> ended{0};
    const std::size_t before = wq_ManagedThread::listed();
    struct Row {
        char const *what;
        int threads;
        bool throws;
    } const rows[] = {{"plain bodies", 8, false}, {"bodies that throw", 4, true}, {"one body", 1, false}};
    testing::internal::CaptureStderr();
    for (int round = 0; round < 20; ++round)
        for (const Row &r : rows) {
            SCOPED_TRACE(r.what);
            ended = 0;
            for (int i = 0; i < r.threads; ++i) {
                bool started = false;
                wq_ManagedThread::Function plain = [](void *) { ++ended; };
                wq_ManagedThread::Function throws = [](void *) {
                    ++ended;
                    throw std::runtime_error("x");
                };
                wq_ManagedThread::start(r.throws ? throws : plain, nullptr, 0, 0, 0, SCHED_OTHER, &started);
                ASSERT_TRUE(started);
            }
            std::size_t listed = 0;
            for (int i = 0; i < 5000; ++i) {
                listed = wq_ManagedThread::listed();
                if (ended.load() == r.threads && listed == before)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ASSERT_EQ(listed, before) << "round " << round;
        }
    testing::internal::GetCapturedStderr();
    g_release = false;
    wq_ManagedThread::start(
        [](void *) {
            while (!g_release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++ended;
        },
        nullptr, 0, 0, 0, SCHED_OTHER);
    EXPECT_EQ(wq_ManagedThread::listed(), before + 1);
    ended = 0;
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        g_release = true;
    });
    wq_ManagedThread::join_all();
    releaser.join();
    EXPECT_EQ(ended.load(), 1);
    EXPECT_EQ(wq_ManagedThread::listed(), 0u);
}
