// Task configurations (the "taskConf" loader), the bulk creators and stoppers
// used by the framework, and the task listing of the command "ts".
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frw/yw_frw_cfg.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "task/yw_task_tsm.h"
#include "yw_task_int.h"
#include "yw_num.h"

#define YW_TASK_CFG_TAG "taskDef"
#define YW_TASK_CFG_SCHEDULE_TAG "schedule"
#define YW_TASK_LINE_SZ 128

namespace {

const char *const YW_s_task_cfg_flag_names[] = {"framework", "ipc", "ini", "syn", "app"};
const int YW_s_task_cfg_flag_values[] = {YW_TASK_CAT_FRW, YW_TASK_CAT_IPC, YW_TASK_CAT_INI, YW_TASK_CAT_SYN,
                                         YW_TASK_CAT_APP};

// OR of the values of every word that occurs anywhere in value.
int yw_task_setFlags(const char *value, int count, const char *const *names, const int *values)
{
    int r = 0;
    if (!value)
        return 0;
    for (int i = 0; i < count; ++i)
        if (std::strstr(value, names[i]))
            r |= values[i];
    return r;
}

// Decimal number of a configuration attribute (atoi: bad text gives 0).
int yw_task_atoi(const char *v)
{
    return v ? std::atoi(v) : 0;
}

} // namespace

extern "C" {

YW_ret_t YW_task_cfg_setAttribute(YW_task_cfg_t *cfg, const char *key, const char *value)
{
    if (!cfg)
        return YW_FAIL;
    if (!key)
        return YW_SUCCESS;
    if (std::strcmp(key, "name") == 0) {
        cfg->name = const_cast<char *>(value);
    } else if (std::strcmp(key, "functionName") == 0) {
        cfg->entry_name = const_cast<char *>(value);
    } else if (std::strcmp(key, "category") == 0) {
        cfg->category = yw_task_setFlags(value, 5, YW_s_task_cfg_flag_names, YW_s_task_cfg_flag_values);
        if (cfg->category == 0)
            return YW_FAIL;
    } else if (std::strcmp(key, "stackSize") == 0) {
        long long v;
        if (!YW_parseSize(__func__, "stackSize", value, 0, INT32_MAX, &v))
            return YW_FAIL;
        cfg->stack_size = (int)v;
    } else if (std::strcmp(key, "useFlag") == 0) {
        cfg->use_flag = yw_task_atoi(value);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_task_cfg_child_setAttribute(YW_task_cfg_t *cfg, const char *child, const char *key, const char *value)
{
    if (!cfg)
        return YW_FAIL;
    if (!child || std::strcmp(child, YW_TASK_CFG_SCHEDULE_TAG) != 0 || !key)
        return YW_SUCCESS;
    if (std::strcmp(key, "policy") == 0) {
        cfg->policy = yw_task_policyOf(value);
    } else if (std::strcmp(key, "priority") == 0) {
        cfg->priority = yw_task_atoi(value);
    } else if (std::strcmp(key, "cpu") == 0) {
        cfg->cpu_no = yw_task_atoi(value);
    } else if (std::strcmp(key, "process") == 0) {
        cfg->process_no = yw_task_atoi(value);
    } else if (std::strcmp(key, "core_mask") == 0) {
        cfg->core_mask = value ? (YW_uint64_t)std::strtoull(value, nullptr, 16) : 0;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_loadTaskConfig(YW_frw_cfg_element_t *base, YW_task_cfg_t *cfg, YW_frw_cfg_element_t **cursor)
{
    if (!base || !cfg)
        return YW_ERR_NO_TSM_CFG;
    YW_frw_cfg_element_t *from = cursor ? *cursor : nullptr;
    YW_frw_cfg_element_t *e = YW_frw_searchCfgElement(base, YW_TASK_CFG_TAG, from);
    if (!e) {
        if (cursor)
            *cursor = nullptr;
        return YW_SUCCESS;
    }
    YW_ret_t r = YW_SUCCESS;
    for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(e, nullptr); a; a = YW_frw_nextCfgAttr(e, a)) {
        r = YW_task_cfg_setAttribute(cfg, a->kv.key, a->kv.value);
        if (r != YW_SUCCESS) {
            std::printf("%s:%d set attr error = %d\n", __func__, __LINE__, (int)r);
            break;
        }
    }
    // A failed attribute fails the entry: the child walk does not turn it
    // into a success (the entry would load half-read, without its category).
    for (YW_frw_cfg_element_t *c = YW_frw_nextCfgElement(e, nullptr); c && r == YW_SUCCESS;
         c = YW_frw_nextCfgElement(e, c)) {
        for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(c, nullptr); a; a = YW_frw_nextCfgAttr(c, a)) {
            r = YW_task_cfg_child_setAttribute(cfg, c->kv.key, a->kv.key, a->kv.value);
            if (r != YW_SUCCESS)
                break;
        }
    }
    if (cursor)
        *cursor = e;
    return r;
}

YW_ret_t YW_loadTaskServiceManageConfig(YW_frw_cfg_element_t *base, YW_task_tsm_cfg_t *mcfg)
{
    if (!mcfg)
        return YW_ERR_ARG_NULL;
    mcfg->name = "tsm";
    YW_frw_cfg_element_t *cursor = nullptr;
    YW_ret_t r = YW_SUCCESS;
    YW_task_lockGuard lk;
    for (int i = 0; i < YW_TASK_MAX; ++i) {
        YW_task_cfg_t *cfg = &YW_g_task_cfg[i];
        // A slot that a live task references is not rewritten.
        bool inUse = false;
        for (int t = 0; t < YW_TASK_MAX; ++t)
            if (YW_g_task[t].cfg == cfg)
                inUse = true;
        if (inUse)
            continue;
        *cfg = YW_task_cfg_t{};
        r = YW_loadTaskConfig(base, cfg, &cursor);
        if (r != YW_SUCCESS) {
            std::printf("%s:%d task cfg %s loading fail %d\n", __func__, __LINE__, cfg->name ? cfg->name : "NULL",
                        (int)r);
            *cfg = YW_task_cfg_t{}; // no half-read entry stays in the table
            break;
        }
        if (!cursor) {
            *cfg = YW_task_cfg_t{};
            break;
        }
    }
    if (r == YW_SUCCESS && cursor && YW_frw_searchCfgElement(base, YW_TASK_CFG_TAG, cursor))
        std::printf("%s:%d only %d %s entries are read, the rest are ignored\n", __func__, __LINE__, YW_TASK_MAX,
                    YW_TASK_CFG_TAG);
    return r;
}

// ---- bulk operations ---------------------------------------------------------

// Creates every configured task whose category holds all bits of `need`.
// A task whose entry function is not in the executable is reported by the
// creation (its line names the missing symbol) and skipped, so that the node
// comes up with the services it has; any other failure stops the walk.
static YW_ret_t yw_task_createByCategory(int need)
{
    for (int i = 0; i < YW_TASK_MAX; ++i) {
        YW_task_cfg_t *cfg = &YW_g_task_cfg[i];
        if (!cfg->name || (cfg->category & need) != need)
            continue;
        YW_task_id_t id;
        YW_ret_t r = YW_createTask(cfg, &id);
        if (r == YW_ERR_NO_SYMBOL)
            continue;
        if (r != YW_SUCCESS)
            return r;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_task_createInitialFrameworkTasks(void)
{
    return yw_task_createByCategory(YW_TASK_CAT_FRW | YW_TASK_CAT_INI);
}

YW_ret_t YW_task_createApplicationTasks(void)
{
    return yw_task_createByCategory(YW_TASK_CAT_APP);
}

YW_ret_t YW_task_startApplicationTasks(void)
{
    YW_ret_t result = YW_SUCCESS;
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        // Checked and started under one hold of the (recursive) table lock,
        // so the slot cannot change to another task in between.
        YW_task_lockGuard lk;
        const YW_task_t *t = &YW_g_task[i];
        if (!t->cfg || !(t->cfg->category & YW_TASK_CAT_APP) || t->status.state != YW_TASK_STATE_ASSIGNED)
            continue;
        YW_ret_t r = YW_startTask(i, nullptr);
        if (r != YW_SUCCESS && result == YW_SUCCESS)
            result = r;
    }
    return result;
}

static YW_ret_t yw_task_stopWhere(bool (*pick)(int category))
{
    YW_ret_t result = YW_SUCCESS;
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        // Checked and stopped under one hold of the (recursive) table lock,
        // so the slot cannot change to another task in between. Only started
        // tasks are stopped: a created task that never ran, or a slot whose
        // entry was not found, would fail the stop and keep every later task
        // running.
        yw_task_stopToken tok;
        {
            YW_task_lockGuard lk;
            YW_task_t *t = &YW_g_task[i];
            if (!t->cfg || !(t->status.state & YW_TASK_STATE_BUSY) || !pick(t->cfg->category))
                continue;
            tok = yw_task_stopLocked(t);
        }
        // waited for without the table lock; a task that did not end in
        // time is reported once the others are stopped too
        if (!yw_task_stopFinish(tok) && result == YW_SUCCESS)
            result = YW_ERR_TIMEOUT;
    }
    return result;
}

YW_ret_t YW_task_stopApplicationTasks(void)
{
    return yw_task_stopWhere([](int c) { return (c & YW_TASK_CAT_APP) != 0; });
}

YW_ret_t YW_task_stopFrameworkTasks(void)
{
    return yw_task_stopWhere([](int c) { return (c & YW_TASK_CAT_FRW) && !(c & YW_TASK_CAT_INI); });
}

// ---- listing --------------------------------------------------------------------

const char *YW_task_statusToString(int state)
{
    // One buffer per thread: the listing runs on the framework thread and on
    // command-interface threads at the same time.
    static thread_local char buf[16];
    buf[0] = '\0';
    if (state == 0) {
        std::strcpy(buf, "N");
        return buf;
    }
    struct {
        int bit;
        const char *letter;
    } const order[] = {{YW_TASK_STATE_EXCEPT, "X"},
                       {YW_TASK_STATE_STOPPING, "S"},
                       {YW_TASK_STATE_BUSY, "B"},
                       {YW_TASK_STATE_ASSIGNED, "A"},
                       {YW_TASK_STATE_SUSPEND, "P"}};
    for (const auto &o : order) {
        if (!(state & o.bit))
            continue;
        if (buf[0])
            std::strcat(buf, "|");
        std::strcat(buf, o.letter);
    }
    return buf;
}

YW_size_t YW_task_brief_toString(const YW_task_t *task, char *buffer, YW_size_t size)
{
    // A stopping slot is listed until its thread has ended.
    if (!task || !buffer || size < 1 || !task->cfg ||
        !(task->status.state & (YW_TASK_STATE_ASSIGNED | YW_TASK_STATE_STOPPING)))
        return 0;
    const YW_task_cfg_t *c = task->cfg;
    int n = std::snprintf(buffer, (size_t)size, "task:%03d %02d(%02d) %12s[%6s] time:%2.3f load:%2.1f",
                          (int)task->task_id, c->cpu_no, (int)(YW_uint32_t)c->core_mask, c->name ? c->name : "",
                          YW_task_statusToString(task->status.state), (double)task->status.running_time,
                          (double)task->status.load);
    if (n < 0)
        return 0;
    return n < size ? n : size - 1;
}

int YW_task_showTasks(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    YW_printf("\t*** Task list ***\n");
    for (YW_task_id_t i = 0; i < YW_TASK_MAX; ++i) {
        char line[YW_TASK_LINE_SZ];
        YW_size_t n;
        {
            YW_task_lockGuard lk;
            n = YW_task_brief_toString(&YW_g_task[i], line, sizeof line);
        }
        if (n > 0)
            YW_printf("  %s\n", line);
    }
    return 0;
}

} /* extern "C" */
