// IPC channel table and configuration: the "ipcConf" loader, the 128 channel
// records, creation and deletion dispatched to the transports, and the dumps.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frw/yw_frw_cfg.h"
#include "ipc/yw_ipc.h"
#include "ipc/yw_ipc_ism.h"
#include "ipc/yw_ipc_kwt_srio.h"
#include "ipc/yw_ipc_msgq.h"
#include "ipc/yw_ipc_tcp.h"
#include "ipc/yw_ipc_udp.h"
#include "log/yw_log.h"
#include "yw_mem.h"
#include "yw_num.h"

extern "C" {
YW_ipc_cfg_t YW_g_ipc_cfg[YW_IPC_MAX];
YW_ipc_t YW_g_ipc[YW_IPC_MAX];
}

namespace {

// Transports by interface and transport type. A kind whose transport is not
// built into this node has no create operation and is refused at creation.
struct yw_ipc_transport_desc {
    YW_uint16_t intf;
    YW_uint16_t transport; // YW_IPC_TRANSPORT_ANY: every transport type
    const char *name;
    YW_ret_t (*create)(YW_ipc_t *ipc);
    YW_ret_t (*destroy)(YW_ipc_t *ipc);
};

constexpr YW_uint16_t YW_IPC_TRANSPORT_ANY = 0xFFFF;

const yw_ipc_transport_desc yw_s_ipc_transports[] = {
    {YW_IPC_INTF_MSGQ, YW_IPC_TRANSPORT_ANY, "MSGQ", YW_ipc_msgq_create, YW_ipc_msgq_delete},
    {YW_IPC_INTF_INET, YW_IPC_TRANSPORT_TCP, "INET/TCP", YW_ipc_tcp_create, YW_ipc_tcp_delete},
    {YW_IPC_INTF_INET, YW_IPC_TRANSPORT_UDP, "INET/UDP", YW_ipc_udp_create, YW_ipc_udp_delete},
    {YW_IPC_INTF_KWT_SRIO, YW_IPC_TRANSPORT_SMB, "KWT_SRIO/SMB", YW_ipc_kwt_srio_create, YW_ipc_kwt_srio_delete},
};

const yw_ipc_transport_desc *yw_ipc_findTransport(const YW_ipc_cfg_t *cfg)
{
    for (const auto &d : yw_s_ipc_transports) {
        if (d.intf == cfg->interfaceType && (d.transport == YW_IPC_TRANSPORT_ANY || d.transport == cfg->transportType))
            return &d;
    }
    return nullptr;
}

// Deletion waits this long, in steps, for the calls in progress.
constexpr int YW_IPC_RETIRE_TRIES = 5000;
constexpr YW_int64_t YW_IPC_RETIRE_STEP = 1000000LL; // 1 ms

// Generation of each slot, raised when a channel is made in it (under the
// table lock): a hold taken with an older generation is refused.
YW_uint32_t yw_s_ipc_gen[YW_IPC_MAX];

std::atomic_ref<YW_uint32_t> yw_ipc_gen(const YW_ipc_t *ipc)
{
    return std::atomic_ref<YW_uint32_t>(yw_s_ipc_gen[ipc->ipc_id % YW_IPC_MAX]);
}

// Generation of the channel each id named when it was given to the calling
// thread (0: this thread was never given that id).
thread_local YW_uint32_t yw_t_ipc_given[YW_IPC_MAX];

// True when the calling thread was given this id for another channel that
// has held the slot before.
bool yw_ipc_givenStale(const YW_ipc_t *ipc)
{
    YW_uint32_t given = yw_t_ipc_given[ipc->ipc_id % YW_IPC_MAX];
    return given != 0 && given != yw_ipc_gen(ipc).load(std::memory_order_acquire);
}

// The configuration pointer changes under the table lock only; it is read
// without the lock by holders of the channel and by the dumps.
void yw_ipc_setCfg(YW_ipc_t *ipc, YW_ipc_cfg_t *cfg)
{
    std::atomic_ref<YW_ipc_cfg_t *>(ipc->cfg).store(cfg, std::memory_order_release);
}

// Decimal number of a configuration value; text that is not a number is 0.
long long yw_ipc_decimal(const char *value)
{
    if (!value)
        return 0;
    errno = 0;
    long long v = std::strtoll(value, nullptr, 10);
    return errno == ERANGE ? 0 : v;
}

// Copies a name into a fixed field; too long (no room for the terminator)
// is an error and leaves the field empty.
YW_ret_t yw_ipc_copyName(char *dst, const char *value, const char *what)
{
    size_t n = value ? std::strlen(value) : 0;
    if (n >= YW_IPC_NAME_LEN) {
        std::memset(dst, 0, YW_IPC_NAME_LEN);
        std::printf("%s:%d %s \"%s\" longer than %d characters\n", __func__, __LINE__, what, value,
                    YW_IPC_NAME_LEN - 1);
        return YW_ERR_INVD_ARGS;
    }
    std::memset(dst, 0, YW_IPC_NAME_LEN);
    if (n)
        std::memcpy(dst, value, n);
    return YW_SUCCESS;
}

void yw_ipc_setInet(YW_P_inet_address_t *a, const char *key, const char *value)
{
    if (std::strcmp(key, "ip") == 0) {
        a->addr_in.sin_family = AF_INET;
        struct in_addr in{};
        if (value && inet_pton(AF_INET, value, &in) == 1)
            a->addr_in.sin_addr = in;
        else
            a->addr_in.sin_addr.s_addr = 0;
    } else if (std::strcmp(key, "port") == 0) {
        a->addr_in.sin_port = htons((uint16_t)yw_ipc_decimal(value));
    }
}

// Clears the status words (read by YW_inqIpc on other threads).
void yw_ipc_statusClear(YW_ipc_t *ipc)
{
    YW_ipc_state_put(ipc, 0);
    YW_int64_t *w = &ipc->status.uptime;
    for (size_t i = 0; i < (sizeof(ipc->status) - offsetof(YW_ipc_status_t, uptime)) / sizeof(YW_int64_t); i++)
        std::atomic_ref<YW_int64_t>(w[i]).store(0, std::memory_order_relaxed);
}

// Clears a slot's channel fields; its id is its index and stays.
void yw_ipc_slotReset(YW_ipc_t *ipc)
{
    std::memset(&ipc->sap, 0, sizeof(ipc->sap));
    std::memset(&ipc->oprs, 0, sizeof(ipc->oprs));
    std::memset(&ipc->tx, 0, sizeof(ipc->tx));
    std::memset(&ipc->rx, 0, sizeof(ipc->rx));
    std::memset(&ipc->measure, 0, sizeof(ipc->measure));
    YW_ipc_setPriv(ipc, nullptr);
    YW_gate_close(ipc->refCount); // not usable until created
    ipc->kyrm_trc_on = 0;
}

// Frees a claimed slot again (its configuration copy included).
void yw_ipc_slotFree(YW_ipc_t *ipc)
{
    YW_ipc_cfg_t *cfg;
    {
        yw_ipc_table_guard g;
        cfg = ipc->cfg;
        yw_ipc_slotReset(ipc);
        yw_ipc_statusClear(ipc);
        yw_ipc_setCfg(ipc, nullptr);
    }
    // nobody reaches the copy any more: the slot shows no configuration and
    // no call or hold is in flight
    if (cfg && !YW_ipc_cfg_isStatic(cfg))
        YW_ipc_cfg_free(cfg);
}

// Settings every channel must have before a transport is asked to build it.
YW_ret_t yw_ipc_checkCfg(const YW_ipc_cfg_t *cfg)
{
    if (!(cfg->flags & (YW_IPC_FLAGS_TX | YW_IPC_FLAGS_RX))) {
        std::printf("%s:%d ipc %s refused: neither TX nor RX in its flags\n", __func__, __LINE__, cfg->name);
        return YW_ERR_IPC_FLAGS;
    }
    const YW_ipc_side_cfg_t &side = (cfg->flags & YW_IPC_FLAGS_TX) ? cfg->tx : cfg->rx;
    if (side.frame_size < 0 ||
        ((cfg->flags & YW_IPC_FLAGS_FRAMED) && side.frame_size < YW_IPC_FrameRoom((YW_size_t)0))) {
        std::printf("%s:%d ipc %s refused: frame size %" PRId64 " cannot hold a frame\n", __func__, __LINE__,
                    cfg->name, side.frame_size);
        return YW_ERR_INVD_ARGS;
    }
    return YW_SUCCESS;
}

// Deletion of a channel. Without closeOpen a channel that a task has open
// stays (-975). With closeOpen its open sides are closed first, while new
// calls are held back, so that no task can open it again in between.
// The configuration is read only once the channel is retired: from then on
// this caller alone may free it.
YW_ret_t yw_ipc_delete(YW_ipc_id_t ipc_id, bool closeOpen)
{
    constexpr int opened = YW_IPC_STATE_TX_OPENED | YW_IPC_STATE_RX_OPENED;
    YW_ipc_t *ipc = YW_ipc_get(ipc_id);
    if (!ipc)
        return YW_FAIL;
    // A channel a task still has open stays; transport-internal up bits do not
    // keep it alive.
    if (!closeOpen && (YW_ipc_state_get(ipc) & opened))
        return YW_ERR_STATE;
    // No new calls from here on (they wait for the outcome); those in
    // progress end before the transport object goes.
    switch (YW_gate_retire(ipc->refCount, YW_IPC_RETIRE_TRIES, YW_IPC_RETIRE_STEP)) {
    case YW_GATE_DRAINED:
        break;
    case YW_GATE_NOT_OPEN:
        return YW_FAIL; // no channel, one being made, or another deletion
    case YW_GATE_BUSY:
        return YW_ERR_STATE;
    }
    const YW_ipc_cfg_t *cfg = ipc->cfg;
    const yw_ipc_transport_desc *tp = yw_ipc_findTransport(cfg);
    if (!tp || !tp->destroy) {
        YW_gate_open(ipc->refCount);
        return cfg->interfaceType >= YW_IPC_INTF_MAX ? YW_ERR_IPC_INVD_TYPE : YW_FAIL;
    }
    // An open that got in first keeps the channel unless it is to be closed.
    int st = YW_ipc_state_get(ipc);
    if (st & opened) {
        if (!closeOpen || !ipc->oprs.close) {
            YW_gate_open(ipc->refCount);
            return YW_ERR_STATE;
        }
        YW_uint32_t mode = 0;
        if (st & YW_IPC_STATE_RX_OPENED)
            mode |= YW_IPC_FLAGS_RX;
        if (st & YW_IPC_STATE_TX_OPENED)
            mode |= YW_IPC_FLAGS_TX;
        ipc->oprs.close(ipc, mode);
        if (YW_ipc_state_get(ipc) & opened) {
            YW_gate_open(ipc->refCount);
            return YW_ERR_STATE;
        }
    }
    YW_gate_close(ipc->refCount);
    if (ipc->oprs.release)
        ipc->oprs.release(ipc);
    YW_ret_t r = tp->destroy(ipc);
    if (r != YW_SUCCESS) {
        YW_gate_open(ipc->refCount);
        return r;
    }
    yw_ipc_slotFree(ipc);
    YW_ipc_ism_countDelete();
    return YW_SUCCESS;
}

} // namespace

yw_ipc_table_guard::yw_ipc_table_guard()
{
    YW_ipc_lock();
}

yw_ipc_table_guard::~yw_ipc_table_guard() noexcept(false)
{
    YW_ipc_unlock();
}

extern "C" {

YW_ret_t YW_ipc_enter(YW_ipc_t *ipc)
{
    if (!ipc)
        return YW_ERR_IPC_NULL;
    // A deletion waiting for the calls in progress either deletes the channel
    // or gives it back: a call that comes meanwhile waits for which.
    if (!YW_gate_enter(ipc->refCount, true))
        return YW_ERR_IPC_NULL;
    int st = YW_ipc_state_get(ipc);
    if (!YW_ipc_cfgOf(ipc)) {
        YW_ipc_leave(ipc);
        return YW_ERR_IPC_NULL;
    }
    if (!(st & YW_IPC_STATE_ASSIGNED) || (st & YW_IPC_STATE_ASSIGN_FAILED)) {
        YW_ipc_leave(ipc);
        return YW_ERR_IPC_NOT_READY;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_enterGen(YW_ipc_t *ipc, YW_uint32_t gen)
{
    YW_ret_t r = YW_ipc_enter(ipc);
    if (r != YW_SUCCESS)
        return r;
    // Entered: the slot cannot change hands until we leave.
    if (yw_ipc_gen(ipc).load(std::memory_order_acquire) != gen) {
        YW_ipc_leave(ipc);
        return YW_ERR_IPC_NULL;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_enterCall(YW_ipc_t *ipc)
{
    // An id given to this thread names one channel: entered only while the
    // slot still holds that one.
    YW_uint32_t given = ipc ? yw_t_ipc_given[ipc->ipc_id % YW_IPC_MAX] : 0;
    return given ? YW_ipc_enterGen(ipc, given) : YW_ipc_enter(ipc);
}

void YW_ipc_noteGiven(const YW_ipc_t *ipc)
{
    if (ipc)
        yw_t_ipc_given[ipc->ipc_id % YW_IPC_MAX] = yw_ipc_gen(ipc).load(std::memory_order_acquire);
}

YW_uint32_t YW_ipc_generation(const YW_ipc_t *ipc)
{
    return ipc ? yw_ipc_gen(ipc).load(std::memory_order_acquire) : 0;
}

void YW_ipc_leave(YW_ipc_t *ipc)
{
    if (ipc)
        YW_gate_leave(ipc->refCount);
}

YW_ret_t YW_ipc_lock(void)
{
    if (!YW_g_ipc_ism_ctx.lock)
        return YW_FAIL;
    YW_ret_t r = (YW_ret_t)YW_P_lockMutex(YW_g_ipc_ism_ctx.lock);
    if (r == YW_SUCCESS)
        YW_shared_hold();
    return r;
}

YW_ret_t YW_ipc_unlock(void)
{
    if (!YW_g_ipc_ism_ctx.lock)
        return YW_FAIL;
    YW_ret_t r = (YW_ret_t)YW_P_unlockMutex(YW_g_ipc_ism_ctx.lock);
    if (r == YW_SUCCESS)
        YW_shared_release();
    return r;
}

void YW_ipc_tables_clear(void)
{
    for (int i = 0; i < YW_IPC_MAX; i++) {
        std::memset(&YW_g_ipc_cfg[i], 0, sizeof(YW_g_ipc_cfg[i]));
        YW_ipc_t *ipc = &YW_g_ipc[i];
        std::memset(ipc, 0, sizeof(*ipc));
        ipc->ipc_id = (YW_ipc_id_t)i;
        ipc->cfg = nullptr;
        ipc->kyrm_trc_on = 0;
        ipc->tx.seqno = 0;
        ipc->rx.seqno = 0;
        ipc->refCount = -1;
    }
}

/* ---- configuration ---- */

YW_uint32_t YW_ipc_cfg_parseFlags(const char *value)
{
    struct word {
        const char *w;
        YW_uint32_t flag;
    };
    static const word words[] = {
        {"RX_BUFFER", YW_IPC_FLAGS_RX_BUFFERED}, {"TX_BUFFER", YW_IPC_FLAGS_TX_BUFFERED},
        {"FRAMED", YW_IPC_FLAGS_FRAMED},         {"TX", YW_IPC_FLAGS_TX},
        {"RX", YW_IPC_FLAGS_RX},                 {"LOCAL", YW_IPC_FLAGS_LOCAL},
        {"FLOWCTRL", YW_IPC_FLAGS_FLOWCTRL},     {"DIRECT", YW_IPC_FLAGS_DIRECT},
        {"DLOG", YW_IPC_FLAGS_DATALOG},          {"MASTER", YW_IPC_FLAGS_MASTER},
    };
    YW_uint32_t flags = 0;
    if (!value)
        return 0;
    char neg[16];
    for (const auto &w : words) {
        std::snprintf(neg, sizeof(neg), "n%s", w.w);
        if (std::strstr(value, w.w) && !std::strstr(value, neg))
            flags |= w.flag;
    }
    if ((flags & YW_IPC_FLAGS_FRAMED) && std::strstr(value, "CRC") && !std::strstr(value, "nCRC"))
        flags |= YW_IPC_FLAGS_CRC;
    return flags;
}

YW_ret_t YW_ipc_cfg_setAttribute(YW_ipc_cfg_t *pCfg, const char *key, const char *value)
{
    if (!pCfg)
        return YW_FAIL;
    if (!key || !value)
        return YW_SUCCESS;
    if (std::strcmp(key, "name") == 0) {
        pCfg->name = const_cast<char *>(value);
    } else if (std::strcmp(key, "type") == 0) {
        if (std::strcmp(value, "INET") == 0)
            pCfg->interfaceType = YW_IPC_INTF_INET;
        else if (std::strcmp(value, "KWT_SRIO") == 0)
            pCfg->interfaceType = YW_IPC_INTF_KWT_SRIO;
        else if (std::strcmp(value, "MSGQ") == 0)
            pCfg->interfaceType = YW_IPC_INTF_MSGQ;
        else if (std::strcmp(value, "KWT_SFPDP") == 0)
            pCfg->interfaceType = YW_IPC_INTF_KWT_SFPDP;
        else
            pCfg->interfaceType = YW_IPC_INTF_MAX;
    } else if (std::strcmp(key, "transport") == 0) {
        if (std::strcmp(value, "TCP") == 0)
            pCfg->transportType = YW_IPC_TRANSPORT_TCP;
        else if (std::strcmp(value, "UDP") == 0)
            pCfg->transportType = YW_IPC_TRANSPORT_UDP;
        else if (std::strcmp(value, "SMB") == 0)
            pCfg->transportType = YW_IPC_TRANSPORT_SMB;
        else
            pCfg->transportType = YW_IPC_TRANSPORT_MAX;
    } else if (std::strcmp(key, "flags") == 0) {
        pCfg->flags = YW_ipc_cfg_parseFlags(value);
    } else if (std::strcmp(key, "iap") == 0) {
        pCfg->iap = (YW_uint32_t)yw_ipc_decimal(value);
    }
    return YW_SUCCESS;
}

YW_ret_t YW_ipc_cfg_child_setAttribute(YW_ipc_cfg_t *pCfg, const char *child_key, const char *key, const char *value)
{
    if (!pCfg)
        return YW_FAIL;
    if (!child_key || !key)
        return YW_SUCCESS;
    if (std::strcmp(child_key, "tx") == 0 || std::strcmp(child_key, "rx") == 0) {
        YW_ipc_side_cfg_t &s = child_key[0] == 't' ? pCfg->tx : pCfg->rx;
        long long v = 0;
        bool size = std::strcmp(key, "buffer_size") == 0 || std::strcmp(key, "max_descriptors") == 0 ||
                    std::strcmp(key, "frame_size") == 0;
        if (size && !YW_parseSize(__func__, key, value, 0, INT32_MAX, &v))
            return YW_FAIL;
        if (std::strcmp(key, "buffer_size") == 0)
            s.buffer_size = v;
        else if (std::strcmp(key, "max_descriptors") == 0)
            s.max_descriptors = (YW_uint64_t)v;
        else if (std::strcmp(key, "frame_size") == 0)
            s.frame_size = v;
        return YW_SUCCESS;
    }
    bool local = std::strcmp(child_key, "local") == 0;
    bool remote = std::strcmp(child_key, "remote") == 0;
    if (!local && !remote)
        return YW_SUCCESS;
    switch (pCfg->interfaceType) {
    case YW_IPC_INTF_INET:
        yw_ipc_setInet(local ? &pCfg->address.local.inet : &pCfg->address.remote.inet, key, value);
        break;
    case YW_IPC_INTF_MSGQ:
        if (std::strcmp(key, "msgq_name") == 0)
            return yw_ipc_copyName(local ? pCfg->address.local.msgq_name : pCfg->address.remote.msgq_name, value,
                                   "msgq_name");
        break;
    case YW_IPC_INTF_KWT_SRIO: {
        YW_ipc_srio_address_t &a = local ? pCfg->address.local.srio : pCfg->address.remote.srio;
        if (std::strcmp(key, "ceid") == 0)
            a.ceid = (int)yw_ipc_decimal(value);
        else if (std::strcmp(key, "port") == 0)
            a.port = (int)yw_ipc_decimal(value);
        break;
    }
    case YW_IPC_INTF_KWT_SFPDP:
        if (local && std::strcmp(key, "ceid") == 0)
            pCfg->address.local.sfpdp.ceid = (int)yw_ipc_decimal(value);
        else if (remote && std::strcmp(key, "dev_name") == 0)
            return yw_ipc_copyName(pCfg->address.remote.dev_name, value, "dev_name");
        break;
    default:
        break;
    }
    return YW_SUCCESS;
}

YW_ret_t YW_loadIpcConfig(YW_frw_cfg_element_t *in, YW_ipc_cfg_t *pCfg, YW_frw_cfg_element_t **pNext)
{
    if (!in || !pCfg)
        return YW_ERR_NO_CFG;
    YW_frw_cfg_element_t *from = pNext ? *pNext : nullptr;
    YW_frw_cfg_element_t *e = YW_frw_searchCfgElement(in, YW_IPC_DEF_TAG, from);
    if (pNext)
        *pNext = e;
    if (!e)
        return YW_SUCCESS;

    std::memset(pCfg, 0, sizeof(*pCfg));
    YW_ret_t r = YW_SUCCESS;
    for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(e, nullptr); a; a = YW_frw_nextCfgAttr(e, a)) {
        r = YW_ipc_cfg_setAttribute(pCfg, a->kv.key, a->kv.value);
        if (r != YW_SUCCESS)
            return r;
    }
    for (YW_frw_cfg_element_t *c = YW_frw_nextCfgElement(e, nullptr); c; c = YW_frw_nextCfgElement(e, c)) {
        for (YW_frw_cfg_element_t *a = YW_frw_nextCfgAttr(c, nullptr); a; a = YW_frw_nextCfgAttr(c, a)) {
            r = YW_ipc_cfg_child_setAttribute(pCfg, c->kv.key, a->kv.key, a->kv.value);
            if (r != YW_SUCCESS)
                break;
        }
        if (r != YW_SUCCESS)
            break;
    }
    return r;
}

YW_ret_t YW_loadIpcServiceManageConfig(YW_frw_cfg_element_t *in, YW_ipc_ism_cfg_t *pCfg)
{
    if (!pCfg)
        return YW_ERR_ARG_NULL;
    if (!in) {
        // A node without an "ipcConf" section simply has no channels.
        std::printf("%s:%d no %s section: no channels\n", __func__, __LINE__, YW_IPC_CFG_TAG);
        return YW_SUCCESS;
    }
    YW_frw_cfg_element_t *next = nullptr;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        YW_ret_t r = YW_loadIpcConfig(in, &YW_g_ipc_cfg[i], &next);
        if (r != YW_SUCCESS) {
            std::printf("%s:%d ipc cfg %s loading fail %d\n", __func__, __LINE__,
                        YW_g_ipc_cfg[i].name ? YW_g_ipc_cfg[i].name : "NULL", (int)r);
            return r;
        }
        if (!next)
            return YW_SUCCESS;
    }
    if (next && YW_frw_searchCfgElement(in, YW_IPC_DEF_TAG, next))
        std::printf("%s:%d more than %d %s entries: the rest is ignored\n", __func__, __LINE__, YW_IPC_MAX,
                    YW_IPC_DEF_TAG);
    return YW_SUCCESS;
}

int YW_ipc_cfg_equal(const YW_ipc_cfg_t *a, const YW_ipc_cfg_t *b)
{
    if (!a || !b)
        return 0;
    if (a == b)
        return 1;
    return a->name && b->name && std::strcmp(a->name, b->name) == 0;
}

int YW_ipc_cfg_isStatic(const YW_ipc_cfg_t *pCfg)
{
    return pCfg >= &YW_g_ipc_cfg[0] && pCfg < &YW_g_ipc_cfg[YW_IPC_MAX];
}

YW_ipc_cfg_t *YW_ipc_cfg_duplicate(const YW_ipc_cfg_t *pCfg)
{
    if (!pCfg)
        return nullptr;
    auto *c = static_cast<YW_ipc_cfg_t *>(YW_malloc(sizeof(YW_ipc_cfg_t)));
    if (!c)
        return nullptr;
    *c = *pCfg;
    if (pCfg->name) {
        size_t n = std::strlen(pCfg->name);
        c->name = static_cast<char *>(YW_malloc(n + 1));
        if (!c->name) {
            YW_free(c);
            return nullptr;
        }
        std::memcpy(c->name, pCfg->name, n + 1);
    }
    return c;
}

void YW_ipc_cfg_free(YW_ipc_cfg_t *pCfg)
{
    if (!pCfg || YW_ipc_cfg_isStatic(pCfg))
        return;
    if (pCfg->name)
        YW_free(pCfg->name);
    YW_free(pCfg);
}

/* ---- table ---- */

YW_ipc_t *YW_ipc_get(YW_ipc_id_t ipc_id)
{
    return ipc_id < YW_IPC_MAX ? &YW_g_ipc[ipc_id] : nullptr;
}

YW_ipc_t *YW_ipc_getFreeEntity(void)
{
    yw_ipc_table_guard g;
    for (int i = 0; i < YW_IPC_MAX; i++) {
        if (!YW_g_ipc[i].cfg)
            return &YW_g_ipc[i];
    }
    return nullptr;
}

YW_ipc_t *YW_ipc_searchByCfg(const YW_ipc_cfg_t *pCfg)
{
    for (int i = 0; i < YW_IPC_MAX; i++) {
        yw_ipc_table_guard g;
        if (YW_g_ipc[i].cfg && YW_ipc_cfg_equal(YW_g_ipc[i].cfg, pCfg))
            return &YW_g_ipc[i];
    }
    return nullptr;
}

YW_ipc_t *YW_ipc_searchByIap(YW_ipc_iap_t iap)
{
    for (int i = 0; i < YW_IPC_MAX; i++) {
        yw_ipc_table_guard g;
        if (YW_g_ipc[i].cfg && YW_g_ipc[i].cfg->iap == iap)
            return &YW_g_ipc[i];
    }
    return nullptr;
}

YW_ret_t YW_createIpc(YW_ipc_cfg_t *pCfg, YW_ipc_id_t *pIpcId)
{
    if (pIpcId)
        *pIpcId = YW_IPC_INVALID_ID;
    if (!pCfg || !pCfg->name)
        return YW_ERR_NO_CFG;
    if (YW_ipc_searchByCfg(pCfg))
        return YW_ERR_CFG_AGAIN; // early answer; the claim below decides

    YW_ret_t r = YW_SUCCESS;
    const yw_ipc_transport_desc *tp = nullptr;
    if (pCfg->interfaceType >= YW_IPC_INTF_MAX) {
        std::printf("%s:%d ipc %s refused: unknown interface type %d\n", __func__, __LINE__, pCfg->name,
                    pCfg->interfaceType);
        r = YW_ERR_IPC_INVD_TYPE;
    } else if (!(tp = yw_ipc_findTransport(pCfg))) {
        std::printf("%s:%d ipc %s refused: interface %d does not go with transport %d\n", __func__, __LINE__,
                    pCfg->name, pCfg->interfaceType, pCfg->transportType);
        r = YW_ERR_IPC_INVD_TYPE;
    } else if (!tp->create) {
        std::printf("%s:%d ipc %s refused: transport %s is not built into this node\n", __func__, __LINE__,
                    pCfg->name, tp->name);
        r = YW_ERR_NOT_SUPPORT;
    } else {
        r = yw_ipc_checkCfg(pCfg);
    }
    if (r != YW_SUCCESS) {
        YW_ipc_ism_countCreate(r);
        return r;
    }

    // A table entry is referred to; any other record is copied, so that the
    // slot is claimed with the configuration it keeps.
    YW_ipc_cfg_t *use = pCfg;
    if (!YW_ipc_cfg_isStatic(pCfg)) {
        use = YW_ipc_cfg_duplicate(pCfg);
        if (!use) {
            YW_ipc_ism_countCreate(YW_ERR_NO_MEM);
            return YW_ERR_NO_MEM;
        }
    }
    // The name test and the claim form one step under the table lock, so
    // that two creators of one name cannot both succeed.
    YW_ipc_t *ipc = nullptr;
    bool again = false;
    {
        yw_ipc_table_guard g;
        for (int i = 0; i < YW_IPC_MAX && !again; i++) {
            YW_ipc_t *o = &YW_g_ipc[i];
            if (o->cfg)
                again = YW_ipc_cfg_equal(o->cfg, pCfg);
            else if (!ipc)
                ipc = o;
        }
        if (ipc && !again) {
            yw_ipc_slotReset(ipc);
            yw_ipc_statusClear(ipc);
            yw_ipc_gen(ipc).fetch_add(1, std::memory_order_acq_rel);
            yw_ipc_setCfg(ipc, use);
        }
    }
    if (again) {
        YW_ipc_cfg_free(use);
        return YW_ERR_CFG_AGAIN;
    }
    if (!ipc) {
        YW_ipc_cfg_free(use);
        YW_ipc_ism_countCreate(YW_ERR_NO_FREE_TSE);
        return YW_ERR_NO_FREE_TSE;
    }
    YW_ipc_state_put(ipc, YW_IPC_STATE_ASSIGNED);

    r = tp->create(ipc);
    if (r == YW_SUCCESS && !ipc->oprs.open) {
        std::printf("%s:%d ipc %s refused: transport %s gave no operations\n", __func__, __LINE__, pCfg->name,
                    tp->name);
        if (tp->destroy)
            tp->destroy(ipc);
        r = YW_ERR_NULL_FUNC;
    }
    if (r != YW_SUCCESS) {
        std::printf("%s:%d ipc %s create fail %d\n", __func__, __LINE__, pCfg->name, (int)r);
        yw_ipc_slotFree(ipc);
        YW_ipc_ism_countCreate(r);
        return r;
    }
    if (pIpcId) {
        *pIpcId = ipc->ipc_id;
        YW_ipc_noteGiven(ipc);
    }
    YW_ipc_ism_countCreate(r);
    if (ipc->oprs.onStatusChange) {
        YW_ret_t s = ipc->oprs.onStatusChange(ipc);
        if (s != YW_SUCCESS)
            std::printf("%s:%d ipc %s status change %d\n", __func__, __LINE__, ipc->cfg->name, (int)s);
    }
    // Only now may tasks open and use it.
    YW_gate_open(ipc->refCount);
    return YW_SUCCESS;
}

YW_ret_t YW_deleteIpc(YW_ipc_id_t ipc_id)
{
    return yw_ipc_delete(ipc_id, false);
}

YW_ret_t YW_ipc_closeAndDelete(YW_ipc_id_t ipc_id)
{
    return yw_ipc_delete(ipc_id, true);
}

YW_ret_t YW_inqIpc(YW_ipc_id_t ipc_id, YW_ipc_status_t *pStatus)
{
    YW_ipc_t *ipc = YW_ipc_get(ipc_id);
    if (!ipc || !pStatus || yw_ipc_givenStale(ipc))
        return YW_FAIL;
    // each word read atomically: the transports count on their own threads
    YW_ipc_status_t &s = ipc->status;
    pStatus->state = YW_ipc_state_get(ipc);
    YW_int64_t YW_ipc_status_t::*const words[] = {
        &YW_ipc_status_t::uptime,     &YW_ipc_status_t::downtime,    &YW_ipc_status_t::elapsedtime,
        &YW_ipc_status_t::txBytes,    &YW_ipc_status_t::rxBytes,     &YW_ipc_status_t::sendBytes,
        &YW_ipc_status_t::recvBytes,  &YW_ipc_status_t::txRate,      &YW_ipc_status_t::rxRate,
        &YW_ipc_status_t::txPackets,  &YW_ipc_status_t::rxPackets,   &YW_ipc_status_t::sendPackets,
        &YW_ipc_status_t::recvPackets, &YW_ipc_status_t::linkFaults,  &YW_ipc_status_t::resyncs,
        &YW_ipc_status_t::resends,     &YW_ipc_status_t::duplicates,  &YW_ipc_status_t::lost};
    for (auto w : words)
        pStatus->*w = YW_stat_get(s.*w);
    // Generations only grow: unchanged now, the copy is of the channel the
    // id was given for (or of an id never given to this thread).
    if (yw_ipc_givenStale(ipc)) {
        std::memset(pStatus, 0, sizeof(*pStatus));
        return YW_FAIL;
    }
    return YW_SUCCESS;
}

YW_size_t YW_ipc_toString(YW_ipc_t *ipc, char *bp, YW_size_t blen)
{
    if (!ipc || !bp || blen < 1)
        return 0;
    YW_size_t n = 0;
    auto put = [&](int w) {
        if (w > 0)
            n += (w < blen - n) ? w : blen - n - 1;
    };
    bp[0] = '\0';
    put(std::snprintf(bp + n, (size_t)(blen - n), "ipc_id=%d ", (int)ipc->ipc_id));
    if (blen - n > 1) {
        if (ipc->cfg) {
            put(std::snprintf(bp + n, (size_t)(blen - n), "\ncfg: "));
            if (blen - n > 1)
                put(std::snprintf(bp + n, (size_t)(blen - n), "name=%s type=%d ",
                                  ipc->cfg->name ? ipc->cfg->name : "NULL", ipc->cfg->interfaceType));
        } else {
            put(std::snprintf(bp + n, (size_t)(blen - n), "\ncfg: null"));
        }
    }
    if (blen - n > 1)
        put(std::snprintf(bp + n, (size_t)(blen - n), "\nstatus: "));
    if (blen - n > 1)
        put(std::snprintf(bp + n, (size_t)(blen - n), "state=0x%x ", (unsigned)YW_ipc_state_get(ipc)));
    return n;
}

int YW_ipc_showIpcs(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    char line[128];
    YW_printf("\t*** ipc object list ***\n");
    for (int i = 0; i < YW_IPC_MAX; i++) {
        {
            // a slot is freed (its configuration copy with it) under the lock
            yw_ipc_table_guard g;
            YW_ipc_toString(&YW_g_ipc[i], line, sizeof(line));
        }
        YW_printf("  %s\n", line);
    }
    return 0;
}

} // extern "C"
