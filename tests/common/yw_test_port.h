// Ports for tests that name them before the program that binds them runs.
#ifndef YW_TEST_PORT_H
#define YW_TEST_PORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>

namespace yw_common_test {

// A port nobody holds right now on host. It is drawn below the kernel's
// range of ephemeral ports, which the outgoing connections of other tests
// running beside this one take from: a port the kernel chose would often be
// taken by one of them before the test binds it again.
inline uint16_t freePort(int type = SOCK_STREAM, uint32_t host = INADDR_LOOPBACK)
{
    auto bindable = [&](uint16_t want) -> uint16_t {
        int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(want);
        a.sin_addr.s_addr = htonl(host);
        socklen_t len = sizeof(a);
        uint16_t port = 0;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        if (fd >= 0)
            close(fd);
        return port;
    };
    // 12000 up to the ephemeral range (and below the node's command ports
    // from 30000).
    unsigned lo = 12000, hi = 29999, ephemeral = 32768;
    if (FILE *f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(f, "%u", &ephemeral) != 1)
            ephemeral = 32768;
        std::fclose(f);
    }
    if (ephemeral <= hi)
        hi = ephemeral - 1;
    static std::atomic<unsigned> drawn{0};
    std::mt19937 rng((unsigned)getpid() * 2654435761u ^
                     (unsigned)std::chrono::steady_clock::now().time_since_epoch().count() ^ drawn++ * 40503u);
    for (int i = 0; hi > lo + 100 && i < 200; i++)
        if (uint16_t p = bindable((uint16_t)(lo + rng() % (hi - lo + 1))))
            return p;
    return bindable(0); // the kernel's choice
}

} // namespace yw_common_test

#endif
