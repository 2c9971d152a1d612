// A timer deleted by another thread (the manager's stop, say) while its
// creation is still making its task: the creation never reads the slot's
// configuration copy that the deletion freed.
#include <atomic>
#include <thread>

#include "yw_svc_test_util.h"

using namespace yw_svc_test;

extern "C" void yw_test_timer_race_handler(YW_timer_id_t) {}

TEST(TimerRace, DeletionDuringCreationNeverFreesWhatTheCreationReads)
{
    setUp();
    std::atomic<bool> done{false};
    std::atomic<int> deleted{0};
    // Deletes every timer as soon as its slot is claimed.
    std::thread deleter([&] {
        while (!done.load())
            for (YW_timer_id_t i = 0; i < YW_TIMER_MAX; ++i) {
                YW_timer_status_t st{};
                if (YW_inqTimer(i, &st) == 0 && st.state != 0 && YW_deleteTimer(i) == 0)
                    deleted++;
            }
    });
    for (int i = 0; i < 20; ++i) {
        YW_timer_cfg_t c{}; // not in the table: the slot gets a copy
        c.name = const_cast<char *>("t_race");
        c.sourceType = YW_TIMER_SOURCE_SYS;
        c.repeat = -1;
        c.interval = 1000000000;
        c.handler = const_cast<char *>("yw_test_timer_race_handler");
        c.stack_size = 256 * 1024;
        YW_timer_id_t id = YW_TIMER_INVALID_ID;
        testing::internal::CaptureStdout();
        YW_ret_t r = YW_createTimer(&c, &id);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(r == YW_SUCCESS || r == YW_ERR_STATE) << r;
        waitFor([&] {
            YW_timer_status_t st{};
            return YW_inqTimer(id, &st) == 0 && st.state == 0;
        });
    }
    done = true;
    deleter.join();
    EXPECT_GE(deleted.load(), 20);
    // No task of a deleted timer is left behind.
    EXPECT_TRUE(waitFor([] {
        YW_task_id_t tid;
        return YW_searchTaskByName("t_race", &tid) != 0;
    }));
}
