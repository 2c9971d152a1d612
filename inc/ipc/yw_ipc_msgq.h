/*
 * Message-queue transport: messages between tasks of one process through a
 * ring buffer in memory. One queue object serves a channel with both sides,
 * or a pair of channels that name each other (local msgq_name of one equals
 * the remote msgq_name of the other).
 */
#ifndef YW_IPC_MSGQ_H
#define YW_IPC_MSGQ_H

#include "ipc/yw_ipc.h"

typedef struct yw_ipc_msgq {
    const char *name;
    YW_ipc_buffer_descriptor_t *list;
    YW_uint8_t *data;
    YW_ipc_fifo_t fifo;
    YW_ipc_buffer_t buffer;
    YW_ipc_t *tx;  /* channel sending into the queue */
    YW_ipc_t *rx;  /* channel receiving from it */
    int refCount;  /* references: one per channel using it, one per look-up (yw_gate.h) */
    char ownName[YW_IPC_NAME_LEN]; /* the creating channel's local name (name points here) */
} YW_ipc_msgq_t;

extern "C" {

/* The queue object of the channel whose remote msgq_name is name, with a
 * reference taken for the caller, who gives it back with YW_ipc_msgq_put. */
YW_ret_t YW_ipc_msgq_find(const char *name, YW_ipc_msgq_t **pMsgq);
/* Gives a reference back; the last one frees the object. */
void YW_ipc_msgq_put(YW_ipc_msgq_t *q);
YW_ret_t YW_ipc_msgq_create(YW_ipc_t *ipc);
YW_ret_t YW_ipc_msgq_delete(YW_ipc_t *ipc);

} // extern "C"

#endif
