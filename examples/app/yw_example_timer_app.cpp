// Example application with a timer. The timer service creates the timers of
// "timerConf" with their tasks; an application arms them. The task
// "timer_app" arms timer 0 (the first "timerDef"), whose own task then calls
// YW_example_timer_handler on every expiry until its repeat count is reached.
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "timer/yw_timer.h"

extern "C" {

// Timer handler, named by the timer's "handler" attribute: runs on the
// timer's own task.
void YW_example_timer_handler(YW_timer_id_t id)
{
    YW_timer_status_t st{};
    YW_inqTimer(id, &st);
    YW_printf("%s: timer %u expired (%lld)\n", __func__, (unsigned)id, (long long)st.count);
}

// Arms timer 0 and ends. The timer service makes its timers on its own
// task, which may come after this one: an absent timer is tried again for
// a while.
void *YW_example_timer_app(void *arg)
{
    (void)arg;
    YW_ret_t r = YW_startTimer(0);
    for (int i = 0; i < 600 && r == YW_ERR_ENTITY_NULL; ++i) {
        YW_sleepTask(YW_getTaskID(), 100000000LL);
        r = YW_startTimer(0);
    }
    YW_printf("%s: start timer 0 result=%d\n", __func__, (int)r);
    return nullptr;
}

} // extern "C"
