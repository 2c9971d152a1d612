// The broker's process-wide settings with their defaults, and the default
// QoS lists of the transports.
#include "corba_orb.h"

#include "wq_memblock.h"
#include "wq_mthread.h"

#include <cstring>

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
int16_t ORB::_oneway_sync_scope = 1;
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

void ORB::diagnostics(DiagnosticsLevel level) { wq_ORB::diagnostics = level; }

ORB::DiagnosticsLevel ORB::diagnostics() { return static_cast<DiagnosticsLevel>(wq_ORB::diagnostics); }

char const *ORB::default_qos_list(char const *endpoint)
{
    for (wq_QoSListNode *n = wq_default_qos_list; n; n = n->next) {
        size_t k = std::strlen(n->key);
        if (endpoint && std::strncmp(endpoint, n->key, k) == 0)
            return n->list;
    }
    return wq_default_qos_list ? wq_default_qos_list->list : "";
}

} // namespace CORBA

namespace {
wq_QoSListNode qos_tcpv6{nullptr, "tcpv6:",
                         "tcpv6://nodelay:TRUE,tcpv6://rcvbuf:65536,tcpv6://sndbuf:65536,tcpv6://linger:1"};
wq_QoSListNode qos_tcp{&qos_tcpv6, "tcp:",
                       "tcp://nodelay:TRUE,tcp://rcvbuf:65536,tcp://sndbuf:65536,tcp://linger:1"};
} // namespace

wq_QoSListNode *wq_default_qos_list = &qos_tcp;
