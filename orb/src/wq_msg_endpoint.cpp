// Message endpoints (the circuits of one remote endpoint string), their
// registry, band tables and the collector factory of accepted connections.
#include "wq_circuit.h"

#include "corba_object.h"
#include "corba_orb.h"
#include "rtcorba.h"
#include "tkq_support.h"
#include "wq_key.h"

#include <cstdio>
#include <cstring>

using CORBA::COMPLETED_NO;

// ---- band tables --------------------------------------------------------------

wq_BandManager wq_band_manager(256);

wq_BandManager::wq_BandManager(uint32_t capacity)
    : capacity_(capacity), low_(new int16_t[capacity]()), high_(new int16_t[capacity]())
{
}

wq_BandManager::~wq_BandManager()
{
    delete[] low_;
    delete[] high_;
}

int32_t wq_BandManager::find_or_create(int16_t low, int16_t high)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock l(lock_, tenv);
    for (uint32_t i = 0; i < count_; ++i)
        if (low_[i] == low && high_[i] == high)
            return static_cast<int32_t>(i);
    if (count_ >= capacity_)
        return -1;
    low_[count_] = low;
    high_[count_] = high;
    return static_cast<int32_t>(count_++);
}

uint32_t wq_BandManager::count()
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock l(lock_, tenv);
    return count_;
}

bool wq_BandManager::band(uint32_t index, int16_t &low, int16_t &high)
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock l(lock_, tenv);
    if (index >= count_)
        return false;
    low = low_[index];
    high = high_[index];
    return true;
}

// ---- endpoints ------------------------------------------------------------------

wq_RWMutex wq_MsgEndpoint::mc_lists_lock;

wq_MsgEndpoint::wq_MsgEndpoint(char const *endpoint) : endpoint_(CORBA::string_dup(endpoint ? endpoint : ""))
{
    for (auto &r : reliable_)
        r = 1;
}

wq_MsgEndpoint::~wq_MsgEndpoint()
{
    for (auto *&c : circuits_) {
        if (!c)
            continue;
        c->owner_ = nullptr;
        c->_remove_ref();
        c = nullptr;
    }
    for (auto *&q : qos_)
        CORBA::string_free(q);
    CORBA::string_free(endpoint_);
}

void wq_MsgEndpoint::fail() { wq_Atomic::compare_exchange(state_, uint32_t(Failed), uint32_t(Active)); }

void wq_MsgEndpoint::set_unconnected()
{
    wq_Atomic::compare_exchange(state_, uint32_t(Unconnected), uint32_t(Active));
}

void wq_MsgEndpoint::unfail() { wq_Atomic::compare_exchange(state_, uint32_t(Unconnected), uint32_t(Failed)); }

void wq_MsgEndpoint::_add_ref(bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        mc_lists_lock.lock_write(tenv);
    if (refs_ < 1)
        std::fprintf(stderr, "Ulvenor ERROR(wq_MsgEndpoint::add_ref): attempt to add a reference on a "
                             "previously deleted object\n");
    else
        ++refs_;
    if (lock)
        mc_lists_lock.unlock(tenv);
}

void wq_MsgEndpoint::_remove_ref(bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        mc_lists_lock.lock_write(tenv);
    bool del = false;
    if (refs_ < 1) {
        YW_P_noCancel hold; // reached from release paths and destructors
        std::fprintf(stderr, "Ulvenor ERROR(wq_MsgEndpoint::remove_ref): attempt to remove a previously "
                             "deleted object\n");
    } else if (--refs_ == 0) {
        refs_ = -100000;
        if (wq_msg_endpoint_registry)
            wq_msg_endpoint_registry->unlink(this);
        del = true;
    }
    if (lock)
        mc_lists_lock.unlock(tenv);
    if (del)
        delete this;
}

void wq_MsgEndpoint::apply_priority_bands(const wq_PriorityBand *bands, uint32_t count,
                                          const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    wq_ThreadEnvironment tenv;
    wq_WriteLock l(lock_, tenv);
    for (uint32_t i = 0; i < count; ++i) {
        int32_t b = bands_.find_or_create(bands[i].low, bands[i].high);
        if (b < 0) {
            if (state() == Unconnected)
                break;
            continue;
        }
        wq_MsgCircuit *c = circuits_[b + 1];
        if (c && c->state() != wq_MsgCircuit::Unconnected)
            continue;
        char *q = CORBA::string_dup(bands[i].qos);
        CORBA::string_free(qos_[b + 1]);
        qos_[b + 1] = q;
    }
}

bool wq_MsgEndpoint::bind_band(uint32_t band, const CORBA::EnvironmentWrapper &env)
{
    int16_t low = 0, high = 0;
    bands_.band(band, low, high);
    wq_MsgCircuit *c = circuits_[band + 1];
    if (!reliable_[band + 1]) {
        char t[512];
        std::snprintf(t, sizeof t, "attempted twoway invocation over unreliable connection to endpoint %s",
                      endpoint_);
        env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_NO, t));
        return false;
    }
    alignas(8) unsigned char buf[128];
    CORBA::EnvironmentInfo *pe = new CORBA::EnvironmentInfo(0);
    CORBA::EnvironmentWrapper pw(pe);
    CORBA::Stream req(buf, sizeof buf, 0, pw);
    wq_RequestContexts ctx;
    ctx.has_range = true;
    ctx.low = low;
    ctx.high = high;
    const unsigned char key = 0;
    unsigned char *id_at = wq_write_request_header(req, ctx, 1, &key, 1, "_bind_priority_band");
    if (!id_at) {
        env.exception(new CORBA::INTERNAL(4, CORBA::COMPLETED_NO, "band binding request"));
        return false;
    }
    uint64_t id = 0;
    c->send(req, id, id_at, true, env);
    if (env.pending())
        return false;
    CORBA::Stream rep(pw);
    wq_GIOP::MessageHeader h{};
    wq_GIOP::ReplyHeader rh{};
    rh.priority = 0xFFFF;
    c->receive_reply(rep, id, h, rh, env);
    if (env.pending())
        return false;
    if (h.type != wq_GIOP::Reply) {
        env.exception(new CORBA::COMM_FAILURE(5, COMPLETED_NO, "#59439"));
        return false;
    }
    if (rh.reply_status == wq_GIOP::SYSTEM_EXCEPTION) {
        CORBA::Exception *e = nullptr;
        rep >> e;
        if (e)
            env.exception(e);
        else
            env.exception(new CORBA::COMM_FAILURE(5, COMPLETED_NO, "#59438"));
        return false;
    }
    if (rh.reply_status != wq_GIOP::NO_EXCEPTION) {
        env.exception(new CORBA::COMM_FAILURE(5, COMPLETED_NO, "#59438"));
        return false;
    }
    return true;
}

void wq_MsgEndpoint::ensure_connections(int32_t retries, uint64_t delay, const CORBA::EnvironmentWrapper &env)
{
    if (state() == Active || env.pending())
        return;
    wq_ThreadEnvironment tenv;
    wq_WriteLock l(lock_, tenv);
    uint32_t st = state();
    if (st == Failed) {
        env.exception(new CORBA::COMM_FAILURE(
            3, COMPLETED_NO,
            "circuit previously failed - to reconnect call _unfail() on obj ref to or demarshal an IOR with "
            "endpoint"));
        return;
    }
    if (st != Unconnected)
        return;
    for (wq_MsgCircuit *c : circuits_)
        if (c)
            c->shutdown_net();
    uint32_t nb = bands_.count();
    for (uint32_t slot = 0; slot <= nb; ++slot) {
        if (slot == 0 && nb > 0 && !CORBA::ORB::_create_nonband_circuit)
            continue;
        wq_MsgCircuit *c = circuits_[slot];
        if (c) {
            c->flush_replies(env);
            c->state(wq_MsgCircuit::Unconnected);
        } else {
            circuits_[slot] = c = new wq_MsgCircuit(endpoint_, this);
            if (slot == 0)
                plain_circuit_.store(c, std::memory_order_release);
        }
        c->connect(qos_[slot] ? qos_[slot] : CORBA::ORB::default_qos_list(endpoint_), retries, delay, env);
        if (env.pending()) {
            state_.store(Failed);
            return;
        }
        reliable_[slot] = c->reliable();
        max_size_[slot] = c->max_size();
    }
    for (uint32_t b = 0; b < nb; ++b)
        if (!bind_band(b, env))
            break;
    state_.store(env.pending() ? Failed : Active);
}

void wq_MsgEndpoint::reconnect_dropped(uint32_t slot, const CORBA::EnvironmentWrapper &env)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock l(lock_, tenv);
    wq_MsgCircuit *c = slot <= MAX_BANDS ? circuits_[slot] : nullptr;
    if (env.pending() || state() != Active || !c || c->state() != wq_MsgCircuit::Unconnected)
        return; // reconnected meanwhile, or the endpoint's own turn
    c->flush_dropped();
    c->connect(qos_[slot] ? qos_[slot] : CORBA::ORB::default_qos_list(endpoint_), CORBA::ORB::_conn_retries,
               CORBA::ORB::_retry_delay, env);
    if (!env.pending()) {
        reliable_[slot] = c->reliable();
        max_size_[slot] = c->max_size();
        if (slot > 0)
            bind_band(slot - 1, env);
    }
    if (env.pending())
        state_.store(Failed);
}

wq_MsgCircuit *wq_MsgEndpoint::select_msg_circuit(CORBA::Object *obj, int32_t &priority,
                                                  const CORBA::EnvironmentWrapper &env, bool add_ref)
{
    uint32_t slot = 0;
    wq_MsgCircuit *c = pick_circuit(obj, priority, slot, env);
    // A circuit whose connection a stop dropped connects again, alone.
    if (c && c->state() == wq_MsgCircuit::Unconnected) {
        reconnect_dropped(slot, env);
        if (env.pending())
            return nullptr;
    }
    if (c && add_ref)
        c->_add_ref();
    return c;
}

wq_MsgCircuit *wq_MsgEndpoint::pick_circuit(CORBA::Object *obj, int32_t &priority, uint32_t &slot,
                                            const CORBA::EnvironmentWrapper &env)
{
    if (state() != Active) {
        env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_NO, endpoint_));
        return nullptr;
    }
    priority = -1;
    RTCORBA::QosInterceptor *qi = RTCORBA::the_QosInterceptor;
    if (!qi) {
        // Without an interceptor only the non-banded circuit is used, and
        // that slot never changes once set: no lock needed.
        wq_MsgCircuit *c = plain_circuit_.load(std::memory_order_acquire);
        if (!c) {
            env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_NO, endpoint_));
            return nullptr;
        }
        if (CORBA::ORB::_always_propagate_priority)
            priority = wq_active_priority();
        return c;
    }
    wq_ThreadEnvironment tenv;
    wq_ReadLock l(lock_, tenv);
    wq_MsgCircuit *c = circuits_[0];
    uint32_t nb = bands_.count();
    if (nb > 0) {
        uint32_t band = nb;
        qi->choose_band(priority, band, obj, endpoint_, nb, bands_.low(), bands_.high(), circuits_, env);
        if (env.pending())
            return nullptr;
        if (band >= nb) {
            char t[512];
            std::snprintf(t, sizeof t,
                          "Installed RTQoSInterceptor returned band of %u, but only %u bands are available on "
                          "endpoint %s",
                          band, nb, endpoint_);
            env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_NO, t));
            return nullptr;
        }
        slot = band + 1;
        c = circuits_[slot];
        if (priority < 0)
            priority = wq_active_priority();
    } else if (CORBA::ORB::_always_propagate_priority && c && priority < 0) {
        priority = wq_active_priority();
    }
    if (!c) {
        env.exception(new CORBA::COMM_FAILURE(3, COMPLETED_NO, endpoint_));
        return nullptr;
    }
    return c;
}

// ---- registry ------------------------------------------------------------------

wq_MsgEndpointRegistry *wq_msg_endpoint_registry = nullptr;

wq_MsgEndpointRegistry *wq_msg_endpoint_registry_get()
{
    static wq_MsgEndpointRegistry *made = [] {
        if (!wq_msg_endpoint_registry)
            wq_msg_endpoint_registry = new wq_MsgEndpointRegistry(401);
        return wq_msg_endpoint_registry;
    }();
    (void)made;
    return wq_msg_endpoint_registry;
}

wq_MsgEndpointRegistry::wq_MsgEndpointRegistry(uint32_t buckets)
    : buckets_(buckets ? buckets : 1), table_(new wq_MsgEndpoint *[buckets_]())
{
}

wq_MsgEndpointRegistry::~wq_MsgEndpointRegistry() { delete[] table_; }

uint32_t wq_MsgEndpointRegistry::hash(char const *s) { return wq_key_hash(s); }

wq_MsgEndpoint *wq_MsgEndpointRegistry::find_or_create(char const *endpoint, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (!endpoint || !*endpoint) {
        env.exception(new CORBA::BAD_PARAM(12, COMPLETED_NO, "null endpoint"));
        return nullptr;
    }
    wq_ThreadEnvironment tenv;
    wq_WriteLock l(wq_MsgEndpoint::mc_lists_lock, tenv);
    wq_MsgEndpoint *c = cache_.load(std::memory_order_acquire);
    if (c && std::strcmp(c->endpoint_, endpoint) == 0) {
        ++c->refs_;
        return c;
    }
    uint32_t b = hash(endpoint) % buckets_;
    for (wq_MsgEndpoint *e = table_[b]; e; e = e->next)
        if (std::strcmp(e->endpoint_, endpoint) == 0) {
            ++e->refs_;
            cache_.store(e, std::memory_order_release);
            return e;
        }
    auto *e = new wq_MsgEndpoint(endpoint);
    e->next = table_[b];
    if (table_[b])
        table_[b]->prev = e;
    table_[b] = e;
    // The creation reference is the caller's; the registry holds none.
    cache_.store(e, std::memory_order_release);
    return e;
}

void wq_MsgEndpointRegistry::unlink(wq_MsgEndpoint *e)
{
    wq_MsgEndpoint *expected = e;
    cache_.compare_exchange_strong(expected, nullptr);
    uint32_t b = hash(e->endpoint_) % buckets_;
    if (e->prev)
        e->prev->next = e->next;
    else if (table_[b] == e)
        table_[b] = e->next;
    if (e->next)
        e->next->prev = e->prev;
    e->next = e->prev = nullptr;
}

// ---- accepted connections ---------------------------------------------------------

void (*wq_msg_circuit_handoff)(wq_MsgCircuit *circuit) = nullptr;

wq_MsgCircuitFactory::wq_MsgCircuitFactory() : wq_NetCollectorFactory("messaging-poa") { tkq_support_initialize(); }

wq_MsgCircuitFactory::~wq_MsgCircuitFactory() { tkq_support_finalize(); }

wq_NetCollector *wq_MsgCircuitFactory::create(wq_NetCircuit *circuit, void *, bool)
{
    auto *c = new wq_MsgCircuit(circuit);
    wq_MsgCircuit::list_server(c);
    if (CORBA::ORB::diagnostics() > 0)
        wq_CircuitLog::log_accept();
    if (wq_msg_circuit_handoff)
        wq_msg_circuit_handoff(c);
    return c;
}

void wq_MsgCircuitFactory::release(wq_NetCollector *collector)
{
    if (auto *c = dynamic_cast<wq_MsgCircuit *>(collector))
        c->_remove_ref();
    else
        delete collector;
}

namespace {
wq_MsgCircuitFactory msg_circuit_factory;
} // namespace
