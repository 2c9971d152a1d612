// Logging service: entity table, configurations, the record path behind the
// printing macros, and the "logDef" loader.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "frw/yw_frw_cfg.h"
#include "log/yw_log.h"
#include "yw_num.h"
#include "task/yw_task.h"
#include "yw_mem.h"

#define S(x) const_cast<YW_string_t>(x)

// A log entity's own task is stopped through the task service when that
// service is linked in.
#pragma weak YW_stopTask
#pragma weak YW_deleteTask

extern "C" {

YW_log_cfg_t YW_g_log_cfg[YW_LSE_MAX];
YW_log_t YW_g_pLSE[YW_LSE_MAX];
int YW_g_lse_count;
YW_logServiceEntity_t YW_g_lse_stdout;
YW_logServiceEntity_t YW_g_lse_stderr;
YW_log_t YW_g_log_stdout;
YW_log_t YW_g_log_stderr;
YW_logServiceStatus_t YW_g_logServiceStatus;
YW_logEventControl_t YW_g_logEventControl;
YW_event_q_t YW_g_lsm_event_q;
YW_event_q_t YW_g_log_event_q;

YW_log_cfg_t YW_s_log_cfg_stdout = {
    S("stdout"),
    65536,
    0,
    {YW_LOG_PORT_TYPE_ONDEMAND, YW_LOG_LEVEL_VERBOSE, nullptr},
    {{YW_LOG_PORT_TYPE_STDOUT, YW_LOG_LEVEL_VERBOSE, nullptr, nullptr, nullptr, 0, 0},
     {YW_LOG_PORT_TYPE_FILE, YW_LOG_LEVEL_VERBOSE, nullptr, S("./log"), S("turv_stdout.log"), 2000000, 1}},
    2,
    0,
    1,
    0,
    0x1,
    0,
    32768,
};

YW_log_cfg_t YW_s_log_cfg_stderr = {
    S("stderr"),
    65536,
    0,
    {YW_LOG_PORT_TYPE_ONDEMAND, YW_LOG_LEVEL_ERROR, nullptr},
    {{YW_LOG_PORT_TYPE_STDOUT, YW_LOG_LEVEL_ERROR, nullptr, nullptr, nullptr, 0, 0},
     {YW_LOG_PORT_TYPE_FILE, YW_LOG_LEVEL_ERROR, nullptr, S("./log"), S("turv_error.log"), 2000000, 1}},
    2,
    0,
    1,
    0,
    0x1,
    0,
    32768,
};

} // extern "C"

namespace {

// Guards the slot table and the entity life cycle (create, delete, init).
std::recursive_mutex g_tableLock;

bool is_static_entity(YW_log_t h)
{
    return h == &YW_g_lse_stdout || h == &YW_g_lse_stderr || h->origin != YW_LSE_HEAP;
}

// Deletion waits this long, in steps, for the writers and deliveries in flight.
constexpr int kRetireTries = 10000;
constexpr YW_int64_t kRetireStepNs = 1000000LL; // 1 ms

// Entities allocated by YW_createLog and deleted since: kept (gate closed) for
// the next creation, never handed back to the heap (see the entity's gate).
// Guarded by the table lock.
YW_log_t g_spare[YW_LSE_MAX * 2];
int g_spareCount;

YW_log_t take_entity()
{
    if (g_spareCount > 0)
        return g_spare[--g_spareCount];
    void *mem = YW_malloc(sizeof(YW_logServiceEntity_t));
    if (!mem)
        return nullptr;
    YW_log_t h = new (mem) YW_logServiceEntity_t{};
    YW_gate_close(h->gate);
    h->origin = YW_LSE_HEAP;
    return h;
}

void give_back_entity(YW_log_t h)
{
    if (g_spareCount < (int)(sizeof(g_spare) / sizeof(g_spare[0]))) {
        g_spare[g_spareCount++] = h;
        return;
    }
    // more than ever live at once: cannot happen with 64 slots
    std::printf("%s:%d entity %p kept\n", __func__, __LINE__, (void *)h);
}

bool parse_i64(const char *s, int base, YW_int64_t *out)
{
    if (!s || !*s)
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(s, &end, base);
    if (errno != 0 || end == s || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool parse_u64_hex(const char *s, YW_uint64_t *out)
{
    if (!s || !*s || *s == '-')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 16);
    if (errno != 0 || end == s || *end != '\0')
        return false;
    *out = v;
    return true;
}

bool parse_int(const char *s, int *out)
{
    YW_int64_t v;
    if (!parse_i64(s, 10, &v) || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = (int)v;
    return true;
}

bool parse_level(const char *s, YW_uint32_t *out)
{
    YW_int64_t v;
    if (!parse_i64(s, 10, &v) || v < 0 || v > 0xFFFF)
        return false;
    *out = (YW_uint32_t)v;
    return true;
}

// Entry of cfg->output that "output" and "logFile" attributes go to: the one
// opened last; the first attribute of a configuration without any opens 0.
YW_log_cfg_output_t *current_output(YW_log_cfg_t *cfg)
{
    if (cfg->output_count == 0)
        cfg->output_count = 1;
    if (cfg->output_count > YW_LOG_OUTPUT_PORT_MAX)
        return nullptr;
    return &cfg->output[cfg->output_count - 1];
}

YW_ret_t apply_attrs(YW_frw_cfg_element_t *e, YW_log_cfg_t *cfg)
{
    for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(e, nullptr); a; a = YW_frw_nextCfgAttr(e, a)) {
        YW_ret_t r = YW_log_cfg_setAttribute(cfg, e->kv.key, a->kv.key, a->kv.value);
        if (r != 0) {
            std::printf("%s:%d set attr error = %d\n", __func__, __LINE__, (int)r);
            return r;
        }
    }
    return YW_SUCCESS;
}

// Applies the children of a "logDef" (recursively). Each "output" element
// opens the next output entry, so its attributes and those of its "logFile"
// (inside it or following it) fill consecutive entries.
YW_ret_t apply_children(YW_frw_cfg_element_t *e, YW_log_cfg_t *cfg, int depth)
{
    if (depth > 8)
        return YW_FAIL;
    for (YW_frw_cfg_element_t *c = YW_frw_nextCfgElement(e, nullptr); c; c = YW_frw_nextCfgElement(e, c)) {
        if (c->kv.key && std::strcmp(c->kv.key, "output") == 0) {
            if (cfg->output_count >= YW_LOG_OUTPUT_PORT_MAX) {
                std::printf("%s:%d too many outputs for %s\n", __func__, __LINE__, cfg->name ? cfg->name : "NULL");
                return YW_FAIL;
            }
            cfg->output_count++;
        }
        YW_ret_t r = apply_attrs(c, cfg);
        if (r == 0)
            r = apply_children(c, cfg, depth + 1);
        if (r != 0) {
            std::printf("%s:%d set child attr error = %d\n", __func__, __LINE__, (int)r);
            return r;
        }
    }
    return YW_SUCCESS;
}

} // namespace

extern "C" {

// ---- configurations ------------------------------------------------------------

void YW_log_cfg_init(YW_log_cfg_t *cfg)
{
    if (!cfg)
        return;
    std::memset(cfg, 0, sizeof(*cfg));
    cfg->name = nullptr;
    cfg->bufferSize = YW_LOG_CFG_BUFFER_SIZE_DEFAULT;
    cfg->flags = 0;
    cfg->output_count = 0;
}

int YW_log_cfg_equal(const YW_log_cfg_t *a, const YW_log_cfg_t *b)
{
    if (!a || !b)
        return 0;
    if (a == b || a->name == b->name)
        return 1;
    return a->name && b->name && std::strcmp(a->name, b->name) == 0 ? 1 : 0;
}

int YW_log_cfg_isStatic(const YW_log_cfg_t *cfg)
{
    return cfg >= &YW_g_log_cfg[0] && cfg < &YW_g_log_cfg[YW_LSE_MAX] ? 1 : 0;
}

YW_log_cfg_t *YW_log_cfg_duplicate(const YW_log_cfg_t *cfg)
{
    if (!cfg)
        return nullptr;
    YW_log_cfg_t *c = static_cast<YW_log_cfg_t *>(YW_malloc(sizeof(YW_log_cfg_t)));
    if (!c)
        return nullptr;
    *c = *cfg;
    c->name = nullptr;
    if (cfg->name) {
        size_t n = std::strlen(cfg->name) + 1;
        c->name = static_cast<YW_string_t>(YW_malloc(n));
        if (!c->name) {
            YW_free(c);
            return nullptr;
        }
        std::memcpy(c->name, cfg->name, n);
    }
    return c;
}

void YW_log_cfg_free(YW_log_cfg_t *cfg)
{
    if (!cfg || YW_log_cfg_isStatic(cfg) || cfg == &YW_s_log_cfg_stdout || cfg == &YW_s_log_cfg_stderr)
        return;
    YW_free(cfg->name);
    YW_free(cfg);
}

YW_ret_t YW_log_cfg_setAttribute(YW_addr_t pcfg, YW_string_t element, YW_string_t attribute, YW_string_t value)
{
    YW_log_cfg_t *cfg = static_cast<YW_log_cfg_t *>(pcfg);
    if (!cfg || !attribute || !value)
        return YW_FAIL;
    std::string_view el = element ? element : "";
    std::string_view at = attribute;
    std::string_view v = value;
    if (el.empty() || el == YW_LOG_LSE_TAG) {
        if (at == "groupID") {
            cfg->name = value;
            return YW_SUCCESS;
        }
        if (at == "bufferSize") {
            long long v;
            if (!YW_parseSize(__func__, "bufferSize", value, 0, INT32_MAX, &v))
                return YW_FAIL;
            cfg->bufferSize = v;
            return YW_SUCCESS;
        }
        return YW_FAIL;
    }
    if (el == "flags") {
        static const struct {
            const char *name;
            YW_uint32_t bit;
        } kFlags[] = {{"datalogFlag", YW_LOG_FLAG_DATA},
                      {"timestampFlag", YW_LOG_FLAG_TIME},
                      {"fileFlag", YW_LOG_FLAG_FILE},
                      {"functionFlag", YW_LOG_FLAG_FUNC},
                      {"lineFlag", YW_LOG_FLAG_LINE}};
        for (const auto &f : kFlags) {
            if (at == f.name) {
                YW_int64_t n;
                if (!parse_i64(value, 10, &n))
                    return YW_FAIL;
                if (n != 0)
                    cfg->flags |= f.bit;
                return YW_SUCCESS;
            }
        }
        return YW_FAIL;
    }
    if (el == "input") {
        if (at == "output") {
            if (v.substr(0, 7) == "ondeman")
                cfg->input.type = YW_LOG_PORT_TYPE_ONDEMAND;
            else if (v == "log")
                cfg->input.type = YW_LOG_PORT_TYPE_LSE;
            else if (v == "ipc")
                cfg->input.type = YW_LOG_PORT_TYPE_IPC;
            return YW_SUCCESS;
        }
        if (at == "level")
            return parse_level(value, &cfg->input.level) ? YW_SUCCESS : YW_FAIL;
        if (at == "ID") {
            cfg->input.ID = value;
            return YW_SUCCESS;
        }
        return YW_FAIL;
    }
    if (el == "output") {
        YW_log_cfg_output_t *o = current_output(cfg);
        if (!o)
            return YW_FAIL;
        if (at == "output") {
            if (v == "stdout")
                o->type = YW_LOG_PORT_TYPE_STDOUT;
            else if (v == "log")
                o->type = YW_LOG_PORT_TYPE_LSE;
            else if (v == "ipc")
                o->type = YW_LOG_PORT_TYPE_IPC;
            else if (v == "cli")
                o->type = YW_LOG_PORT_TYPE_CLI;
            else if (v == "file")
                o->type = YW_LOG_PORT_TYPE_FILE;
            return YW_SUCCESS;
        }
        if (at == "level")
            return parse_level(value, &o->level) ? YW_SUCCESS : YW_FAIL;
        if (at == "ID") {
            o->ID = value;
            return YW_SUCCESS;
        }
        return YW_FAIL;
    }
    if (el == "logFile") {
        YW_log_cfg_output_t *o = current_output(cfg);
        if (!o)
            return YW_FAIL;
        if (at == "logFolderName") {
            o->logFolderName = value;
            return YW_SUCCESS;
        }
        if (at == "logFileName") {
            o->logFileName = value;
            return YW_SUCCESS;
        }
        if (at == "logFileMaxSize") {
            long long n;
            if (!YW_parseSize(__func__, "logFileMaxSize", value, 0, INT64_MAX, &n))
                return YW_FAIL;
            o->logFileMaxSize = n;
            return YW_SUCCESS;
        }
        if (at == "logFileWrapOption") {
            YW_int64_t n;
            if (!parse_i64(value, 10, &n) || n < 0 || n > UINT32_MAX)
                return YW_FAIL;
            o->logFileWrapOption = (YW_uint32_t)n;
            return YW_SUCCESS;
        }
        return YW_FAIL;
    }
    if (el == "task") {
        if (at == "policy") {
            cfg->policy = v == "SCHED_FIFO" ? 1 : (v == "SCHED_RR" ? 2 : 0);
            return YW_SUCCESS;
        }
        if (at == "priority")
            return parse_int(value, &cfg->priority) ? YW_SUCCESS : YW_FAIL;
        if (at == "cpu_no")
            return parse_int(value, &cfg->cpu_no) ? YW_SUCCESS : YW_FAIL;
        if (at == "process_no")
            return parse_int(value, &cfg->process_no) ? YW_SUCCESS : YW_FAIL;
        if (at == "core_mask")
            return parse_u64_hex(value, &cfg->core_mask) ? YW_SUCCESS : YW_FAIL;
        if (at == "stackSize") {
            long long n;
            if (!YW_parseSize(__func__, "stackSize", value, 0, INT32_MAX, &n))
                return YW_FAIL;
            cfg->stack_size = n;
            return YW_SUCCESS;
        }
        return YW_FAIL;
    }
    return YW_FAIL;
}

YW_size_t YW_log_cfg_toString(const YW_log_cfg_t *cfg, char *buffer, YW_size_t size)
{
    if (!cfg || !buffer || size < 1)
        return 0;
    YW_size_t n = 0;
    auto put = [&](int w) {
        if (w > 0)
            n += w;
        if (n >= size)
            n = size - 1;
    };
    put(std::snprintf(buffer, (size_t)size, "groupID=%s bufferSize=%d flags=%x input=%d %lxoutput=",
                      cfg->name ? cfg->name : "NULL", (int)cfg->bufferSize, cfg->flags, (int)cfg->input.type,
                      (unsigned long)(uintptr_t)cfg->input.ID));
    YW_uint64_t cnt = cfg->output_count > YW_LOG_OUTPUT_PORT_MAX ? YW_LOG_OUTPUT_PORT_MAX : cfg->output_count;
    for (YW_uint64_t i = 0; i < cnt && n < size - 1; ++i) {
        const YW_log_cfg_output_t &o = cfg->output[i];
        if (o.type == YW_LOG_PORT_TYPE_FILE)
            put(std::snprintf(buffer + n, (size_t)(size - n), "%d(%s, %s, %d, %d) ", (int)o.type,
                              o.logFolderName ? o.logFolderName : "NULL", o.logFileName ? o.logFileName : "NULL",
                              (int)o.logFileMaxSize, (int)o.logFileWrapOption));
        else
            put(std::snprintf(buffer + n, (size_t)(size - n), "%d(%lx) ", (int)o.type,
                              (unsigned long)(uintptr_t)o.ID));
    }
    return n;
}

YW_ret_t YW_loadLogServiceEntity(YW_frw_cfg_element_t *section, YW_log_cfg_t *cfg, YW_frw_cfg_element_t **iterator)
{
    if (!section || !cfg)
        return YW_ERR_NO_CFG;
    YW_frw_cfg_element_t *prev = iterator ? *iterator : nullptr;
    YW_frw_cfg_element_t *e = YW_frw_searchCfgElement(section, YW_LOG_LSE_TAG, prev);
    if (iterator)
        *iterator = e;
    if (!e)
        return YW_SUCCESS;
    YW_ret_t r = apply_attrs(e, cfg);
    if (r == 0)
        r = apply_children(e, cfg, 0);
    if (r != 0)
        return r;
    char text[512];
    YW_log_cfg_toString(cfg, text, sizeof(text));
    std::printf("%s:%d cfg: %s\n", __func__, __LINE__, text);
    return YW_SUCCESS;
}

// ---- entities ------------------------------------------------------------------------

YW_ret_t YW_createLog(YW_log_cfg_t *cfg, YW_log_t *handle)
{
    if (!cfg)
        return YW_ERR_CFG_NULL;
    if (!handle)
        return YW_FAIL;
    YW_shared_lock<std::recursive_mutex> g(g_tableLock);
    YW_ret_t r = YW_SUCCESS;
    int slot = -1;
    for (int i = 0; i < YW_LSE_MAX; ++i) {
        YW_log_t e = YW_g_pLSE[i];
        if (e && YW_log_cfg_equal(e->cfg, cfg))
            return YW_ERR_CFG_AGAIN;
        if (!e && slot < 0)
            slot = i;
    }
    if (slot < 0) {
        r = YW_ERR_ENTITY_NULL;
    } else {
        YW_log_t h = *handle;
        if (!h && !(h = take_entity()))
            r = YW_ERR_MALLOC;
        if (h) {
            YW_gate_close(h->gate); // refused until it is made
            std::atomic_ref<YW_uint64_t>(h->drops).store(0, std::memory_order_relaxed);
            h->refCount++;
            h->logId = (YW_uint32_t)slot;
            h->flags.store(0);
            h->cfg = YW_log_cfg_isStatic(cfg) ? cfg : YW_log_cfg_duplicate(cfg);
            if (!h->cfg) {
                r = YW_ERR_NO_MEM;
            } else {
                r = YW_log_lse_init(h);
            }
            if (r != 0) {
                if (h->cfg)
                    YW_log_cfg_free(h->cfg);
                h->cfg = nullptr;
                h->flags.store(0);
                if (--h->refCount <= 0 && !is_static_entity(h))
                    give_back_entity(h);
            } else {
                YW_gate_open(h->gate);
                std::atomic_ref<YW_log_t>(YW_g_pLSE[slot]).store(h, std::memory_order_release);
                std::atomic_ref<int>(YW_g_lse_count).fetch_add(1);
                *handle = h;
            }
        }
    }
    if (r != 0)
        std::printf("%s:%d error = %d for %s\n", __func__, __LINE__, (int)r, cfg->name ? cfg->name : "NULL");
    return r;
}

// Stops new writers and deliveries and waits for those in flight; 0 when this
// caller may take the entity apart, YW_ERR_STATE when it is not made, another
// deletion runs, or the calls in flight did not end in time (it stays usable).
static YW_ret_t retire_entity(YW_log_t h)
{
    {
        YW_shared_lock<std::recursive_mutex> g(g_tableLock);
        if (!(h->flags.load() & YW_LOG_FLAG_ASSIGNED))
            return YW_ERR_STATE;
    }
    if (YW_gate_retire(h->gate, kRetireTries, kRetireStepNs) != YW_GATE_DRAINED) {
        std::printf("%s:%d log %u still in use: not deleted\n", __func__, __LINE__, (unsigned)h->logId);
        return YW_ERR_STATE;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_deleteLog(YW_log_t h)
{
    if (!h)
        return YW_SUCCESS;
    YW_ret_t r = retire_entity(h);
    if (r != YW_SUCCESS)
        return r;
    YW_shared_lock<std::recursive_mutex> g(g_tableLock);
    if (h == YW_log_handle(YW_g_log_stdout))
        YW_log_setHandle(YW_g_log_stdout, nullptr);
    if (h == YW_log_handle(YW_g_log_stderr))
        YW_log_setHandle(YW_g_log_stderr, nullptr);
    if ((h->flags.load() & YW_LOG_FLAG_ENABLED) && h->task_id < YW_TASK_MAX && YW_stopTask && YW_deleteTask) {
        r = YW_stopTask(h->task_id);
        if (r == 0)
            r = YW_deleteTask(h->task_id);
        h->task_id = 0xFFFFFFFFu;
    }
    YW_log_lse_deInit(h);
    if (r != 0) {
        YW_gate_open(h->gate); // kept, without its ring
        return r;
    }
    YW_log_cfg_free(h->cfg);
    h->cfg = nullptr;
    h->flags.store(0);
    YW_gate_close(h->gate);
    // The two default entities live in static storage: never freed.
    if (--h->refCount <= 0) {
        h->refCount = 0;
        if (!is_static_entity(h))
            give_back_entity(h);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_registerLog(const char *name, YW_log_t *out)
{
    if (!out)
        return YW_FAIL;
    YW_log_t found = nullptr;
    if (name) {
        YW_shared_lock<std::recursive_mutex> g(g_tableLock);
        for (int i = 0; i < YW_LSE_MAX && !found; ++i) {
            YW_log_t e = YW_g_pLSE[i];
            if (e && e->cfg && e->cfg->name && std::strcmp(e->cfg->name, name) == 0)
                found = e;
        }
    }
    // one store: the standard handles are read by printing threads meanwhile
    YW_log_setHandle(*out, found);
    return found ? YW_SUCCESS : YW_FAIL;
}

YW_ret_t YW_unregisterLog(YW_log_t h)
{
    if (!h)
        return YW_FAIL;
    if (retire_entity(h) != YW_SUCCESS)
        return YW_FAIL;
    YW_shared_lock<std::recursive_mutex> g(g_tableLock);
    YW_log_lse_deInit(h);
    YW_gate_open(h->gate);
    return YW_SUCCESS;
}

YW_ret_t YW_enableLog(YW_log_t h)
{
    if (!h)
        return YW_FAIL;
    h->flags.fetch_or(YW_LOG_FLAG_ENABLED);
    return YW_SUCCESS;
}

YW_ret_t YW_disableLog(YW_log_t h)
{
    if (!h)
        return YW_FAIL;
    h->flags.fetch_and((YW_uint16_t)~YW_LOG_FLAG_ENABLED);
    return YW_SUCCESS;
}

YW_ret_t YW_setLogFlags(YW_log_t h, YW_uint32_t f)
{
    if (!h)
        return YW_FAIL;
    h->flags.fetch_or((YW_uint16_t)f);
    return YW_SUCCESS;
}

YW_ret_t YW_resetLogFlags(YW_log_t h, YW_uint32_t f)
{
    if (!h)
        return YW_FAIL;
    h->flags.fetch_and((YW_uint16_t)~f);
    return YW_SUCCESS;
}

YW_ret_t YW_logWrite(YW_log_t h, YW_uint16_t level, const void *data, YW_size_t length)
{
    if (!h)
        return YW_FAIL;
    YW_gate_hold in(h->gate);
    if (!in)
        return YW_ERR_LOG_INVALID; // deleted
    YW_uint16_t f = h->flags.load();
    if (!(f & YW_LOG_FLAG_DATA))
        return YW_ERR_NOT_DATALOG;
    if (!(f & YW_LOG_FLAG_ENABLED))
        return YW_ERR_LOG_DISABLED;
    if (h->level < level)
        return YW_ERR_LOG_LEVEL;
    if (h->input.type == YW_LOG_PORT_TYPE_INVALID || !h->input.cb_push)
        return YW_ERR_LOG_INVALID;
    return (YW_ret_t)h->input.cb_push(&h->input, static_cast<const char *>(data), length, level);
}

YW_ret_t YW_addLogSource(YW_log_t h, YW_uint32_t type, YW_event_q_t *q)
{
    if (!h || !h->cfg)
        return YW_FAIL;
    if (h->cfg->input.type != type)
        return YW_ERR_CFG_INCONSISTENT;
    if (type == YW_LOG_PORT_TYPE_ONDEMAND)
        return YW_log_lse_addInputOndemand(h, q, &h->input);
    std::printf("%s:%d  not supported port type=%d\n", __func__, __LINE__, (int)type);
    return YW_FAIL;
}

YW_ret_t YW_delLogSource(YW_log_t h, YW_uint32_t type)
{
    if (!h)
        return YW_FAIL;
    if (type == YW_LOG_PORT_TYPE_ONDEMAND || type == YW_LOG_PORT_TYPE_LSE || type == YW_LOG_PORT_TYPE_IPC) {
        h->input.type = YW_LOG_PORT_TYPE_INVALID;
        return YW_SUCCESS;
    }
    std::printf("%s:%d not supported port type=%d\n", __func__, __LINE__, (int)type);
    return YW_FAIL;
}

YW_ret_t YW_addLogSink(YW_log_t h, YW_uint32_t type, YW_event_q_t *q)
{
    if (!h || !h->cfg)
        return YW_FAIL;
    YW_log_cfg_output_t *entry = nullptr;
    YW_uint64_t cnt = h->cfg->output_count > YW_LOG_OUTPUT_PORT_MAX ? YW_LOG_OUTPUT_PORT_MAX : h->cfg->output_count;
    for (YW_uint64_t i = 0; i < cnt; ++i) {
        if (h->cfg->output[i].type == type) {
            entry = &h->cfg->output[i];
            break;
        }
    }
    if (!entry)
        return YW_ERR_CFG_INCONSISTENT;
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        for (auto &p : h->output)
            if (p.type != YW_LOG_PORT_TYPE_INVALID && p.cfg == entry)
                return YW_ERR_AGAIN;
    }
    if (type == YW_LOG_PORT_TYPE_STDOUT)
        return YW_log_lse_addOutputStdout(h, q, entry);
    std::printf("%s:%d not supported port type=%d\n", __func__, __LINE__, (int)type);
    return YW_FAIL;
}

YW_ret_t YW_delLogSink(YW_log_t h, YW_uint32_t type, int index)
{
    if (!h || index < 0 || index >= YW_LOG_OUTPUT_PORT_MAX)
        return YW_FAIL;
    {
        YW_shared_lock<std::mutex> g(h->portLock);
        if (h->output[index].type != type)
            return YW_FAIL;
    }
    if (type == YW_LOG_PORT_TYPE_STDOUT)
        return YW_log_lse_delOutput(h, index);
    std::printf("%s:%d not supported port type=%d\n", __func__, __LINE__, (int)type);
    return YW_FAIL;
}

// ---- the record path -----------------------------------------------------------------

void YW_logPrintfAt(YW_log_t h, YW_uint16_t level, const char *file, int line, const char *func,
                    const char *format, ...)
{
    // A task printing in a loop is ended here once it was stopped.
    YW_P_stopPoint();
    if (!h)
        return;
    YW_uint16_t f = h->flags.load(std::memory_order_relaxed);
    if (f & YW_LOG_FLAG_DATA) {
        std::printf("%s:%d flag data\n", func, line);
        return;
    }
    if (!(f & YW_LOG_FLAG_ENABLED)) {
        std::printf("%s:%d not enabled\n", func, line);
        return;
    }
    // The caller's arguments are formatted before the entity is entered: a
    // fault in them is the caller's own, with nothing of the log held.
    char buf[YW_LOG_PRINTF_BUF_SZ];
    const int cap = YW_LOG_PRINTF_BUF_SZ;
    int n = 0;
    bool fl = f & YW_LOG_FLAG_FILE, ln = f & YW_LOG_FLAG_LINE, fn = f & YW_LOG_FLAG_FUNC;
    if (fl && ln && fn)
        n = std::snprintf(buf, cap, "(%s:%d, %s) ", file, line, func);
    else if (fl && ln)
        n = std::snprintf(buf, cap, "(%s:%d) ", file, line);
    else if (fl && fn)
        n = std::snprintf(buf, cap, "(%s: %s) ", file, func);
    else if (fl)
        n = std::snprintf(buf, cap, "(%s) ", file);
    else if (ln && fn)
        n = std::snprintf(buf, cap, "(%d, %s) ", line, func);
    else if (ln)
        n = std::snprintf(buf, cap, "(%d) ", line);
    else if (fn)
        n = std::snprintf(buf, cap, "(%s) ", func);
    if (n < 0)
        n = 0;
    if (n > cap - 1)
        n = cap - 1;
    va_list ap;
    va_start(ap, format);
    int m = std::vsnprintf(buf + n, (size_t)(cap - n), format, ap);
    va_end(ap);
    // A longer line is cut at the buffer: never hand on more than it holds.
    if (m < 0)
        m = 0;
    if (m > cap - 1 - n)
        m = cap - 1 - n;
    YW_gate_hold in(h->gate);
    if (!in)
        return; // being deleted
    if (h->level < level) {
        std::printf("%s:%d level %d %d\n", func, line, (int)h->level, (int)level);
        return;
    }
    YW_log_push_cb_t push = h->input.cb_push;
    if (h->input.type == YW_LOG_PORT_TYPE_INVALID || !push) {
        std::printf("%s:%d invalid\n", func, line);
        return;
    }
    push(&h->input, buf, n + m, level);
}

// ---- service ---------------------------------------------------------------------------

static YW_ret_t create_default(YW_logServiceEntity_t *storage, YW_log_cfg_t *cfg, bool err)
{
    YW_log_t h = storage;
    YW_ret_t r = YW_createLog(cfg, &h);
    if (r != 0)
        return r;
    YW_log_lse_addInputOndemand(h, &YW_g_log_event_q, &h->input);
    if (err)
        YW_log_lse_addOutputStderr(h, &YW_g_log_event_q, &h->cfg->output[0]);
    else
        YW_log_lse_addOutputStdout(h, &YW_g_log_event_q, &h->cfg->output[0]);
    YW_log_lse_addOutputFile(h, &YW_g_log_event_q, &h->cfg->output[1]);
    YW_enableLog(h);
    YW_setLogFlags(h, YW_LOG_FLAG_TIME);
    return YW_SUCCESS;
}

YW_ret_t YW_log_lse_createDefaultLog(void)
{
    return create_default(&YW_g_lse_stdout, &YW_s_log_cfg_stdout, false);
}

YW_ret_t YW_log_lse_createDefaultErrorLog(void)
{
    return create_default(&YW_g_lse_stderr, &YW_s_log_cfg_stderr, true);
}

YW_ret_t YW_log_init(void)
{
    YW_shared_lock<std::recursive_mutex> g(g_tableLock);
    std::atomic_ref<int> status(YW_g_logServiceStatus.status);
    if (status.load() != 0)
        return YW_SUCCESS;
    status.store(YW_LOG_STATUS_INIT);
    std::atomic_ref<YW_int64_t>(YW_g_logServiceStatus.logRecordCount).store(0);
    for (auto &c : YW_g_log_cfg)
        YW_log_cfg_init(&c);
    YW_g_lse_count = 0;
    for (auto &p : YW_g_pLSE)
        p = nullptr;

    YW_event_q_t *q = YW_event_q_init(&YW_g_lsm_event_q, S("log_event"), YW_log_lsm_fire_event,
                                      YW_log_lsm_wait_event, &YW_g_logEventControl);
    YW_event_set_send_callback(q, YW_EVENT_FLAG_LSE, nullptr);
    YW_event_set_recv_callback(q, YW_EVENT_FLAG_LSE, nullptr);
    q->flags_wait.store(YW_EVENT_FLAG_LSE);
    q = YW_event_q_init(&YW_g_log_event_q, S("log_event"), YW_log_fire_event, YW_log_wait_event,
                        &YW_g_logEventControl);
    YW_event_set_send_callback(q, YW_EVENT_FLAG_LSE, nullptr);
    YW_event_set_recv_callback(q, YW_EVENT_FLAG_LSE, nullptr);
    q->flags_wait.store(YW_EVENT_FLAG_LSE);
    std::atomic_ref<YW_P_thread_t>(YW_g_logEventControl.lse_recv_task).store(nullptr);

    YW_ret_t r = YW_log_lse_createDefaultLog();
    if (r != 0)
        std::printf("%s:%d create default log fail = %d\n", __func__, __LINE__, (int)r);
    r = YW_log_lse_createDefaultErrorLog();
    if (r != 0)
        std::printf("%s:%d create error log fail = %d\n", __func__, __LINE__, (int)r);
    else
        YW_log_setHandle(YW_g_log_stderr, &YW_g_lse_stderr);
    return r;
}

// Shuts the service down, empties both queues and deletes every entity, so a
// later YW_log_init starts from a clean table.
YW_ret_t YW_log_deinit(void)
{
    if (YW_shutdownLogService)
        YW_shutdownLogService();
    YW_shared_lock<std::recursive_mutex> g(g_tableLock);
    std::atomic_ref<int> status(YW_g_logServiceStatus.status);
    if (status.load() == 0)
        return YW_SUCCESS;
    YW_event_q_deinit(&YW_g_lsm_event_q);
    YW_event_q_deinit(&YW_g_log_event_q);
    YW_log_setHandle(YW_g_log_stdout, nullptr);
    YW_log_setHandle(YW_g_log_stderr, nullptr);
    for (int i = 0; i < YW_LSE_MAX; ++i) {
        if (YW_log_t h = YW_g_pLSE[i])
            YW_deleteLog(h);
    }
    status.store(0);
    return YW_SUCCESS;
}

} // extern "C"
