// Example application tasks exchanging messages over a message-queue IPC
// channel pair (examples/single-node: iap 20 sends, iap 21 receives), and
// the task of examples/two-nodes that talks to the other node over TCP.
//
// "ipc_sender" sends one numbered message a second; when the queue is full it
// waits for the room event. "ipc_receiver" takes each message when the IPC
// event for its channel arrives and logs it.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "frw/yw_frw_node.h"
#include "ipc/yw_ipc.h"
#include "log/yw_log.h"
#include "task/yw_task.h"

namespace {

constexpr YW_ipc_iap_t YW_EXAMPLE_IPC_TX_IAP = 20;
constexpr YW_ipc_iap_t YW_EXAMPLE_IPC_RX_IAP = 21;
constexpr YW_int64_t YW_EXAMPLE_IPC_PERIOD = 1000000000LL;   // one message a second
constexpr YW_int64_t YW_EXAMPLE_IPC_RETRY = 100000000LL;     // 100 ms between open tries
constexpr int YW_EXAMPLE_IPC_OPEN_TRIES = 100;
constexpr YW_ipc_iap_t YW_EXAMPLE_PEER_TX_IAP = 30;
constexpr YW_ipc_iap_t YW_EXAMPLE_PEER_RX_IAP = 31;

// The channels are made by the IPC service manager on its own task; an
// application task that starts first tries again for a while.
YW_ret_t yw_example_open(YW_ipc_iap_t iap, YW_uint32_t mode, YW_ipc_id_t *id)
{
    YW_ret_t r = YW_FAIL;
    for (int i = 0; i < YW_EXAMPLE_IPC_OPEN_TRIES; i++) {
        r = YW_openIpc(iap, mode, id);
        if (r != YW_ERR_IPC_NULL && r != YW_ERR_IPC_NOT_READY)
            break;
        YW_P_sleepThread(nullptr, YW_EXAMPLE_IPC_RETRY);
    }
    return r;
}

YW_int64_t yw_example_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (YW_int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

} // namespace

extern "C" {

void *YW_example_ipc_sender(void *arg)
{
    (void)arg;
    YW_task_id_t tid = YW_getTaskID();
    YW_ipc_id_t ch = YW_IPC_INVALID_ID;
    YW_ret_t r = yw_example_open(YW_EXAMPLE_IPC_TX_IAP, YW_IPC_FLAGS_TX, &ch);
    if (r != YW_SUCCESS) {
        YW_printf("%s: can't open iap %u error=%d\n", __func__, (unsigned)YW_EXAMPLE_IPC_TX_IAP, (int)r);
        return nullptr;
    }
    YW_printf("%s: sending on ipc %u (iap %u)\n", __func__, (unsigned)ch, (unsigned)YW_EXAMPLE_IPC_TX_IAP);
    unsigned seq = 0;
    bool waitRoom = false;
    for (;;) {
        YW_event_flag_t flags = 0;
        YW_ret_t n = YW_waitTaskEventTime(tid, &flags, YW_EXAMPLE_IPC_PERIOD);
        if (n > 0) {
            YW_event_msg_t *m = nullptr;
            while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0) {
                if (m->id.p.value & YW_IPC_EVENT_TX_PEND)
                    waitRoom = false;
                YW_event_releaseEvent(m);
            }
            if (waitRoom)
                continue;
        }
        // A full queue is tried again at the latest after a period without
        // a room event (the receiver may have gone).
        waitRoom = false;
        char msg[64];
        int len = std::snprintf(msg, sizeof(msg), "ping %u", seq);
        YW_size_t s = YW_sendIpc(ch, msg, len + 1);
        if (s == YW_ERR_NO_TX_BD) {
            YW_printf("%s: queue full, waiting for room\n", __func__);
            waitRoom = true;
        } else if (s < 0) {
            YW_printf("%s: send error=%d\n", __func__, (int)s);
        } else {
            seq++;
        }
    }
    return nullptr;
}

void *YW_example_ipc_receiver(void *arg)
{
    (void)arg;
    YW_task_id_t tid = YW_getTaskID();
    YW_ipc_id_t ch = YW_IPC_INVALID_ID;
    YW_ret_t r = yw_example_open(YW_EXAMPLE_IPC_RX_IAP, YW_IPC_FLAGS_RX, &ch);
    if (r != YW_SUCCESS) {
        YW_printf("%s: can't open iap %u error=%d\n", __func__, (unsigned)YW_EXAMPLE_IPC_RX_IAP, (int)r);
        return nullptr;
    }
    YW_printf("%s: receiving on ipc %u (iap %u)\n", __func__, (unsigned)ch, (unsigned)YW_EXAMPLE_IPC_RX_IAP);
    char buf[1024];
    for (;;) {
        YW_event_flag_t flags = 0;
        if (YW_waitTaskEventTime(tid, &flags, 10 * YW_EXAMPLE_IPC_PERIOD) < 1)
            continue;
        YW_event_msg_t *m = nullptr;
        while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0) {
            YW_ipc_id_t from = YW_IPC_EVENT_IPC_ID(m->id.p.value);
            YW_event_releaseEvent(m);
            YW_size_t n = YW_recvIpc(from, buf, sizeof(buf) - 1);
            if (n < 0)
                continue;
            buf[n] = '\0';
            YW_printf("%s: ipc %u received %d bytes: %s\n", __func__, (unsigned)from, (int)n, buf);
        }
    }
    return nullptr;
}

// "tcp_peer" (examples/two-nodes): sends "hello <n> from <node>" to the
// other node once a second on iap 30 (a TCP channel, sent while it is
// connected) and logs what arrives on iap 31 from the other node. The
// sending keeps its own schedule: what arrives only shortens a wait.
void *YW_example_tcp_peer(void *arg)
{
    (void)arg;
    YW_task_id_t tid = YW_getTaskID();
    const char *me = localNode && localNode->name ? localNode->name : "?";
    YW_ipc_id_t tx = YW_IPC_INVALID_ID, rx = YW_IPC_INVALID_ID;
    YW_ret_t r = yw_example_open(YW_EXAMPLE_PEER_RX_IAP, YW_IPC_FLAGS_RX, &rx);
    if (r == YW_SUCCESS)
        r = yw_example_open(YW_EXAMPLE_PEER_TX_IAP, YW_IPC_FLAGS_TX, &tx);
    if (r != YW_SUCCESS) {
        YW_printf("%s: %s can't open its channels error=%d\n", __func__, me, (int)r);
        return nullptr;
    }
    YW_printf("%s: %s sends on ipc %u, receives on ipc %u\n", __func__, me, (unsigned)tx, (unsigned)rx);
    unsigned seq = 0;
    char buf[1024];
    YW_int64_t next = yw_example_now() + YW_EXAMPLE_IPC_PERIOD;
    for (;;) {
        YW_int64_t wait = next - yw_example_now();
        YW_event_flag_t flags = 0;
        if (wait > 0 && YW_waitTaskEventTime(tid, &flags, wait) > 0) {
            YW_event_msg_t *m = nullptr;
            while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0) {
                YW_uint32_t v = m->id.p.value;
                YW_event_releaseEvent(m);
                if (!(v & YW_IPC_EVENT_RX_READY) || YW_IPC_EVENT_IPC_ID(v) != rx)
                    continue;
                YW_size_t n = YW_recvIpc(rx, buf, sizeof(buf) - 1);
                if (n < 0)
                    continue;
                buf[n] = '\0';
                YW_printf("%s: %s received %d bytes: %s\n", __func__, me, (int)n, buf);
            }
            continue;
        }
        if (yw_example_now() < next)
            continue;
        // the next send a period after this one (not after a late wake-up's backlog)
        next += YW_EXAMPLE_IPC_PERIOD;
        if (next < yw_example_now())
            next = yw_example_now() + YW_EXAMPLE_IPC_PERIOD;
        YW_ipc_status_t st;
        if (YW_inqIpc(tx, &st) != YW_SUCCESS || !(st.state & YW_IPC_STATE_TX_UP))
            continue; // not connected (yet): the channel connects by itself
        char msg[128];
        int len = std::snprintf(msg, sizeof(msg), "hello %u from %s", seq, me);
        if (YW_sendIpc(tx, msg, len + 1) > 0)
            seq++;
    }
    return nullptr;
}

} // extern "C"
