/*
 * Node management: the task "node_mng" that synchronises the bring-up of the
 * nodes. The master declares synchronisation once its framework channel is
 * open; every other node sends heartbeats to the master every 2 s and
 * declares it on the first answer.
 */
#ifndef YW_FRW_NODE_MNG_H
#define YW_FRW_NODE_MNG_H

#include "frw/yw_frw_node.h"
#include "ipc/yw_ipc.h"

/* Size of the heartbeat send buffer. */
#define YW_FRW_NODE_MNG_SEND_BUF_SZ 8192
/* Bounds of the receive buffer (the receive channel's buffer size). */
#define YW_FRW_NODE_MNG_RECV_BUF_MIN 8
#define YW_FRW_NODE_MNG_RECV_BUF_MAX 65536
/* The receive buffer grows up to this size for a longer message. */
#define YW_FRW_NODE_MNG_RECV_BUF_LIMIT (16LL * 1024 * 1024)
/* Opening a channel that does not exist yet is tried this often, this far
 * apart (the IPC service manager may not have created it yet). */
#define YW_FRW_NODE_MNG_OPEN_TRIES 50
#define YW_FRW_NODE_MNG_OPEN_RETRY 100000000LL
/* Wait slice of the loop: 2 s. */
#define YW_FRW_NODE_MNG_TIMEOUT 2000000000LL

extern "C" {

extern YW_ipc_receiver_context_t YW_frw_node_mng_rcv_ctx;
/* Heartbeats sent by the loop (tries, successful or not). */
extern YW_count_t YW_g_frw_node_mng_heartbeats;
/* Heartbeats and answers dropped: not from the address of the node they name. */
extern YW_count_t YW_g_frw_node_mng_foreign;

YW_int32_t YW_frw_node_mng_init(YW_ipc_receiver_context_t *ctx);
YW_int32_t YW_frw_node_mng_run(YW_ipc_receiver_context_t *ctx);
YW_size_t YW_frw_node_mng_recv(YW_ipc_receiver_context_t *ctx, void *bp, YW_size_t len);
YW_int32_t YW_frw_node_mng_release(YW_ipc_receiver_context_t *ctx);
YW_ret_t YW_frw_node_send_heartbit(YW_ipc_receiver_context_t *ctx);

} // extern "C"

#endif
