// The TCP transport's client side: a circuit over a connected socket, its
// factory (scheme "tcp") and the endpoint validator of "tcp:host:port".
#include "wq_endpoint.h"

#include "corba_string.h"
#include "osa/yw_nocancel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <algorithm>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Parses a decimal port 1..65535 from p up to `end`; false otherwise.
bool parse_port(char const *p, char const *end, uint16_t &port)
{
    if (p == end)
        return false;
    uint32_t v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<uint32_t>(*p - '0');
        if (v > 65535)
            return false;
    }
    if (v == 0)
        return false;
    port = static_cast<uint16_t>(v);
    return true;
}

// host:port of an address part, up to ',' or blank or the end.
bool split_address(char const *a, char *host, uint32_t size, uint16_t &port)
{
    char const *end = a;
    while (*end && *end != ',' && *end != ' ')
        ++end;
    char const *colon = nullptr;
    for (char const *p = a; p < end; ++p)
        if (*p == ':')
            colon = p;
    if (!colon)
        return false;
    uint32_t hl = static_cast<uint32_t>(colon - a);
    if (hl + 1 > size)
        return false;
    if (!parse_port(colon + 1, end, port))
        return false;
    std::memcpy(host, a, hl);
    host[hl] = '\0';
    return true;
}

bool tcp_valid(char const *address)
{
    char host[256];
    uint16_t port;
    return split_address(address, host, sizeof host, port);
}

char const *tcp_why(char const *address)
{
    return tcp_valid(address) ? "" : "tcp endpoint must be host:port with a port from 1 to 65535";
}

const wq_EndpointRegistry::FunctionPtrs tcp_functions = {tcp_valid, tcp_why, tcp_valid, tcp_why};

// Applies one "scheme://name:value" item of a QoS list to the socket.
void apply_qos_item(int fd, char const *item, size_t n)
{
    std::string_view v(item, n);
    size_t k = v.find("://");
    if (k != std::string_view::npos)
        v.remove_prefix(k + 3);
    size_t c = v.find(':');
    if (c == std::string_view::npos)
        return;
    std::string_view name = v.substr(0, c), val = v.substr(c + 1);
    int iv = 0;
    if (val == "TRUE" || val == "true")
        iv = 1;
    else if (val == "FALSE" || val == "false")
        iv = 0;
    else {
        for (char ch : val) {
            if (ch < '0' || ch > '9')
                return;
            if (iv > 100000000)
                return;
            iv = iv * 10 + (ch - '0');
        }
    }
    if (name == "nodelay")
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &iv, sizeof iv);
    else if (name == "rcvbuf")
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &iv, sizeof iv);
    else if (name == "sndbuf")
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &iv, sizeof iv);
    else if (name == "linger") {
        linger l{1, iv};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
}

void apply_qos(int fd, char const *qos)
{
    if (!qos)
        return;
    while (*qos) {
        char const *e = std::strchr(qos, ',');
        size_t n = e ? static_cast<size_t>(e - qos) : std::strlen(qos);
        apply_qos_item(fd, qos, n);
        if (!e)
            break;
        qos = e + 1;
        while (*qos == ' ')
            ++qos;
    }
}

} // namespace

bool wq_tcp_split(char const *endpoint, char *host, uint32_t size, uint16_t &port)
{
    uint32_t k = wq_addr_index(endpoint);
    if (k == 0 || !wq_scheme_match("tcp", endpoint))
        return false;
    return split_address(endpoint + k, host, size, port);
}

wq_NetCircuitTCP::~wq_NetCircuitTCP()
{
    YW_P_noCancel hold; // close is a cancellation point
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t wq_monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

// Waits until the socket is ready for `events` or the deadline passes
// (false then).
bool wait_ready(int fd, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - wq_monotonic_ms();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 60000)));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return true; // the next call reports the error
    }
}

} // namespace

namespace {

bool set_rcv_timeout(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

} // namespace

long wq_NetCircuitTCP::read(void *buffer, unsigned long length)
{
    if (int wait = read_wait_ms) {
        // A blocking receive with the socket's time-out: the wait and the
        // read are one call.
        read_wait_ms = 0;
        if (wait > 0 && rcv_timeout_ms_ != wait && set_rcv_timeout(fd_, wait))
            rcv_timeout_ms_ = wait;
        if (wait > 0 && rcv_timeout_ms_ == wait) {
            ssize_t n;
            while ((n = ::recv(fd_, buffer, length, 0)) < 0 && errno == EINTR) {
            }
            if (n >= 0) {
                read_drained = static_cast<unsigned long>(n) < length || n == 0;
                return n;
            }
            read_drained = false;
            last_read_error = errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
            errno = last_read_error;
            return -1;
        }
    }
    // A read that may block waits without the time-out.
    if (rcv_timeout_ms_ && !read_deadline_ms && set_rcv_timeout(fd_, 0))
        rcv_timeout_ms_ = 0;
    for (;;) {
        // With a deadline the socket is never waited on in recv itself.
        int64_t deadline = read_deadline_ms;
        ssize_t n = ::recv(fd_, buffer, length, deadline ? MSG_DONTWAIT : 0);
        if (n >= 0) {
            read_drained = static_cast<unsigned long>(n) < length || n == 0;
            return n;
        }
        read_drained = false;
        if (errno == EINTR)
            continue;
        if (deadline && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_ready(fd_, POLLIN, deadline))
                continue;
            errno = ETIMEDOUT;
        }
        last_read_error = errno;
        return -1;
    }
}

long wq_NetCircuitTCP::write(const void *buffer, unsigned long length)
{
    // A long buffer goes in pieces: the peer takes in one piece while the
    // next is sent, where one long send would hold the socket throughout.
    constexpr unsigned long kSendPiece = 262144;
    const char *p = static_cast<const char *>(buffer);
    unsigned long done = 0;
    while (done < length) {
        int64_t deadline = write_deadline_ms;
        ssize_t n = ::send(fd_, p + done, std::min(length - done, kSendPiece), MSG_NOSIGNAL | (deadline ? MSG_DONTWAIT : 0));
        if (n > 0) {
            done += static_cast<unsigned long>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && deadline && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_ready(fd_, POLLOUT, deadline))
                continue;
            errno = ETIMEDOUT;
        }
        if (n < 0) {
            last_write_error = errno;
            return done ? static_cast<long>(done) : -1;
        }
        return static_cast<long>(done);
    }
    return static_cast<long>(done);
}

void wq_NetCircuitTCP::shutdown(bool) 
{
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

char const *wq_NetCircuitTCP::get_peer_endpoint()
{
    if (!peer_[0] && fd_ >= 0) {
        sockaddr_storage ss{};
        socklen_t l = sizeof ss;
        if (getpeername(fd_, reinterpret_cast<sockaddr *>(&ss), &l) == 0 && ss.ss_family == AF_INET) {
            auto *in = reinterpret_cast<sockaddr_in *>(&ss);
            char a[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &in->sin_addr, a, sizeof a);
            std::snprintf(peer_, sizeof peer_, "tcp:%s:%u", a, ntohs(in->sin_port));
        }
    }
    return peer_[0] ? peer_ : nullptr;
}

wq_NetCircuitReleasor wq_NetCircuitTCP::get_releasor() { return wq_NetCircuitTCPFactory::release_circuit; }

bool wq_NetCircuitTCP::connect(char const *host, uint16_t port, char const *qos)
{
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char ps[8];
    std::snprintf(ps, sizeof ps, "%u", port);
    if (getaddrinfo(host && *host ? host : "localhost", ps, &hints, &res) != 0 || !res)
        return false;
    bool ok = false;
    for (addrinfo *a = res; a && !ok; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        apply_qos(fd, qos);
        int r;
        do
            r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        while (r < 0 && errno == EINTR);
        if (r == 0) {
            fd_ = fd;
            ok = true;
        } else {
            ::close(fd);
        }
    }
    freeaddrinfo(res);
    return ok;
}

wq_NetCircuit *wq_NetCircuitTCPFactory::initiate_connection(char const *endpoint, char const *qos, int)
{
    char host[256];
    uint16_t port = 0;
    if (!wq_tcp_split(endpoint, host, sizeof host, port))
        return nullptr;
    auto *c = new wq_NetCircuitTCP();
    c->endpoint(endpoint);
    if (!c->connect(host, port, qos)) {
        delete c;
        return nullptr;
    }
    return c;
}

void wq_NetCircuitTCPFactory::release_circuit(wq_NetCircuit *circuit) { delete circuit; }

namespace {
// The built-in TCP transport registers its validators and circuit factory at
// start-up, so that a "tcp" factory registered later is the one found.
struct TcpTransport {
    TcpTransport() { wq_EndpointRegistry::_register(&tcp_functions, "tcp"); }
    wq_NetCircuitTCPFactory factory;
} g_tcp_transport;
} // namespace

void wq_builtin_transports() {}
