/*
 * TCP transport: a channel is one TCP connection. A channel with a local
 * port is served by the listening server of its local address (shared by
 * every channel of that address; an accepted connection goes to the channel
 * whose remote IP is the peer's); a channel without one connects to its
 * remote address from its own retry thread, once a second until it is
 * connected, and again whenever the connection goes.
 */
#ifndef YW_IPC_TCP_H
#define YW_IPC_TCP_H

#include "ipc/yw_ipc_inet.h"

#define YW_IPC_TCP_SERVER_MAX 16

typedef struct yw_ipc_tcp_server {
    int index;
    int state; /* 1 while running */
    char name[16];
    YW_P_inet_address_t address;
    YW_P_socket_t socket;
    YW_P_thread_t thread; /* not used: the accept thread is joined by its stop */
    int wakefd;           /* rung to stop the accept thread */
} YW_ipc_tcp_server_t;

struct yw_ipc_tcp_client;

typedef struct yw_ipc_tcp {
    YW_ipc_inet_t inet; /* first: the socket tasks reach it through priv */
    YW_ipc_tcp_server_t *server;
    struct yw_ipc_tcp_client *client; /* the retry thread while one runs */
} YW_ipc_tcp_t;

extern "C" {

extern YW_ipc_tcp_server_t YW_g_ipc_tcp_server[YW_IPC_TCP_SERVER_MAX];

YW_ret_t YW_ipc_tcp_create(YW_ipc_t *ipc);
YW_ret_t YW_ipc_tcp_delete(YW_ipc_t *ipc);
YW_ret_t YW_ipc_tcp_open(YW_ipc_t *ipc, YW_uint32_t mode);
YW_ret_t YW_ipc_tcp_close(YW_ipc_t *ipc, YW_uint32_t mode);
YW_ret_t YW_ipc_tcp_onStatusChange(YW_ipc_t *ipc);
YW_ret_t YW_ipc_tcp_setup(YW_ipc_t *ipc);
YW_ret_t YW_ipc_tcp_release(YW_ipc_t *ipc);
YW_ret_t YW_ipc_tcp_tryConnect(YW_ipc_t *ipc);
YW_size_t YW_ipc_tcp_send_direct(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_tcp_send_direct_framed(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_tcp_send_buffered(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_tcp_recv(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_size_t YW_ipc_tcp_recv_direct(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_size_t YW_ipc_tcp_recv_direct_framed(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_size_t YW_ipc_tcp_recv_buffered(YW_ipc_t *ipc, void *bp, YW_size_t size);

void YW_ipc_tcp_server_init(void);
YW_ipc_tcp_server_t *YW_ipc_tcp_server_getFree(void);
YW_ipc_tcp_server_t *YW_ipc_tcp_server_find(const YW_P_inet_address_t *pAddr);
/* 0; -958 when the address is served already or in use; -957 without a
 * free server; -1 when the socket cannot be made or listen */
YW_ret_t YW_ipc_tcp_server_start(const YW_P_inet_address_t *pAddr);
YW_ret_t YW_ipc_tcp_server_stop(int index);
YW_ret_t YW_ipc_tcp_server_stopAll(void);
void *YW_ipc_tcp_server_entry(void *s);
YW_ipc_t *YW_ipc_tcp_findByAddress(const YW_P_inet_address_t *pLocalAddr, const YW_P_inet_address_t *pRemoteAddr);

} // extern "C"

#endif
