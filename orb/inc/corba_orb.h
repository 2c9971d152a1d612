// The broker's process-wide settings (static members of CORBA::ORB) and the
// default QoS lists of the transports. ORB initialisation fills them from its
// options; until then they keep the defaults below, so the client path can be
// used by code that sets the few it needs directly.
#pragma once

#include <atomic>
#include <cstdint>

namespace CORBA {

class ORB {
public:
    enum DiagnosticsLevel : int32_t { none = 0, simple = 1, full = 2 };

    // 0 not initialised, 1 initialised, 2 shut down.
    static std::atomic<int32_t> _orb_state;
    static uint32_t _min_recursion;
    static uint32_t _min_band_recursion;
    static uint32_t _stack_size;
    static int32_t _acceptor_priority;
    static int32_t _default_priority;
    // Units of 100 ns between connection attempts.
    static uint64_t _retry_delay;
    static int32_t _conn_retries;
    static bool _fast_rebind;
    static bool _connection_ordered_oneways;
    static int16_t _oneway_sync_scope;
    static bool _create_nonband_circuit;
    static bool _always_propagate_priority;
    static int16_t _priority_low;
    static int16_t _priority_high;
    static bool _reuse_memory;
    static uint32_t _block_sizes[2];
    static bool _transparent_reconnect;
    static bool _single_threaded;
    static bool _process_pending_requests;
    // Largest GIOP message (12-byte header included) a circuit accepts from
    // the wire; a bigger announced size fails the circuit with IMP_LIMIT.
    static uint64_t _max_message_size;

    // The default QoS list text for an endpoint's scheme (the "tcp:" list
    // for unknown schemes).
    static char const *default_qos_list(char const *endpoint);

    static void diagnostics(DiagnosticsLevel level);
    static DiagnosticsLevel diagnostics();
};

} // namespace CORBA

// A node of CORBA::ORB's default QoS lists: the scheme key (text before the
// list's first ':' followed by ':') and the list text.
struct wq_QoSListNode {
    wq_QoSListNode *next;
    char const *key;
    char const *list;
};
extern wq_QoSListNode *wq_default_qos_list;
