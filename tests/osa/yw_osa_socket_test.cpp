// Sockets of the OS layer on 127.0.0.1: TCP and UDP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "osa/yw_osa.h"

namespace {

struct sockaddr_in loopback(uint16_t port)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Every blocking receive of these tests is bounded: a fault fails the test
// after 10 s instead of hanging it.
void boundReceives(int fd)
{
    struct timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

uint16_t boundPort(int fd)
{
    struct sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

TEST(OsaSocket, TcpListenConnectAcceptAndExchange)
{
    YW_P_socket_arg_t tcp{AF_INET, SOCK_STREAM, 0};
    YW_P_socket_t srv = -1;
    ASSERT_EQ(YW_P_createSocket(&tcp, &srv), 0);
    ASSERT_GE(srv, 0);
    int reuse = 0;
    socklen_t rl = sizeof(reuse);
    getsockopt(srv, SOL_SOCKET, SO_REUSEADDR, &reuse, &rl);
    EXPECT_EQ(reuse, 1);

    YW_P_socket_bind_arg_t b{loopback(0)};
    ASSERT_EQ(YW_P_bindSocket(srv, &b), 0);
    // A non-blocking descriptor is made blocking for listening.
    fcntl(srv, F_SETFL, fcntl(srv, F_GETFL) | O_NONBLOCK);
    YW_P_socket_listen_arg_t l{0};
    ASSERT_EQ(YW_P_listenSocket(srv, &l), 0);
    EXPECT_EQ(l.backlog, 5);
    EXPECT_EQ(fcntl(srv, F_GETFL) & O_NONBLOCK, 0);
    uint16_t port = boundPort(srv);

    YW_P_socket_t cli = -1;
    ASSERT_EQ(YW_P_createSocket(&tcp, &cli), 0);
    YW_P_socket_connect_arg_t c{loopback(port)};
    ASSERT_EQ(YW_P_connectSocket(cli, &c), 0);

    YW_P_socket_accept_arg_t acc;
    memset(&acc, 0, sizeof(acc));
    ASSERT_EQ(YW_P_acceptSocket(srv, &acc), 0);
    ASSERT_GE(acc.socket, 0);
    boundReceives(acc.socket);
    boundReceives(cli);
    EXPECT_EQ(acc.sockaddr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(acc.sockaddr.sin_port), boundPort(cli));

    const char msg[] = "turv-tcp";
    EXPECT_EQ(YW_P_sendSocket(cli, msg, sizeof(msg), 0), (YW_size_t)sizeof(msg));
    char buf[32] = {};
    YW_size_t got = 0;
    while (got < (YW_size_t)sizeof(msg)) {
        YW_size_t n = YW_P_recvSocket(acc.socket, buf + got, sizeof(buf) - got, 0);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_STREQ(buf, msg);

    // Peer closed: recv gives 0, a send to it fails without SIGPIPE.
    EXPECT_EQ(YW_P_deleteSocket(acc.socket), 0);
    EXPECT_EQ(YW_P_recvSocket(cli, buf, sizeof(buf), 0), 0);
    // The first send after the close may still be accepted; the peer's
    // reset then fails a later one (however late a loaded machine sees it).
    YW_size_t s = 0;
    for (int i = 0; i < 1000 && s >= 0; ++i) {
        s = YW_P_sendSocket(cli, msg, sizeof(msg), 0);
        if (s >= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(s, 0);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;

    EXPECT_EQ(YW_P_deleteSocket(cli), 0);
    EXPECT_EQ(YW_P_deleteSocket(srv), 0);
    EXPECT_EQ(YW_P_deleteSocket(srv), YW_FAIL); // already closed
}

TEST(OsaSocket, AcceptOnAClosedSocketFails)
{
    YW_P_socket_accept_arg_t acc;
    memset(&acc, 0, sizeof(acc));
    acc.socket = 123;
    EXPECT_EQ(YW_P_acceptSocket(-1, &acc), YW_FAIL);
    EXPECT_EQ(acc.socket, -1);
}

TEST(OsaSocket, UdpDatagramsAndOptionsOfTheirOwnLength)
{
    YW_P_socket_arg_t udp{AF_INET, SOCK_DGRAM, 0};
    YW_P_socket_t rx = -1, tx = -1;
    ASSERT_EQ(YW_P_createSocket(&udp, &rx), 0);
    ASSERT_EQ(YW_P_createSocket(&udp, &tx), 0);
    YW_P_socket_bind_arg_t b{loopback(0)};
    ASSERT_EQ(YW_P_bindSocket(rx, &b), 0);
    YW_P_socket_connect_arg_t c{loopback(boundPort(rx))};
    ASSERT_EQ(YW_P_connectSocket(tx, &c), 0);

    // A receive time-out (a 16-byte option) is honoured as given.
    struct timeval tv = {0, 100000};
    YW_P_socket_control_arg_t opt{SOL_SOCKET, SO_RCVTIMEO, &tv, (YW_int32_t)sizeof(tv)};
    ASSERT_EQ(YW_P_controlSocket(rx, &opt), 0);
    char buf[64];
    EXPECT_EQ(YW_P_recvSocket(rx, buf, sizeof(buf), 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    // The datagrams below are waited for generously.
    boundReceives(rx);

    // An int option with the default length.
    int size = 65536;
    YW_P_socket_control_arg_t rcvbuf{SOL_SOCKET, SO_RCVBUF, &size, 0};
    EXPECT_EQ(YW_P_controlSocket(rx, &rcvbuf), 0);
    YW_P_socket_control_arg_t none{SOL_SOCKET, SO_RCVBUF, nullptr, 0};
    EXPECT_EQ(YW_P_controlSocket(rx, &none), YW_FAIL);

    const unsigned char d1[] = {1, 2, 3}, d2[] = {9, 8, 7, 6, 5};
    EXPECT_EQ(YW_P_sendSocket(tx, d1, sizeof(d1), 0), 3);
    EXPECT_EQ(YW_P_sendSocket(tx, d2, sizeof(d2), 0), 5);
    EXPECT_EQ(YW_P_recvSocket(rx, buf, sizeof(buf), 0), 3);
    EXPECT_EQ(memcmp(buf, d1, 3), 0);
    EXPECT_EQ(YW_P_recvSocket(rx, buf, sizeof(buf), 0), 5);
    EXPECT_EQ(memcmp(buf, d2, 5), 0);

    EXPECT_EQ(YW_P_deleteSocket(tx), 0);
    EXPECT_EQ(YW_P_deleteSocket(rx), 0);
}

TEST(OsaSocket, BadArgumentsAreRefused)
{
    YW_P_socket_t s = 7;
    EXPECT_EQ(YW_P_createSocket(nullptr, &s), YW_FAIL);
    EXPECT_EQ(s, -1);
    YW_P_socket_arg_t bad{-5, SOCK_STREAM, 0};
    s = 7;
    EXPECT_EQ(YW_P_createSocket(&bad, &s), YW_FAIL);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(YW_P_bindSocket(-1, nullptr), YW_FAIL);
    EXPECT_EQ(YW_P_connectSocket(-1, nullptr), YW_FAIL);
    EXPECT_EQ(YW_P_recvSocket(-1, nullptr, 4, 0), -1);
}

} // namespace
