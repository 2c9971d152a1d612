// Shared-memory/DMA transport: areas, set-up and release, ring resets, the
// handshake words and link lines. The sender's transfers and send are in
// yw_ipc_kwt_srio_tx.cpp, the receive end in yw_ipc_kwt_srio_rx.cpp, the
// tasks and the handshake in yw_ipc_kwt_srio_task.cpp.
//
// Ring words and mailbox words live in shared memory and are read and
// written with atomics (acquire/release). Every ring operation of a
// connection runs under its BUSY bit, taken by compare-and-swap.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "ipc/yw_ipc_frame.h"
#include "yw_ipc_kwt_srio_int.h"
#include "yw_mem.h"

namespace {

// Largest ring, data area and frame a channel may configure: the descriptor
// word holds 26 bits of size and 36 of offset.
constexpr YW_uint64_t YW_SRIO_MAX_DESCRIPTORS = 1u << 16;
constexpr YW_int64_t YW_SRIO_MAX_FRAME = 1LL << 26;
constexpr YW_int64_t YW_SRIO_MAX_BUFFER = 1LL << 30;
constexpr YW_uint32_t YW_SRIO_DATA_FLAGS = SMB_SCOPE_GLOBAL;
constexpr YW_uint32_t YW_SRIO_CTRL_FLAGS = SMB_SCOPE_GLOBAL | SMB_ZERO_FILL;

// Links of in-process (LOCAL) partners.
std::mutex yw_s_srio_local;

YW_uint64_t yw_srio_pageRound(YW_uint64_t n)
{
    long pg = sysconf(_SC_PAGESIZE);
    YW_uint64_t p = pg > 0 ? (YW_uint64_t)pg : 4096;
    return (n + p - 1) / p * p;
}

// "smb_<port>_<0 data | 1 control>_<ceid>_<tx|rx>"
void yw_srio_areaName(char (&out)[SMB_NAME_MAX + 1], int port, int index, int ceid, bool txArea)
{
    std::snprintf(out, sizeof out, "smb_%d_%d_%d_%s", port, index, ceid, txArea ? "tx" : "rx");
}

// Describes an area for a line: its file and its size now beside the
// configured one ("removed" when there is no such area).
void yw_srio_describeArea(char *out, size_t len, const char *name, YW_uint64_t want)
{
    char file[128] = "";
    YW_uint64_t now = 0;
    ZV_status_t r = smb_stat(name, &now, file, sizeof file);
    if (r == 0)
        std::snprintf(out, len, "file %s, %" PRIu64 " bytes, configured %" PRIu64, file, now, want);
    else
        std::snprintf(out, len, "file %s removed, configured %" PRIu64 " bytes", file[0] ? file : name, want);
}

ZV_status_t yw_srio_createOrAttach(const char *name, YW_uint32_t flags, YW_uint64_t size, CEID ceid, SMB_handle *h)
{
    errno = 0;
    ZV_status_t r = smb_create(name, flags, size, 1, ceid, 0, h);
    if (r == SMB__DUPLICATE) {
        errno = 0;
        r = smb_attach(name, flags, size, 0, 0, h);
    }
    if (r != 0) {
        // The system's reason, when the system refused.
        const int e = r == SMB__SYSTEM ? errno : 0;
        char what[192];
        yw_srio_describeArea(what, sizeof what, name, size);
        std::printf("%s:%d area %s (%s) fail 0x%x%s%s\n", __func__, __LINE__, name, what, (unsigned)r, e ? ": " : "",
                    e ? std::strerror(e) : "");
    }
    return r;
}

// An own area held by another live user (a second node of the same
// identity, or a second channel of this one on the same areas): the channel
// is refused, with one line for each holder, and nothing of the area is
// touched.
ZV_status_t yw_srio_refuseHeld(YW_ipc_kwt_srio_connection_t *conn, const char *name, const char *holder)
{
    int pid = 0;
    if (std::sscanf(holder, "process %d", &pid) != 1 || pid == 0)
        pid = -1;
    if (conn->heldBy != pid)
        std::printf("%s:%d ipc %s refused: area %s is held by %s, a live user of the same areas\n", __func__,
                    __LINE__, conn->ipc->cfg->name, name, holder);
    conn->heldBy = pid;
    return SMB__HELD;
}

// Creates or attaches an area of this compute element, claims it for this
// process (a lock on its object, let go when the process ends) and maps it.
// One of another size, or one cut short, is left from an earlier run or
// damaged: unless a live user holds it, it is made again at the configured
// size (a peer still attached to the old one finds it replaced and sets up
// again).
ZV_status_t yw_srio_localArea(YW_ipc_kwt_srio_connection_t *conn, const char *name, YW_uint32_t flags,
                              YW_uint64_t size, SMB_handle *h, SMB_handle *map, void **addr, bool *remade = nullptr)
{
    char holder[128] = "";
    // (An area still 0 bytes long may be one the peer is making right now:
    // the attach waits for it to be sized first.)
    ZV_status_t r = yw_srio_createOrAttach(name, flags, size, ce_getid(), h);
    if ((r == SMB__SIZE_MISMATCH || r == SMB__NOT_SIZED) && smb_holder(name, holder, sizeof holder) == SMB__HELD)
        return yw_srio_refuseHeld(conn, name, holder);
    if (r == SMB__SIZE_MISMATCH || r == SMB__NOT_SIZED) {
        if (remade)
            *remade = true;
        char what[192];
        yw_srio_describeArea(what, sizeof what, name, size);
        ZV_status_t d = smb_remove(name);
        std::printf("%s:%d area %s (%s): made again at %" PRIu64 " bytes%s\n", __func__, __LINE__, name, what, size,
                    d == 0 ? "" : " (cannot remove it)");
        r = yw_srio_createOrAttach(name, flags, size, ce_getid(), h);
    }
    if (r == 0 && smb_lock(*h, holder, sizeof holder) == SMB__HELD) {
        smb_close(*h, 0);
        *h = nullptr;
        return yw_srio_refuseHeld(conn, name, holder);
    }
    if (r == 0)
        r = smb_open(name, flags, 0, size, 0, 0, addr, map);
    return r;
}

template <typename H, typename F> void yw_srio_drop(H &h, F release)
{
    if (h)
        release(h);
    h = nullptr;
}

void yw_srio_releaseTransfers(YW_ipc_kwt_srio_connection_t *conn)
{
    for (int i = 0; i < 2; i++)
        yw_srio_drop(conn->transfers[i], [](DX_transfer x) { dx_release(x, 0); });
    for (int i = 0; i < 2; i++)
        yw_srio_drop(conn->templates[i], [](DX_template t) { dx_destroy(t); });
}

// Closes what the connection owns; handles borrowed from a LOCAL partner are
// only forgotten. Returns the last close result.
ZV_status_t yw_srio_closeAll(YW_ipc_kwt_srio_connection_t *conn)
{
    ZV_status_t last = 0;
    auto close = [&last](SMB_handle h) { last = smb_close(h, 0); };
    yw_srio_releaseTransfers(conn);
    yw_srio_drop(conn->local_access, [](SMB_access_handle a) { smb_access_release(a); });
    if (conn->partner)
        conn->remote_access = nullptr;
    yw_srio_drop(conn->remote_access, [](SMB_access_handle a) { smb_access_release(a); });
    for (int i = 0; i < 2; i++)
        yw_srio_drop(conn->local_maps[i], close);
    for (int i = 0; i < 3; i++)
        yw_srio_drop(conn->local_smbs[i], close);
    for (int i = 0; i < 3; i++) {
        if (conn->partner)
            conn->remote_smbs[i] = nullptr;
        yw_srio_drop(conn->remote_smbs[i], close);
    }
    conn->buffer = nullptr;
    conn->descriptors = nullptr;
    return last;
}

// The handle of area i (see names): the mapped one for the own areas.
SMB_handle yw_srio_areaHandle(const YW_ipc_kwt_srio_connection_t *conn, int i)
{
    if (i < 2)
        return conn->local_maps[i] ? conn->local_maps[i] : conn->local_smbs[i];
    return conn->remote_smbs[i - 2];
}

// True when an access to one of the areas faulted (one load while none did).
bool yw_srio_areasLost(const YW_ipc_kwt_srio_connection_t *conn)
{
    for (int i = 0; i < 4; i++) {
        SMB_handle h = yw_srio_areaHandle(conn, i);
        if (h && smb_check(h, 0) != 0)
            return true;
    }
    return false;
}

} // namespace

namespace {

// Lines of one kind of a channel come at most this often.
constexpr YW_int64_t YW_SRIO_LINE_GAP_NS = 1000000000LL;

YW_int64_t yw_srio_coarseNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return (YW_int64_t)t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Prints a line (its newline replaced) with the count of like lines not
// printed before it; lineLock held.
void yw_srio_printLine(YW_ipc_kwt_srio_line_gate_t &g, const char *text, YW_uint64_t notShown, YW_int64_t now)
{
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == '\n')
        n--;
    if (notShown)
        std::printf("%.*s (%" PRIu64 " like lines not shown before it)\n", (int)n, text, notShown);
    else
        std::printf("%.*s\n", (int)n, text);
    g.last = now;
    g.held = 0;
}

} // namespace

void yw_srio_line(YW_ipc_kwt_srio_connection_t *conn, int kind, const char *fmt, ...)
{
    if (kind < 0 || kind >= YW_SRIO_LINE_KINDS)
        return;
    char text[sizeof(YW_ipc_kwt_srio_line_gate_t::text)];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    const YW_int64_t now = yw_srio_coarseNs();
    std::lock_guard<std::mutex> g(conn->lineLock);
    YW_ipc_kwt_srio_line_gate_t &l = conn->lines[kind];
    if (l.last != 0 && now - l.last < YW_SRIO_LINE_GAP_NS) {
        l.held++;
        std::memcpy(l.text, text, sizeof text);
        return;
    }
    yw_srio_printLine(l, text, l.held, now);
}

void yw_srio_flushLines(YW_ipc_kwt_srio_connection_t *conn, bool all)
{
    const YW_int64_t now = yw_srio_coarseNs();
    std::lock_guard<std::mutex> g(conn->lineLock);
    for (YW_ipc_kwt_srio_line_gate_t &l : conn->lines)
        if (l.held > 0 && (all || now - l.last >= YW_SRIO_LINE_GAP_NS))
            yw_srio_printLine(l, l.text, l.held - 1, now);
}

// After an access: a fault on an area takes the link down; true then.
bool yw_srio_faultAfter(YW_ipc_kwt_srio_connection_t *conn, const char *func, int line)
{
    if (!yw_srio_areasLost(conn))
        return false;
    YW_ipc_kwt_srio_linkFault(conn, func, line, SMB__AREA_LOST);
    return true;
}

namespace {

// Data transfer from the local to the remote data area, and an 8-byte
// control-word transfer between the control areas.
ZV_status_t yw_srio_setupTransfer(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t frameSize)
{
    YW_uint64_t n = frameSize > 0 ? (YW_uint64_t)frameSize : 0;
    if (n > conn->data_size)
        n = conn->data_size;
    ZV_status_t r = dx_create(conn->local_smbs[0], conn->remote_smbs[0], nullptr, 0, 0, 0, 0, &conn->templates[0]);
    if (r == 0)
        r = dx_copy(conn->templates[0], 0, 0, n, 0, 0, 0, &conn->transfers[0]);
    if (r == 0)
        r = dx_create(conn->local_smbs[1], conn->remote_smbs[1], nullptr, 0, 0, 0, 0, &conn->templates[1]);
    if (r == 0)
        r = dx_copy(conn->templates[1], 0, 0, 8, 0, 0, 0, &conn->transfers[1]);
    if (r != 0)
        yw_srio_releaseTransfers(conn);
    return r;
}

// A ring after a new handshake. The receive ring starts empty. The transmit
// ring gives back the room of messages already transferred (their
// acknowledgements will not come) and keeps the messages still queued for
// the transmit task: they were taken as sent and go after the handshake.
// Sends are serialised with this (ringLock), so pieces are queued in the order
// they were allocated and the queued ones are the newest.
void yw_srio_ringReset(YW_ipc_buffer_t *b, bool keepQueued, bool keepAll = false)
{
    if (!b->lock)
        return;
    YW_ipc_buffer_guard g(b);
    b->last_inp = b->last_size = 0;
    b->last_wrap = 0;
    if (keepAll)
        return; // everything allocated stays: it is sent (again) later
    YW_ipc_fifo_t *f = b->fifo;
    const YW_ipc_buffer_descriptor_t *first = f && f->list ? YW_ipc_fifo_peek(f) : nullptr;
    if (keepQueued && first && first->offset < b->size) {
        // Allocated from the oldest queued piece on; full when inp stands there.
        b->outp = (YW_int64_t)first->offset;
        b->wrap = b->inp <= b->outp ? 1 : 0;
        return;
    }
    b->inp = b->outp = 0;
    b->wrap = 0;
    if (f && f->list) {
        f->push = f->pop = 0;
        std::memset(f->list, 0, f->count * sizeof(YW_ipc_buffer_descriptor_t));
    }
}

} // namespace

// Filled entries of a ring's FIFO (queued, not yet taken off).
YW_uint64_t yw_srio_queued(YW_ipc_buffer_t *b)
{
    if (!b->lock || !b->fifo || !b->fifo->list)
        return 0;
    YW_ipc_buffer_guard g(b);
    const YW_ipc_fifo_t &f = *b->fifo;
    YW_uint64_t n = 0;
    for (YW_uint64_t i = 0, k = (YW_uint64_t)f.pop; i < f.count; i++, k = (k + 1) % f.count) {
        if (!YW_IPC_BD_IS_FILLED(f.list[k].length))
            break;
        n++;
    }
    return n;
}

YW_pos_t yw_srio_pushFifo(YW_ipc_buffer_t *b, YW_uint64_t *hdrs, YW_uint64_t off, YW_uint64_t size, YW_uint64_t hdr)
{
    if (!b->lock || !b->fifo)
        return YW_ERR_FIFO_NULL;
    YW_ipc_buffer_guard g(b);
    const YW_pos_t next = YW_ipc_fifo_push(b->fifo, off, size | YW_IPC_BD_FILLED_FLAG);
    if (next >= 0 && hdrs)
        hdrs[yw_srio_fifoSlot(*b->fifo, next)] = hdr;
    return next;
}

YW_ret_t yw_srio_peekFifo(YW_ipc_buffer_t *b, const YW_uint64_t *hdrs, YW_pos_t *off, YW_size_t *len,
                          YW_uint64_t *hdr)
{
    if (!b->lock || !b->fifo)
        return YW_ERR_FIFO_NULL;
    YW_ipc_buffer_guard g(b);
    const YW_ipc_buffer_descriptor_t *bd = YW_ipc_fifo_peek(b->fifo);
    if (!bd)
        return YW_ERR_FIFO_EMPTY;
    *off = (YW_pos_t)bd->offset;
    *len = (YW_size_t)YW_IPC_BD_LENGTH(bd->length);
    *hdr = hdrs ? hdrs[b->fifo->pop] : 0;
    return YW_SUCCESS;
}

YW_pos_t yw_srio_popFifo(YW_ipc_buffer_t *b, const YW_uint64_t *hdrs, YW_pos_t *off, YW_size_t *len,
                         YW_uint64_t *hdr)
{
    if (!b->lock || !b->fifo)
        return YW_ERR_FIFO_NULL;
    YW_ipc_buffer_guard g(b);
    const YW_pos_t slot = b->fifo->pop;
    YW_ipc_buffer_descriptor_t bd{};
    const YW_pos_t r = YW_ipc_fifo_pop(b->fifo, INT64_MAX, &bd);
    if (r < 0)
        return r;
    *off = (YW_pos_t)bd.offset;
    *len = (YW_size_t)YW_IPC_BD_LENGTH(bd.length);
    *hdr = hdrs ? hdrs[slot] : 0;
    return r;
}

YW_uint64_t yw_srio_recordOf(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t offset, YW_uint64_t size)
{
    if (!yw_srio_has(conn->ipc, YW_IPC_FLAGS_FRAMED) || !conn->buffer || !yw_srio_descriptorOk(conn, offset, size))
        return 0;
    YW_uint32_t seq = 0, flen = 0;
    YW_ipc_frame_getHeader(conn->buffer + offset, &seq, &flen);
    return yw_srio_hdr(seq, flen);
}

namespace {

void yw_srio_countLost(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t n)
{
    if (n == 0)
        return;
    yw_srio_count(conn, &YW_ipc_status_t::lost, (YW_int64_t)n);
    yw_srio_line(conn, YW_SRIO_LINE_LOST, "%s:%d ipc %s %" PRIu64 " sent messages lost with area %s (%" PRIu64 " so far)\n",
                 __func__, __LINE__, conn->ipc->cfg->name, n, conn->names[0], (YW_uint64_t)YW_stat_get(conn->ipc->status.lost));
}

// Sender (flow-controlled), ringLock and BUSY held: what the ring holds and
// was never acknowledged is kept to be sent again, in order, ahead of what an
// earlier link kept and has not sent again yet. The acknowledged slots ahead
// of it are collected first (acknowledgements come in order).
void yw_srio_retain(YW_ipc_kwt_srio_connection_t *conn)
{
    // (Whose data went with the area: nothing to send again; the handshake
    // decides on them, yw_srio_settleStale.)
    if (!conn->sent || conn->sentStale)
        return;
    const YW_uint64_t n = conn->descriptors_size;
    // (descriptor, header record) of each message kept
    std::vector<std::pair<YW_uint64_t, YW_uint64_t>> keep;
    YW_int64_t pop = conn->pop.load();
    for (YW_uint64_t i = 0; i < n; i++) {
        const YW_uint64_t d = conn->sent[pop];
        if (d == 0)
            break;
        const YW_uint64_t w = yw_srio_word(conn, pop).load(std::memory_order_acquire);
        if (keep.empty() && w == (d & ~YW_IPC_KWT_SRIO_BD_BUSY))
            YW_ipc_buffer_free(&conn->txring, (YW_pos_t)YW_IPC_KWT_SRIO_BD_OFFSET(d), (YW_size_t)YW_IPC_KWT_SRIO_BD_SIZE(d));
        else
            keep.emplace_back(d, conn->sentHdr ? conn->sentHdr[pop] : 0);
        conn->sent[pop] = 0;
        if (conn->sentHdr)
            conn->sentHdr[pop] = 0;
        pop = yw_srio_next(conn, pop);
    }
    if (keep.empty())
        return;
    const size_t fresh = keep.size();
    for (YW_uint64_t i = 0; i < conn->againCount; i++) {
        const YW_uint64_t k = (conn->againHead + i) % n;
        keep.emplace_back(conn->again[k], conn->againHdr ? conn->againHdr[k] : 0);
    }
    // Never more than the ring (what was sent again left this list); were
    // it more, the newest would be counted, not dropped unsaid.
    YW_uint64_t k = keep.size() < n ? keep.size() : n;
    for (YW_uint64_t i = 0; i < k; i++) {
        conn->again[i] = keep[i].first;
        if (conn->againHdr)
            conn->againHdr[i] = keep[i].second;
    }
    conn->againHead = 0;
    conn->againCount = k;
    yw_srio_countLost(conn, keep.size() - k);
    conn->keptTotal += fresh;
    yw_srio_line(conn, YW_SRIO_LINE_AGAIN,
                 "%s:%d ipc %s %zu messages not acknowledged on the last link are sent again (%" PRIu64 " so far)\n",
                 __func__, __LINE__, conn->ipc->cfg->name, fresh, conn->keptTotal);
}

} // namespace

void yw_srio_settleStale(YW_ipc_kwt_srio_connection_t *conn)
{
    if (!conn->sentStale)
        return;
    conn->sentStale = false;
    const YW_uint64_t n = conn->descriptors_size;
    // The header records of the frames in doubt (0: unnumbered): sent and
    // not seen acknowledged, then those kept to be sent again.
    std::vector<YW_uint64_t> doubt;
    for (YW_uint64_t i = 0; conn->sent && i < n; i++) {
        const YW_uint64_t d = conn->sent[i];
        if (d && yw_srio_word(conn, (YW_int64_t)i).load(std::memory_order_acquire) != (d & ~YW_IPC_KWT_SRIO_BD_BUSY))
            doubt.push_back(conn->sentHdr ? conn->sentHdr[i] : 0);
        conn->sent[i] = 0;
        if (conn->sentHdr)
            conn->sentHdr[i] = 0;
    }
    for (YW_uint64_t k = 0; conn->doubtHdr && k < conn->doubtCount; k++)
        doubt.push_back(conn->doubtHdr[k]);
    conn->doubtCount = 0;
    // The number the receive end expects next: frames before it were
    // finished there, frames from it on never will be. It is used only when
    // it lies between the oldest frame in doubt (everything before that was
    // acknowledged) and the next number this end gives (nothing after that
    // was sent).
    const YW_uint64_t word = yw_srio_word(conn, YW_IPC_KWT_SRIO_DUE_WORD(n)).load(std::memory_order_acquire);
    const YW_uint32_t due = (YW_uint32_t)word;
    bool numbered = false;
    YW_uint32_t oldest = 0;
    for (YW_uint64_t h : doubt) {
        if (h && (!numbered || (YW_int32_t)(yw_srio_hdrSeq(h) - oldest) < 0))
            oldest = yw_srio_hdrSeq(h);
        numbered = numbered || h;
    }
    const bool given = YW_IPC_KWT_SRIO_SEQ_ok(word) && numbered && (YW_int32_t)(due - oldest) >= 0 &&
                       (YW_int32_t)(conn->ipc->tx.seqno - due) >= 0;
    YW_uint64_t lost = 0;
    for (YW_uint64_t h : doubt)
        lost += !h || !given || (YW_int32_t)(yw_srio_hdrSeq(h) - due) >= 0 ? 1 : 0;
    yw_srio_countLost(conn, lost);
}

// Descriptor ring and channel rings empty again (indexes 0). A sender keeps
// across a handshake what it queued and what was never acknowledged; across
// a new set-up only while its own data area (where those messages lie) kept
// them. ringLock and BUSY held.
void yw_srio_resetRings(YW_ipc_kwt_srio_connection_t *conn, bool keepQueued)
{
    if (keepQueued)
        yw_srio_retain(conn);
    for (YW_uint64_t i = 0; i < conn->descriptors_size; i++) {
        yw_srio_word(conn, (YW_int64_t)i).store(0, std::memory_order_release);
        if (conn->sent && !conn->sentStale)
            conn->sent[i] = 0;
        if (conn->sentHdr && !conn->sentStale)
            conn->sentHdr[i] = 0;
        if (conn->took)
            conn->took[i] = 0;
    }
    if (!keepQueued)
        conn->againHead = conn->againCount = 0;
    conn->push.store(0);
    conn->pop.store(0);
    conn->unacked = 0;
    conn->ackSince = 0;
    yw_srio_endDuplicates(conn);
    conn->epoch.fetch_add(1);
    yw_srio_ringReset(&conn->txring, keepQueued, keepQueued && conn->sent);
    yw_srio_ringReset(&conn->rxring, false);
}

namespace {

// Gives the channel's rings the mapped local data area as storage (null: the
// area is gone and nothing may be written into or read from them).
void yw_srio_attachRings(YW_ipc_kwt_srio_connection_t *conn, YW_uint8_t *data)
{
    for (YW_ipc_buffer_t *b : {&conn->txring, &conn->rxring}) {
        if (!b->lock)
            continue;
        YW_ipc_buffer_guard g(b);
        b->data = data;
        if (data && b->size > conn->data_size)
            b->size = conn->data_size;
    }
}

// A receive end announces itself (at every set-up) by a SYNC in its mailbox
// word: a sender that was linked to an earlier run of it syncs again. A SYNC
// left in its own copy by a handshake that never ended is cleared first.
void yw_srio_askSync(YW_ipc_kwt_srio_connection_t *conn)
{
    yw_srio_word(conn, conn->remote_mbox).store(0, std::memory_order_release);
    YW_ipc_kwt_srio_write_u64(conn, conn->local_mbox, YW_IPC_KWT_SRIO_MSG_SYNC);
}

void yw_srio_link(YW_ipc_kwt_srio_connection_t *a, YW_ipc_kwt_srio_connection_t *b)
{
    YW_ipc_kwt_srio_busy hold(b, -1);
    for (int i = 0; i < 2; i++) {
        a->remote_smbs[i] = b->local_smbs[i];
        b->remote_smbs[i] = a->local_smbs[i];
    }
    a->remote_access = b->local_access;
    b->remote_access = a->local_access;
    for (int i = 0; i < 2; i++) {
        std::memcpy(a->names[2 + i], b->names[i], sizeof a->names[i]);
        std::memcpy(b->names[2 + i], a->names[i], sizeof b->names[i]);
    }
    a->partner = b;
    b->partner = a;
    YW_ipc_kwt_srio_connection_t *tx = yw_srio_isTx(a->ipc) ? a : b;
    yw_srio_releaseTransfers(tx);
    ZV_status_t r = yw_srio_setupTransfer(tx, yw_srio_side(tx->ipc).frame_size);
    if (r != 0)
        std::printf("%s:%d transfer set-up fail 0x%x\n", __func__, __LINE__, (unsigned)r);
}

// Forgets the partner's areas on both sides; the partner handshakes again
// with whatever links to it next.
void yw_srio_unlink(YW_ipc_kwt_srio_connection_t *conn)
{
    YW_ipc_kwt_srio_connection_t *p = conn->partner;
    if (!p)
        return;
    YW_ipc_kwt_srio_busy hold(p, -1);
    if (yw_srio_isTx(p->ipc))
        yw_srio_releaseTransfers(p);
    p->remote_access = nullptr;
    for (int i = 0; i < 3; i++)
        p->remote_smbs[i] = nullptr;
    p->partner = nullptr;
    p->synced.store(0);
}

// The first connection (table order) towards ceid and port on the given side
// for which ok() holds; ok() runs under the table lock, while the
// connection cannot be freed.
template <typename F> YW_ipc_kwt_srio_connection_t *yw_srio_find(int ceid, int port, int istx, F ok)
{
    for (int i = 0; i < YW_IPC_MAX; i++) {
        yw_ipc_table_guard g;
        YW_ipc_t *o = &YW_g_ipc[i];
        void *priv = YW_ipc_getPriv(o);
        if (!o->cfg || !priv || o->oprs.send != YW_ipc_kwt_srio_send)
            continue;
        auto *conn = static_cast<YW_ipc_kwt_srio_connection_t *>(priv);
        if (conn->ipc == o && o->cfg->address.remote.srio.ceid == ceid && o->cfg->address.remote.srio.port == port &&
            yw_srio_isTx(o) == (istx != 0) && ok(conn))
            return conn;
    }
    return nullptr;
}

ZV_status_t yw_srio_setupLocal(YW_ipc_kwt_srio_connection_t *conn, YW_ipc_t *ipc)
{
    const YW_ipc_cfg_t *c = ipc->cfg;
    const bool tx = yw_srio_isTx(ipc);
    int ceid = (int)(YW_int32_t)ce_getid();
    yw_srio_areaName(conn->names[0], c->address.local.srio.port, 0, ceid, tx);
    ZV_status_t r = yw_srio_localArea(conn, conn->names[0], YW_SRIO_DATA_FLAGS, conn->data_size, &conn->local_smbs[0],
                                      &conn->local_maps[0], reinterpret_cast<void **>(&conn->buffer), &conn->dataLost);
    if (r == 0) {
        yw_srio_areaName(conn->names[1], c->address.local.srio.port, 1, ceid, tx);
        r = yw_srio_localArea(conn, conn->names[1], YW_SRIO_CTRL_FLAGS, conn->ctrl_size, &conn->local_smbs[1],
                              &conn->local_maps[1], reinterpret_cast<void **>(&conn->descriptors));
    }
    if (r == 0)
        r = smb_access_setup(&conn->local_smbs[1], sizeof(SMB_handle), &conn->local_access, nullptr);
    if (r != 0)
        return r;
    // The partner is judged under the table lock: one found READY stays until
    // this set-up lets go of the partner lock (its release waits for that),
    // one not READY may be freed at once and is not touched.
    YW_ipc_kwt_srio_connection_t *p = yw_srio_find(ceid, c->address.local.srio.port, !tx, [conn](auto *x) {
        return x != conn && !x->partner && (x->status.load() & YW_IPC_KWT_SRIO_READY);
    });
    if (p) {
        yw_srio_link(conn, p);
        YW_ipc_kwt_srio_connection_tryConnect(p->ipc);
    }
    return 0;
}

ZV_status_t yw_srio_setupRemote(YW_ipc_kwt_srio_connection_t *conn, YW_ipc_t *ipc)
{
    const YW_ipc_cfg_t *c = ipc->cfg;
    const bool tx = yw_srio_isTx(ipc);
    int ceid = (int)(YW_int32_t)ce_getid();
    const YW_ipc_srio_address_t &rem = c->address.remote.srio;
    const YW_ipc_srio_address_t &loc = c->address.local.srio;
    // The own areas first: each end makes its own again when they are
    // unusable, and then the peer's can come right.
    yw_srio_areaName(conn->names[0], loc.port, 0, ceid, tx);
    ZV_status_t r = yw_srio_localArea(conn, conn->names[0], YW_SRIO_DATA_FLAGS, conn->data_size, &conn->local_smbs[0],
                                      &conn->local_maps[0], reinterpret_cast<void **>(&conn->buffer), &conn->dataLost);
    if (r == 0) {
        yw_srio_areaName(conn->names[1], loc.port, 1, ceid, tx);
        r = yw_srio_localArea(conn, conn->names[1], YW_SRIO_CTRL_FLAGS, conn->ctrl_size, &conn->local_smbs[1],
                              &conn->local_maps[1], reinterpret_cast<void **>(&conn->descriptors));
    }
    // The peer's areas: a transmit end's remote areas are the receive end's
    // local ones and the reverse.
    if (r == 0) {
        yw_srio_areaName(conn->names[2], rem.port, 0, rem.ceid, !tx);
        r = yw_srio_createOrAttach(conn->names[2], YW_SRIO_DATA_FLAGS, conn->data_size, (CEID)rem.ceid,
                                   &conn->remote_smbs[0]);
    }
    if (r == 0) {
        yw_srio_areaName(conn->names[3], rem.port, 1, rem.ceid, !tx);
        r = yw_srio_createOrAttach(conn->names[3], YW_SRIO_CTRL_FLAGS, conn->ctrl_size, (CEID)rem.ceid,
                                   &conn->remote_smbs[1]);
    }
    if (r == 0)
        r = smb_access_setup(&conn->local_smbs[1], sizeof(SMB_handle), &conn->local_access, nullptr);
    if (r == 0)
        r = smb_access_setup(&conn->remote_smbs[1], sizeof(SMB_handle), &conn->remote_access, nullptr);
    if (r == 0 && tx)
        r = yw_srio_setupTransfer(conn, yw_srio_side(ipc).frame_size);
    return r;
}


// Messages that arrived before the receive side was opened were announced
// to nobody: the opener is told of each now.
void yw_srio_announceQueued(YW_ipc_t *ipc, YW_ipc_kwt_srio_connection_t *conn)
{
    YW_uint64_t queued = 0;
    {
        YW_ipc_buffer_guard g(&conn->rxring);
        const YW_ipc_fifo_t &f = conn->rxfifo;
        for (YW_uint64_t i = 0, k = (YW_uint64_t)f.pop; i < f.count; i++, k = (k + 1) % f.count) {
            if (!YW_IPC_BD_IS_FILLED(f.list[k].length))
                break;
            queued++;
        }
    }
    for (YW_uint64_t i = 0; i < queued; i++)
        YW_ipc_postSide(ipc, YW_IPC_FLAGS_RX, ipc->ipc_id | YW_IPC_EVENT_RX_READY);
}

YW_ret_t yw_srio_open(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    YW_ret_t r = YW_ipc_open_sides(ipc, mode);
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (r == YW_SUCCESS && (mode & YW_IPC_FLAGS_RX) && conn && conn->hasRxRing)
        yw_srio_announceQueued(ipc, conn);
    return r;
}

YW_ret_t yw_srio_close(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    return YW_ipc_close_sides(ipc, mode);
}

YW_ret_t yw_srio_onStatusChange(YW_ipc_t *ipc)
{
    if (!ipc)
        return YW_ERR_ENTITY_NULL;
    int st = YW_ipc_state_get(ipc);
    if ((st & YW_IPC_STATE_ASSIGNED) && !(st & (YW_IPC_STATE_TX_UP | YW_IPC_STATE_RX_UP)))
        YW_ipc_kwt_srio_setup(ipc);
    return YW_SUCCESS;
}

YW_ret_t yw_srio_onEvent(YW_ipc_t *ipc)
{
    (void)ipc;
    return YW_ERR_NOT_PROCESSED;
}

void yw_srio_fillOps(YW_ipc_t *ipc)
{
    YW_ipc_operations_t &o = ipc->oprs;
    std::memset(&o, 0, sizeof(o));
    o.open = yw_srio_open;
    o.close = yw_srio_close;
    o.send = YW_ipc_kwt_srio_send;
    o.recv = YW_ipc_kwt_srio_recv;
    o.wait = nullptr;
    o.setup = YW_ipc_kwt_srio_setup;
    o.release = YW_ipc_kwt_srio_release;
    o.connect = YW_ipc_kwt_srio_setup;
    o.disconn = YW_ipc_kwt_srio_release;
    o.onStatusChange = yw_srio_onStatusChange;
    o.control = YW_ipc_control_default;
    o.onEvent = yw_srio_onEvent;
}

bool yw_srio_initRing(YW_ipc_buffer_t *b, YW_ipc_fifo_t *f, YW_uint64_t count, YW_uint64_t size, void *owner)
{
    f->refCount = -1;
    if (!YW_ipc_fifo_init(f, nullptr, count))
        return false;
    b->refCount = -1;
    if (!YW_ipc_buffer_init(b, nullptr, size, owner)) {
        YW_free(f->list);
        f->list = nullptr;
        return false;
    }
    YW_ipc_buffer_setfifo(b, f);
    return true;
}

void yw_srio_freeRing(YW_ipc_buffer_t *b, YW_ipc_fifo_t *f)
{
    if (b->lock)
        YW_ipc_buffer_release(b);
    if (f->list)
        YW_free(f->list);
    f->list = nullptr;
}

// n zeroed 64-bit words (null when there is no memory).
YW_uint64_t *yw_srio_words(YW_uint64_t n)
{
    auto *w = static_cast<YW_uint64_t *>(YW_malloc(n * sizeof(YW_uint64_t)));
    if (w)
        std::memset(w, 0, n * sizeof(YW_uint64_t));
    return w;
}

// Frees a connection with its rings and records.
void yw_srio_freeConn(YW_ipc_kwt_srio_connection_t *conn)
{
    if (conn->hasTxRing)
        yw_srio_freeRing(&conn->txring, &conn->txfifo);
    if (conn->hasRxRing)
        yw_srio_freeRing(&conn->rxring, &conn->rxfifo);
    for (YW_uint64_t *w : {conn->sent, conn->again, conn->took, conn->queuedHdr, conn->txHdr, conn->sentHdr,
                           conn->againHdr, conn->doubtHdr})
        if (w)
            YW_free(w);
    conn->~YW_ipc_kwt_srio_connection_t();
    YW_free(conn);
}

// Lists a buffered receive side with the receive task (once); one the task
// cannot poll, its list being full, is refused.
YW_ret_t yw_srio_listRx(YW_ipc_t *ipc, const char *func)
{
    YW_ret_t r = YW_ipc_kwt_srio_task_addRxIpc(ipc);
    if (r != YW_SUCCESS)
        std::printf("%s:%d ipc %s refused: the receive task polls %d channels already\n", func, __LINE__,
                    ipc->cfg->name, (int)YW_IPC_KWT_SRIO_MAX);
    return r;
}

} // namespace

int yw_srio_giveFirstFrame(YW_ipc_kwt_srio_connection_t *conn)
{
    YW_ipc_t *ipc = conn->ipc;
    if (!yw_srio_has(ipc, YW_IPC_FLAGS_FRAMED) || !yw_srio_isTx(ipc))
        return YW_SUCCESS;
    // Sent again first, then what is queued, then what is sent next: the
    // number from the sender's own record, never read from its data area.
    YW_uint64_t h = 0;
    if (conn->againCount > 0) {
        h = conn->againHdr ? conn->againHdr[conn->againHead] : 0;
    } else {
        YW_pos_t o = 0;
        YW_size_t l = 0;
        yw_srio_peekFifo(&conn->txring, conn->txHdr, &o, &l, &h);
    }
    const YW_uint32_t first = h ? yw_srio_hdrSeq(h) : ipc->tx.seqno;
    return YW_ipc_kwt_srio_write_u64(conn, YW_IPC_KWT_SRIO_SEQ_WORD(conn->descriptors_size),
                                     YW_IPC_KWT_SRIO_SEQ_make(first));
}

YW_ipc_kwt_srio_busy::YW_ipc_kwt_srio_busy(YW_ipc_kwt_srio_connection_t *c, long spins) : m_conn(c), m_held(false)
{
    if (!c)
        return;
    // Ring operations are short; a holder is waited for with yields, and
    // with a negative spin count until it lets go.
    for (long i = 0; spins < 0 || i < spins; i++) {
        int s = c->status.load(std::memory_order_relaxed);
        if (!(s & YW_IPC_KWT_SRIO_BUSY) &&
            c->status.compare_exchange_weak(s, s | YW_IPC_KWT_SRIO_BUSY, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            m_held = true;
            return;
        }
        if (i > 64)
            std::this_thread::yield();
    }
}

YW_ipc_kwt_srio_busy::~YW_ipc_kwt_srio_busy()
{
    if (m_held)
        m_conn->status.fetch_and(~YW_IPC_KWT_SRIO_BUSY, std::memory_order_release);
}

extern "C" {

YW_ret_t YW_ipc_kwt_srio_create(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    const YW_ipc_cfg_t *c = ipc->cfg;
    const YW_ipc_side_cfg_t &s = yw_srio_side(ipc);
    const bool tx = yw_srio_isTx(ipc);
    if (s.max_descriptors == 0 || s.max_descriptors > YW_SRIO_MAX_DESCRIPTORS || s.frame_size < 0 ||
        s.frame_size >= YW_SRIO_MAX_FRAME || s.buffer_size < 1 || s.buffer_size > YW_SRIO_MAX_BUFFER) {
        std::printf("%s:%d ipc %s refused: descriptors %" PRIu64 " (1 to %" PRIu64 "), frame size %" PRId64
                    " (below %" PRId64 "), buffer size %" PRId64 " (1 to %" PRId64 ")\n",
                    __func__, __LINE__, c->name, s.max_descriptors, YW_SRIO_MAX_DESCRIPTORS, s.frame_size,
                    YW_SRIO_MAX_FRAME, s.buffer_size, YW_SRIO_MAX_BUFFER);
        return YW_ERR_INVD_ARGS;
    }
    // The identity names the own areas with its low 32 bits, as a signed
    // number: one that is not a number, or does not fit, would name those of
    // another compute element.
    char raw[48];
    const ZV_status_t idOk = ce_getid_raw(raw, sizeof raw);
    if (idOk != 0 || ce_getid() > (CEID)INT32_MAX) {
        for (char *p = raw; *p; p++)
            if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E)
                *p = '?';
        std::printf("%s:%d ipc %s refused: ZV_ceid \"%s\" is not a compute element number (0 to %d)\n", __func__,
                    __LINE__, c->name, raw, (int)INT32_MAX);
        return YW_ERR_CFG_INCONSISTENT;
    }
    // The own areas are named after the platform's identity and the peer
    // finds them by the configured one: were they to differ, this end would
    // use the areas of another compute element (a running one's peer).
    const int own = (int)(YW_int32_t)ce_getid();
    if (c->address.local.srio.ceid != own) {
        std::printf("%s:%d ipc %s refused: configured for compute element %d, but this node is compute element %d "
                    "(ZV_ceid)\n",
                    __func__, __LINE__, c->name, c->address.local.srio.ceid, own);
        return YW_ERR_CFG_INCONSISTENT;
    }
    void *mem = YW_malloc(sizeof(YW_ipc_kwt_srio_connection_t));
    if (!mem)
        return YW_ERR_ENTITY_NULL;
    auto *conn = new (mem) YW_ipc_kwt_srio_connection_t();
    conn->ipc = ipc;
    conn->descriptors_size = s.max_descriptors;
    conn->pollingtime = YW_IPC_KWT_SRIO_POLLING_NS;
    bool ok = true;
    if (tx) {
        ok = yw_srio_initRing(&conn->txring, &conn->txfifo, c->tx.max_descriptors ? c->tx.max_descriptors : 1,
                              (YW_uint64_t)(c->tx.buffer_size > 0 ? c->tx.buffer_size : s.buffer_size), conn);
        conn->hasTxRing = ok;
        const bool framed = yw_srio_has(ipc, YW_IPC_FLAGS_FRAMED);
        if (ok && framed)
            ok = (conn->txHdr = yw_srio_words(conn->txfifo.count)) != nullptr;
        if (ok && yw_srio_has(ipc, YW_IPC_FLAGS_FLOWCTRL)) {
            conn->sent = yw_srio_words(s.max_descriptors);
            conn->again = yw_srio_words(s.max_descriptors);
            ok = conn->sent && conn->again;
            if (ok && framed) {
                conn->sentHdr = yw_srio_words(s.max_descriptors);
                conn->againHdr = yw_srio_words(s.max_descriptors);
                conn->doubtHdr = yw_srio_words(s.max_descriptors);
                ok = conn->sentHdr && conn->againHdr && conn->doubtHdr;
            }
        }
    } else if (!yw_srio_has(ipc, YW_IPC_FLAGS_DIRECT)) {
        ok = yw_srio_initRing(&conn->rxring, &conn->rxfifo, s.max_descriptors, (YW_uint64_t)s.buffer_size, conn);
        conn->hasRxRing = ok;
        if (ok)
            ok = (conn->queuedHdr = yw_srio_words(s.max_descriptors)) != nullptr;
    }
    if (ok && !tx && yw_srio_has(ipc, YW_IPC_FLAGS_FLOWCTRL))
        ok = (conn->took = yw_srio_words(s.max_descriptors)) != nullptr;
    // A buffered receive side takes its place in the receive task's list now:
    // one the task cannot poll is not made at all.
    YW_ret_t r = !ok ? YW_ERR_MALLOC : conn->hasRxRing ? yw_srio_listRx(ipc, __func__) : YW_SUCCESS;
    if (r != YW_SUCCESS) {
        yw_srio_freeConn(conn);
        return r;
    }
    ipc->tx.buffer = conn->hasTxRing ? &conn->txring : nullptr;
    ipc->rx.buffer = conn->hasRxRing ? &conn->rxring : nullptr;
    yw_srio_fillOps(ipc);
    {
        // published whole: a partner's search reads the operations too
        yw_ipc_table_guard g;
        YW_ipc_setPriv(ipc, conn);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_delete(YW_ipc_t *ipc)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    // The connection goes first: nothing polls or maps it afterwards.
    YW_ipc_kwt_srio_release(ipc);
    ipc->tx.buffer = nullptr;
    ipc->rx.buffer = nullptr;
    {
        yw_ipc_table_guard g;
        YW_ipc_setPriv(ipc, nullptr);
    }
    yw_srio_freeConn(conn);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_setup(YW_ipc_t *ipc)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    // Listed before anything is mapped: a receive side the task cannot poll
    // (its place given away since a release) is not set up.
    if (conn->hasRxRing) {
        if (YW_ret_t a = yw_srio_listRx(ipc, __func__))
            return a;
    }
    conn->released.store(false);
    int r = YW_ipc_kwt_srio_setup_connection(conn, ipc);
    // Without the peer's areas yet (or with a set-up that failed) the retry
    // thread sets up and handshakes later.
    YW_ipc_kwt_srio_connection_tryConnect(ipc);
    if (r < 0) {
        std::printf("%s:%d ipc %s set-up fail %d: retried\n", __func__, __LINE__, ipc->cfg->name, (int)r);
        return YW_ERR_IPC_KWT_SRIO_SETUP_FAIL;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_kwt_srio_release(YW_ipc_t *ipc)
{
    auto *conn = YW_ipc_kwt_srio_conn(ipc);
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_kwt_srio_stopClient(conn);
    if (conn->hasRxRing)
        YW_ipc_kwt_srio_task_delRxIpc(ipc);
    YW_ipc_kwt_srio_task_quiesce(ipc);
    YW_ipc_KWT_SRIO_release_connection(conn);
    // Also when the link never came up (nothing above printed them).
    yw_srio_flushLines(conn, true);
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_UP | YW_IPC_STATE_RX_UP | YW_IPC_STATE_WAIT_UP);
    return YW_SUCCESS;
}

YW_ipc_kwt_srio_connection_t *YW_ipc_kwt_srio_search(int ceid, int port, int istx)
{
    return yw_srio_find(ceid, port, istx, [](YW_ipc_kwt_srio_connection_t *) { return true; });
}

int YW_ipc_kwt_srio_setup_connection(YW_ipc_kwt_srio_connection_t *conn, YW_ipc_t *ipc)
{
    if (!conn || !ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    // Set-ups and releases take the ring lock, the partner lock, then BUSY.
    YW_shared_lock<std::mutex> rings(conn->ringLock);
    std::lock_guard<std::mutex> g(yw_s_srio_local);
    YW_ipc_kwt_srio_busy hold(conn, -1);
    if (conn->status.load() & YW_IPC_KWT_SRIO_READY)
        return YW_SUCCESS;
    const YW_ipc_side_cfg_t &s = yw_srio_side(ipc);
    const bool tx = yw_srio_isTx(ipc);
    // (push and pop are set with the ring below: a sender set up again
    // first looks at what its ring still holds from them.)
    conn->descriptors_size = s.max_descriptors;
    conn->local_mbox = (YW_int64_t)conn->descriptors_size + (tx ? 1 : 2);
    conn->remote_mbox = (YW_int64_t)conn->descriptors_size + (tx ? 2 : 1);
    conn->pollingtime = YW_IPC_KWT_SRIO_POLLING_NS;
    conn->data_size = yw_srio_pageRound((YW_uint64_t)s.buffer_size);
    conn->ctrl_size = yw_srio_pageRound((conn->descriptors_size + 4) * 8);
    conn->synced.store(0);
    conn->faulted.store(0);
    conn->resyncing = false;
    ZV_status_t r = yw_srio_has(ipc, YW_IPC_FLAGS_LOCAL) ? yw_srio_setupLocal(conn, ipc) : yw_srio_setupRemote(conn, ipc);
    if (r != 0) {
        yw_srio_unlink(conn);
        yw_srio_closeAll(conn);
        conn->partner = nullptr;
        return yw_srio_code(r);
    }
    // A sender set up again keeps what it holds while its data area kept
    // the messages; otherwise it can send none of them again. Lost with the
    // area: what was queued and never transferred. What was transferred is
    // with the peer, or was: the next handshake tells which of it was
    // delivered (yw_srio_settleStale), also of what was kept to be sent
    // again after an earlier link (numbered frames; the others count lost).
    const bool keep = conn->wasSetUp && !conn->dataLost;
    if (conn->wasSetUp && !keep) {
        YW_uint64_t lost = yw_srio_queued(&conn->txring);
        for (YW_uint64_t i = 0; i < conn->againCount; i++) {
            const YW_uint64_t h = conn->againHdr ? conn->againHdr[(conn->againHead + i) % conn->descriptors_size] : 0;
            if (h && conn->doubtHdr && conn->doubtCount < conn->descriptors_size)
                conn->doubtHdr[conn->doubtCount++] = h;
            else
                lost++;
        }
        yw_srio_countLost(conn, lost);
        // Acknowledged already: delivered (the ring is emptied next).
        for (YW_uint64_t i = 0; conn->sent && i < conn->descriptors_size; i++)
            if (conn->sent[i] &&
                yw_srio_word(conn, (YW_int64_t)i).load() == (conn->sent[i] & ~YW_IPC_KWT_SRIO_BD_BUSY))
                conn->sent[i] = 0;
        conn->sentStale = conn->sent != nullptr;
    }
    yw_srio_resetRings(conn, keep);
    conn->heldBy = 0;
    conn->dataLost = false;
    conn->wasSetUp = true;
    yw_srio_attachRings(conn, conn->buffer);
    if (!tx)
        yw_srio_askSync(conn);
    conn->status.fetch_or(YW_IPC_KWT_SRIO_READY);
    if (conn->hasRxRing)
        YW_ipc_kwt_srio_ringRx(); // a linked channel for the receive task to poll
    return YW_SUCCESS;
}

int YW_ipc_KWT_SRIO_release_connection(YW_ipc_kwt_srio_connection_t *conn)
{
    if (!conn)
        return YW_ERR_ENTITY_NULL;
    YW_shared_lock<std::mutex> rings(conn->ringLock);
    if (!yw_srio_ready(conn))
        return YW_ERR_IPC_NOT_READY;
    std::lock_guard<std::mutex> g(yw_s_srio_local);
    YW_ipc_kwt_srio_busy hold(conn, -1);
    // The own data area cut short or replaced since the link went down (or
    // with it, unnoticed): what it held is gone too.
    const SMB_handle data = yw_srio_areaHandle(conn, 0);
    if (data && smb_check(data, SMB_CHECK_OBJECT) != 0)
        conn->dataLost = true;
    yw_srio_unlink(conn);
    yw_srio_attachRings(conn, nullptr);
    yw_srio_flushLines(conn, true); // held lines end with their link
    ZV_status_t r = yw_srio_closeAll(conn);
    conn->partner = nullptr;
    conn->synced.store(0);
    conn->status.store(YW_IPC_KWT_SRIO_BUSY); // the guard clears it
    return yw_srio_code(r);
}

void YW_ipc_kwt_srio_markPeer(YW_ipc_kwt_srio_connection_t *conn, int down)
{
    if (!conn || !conn->ipc || !conn->ipc->cfg || yw_srio_has(conn->ipc, YW_IPC_FLAGS_LOCAL))
        return;
    const int ceid = conn->ipc->cfg->address.remote.srio.ceid;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        yw_ipc_table_guard g; // the connection cannot be freed meanwhile
        YW_ipc_t *o = &YW_g_ipc[i];
        void *priv = YW_ipc_getPriv(o);
        if (!o->cfg || !priv || o->oprs.send != YW_ipc_kwt_srio_send || yw_srio_isTx(o) ||
            yw_srio_has(o, YW_IPC_FLAGS_LOCAL) || o->cfg->address.remote.srio.ceid != ceid)
            continue;
        auto *x = static_cast<YW_ipc_kwt_srio_connection_t *>(priv);
        if (x->ipc == o)
            x->peerDown.store(down);
    }
    if (!down)
        YW_ipc_kwt_srio_ringRx();
}

void YW_ipc_kwt_srio_resetLink(YW_ipc_kwt_srio_connection_t *conn)
{
    yw_srio_resetRings(conn, true);
}


// Looks at the areas' objects themselves (size, and whether their names
// still lead to them) about once a second: a cut that no access has met
// yet, or an area replaced, is a link fault too. BUSY or ringLock held.
void YW_ipc_kwt_srio_checkAreas(YW_ipc_kwt_srio_connection_t *conn)
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    const YW_int64_t now = (YW_int64_t)t.tv_sec * 1000000000LL + t.tv_nsec;
    YW_int64_t last = conn->lastCheck.load();
    if (now - last < 1000000000LL || !conn->lastCheck.compare_exchange_strong(last, now))
        return;
    yw_srio_flushLines(conn); // lines held back meanwhile
    // The handles are read under BUSY: an in-process partner going away
    // takes its areas from this connection under it.
    YW_ipc_kwt_srio_busy hold(conn);
    if (!hold.held() || !yw_srio_ready(conn) || conn->faulted.load())
        return;
    for (int i = 0; i < 4; i++) {
        SMB_handle h = yw_srio_areaHandle(conn, i);
        if (h && smb_check(h, SMB_CHECK_OBJECT) != 0) {
            YW_ipc_kwt_srio_linkFault(conn, __func__, __LINE__, SMB__AREA_LOST);
            return;
        }
    }
}

void YW_ipc_kwt_srio_linkFault(YW_ipc_kwt_srio_connection_t *conn, const char *func, int line, unsigned code)
{
    if (!conn || conn->faulted.exchange(1))
        return;
    conn->synced.store(0);
    yw_srio_count(conn, &YW_ipc_status_t::linkFaults);
    const char *name = conn->ipc && conn->ipc->cfg ? conn->ipc->cfg->name : "?";
    bool named = false;
    for (int i = 0; i < 4; i++) {
        SMB_handle h = yw_srio_areaHandle(conn, i);
        if (!h || smb_check(h, SMB_CHECK_OBJECT) == 0)
            continue;
        char what[192];
        yw_srio_describeArea(what, sizeof what, conn->names[i], i % 2 ? conn->ctrl_size : conn->data_size);
        yw_srio_line(conn, YW_SRIO_LINE_FAULT, "%s:%d ipc %s area %s (%s) lost: link down\n", func, line, name,
                     conn->names[i], what);
        if (i == 0)
            conn->dataLost = true;
        named = true;
    }
    if (!named)
        yw_srio_line(conn, YW_SRIO_LINE_FAULT, "%s:%d ipc %s fault 0x%x on areas %s %s %s %s: link down\n", func, line,
                     name, code,
                    conn->names[0], conn->names[1], conn->names[2], conn->names[3]);
}

int YW_ipc_kwt_srio_write_u64(YW_ipc_kwt_srio_connection_t *conn, YW_int64_t index, YW_uint64_t word)
{
    yw_srio_word(conn, index).store(word, std::memory_order_release);
    ZV_status_t r = smb_access_write_u64(conn->remote_access, 0, 0, (YW_uint64_t)index * 8, word);
    if (yw_srio_lostCode(r))
        YW_ipc_kwt_srio_linkFault(conn, __func__, __LINE__, r);
    return yw_srio_code(r);
}

int YW_ipc_kwt_srio_send_msg(YW_ipc_kwt_srio_connection_t *conn, YW_uint64_t word)
{
    const yw_srio_entry entry(conn);
    if (entry.rc() != YW_SUCCESS)
        return entry.rc();
    return YW_ipc_kwt_srio_write_u64(conn, conn->local_mbox, word);
}

YW_uint64_t YW_ipc_kwt_srio_poll_msg(YW_ipc_kwt_srio_connection_t *conn)
{
    // Read under BUSY: a link set up again (by the retry thread) unmaps the
    // control area between a look at READY and the read.
    const yw_srio_entry entry(conn);
    if (entry.rc() != YW_SUCCESS)
        return 0;
    return yw_srio_word(conn, conn->remote_mbox).load(std::memory_order_acquire);
}

YW_ret_t YW_ipc_kwt_srio_answer_sync(YW_ipc_kwt_srio_connection_t *conn)
{
    const yw_srio_entry entry(conn);
    if (entry.rc() != YW_SUCCESS)
        return entry.rc();
    yw_srio_takeMailbox(conn);
    return YW_SUCCESS;
}

} // extern "C"
