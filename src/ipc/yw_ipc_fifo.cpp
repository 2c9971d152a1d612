// Descriptor FIFO of the IPC buffers.
//
// A slot is free while its length word is 0, claimed (ACTV) while a producer
// fills the piece it describes, and filled (ACTV|BUSY) once the producer has
// finished. The owner of the FIFO serialises producers and the consumer (the
// ring buffer's mutex); the FIFO itself holds no lock.
#include <cstring>

#include "ipc/yw_ipc_fifo.h"
#include "yw_mem.h"

namespace {

inline YW_int64_t yw_fifo_next(const YW_ipc_fifo_t *fifo, YW_int64_t i)
{
    return (YW_uint64_t)(i + 1) >= fifo->count ? 0 : i + 1;
}

} // namespace

extern "C" {

YW_ipc_fifo_t *YW_ipc_fifo_init(YW_ipc_fifo_t *fifo, YW_ipc_buffer_descriptor_t *list, YW_uint64_t count)
{
    // A FIFO without slots could neither take nor give anything: refuse it.
    if (count == 0 || count > ((YW_uint64_t)1 << 40))
        return nullptr;

    bool ownRecord = false;
    if (!fifo) {
        fifo = static_cast<YW_ipc_fifo_t *>(YW_malloc(sizeof(YW_ipc_fifo_t)));
        if (!fifo)
            return nullptr;
        std::memset(fifo, 0, sizeof(*fifo));
        fifo->refCount = 1;
        ownRecord = true;
    } else {
        fifo->refCount += 1;
    }
    if (!list) {
        list = static_cast<YW_ipc_buffer_descriptor_t *>(YW_malloc(count * sizeof(YW_ipc_buffer_descriptor_t)));
        if (!list) {
            if (ownRecord)
                YW_free(fifo);
            else
                fifo->refCount -= 1;
            return nullptr;
        }
        fifo->list_refCount = 1;
    } else {
        fifo->list_refCount += 1;
    }
    fifo->push = 0;
    fifo->pop = 0;
    fifo->list = list;
    fifo->count = count;
    std::memset(list, 0, count * sizeof(YW_ipc_buffer_descriptor_t));
    fifo->fullerr = 0;
    fifo->flags = YW_IPC_FIFO_FLAGS_INIT;
    return fifo;
}

int YW_ipc_fifo_full(const YW_ipc_fifo_t *fifo)
{
    if (!fifo || !fifo->list || fifo->count == 0)
        return 1;
    return YW_IPC_BD_IS_ACTV(fifo->list[fifo->push].length) ? 1 : 0;
}

YW_ipc_buffer_descriptor_t *YW_ipc_fifo_get(YW_ipc_fifo_t *fifo)
{
    if (YW_ipc_fifo_full(fifo)) {
        if (fifo)
            fifo->fullerr++;
        return nullptr;
    }
    YW_ipc_buffer_descriptor_t *bd = &fifo->list[fifo->push];
    bd->length = YW_IPC_BD_ACTV_FLAG;
    fifo->push = yw_fifo_next(fifo, fifo->push);
    return bd;
}

YW_pos_t YW_ipc_fifo_push(YW_ipc_fifo_t *fifo, YW_uint64_t offset, YW_uint64_t length)
{
    YW_ipc_buffer_descriptor_t *bd = YW_ipc_fifo_get(fifo);
    if (!bd)
        return YW_ERR_FIFO_NULL;
    bd->offset = offset;
    bd->length |= length;
    return fifo->push;
}

YW_pos_t YW_ipc_fifo_pop(YW_ipc_fifo_t *fifo, YW_size_t size, YW_ipc_buffer_descriptor_t *pOut)
{
    if (!fifo || !fifo->list || fifo->count == 0)
        return YW_ERR_FIFO_NULL;
    YW_ipc_buffer_descriptor_t *bd = &fifo->list[fifo->pop];
    if (!YW_IPC_BD_IS_FILLED(bd->length))
        return YW_ERR_FIFO_EMPTY;
    if (size < 0 || (YW_uint64_t)size < YW_IPC_BD_LENGTH(bd->length))
        return YW_ERR_RX_BUFFER_SHORT;
    if (pOut)
        *pOut = *bd;
    bd->offset = 0;
    bd->length = 0;
    fifo->pop = yw_fifo_next(fifo, fifo->pop);
    return fifo->pop;
}

YW_ipc_buffer_descriptor_t *YW_ipc_fifo_peek(YW_ipc_fifo_t *fifo)
{
    if (!fifo || !fifo->list || fifo->count == 0)
        return nullptr;
    YW_ipc_buffer_descriptor_t *bd = &fifo->list[fifo->pop];
    return YW_IPC_BD_IS_FILLED(bd->length) ? bd : nullptr;
}

YW_pos_t YW_ipc_fifo_advance(YW_ipc_fifo_t *fifo)
{
    if (!fifo || !fifo->list || fifo->count == 0)
        return YW_ERR_FIFO_NULL;
    YW_ipc_buffer_descriptor_t *bd = &fifo->list[fifo->pop];
    // Only a filled slot is dropped: stepping over a free slot would put pop
    // ahead of push, and clearing a claimed one would lose the message its
    // producer is still writing.
    if (!YW_IPC_BD_IS_FILLED(bd->length))
        return YW_ERR_FIFO_EMPTY;
    bd->offset = 0;
    bd->length = 0;
    fifo->pop = yw_fifo_next(fifo, fifo->pop);
    return fifo->pop;
}

YW_ret_t YW_ipc_fifo_release(YW_ipc_fifo_t *fifo)
{
    // Owners free their lists and records themselves; only a FIFO marked for
    // release by its owner would be torn down here, and none is.
    if (!fifo)
        return YW_FAIL;
    if ((fifo->flags & (YW_IPC_FIFO_FLAGS_INIT | YW_IPC_FIFO_FLAGS_RELEASE)) !=
        (YW_IPC_FIFO_FLAGS_INIT | YW_IPC_FIFO_FLAGS_RELEASE))
        return YW_FAIL;
    if (--fifo->list_refCount == 0 && fifo->list) {
        YW_free(fifo->list);
        fifo->list = nullptr;
        fifo->count = 0;
    }
    if (--fifo->refCount == 0)
        YW_free(fifo);
    return YW_SUCCESS;
}

} // extern "C"
