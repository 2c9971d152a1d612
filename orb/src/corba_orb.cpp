// The ORB object: settings, names, reference count, default QoS lists,
// reader-thread minimum, run, shutdown and destroy.
#include "corba_orb.h"
#include "corba_orb_internal.h"
#include "wq_mthread.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>


char const *wq_ORB::process_name = nullptr;
char const *wq_ORB::svr_class_name = nullptr;
char const *wq_ORB::svr_instance_name = nullptr;
char const *wq_ORB::host_name = nullptr;
int wq_ORB::diagnostics = 1;
char *wq_ORB::_list_of_published_endpoints = nullptr;
char *wq_ORB::_list_of_unpublished_endpoints = nullptr;
wq_AcceptorNode *wq_ORB::_net_acceptor_list = nullptr;

wq_ORB *wq_orb = nullptr;
wq_RWMutex _wq_orb_init_mtx;
wq_RWMutex _wq_orb_joiner;
wq_OrbInitializer wq_orb_initializer_pre = nullptr;
wq_OrbInitializer wq_orb_initializer_post = nullptr;
void (*wq_orb_destroy)(const CORBA::EnvironmentWrapper &) = nullptr;
CORBA::Object *(*wq_corbaloc_build_object)(char const *, const CORBA::EnvironmentWrapper &) = nullptr;

namespace {

char const *nz(char const *s) { return s ? s : ""; }


} // namespace

// ---- names and lists ----------------------------------------------------------

void wq_orb_free_name(char const *&slot) { CORBA::string_free(slot); }

void wq_orb_append_endpoint(char *&list, char const *endpoint)
{
    if (!endpoint || !*endpoint)
        return;
    std::size_t add = std::strlen(endpoint);
    if (!list) {
        list = CORBA::string_dup(endpoint);
        return;
    }
    std::string joined(list);
    joined += ", ";
    joined.append(endpoint, add);
    CORBA::string_free(list);
    list = CORBA::string_dup(joined.c_str());
}

// Frees the names and lists an ORB_init or destroy leaves behind.
static void free_server_state()
{
    wq_orb_delete_acceptors();
    wq_orb_free_name(wq_ORB::svr_class_name);
    wq_orb_free_name(wq_ORB::svr_instance_name);
    CORBA::string_free(wq_ORB::_list_of_published_endpoints);
    CORBA::string_free(wq_ORB::_list_of_unpublished_endpoints);
}

void wq_orb_undo_init()
{
    wq_orb_shutdown_acceptors();
    wq_orb_pools_shutdown();
    free_server_state();
    wq_svc_table.svc_cleanup();
    wq_orb_pools_restart();
    CORBA::ORB::_orb_state.store(0);
}

namespace CORBA {

// ---- accessors ----------------------------------------------------------------

char const *ORB::endpoint_list() { return wq_ORB::_list_of_published_endpoints; }
char const *ORB::svr_class_name() { return nz(wq_ORB::svr_class_name); }
char const *ORB::svr_instance_name() { return nz(wq_ORB::svr_instance_name); }
char const *ORB::host_name() { return nz(wq_ORB::host_name); }
char const *ORB::process_name() { return nz(wq_ORB::process_name); }

void ORB::fast_rebind(bool on)
{
    if (_orb_state.load() != 1)
        _fast_rebind = on;
}

// ---- reference counting ---------------------------------------------------------

ORB::~ORB() = default;

void ORB::_add_ref()
{
    ref_mtx_.lock();
    if (ref_count_ < 1) {
        ref_mtx_.unlock();
        YW_P_noCancel hold; // reached from release paths and destructors
        std::fprintf(stderr,
                     "ERROR(CORBA::ORB::_add_ref): \n     Attempted to add a reference on a previously "
                     "deleted object (0x%p)\n",
                     static_cast<void *>(this));
        std::fflush(stderr);
        return;
    }
    ++ref_count_;
    ref_mtx_.unlock();
}

bool ORB::_remove_ref()
{
    ref_mtx_.lock();
    if (ref_count_ < 1) {
        ref_mtx_.unlock();
        YW_P_noCancel hold; // reached from release paths and destructors
        std::fprintf(stderr,
                     "ERROR(CORBA::ORB::_remove_ref): \n     Attempted to remove a reference from a "
                     "previously deleted object (0x%p)\n",
                     static_cast<void *>(this));
        std::fflush(stderr);
        return true;
    }
    if (--ref_count_ == 0) {
        ref_count_ = -100000;
        ref_mtx_.unlock();
        delete this;
        return true;
    }
    ref_mtx_.unlock();
    return false;
}

int32_t ORB::wq_ref_count()
{
    wq_MutexLock g(ref_mtx_);
    return ref_count_;
}

ORB *ORB::_duplicate(ORB *orb)
{
    if (orb)
        orb->_add_ref();
    return orb;
}

void ORB::_release(ORB *orb)
{
    if (orb)
        orb->_remove_ref();
}

void release(const ORB *orb)
{
    // One reference, like every other release: the process keeps its own.
    ORB::_release(const_cast<ORB *>(orb));
}

// ---- reader threads --------------------------------------------------------------

void ORB::min_recursion(uint32_t n)
{
    _min_recursion = n;
    if (_orb_state.load() == 1)
        wq_orb_pools_start_readers(n);
}

void ORB::min_band_recursion(uint32_t n)
{
    _min_band_recursion = n;
    if (_orb_state.load() == 1)
        wq_orb_pools_band_minimum(n);
}

uint32_t ORB::cur_recursion() { return wq_orb_pools_reader_count(); }

bool ORB::endpoint_registered(char const *endpoint)
{
    char const *list = wq_ORB::_list_of_published_endpoints;
    if (!endpoint || !*endpoint || !list)
        return false;
    std::string_view want(endpoint);
    std::string_view all(list);
    while (!all.empty()) {
        std::size_t comma = all.find(',');
        std::string_view item = all.substr(0, comma);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        if (item == want)
            return true;
        if (comma == std::string_view::npos)
            break;
        all.remove_prefix(comma + 1);
    }
    return false;
}

// ---- run, shutdown, destroy ----------------------------------------------------------

void ORB::run(bool wait, const EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (wait && wq_ManagedThread::is_managed_thread()) {
        env.exception(new BAD_INV_ORDER(2, COMPLETED_NO));
        return;
    }
    if (!wq_ORB::_list_of_published_endpoints) {
        wq_raise_obj_adapter(2, env);
        return;
    }
    // The semaphore is a latch: shutdown signals once and each waiter passes
    // the signal on, so a run that starts after shutdown returns at once.
    run_sem_.wait();
    run_sem_.signal();
    if (wait)
        wait_for_shutdown();
}

bool ORB::shutdown(bool wait, const EnvironmentWrapper &env)
{
    if (env.pending())
        return true;
    if (wait && wq_ManagedThread::is_managed_thread()) {
        env.exception(new BAD_INV_ORDER(2, COMPLETED_NO));
        return true;
    }
    {
        wq_ThreadEnvironment tenv;
        wq_WriteLock lock(_wq_orb_init_mtx, tenv);
        if (_orb_state.load() == 1) {
            start_shutdown();
            run_sem_.signal();
        }
    }
    if (wait)
        wait_for_shutdown();
    return true;
}

void ORB::wait_for_shutdown()
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock lock(_wq_orb_joiner, tenv);
    wq_ManagedThread::join_all();
}

void ORB::start_shutdown()
{
    wq_orb_shutdown_acceptors();
    wq_orb_pools_shutdown();
    wq_orb_fail_server_circuits();
    _orb_state.store(2);
}

void ORB::destroy(const EnvironmentWrapper &env)
{
    if (env.pending() || !wq_orb)
        return;
    shutdown(true, env);
    if (env.pending())
        return;
    wq_ThreadEnvironment tenv;
    wq_WriteLock lock(_wq_orb_init_mtx, tenv);
    if (_orb_state.load() == 0)
        return;
    if (wq_orb_destroy)
        wq_orb_destroy(env);
    wq_orb_destroy_root_poa();
    wq_orb_pools_drain();
    free_server_state();
    wq_svc_table.svc_cleanup();
    // The default QoS lists are put back by the next ORB_init.
    wq_orb_delete_qos_lists();
    wq_ORB *orb = wq_orb;
    wq_orb = nullptr;
    orb->_remove_ref();
    wq_orb_release_rt_objects();
    wq_orb_release_poa_current();
    _orb_state.store(0);
}

} // namespace CORBA

wq_ORB::~wq_ORB()
{
    // An ORB released after a destroy and a new ORB_init leaves the new
    // ORB's names and factory alone.
    if (wq_orb && wq_orb != this)
        return;
    wq_orb_free_name(host_name);
    wq_orb_free_name(process_name);
    wq_orb_delete_factories();
}
