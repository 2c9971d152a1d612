/*
 * Logging: up to 64 log entities ("LSE"), each with one input port, up to 8
 * output ports, a level, flags and a ring buffer for buffered records.
 *
 * Record path (YW_printf, YW_elog, YW_logPrintf): the caller's thread formats
 * the line (at most YW_LOG_PRINTF_BUF_SZ - 1 bytes, longer lines are cut) and
 * hands it to the entity's input port. The on-demand input prints it at once
 * on standard output (no time stamp) and then, under the entity's port lock,
 * hands it with a time-stamped record to every other output port (file,
 * command-interface client, ...) whose level admits it. Delivery is
 * synchronous, so a line has reached every port when YW_printf returns, and
 * the lines of one thread stay in order on every port.
 *
 * Command interface (one output port per client, on the "stdout" log):
 *   idx = YW_log_lse_addStdoutToCli(NULL, socket, YW_cli_writeLog);  // -1: no free port
 *   ...
 *   YW_log_lse_delCliFromStdout(idx);   // before closing the socket
 * The callback is called as cb(port, data, length, record) with the socket in
 * port->priv (cast through intptr_t: (int)(intptr_t)port->priv). It runs
 * under the entity's port lock: it must not wait and must not remove ports.
 * YW_log_lse_sendStampedWait(socket, data, length, record, 0) writes the time
 * stamp (first segment only) and the data when the whole line fits in the
 * socket at once, else nothing (-1), and is meant to be the body of such a
 * callback; a callback that returns below 0 has dropped the line, which the
 * entity counts (YW_log_lse_drops).
 * Once YW_log_lse_delCliFromStdout returns no call for that port is running
 * or will start, so the socket may be closed. A line logged from inside a
 * port callback reaches standard output only (no recursion into the ports).
 *
 * Buffered path and the log service manager ("LSM"):
 *   - YW_log_init (start-up) makes both log queues: YW_g_lsm_event_q (fire
 *     YW_log_lsm_fire_event, wait YW_log_lsm_wait_event) and YW_g_log_event_q
 *     (YW_log_fire_event / YW_log_wait_event), which are defined here and ring
 *     YW_g_logEventControl.lsm_task / .lse_recv_task. The manager stores its
 *     thread handles there (or the tasks take their own on start).
 *   - The receiver task entry YW_log_lse_main is defined here; the manager
 *     starts it (YW_log_lse_startReceiver, written with the manager) and stops
 *     it with YW_log_lse_stopReceiver (defined here: sends {FRW, 65}).
 *   - A producer of buffered records calls YW_log_lse_pushRecord(h, data, len,
 *     level), which copies into the ring and sends {LSE, logId} to
 *     YW_g_log_event_q; the receiver drains the entity with YW_log_lse_proc.
 *     A record that wraps round the ring's end is delivered as two segments.
 *   - The manager writes YW_startLogService, YW_shutdownLogService,
 *     YW_inqLogService, YW_loadLogServiceConfig (built on
 *     YW_loadLogServiceEntity here), YW_log_lsm_main and its handlers, with
 *     the declarations below. YW_log_deinit calls YW_shutdownLogService when
 *     it is linked in.
 */
#ifndef YW_LOG_H
#define YW_LOG_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "osa/yw_osa.h"
#include "yw_err.h"
#include "yw_event.h"
#include "yw_gate.h"
#include "yw_link.h"
#include "yw_types.h"

struct yw_frw_cfg_element;

#define YW_LSE_MAX 64
#define YW_LOG_OUTPUT_PORT_MAX 8
#define YW_LOG_PRINTF_BUF_SZ 2048
#define CONFIG_LOG_BUFFER_SIZE (4096 * 16)
#define YW_LOG_BUFFER_SIZE CONFIG_LOG_BUFFER_SIZE
#define YW_LOG_CFG_BUFFER_SIZE_DEFAULT 4096000
#define YW_LOG_TIMESTAMP_STR "%02u/%02u/%02u.%06u"
/* Room for "<hh/mm/ss.uuuuuu>" and its terminator. */
#define YW_LOG_TIMESTAMP_BUF_SZ 32

#define YW_LOG_LSM_TAG "logConf"
#define YW_LOG_LSE_TAG "logDef"

/* Receiver stop command on the FRW vector of YW_g_log_event_q. */
#define YW_LOG_RECEIVER_STOP 65

typedef enum {
    YW_LOG_LEVEL_SEVERE = 10,
    YW_LOG_LEVEL_ERROR = 20,
    YW_LOG_LEVEL_WARN = 30,
    YW_LOG_LEVEL_INFO = 40,
    YW_LOG_LEVEL_DEBUG = 50,
    YW_LOG_LEVEL_TRACE = 60,
    YW_LOG_LEVEL_VERBOSE = 100,
} YW_log_level_t;

typedef enum {
    YW_LOG_FLAG_ASSIGNED = 1,
    YW_LOG_FLAG_ENABLED = 2,
    YW_LOG_FLAG_DATA = 4,
    YW_LOG_FLAG_TIME = 16,
    YW_LOG_FLAG_FILE = 32,
    YW_LOG_FLAG_FUNC = 64,
    YW_LOG_FLAG_LINE = 128,
} YW_log_flag_t;

typedef enum {
    YW_LOG_PORT_TYPE_INVALID = 0,
    YW_LOG_PORT_TYPE_STDOUT = 1,
    YW_LOG_PORT_TYPE_ONDEMAND = 2,
    YW_LOG_PORT_TYPE_FILE = 3,
    YW_LOG_PORT_TYPE_LSE = 4,
    YW_LOG_PORT_TYPE_IPC = 5,
    YW_LOG_PORT_TYPE_CLI = 6,
} YW_log_port_type_t;

/* ---- configuration ------------------------------------------------------- */

typedef struct yw_log_cfg_input {
    YW_uint32_t type;
    YW_uint32_t level;
    YW_addr_t ID;
} YW_log_cfg_input_t;

typedef struct yw_log_cfg_output {
    YW_uint32_t type;
    YW_uint32_t level;
    YW_addr_t ID;
    YW_string_t logFolderName;
    YW_string_t logFileName;
    YW_int64_t logFileMaxSize;
    YW_uint32_t logFileWrapOption;
} YW_log_cfg_output_t;

typedef struct yw_log_cfg {
    YW_string_t name; /* "groupID"; null = empty slot */
    YW_int64_t bufferSize;
    YW_uint32_t flags;
    YW_log_cfg_input_t input;
    YW_log_cfg_output_t output[YW_LOG_OUTPUT_PORT_MAX];
    YW_uint64_t output_count;
    int policy;
    int priority;
    int cpu_no;
    YW_uint64_t core_mask;
    int process_no;
    YW_int64_t stack_size;
} YW_log_cfg_t;

/* ---- records and ring ------------------------------------------------------ */

typedef struct yw_logRecord {
    struct timespec timestamp;
    struct {
        YW_int64_t offset;
        YW_int64_t length;
    } range;
    YW_uint16_t level;
    int16_t segmentIndex; /* 0 for the first segment of a message */
    YW_slink_t link;
} YW_logRecord_t;

typedef void (*YW_log_mutex_cb_t)(YW_P_mutex_t *lock);

typedef struct yw_circularBuffer {
    YW_uint64_t push; /* next byte written */
    YW_uint64_t pop;  /* next byte delivered */
    YW_uint64_t size;
    YW_uint8_t *buffer;
    YW_uint64_t overflow; /* records refused for want of room */
    YW_uint64_t wrap;     /* times push went round the end and pop did not yet */
    YW_P_mutex_t lock;
    int refCount;
    YW_uint8_t *buffer_alloced;
    YW_log_mutex_cb_t cb_initMutex;
    YW_log_mutex_cb_t cb_deinitMutex;
    YW_log_mutex_cb_t cb_lockMutex;
    YW_log_mutex_cb_t cb_unlockMutex;
} YW_circularBuffer_t;

typedef struct yw_logBuffer {
    YW_circularBuffer_t control;
    YW_int64_t size;
    YW_uint8_t *data;
} YW_logBuffer_t;

/* ---- ports and entities ------------------------------------------------------ */

struct yw_logServiceEntity;
struct yw_logInputPort;
struct yw_logOutputPort;

typedef int (*YW_log_push_cb_t)(struct yw_logInputPort *input, const char *data, YW_size_t length,
                                YW_uint16_t level);
typedef int (*YW_log_out_cb_t)(struct yw_logOutputPort *port, const char *data, YW_size_t length,
                               YW_logRecord_t *record);

typedef struct yw_logInputPort {
    YW_uint32_t type;
    YW_addr_t cfg;
    struct yw_logServiceEntity *lse;
    YW_addr_t priv;
    YW_event_q_t *event_q;
    YW_log_push_cb_t cb_push;
} YW_logInputPort_t;

typedef struct yw_logOutputPort {
    YW_uint32_t type; /* 0 = free */
    YW_addr_t cfg;    /* key: what the port was made for */
    YW_uint16_t level;
    struct yw_logServiceEntity *lse;
    YW_addr_t priv; /* YW_logOutputFile_t* for a file port, the socket for a CLI port */
    YW_event_q_t *event_q;
    YW_log_out_cb_t cb_out;
} YW_logOutputPort_t;

typedef struct yw_logOutputFile {
    YW_log_cfg_output_t *cfg;
    int fileid; /* -1 until opened */
} YW_logOutputFile_t;

#define YW_LSE_HEAP 0x6c73656865617001ULL

typedef struct yw_logServiceEntity {
    YW_uint32_t logId;
    YW_log_cfg_t *cfg;
    std::atomic<YW_uint16_t> flags;
    YW_uint16_t level;
    YW_linkHead_t recordList; /* buffered records, oldest first (under the ring lock) */
    YW_logBuffer_t *buffer;
    YW_logInputPort_t input;
    YW_logOutputPort_t output[YW_LOG_OUTPUT_PORT_MAX];
    int refCount;
    YW_uint32_t task_id; /* YW_task_id_t; YW_TASK_MAX or more = none */
    std::mutex portLock; /* output ports and their delivery */
    YW_uint64_t origin;  /* YW_LSE_HEAP when YW_createLog allocated it */
    /* Gate (yw_gate.h) of the writers and deliveries in flight: deletion
     * retires it and frees the ring only once they are done. An entity that
     * YW_createLog allocated is never given back to the heap: a deleted one
     * is kept closed for the next creation, so a handle kept after the
     * deletion finds a closed gate instead of freed memory. */
    int gate;
    YW_uint64_t drops; /* lines an output port could not take (a client that does not read) */
} YW_logServiceEntity_t;

typedef YW_logServiceEntity_t *YW_log_t;

typedef struct yw_logServiceStatus {
    int status; /* bit 1 initialised, 2 started, 4 normal */
    YW_int64_t logRecordCount;
} YW_logServiceStatus_t;

#define YW_LOG_STATUS_INIT 1
#define YW_LOG_STATUS_STARTED 2
#define YW_LOG_STATUS_NORMAL 4

typedef struct yw_logEventControl {
    struct yw_frw_cfg_element *log_config; /* the "logConf" element */
    YW_P_thread_t lsm_task;
    YW_P_thread_t lse_recv_task;
} YW_logEventControl_t;

extern "C" {

/* ---- process-wide state ------------------------------------------------------ */

extern YW_log_cfg_t YW_g_log_cfg[YW_LSE_MAX];
extern YW_log_t YW_g_pLSE[YW_LSE_MAX];
extern int YW_g_lse_count;
extern YW_logServiceEntity_t YW_g_lse_stdout;
extern YW_logServiceEntity_t YW_g_lse_stderr;
extern YW_log_cfg_t YW_s_log_cfg_stdout;
extern YW_log_cfg_t YW_s_log_cfg_stderr;
extern YW_log_t YW_g_log_stdout;
extern YW_log_t YW_g_log_stderr;
extern YW_logServiceStatus_t YW_g_logServiceStatus;
extern YW_logEventControl_t YW_g_logEventControl;
extern YW_event_q_t YW_g_lsm_event_q;
extern YW_event_q_t YW_g_log_event_q;

/* ---- service ------------------------------------------------------------------ */

YW_ret_t YW_log_init(void);
YW_ret_t YW_log_deinit(void);
YW_ret_t YW_registerLog(const char *name, YW_log_t *out);
YW_ret_t YW_unregisterLog(YW_log_t h);
YW_ret_t YW_createLog(YW_log_cfg_t *cfg, YW_log_t *handle);
YW_ret_t YW_deleteLog(YW_log_t h);
YW_ret_t YW_enableLog(YW_log_t h);
YW_ret_t YW_disableLog(YW_log_t h);
YW_ret_t YW_setLogFlags(YW_log_t h, YW_uint32_t f);
YW_ret_t YW_resetLogFlags(YW_log_t h, YW_uint32_t f);
YW_ret_t YW_logWrite(YW_log_t h, YW_uint16_t level, const void *data, YW_size_t length);
YW_ret_t YW_addLogSource(YW_log_t h, YW_uint32_t type, YW_event_q_t *q);
YW_ret_t YW_delLogSource(YW_log_t h, YW_uint32_t type);
YW_ret_t YW_addLogSink(YW_log_t h, YW_uint32_t type, YW_event_q_t *q);
YW_ret_t YW_delLogSink(YW_log_t h, YW_uint32_t type, int index);

/* Record path behind the printing macros (file, line, func: the caller). */
void YW_logPrintfAt(YW_log_t h, YW_uint16_t level, const char *file, int line, const char *func,
                    const char *format, ...) __attribute__((format(printf, 6, 7)));

/* ---- entities and ports (yw_log_lse) ------------------------------------------- */

YW_ret_t YW_log_lse_init(YW_log_t h);
YW_ret_t YW_log_lse_deInit(YW_log_t h);
YW_log_t YW_log_lse(YW_uint32_t id);
YW_ret_t YW_log_lse_createDefaultLog(void);
YW_ret_t YW_log_lse_createDefaultErrorLog(void);
YW_ret_t YW_log_lse_addInputOndemand(YW_log_t h, YW_event_q_t *q, YW_addr_t priv);
int YW_log_lse_pushOndemand(YW_logInputPort_t *input, const char *data, YW_size_t length, YW_uint16_t level);
int YW_log_lse_addOutput(YW_log_t h, YW_uint32_t type, YW_event_q_t *q, YW_addr_t key, YW_log_out_cb_t cb);
YW_ret_t YW_log_lse_addOutputStdout(YW_log_t h, YW_event_q_t *q, YW_log_cfg_output_t *cfgOutput);
YW_ret_t YW_log_lse_addOutputStderr(YW_log_t h, YW_event_q_t *q, YW_log_cfg_output_t *cfgOutput);
YW_ret_t YW_log_lse_addOutputFile(YW_log_t h, YW_event_q_t *q, YW_log_cfg_output_t *cfgOutput);
YW_ret_t YW_log_lse_delOutput(YW_log_t h, int index);
int YW_log_lse_addStdoutToCli(YW_event_q_t *q, int socket, YW_log_out_cb_t cb);
YW_ret_t YW_log_lse_delCliFromStdout(int index);
int YW_log_lse_outStdout(YW_logOutputPort_t *port, const char *data, YW_size_t length, YW_logRecord_t *record);
int YW_log_lse_outStderr(YW_logOutputPort_t *port, const char *data, YW_size_t length, YW_logRecord_t *record);
int YW_log_lse_outFile(YW_logOutputPort_t *port, const char *data, YW_size_t length, YW_logRecord_t *record);
/* Writes the record's time stamp (first segment only) and the data to a
 * descriptor with one writev; 0 or -1. */
int YW_log_lse_writeStamped(int fd, const char *data, YW_size_t length, const YW_logRecord_t *record);
/* The same to a socket with non-blocking sends (no SIGPIPE), waiting at most
 * one second for room; 0 or -1. */
int YW_log_lse_sendStamped(int socket, const char *data, YW_size_t length, const YW_logRecord_t *record);
/* The same with the wait for room bounded by waitMs milliseconds (0: the
 * whole line when it fits at once, else nothing); -1 when the whole line
 * could not be sent in time. */
int YW_log_lse_sendStampedWait(int socket, const char *data, YW_size_t length, const YW_logRecord_t *record,
                               int waitMs);

/* Buffered path: copy a record into the entity's ring and wake the receiver.
 * 0; YW_ERR_BUFFER_NO_SPACE when the ring cannot hold it (counted in
 * `overflow`, nothing written); -1 for bad arguments. */
YW_ret_t YW_log_lse_pushRecord(YW_log_t h, const void *data, YW_size_t length, YW_uint16_t level);
YW_ret_t YW_log_lse_pushOndemand_pushLogRecord(YW_log_t h, YW_logRecord_t *record, const void *data,
                                               YW_int64_t offset, YW_int64_t length);
/* Lines the entity's output ports could not take (dropped, not waited for). */
YW_uint64_t YW_log_lse_drops(YW_log_t h);
/* Delivers the oldest buffered record to the ports; -1 when none. */
YW_ret_t YW_log_lse_proc(YW_log_t h);
/* Bytes held by a ring. */
YW_uint64_t YW_circularBuffer_held(const YW_circularBuffer_t *cb);

int yw_log_print_timestamp_default(const struct timespec *ts, char *buffer);

/* ---- configurations ------------------------------------------------------------ */

void YW_log_cfg_init(YW_log_cfg_t *cfg);
int YW_log_cfg_equal(const YW_log_cfg_t *a, const YW_log_cfg_t *b);
int YW_log_cfg_isStatic(const YW_log_cfg_t *cfg);
YW_log_cfg_t *YW_log_cfg_duplicate(const YW_log_cfg_t *cfg);
void YW_log_cfg_free(YW_log_cfg_t *cfg);
YW_ret_t YW_log_cfg_setAttribute(YW_addr_t cfg, YW_string_t element, YW_string_t attribute, YW_string_t value);
YW_size_t YW_log_cfg_toString(const YW_log_cfg_t *cfg, char *buffer, YW_size_t size);
/* Fills cfg from the next "logDef" child of section after *iterator. */
YW_ret_t YW_loadLogServiceEntity(struct yw_frw_cfg_element *section, YW_log_cfg_t *cfg,
                                 struct yw_frw_cfg_element **iterator);

/* ---- log service manager side ------------------------------------------------------ */

YW_ret_t YW_log_lsm_fire_event(YW_event_q_t *q, YW_addr_t msg);
YW_ret_t YW_log_lsm_wait_event(YW_event_q_t *q, YW_addr_t timeout);
YW_ret_t YW_log_fire_event(YW_event_q_t *q, YW_addr_t msg);
YW_ret_t YW_log_wait_event(YW_event_q_t *q, YW_addr_t timeout);
YW_ret_t YW_log_send_event(YW_event_q_t *q, YW_addr_t msg);
YW_ret_t YW_log_recv_event(YW_event_q_t *q, YW_addr_t msgp);
/* Receiver task entry: drains entities named by LSE events, ends on {FRW, 65}. */
void *YW_log_lse_main(void *ctrl);
/* Sends {FRW, 65} to the receiver's queue; 0 or the failed send's result. */
YW_ret_t YW_log_lse_stopReceiver(void);
/* Clears a log task's handle (*slot) when it is `self` (any when null), after
 * every doorbell ring in progress on it has ended. */
void YW_log_lse_dropThread(YW_P_thread_t *slot, YW_P_thread_t self);

/* Written with the log service manager. */
YW_ret_t YW_startLogService(void);
YW_ret_t YW_shutdownLogService(void) __attribute__((weak));
YW_ret_t YW_inqLogService(YW_logServiceStatus_t *status);
YW_ret_t YW_loadLogServiceConfig(struct yw_frw_cfg_element *section);
YW_ret_t YW_log_lse_startReceiver(void);
void *YW_log_lsm_main(void *ctrl);

} /* extern "C" */

/* The handles of the two standard logs are read by every printing thread
 * while the start-up or the shut-down sets them: always read through this. */
inline YW_log_t YW_log_handle(YW_log_t &h)
{
    return std::atomic_ref<YW_log_t>(h).load(std::memory_order_acquire);
}
inline void YW_log_setHandle(YW_log_t &h, YW_log_t v)
{
    std::atomic_ref<YW_log_t>(h).store(v, std::memory_order_release);
}

/* ---- printing macros ------------------------------------------------------------- */

#define YW_logPrintf(lse, level, ...) YW_logPrintfAt((lse), (level), __FILE__, __LINE__, __func__, __VA_ARGS__)
#define YW_printf(...) YW_logPrintf(YW_log_handle(YW_g_log_stdout), YW_LOG_LEVEL_INFO, __VA_ARGS__)
#define YW_elog(...) YW_logPrintf(YW_log_handle(YW_g_log_stderr), YW_LOG_LEVEL_ERROR, __VA_ARGS__)
#define YW_log_stdout(...) YW_logPrintf(&YW_g_lse_stdout, 0, __VA_ARGS__)
#define YW_log_stderr(...) YW_logPrintf(&YW_g_lse_stderr, 0, __VA_ARGS__)

#endif /* YW_LOG_H */
