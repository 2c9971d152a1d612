/*
 * Timer service: configured timers that call named handler functions.
 *
 * Each timer owns an OS timer (source "SYS") and, when it names a handler, a
 * task of its own that calls the handler once per expiry. An expiry reaches
 * the service as a user id holding the timer's slot and the slot's
 * generation, so an expiry still on its way when the timer is deleted or
 * made again is recognised and dropped. Counting, re-arming and sending the
 * timer event happen under the timer table's lock.
 */
#ifndef YW_TIMER_H
#define YW_TIMER_H

#include "osa/yw_osa.h"
#include "task/yw_task.h"
#include "yw_err.h"
#include "yw_types.h"

#define YW_TIMER_MAX 128
#define YW_TIMER_INVALID_ID 128
/* A timer's task id when it has no task (the task table's "no entry"). */
#define YW_TIMER_NO_TASK ((YW_task_id_t)YW_TASK_MAX)

typedef YW_uint32_t YW_timer_id_t;

enum { YW_TIMER_SOURCE_SYS = 0, YW_TIMER_SOURCE_MAX = 1 };
enum { YW_TIMER_STATE_ASSIGNED = 1, YW_TIMER_STATE_STARTED = 2 };

typedef struct yw_timer_cfg {
    char *name;              /* timer and task name; null = empty slot */
    YW_uint16_t sourceType;  /* YW_TIMER_SOURCE_SYS; YW_TIMER_SOURCE_MAX = not valid */
    YW_int64_t repeat;       /* > 0: handler calls before the timer ends; < 0: endless */
    YW_uint64_t interval;    /* nanoseconds */
    char *handler;           /* handler symbol name; null = no task */
    int policy;
    int priority;
    int cpu_no;
    YW_uint64_t core_mask;
    int process_no;
    YW_int64_t stack_size;
} YW_timer_cfg_t;

#define YW_TIMER_CFG_VALID(c) ((c)->sourceType < YW_TIMER_SOURCE_MAX && (c)->name != nullptr)

typedef struct yw_timer_status {
    int state;        /* YW_TIMER_STATE_* bits; 0 = free */
    YW_int64_t count; /* expiries counted while started (positive repeat) */
} YW_timer_status_t;

/* Handler named by a timer configuration: called with the timer id. */
typedef void (*YW_timer_handler_t)(YW_timer_id_t id);

typedef struct yw_timer_source {
    YW_P_timer_t id;
    YW_ret_t (*Create)(int userid, YW_P_timer_t *handle, YW_P_timer_handler_t expired);
    YW_ret_t (*Delete)(YW_P_timer_t handle);
    YW_ret_t (*Start)(YW_P_timer_t handle, YW_int64_t interval);
    YW_ret_t (*Stop)(YW_P_timer_t handle);
    void (*OnTimerExpired)(int userid);
} YW_timer_source_t;

typedef struct yw_timer {
    YW_timer_id_t timer_id;
    YW_timer_cfg_t *cfg; /* null = free slot */
    YW_timer_status_t status;
    YW_timer_source_t timer_source;
    YW_task_id_t task_id; /* YW_TIMER_NO_TASK until its task exists and after it ends */
    YW_P_mutex_t lock;    /* not used */
    int refCount;         /* not used */
    void *priv;           /* not used */
    YW_uint32_t generation;        /* changes whenever the slot is claimed or freed */
    YW_timer_handler_t handler_fn; /* the resolved handler */
} YW_timer_t;

extern "C" {

extern YW_timer_cfg_t YW_g_timer_cfg[YW_TIMER_MAX];
extern YW_timer_t YW_g_timer[YW_TIMER_MAX];
extern const char *const YW_g_timer_source_name[];

/* ---- configuration ("timerConf") ---- */
struct yw_frw_cfg_element;
struct yw_timer_tsm_cfg;
YW_ret_t YW_loadTimerServiceManageConfig(struct yw_frw_cfg_element *base, struct yw_timer_tsm_cfg *mcfg);
YW_ret_t YW_loadTimerConfig(struct yw_frw_cfg_element *base, YW_timer_cfg_t *cfg,
                            struct yw_frw_cfg_element **cursor);
YW_ret_t YW_timer_cfg_setAttribute(YW_timer_cfg_t *cfg, const char *key, const char *value);
YW_ret_t YW_timer_cfg_child_setAttribute(YW_timer_cfg_t *cfg, const char *child, const char *key,
                                         const char *value);
int YW_timer_cfg_equal(const YW_timer_cfg_t *a, const YW_timer_cfg_t *b);

/* ---- timers ---- */
YW_ret_t YW_createTimer(YW_timer_cfg_t *cfg, YW_timer_id_t *id);
YW_ret_t YW_deleteTimer(YW_timer_id_t id);
YW_ret_t YW_inqTimer(YW_timer_id_t id, YW_timer_status_t *status);
YW_ret_t YW_startTimer(YW_timer_id_t id);
YW_ret_t YW_stopTimer(YW_timer_id_t id);

/* Expiry of a SYS timer; userid = YW_timer_userid(slot, generation). */
void YW_timer_onSysTimerExpired(int userid);
/* Entry of every timer's task; arg: the timer record. */
void *YW_timer_tse_main(void *arg);

/* ---- listing ---- */
int YW_timer_showTimers(int argc, char **argv);
YW_size_t YW_timer_toString(const YW_timer_t *timer, char *buffer, YW_size_t size);

} /* extern "C" */

/* The OS timer's user id of a slot: the slot in the low 7 bits, the low 24
 * bits of the slot's generation above them. */
inline int YW_timer_userid(YW_timer_id_t id, YW_uint32_t generation)
{
    return (int)(((generation & 0xFFFFFFu) << 7) | (id & 0x7Fu));
}

#endif
