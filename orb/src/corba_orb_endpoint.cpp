// The ORB's listening endpoints and the transport-side objects that
// initialisation creates and destroy tears down.
#include "corba_orb.h"
#include "corba_orb_internal.h"
#include "wq_circuit.h"
#include "wq_endpoint.h"
#include "wq_interface.h"

#include <cstring>

namespace {
// Longest endpoint text an option may name.
constexpr std::size_t kMaxEndpoint = 1024;
char const kTooLong[] = "endpoint longer than 1024 characters";

wq_MsgCircuitFactory *g_circuit_factory = nullptr;
} // namespace

bool wq_orb_endpoint_valid(char const *endpoint)
{
    return endpoint && std::strlen(endpoint) <= kMaxEndpoint && wq_Endpoint::is_valid(endpoint);
}

char const *wq_orb_why_not_valid(char const *endpoint)
{
    if (endpoint && std::strlen(endpoint) > kMaxEndpoint)
        return kTooLong;
    return wq_Endpoint::why_not_valid(endpoint);
}

void wq_orb_create_factories()
{
    if (!g_circuit_factory)
        g_circuit_factory = new wq_MsgCircuitFactory;
    wq_msg_endpoint_registry_get();
    wq_interface_registry_get();
}

void wq_orb_delete_factories()
{
    delete g_circuit_factory;
    g_circuit_factory = nullptr;
}

void wq_orb_shutdown_acceptors()
{
    for (wq_AcceptorNode *n = wq_ORB::_net_acceptor_list; n; n = n->next)
        if (n->acceptor)
            n->acceptor->shutdown(true);
}

void wq_orb_delete_acceptors()
{
    while (wq_AcceptorNode *n = wq_ORB::_net_acceptor_list) {
        wq_ORB::_net_acceptor_list = n->next;
        if (n->acceptor) {
            n->acceptor->shutdown(true);
            wq_NetAcceptorFactory::release(n->acceptor);
        }
        delete n;
    }
}

void wq_orb_fail_server_circuits()
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock gate(wq_MsgCircuit::_wq_gate, tenv);
    for (wq_MsgCircuit *c = wq_MsgCircuit::_svr_first; c; c = c->svr_next) {
        c->fail();
        c->shutdown_net();
    }
}

int32_t CORBA::ORB::wq_add_endpoint(char const *endpoint, bool publish)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock lock(_wq_orb_init_mtx, tenv);
    if (_orb_state.load() != 1)
        return -1;
    if (!wq_orb_endpoint_valid(endpoint))
        return -2;
    wq_NetAcceptorFactory *f = wq_NetAcceptorFactory::lookup(endpoint);
    if (!f)
        return -3;
    wq_orb_create_factories();
    wq_NetAcceptor *a = f->create(endpoint, default_qos_list(endpoint), g_circuit_factory, nullptr,
                                  _acceptor_priority);
    if (!a)
        return -4;
    wq_ORB::_net_acceptor_list = new wq_AcceptorNode{wq_ORB::_net_acceptor_list, a};
    char const *published = a->endpoint();
    wq_orb_append_endpoint(publish ? wq_ORB::_list_of_published_endpoints
                                   : wq_ORB::_list_of_unpublished_endpoints,
                           published ? published : "");
    return 0;
}
