// UDP transport: one datagram per message to the channel's remote address;
// the receive side binds the local address. The socket is made once (at
// set-up, when the channel is created); opening a side reuses it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/yw_ipc_udp.h"
#include "yw_mem.h"

namespace {

// A receive call passes over at most this many datagrams from elsewhere.
constexpr int YW_UDP_FOREIGN_PER_CALL = 64;

YW_ipc_udp_t *yw_udp_of(YW_ipc_t *ipc)
{
    return ipc ? static_cast<YW_ipc_udp_t *>(YW_ipc_getPriv(ipc)) : nullptr;
}

void yw_udp_fillOps(YW_ipc_t *ipc)
{
    YW_ipc_operations_t &o = ipc->oprs;
    std::memset(&o, 0, sizeof(o));
    o.open = YW_ipc_udp_open;
    o.close = YW_ipc_udp_close;
    o.send = YW_ipc_inet_send;
    o.recv = YW_ipc_udp_recv;
    o.setup = YW_ipc_udp_setup;
    o.release = YW_ipc_udp_release;
    o.connect = YW_ipc_udp_setup;
    o.disconn = YW_ipc_udp_release;
    o.onStatusChange = YW_ipc_udp_onStatusChange;
    o.control = YW_ipc_inet_control;
    o.onEvent = YW_ipc_inet_onEvent;
}

// A datagram socket bound as the channel asks: the receive side to its local
// address, a sending side to its local address when one is given. A failure
// is told with the channel, the address and the system's reason.
int yw_udp_socket(const YW_ipc_cfg_t *c)
{
    struct sockaddr_in a = c->address.local.inet.addr_in;
    a.sin_family = AF_INET;
    char at[YW_IPC_INET_ADDR_TEXT];
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const char *why = std::strerror(errno);
        std::printf("%s:%d err=%s ipc %s %s\n", "YW_ipc_udp_setup", __LINE__, why, c->name,
                    YW_ipc_inet_addrText(&a, at));
        return -1;
    }
    if ((c->flags & YW_IPC_FLAGS_RX) || a.sin_addr.s_addr != 0 || a.sin_port != 0) {
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) != 0) {
            const char *why = std::strerror(errno);
            std::printf("%s:%d err=%s ipc %s %s\n", "YW_ipc_udp_setup", __LINE__, why, c->name,
                        YW_ipc_inet_addrText(&a, at));
            close(fd);
            return -1;
        }
    }
    return fd;
}

// One datagram from the channel's remote address (others are dropped and
// counted; a bounded number of them per call): its length, or -1 with errno.
ssize_t yw_udp_recvFromRemote(YW_ipc_t *ipc, YW_ipc_inet_t &o, int fd, void *bp, size_t size, int flags)
{
    for (int i = 0; i < YW_UDP_FOREIGN_PER_CALL; i++) {
        struct sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, bp, size, flags, reinterpret_cast<struct sockaddr *>(&from), &len);
        if (n < 0)
            return n;
        if (!YW_ipc_inet_fromRemote(ipc, &from))
            continue;
        YW_shared_lock<std::mutex> g(o.lock);
        o.rxFrom = from;
        o.rxFromSet = 1;
        return n;
    }
    errno = EAGAIN;
    return -1;
}

} // namespace

extern "C" {

YW_ret_t YW_ipc_udp_create(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    void *mem = YW_malloc(sizeof(YW_ipc_udp_t));
    if (!mem)
        return YW_ERR_ENTITY_NULL;
    auto *u = new (mem) YW_ipc_udp_t();
    YW_ipc_setPriv(ipc, u);
    YW_ret_t r = YW_ipc_inet_build(ipc, &u->inet, 0);
    if (r != YW_SUCCESS) {
        YW_ipc_udp_delete(ipc);
        return r;
    }
    ipc->sap.fd = -1;
    yw_udp_fillOps(ipc);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_udp_delete(YW_ipc_t *ipc)
{
    YW_ipc_udp_t *u = yw_udp_of(ipc);
    if (!u)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_inet_release(ipc);
    YW_ipc_inet_free(&u->inet);
    u->~YW_ipc_udp_t();
    YW_free(u);
    YW_ipc_setPriv(ipc, nullptr);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_udp_open(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_IPC_NULL;
    YW_ret_t r = YW_ipc_open_sides(ipc, mode);
    if (r != YW_SUCCESS)
        return r;
    // a side whose socket cannot be made is not left open
    r = YW_ipc_udp_setup(ipc);
    if (r != YW_SUCCESS)
        YW_ipc_close_sides(ipc, mode);
    return r;
}

YW_ret_t YW_ipc_udp_close(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_IPC_NULL;
    return YW_ipc_close_sides(ipc, mode);
}

YW_ret_t YW_ipc_udp_onStatusChange(YW_ipc_t *ipc)
{
    if (ipc && (YW_ipc_state_get(ipc) & YW_IPC_STATE_ASSIGNED))
        return YW_ipc_udp_setup(ipc);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_udp_setup(YW_ipc_t *ipc)
{
    YW_ipc_udp_t *u = yw_udp_of(ipc);
    if (!u)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_inet_t &o = u->inet;
    if (o.rx.buffered)
        ipc->rx.buffer = &o.rx.buffer;
    if (o.tx.buffered)
        ipc->tx.buffer = &o.tx.buffer;
    {
        YW_shared_lock<std::mutex> g(o.lock);
        if (o.sock || o.released)
            return YW_SUCCESS; // made once
    }
    int fd = yw_udp_socket(ipc->cfg);
    YW_ret_t r = fd < 0 ? YW_FAIL : YW_ipc_inet_attach(ipc, fd);
    if (r != YW_SUCCESS) {
        char at[YW_IPC_INET_ADDR_TEXT];
        std::printf("%s:%d error = %d ipc %s %s\n", __func__, __LINE__, (int)r, ipc->cfg->name,
                    YW_ipc_inet_addrText(&ipc->cfg->address.local.inet.addr_in, at));
        ipc->sap.fd = -1;
    }
    return r;
}

YW_ret_t YW_ipc_udp_release(YW_ipc_t *ipc)
{
    return YW_ipc_inet_release(ipc);
}

YW_size_t YW_ipc_udp_send_direct(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    return YW_ipc_inet_send_now(ipc, data, size, 0);
}

YW_size_t YW_ipc_udp_send_direct_framed(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    return YW_ipc_inet_send_now(ipc, data, size, 1);
}

YW_size_t YW_ipc_udp_send_buffered(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    return YW_ipc_inet_send_buffered(ipc, data, size);
}

YW_size_t YW_ipc_udp_recv(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    const YW_uint32_t f = ipc->cfg->flags;
    if (f & YW_IPC_FLAGS_RX_BUFFERED)
        return YW_ipc_udp_recv_buffered(ipc, bp, size);
    if (f & YW_IPC_FLAGS_FRAMED)
        return YW_ipc_udp_recv_direct_framed(ipc, bp, size);
    return YW_ipc_udp_recv_direct(ipc, bp, size);
}

YW_size_t YW_ipc_udp_recv_direct(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_udp_t *u = yw_udp_of(ipc);
    if (!u || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_RX_NOT_READY;
    if (size < 0 || (size > 0 && !bp))
        return YW_ERR_INVD_ARGS;
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(&u->inet);
    if (!s)
        return YW_ERR_RX_NOT_READY;
    ssize_t n = yw_udp_recvFromRemote(ipc, u->inet, s->fd, bp, (size_t)size, MSG_DONTWAIT);
    YW_ipc_inet_sockPut(s);
    if (n < 0)
        return YW_ERR_IPC_INET_RX_NODATA;
    YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)(n));
    YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)(1));
    return n;
}

YW_size_t YW_ipc_udp_recv_direct_framed(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_udp_t *u = yw_udp_of(ipc);
    if (!u || !u->inet.scratch || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_RX_NOT_READY;
    if (size < 0 || (size > 0 && !bp))
        return YW_ERR_INVD_ARGS;
    YW_ipc_inet_t &o = u->inet;
    YW_shared_lock<std::mutex> rl(o.rxlock);
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(&o);
    if (!s)
        return YW_ERR_RX_NOT_READY;
    // one datagram; one longer than a frame is cut and dropped
    ssize_t n = yw_udp_recvFromRemote(ipc, o, s->fd, o.scratch, (size_t)o.frame_size, MSG_DONTWAIT | MSG_TRUNC);
    YW_ipc_inet_sockPut(s);
    if (n < 0)
        return YW_ERR_IPC_INET_RX_NODATA;
    YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)(n));
    YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)(1));
    if (n > o.frame_size || n < YW_IPC_FRAME_OVERHEAD || !YW_ipc_inet_frameOk(&o, o.scratch, n)) {
        YW_stat_add<YW_count_t>(ipc->rx.lenerr);
        return YW_ERR_RX_BUFFER_FAIL;
    }
    return YW_ipc_recv_postprocess(ipc, o.scratch, n, 1, bp, size);
}

YW_size_t YW_ipc_udp_recv_buffered(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    return YW_ipc_inet_recv_buffered(ipc, bp, size);
}

} // extern "C"
