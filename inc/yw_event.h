// Events and event queues.
//
// An event is a 64-bit identifier: a one-bit flag, which selects one of the
// 32 vectors of a queue, and a 32-bit value. A sender posts a reference-counted
// message to the receiver's queue; the queue appends it to the FIFO of the
// flag's vector, marks the flag pending in `flags_recv` and rings the owner's
// doorbell through `cb_fireEvent`. The owner waits through `cb_waitEvent` and
// then takes the messages vector by vector with YW_event_recv.
//
// Threads: a queue has ONE receiver (its owner) and any number of senders on
// any thread, including a signal handler (timer expiry). A send is lock-free
// and async-signal-safe: each vector has an atomic inbox (a LIFO pushed with
// compare-and-swap) that the receiver takes whole and turns into its private
// FIFO `linkhead[vec]`, so messages of one sender arrive in the order sent.
// `flags_recv` is changed only with atomic OR / AND; a sender appends first,
// then sets the pending bit, then rings the doorbell. Each send is counted
// while it runs, and YW_event_q_deinit waits for the sends that got past the
// status check, so no message is appended to a queue already emptied.
//
// Wait callbacks (for the owners: tasks, framework, log service):
//   the doorbell is an eventfd, which ADDS the values written to it, so its
//   value is NOT a set of flags (two rings of 0x20000 read as 0x40000). A wait
//   callback must never copy the doorbell value into `flags_recv`; it only
//   uses the doorbell to sleep and reads the pending work from `flags_recv`.
//   Use YW_event_q_waitThread(q, thread, timeout) as the whole body of a wait
//   callback and YW_event_q_fireThread(q, thread, msg) as the fire callback.
//   After every wake the owner drains each waited vector until YW_event_recv
//   returns non-zero (the receive that finds the FIFO empty clears the bit).
//
// Ownership: a message carries one reference per holder. A send that returns
// >= 0 has passed the creator's reference to the queue (even when ringing the
// doorbell failed: the message is queued and is found on the owner's next
// wait); a send that returns < 0 leaves the message with the sender.
#ifndef YW_EVENT_H
#define YW_EVENT_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

#include "osa/yw_osa.h"
#include "yw_bit.h"
#include "yw_err.h"
#include "yw_link.h"
#include "yw_list.h"
#include "yw_mem.h"
#include "yw_types.h"

typedef YW_uint32_t YW_event_flag_t;
typedef YW_uint32_t YW_event_value_t;

enum {
    YW_EVENT_FLAG_LSE = 0x10000, /* log service */
    YW_EVENT_FLAG_FRW = 0x20000, /* framework and service-manager commands */
    YW_EVENT_FLAG_IPC = 0x40000, /* received IPC data */
    YW_EVENT_FLAG_TMR = 0x80000, /* timer expiry */
};

#define YW_EVENT_FLAG_MAX 32
#define YW_EVENT_FLAG_TO_VECNO(flag) YW_bitPos32((YW_uint32_t)(flag))
#define YW_EVENT_VECNO_VALID(vecno) ((vecno) >= 0 && (vecno) < YW_EVENT_FLAG_MAX)

typedef union {
    YW_uint64_t w;
    struct {
        YW_event_flag_t flag;
        YW_event_value_t value;
    } p;
} YW_event_t;

// The identifier of {flag, value} as one word (value << 32 | flag), for
// state-machine tables.
constexpr YW_uint64_t YW_event_word(YW_event_flag_t flag, YW_event_value_t value)
{
    return ((YW_uint64_t)value << 32) | flag;
}
#define YW_EVENT_ID(flag, value) (YW_event_t{.w = YW_event_word((flag), (value))})

// Marks a message that YW_event_initEvent allocated (only those are freed).
#define YW_EVENT_MSG_HEAP 0x6865617000000001ULL

typedef struct yw_event_msg {
    YW_event_t id;
    YW_uint8_t *data;
    YW_size_t refCount;
    YW_slink_t slink;
    YW_uint64_t origin; /* YW_EVENT_MSG_HEAP when allocated by YW_event_initEvent */
} YW_event_msg_t;

#define YW_EVENT_FLAGS(emsg) ((emsg)->id.p.flag)

struct yw_event_q;
typedef YW_ret_t (*YW_event_q_cb_t)(struct yw_event_q *q, YW_addr_t arg);

enum {
    YW_EVENT_Q_STATUS_IDLE = 0,
    YW_EVENT_Q_STATUS_INIT = 1,
    YW_EVENT_Q_STATUS_TINI = 2,
    YW_EVENT_Q_STATUS_NORM = 4,
};

#define YW_EVENT_Q_HEAP 0x7175657565000001ULL

// Callbacks: cb_fireEvent gets a copy of the sent message (identity and
// data) that is valid only during the call, because the receiver may already
// have taken and released the message itself; cb_sendEvent gets the message.
typedef struct yw_event_q {
    YW_string_t name;
    std::atomic<YW_int32_t> status;
    std::atomic<YW_event_flag_t> flags_wait; /* flags the owner waits for */
    std::atomic<YW_event_flag_t> flags_recv; /* flags with pending messages */
    YW_event_q_cb_t cb_fireEvent;            /* arg = the message */
    YW_event_q_cb_t cb_waitEvent;            /* arg = YW_int64_t* time-out in ns */
    YW_addr_t priv;
    YW_size_t refCount;
    YW_event_q_cb_t cb_sendEvent[YW_EVENT_FLAG_MAX]; /* arg = the message */
    YW_event_q_cb_t cb_recvEvent[YW_EVENT_FLAG_MAX]; /* arg = YW_event_msg_t** */
    YW_linkHead_t linkhead[YW_EVENT_FLAG_MAX];       /* receiver-private FIFOs */
    std::atomic<YW_slink_t *> inbox[YW_EVENT_FLAG_MAX]; /* senders push here, newest first */
    std::atomic<YW_int32_t> sending; /* sends in progress (deinit waits for them) */
    YW_uint64_t origin; /* YW_EVENT_Q_HEAP when allocated by YW_event_q_init */
} YW_event_q_t;

// ---- messages --------------------------------------------------------------

inline YW_event_msg_t *YW_event_initEvent(YW_event_msg_t *pmsg, YW_event_flag_t flag, YW_event_value_t value,
                                          YW_addr_t data)
{
    if (!pmsg) {
        pmsg = static_cast<YW_event_msg_t *>(YW_malloc(sizeof(YW_event_msg_t)));
        if (!pmsg)
            return nullptr;
        pmsg->refCount = 0;
        pmsg->slink.next = nullptr;
        pmsg->origin = YW_EVENT_MSG_HEAP;
    }
    pmsg->id.p.flag = flag;
    pmsg->id.p.value = value;
    pmsg->data = static_cast<YW_uint8_t *>(data);
    std::atomic_ref<YW_size_t>(pmsg->refCount).fetch_add(1, std::memory_order_relaxed);
    return pmsg;
}

inline void YW_event_releaseEvent(YW_event_msg_t *pmsg)
{
    if (!pmsg)
        return;
    if (std::atomic_ref<YW_size_t>(pmsg->refCount).fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        pmsg->origin == YW_EVENT_MSG_HEAP) {
        pmsg->origin = 0;
        YW_free(pmsg);
    }
}

inline YW_event_msg_t *yw_event_msg_of(YW_slink_t *l)
{
    return l ? YW_list_entry(l, YW_event_msg_t, slink) : nullptr;
}

// ---- queues ----------------------------------------------------------------

inline YW_event_q_t *YW_event_q_init(YW_event_q_t *q, YW_string_t name, YW_event_q_cb_t cb_fire,
                                     YW_event_q_cb_t cb_wait, YW_addr_t priv)
{
    if (!q) {
        void *mem = YW_malloc(sizeof(YW_event_q_t));
        if (!mem)
            return nullptr;
        q = new (mem) YW_event_q_t{};
        q->origin = YW_EVENT_Q_HEAP;
    }
    if (q->status.load() != YW_EVENT_Q_STATUS_IDLE)
        return q;
    q->status.store(YW_EVENT_Q_STATUS_INIT);
    q->refCount++;
    q->name = name;
    q->flags_wait.store(0);
    q->flags_recv.store(0);
    q->cb_fireEvent = cb_fire;
    q->cb_waitEvent = cb_wait;
    q->priv = priv;
    for (int i = 0; i < YW_EVENT_FLAG_MAX; ++i) {
        q->cb_sendEvent[i] = nullptr;
        q->cb_recvEvent[i] = nullptr;
        YW_linkHead_init(&q->linkhead[i]);
        q->inbox[i].store(nullptr, std::memory_order_relaxed);
    }
    q->sending.store(0);
    q->status.store(YW_EVENT_Q_STATUS_NORM);
    return q;
}

// Moves everything senders pushed on vector `vec` into the private FIFO, in
// the order it was sent. Receiver only.
inline void yw_event_q_takeInbox(YW_event_q_t *q, int vec)
{
    YW_slink_t *l = q->inbox[vec].exchange(nullptr, std::memory_order_seq_cst);
    if (!l)
        return;
    YW_slink_t *rev = nullptr;
    YW_slink_t *last = l;
    while (l) {
        YW_slink_t *n = l->next;
        l->next = rev;
        rev = l;
        l = n;
    }
    // `rev` is now oldest first and `last` the newest.
    YW_linkHead_t *h = &q->linkhead[vec];
    if (h->end)
        h->end->next = rev;
    else
        h->start = rev;
    h->end = last;
    last->next = nullptr;
}

// Pops the oldest message of a vector (receiver only).
inline YW_slink_t *yw_event_q_pop(YW_event_q_t *q, int vec)
{
    YW_slink_t *l = YW_link_pop(&q->linkhead[vec]);
    if (!l) {
        yw_event_q_takeInbox(q, vec);
        l = YW_link_pop(&q->linkhead[vec]);
    }
    return l;
}

inline YW_ret_t YW_event_q_deinit(YW_event_q_t *q)
{
    if (!q)
        return YW_SUCCESS;
    YW_ret_t r = YW_SUCCESS;
    if (q->status.load() != YW_EVENT_Q_STATUS_IDLE) {
        q->status.store(YW_EVENT_Q_STATUS_TINI, std::memory_order_seq_cst);
        // A sender that saw NORM finishes its append (and ring) first, so no
        // message lands in a FIFO after it was emptied. Sends do not block;
        // the wait is bounded all the same (a sender that faulted and was
        // recovered by a jump never ends its send).
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (q->sending.load(std::memory_order_seq_cst) != 0 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        for (int i = 0; i < YW_EVENT_FLAG_MAX; ++i) {
            while (YW_slink_t *l = yw_event_q_pop(q, i))
                YW_event_releaseEvent(yw_event_msg_of(l));
        }
        q->flags_recv.store(0);
        q->status.store(YW_EVENT_Q_STATUS_IDLE);
    } else {
        r = YW_FAIL;
    }
    if (--q->refCount <= 0) {
        q->refCount = 0;
        if (q->origin == YW_EVENT_Q_HEAP) {
            q->origin = 0;
            q->~YW_event_q_t();
            YW_free(q);
        }
    }
    return r;
}

// Counts a send in progress on a queue for as long as it lives.
struct yw_event_sendGuard {
    YW_event_q_t *q;
    explicit yw_event_sendGuard(YW_event_q_t *queue) : q(queue)
    {
        q->sending.fetch_add(1, std::memory_order_seq_cst);
    }
    ~yw_event_sendGuard()
    {
        q->sending.fetch_sub(1, std::memory_order_release);
    }
    yw_event_sendGuard(const yw_event_sendGuard &) = delete;
    yw_event_sendGuard &operator=(const yw_event_sendGuard &) = delete;
};

inline YW_ret_t YW_event_send(YW_event_q_t *q, YW_event_msg_t *emsg)
{
    if (!q || !emsg)
        return YW_FAIL;
    // Once appended, the receiver may take and release the message at any
    // moment: the doorbell is rung with a copy of its identity and data. The
    // copy is taken before the send is counted, so a bad message pointer
    // faults outside the counted part.
    YW_event_msg_t shown;
    shown.id = emsg->id;
    shown.data = emsg->data;
    shown.refCount = 0;
    shown.slink.next = nullptr;
    shown.origin = 0;
    yw_event_sendGuard inFlight(q);
    if (q->status.load(std::memory_order_seq_cst) != YW_EVENT_Q_STATUS_NORM)
        return YW_FAIL;
    YW_event_flag_t flag = shown.id.p.flag;
    int vec = YW_EVENT_FLAG_TO_VECNO(flag);
    if (!YW_EVENT_VECNO_VALID(vec)) {
        std::printf("%s:%d flag=%x vecno=%d\n", __func__, __LINE__, flag, vec);
        return YW_ERR_OOR;
    }
    if (YW_event_q_cb_t cb = q->cb_sendEvent[vec])
        return cb(q, emsg);
    YW_slink_t *head = q->inbox[vec].load(std::memory_order_relaxed);
    do {
        emsg->slink.next = head;
    } while (!q->inbox[vec].compare_exchange_weak(head, &emsg->slink, std::memory_order_seq_cst,
                                                  std::memory_order_relaxed));
    q->flags_recv.fetch_or(flag, std::memory_order_seq_cst);
    // From here the queue owns the message: a doorbell failure is reported
    // but does not hand it back (the owner finds it on its next wait).
    if (!q->cb_fireEvent)
        return YW_SUCCESS;
    YW_ret_t r = q->cb_fireEvent(q, &shown);
    if (r < 0) {
        std::printf("%s:%d error=%d\n", __func__, __LINE__, (int)r);
        return YW_SUCCESS;
    }
    return r;
}

inline YW_ret_t YW_event_recv(YW_event_q_t *q, YW_event_flag_t eflag, YW_event_msg_t **emsgp)
{
    if (!q || !emsgp || q->status.load(std::memory_order_acquire) != YW_EVENT_Q_STATUS_NORM)
        return YW_FAIL;
    int vec = YW_EVENT_FLAG_TO_VECNO(eflag);
    if (!YW_EVENT_VECNO_VALID(vec))
        return YW_ERR_OOR;
    if (YW_event_q_cb_t cb = q->cb_recvEvent[vec]) {
        YW_ret_t r = cb(q, emsgp);
        if (r != 0)
            q->flags_recv.fetch_and(~eflag, std::memory_order_seq_cst);
        return r;
    }
    YW_slink_t *l = yw_event_q_pop(q, vec);
    if (!l) {
        // Clear the bit, then look once more: a sender that appended before
        // our clear is seen here, one that appends after sets the bit again.
        q->flags_recv.fetch_and(~eflag, std::memory_order_seq_cst);
        l = yw_event_q_pop(q, vec);
        if (!l)
            return YW_FAIL;
        q->flags_recv.fetch_or(eflag, std::memory_order_seq_cst);
    }
    *emsgp = yw_event_msg_of(l);
    return YW_SUCCESS;
}

inline int YW_event_empty(YW_event_q_t *q, YW_event_flag_t flag)
{
    if (!q)
        return 1;
    return (q->flags_recv.load(std::memory_order_seq_cst) & flag) == 0 ? 1 : 0;
}

// Waited flags with pending messages.
inline YW_event_flag_t YW_event_pending(YW_event_q_t *q)
{
    return q->flags_recv.load(std::memory_order_seq_cst) & q->flags_wait.load(std::memory_order_relaxed);
}

inline YW_ret_t YW_event_wait(YW_event_q_t *q, YW_int64_t timeout)
{
    if (!q || q->status.load(std::memory_order_acquire) != YW_EVENT_Q_STATUS_NORM)
        return YW_SUCCESS;
    if (q->cb_waitEvent)
        return q->cb_waitEvent(q, &timeout);
    int n = YW_bitCount32(YW_event_pending(q));
    YW_P_sleepThread(nullptr, timeout);
    return (YW_ret_t)n;
}

inline YW_ret_t yw_event_set_cb(YW_event_q_cb_t *table, YW_event_flag_t flag, YW_event_q_cb_t cb)
{
    int vec = YW_EVENT_FLAG_TO_VECNO(flag);
    if (vec < 1 || vec >= YW_EVENT_FLAG_MAX)
        return YW_FAIL;
    table[vec] = cb;
    return YW_SUCCESS;
}

inline YW_ret_t YW_event_set_send_callback(YW_event_q_t *q, YW_event_flag_t flag, YW_event_q_cb_t cb)
{
    return q ? yw_event_set_cb(q->cb_sendEvent, flag, cb) : YW_FAIL;
}

inline YW_ret_t YW_event_set_recv_callback(YW_event_q_t *q, YW_event_flag_t flag, YW_event_q_cb_t cb)
{
    return q ? yw_event_set_cb(q->cb_recvEvent, flag, cb) : YW_FAIL;
}

// ---- doorbell callbacks shared by every owner --------------------------------

// Fire callback body: rings thread `th` with the message's flag. 0 while the
// owner thread is not known yet (the message waits in the FIFO).
inline YW_ret_t YW_event_q_fireThread(YW_event_q_t *q, YW_P_thread_t th, YW_addr_t msg)
{
    (void)q;
    if (!th)
        return YW_SUCCESS;
    YW_event_msg_t *m = static_cast<YW_event_msg_t *>(msg);
    return YW_P_sendThreadEvent(th, m ? m->id.p.flag : 1u);
}

// Wait callback body: returns at once with the number of waited flags pending;
// otherwise sleeps on the doorbell of `th` until a waited flag is pending or
// `timeout` nanoseconds pass (negative: no limit; 0: look once). The doorbell
// value is only a wake-up. Result >= 1, or YW_ERR_TIMEOUT.
inline YW_ret_t YW_event_q_waitThread(YW_event_q_t *q, YW_P_thread_t th, YW_int64_t timeout)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline =
        timeout > 0 ? clock::now() + std::chrono::nanoseconds(timeout) : clock::time_point{};
    YW_int64_t left = timeout;
    for (;;) {
        int n = YW_bitCount32(YW_event_pending(q));
        if (n > 0)
            return (YW_ret_t)n;
        if (left == 0)
            return YW_ERR_TIMEOUT;
        if (!th) {
            YW_P_sleepThread(nullptr, left > 0 ? left : 1000000);
        } else {
            YW_P_recvThreadEvent(th, 0xFFFFFFFFu, 0, left, nullptr);
        }
        if (timeout > 0) {
            left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now()).count();
            if (left <= 0)
                left = 0;
        }
    }
}

#endif
