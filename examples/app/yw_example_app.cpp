// Example application tasks compiled into turv_node. The framework creates
// and starts every configured task of category "app" once the node is
// synchronised; each entry below runs as such a task on its own thread.
#include <cstdio>

#include "log/yw_log.h"
#include "task/yw_task.h"

extern "C" {

// Waits on its event queue and logs each event it receives; every 10 s
// without events it logs that it is alive.
void *YW_example_app_main(void *arg)
{
    (void)arg;
    YW_task_id_t id = YW_getTaskID();
    YW_registerTaskEventFlag(id, YW_EVENT_FLAG_FRW | YW_EVENT_FLAG_TMR | YW_EVENT_FLAG_IPC);
    YW_printf("%s: task %s (%u) running\n", __func__, YW_getTaskName() ? YW_getTaskName() : "?", (unsigned)id);
    unsigned idle = 0;
    for (;;) {
        YW_event_flag_t flags = 0;
        YW_ret_t n = YW_waitTaskEventTime(id, &flags, 10000000000LL);
        if (n < 1) {
            YW_printf("%s: alive %u\n", __func__, ++idle);
            continue;
        }
        const YW_event_flag_t vec[] = {YW_EVENT_FLAG_FRW, YW_EVENT_FLAG_TMR, YW_EVENT_FLAG_IPC};
        for (YW_event_flag_t f : vec) {
            YW_event_msg_t *m = nullptr;
            while (YW_recvTaskEvent(id, f, &m) == 0) {
                YW_printf("%s: event %x.%x\n", __func__, m->id.p.flag, m->id.p.value);
                YW_event_releaseEvent(m);
            }
        }
    }
    return nullptr;
}

// A faulty task: it reads through a null pointer. The fault ends this task
// alone; the node and its other tasks go on.
// The read is left to the hardware, not to the undefined-behaviour sanitizer.
__attribute__((no_sanitize("undefined"))) void *YW_example_app_fault(void *arg)
{
    (void)arg;
    YW_printf("%s: reading through a null pointer\n", __func__);
    volatile int *p = nullptr;
    int v = *p;
    YW_printf("%s: read %d\n", __func__, v);
    return nullptr;
}

} // extern "C"
