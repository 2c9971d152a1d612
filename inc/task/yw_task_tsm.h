/*
 * Task service manager: owns the task tables and runs as a task of its own,
 * following the shared service-manager pattern (frw/yw_svc_mng.h).
 */
#ifndef YW_TASK_TSM_H
#define YW_TASK_TSM_H

#include "frw/yw_svc_mng.h"
#include "task/yw_task.h"

/* Manager states. */
enum { YW_TSM_FSM_STATE_IDLE = 0, YW_TSM_FSM_STATE_ACTV = 1, YW_TSM_FSM_STATE_DOWN = 2 };

/* Commands, all with YW_EVENT_FLAG_FRW. */
enum { YW_TSM_CMD_START = 64, YW_TSM_CMD_STOP = 65, YW_TSM_EVT_TSCHG = 66 };

typedef struct yw_task_tsm_status {
    int state; /* bit 0 initialised, bit 1 started */
    YW_uint64_t ntasks;          /* created and not deleted */
    YW_uint64_t ntaskCreateFail;
    YW_uint64_t ntaskStarted;    /* started and not stopped */
} YW_task_tsm_status_t;

typedef struct yw_task_tsm_ctx {
    YW_task_tsm_status_t status;
    YW_fsm_context_t *fsm;
    YW_event_q_t *rcvq;
    const YW_fsm_vector_t *fsm_vectors;
    YW_int64_t timeout;
    YW_P_mutex_t lock; /* the task table mutex */
} YW_task_tsm_ctx_t;

typedef struct yw_task_tsm_cfg {
    const char *name;
} YW_task_tsm_cfg_t;

extern "C" {

extern YW_task_tsm_ctx_t YW_g_tsm_ctx;
extern YW_task_tsm_cfg_t YW_g_tsm_cfg;
extern YW_task_id_t YW_g_tsm_taskid;
extern YW_fsm_context_t YW_s_tsm_fsm;
extern const YW_fsm_vector_t YW_s_tsm_fsm_vectors[];
extern const YW_svc_mng_t YW_g_tsm_svc;

YW_ret_t YW_task_tsm_init(void);
YW_ret_t YW_task_tsm_deinit(void);
YW_task_id_t YW_task_tsm_findTaskIdByEntry(YW_task_entry_t entry);
YW_ret_t YW_task_tsm_sendEvent(YW_event_value_t id, void *data);
YW_ret_t YW_startTaskServiceManage(void);
YW_ret_t YW_shutdownTaskServiceManage(void);
YW_ret_t YW_task_tsm_onStop(void);
void *YW_task_tsm_main(void *arg);

YW_fsm_state_t YW_task_tsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_task_tsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_task_tsm_handleTaskStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

} /* extern "C" */

#endif
