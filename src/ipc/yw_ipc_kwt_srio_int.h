// Inside of the shared-memory/DMA transport: the helpers its files share.
// yw_ipc_kwt_srio.cpp: areas, set-up, ring resets and the handshake words;
// yw_ipc_kwt_srio_tx.cpp: the sender (transfers, collection, messages sent
// again, send); yw_ipc_kwt_srio_rx.cpp: the receive end (taking
// descriptors, frame numbers, acknowledgements, resynchronisation).
#ifndef YW_IPC_KWT_SRIO_INT_H
#define YW_IPC_KWT_SRIO_INT_H

#include "ipc/yw_ipc_kwt_srio.h"
#include "yw_gate.h"

// A descriptor sent and not acknowledged for this long is a link fault; the
// receive end looks for a lost descriptor this often.
constexpr YW_int64_t YW_SRIO_ACK_BOUND_NS = 1000000000LL;

inline bool yw_srio_isTx(const YW_ipc_t *ipc)
{
    return (ipc->cfg->flags & YW_IPC_FLAGS_TX) != 0;
}

inline bool yw_srio_has(const YW_ipc_t *ipc, YW_uint32_t flag)
{
    return (ipc->cfg->flags & flag) != 0;
}

inline const YW_ipc_side_cfg_t &yw_srio_side(const YW_ipc_t *ipc)
{
    return yw_srio_isTx(ipc) ? ipc->cfg->tx : ipc->cfg->rx;
}

inline std::atomic_ref<YW_uint64_t> yw_srio_word(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t index)
{
    return std::atomic_ref<YW_uint64_t>(conn->descriptors[index]);
}

inline bool yw_srio_ready(const YW_ipc_kwt_srio_connection_t *conn)
{
    return (conn->status.load() & YW_IPC_KWT_SRIO_READY) != 0;
}

// A ring operation runs under the connection's BUSY bit on a READY
// connection: YW_ERR_IPC_BUSY when BUSY was not had, YW_ERR_IPC_NOT_READY
// when the connection went down before it was, else YW_SUCCESS.
inline YW_ret_t yw_srio_heldReady(const YW_ipc_kwt_srio_connection_t *conn, const YW_ipc_kwt_srio_busy &hold)
{
    if (!hold.held())
        return YW_ERR_IPC_BUSY;
    return yw_srio_ready(conn) ? YW_SUCCESS : YW_ERR_IPC_NOT_READY;
}

// The entry of a ring operation: the connection given and READY, its BUSY
// bit held for the scope (a bounded wait), and still READY once held. rc()
// is YW_SUCCESS, or why the operation cannot run (YW_ERR_ENTITY_NULL,
// YW_ERR_IPC_NOT_READY, YW_ERR_IPC_BUSY).
class yw_srio_entry {
public:
    explicit yw_srio_entry(YW_ipc_kwt_srio_connection_t *conn)
        : m_ready(conn && yw_srio_ready(conn)), m_hold(m_ready ? conn : nullptr)
    {
        m_rc = !conn ? YW_ERR_ENTITY_NULL : !m_ready ? YW_ERR_IPC_NOT_READY : yw_srio_heldReady(conn, m_hold);
    }
    yw_srio_entry(const yw_srio_entry &) = delete;
    yw_srio_entry &operator=(const yw_srio_entry &) = delete;
    YW_ret_t rc() const { return m_rc; }

private:
    bool m_ready;                 // READY before the BUSY bit was asked for
    YW_ipc_kwt_srio_busy m_hold;  // not taken when not READY
    YW_ret_t m_rc;
};

inline YW_int64_t yw_srio_next(const YW_ipc_kwt_srio_connection_t *conn, YW_int64_t i)
{
    return (YW_uint64_t)(i + 1) >= conn->descriptors_size ? 0 : i + 1;
}

inline int yw_srio_code(ZV_status_t s)
{
    return (int)(YW_int32_t)s;
}

inline bool yw_srio_lostCode(ZV_status_t r)
{
    return r == SMB__AREA_LOST || r == DX__AREA_LOST;
}

// A filled descriptor: a size, both busy bits set.
inline bool yw_srio_filledWord(YW_uint64_t w)
{
    return YW_IPC_KWT_SRIO_BD_SIZE(w) != 0 && (w & YW_IPC_KWT_SRIO_BD_BUSY) == YW_IPC_KWT_SRIO_BD_BUSY;
}

// Adds to one of the link counts of the channel's status.
inline void yw_srio_count(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t YW_ipc_status_t::*what, YW_int64_t n = 1)
{
    YW_stat_add<YW_int64_t>(conn->ipc->status.*what, n);
}

// The FIFO slot before `next` (a push or pop gives the slot after the one
// it filled or emptied).
inline YW_uint64_t yw_srio_fifoSlot(const YW_ipc_fifo_t &f, YW_pos_t next)
{
    return ((YW_uint64_t)next + f.count - 1) % f.count;
}

// A frame's header as the transport keeps it: number in the high half,
// length in the low (0: none kept; a frame is never shorter than its
// overhead).
inline YW_uint64_t yw_srio_hdr(YW_uint32_t seq, YW_uint32_t flen)
{
    return ((YW_uint64_t)seq << 32) | flen;
}

inline YW_uint32_t yw_srio_hdrSeq(YW_uint64_t h)
{
    return (YW_uint32_t)(h >> 32);
}

inline YW_uint32_t yw_srio_hdrLen(YW_uint64_t h)
{
    return (YW_uint32_t)h;
}

/* yw_ipc_kwt_srio.cpp */
// A ring's FIFO with a header record per slot (hdrs; null: none kept). The
// entry and its record are pushed, looked at and taken off together under
// the ring's lock, so that whoever takes an entry finds its own record.
YW_pos_t yw_srio_pushFifo(YW_ipc_buffer_t *b, YW_uint64_t *hdrs, YW_uint64_t off, YW_uint64_t size, YW_uint64_t hdr);
YW_ret_t yw_srio_peekFifo(YW_ipc_buffer_t *b, const YW_uint64_t *hdrs, YW_pos_t *off, YW_size_t *len,
                          YW_uint64_t *hdr);
YW_pos_t yw_srio_popFifo(YW_ipc_buffer_t *b, const YW_uint64_t *hdrs, YW_pos_t *off, YW_size_t *len,
                         YW_uint64_t *hdr);
// Prints a link line of one kind (yw_ipc_kwt_srio_line_kind) for the
// connection's channel, unless one of that kind was printed less than a
// second ago: then it is held back and counted.
void yw_srio_line(YW_ipc_kwt_srio_connection_t *conn, int kind, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Prints the latest line held back of each kind whose second is over (all:
// of every kind, as the link ends: a held line is never left to a later one).
void yw_srio_flushLines(YW_ipc_kwt_srio_connection_t *conn, bool all = false);
// After an access: a fault on an area takes the link down; true then.
bool yw_srio_faultAfter(YW_ipc_kwt_srio_connection_t *conn, const char *func, int line);
// Filled entries of a ring's FIFO (queued, not yet taken off).
YW_uint64_t yw_srio_queued(YW_ipc_buffer_t *b);
// Sender, a new link's rings reset (ringLock and BUSY held): writes the
// number of the first frame it sends on the link into the peer's control
// area (framed channels), before any descriptor of the link.
int yw_srio_giveFirstFrame(YW_ipc_kwt_srio_connection_t *conn);
// The header of the frame at offset as the own data area holds it now, as a
// record (0: unframed, or not a frame of the area).
YW_uint64_t yw_srio_recordOf(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size);
// Sender: transfers a message and writes its descriptor (do_transfer),
// framed with the header from the record hdr (0: as the area holds it).
int yw_srio_transfer(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size, YW_uint64_t hdr);
// send_direct with the frame's header record (0: as the area holds it).
YW_size_t yw_srio_sendDirect(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size, YW_uint64_t hdr);
// Descriptor ring and channel rings empty again (ringLock and BUSY held).
void yw_srio_resetRings(YW_ipc_kwt_srio_connection_t *conn, bool keepQueued);
// Sender whose own data area was lost, at a handshake its receive end has
// answered (ringLock and BUSY held): of the frames it could not send again,
// counts lost those the receive end never finished, by the number it gave
// (word N); without that number, or for unnumbered frames, each one not
// seen acknowledged.
void yw_srio_settleStale(YW_ipc_kwt_srio_connection_t *conn);

/* yw_ipc_kwt_srio_rx.cpp, receive end */
bool yw_srio_descriptorOk(const YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size);
// BUSY held: the duplicates dropped in a row are shown in one line.
void yw_srio_endDuplicates(YW_ipc_kwt_srio_connection_t *conn);
// BUSY held: takes the mailbox word (0: none) and answers a SYNC.
YW_uint64_t yw_srio_takeMailbox(YW_ipc_kwt_srio_connection_t *conn);

#endif
