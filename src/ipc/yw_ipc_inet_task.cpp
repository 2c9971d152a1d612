// Socket transport tasks.
//
// "INET_TX" sends what buffered TCP and UDP channels queued: each IPC event
// names a channel, whose queued messages are all sent in order; a message
// the socket cannot take yet (or only in part) stays first in line and is
// tried again shortly. "INET_RX" waits with poll() on the sockets of the
// registered channels and on its own doorbell (an eventfd rung when a
// channel registers or receive room comes free), and reads for each
// readable channel. A channel that waits for receive room is left out of
// the poll set until room comes, so the task never spins on it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/yw_ipc_inet.h"

namespace {

char yw_s_tx_name[] = "INET_TX";
char yw_s_tx_entry[] = "YW_ipc_inet_send_task";
char yw_s_rx_name[] = "INET_RX";
char yw_s_rx_entry[] = "YW_ipc_inet_recv_task";

YW_task_cfg_t yw_s_inet_tx_cfg = {yw_s_tx_name, yw_s_tx_entry, YW_TASK_CAT_FRW, YW_TASK_POLICY_RR, 51, 0, 0x1, 0,
                                  32768, 0, nullptr};
YW_task_cfg_t yw_s_inet_rx_cfg = {yw_s_rx_name, yw_s_rx_entry, YW_TASK_CAT_FRW, YW_TASK_POLICY_RR, 51, 0, 0x1, 0,
                                  32768, 0, nullptr};

std::atomic<int> yw_s_inet_status{0};
std::atomic<int> yw_s_inet_task_status{0};
// Registrations of the receive task.
std::mutex yw_s_inet_reg;
// Id of the transmit task while it runs (events go through the task table).
std::atomic<YW_task_id_t> yw_s_inet_tx_tid{YW_TASK_ID_NONE};
std::atomic<int> yw_s_inet_tx_running{0}, yw_s_inet_rx_running{0};

constexpr YW_uint32_t YW_INET_TX_WAKE = YW_IPC_INVALID_ID;

bool yw_inet_isSocketChannel(YW_ipc_t *ipc)
{
    const YW_ipc_cfg_t *c = ipc->cfg;
    return c && c->interfaceType == YW_IPC_INTF_INET &&
           (c->transportType == YW_IPC_TRANSPORT_TCP || c->transportType == YW_IPC_TRANSPORT_UDP) && YW_ipc_getPriv(ipc);
}

enum { YW_INET_TX_DONE = 0, YW_INET_TX_AGAIN = 1 };

// One non-blocking send of (part of) a message on the connection s: the
// bytes taken, 0 when the socket takes none now, -1 on an error.
YW_size_t yw_inet_sendOn(YW_ipc_t *ipc, YW_ipc_inet_sock_t *s, const void *data, YW_size_t size)
{
    ssize_t n;
    if (YW_ipc_inet_of(ipc)->isTcp) {
        n = send(s->fd, data, (size_t)size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } else {
        n = sendto(s->fd, data, (size_t)size, MSG_NOSIGNAL | MSG_DONTWAIT,
                   reinterpret_cast<const struct sockaddr *>(&ipc->cfg->address.remote.inet.addr_in),
                   sizeof(struct sockaddr_in));
    }
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : YW_FAIL;
    YW_stat_add(ipc->status.txBytes, (YW_int64_t)n);
    return n;
}

// Sends the queued messages of one channel (the caller holds it).
int yw_inet_txChannel(YW_ipc_t *ipc)
{
    if (!yw_inet_isSocketChannel(ipc))
        return YW_INET_TX_DONE;
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o->tx.buffered)
        return YW_INET_TX_DONE;
    YW_ipc_buffer_t *buf = &o->tx.buffer;
    const bool framed = (ipc->cfg->flags & YW_IPC_FLAGS_FRAMED) != 0;
    YW_shared_lock<std::mutex> tl(o->txlock);
    for (;;) {
        YW_pos_t pos = 0;
        YW_size_t room = 0;
        if (YW_ipc_buffer_peek(buf, &pos, &room) != YW_SUCCESS)
            return YW_INET_TX_DONE;
        // exactly the frame goes out, never the ring's padding behind it
        YW_size_t len = room;
        if (framed && room >= YW_IPC_FRAME_HEADER_SIZE) {
            YW_uint32_t seq, flen;
            YW_ipc_frame_getHeader(buf->data + pos, &seq, &flen);
            if (flen >= YW_IPC_FRAME_OVERHEAD && (YW_size_t)flen <= room)
                len = flen;
        }
        YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(o);
        if (!s)
            return YW_INET_TX_DONE; // kept; the next connection sends it
        if (s->serial != o->txSerial) {
            o->txSerial = s->serial; // a frame cut short went with its connection
            o->txDone = 0;
        }
        YW_size_t n = yw_inet_sendOn(ipc, s, buf->data + pos + o->txDone, len - o->txDone);
        if (n < 0) {
            int e = errno;
            if (o->isTcp) {
                YW_stat_add<YW_count_t>(ipc->tx.snderr);
                std::printf("%s:%d inet send error=%d\n", __func__, __LINE__, e);
                YW_ipc_inet_drop(ipc, s);
                YW_ipc_inet_sockPut(s);
                o->txDone = 0;
                return YW_INET_TX_DONE; // kept for the next connection
            }
            YW_stat_add<YW_count_t>(ipc->tx.snderr); // a datagram that cannot go is dropped
            n = len - o->txDone;
        }
        YW_ipc_inet_sockPut(s);
        if (n == 0)
            return YW_INET_TX_AGAIN; // not writable now: kept
        o->txDone += n;
        if (o->txDone < len)
            return YW_INET_TX_AGAIN;
        o->txDone = 0;
        YW_stat_add(ipc->status.txPackets, (YW_int64_t)1);
        YW_ipc_buffer_advance(buf);
        YW_ipc_buffer_free(buf, pos, room);
        if (YW_ipc_state_get(ipc) & YW_IPC_STATE_TX_PENDING)
            YW_ipc_postSide(ipc, YW_IPC_FLAGS_TX, ipc->ipc_id | YW_IPC_EVENT_TX_PEND);
    }
}

int yw_inet_txById(YW_ipc_id_t id)
{
    YW_ipc_t *ipc = YW_ipc_get(id);
    if (!ipc || YW_ipc_enter(ipc) != YW_SUCCESS)
        return YW_INET_TX_DONE;
    int r = yw_inet_txChannel(ipc);
    YW_ipc_leave(ipc);
    return r;
}

YW_ret_t yw_inet_startTask(YW_task_cfg_t *cfg, void *ctx, std::atomic<int> &running)
{
    YW_task_id_t id = YW_TASK_ID_NONE;
    YW_ret_t r = YW_createTask(cfg, &id);
    if (r == YW_SUCCESS)
        r = YW_startTask(id, ctx);
    if (r != YW_SUCCESS) {
        std::printf("%s:%d task %s start fail %d\n", __func__, __LINE__, cfg->name, (int)r);
        return r;
    }
    // running once the task is in its loop
    for (int i = 0; i < 3000 && !running.load(); i++)
        YW_P_sleepThread(nullptr, 1000000LL);
    return YW_SUCCESS;
}

// A clean-up wait: the stopping caller finishes it even when stopped itself.
void yw_inet_waitEnd(std::atomic<int> &running)
{
    for (int i = 0; i < 5000 && running.load(); i++)
        YW_P_pauseNoCancel(1000000LL);
}

} // namespace

extern "C" {

YW_ipc_inet_tx_ctx_t YW_g_ipc_inet_tx_ctx;
YW_ipc_inet_rx_ctx_t YW_g_ipc_inet_rx_ctx;

YW_ret_t YW_ipc_inet_init(void)
{
    if (yw_s_inet_status.load() & YW_IPC_INET_STATUS_INIT)
        return YW_SUCCESS;
    YW_ipc_inet_tx_ctx_t &t = YW_g_ipc_inet_tx_ctx;
    t.status = 0;
    t.task = nullptr;
    t.eventq = nullptr;
    t.timeout = CONFIG_INET_TX_IDLE_TIMEOUT;
    t.ipc_count = 0;
    t.cfg = nullptr;
    YW_ipc_inet_rx_ctx_t &r = YW_g_ipc_inet_rx_ctx;
    {
        YW_shared_lock<std::mutex> g(yw_s_inet_reg);
        r.status = 0;
        r.task = nullptr;
        r.timeout = CONFIG_INET_POLLING_TIME;
        r.nfds = -1;
        r.cfg = nullptr;
        if (r.wakefd <= 0)
            r.wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    yw_s_inet_status.fetch_or(YW_IPC_INET_STATUS_INIT);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_inet_deinit(void)
{
    if (!(yw_s_inet_status.load() & YW_IPC_INET_STATUS_INIT))
        return YW_SUCCESS;
    YW_ipc_inet_stop();
    yw_s_inet_status.fetch_and(~YW_IPC_INET_STATUS_INIT);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_inet_start(void)
{
    if (!(yw_s_inet_status.load() & YW_IPC_INET_STATUS_INIT))
        return YW_FAIL;
    if (yw_s_inet_task_status.fetch_or(YW_IPC_INET_STATUS_STARTED) & YW_IPC_INET_STATUS_STARTED)
        return YW_SUCCESS;
    YW_ipc_inet_tx_ctx_t &t = YW_g_ipc_inet_tx_ctx;
    YW_ipc_inet_rx_ctx_t &r = YW_g_ipc_inet_rx_ctx;
    YW_ret_t a = yw_inet_startTask(t.cfg ? t.cfg : &yw_s_inet_tx_cfg, &t, yw_s_inet_tx_running);
    YW_ret_t b = yw_inet_startTask(r.cfg ? r.cfg : &yw_s_inet_rx_cfg, &r, yw_s_inet_rx_running);
    return a != YW_SUCCESS ? a : b;
}

YW_ret_t YW_ipc_inet_stop(void)
{
    if (!(yw_s_inet_task_status.load() & YW_IPC_INET_STATUS_STARTED))
        return YW_SUCCESS;
    YW_g_ipc_inet_tx_ctx.status = 0;
    YW_g_ipc_inet_rx_ctx.status = 0;
    YW_task_id_t tid = yw_s_inet_tx_tid.load();
    if (tid != YW_TASK_ID_NONE)
        YW_sendTaskEvent(tid, YW_EVENT_FLAG_IPC, YW_INET_TX_WAKE, nullptr);
    YW_ipc_inet_kickRx();
    yw_inet_waitEnd(yw_s_inet_tx_running);
    yw_inet_waitEnd(yw_s_inet_rx_running);
    yw_s_inet_task_status.fetch_and(~YW_IPC_INET_STATUS_STARTED);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_inet_kickTx(YW_ipc_t *ipc)
{
    YW_task_id_t tid = yw_s_inet_tx_tid.load(std::memory_order_acquire);
    if (!ipc || tid == YW_TASK_ID_NONE)
        return YW_ERR_EVENTQ_NULL; // the task sends it when it starts
    YW_ret_t r = YW_sendTaskEvent(tid, YW_EVENT_FLAG_IPC, ipc->ipc_id | YW_IPC_EVENT_TX_PEND, nullptr);
    return r < 0 ? r : YW_SUCCESS;
}

void YW_ipc_inet_kickRx(void)
{
    int fd = YW_g_ipc_inet_rx_ctx.wakefd;
    if (fd > 0) {
        YW_uint64_t one = 1;
        (void)!write(fd, &one, sizeof(one));
    }
}

YW_ret_t YW_ipc_inet_register(YW_ipc_t *ipc, YW_ipc_inet_sock_t *sock)
{
    if (!ipc || !sock)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_inet_rx_ctx_t &r = YW_g_ipc_inet_rx_ctx;
    {
        YW_shared_lock<std::mutex> g(yw_s_inet_reg);
        int i = 0;
        while (i < r.ipc_count && r.ipc_list[i] != ipc)
            i++;
        if (i == r.ipc_count) {
            if (r.ipc_count >= YW_IPC_INET_MAX) {
                char l[YW_IPC_INET_ADDR_TEXT];
                std::printf("%s:%d ipc %u not served: %d channels registered already (ipc %s %s)\n", __func__,
                            __LINE__, (unsigned)ipc->ipc_id, YW_IPC_INET_MAX, ipc->cfg->name,
                            YW_ipc_inet_addrText(&ipc->cfg->address.local.inet.addr_in, l));
                return YW_ERR_NO_FREE_TSE;
            }
            r.ipc_count++;
        } else {
            YW_ipc_inet_sockPut(r.socks[i]);
        }
        sock->refs.fetch_add(1, std::memory_order_acq_rel);
        r.ipc_list[i] = ipc;
        r.socks[i] = sock;
        r.gens[i] = YW_ipc_generation(ipc);
        if (sock->fd > r.nfds)
            r.nfds = sock->fd;
    }
    YW_ipc_inet_kickRx();
    return YW_SUCCESS;
}

void YW_ipc_inet_unregisterSock(YW_ipc_t *ipc, YW_ipc_inet_sock_t *sock)
{
    YW_ipc_inet_rx_ctx_t &r = YW_g_ipc_inet_rx_ctx;
    YW_ipc_inet_sock_t *gone = nullptr;
    {
        YW_shared_lock<std::mutex> g(yw_s_inet_reg);
        for (int i = 0; i < r.ipc_count; i++) {
            if (r.ipc_list[i] != ipc || (sock && r.socks[i] != sock))
                continue;
            gone = r.socks[i];
            r.ipc_count--;
            r.ipc_list[i] = r.ipc_list[r.ipc_count];
            r.socks[i] = r.socks[r.ipc_count];
            r.gens[i] = r.gens[r.ipc_count];
            r.ipc_list[r.ipc_count] = nullptr;
            r.socks[r.ipc_count] = nullptr;
            break;
        }
    }
    if (gone) {
        YW_ipc_inet_sockPut(gone);
        YW_ipc_inet_kickRx();
    }
}

void YW_ipc_inet_unregister(YW_ipc_t *ipc)
{
    YW_ipc_inet_unregisterSock(ipc, nullptr);
}

YW_size_t YW_ipc_inet_send_direct(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    YW_ipc_inet_sock_t *s = o ? YW_ipc_inet_sockGet(o) : nullptr;
    if (!s)
        return YW_FAIL;
    YW_size_t n = yw_inet_sendOn(ipc, s, data, size);
    YW_ipc_inet_sockPut(s);
    return n;
}

void *YW_ipc_inet_send_task(void *arg)
{
    auto *ctx = arg ? static_cast<YW_ipc_inet_tx_ctx_t *>(arg) : &YW_g_ipc_inet_tx_ctx;
    YW_task_id_t tid = YW_getTaskID();
    ctx->status = 1;
    ctx->task = YW_task_get(tid);
    ctx->eventq = YW_task_tse_getEventQ();
    YW_registerTaskEventFlag(tid, YW_EVENT_FLAG_IPC);
    yw_s_inet_tx_tid.store(tid, std::memory_order_release);
    yw_s_inet_tx_running = 1;
    bool pending[YW_IPC_MAX] = {};
    bool anyPending = false;
    // whatever was queued before the task ran
    for (YW_ipc_id_t i = 0; i < YW_IPC_MAX; i++)
        pending[i] = true;
    anyPending = true;
    while (ctx->status.load()) {
        YW_ret_t n = YW_event_wait(ctx->eventq, anyPending ? CONFIG_INET_TX_RETRY : ctx->timeout);
        if (!ctx->status.load())
            break;
        YW_event_msg_t *m = nullptr;
        while (YW_event_recv(ctx->eventq, YW_EVENT_FLAG_IPC, &m) == 0) {
            YW_uint32_t value = m->id.p.value;
            YW_uint32_t id = YW_IPC_EVENT_IPC_ID(value);
            YW_event_releaseEvent(m);
            if (value == YW_INET_TX_WAKE)
                continue;
            if (id >= YW_IPC_MAX) {
                std::printf("%s:%d ivalid ipc id = %d\n", __func__, __LINE__, (int)id);
                continue;
            }
            pending[id] = true;
            anyPending = true;
        }
        if (n < 1 && !anyPending) {
            // idle: look at every channel once (a send may have found the
            // task between two runs)
            for (YW_ipc_id_t i = 0; i < YW_IPC_MAX; i++)
                pending[i] = YW_ipc_cfgOf(&YW_g_ipc[i]) != nullptr;
            anyPending = true;
        }
        bool again = false;
        for (YW_ipc_id_t i = 0; i < YW_IPC_MAX; i++) {
            if (!pending[i])
                continue;
            pending[i] = yw_inet_txById(i) == YW_INET_TX_AGAIN;
            again = again || pending[i];
        }
        anyPending = again;
    }
    yw_s_inet_tx_tid.store(YW_TASK_ID_NONE, std::memory_order_release);
    ctx->task = nullptr;
    ctx->eventq = nullptr;
    yw_s_inet_tx_running = 0;
    return nullptr;
}

void *YW_ipc_inet_recv_task(void *arg)
{
    auto *ctx = arg ? static_cast<YW_ipc_inet_rx_ctx_t *>(arg) : &YW_g_ipc_inet_rx_ctx;
    ctx->status = 1;
    ctx->task = YW_task_get(YW_getTaskID());
    yw_s_inet_rx_running = 1;
    struct pollfd pfd[YW_IPC_INET_MAX + 1];
    YW_ipc_t *ipcs[YW_IPC_INET_MAX];
    YW_ipc_inet_sock_t *socks[YW_IPC_INET_MAX];
    YW_uint32_t gens[YW_IPC_INET_MAX];
    int slot[YW_IPC_INET_MAX];          // poll entry of each channel, -1 when left out
    YW_uint64_t waiting[YW_IPC_INET_MAX]; // connections waiting for receive room
    int nwaiting = 0;
    while (ctx->status.load()) {
        int count;
        {
            YW_shared_lock<std::mutex> g(yw_s_inet_reg);
            count = ctx->ipc_count;
            for (int i = 0; i < count; i++) {
                ipcs[i] = ctx->ipc_list[i];
                socks[i] = ctx->socks[i];
                gens[i] = ctx->gens[i];
                socks[i]->refs.fetch_add(1, std::memory_order_acq_rel);
            }
        }
        int np = 1;
        pfd[0] = {ctx->wakefd, POLLIN, 0};
        bool anyWaiting = false;
        for (int i = 0; i < count; i++) {
            bool w = false;
            for (int k = 0; k < nwaiting && !w; k++)
                w = waiting[k] == socks[i]->serial;
            slot[i] = w ? -1 : np;
            if (w)
                anyWaiting = true;
            else
                pfd[np++] = {socks[i]->fd, POLLIN, 0};
        }
        YW_int64_t wait = anyWaiting ? CONFIG_INET_RX_ROOM_RETRY : ctx->timeout;
        int r = poll(pfd, (nfds_t)np, (int)(wait / 1000000));
        if (r > 0 && (pfd[0].revents & POLLIN)) {
            YW_uint64_t v;
            (void)!read(ctx->wakefd, &v, sizeof(v));
        }
        nwaiting = 0;
        for (int i = 0; i < count && ctx->status.load(); i++) {
            bool ready = slot[i] < 0 || (r > 0 && pfd[slot[i]].revents != 0);
            if (!ready)
                continue;
            YW_ipc_hold h(ipcs[i], gens[i]);
            if (h && YW_ipc_inet_pollSock(ipcs[i], socks[i]) == YW_INET_RX_WAIT_ROOM)
                waiting[nwaiting++] = socks[i]->serial;
        }
        for (int i = 0; i < count; i++)
            YW_ipc_inet_sockPut(socks[i]);
    }
    ctx->task = nullptr;
    yw_s_inet_rx_running = 0;
    return nullptr;
}

} // extern "C"
