// Socket family, the part TCP and UDP channels share: building the sides,
// the channel's counted socket, direct and buffered sends, buffered receive,
// and what the receive task does for one channel.
//
// Wire rules kept here: a frame goes out whole (header, payload, trailer;
// never the ring's padding), with MSG_NOSIGNAL so a closed peer cannot kill
// the node; a frame length read from the wire is checked against the
// channel's frame size before it drives any copy.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "ipc/yw_ipc_inet.h"
#include "yw_mem.h"

namespace {

// Bounds of what a configuration may ask for.
constexpr YW_uint64_t YW_IPC_INET_MAX_DESCRIPTORS = 1u << 20;
constexpr YW_int64_t YW_IPC_INET_MAX_BUFFER = 1LL << 30;
constexpr YW_int64_t YW_IPC_INET_MAX_FRAME = 16LL << 20;
// Frames up to this size are copied whole into the transmit scratch and sent
// as one buffer (cheaper for the kernel than header, payload and trailer as
// three pieces); larger ones go out from the caller's data without a copy.
constexpr YW_int64_t YW_IPC_INET_FLAT_MAX = 4096;
// Keepalive of a TCP connection: probes after 5 s of silence, one a second,
// failed after 5 unanswered (a dead peer is known within about 10 s).
constexpr int YW_INET_KEEPIDLE_S = 5;
constexpr int YW_INET_KEEPINTVL_S = 1;
constexpr int YW_INET_KEEPCNT = 5;

std::atomic<YW_uint64_t> yw_s_inet_serial{1};

YW_ret_t yw_inet_buildSide(YW_ipc_inet_side_t &s, const YW_ipc_side_cfg_t &c, const char *name)
{
    if (c.max_descriptors == 0 || c.max_descriptors > YW_IPC_INET_MAX_DESCRIPTORS || c.buffer_size < 1 ||
        c.buffer_size > YW_IPC_INET_MAX_BUFFER) {
        std::printf("%s:%d ipc %s refused: %llu descriptors, buffer size %lld\n", __func__, __LINE__, name,
                    (unsigned long long)c.max_descriptors, (long long)c.buffer_size);
        return YW_ERR_INVD_ARGS;
    }
    s.list = static_cast<YW_ipc_buffer_descriptor_t *>(
        YW_malloc(c.max_descriptors * sizeof(YW_ipc_buffer_descriptor_t)));
    s.data = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)c.buffer_size));
    if (!s.list || !s.data)
        return YW_ERR_MALLOC;
    s.fifo.refCount = -1;
    s.fifo.list_refCount = -1;
    s.buffer.refCount = -1;
    if (!YW_ipc_fifo_init(&s.fifo, s.list, c.max_descriptors) ||
        !YW_ipc_buffer_init(&s.buffer, s.data, (YW_uint64_t)c.buffer_size, nullptr))
        return YW_ERR_MALLOC;
    YW_ipc_buffer_setfifo(&s.buffer, &s.fifo);
    s.buffered = 1;
    return YW_SUCCESS;
}

void yw_inet_freeSide(YW_ipc_inet_side_t &s)
{
    if (s.buffered)
        YW_ipc_buffer_release(&s.buffer);
    if (s.data)
        YW_free(s.data);
    if (s.list)
        YW_free(s.list);
    s.data = nullptr;
    s.list = nullptr;
    s.buffered = 0;
}

bool yw_inet_again(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// Waits until fd takes more bytes or the deadline passes; false on time-out.
bool yw_inet_waitWritable(int fd, YW_int64_t deadlineMs)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    YW_int64_t now = ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
    if (now >= deadlineMs)
        return false;
    struct pollfd p{fd, POLLOUT, 0};
    return poll(&p, 1, (int)(deadlineMs - now)) > 0;
}

YW_int64_t yw_inet_nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Writes the whole of iov on a stream socket; 0, or -1 with `sent` holding
// what went out before the failure (or the time-out).
int yw_inet_writeAll(int fd, struct iovec *iov, int iovcnt, YW_int64_t &sent)
{
    YW_int64_t deadline = 0;
    sent = 0;
    while (iovcnt > 0) {
        ssize_t n;
        if (iovcnt == 1) {
            n = send(fd, iov->iov_base, iov->iov_len, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            struct msghdr m{};
            m.msg_iov = iov;
            m.msg_iovlen = (size_t)iovcnt;
            n = sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (n < 0 && yw_inet_again(errno) && deadline == 0)
            deadline = yw_inet_nowMs() + CONFIG_INET_SEND_WAIT_MS; // the clock is read only when a wait comes
        if (n < 0) {
            if (yw_inet_again(errno)) {
                if (!yw_inet_waitWritable(fd, deadline))
                    return -1;
                continue;
            }
            return -1;
        }
        sent += n;
        while (iovcnt > 0 && (size_t)n >= iov->iov_len) {
            n -= (ssize_t)iov->iov_len;
            iov++;
            iovcnt--;
        }
        if (iovcnt > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + n;
            iov->iov_len -= (size_t)n;
        }
    }
    return 0;
}

void yw_inet_rxReset(YW_ipc_frame_rx_context_t &c)
{
    c.status = 0;
    c.offset = 0;
    c.length = 0;
}

void yw_inet_postRx(YW_ipc_t *ipc)
{
    YW_ipc_postSide(ipc, YW_IPC_FLAGS_RX, ipc->ipc_id | YW_IPC_EVENT_RX_READY);
}

// Moves every complete frame of the reassembly area into the receive ring.
int yw_inet_deliverFrames(YW_ipc_t *ipc, YW_ipc_inet_t *o, YW_ipc_inet_sock_t *s)
{
    YW_ipc_frame_rx_context_t &c = o->rx_frame_context;
    YW_ipc_buffer_t *buf = &o->rx.buffer;
    while (c.offset >= YW_IPC_FRAME_HEADER_SIZE) {
        if (!YW_ipc_inet_frameOk(o, c.data, c.offset)) {
            YW_stat_add<YW_count_t>(ipc->rx.lenerr);
            yw_inet_rxReset(c);
            YW_ipc_inet_drop(ipc, s);
            return YW_INET_RX_DROPPED;
        }
        YW_uint32_t seq, len;
        YW_ipc_frame_getHeader(c.data, &seq, &len);
        if (c.offset < (YW_int64_t)len)
            break;
        YW_ipc_buffer_descriptor_t *bd = YW_ipc_buffer_allocWithFifo(buf, len);
        if (!bd) {
            if (!o->rxWaitRoom.exchange(1))
                YW_stat_add<YW_count_t>(ipc->rx.rcverr);
            return YW_INET_RX_WAIT_ROOM;
        }
        std::memcpy(buf->data + bd->offset, c.data, len);
        YW_ipc_buffer_publish(buf, bd);
        c.offset -= len;
        if (c.offset > 0)
            std::memmove(c.data, c.data + len, (size_t)c.offset);
        yw_inet_postRx(ipc);
    }
    return YW_INET_RX_OK;
}

// One read into the reassembly area of a framed stream, then delivery.
int yw_inet_pollFramedStream(YW_ipc_t *ipc, YW_ipc_inet_t *o, YW_ipc_inet_sock_t *s)
{
    YW_ipc_frame_rx_context_t &c = o->rx_frame_context;
    int r = yw_inet_deliverFrames(ipc, o, s);
    if (r != YW_INET_RX_OK)
        return r;
    YW_int64_t room = c.size - c.offset;
    if (room < 1) // cannot be: a held partial frame is shorter than one frame
        return YW_INET_RX_WAIT_ROOM;
    ssize_t n = recv(s->fd, c.data + c.offset, (size_t)room, MSG_DONTWAIT);
    if (n <= 0) {
        if (n < 0 && yw_inet_again(errno))
            return YW_INET_RX_OK;
        YW_ipc_inet_drop(ipc, s); // peer closed or the connection failed
        return YW_INET_RX_DROPPED;
    }
    YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)(n));
    YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)(1));
    c.offset += n;
    return yw_inet_deliverFrames(ipc, o, s);
}

// One read (one datagram) of up to a frame size straight into the ring; a
// datagram is kept behind its source (YW_IPC_INET_SOURCE_SIZE bytes).
int yw_inet_pollChunk(YW_ipc_t *ipc, YW_ipc_inet_t *o, YW_ipc_inet_sock_t *s)
{
    YW_ipc_buffer_t *buf = &o->rx.buffer;
    const bool framed = (ipc->cfg->flags & YW_IPC_FLAGS_FRAMED) != 0;
    const YW_int64_t pre = o->isTcp ? 0 : YW_IPC_INET_SOURCE_SIZE;
    YW_int64_t want = o->frame_size;
    bool full;
    {
        YW_ipc_buffer_guard g(buf);
        full = YW_ipc_fifo_full(buf->fifo) != 0;
    }
    YW_pos_t pos = full ? (YW_pos_t)YW_ERR_FIFO_FULL : YW_ipc_buffer_getSpace(buf, want + pre);
    if (pos < 0) {
        if (!o->rxWaitRoom.exchange(1))
            YW_stat_add<YW_count_t>(ipc->rx.rcverr);
        return YW_INET_RX_WAIT_ROOM;
    }
    YW_uint8_t *at = buf->data + pos + pre;
    struct sockaddr_in from{};
    socklen_t fromLen = sizeof(from);
    ssize_t n = recvfrom(s->fd, at, (size_t)want, MSG_DONTWAIT | (o->isTcp ? 0 : MSG_TRUNC),
                         o->isTcp ? nullptr : reinterpret_cast<struct sockaddr *>(&from), o->isTcp ? nullptr : &fromLen);
    if (n < 0) {
        if (yw_inet_again(errno))
            return YW_INET_RX_OK;
        if (!o->isTcp) {
            YW_stat_add<YW_count_t>(ipc->rx.rcverr);
            return YW_INET_RX_OK;
        }
        YW_ipc_inet_drop(ipc, s);
        return YW_INET_RX_DROPPED;
    }
    if (n == 0 && o->isTcp) {
        YW_ipc_inet_drop(ipc, s);
        return YW_INET_RX_DROPPED;
    }
    if (!o->isTcp && !YW_ipc_inet_fromRemote(ipc, &from))
        return YW_INET_RX_OK;
    // A datagram longer than a frame was cut; a framed one must hold a
    // header whose length fits what came.
    if (n > want || (framed && (n < YW_IPC_FRAME_OVERHEAD || !YW_ipc_inet_frameOk(o, at, n)))) {
        YW_stat_add<YW_count_t>(ipc->rx.lenerr);
        return YW_INET_RX_OK;
    }
    if (framed) {
        YW_uint32_t seq, len;
        YW_ipc_frame_getHeader(at, &seq, &len);
        if ((YW_int64_t)len > n) {
            YW_stat_add<YW_count_t>(ipc->rx.lenerr);
            return YW_INET_RX_OK;
        }
    }
    if (n == 0)
        return YW_INET_RX_OK;
    if (pre) {
        YW_uint8_t src[YW_IPC_INET_SOURCE_SIZE] = {};
        std::memcpy(src, &from.sin_addr.s_addr, 4);
        std::memcpy(src + 4, &from.sin_port, 2);
        std::memcpy(buf->data + pos, src, sizeof(src));
    }
    YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)(n));
    YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)(1));
    YW_ipc_buffer_adjust(buf, pos, n + pre);
    YW_ipc_buffer_pushFifo(buf, (YW_uint64_t)pos, (YW_uint64_t)(n + pre) | YW_IPC_BD_BUSY_FLAG);
    yw_inet_postRx(ipc);
    return YW_INET_RX_OK;
}

// Notes where the message now handed out came from.
void yw_inet_noteSource(YW_ipc_inet_t *o, const YW_uint8_t *src)
{
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    std::memcpy(&a.sin_addr.s_addr, src, 4);
    std::memcpy(&a.sin_port, src + 4, 2);
    YW_shared_lock<std::mutex> g(o->lock);
    o->rxFrom = a;
    o->rxFromSet = 1;
}

} // namespace

extern "C" {

YW_ipc_inet_t *YW_ipc_inet_of(YW_ipc_t *ipc)
{
    return ipc ? static_cast<YW_ipc_inet_t *>(YW_ipc_getPriv(ipc)) : nullptr;
}

YW_int64_t YW_ipc_inet_frameSize(const YW_ipc_cfg_t *cfg)
{
    return (cfg->flags & YW_IPC_FLAGS_TX) ? cfg->tx.frame_size : cfg->rx.frame_size;
}

int YW_ipc_inet_frameOk(YW_ipc_inet_t *o, const void *p, YW_int64_t have)
{
    if (have < YW_IPC_FRAME_HEADER_SIZE)
        return 0;
    YW_uint32_t seq, len;
    YW_ipc_frame_getHeader(p, &seq, &len);
    return len >= YW_IPC_FRAME_OVERHEAD && (YW_int64_t)len <= o->frame_size;
}

YW_ret_t YW_ipc_inet_build(YW_ipc_t *ipc, YW_ipc_inet_t *o, int isTcp)
{
    const YW_ipc_cfg_t *c = ipc->cfg;
    o->name = c->name;
    o->isTcp = isTcp;
    o->frame_size = YW_ipc_inet_frameSize(c);
    o->txDone = 0;
    o->txSerial = 0;
    o->sock = nullptr;
    o->released = 0;
    YW_ret_t r = YW_SUCCESS;
    if (o->frame_size < 1 || o->frame_size > YW_IPC_INET_MAX_FRAME) {
        std::printf("%s:%d ipc %s refused: frame size %lld\n", __func__, __LINE__, c->name,
                    (long long)o->frame_size);
        r = YW_ERR_INVD_ARGS;
    }
    if (r == YW_SUCCESS && (c->flags & YW_IPC_FLAGS_RX) && (c->flags & YW_IPC_FLAGS_RX_BUFFERED)) {
        r = yw_inet_buildSide(o->rx, c->rx, c->name);
        // the receive task takes up to one frame at a time into the ring
        if (r == YW_SUCCESS && c->rx.buffer_size < o->frame_size + (isTcp ? 0 : YW_IPC_INET_SOURCE_SIZE)) {
            std::printf("%s:%d ipc %s refused: receive buffer smaller than a frame\n", __func__, __LINE__, c->name);
            r = YW_ERR_INVD_ARGS;
        }
    }
    if (r == YW_SUCCESS && (c->flags & YW_IPC_FLAGS_TX) && (c->flags & YW_IPC_FLAGS_TX_BUFFERED))
        r = yw_inet_buildSide(o->tx, c->tx, c->name);
    if (r == YW_SUCCESS && (c->flags & YW_IPC_FLAGS_RX) && (c->flags & YW_IPC_FLAGS_FRAMED)) {
        if (isTcp) {
            o->rx_frame_context.size = 2 * o->frame_size;
            o->rx_frame_context.data = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)(2 * o->frame_size)));
            if (!o->rx_frame_context.data)
                r = YW_ERR_MALLOC;
        } else if (!(c->flags & YW_IPC_FLAGS_RX_BUFFERED)) {
            o->scratch = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)o->frame_size));
            if (!o->scratch)
                r = YW_ERR_MALLOC;
        }
    }
    if (r == YW_SUCCESS && (c->flags & YW_IPC_FLAGS_TX) && (c->flags & YW_IPC_FLAGS_FRAMED) &&
        !(c->flags & YW_IPC_FLAGS_TX_BUFFERED)) {
        o->txScratchSize = o->frame_size < YW_IPC_INET_FLAT_MAX ? o->frame_size : YW_IPC_INET_FLAT_MAX;
        o->txScratch = static_cast<YW_uint8_t *>(YW_malloc((YW_usize_t)o->txScratchSize));
        if (!o->txScratch)
            r = YW_ERR_MALLOC;
    }
    yw_inet_rxReset(o->rx_frame_context);
    if (r != YW_SUCCESS) {
        char l[YW_IPC_INET_ADDR_TEXT], rm[YW_IPC_INET_ADDR_TEXT];
        std::printf("%s:%d ipc %s %s -> %s not made error=%d\n", __func__, __LINE__, c->name,
                    YW_ipc_inet_addrText(&c->address.local.inet.addr_in, l),
                    YW_ipc_inet_addrText(&c->address.remote.inet.addr_in, rm), (int)r);
    }
    return r;
}

void YW_ipc_inet_free(YW_ipc_inet_t *o)
{
    yw_inet_freeSide(o->tx);
    yw_inet_freeSide(o->rx);
    if (o->rx_frame_context.data)
        YW_free(o->rx_frame_context.data);
    if (o->scratch)
        YW_free(o->scratch);
    if (o->txScratch)
        YW_free(o->txScratch);
    o->rx_frame_context.data = nullptr;
    o->scratch = nullptr;
    o->txScratch = nullptr;
    o->txScratchSize = 0;
}

YW_ipc_inet_sock_t *YW_ipc_inet_sockNew(int fd)
{
    auto *s = static_cast<YW_ipc_inet_sock_t *>(YW_malloc(sizeof(YW_ipc_inet_sock_t)));
    if (!s)
        return nullptr;
    s->fd = fd;
    new (&s->refs) std::atomic<int>(1);
    s->serial = yw_s_inet_serial.fetch_add(1);
    return s;
}

YW_ipc_inet_sock_t *YW_ipc_inet_sockGet(YW_ipc_inet_t *o)
{
    YW_shared_lock<std::mutex> g(o->lock);
    YW_ipc_inet_sock_t *s = o->sock;
    if (s)
        s->refs.fetch_add(1, std::memory_order_acq_rel);
    return s;
}

void YW_ipc_inet_sockPut(YW_ipc_inet_sock_t *s)
{
    if (s && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        close(s->fd);
        YW_free(s);
    }
}

YW_ret_t YW_ipc_inet_attach(YW_ipc_t *ipc, int fd)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o || fd < 0)
        return YW_ERR_ENTITY_NULL;
    if (o->isTcp) {
        // A peer gone without a word (host down) is found by the keepalive:
        // its connection then counts as failed and a new one may replace it.
        int one = 1, idle = YW_INET_KEEPIDLE_S, intvl = YW_INET_KEEPINTVL_S, cnt = YW_INET_KEEPCNT;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one));
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof(intvl));
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof(cnt));
    }
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockNew(fd);
    if (!s) {
        close(fd);
        return YW_ERR_MALLOC;
    }
    YW_ipc_inet_sock_t *old;
    {
        YW_shared_lock<std::mutex> rl(o->rxlock);
        YW_shared_lock<std::mutex> g(o->lock);
        old = o->sock;
        o->sock = s;
        ipc->sap.fd = fd;
        // a partial frame of an earlier connection is gone with it
        yw_inet_rxReset(o->rx_frame_context);
    }
    if (old) {
        shutdown(old->fd, SHUT_RDWR);
        YW_ipc_inet_unregisterSock(ipc, old);
        YW_ipc_inet_sockPut(old);
    }
    const YW_uint32_t f = ipc->cfg->flags;
    YW_ipc_state_set(ipc, ((f & YW_IPC_FLAGS_RX) ? YW_IPC_STATE_RX_UP : 0) |
                              ((f & YW_IPC_FLAGS_TX) ? YW_IPC_STATE_TX_UP : 0));
    // The receive task reads buffered receive sides, and watches a stream
    // that is only sent on, so that a peer's close is seen at once.
    if (((f & YW_IPC_FLAGS_RX) && (f & YW_IPC_FLAGS_RX_BUFFERED)) || (o->isTcp && !(f & YW_IPC_FLAGS_RX))) {
        YW_ret_t r = YW_ipc_inet_register(ipc, s);
        // a buffered receive side the receive task cannot serve is not up
        if (r != YW_SUCCESS && (f & YW_IPC_FLAGS_RX)) {
            YW_ipc_inet_drop(ipc, s);
            return r;
        }
    }
    if (o->tx.buffered)
        YW_ipc_inet_kickTx(ipc);
    return YW_SUCCESS;
}

void YW_ipc_inet_drop(YW_ipc_t *ipc, YW_ipc_inet_sock_t *s)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o)
        return;
    YW_ipc_inet_sock_t *cur;
    bool again;
    {
        YW_shared_lock<std::mutex> g(o->lock);
        cur = o->sock;
        if (!cur || (s && cur != s))
            return;
        o->sock = nullptr;
        ipc->sap.fd = -1;
        again = !o->released;
    }
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_UP | YW_IPC_STATE_RX_UP);
    shutdown(cur->fd, SHUT_RDWR);
    YW_ipc_inet_unregisterSock(ipc, cur);
    YW_ipc_inet_sockPut(cur);
    if (again && o->onDrop)
        o->onDrop(ipc);
}

YW_ret_t YW_ipc_inet_release(YW_ipc_t *ipc)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!ipc)
        return YW_ERR_ENTITY_NULL;
    if (o) {
        {
            YW_shared_lock<std::mutex> g(o->lock);
            o->released = 1;
        }
        YW_ipc_inet_drop(ipc, nullptr);
    }
    ipc->sap.fd = -1;
    ipc->tx.buffer = nullptr;
    ipc->rx.buffer = nullptr;
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_UP | YW_IPC_STATE_RX_UP | YW_IPC_STATE_WAIT_UP);
    return YW_SUCCESS;
}

YW_size_t YW_ipc_inet_send_now(YW_ipc_t *ipc, const void *data, YW_size_t size, int framed)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o || !is_ipc_tx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_TX_NOT_READY;
    if (size < 0 || (size > 0 && !data))
        return YW_ERR_INVD_ARGS;
    YW_int64_t total = framed ? YW_IPC_FrameLength(size) : size;
    // a frame must fit the frame size the peer reassembles with
    if (framed && total > o->frame_size)
        return YW_ERR_IPC_TOO_LONG;
    YW_shared_lock<std::mutex> tl(o->txlock);
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(o);
    if (!s) {
        YW_stat_add<YW_count_t>(ipc->tx.snderr);
        return YW_FAIL;
    }
    YW_uint8_t hdr[YW_IPC_FRAME_HEADER_SIZE];
    YW_uint8_t trailer[YW_IPC_FRAME_TRAILER_SIZE] = {0, 0};
    struct iovec iov[3];
    int n = 0;
    if (framed && total <= o->txScratchSize) {
        YW_uint8_t *f = o->txScratch;
        YW_ipc_frame_setHeader(f, ipc->tx.seqno, (YW_uint32_t)total);
        if (size > 0)
            std::memcpy(f + YW_IPC_FRAME_HEADER_SIZE, data, (size_t)size);
        std::memset(f + YW_IPC_FRAME_HEADER_SIZE + size, 0, YW_IPC_FRAME_TRAILER_SIZE);
        iov[n++] = {f, (size_t)total};
    } else {
        if (framed) {
            YW_ipc_frame_setHeader(hdr, ipc->tx.seqno, (YW_uint32_t)total);
            iov[n++] = {hdr, sizeof(hdr)};
        }
        if (size > 0)
            iov[n++] = {const_cast<void *>(data), (size_t)size};
        if (framed)
            iov[n++] = {trailer, sizeof(trailer)};
    }
    int rc = 0;
    if (o->isTcp) {
        YW_int64_t sent = 0;
        rc = yw_inet_writeAll(s->fd, iov, n, sent);
        // A frame cut short would break the framing of what follows: the
        // connection goes (a client connects again).
        if (rc != 0 && (sent > 0 || !yw_inet_again(errno)))
            YW_ipc_inet_drop(ipc, s);
    } else {
        struct msghdr m{};
        m.msg_name = &ipc->cfg->address.remote.inet.addr_in;
        m.msg_namelen = sizeof(struct sockaddr_in);
        m.msg_iov = iov;
        m.msg_iovlen = (size_t)n;
        YW_int64_t deadline = 0;
        ssize_t w;
        for (;;) {
            w = n == 1 ? sendto(s->fd, iov[0].iov_base, iov[0].iov_len, MSG_NOSIGNAL | MSG_DONTWAIT,
                                static_cast<const struct sockaddr *>(m.msg_name), m.msg_namelen)
                       : sendmsg(s->fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w >= 0 || !yw_inet_again(errno))
                break;
            if (deadline == 0)
                deadline = yw_inet_nowMs() + CONFIG_INET_SEND_WAIT_MS;
            if (!yw_inet_waitWritable(s->fd, deadline))
                break;
        }
        rc = w == total ? 0 : -1;
    }
    YW_ipc_inet_sockPut(s);
    if (rc != 0) {
        YW_stat_add<YW_count_t>(ipc->tx.snderr);
        return YW_FAIL;
    }
    YW_stat_add<YW_int64_t>(ipc->status.txBytes, (YW_int64_t)(total));
    YW_stat_add<YW_int64_t>(ipc->status.txPackets, (YW_int64_t)(1));
    if (framed)
        ipc->tx.seqno += 1;
    return size;
}

YW_size_t YW_ipc_inet_send(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    const YW_uint32_t f = ipc->cfg->flags;
    if (f & YW_IPC_FLAGS_TX_BUFFERED)
        return YW_ipc_inet_send_buffered(ipc, data, size);
    return YW_ipc_inet_send_now(ipc, data, size, (f & YW_IPC_FLAGS_FRAMED) ? 1 : 0);
}

YW_size_t YW_ipc_inet_send_buffered(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    YW_ipc_buffer_t *buf = ipc->tx.buffer;
    if (!o || !buf || !is_ipc_tx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_TX_NOT_READY;
    if (size < 0 || (size > 0 && !data))
        return YW_ERR_INVD_ARGS;
    const int framed = (ipc->cfg->flags & YW_IPC_FLAGS_FRAMED) != 0;
    YW_shared_lock<std::mutex> tl(o->txlock);
    auto reserve = [&](YW_pos_t *pos) -> YW_size_t {
        {
            YW_ipc_buffer_guard g(buf);
            if (YW_ipc_fifo_full(buf->fifo))
                return YW_ERR_NO_TX_BD;
        }
        return YW_ipc_send_preprocess(ipc, data, size, framed, pos);
    };
    YW_pos_t pos = 0;
    YW_size_t room = reserve(&pos);
    if (room == YW_ERR_IPC_TOO_LONG || room == YW_ERR_INVD_ARGS)
        return room;
    if (room < 0) {
        // Mark first, then look once more: room freed before the mark is
        // found now, room freed after it is announced by the transmit task.
        YW_ipc_state_set(ipc, YW_IPC_STATE_TX_PENDING);
        room = reserve(&pos);
        if (room < 0) {
            YW_stat_add<YW_count_t>(ipc->tx.snderr);
            return YW_ERR_NO_TX_BD;
        }
    }
    YW_ipc_buffer_pushFifo(buf, (YW_uint64_t)pos, (YW_uint64_t)room | YW_IPC_BD_BUSY_FLAG);
    YW_ipc_state_clear(ipc, YW_IPC_STATE_TX_PENDING);
    if (framed)
        ipc->tx.seqno += 1;
    YW_stat_add<YW_int64_t>(ipc->status.sendBytes, (YW_int64_t)(size));
    YW_stat_add<YW_int64_t>(ipc->status.sendPackets, (YW_int64_t)(1));
    YW_ipc_inet_kickTx(ipc);
    return size;
}

YW_size_t YW_ipc_inet_recv_buffered(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    YW_ipc_buffer_t *buf = ipc->rx.buffer;
    if (!o || !buf || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_RX_NOT_READY;
    if (size < 0 || (size > 0 && !bp))
        return YW_ERR_INVD_ARGS;
    const int framed = (ipc->cfg->flags & YW_IPC_FLAGS_FRAMED) != 0;
    YW_pos_t pos = 0;
    YW_size_t len = 0;
    if (YW_ipc_buffer_peek(buf, &pos, &len) != YW_SUCCESS)
        return YW_ERR_FIFO_EMPTY;
    // The slot was checked when it was filled; bound it by the ring anyway.
    if (pos < 0 || len < 0 || (YW_uint64_t)pos > buf->size || (YW_uint64_t)len > buf->size - (YW_uint64_t)pos)
        return YW_ERR_RX_BUFFER_FAIL;
    const YW_size_t pre = o->isTcp ? 0 : YW_IPC_INET_SOURCE_SIZE;
    if (len < pre)
        return YW_ERR_RX_BUFFER_FAIL;
    const YW_uint8_t *msg = buf->data + pos + pre;
    YW_size_t want = len - pre;
    if (framed && want >= YW_IPC_FRAME_HEADER_SIZE) {
        YW_uint32_t seq, flen;
        YW_ipc_frame_getHeader(msg, &seq, &flen);
        want = YW_IPC_PayloadLength((YW_size_t)flen);
    }
    if (want > size)
        return YW_ERR_RX_BUFFER_SHORT; // kept for a larger buffer
    YW_ipc_buffer_descriptor_t bd{};
    if (YW_ipc_buffer_popFifo(buf, INT64_MAX, &bd) < 0)
        return YW_ERR_FIFO_EMPTY;
    if (pre)
        yw_inet_noteSource(o, buf->data + pos);
    YW_size_t n = YW_ipc_recv_postprocess(ipc, const_cast<YW_uint8_t *>(msg), len - pre, framed, bp, size);
    YW_ipc_buffer_free(buf, pos, len);
    if (n >= 0) {
        YW_stat_add<YW_int64_t>(ipc->status.recvBytes, (YW_int64_t)(n));
        YW_stat_add<YW_int64_t>(ipc->status.recvPackets, (YW_int64_t)(1));
    }
    if (o->rxWaitRoom.exchange(0))
        YW_ipc_inet_kickRx();
    return n;
}

YW_ret_t YW_ipc_inet_onEvent(YW_ipc_t *ipc)
{
    (void)ipc;
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_inet_control(YW_ipc_t *ipc, YW_ipc_cmd_t cmd, YW_ipc_arg_t arg1, YW_ipc_arg_t arg2)
{
    if (cmd != YW_IPC_CMD_GET_RX_SOURCE)
        return YW_ipc_control_default(ipc, cmd, arg1, arg2);
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o)
        return YW_ERR_ENTITY_NULL;
    if (!arg1 || (uintptr_t)arg2 != sizeof(struct sockaddr_in))
        return YW_ERR_INVD_ARGS;
    struct sockaddr_in a{};
    if (o->isTcp) {
        YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(o);
        if (!s)
            return YW_ERR_RX_NOT_READY;
        socklen_t len = sizeof(a);
        int rc = getpeername(s->fd, reinterpret_cast<struct sockaddr *>(&a), &len);
        YW_ipc_inet_sockPut(s);
        if (rc != 0)
            return YW_ERR_RX_NOT_READY;
    } else {
        YW_shared_lock<std::mutex> g(o->lock);
        if (!o->rxFromSet)
            return YW_ERR_IPC_INET_RX_NODATA;
        a = o->rxFrom;
    }
    std::memcpy(arg1, &a, sizeof(a));
    return YW_SUCCESS;
}

const char *YW_ipc_inet_addrText(const struct sockaddr_in *a, char *buf)
{
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a->sin_addr, ip, sizeof(ip));
    std::snprintf(buf, YW_IPC_INET_ADDR_TEXT, "%s:%u", ip, (unsigned)ntohs(a->sin_port));
    return buf;
}

int YW_ipc_inet_fromRemote(YW_ipc_t *ipc, const struct sockaddr_in *from)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    const struct sockaddr_in &r = ipc->cfg->address.remote.inet.addr_in;
    if (!o || r.sin_addr.s_addr == 0 ||
        (from->sin_addr.s_addr == r.sin_addr.s_addr && (r.sin_port == 0 || from->sin_port == r.sin_port)))
        return 1;
    YW_stat_add<YW_count_t>(ipc->rx.rcverr);
    YW_uint64_t k = o->foreign.fetch_add(1, std::memory_order_relaxed) + 1;
    if ((k & (k - 1)) == 0) {
        char f[YW_IPC_INET_ADDR_TEXT], w[YW_IPC_INET_ADDR_TEXT];
        std::printf("%s:%d ipc %s: datagram from %s dropped, not from the remote address %s (%llu dropped)\n",
                    __func__, __LINE__, ipc->cfg->name ? ipc->cfg->name : "", YW_ipc_inet_addrText(from, f),
                    YW_ipc_inet_addrText(&r, w), (unsigned long long)k);
    }
    return 0;
}

YW_ret_t YW_ipc_inet_recv_poll(YW_ipc_t *ipc)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(o);
    if (!s)
        return YW_ERR_IPC_INET_RX_NODATA;
    int r = YW_ipc_inet_pollSock(ipc, s);
    YW_ipc_inet_sockPut(s);
    return r == YW_INET_RX_WAIT_ROOM ? YW_ERR_IPC_INET_RX_NOBUFFER : YW_SUCCESS;
}

int YW_ipc_inet_pollSock(YW_ipc_t *ipc, YW_ipc_inet_sock_t *s)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    if (!o || !s)
        return YW_INET_RX_OK;
    YW_shared_lock<std::mutex> rl(o->rxlock);
    {
        YW_shared_lock<std::mutex> g(o->lock);
        if (o->sock != s) {
            YW_ipc_inet_unregisterSock(ipc, s); // left over from an earlier connection
            return YW_INET_RX_DROPPED;
        }
    }
    const YW_uint32_t f = ipc->cfg->flags;
    if (!(f & YW_IPC_FLAGS_RX)) {
        // a stream only sent on: anything read is dropped, its end is seen
        char junk[512];
        ssize_t n = recv(s->fd, junk, sizeof(junk), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && !yw_inet_again(errno))) {
            YW_ipc_inet_drop(ipc, s);
            return YW_INET_RX_DROPPED;
        }
        return YW_INET_RX_OK;
    }
    if (!o->rx.buffered)
        return YW_INET_RX_OK;
    if (o->isTcp && (f & YW_IPC_FLAGS_FRAMED))
        return yw_inet_pollFramedStream(ipc, o, s);
    return yw_inet_pollChunk(ipc, o, s);
}

} // extern "C"
