// Message-queue transport: in-process messages through a ring buffer.
//
// Each send is one FIFO slot holding the exact byte count (messages are not
// framed). The receiving channel's opener gets one IPC event per message; a
// sender that found the ring full gets a room event (transmit-pending bit)
// after the next receive. The queue object is shared by the channel(s) that
// use it and freed when the last of them is deleted.
#include <cstdio>
#include <cstring>

#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_msgq.h"
#include "yw_mem.h"

namespace {

// Largest descriptor count a queue accepts (guards the list size).
constexpr YW_uint64_t YW_IPC_MSGQ_MAX_DESCRIPTORS = 1u << 20;

std::atomic_ref<YW_ipc_t *> yw_mq_side(YW_ipc_t *&p)
{
    return std::atomic_ref<YW_ipc_t *>(p);
}

bool yw_mq_nameSet(const char *n)
{
    return n && n[0] != '\0';
}

// A queue object of another channel that this channel pairs with: the other
// channel's remote name is our local name, or its local name our remote name.
YW_ipc_msgq_t *yw_mq_findPeer(YW_ipc_t *self)
{
    const YW_ipc_cfg_t *c = self->cfg;
    YW_ipc_msgq_t *q = nullptr;
    if (yw_mq_nameSet(c->address.local.msgq_name) && YW_ipc_msgq_find(c->address.local.msgq_name, &q) == 0 && q)
        return q;
    if (!yw_mq_nameSet(c->address.remote.msgq_name))
        return nullptr;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        YW_ipc_lock();
        YW_ipc_t *o = &YW_g_ipc[i];
        YW_ipc_msgq_t *found = nullptr;
        if (o != self && o->cfg && o->cfg->interfaceType == YW_IPC_INTF_MSGQ && o->priv &&
            std::strncmp(o->cfg->address.local.msgq_name, c->address.remote.msgq_name, YW_IPC_NAME_LEN) == 0)
            found = static_cast<YW_ipc_msgq_t *>(o->priv);
        YW_ipc_unlock();
        if (found)
            return found;
    }
    return nullptr;
}

// Posts to the task that opened a side of the channel at the other end of
// queue q. That channel is held like an API call while the event goes out,
// so that its deletion cannot clear it meanwhile. The record was read before
// it was held: when it was deleted and its slot made again for a channel of
// another queue, that channel is not told. The event value is the peer's
// id with the given control bits.
void yw_mq_postPeer(YW_ipc_t *self, YW_ipc_msgq_t *q, YW_ipc_t *peer, YW_uint32_t side, YW_uint32_t value)
{
    if (peer == self) {
        YW_ipc_postSide(peer, side, peer->ipc_id | value);
        return;
    }
    if (YW_ipc_enter(peer) != YW_SUCCESS)
        return; // being deleted: nobody to tell
    if (peer->priv == q)
        YW_ipc_postSide(peer, side, peer->ipc_id | value);
    YW_ipc_leave(peer);
}

YW_ret_t yw_mq_setup(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg || !ipc->priv)
        return YW_ERR_IPC_NULL;
    auto *q = static_cast<YW_ipc_msgq_t *>(ipc->priv);
    if (ipc->cfg->flags & YW_IPC_FLAGS_RX) {
        ipc->rx.buffer = &q->buffer;
        YW_ipc_state_set(ipc, YW_IPC_STATE_RX_UP);
    }
    if (ipc->cfg->flags & YW_IPC_FLAGS_TX) {
        ipc->tx.buffer = &q->buffer;
        YW_ipc_state_set(ipc, YW_IPC_STATE_TX_UP);
    }
    return YW_SUCCESS;
}

YW_ret_t yw_mq_release(YW_ipc_t *ipc)
{
    if (!ipc)
        return YW_ERR_IPC_NULL;
    ipc->rx.buffer = nullptr;
    ipc->tx.buffer = nullptr;
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_UP | YW_IPC_STATE_RX_UP | YW_IPC_STATE_WAIT_UP);
    return YW_SUCCESS;
}

YW_ret_t yw_mq_onStatusChange(YW_ipc_t *ipc)
{
    if (!ipc)
        return YW_ERR_IPC_NULL;
    if (!(YW_ipc_state_get(ipc) & YW_IPC_STATE_ASSIGNED))
        return YW_ERR_STATE;
    if (!ipc->oprs.setup)
        return YW_ERR_NULL_FUNC;
    return ipc->oprs.setup(ipc);
}

YW_ret_t yw_mq_open(YW_ipc_t *ipc, YW_uint32_t mode)
{
    YW_ret_t r = YW_ipc_open_sides(ipc, mode);
    if (r != YW_SUCCESS)
        return r;
    return yw_mq_setup(ipc);
}

YW_ret_t yw_mq_close(YW_ipc_t *ipc, YW_uint32_t mode)
{
    return YW_ipc_close_sides(ipc, mode);
}

YW_size_t yw_mq_send(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    YW_ipc_buffer_t *buf = ipc->tx.buffer;
    if (!buf || !ipc->priv || !is_ipc_tx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_TX_NOT_READY;
    if (size < 0 || (size > 0 && !data))
        return YW_ERR_INVD_ARGS;
    auto *q = static_cast<YW_ipc_msgq_t *>(ipc->priv);
    // A message longer than the whole ring would wait for room for ever.
    if ((YW_uint64_t)size > buf->size)
        return YW_ERR_IPC_TOO_LONG;

    YW_ipc_buffer_descriptor_t *bd = YW_ipc_buffer_allocWithFifo(buf, size);
    if (!bd) {
        // Mark first, then try once more: a receive that freed room before
        // the mark is seen by the retry, one after it sees the mark.
        YW_ipc_state_set(ipc, YW_IPC_STATE_TX_PENDING);
        bd = YW_ipc_buffer_allocWithFifo(buf, size);
        if (!bd) {
            ipc->tx.snderr++;
            return YW_ERR_NO_TX_BD;
        }
    }
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_PENDING);
    if (size > 0)
        std::memcpy(buf->data + bd->offset, data, (size_t)size);
    YW_ipc_buffer_publish(buf, bd);
    ipc->status.sendBytes += size;
    ipc->status.sendPackets += 1;
    ipc->tx.seqno += 1;

    YW_ipc_t *rcv = yw_mq_side(q->rx).load(std::memory_order_acquire);
    if (rcv)
        yw_mq_postPeer(ipc, q, rcv, YW_IPC_FLAGS_RX, 0);
    return size;
}

YW_size_t yw_mq_recv(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_buffer_t *buf = ipc->rx.buffer;
    if (!buf || !ipc->priv || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_RX_NOT_READY;
    if (size < 0 || (size > 0 && !bp))
        return YW_ERR_INVD_ARGS;
    auto *q = static_cast<YW_ipc_msgq_t *>(ipc->priv);

    YW_ipc_buffer_descriptor_t bd{};
    YW_pos_t r = YW_ipc_buffer_popFifo(buf, size, &bd);
    if (r < 0) {
        if (r != YW_ERR_FIFO_EMPTY)
            ipc->rx.rcverr++;
        return (YW_size_t)r;
    }
    YW_size_t len = (YW_size_t)YW_IPC_BD_LENGTH(bd.length);
    if (len > 0) {
        // The slot was written by our own sender: still bound it by the ring.
        if (bd.offset > buf->size || (YW_uint64_t)len > buf->size - bd.offset) {
            ipc->rx.lenerr++;
            return YW_ERR_RX_BUFFER_FAIL;
        }
        std::memcpy(bp, buf->data + bd.offset, (size_t)len);
        YW_ipc_buffer_free(buf, (YW_pos_t)bd.offset, len);
    }
    ipc->status.recvBytes += len;
    ipc->status.recvPackets += 1;
    ipc->rx.seqno += 1;

    YW_ipc_t *snd = yw_mq_side(q->tx).load(std::memory_order_acquire);
    if (snd && (YW_ipc_state_get(snd) & YW_IPC_STATE_TX_PENDING))
        yw_mq_postPeer(ipc, q, snd, YW_IPC_FLAGS_TX, YW_IPC_EVENT_TX_PEND);
    return len;
}

YW_ret_t yw_mq_onEvent(YW_ipc_t *ipc)
{
    (void)ipc;
    return YW_SUCCESS;
}

void yw_mq_fillOps(YW_ipc_t *ipc)
{
    YW_ipc_operations_t &o = ipc->oprs;
    std::memset(&o, 0, sizeof(o));
    o.open = yw_mq_open;
    o.close = yw_mq_close;
    o.send = yw_mq_send;
    o.recv = yw_mq_recv;
    o.wait = nullptr;
    o.setup = yw_mq_setup;
    o.release = yw_mq_release;
    o.connect = yw_mq_setup;
    o.disconn = yw_mq_release;
    o.onStatusChange = yw_mq_onStatusChange;
    o.control = YW_ipc_control_default;
    o.onEvent = yw_mq_onEvent;
}

void yw_mq_freeObject(YW_ipc_msgq_t *q)
{
    YW_ipc_buffer_release(&q->buffer);
    if (q->data)
        YW_free(q->data);
    if (q->list)
        YW_free(q->list);
    YW_free(q);
}

} // namespace

extern "C" {

YW_ret_t YW_ipc_msgq_find(const char *name, YW_ipc_msgq_t **pMsgq)
{
    if (!name || !pMsgq)
        return YW_ERR_NOT_FOUND;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        YW_ipc_lock();
        YW_ipc_t *o = &YW_g_ipc[i];
        bool hit = o->cfg && o->cfg->interfaceType == YW_IPC_INTF_MSGQ &&
                   std::strncmp(o->cfg->address.remote.msgq_name, name, YW_IPC_NAME_LEN) == 0;
        void *priv = o->priv;
        YW_ipc_unlock();
        if (hit) {
            *pMsgq = static_cast<YW_ipc_msgq_t *>(priv);
            return YW_SUCCESS;
        }
    }
    return YW_ERR_NOT_FOUND;
}

YW_ret_t YW_ipc_msgq_create(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    const YW_ipc_cfg_t *c = ipc->cfg;
    const bool isRx = (c->flags & YW_IPC_FLAGS_RX) != 0;
    const bool isTx = (c->flags & YW_IPC_FLAGS_TX) != 0;
    if (!isRx && !isTx) {
        std::printf("%s:%d ipc %s refused: neither TX nor RX\n", __func__, __LINE__, c->name);
        return YW_ERR_IPC_FLAGS;
    }

    YW_ipc_msgq_t *q = yw_mq_findPeer(ipc);
    if (q) {
        YW_ipc_buffer_guard g(&q->buffer);
        YW_ipc_t *&side = isRx ? q->rx : q->tx;
        if (yw_mq_side(side).load() != nullptr) {
            std::printf("%s:%d ipc %s refused: its queue already has a %s channel\n", __func__, __LINE__, c->name,
                        isRx ? "receiving" : "sending");
            return YW_ERR_IPC_BUSY;
        }
        yw_mq_side(side).store(ipc, std::memory_order_release);
        q->refCount += 1;
        ipc->priv = q;
        yw_mq_fillOps(ipc);
        return YW_SUCCESS;
    }

    const YW_ipc_side_cfg_t &s = isRx ? c->rx : c->tx;
    if (s.max_descriptors == 0 || s.max_descriptors > YW_IPC_MSGQ_MAX_DESCRIPTORS) {
        std::printf("%s:%d ipc %s refused: %llu descriptors\n", __func__, __LINE__, c->name,
                    (unsigned long long)s.max_descriptors);
        return YW_ERR_INVD_ARGS;
    }
    if (s.buffer_size < 1) {
        std::printf("%s:%d ipc %s refused: buffer size %lld\n", __func__, __LINE__, c->name,
                    (long long)s.buffer_size);
        return YW_ERR_INVD_ARGS;
    }

    q = static_cast<YW_ipc_msgq_t *>(YW_malloc(sizeof(YW_ipc_msgq_t)));
    if (!q)
        return YW_ERR_MALLOC;
    std::memset(q, 0, sizeof(*q));
    q->list = static_cast<YW_ipc_buffer_descriptor_t *>(
        YW_malloc(s.max_descriptors * sizeof(YW_ipc_buffer_descriptor_t)));
    q->data = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)s.buffer_size));
    if (!q->list || !q->data) {
        if (q->list)
            YW_free(q->list);
        if (q->data)
            YW_free(q->data);
        YW_free(q);
        return YW_ERR_MALLOC;
    }
    q->fifo.refCount = -1;
    q->fifo.list_refCount = -1;
    q->buffer.refCount = -1;
    if (!YW_ipc_fifo_init(&q->fifo, q->list, s.max_descriptors) ||
        !YW_ipc_buffer_init(&q->buffer, q->data, (YW_uint64_t)s.buffer_size, q)) {
        YW_free(q->list);
        YW_free(q->data);
        YW_free(q);
        return YW_ERR_MALLOC;
    }
    YW_ipc_buffer_setfifo(&q->buffer, &q->fifo);
    q->name = c->address.local.msgq_name;
    // A channel with both sides is its own sender and receiver.
    q->rx = isRx ? ipc : nullptr;
    q->tx = isTx ? ipc : nullptr;
    q->refCount = 1;
    ipc->priv = q;
    yw_mq_fillOps(ipc);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_msgq_delete(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->priv)
        return YW_ERR_ENTITY_NULL;
    auto *q = static_cast<YW_ipc_msgq_t *>(ipc->priv);
    int left;
    {
        YW_ipc_buffer_guard g(&q->buffer);
        if (yw_mq_side(q->tx).load() == ipc)
            yw_mq_side(q->tx).store(nullptr, std::memory_order_release);
        if (yw_mq_side(q->rx).load() == ipc)
            yw_mq_side(q->rx).store(nullptr, std::memory_order_release);
        left = --q->refCount;
        if (left > 0 && q->name == ipc->cfg->address.local.msgq_name) {
            YW_ipc_t *other = q->rx ? q->rx : q->tx;
            q->name = other && other->cfg ? other->cfg->address.local.msgq_name : nullptr;
        }
    }
    ipc->priv = nullptr;
    ipc->tx.buffer = nullptr;
    ipc->rx.buffer = nullptr;
    if (left <= 0)
        yw_mq_freeObject(q);
    return YW_SUCCESS;
}

} // extern "C"
