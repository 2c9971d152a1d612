/*
 * BSD sockets (IPv4).
 */
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "yw_osa_priv.h"

namespace {

YW_ret_t report(const char *fn, int line, int rc)
{
    if (rc < 0) {
        printf("%s:%d failed\n", fn, line);
        return YW_FAIL;
    }
    printf("%s:%d success\n", fn, line);
    return YW_SUCCESS;
}

} // namespace

YW_ret_t YW_P_createSocket(YW_P_socket_arg_t *arg, YW_P_socket_t *sock)
{
    if (!arg) {
        if (sock)
            *sock = -1;
        return YW_FAIL;
    }
    int fd = socket(arg->domain, arg->type, arg->protocol);
    if (sock)
        *sock = fd;
    if (fd < 0)
        return YW_FAIL;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    return YW_SUCCESS;
}

YW_ret_t YW_P_deleteSocket(YW_P_socket_t sock)
{
    return report(__func__, __LINE__, close(sock));
}

YW_ret_t YW_P_controlSocket(YW_P_socket_t sock, YW_P_socket_control_arg_t *arg)
{
    int rc = -1;
    if (arg && arg->optval) {
        socklen_t len = arg->optlen > 0 ? (socklen_t)arg->optlen : (socklen_t)sizeof(int);
        rc = setsockopt(sock, arg->level, arg->optname, arg->optval, len);
    }
    return report(__func__, __LINE__, rc);
}

YW_ret_t YW_P_listenSocket(YW_P_socket_t sock, YW_P_socket_listen_arg_t *arg)
{
    int flags = fcntl(sock, F_GETFL);
    if (flags > 0 && (flags & O_NONBLOCK))
        fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
    int backlog = 5;
    if (arg) {
        if (arg->backlog < 1)
            arg->backlog = 5;
        backlog = arg->backlog;
    }
    return report(__func__, __LINE__, listen(sock, backlog));
}

YW_ret_t YW_P_connectSocket(YW_P_socket_t sock, YW_P_socket_connect_arg_t *arg)
{
    int rc = -1;
    if (arg)
        rc = connect(sock, reinterpret_cast<const struct sockaddr *>(&arg->sockaddr),
                     sizeof(arg->sockaddr));
    return report(__func__, __LINE__, rc);
}

YW_ret_t YW_P_bindSocket(YW_P_socket_t sock, YW_P_socket_bind_arg_t *arg)
{
    int rc = -1;
    if (arg)
        rc = bind(sock, reinterpret_cast<const struct sockaddr *>(&arg->sockaddr),
                  sizeof(arg->sockaddr));
    return report(__func__, __LINE__, rc);
}

YW_ret_t YW_P_acceptSocket(YW_P_socket_t sock, YW_P_socket_accept_arg_t *arg)
{
    if (!arg)
        return report(__func__, __LINE__, -1);
    int fd;
    do {
        socklen_t len = sizeof(arg->sockaddr);
        fd = accept(sock, reinterpret_cast<struct sockaddr *>(&arg->sockaddr), &len);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        printf("%s:%d failed\n", __func__, __LINE__);
        arg->socket = -1;
        return YW_FAIL;
    }
    printf("%s:%d success\n", __func__, __LINE__);
    arg->socket = fd;
    return YW_SUCCESS;
}

YW_size_t YW_P_recvSocket(YW_P_socket_t sock, void *buf, YW_size_t len, int flags)
{
    if (!buf || len < 0)
        return -1;
    ssize_t n;
    do {
        n = recv(sock, buf, (size_t)len, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

YW_size_t YW_P_sendSocket(YW_P_socket_t sock, const void *buf, YW_size_t len, int flags)
{
    if (!buf || len < 0)
        return -1;
    ssize_t n;
    do {
        n = send(sock, buf, (size_t)len, flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}
