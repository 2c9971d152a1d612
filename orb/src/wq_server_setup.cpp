// The server side of ORB initialisation and teardown: the servant
// registries, the root POA and POA current, and the circuit pools' restart,
// shutdown and drain.
#include "corba_orb.h"
#include "corba_orb_internal.h"
#include "wq_dispatch.h"
#include "wq_pending.h"

#include <vector>

void wq_orb_create_registries() { wq_ServantRegistry::instance(); }

void wq_orb_destroy_root_poa()
{
    wq_PrivateEnv pe;
    const CORBA::EnvironmentWrapper &penv = pe.env;
    if (wq_root_poa)
        wq_root_poa->destroy(true, false, penv);
    if (wq_global_poa_manager) {
        wq_global_poa_manager->wq_deactivate();
        CORBA::release(wq_global_poa_manager);
        wq_global_poa_manager = nullptr;
    }
    // The root POA stays in the registry (a later ORB_init makes no new one
    // of that name); its destroyed marker refuses requests.
    wq_root_poa = nullptr;
    wq_POARegistry::clear();
}

namespace {
PortableServer::Current *g_poa_current = nullptr;
wq_Mutex g_poa_current_lock;
} // namespace

CORBA::Object *wq_orb_poa_current(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    wq_MutexLock g(g_poa_current_lock);
    if (!g_poa_current)
        g_poa_current = new PortableServer::Current;
    g_poa_current->_add_ref();
    return g_poa_current;
}

void wq_orb_release_poa_current()
{
    PortableServer::Current *c;
    {
        wq_MutexLock g(g_poa_current_lock);
        c = g_poa_current;
        g_poa_current = nullptr;
    }
    CORBA::release(c);
}

void wq_orb_pools_restart()
{
    // Keeps the acceptor (and its registration) in every program that
    // initialises the broker.
    (void)wq_tcp_acceptor_factory();
    // A start that failed after its pools were shut has left the root POA's
    // manager inactive for good: the next start makes them afresh.
    if (wq_global_poa_manager && wq_global_poa_manager->get_state() == PortableServer::POAManager::INACTIVE)
        wq_orb_destroy_root_poa();
    wq_msg_circuit_pool.restart();
    wq_msg_circuit_band_pool.restart();
}

void wq_orb_pools_band_minimum(uint32_t) {}

uint32_t wq_orb_pools_reader_count()
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(wq_msg_circuit_pool.lock, tenv);
    return wq_msg_circuit_pool.readers(0);
}

void wq_orb_pools_shutdown()
{
    // Readers waiting for a HOLDING manager are released as well.
    if (wq_global_poa_manager)
        wq_global_poa_manager->wq_deactivate();
    wq_msg_circuit_pool.shutdown();
    wq_msg_circuit_band_pool.shutdown();
}

std::vector<wq_MsgCircuit *> wq_pools_take_polled()
{
    std::vector<wq_MsgCircuit *> taken;
    wq_ThreadEnvironment tenv;
    wq_WriteLock gate(wq_MsgCircuit::_wq_gate, tenv);
    for (wq_MsgCircuit *c = wq_MsgCircuit::_svr_first; c; c = c->svr_next)
        if (wq_poll::take_if_waiting(c->poll_entry))
            taken.push_back(c);
    return taken;
}

void wq_orb_pools_drain()
{
    for (wq_MsgCircuit *c : wq_pools_take_polled())
        c->_remove_ref();
    for (wq_MsgCircuit *c : wq_pending_take_parked())
        c->_remove_ref();
    for (auto *pool : {&wq_msg_circuit_pool, &wq_msg_circuit_band_pool})
        while (wq_MsgCircuit *c = pool->get_after_shutdown())
            c->_remove_ref();
}
