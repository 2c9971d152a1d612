// IPC frames: header (sequence number, frame length) + payload + trailer.
// The header fields are in the host's byte order; the trailer and the padding
// up to the 8-byte room are written as zero bytes.
#include <cstring>

#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_frame.h"

extern "C" {

void YW_ipc_frame_setHeader(void *dp, YW_uint32_t seqno, YW_uint32_t length)
{
    YW_ipc_frame_header_t h{seqno, length};
    std::memcpy(dp, &h, sizeof(h));
}

void YW_ipc_frame_getHeader(const void *dp, YW_uint32_t *pSeqno, YW_uint32_t *pLength)
{
    YW_ipc_frame_header_t h;
    std::memcpy(&h, dp, sizeof(h));
    if (pSeqno)
        *pSeqno = h.seqno;
    if (pLength)
        *pLength = h.length;
}

YW_size_t YW_ipc_write_frame(YW_ipc_t *ipc, void *dst, const void *src, YW_size_t len)
{
    if (!ipc || !dst || len < 0 || len > (YW_size_t)UINT32_MAX - YW_IPC_FRAME_OVERHEAD || (len > 0 && !src))
        return YW_ERR_INVD_ARGS;
    auto *d = static_cast<YW_uint8_t *>(dst);
    YW_ipc_frame_setHeader(d, ipc->tx.seqno, (YW_uint32_t)YW_IPC_FrameLength(len));
    if (len > 0)
        std::memcpy(d + YW_IPC_FRAME_HEADER_SIZE, src, (size_t)len);
    std::memset(d + YW_IPC_FRAME_HEADER_SIZE + len, 0, YW_IPC_FRAME_TRAILER_SIZE);
    return YW_IPC_FrameLength(len);
}

YW_size_t YW_ipc_send_preprocess(YW_ipc_t *ipc, const void *inData, YW_size_t size, int is_framed,
                                 YW_pos_t *pOffset)
{
    if (!ipc || !ipc->cfg)
        return YW_ERR_IPC_NULL;
    if (size < 0 || (size > 0 && !inData))
        return YW_ERR_INVD_ARGS;
    YW_ipc_buffer_t *buf = ipc->tx.buffer;
    if (!buf || !buf->data)
        return YW_ERR_IPC_NO_TX_BUFFER;
    if (size > (YW_size_t)UINT32_MAX - 32)
        return YW_ERR_IPC_TOO_LONG;

    YW_size_t room = is_framed ? YW_IPC_FrameRoom(size) : size;
    YW_int64_t limit = (ipc->cfg->flags & YW_IPC_FLAGS_TX) ? ipc->cfg->tx.frame_size : ipc->cfg->rx.frame_size;
    if (room > limit)
        return YW_ERR_IPC_TOO_LONG;

    YW_pos_t pos = YW_ipc_buffer_alloc(buf, room);
    if (pOffset)
        *pOffset = pos;
    if (pos < 0)
        return YW_ERR_IPC_NO_TX_BD;

    YW_uint8_t *dst = buf->data + pos;
    if (is_framed) {
        YW_size_t flen = YW_ipc_write_frame(ipc, dst, inData, size);
        if (room > flen)
            std::memset(dst + flen, 0, (size_t)(room - flen));
    } else if (size > 0) {
        std::memcpy(dst, inData, (size_t)size);
    }
    return room;
}

YW_size_t YW_ipc_recv_framePayload(YW_ipc_t *ipc, const void *src, YW_size_t size, YW_uint32_t flen, void *dst,
                                   YW_size_t len)
{
    if (!ipc)
        return YW_ERR_IPC_NULL;
    if (size < 0 || len < 0 || (size > 0 && !src) || (len > 0 && !dst))
        return YW_ERR_INVD_ARGS;
    // The length field is only trusted when it describes a frame that fits
    // in what was received; anything else is dropped without a copy.
    if (size < YW_IPC_FRAME_OVERHEAD || flen < YW_IPC_FRAME_OVERHEAD || (YW_size_t)flen > size) {
        YW_stat_add<YW_count_t>(ipc->rx.lenerr);
        return YW_ERR_RX_BUFFER_FAIL;
    }
    YW_size_t payload = YW_IPC_PayloadLength((YW_size_t)flen);
    YW_size_t n = payload < len ? payload : len;
    if (n > 0)
        std::memcpy(dst, static_cast<const YW_uint8_t *>(src) + YW_IPC_FRAME_HEADER_SIZE, (size_t)n);
    return n;
}

void YW_ipc_recv_number(YW_ipc_t *ipc, YW_uint32_t seqno)
{
    if (seqno == ipc->rx.seqno) {
        ipc->rx.seqno += 1;
    } else {
        YW_stat_add<YW_count_t>(ipc->rx.seqerr);
        ipc->rx.seqno = seqno + 1;
    }
}

YW_size_t YW_ipc_recv_postprocess(YW_ipc_t *ipc, const void *src, YW_size_t size, int is_framed, void *dst,
                                  YW_size_t len)
{
    if (!ipc)
        return YW_ERR_IPC_NULL;
    if (size < 0 || len < 0 || (size > 0 && !src) || (len > 0 && !dst))
        return YW_ERR_INVD_ARGS;
    if (is_framed) {
        YW_uint32_t seqno = 0, flen = 0;
        if (size >= YW_IPC_FRAME_HEADER_SIZE)
            YW_ipc_frame_getHeader(src, &seqno, &flen);
        YW_size_t n = YW_ipc_recv_framePayload(ipc, src, size, flen, dst, len);
        if (n >= 0)
            YW_ipc_recv_number(ipc, seqno);
        return n;
    }
    YW_size_t n = size < len ? size : len;
    if (n > 0)
        std::memcpy(dst, src, (size_t)n);
    return n;
}

} // extern "C"
