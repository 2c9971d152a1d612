// IPC service manager: creates every configured channel when it starts and
// closes and deletes them when it stops. Runs the common service-manager
// pattern (manager task, three-row state machine, commands 96/97/98).
#include <cstdio>
#include <cstring>

#include "frw/yw_svc_mng.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_inet.h"
#include "ipc/yw_ipc_ism.h"
#include "ipc/yw_ipc_kwt_srio.h"
#include "ipc/yw_ipc_tcp.h"

extern "C" {
YW_ipc_ism_ctx_t YW_g_ipc_ism_ctx;
YW_task_id_t YW_g_ipc_ism_taskid = YW_TASK_ID_NONE;
YW_ipc_ism_cfg_t YW_g_ipc_ism_cfg;
}

namespace {

YW_fsm_context_t yw_s_ism_fsm;
YW_int64_t yw_s_ism_timeout = YW_SVC_MNG_TIMEOUT;

const YW_fsm_vector_t YW_s_ism_fsm_vectors[] = {
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_IPC_CMD_START), YW_ipc_ism_handleStartCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_IPC_CMD_STOP), YW_ipc_ism_handleStopCmd},
    {YW_EVENT_ID(YW_EVENT_FLAG_FRW, YW_IPC_EVT_SCHG), YW_ipc_ism_handleIpcStateChgEvt},
    YW_FSM_VECTOR_NULL,
};

const YW_svc_mng_t yw_s_ipc_svc = {
    .fsm_name = "task_ism",
    .main_name = "YW_ipc_ism_main",
    .tag = "ssm",
    .cmd_start = YW_IPC_CMD_START,
    .cmd_stop = YW_IPC_CMD_STOP,
    .evt_change = YW_IPC_EVT_SCHG,
    .entry = YW_ipc_ism_main,
    .state = &YW_g_ipc_ism_ctx.status.state,
    .fsm = &yw_s_ism_fsm,
    .vectors = YW_s_ism_fsm_vectors,
    .rcvq = &YW_g_ipc_ism_ctx.rcvq,
    .timeout = &YW_g_ipc_ism_ctx.timeout,
    .taskid = &YW_g_ipc_ism_taskid,
    .priv = &YW_g_ipc_ism_ctx,
    .init = YW_ipc_ism_init,
    .deinit = YW_ipc_ism_deinit,
    .onStart = YW_ipc_ism_onStart,
    .onStop = YW_ipc_ism_onStop,
    .onStateChange = nullptr,
    .onLoopStart = nullptr,
    .onTimeout = nullptr,
    .onLoopEnd = nullptr,
    .activeWhenStarted = 0,
    .startedAlways = 0,
    .stopClearsAlways = 0,
    .deleteWhenIdle = 0,
};

} // namespace

extern "C" {

YW_ret_t YW_ipc_ism_init(void)
{
    YW_ipc_ism_ctx_t &c = YW_g_ipc_ism_ctx;
    // The state word is shared with the framework thread, which sets the
    // started bit while this manager initialises: atomic updates only.
    if (__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT)
        return YW_SUCCESS;
    __atomic_fetch_or(&c.status.state, YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    c.fsm = &yw_s_ism_fsm;
    c.rcvq = nullptr;
    c.fsm_vectors = YW_s_ism_fsm_vectors;
    c.timeout = yw_s_ism_timeout;
    YW_ipc_tables_clear();
    YW_ipc_tcp_server_init();
    YW_ipc_inet_init();
    YW_ipc_kwt_srio_init();
    if (!c.lock && YW_P_createMutex(0, &c.lock) != 0)
        c.lock = nullptr;
    YW_P_getThreadKey(nullptr, YW_THREAD_KEY_THREADID, &YW_g_threadKey_threadid);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_ism_deinit(void)
{
    YW_ipc_ism_ctx_t &c = YW_g_ipc_ism_ctx;
    if (!(__atomic_load_n(&c.status.state, __ATOMIC_SEQ_CST) & YW_SVC_STATE_INIT))
        return YW_SUCCESS;
    YW_ipc_kwt_srio_deinit();
    YW_ipc_inet_deinit();
    // The table mutex stays: tasks may still search the (now empty) table
    // while the manager ends, and the next initialisation reuses it.
    c.fsm = nullptr;
    __atomic_fetch_and(&c.status.state, ~YW_SVC_STATE_INIT, __ATOMIC_SEQ_CST);
    return YW_SUCCESS;
}

void YW_ipc_ism_countCreate(YW_ret_t result)
{
    // creations and deletions may run on several threads
    if (result == YW_SUCCESS)
        YW_stat_add<YW_count_t>(YW_g_ipc_ism_ctx.status.nipcs);
    else
        YW_stat_add<YW_count_t>(YW_g_ipc_ism_ctx.status.nipcCreateFail);
}

void YW_ipc_ism_countDelete(void)
{
    std::atomic_ref<YW_count_t> n(YW_g_ipc_ism_ctx.status.nipcs);
    YW_count_t v = n.load(std::memory_order_relaxed);
    while (v > 0 && !n.compare_exchange_weak(v, v - 1, std::memory_order_relaxed))
        ;
}

YW_ret_t YW_ipc_ism_onStart(void)
{
    int entries = 0, live = 0;
    YW_ret_t lastFail = YW_FAIL;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        YW_ipc_cfg_t *e = &YW_g_ipc_cfg[i];
        if (!e->name)
            break;
        entries++;
        // A channel made from this very entry by an earlier start is kept;
        // another entry of the same name is refused by the creation (-981).
        YW_ipc_t *made = YW_ipc_searchByCfg(e);
        if (made && YW_ipc_cfgOf(made) == e) {
            live++;
            continue;
        }
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        YW_ret_t r = YW_createIpc(e, &id);
        if (r == YW_SUCCESS) {
            live++;
        } else {
            std::printf("%s:%d ipc %s not created: %d\n", __func__, __LINE__, e->name, (int)r);
            lastFail = r;
        }
    }
    if (entries == 0) {
        std::printf("%s:%d no ipc channel configured\n", __func__, __LINE__);
        return YW_SUCCESS;
    }
    if (live == 0)
        return lastFail;
    // The socket tasks, then the shared-memory ones. Channels work without
    // the tasks (direct sends and receives): a failed start is only reported.
    YW_ipc_inet_start();
    YW_ipc_kwt_srio_start();
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_ism_onStop(void)
{
    YW_ipc_tcp_server_stopAll();
    YW_ipc_kwt_srio_stop();
    YW_ipc_inet_stop();
    YW_ret_t r = YW_SUCCESS;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        YW_ipc_t *ipc = &YW_g_ipc[i];
        if (!YW_ipc_cfgOf(ipc))
            continue;
        YW_ret_t d = YW_ipc_closeAndDelete(ipc->ipc_id);
        if (d != YW_SUCCESS) {
            std::printf("%s:%d ipc %d delete fail %d\n", __func__, __LINE__, i, (int)d);
            r = d;
        }
    }
    return r;
}

YW_SVC_MNG_DEFINE_ENTRIES(yw_s_ipc_svc,
                          YW_ipc_ism_sendEvent, YW_startIpcService, YW_shutdownIpcService,
                          YW_ipc_ism_main,
                          YW_ipc_ism_handleStartCmd, YW_ipc_ism_handleStopCmd,
                          YW_ipc_ism_handleIpcStateChgEvt)

} // extern "C"
