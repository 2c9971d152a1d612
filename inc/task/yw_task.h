/*
 * Task table and task threads.
 *
 * A task is one slot of a fixed table of 128 records, created from a task
 * configuration (name, entry symbol name, scheduling) and started on its own
 * detached thread. The thread wrapper binds the thread to its task, gives it
 * an event queue, arms a recovery point for segmentation faults and calls the
 * entry function, which runs the task's own loop.
 */
#ifndef YW_TASK_H
#define YW_TASK_H

#include <csetjmp>
#include <csignal>
#include <sys/types.h>

#include "osa/yw_osa.h"
#include "yw_err.h"
#include "yw_event.h"
#include "yw_types.h"

#define YW_TASK_MAX 128
#define YW_TASK_ID_NONE 0xFFFFFFFFu

typedef YW_uint32_t YW_task_id_t;

/* Category bits of a task configuration. */
enum {
    YW_TASK_CAT_FRW = 1,
    YW_TASK_CAT_INI = 2,
    YW_TASK_CAT_SYN = 4,
    YW_TASK_CAT_IPC = 8,
    YW_TASK_CAT_TMR = 16,
    YW_TASK_CAT_LOG = 32,
    YW_TASK_CAT_APP = 256
};

/* Scheduling policies of a task configuration. */
enum { YW_TASK_POLICY_DEFAULT = 0, YW_TASK_POLICY_FIFO = 1, YW_TASK_POLICY_RR = 2 };

/* State bits of a task slot; 0 is a free slot. STOPPING: the task was
 * stopped or deleted and its thread has not ended yet; the slot stays taken
 * (listed with the letter S, not found by name) until the thread is gone. */
enum {
    YW_TASK_STATE_ASSIGNED = 1,
    YW_TASK_STATE_BUSY = 2,
    YW_TASK_STATE_SUSPEND = 4,
    YW_TASK_STATE_STOPPING = 8,
    YW_TASK_STATE_EXCEPT = 16
};

typedef void *(*YW_task_entry_t)(void *);

typedef struct yw_task_cfg {
    char *name;       /* task and event-queue name; null = empty slot */
    char *entry_name; /* symbol name of the entry function */
    int category;     /* YW_TASK_CAT_* bits */
    int policy;       /* YW_TASK_POLICY_* */
    int priority;
    int cpu_no;
    YW_uint64_t core_mask;
    int process_no;
    YW_int64_t stack_size; /* below 1: the thread library's default */
    int use_flag;          /* created when the task service starts */
    void *priv;
} YW_task_cfg_t;

typedef struct yw_task_status {
    int state;
    int watchdog_count;
    float running_time;
    float load;
} YW_task_status_t;

typedef struct yw_task {
    YW_task_id_t task_id;
    YW_task_cfg_t *cfg; /* null = free slot */
    YW_task_entry_t entry;
    void *arg;
    pid_t process;
    YW_P_thread_t thread;
    YW_task_status_t status;
    YW_event_q_t *eventq;
    void *priv;
    struct sigaction action_new;
    struct sigaction action_old;
} YW_task_t;

extern "C" {

extern YW_task_t YW_g_task[YW_TASK_MAX];
extern YW_task_cfg_t YW_g_task_cfg[YW_TASK_MAX];
extern YW_P_threadKey_t YW_g_threadKey_taskid;
extern YW_P_threadKey_t YW_g_threadKey_threadid;

/* ---- configuration loading ---- */
struct yw_frw_cfg_element;
struct yw_task_tsm_cfg;
YW_ret_t YW_loadTaskServiceManageConfig(struct yw_frw_cfg_element *base, struct yw_task_tsm_cfg *mcfg);
YW_ret_t YW_loadTaskConfig(struct yw_frw_cfg_element *base, YW_task_cfg_t *cfg, struct yw_frw_cfg_element **cursor);
YW_ret_t YW_task_cfg_setAttribute(YW_task_cfg_t *cfg, const char *key, const char *value);
YW_ret_t YW_task_cfg_child_setAttribute(YW_task_cfg_t *cfg, const char *child, const char *key, const char *value);
int YW_task_cfg_equal(const YW_task_cfg_t *a, const YW_task_cfg_t *b);

/* ---- lifecycle ---- */
YW_task_t *YW_task_get(YW_task_id_t id);
YW_ret_t YW_createTask(YW_task_cfg_t *cfg, YW_task_id_t *id);
YW_ret_t YW_startTask(YW_task_id_t id, void *arg);
YW_ret_t YW_stopTask(YW_task_id_t id);
YW_ret_t YW_deleteTask(YW_task_id_t id);
YW_ret_t YW_inqTask(YW_task_id_t id, YW_task_status_t *status);
YW_ret_t YW_suspendTask(YW_task_id_t id);
YW_ret_t YW_resumeTask(YW_task_id_t id);
YW_ret_t YW_sleepTask(YW_task_id_t id, YW_int64_t nsec);
/* The calling thread's task; YW_TASK_ID_NONE on a thread without a task,
 * and on a task thread whose task was stopped (it ends at its next wait). */
YW_task_id_t YW_getTaskID(void);
/* Name of the calling thread's task; null on a thread without a task. */
const char *YW_getTaskName(void);
YW_ret_t YW_searchTaskByName(const char *name, YW_task_id_t *id);
/* The thread handle of a started task (null for a bad id or no thread). */
YW_P_thread_t YW_task_tse_getThread(YW_task_id_t id);

/* ---- event queues of tasks ---- */
YW_event_q_t *YW_task_tse_getTaskEventq(YW_task_id_t id);
YW_event_q_t *YW_task_tse_getEventQ(void);
YW_event_q_t *YW_getTaskEventQ(void);
YW_ret_t YW_registerTaskEventFlag(YW_task_id_t id, YW_event_flag_t flags);
YW_ret_t YW_registerTaskEvent(YW_task_id_t id, YW_event_flag_t flags);
YW_ret_t YW_unregisterTaskEventFlag(YW_task_id_t id, YW_event_flag_t flags);
YW_ret_t YW_unregisterTaskEvent(YW_task_id_t id, YW_event_flag_t flags);
YW_ret_t YW_waitTaskEvent(YW_task_id_t id, YW_event_flag_t *flags);
YW_ret_t YW_waitTaskEventTime(YW_task_id_t id, YW_event_flag_t *flags, YW_int64_t nsec);
YW_ret_t YW_recvTaskEvent(YW_task_id_t id, YW_event_flag_t flag, YW_event_msg_t **msg);
YW_ret_t YW_sendTaskEvent(YW_task_id_t id, YW_event_flag_t flag, YW_event_value_t value, void *data);
/* Sends an event message the caller built; on success the task's queue owns it. */
YW_ret_t YW_task_sendEventMsg(YW_task_id_t id, YW_event_msg_t *emsg);

/* ---- thread wrapper and queue callbacks ---- */
void *YW_task_tse_entry(void *task);
void YW_task_tse_sig_handler(int sig);
YW_ret_t YW_task_tse_fire_event(YW_event_q_t *q, void *arg);
YW_ret_t YW_task_tse_wait_event(YW_event_q_t *q, void *timeout);

/* ---- bulk operations ---- */
YW_ret_t YW_task_createInitialFrameworkTasks(void);
YW_ret_t YW_task_createApplicationTasks(void);
/* Starts every created application task that is not running yet. */
YW_ret_t YW_task_startApplicationTasks(void);
YW_ret_t YW_task_stopApplicationTasks(void);
YW_ret_t YW_task_stopFrameworkTasks(void);

/* ---- listing ---- */
int YW_task_showTasks(int argc, char **argv);
YW_size_t YW_task_brief_toString(const YW_task_t *task, char *buffer, YW_size_t size);
const char *YW_task_statusToString(int state);

} /* extern "C" */

#endif
