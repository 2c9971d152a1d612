// Node management: the task "node_mng".
//
// Every node opens its own framework access point for receiving. The master
// declares synchronisation once that channel is open and answers each
// heartbeat; every other node opens the master's access point for sending,
// sends a heartbeat every 2 s while nothing arrives until the master has
// answered, and declares synchronisation on the master's first answer.
//
// A node whose framework channels cannot be set up (its address taken by
// another process, or not on this machine) reports a configuration error
// and never synchronises. A heartbeat or answer that came over a socket is
// taken only from the address configured for the node it names.
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

#include "frw/yw_frw_fsm.h"
#include "frw/yw_frw_node.h"
#include "frw/yw_frw_node_mng.h"
#include "ipc/yw_ipc.h"
#include "log/yw_log.h"
#include "task/yw_task.h"
#include "yw_mem.h"

namespace {

YW_uint8_t yw_s_node_mng_sendbuf[YW_FRW_NODE_MNG_SEND_BUF_SZ];
// Set once the master has declared synchronisation in this run of the task.
std::atomic<bool> yw_s_node_mng_masterSynced{false};
// Where the messages being handled came from (node_mng's thread only).
bool yw_s_node_mng_fromKnown = false;
struct sockaddr_in yw_s_node_mng_from{};

bool yw_node_isMaster(const YW_frw_node_t *n)
{
    return n && masterNode == n;
}

bool yw_ipc_valid(YW_int64_t id)
{
    return id >= 0 && id < YW_IPC_MAX;
}

// Receive-channel record sizes: the larger configured buffer of the channel,
// bounded, so that one whole message always fits.
void yw_node_mng_setRecord(YW_ipc_receiver_context_t *ctx, YW_ipc_id_t id)
{
    ctx->rx_ipc_info[0].ipc_no = id;
    ctx->rx_ipc_info[0].buffer_size = 0;
    ctx->rx_ipc_info[0].frame_size = 0;
    // the channel is held while its configuration is read
    YW_ipc_t *ipc = YW_ipc_get(id);
    if (!ipc || YW_ipc_enterCall(ipc) != YW_SUCCESS)
        return;
    const YW_ipc_cfg_t *c = ipc->cfg;
    const YW_ipc_side_cfg_t &s = (c->flags & YW_IPC_FLAGS_TX) ? c->tx : c->rx;
    YW_int64_t size = c->rx.buffer_size > c->tx.buffer_size ? c->rx.buffer_size : c->tx.buffer_size;
    if (size < YW_FRW_NODE_MNG_RECV_BUF_MIN)
        size = YW_FRW_NODE_MNG_RECV_BUF_MIN;
    if (size > YW_FRW_NODE_MNG_RECV_BUF_MAX)
        size = YW_FRW_NODE_MNG_RECV_BUF_MAX;
    ctx->rx_ipc_info[0].buffer_size = size;
    ctx->rx_ipc_info[0].frame_size = s.frame_size;
    YW_ipc_leave(ipc);
}

// The IPC service manager creates the channels on its own task, which may
// not have run yet when node management starts: a channel that does not
// exist yet is looked for again for a while.
YW_ret_t yw_node_mng_open(YW_int32_t iap, YW_uint32_t mode, YW_ipc_id_t *id)
{
    if (iap < 0)
        return YW_ERR_IPC_NULL;
    YW_ret_t r = YW_ERR_IPC_NULL;
    for (int i = 0; i < YW_FRW_NODE_MNG_OPEN_TRIES; i++) {
        r = YW_openIpc((YW_ipc_iap_t)iap, mode, id);
        if (r != YW_ERR_IPC_NULL && r != YW_ERR_IPC_NOT_READY)
            break;
        YW_P_sleepThread(nullptr, YW_FRW_NODE_MNG_OPEN_RETRY);
    }
    return r;
}

// The address configured for the node of access point iap: the remote IP
// of the local channel of that access point when it is a socket channel,
// else 0.
in_addr_t yw_node_mng_nodeAddress(YW_int32_t iap, char *name, size_t nameLen)
{
    in_addr_t ip = 0;
    std::snprintf(name, nameLen, "%s", "?");
    YW_ipc_t *ipc = iap < 0 ? nullptr : YW_ipc_searchByIap((YW_ipc_iap_t)iap);
    if (!ipc || YW_ipc_enterCall(ipc) != YW_SUCCESS)
        return 0;
    const YW_ipc_cfg_t *c = ipc->cfg;
    if (c && c->iap == (YW_uint32_t)iap) {
        std::snprintf(name, nameLen, "%s", c->name ? c->name : "");
        if (c->interfaceType == YW_IPC_INTF_INET)
            ip = c->address.remote.inet.addr_in.sin_addr.s_addr;
    }
    YW_ipc_leave(ipc);
    return ip;
}

// Is the message being handled from the node it names? A message whose
// source is not known (a message-queue channel) is taken; one that came
// over a socket only from the node's configured address. Others are
// counted and dropped, with a line for the 1st, 2nd, 4th, ... of them.
bool yw_node_mng_fromNode(const YW_frw_node_mng_msg_t &m, const YW_frw_node_t *peer)
{
    if (!yw_s_node_mng_fromKnown)
        return true;
    char chan[YW_IPC_NAME_LEN];
    in_addr_t ip = yw_node_mng_nodeAddress(peer->iap, chan, sizeof(chan));
    if (ip != 0 && ip == yw_s_node_mng_from.sin_addr.s_addr)
        return true;
    YW_count_t k = ++YW_g_frw_node_mng_foreign;
    if ((k & (k - 1)) == 0) {
        char from[INET_ADDRSTRLEN] = "?", want[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &yw_s_node_mng_from.sin_addr, from, sizeof(from));
        inet_ntop(AF_INET, &ip, want, sizeof(want));
        std::printf("%s:%d msg type %x for iap %d from %s dropped: node %s is at %s (ipc %s) (%lu dropped)\n",
                    "YW_frw_node_mng_recv", __LINE__, (unsigned)m.mtype, m.iap, from, peer->name ? peer->name : "",
                    want, chan, (unsigned long)k);
    }
    return false;
}

// A framework channel that cannot be set up leaves the node unhealthy: it is
// reported as the framework's configuration error, naming the channel (the
// transport has told the address and the system's reason).
void yw_node_mng_channelFailed(YW_int32_t iap, YW_ret_t r)
{
    char chan[YW_IPC_NAME_LEN];
    yw_node_mng_nodeAddress(iap, chan, sizeof(chan));
    char msg[YW_IPC_NAME_LEN + 64];
    std::snprintf(msg, sizeof(msg), "framework channel %s of iap %d can't be set up", chan, iap);
    YW_frw_sendCfgErrorEvent(r, msg);
}

YW_ret_t yw_node_mng_openLocalRx(YW_ipc_receiver_context_t *ctx)
{
    YW_ipc_id_t id = YW_IPC_INVALID_ID;
    YW_ret_t r = yw_node_mng_open(localNode->iap, YW_IPC_FLAGS_RX, &id);
    if (r != YW_SUCCESS)
        return r;
    localNode->ipc_no = (YW_int32_t)id;
    yw_node_mng_setRecord(ctx, id);
    return YW_SUCCESS;
}

// The master declares synchronisation once, as soon as node management runs:
// it waits for no channel and no other node.
void yw_node_mng_masterSync()
{
    if (yw_node_isMaster(localNode) && !yw_s_node_mng_masterSynced.exchange(true))
        YW_frw_fsm_sendEvent(YW_FRW_EVT_SYNC, nullptr);
}

void yw_node_mng_put(void *dst, YW_int32_t mtype, YW_int32_t iap)
{
    YW_frw_node_mng_msg_t m{mtype, iap};
    std::memcpy(dst, &m, sizeof(m));
}

} // namespace

extern "C" {

YW_ipc_receiver_context_t YW_frw_node_mng_rcv_ctx = {
    .task = nullptr,
    .log = nullptr,
    .flags = 0,
    .init = YW_frw_node_mng_init,
    .prepare = nullptr,
    .on_command = nullptr,
    .recv = YW_frw_node_mng_recv,
    .run = YW_frw_node_mng_run,
    .release = YW_frw_node_mng_release,
    .on_rcv_error = nullptr,
    .priv = nullptr,
    .rx_ipc_info = {},
};

YW_count_t YW_g_frw_node_mng_heartbeats = 0;
YW_count_t YW_g_frw_node_mng_foreign = 0;

YW_int32_t YW_frw_node_mng_init(YW_ipc_receiver_context_t *ctx)
{
    if (!localNode || !ctx)
        return YW_ERR_ENTITY_NULL;
    for (auto &rec : ctx->rx_ipc_info) {
        rec.ipc_no = YW_IPC_INVALID_ID;
        rec.buffer_size = 0;
        rec.frame_size = 0;
    }
    YW_ret_t r;
    if (yw_node_isMaster(localNode)) {
        r = yw_node_mng_openLocalRx(ctx);
        if (r != YW_SUCCESS) {
            std::printf("%s:%d can't open iap %d of master node %s error=%d\n", __func__, __LINE__, localNode->iap,
                        localNode->name ? localNode->name : "", (int)r);
            yw_node_mng_channelFailed(localNode->iap, r);
            return r;
        }
    } else if (masterNode) {
        YW_ipc_id_t id = YW_IPC_INVALID_ID;
        r = yw_node_mng_open(masterNode->iap, YW_IPC_FLAGS_TX, &id);
        if (r != YW_SUCCESS) {
            std::printf("%s:%d can't open udp iap to %d master node %s\n", __func__, __LINE__, masterNode->iap,
                        masterNode->name ? masterNode->name : "");
            yw_node_mng_channelFailed(masterNode->iap, r);
            return r;
        }
        masterNode->ipc_no = (YW_int32_t)id;
        masterNode->state |= YW_FRW_NODE_STATE_CHANNEL;
        // The master answers to our own access point: receive there.
        r = yw_node_mng_openLocalRx(ctx);
        if (r != YW_SUCCESS) {
            std::printf("%s:%d can't open own iap %d for answers error=%d\n", __func__, __LINE__, localNode->iap,
                        (int)r);
            yw_node_mng_channelFailed(localNode->iap, r);
            YW_closeIpc(id, YW_IPC_FLAGS_TX);
            masterNode->state &= ~YW_FRW_NODE_STATE_CHANNEL;
            return r;
        }
    } else {
        r = YW_ERR_ENTITY_NULL;
    }
    localNode->sent = 0;
    localNode->rcvd = 0;
    return r;
}

YW_ret_t YW_frw_node_send_heartbit(YW_ipc_receiver_context_t *ctx)
{
    (void)ctx;
    if (!masterNode)
        return YW_ERR_MNG_NO_MASTER;
    if (yw_node_isMaster(localNode))
        return YW_SUCCESS;
    if (!localNode || !(masterNode->state & YW_FRW_NODE_STATE_CHANNEL) || !yw_ipc_valid(masterNode->ipc_no))
        return YW_ERR_MNG_SEND_HEARTBIT;
    yw_node_mng_put(yw_s_node_mng_sendbuf, YW_FRW_MNG_MSG_HEARTBIT, localNode->iap);
    YW_size_t n = YW_sendIpc((YW_ipc_id_t)masterNode->ipc_no, yw_s_node_mng_sendbuf, sizeof(YW_frw_node_mng_msg_t));
    if (n < 0)
        return YW_ERR_MNG_SEND_HEARTBIT;
    masterNode->sent++;
    return YW_SUCCESS;
}

YW_size_t YW_frw_node_mng_recv(YW_ipc_receiver_context_t *ctx, void *bp, YW_size_t len)
{
    (void)ctx;
    if (!localNode || !bp || len < 0)
        return YW_ERR_INVD_ARGS;
    const auto *p = static_cast<const YW_uint8_t *>(bp);
    // Only whole messages are read; a trailing partial one is ignored.
    for (YW_size_t off = 0; off + (YW_size_t)sizeof(YW_frw_node_mng_msg_t) <= len;
         off += sizeof(YW_frw_node_mng_msg_t)) {
        YW_frw_node_mng_msg_t m;
        std::memcpy(&m, p + off, sizeof(m));
        localNode->rcvd++;
        if (yw_node_isMaster(localNode)) {
            if (m.mtype != YW_FRW_MNG_MSG_HEARTBIT) {
                std::printf("%s:%d can't unknown msg type %x from iap %d\n", __func__, __LINE__, (unsigned)m.mtype,
                            m.iap);
                continue;
            }
            YW_frw_node_t *peer = YW_frw_node_searchByIpc(m.iap);
            if (!peer) {
                std::printf("%s:%d can't find peer node for iap:%d\n", __func__, __LINE__, m.iap);
                return YW_ERR_MNG_PEER_NULL;
            }
            if (!yw_node_mng_fromNode(m, peer))
                continue;
            peer->state |= YW_FRW_NODE_STATE_HEARD;
            if (!(peer->state & YW_FRW_NODE_STATE_CHANNEL)) {
                YW_ipc_id_t id = YW_IPC_INVALID_ID;
                YW_ret_t r = peer->iap < 0 ? YW_ERR_IPC_NULL
                                           : YW_openIpc((YW_ipc_iap_t)peer->iap, YW_IPC_FLAGS_TX, &id);
                if (r != YW_SUCCESS) {
                    std::printf("%s:%d can't open udp iap %d to peer node %s\n", __func__, __LINE__, peer->iap,
                                peer->name ? peer->name : "");
                } else {
                    peer->ipc_no = (YW_int32_t)id;
                    peer->state |= YW_FRW_NODE_STATE_CHANNEL;
                }
            }
            if (peer->state & YW_FRW_NODE_STATE_CHANNEL) {
                YW_uint8_t ack[sizeof(YW_frw_node_mng_msg_t)];
                yw_node_mng_put(ack, YW_FRW_MNG_MSG_HEARTBIT_ACK, localNode->iap);
                if (YW_sendIpc((YW_ipc_id_t)peer->ipc_no, ack, sizeof(ack)) < 0)
                    return YW_ERR_MNG_SEND_HEARTBIT;
                peer->sent++;
            }
        } else {
            if (m.mtype != YW_FRW_MNG_MSG_HEARTBIT_ACK) {
                std::printf("%s:%d can't unknown msg type %x from iap %d\n", __func__, __LINE__, (unsigned)m.mtype,
                            m.iap);
                continue;
            }
            YW_frw_node_t *peer = YW_frw_node_searchByIpc(m.iap);
            if (!peer) {
                std::printf("%s:%d can't find peer node for iap:%d\n", __func__, __LINE__, m.iap);
                return YW_ERR_MNG_PEER_NULL;
            }
            if (!yw_node_mng_fromNode(m, peer))
                continue;
            if (!(peer->state & YW_FRW_NODE_STATE_HEARD)) {
                peer->state |= YW_FRW_NODE_STATE_HEARD;
                YW_frw_fsm_sendEvent(YW_FRW_EVT_SYNC, nullptr);
            }
        }
    }
    return YW_SUCCESS;
}

YW_int32_t YW_frw_node_mng_run(YW_ipc_receiver_context_t *ctx)
{
    if (!ctx)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_id_t rxId = ctx->rx_ipc_info[0].ipc_no;
    if (yw_ipc_valid(rxId)) {
        YW_uint32_t flags = 0;
        YW_controlIpc(rxId, YW_IPC_CMD_GET_FLAGS, &flags, (YW_ipc_arg_t)(uintptr_t)sizeof(flags));
    }
    yw_node_mng_masterSync();

    YW_event_q_t *q = YW_task_tse_getEventQ();
    if (!q)
        return YW_ERR_EVENTQ_NULL;

    YW_size_t bufSize = ctx->rx_ipc_info[0].buffer_size;
    if (bufSize < YW_FRW_NODE_MNG_RECV_BUF_MIN)
        bufSize = YW_FRW_NODE_MNG_RECV_BUF_MIN;
    auto *buf = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)bufSize));
    if (!buf)
        return YW_ERR_NO_MEM;

    while (YW_IPC_RECEIVER_IS_RUNNING(ctx)) {
        YW_ret_t n = YW_event_wait(q, YW_FRW_NODE_MNG_TIMEOUT);
        if (n > 0) {
            YW_event_msg_t *emsg = nullptr;
            while (YW_event_recv(q, YW_EVENT_FLAG_IPC, &emsg) == 0) {
                YW_uint32_t value = emsg->id.p.value;
                YW_event_releaseEvent(emsg);
                emsg = nullptr;
                // Room on a transmit channel needs no action here.
                if ((value & YW_IPC_EVENT_TX_PEND) || !yw_ipc_valid(rxId))
                    continue;
                YW_size_t len = YW_recvIpc(rxId, buf, bufSize);
                // A message longer than the buffer stays at the head of the
                // queue and would hold back every later one: grow and take it.
                while (len == YW_ERR_RX_BUFFER_SHORT && bufSize < YW_FRW_NODE_MNG_RECV_BUF_LIMIT) {
                    YW_size_t bigger = bufSize * 2 < YW_FRW_NODE_MNG_RECV_BUF_LIMIT ? bufSize * 2
                                                                                    : YW_FRW_NODE_MNG_RECV_BUF_LIMIT;
                    auto *nb = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)bigger));
                    if (!nb)
                        break;
                    YW_free(buf);
                    buf = nb;
                    bufSize = bigger;
                    len = YW_recvIpc(rxId, buf, bufSize);
                }
                if (len < 0)
                    break;
                sockaddr_in from{};
                yw_s_node_mng_fromKnown =
                    YW_controlIpc(rxId, YW_IPC_CMD_GET_RX_SOURCE, &from, (YW_ipc_arg_t)(uintptr_t)sizeof(from)) ==
                    YW_SUCCESS;
                yw_s_node_mng_from = from;
                if (ctx->recv)
                    ctx->recv(ctx, buf, len);
                yw_s_node_mng_fromKnown = false;
            }
        } else if (!masterNode || !(masterNode->state & YW_FRW_NODE_STATE_HEARD)) {
            // Heartbeats go out until the master has answered.
            YW_frw_node_send_heartbit(ctx);
            yw_count_inc(YW_g_frw_node_mng_heartbeats);
        }
    }
    YW_free(buf);
    return ctx->flags & YW_IPC_RECEIVER_RUNNING;
}

YW_int32_t YW_frw_node_mng_release(YW_ipc_receiver_context_t *ctx)
{
    YW_ret_t r = YW_SUCCESS;
    if (ctx && yw_ipc_valid(ctx->rx_ipc_info[0].ipc_no)) {
        YW_closeIpc(ctx->rx_ipc_info[0].ipc_no, YW_IPC_FLAGS_RX);
        ctx->rx_ipc_info[0].ipc_no = YW_IPC_INVALID_ID;
    }
    if (!masterNode || yw_node_isMaster(localNode))
        return r;
    if (masterNode->state & YW_FRW_NODE_STATE_CHANNEL) {
        r = YW_closeIpc((YW_ipc_id_t)masterNode->ipc_no, YW_IPC_FLAGS_TX);
        masterNode->state &= ~YW_FRW_NODE_STATE_CHANNEL;
    }
    return r;
}

void *YW_frw_node_mng_task(void *arg)
{
    (void)arg;
    YW_ipc_receiver_context_t *ctx = &YW_frw_node_mng_rcv_ctx;
    if (!localNode) {
        std::printf("%s:%d local node config not found\n", __func__, __LINE__);
        return nullptr;
    }
    ctx->task = YW_task_get(YW_getTaskID());
    ctx->flags |= YW_IPC_RECEIVER_RUNNING;
    yw_s_node_mng_masterSynced = false;
    if (ctx->init && ctx->init(ctx) >= 0) {
        if (ctx->run)
            ctx->run(ctx);
        if (ctx->release)
            ctx->release(ctx);
    }
    return nullptr;
}

} // extern "C"
