/*
 * IPC channels: the channel configuration ("ipcConf"/"ipcDef"), the table of
 * 128 channel records, creation and deletion (dispatched to the transports),
 * and the channel API used by tasks.
 */
#ifndef YW_IPC_H
#define YW_IPC_H

#include <atomic>

#include "log/yw_log.h"
#include "osa/yw_osa.h"
#include "task/yw_task.h"
#include "yw_err.h"
#include "yw_gate.h"
#include "yw_event.h"
#include "yw_types.h"
#include "ipc/yw_ipc_buffer.h"
#include "ipc/yw_ipc_fifo.h"
#include "ipc/yw_ipc_frame.h"

struct yw_frw_cfg_element;

#define YW_IPC_MAX        128
#define YW_IPC_INVALID_ID 128

#define YW_IPC_CFG_TAG    "ipcConf"
#define YW_IPC_DEF_TAG    "ipcDef"

/* characters of a message-queue or device name, terminator included */
#define YW_IPC_NAME_LEN   32

typedef YW_uint32_t YW_ipc_id_t;
typedef YW_uint32_t YW_ipc_iap_t;
typedef YW_uint32_t YW_ipc_cmd_t;
typedef YW_addr_t YW_ipc_arg_t;

enum {
    YW_IPC_INTF_MSGQ = 0,
    YW_IPC_INTF_INET = 1,
    YW_IPC_INTF_KWT_SRIO = 2,
    YW_IPC_INTF_KWT_SFPDP = 3,
    YW_IPC_INTF_MAX = 4
};

enum {
    YW_IPC_TRANSPORT_TCP = 1,
    YW_IPC_TRANSPORT_UDP = 2,
    YW_IPC_TRANSPORT_SMB = 3,
    YW_IPC_TRANSPORT_MSG = 4,
    YW_IPC_TRANSPORT_MAX = 5
};

/* channel flags */
#define YW_IPC_FLAGS_FRAMED      0x0001
#define YW_IPC_FLAGS_LOCAL       0x0002
#define YW_IPC_FLAGS_FLOWCTRL    0x0008
#define YW_IPC_FLAGS_TX          0x0010
#define YW_IPC_FLAGS_RX          0x0020
#define YW_IPC_FLAGS_TX_BUFFERED 0x0040
#define YW_IPC_FLAGS_RX_BUFFERED 0x0080
#define YW_IPC_FLAGS_MASTER      0x0100
#define YW_IPC_FLAGS_DIRECT      0x0200
#define YW_IPC_FLAGS_CRC         0x0400
#define YW_IPC_FLAGS_DATALOG     0x0800
#define YW_IPC_FLAGS_TRACE       0x1000

/* channel state bits */
#define YW_IPC_STATE_TX_UP         0x1
#define YW_IPC_STATE_RX_UP         0x2
#define YW_IPC_STATE_TX_OPENED     0x4
#define YW_IPC_STATE_RX_OPENED     0x8
#define YW_IPC_STATE_ASSIGNED      0x10
#define YW_IPC_STATE_WAIT_UP       0x20
#define YW_IPC_STATE_TX_PENDING    0x40
#define YW_IPC_STATE_ASSIGN_FAILED 0x8000
#define YW_IPC_STATE_OFF           YW_IPC_STATE_ASSIGNED
#define YW_IPC_STATE_TX_ON         (YW_IPC_STATE_ASSIGNED | YW_IPC_STATE_TX_UP)
#define YW_IPC_STATE_RX_ON         (YW_IPC_STATE_ASSIGNED | YW_IPC_STATE_RX_UP)

#define is_ipc_tx_ready(state) (((state) & 0x15) != 0)
#define is_ipc_rx_ready(state) (((state) & 0x1A) != 0)

/* IPC event value: channel id with at most one control bit */
#define YW_IPC_EVENT_RX_READY   0x80000000u
#define YW_IPC_EVENT_TX_PEND    0x40000000u
#define YW_IPC_EVENT_IPC_ID(v)  ((YW_uint32_t)(v) & ~(YW_IPC_EVENT_RX_READY | YW_IPC_EVENT_TX_PEND))

/* control commands */
enum {
    YW_IPC_CMD_GET_FLAGS = 0x01,
    YW_IPC_CMD_GET_FRAME_SIZE = 0x02,
    YW_IPC_CMD_GET_IFILE_NAME = 0x03,
    YW_IPC_CMD_GET_TX_RATE = 0x04,
    YW_IPC_CMD_GET_OFILE_NAME = 0x05,
    YW_IPC_CMD_GET_TX_FRAME_SIZE = 0x06,
    YW_IPC_CMD_GET_RX_FRAME_SIZE = 0x07,
    /* where the message last received came from (socket channels): arg1 a
     * struct sockaddr_in, arg2 its size */
    YW_IPC_CMD_GET_RX_SOURCE = 0x08,
    YW_IPC_CMD_GET_BUFFER_BASE = 0x11,
    YW_IPC_CMD_GET_BUFFER_SIZE = 0x12,
    YW_IPC_CMD_GET_BUFFER_SPACE = 0x13,
    YW_IPC_CMD_GET_BUFFER_START = 0x14,
    YW_IPC_CMD_GET_BUFFER_END = 0x15,
    YW_IPC_CMD_GET_BUFFER_LEN = 0x16,
    YW_IPC_CMD_GET_TX_BUFFER_BASE = 0x21,
    YW_IPC_CMD_GET_TX_BUFFER_SIZE = 0x22,
    YW_IPC_CMD_GET_TX_BUFFER_SPACE = 0x23,
    YW_IPC_CMD_GET_TX_BUFFER_START = 0x24,
    YW_IPC_CMD_GET_TX_BUFFER_END = 0x25,
    YW_IPC_CMD_GET_TX_BUFFER_LEN = 0x26,
    YW_IPC_CMD_GET_RX_BUFFER_BASE = 0x31,
    YW_IPC_CMD_GET_RX_BUFFER_SIZE = 0x32,
    YW_IPC_CMD_GET_RX_BUFFER_SPACE = 0x33,
    YW_IPC_CMD_GET_RX_BUFFER_START = 0x34,
    YW_IPC_CMD_GET_RX_BUFFER_END = 0x35,
    YW_IPC_CMD_GET_RX_BUFFER_LEN = 0x36,
    YW_IPC_CMD_SET_RX_BUFFER_FREE = 0x8001,
    YW_IPC_CMD_PRINT_BUFFER_STATUS = 0x8002
};

#define CONFIG_IPC_DEFAULT_TXRATE 1000000

/* ---- configuration ---- */

typedef struct yw_ipc_side_cfg {
    YW_int64_t buffer_size;
    YW_uint64_t max_descriptors;
    YW_int64_t frame_size;
    YW_int64_t rate;
} YW_ipc_side_cfg_t;

typedef struct yw_ipc_srio_address {
    int ceid;
    int port;
} YW_ipc_srio_address_t;

typedef struct yw_ipc_cfg {
    char *name;
    YW_uint16_t interfaceType;
    YW_uint16_t transportType;
    YW_uint32_t flags;
    YW_ipc_side_cfg_t tx;
    YW_ipc_side_cfg_t rx;
    struct {
        union {
            YW_P_inet_address_t inet;
            char msgq_name[YW_IPC_NAME_LEN];
            YW_ipc_srio_address_t srio;
            struct {
                int ceid;
            } sfpdp;
        } local;
        union {
            YW_P_inet_address_t inet;
            char msgq_name[YW_IPC_NAME_LEN];
            YW_ipc_srio_address_t srio;
            char dev_name[YW_IPC_NAME_LEN];
        } remote;
    } address;
    YW_uint32_t iap;
} YW_ipc_cfg_t;

#define YW_IPC_CFG_VALID(c) ((c) != nullptr && (c)->interfaceType < YW_IPC_INTF_MAX && (c)->name != nullptr)

/* ---- channel record ---- */

typedef struct yw_ipc_status {
    int state;
    YW_int64_t uptime;
    YW_int64_t downtime;
    YW_int64_t elapsedtime;
    YW_int64_t txBytes;
    YW_int64_t rxBytes;
    YW_int64_t sendBytes;
    YW_int64_t recvBytes;
    YW_int64_t txRate;
    YW_int64_t rxRate;
    YW_int64_t txPackets;
    YW_int64_t rxPackets;
    YW_int64_t sendPackets;
    YW_int64_t recvPackets;
    /* link counts of transports that keep a link (shared memory): faults,
     * resynchronisations, messages sent again, duplicates dropped by the
     * receiver, messages counted lost by the sender */
    YW_int64_t linkFaults;
    YW_int64_t resyncs;
    YW_int64_t resends;
    YW_int64_t duplicates;
    YW_int64_t lost;
} YW_ipc_status_t;

struct yw_ipc;

typedef struct yw_ipc_operations {
    YW_ret_t (*open)(struct yw_ipc *ipc, YW_uint32_t mode);
    YW_ret_t (*close)(struct yw_ipc *ipc, YW_uint32_t mode);
    YW_size_t (*send)(struct yw_ipc *ipc, const void *data, YW_size_t size);
    YW_size_t (*recv)(struct yw_ipc *ipc, void *data, YW_size_t size);
    YW_ret_t (*wait)(struct yw_ipc *ipc, YW_int64_t timeout);
    YW_ret_t (*setup)(struct yw_ipc *ipc);
    YW_ret_t (*release)(struct yw_ipc *ipc);
    YW_ret_t (*connect)(struct yw_ipc *ipc);
    YW_ret_t (*disconn)(struct yw_ipc *ipc);
    YW_ret_t (*onStatusChange)(struct yw_ipc *ipc);
    YW_ret_t (*control)(struct yw_ipc *ipc, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2);
    YW_ret_t (*onEvent)(struct yw_ipc *ipc);
} YW_ipc_operations_t;

typedef struct yw_ipc {
    YW_ipc_id_t ipc_id;
    union {
        int fd;
        YW_P_socket_t socket;
    } sap;
    YW_ipc_cfg_t *cfg;
    YW_ipc_status_t status;
    YW_ipc_operations_t oprs;
    struct {
        YW_ipc_buffer_t *buffer;
        YW_event_q_t *event_q;
        YW_uint32_t seqno;
        YW_count_t snderr;
    } tx;
    struct {
        YW_ipc_buffer_t *buffer;
        YW_event_q_t *event_q;
        YW_uint32_t seqno;
        YW_count_t rcverr;
        YW_count_t lenerr;
        YW_count_t seqerr;
    } rx;
    YW_P_mutex_t lock;
    int refCount;
    void *priv;
    struct {
        YW_int64_t timestamp;
        YW_int64_t tx_bytes;
        YW_int64_t rx_bytes;
    } measure;
    YW_int32_t kyrm_trc_id;
    YW_int32_t kyrm_trc_on;
} YW_ipc_t;

/* The state word is changed by the manager task, the opening tasks and the
 * transports on their own threads: always through these. */
inline int YW_ipc_state_get(YW_ipc_t *ipc)
{
    return std::atomic_ref<int>(ipc->status.state).load(std::memory_order_acquire);
}
inline void YW_ipc_state_set(YW_ipc_t *ipc, int bits)
{
    std::atomic_ref<int>(ipc->status.state).fetch_or(bits, std::memory_order_acq_rel);
}
inline void YW_ipc_state_clear(YW_ipc_t *ipc, int bits)
{
    std::atomic_ref<int>(ipc->status.state).fetch_and(~bits, std::memory_order_acq_rel);
}
inline void YW_ipc_state_put(YW_ipc_t *ipc, int state)
{
    std::atomic_ref<int>(ipc->status.state).store(state, std::memory_order_release);
}

/* The configuration pointer of a slot, read without the table lock (it is
 * changed under the lock); null for a free slot. */
inline YW_ipc_cfg_t *YW_ipc_cfgOf(YW_ipc_t *ipc)
{
    return std::atomic_ref<YW_ipc_cfg_t *>(ipc->cfg).load(std::memory_order_acquire);
}

/* The transport object is set when the channel is made and cleared when it is
 * deleted, under the table lock; a look-up of another channel's object reads
 * it under that lock and takes its own reference on it there. */
inline void *YW_ipc_getPriv(YW_ipc_t *ipc)
{
    return std::atomic_ref<void *>(ipc->priv).load(std::memory_order_acquire);
}
inline void YW_ipc_setPriv(YW_ipc_t *ipc, void *priv)
{
    std::atomic_ref<void *>(ipc->priv).store(priv, std::memory_order_release);
}

/* Guard of the channel-table mutex (searches and slot claims). */
class yw_ipc_table_guard {
public:
    yw_ipc_table_guard();
    ~yw_ipc_table_guard() noexcept(false);
    yw_ipc_table_guard(const yw_ipc_table_guard &) = delete;
    yw_ipc_table_guard &operator=(const yw_ipc_table_guard &) = delete;
};

/* ---- receiver context (tasks that receive over several channels) ---- */

#define YW_IPC_RECEIVER_MAX_IPC 16
#define YW_IPC_RECEIVER_RUNNING 0x1
#define YW_IPC_RECEIVER_SET_RUNNING(c)   ((c)->flags |= YW_IPC_RECEIVER_RUNNING)
#define YW_IPC_RECEIVER_RESET_RUNNING(c) ((c)->flags &= ~YW_IPC_RECEIVER_RUNNING)
#define YW_IPC_RECEIVER_IS_RUNNING(c)    (((c)->flags & YW_IPC_RECEIVER_RUNNING) != 0)

typedef struct yw_ipc_receiver_context {
    YW_task_t *task;
    YW_log_t log;
    YW_int32_t flags;
    YW_int32_t (*init)(struct yw_ipc_receiver_context *ctx);
    YW_int32_t (*prepare)(struct yw_ipc_receiver_context *ctx);
    YW_int32_t (*on_command)(struct yw_ipc_receiver_context *ctx);
    YW_size_t (*recv)(struct yw_ipc_receiver_context *ctx, void *bp, YW_size_t size);
    YW_int32_t (*run)(struct yw_ipc_receiver_context *ctx);
    YW_int32_t (*release)(struct yw_ipc_receiver_context *ctx);
    YW_int32_t (*on_rcv_error)(struct yw_ipc_receiver_context *ctx, int code);
    void *priv;
    struct {
        YW_ipc_id_t ipc_no;
        YW_int64_t buffer_size;
        YW_int64_t frame_size;
    } rx_ipc_info[YW_IPC_RECEIVER_MAX_IPC];
} YW_ipc_receiver_context_t;

extern "C" {

extern YW_ipc_cfg_t YW_g_ipc_cfg[YW_IPC_MAX];
extern YW_ipc_t YW_g_ipc[YW_IPC_MAX];

/* ---- configuration loading ---- */
struct yw_ipc_ism_cfg;
YW_ret_t YW_loadIpcServiceManageConfig(struct yw_frw_cfg_element *in, struct yw_ipc_ism_cfg *pCfg);
YW_ret_t YW_loadIpcConfig(struct yw_frw_cfg_element *in, YW_ipc_cfg_t *pCfg, struct yw_frw_cfg_element **pNext);
YW_ret_t YW_ipc_cfg_setAttribute(YW_ipc_cfg_t *pCfg, const char *key, const char *value);
YW_ret_t YW_ipc_cfg_child_setAttribute(YW_ipc_cfg_t *pCfg, const char *child_key, const char *key,
                                       const char *value);
YW_uint32_t YW_ipc_cfg_parseFlags(const char *value);
int YW_ipc_cfg_equal(const YW_ipc_cfg_t *a, const YW_ipc_cfg_t *b);
YW_ipc_cfg_t *YW_ipc_cfg_duplicate(const YW_ipc_cfg_t *pCfg);
void YW_ipc_cfg_free(YW_ipc_cfg_t *pCfg);
int YW_ipc_cfg_isStatic(const YW_ipc_cfg_t *pCfg);
/* clears the configuration and channel tables (manager initialisation) */
void YW_ipc_tables_clear(void);

/* ---- table ---- */
YW_ret_t YW_createIpc(YW_ipc_cfg_t *pCfg, YW_ipc_id_t *pIpcId);
YW_ret_t YW_deleteIpc(YW_ipc_id_t ipc_id);
/* closes the open sides of a channel and deletes it, with no window in which
 * a task could open it again (the service's stop) */
YW_ret_t YW_ipc_closeAndDelete(YW_ipc_id_t ipc_id);
YW_ret_t YW_inqIpc(YW_ipc_id_t ipc_id, YW_ipc_status_t *pStatus);
YW_ipc_t *YW_ipc_get(YW_ipc_id_t ipc_id);
YW_ipc_t *YW_ipc_getFreeEntity(void);
YW_ipc_t *YW_ipc_searchByCfg(const YW_ipc_cfg_t *pCfg);
YW_ipc_t *YW_ipc_searchByIap(YW_ipc_iap_t iap);
YW_size_t YW_ipc_toString(YW_ipc_t *ipc, char *bp, YW_size_t blen);
int YW_ipc_showIpcs(int argc, char **argv);
YW_ret_t YW_ipc_lock(void);
YW_ret_t YW_ipc_unlock(void);
/* A channel is usable by the channel API from the end of its creation to the
 * start of its deletion; deletion waits until the calls in progress are done.
 * The record's refCount is the channel's gate (yw_gate.h): closed while the
 * channel is not usable, else the number of calls in progress; a call that
 * comes while a deletion waits for them waits for the outcome. YW_ipc_enter
 * counts the caller in (0), or refuses a channel that is not usable
 * (YW_ERR_IPC_NULL) or whose state is not assigned or failed
 * (YW_ERR_IPC_NOT_READY); every successful enter is paired with
 * YW_ipc_leave. */
YW_ret_t YW_ipc_enter(YW_ipc_t *ipc);
void YW_ipc_leave(YW_ipc_t *ipc);
/* Ids stay the slot index (0..127). Each slot also has a generation, raised
 * each time a channel is made in it. A thread of a transport (a socket or
 * shared-memory task) that uses a channel while the manager may delete it
 * keeps the record and its generation, taken when it was given the channel:
 *     YW_ipc_t *ipc = YW_ipc_get(id); YW_uint32_t gen = YW_ipc_generation(ipc);
 * and holds the channel for each use (never across a long wait):
 *     YW_ipc_hold h(ipc, gen);
 *     if (!h) -> the channel is gone, or its slot holds another channel now:
 *                stop using it (never touch its buffers or transport object)
 * While held, the channel is not deleted: the deletion waits (up to 5 s,
 * then fails with -975 and keeps the channel). The generation is already set
 * when the transport's create operation runs (it may take it there), and the
 * transport's delete operation runs only once no call or hold is in flight,
 * so it may free its object. A task that faults while it holds a channel
 * ends the process (the hold could never be given back). YW_ipc_enterGen is
 * the C form (0, or -933 when gone / another generation; paired with
 * YW_ipc_leave on the same thread). */
YW_uint32_t YW_ipc_generation(const YW_ipc_t *ipc);
YW_ret_t YW_ipc_enterGen(YW_ipc_t *ipc, YW_uint32_t gen);
/* The channel API takes ids that a task was given by YW_openIpc (or a
 * thread by YW_createIpc). Each thread remembers the generation of the
 * channel each id it was given named (YW_ipc_noteGiven). A call by id
 * (close, send, receive, control: YW_ipc_enterCall, then YW_ipc_leave;
 * YW_inqIpc) made with an id the thread was given for a channel since
 * deleted fails (-933; -1 for YW_inqIpc) and never acts on a channel made
 * in the slot since, until the thread opens that new channel itself. Ids a
 * thread was never given are taken as they are. */
void YW_ipc_noteGiven(const YW_ipc_t *ipc);
YW_ret_t YW_ipc_enterCall(YW_ipc_t *ipc);

/* ---- channel API ---- */
YW_ret_t YW_openIpc(YW_ipc_iap_t iap, YW_uint32_t flags, YW_ipc_id_t *pIdPtr);
YW_ret_t YW_closeIpc(YW_ipc_id_t ipc_id, YW_uint32_t flags);
YW_size_t YW_sendIpc(YW_ipc_id_t ipc_id, const void *bp, YW_size_t size);
YW_size_t YW_recvIpc(YW_ipc_id_t ipc_id, void *bp, YW_size_t size);
YW_ret_t YW_controlIpc(YW_ipc_id_t ipc_id, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2);
YW_ret_t YW_ipc_control_default(YW_ipc_t *ipc, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2);

/* common open/close contract of the transports (receive side first) */
YW_ret_t YW_ipc_open_sides(YW_ipc_t *ipc, YW_uint32_t mode);
YW_ret_t YW_ipc_close_sides(YW_ipc_t *ipc, YW_uint32_t mode);
/* Closes, as YW_closeIpc would, every channel side whose event queue is q,
 * on every transport: run when the task owning q ends, before q is released
 * (what the channel holds stays for the next opener). Returns the number of
 * sides closed. */
int YW_ipc_closeSidesOfQueue(YW_event_q_t *q);
/* posts one IPC event {channel id | bits} to q; 0 or the send's failure */
YW_ret_t YW_ipc_postEvent(YW_event_q_t *q, YW_uint32_t value);
/* posts one IPC event to the task that opened the given side (YW_IPC_FLAGS_RX
 * or YW_IPC_FLAGS_TX) of the channel; a side whose task has ended is closed */
YW_ret_t YW_ipc_postSide(YW_ipc_t *ipc, YW_uint32_t side, YW_uint32_t value);

} // extern "C"

/* Holds a channel for one scope (see YW_ipc_enterGen). */
class YW_ipc_hold {
public:
    YW_ipc_hold(YW_ipc_t *ipc, YW_uint32_t gen) : m_ipc(ipc), m_rc(YW_ipc_enterGen(ipc, gen)) {}
    ~YW_ipc_hold() noexcept(false)
    {
        if (m_rc == YW_SUCCESS)
            YW_ipc_leave(m_ipc);
    }
    YW_ipc_hold(const YW_ipc_hold &) = delete;
    YW_ipc_hold &operator=(const YW_ipc_hold &) = delete;
    explicit operator bool() const { return m_rc == YW_SUCCESS; }
    YW_ret_t result() const { return m_rc; }
    YW_ipc_t *get() const { return m_ipc; }

private:
    YW_ipc_t *m_ipc;
    YW_ret_t m_rc;
};

#endif
