/*
 * UDP transport: a message is one datagram to the channel's remote address;
 * the receive side binds the local address. The channel's socket is made
 * once, at set-up; opening a side only binds the opener to it.
 */
#ifndef YW_IPC_UDP_H
#define YW_IPC_UDP_H

#include "ipc/yw_ipc_inet.h"

typedef struct yw_ipc_udp {
    YW_ipc_inet_t inet; /* first: the socket tasks reach it through priv */
} YW_ipc_udp_t;

extern "C" {

YW_ret_t YW_ipc_udp_create(YW_ipc_t *ipc);
YW_ret_t YW_ipc_udp_delete(YW_ipc_t *ipc);
YW_ret_t YW_ipc_udp_open(YW_ipc_t *ipc, YW_uint32_t mode);
YW_ret_t YW_ipc_udp_close(YW_ipc_t *ipc, YW_uint32_t mode);
YW_ret_t YW_ipc_udp_onStatusChange(YW_ipc_t *ipc);
YW_ret_t YW_ipc_udp_setup(YW_ipc_t *ipc);
YW_ret_t YW_ipc_udp_release(YW_ipc_t *ipc);
YW_size_t YW_ipc_udp_send_direct(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_udp_send_direct_framed(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_udp_send_buffered(YW_ipc_t *ipc, const void *data, YW_size_t size);
YW_size_t YW_ipc_udp_recv(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_size_t YW_ipc_udp_recv_direct(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_size_t YW_ipc_udp_recv_direct_framed(YW_ipc_t *ipc, void *bp, YW_size_t size);
YW_size_t YW_ipc_udp_recv_buffered(YW_ipc_t *ipc, void *bp, YW_size_t size);

} // extern "C"

#endif
