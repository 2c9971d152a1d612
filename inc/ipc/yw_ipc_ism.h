/*
 * IPC service manager: creates the configured channels when it starts and
 * deletes them when it stops; runs the common service-manager pattern.
 */
#ifndef YW_IPC_ISM_H
#define YW_IPC_ISM_H

#include "ipc/yw_ipc.h"
#include "yw_fsm.h"

enum { YW_IPC_FSM_STATE_IDLE = 0, YW_IPC_FSM_STATE_ACTV = 1, YW_IPC_FSM_STATE_DOWN = 2 };

enum {
    YW_IPC_CMD_START = 96,
    YW_IPC_CMD_STOP = 97,
    YW_IPC_EVT_SCHG = 98,
    YW_IPC_INTF_UP = 99,
    YW_IPC_INTF_DOWN = 100,
    YW_IPC_TXBUF_RDY = 101,
    YW_IPC_RDATA_RDY = 102,
    YW_IPC_PEER_BUSY = 103
};

typedef struct yw_ipc_ism_status {
    int state; /* bit 0 initialised, bit 1 started */
    YW_count_t nipcs;
    YW_count_t nipcAttached;
    YW_count_t nipcCreateFail;
    YW_count_t nipcAttachFail;
} YW_ipc_ism_status_t;

typedef struct yw_ipc_ism_ctx {
    YW_ipc_ism_status_t status;
    YW_fsm_context_t *fsm;
    YW_event_q_t *rcvq;
    const YW_fsm_vector_t *fsm_vectors;
    YW_int64_t timeout;
    YW_P_mutex_t lock;
} YW_ipc_ism_ctx_t;

typedef struct yw_ipc_ism_cfg {
    int reserved;
} YW_ipc_ism_cfg_t;

extern "C" {

extern YW_ipc_ism_ctx_t YW_g_ipc_ism_ctx;
extern YW_task_id_t YW_g_ipc_ism_taskid;
extern YW_ipc_ism_cfg_t YW_g_ipc_ism_cfg;

YW_ret_t YW_ipc_ism_init(void);
YW_ret_t YW_ipc_ism_deinit(void);
YW_ret_t YW_startIpcService(void);
YW_ret_t YW_shutdownIpcService(void);
YW_ret_t YW_ipc_ism_sendEvent(YW_event_value_t emsgid, void *msg);
void *YW_ipc_ism_main(void *argp);
YW_ret_t YW_ipc_ism_onStart(void);
YW_ret_t YW_ipc_ism_onStop(void);
YW_fsm_state_t YW_ipc_ism_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_ipc_ism_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_ipc_ism_handleIpcStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

/* creation outcome bookkeeping used by the channel table */
void YW_ipc_ism_countCreate(YW_ret_t result);
void YW_ipc_ism_countDelete(void);

} // extern "C"

#endif
