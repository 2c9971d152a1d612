/*
 * Descriptor FIFO of the IPC buffers: a fixed ring of descriptors that records
 * which allocated pieces of a transmit/receive ring hold complete messages.
 */
#ifndef YW_IPC_FIFO_H
#define YW_IPC_FIFO_H

#include "yw_types.h"
#include "yw_err.h"

#ifdef __cplusplus
extern "C" {
#endif

/* length word: bits 0-61 byte count, bit 63 claimed, bit 62 finished */
#define YW_IPC_BD_ACTV_FLAG   (0x8000000000000000ULL)
#define YW_IPC_BD_BUSY_FLAG   (0x4000000000000000ULL)
#define YW_IPC_BD_FILLED_FLAG (YW_IPC_BD_ACTV_FLAG | YW_IPC_BD_BUSY_FLAG)
#define YW_IPC_BD_LENGTH(l)   ((YW_uint64_t)(l) & ~YW_IPC_BD_FILLED_FLAG)
#define YW_IPC_BD_IS_FILLED(l) \
    ((((YW_uint64_t)(l)) & YW_IPC_BD_FILLED_FLAG) == YW_IPC_BD_FILLED_FLAG)
#define YW_IPC_BD_IS_ACTV(l)  ((((YW_uint64_t)(l)) & YW_IPC_BD_ACTV_FLAG) != 0)

typedef struct yw_ipc_buffer_descriptor {
    YW_uint64_t offset;
    YW_uint64_t length;
} YW_ipc_buffer_descriptor_t;

#define YW_IPC_FIFO_FLAGS_INIT     0x1
#define YW_IPC_FIFO_FLAGS_RELEASE  0x2

typedef struct yw_ipc_fifo {
    int flags;
    YW_int64_t push;
    YW_int64_t pop;
    YW_uint64_t count;
    YW_ipc_buffer_descriptor_t *list;
    int refCount;
    int list_refCount;
    int fullerr;
} YW_ipc_fifo_t;

/* Initialises (or allocates, when fifo is null) a FIFO over list (or a newly
 * allocated list of count descriptors). Returns null when count is 0 or memory
 * cannot be had. */
YW_ipc_fifo_t *YW_ipc_fifo_init(YW_ipc_fifo_t *fifo, YW_ipc_buffer_descriptor_t *list,
                                YW_uint64_t count);
YW_ipc_buffer_descriptor_t *YW_ipc_fifo_get(YW_ipc_fifo_t *fifo);
YW_pos_t YW_ipc_fifo_push(YW_ipc_fifo_t *fifo, YW_uint64_t offset, YW_uint64_t length);
YW_pos_t YW_ipc_fifo_pop(YW_ipc_fifo_t *fifo, YW_size_t size, YW_ipc_buffer_descriptor_t *pOut);
YW_ipc_buffer_descriptor_t *YW_ipc_fifo_peek(YW_ipc_fifo_t *fifo);
YW_pos_t YW_ipc_fifo_advance(YW_ipc_fifo_t *fifo);
YW_ret_t YW_ipc_fifo_release(YW_ipc_fifo_t *fifo);
/* push, pop and advance return the new index (>= 0) or a negative code */
/* 1 when the slot at push is claimed (no slot left), else 0 */
int YW_ipc_fifo_full(const YW_ipc_fifo_t *fifo);

#ifdef __cplusplus
}
#endif

#endif
