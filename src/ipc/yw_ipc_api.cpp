// Channel API used by tasks: open, close, send, receive and control, each run
// on the caller's own thread through the channel's transport operations.
#include <cstdio>
#include <cstring>

#include "ipc/yw_ipc.h"
#include "task/yw_task.h"

namespace {

// Searches of an access point whose slot changed hands meanwhile.
constexpr int YW_IPC_OPEN_TRIES = 8;

// The task that opened each side of each channel (receive side first). An
// event is posted through the task table, and only while that task still
// owns the queue stored at open, so that a task which ended without closing
// its channel is never sent to through a released queue.
YW_task_id_t yw_s_ipc_opener[YW_IPC_MAX][2];

int yw_ipc_sideIndex(YW_uint32_t side)
{
    return side == YW_IPC_FLAGS_RX ? 0 : 1;
}

std::atomic_ref<YW_task_id_t> yw_ipc_opener(YW_ipc_t *ipc, YW_uint32_t side)
{
    return std::atomic_ref<YW_task_id_t>(yw_s_ipc_opener[ipc->ipc_id % YW_IPC_MAX][yw_ipc_sideIndex(side)]);
}

std::atomic_ref<YW_event_q_t *> yw_ipc_q(YW_event_q_t *&q)
{
    return std::atomic_ref<YW_event_q_t *>(q);
}

// Open one side: the side must exist in the configuration and not be open
// yet. Queue and opener change together under the table lock.
YW_ret_t yw_ipc_openSide(YW_ipc_t *ipc, YW_uint32_t side, YW_event_q_t *q)
{
    if (!(ipc->cfg->flags & side))
        return YW_ERR_IPC_FLAGS;
    YW_event_q_t *&slot = side == YW_IPC_FLAGS_RX ? ipc->rx.event_q : ipc->tx.event_q;
    yw_ipc_table_guard lk;
    if (yw_ipc_q(slot).load(std::memory_order_acquire) != nullptr)
        return YW_ERR_IPC_REOPEN;
    yw_ipc_opener(ipc, side).store(YW_getTaskID(), std::memory_order_release);
    yw_ipc_q(slot).store(q, std::memory_order_release);
    YW_ipc_state_set(ipc, side == YW_IPC_FLAGS_RX ? YW_IPC_STATE_RX_OPENED : YW_IPC_STATE_TX_OPENED);
    return YW_SUCCESS;
}

void yw_ipc_clearSide(YW_ipc_t *ipc, YW_uint32_t side)
{
    YW_event_q_t *&slot = side == YW_IPC_FLAGS_RX ? ipc->rx.event_q : ipc->tx.event_q;
    yw_ipc_q(slot).store(nullptr, std::memory_order_release);
    yw_ipc_opener(ipc, side).store(YW_TASK_ID_NONE, std::memory_order_release);
    YW_ipc_state_clear(ipc, side == YW_IPC_FLAGS_RX ? YW_IPC_STATE_RX_OPENED : YW_IPC_STATE_TX_OPENED);
}

YW_ret_t yw_ipc_closeSide(YW_ipc_t *ipc, YW_uint32_t side)
{
    if (!(ipc->cfg->flags & side))
        return YW_ERR_IPC_FLAGS;
    yw_ipc_table_guard lk;
    yw_ipc_clearSide(ipc, side);
    return YW_SUCCESS;
}

// One call of the channel API on a live (created, not failed) channel: the
// channel cannot be deleted while the call is in progress. A call by id is
// refused when the id outlived the channel it was given for.
class yw_ipc_call {
public:
    explicit yw_ipc_call(YW_ipc_t *ipc, YW_ret_t (*enter)(YW_ipc_t *) = YW_ipc_enter)
        : m_ipc(ipc), m_rc(enter(ipc))
    {
    }
    explicit yw_ipc_call(YW_ipc_id_t ipc_id) : yw_ipc_call(YW_ipc_get(ipc_id), YW_ipc_enterCall) {}
    ~yw_ipc_call() noexcept(false)
    {
        if (m_rc == YW_SUCCESS)
            YW_ipc_leave(m_ipc);
    }
    yw_ipc_call(const yw_ipc_call &) = delete;
    yw_ipc_call &operator=(const yw_ipc_call &) = delete;
    YW_ret_t result() const { return m_rc; }
    YW_ipc_t *operator->() const { return m_ipc; }
    YW_ipc_t *get() const { return m_ipc; }

private:
    YW_ipc_t *m_ipc;
    YW_ret_t m_rc;
};

} // namespace

extern "C" {

YW_ret_t YW_ipc_postEvent(YW_event_q_t *q, YW_uint32_t value)
{
    if (!q)
        return YW_ERR_EVENTQ_NULL;
    YW_event_msg_t *m = YW_event_initEvent(nullptr, YW_EVENT_FLAG_IPC, value, nullptr);
    if (!m)
        return YW_ERR_NO_MEM;
    YW_ret_t r = YW_event_send(q, m);
    if (r < 0) {
        YW_event_releaseEvent(m);
        return r;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_postSide(YW_ipc_t *ipc, YW_uint32_t side, YW_uint32_t value)
{
    if (!ipc || (side != YW_IPC_FLAGS_RX && side != YW_IPC_FLAGS_TX))
        return YW_ERR_IPC_NULL;
    YW_event_q_t *&slot = side == YW_IPC_FLAGS_RX ? ipc->rx.event_q : ipc->tx.event_q;
    YW_event_q_t *q = yw_ipc_q(slot).load(std::memory_order_acquire);
    if (!q)
        return YW_ERR_EVENTQ_NULL;
    YW_task_id_t tid = yw_ipc_opener(ipc, side).load(std::memory_order_acquire);
    if (YW_task_tse_getTaskEventq(tid) != q) {
        // Looked at again under the lock: an open may have been half done.
        yw_ipc_table_guard lk;
        q = yw_ipc_q(slot).load(std::memory_order_acquire);
        tid = yw_ipc_opener(ipc, side).load(std::memory_order_acquire);
        if (!q)
            return YW_ERR_EVENTQ_NULL;
        if (YW_task_tse_getTaskEventq(tid) != q) {
            // The opener ended without closing: the side is closed now.
            yw_ipc_clearSide(ipc, side);
            return YW_ERR_EVENTQ_NULL;
        }
    }
    YW_ret_t r = YW_sendTaskEvent(tid, YW_EVENT_FLAG_IPC, value, nullptr);
    return r < 0 ? r : YW_SUCCESS;
}

YW_ret_t YW_ipc_open_sides(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_IPC_NULL;
    if (!(mode & (YW_IPC_FLAGS_RX | YW_IPC_FLAGS_TX)))
        return YW_ERR_IPC_FLAGS;
    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (!q)
        return YW_ERR_EVENTQ_NULL;
    YW_ret_t r = YW_SUCCESS;
    bool opened = false;
    if (mode & YW_IPC_FLAGS_RX) {
        r = yw_ipc_openSide(ipc, YW_IPC_FLAGS_RX, q);
        opened = r == YW_SUCCESS;
    }
    if (r == YW_SUCCESS && (mode & YW_IPC_FLAGS_TX)) {
        r = yw_ipc_openSide(ipc, YW_IPC_FLAGS_TX, q);
        opened = opened || r == YW_SUCCESS;
    }
    // The opener is told of data and room by IPC events: make them wake it,
    // also when the receive side opened and the transmit side was refused
    // (the receive side stays open and gets its events).
    if (opened)
        q->flags_wait.fetch_or(YW_EVENT_FLAG_IPC, std::memory_order_acq_rel);
    return r;
}

YW_ret_t YW_ipc_close_sides(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_IPC_NULL;
    if (mode & YW_IPC_FLAGS_RX) {
        YW_ret_t r = yw_ipc_closeSide(ipc, YW_IPC_FLAGS_RX);
        if (r != YW_SUCCESS)
            return r;
    }
    if (mode & YW_IPC_FLAGS_TX) {
        YW_ret_t r = yw_ipc_closeSide(ipc, YW_IPC_FLAGS_TX);
        if (r != YW_SUCCESS)
            return r;
    }
    return YW_SUCCESS;
}

int YW_ipc_closeSidesOfQueue(YW_event_q_t *q)
{
    if (!q)
        return 0;
    // Clean-up of an ending task: finished even when its stop is pending.
    YW_P_noCancel hold;
    int closed = 0;
    for (YW_ipc_id_t id = 0; id < YW_IPC_MAX; id++) {
        YW_ipc_t *ipc = YW_ipc_get(id);
        if (!ipc)
            continue;
        auto sides = [ipc, q] {
            YW_uint32_t mode = 0;
            if (yw_ipc_q(ipc->rx.event_q).load(std::memory_order_acquire) == q)
                mode |= YW_IPC_FLAGS_RX;
            if (yw_ipc_q(ipc->tx.event_q).load(std::memory_order_acquire) == q)
                mode |= YW_IPC_FLAGS_TX;
            return mode;
        };
        if (!sides())
            continue;
        yw_ipc_call live(ipc);
        // Only this task opens sides with its own queue, so the sides found
        // stay its own until closed here.
        const YW_uint32_t mode = live.result() == YW_SUCCESS ? sides() : 0;
        if (!mode)
            continue;
        if (live->oprs.close)
            live->oprs.close(live.get(), mode);
        else
            YW_ipc_close_sides(live.get(), mode);
        closed += ((mode & YW_IPC_FLAGS_RX) != 0) + ((mode & YW_IPC_FLAGS_TX) != 0);
    }
    return closed;
}

YW_ret_t YW_openIpc(YW_ipc_iap_t iap, YW_uint32_t flags, YW_ipc_id_t *pIdPtr)
{
    // The slot found may be deleted and made again for another channel
    // before the call gets in: the access point is checked once more inside.
    for (int tries = 0; tries < YW_IPC_OPEN_TRIES; tries++) {
        YW_ipc_t *ipc = YW_ipc_searchByIap(iap);
        if (!ipc)
            return YW_ERR_IPC_NULL;
        yw_ipc_call live(ipc);
        if (live.result() != YW_SUCCESS)
            return live.result();
        if (live->cfg->iap != iap)
            continue;
        // the id handed out names this channel from now on
        YW_ipc_noteGiven(live.get());
        if (!live->oprs.open)
            return YW_ERR_NULL_FUNC;
        YW_ret_t r = live->oprs.open(live.get(), flags);
        if (pIdPtr)
            *pIdPtr = live->ipc_id;
        return r;
    }
    return YW_ERR_IPC_NULL;
}

YW_ret_t YW_closeIpc(YW_ipc_id_t ipc_id, YW_uint32_t flags)
{
    YW_P_giveBackScope giveBack; // made from destructors: no stop place
    yw_ipc_call ipc(ipc_id);
    if (ipc.result() != YW_SUCCESS)
        return ipc.result();
    if (!ipc->oprs.close)
        return YW_ERR_NULL_FUNC;
    return ipc->oprs.close(ipc.get(), flags);
}

YW_size_t YW_sendIpc(YW_ipc_id_t ipc_id, const void *bp, YW_size_t size)
{
    // A task polling a channel in a loop is ended here once it was stopped.
    YW_P_stopPoint();
    yw_ipc_call ipc(ipc_id);
    if (ipc.result() != YW_SUCCESS)
        return ipc.result();
    if (!bp || size < 0)
        return YW_ERR_INVD_ARGS;
    if (!ipc->oprs.send)
        return YW_ERR_NULL_FUNC;
    return ipc->oprs.send(ipc.get(), bp, size);
}

YW_size_t YW_recvIpc(YW_ipc_id_t ipc_id, void *bp, YW_size_t size)
{
    // A task polling a channel in a loop is ended here once it was stopped.
    YW_P_stopPoint();
    yw_ipc_call ipc(ipc_id);
    if (ipc.result() != YW_SUCCESS)
        return ipc.result();
    if (!bp || size < 0)
        return YW_ERR_INVD_ARGS;
    if (!ipc->oprs.recv)
        return YW_ERR_NULL_FUNC;
    return ipc->oprs.recv(ipc.get(), bp, size);
}

YW_ret_t YW_controlIpc(YW_ipc_id_t ipc_id, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2)
{
    yw_ipc_call ipc(ipc_id);
    if (ipc.result() != YW_SUCCESS)
        return ipc.result();
    if (!ipc->oprs.control)
        return YW_ERR_NULL_FUNC;
    return ipc->oprs.control(ipc.get(), cmd, arg1, arg2);
}

YW_ret_t YW_ipc_control_default(YW_ipc_t *ipc, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_IPC_NULL;
    const YW_ipc_cfg_t *c = ipc->cfg;
    uintptr_t want = 8;
    YW_uint32_t u32 = 0;
    YW_int64_t i64 = 0;
    switch (cmd) {
    case YW_IPC_CMD_GET_FLAGS:
        want = 4;
        u32 = c->flags;
        break;
    case YW_IPC_CMD_GET_TX_RATE:
        i64 = c->tx.rate;
        break;
    case YW_IPC_CMD_GET_TX_FRAME_SIZE:
        i64 = c->tx.frame_size;
        break;
    case YW_IPC_CMD_GET_RX_FRAME_SIZE:
        i64 = c->rx.frame_size;
        break;
    case YW_IPC_CMD_GET_TX_BUFFER_SIZE:
        i64 = c->tx.buffer_size;
        break;
    case YW_IPC_CMD_GET_RX_BUFFER_SIZE:
        i64 = c->rx.buffer_size;
        break;
    default:
        return YW_ERR_NOT_SUPPORT;
    }
    if (!arg1 || (uintptr_t)arg2 != want)
        return YW_ERR_INVD_ARGS;
    if (want == 4)
        std::memcpy(arg1, &u32, sizeof(u32));
    else
        std::memcpy(arg1, &i64, sizeof(i64));
    return YW_SUCCESS;
}

} // extern "C"
