// Stand-in for the object adapter's side of ORB initialisation and teardown,
// so that a pure client can initialise the ORB. The portable object adapter
// (root POA, POA manager, servant registry, POA current) and the server's
// circuit pools with their reader threads replace this file: every function
// below is theirs to define.
#include "corba_orb.h"
#include "corba_orb_internal.h"

CORBA::Object *wq_init_root_poa(const CORBA::EnvironmentWrapper &) { return nullptr; }
void wq_orb_create_registries() {}
void wq_orb_destroy_root_poa() {}
CORBA::Object *wq_orb_poa_current(const CORBA::EnvironmentWrapper &) { return nullptr; }
void wq_orb_release_poa_current() {}
void wq_orb_pools_restart() {}
void wq_orb_pools_start_readers(uint32_t) {}
void wq_orb_pools_band_minimum(uint32_t) {}
uint32_t wq_orb_pools_reader_count() { return 0; }
void wq_orb_pools_shutdown() {}
void wq_orb_pools_drain() {}
