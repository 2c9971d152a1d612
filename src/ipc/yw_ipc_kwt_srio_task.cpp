// Tasks of the shared-memory/DMA transport and its handshake.
//
// "SRIO_TX" performs the transfers of channels without DIRECT: a send queues
// the message in the channel's transmit FIFO and posts an event here. A
// message that cannot go yet (receiver busy, handshake pending) is kept and
// tried again every polling period. "SRIO_RX" polls the rings of receive
// channels without DIRECT on a fixed 50-microsecond grid and announces each
// message to the task that opened the channel. Each connection has at most
// one retry thread, which sets up and handshakes until it is synced or
// released.
#include <sys/prctl.h>
#include <time.h>

#include <bitset>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "yw_ipc_kwt_srio_int.h"
#include "task/yw_task_tsm.h"

extern "C" {
YW_ipc_kwt_srio_tx_ctx_t YW_g_ipc_kwt_srio_tx_ctx;
YW_ipc_kwt_srio_rx_ctx_t YW_g_ipc_kwt_srio_rx_ctx;
}

namespace {

constexpr int YW_SRIO_FAMILY_INIT = 0x1;
constexpr int YW_SRIO_FAMILY_STARTED = 0x2;
constexpr YW_int64_t YW_SRIO_GRID_ROUNDS = 100000;
constexpr auto YW_SRIO_SYNC_WAIT = std::chrono::seconds(1);
constexpr auto YW_SRIO_SYNC_STEP = std::chrono::milliseconds(20);
// Receive channels of a compute element whose handshake goes unanswered are
// looked at every this many polling cycles (50 ms), not on every one.
constexpr YW_int64_t YW_SRIO_SLOW_ROUNDS = 1000;

std::atomic<int> yw_s_srio_family{0};

char yw_s_srio_tx_name[] = "SRIO_TX";
char yw_s_srio_tx_entry[] = "YW_ipc_kwt_srio_send_task";
char yw_s_srio_rx_name[] = "SRIO_RX";
char yw_s_srio_rx_entry[] = "YW_ipc_kwt_srio_recv_task";

YW_task_cfg_t yw_srio_taskCfg(char *name, char *entry)
{
    YW_task_cfg_t c{};
    c.name = name;
    c.entry_name = entry;
    c.category = YW_TASK_CAT_FRW;
    c.policy = 2;
    c.priority = 51;
    c.cpu_no = 0;
    c.core_mask = 0x1;
    c.process_no = 0;
    c.stack_size = 32768;
    c.use_flag = 0;
    return c;
}

YW_task_cfg_t yw_s_srio_tx_cfg = yw_srio_taskCfg(yw_s_srio_tx_name, yw_s_srio_tx_entry);
YW_task_cfg_t yw_s_srio_rx_cfg = yw_srio_taskCfg(yw_s_srio_rx_name, yw_s_srio_rx_entry);

YW_ipc_kwt_srio_connection_t *yw_srio_conn(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg || !ipc->priv || ipc->oprs.send != YW_ipc_kwt_srio_send)
        return nullptr;
    auto *conn = static_cast<YW_ipc_kwt_srio_connection_t *>(ipc->priv);
    return conn->ipc == ipc ? conn : nullptr;
}

bool yw_srio_tx(const YW_ipc_kwt_srio_connection_t *conn)
{
    return (conn->ipc->cfg->flags & YW_IPC_FLAGS_TX) != 0;
}

// Starts a family task from its configuration (the built-in one when the
// context has none): the configured task of that entry when there is one.
YW_task_id_t yw_srio_startTask(YW_task_cfg_t *cfg, YW_task_entry_t entry, void *ctx)
{
    YW_task_id_t id = YW_task_tsm_findTaskIdByEntry(entry);
    if (id >= YW_TASK_MAX && YW_createTask(cfg, &id) != YW_SUCCESS)
        return YW_TASK_ID_NONE;
    YW_ret_t r = YW_startTask(id, ctx);
    if (r != YW_SUCCESS) {
        std::printf("%s:%d task %s start fail %d\n", __func__, __LINE__, cfg->name, (int)r);
        return YW_TASK_ID_NONE;
    }
    return id;
}

// Waits up to a second, in small steps, until done() holds; false when the
// connection is released meanwhile or the second is over.
template <typename F> bool yw_srio_waitUntil(YW_ipc_kwt_srio_connection_t *conn, F done)
{
    auto end = std::chrono::steady_clock::now() + YW_SRIO_SYNC_WAIT;
    while (!conn->released.load()) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(YW_SRIO_SYNC_STEP);
    }
    return false;
}

void yw_srio_clientLoop(YW_ipc_kwt_srio_connection_t *conn, YW_ipc_t *ipc);

void yw_srio_clientMain(YW_ipc_kwt_srio_connection_t *conn)
{
    YW_ipc_t *ipc = conn->ipc;
    for (;;) {
        yw_srio_clientLoop(conn, ipc);
        conn->clientRunning.store(false);
        // Unsynced again just before the mark was cleared: nobody else
        // started a thread for it, so this one goes on.
        bool no = false;
        if (conn->released.load() || (conn->synced.load() && !conn->faulted.load()) ||
            !conn->clientRunning.compare_exchange_strong(no, true))
            return;
    }
}

void yw_srio_clientLoop(YW_ipc_kwt_srio_connection_t *conn, YW_ipc_t *ipc)
{
    while (!conn->released.load() && (!conn->synced.load() || conn->faulted.load())) {
        // A link fault: the areas are let go and set up again.
        if (conn->faulted.load()) {
            YW_ipc_KWT_SRIO_release_connection(conn);
            conn->faulted.store(0);
        }
        if (!(conn->status.load() & YW_IPC_KWT_SRIO_READY)) {
            if (YW_ipc_kwt_srio_setup_connection(conn, ipc) != YW_SUCCESS) {
                yw_srio_waitUntil(conn, [] { return false; });
                continue;
            }
        }
        if (yw_srio_tx(conn))
            YW_ipc_kwt_srio_sender_sync(conn, 1);
        else
            YW_ipc_kwt_srio_receiver_sync(conn, 1);
    }
}

bool yw_srio_txTurn(YW_ipc_t *ipc, YW_ipc_kwt_srio_connection_t *conn);

// Transmit task, one channel: collects acknowledged room, then transfers
// queued messages in order until one cannot go. True while messages wait.
bool yw_srio_txService(YW_ipc_t *ipc, YW_ipc_kwt_srio_connection_t *conn)
{
    if (!conn->hasTxRing)
        return false;
    YW_ipc_kwt_srio_watchMailbox(conn);
    // Unsynced: the retry thread handshakes. Asked on every call, not only
    // on the change, since a start lost to a retry thread just ending (and
    // another caller holding the client lock) is made up here.
    if (!conn->synced.load())
        YW_ipc_kwt_srio_connection_tryConnect(ipc);
    const bool more = yw_srio_txTurn(ipc, conn);
    // The link went down in this turn: the handshake starts now.
    if (!conn->synced.load())
        YW_ipc_kwt_srio_connection_tryConnect(ipc);
    return more;
}

bool yw_srio_txTurn(YW_ipc_t *ipc, YW_ipc_kwt_srio_connection_t *conn)
{
    // Each queued message is transferred and taken off the queue with no
    // handshake reset in between.
    YW_shared_lock<std::mutex> rings(conn->ringLock);
    YW_ipc_kwt_srio_checkAreas(conn);
    int progress = 0;
    if (ipc->cfg->flags & YW_IPC_FLAGS_FLOWCTRL) {
        YW_ret_t c = YW_ipc_kwt_srio_collect_free_buffers(conn);
        progress += c > 0 ? c : 0;
    }
    // What an earlier link did not acknowledge goes first.
    bool waiting = YW_ipc_kwt_srio_sendAgain(ipc, conn) != YW_SUCCESS;
    for (YW_uint64_t i = 0; !waiting && i <= conn->descriptors_size; i++) {
        YW_pos_t off = 0;
        YW_size_t len = 0;
        YW_uint64_t hdr = 0;
        if (yw_srio_peekFifo(&conn->txring, conn->txHdr, &off, &len, &hdr) != YW_SUCCESS)
            break;
        YW_size_t r = yw_srio_sendDirect(ipc, off, len, hdr);
        if (r < 0) {
            // Kept: tried again on the next turn.
            if (r != YW_ERR_IPC_KWT_SRIO_RX_BUSY && r != YW_ERR_IPC_BUSY && r != YW_ERR_IPC_NOT_READY)
                yw_srio_line(conn, YW_SRIO_LINE_SENDER, "%s:%d ipc %s srio send error=%d\n", __func__, __LINE__,
                             ipc->cfg->name, (int)r);
            waiting = true;
            break;
        }
        YW_ipc_buffer_advance(&conn->txring);
        progress++;
    }
    if (progress > 0 && (YW_ipc_state_get(ipc) & YW_IPC_STATE_TX_PENDING)) {
        YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_PENDING);
        YW_ipc_postSide(ipc, YW_IPC_FLAGS_TX, ipc->ipc_id | YW_IPC_EVENT_TX_PEND);
    }
    // Without a handshake nothing is polled: the handshake's success wakes
    // the task for the channel.
    if (!(conn->status.load() & YW_IPC_KWT_SRIO_READY) || !conn->synced.load() || conn->faulted.load())
        return false;
    // Flow-controlled room still outstanding is collected on the next turns
    // (what was sent is read under BUSY, as every ring operation).
    bool outstanding = false;
    if ((ipc->cfg->flags & YW_IPC_FLAGS_FLOWCTRL) && conn->sent) {
        YW_ipc_kwt_srio_busy hold(conn, -1);
        outstanding = (conn->status.load() & YW_IPC_KWT_SRIO_READY) && conn->sent[conn->pop.load()] != 0;
    }
    return waiting || outstanding || YW_ipc_buffer_peek(&conn->txring, nullptr, nullptr) == YW_SUCCESS;
}

// Runs fn on a channel of the given generation while it is held (it cannot
// be deleted meanwhile), marking it as the one the task works on. False when
// it could not be held (being made or deleted).
template <typename F>
bool yw_srio_onChannel(std::atomic<YW_ipc_t *> &current, YW_ipc_t *ipc, YW_uint32_t gen, F fn)
{
    YW_ipc_hold h(ipc, gen);
    if (!h)
        return false;
    current.store(ipc);
    if (YW_ipc_kwt_srio_connection_t *conn = yw_srio_conn(ipc))
        fn(conn);
    current.store(nullptr);
    return true;
}

} // namespace

extern "C" {

YW_ret_t YW_ipc_kwt_srio_init(void)
{
    if (yw_s_srio_family.load() & YW_SRIO_FAMILY_INIT)
        return YW_SUCCESS;
    YW_ipc_kwt_srio_tx_ctx_t &t = YW_g_ipc_kwt_srio_tx_ctx;
    t.status.store(0);
    t.task.store(nullptr);
    t.taskId.store(YW_TASK_ID_NONE);
    t.eventq.store(nullptr);
    t.timeout = CONFIG_KWT_SRIO_TX_IDLE_TIMEOUT;
    t.cfg = nullptr;
    t.current.store(nullptr);
    YW_ipc_kwt_srio_rx_ctx_t &r = YW_g_ipc_kwt_srio_rx_ctx;
    r.status.store(0);
    r.task.store(nullptr);
    r.timeout = CONFIG_KWT_SRIO_POLLING_TIME;
    for (auto &e : r.ipc_list)
        e.store(nullptr);
    r.ipc_count.store(0);
    r.cfg = nullptr;
    r.current.store(nullptr);
    yw_s_srio_family.fetch_or(YW_SRIO_FAMILY_INIT);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_deinit(void)
{
    if (!(yw_s_srio_family.load() & YW_SRIO_FAMILY_INIT))
        return YW_SUCCESS;
    YW_ipc_kwt_srio_stop();
    yw_s_srio_family.fetch_and(~YW_SRIO_FAMILY_INIT);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_start(void)
{
    int f = yw_s_srio_family.load();
    if (!(f & YW_SRIO_FAMILY_INIT) || (f & YW_SRIO_FAMILY_STARTED))
        return YW_SUCCESS;
    YW_ipc_kwt_srio_tx_ctx_t &t = YW_g_ipc_kwt_srio_tx_ctx;
    YW_ipc_kwt_srio_rx_ctx_t &r = YW_g_ipc_kwt_srio_rx_ctx;
    YW_task_id_t tid = yw_srio_startTask(t.cfg ? t.cfg : &yw_s_srio_tx_cfg, YW_ipc_kwt_srio_send_task, &t);
    t.taskId.store(tid);
    t.task.store(YW_task_get(tid));
    YW_task_id_t rid = yw_srio_startTask(r.cfg ? r.cfg : &yw_s_srio_rx_cfg, YW_ipc_kwt_srio_recv_task, &r);
    r.task.store(YW_task_get(rid));
    yw_s_srio_family.fetch_or(YW_SRIO_FAMILY_STARTED);
    return tid < YW_TASK_MAX && rid < YW_TASK_MAX ? YW_SUCCESS : YW_ERR_TASK_NULL;
}

YW_ret_t YW_ipc_kwt_srio_stop(void)
{
    if (!(yw_s_srio_family.load() & YW_SRIO_FAMILY_STARTED))
        return YW_SUCCESS;
    YW_ipc_kwt_srio_tx_ctx_t &t = YW_g_ipc_kwt_srio_tx_ctx;
    YW_ipc_kwt_srio_rx_ctx_t &r = YW_g_ipc_kwt_srio_rx_ctx;
    t.status.store(0);
    r.status.store(0);
    YW_ipc_kwt_srio_ringRx();
    // The transmit task is woken so that it leaves now, not after its idle
    // time-out; both are waited for (a bounded time), so that the family can
    // be started again at once.
    YW_task_id_t tid = t.taskId.load();
    if (tid < YW_TASK_MAX)
        YW_sendTaskEvent(tid, YW_EVENT_FLAG_IPC, YW_IPC_INVALID_ID, nullptr);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while ((t.task.load() || r.task.load()) && std::chrono::steady_clock::now() < end)
        YW_P_pauseNoCancel(100000LL); // clean-up: finished even by a stopped caller
    yw_s_srio_family.fetch_and(~YW_SRIO_FAMILY_STARTED);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_task_addRxIpc(YW_ipc_t *ipc)
{
    YW_ipc_kwt_srio_rx_ctx_t &r = YW_g_ipc_kwt_srio_rx_ctx;
    yw_ipc_table_guard g; // list changes are serialised; the task reads it
    int n = r.ipc_count.load();
    for (int i = 0; i < n; i++)
        if (r.ipc_list[i].load() == ipc)
            return YW_SUCCESS;
    if (n >= YW_IPC_KWT_SRIO_MAX)
        return YW_ERR_OVERFLOW;
    r.ipc_gen[n].store(YW_ipc_generation(ipc));
    r.ipc_list[n].store(ipc);
    r.ipc_count.store(n + 1);
    YW_ipc_kwt_srio_ringRx();
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_task_delRxIpc(YW_ipc_t *ipc)
{
    YW_ipc_kwt_srio_rx_ctx_t &r = YW_g_ipc_kwt_srio_rx_ctx;
    yw_ipc_table_guard g;
    int n = r.ipc_count.load();
    for (int i = 0; i < n; i++) {
        if (r.ipc_list[i].load() != ipc)
            continue;
        // Null first, then the later entries move down one place.
        r.ipc_list[i].store(nullptr);
        for (int k = i; k + 1 < n; k++) {
            r.ipc_gen[k].store(r.ipc_gen[k + 1].load());
            r.ipc_list[k].store(r.ipc_list[k + 1].load());
        }
        r.ipc_list[n - 1].store(nullptr);
        r.ipc_count.store(n - 1);
        return YW_SUCCESS;
    }
    return YW_ERR_NOT_FOUND;
}

void YW_ipc_kwt_srio_ringRx(void)
{
    YW_ipc_kwt_srio_rx_ctx_t &r = YW_g_ipc_kwt_srio_rx_ctx;
    r.bell.fetch_add(1);
    r.bell.notify_all();
}

YW_ret_t YW_measuretime_gettime(struct timespec *ts)
{
    if (!ts)
        return YW_ERR_ENTITY_NULL;
    return clock_gettime(CLOCK_MONOTONIC, ts) == 0 ? YW_SUCCESS : YW_FAIL;
}

void YW_ipc_kwt_srio_task_quiesce(YW_ipc_t *ipc)
{
    while (YW_g_ipc_kwt_srio_rx_ctx.current.load() == ipc || YW_g_ipc_kwt_srio_tx_ctx.current.load() == ipc)
        std::this_thread::yield();
}

YW_ret_t YW_ipc_kwt_srio_notifyTx(YW_ipc_t *ipc)
{
    YW_task_id_t tid = YW_g_ipc_kwt_srio_tx_ctx.taskId.load();
    if (tid >= YW_TASK_MAX)
        return YW_ERR_TASK_NULL;
    YW_ret_t r = YW_sendTaskEvent(tid, YW_EVENT_FLAG_IPC, ipc->ipc_id | YW_IPC_EVENT_TX_PEND, nullptr);
    return r < 0 ? r : YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_recv_poll(YW_ipc_t *ipc)
{
    YW_ipc_kwt_srio_connection_t *conn = yw_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    YW_uint64_t off = 0, size = 0, msg = 0;
    if (conn->faulted.load())
        YW_ipc_kwt_srio_connection_tryConnect(ipc); // the retry thread sets up again
    // Taken and queued with no handshake reset in between.
    YW_shared_lock<std::mutex> rings(conn->ringLock);
    YW_ipc_kwt_srio_checkAreas(conn);
    YW_ret_t r = YW_ipc_kwt_srio_wait_transfer(conn, &off, &size, &msg);
    if (r != YW_SUCCESS)
        return r;
    if (size == 0)
        return msg ? YW_ERR_IPC_KWT_SRIO_RX_NODATA : YW_SUCCESS;
    YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)size);
    YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)1);
    // With the header as checked, for the delivery, which does not read the
    // header again.
    const YW_pos_t next =
        yw_srio_pushFifo(&conn->rxring, conn->queuedHdr, off, size, yw_srio_hdr(conn->takenSeq, conn->takenLen));
    if (next < 0) {
        ipc->rx.rcverr++;
        return YW_SUCCESS;
    }
    YW_ipc_postSide(ipc, YW_IPC_FLAGS_RX, ipc->ipc_id | YW_IPC_EVENT_RX_READY);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_connection_tryConnect(YW_ipc_t *ipc)
{
    YW_ipc_kwt_srio_connection_t *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    if (conn->synced.load() && !conn->faulted.load())
        return YW_SUCCESS;
    // Never waits for the lock: a caller may hold set-up locks that a
    // stopping retry thread needs.
    std::unique_lock<std::mutex> g(conn->clientLock, std::try_to_lock);
    if (!g.owns_lock() || conn->released.load())
        return YW_SUCCESS;
    // The mark is claimed before the join: a thread that has just cleared it
    // then cannot take it back and run on (a join of it would wait until
    // the next handshake).
    if (conn->clientRunning.exchange(true))
        return YW_SUCCESS;
    if (conn->client.joinable())
        conn->client.join(); // ended, or ending now
    try {
        conn->client = std::thread(yw_srio_clientMain, conn);
    } catch (...) {
        conn->clientRunning.store(false);
        return YW_FAIL;
    }
    return YW_SUCCESS;
}

void YW_ipc_kwt_srio_stopClient(YW_ipc_kwt_srio_connection_t *conn)
{
    conn->released.store(true);
    std::lock_guard<std::mutex> g(conn->clientLock);
    if (conn->client.joinable())
        conn->client.join();
    conn->clientRunning.store(false);
}

YW_ret_t YW_ipc_kwt_srio_sender_sync(YW_ipc_kwt_srio_connection_t *conn, int trycount)
{
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    for (int t = 0; t < trycount && !conn->released.load(); t++) {
        int r;
        {
            // A SYNC_ACK left from an earlier handshake must not complete
            // this one. The ring is left as it is until the peer answers:
            // acknowledgements it writes meanwhile still count.
            YW_shared_lock<std::mutex> rings(conn->ringLock);
            YW_ipc_kwt_srio_busy hold(conn, -1);
            if (!(conn->status.load() & YW_IPC_KWT_SRIO_READY))
                return YW_ERR_IPC_NOT_READY;
            conn->synced.store(0);
            std::atomic_ref<YW_uint64_t>(conn->descriptors[conn->remote_mbox]).store(0, std::memory_order_release);
            // Nor may the number the peer gave then decide anything now.
            yw_srio_word(conn, YW_IPC_KWT_SRIO_DUE_WORD(conn->descriptors_size)).store(0, std::memory_order_release);
            r = YW_ipc_kwt_srio_write_u64(conn, conn->local_mbox, YW_IPC_KWT_SRIO_MSG_SYNC);
        }
        auto acked = [conn] { return YW_ipc_kwt_srio_poll_msg(conn) == YW_IPC_KWT_SRIO_MSG_SYNC_ACK; };
        bool ok = yw_srio_waitUntil(conn, [&] { return r == YW_SUCCESS && acked(); });
        if (!ok && !conn->released.load() && conn->peerAnswered.exchange(false))
            YW_ipc_kwt_srio_markPeer(conn, 1); // the peer does not answer: its channels here wait too
        if (ok) {
            // The peer's SYNC_ACK says it has started again from an empty
            // ring and acknowledges nothing more of the old link: what the
            // ring shows acknowledged is collected, the rest is sent again.
            YW_shared_lock<std::mutex> rings(conn->ringLock);
            YW_ipc_kwt_srio_busy hold(conn, -1);
            if (!(conn->status.load() & YW_IPC_KWT_SRIO_READY))
                return YW_ERR_IPC_NOT_READY; // let go meanwhile: its areas are unmapped
            // With its answer the peer gave the number it expects next: it
            // decides what of a lost data area's frames was delivered.
            yw_srio_settleStale(conn);
            YW_ipc_kwt_srio_resetLink(conn);
            if (!conn->faulted.load() && yw_srio_giveFirstFrame(conn) == YW_SUCCESS &&
                YW_ipc_kwt_srio_write_u64(conn, conn->local_mbox, 0) == YW_SUCCESS) {
                std::atomic_ref<YW_uint64_t>(conn->descriptors[conn->remote_mbox]).store(0, std::memory_order_release);
                conn->synced.store(1);
                yw_srio_line(conn, YW_SRIO_LINE_SYNCED, "%s:%d ipc %s synced\n", __func__, __LINE__,
                             conn->ipc->cfg->name);
            } else {
                continue;
            }
        }
        if (ok) {
            // What waits to be sent goes now.
            if (!conn->peerAnswered.exchange(true))
                YW_ipc_kwt_srio_markPeer(conn, 0);
            YW_ipc_kwt_srio_notifyTx(conn->ipc);
            return YW_SUCCESS;
        }
    }
    return YW_ERR_IPC_KWT_SRIO_SYNC_FAIL;
}

YW_ret_t YW_ipc_kwt_srio_receiver_sync(YW_ipc_kwt_srio_connection_t *conn, int trycount)
{
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    for (int t = 0; t < trycount && !conn->released.load(); t++) {
        // The receive task answers too; whichever sees the SYNC first.
        // Only the mailbox: a message on the ring belongs to the receiver
        // (a receive may sync the link and the sender fill the ring while
        // this thread waits for the ring lock).
        bool ok = yw_srio_waitUntil(conn, [conn] {
            if (!conn->synced.load()) {
                // A SYNC resets the ring: not while a receive is in it.
                YW_shared_lock<std::mutex> rings(conn->ringLock);
                if (!conn->synced.load())
                    YW_ipc_kwt_srio_answer_sync(conn);
            }
            return conn->synced.load() != 0;
        });
        if (ok)
            return YW_SUCCESS;
    }
    return YW_ERR_IPC_KWT_SRIO_SYNC_FAIL;
}

void *YW_ipc_kwt_srio_send_task(void *arg)
{
    auto *ctx = static_cast<YW_ipc_kwt_srio_tx_ctx_t *>(arg ? arg : &YW_g_ipc_kwt_srio_tx_ctx);
    YW_task_id_t tid = YW_getTaskID();
    ctx->task.store(YW_task_get(tid));
    ctx->status.store(1);
    ctx->eventq.store(YW_getTaskEventQ());
    ctx->taskId.store(tid);
    YW_registerTaskEventFlag(tid, YW_EVENT_FLAG_IPC);
    // Its short waits (one polling period) must not be stretched by the
    // default timer slack, which is as long as the period itself.
    prctl(PR_SET_TIMERSLACK, 1000UL);
    std::bitset<YW_IPC_MAX> waiting;
    // Sends queued before the task ran (or whose event was lost) are found
    // by a look at every channel, at the start and after each idle time-out.
    bool sweep = true;
    while (ctx->status.load()) {
        std::bitset<YW_IPC_MAX> todo = waiting;
        YW_event_flag_t flags = 0;
        if (!sweep)
            sweep = YW_waitTaskEventTime(tid, &flags, waiting.any() ? CONFIG_KWT_SRIO_POLLING_TIME : ctx->timeout) < 1 &&
                    waiting.none();
        if (sweep)
            todo.set();
        sweep = false;
        YW_event_msg_t *m = nullptr;
        while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0) {
            YW_ipc_id_t id = YW_IPC_EVENT_IPC_ID(m->id.p.value);
            if (id >= YW_IPC_MAX && ctx->status.load())
                std::printf("%s:%d ivalid ipc id = %d\n", __func__, __LINE__, (int)id);
            else if (id < YW_IPC_MAX)
                todo.set(id);
            YW_event_releaseEvent(m);
        }
        for (YW_ipc_id_t id = 0; id < YW_IPC_MAX; id++) {
            if (!todo.test(id))
                continue;
            bool more = false;
            // Whatever channel the slot holds now: it is served when it is
            // a transmit channel of this transport.
            YW_ipc_t *ipc = YW_ipc_get(id);
            yw_srio_onChannel(ctx->current, ipc, YW_ipc_generation(ipc),
                              [&](YW_ipc_kwt_srio_connection_t *conn) { more = yw_srio_txService(conn->ipc, conn); });
            waiting.set(id, more);
        }
    }
    ctx->task.store(nullptr);
    ctx->eventq.store(nullptr);
    ctx->taskId.store(YW_TASK_ID_NONE);
    return nullptr;
}

void *YW_ipc_kwt_srio_recv_task(void *arg)
{
    auto *ctx = static_cast<YW_ipc_kwt_srio_rx_ctx_t *>(arg ? arg : &YW_g_ipc_kwt_srio_rx_ctx);
    ctx->status.store(1);
    ctx->task.store(YW_task_get(YW_getTaskID()));
    prctl(PR_SET_TIMERSLACK, 1000UL); // the 50 us grid, not 50 us later
    timespec base{};
    YW_measuretime_gettime(&base);
    YW_int64_t n = 0;
    bool slowOnly = false;
    while (ctx->status.load()) {
        if (++n >= YW_SRIO_GRID_ROUNDS) {
            n = 0;
            YW_measuretime_gettime(&base);
        }
        YW_int64_t target = (YW_int64_t)base.tv_sec * 1000000000LL + base.tv_nsec + n * ctx->timeout;
        const YW_uint32_t bell = ctx->bell.load();
        ctx->cycles.fetch_add(1, std::memory_order_relaxed);
        // Channels whose peer is taken as gone are looked at every 50 ms;
        // with nothing else to poll, every turn is such a look.
        const bool slowTurn = slowOnly || n % YW_SRIO_SLOW_ROUNDS == 0;
        bool linked = false, slow = false;
        for (int i = 0; i < YW_IPC_KWT_SRIO_MAX; i++) {
            YW_ipc_t *ipc = ctx->ipc_list[i].load();
            if (!ipc || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
                continue;
            // Every ready descriptor of the channel in this cycle.
            // A listed channel not held yet (still being made, or going) is
            // looked at again on the next cycle.
            linked |= !yw_srio_onChannel(ctx->current, ipc, ctx->ipc_gen[i].load(), [&](YW_ipc_kwt_srio_connection_t *conn) {
                if (!(conn->status.load() & YW_IPC_KWT_SRIO_READY))
                    return;
                if (conn->peerDown.load()) {
                    slow = true;
                    if (!slowTurn)
                        return;
                } else {
                    linked = true;
                }
                for (YW_uint64_t k = 0; k <= conn->descriptors_size; k++) {
                    YW_ret_t r = YW_ipc_kwt_srio_recv_poll(ipc);
                    if (r != YW_SUCCESS && r != YW_ERR_IPC_KWT_SRIO_RX_NODATA)
                        break;
                }
            });
        }
        slowOnly = !linked && slow;
        if (slowOnly) {
            // Only peers taken as gone: a look every 50 ms (no wait when a
            // channel was listed or linked, or a peer answered, meanwhile).
            const YW_int64_t ns = YW_SRIO_SLOW_ROUNDS * ctx->timeout;
            timespec ts{(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
            if (ctx->status.load() && ctx->bell.load() == bell)
                nanosleep(&ts, nullptr);
            n = 0;
            YW_measuretime_gettime(&base);
            continue;
        }
        if (!linked) {
            // Nothing to poll: asleep until a channel is listed or linked
            // (or the task stops), then on a new grid from that moment.
            if (ctx->status.load())
                ctx->bell.wait(bell);
            n = 0;
            YW_measuretime_gettime(&base);
            continue;
        }
        timespec now{};
        YW_measuretime_gettime(&now);
        YW_int64_t left = target - ((YW_int64_t)now.tv_sec * 1000000000LL + now.tv_nsec);
        if (left > 0) {
            timespec ts{(time_t)(target / 1000000000LL), (long)(target % 1000000000LL)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        }
    }
    ctx->task.store(nullptr);
    return nullptr;
}

} // extern "C"
