/*
 * Resource service manager: the resource service's instance of the shared
 * service-manager pattern (frw/yw_svc_mng.h); commands 96, 97 and 98.
 */
#ifndef YW_SYNC_SSM_H
#define YW_SYNC_SSM_H

#include "frw/yw_svc_mng.h"
#include "sync/yw_sync.h"

enum { YW_SYNC_SSM_FSM_STATE_IDLE = 0, YW_SYNC_SSM_FSM_STATE_ACTV = 1, YW_SYNC_SSM_FSM_STATE_DOWN = 2 };
enum { YW_SYNC_SSM_CMD_START = 96, YW_SYNC_SSM_CMD_STOP = 97, YW_SYNC_SSM_EVT_SCHG = 98 };

typedef struct yw_sync_ssm_status {
    int state; /* bit 0 initialised, bit 1 started */
    YW_uint64_t nsyncs;
    YW_uint64_t nsyncLoaded;
    YW_uint64_t nsyncCreateFail;
    YW_uint64_t nsyncLoadFail;
} YW_sync_ssm_status_t;

typedef struct yw_sync_ssm_ctx {
    YW_sync_ssm_status_t status;
    YW_fsm_context_t *fsm;
    YW_event_q_t *rcvq;
    const YW_fsm_vector_t *fsm_vectors;
    YW_int64_t timeout;
    YW_P_mutex_t lock; /* the resource table mutex */
} YW_sync_ssm_ctx_t;

typedef struct yw_sync_ssm_cfg {
    int reserved;
} YW_sync_ssm_cfg_t;

extern "C" {

extern YW_sync_ssm_ctx_t YW_g_sync_ssm_ctx;
extern YW_sync_ssm_cfg_t YW_g_sync_ssm_cfg;
extern YW_task_id_t YW_g_sync_ssm_taskid;
extern YW_fsm_context_t YW_s_ssm_fsm;

YW_ret_t YW_sync_ssm_init(void);
YW_ret_t YW_sync_ssm_deinit(void);
void *YW_sync_ssm_main(void *arg);
YW_ret_t YW_sync_ssm_onStart(void);
YW_ret_t YW_sync_ssm_onStop(void);
YW_ret_t YW_sync_ssm_sendEvent(YW_event_value_t id, void *data);
YW_ret_t YW_startSyncService(void);
YW_ret_t YW_shutdownSyncService(void);
YW_fsm_state_t YW_sync_ssm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_sync_ssm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_sync_ssm_handleSyncStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

} /* extern "C" */

#endif
