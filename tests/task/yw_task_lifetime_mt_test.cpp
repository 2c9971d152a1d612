// Lifetimes in the task table: a task's name read by its own thread while
// another thread stops the task, the slot a faulted task leaves behind, and
// many tasks stopped in turn.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "yw_task_test_util.h"

using namespace yw_test;

namespace {
std::atomic<int> g_nameReads{0};
std::atomic<long> g_nameChars{0};
} // namespace

extern "C" {

// Reads its own name until its task is stopped (bounded).
__attribute__((used, visibility("default"))) void *yw_test_task_nameReader(void *)
{
    for (int i = 0; i < 2000000; i++) {
        const char *n = YW_getTaskName();
        if (!n)
            break;
        g_nameChars += (long)std::strlen(n);
        g_nameReads++;
    }
    return nullptr;
}

// Works in framework calls (table lock, its own queue) between short sleeps,
// until it is stopped (inside a call, a sleep, or between them).
__attribute__((used, visibility("default"))) void *yw_test_task_cycler(void *arg)
{
    auto *loops = static_cast<std::atomic<int> *>(arg);
    YW_task_id_t self = YW_getTaskID();
    for (;;) {
        YW_task_id_t found;
        YW_searchTaskByName("cycler", &found);
        YW_sendTaskEvent(self, YW_EVENT_FLAG_FRW, 1, nullptr); // piles up: released with the queue
        ++*loops;
        YW_P_sleepThread(nullptr, 200000LL);
    }
    return nullptr;
}

__attribute__((used, visibility("default"), no_sanitize("undefined"))) void *yw_test_task_faultMark(void *)
{
    volatile int *p = nullptr;
    return (void *)(intptr_t)*p;
}

} // extern "C"

TEST(TaskLifetime, NameReadWhileStoppedAndFaultedSlotLeftClean)
{
    setUpTaskService();
    for (int round = 0; round < 40; round++) {
        // a configuration on the stack: the table keeps a copy, freed at the stop
        YW_task_cfg_t c = makeCfg("name_reader", "yw_test_task_nameReader");
        YW_task_id_t id;
        ASSERT_EQ(YW_createTask(&c, &id), 0);
        int before = g_nameReads.load();
        ASSERT_EQ(YW_startTask(id, nullptr), 0);
        ASSERT_TRUE(waitFor([&] { return g_nameReads.load() > before + 50 || !taskExists("name_reader"); }));
        YW_stopTask(id); // fails only when the reader ended by itself
        ASSERT_TRUE(waitFor([] { return !taskExists("name_reader"); }));
    }
    EXPECT_GT(g_nameChars.load(), 0);

    YW_task_cfg_t bad = makeCfg("fault_mark", "yw_test_task_faultMark");
    YW_task_id_t id;
    ASSERT_EQ(YW_createTask(&bad, &id), 0);
    ASSERT_EQ(YW_startTask(id, nullptr), 0);
    ASSERT_TRUE(waitFor([] { return !taskExists("fault_mark"); }));
    // Freed whole: no mark left in a slot the next task will take. The name
    // is gone from the moment the fault stops the task; the slot goes after
    // the thread has closed what it left open, so it is waited for (read
    // under the table's lock).
    YW_task_status_t st{};
    EXPECT_TRUE(waitFor([&] { return YW_inqTask(id, &st) == YW_SUCCESS && st.state == 0; })) << st.state;
}

// Create, start and stop, a thousand times: every stopped thread ends and
// gives back its queue, doorbell and locks; the same slot serves each round.
TEST(TaskLifetime, ThousandCreateStartStopCyclesLeaveNothingBehind)
{
    setUpTaskService();
    int threads0 = 0, fds0 = 0;
    long long live0 = 0;
    std::atomic<int> loops{0};
    YW_task_id_t first = YW_TASK_ID_NONE;
    for (int round = 0; round < 1000; round++) {
        if (round == 1) { // counted after a first round (a sanitizer starts its own thread then)
            ASSERT_TRUE(waitFor([&] { return !taskExists("cycler"); }));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            threads0 = threadCount();
            fds0 = fdCount();
            live0 = liveAllocations();
        }
        YW_task_cfg_t c = makeCfg("cycler", "yw_test_task_cycler");
        YW_task_id_t id;
        ASSERT_EQ(YW_createTask(&c, &id), 0) << round;
        if (round == 0)
            first = id;
        ASSERT_EQ(id, first) << round; // the stopped round's slot was free again
        const int before = loops.load();
        ASSERT_EQ(YW_startTask(id, &loops), 0) << round;
        if (round % 100 == 0) { // now and then stopped inside its loop rather than at once
            ASSERT_TRUE(waitFor([&] { return loops.load() > before; }));
        }
        ASSERT_EQ(YW_stopTask(id), 0) << round;
        ASSERT_EQ(loadShared(YW_g_task[id].cfg), nullptr) << round;
    }
    EXPECT_TRUE(waitFor([&] { return threadCount() <= threads0; })) << threadCount() << " vs " << threads0;
    EXPECT_TRUE(waitFor([&] { return fdCount() <= fds0; })) << fdCount() << " vs " << fds0;
    EXPECT_TRUE(waitFor([&] { return liveAllocations() <= live0; })) << liveAllocations() << " vs " << live0;
    // The table lock was never left held.
    YW_task_id_t found;
    EXPECT_EQ(YW_searchTaskByName("cycler", &found), YW_ERR_TASK_NOT_FOUND);
}
