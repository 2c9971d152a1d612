// Example application tasks exchanging numbered messages over shared-memory
// channels between two compute elements (examples/two-ce: iap 30 sends to the
// other element, iap 31 receives from it).
//
// "shm_sender" sends "n <number>" messages: by default one a second for ever;
// with TURV_SHM_COUNT set it sends that many as fast as the channel takes
// them (0: no end), TURV_SHM_PERIOD_US apart. "shm_receiver" checks that the
// numbers rise and reports each message, or, with a count, one line once all
// came in order.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipc/yw_ipc.h"
#include "task/yw_task.h"

namespace {

constexpr YW_ipc_iap_t YW_EXAMPLE_SHM_TX_IAP = 30;
constexpr YW_ipc_iap_t YW_EXAMPLE_SHM_RX_IAP = 31;
constexpr YW_int64_t YW_EXAMPLE_SHM_RETRY = 100000000LL; // 100 ms between open tries
constexpr int YW_EXAMPLE_SHM_OPEN_TRIES = 100;
constexpr YW_int64_t YW_EXAMPLE_SHM_ROOM_WAIT = 1000000LL;   // 1 ms for a room event
constexpr YW_int64_t YW_EXAMPLE_SHM_PEER_WAIT = 10000000LL;  // 10 ms while no handshake

long long yw_example_env(const char *name, long long dflt)
{
    const char *v = std::getenv(name);
    if (!v || !*v)
        return dflt;
    char *end = nullptr;
    errno = 0;
    long long n = std::strtoll(v, &end, 10);
    return (errno == 0 && end && *end == '\0' && n >= 0) ? n : dflt;
}

YW_ret_t yw_example_shm_open(YW_ipc_iap_t iap, YW_uint32_t mode, YW_ipc_id_t *id)
{
    YW_ret_t r = YW_FAIL;
    for (int i = 0; i < YW_EXAMPLE_SHM_OPEN_TRIES; i++) {
        r = YW_openIpc(iap, mode, id);
        if (r != YW_ERR_IPC_NULL && r != YW_ERR_IPC_NOT_READY)
            break;
        YW_P_sleepThread(nullptr, YW_EXAMPLE_SHM_RETRY);
    }
    return r;
}

// Takes the IPC events waiting (room events), waiting up to nsec for one.
void yw_example_shm_drainEvents(YW_task_id_t tid, YW_int64_t nsec)
{
    YW_event_flag_t flags = 0;
    YW_waitTaskEventTime(tid, &flags, nsec);
    YW_event_msg_t *m = nullptr;
    while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0)
        YW_event_releaseEvent(m);
}

} // namespace

extern "C" {

void *YW_example_shm_sender(void *arg)
{
    (void)arg;
    YW_task_id_t tid = YW_getTaskID();
    YW_registerTaskEventFlag(tid, YW_EVENT_FLAG_IPC);
    YW_ipc_id_t ch = YW_IPC_INVALID_ID;
    YW_ret_t r = yw_example_shm_open(YW_EXAMPLE_SHM_TX_IAP, YW_IPC_FLAGS_TX, &ch);
    if (r != YW_SUCCESS) {
        YW_printf("%s: can't open iap %u error=%d\n", __func__, (unsigned)YW_EXAMPLE_SHM_TX_IAP, (int)r);
        return nullptr;
    }
    const long long count = yw_example_env("TURV_SHM_COUNT", -1);
    const YW_int64_t period = count < 0 ? 1000000000LL : yw_example_env("TURV_SHM_PERIOD_US", 0) * 1000LL;
    YW_printf("%s: sending on ipc %u (iap %u)\n", __func__, (unsigned)ch, (unsigned)YW_EXAMPLE_SHM_TX_IAP);
    unsigned long long seq = 0;
    while (count <= 0 || (long long)seq < count) {
        char msg[64];
        int len = std::snprintf(msg, sizeof(msg), "n %llu", seq);
        YW_size_t s = YW_sendIpc(ch, msg, len + 1);
        if (s == len + 1) {
            seq++;
            if (period > 0)
                YW_P_sleepThread(nullptr, period);
        } else if (s == YW_ERR_IPC_NOT_READY) {
            YW_P_sleepThread(nullptr, YW_EXAMPLE_SHM_PEER_WAIT); // no handshake (yet)
        } else if (s == YW_ERR_IPC_NO_TX_BD || s == YW_ERR_FIFO_NULL || s == YW_ERR_IPC_KWT_SRIO_RX_BUSY ||
                   s == YW_ERR_IPC_BUSY) {
            yw_example_shm_drainEvents(tid, YW_EXAMPLE_SHM_ROOM_WAIT); // no room yet
        } else {
            YW_printf("%s: send error=%d\n", __func__, (int)s);
            YW_P_sleepThread(nullptr, YW_EXAMPLE_SHM_RETRY);
        }
    }
    YW_printf("%s: sent %llu\n", __func__, seq);
    return nullptr;
}

void *YW_example_shm_receiver(void *arg)
{
    (void)arg;
    YW_task_id_t tid = YW_getTaskID();
    YW_registerTaskEventFlag(tid, YW_EVENT_FLAG_IPC);
    YW_ipc_id_t ch = YW_IPC_INVALID_ID;
    YW_ret_t r = yw_example_shm_open(YW_EXAMPLE_SHM_RX_IAP, YW_IPC_FLAGS_RX, &ch);
    if (r != YW_SUCCESS) {
        YW_printf("%s: can't open iap %u error=%d\n", __func__, (unsigned)YW_EXAMPLE_SHM_RX_IAP, (int)r);
        return nullptr;
    }
    const long long count = yw_example_env("TURV_SHM_COUNT", -1);
    YW_printf("%s: receiving on ipc %u (iap %u)\n", __func__, (unsigned)ch, (unsigned)YW_EXAMPLE_SHM_RX_IAP);
    long long got = 0, last = -1;
    bool inOrder = true;
    char buf[256];
    for (;;) {
        // Each message is announced by an event; the queue is also looked
        // at after a quiet second.
        YW_event_flag_t flags = 0;
        YW_waitTaskEventTime(tid, &flags, 1000000000LL);
        YW_event_msg_t *m = nullptr;
        while (YW_recvTaskEvent(tid, YW_EVENT_FLAG_IPC, &m) == 0)
            YW_event_releaseEvent(m);
        YW_size_t n;
        while ((n = YW_recvIpc(ch, buf, sizeof(buf) - 1)) >= 0) {
            buf[n] = '\0';
            long long v = -1;
            if (count <= 0 && std::sscanf(buf, "n %lld", &v) == 1 && v == 0)
                last = -1; // the sender started again
            // With a count every message must come, each once, in order.
            bool bad = std::sscanf(buf, "n %lld", &v) != 1 || v <= last || (count > 0 && v != last + 1);
            if (bad) {
                if (inOrder)
                    YW_printf("%s: out of order \"%s\" after %lld\n", __func__, buf, last);
                inOrder = false;
            }
            last = v;
            got++;
            if (count <= 0)
                YW_printf("%s: got %lld\n", __func__, v);
            else if (got == count)
                YW_printf("%s: %lld %s\n", __func__, got, inOrder ? "in order" : "NOT in order");
        }
    }
    return nullptr;
}

} // extern "C"
