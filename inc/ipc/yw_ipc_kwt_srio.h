/*
 * Shared-memory/DMA transport between compute elements (interface KWT_SRIO,
 * transport SMB): one direction per channel. The sender writes a message in
 * its own data area, copies it by DMA to the same offset of the receiver's
 * data area and writes a descriptor word into the receiver's ring; the
 * receiver polls its ring and, on flow-controlled channels, acknowledges each
 * message by writing the descriptor back into the sender's ring. A handshake
 * through two mailbox words of the control areas starts every link.
 */
#ifndef YW_IPC_KWT_SRIO_H
#define YW_IPC_KWT_SRIO_H

#include <time.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "ipc/yw_ipc.h"
#include "zv_api.h"

/* connection status bits */
#define YW_IPC_KWT_SRIO_READY 0x1
#define YW_IPC_KWT_SRIO_BUSY  0x2

/* mailbox words */
#define YW_IPC_KWT_SRIO_MSG_SYNC     0x0123456789ABCDEFULL
#define YW_IPC_KWT_SRIO_MSG_SYNC_ACK 0xFEDCBA9876543210ULL

/* descriptor word: size bits 0-25, busy bits 26 (acknowledge) and 27 (take),
 * offset bits 28-63 */
#define YW_IPC_KWT_SRIO_BD_SIZE_MASK 0x3FFFFFFULL
#define YW_IPC_KWT_SRIO_BD_BUSY2     (1ULL << 26)
#define YW_IPC_KWT_SRIO_BD_BUSY1     (1ULL << 27)
#define YW_IPC_KWT_SRIO_BD_BUSY      (YW_IPC_KWT_SRIO_BD_BUSY1 | YW_IPC_KWT_SRIO_BD_BUSY2)
#define YW_IPC_KWT_SRIO_BD_OFFSET_MAX (1ULL << 36)
#define YW_IPC_KWT_SRIO_BD_make(offset, size, busy) \
    ((((YW_uint64_t)(offset)) << 28) + (((YW_uint64_t)(busy)) << 26) + (YW_uint64_t)(size))
#define YW_IPC_KWT_SRIO_BD_OFFSET(w) (((YW_uint64_t)(w)) >> 28)
#define YW_IPC_KWT_SRIO_BD_SIZE(w)   (((YW_uint64_t)(w)) & YW_IPC_KWT_SRIO_BD_SIZE_MASK)

#define YW_IPC_KWT_SRIO_POLLING_NS   50000LL
#define YW_IPC_KWT_SRIO_MAX          (YW_IPC_MAX / 2)
#define CONFIG_KWT_SRIO_TX_IDLE_TIMEOUT 2000000000LL
#define CONFIG_KWT_SRIO_POLLING_TIME    50000LL
#define CONFIG_KWT_SRIO_RX_TIMEOUT_COUNT 3

/* the dx_modify flags the transport passes: offsets, count, poll, start */
#define YW_IPC_KWT_SRIO_DX_MODIFY 0x7011u

/* Control-area word N+3 (N the ring length): the number of the first frame a
 * transmit end sends on a new link, written by it into both control areas
 * once the receive end has answered its SYNC and before any descriptor of
 * the link. Low 32 bits the number, high 32 bits its complement. */
#define YW_IPC_KWT_SRIO_SEQ_WORD(n) ((YW_int64_t)(n) + 3)
#define YW_IPC_KWT_SRIO_SEQ_make(seq) \
    ((((YW_uint64_t)(YW_uint32_t)~(YW_uint32_t)(seq)) << 32) | (YW_uint64_t)(YW_uint32_t)(seq))
#define YW_IPC_KWT_SRIO_SEQ_ok(w) ((YW_uint32_t)((w) >> 32) == (YW_uint32_t)~(YW_uint32_t)(w))

/* Control-area word N: the number of the frame the receive end expects next
 * (the one after the last frame it delivered, or counted lost itself), in
 * the form of word N+3, written by it into both control areas whenever it
 * answers a SYNC, before its SYNC_ACK; 0 while it has finished no frame. A
 * transmit end clears its own copy before each SYNC. */
#define YW_IPC_KWT_SRIO_DUE_WORD(n) ((YW_int64_t)(n))

/* Kinds of link lines. Each kind is printed at most about once a second per
 * channel; one held back is counted, and the latest of them is printed, with
 * that count, once the second is over. */
enum yw_ipc_kwt_srio_line_kind {
    YW_SRIO_LINE_RESYNC,    /* the receive end resynchronises the link */
    YW_SRIO_LINE_FRAME,     /* duplicates dropped */
    YW_SRIO_LINE_NUMBER,    /* the sender's numbering taken */
    YW_SRIO_LINE_SYNCED,    /* a handshake completed */
    YW_SRIO_LINE_SENDER,    /* the sender finds its ring or mailbox written over */
    YW_SRIO_LINE_AGAIN,     /* messages sent again on a new link */
    YW_SRIO_LINE_LOST,      /* messages counted lost */
    YW_SRIO_LINE_FAULT,     /* an area lost or faulted: link down */
    YW_SRIO_LINE_ACK,       /* a descriptor sent is not acknowledged in time */
    YW_SRIO_LINE_SLOT,      /* a slot written over before its acknowledgement */
    YW_SRIO_LINE_KINDS
};

/* The limiter of one kind of line of a channel (under the connection's
 * lineLock). */
typedef struct yw_ipc_kwt_srio_line_gate {
    YW_int64_t last;     /* when one was last printed (monotonic ns; 0: never) */
    YW_uint64_t held;    /* held back since */
    char text[320];      /* the latest one held back */
} YW_ipc_kwt_srio_line_gate_t;

typedef struct yw_ipc_kwt_srio_connection {
    YW_ipc_t *ipc;
    std::atomic<int> status;
    YW_uint64_t descriptors_size;
    std::atomic<YW_int64_t> push;
    std::atomic<YW_int64_t> pop;
    YW_uint8_t *buffer;
    YW_uint64_t *descriptors;
    YW_int64_t pollingtime;
    SMB_handle local_smbs[3];
    SMB_handle remote_smbs[3];
    SMB_access_handle local_access;
    SMB_access_handle remote_access;
    DX_template templates[2];
    DX_transfer transfers[3];
    DX_transfer group_transfer;
    YW_int64_t local_mbox;
    YW_int64_t remote_mbox;
    std::atomic<YW_count_t> readerbusy, readerready, release_buffer_offset_err, rxcnt, rxrelcnt;

    /* handles of the mappings made by smb_open (data, control), closed with
     * the areas' own handles */
    SMB_handle local_maps[2];
    YW_uint64_t data_size;
    YW_uint64_t ctrl_size;
    /* 1 once the handshake completed (cleared when the peer asks again) */
    std::atomic<int> synced;
    /* counts handshakes: a release of a message taken before the last one
     * is not acknowledged */
    std::atomic<YW_uint32_t> epoch;
    /* receive end: slots read (pop) and not yet acknowledged (push) */
    YW_int64_t unacked;
    /* descriptors refused (outside the area, too short) */
    std::atomic<YW_count_t> baddesc;
    /* area names: [0] own data, [1] own control, [2] peer's data, [3] peer's
     * control */
    char names[4][SMB_NAME_MAX + 1];
    /* set when an area was found truncated, replaced or removed: the link is
     * down until the retry thread has set it up again */
    std::atomic<int> faulted;
    /* the own data area was lost: what it held is gone */
    bool dataLost;
    /* when the areas' objects were last looked at (monotonic ns) */
    std::atomic<YW_int64_t> lastCheck;
    /* messages a resynchronisation dropped here (taken, not yet delivered:
     * the sender sends them again). Link faults, messages counted lost
     * (sent, never to be delivered), messages sent again after a new
     * handshake, resynchronisations asked by this end and duplicates dropped
     * are counted in the channel's status (YW_inqIpc). */
    std::atomic<YW_count_t> dropped;
    /* sender, flow-controlled: the descriptor written into each ring slot
     * and not yet collected (0: free). Only this copy says what a slot
     * holds: the shared ring is checked against it. */
    YW_uint64_t *sent;
    /* sender: descriptors kept from an earlier link (never acknowledged),
     * sent again in order before anything new */
    YW_uint64_t *again;
    YW_uint64_t againHead, againCount;
    /* sender, framed: its own record of each frame's header (number in the
     * high half, frame length in the low; 0: none) for the frames queued (by
     * transmit FIFO slot), sent (by ring slot, beside `sent`) and kept to be
     * sent again (beside `again`). Every transfer writes the header from this
     * record into the frame before copying it: what the own data area holds
     * there now may have been written over since the frame was made. */
    YW_uint64_t *txHdr;
    YW_uint64_t *sentHdr;
    YW_uint64_t *againHdr;
    /* sender: since when (monotonic ns) the oldest descriptor sent waits for
     * its acknowledgement without any coming (0: none waits) */
    YW_int64_t ackSince;
    /* sender: its peer answered the last handshake try (cleared when a try
     * goes unanswered) */
    std::atomic<bool> peerAnswered{true};
    /* receive end: the handshake of a transmit channel to the same compute
     * element goes unanswered, so the peer is taken as gone: the ring is
     * looked at every 50 ms until the peer shows itself again */
    std::atomic<int> peerDown;
    /* receiver, flow-controlled: the descriptor taken from each slot and
     * not yet acknowledged (0: none); acknowledgements follow this copy, not
     * the shared ring */
    YW_uint64_t *took;
    /* receiver: it asked its partner for a new handshake and takes nothing
     * until it comes; the frame number expected next (when known); no
     * message taken yet since the last handshake */
    bool resyncing;
    bool seqKnown;
    bool fresh;
    YW_uint32_t seqNext;
    /* receiver, framed: the header (number, length) of the frame taken last,
     * as checked when it was taken, and of each frame in the receive FIFO
     * (by FIFO slot; number in the high half): a frame is delivered from
     * these, its header never read again from the area, where it may have
     * been damaged since */
    YW_uint32_t takenSeq, takenLen;
    YW_uint64_t *queuedHdr;
    /* receiver: frames dropped as delivered already (sent again after a
     * resynchronisation) in the run not yet shown */
    YW_uint64_t dupRun;
    /* receiver: when the ring was last looked at for a lost descriptor */
    YW_int64_t holeCheck;
    YW_uint32_t dupFirst, dupLast;
    /* set up at least once (a later set-up keeps what the sender holds) */
    bool wasSetUp;
    /* sender: the own data area was lost; what `sent` still records lay
     * there, as did the frames of doubtHdr (kept to be sent again then, by
     * header record): none of them can be sent again. The next handshake
     * decides by the number the receive end gives (word N) which of them
     * were delivered; the others are counted lost. */
    bool sentStale;
    YW_uint64_t *doubtHdr;
    YW_uint64_t doubtCount;
    /* receive end, framed: the number it gives in a handshake (word N, in
     * its shared form; 0: no frame finished yet) */
    std::atomic<YW_uint64_t> doneWord;
    /* LOCAL: the partner connection whose areas this one uses (remote
     * handles and remote_access are borrowed from it, never closed) */
    struct yw_ipc_kwt_srio_connection *partner;
    /* the transmit and receive rings of the channel's sides */
    YW_ipc_buffer_t txring;
    YW_ipc_fifo_t txfifo;
    YW_ipc_buffer_t rxring;
    YW_ipc_fifo_t rxfifo;
    bool hasTxRing;
    bool hasRxRing;
    /* Serialises the users of the rings (sends, the transmit task, receives
     * and the receive task) with set-up, release and the ring resets of a new
     * handshake, so that no reset falls between reading and advancing a ring
     * position. Taken before BUSY; never taken while BUSY is held. */
    std::mutex ringLock;
    /* receive end: frames of the link before dupUntil were delivered already
     * (sent again); seqFloor is the first frame delivered since the
     * sender's numbering was last taken */
    YW_uint32_t dupUntil;
    YW_uint32_t seqFloor;
    /* receive end: a first frame number refused so many links in a row */
    YW_uint32_t refusedSeq;
    int refusedRun;
    /* the own areas were found held by another live user (its process id,
     * 0: none): the channel is refused, with one line per holder */
    int heldBy;
    /* sender: messages kept to be sent again on new links, in all */
    YW_uint64_t keptTotal;
    /* link lines, one limiter per kind */
    std::mutex lineLock;
    YW_ipc_kwt_srio_line_gate_t lines[YW_SRIO_LINE_KINDS];
    /* handshake retry thread: one per connection, joined at release */
    std::mutex clientLock;
    std::thread client;
    std::atomic<bool> clientRunning;
    std::atomic<bool> released;
} YW_ipc_kwt_srio_connection_t;

typedef struct yw_ipc_kwt_srio_tx_ctx {
    std::atomic<int> status;
    std::atomic<YW_task_t *> task;
    std::atomic<YW_task_id_t> taskId;
    std::atomic<YW_event_q_t *> eventq;
    YW_int64_t timeout;
    YW_task_cfg_t *cfg;
    /* the channel the task works on now (null between channels) */
    std::atomic<YW_ipc_t *> current;
} YW_ipc_kwt_srio_tx_ctx_t;

typedef struct yw_ipc_kwt_srio_rx_ctx {
    std::atomic<int> status;
    std::atomic<YW_task_t *> task;
    YW_int64_t timeout;
    std::atomic<YW_ipc_t *> ipc_list[YW_IPC_KWT_SRIO_MAX];
    /* the generation of each listed channel (held by it while polled) */
    std::atomic<YW_uint32_t> ipc_gen[YW_IPC_KWT_SRIO_MAX];
    std::atomic<int> ipc_count;
    YW_task_cfg_t *cfg;
    std::atomic<YW_ipc_t *> current;
    /* doorbell, rung (counted up) when a channel is listed or linked or the
     * task is stopped: with no linked channel to poll the task sleeps on it */
    std::atomic<YW_uint32_t> bell;
    /* polling cycles run so far */
    std::atomic<YW_uint64_t> cycles;
} YW_ipc_kwt_srio_rx_ctx_t;

extern "C" {

extern YW_ipc_kwt_srio_tx_ctx_t YW_g_ipc_kwt_srio_tx_ctx;
extern YW_ipc_kwt_srio_rx_ctx_t YW_g_ipc_kwt_srio_rx_ctx;

/* transport; the functions returning int pass platform codes (0xFF04xxyy)
 * through unchanged, beside the framework's own codes */
YW_ret_t YW_ipc_kwt_srio_create(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_delete(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_setup(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_release(YW_ipc_t *ipc);
YW_size_t YW_ipc_kwt_srio_send(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_kwt_srio_recv(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_ipc_kwt_srio_connection_t *YW_ipc_kwt_srio_search(int ceid, int port, int istx);
int YW_ipc_kwt_srio_setup_connection(YW_ipc_kwt_srio_connection_t *conn, YW_ipc_t *ipc);
int YW_ipc_KWT_SRIO_release_connection(YW_ipc_kwt_srio_connection_t *conn);
/* a new handshake: descriptor ring empty, indexes 0, the receive ring empty,
 * the transmit ring keeping only the messages still queued; ringLock and
 * BUSY held */
void YW_ipc_kwt_srio_resetLink(YW_ipc_kwt_srio_connection_t *conn);
int YW_ipc_kwt_srio_write_u64(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t index, YW_uint64_t word);
int YW_ipc_kwt_srio_send_msg(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t word);
YW_uint64_t YW_ipc_kwt_srio_poll_msg(YW_ipc_kwt_srio_connection_t *conn);
/* receive end: answers a SYNC waiting in the mailbox; takes no message */
YW_ret_t YW_ipc_kwt_srio_answer_sync(YW_ipc_kwt_srio_connection_t *conn);
int YW_ipc_kwt_srio_do_transfer(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size);
YW_ret_t YW_ipc_kwt_srio_collect_free_buffers(YW_ipc_kwt_srio_connection_t *conn);
YW_size_t YW_ipc_kwt_srio_send_direct(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size);
YW_size_t YW_ipc_kwt_srio_send_buffer(YW_ipc_t *ipc, YW_pos_t offset, YW_size_t size);
YW_ret_t YW_ipc_kwt_srio_wait_transfer(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t *pOffset,
                                       YW_uint64_t *pSize, YW_uint64_t *pMsg);
int YW_ipc_kwt_srio_release_buffer(YW_ipc_kwt_srio_connection_t *conn, const void *addr, YW_size_t length);

/* tasks and handshake */
YW_ret_t YW_ipc_kwt_srio_init(void);
YW_ret_t YW_ipc_kwt_srio_deinit(void);
YW_ret_t YW_ipc_kwt_srio_start(void);
YW_ret_t YW_ipc_kwt_srio_stop(void);
YW_ret_t YW_ipc_kwt_srio_task_addRxIpc(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_task_delRxIpc(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_recv_poll(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_connection_tryConnect(YW_ipc_t *ipc);
YW_ret_t YW_ipc_kwt_srio_sender_sync(YW_ipc_kwt_srio_connection_t *conn, int trycount);
YW_ret_t YW_ipc_kwt_srio_receiver_sync(YW_ipc_kwt_srio_connection_t *conn, int trycount);
void *YW_ipc_kwt_srio_send_task(void *ctx);
void *YW_ipc_kwt_srio_recv_task(void *ctx);
/* posts a transmit request for the channel to the transmit task */
YW_ret_t YW_ipc_kwt_srio_notifyTx(YW_ipc_t *ipc);
/* stops the connection's retry thread and waits for it */
void YW_ipc_kwt_srio_stopClient(YW_ipc_kwt_srio_connection_t *conn);
/* waits until neither task works on the channel */
void YW_ipc_kwt_srio_task_quiesce(YW_ipc_t *ipc);
/* the link is down for a fault of its areas (a line names them); the retry
 * thread sets it up again */
void YW_ipc_kwt_srio_linkFault(YW_ipc_kwt_srio_connection_t *conn, const char *func, int line, unsigned code);
/* looks at the areas' objects (about once a second; ringLock or BUSY held):
 * one cut short, replaced or removed is a link fault */
void YW_ipc_kwt_srio_checkAreas(YW_ipc_kwt_srio_connection_t *conn);
/* sender: a SYNC in its mailbox (or a word the receive end never writes)
 * ends the link's handshake; the next turn handshakes again */
void YW_ipc_kwt_srio_watchMailbox(YW_ipc_kwt_srio_connection_t *conn);
/* sender, ringLock held: sends again, in order, what an earlier link did not
 * acknowledge; 0 when nothing is left, else the transfer's code */
int YW_ipc_kwt_srio_sendAgain(YW_ipc_t *ipc, YW_ipc_kwt_srio_connection_t *conn);
/* sender: its peer answers the handshake again (down 0) or stopped
 * answering (1): the receive ends here from the same compute element are
 * polled on the grid again, or slowly */
void YW_ipc_kwt_srio_markPeer(YW_ipc_kwt_srio_connection_t *conn, int down);
/* wakes the receive task sleeping for want of a linked channel */
void YW_ipc_kwt_srio_ringRx(void);
/* the receive task's clock (CLOCK_MONOTONIC) */
YW_ret_t YW_measuretime_gettime(struct timespec *ts);

} // extern "C"

/* The connection of a channel of this transport (null when it has none). */
inline YW_ipc_kwt_srio_connection_t *YW_ipc_kwt_srio_conn(YW_ipc_t *ipc)
{
    return ipc ? static_cast<YW_ipc_kwt_srio_connection_t *>(ipc->priv) : nullptr;
}

/* Takes a connection's BUSY bit for a scope (compare-and-swap, waiting a
 * bounded time while another ring operation holds it). */
class YW_ipc_kwt_srio_busy {
public:
    explicit YW_ipc_kwt_srio_busy(YW_ipc_kwt_srio_connection_t *c, long spins = 20000);
    ~YW_ipc_kwt_srio_busy();
    YW_ipc_kwt_srio_busy(const YW_ipc_kwt_srio_busy &) = delete;
    YW_ipc_kwt_srio_busy &operator=(const YW_ipc_kwt_srio_busy &) = delete;
    bool held() const { return m_held; }

private:
    YW_ipc_kwt_srio_connection_t *m_conn;
    bool m_held;
};

#endif
