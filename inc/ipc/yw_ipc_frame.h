/*
 * IPC frame: an 8-byte header (sequence number, whole frame length, host byte
 * order) and a 2-byte trailer around the payload.
 */
#ifndef YW_IPC_FRAME_H
#define YW_IPC_FRAME_H

#include "yw_types.h"
#include "yw_err.h"

#ifdef __cplusplus
extern "C" {
#endif

struct yw_ipc;

typedef struct yw_ipc_frame_header {
    YW_uint32_t seqno;
    YW_uint32_t length;
} YW_ipc_frame_header_t;

#define YW_IPC_FRAME_HEADER_SIZE  8
#define YW_IPC_FRAME_TRAILER_SIZE 2
#define YW_IPC_FRAME_OVERHEAD     (YW_IPC_FRAME_HEADER_SIZE + YW_IPC_FRAME_TRAILER_SIZE)
#define YW_IPC_FrameLength(n)     ((n) + YW_IPC_FRAME_OVERHEAD)
#define YW_IPC_PayloadLength(l)   ((l) - YW_IPC_FRAME_OVERHEAD)
/* room a framed message takes in a ring: the frame rounded up to 8 bytes */
#define YW_IPC_FrameRoom(n)       (((n) + YW_IPC_FRAME_OVERHEAD + 7) & ~((YW_size_t)7))

void YW_ipc_frame_setHeader(void *dp, YW_uint32_t seqno, YW_uint32_t length);
void YW_ipc_frame_getHeader(const void *dp, YW_uint32_t *pSeqno, YW_uint32_t *pLength);
YW_size_t YW_ipc_write_frame(struct yw_ipc *ipc, void *dst, const void *src, YW_size_t len);
YW_size_t YW_ipc_send_preprocess(struct yw_ipc *ipc, const void *inData, YW_size_t size,
                                 int is_framed, YW_pos_t *pOffset);
YW_size_t YW_ipc_recv_postprocess(struct yw_ipc *ipc, const void *src, YW_size_t size,
                                  int is_framed, void *dst, YW_size_t len);
/* The payload of a received frame of `size` bytes at src whose length field
 * (flen) was read before: the header at src is not read again. The frame
 * is not numbered: YW_ipc_recv_number does that once it is delivered. */
YW_size_t YW_ipc_recv_framePayload(struct yw_ipc *ipc, const void *src, YW_size_t size, YW_uint32_t flen,
                                   void *dst, YW_size_t len);
/* The receive numbering goes on from a frame delivered with number seqno
 * (one other than the one due is counted as a sequence error). */
void YW_ipc_recv_number(struct yw_ipc *ipc, YW_uint32_t seqno);

#ifdef __cplusplus
}
#endif

#endif
