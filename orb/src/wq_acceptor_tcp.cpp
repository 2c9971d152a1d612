// The TCP acceptor: listens on a "tcp:host:port" endpoint and hands every
// accepted connection to the collector factory (the message circuits, which
// pass them on to the reader pool).
#include "corba_orb.h"
#include "wq_circuit.h"
#include "wq_dispatch.h"
#include "wq_endpoint.h"
#include "wq_thread.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <new>
#include <unistd.h>

namespace {

// A reply that a client does not read blocks its sender at most this long;
// then the circuit fails instead of holding a reader thread for ever.
constexpr int kSendTimeoutSeconds = 20;

// Accepted connections whose input (or end) waits and that no reader has
// read yet, whether the input came with the connection or later. While
// kMaxUnread of them wait, no more are accepted: further ones wait in the
// kernel's backlog rather than as open connections here, so that clients
// that send and go are accepted no faster than readers answer and close
// them. (The backlog is the system's largest, so that clients wait there
// rather than have their connections refused or retried.)
constexpr int32_t kMaxUnread = 64;
std::atomic<int32_t> g_unread{0};

// An accepted connection. Shutting it down stops its reading (waking a
// reader blocked on it) but leaves the sending side open, so that replies
// still due and a MessageError can go; the graceful shutdown, once they
// have gone, ends it both ways. The descriptor is closed when the circuit
// is released, after what the client sent unread is dropped (bounded), so
// that the close does not reset a connection whose last replies the client
// has yet to read.
class wq_NetCircuitTCPAccepted : public wq_NetCircuitTCP {
public:
    using wq_NetCircuitTCP::wq_NetCircuitTCP;
    ~wq_NetCircuitTCPAccepted() override
    {
        char sink[4096];
        for (int i = 0; i < 16 && fd() >= 0 && ::recv(fd(), sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    void shutdown(bool graceful) override
    {
        if (fd() >= 0)
            ::shutdown(fd(), graceful ? SHUT_RDWR : SHUT_RD);
    }
};

class wq_NetAcceptorTCP : public wq_NetAcceptor {
public:
    wq_NetAcceptorTCP(int fd, wq_NetCollectorFactory *collectors) : fd_(fd), collectors_(collectors)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~wq_NetAcceptorTCP() override { shutdown(true); }

    // Run by the destructor too: the join and the close are never where a
    // stop ends the thread.
    void shutdown(bool) override
    {
        YW_P_noCancel hold;
        if (stop_.exchange(true))
            return;
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(fd_);
    }
    wq_NetAcceptorReleasor get_releasor() override { return &release; }
    static void release(wq_NetAcceptor *a) { delete a; }

private:
    void run()
    {
        while (!stop_.load()) {
            if (g_unread.load(std::memory_order_acquire) >= kMaxUnread) {
                ::poll(nullptr, 0, 1);
                continue;
            }
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, 200);
            if (r <= 0 || stop_.load())
                continue;
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                // Out of descriptors or memory: back off instead of spinning.
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    ::usleep(10000);
                continue;
            }
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(c, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            timeval tv{kSendTimeoutSeconds, 0};
            ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            wq_NetCircuitTCPAccepted *net = nullptr;
            try {
                net = new wq_NetCircuitTCPAccepted(c);
                net->unread_gauge = &g_unread;
                char first;
                if (::recv(c, &first, 1, MSG_PEEK | MSG_DONTWAIT) >= 0)
                    net->input_waits();
                if (!collectors_ || !collectors_->create(net, nullptr, false))
                    wq_NetCircuitFactory::release(net);
            } catch (std::bad_alloc &) {
                // No memory for the connection: it is closed, and accepting
                // pauses a moment as when descriptors run out.
                if (net)
                    wq_NetCircuitFactory::release(net);
                else
                    ::close(c);
                ::usleep(10000);
            }
        }
    }

    int fd_;
    wq_NetCollectorFactory *collectors_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class wq_NetAcceptorTCPFactory : public wq_NetAcceptorFactory {
public:
    wq_NetAcceptorTCPFactory() : wq_NetAcceptorFactory("tcp") {}
    wq_NetAcceptor *create(char const *endpoint, char const *, wq_NetCollectorFactory *collectors, void *,
                           int) override
    {
        char host[256];
        uint16_t port = 0;
        if (!split(endpoint, host, sizeof host, port))
            return nullptr;
        addrinfo hints{}, *res = nullptr;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE;
        char ports[8];
        std::snprintf(ports, sizeof ports, "%u", port);
        if (::getaddrinfo(host[0] ? host : nullptr, ports, &hints, &res) != 0 || !res)
            return nullptr;
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        bool ok = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                  ::bind(fd, res->ai_addr, res->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0;
        ::freeaddrinfo(res);
        sockaddr_in sa{};
        socklen_t sl = sizeof sa;
        if (ok)
            ok = ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl) == 0;
        if (!ok) {
            if (fd >= 0)
                ::close(fd);
            return nullptr;
        }
        auto *a = new wq_NetAcceptorTCP(fd, collectors);
        // The endpoint published is the one actually bound (port 0 picks one);
        // an empty host publishes the loopback name.
        char text[300];
        std::snprintf(text, sizeof text, "tcp:%s:%u", host[0] ? host : "127.0.0.1", ntohs(sa.sin_port));
        a->endpoint(text);
        return a;
    }

private:
    // host:port of "tcp:host:port" or "tcp://host:port"; port 0 allowed.
    static bool split(char const *endpoint, char *host, uint32_t size, uint16_t &port)
    {
        uint32_t at = wq_addr_index(endpoint);
        if (at == 0)
            return false;
        char const *a = endpoint + at;
        char const *colon = std::strrchr(a, ':');
        if (!colon || static_cast<uint32_t>(colon - a) >= size)
            return false;
        std::memcpy(host, a, colon - a);
        host[colon - a] = 0;
        char *end = nullptr;
        errno = 0;
        unsigned long p = std::strtoul(colon + 1, &end, 10);
        if (errno || end == colon + 1 || (*end && *end != ',' && *end != ' ') || p > 65535)
            return false;
        port = static_cast<uint16_t>(p);
        return true;
    }
};

wq_NetAcceptorTCPFactory g_tcp_acceptor_factory;

// Accepted circuits go to the reader pool.
struct HandoffInstaller {
    HandoffInstaller() { wq_msg_circuit_handoff = &wq_pool_accepted; }
} g_handoff;

} // namespace

wq_NetAcceptorFactory *wq_tcp_acceptor_factory() { return &g_tcp_acceptor_factory; }
