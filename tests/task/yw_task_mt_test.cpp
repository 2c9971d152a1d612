// Concurrency of the task table: creators, starters and stoppers on several
// threads while other threads send events to whatever slot they pick. Every
// slot, thread and queue is back when they are done.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "yw_task_test_util.h"

using namespace yw_test;

namespace {
std::atomic<long> g_mtEvents{0};

// Stops and joins the sender threads however the test body ends (a failed
// ASSERT returns early; a joinable thread left behind would abort).
struct SenderStop {
    std::atomic<bool> &sending;
    std::vector<std::thread> &threads;
    ~SenderStop()
    {
        sending = false;
        for (auto &t : threads)
            if (t.joinable())
                t.join();
    }
};
}

extern "C" {
// Waits on its queue and counts what it receives, for ever.
void *yw_test_mt_worker(void *)
{
    YW_task_id_t id = YW_getTaskID();
    YW_registerTaskEventFlag(id, YW_EVENT_FLAG_FRW);
    for (;;) {
        YW_waitTaskEventTime(id, nullptr, 50000000LL);
        YW_event_msg_t *m = nullptr;
        while (YW_recvTaskEvent(id, YW_EVENT_FLAG_FRW, &m) == 0) {
            g_mtEvents++;
            YW_event_releaseEvent(m);
        }
    }
    return nullptr;
}

// Ends at once.
void *yw_test_mt_short(void *)
{
    return nullptr;
}

// Takes 50 events, then returns: its thread releases the queue while others
// are still sending to it.
void *yw_test_mt_fifty(void *)
{
    YW_task_id_t id = YW_getTaskID();
    YW_registerTaskEventFlag(id, YW_EVENT_FLAG_FRW);
    int got = 0;
    while (got < 50) {
        YW_waitTaskEventTime(id, nullptr, 50000000LL);
        YW_event_msg_t *m = nullptr;
        while (got < 50 && YW_recvTaskEvent(id, YW_EVENT_FLAG_FRW, &m) == 0) {
            got++;
            YW_event_releaseEvent(m);
        }
    }
    return nullptr;
}
}

TEST(TaskTableMt, SendsRacingATaskThatEndsItselfLeaveNothingBehind)
{
    setUpTaskService();
    {
        YW_task_cfg_t c = makeCfg("mt_warm2", "yw_test_mt_short");
        YW_task_id_t id = YW_TASK_ID_NONE;
        ASSERT_EQ(YW_createTask(&c, &id), 0);
        ASSERT_EQ(YW_startTask(id, nullptr), 0);
        ASSERT_TRUE(waitFor([] { return !taskExists("mt_warm2"); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int threads0 = threadCount();
    int fds0 = fdCount();
    long long live0 = liveAllocations();
    std::atomic<YW_task_id_t> target{YW_TASK_ID_NONE};
    std::atomic<bool> sending{true};
    std::atomic<long> queued{0};
    std::vector<std::thread> senders;
    SenderStop stopSenders{sending, senders};
    for (int s = 0; s < 3; ++s)
        senders.emplace_back([&] {
            while (sending) {
                YW_task_id_t id = target.load();
                if (id < YW_TASK_MAX && YW_sendTaskEvent(id, YW_EVENT_FLAG_FRW, 1, nullptr) >= 0)
                    queued++;
                else
                    std::this_thread::yield();
            }
        });
    for (int round = 0; round < 20; ++round) {
        YW_task_cfg_t c = makeCfg("mt_fifty", "yw_test_mt_fifty");
        YW_task_id_t id = YW_TASK_ID_NONE;
        ASSERT_EQ(YW_createTask(&c, &id), 0);
        ASSERT_EQ(YW_startTask(id, nullptr), 0);
        target = id;
        ASSERT_TRUE(waitFor([] { return !taskExists("mt_fifty"); }, std::chrono::seconds(60)));
    }
    sending = false;
    for (auto &t : senders)
        t.join();
    EXPECT_GT(queued.load(), 0);
    EXPECT_TRUE(waitFor([&] { return threadCount() <= threads0; })) << threadCount() << " vs " << threads0;
    EXPECT_TRUE(waitFor([&] { return fdCount() <= fds0; })) << fdCount() << " vs " << fds0;
    // Messages still queued when a task ended went with its queue.
    EXPECT_TRUE(waitFor([&] { return liveAllocations() <= live0; })) << liveAllocations() << " vs " << live0;
}

TEST(TaskTableMt, CreateStartStopWhileOthersSend)
{
    setUpTaskService();
    {
        // One task first: threads the runtime makes lazily exist before the
        // baseline is taken.
        YW_task_cfg_t c = makeCfg("mt_warm", "yw_test_mt_short");
        YW_task_id_t id = YW_TASK_ID_NONE;
        ASSERT_EQ(YW_createTask(&c, &id), 0);
        ASSERT_EQ(YW_startTask(id, nullptr), 0);
        ASSERT_TRUE(waitFor([] { return !taskExists("mt_warm"); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int threads0 = threadCount();
    long long live0 = liveAllocations();
    std::atomic<bool> sending{true};
    std::atomic<long> sent{0};

    std::vector<std::thread> senders;
    SenderStop stopSenders{sending, senders};
    for (int s = 0; s < 2; ++s)
        senders.emplace_back([&, s] {
            unsigned id = (unsigned)s;
            while (sending) {
                id = (id * 7 + 3) % 16;
                if (YW_sendTaskEvent(id, YW_EVENT_FLAG_FRW, id, nullptr) >= 0)
                    sent++;
                std::this_thread::yield();
            }
        });

    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            for (int i = 0; i < 25; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "mt_%d_%d", w, i);
                YW_task_cfg_t c = makeCfg(name, (i % 3 == 0) ? "yw_test_mt_short" : "yw_test_mt_worker");
                YW_task_id_t id = YW_TASK_ID_NONE;
                if (YW_createTask(&c, &id) != 0) {
                    failures++;
                    continue;
                }
                if (YW_startTask(id, nullptr) != 0) {
                    failures++;
                    YW_deleteTask(id);
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                // A short task may already have stopped itself.
                YW_ret_t r = YW_stopTask(id);
                if (r != 0 && r != YW_ERR_TASK_STATE)
                    failures++;
            }
        });
    for (auto &t : workers)
        t.join();
    sending = false;
    for (auto &t : senders)
        t.join();

    EXPECT_EQ(failures, 0);
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        char line[128];
        EXPECT_EQ(YW_task_brief_toString(&YW_g_task[i], line, sizeof line), 0) << line;
    }
    EXPECT_TRUE(waitFor([&] { return threadCount() <= threads0; })) << threadCount() << " vs " << threads0;
    EXPECT_TRUE(waitFor([&] { return liveAllocations() <= live0; })) << liveAllocations() << " vs " << live0;
    std::printf("sent %ld events, %ld received\n", sent.load(), g_mtEvents.load());
}
