// TCP transport: channels over TCP connections, the listening servers and
// their accept threads, and the retry thread of each connecting channel.
//
// Sockets are non-blocking and set TCP_NODELAY; connects run on the retry
// thread only, so the IPC manager never waits on one. An accepted
// connection is bound only to a TCP channel of that local address whose
// remote IP is the peer's, and only when that channel has no connection or
// its connection has failed (closed, reset, or dead past the keepalive);
// any other is closed at once, with a line.
#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ipc/yw_ipc_tcp.h"
#include "yw_mem.h"

// The retry thread of a connecting channel. The channel and the thread
// each hold a reference; the channel's release stops the thread, which
// then touches nothing of the channel.
struct yw_ipc_tcp_client {
    std::atomic<int> refs{2};
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    YW_ipc_t *ipc = nullptr;
    YW_uint32_t gen = 0;
    bool pauseFirst = false; // after a dropped connection: not at once
    const char *name = nullptr;
    struct sockaddr_in local{};
    struct sockaddr_in remote{};
};

extern "C" {
YW_ipc_tcp_server_t YW_g_ipc_tcp_server[YW_IPC_TCP_SERVER_MAX];
}

namespace {

constexpr int YW_TCP_CONNECT_WAIT_MS = 1000;
constexpr YW_int64_t YW_TCP_RETRY_NS = 1000000000LL;
constexpr int YW_TCP_BACKLOG = 5;
// server states: 0 free, running, stopping (descriptors not closed yet)
constexpr int YW_TCP_SERVER_RUNNING = 1;
constexpr int YW_TCP_SERVER_STOPPING = 2;

std::mutex yw_s_tcp_srv_lock;
std::thread yw_s_tcp_srv_thread[YW_IPC_TCP_SERVER_MAX];

// Starts a server on the address; -958 when one runs there already (in this
// process) or the address is in use; *err the system's reason of a failure.
YW_ret_t yw_tcp_serverStart(const YW_P_inet_address_t *pAddr, int *err);

YW_ipc_tcp_t *yw_tcp_of(YW_ipc_t *ipc)
{
    return ipc ? static_cast<YW_ipc_tcp_t *>(YW_ipc_getPriv(ipc)) : nullptr;
}

bool yw_tcp_isServerSide(const YW_ipc_cfg_t *c)
{
    return c->address.local.inet.addr_in.sin_port != 0;
}

void yw_tcp_clientPut(yw_ipc_tcp_client *c)
{
    if (c && c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete c;
}

// One connect attempt; the connected descriptor, or -1 with *err the
// system's reason.
int yw_tcp_connectOnce(const yw_ipc_tcp_client *c, int *err)
{
    *err = 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    // A client of a given local IP connects from it, so that the server
    // side knows it by that address.
    if (c->local.sin_addr.s_addr != 0) {
        struct sockaddr_in a = c->local;
        a.sin_port = 0;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) != 0) {
            *err = errno;
            close(fd);
            return -1;
        }
    }
    int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&c->remote), sizeof(c->remote));
    if (rc != 0)
        *err = errno;
    if (rc != 0 && errno == EINPROGRESS) {
        struct pollfd p{fd, POLLOUT, 0};
        socklen_t len = sizeof(*err);
        *err = ETIMEDOUT;
        rc = (poll(&p, 1, YW_TCP_CONNECT_WAIT_MS) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, err, &len) == 0 &&
              *err == 0)
                 ? 0
                 : -1;
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void yw_tcp_retryLoop(yw_ipc_tcp_client *c)
{
    int told = 0; // the reason last told: a changed one is told again
    for (int attempt = 0;; attempt++) {
        if (attempt > 0 || c->pauseFirst) {
            std::unique_lock<std::mutex> lk(c->m);
            c->cv.wait_for(lk, std::chrono::nanoseconds(YW_TCP_RETRY_NS), [c] { return c->stop; });
        }
        {
            YW_shared_lock<std::mutex> lk(c->m);
            if (c->stop)
                break;
        }
        int err = 0;
        int fd = yw_tcp_connectOnce(c, &err);
        if (fd < 0) {
            if (err != told) {
                char l[YW_IPC_INET_ADDR_TEXT], r[YW_IPC_INET_ADDR_TEXT];
                std::printf("%s:%d tcp client connect fail, retry 1 sec later ipc %s %s -> %s: %s\n",
                            "YW_ipc_tcp_setup", __LINE__, c->name, YW_ipc_inet_addrText(&c->local, l),
                            YW_ipc_inet_addrText(&c->remote, r), std::strerror(err));
                told = err;
            }
            continue;
        }
        YW_ipc_t *ipc = c->ipc;
        // A channel still being made is not open yet: until its release
        // stops this thread, it is there and is waited for.
        YW_ret_t in;
        bool mine = true;
        while ((in = YW_ipc_enterGen(ipc, c->gen)) != YW_SUCCESS) {
            std::unique_lock<std::mutex> lk(c->m);
            if (c->stop || c->cv.wait_for(lk, std::chrono::milliseconds(10), [c] { return c->stop; })) {
                mine = false;
                break;
            }
        }
        if (in != YW_SUCCESS) {
            close(fd);
            break;
        }
        {
            YW_shared_lock<std::mutex> lk(c->m);
            mine = mine && !c->stop;
        }
        if (mine) {
            YW_ipc_tcp_t *t = yw_tcp_of(ipc);
            bool done = false;
            {
                YW_shared_lock<std::mutex> g(t->inet.lock);
                if (t->client == c) {
                    t->client = nullptr;
                    done = true;
                }
            }
            YW_ipc_inet_attach(ipc, fd);
            if (done)
                yw_tcp_clientPut(c); // the channel's reference
        } else {
            close(fd);
        }
        YW_ipc_leave(ipc);
        break;
    }
    yw_tcp_clientPut(c);
}

// Starts the retry thread unless one runs or the channel is released; after
// a dropped connection the first attempt waits a second, so that a peer that
// closes every connection is not connected to in a tight loop.
void yw_tcp_startRetryAfter(YW_ipc_t *ipc, bool pauseFirst)
{
    YW_ipc_tcp_t *t = yw_tcp_of(ipc);
    if (!t)
        return;
    YW_shared_lock<std::mutex> g(t->inet.lock);
    if (t->client || t->inet.released)
        return;
    auto *c = new (std::nothrow) yw_ipc_tcp_client;
    if (!c)
        return;
    c->ipc = ipc;
    c->gen = YW_ipc_generation(ipc);
    c->pauseFirst = pauseFirst;
    c->name = ipc->cfg->name ? ipc->cfg->name : "";
    c->local = ipc->cfg->address.local.inet.addr_in;
    c->remote = ipc->cfg->address.remote.inet.addr_in;
    c->remote.sin_family = AF_INET;
    try {
        std::thread(yw_tcp_retryLoop, c).detach();
    } catch (...) {
        delete c;
        return;
    }
    t->client = c;
}

void yw_tcp_reconnect(YW_ipc_t *ipc)
{
    yw_tcp_startRetryAfter(ipc, true);
}

void yw_tcp_stopRetry(YW_ipc_tcp_t *t)
{
    yw_ipc_tcp_client *c;
    {
        YW_shared_lock<std::mutex> g(t->inet.lock);
        c = t->client;
        t->client = nullptr;
    }
    if (!c)
        return;
    {
        YW_shared_lock<std::mutex> lk(c->m);
        c->stop = true;
    }
    c->cv.notify_all();
    yw_tcp_clientPut(c);
}

bool yw_tcp_sameAddress(const YW_P_inet_address_t *a, const YW_P_inet_address_t *b)
{
    return a->addr_in.sin_addr.s_addr == b->addr_in.sin_addr.s_addr && a->addr_in.sin_port == b->addr_in.sin_port;
}

// Does the channel's configuration take a connection from peer on server?
bool yw_tcp_matches(const YW_ipc_cfg_t *c, const YW_P_inet_address_t *server, const struct sockaddr_in &peer)
{
    if (!c || c->interfaceType != YW_IPC_INTF_INET || c->transportType != YW_IPC_TRANSPORT_TCP)
        return false;
    const struct sockaddr_in &l = c->address.local.inet.addr_in;
    return l.sin_port == server->addr_in.sin_port &&
           (l.sin_addr.s_addr == 0 || l.sin_addr.s_addr == server->addr_in.sin_addr.s_addr) &&
           c->address.remote.inet.addr_in.sin_addr.s_addr == peer.sin_addr.s_addr;
}

// Has the connection failed: closed or reset by the peer, or found dead by
// the keepalive?
bool yw_tcp_failed(int fd)
{
    struct pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) < 0 || (p.revents & (POLLERR | POLLHUP | POLLRDHUP | POLLNVAL)))
        return true;
    int err = 0;
    socklen_t len = sizeof(err);
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0;
}

// Binds an accepted connection to its channel when the channel's connection
// is missing or failed; the descriptor is taken, or -1 with *busy set to the
// channel's healthy connection (a reference) when it keeps that one.
int yw_tcp_bind(YW_ipc_t *ipc, int fd, YW_ipc_inet_sock_t **busy)
{
    YW_ipc_inet_t *o = YW_ipc_inet_of(ipc);
    YW_ipc_inet_sock_t *cur = YW_ipc_inet_sockGet(o);
    if (cur && !yw_tcp_failed(cur->fd)) {
        *busy = cur;
        return fd;
    }
    YW_ipc_inet_sockPut(cur);
    YW_ipc_inet_attach(ipc, fd);
    return -1;
}

void yw_tcp_accepted(YW_ipc_tcp_server_t *s, int fd, const struct sockaddr_in &peer)
{
    YW_P_inet_address_t remote{};
    remote.addr_in = peer;
    YW_ipc_t *ipc = YW_ipc_tcp_findByAddress(&s->address, &remote);
    char from[YW_IPC_INET_ADDR_TEXT], to[YW_IPC_INET_ADDR_TEXT], was[YW_IPC_INET_ADDR_TEXT];
    struct sockaddr_in local = s->address.addr_in;
    socklen_t len = sizeof(local);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len);
    YW_ipc_inet_addrText(&peer, from);
    YW_ipc_inet_addrText(&local, to);
    // The slot may have changed hands after the search: looked at again.
    if (ipc && YW_ipc_enter(ipc) == YW_SUCCESS) {
        if (yw_tcp_matches(ipc->cfg, &s->address, peer) && YW_ipc_getPriv(ipc)) {
            YW_ipc_inet_sock_t *busy = nullptr;
            fd = yw_tcp_bind(ipc, fd, &busy);
            if (busy) {
                struct sockaddr_in p{};
                len = sizeof(p);
                getpeername(busy->fd, reinterpret_cast<struct sockaddr *>(&p), &len);
                std::printf("%s:%d %s: connection %s -> %s closed: ipc %s is connected to %s\n", __func__,
                            __LINE__, s->name, from, to, ipc->cfg->name ? ipc->cfg->name : "",
                            YW_ipc_inet_addrText(&p, was));
                YW_ipc_inet_sockPut(busy);
                close(fd);
                fd = -1;
            }
        }
        YW_ipc_leave(ipc);
    }
    if (fd >= 0) {
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip));
        std::printf("%s:%d %s: no channel for peer %s: closed (connection %s -> %s)\n", __func__, __LINE__, s->name,
                    ip, from, to);
        close(fd);
    }
}

void yw_tcp_fillOps(YW_ipc_t *ipc)
{
    YW_ipc_operations_t &o = ipc->oprs;
    std::memset(&o, 0, sizeof(o));
    o.open = YW_ipc_tcp_open;
    o.close = YW_ipc_tcp_close;
    o.send = YW_ipc_inet_send;
    o.recv = YW_ipc_tcp_recv;
    o.setup = YW_ipc_tcp_setup;
    o.release = YW_ipc_tcp_release;
    o.connect = YW_ipc_tcp_setup;
    o.disconn = YW_ipc_tcp_release;
    o.onStatusChange = YW_ipc_tcp_onStatusChange;
    o.control = YW_ipc_inet_control;
    o.onEvent = YW_ipc_inet_onEvent;
}

bool yw_tcp_again(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// Reads up to want bytes at dst; the count, or -1 when nothing is there now
// (the connection is dropped when the peer closed or it failed).
YW_int64_t yw_tcp_read(YW_ipc_t *ipc, YW_ipc_inet_sock_t *s, void *dst, YW_int64_t want)
{
    ssize_t n = recv(s->fd, dst, (size_t)want, MSG_DONTWAIT);
    if (n > 0) {
        YW_stat_add<YW_int64_t>(ipc->status.rxBytes, (YW_int64_t)(n));
        return n;
    }
    if (n == 0 || !yw_tcp_again(errno))
        YW_ipc_inet_drop(ipc, s);
    return -1;
}

} // namespace

extern "C" {

void YW_ipc_tcp_server_init(void)
{
    YW_shared_lock<std::mutex> g(yw_s_tcp_srv_lock);
    for (int i = 0; i < YW_IPC_TCP_SERVER_MAX; i++) {
        YW_ipc_tcp_server_t &s = YW_g_ipc_tcp_server[i];
        if (s.state)
            continue;
        std::memset(&s, 0, sizeof(s));
        s.index = i;
        std::snprintf(s.name, sizeof(s.name), "tcp_server%02d", i);
        s.socket = -1;
        s.wakefd = -1;
    }
}

YW_ipc_tcp_server_t *YW_ipc_tcp_server_getFree(void)
{
    for (auto &s : YW_g_ipc_tcp_server) {
        if (s.state == 0)
            return &s;
    }
    return nullptr;
}

YW_ipc_tcp_server_t *YW_ipc_tcp_server_find(const YW_P_inet_address_t *pAddr)
{
    if (!pAddr)
        return nullptr;
    for (auto &s : YW_g_ipc_tcp_server) {
        if (s.state == YW_TCP_SERVER_RUNNING && yw_tcp_sameAddress(&s.address, pAddr))
            return &s;
    }
    return nullptr;
}

YW_ret_t YW_ipc_tcp_server_start(const YW_P_inet_address_t *pAddr)
{
    int err = 0;
    YW_ret_t r = yw_tcp_serverStart(pAddr, &err);
    if (err != 0) {
        char at[YW_IPC_INET_ADDR_TEXT];
        std::printf("%s:%d err=%s %s\n", __func__, __LINE__, std::strerror(err),
                    YW_ipc_inet_addrText(&pAddr->addr_in, at));
    }
    return r;
}

} // extern "C"

namespace {

YW_ret_t yw_tcp_serverStart(const YW_P_inet_address_t *pAddr, int *err)
{
    *err = 0;
    if (!pAddr)
        return YW_ERR_ENTITY_NULL;
    YW_shared_lock<std::mutex> g(yw_s_tcp_srv_lock);
    if (YW_ipc_tcp_server_find(pAddr))
        return YW_ERR_AGAIN;
    YW_ipc_tcp_server_t *s = YW_ipc_tcp_server_getFree();
    if (!s)
        return YW_ERR_ENTITY_NULL;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return YW_FAIL;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in a = pAddr->addr_in;
    a.sin_family = AF_INET;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)) != 0 || listen(fd, YW_TCP_BACKLOG) != 0) {
        *err = errno;
        close(fd);
        return *err == EADDRINUSE ? YW_ERR_AGAIN : YW_FAIL;
    }
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        *err = errno;
        close(fd);
        return YW_FAIL;
    }
    s->address = *pAddr;
    s->socket = fd;
    s->wakefd = wake;
    s->state = YW_TCP_SERVER_RUNNING;
    try {
        yw_s_tcp_srv_thread[s->index] = std::thread([s] {
            pthread_setname_np(pthread_self(), s->name);
            YW_ipc_tcp_server_entry(s);
        });
    } catch (...) {
        YW_P_noCancel hold;
        s->state = 0;
        close(fd);
        close(wake);
        s->socket = -1;
        s->wakefd = -1;
        *err = EAGAIN;
        return YW_FAIL;
    }
    return YW_SUCCESS;
}

} // namespace

extern "C" {

YW_ret_t YW_ipc_tcp_server_stop(int index)
{
    if (index < 0 || index >= YW_IPC_TCP_SERVER_MAX)
        return YW_FAIL;
    YW_ipc_tcp_server_t &s = YW_g_ipc_tcp_server[index];
    std::thread th;
    {
        YW_shared_lock<std::mutex> g(yw_s_tcp_srv_lock);
        if (s.state != YW_TCP_SERVER_RUNNING)
            return YW_FAIL;
        // The slot stays taken until its descriptors are closed: a server
        // started meanwhile gets another one, not descriptors closed under it.
        __atomic_store_n(&s.state, YW_TCP_SERVER_STOPPING, __ATOMIC_SEQ_CST);
        YW_uint64_t one = 1;
        (void)!write(s.wakefd, &one, sizeof(one));
        th = std::move(yw_s_tcp_srv_thread[index]);
    }
    if (th.joinable())
        th.join();
    YW_shared_lock<std::mutex> g(yw_s_tcp_srv_lock);
    close(s.socket);
    close(s.wakefd);
    s.socket = -1;
    s.wakefd = -1;
    __atomic_store_n(&s.state, 0, __ATOMIC_SEQ_CST);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_tcp_server_stopAll(void)
{
    for (int i = 0; i < YW_IPC_TCP_SERVER_MAX; i++) {
        if (__atomic_load_n(&YW_g_ipc_tcp_server[i].state, __ATOMIC_SEQ_CST) == YW_TCP_SERVER_RUNNING)
            YW_ipc_tcp_server_stop(i);
    }
    return YW_SUCCESS;
}

void *YW_ipc_tcp_server_entry(void *arg)
{
    auto *s = static_cast<YW_ipc_tcp_server_t *>(arg);
    while (__atomic_load_n(&s->state, __ATOMIC_SEQ_CST) == YW_TCP_SERVER_RUNNING) {
        struct pollfd p[2] = {{s->socket, POLLIN, 0}, {s->wakefd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        if (__atomic_load_n(&s->state, __ATOMIC_SEQ_CST) != YW_TCP_SERVER_RUNNING || p[1].revents)
            break;
        struct sockaddr_in peer{};
        socklen_t len = sizeof(peer);
        int fd = accept4(s->socket, reinterpret_cast<struct sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (!yw_tcp_again(errno) && errno != ECONNABORTED) {
                int e = errno;
                char at[YW_IPC_INET_ADDR_TEXT];
                std::printf("%s:%d err=%s %s %s\n", __func__, __LINE__, std::strerror(e), s->name,
                            YW_ipc_inet_addrText(&s->address.addr_in, at));
                YW_P_sleepThread(nullptr, 100000000LL); // out of descriptors: not in a tight loop
            }
            continue;
        }
        yw_tcp_accepted(s, fd, peer);
    }
    return nullptr;
}

YW_ipc_t *YW_ipc_tcp_findByAddress(const YW_P_inet_address_t *pLocalAddr, const YW_P_inet_address_t *pRemoteAddr)
{
    if (!pLocalAddr || !pRemoteAddr)
        return nullptr;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        yw_ipc_table_guard g;
        if (yw_tcp_matches(YW_g_ipc[i].cfg, pLocalAddr, pRemoteAddr->addr_in))
            return &YW_g_ipc[i];
    }
    return nullptr;
}

YW_ret_t YW_ipc_tcp_create(YW_ipc_t *ipc)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    void *mem = YW_malloc(sizeof(YW_ipc_tcp_t));
    if (!mem)
        return YW_ERR_ENTITY_NULL;
    auto *t = new (mem) YW_ipc_tcp_t();
    YW_ipc_setPriv(ipc, t);
    YW_ret_t r = YW_ipc_inet_build(ipc, &t->inet, 1);
    if (r != YW_SUCCESS) {
        YW_ipc_tcp_delete(ipc);
        return r;
    }
    if (!yw_tcp_isServerSide(ipc->cfg))
        t->inet.onDrop = yw_tcp_reconnect;
    ipc->sap.fd = -1;
    yw_tcp_fillOps(ipc);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_tcp_delete(YW_ipc_t *ipc)
{
    YW_ipc_tcp_t *t = yw_tcp_of(ipc);
    if (!t)
        return YW_ERR_ENTITY_NULL;
    YW_ipc_tcp_release(ipc);
    YW_ipc_inet_free(&t->inet);
    t->~YW_ipc_tcp_t();
    YW_free(t);
    YW_ipc_setPriv(ipc, nullptr);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_tcp_open(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    YW_ret_t r = YW_ipc_open_sides(ipc, mode);
    if (r != YW_SUCCESS || !yw_tcp_of(ipc) || !yw_tcp_isServerSide(ipc->cfg))
        return r;
    // A listening channel whose server could not be started is tried once
    // more; a side that cannot be served is not left open.
    auto served = [ipc] {
        YW_shared_lock<std::mutex> g(yw_s_tcp_srv_lock);
        return YW_ipc_tcp_server_find(&ipc->cfg->address.local.inet) != nullptr;
    };
    if (served())
        return YW_SUCCESS;
    r = YW_ipc_tcp_setup(ipc);
    if (served())
        return YW_SUCCESS;
    YW_ipc_close_sides(ipc, mode);
    return r != YW_SUCCESS ? r : YW_FAIL;
}

YW_ret_t YW_ipc_tcp_close(YW_ipc_t *ipc, YW_uint32_t mode)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_ENTITY_NULL;
    return YW_ipc_close_sides(ipc, mode);
}

YW_ret_t YW_ipc_tcp_onStatusChange(YW_ipc_t *ipc)
{
    if (ipc && (YW_ipc_state_get(ipc) & YW_IPC_STATE_ASSIGNED) &&
        !(YW_ipc_state_get(ipc) & (YW_IPC_STATE_TX_UP | YW_IPC_STATE_RX_UP)))
        return YW_ipc_tcp_setup(ipc);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_tcp_setup(YW_ipc_t *ipc)
{
    YW_ipc_tcp_t *t = yw_tcp_of(ipc);
    if (!t)
        return YW_ERR_ENTITY_NULL;
    const YW_ipc_cfg_t *c = ipc->cfg;
    if (t->inet.rx.buffered)
        ipc->rx.buffer = &t->inet.rx.buffer;
    if (t->inet.tx.buffered)
        ipc->tx.buffer = &t->inet.tx.buffer;
    if (!yw_tcp_isServerSide(c))
        return YW_ipc_tcp_tryConnect(ipc);
    int err = 0;
    YW_ret_t r = yw_tcp_serverStart(&c->address.local.inet, &err);
    {
        YW_shared_lock<std::mutex> g(yw_s_tcp_srv_lock);
        t->server = YW_ipc_tcp_server_find(&c->address.local.inet);
    }
    // a second channel of an address served already is served by that server
    if (r != YW_SUCCESS && (err != 0 || !t->server)) {
        char at[YW_IPC_INET_ADDR_TEXT];
        std::printf("%s:%d tcp server start fail error=%d ipc %s %s: %s\n", __func__, __LINE__, (int)r, c->name,
                    YW_ipc_inet_addrText(&c->address.local.inet.addr_in, at),
                    err ? std::strerror(err) : "no server slot");
    }
    return r;
}

YW_ret_t YW_ipc_tcp_tryConnect(YW_ipc_t *ipc)
{
    if (!yw_tcp_of(ipc))
        return YW_ERR_ENTITY_NULL;
    yw_tcp_startRetryAfter(ipc, false);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_tcp_release(YW_ipc_t *ipc)
{
    YW_ipc_tcp_t *t = yw_tcp_of(ipc);
    if (!t)
        return YW_ERR_ENTITY_NULL;
    {
        YW_shared_lock<std::mutex> g(t->inet.lock);
        t->inet.released = 1;
    }
    yw_tcp_stopRetry(t);
    return YW_ipc_inet_release(ipc);
}

YW_size_t YW_ipc_tcp_send_direct(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    return YW_ipc_inet_send_now(ipc, data, size, 0);
}

YW_size_t YW_ipc_tcp_send_direct_framed(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    return YW_ipc_inet_send_now(ipc, data, size, 1);
}

YW_size_t YW_ipc_tcp_send_buffered(YW_ipc_t *ipc, const void *data, YW_size_t size)
{
    return YW_ipc_inet_send_buffered(ipc, data, size);
}

YW_size_t YW_ipc_tcp_recv(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    const YW_uint32_t f = ipc->cfg->flags;
    if (f & YW_IPC_FLAGS_RX_BUFFERED)
        return YW_ipc_tcp_recv_buffered(ipc, bp, size);
    if (f & YW_IPC_FLAGS_FRAMED)
        return YW_ipc_tcp_recv_direct_framed(ipc, bp, size);
    return YW_ipc_tcp_recv_direct(ipc, bp, size);
}

YW_size_t YW_ipc_tcp_recv_direct(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_tcp_t *t = yw_tcp_of(ipc);
    if (!t || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_ENTITY_NULL;
    if (size < 1 || !bp)
        return YW_ERR_INVD_ARGS;
    YW_shared_lock<std::mutex> rl(t->inet.rxlock);
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(&t->inet);
    if (!s)
        return YW_ERR_IPC_INET_RX_NODATA;
    YW_int64_t n = yw_tcp_read(ipc, s, bp, size);
    YW_ipc_inet_sockPut(s);
    if (n < 0)
        return YW_ERR_IPC_INET_RX_NODATA;
    YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)(1));
    return n;
}

YW_size_t YW_ipc_tcp_recv_direct_framed(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    YW_ipc_tcp_t *t = yw_tcp_of(ipc);
    if (!t || !is_ipc_rx_ready(YW_ipc_state_get(ipc)))
        return YW_ERR_ENTITY_NULL;
    if (size < 0 || (size > 0 && !bp))
        return YW_ERR_INVD_ARGS;
    YW_ipc_inet_t &o = t->inet;
    YW_ipc_frame_rx_context_t &c = o.rx_frame_context;
    YW_shared_lock<std::mutex> rl(o.rxlock);
    if (!c.data)
        return YW_ERR_RX_NOT_READY;
    YW_ipc_inet_sock_t *s = YW_ipc_inet_sockGet(&o);
    if (!s)
        return YW_ERR_IPC_INET_RX_NODATA;
    YW_size_t r = YW_ERR_IPC_INET_RX_NODATA;
    // What one read brings is kept in the area (twice a frame: a whole frame
    // and the start of the next always fit); a frame is handed out once its
    // header was checked and all of it is held.
    for (int reads = 0;;) {
        if (c.offset >= YW_IPC_FRAME_HEADER_SIZE) {
            if (!YW_ipc_inet_frameOk(&o, c.data, c.offset)) {
                YW_stat_add<YW_count_t>(ipc->rx.lenerr);
                c.status = 0;
                c.offset = 0;
                YW_ipc_inet_drop(ipc, s);
                break;
            }
            YW_uint32_t seq, len;
            YW_ipc_frame_getHeader(c.data, &seq, &len);
            c.length = len;
            c.status = c.offset >= (YW_int64_t)len ? 2 : 1;
        }
        if (c.status == 2) {
            if (YW_IPC_PayloadLength(c.length) > size) {
                r = YW_ERR_RX_BUFFER_SHORT; // kept for a larger buffer
                break;
            }
            r = YW_ipc_recv_postprocess(ipc, c.data, c.length, 1, bp, size);
            YW_stat_add<YW_int64_t>(ipc->status.rxPackets, (YW_int64_t)(1));
            c.offset -= c.length;
            if (c.offset > 0)
                std::memmove(c.data, c.data + c.length, (size_t)c.offset);
            c.status = 0;
            c.length = 0;
            break;
        }
        if (reads++ > 0 || c.offset >= c.size)
            break;
        YW_int64_t n = yw_tcp_read(ipc, s, c.data + c.offset, c.size - c.offset);
        if (n < 0)
            break;
        c.offset += n;
    }
    YW_ipc_inet_sockPut(s);
    return r;
}

YW_size_t YW_ipc_tcp_recv_buffered(YW_ipc_t *ipc, void *bp, YW_size_t size)
{
    return YW_ipc_inet_recv_buffered(ipc, bp, size);
}

} // extern "C"
