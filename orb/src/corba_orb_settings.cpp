// The broker's process-wide settings with their defaults, and the default
// QoS lists of the transports.
#include "corba_orb.h"
#include "corba_orb_internal.h"
#include "corba_policy.h"
#include "portable_server.h"
#include "wq_interface.h"
#include "wq_memblock.h"
#include "wq_mthread.h"
#include "wq_servant_registry.h"

#include <cstring>
#include <string>
#include <string_view>

namespace CORBA {

std::atomic<int32_t> ORB::_orb_state{0};
uint32_t ORB::_min_recursion = 1;
uint32_t ORB::_min_band_recursion = 1;
uint32_t ORB::_stack_size = 0;
int32_t ORB::_acceptor_priority = 49;
int32_t ORB::_default_priority = 49;
uint64_t ORB::_retry_delay = 20000000;
int32_t ORB::_conn_retries = 9;
bool ORB::_fast_rebind = true;
bool ORB::_connection_ordered_oneways = false;
int16_t ORB::_oneway_sync_scope = Messaging::SYNC_WITH_TRANSPORT;
bool ORB::_create_nonband_circuit = true;
bool ORB::_always_propagate_priority = false;
int16_t ORB::_priority_low = 0;
int16_t ORB::_priority_high = 32767;
bool ORB::_reuse_memory = true;
uint32_t ORB::_block_sizes[2] = {65536, 4096};
bool ORB::_transparent_reconnect = false;
bool ORB::_single_threaded = false;
bool ORB::_process_pending_requests = false;
uint64_t ORB::_max_message_size = uint64_t(64) << 20;
uint64_t ORB::_max_pending_request_bytes = uint64_t(1) << 30;

} // namespace CORBA

wq_QoSListNode *CORBA::ORB::_default_qos_list = nullptr;
wq_QoSListNode *CORBA::ORB::_default_qos_list_tcpv6 = nullptr;

namespace {

char const *const kQosTcp = "tcp://nodelay:TRUE,tcp://rcvbuf:65536,tcp://sndbuf:65536,tcp://linger:1";
char const *const kQosTcp6 =
    "tcpv6://nodelay:TRUE,tcpv6://rcvbuf:65536,tcpv6://sndbuf:65536,tcpv6://linger:1";

// The scheme key of a text: up to its first ':' (at most 127 characters),
// followed by ':'.
std::string scheme_key(char const *text)
{
    std::string_view t(text ? text : "");
    std::size_t n = t.find(':');
    if (n == std::string_view::npos)
        n = t.size();
    if (n > 127)
        n = 127;
    std::string k(t.substr(0, n));
    k += ':';
    return k;
}

wq_QoSListNode *find_qos(char const *text)
{
    std::string key = scheme_key(text);
    for (wq_QoSListNode *n = CORBA::ORB::_default_qos_list; n; n = n->next)
        if (n->key && key == n->key)
            return n;
    return nullptr;
}

wq_QoSListNode *push_qos(char const *list)
{
    std::string key = scheme_key(list);
    auto *n = new wq_QoSListNode{CORBA::ORB::_default_qos_list, CORBA::string_dup(key.c_str()),
                                 CORBA::string_dup(list)};
    CORBA::ORB::_default_qos_list = n;
    return n;
}

} // namespace

void wq_orb_delete_qos_lists()
{
    CORBA::ORB::_default_qos_list_tcpv6 = nullptr;
    while (wq_QoSListNode *n = CORBA::ORB::_default_qos_list) {
        CORBA::ORB::_default_qos_list = n->next;
        CORBA::string_free(n->key);
        CORBA::string_free(n->list);
        delete n;
    }
}

namespace {

// Process-start settings: the one-way scope and the two default QoS lists
// (tcp first, then tcpv6). Its destructor is the one exit-time teardown of
// the broker's globals, in this order: the servant registry, the memory-block
// free lists, the interface registry, the message translator, the POA
// registry, the QoS lists. The servant and POA registries are taken down
// only when no broker thread can still reach them (the ORB was never
// initialised, or was destroyed, which joins its threads); otherwise they are
// left to the process's end.
struct OrbStatics {
    OrbStatics()
    {
        CORBA::ORB::_oneway_sync_scope = Messaging::SYNC_WITH_TRANSPORT;
        wq_orb_restore_defaults();
    }
    ~OrbStatics()
    {
        bool idle = CORBA::ORB::_orb_state.load() == 0;
        if (idle)
            wq_ServantRegistry::teardown();
        // Under the lists' lock: a detached thread that ended just before
        // (its thread data freed its streams) may have listed blocks last.
        wq_mem_block_clean_up(true);
        delete wq_interface_registry.exchange(nullptr);
        delete wq_the_translator;
        wq_the_translator = nullptr;
        if (idle)
            wq_POARegistry::clear();
        wq_orb_delete_qos_lists();
    }
} g_orb_statics;

} // namespace

void wq_orb_restore_defaults()
{
    if (CORBA::ORB::_default_qos_list)
        return;
    CORBA::ORB::_default_qos_list_tcpv6 = push_qos(kQosTcp6);
    push_qos(kQosTcp);
}

namespace CORBA {

void ORB::diagnostics(DiagnosticsLevel level) { wq_ORB::diagnostics = level; }
ORB::DiagnosticsLevel ORB::diagnostics() { return static_cast<DiagnosticsLevel>(wq_ORB::diagnostics); }

// ---- default QoS lists -----------------------------------------------------------

char const *ORB::default_qos_list(char const *endpoint)
{
    wq_QoSListNode *n = find_qos(endpoint);
    return n ? n->list : nullptr;
}

void ORB::default_qos_list(char const *scheme, char const *list)
{
    if (wq_QoSListNode *n = find_qos(scheme)) {
        CORBA::string_free(n->list);
        n->list = CORBA::string_dup(list);
        return;
    }
    push_qos(list);
}

} // namespace CORBA
