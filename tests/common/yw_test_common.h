// Helpers shared by the tests that run framework services in the test
// process (task, IPC and node management tests). Header only: the
// concurrency tests are also compiled alone.
#ifndef YW_TEST_COMMON_H
#define YW_TEST_COMMON_H

#include <chrono>
#include <functional>
#include <thread>

#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

namespace yw_common_test {

// Log tables and task tables ready; with `stdoutLog` the "stdout" log is
// registered too. Callers run it once per process.
inline void initLogAndTasks(bool stdoutLog)
{
    YW_log_init();
    if (stdoutLog)
        YW_registerLog("stdout", &YW_g_log_stdout);
    YW_task_tsm_init();
}

// Polls `cond` every millisecond for at most `limit`.
inline bool waitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

// A task configuration built on the caller's side (copied on creation).
inline YW_task_cfg_t makeCfg(const char *name, const char *entry, int category = YW_TASK_CAT_APP)
{
    YW_task_cfg_t c{};
    c.name = const_cast<char *>(name);
    c.entry_name = const_cast<char *>(entry);
    c.category = category;
    c.stack_size = 256 * 1024;
    c.core_mask = 1;
    return c;
}

} // namespace yw_common_test

#endif
