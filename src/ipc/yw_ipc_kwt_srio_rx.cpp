// Shared-memory/DMA transport, receive end: takes descriptors from its ring,
// checks their frame numbers (a frame delivered already is dropped and
// acknowledged), acknowledges released messages in ring order, and starts a
// resynchronisation when a word fails its checks. The areas, the sender's
// side and the handshake words are in yw_ipc_kwt_srio.cpp.
#include <time.h>

#include <cinttypes>
#include <cstdio>

#include "ipc/yw_ipc_frame.h"
#include "yw_ipc_kwt_srio_int.h"

namespace {

int yw_srio_releaseBuffer(YW_ipc_kwt_srio_connection_t *conn, const void *addr, YW_size_t length, YW_uint32_t epoch);
void yw_srio_ackDropped(YW_ipc_kwt_srio_connection_t *conn);

} // namespace

// A descriptor read from shared memory is used only when it describes a
// piece of the local data area (and, framed, one that holds a frame header).
bool yw_srio_descriptorOk(const YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size)
{
    if (size == 0 || offset > conn->data_size || size > conn->data_size - offset)
        return false;
    if (yw_srio_has(conn->ipc, YW_IPC_FLAGS_FRAMED) && size < YW_IPC_FRAME_HEADER_SIZE)
        return false;
    return true;
}

namespace {

// Receive end without flow control, BUSY held, before its ring starts again
// empty: the sender keeps nothing to send again, so what was taken and not
// delivered (queued) and what the ring still holds is lost, and counted.
void yw_srio_lostWithRing(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t queued)
{
    if (yw_srio_has(conn->ipc, YW_IPC_FLAGS_FLOWCTRL))
        return;
    YW_uint64_t n = queued;
    for (YW_uint64_t i = 0; i < conn->descriptors_size; i++)
        n += yw_srio_filledWord(yw_srio_word(conn, (YW_int64_t)i).load(std::memory_order_acquire)) ? 1 : 0;
    if (n == 0)
        return;
    yw_srio_count(conn, &YW_ipc_status_t::lost, (YW_int64_t)n);
    yw_srio_line(conn, YW_SRIO_LINE_LOST,
                 "%s:%d ipc %s %" PRIu64 " received messages lost with the ring of area %s (%" PRId64 " so far)\n",
                __func__, __LINE__, conn->ipc->cfg->name, n, conn->names[1],
                (YW_int64_t)YW_stat_get(conn->ipc->status.lost));
}

// Receive end, BUSY held, the slot to read empty: a filled descriptor
// further on means the ones before it were written over (the sender fills
// slots in order). Looked at about once a second; the number of descriptors
// lost so, or 0.
YW_int64_t yw_srio_holeAhead(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t pop)
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    const YW_int64_t now = (YW_int64_t)t.tv_sec * 1000000000LL + t.tv_nsec;
    if (now - conn->holeCheck < YW_SRIO_ACK_BOUND_NS)
        return 0;
    conn->holeCheck = now;
    const YW_int64_t ahead = (YW_int64_t)conn->descriptors_size - 1 - conn->unacked;
    YW_int64_t k = pop;
    for (YW_int64_t i = 0; i < ahead; i++) {
        k = yw_srio_next(conn, k);
        if (yw_srio_filledWord(yw_srio_word(conn, k).load(std::memory_order_acquire)))
            // Written before the one found: there by now, unless lost.
            return yw_srio_word(conn, pop).load(std::memory_order_acquire) == 0 ? i + 1 : 0;
    }
    return 0;
}

// Receive end, BUSY held: a SYNC starts the link again from an empty ring
// and is answered with SYNC_ACK.
void yw_srio_onMailbox(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t msg)
{
    if (msg != YW_IPC_KWT_SRIO_MSG_SYNC || yw_srio_isTx(conn->ipc) || conn->faulted.load())
        return;
    // Whoever asked for it, the sender goes on from the first message not
    // delivered here: taken and not delivered, they are dropped below and
    // come again, so the number due is the one after the last delivered.
    // Older numbers sent again are dropped as duplicates; a sender that
    // started again from 0 is recognised by its first message.
    yw_srio_endDuplicates(conn);
    conn->resyncing = false;
    conn->fresh = true;
    // The sender writes the number of its first frame after this answer.
    yw_srio_word(conn, YW_IPC_KWT_SRIO_SEQ_WORD(conn->descriptors_size)).store(0, std::memory_order_release);
    // Taken and not delivered: not acknowledged, so they come again.
    conn->dropped += yw_srio_queued(&conn->rxring);
    yw_srio_lostWithRing(conn, yw_srio_queued(&conn->rxring));
    YW_ipc_kwt_srio_resetLink(conn);
    // With the answer goes the number of the frame expected next: nothing
    // of the old link is delivered from here on, so a sender that can no
    // longer send its frames again knows which of them arrived.
    // (Written and read under the ring lock.)
    const YW_uint64_t due = conn->doneWord.load(std::memory_order_relaxed);
    if (YW_ipc_kwt_srio_write_u64(conn, YW_IPC_KWT_SRIO_DUE_WORD(conn->descriptors_size), due) == YW_SUCCESS &&
        YW_ipc_kwt_srio_write_u64(conn, conn->local_mbox, YW_IPC_KWT_SRIO_MSG_SYNC_ACK) == YW_SUCCESS) {
        conn->synced.store(1);
        yw_srio_line(conn, YW_SRIO_LINE_SYNCED, "%s:%d ipc %s synced\n", __func__, __LINE__, conn->ipc->cfg->name);
    }
}

// Receive end, ringLock and BUSY held: a descriptor, mailbox word or frame
// number that fails its checks is not delivered around. The ring starts
// again empty (what was taken and not yet delivered is dropped: it was not
// acknowledged, so the sender sends it again) and the partner is asked for
// a new handshake; nothing is taken until it comes.
void yw_srio_resync(YW_ipc_kwt_srio_connection_t *conn, const char *func, int line, const char *what, YW_uint64_t word,
                    YW_int64_t slot)
{
    YW_uint64_t dropped = yw_srio_queued(&conn->rxring);
    yw_srio_lostWithRing(conn, dropped);
    yw_srio_resetRings(conn, false);
    // The next message due is the first one not delivered.
    conn->seqNext = conn->ipc->rx.seqno;
    yw_srio_count(conn, &YW_ipc_status_t::resyncs);
    conn->dropped += dropped;
    conn->resyncing = true;
    conn->synced.store(0);
    YW_ipc_kwt_srio_write_u64(conn, conn->local_mbox, YW_IPC_KWT_SRIO_MSG_SYNC);
    yw_srio_line(conn, YW_SRIO_LINE_RESYNC, "%s:%d ipc %s %s %" PRIx64 " at slot %" PRId64 ": link resynchronised, %" PRIu64
                " taken messages dropped to come again\n",
                func, line, conn->ipc->cfg->name, what, word, slot, dropped);
}

} // namespace

// Receive end, BUSY held: takes the mailbox word (0: none) and answers a SYNC.
YW_uint64_t yw_srio_takeMailbox(YW_ipc_kwt_srio_connection_t *conn)
{
    YW_uint64_t msg = yw_srio_word(conn, conn->remote_mbox).exchange(0, std::memory_order_acq_rel);
    if (msg == YW_IPC_KWT_SRIO_MSG_SYNC)
        yw_srio_onMailbox(conn, msg);
    else if (msg != 0 && msg != YW_IPC_KWT_SRIO_MSG_SYNC_ACK && !yw_srio_isTx(conn->ipc))
        yw_srio_resync(conn, __func__, __LINE__, "mailbox word", msg, conn->remote_mbox);
    return msg;
}

// Receive end: the duplicates dropped in a row are shown in one line, with
// the count, once the run ends (or the link starts again).
void yw_srio_endDuplicates(YW_ipc_kwt_srio_connection_t *conn)
{
    if (conn->dupRun == 0)
        return;
    yw_srio_line(conn, YW_SRIO_LINE_FRAME,
                 "%s:%d ipc %s %" PRIu64 " duplicate messages dropped (frames %u to %u), %" PRIu64 " so far\n",
                __func__, __LINE__, conn->ipc->cfg->name, conn->dupRun, (unsigned)conn->dupFirst,
                (unsigned)conn->dupLast, (YW_uint64_t)YW_stat_get(conn->ipc->status.duplicates));
    conn->dupRun = 0;
}

namespace {

// What the receive end does with a filled descriptor at the slot to read.
enum yw_srio_take { YW_SRIO_BAD, YW_SRIO_TAKE, YW_SRIO_DUPLICATE };


// Receive end, at the first frame of a link: where the numbering goes on.
// The number due is the one after the last delivered. The sender gave the
// number of its first frame in the handshake; frames from there up to the
// one due were delivered already and come again (dropped, counted as
// duplicates) when they are within a ring behind it and after the first
// frame delivered in the current numbering. Any other number the sender
// gave is its numbering now, taken with one line: a sender started again,
// or one whose earlier frames were counted lost. Without a number from the
// handshake (its word damaged) the frame's own number is judged alike, but
// no frame is dropped as delivered already (it is refused), and only frame 0
// (a sender started again) starts a numbering, or a number refused so at the
// start of three links in a row.
bool yw_srio_linkStart(YW_ipc_kwt_srio_connection_t *conn, YW_uint32_t seq, const char **why)
{
    const YW_uint64_t word =
        yw_srio_word(conn, YW_IPC_KWT_SRIO_SEQ_WORD(conn->descriptors_size)).load(std::memory_order_acquire);
    const bool given = YW_IPC_KWT_SRIO_SEQ_ok(word);
    const YW_uint32_t first = given ? (YW_uint32_t)word : seq;
    if (given && seq != first) {
        *why = "frame number other than the one its sender gave in the handshake, in descriptor";
        return false;
    }
    const YW_uint32_t due = conn->ipc->rx.seqno;
    const YW_uint32_t behind = due - first;
    // (Frame 0 is a sender started again, even where it could be one sent
    // again, its acknowledgement lost.)
    const bool resent = conn->seqKnown && first != 0 && behind > 0 && behind <= conn->descriptors_size &&
                        (YW_uint32_t)(first - conn->seqFloor) < (YW_uint32_t)(due - conn->seqFloor);
    // Only the sender knows which frames it holds: without its word a frame
    // dropped as delivered already might be one damaged on its way that was
    // not. The link starts again and the sender gives its number.
    if (resent && !given) {
        *why = "frame number behind the one due without the sender's number for the link, in descriptor";
        return false;
    }
    conn->dupUntil = resent ? due : first;
    conn->seqNext = first;
    if (first == due || resent) {
        conn->refusedRun = 0;
        return true;
    }
    if (!conn->seqKnown) {
        conn->seqFloor = first; // the first link of this end
        return true;
    }
    if (!given && seq != 0) {
        if (conn->refusedRun == 0 || conn->refusedSeq != seq) {
            conn->refusedSeq = seq;
            conn->refusedRun = 0;
        }
        if (++conn->refusedRun < 3) {
            *why = "frame number neither due nor sent again, in descriptor";
            return false;
        }
    }
    conn->refusedRun = 0;
    conn->seqFloor = first;
    yw_srio_line(conn, YW_SRIO_LINE_NUMBER,
                 "%s:%d ipc %s takes the numbering of the sender on area %s from frame %u (frame %u was due)\n",
                 __func__, __LINE__, conn->ipc->cfg->name, conn->names[2], (unsigned)first, (unsigned)due);
    return true;
}

// Receive end: a filled descriptor at the slot to read is used only when it
// describes a piece of the own data area and, framed, a whole frame with the
// number due. Within a link the sender numbers its frames one after another:
// at its start, frames delivered already and sent again are dropped (and
// acknowledged); any other number is damage, wherever it comes.
yw_srio_take yw_srio_takeOk(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t off, YW_uint64_t sz, const char **why)
{
    *why = "bad descriptor";
    if (!yw_srio_descriptorOk(conn, off, sz))
        return YW_SRIO_BAD;
    if (!yw_srio_has(conn->ipc, YW_IPC_FLAGS_FRAMED))
        return YW_SRIO_TAKE;
    YW_uint32_t seq = 0, flen = 0;
    YW_ipc_frame_getHeader(conn->buffer + off, &seq, &flen);
    // A frame fills its room but for the padding to 8 bytes.
    if (flen < YW_IPC_FRAME_OVERHEAD || flen > sz || sz - flen >= 8) {
        *why = "bad frame length in descriptor";
        return YW_SRIO_BAD;
    }
    if (conn->fresh && !yw_srio_linkStart(conn, seq, why))
        return YW_SRIO_BAD;
    conn->fresh = false;
    if (seq != conn->seqNext) {
        *why = "frame number out of sequence in descriptor";
        return YW_SRIO_BAD;
    }
    conn->seqNext = seq + 1;
    if ((YW_int32_t)(seq - conn->dupUntil) < 0) {
        if (conn->dupRun++ == 0)
            conn->dupFirst = seq;
        conn->dupLast = seq;
        yw_srio_count(conn, &YW_ipc_status_t::duplicates);
        return YW_SRIO_DUPLICATE;
    }
    yw_srio_endDuplicates(conn);
    conn->seqKnown = true;
    conn->takenSeq = seq;
    conn->takenLen = flen;
    return YW_SRIO_TAKE;
}

} // namespace

namespace {

// Receive end, BUSY held: writes the acknowledgement of slot `push`, which
// holds w in the own copy (taken, or a dropped duplicate), and moves on.
int yw_srio_ackSlot(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t push, YW_uint64_t w)
{
    auto slot = yw_srio_word(conn, push);
    // Cleared only if it still holds the taken word: the sender cannot fill
    // the slot again before this acknowledgement, so anything else there was
    // written from outside and is shown.
    YW_uint64_t seen = w;
    if (!slot.compare_exchange_strong(seen, 0, std::memory_order_acq_rel))
        yw_srio_line(conn, YW_SRIO_LINE_SLOT,
                     "%s:%d ipc %s slot %" PRId64 " of area %s holds %" PRIx64 " where %" PRIx64
                     " was taken: written from outside before its acknowledgement\n",
                     __func__, __LINE__, conn->ipc->cfg->name, push, conn->names[1], seen, w);
    ZV_status_t r = smb_access_write_u64(conn->remote_access, 0, 0, (YW_uint64_t)push * 8, w & ~YW_IPC_KWT_SRIO_BD_BUSY);
    if (yw_srio_lostCode(r))
        YW_ipc_kwt_srio_linkFault(conn, __func__, __LINE__, r);
    if (r != 0) {
        slot.store(w, std::memory_order_release);
        return yw_srio_code(r);
    }
    if (conn->took)
        conn->took[push] = 0;
    conn->push.store(yw_srio_next(conn, push));
    conn->unacked--;
    conn->rxrelcnt++;
    return YW_SUCCESS;
}

// A dropped duplicate: size set, both busy bits clear.
bool yw_srio_droppedWord(YW_uint64_t v)
{
    return v != 0 && (v & YW_IPC_KWT_SRIO_BD_BUSY) == 0;
}

// Receive end, BUSY held: acknowledges the dropped duplicates at the head of
// the slots to acknowledge (acknowledgements go in ring order).
void yw_srio_ackDropped(YW_ipc_kwt_srio_connection_t *conn)
{
    while (conn->took && conn->unacked > 0) {
        const YW_int64_t push = conn->push.load();
        const YW_uint64_t w = conn->took[push];
        if (!yw_srio_droppedWord(w) || yw_srio_ackSlot(conn, push, w) != YW_SUCCESS)
            return;
    }
}

// Acknowledges the oldest taken message. Slots dropped as bad descriptors
// are stepped over, dropped duplicates acknowledged on the way. The own copy
// is cleared before the acknowledgement goes out: the sender may fill the
// slot again at once.
int yw_srio_releaseBuffer(YW_ipc_kwt_srio_connection_t *conn, const void *addr, YW_size_t length,
                               YW_uint32_t epoch)
{
    (void)length;
    YW_ipc_kwt_srio_busy hold(conn, -1);
    if (!yw_srio_ready(conn))
        return YW_ERR_IPC_NOT_READY;
    if (conn->epoch.load() != epoch)
        return YW_ERR_STATE; // taken before the last handshake: nothing to acknowledge
    yw_srio_ackDropped(conn);
    YW_int64_t push = conn->push.load();
    // Taken: the take bit cleared, the acknowledge bit still set.
    auto taken = [](YW_uint64_t v) { return (v & YW_IPC_KWT_SRIO_BD_BUSY) == YW_IPC_KWT_SRIO_BD_BUSY2; };
    YW_uint64_t w = 0;
    while (conn->unacked > 0) {
        w = conn->took ? conn->took[push] : yw_srio_word(conn, push).load(std::memory_order_acquire);
        if (taken(w) || yw_srio_droppedWord(w))
            break;
        push = yw_srio_next(conn, push);
        conn->unacked--;
    }
    conn->push.store(push);
    if (conn->unacked <= 0 || !taken(w))
        return YW_ERR_ENTITY_NULL;
    const YW_uint64_t off = YW_IPC_KWT_SRIO_BD_OFFSET(w), sz = YW_IPC_KWT_SRIO_BD_SIZE(w);
    const YW_uint8_t *a = static_cast<const YW_uint8_t *>(addr);
    if (!a || a < conn->buffer || (YW_uint64_t)(a - conn->buffer) < off || (YW_uint64_t)(a - conn->buffer) >= off + sz) {
        conn->release_buffer_offset_err++;
        return YW_ERR_IPC_KWT_SRIO_FREE_BD_OOR;
    }
    int r = yw_srio_ackSlot(conn, push, w);
    if (r == YW_SUCCESS)
        yw_srio_ackDropped(conn);
    return r;
}

} // namespace

extern "C" {

YW_ret_t YW_ipc_kwt_srio_wait_transfer(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t *pOffset, YW_uint64_t *pSize,
                                       YW_uint64_t *pMsg)
{
    if (!conn || !pOffset || !pSize || !pMsg)
        return YW_ERR_ENTITY_NULL;
    *pSize = 0;
    *pMsg = 0;
    const yw_srio_entry entry(conn);
    if (entry.rc() != YW_SUCCESS)
        return entry.rc();
    if (conn->faulted.load())
        return YW_ERR_IPC_NOT_READY;
    const YW_uint64_t msg = yw_srio_takeMailbox(conn);
    *pMsg = msg;
    if (msg)
        conn->peerDown.store(0); // the peer is there
    if (conn->resyncing)
        return msg ? YW_SUCCESS : YW_ERR_ENTITY_NULL; // nothing taken until the new handshake
    const YW_int64_t pop = conn->pop.load();
    auto slot = yw_srio_word(conn, pop);
    YW_uint64_t w = slot.load(std::memory_order_acquire);
    // What was read from an area that faulted is not used.
    if (yw_srio_faultAfter(conn, __func__, __LINE__)) {
        *pMsg = 0;
        return YW_ERR_IPC_NOT_READY;
    }
    const bool filled = yw_srio_filledWord(w);
    if (const YW_int64_t hole = w == 0 ? yw_srio_holeAhead(conn, pop) : 0) {
        // Without flow control nothing sends them again.
        if (!yw_srio_has(conn->ipc, YW_IPC_FLAGS_FLOWCTRL))
            yw_srio_count(conn, &YW_ipc_status_t::lost, hole);
        char what[96];
        std::snprintf(what, sizeof what, "slot of area %s empty before filled ones (descriptor lost): word",
                      conn->names[1]);
        yw_srio_count(conn, &YW_ipc_status_t::linkFaults);
        yw_srio_resync(conn, __func__, __LINE__, what, w, pop);
        return YW_SUCCESS; // a word was found; nothing to deliver
    }
    // The slot to read holds nothing else than 0 or a filled descriptor,
    // unless every slot is taken and waits for its acknowledgement.
    const char *why = "ring word";
    yw_srio_take take = YW_SRIO_BAD;
    if ((!filled && w != 0 && conn->unacked < (YW_int64_t)conn->descriptors_size) ||
        (filled && (take = yw_srio_takeOk(conn, YW_IPC_KWT_SRIO_BD_OFFSET(w), YW_IPC_KWT_SRIO_BD_SIZE(w), &why)) ==
                       YW_SRIO_BAD)) {
        conn->baddesc++;
        yw_srio_resync(conn, __func__, __LINE__, why, w, pop);
        return YW_SUCCESS; // a word was found; nothing to deliver
    }
    if (filled) {
        conn->peerDown.store(0);
        YW_uint64_t off = YW_IPC_KWT_SRIO_BD_OFFSET(w), sz = YW_IPC_KWT_SRIO_BD_SIZE(w);
        const bool flow = yw_srio_has(conn->ipc, YW_IPC_FLAGS_FLOWCTRL);
        conn->pop.store(yw_srio_next(conn, pop));
        if (flow)
            conn->unacked++;
        // Flow-controlled: the own copy keeps the taken state until release;
        // a duplicate is acknowledged (in turn) without being delivered.
        const YW_uint64_t kept = take == YW_SRIO_DUPLICATE ? (w & ~YW_IPC_KWT_SRIO_BD_BUSY)
                                                           : (w & ~YW_IPC_KWT_SRIO_BD_BUSY1);
        slot.store(flow ? kept : 0, std::memory_order_release);
        if (conn->took)
            conn->took[pop] = kept;
        conn->rxcnt++;
        if (take == YW_SRIO_DUPLICATE) {
            if (flow)
                yw_srio_ackDropped(conn);
            return YW_SUCCESS; // a word was found; nothing to deliver
        }
        *pOffset = off;
        *pSize = sz;
        return YW_SUCCESS;
    }
    return msg ? YW_SUCCESS : YW_ERR_ENTITY_NULL;
}

int YW_ipc_kwt_srio_release_buffer(YW_ipc_kwt_srio_connection_t *conn, const void *addr, YW_size_t length)
{
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    return yw_srio_releaseBuffer(conn, addr, length, conn->epoch.load());
}

YW_size_t YW_ipc_kwt_srio_recv(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    if (!is_ipc_rx_ready(YW_ipc_state_get(ipc)) || yw_srio_isTx(ipc))
        return YW_ERR_RX_NOT_READY;
    if (conn->faulted.load())
        YW_ipc_kwt_srio_connection_tryConnect(ipc); // the retry thread sets up again
    // Taken, copied and acknowledged before a new handshake may reset the
    // ring and let the sender write over the message.
    YW_shared_lock<std::mutex> rings(conn->ringLock);
    YW_ipc_kwt_srio_checkAreas(conn);
    if (!yw_srio_ready(conn) || conn->faulted.load())
        return YW_ERR_IPC_NOT_READY;
    YW_uint64_t off = 0, len = 0;
    // Framed: the header as checked when the frame was taken.
    YW_uint32_t seq = 0, flen = 0;
    if (yw_srio_has(ipc, YW_IPC_FLAGS_DIRECT)) {
        // Up to three polls, 50 and 100 microseconds apart.
        YW_ret_t r = YW_ERR_IPC_KWT_SRIO_RX_TIMEOUT;
        for (int i = 0; i < CONFIG_KWT_SRIO_RX_TIMEOUT_COUNT; i++) {
            if (i > 0)
                YW_P_sleepThread(nullptr, conn->pollingtime * i);
            YW_uint64_t msg = 0;
            YW_ret_t w = YW_ipc_kwt_srio_wait_transfer(conn, &off, &len, &msg);
            if (w == YW_SUCCESS && len > 0) {
                r = YW_SUCCESS;
                break;
            }
            if (w == YW_SUCCESS)
                r = YW_ERR_IPC_KWT_SRIO_RX_NODATA;
        }
        if (r != YW_SUCCESS)
            return r;
        YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)len);
        YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)1);
        seq = conn->takenSeq;
        flen = conn->takenLen;
    } else {
        YW_pos_t o = 0;
        YW_size_t l = 0;
        YW_uint64_t h = 0;
        if (!ipc->rx.buffer)
            return YW_ERR_RX_NOT_READY;
        YW_pos_t r = yw_srio_popFifo(ipc->rx.buffer, conn->queuedHdr, &o, &l, &h);
        if (r < 0)
            return r;
        off = (YW_uint64_t)o;
        len = (YW_uint64_t)l;
        seq = yw_srio_hdrSeq(h);
        flen = yw_srio_hdrLen(h);
        if (!yw_srio_descriptorOk(conn, off, len)) {
            ipc->rx.lenerr++;
            return YW_ERR_RX_BUFFER_FAIL;
        }
    }
    // The link the message was taken on: a poll above may have answered a
    // SYNC (a new link) before it found the message; no reset comes between
    // here and the acknowledgement (ring lock).
    const YW_uint32_t epoch = conn->epoch.load();
    const YW_uint8_t *addr = conn->buffer + off;
    // The frame's header is not read again: damaged since the frame was
    // taken, it would neither deliver nor number the frame.
    const bool framed = yw_srio_has(ipc, YW_IPC_FLAGS_FRAMED);
    YW_size_t n = framed ? YW_ipc_recv_framePayload(ipc, addr, (YW_size_t)len, flen, bp, size)
                         : YW_ipc_recv_postprocess(ipc, addr, (YW_size_t)len, 0, bp, size);
    // Copied from an area that faulted: not delivered, not acknowledged, and
    // not numbered (it comes again on the next link, as the frame due).
    bool lost;
    {
        YW_ipc_kwt_srio_busy hold(conn, -1);
        lost = yw_srio_faultAfter(conn, __func__, __LINE__);
    }
    if (lost)
        return YW_ERR_IPC_NOT_READY;
    if (framed && n >= 0)
        YW_ipc_recv_number(ipc, seq);
    // Finished here, delivered or counted lost below: the next handshake
    // gives the number after it.
    if (framed)
        conn->doneWord.store(YW_IPC_KWT_SRIO_SEQ_make(seq + 1), std::memory_order_relaxed);
    if (yw_srio_has(ipc, YW_IPC_FLAGS_FLOWCTRL))
        yw_srio_releaseBuffer(conn, addr, (YW_size_t)len, epoch);
    if (n >= 0) {
        YW_stat_add<YW_int64_t>(ipc->status.recvBytes, (YW_int64_t)n);
        YW_stat_add<YW_int64_t>(ipc->status.recvPackets, (YW_int64_t)1);
    } else {
        // Taken, not delivered, and not coming again: counted.
        yw_srio_count(conn, &YW_ipc_status_t::lost);
        yw_srio_line(conn, YW_SRIO_LINE_LOST,
                     "%s:%d ipc %s received message at offset %" PRIu64 " of area %s not delivered (%d): lost (%" PRId64
                     " so far)\n",
                     __func__, __LINE__, ipc->cfg->name, off, conn->names[0], (int)n,
                     (YW_int64_t)YW_stat_get(ipc->status.lost));
    }
    return n;
}

} // extern "C"
