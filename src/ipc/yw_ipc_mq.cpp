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

// Queue object of a channel (other than self) whose local (byLocal) or remote
// msgq_name is name, with a reference taken on it; the table lock is held.
YW_ipc_msgq_t *yw_mq_findLocked(const YW_ipc_t *self, const char *name, bool byLocal)
{
    for (int i = 0; i < YW_IPC_MAX; i++) {
        YW_ipc_t *o = &YW_g_ipc[i];
        if (o == self || !o->cfg || o->cfg->interfaceType != YW_IPC_INTF_MSGQ)
            continue;
        const char *n = byLocal ? o->cfg->address.local.msgq_name : o->cfg->address.remote.msgq_name;
        if (std::strncmp(n, name, YW_IPC_NAME_LEN) != 0)
            continue;
        // priv is cleared under this lock before its reference is put, so an
        // object seen here still has that reference
        auto *q = static_cast<YW_ipc_msgq_t *>(YW_ipc_getPriv(o));
        if (q && YW_ref_get(q->refCount))
            return q;
    }
    return nullptr;
}

// A queue object of another channel that this channel pairs with (its remote
// name is our local name, or its local name our remote name), held.
YW_ipc_msgq_t *yw_mq_findPeerLocked(const YW_ipc_t *self)
{
    const YW_ipc_cfg_t *c = self->cfg;
    YW_ipc_msgq_t *q = nullptr;
    if (yw_mq_nameSet(c->address.local.msgq_name))
        q = yw_mq_findLocked(self, c->address.local.msgq_name, false);
    if (!q && yw_mq_nameSet(c->address.remote.msgq_name))
        q = yw_mq_findLocked(self, c->address.remote.msgq_name, true);
    return q;
}

void yw_mq_freeObject(YW_ipc_msgq_t *q);

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
    if (YW_ipc_getPriv(peer) == q)
        YW_ipc_postSide(peer, side, peer->ipc_id | value);
    YW_ipc_leave(peer);
}

YW_ret_t yw_mq_setup(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg || !YW_ipc_getPriv(ipc))
        return YW_ERR_IPC_NULL;
    auto *q = static_cast<YW_ipc_msgq_t *>(YW_ipc_getPriv(ipc));
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
    if (!buf || !YW_ipc_getPriv(ipc) || !is_ipc_tx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_TX_NOT_READY;
    if (size < 0 || (size > 0 && !data))
        return YW_ERR_INVD_ARGS;
    auto *q = static_cast<YW_ipc_msgq_t *>(YW_ipc_getPriv(ipc));
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
            YW_stat_add<YW_count_t>(ipc->tx.snderr);
            return YW_ERR_NO_TX_BD;
        }
    }
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_PENDING);
    if (size > 0)
        std::memcpy(buf->data + bd->offset, data, (size_t)size);
    YW_ipc_buffer_publish(buf, bd);
    YW_stat_add<YW_int64_t>(ipc->status.sendBytes, size);
    YW_stat_add<YW_int64_t>(ipc->status.sendPackets);
    YW_stat_add<YW_uint32_t>(ipc->tx.seqno);

    YW_ipc_t *rcv = yw_mq_side(q->rx).load(std::memory_order_acquire);
    if (rcv)
        yw_mq_postPeer(ipc, q, rcv, YW_IPC_FLAGS_RX, 0);
    return size;
}

YW_size_t yw_mq_recv(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_buffer_t *buf = ipc->rx.buffer;
    if (!buf || !YW_ipc_getPriv(ipc) || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_RX_NOT_READY;
    if (size < 0 || (size > 0 && !bp))
        return YW_ERR_INVD_ARGS;
    auto *q = static_cast<YW_ipc_msgq_t *>(YW_ipc_getPriv(ipc));

    YW_ipc_buffer_descriptor_t bd{};
    YW_pos_t r = YW_ipc_buffer_popFifo(buf, size, &bd);
    if (r < 0) {
        if (r != YW_ERR_FIFO_EMPTY)
            YW_stat_add<YW_count_t>(ipc->rx.rcverr);
        return (YW_size_t)r;
    }
    YW_size_t len = (YW_size_t)YW_IPC_BD_LENGTH(bd.length);
    if (len > 0) {
        // The slot was written by our own sender: still bound it by the ring.
        if (bd.offset > buf->size || (YW_uint64_t)len > buf->size - bd.offset) {
            YW_stat_add<YW_count_t>(ipc->rx.lenerr);
            return YW_ERR_RX_BUFFER_FAIL;
        }
        std::memcpy(bp, buf->data + bd.offset, (size_t)len);
        YW_ipc_buffer_free(buf, (YW_pos_t)bd.offset, len);
    }
    YW_stat_add<YW_int64_t>(ipc->status.recvBytes, len);
    YW_stat_add<YW_int64_t>(ipc->status.recvPackets);
    YW_stat_add<YW_uint32_t>(ipc->rx.seqno);

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
    if (!q)
        return;
    YW_ipc_buffer_release(&q->buffer);
    if (q->data)
        YW_free(q->data);
    if (q->list)
        YW_free(q->list);
    YW_free(q);
}

// Joins a peer's queue q (held by the caller's reference, which becomes the
// channel's); the table lock is held.
YW_ret_t yw_mq_attach(YW_ipc_t *ipc, YW_ipc_msgq_t *q, bool isRx)
{
    {
        YW_ipc_buffer_guard g(&q->buffer);
        YW_ipc_t *&side = isRx ? q->rx : q->tx;
        if (yw_mq_side(side).load() == nullptr) {
            yw_mq_side(side).store(ipc, std::memory_order_release);
            YW_ipc_setPriv(ipc, q);
            yw_mq_fillOps(ipc);
            return YW_SUCCESS;
        }
    }
    std::printf("%s:%d ipc %s refused: its queue already has a %s channel\n", __func__, __LINE__, ipc->cfg->name,
                isRx ? "receiving" : "sending");
    // the peer still holds its own reference: this is never the last
    if (YW_ref_put(q->refCount))
        yw_mq_freeObject(q);
    return YW_ERR_IPC_BUSY;
}

// A new queue object sized by the channel's receive side (or transmit side),
// with one reference (the creating channel's).
YW_ret_t yw_mq_build(const YW_ipc_cfg_t *c, bool isRx, YW_ipc_msgq_t **pq)
{
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
    auto *q = static_cast<YW_ipc_msgq_t *>(YW_malloc(sizeof(YW_ipc_msgq_t)));
    if (!q)
        return YW_ERR_MALLOC;
    std::memset(q, 0, sizeof(*q));
    q->list = static_cast<YW_ipc_buffer_descriptor_t *>(
        YW_malloc(s.max_descriptors * sizeof(YW_ipc_buffer_descriptor_t)));
    q->data = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)s.buffer_size));
    q->fifo.refCount = -1;
    q->fifo.list_refCount = -1;
    q->buffer.refCount = -1;
    if (!q->list || !q->data || !YW_ipc_fifo_init(&q->fifo, q->list, s.max_descriptors) ||
        !YW_ipc_buffer_init(&q->buffer, q->data, (YW_uint64_t)s.buffer_size, q)) {
        if (q->list)
            YW_free(q->list);
        if (q->data)
            YW_free(q->data);
        YW_free(q);
        return YW_ERR_MALLOC;
    }
    YW_ipc_buffer_setfifo(&q->buffer, &q->fifo);
    std::memcpy(q->ownName, c->address.local.msgq_name, YW_IPC_NAME_LEN);
    q->ownName[YW_IPC_NAME_LEN - 1] = '\0';
    q->name = q->ownName;
    YW_ref_init(q->refCount, 1);
    *pq = q;
    return YW_SUCCESS;
}

} // namespace

extern "C" {

YW_ret_t YW_ipc_msgq_find(const char *name, YW_ipc_msgq_t **pMsgq)
{
    if (!name || !pMsgq)
        return YW_ERR_NOT_FOUND;
    yw_ipc_table_guard g;
    YW_ipc_msgq_t *q = yw_mq_findLocked(nullptr, name, false);
    if (!q)
        return YW_ERR_NOT_FOUND;
    *pMsgq = q;
    return YW_SUCCESS;
}

void YW_ipc_msgq_put(YW_ipc_msgq_t *q)
{
    if (q && YW_ref_put(q->refCount))
        yw_mq_freeObject(q);
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
    // A queue of our own is built only when no peer has one; the look-up is
    // made again when it is published, under one hold of the table lock, so
    // that two channels of a pair made at once share one queue.
    YW_ipc_msgq_t *own = nullptr;
    {
        yw_ipc_table_guard g;
        YW_ipc_msgq_t *q = yw_mq_findPeerLocked(ipc);
        if (q)
            return yw_mq_attach(ipc, q, isRx);
    }
    YW_ret_t r = yw_mq_build(c, isRx, &own);
    if (r != YW_SUCCESS)
        return r;
    yw_ipc_table_guard g;
    YW_ipc_msgq_t *q = yw_mq_findPeerLocked(ipc);
    if (q) {
        yw_mq_freeObject(own);
        return yw_mq_attach(ipc, q, isRx);
    }
    // A channel with both sides is its own sender and receiver.
    own->rx = isRx ? ipc : nullptr;
    own->tx = isTx ? ipc : nullptr;
    YW_ipc_setPriv(ipc, own);
    yw_mq_fillOps(ipc);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_msgq_delete(YW_ipc_t *ipc)
{
    if (!ipc)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_msgq_t *q;
    {
        // priv and the queue's side go under the table lock, before the
        // channel's reference is put: a look-up (and a channel made again in
        // this slot) sees the channel either whole or gone
        yw_ipc_table_guard g;
        q = static_cast<YW_ipc_msgq_t *>(YW_ipc_getPriv(ipc));
        if (!q)
            return YW_ERR_ENTITY_NULL;
        YW_ipc_setPriv(ipc, nullptr);
        YW_ipc_buffer_guard b(&q->buffer);
        if (yw_mq_side(q->tx).load() == ipc)
            yw_mq_side(q->tx).store(nullptr, std::memory_order_release);
        if (yw_mq_side(q->rx).load() == ipc)
            yw_mq_side(q->rx).store(nullptr, std::memory_order_release);
    }
    ipc->tx.buffer = nullptr;
    ipc->rx.buffer = nullptr;
    YW_ipc_msgq_put(q);
    return YW_SUCCESS;
}

} // extern "C"
