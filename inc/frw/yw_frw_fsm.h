/*
 * Framework state machine: drives the bring-up of a node on the thread
 * "frw_fsm", which owns the framework event queue "frw_event".
 */
#ifndef YW_FRW_FSM_H
#define YW_FRW_FSM_H

#include "osa/yw_osa.h"
#include "yw_err.h"
#include "yw_event.h"
#include "yw_fsm.h"

enum {
    YW_FRW_FSM_STATE_IDLE = 0,
    YW_FRW_FSM_STATE_CONF = 1,
    YW_FRW_FSM_STATE_INIT = 2,
    YW_FRW_FSM_STATE_SYNC = 3,
    YW_FRW_FSM_STATE_NORM = 4,
    YW_FRW_FSM_STATE_SHDN = 5,
    YW_FRW_FSM_STATE_REST = 6,
    YW_FRW_FSM_STATE_IERR = 7
};

/* Event values, all with YW_EVENT_FLAG_FRW. */
enum {
    YW_FRW_CMD_CONF = 16,
    YW_FRW_CMD_INIT = 17,
    YW_FRW_EVT_INIT = 18,
    YW_FRW_CMD_SYNC = 19,
    YW_FRW_EVT_SYNC = 20,
    YW_FRW_CMD_SHDN = 21,
    YW_FRW_EVT_SHDN = 22,
    YW_FRW_CMD_REST = 23,
    YW_FRW_EVT_REST = 24,
    YW_FRW_EVT_TOUT = 25,
    YW_FRW_EVT_SSCH = 26,
    YW_FRW_EVT_IERR = 27,
    YW_FRW_EVT_LAST = 28
};

#define YW_FRW_FSM_TIMEOUT 2000000000LL

typedef struct yw_frw_fsm_event_control {
    void *config;         /* handed to YW_loadFrameworkConfig; never set */
    void *q;              /* not used */
    YW_P_thread_t fsm_task; /* the "frw_fsm" thread */
    YW_P_thread_t nme_task; /* not used */
} YW_frw_fsmEventControl_t;

/* 0 from YW_initFramework on, 1 once the "frw_fsm" thread exists. */
typedef struct yw_frw_serviceStatus {
    YW_int32_t status;
} YW_frw_serviceStatus_t;

extern "C" {

extern YW_frw_serviceStatus_t YW_g_frw_serviceStatus;

/* Start-up entry points around the machine (yw_frw.cpp). */
YW_ret_t YW_initFramework(void);
YW_ret_t YW_deinitFramework(void);
YW_ret_t YW_runFramework(void);
YW_ret_t YW_startSync(void);
YW_ret_t YW_startApplication(void);
/* Prints the configuration error and sends YW_FRW_EVT_IERR with the code. */
void YW_frw_sendCfgErrorEvent(YW_ret_t errcode, const char *emsg);

extern YW_frw_fsmEventControl_t YW_g_frw_fsmEventControl;
extern YW_event_q_t YW_g_frw_fsm_event_q;
extern YW_fsm_context_t YW_s_frw_fsm; /* the machine's context ("frm_fsm") */
extern const YW_fsm_vector_t YW_s_frw_fsm_vectors[];
extern int dyModuleServiceStarted;
extern int syncServiceStarted;
extern int timerServiceStarted;
extern int ipcServiceStarted;

YW_ret_t YW_frw_fsm_init(void);
YW_ret_t YW_frw_fsm_start(void);
YW_ret_t YW_frw_fsm_stop(void);
YW_fsm_state_t YW_frw_fsm_state(void);
/* Posts {FRW, cmd} with data to the framework queue from any thread. 0 once
 * the message is queued (the framework then owns it and its data). */
YW_ret_t YW_frw_fsm_sendEvent(YW_event_value_t cmd, void *data);
YW_ret_t YW_frw_fsm_fire_event(YW_event_q_t *q, void *msg);
YW_ret_t YW_frw_fsm_wait_event(YW_event_q_t *q, void *timeout);
void *YW_frw_fsm_main(void *arg);

/* Runs the framework machine on one event (the thread body's step); exposed
 * so that the rows can be driven directly. */
YW_ret_t YW_frw_fsm_dispatch(YW_event_msg_t *msg);
/* Sets up the machine context in IDLE without starting the thread. */
YW_ret_t YW_frw_fsm_contextInit(void);

YW_fsm_state_t YW_frw_fsm_handleCfgCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleInitCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleInitEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleSyncCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleSyncEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleShdnCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleShdnEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleRestCmd(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleRestEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleToutEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleSschEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);
YW_fsm_state_t YW_frw_fsm_handleIerrEvt(YW_fsm_context_t *ctx, YW_event_msg_t *emsg);

} /* extern "C" */

#endif
