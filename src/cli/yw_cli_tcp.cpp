// Client loops of the command interface: one per client slot, each reading
// characters from its own socket, assembling lines and running commands.
#include "yw_cli_int.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "osa/yw_osa.h"

namespace yw_cli {

ClientSlot g_slots[YW_CLI_CLIENT_MAX];
std::mutex g_slotTableLock;
std::condition_variable g_slotFreedCv;

std::mutex g_threadLock;
std::condition_variable g_threadCv;
int g_serverThreads = 0;
int g_clientThreads = 0;

namespace {

constexpr char kLF = 10;
constexpr char kCR = 13;
constexpr char kESC = 27;

// The newcomer waits this long for the slot of the client it displaced.
constexpr int kSlotHandOverMs = 5000;
// A parting line to a client is sent within this, or not at all.
constexpr int kPartingWaitMs = 1000;
// Bounds a knob may set (milliseconds).
constexpr long kBoundMaxMs = 86400000;

std::atomic<int> s_lineWaitMs{YW_CLI_LINE_WAIT_MS};
std::atomic<int> s_idleMinMs{YW_CLI_IDLE_MIN_MS};

int boundFromEnv(const char *name, int dflt)
{
    const char *v = std::getenv(name);
    if (v == nullptr || *v == '\0') {
        return dflt;
    }
    char *end = nullptr;
    errno = 0;
    long ms = std::strtol(v, &end, 10);
    if (errno != 0 || *end != '\0' || ms < 1 || ms > kBoundMaxMs) {
        printf("%s=%s ignored: not a number of milliseconds in 1..%ld\n", name, v, kBoundMaxMs);
        return dflt;
    }
    return static_cast<int>(ms);
}

// How a client loop ended.
enum class LoopEnd { Closed, Quit, LineTimedOut, Displaced };

// Waits for the client's next byte. A line in progress must be finished by
// `deadlineNs` (0: no line in progress, no limit). Returns 1 with the byte
// in c, 0 when the connection ended or failed, -1 when the line ran out of
// time.
int readByte(int fd, char &c, int64_t deadlineNs)
{
    for (;;) {
        int waitMs = -1;
        if (deadlineNs != 0) {
            int64_t left = deadlineNs - nowNs();
            if (left <= 0) {
                return -1;
            }
            waitMs = static_cast<int>((left + 999999) / 1000000);
        }
        struct pollfd p = {fd, POLLIN, 0};
        int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno != EINTR) {
            return 0;
        }
        if (r <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd, &c, 1, 0);
        if (n == 1) {
            return 1;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        return 0;
    }
}

// One last line to the client of slot k, sent only as far as it goes at once.
void sayParting(int k, const char *text)
{
    ClientSlot &s = g_slots[k];
    std::shared_lock<std::shared_mutex> g(s.lock);
    if (s.fd >= 0 && !s.outStalled.load()) {
        writeAll(s.fd, text, std::strlen(text), kPartingWaitMs);
    }
}

int writePrompt()
{
    return cliWrite(YW_CLI_PROMPT, sizeof(YW_CLI_PROMPT) - 1);
}

// A peer that vanishes without closing (host down, cable pulled) would keep
// the client loop blocked in its read, and its slot taken, for good: probe an
// idle connection and let the read fail after about three minutes.
void enableKeepAlive(int fd)
{
    int on = 1, idle = 120, interval = 10, count = 6;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

// Ends the connection gracefully: closing a socket that still holds unread
// input (the LF of a CR LF line end, say) makes the kernel send a reset, and
// the peer then loses the last reply ("Exit...") still on its way. So the
// sending side is shut first and the input already received is read and
// dropped. Nothing here waits: the slot is given back right after.
void drainBeforeClose(int fd)
{
    ::shutdown(fd, SHUT_WR);
    char scratch[512];
    for (int i = 0; i < 64; ++i) {
        ssize_t n = ::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
    }
}

}  // namespace

void releaseSlot(int k)
{
    ClientSlot &s = g_slots[k];
    // Remove the log port first: the log side may be calling into this slot's
    // output while holding its own lock, so this is done without our locks.
    int port;
    {
        std::lock_guard<std::shared_mutex> g(s.lock);
        port = s.logPort;
        s.logPort = -1;
    }
    if (port >= 0) {
        delClientLogPort(port);
    }
    // The peer sees the end of the connection only while the slot table is
    // locked, so a client that reconnects at once finds the slot free.
    std::lock_guard<std::mutex> tg(g_slotTableLock);
    {
        std::lock_guard<std::shared_mutex> g(s.lock);
        if (s.fd >= 0) {
            drainBeforeClose(s.fd);
            ::close(s.fd);
        }
        s.fd = -1;
        s.token = 0;
    }
    s.used = false;
    g_slotFreedCv.notify_all();
}

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void markActive(int k)
{
    if (k >= 0 && k < YW_CLI_CLIENT_MAX) {
        g_slots[k].lastActiveNs.store(nowNs());
    }
}

void loadClientBounds()
{
    s_lineWaitMs.store(boundFromEnv(YW_CLI_LINE_WAIT_ENV, YW_CLI_LINE_WAIT_MS));
    s_idleMinMs.store(boundFromEnv(YW_CLI_IDLE_MIN_ENV, YW_CLI_IDLE_MIN_MS));
}

int lineWaitMs()
{
    return s_lineWaitMs.load();
}

int idleMinMs()
{
    return s_idleMinMs.load();
}

int takeSlotOfIdlest(std::unique_lock<std::mutex> &tl)
{
    const int64_t now = nowNs();
    const int64_t idleMin = static_cast<int64_t>(idleMinMs()) * 1000000;
    int victim = -1;
    int64_t longest = -1;
    for (int k = 0; k < YW_CLI_CLIENT_MAX; ++k) {
        ClientSlot &s = g_slots[k];
        if (!s.used || s.evicted.load() || s.outStalled.load()) {
            continue;
        }
        int64_t idle = now - s.lastActiveNs.load();
        if (idle >= idleMin && idle > longest) {
            longest = idle;
            victim = k;
        }
    }
    if (victim < 0) {
        return -1;
    }
    {
        // Only the reading side is shut: the client loop wakes, writes its
        // parting line and ends, freeing the slot.
        ClientSlot &s = g_slots[victim];
        std::shared_lock<std::shared_mutex> g(s.lock);
        s.evicted.store(true);
        if (s.fd >= 0) {
            ::shutdown(s.fd, SHUT_RD);
        }
    }
    auto freeSlot = [] {
        for (int k = 0; k < YW_CLI_CLIENT_MAX; ++k) {
            if (!g_slots[k].used) {
                return k;
            }
        }
        return -1;
    };
    g_slotFreedCv.wait_for(tl, std::chrono::milliseconds(kSlotHandOverMs), [&] { return freeSlot() >= 0; });
    return freeSlot();
}

void runClientLoop(int k)
{
    ClientSlot &s = g_slots[k];
    int fd;
    uint32_t token;
    {
        std::shared_lock<std::shared_mutex> g(s.lock);
        fd = s.fd;
        token = s.token;
    }
    setCurrentClient(k, fd);
    YW_cli_TcpSetBlockMode(fd);
    enableKeepAlive(fd);
    printf("YW_runCLIProc%d(): start!!!!!! \n", k + 1);

    int port = addClientLogPort(token);
    {
        std::lock_guard<std::shared_mutex> g(s.lock);
        s.logPort = port;
    }

    registerBuiltins();

    char line[YW_CLI_LINE_MAX + 1];
    char recall[YW_CLI_LINE_MAX + 1];
    int len = 0;
    bool recalled = false;
    recall[0] = '\0';
    writePrompt();

    // A line started must be finished in time: a client that trickles
    // characters (or none) without ending its line would hold its slot.
    const int64_t lineWaitNs = static_cast<int64_t>(lineWaitMs()) * 1000000;
    int64_t lineStartNs = 0;
    LoopEnd end = LoopEnd::Closed;
    for (;;) {
        char c;
        int got = readByte(fd, c, lineStartNs != 0 ? lineStartNs + lineWaitNs : 0);
        if (got < 0) {
            end = LoopEnd::LineTimedOut;
            break;
        }
        if (got == 0) {
            end = s.evicted.load() ? LoopEnd::Displaced : LoopEnd::Closed;
            break;
        }
        bool ran = false;
        if (c == kLF || c == kCR) {
            if (len > 0) {
                line[len] = '\0';
                std::memcpy(recall, line, static_cast<size_t>(len) + 1);
                recalled = false;
                ran = true;
                YW_int32_t ret = YW_cli_ProcCmdInput(line);
                len = 0;
                if (ret == YW_CLI_CMD_QUIT) {
                    end = LoopEnd::Quit;
                    break;
                }
            }
            if (c == kCR) {
                writePrompt();
            }
        } else if (c == kESC) {
            len = static_cast<int>(std::strlen(recall));
            std::memcpy(line, recall, static_cast<size_t>(len) + 1);
            if (len > 0) {
                recalled = true;
                writePrompt();
                cliWrite(line, static_cast<size_t>(len));
            }
        } else if (recalled || c == '\0') {
            // A recalled line is run as it is; a NUL can never be part of a line.
            continue;
        } else {
            if (len >= YW_CLI_LINE_MAX) {
                len = 0;
            }
            line[len++] = c;
        }
        // Typing into a line or running one is activity; a bare line end is not.
        if (len > 0 || ran) {
            markActive(k);
        }
        if (len == 0) {
            lineStartNs = 0;
        } else if (lineStartNs == 0) {
            lineStartNs = nowNs();
        }
    }

    if (end == LoopEnd::LineTimedOut) {
        printf("YW_runCLIProc%d(): line not finished within %d ms: disconnected\n", k + 1, lineWaitMs());
        sayParting(k, "\nline not finished in time: disconnected\n");
    } else if (end == LoopEnd::Displaced) {
        printf("YW_runCLIProc%d(): idle for %lld ms, slot given to a new client: disconnected\n", k + 1,
               static_cast<long long>((nowNs() - s.lastActiveNs.load()) / 1000000));
        sayParting(k, "\nidle while a new client needs the slot: disconnected\n");
    }
    printf("YW_runCLIProc%d(): q\n", k + 1);
    setCurrentClient(-1, -1);
    releaseSlot(k);
}

void releaseThreadHandles()
{
    void *handles[YW_CLI_CLIENT_MAX] = {};
    {
        std::lock_guard<std::mutex> tg(g_slotTableLock);
        for (int k = 0; k < YW_CLI_CLIENT_MAX; ++k) {
            if (!g_slots[k].used) {
                handles[k] = g_slots[k].thread;
                g_slots[k].thread = nullptr;
            }
        }
    }
    for (void *h : handles) {
        if (h != nullptr) {
            YW_P_deleteThread(static_cast<YW_P_thread_t>(h));
        }
    }
}

bool endAllClients(int timeoutMs)
{
    for (auto &s : g_slots) {
        std::shared_lock<std::shared_mutex> g(s.lock);
        if (s.fd >= 0) {
            // Wakes the client's blocking read; the client thread closes the socket.
            ::shutdown(s.fd, SHUT_RDWR);
        }
    }
    std::unique_lock<std::mutex> lk(g_threadLock);
    return g_threadCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [] { return g_clientThreads == 0; });
}

}  // namespace yw_cli

using namespace yw_cli;

namespace {

void *clientEntry(int k, void *arg)
{
    (void)arg;
    runClientLoop(k);
    {
        std::lock_guard<std::mutex> g(g_threadLock);
        --g_clientThreads;
        // Notified under the lock: the waiter may be about to end the process.
        g_threadCv.notify_all();
    }
    return nullptr;
}

}  // namespace

extern "C" {

void *YW_runCLIProc1(void *arg)
{
    return clientEntry(0, arg);
}

void *YW_runCLIProc2(void *arg)
{
    return clientEntry(1, arg);
}

void *YW_runCLIProc3(void *arg)
{
    return clientEntry(2, arg);
}

void *YW_runCLIProc4(void *arg)
{
    return clientEntry(3, arg);
}

void *YW_runCLIProc5(void *arg)
{
    return clientEntry(4, arg);
}

YW_int32_t YW_cli_TcpSetBlockMode(YW_int32_t fd)
{
    printf("sd = [%d]\n", fd);
    int flags = fcntl(fd, F_GETFL, 0);
    printf("flags = [%d]\n", flags);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        perror("SET NONBLOCK ");
        return YW_FAIL;
    }
    return 0;
}

YW_int32_t YW_cli_TcpSetNonBlockMode(YW_int32_t fd)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        perror("SET NONBLOCK ");
        return YW_FAIL;
    }
    return 0;
}

}  // extern "C"
