// A two-way broker call over TCP on 127.0.0.1 (stub, request, GIOP circuit,
// reply matched to the caller) against a raw socket round trip of the same
// message sizes to the same echo server, measured in one run.
#include "bench_util.h"
#include "corba_object.h"
#include "corba_orb.h"
#include "wq_stub.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

bool read_n(int fd, uint8_t *p, size_t n)
{
    while (n) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// Answers each GIOP request with an empty NO_EXCEPTION reply carrying the
// request's id (little-endian, no contexts).
void serve_one(int fd)
{
    {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint8_t h[12];
        std::vector<uint8_t> m;
        while (read_n(fd, h, 12)) {
            uint32_t size;
            std::memcpy(&size, h + 8, 4);
            m.resize(size);
            if (!read_n(fd, m.data(), size))
                break;
            uint32_t id = 0;
            if (size >= 8)
                std::memcpy(&id, m.data() + 4, 4);
            uint8_t r[28] = {'G', 'I', 'O', 'P', 1, 0, 1, 1, 16, 0, 0, 0};
            std::memcpy(r + 16, &id, 4);
            uint32_t v = 7;
            std::memcpy(r + 24, &v, 4);
            if (::send(fd, r, sizeof r, MSG_NOSIGNAL) != sizeof r)
                break;
        }
        ::close(fd);
    }
}

void serve(int lfd)
{
    for (;;) {
        int fd = ::accept(lfd, nullptr, nullptr);
        if (fd < 0)
            return;
        std::thread(serve_one, fd).detach();
    }
}

double broker_call_ns(CORBA::Object *obj, long n)
{
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    wq_ThreadEnvironment tenv;
    auto t0 = bench::Clock::now();
    for (long i = 0; i < n; ++i) {
        CORBA::Request *r = obj->_request("twice", false, env, tenv);
        if (!r)
            break;
        r->request_stream() << 3;
        r->invoke(tenv);
        int32_t out;
        r->reply_stream().read_4(&out);
        CORBA::release(r, tenv);
        if (env.pending())
            break;
    }
    double ns = bench::ns_per(bench::Clock::now() - t0, n);
    if (env.pending()) {
        std::fprintf(stderr, "call failed: %s\n", env.exception()->wq_ir_name());
        env.clear();
    }
    return ns;
}

double raw_roundtrip_ns(uint16_t port, size_t request_size, long n)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return 0;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<uint8_t> req(request_size, 0);
    std::memcpy(req.data(), "GIOP\1\0\1\0", 8);
    uint32_t size = uint32_t(request_size - 12);
    std::memcpy(req.data() + 8, &size, 4);
    uint8_t rep[28];
    auto t0 = bench::Clock::now();
    for (long i = 0; i < n; ++i) {
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        read_n(fd, rep, sizeof rep);
    }
    double ns = bench::ns_per(bench::Clock::now() - t0, n);
    ::close(fd);
    return ns;
}

} // namespace

int main()
{
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&a), &l);
    uint16_t port = ntohs(a.sin_port);
    ::listen(lfd, 4);
    std::thread(serve, lfd).detach();

    CORBA::ORB::_conn_retries = 0;
    CORBA::EnvironmentWrapper env(new CORBA::EnvironmentInfo(0));
    const unsigned char key[] = {'b', 'e', 'n', 'c', 'h'};
    std::string ep = "tcp:127.0.0.1:" + std::to_string(port);
    CORBA::Object *obj = CORBA::Object::Helper::foreign_bind(key, sizeof key, ep.c_str(), "IDL:Bench/T:1.0", true,
                                                             false, env);
    if (!obj) {
        std::fprintf(stderr, "bind failed\n");
        return 1;
    }
    const long n = 20000;
    broker_call_ns(obj, 1000);
    raw_roundtrip_ns(port, 48, 1000);
    std::vector<double> call, raw;
    for (int round = 0; round < 5; ++round) {
        call.push_back(broker_call_ns(obj, n));
        // The broker's request: header 12, contexts 4, id 4, flag and key
        // 12, operation 10, principal 8 (rounded), argument 4.
        raw.push_back(raw_roundtrip_ns(port, 56, n));
    }
    double c = bench::median(call), r = bench::median(raw);
    bench::figure("orb_client_twoway_call", c, "ns", r, bench::slowdown(c, r));
    CORBA::release(obj);
    return 0;
}
