// Lifetimes in the task table: a task's name read by its own thread while
// another thread stops the task, and the slot a faulted task leaves behind.
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
    // freed whole: no mark left in a slot the next task will take
    EXPECT_EQ(loadShared(YW_g_task[id].status.state), 0);
}
