// The POA manager, the servant base with its built-in operations, and the
// tables of skeleton functions.
#include "portable_server.h"
#include "wq_servant_registry.h"
#include "wq_skeleton.h"

#include <cxxabi.h>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

void assertion_block(char const *text)
{
    static const char stars[] = "***************************************************";
    YW_P_noCancel hold; // reached from release paths and destructors
    std::printf("%s\nUlvenor assertion error: %s\n%s\n", stars, text, stars);
    std::fflush(stdout);
}

} // namespace

void wq_store_thrown(const CORBA::EnvironmentWrapper &env)
{
    try {
        throw;
    } catch (abi::__forced_unwind &) {
        throw; // a stopped thread's end is never taken for an exception
    } catch (CORBA::Exception *e) {
        env.exception(e);
    } catch (CORBA::Exception &e) {
        env.exception(e);
    } catch (std::bad_alloc &) {
        env.exception(new CORBA::NO_MEMORY(0, CORBA::COMPLETED_MAYBE));
    } catch (std::exception &e) {
        env.exception(new CORBA::UNKNOWN(WQ_MINOR_NATIVE_EXCEPTION, CORBA::COMPLETED_MAYBE, e.what()));
    } catch (...) {
        env.exception(new CORBA::UNKNOWN(WQ_MINOR_NATIVE_EXCEPTION, CORBA::COMPLETED_MAYBE, CORBA::WQ_CPP_Native_Text));
    }
}

namespace PortableServer {

// ---- POA manager --------------------------------------------------------------------

char const *POAManager::wq_IR_Name = "IDL:omg.org/PortableServer/POAManager:2.3";

CORBA::Object *POAManager::wq_find_ptr(char const *id)
{
    return CORBA::IR::is_equal(wq_IR_Name, id) ? this : CORBA::Object::wq_find_ptr(id);
}

uint32_t POAManager::block_while_holding(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return INACTIVE;
    uint32_t s = state_.load(std::memory_order_acquire);
    if (s != HOLDING)
        return s;
    wq_MutexLock g(mtx_);
    while ((s = state_.load(std::memory_order_acquire)) == HOLDING)
        cv_.wait();
    return s;
}

void POAManager::set_state(uint32_t s)
{
    wq_MutexLock g(mtx_);
    state_.store(s, std::memory_order_release);
    cv_.broadcast();
}

void POAManager::activate(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (state_.load(std::memory_order_acquire) == INACTIVE) {
        env.exception(new AdapterInactive);
        return;
    }
    set_state(ACTIVE);
}

void POAManager::wq_deactivate() { set_state(INACTIVE); }

// ---- servants -----------------------------------------------------------------------

ServantBase::ServantBase() { wq_ServantRegistry::instance(); }

ServantBase::ServantBase(const ServantBase &) : ServantBase() {}

ServantBase::~ServantBase()
{
    // Normally done by the last release already; a servant deleted without
    // one leaves no target behind that still names it either.
    leave_targets();
    if (wq_TargetLocal *t = wq_own_target) {
        wq_own_target = nullptr;
        wq_ThreadEnvironment tenv;
        t->_remove_ref(true, tenv);
    }
    if (primary_)
        primary_->_remove_ref(true);
    while (regs_) {
        Registration *r = regs_;
        regs_ = r->next;
        delete r;
    }
}

POA *ServantBase::_default_POA() { return POA::_duplicate(wq_root_poa); }

POA *ServantBase::_default_POA(const CORBA::EnvironmentWrapper &env)
{
    return env.pending() ? nullptr : _default_POA();
}

bool ServantBase::_is_a(char const *id) { return primary_ && primary_->is_a(id); }

bool ServantBase::_is_a(char const *id, const CORBA::EnvironmentWrapper &env)
{
    return !env.pending() && _is_a(id);
}

bool ServantBase::_non_existent() { return false; }
bool ServantBase::_non_existent(const CORBA::EnvironmentWrapper &) { return _non_existent(); }

void ServantBase::_add_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 0) {
            assertion_block("attempt to add a reference on a previously deleted object");
            return;
        }
    } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel, std::memory_order_relaxed));
}

bool ServantBase::wq_try_add_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1)
            return false;
    } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel, std::memory_order_relaxed));
    return true;
}

int32_t ServantBase::_refcount_value()
{
    int32_t c = count_.load(std::memory_order_acquire);
    if (c < 0)
        assertion_block("_refcount_value retrieved reference count from previously deleted object");
    return c;
}

bool ServantBase::_remove_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 0) {
            assertion_block("attempt to remove a reference on a previously deleted object");
            return true;
        }
        // The release that reaches 0 marks the servant deleted in the same
        // step (a count of 0 was never handed out).
    } while (!count_.compare_exchange_weak(c, c == 1 ? -100000 : c - 1, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    if (c != 1)
        return false;
    leave_targets();
    delete this;
    return true;
}

void ServantBase::leave_targets()
{
    // Every target that still incarnates the servant is taken out of its POA
    // and the registry under the lists lock before any is released, and no
    // target, its own one included, keeps a pointer to it: a reference whose
    // target outlives the servant finds no servant.
    wq_TargetDrops drops;
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
    while (wq_TargetLocal *t = wq_activations) {
        t->retire(drops);
        t->servant = nullptr;
    }
    if (wq_own_target && wq_own_target->servant == this) {
        wq_own_target->servant = nullptr;
        wq_own_target->strong = 0;
    }
}

void ServantBase::_reg(void *impl, wq_Interface *itf) { regs_ = new Registration{impl, itf, regs_}; }

void *ServantBase::_find(char const *repository_id)
{
    for (Registration *r = regs_; r; r = r->next)
        if (r->itf && CORBA::IR::is_equal(r->itf->id(), repository_id))
            return r->impl;
    return nullptr;
}

void ServantBase::wq_init_nia(void *impl, char const *repository_id)
{
    impl_ = impl;
    if (primary_)
        primary_->_remove_ref(true);
    primary_ = wq_interface_registry_get()->NI_find_or_create(repository_id, true);
    _reg(impl, primary_);
}

void ServantBase::wq_init(void *impl, char const *repository_id, bool reg, char const *object_name,
                          POA *poa)
{
    wq_init_nia(impl, repository_id);
    POA *p = poa ? poa : wq_root_poa;
    if (!reg || !p || p->_servant_retention != RETAIN)
        return;
    // The servant registers itself under the given name (null: a generated
    // id); when the name is taken it takes a generated id instead. It never
    // takes another object's id. The attempts are bounded: a POA destroyed
    // meanwhile refuses every one.
    auto *t = new wq_TargetLocal(this, primary_, true);
    uint32_t len = object_name ? static_cast<uint32_t>(std::strlen(object_name)) : 0;
    bool bound = p->init_bind_proxy(primary_, t, this, object_name, len) != 0;
    for (int tries = 0; !bound && tries < 8 && p->wq_live(); ++tries)
        bound = p->init_bind_proxy(primary_, t, this, nullptr, 0) != 0;
    if (!bound) {
        wq_ThreadEnvironment tenv;
        t->_remove_ref(true, tenv);
        return;
    }
    wq_own_target = t;
}

void ServantBase::wq_init(const ServantBase &other)
{
    impl_ = other.impl_;
    if (other.primary_)
        other.primary_->_add_ref(true);
    if (primary_)
        primary_->_remove_ref(true);
    primary_ = other.primary_;
    for (Registration *r = other.regs_; r; r = r->next)
        _reg(r->impl, r->itf);
}

bool ServantBase::wq_has_activations(POA *poa, bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        wq_TargetLocal::_lists_lock.lock_write(tenv);
    bool found = false;
    for (wq_TargetLocal *t = wq_activations; t && !found; t = t->act_next)
        found = t->poa == poa;
    if (lock)
        wq_TargetLocal::_lists_lock.unlock(tenv);
    return found;
}

// ---- built-in skeletons ---------------------------------------------------------------

void ServantBase::wq_skel_is_a(wq_ServerRequest &req, void *servant, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    CORBA::String_var id;
    req.in >> id;
    if (env.pending())
        return;
    bool answer = false;
    if (servant) {
        try {
            answer = static_cast<ServantBase *>(servant)->_is_a(id, env);
        } catch (...) {
            wq_store_thrown(env);
            answer = false;
        }
    }
    if (!env.pending())
        req.out << CORBA::Stream::from_boolean(answer);
}

void ServantBase::wq_skel_non_existent(wq_ServerRequest &req, void *servant,
                                       const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    bool answer = true;
    if (servant) {
        try {
            answer = static_cast<ServantBase *>(servant)->_non_existent(env);
        } catch (...) {
            wq_store_thrown(env);
            answer = true;
        }
        if (env.pending())
            answer = true;
        env.clear();
    }
    req.out << CORBA::Stream::from_boolean(answer);
}

void ServantBase::wq_skel_repository_id(wq_ServerRequest &req, void *servant,
                                        const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    auto *s = static_cast<ServantBase *>(servant);
    char const *id = s && s->primary_ ? s->primary_->id() : "";
    req.out << CORBA::Stream::from_string(id);
}

} // namespace PortableServer

// ---- skeleton tables ----------------------------------------------------------------------

namespace {

// Tables and nodes are only ever added, each fully built before it is
// published at the head of its list (release); look-ups read the lists
// without the lock (acquire), adders still exclude each other under it.
struct OpNode {
    char const *name;
    wq_Skeleton fn;
    OpNode *next;
};

struct OpTable {
    wq_Interface *itf;
    OpTable *next;
    std::atomic<OpNode *> buckets[wq_SkeletonMap::kBuckets] = {};
    std::atomic<OpNode *> last{nullptr};
};

std::atomic<OpTable *> g_tables{nullptr};

} // namespace

uint32_t wq_SkeletonMap::hash(char const *operation)
{
    uint32_t h = 0;
    for (auto p = reinterpret_cast<unsigned char const *>(operation); *p && *p != 0xB5; ++p)
        h = (h * 32) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h;
}

void wq_SkeletonMap::add(char const *repository_id, char const *operation, wq_Skeleton fn)
{
    wq_Interface *itf = wq_interface_registry_get()->NI_find_or_create(repository_id, false);
    itf->_remove_ref(false); // the registry keeps the interface for the process's life
    wq_OrbCondLock l(wq_Interface::SkeletonNode::_lists_lock, true, true);
    OpTable *t = g_tables.load(std::memory_order_acquire);
    while (t && t->itf != itf)
        t = t->next;
    if (!t) {
        t = new OpTable{itf, g_tables.load(std::memory_order_relaxed)};
        g_tables.store(t, std::memory_order_release);
    }
    std::atomic<OpNode *> &b = t->buckets[hash(operation) % kBuckets];
    b.store(new OpNode{operation, fn, b.load(std::memory_order_relaxed)}, std::memory_order_release);
}

wq_Skeleton wq_SkeletonMap::find(wq_Interface *itf, char const *operation)
{
    OpTable *t = g_tables.load(std::memory_order_acquire);
    while (t && t->itf != itf)
        t = t->next;
    if (!t || !operation)
        return nullptr;
    OpNode *last = t->last.load(std::memory_order_acquire);
    if (last && std::strcmp(last->name, operation) == 0)
        return last->fn;
    for (OpNode *n = t->buckets[hash(operation) % kBuckets].load(std::memory_order_acquire); n; n = n->next)
        if (std::strcmp(n->name, operation) == 0) {
            t->last.store(n, std::memory_order_release);
            return n->fn;
        }
    return nullptr;
}
