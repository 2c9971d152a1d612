// What the ORB's own sources share: endpoint lists, names, the steps of
// initialisation and teardown that reach into the transports and the object
// adapter.
#pragma once

#include "corba_orb.h"

#include <cstdint>

// ---- names and endpoint lists (corba_orb.cpp) -------------------------------
// Frees a name the ORB set and nulls the slot.
void wq_orb_free_name(char const *&slot);
// Appends an endpoint behind the list with ", " (empty: no change; null
// list: a copy of the endpoint).
void wq_orb_append_endpoint(char *&list, char const *endpoint);
// Default QoS lists back in place when a destroy removed them.
void wq_orb_restore_defaults();
void wq_orb_delete_qos_lists();
// Undoes a failed first ORB_init: acceptors, lists, names, state 0.
void wq_orb_undo_init();

// ---- references (corba_orb_refs.cpp) -------------------------------------------
void wq_orb_release_object(CORBA::Object *obj);
// Releases the RT current and RT ORB and clears them.
void wq_orb_release_rt_objects();

// ---- endpoints and transports (corba_orb_endpoint.cpp) ------------------------
bool wq_orb_endpoint_valid(char const *endpoint);
char const *wq_orb_why_not_valid(char const *endpoint);
// The message-circuit factory, message-endpoint registry and interface
// registry, each made when missing.
void wq_orb_create_factories();
void wq_orb_delete_factories();
// Shuts down (and, for delete, frees) every acceptor of _net_acceptor_list.
void wq_orb_shutdown_acceptors();
void wq_orb_delete_acceptors();
// Fails every server circuit and shuts its network circuit down.
void wq_orb_fail_server_circuits();

// ---- object adapter and circuit pools (server side) ---------------------------
// The servant registry, made when missing.
void wq_orb_create_registries();
// Destroys the root POA and drops the POA manager.
void wq_orb_destroy_root_poa();
// The POA current with a reference added (made on first use; null when
// none), and its release by destroy.
CORBA::Object *wq_orb_poa_current(const CORBA::EnvironmentWrapper &env);
void wq_orb_release_poa_current();
// The circuit pools: restart, reader threads up to a minimum, reader count,
// the shutdown wake and the drain after shutdown.
void wq_orb_pools_restart();
void wq_orb_pools_start_readers(uint32_t minimum);
void wq_orb_pools_band_minimum(uint32_t minimum);
uint32_t wq_orb_pools_reader_count();
void wq_orb_pools_shutdown();
void wq_orb_pools_drain();
