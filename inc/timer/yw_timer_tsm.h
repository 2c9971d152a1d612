/*
 * Timer service manager: the timer service's instance of the shared
 * service-manager pattern (frw/yw_svc_mng.h); commands 128, 129 and 130.
 */
#ifndef YW_TIMER_TSM_H
#define YW_TIMER_TSM_H

#include "frw/yw_svc_mng.h"
#include "timer/yw_timer.h"

enum { YW_TIMER_TSM_FSM_STATE_IDLE = 0, YW_TIMER_TSM_FSM_STATE_ACTV = 1, YW_TIMER_TSM_FSM_STATE_DOWN = 2 };
enum { YW_TIMER_TSM_CMD_START = 128, YW_TIMER_TSM_CMD_STOP = 129, YW_TIMER_TSM_EVT_TCHG = 130 };

typedef struct yw_timer_tsm_status {
    int state; /* bit 0 initialised, bit 1 started */
    YW_uint64_t ntimers;          /* created and not deleted */
    YW_uint64_t ntimerCreateFail;
} YW_timer_tsm_status_t;

typedef struct yw_timer_tsm_ctx {
    YW_timer_tsm_status_t status;
    YW_fsm_context_t *fsm;
    YW_event_q_t *rcvq;
    const YW_fsm_vector_t *fsm_vectors;
    YW_int64_t timeout;
    YW_P_mutex_t lock; /* the timer table mutex */
} YW_timer_tsm_ctx_t;

typedef struct yw_timer_tsm_cfg {
    int reserved;
} YW_timer_tsm_cfg_t;

extern "C" {

extern YW_timer_tsm_ctx_t YW_g_timer_tsm_ctx;
extern YW_timer_tsm_cfg_t YW_g_timer_tsm_cfg;
extern YW_task_id_t YW_g_timer_tsm_taskid;
extern YW_fsm_context_t YW_s_timer_tsm_fsm;

YW_ret_t YW_timer_tsm_init(void);
YW_ret_t YW_timer_tsm_deinit(void);
void *YW_timer_tsm_main(void *arg);
YW_ret_t YW_timer_tsm_onStart(void);
YW_ret_t YW_timer_tsm_onStop(void);
YW_ret_t YW_timer_tsm_sendEvent(YW_event_value_t id, void *data);
YW_ret_t YW_startTimerService(void);
YW_ret_t YW_shutdownTimerService(void);
YW_fsm_state_t YW_timer_tsm_handleStartCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_timer_tsm_handleStopCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_timer_tsm_handleTimerStateChgEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

} /* extern "C" */

#endif
