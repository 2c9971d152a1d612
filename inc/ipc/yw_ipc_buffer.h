/*
 * Byte ring of the IPC transports: message space is allocated at `inp` and
 * freed from `outp` in allocation order; a piece never straddles the end.
 */
#ifndef YW_IPC_BUFFER_H
#define YW_IPC_BUFFER_H

#include "yw_types.h"
#include "yw_err.h"
#include "osa/yw_osa.h"
#include "ipc/yw_ipc_fifo.h"
#ifdef __cplusplus
#include "yw_gate.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define YW_IPC_BUFFER_FLAGS_SINGLE 0x0001

typedef struct yw_ipc_buffer {
    YW_int64_t inp;
    YW_int64_t outp;
    int wrap;
    int flags;
    YW_uint64_t alloc;
    YW_uint64_t free;
    YW_uint64_t fail;
    YW_P_mutex_t lock;
    YW_uint64_t size;
    YW_uint8_t *data;
    YW_ipc_fifo_t *fifo;
    YW_uint64_t inp_oor;
    YW_uint64_t outp_oor;
    YW_uint64_t restore_err;
    YW_uint64_t wrap_err;
    YW_uint64_t wrap_overrun;
    YW_uint64_t wrap_underrun;
    void *priv;
    int refCount;
    /* the last allocation, kept so that restore undoes exactly that one */
    YW_int64_t last_inp;
    YW_int64_t last_size;
    int last_wrap;
} YW_ipc_buffer_t;

YW_ipc_buffer_t *YW_ipc_buffer_init(YW_ipc_buffer_t *p, void *data, YW_uint64_t size, void *priv);
YW_ret_t YW_ipc_buffer_release(YW_ipc_buffer_t *p);
YW_ret_t YW_ipc_buffer_setfifo(YW_ipc_buffer_t *p, YW_ipc_fifo_t *fifo);
YW_pos_t YW_ipc_buffer_get_freespace(YW_ipc_buffer_t *p, YW_size_t size);
YW_pos_t YW_ipc_buffer_alloc(YW_ipc_buffer_t *p, YW_size_t size);
YW_ipc_buffer_descriptor_t *YW_ipc_buffer_allocWithFifo(YW_ipc_buffer_t *p, YW_size_t size);
YW_pos_t YW_ipc_buffer_getSpace(YW_ipc_buffer_t *p, YW_size_t size);
YW_ret_t YW_ipc_buffer_adjust(YW_ipc_buffer_t *p, YW_pos_t index, YW_size_t size);
YW_pos_t YW_ipc_buffer_restore(YW_ipc_buffer_t *p, YW_size_t size);
YW_pos_t YW_ipc_buffer_free(YW_ipc_buffer_t *p, YW_pos_t outp, YW_size_t size);
YW_pos_t YW_ipc_buffer_pushFifo(YW_ipc_buffer_t *p, YW_uint64_t offset, YW_uint64_t size);
YW_pos_t YW_ipc_buffer_pop(YW_ipc_buffer_t *p, YW_pos_t *pOffset, YW_size_t *pSize);
YW_pos_t YW_ipc_buffer_popFifo(YW_ipc_buffer_t *p, YW_size_t size, YW_ipc_buffer_descriptor_t *pOut);
YW_ret_t YW_ipc_buffer_peek(YW_ipc_buffer_t *p, YW_pos_t *pOffset, YW_size_t *pSize);
YW_pos_t YW_ipc_buffer_advance(YW_ipc_buffer_t *p);
/* marks a slot claimed by allocWithFifo as finished (BUSY), under the mutex */
YW_ret_t YW_ipc_buffer_publish(YW_ipc_buffer_t *p, YW_ipc_buffer_descriptor_t *bd);

#ifdef __cplusplus
}

/* Holds a ring's mutex for a scope (a ring without a mutex is not locked). */
class YW_ipc_buffer_guard {
public:
    explicit YW_ipc_buffer_guard(YW_ipc_buffer_t *p) : m_lock(p->lock)
    {
        if (m_lock) {
            YW_P_lockMutex(m_lock);
            YW_shared_hold();
        }
    }
    /* The lock goes first: leaving the last hold may end the thread here. */
    ~YW_ipc_buffer_guard() noexcept(false)
    {
        if (m_lock) {
            YW_P_unlockMutex(m_lock);
            YW_shared_release();
        }
    }
    YW_ipc_buffer_guard(const YW_ipc_buffer_guard &) = delete;
    YW_ipc_buffer_guard &operator=(const YW_ipc_buffer_guard &) = delete;

private:
    YW_P_mutex_t m_lock;
};
#endif

#endif
