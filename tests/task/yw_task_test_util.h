// Helpers shared by the task service tests.
#ifndef YW_TASK_TEST_UTIL_H
#define YW_TASK_TEST_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "common/yw_test_common.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"

namespace yw_test {

using yw_common_test::makeCfg;

// Task tables and the standard logs ready, once per process.
inline void setUpTaskService()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    yw_common_test::initLogAndTasks(true);
}

// Polls `cond` every millisecond for at most `limit`. The bound is generous:
// it only ends a test whose condition never comes, on a loaded machine too.
inline bool waitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    return yw_common_test::waitFor(cond, limit);
}

// Number of threads of this process.
inline int threadCount()
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

// Open descriptors of this process (doorbells are eventfds).
inline int fdCount()
{
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// Allocations of the counting allocator not yet released.
inline long long liveAllocations()
{
    return (long long)yw_count_get(yw_pGlobalData->malloc_status.alloc_count) -
           (long long)yw_count_get(yw_pGlobalData->malloc_status.free_count);
}

// Reads a word another thread writes (a state-machine state, a status word).
template <typename T> inline T loadShared(T &v)
{
    return __atomic_load_n(&v, __ATOMIC_ACQUIRE);
}

inline bool taskExists(const char *name)
{
    YW_task_id_t id;
    return YW_searchTaskByName(name, &id) == YW_SUCCESS;
}

} // namespace yw_test

#endif
