// The portable object adapter: the POA object, its registry, activation and
// references, destruction, and the request-time resolution of POAs and
// servants.
#include "portable_server.h"
#include "wq_servant_registry.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

using namespace PortableServer;

constinit wq_RWMutex wq_POA_details::_lists_lock;

PortableServer::POA *wq_root_poa = nullptr;
PortableServer::POAManager *wq_global_poa_manager = nullptr;

namespace {

// The registry: 59 buckets and the last POA found or registered.
POA *g_buckets[wq_POARegistry::kBuckets];
std::atomic<POA *> g_cache{nullptr};

// Generated object ids: a marker byte and the 32-bit counter, big-endian.
constexpr unsigned char kIdMarker = 0xB6;
constexpr uint32_t kIdLength = 5;

void make_id(unsigned char *out, uint32_t n)
{
    out[0] = kIdMarker;
    out[1] = static_cast<unsigned char>(n >> 24);
    out[2] = static_cast<unsigned char>(n >> 16);
    out[3] = static_cast<unsigned char>(n >> 8);
    out[4] = static_cast<unsigned char>(n);
}

void raise_wrong_policy(const CORBA::EnvironmentWrapper &env) { env.exception(new POA::WrongPolicy); }

void raise_destroyed(const CORBA::EnvironmentWrapper &env)
{
    env.exception(new CORBA::OBJECT_NOT_EXIST(1, CORBA::COMPLETED_NO, "POA has been destroyed"));
}

} // namespace

// ---- registry -----------------------------------------------------------------------

uint32_t wq_POARegistry::hash(char const *name)
{
    uint32_t h = 0;
    if (name)
        for (auto p = reinterpret_cast<unsigned char const *>(name); *p && *p != 0xB5; ++p)
            h = (h << 5) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return h % kBuckets;
}

POA *wq_POARegistry::NRC_find(char const *name)
{
    POA *c = g_cache.load(std::memory_order_acquire);
    if (c && *c == name)
        return c;
    for (POA *p = g_buckets[hash(name)]; p; p = p->wq_reg_next)
        if (*p == name)
            return p;
    return nullptr;
}

POA *wq_POARegistry::find(char const *name)
{
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(wq_POA_details::_lists_lock, tenv);
    return POA::_duplicate(NRC_find(name));
}

bool wq_POARegistry::insert(POA *poa)
{
    if (NRC_find(poa->wq_key_name()))
        return false;
    POA *&b = g_buckets[hash(poa->wq_key_name())];
    poa->wq_reg_prev = nullptr;
    poa->wq_reg_next = b;
    if (b)
        b->wq_reg_prev = poa;
    b = poa;
    poa->wq_registered = true;
    g_cache.store(poa, std::memory_order_release);
    return true;
}

void wq_POARegistry::remove(POA *poa)
{
    if (!poa->wq_registered)
        return;
    if (poa->wq_reg_prev)
        poa->wq_reg_prev->wq_reg_next = poa->wq_reg_next;
    else
        g_buckets[hash(poa->wq_key_name())] = poa->wq_reg_next;
    if (poa->wq_reg_next)
        poa->wq_reg_next->wq_reg_prev = poa->wq_reg_prev;
    poa->wq_reg_next = poa->wq_reg_prev = nullptr;
    poa->wq_registered = false;
    POA *c = poa;
    g_cache.compare_exchange_strong(c, nullptr, std::memory_order_acq_rel);
}

void wq_POARegistry::clear()
{
    std::vector<POA *> drop;
    {
        wq_ThreadEnvironment tenv;
        wq_WriteLock g(wq_POA_details::_lists_lock, tenv);
        for (POA *&b : g_buckets)
            while (POA *p = b) {
                remove(p);
                drop.push_back(p);
            }
    }
    for (POA *p : drop)
        POA::_release(p);
}

namespace PortableServer {

char const *POA::wq_IR_Name = "IDL:omg.org/PortableServer/POA:1.0";

// ---- construction and destruction ----------------------------------------------------

POA::POA(CORBA::Target *t) : CORBA::Object(t)
{
    wq_ServantRegistry::instance();
    if (wq_Interface *i = wq_interface_registry_get()->NI_find_or_create(wq_IR_Name, true))
        i->_remove_ref(true);
}

POA::POA() : CORBA::Object() {}
POA::POA(const POA &) : CORBA::Object() {}

POA::~POA()
{
    wq_ThreadEnvironment tenv;
    {
        wq_WriteLock g(wq_POA_details::_lists_lock, tenv);
        wq_POARegistry::remove(this);
    }
    std::vector<wq_TargetLocal *> drop;
    {
        wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
        wq_ServantRegistry *reg = wq_ServantRegistry::instance();
        while (wq_TargetLocal *t = wq_targets) {
            t->unlink_poa();
            t->unlink_activation();
            t->active = 0;
            t->poa = nullptr;
            drop.push_back(t);
            if (reg->unlink(t))
                drop.push_back(t);
        }
    }
    for (wq_TargetLocal *t : drop)
        t->_remove_ref(true, tenv);
    release_managers();
    if (manager_)
        CORBA::release(manager_);
    CORBA::string_free(key_name_);
    CORBA::string_free(name_);
}

void POA::set_names(char const *name)
{
    CORBA::string_free(name_);
    CORBA::string_free(key_name_);
    name_ = CORBA::string_dup(name ? name : "");
    key_name_ = CORBA::string_dup(name ? name : "");
}

void POA::init(POA *&out, char const *name, POAManager *manager)
{
    auto *p = new RTPortableServer::POA();
    p->set_names(name);
    if (manager)
        manager->_add_ref();
    p->manager_ = manager;
    p->_implicit_activation = IMPLICIT_ACTIVATION;
    p->live_.store(p, std::memory_order_release);
    wq_ThreadEnvironment tenv;
    bool ok;
    {
        wq_WriteLock g(wq_POA_details::_lists_lock, tenv);
        ok = wq_POARegistry::insert(p);
    }
    // On success the construction reference becomes the registry's, and
    // `out` shares it.
    if (!ok) {
        _release(p);
        p = nullptr;
    }
    out = p;
}

bool POA::_remove_ref()
{
    count_mtx_.lock();
    if (count_ < 0) {
        count_mtx_.unlock();
        static const char stars[] = "***************************************************";
        std::printf("%s\nUlvenor assertion error: (PortableServer::POA::_release): accessed deleted "
                    "object %p\n%s\n",
                    stars, static_cast<void *>(this), stars);
        std::fflush(stdout);
        return true;
    }
    if (count_ == 0 || --count_ != 0) {
        count_mtx_.unlock();
        return false;
    }
    count_ = -100000000;
    count_mtx_.unlock();
    delete this;
    return true;
}

POA *POA::_duplicate(POA *poa, bool)
{
    if (poa)
        poa->_add_ref();
    return poa;
}

void POA::_release(POA *poa, bool)
{
    if (poa)
        poa->_remove_ref();
}

void POA::lists_lock(const wq_ThreadEnvironment &tenv) { wq_POA_details::_lists_lock.lock_write(tenv); }
void POA::lists_lock_read(const wq_ThreadEnvironment &tenv) { wq_POA_details::_lists_lock.lock_read(tenv); }
void POA::lists_unlock(const wq_ThreadEnvironment &tenv) { wq_POA_details::_lists_lock.unlock(tenv); }

CORBA::Object *POA::wq_find_ptr(char const *id)
{
    return CORBA::IR::is_equal(wq_IR_Name, id) ? this : CORBA::Object::wq_find_ptr(id);
}

// ---- accessors ----------------------------------------------------------------------

POA *POA::the_parent() const { return _duplicate(wq_parent); }

POAManager *POA::the_POAManager() const
{
    auto *self = const_cast<POA *>(this);
    wq_MutexLock g(self->mtx_);
    if (manager_)
        manager_->_add_ref();
    return manager_;
}

AdapterActivator *POA::the_activator() const
{
    auto *self = const_cast<POA *>(this);
    wq_MutexLock g(self->mtx_);
    if (adapter_activator_)
        adapter_activator_->_add_ref();
    return adapter_activator_;
}

void POA::the_activator(AdapterActivator *activator)
{
    if (activator)
        activator->_add_ref();
    AdapterActivator *old;
    {
        wq_MutexLock g(mtx_);
        old = adapter_activator_;
        adapter_activator_ = activator;
    }
    if (old)
        old->_remove_ref();
}

ObjectId *POA::id(const CORBA::EnvironmentWrapper &env) const
{
    if (env.pending())
        return nullptr;
    return new ObjectId(key_name_, CORBA::string_len(key_name_));
}

bool POA::operator==(char const *name) const
{
    return wq_poa_name_equal(key_name_, name);
}

uint32_t POA::next_object_id() { return next_id_.fetch_add(1, std::memory_order_acq_rel) + 1; }

ServantBase *POA::wq_default_servant()
{
    wq_MutexLock g(mtx_);
    if (default_servant_)
        default_servant_->_add_ref();
    return default_servant_;
}

ServantActivator *POA::wq_servant_activator()
{
    wq_MutexLock g(mtx_);
    if (servant_activator_)
        servant_activator_->_add_ref();
    return servant_activator_;
}

ServantLocator *POA::wq_servant_locator()
{
    wq_MutexLock g(mtx_);
    if (servant_locator_)
        servant_locator_->_add_ref();
    return servant_locator_;
}

void POA::release_managers()
{
    ServantBase *ds;
    AdapterActivator *aa;
    ServantActivator *sa;
    ServantLocator *sl;
    {
        wq_MutexLock g(mtx_);
        ds = default_servant_;
        aa = adapter_activator_;
        sa = servant_activator_;
        sl = servant_locator_;
        default_servant_ = nullptr;
        adapter_activator_ = nullptr;
        servant_activator_ = nullptr;
        servant_locator_ = nullptr;
    }
    if (sl)
        sl->_remove_ref();
    if (sa)
        sa->_remove_ref();
    if (aa)
        aa->_remove_ref();
    if (ds)
        ds->_remove_ref();
}

wq_TargetLocal *POA::legacy_itf_search(wq_Interface *itf)
{
    if (!itf || !wq_root_poa)
        return nullptr;
    for (wq_TargetLocal *t = wq_root_poa->wq_targets; t; t = t->poa_next)
        if (t->interface() == itf)
            return t;
    return nullptr;
}

// ---- destruction --------------------------------------------------------------------------

void POA::destroy_self(bool etherealize, const CORBA::EnvironmentWrapper &env)
{
    live_.store(nullptr, std::memory_order_release);
    next_id_.store(0, std::memory_order_release);
    ServantActivator *act = etherealize ? wq_servant_activator() : nullptr;
    wq_ThreadEnvironment tenv;
    std::vector<wq_TargetLocal *> drop;
    {
        wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
        wq_ServantRegistry *reg = wq_ServantRegistry::instance();
        while (wq_TargetLocal *t = wq_targets) {
            if (_servant_retention == NON_RETAIN || !t->active || t->registered_by_servant) {
                t->unlink_poa();
                drop.push_back(t);
                continue;
            }
            ServantBase *servant = t->servant;
            ObjectId oid = t->object_id;
            // Unlinked before the activator runs, so the loop always moves on.
            t->unlink_poa();
            t->unlink_activation();
            t->active = 0;
            drop.push_back(t);
            if (reg->unlink(t))
                drop.push_back(t);
            if (act && servant) {
                bool remaining = servant->wq_has_activations(this, false);
                try {
                    act->etherealize(oid, this, servant, false, remaining, env);
                } catch (...) {
                    wq_store_thrown(env);
                }
                env.clear();
            }
        }
    }
    for (wq_TargetLocal *t : drop)
        t->_remove_ref(true, tenv);
    if (act)
        act->_remove_ref();
    POAManager *m;
    {
        wq_MutexLock g(mtx_);
        m = manager_;
        manager_ = nullptr;
    }
    if (m)
        CORBA::release(m);
    release_managers();
}

void POA::deltree(POA *poa, bool etherealize, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending() || !poa)
        return;
    deltree(poa->wq_first_child, etherealize, env);
    deltree(poa->wq_next_sibling, etherealize, env);
    poa->destroy_self(etherealize, env);
}

void POA::destroy(bool etherealize, bool, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_POA_details::_lists_lock, tenv);
    deltree(wq_first_child, etherealize, env);
    destroy_self(etherealize, env);
}

// ---- activation -----------------------------------------------------------------------------

bool POA::generated_id(const ObjectId &oid)
{
    const unsigned char *b = oid.get_buffer();
    if (oid.length() != kIdLength || b[0] != kIdMarker)
        return false;
    uint32_t n = (uint32_t(b[1]) << 24) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 8) | b[4];
    return n != 0 && n <= next_id_.load(std::memory_order_acquire);
}

int POA::bind_target(wq_TargetLocal *t, ServantBase *servant, char const *name, uint32_t length,
                     bool check_servant)
{
    unsigned char gen[kIdLength];
    if (!name) {
        make_id(gen, next_object_id());
        name = reinterpret_cast<char const *>(gen);
        length = kIdLength;
    }
    t->wq_set_identity(this, name, length);
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
    if (check_servant && servant && _id_uniqueness == UNIQUE_ID &&
        servant->wq_has_activations(this, false))
        return -1;
    if (!wq_ServantRegistry::instance()->bind(t, false))
        return 0;
    t->link_poa();
    t->_add_ref(false, tenv); // the POA list's reference
    t->link_activation();
    return 1;
}

int POA::init_bind_proxy(wq_Interface *itf, wq_TargetLocal *target, ServantBase *servant,
                         char const *object_name, uint32_t name_length)
{
    if (!wq_live())
        return 0;
    target->wq_interface(itf);
    if (target->servant != servant)
        target->servant = servant;
    return bind_target(target, servant, object_name, name_length, false) == 1 ? 1 : 0;
}

ObjectId *POA::activate_object(ServantBase *servant, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (_id_assignment != SYSTEM_ID || _servant_retention != RETAIN) {
        raise_wrong_policy(env);
        return nullptr;
    }
    if (!wq_live()) {
        raise_destroyed(env);
        return nullptr;
    }
    if (!servant) {
        env.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO));
        return nullptr;
    }
    auto *t = new wq_TargetLocal(servant, servant->wq_interface(), false);
    // Generated ids are unique unless a caller activated one with its own id
    // first; a few more are tried, never endlessly.
    int r = 0;
    for (int tries = 0; tries < 8 && r == 0; ++tries)
        r = bind_target(t, servant, nullptr, 0, true);
    ObjectId *oid = r == 1 ? new ObjectId(t->object_id) : nullptr;
    if (r == -1)
        env.exception(new ServantAlreadyActive);
    else if (r == 0)
        env.exception(new ObjectAlreadyActive);
    wq_ThreadEnvironment tenv;
    t->_remove_ref(true, tenv);
    return oid;
}

void POA::activate_object_with_id(const ObjectId &oid, ServantBase *servant,
                                  const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (_servant_retention != RETAIN) {
        raise_wrong_policy(env);
        return;
    }
    if (_id_assignment == SYSTEM_ID && !generated_id(oid)) {
        env.exception(new CORBA::BAD_PARAM(14, CORBA::COMPLETED_NO,
                                           "attempt to activate object in POA with SYSTEM_ID policy "
                                           "where object id was not generated by Ulvenor."));
        return;
    }
    if (!wq_live()) {
        raise_destroyed(env);
        return;
    }
    if (!servant) {
        env.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO));
        return;
    }
    auto *t = new wq_TargetLocal(servant, servant->wq_interface(), false);
    int r = bind_target(t, servant, reinterpret_cast<char const *>(oid.get_buffer()), oid.length(), true);
    if (r == -1)
        env.exception(new ServantAlreadyActive);
    else if (r == 0)
        env.exception(new ObjectAlreadyActive);
    wq_ThreadEnvironment tenv;
    t->_remove_ref(true, tenv);
}

CORBA::Object *POA::reference_for(const ObjectId &oid, char const *repository_id,
                                  const CORBA::EnvironmentWrapper &env)
{
    wq_Interface *itf = wq_interface_registry_get()->NI_find_or_create(repository_id, true);
    auto *t = new wq_TargetLocal(nullptr, itf, false);
    if (itf)
        itf->_remove_ref(true);
    t->wq_set_identity(this, oid.get_buffer(), oid.length());
    t->active = 0;
    (void)env;
    return new CORBA::Object(t);
}

CORBA::Object *POA::create_reference(char const *repository_id, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (_id_assignment != SYSTEM_ID) {
        raise_wrong_policy(env);
        return nullptr;
    }
    unsigned char gen[kIdLength];
    make_id(gen, next_object_id());
    return reference_for(ObjectId(gen, kIdLength), repository_id, env);
}

CORBA::Object *POA::create_reference_with_id(const ObjectId &oid, char const *repository_id,
                                             const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (_id_assignment == SYSTEM_ID && !generated_id(oid)) {
        env.exception(new CORBA::BAD_PARAM(14, CORBA::COMPLETED_NO,
                                           "attempt to activate object in POA with SYSTEM_ID policy "
                                           "where object id was not generated by Ulvenor."));
        return nullptr;
    }
    return reference_for(oid, repository_id, env);
}

void POA::wq_deactivate_object(const ObjectId &oid, bool etherealize_ok,
                               const CORBA::EnvironmentWrapper &env)
{
    wq_ThreadEnvironment tenv;
    std::vector<wq_TargetLocal *> drop;
    ServantBase *servant = nullptr;
    bool remaining = false;
    {
        wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
        wq_ServantKey key(key_name_, oid.get_buffer(), oid.length());
        wq_ServantRegistry *reg = wq_ServantRegistry::instance();
        wq_TargetLocal *t = reg->NI_find(key, false);
        if (!t || t->poa != this) {
            env.exception(new ObjectNotActive);
            return;
        }
        reg->unlink(t);
        drop.push_back(t);
        if (t->in_poa) {
            t->unlink_poa();
            drop.push_back(t);
        }
        t->unlink_activation();
        t->active = 0;
        servant = t->servant;
        if (servant) {
            servant->_add_ref();
            remaining = servant->wq_has_activations(this, false);
        }
    }
    for (wq_TargetLocal *t : drop)
        t->_remove_ref(true, tenv);
    if (etherealize_ok && servant)
        if (ServantActivator *act = wq_servant_activator()) {
            try {
                act->etherealize(oid, this, servant, false, remaining, env);
            } catch (...) {
                wq_store_thrown(env);
            }
            act->_remove_ref();
        }
    if (servant)
        servant->_remove_ref();
}

void POA::deactivate_object(const ObjectId &oid, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (_servant_retention != RETAIN) {
        raise_wrong_policy(env);
        return;
    }
    wq_deactivate_object(oid, true, env);
}

void POA::set_servant(ServantBase *servant, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (_request_processing != USE_DEFAULT_SERVANT) {
        raise_wrong_policy(env);
        return;
    }
    if (servant)
        servant->_add_ref();
    ServantBase *old;
    {
        wq_MutexLock g(mtx_);
        old = default_servant_;
        default_servant_ = servant;
    }
    if (old)
        old->_remove_ref();
}

ServantBase *POA::get_servant(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (_request_processing != USE_DEFAULT_SERVANT) {
        raise_wrong_policy(env);
        return nullptr;
    }
    ServantBase *s = wq_default_servant();
    if (!s)
        env.exception(new NoServant);
    return s;
}

ServantManager *POA::get_servant_manager(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (_request_processing != USE_SERVANT_MANAGER) {
        raise_wrong_policy(env);
        return nullptr;
    }
    if (_servant_retention == RETAIN)
        return wq_servant_activator();
    return wq_servant_locator();
}

void POA::set_servant_manager(ServantManager *manager, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    if (_request_processing != USE_SERVANT_MANAGER) {
        raise_wrong_policy(env);
        return;
    }
    auto *act = dynamic_cast<ServantActivator *>(manager);
    auto *loc = dynamic_cast<ServantLocator *>(manager);
    if (!manager || (_servant_retention == RETAIN ? !act : !loc)) {
        env.exception(new CORBA::OBJ_ADAPTER(4, CORBA::COMPLETED_NO));
        return;
    }
    wq_MutexLock g(mtx_);
    if (servant_activator_ || servant_locator_) {
        env.exception(new CORBA::BAD_INV_ORDER(6, CORBA::COMPLETED_NO));
        return;
    }
    manager->_add_ref();
    if (act)
        servant_activator_ = act;
    else
        servant_locator_ = loc;
}

} // namespace PortableServer

// ---- RT root POA ------------------------------------------------------------------------------

namespace RTPortableServer {

CORBA::Object *POA::create_reference_with_priority(char const *repository_id, int16_t,
                                                   const CORBA::EnvironmentWrapper &env)
{
    if (!env.pending() && _priority_model != 1) {
        env.exception(new PortableServer::POA::WrongPolicy);
        return nullptr;
    }
    return create_reference(repository_id, env);
}

PortableServer::ObjectId *POA::activate_object_with_priority(PortableServer::ServantBase *servant, int16_t,
                                                             const CORBA::EnvironmentWrapper &env)
{
    if (!env.pending() && _priority_model != 1) {
        env.exception(new PortableServer::POA::WrongPolicy);
        return nullptr;
    }
    return activate_object(servant, env);
}

} // namespace RTPortableServer

// ---- root POA and request-time resolution ------------------------------------------------------

CORBA::Object *wq_init_root_poa(const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    static std::mutex once;
    std::lock_guard<std::mutex> g(once);
    if (!wq_global_poa_manager)
        wq_global_poa_manager = new POAManager();
    if (!wq_root_poa) {
        POA *root = nullptr;
        POA::init(root, "RootPOA", wq_global_poa_manager);
        if (!root) {
            env.exception(new CORBA::OBJ_ADAPTER(1, CORBA::COMPLETED_NO, "RootPOA exists"));
            return nullptr;
        }
        wq_root_poa = root;
    }
    return POA::_duplicate(wq_root_poa);
}

void wq_PrivatePOA::wq_resolve_parent_poa(char const *name, POA *&poa, bool &inactive,
                                          const CORBA::EnvironmentWrapper &env)
{
    poa = nullptr;
    inactive = false;
    if (env.pending())
        return;
    size_t len = 0;
    if (name)
        while (name[len] && static_cast<unsigned char>(name[len]) != 0xB5)
            ++len;
    if (len == 0 || name[0] == '/' || name[len - 1] == '/') {
        env.exception(new CORBA::OBJECT_NOT_EXIST(1, CORBA::COMPLETED_NO,
                                                  "The POA Name Specified is not valid."));
        return;
    }
    std::string full(name, len);
    poa = wq_POARegistry::find(full.c_str());
    if (!poa) {
        // The parent is the path before the last '/', or the root POA.
        size_t slash = full.rfind('/');
        POA *parent = nullptr;
        bool parent_inactive = false;
        if (slash == std::string::npos)
            parent = POA::_duplicate(wq_root_poa);
        else
            wq_resolve_parent_poa(full.substr(0, slash).c_str(), parent, parent_inactive, env);
        if (env.pending() || !parent) {
            POA::_release(parent);
            return;
        }
        AdapterActivator *aa = parent->the_activator();
        if (!aa) {
            POA::_release(parent);
            env.exception(new CORBA::OBJECT_NOT_EXIST(
                1, CORBA::COMPLETED_NO, "POA name does not exist and there is no Adapter Activator."));
            return;
        }
        std::string child = slash == std::string::npos ? full : full.substr(slash + 1);
        bool made = false;
        try {
            made = aa->unknown_adapter(parent, child.c_str(), env);
        } catch (...) {
            wq_store_thrown(env);
        }
        aa->_remove_ref();
        POA::_release(parent);
        if (env.pending()) {
            if (CORBA::SystemException::_downcast(env.exception())) {
                env.clear();
                env.exception(new CORBA::OBJ_ADAPTER(9, CORBA::COMPLETED_NO, "Error from unknown_adapter()"));
            }
            return;
        }
        if (!made) {
            env.exception(new POA::AdapterNonExistent);
            return;
        }
        poa = wq_POARegistry::find(full.c_str());
        if (!poa) {
            env.exception(new CORBA::OBJECT_NOT_EXIST(
                1, CORBA::COMPLETED_NO, "The Adapter Activator failed to create the specified POA."));
            return;
        }
    }
    POAManager *m = poa->the_POAManager();
    inactive = !m || m->get_state() == POAManager::INACTIVE;
    CORBA::release(m);
}

ServantBase *wq_PrivatePOA::wq_non_map_poa_processing(POA *poa, const ObjectId &oid, char const *operation,
                                                      Cookie &cookie, wq_Interface *&itf,
                                                      ServantLocator *&locator, wq_TargetLocal *&target,
                                                      bool &default_servant,
                                                      const CORBA::EnvironmentWrapper &env)
{
    default_servant = false;
    if (poa->_request_processing != USE_DEFAULT_SERVANT && poa->_request_processing != USE_SERVANT_MANAGER) {
        env.exception(new CORBA::OBJECT_NOT_EXIST(3, CORBA::COMPLETED_NO, "Object Not Found"));
        return nullptr;
    }
    ServantBase *servant = poa->wq_default_servant();
    if (servant) {
        default_servant = true;
    } else if (poa->_servant_retention == NON_RETAIN) {
        if (ServantLocator *loc = poa->wq_servant_locator()) {
            try {
                servant = loc->preinvoke(oid, poa, operation, cookie, env);
            } catch (...) {
                wq_store_thrown(env);
            }
            if (env.pending()) {
                loc->_remove_ref();
                return nullptr;
            }
            locator = loc; // the caller releases it after postinvoke
            if (servant)
                servant->_add_ref();
        }
    } else if (ServantActivator *act = poa->wq_servant_activator()) {
        try {
            servant = act->incarnate(oid, poa, env);
        } catch (...) {
            wq_store_thrown(env);
        }
        act->_remove_ref();
        if (env.pending())
            return nullptr;
        if (servant) {
            poa->activate_object_with_id(oid, servant, env);
            env.clear(); // already active under that id: the servant still serves
            wq_ServantKey key(poa->wq_key_name(), oid.get_buffer(), oid.length());
            target = wq_ServantRegistry::instance()->find_ref(key);
            servant->_add_ref();
        }
    }
    if (!servant) {
        env.exception(new CORBA::OBJ_ADAPTER(10, CORBA::COMPLETED_NO,
                                             "failed to create using locator or activator"));
        return nullptr;
    }
    itf = servant->wq_interface();
    return servant;
}
