// TCP server of the command interface: the thread "TCPSERVER" listens on
// port 30000 (or the next free port), accepts connections and hands each to
// a free client slot with its own client thread.
#include "yw_cli_int.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "osa/yw_osa.h"

YW_Tcp_Server_Context *YW_g_CmdServerCtx = nullptr;

namespace {

constexpr int kServerPriority = 50;
constexpr YW_int64_t kServerStackSize = 32768;
// Client loops format output on their stack and may run service commands;
// give them a stack every platform accepts.
constexpr YW_int64_t kClientStackSize = 256 * 1024;
constexpr int kListenBacklog = 16;
constexpr int kSelectTimeoutMs = 3000;
// Pause after an accept that failed for lack of resources.
constexpr int kAcceptRetryMs = 100;

YW_Tcp_Server_Context YW_s_ServerContext0;

// First port tried by the next server started.
std::atomic<int> s_firstPort{YW_CLI_SERVER_PORT};
// Set by stop; the accept loop checks it after opening its socket, so a stop
// that comes before the loop has started is not lost.
std::atomic<bool> s_stopRequested{false};
// Connection counter; with the slot number it makes each connection's token.
std::atomic<uint32_t> s_connections{0};
YW_int32_t YW_s_ClientIndex = 0;

// Progress of the accept loop, for YW_cli_StartServerOnPort.
enum class SrvState { Idle, Starting, Listening, Failed, Ended };
std::mutex s_stateLock;
std::condition_variable s_stateCv;
SrvState s_state = SrvState::Idle;
int s_listenPort = -1;

void setState(SrvState st, int port = -1)
{
    {
        std::lock_guard<std::mutex> g(s_stateLock);
        s_state = st;
        s_listenPort = st == SrvState::Listening ? port : -1;
        // Notified under the lock: the waiter may be about to end the process.
        s_stateCv.notify_all();
    }
}

std::atomic_ref<YW_int32_t> atom(YW_int32_t &v)
{
    return std::atomic_ref<YW_int32_t>(v);
}

YW_int32_t YW_cli_TcpServerDefaultNop(YW_Tcp_Server_Context *)
{
    return 0;
}

void *serverEntry(void *arg)
{
    auto *ctx = static_cast<YW_Tcp_Server_Context *>(arg);
    if (ctx->run != nullptr) {
        ctx->run(ctx);
    }
    setState(SrvState::Ended);
    {
        std::lock_guard<std::mutex> g(yw_cli::g_threadLock);
        --yw_cli::g_serverThreads;
        // Notified under the lock: the waiter may be about to end the process.
        yw_cli::g_threadCv.notify_all();
    }
    return nullptr;
}

using ClientEntry = void *(*)(void *);
const ClientEntry kClientEntries[YW_CLI_CLIENT_MAX] = {YW_runCLIProc1, YW_runCLIProc2, YW_runCLIProc3, YW_runCLIProc4,
                                                        YW_runCLIProc5};

}  // namespace

using namespace yw_cli;

extern "C" {

YW_Tcp_Server_Context *YW_cli_TcpServerAlloc(void)
{
    printf("YW_cli_TcpServerAlloc(): start!!!!!\n");
    YW_Tcp_Server_Context *ctx = &YW_s_ServerContext0;
    atom(ctx->flags).store(0);
    atom(ctx->port).store(s_firstPort.load());
    atom(ctx->fd).store(-1);  // no socket yet: never descriptor 0
    ctx->thread = nullptr;
    ctx->init = YW_cli_TcpServerDefaultInit;
    ctx->start = YW_cli_TcpServerDefaultStart;
    ctx->run = YW_cli_TcpServerDefaultRun;
    ctx->stop = YW_cli_TcpServerDefaultStop;
    ctx->onClientConnection = nullptr;
    ctx->priv = nullptr;
    ctx->refCount = 1;
    return ctx;
}

YW_int32_t YW_cli_TcpServerDefaultInit(YW_Tcp_Server_Context *ctx)
{
    return YW_cli_TcpServerDefaultNop(ctx);
}

YW_int32_t YW_cli_TcpServerDefaultStart(YW_Tcp_Server_Context *ctx)
{
    printf("YW_cli_TcpServerDefaultStart(): start!!!!!\n");
    s_stopRequested.store(false);
    loadClientBounds();
    setState(SrvState::Starting);
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        ++g_serverThreads;
    }
    YW_P_thread_t th = nullptr;
    YW_ret_t ret = YW_P_createThread("TCPSERVER", 0, kServerPriority, kServerStackSize, 0, serverEntry, ctx, &th);
    printf("server thread start %s\n", ret == 0 ? "OK" : "fail");
    if (ret != 0) {
        {
            std::lock_guard<std::mutex> g(g_threadLock);
            --g_serverThreads;
        }
        setState(SrvState::Failed);
        return YW_FAIL;
    }
    ctx->thread = th;
    return 0;
}

YW_int32_t YW_cli_TcpServer(YW_int32_t port, YW_int32_t *fdOut)
{
    printf("YW_cli_TcpServer(): start!!!!!\n");
    YW_P_socket_arg_t sarg = {AF_INET, SOCK_STREAM, 0};
    YW_P_socket_t fd = -1;
    if (YW_P_createSocket(&sarg, &fd) != 0 || fd < 0) {
        int e = errno;
        printf("socket error [errno = %#x]\n", e);
        if (fdOut != nullptr) {
            *fdOut = -1;
        }
        errno = e;
        return YW_FAIL;
    }
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    int one = 1;
    YW_P_socket_control_arg_t carg = {SOL_SOCKET, SO_REUSEADDR, &one, static_cast<YW_int32_t>(sizeof(one))};
    YW_P_controlSocket(fd, &carg);

    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const char *what = nullptr;
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
        what = "BIND ";
    } else if (::listen(fd, kListenBacklog) < 0) {
        what = "LISTEN ";
    }
    if (what != nullptr) {
        int e = errno;
        perror(what);
        ::close(fd);
        if (fdOut != nullptr) {
            *fdOut = -1;
        }
        errno = e;
        return YW_FAIL;
    }
    if (fdOut != nullptr) {
        *fdOut = fd;
    }
    return fd;
}

YW_int32_t YW_cli_TcpServerDefaultRun(YW_Tcp_Server_Context *ctx)
{
    printf("YW_cli_TcpServerDefaultRun(): start!!!!!\n");
    int port = atom(ctx->port).load();
    int fd = -1;
    // Move on to the next port only while the port is taken by someone else.
    for (int tries = 1;; ++tries) {
        if (YW_cli_TcpServer(port, &fd) >= 0) {
            break;
        }
        int e = errno;
        if (e != EADDRINUSE || port <= 0 || port >= 65535 || tries >= YW_CLI_PORT_SEARCH_MAX ||
            s_stopRequested.load()) {
            printf("open server socket port=%d fail: %s\n", port, strerror(e));
            setState(SrvState::Failed);
            return YW_FAIL;
        }
        ++port;
    }
    if (port == 0) {
        struct sockaddr_in addr;
        socklen_t alen = sizeof(addr);
        if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &alen) == 0) {
            port = ntohs(addr.sin_port);
        }
    }
    atom(ctx->port).store(port);
    atom(ctx->fd).store(fd);
    printf("open server socket port=%d OK\n", port);

    if (!s_stopRequested.load()) {
        atom(ctx->flags).fetch_or(1);
        setState(SrvState::Listening, port);
    }
    YW_Tcp_Client_Info info = {-1, nullptr};
    unsigned pass = 0;
    bool failed = false;
    while ((atom(ctx->flags).load() & 1) != 0) {
        if (++pass % 100 == 0) {
            printf("wait client connection port=%d\n", port);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, kSelectTimeoutMs);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            printf("server socket error\n");
            failed = true;
            break;
        }
        if (r == 0) {
            continue;
        }
        if ((atom(ctx->flags).load() & 1) == 0) {
            break;
        }
        struct sockaddr_in peer;
        YW_int32_t cliFd = -1;
        if (YW_cli_TcpGetConnection(fd, &cliFd, &peer) >= 0) {
            printf("cliSocketFd = [%d]/n", cliFd);
            info.cliSocketFd = cliFd;
            YW_cli_TcpClientConnectionThreadCreate(&info);
        } else {
            printf("get client connection fail");
            // Out of descriptors or memory, the connection stays queued and
            // the socket stays readable: polling again at once would spin.
            // Wait a little (or until stopped) before the next try.
            std::unique_lock<std::mutex> lk(s_stateLock);
            s_stateCv.wait_for(lk, std::chrono::milliseconds(kAcceptRetryMs),
                               [ctx] { return (atom(ctx->flags).load() & 1) == 0; });
        }
    }
    if (failed) {
        atom(ctx->flags).fetch_and(~1);
    }
    // The accept loop owns the listening socket: it alone closes it.
    atom(ctx->fd).store(-1);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return failed ? YW_FAIL : 0;
}

YW_int32_t YW_cli_TcpServerDefaultStop(YW_Tcp_Server_Context *ctx)
{
    printf("stop server thread %lx\n", reinterpret_cast<unsigned long>(ctx->thread));
    s_stopRequested.store(true);
    {
        // Under the state lock, so an accept loop pausing after a failed
        // accept sees the cleared bit at once.
        std::lock_guard<std::mutex> g(s_stateLock);
        atom(ctx->flags).fetch_and(~1);
        s_stateCv.notify_all();
    }
    int fd = atom(ctx->fd).load();
    if (fd >= 0) {
        // Wakes the accept loop at once; it closes the socket itself.
        ::shutdown(fd, SHUT_RDWR);
    }
    return 0;
}

YW_int32_t YW_cli_TcpGetConnection(YW_int32_t fd, YW_int32_t *cliFd, struct sockaddr_in *addr)
{
    YW_P_socket_accept_arg_t arg;
    std::memset(&arg, 0, sizeof(arg));
    arg.socket = -1;
    if (YW_P_acceptSocket(fd, &arg) != 0 || arg.socket < 0) {
        perror("YW_cli_TcpGetConnection(): ACCEPT ");
        if (cliFd != nullptr) {
            *cliFd = -1;
        }
        return YW_FAIL;
    }
    (void)fcntl(arg.socket, F_SETFD, FD_CLOEXEC);
    if (addr != nullptr) {
        *addr = arg.sockaddr;
    }
    if (cliFd != nullptr) {
        *cliFd = arg.socket;
    }
    printf("YW_cli_TcpGetConnection(): cliSd = [%d]\n", arg.socket);
    return arg.socket;
}

YW_int32_t YW_cli_TcpClientConnectionThreadCreate(YW_Tcp_Client_Info *info)
{
    if (info == nullptr || info->cliSocketFd < 0) {
        return YW_FAIL;
    }
    int k = -1;
    int count;
    void *prevThread = nullptr;
    {
        // Slot and socket are claimed in one step under the table lock.
        std::unique_lock<std::mutex> tg(g_slotTableLock);
        {
            std::lock_guard<std::mutex> g(g_threadLock);
            count = g_clientThreads;
        }
        printf("YW_cli_TcpClientConnectionThreadCreate(): YW_s_ClientCount = [%d]\n", count);
        for (int i = 0; i < YW_CLI_CLIENT_MAX; ++i) {
            printf("YW_cli_TcpClientConnectionThreadCreate(): YW_s_FlagClientUsed%d = [%d]\n", i + 1,
                   g_slots[i].used ? 1 : 0);
        }
        for (int i = 0; i < YW_CLI_CLIENT_MAX && k < 0; ++i) {
            if (!g_slots[i].used) {
                k = i;
            }
        }
        if (k < 0) {
            // All taken: a client idle long enough gives way to the newcomer.
            k = takeSlotOfIdlest(tg);
        }
        if (k >= 0) {
            ClientSlot &s = g_slots[k];
            s.used = true;
            prevThread = s.thread;
            s.thread = nullptr;
            s.logStalled.store(false);
            s.outStalled.store(false);
            s.evicted.store(false);
            s.lastActiveNs.store(nowNs());
            std::lock_guard<std::shared_mutex> g(s.lock);
            s.fd = info->cliSocketFd;
            uint32_t n = s_connections.fetch_add(1) + 1;
            s.token = (n << 3) | static_cast<uint32_t>(k + 1);
            s.logPort = -1;
            YW_s_ClientIndex = k;
        }
    }
    // The slot's previous client thread has left its client loop.
    if (prevThread != nullptr) {
        YW_P_deleteThread(static_cast<YW_P_thread_t>(prevThread));
    }
    if (k < 0) {
        printf("YW_cli_TcpClientConnectionThreadCreate(): client socket error!!!!!\n");
        // Refused for lack of a slot: the connection is closed, not leaked.
        ::close(info->cliSocketFd);
        info->cliSocketFd = -1;
        return YW_FAIL;
    }
    // The slot now owns the socket.
    info->cliSocketFd = -1;
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        ++g_clientThreads;
    }
    char name[32];
    snprintf(name, sizeof(name), "tcpconnect%d", count);
    YW_P_thread_t th = nullptr;
    YW_ret_t ret = YW_P_createThread(name, 0, kServerPriority, kClientStackSize, 0, kClientEntries[k], info, &th);
    printf("YW_cli_TcpClientConnectionThreadCreate %s\n", ret == 0 ? "OK" : "fail");
    if (ret != 0) {
        {
            std::lock_guard<std::mutex> g(g_threadLock);
            --g_clientThreads;
            // Notified under the lock: the waiter may be about to end the process.
            g_threadCv.notify_all();
        }
        releaseSlot(k);
        return YW_FAIL;
    }
    // The handle stays with the slot: releasing it now would make the client
    // thread end at its first wait in the thread layer (a command that sleeps).
    info->threadID = th;
    {
        std::lock_guard<std::mutex> tg(g_slotTableLock);
        g_slots[k].thread = th;
    }
    return 0;
}

YW_int32_t YW_cli_StartServerOnPort(YW_int32_t port, YW_int32_t timeoutMs)
{
    if (port < 0 || port > 65535) {
        return YW_FAIL;
    }
    s_firstPort.store(port);
    YW_int32_t ret = YW_startCLIManage();
    s_firstPort.store(YW_CLI_SERVER_PORT);
    if (ret != 0) {
        return YW_FAIL;
    }
    int result = -1;
    {
        std::unique_lock<std::mutex> lk(s_stateLock);
        s_stateCv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                           [] { return s_state != SrvState::Starting; });
        if (s_state == SrvState::Listening) {
            result = s_listenPort;
        }
    }
    if (result < 0) {
        YW_shutdownCLIManage();
    }
    return result;
}

YW_int32_t YW_cli_GetServerPort(void)
{
    std::lock_guard<std::mutex> g(s_stateLock);
    return s_state == SrvState::Listening ? s_listenPort : -1;
}

}  // extern "C"
