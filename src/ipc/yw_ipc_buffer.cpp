// Byte ring of the IPC transports.
//
// Positions are byte offsets into `data`. Everything from `outp` up to `inp`
// (across the end while `wrap` is set) is allocated. A piece never straddles
// the end of the storage: when the room up to the end is too small, the piece
// starts again at 0 and the tail is skipped until the frees catch up.
// One producer and one consumer use a ring from different threads; every
// position update happens under the ring's mutex.
#include <cstring>

#include "ipc/yw_ipc_buffer.h"
#include "yw_mem.h"

namespace {

// Moves `inp` to cover [pos, pos + size) and keeps what restore needs to take
// exactly this allocation back.
void yw_buffer_take(YW_ipc_buffer_t *p, YW_pos_t pos, YW_size_t size)
{
    YW_int64_t newInp = (YW_int64_t)(((YW_uint64_t)pos + (YW_uint64_t)size) % p->size);
    p->last_inp = p->inp;
    p->last_size = size;
    p->last_wrap = 0;
    if (p->inp >= newInp) {
        p->wrap += 1;
        p->last_wrap = 1;
        if (p->wrap > 1)
            p->wrap_overrun++;
    }
    p->inp = newInp;
    p->alloc += (YW_uint64_t)size;
}

// True when [pos, pos + size) lies inside the allocated region.
bool yw_buffer_in_use(const YW_ipc_buffer_t *p, YW_pos_t pos, YW_size_t size)
{
    YW_int64_t ring = (YW_int64_t)p->size;
    if (pos < 0 || size < 1 || pos >= ring || size > ring - pos)
        return false;
    if (p->wrap > 0)
        return (pos >= p->outp) || (pos + size <= p->inp);
    return pos >= p->outp && pos + size <= p->inp;
}

// True when [pos, pos + size) lies inside free space.
bool yw_buffer_in_free(const YW_ipc_buffer_t *p, YW_pos_t pos, YW_size_t size)
{
    YW_int64_t ring = (YW_int64_t)p->size;
    if (pos < 0 || size < 1 || pos >= ring || size > ring - pos)
        return false;
    if (p->wrap > 0)
        return pos >= p->inp && pos + size <= p->outp;
    return pos >= p->inp || pos + size <= p->outp;
}

// An empty ring whose positions stand in the middle cannot place a piece
// longer than the room on either side of them, and no free will ever move
// them: it starts again at 0 (nothing is allocated, nothing to take back).
void yw_buffer_rewind_if_stuck(YW_ipc_buffer_t *p, YW_size_t size)
{
    if (p->wrap != 0 || p->inp != p->outp || p->inp == 0 || size > (YW_int64_t)p->size)
        return;
    if (YW_ipc_buffer_get_freespace(p, size) >= 0)
        return;
    p->inp = 0;
    p->outp = 0;
    p->last_size = 0;
    p->last_wrap = 0;
}

} // namespace

extern "C" {

YW_ipc_buffer_t *YW_ipc_buffer_init(YW_ipc_buffer_t *p, void *data, YW_uint64_t size, void *priv)
{
    bool own = false;
    if (!p) {
        p = static_cast<YW_ipc_buffer_t *>(YW_malloc(sizeof(YW_ipc_buffer_t)));
        if (!p)
            return nullptr;
        std::memset(p, 0, sizeof(*p));
        p->refCount = 1;
        own = true;
    } else {
        p->refCount += 1;
    }
    p->inp = 0;
    p->outp = 0;
    p->wrap = 0;
    p->flags = 0;
    p->alloc = p->free = p->fail = 0;
    p->inp_oor = p->outp_oor = p->restore_err = 0;
    p->wrap_err = p->wrap_overrun = p->wrap_underrun = 0;
    p->fifo = nullptr;
    p->last_inp = 0;
    p->last_size = 0;
    p->last_wrap = 0;
    p->lock = nullptr;
    if (YW_P_createMutex(YW_SEM_NO_RECURSE, &p->lock) != 0 || !p->lock) {
        p->lock = nullptr;
        if (own)
            YW_free(p);
        else
            p->refCount -= 1;
        return nullptr;
    }
    p->size = size;
    p->data = static_cast<YW_uint8_t *>(data);
    p->priv = priv;
    return p;
}

YW_ret_t YW_ipc_buffer_release(YW_ipc_buffer_t *p)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    p->refCount -= 1;
    if (p->refCount <= 0 && p->lock) {
        YW_P_deleteMutex(p->lock);
        p->lock = nullptr;
    }
    if (p->refCount == 0)
        YW_free(p);
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_buffer_setfifo(YW_ipc_buffer_t *p, YW_ipc_fifo_t *fifo)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    p->fifo = fifo;
    if (fifo && fifo->count == 1)
        p->flags |= YW_IPC_BUFFER_FLAGS_SINGLE;
    else
        p->flags &= ~YW_IPC_BUFFER_FLAGS_SINGLE;
    return YW_SUCCESS;
}

YW_pos_t YW_ipc_buffer_get_freespace(YW_ipc_buffer_t *p, YW_size_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    if (size < 0)
        return YW_ERR_INVD_ARGS;
    YW_int64_t ring = (YW_int64_t)p->size;
    if (size > ring)
        return YW_ERR_BUFFER_NO_SPACE;
    if (p->wrap > 0)
        return (p->outp - p->inp >= size) ? p->inp : (YW_pos_t)YW_ERR_BUFFER_NO_SPACE;
    if (ring - p->inp >= size)
        return p->inp;
    if (p->outp >= size)
        return 0;
    return YW_ERR_BUFFER_NO_SPACE;
}

YW_pos_t YW_ipc_buffer_alloc(YW_ipc_buffer_t *p, YW_size_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    yw_buffer_rewind_if_stuck(p, size);
    YW_pos_t pos = YW_ipc_buffer_get_freespace(p, size);
    if (pos < 0) {
        p->fail++;
        return pos;
    }
    if (size > 0)
        yw_buffer_take(p, pos, size);
    return pos;
}

YW_ipc_buffer_descriptor_t *YW_ipc_buffer_allocWithFifo(YW_ipc_buffer_t *p, YW_size_t size)
{
    if (!p || !p->fifo)
        return nullptr;
    YW_ipc_buffer_guard g(p);
    if (YW_ipc_fifo_full(p->fifo)) {
        p->fifo->fullerr++;
        return nullptr;
    }
    yw_buffer_rewind_if_stuck(p, size);
    YW_pos_t pos = YW_ipc_buffer_get_freespace(p, size);
    if (pos < 0) {
        p->fail++;
        return nullptr;
    }
    if (size > 0)
        yw_buffer_take(p, pos, size);
    YW_ipc_buffer_descriptor_t *bd = YW_ipc_fifo_get(p->fifo);
    bd->offset = (YW_uint64_t)pos;
    bd->length |= (YW_uint64_t)size;
    return bd;
}

YW_ret_t YW_ipc_buffer_publish(YW_ipc_buffer_t *p, YW_ipc_buffer_descriptor_t *bd)
{
    if (!p || !bd)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    bd->length |= YW_IPC_BD_BUSY_FLAG;
    return YW_SUCCESS;
}

YW_pos_t YW_ipc_buffer_getSpace(YW_ipc_buffer_t *p, YW_size_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    yw_buffer_rewind_if_stuck(p, size);
    YW_pos_t pos = YW_ipc_buffer_get_freespace(p, size);
    if (pos < 0)
        p->fail++;
    return pos;
}

YW_ret_t YW_ipc_buffer_adjust(YW_ipc_buffer_t *p, YW_pos_t index, YW_size_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    if (size < 1)
        return YW_SUCCESS;
    YW_ipc_buffer_guard g(p);
    if (!yw_buffer_in_free(p, index, size)) {
        p->inp_oor++;
        return YW_ERR_BUFFER_INDEX_OOR;
    }
    yw_buffer_take(p, index, size);
    return YW_SUCCESS;
}

YW_pos_t YW_ipc_buffer_restore(YW_ipc_buffer_t *p, YW_size_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    if (size < 1)
        return p->inp;
    // Only the most recent allocation can be taken back, and only once.
    if (p->last_size != size) {
        p->restore_err++;
        return p->inp;
    }
    if (p->last_wrap) {
        if (p->wrap > 0) {
            p->wrap -= 1;
        } else {
            p->wrap_err++;
            p->restore_err++;
            return p->inp;
        }
    }
    p->inp = p->last_inp;
    p->alloc -= (YW_uint64_t)size;
    p->last_size = 0;
    p->last_wrap = 0;
    return p->inp;
}

YW_pos_t YW_ipc_buffer_free(YW_ipc_buffer_t *p, YW_pos_t outp, YW_size_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    if (size < 1)
        return p->outp;
    if (!yw_buffer_in_use(p, outp, size)) {
        p->outp_oor++;
        return YW_ERR_BUFFER_INDEX_OOR;
    }
    YW_int64_t newOutp = (YW_int64_t)(((YW_uint64_t)outp + (YW_uint64_t)size) % p->size);
    if (p->outp >= newOutp) {
        if (p->wrap > 0)
            p->wrap -= 1;
        else
            p->wrap_underrun++;
    }
    p->outp = newOutp;
    if ((p->flags & YW_IPC_BUFFER_FLAGS_SINGLE) && p->outp == p->inp && p->wrap == 0) {
        p->outp = 0;
        p->inp = 0;
    }
    p->free += (YW_uint64_t)size;
    // The freed piece can no longer be taken back.
    if (p->last_size > 0 && p->last_size == size && p->last_inp == outp)
        p->last_size = 0;
    return p->outp;
}

YW_pos_t YW_ipc_buffer_pushFifo(YW_ipc_buffer_t *p, YW_uint64_t offset, YW_uint64_t size)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    return YW_ipc_fifo_push(p->fifo, offset, size);
}

YW_pos_t YW_ipc_buffer_pop(YW_ipc_buffer_t *p, YW_pos_t *pOffset, YW_size_t *pSize)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_descriptor_t bd{};
    YW_pos_t r;
    {
        YW_ipc_buffer_guard g(p);
        r = YW_ipc_fifo_pop(p->fifo, INT64_MAX, &bd);
    }
    if (r < 0) {
        if (pSize)
            *pSize = r;
        return r;
    }
    if (pOffset)
        *pOffset = (YW_pos_t)bd.offset;
    if (pSize)
        *pSize = (YW_size_t)YW_IPC_BD_LENGTH(bd.length);
    return r;
}

YW_pos_t YW_ipc_buffer_popFifo(YW_ipc_buffer_t *p, YW_size_t size, YW_ipc_buffer_descriptor_t *pOut)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    return YW_ipc_fifo_pop(p->fifo, size, pOut);
}

YW_ret_t YW_ipc_buffer_peek(YW_ipc_buffer_t *p, YW_pos_t *pOffset, YW_size_t *pSize)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    YW_ipc_buffer_descriptor_t *bd = YW_ipc_fifo_peek(p->fifo);
    if (!bd)
        return YW_ERR_FIFO_EMPTY;
    if (pOffset)
        *pOffset = (YW_pos_t)bd->offset;
    if (pSize)
        *pSize = (YW_size_t)YW_IPC_BD_LENGTH(bd->length);
    return YW_SUCCESS;
}

YW_pos_t YW_ipc_buffer_advance(YW_ipc_buffer_t *p)
{
    if (!p)
        return YW_ERR_BUFFER_NULL;
    YW_ipc_buffer_guard g(p);
    return YW_ipc_fifo_advance(p->fifo);
}

} // extern "C"
