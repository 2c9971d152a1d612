/*
 * Module service manager: the module service's instance of the shared
 * service-manager pattern (frw/yw_svc_mng.h); commands 80, 81 and 82. It
 * reports its state to the framework when its task begins and lists the
 * modules whenever its wait times out.
 */
#ifndef YW_DYM_DSM_H
#define YW_DYM_DSM_H

#include "dym/yw_dym.h"
#include "frw/yw_svc_mng.h"

enum { YW_DYM_DSM_FSM_STATE_IDLE = 0, YW_DYM_DSM_FSM_STATE_ACTV = 1, YW_DYM_DSM_FSM_STATE_DOWN = 2 };
enum { YW_DYM_DSM_CMD_START = 80, YW_DYM_DSM_CMD_STOP = 81, YW_DYM_DSM_EVT_DCHG = 82 };

typedef struct yw_dym_dsm_status {
    int state; /* bit 0 initialised, bit 1 started */
    YW_uint64_t ndyms;
    YW_uint64_t ndymLoaded;
    YW_uint64_t ndymCreateFail;
    YW_uint64_t ndymLoadFail;
} YW_dym_dsm_status_t;

typedef struct yw_dym_dsm_ctx {
    YW_dym_dsm_status_t status;
    YW_fsm_context_t *fsm;
    YW_event_q_t *rcvq;
    const YW_fsm_vector_t *fsm_vectors;
    YW_int64_t timeout;
    YW_P_mutex_t lock; /* the module table mutex */
} YW_dym_dsm_ctx_t;

typedef struct yw_dym_dsm_cfg {
    int reserved;
} YW_dym_dsm_cfg_t;

extern "C" {

extern YW_dym_dsm_ctx_t YW_g_dym_dsm_ctx;
extern YW_dym_dsm_cfg_t YW_g_dym_dsm_cfg;
extern YW_task_id_t YW_g_dym_dsm_taskid;
extern YW_fsm_context_t YW_s_dsm_fsm;

YW_ret_t YW_dym_dsm_init(void);
YW_ret_t YW_dym_dsm_deinit(void);
void *YW_dym_dsm_main(void *arg);
YW_ret_t YW_dym_dsm_onStart(void);
YW_ret_t YW_dym_dsm_onStop(void);
YW_ret_t YW_dym_dsm_sendEvent(YW_event_value_t id, void *data);
YW_ret_t YW_startDyModuleService(void);
YW_ret_t YW_shutdownDyModuleService(void);
YW_fsm_state_t YW_dym_dsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_dym_dsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_dym_dsm_handleDymStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

} /* extern "C" */

#endif
