// Shared-memory/DMA transport, sender: transfers and their descriptors,
// collection of acknowledged room, messages sent again after a handshake,
// and send. Every transfer writes a framed message's header from the
// sender's own record before copying it. The areas, set-up and the ring
// resets are in yw_ipc_kwt_srio.cpp, the receive end in
// yw_ipc_kwt_srio_rx.cpp.
#include <time.h>

#include <cinttypes>
#include <cstdio>

#include "ipc/yw_ipc_frame.h"
#include "yw_ipc_kwt_srio_int.h"

namespace {

// dx_get_status polls at most this often before the transfer counts as failed.
constexpr int YW_SRIO_DX_POLLS = 1000000;

} // namespace

extern "C" {
int YW_ipc_kwt_srio_do_transfer(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size)
{
    // The frame as it lies in the area now is the one sent (and recorded).
    return yw_srio_transfer(conn, offset, size, 0);
}

} // extern "C"

int yw_srio_transfer(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size, YW_uint64_t hdr)
{
    const yw_srio_entry entry(conn);
    if (entry.rc() != YW_SUCCESS)
        return entry.rc();
    if (!conn->synced.load() || !conn->transfers[0] || conn->faulted.load())
        return YW_ERR_IPC_NOT_READY;
    if (size == 0 || size > YW_IPC_KWT_SRIO_BD_SIZE_MASK || offset >= YW_IPC_KWT_SRIO_BD_OFFSET_MAX)
        return YW_ERR_INVD_ARGS;
    const YW_int64_t push = conn->push.load();
    auto slot = yw_srio_word(conn, push);
    if (yw_srio_has(conn->ipc, YW_IPC_FLAGS_FLOWCTRL) && conn->sent) {
        // Whether the slot is free is known here, not read from the ring
        // (which anyone may have written into).
        if (conn->sent[push] != 0) {
            conn->readerbusy++;
            conn->readerready.store(0);
            return YW_ERR_IPC_KWT_SRIO_RX_BUSY;
        }
        conn->readerready.store(1);
    }
    const YW_uint64_t desc = YW_IPC_KWT_SRIO_BD_make(offset, size, 3);
    // The header goes out as recorded when the frame was made, whatever the
    // own area holds there now; without a record, as it lies there.
    if (!hdr)
        hdr = yw_srio_recordOf(conn, offset, size);
    else if (yw_srio_has(conn->ipc, YW_IPC_FLAGS_FRAMED) && conn->buffer && yw_srio_descriptorOk(conn, offset, size))
        YW_ipc_frame_setHeader(conn->buffer + offset, yw_srio_hdrSeq(hdr), yw_srio_hdrLen(hdr));
    DX_transfer x = conn->transfers[0];
    ZV_status_t r = dx_modify(x, offset, offset, size, 0, YW_IPC_KWT_SRIO_DX_MODIFY);
    if (r == 0)
        r = dx_start(x, 0);
    for (int i = 0; r == 0 && i < YW_SRIO_DX_POLLS; i++) {
        r = dx_get_status(x, DX_POLL, 0);
        if (r != DX__NOT_STARTED)
            break;
    }
    if (yw_srio_lostCode(r) || (r == 0 && yw_srio_faultAfter(conn, __func__, __LINE__))) {
        YW_ipc_kwt_srio_linkFault(conn, __func__, __LINE__, r);
        return YW_ERR_IPC_NOT_READY;
    }
    if (r != 0)
        return yw_srio_code(r);
    // The own copy first: the receiver's acknowledgement may follow the
    // peer's copy at once and must not be overwritten.
    slot.store(desc, std::memory_order_release);
    r = smb_access_write_u64(conn->remote_access, 0, 0, (YW_uint64_t)push * 8, desc);
    if (yw_srio_lostCode(r)) {
        // The descriptor may have reached the peer: the slot stays filled
        // and the message counts as sent; the new link settles it.
        YW_ipc_kwt_srio_linkFault(conn, __func__, __LINE__, r);
        r = 0;
    }
    if (r != 0) {
        slot.store(0, std::memory_order_release);
        return yw_srio_code(r);
    }
    if (conn->sent)
        conn->sent[push] = desc;
    if (conn->sentHdr)
        conn->sentHdr[push] = hdr;
    conn->push.store(yw_srio_next(conn, push));
    return YW_SUCCESS;
}

extern "C" {

void YW_ipc_kwt_srio_watchMailbox(YW_ipc_kwt_srio_connection_t *conn)
{
    if (!conn->synced.load())
        return;
    const YW_uint64_t m = YW_ipc_kwt_srio_poll_msg(conn);
    if (m == 0 || m == YW_IPC_KWT_SRIO_MSG_SYNC_ACK)
        return;
    // A SYNC: the receive end started again or asks to resynchronise. Any
    // other word was not written by it.
    if (m != YW_IPC_KWT_SRIO_MSG_SYNC) {
        yw_srio_line(conn, YW_SRIO_LINE_SENDER, "%s:%d ipc %s mailbox word %" PRIx64 ": link resynchronised\n", __func__,
                     __LINE__,
                    conn->ipc->cfg->name, m);
        yw_srio_count(conn, &YW_ipc_status_t::resyncs);
    }
    conn->synced.store(0);
}

int YW_ipc_kwt_srio_sendAgain(YW_ipc_t *ipc, YW_ipc_kwt_srio_connection_t *conn)
{
    const YW_uint64_t n = conn->descriptors_size;
    while (conn->againCount > 0) {
        const YW_uint64_t d = conn->again[conn->againHead];
        const YW_uint64_t off = YW_IPC_KWT_SRIO_BD_OFFSET(d), sz = YW_IPC_KWT_SRIO_BD_SIZE(d);
        int r = yw_srio_transfer(conn, off, sz, conn->againHdr ? conn->againHdr[conn->againHead] : 0);
        if (r != YW_SUCCESS)
            return r;
        YW_stat_add<YW_int64_t>(ipc->status.txBytes, (YW_int64_t)sz);
        YW_stat_add<YW_int64_t>(ipc->status.txPackets, (YW_int64_t)1);
        yw_srio_count(conn, &YW_ipc_status_t::resends);
        conn->againHead = (conn->againHead + 1) % n;
        conn->againCount--;
    }
    return YW_SUCCESS;
}

namespace {

YW_int64_t yw_srio_nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (YW_int64_t)t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Sender, BUSY held: the oldest descriptor sent must be acknowledged within
// a bounded time. One that is not (its slot in the peer's ring written over,
// or the peer gone) is a link fault: one line names the area, and the new
// handshake resynchronises the link and sends again what it holds.
void yw_srio_boundAck(YW_ipc_kwt_srio_connection_t *conn, bool progress)
{
    const YW_int64_t pop = conn->pop.load();
    if (!conn->sent || conn->sent[pop] == 0) {
        conn->ackSince = 0;
        return;
    }
    const YW_int64_t now = yw_srio_nowNs();
    if (progress || conn->ackSince == 0) {
        conn->ackSince = now;
        return;
    }
    if (now - conn->ackSince < YW_SRIO_ACK_BOUND_NS)
        return;
    conn->ackSince = 0;
    yw_srio_count(conn, &YW_ipc_status_t::linkFaults);
    yw_srio_count(conn, &YW_ipc_status_t::resyncs);
    conn->synced.store(0);
    yw_srio_line(conn, YW_SRIO_LINE_ACK,
                "%s:%d ipc %s descriptor %" PRIx64 " in slot %" PRId64 " of area %s neither taken nor acknowledged "
                "within %lld ms: link fault, resynchronised\n",
                __func__, __LINE__, conn->ipc->cfg->name, conn->sent[pop], pop, conn->names[3],
                (long long)(YW_SRIO_ACK_BOUND_NS / 1000000));
}

} // namespace

YW_ret_t YW_ipc_kwt_srio_collect_free_buffers(YW_ipc_kwt_srio_connection_t *conn)
{
    const yw_srio_entry entry(conn);
    if (entry.rc() != YW_SUCCESS)
        return entry.rc();
    // Between handshakes the ring may hold acknowledgements of the old link.
    if (!conn->synced.load())
        return YW_ERR_IPC_NOT_READY;
    // By slot state, up to the whole ring: with every slot outstanding the
    // next one to collect is where the next one to fill is.
    int freed = 0;
    YW_int64_t pop = conn->pop.load();
    for (YW_uint64_t i = 0; i < conn->descriptors_size; i++) {
        auto slot = yw_srio_word(conn, pop);
        YW_uint64_t w = slot.load(std::memory_order_acquire);
        const YW_uint64_t d = conn->sent ? conn->sent[pop] : w;
        if (d == 0 || w == d)
            break; // nothing sent there, or not acknowledged yet
        if (w != (d & ~YW_IPC_KWT_SRIO_BD_BUSY)) {
            // Neither the descriptor sent nor its acknowledgement.
            yw_srio_line(conn, YW_SRIO_LINE_SENDER,
                         "%s:%d ipc %s slot %" PRId64 " holds %" PRIx64 ", sent %" PRIx64 ": link resynchronised\n",
                        __func__, __LINE__, conn->ipc->cfg->name, pop, w, d);
            yw_srio_count(conn, &YW_ipc_status_t::resyncs);
            conn->synced.store(0);
            break;
        }
        if (YW_ipc_buffer_free(&conn->txring, (YW_pos_t)YW_IPC_KWT_SRIO_BD_OFFSET(w),
                               (YW_size_t)YW_IPC_KWT_SRIO_BD_SIZE(w)) < 0)
            conn->release_buffer_offset_err++;
        slot.store(0, std::memory_order_release);
        if (conn->sent)
            conn->sent[pop] = 0;
        pop = yw_srio_next(conn, pop);
        freed++;
    }
    conn->pop.store(pop);
    yw_srio_boundAck(conn, freed > 0);
    return (YW_ret_t)freed;
}

YW_size_t YW_ipc_kwt_srio_send_direct(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size)
{
    return yw_srio_sendDirect(ipc, offset, size, 0);
}

} // extern "C"

YW_size_t yw_srio_sendDirect(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size, YW_uint64_t hdr)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    int r = yw_srio_transfer(conn, (YW_uint64_t)offset, (YW_uint64_t)size, hdr);
    if (r == YW_SUCCESS) {
        YW_stat_add<YW_int64_t>(ipc->status.txBytes, (YW_int64_t)size);
        YW_stat_add<YW_int64_t>(ipc->status.txPackets, (YW_int64_t)1);
        if (!yw_srio_has(ipc, YW_IPC_FLAGS_FLOWCTRL))
            YW_ipc_buffer_free(&conn->txring, offset, size);
        return size;
    }
    if (r == YW_ERR_IPC_KWT_SRIO_RX_BUSY || r == YW_ERR_IPC_BUSY || r == YW_ERR_IPC_NOT_READY)
        return r;
    return YW_ERR_IPC_KWT_SRIO_TX_FAIL;
}

namespace {

// Queues a message for the transmit task with its header record.
YW_size_t yw_srio_sendBuffer(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size, YW_uint64_t hdr)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    YW_pos_t r = yw_srio_pushFifo(&conn->txring, conn->txHdr, (YW_uint64_t)offset, (YW_uint64_t)size, hdr);
    if (r < 0) {
        ipc->tx.snderr++;
        return r;
    }
    YW_ipc_kwt_srio_notifyTx(ipc);
    return size;
}

} // namespace

extern "C" {

YW_size_t YW_ipc_kwt_srio_send_buffer(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    return yw_srio_sendBuffer(ipc, offset, size, yw_srio_recordOf(conn, (YW_uint64_t)offset, (YW_uint64_t)size));
}

YW_size_t YW_ipc_kwt_srio_send(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    if (!is_ipc_tx_ready(YW_ipc_state_get(ipc)) || !ipc->tx.buffer || !yw_srio_isTx(ipc))
        return YW_ERR_TX_NOT_READY;
    YW_ipc_kwt_srio_watchMailbox(conn);
    // Unsynced: the retry thread handshakes. Asked on every call, not only
    // on the change, since a start lost to a retry thread just ending (and
    // another caller holding the client lock) is made up here.
    if (!conn->synced.load())
        YW_ipc_kwt_srio_connection_tryConnect(ipc);
    // From the allocation of the room to its transfer (or queueing) and its
    // return on failure, no handshake resets the ring under this send.
    YW_shared_lock<std::mutex> rings(conn->ringLock);
    YW_ipc_kwt_srio_checkAreas(conn);
    if (!yw_srio_ready(conn) || !conn->synced.load())
        return YW_ERR_IPC_NOT_READY;
    const bool direct = yw_srio_has(ipc, YW_IPC_FLAGS_DIRECT);
    if (direct && yw_srio_has(ipc, YW_IPC_FLAGS_FLOWCTRL))
        YW_ipc_kwt_srio_collect_free_buffers(conn);
    // What an earlier link did not acknowledge goes first.
    if (direct) {
        int a = YW_ipc_kwt_srio_sendAgain(ipc, conn);
        if (a != YW_SUCCESS)
            return a == YW_ERR_IPC_KWT_SRIO_RX_BUSY || a == YW_ERR_IPC_BUSY ? a : YW_ERR_IPC_NOT_READY;
    }
    const int framed = yw_srio_has(ipc, YW_IPC_FLAGS_FRAMED) ? 1 : 0;
    YW_pos_t offset = 0;
    YW_size_t room = YW_ipc_send_preprocess(ipc, data, size, framed, &offset);
    if (room == YW_ERR_IPC_NO_TX_BD && !direct) {
        // Marked first, then tried once more: room freed before the mark is
        // found by the second try, room freed after it is announced.
        YW_ipc_state_set(ipc, YW_IPC_STATE_TX_PENDING);
        room = YW_ipc_send_preprocess(ipc, data, size, framed, &offset);
    }
    if (room < 0)
        return room;
    // The sender's own record of the frame's header, as it was written.
    const YW_uint64_t hdr = framed ? yw_srio_hdr(ipc->tx.seqno, (YW_uint32_t)YW_IPC_FrameLength(size)) : 0;
    YW_size_t r = direct ? yw_srio_sendDirect(ipc, offset, room, hdr) : yw_srio_sendBuffer(ipc, offset, room, hdr);
    if (r >= 1) {
        ipc->tx.seqno += 1;
        YW_stat_add<YW_int64_t>(ipc->status.sendBytes, (YW_int64_t)size);
        YW_stat_add<YW_int64_t>(ipc->status.sendPackets, (YW_int64_t)1);
        return size;
    }
    YW_ipc_buffer_restore(ipc->tx.buffer, room);
    if (!direct)
        YW_ipc_state_set(ipc, YW_IPC_STATE_TX_PENDING);
    return r < 0 ? r : (YW_size_t)YW_ERR_IPC_KWT_SRIO_TX_FAIL;
}

} // extern "C"
