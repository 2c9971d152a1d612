// Helpers of the timer, resource and module service tests: the services and
// the task service ready in this process, configuration text loaded into a
// tree, and the service managers run as real tasks.
#ifndef YW_SVC_TEST_UTIL_H
#define YW_SVC_TEST_UTIL_H

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/yw_test_common.h"
#include "dym/yw_dym_dsm.h"
#include "frw/yw_frw_cfg.h"
#include "sync/yw_sync_ssm.h"
#include "timer/yw_timer_tsm.h"

namespace yw_svc_test {

using namespace std::chrono_literals;

inline void setUp()
{
    static bool done = false;
    if (!done) {
        done = true;
        yw_common_test::initLogAndTasks(true);
    }
    YW_timer_tsm_init();
    YW_sync_ssm_init();
    YW_dym_dsm_init();
}

inline bool waitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit = 30s)
{
    return yw_common_test::waitFor(cond, limit);
}

template <typename T> inline T loadShared(T &v)
{
    return __atomic_load_n(&v, __ATOMIC_ACQUIRE);
}

// The "fw" element of a configuration given as text. The set lives until
// the process ends (the loaders keep pointers into its arena).
inline YW_frw_cfg_element_t *loadXml(const std::string &text)
{
    struct Sets {
        std::vector<YW_frw_cfg_set_t *> v;
        ~Sets()
        {
            for (YW_frw_cfg_set_t *s : v) {
                YW_frw_cfg_unload(s);
                delete s;
            }
        }
    };
    static Sets sets;
    auto *set = new YW_frw_cfg_set_t{};
    std::string buf = text;
    buf.push_back('\0');
    if (YW_frw_cfg_loadText(buf.data(), (YW_size_t)text.size(), set) != 0) {
        delete set;
        return nullptr;
    }
    sets.v.push_back(set);
    return set->base;
}

// Hands the three sections of `base` to their loaders; the results in
// order timer, resource, module.
inline std::array<YW_ret_t, 3> loadSections(YW_frw_cfg_element_t *base)
{
    return {YW_loadTimerServiceManageConfig(YW_frw_searchCfgElement(base, "timerConf", nullptr), &YW_g_timer_tsm_cfg),
            YW_loadSyncServiceManageConfig(YW_frw_searchCfgElement(base, "resourceConf", nullptr), &YW_g_sync_ssm_cfg),
            YW_loadDyModuleServiceManageConfig(YW_frw_searchCfgElement(base, "dymConf", nullptr), &YW_g_dym_dsm_cfg)};
}

inline std::string moduleFolder()
{
    return TURV_BIN_DIR;
}

inline const char *kModuleFile = "libturv_example_module.so";

// A name of this test process for a shared-memory object.
inline std::string shmName(const char *what)
{
    return std::string("/turv_t") + std::to_string(getpid()) + "_" + what;
}

// Creates the manager tasks of the timer, resource and module services
// (framework/ini tasks, as a node configures them).
inline void createManagerTasks()
{
    static const char *entries[][2] = {
        {"t_timer_tsm", "YW_timer_tsm_main"}, {"t_ssm", "YW_sync_ssm_main"}, {"t_dsm", "YW_dym_dsm_main"}};
    for (auto &e : entries) {
        YW_task_cfg_t c = yw_common_test::makeCfg(e[0], e[1], YW_TASK_CAT_FRW | YW_TASK_CAT_INI);
        YW_task_id_t id;
        ASSERT_EQ(YW_createTask(&c, &id), 0) << e[1];
    }
}

} // namespace yw_svc_test

#endif
