// Collocated targets and the servant registry.
#include "wq_servant_registry.h"
#include "wq_key.h"
#include "corba_orb.h"
#include "wq_mthread.h"

#include <cstdio>
#include <cstring>
#include <vector>

constinit wq_RWMutex wq_TargetLocal::_lists_lock;

// ---- collocated targets -----------------------------------------------------------

wq_TargetLocal::wq_TargetLocal(PortableServer::ServantBase *s, wq_Interface *itf, bool by_servant)
    : servant(s), registered_by_servant(by_servant ? 1 : 0), strong(by_servant ? 0 : 1)
{
    wq_interface(itf);
    collocated_ = true;
    if (servant && !by_servant)
        servant->_add_ref();
}

wq_TargetLocal::~wq_TargetLocal()
{
    CORBA::string_free(own_key_name_);
    if (servant && strong && !registered_by_servant)
        servant->_remove_ref();
}

void wq_TargetLocal::_add_ref(bool, const wq_ThreadEnvironment &)
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1) {
            YW_P_noCancel hold; // reached from release paths and destructors
            std::fprintf(stderr, "Ulvenor ERROR(wq_TargetLocal::add_ref): attempt to add a reference "
                                 "on a previously deleted object\n");
            return;
        }
    } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel));
}

void wq_TargetLocal::_remove_ref(bool, const wq_ThreadEnvironment &)
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1) {
            YW_P_noCancel hold; // reached from release paths and destructors
            std::fprintf(stderr, "Ulvenor ERROR(wq_TargetLocal::remove_ref): attempt to remove a "
                                 "previously deleted object\n");
            return;
        }
    } while (!count_.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel));
    if (c != 1)
        return;
    // Lists hold references, so a target whose count reaches 0 is in none.
    count_.store(-100000, std::memory_order_release);
    delete this;
}

void wq_TargetLocal::wq_interface(wq_Interface *itf)
{
    if (itf == interface_)
        return;
    if (itf)
        itf->_add_ref(true);
    if (interface_)
        interface_->_remove_ref(true);
    interface_ = itf;
}

CORBA::Request *wq_TargetLocal::_request(CORBA::Object *, char const *, bool,
                                         const CORBA::EnvironmentWrapper &env,
                                         const wq_ThreadEnvironment &) const
{
    env.exception(new CORBA::OBJECT_NOT_EXIST(4, CORBA::COMPLETED_NO, "Attempted _request on local object."));
    return nullptr;
}

void wq_TargetLocal::write(CORBA::Stream &s, void *, const CORBA::EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    unsigned char key[256];
    uint32_t len = 0;
    char const *cls = wq_ORB::svr_class_name ? wq_ORB::svr_class_name : "";
    char const *inst = wq_ORB::svr_instance_name ? wq_ORB::svr_instance_name : "";
    wq_Key::to_object_key(key, sizeof key, len, cls, inst,
                          key_poa_name, key_id, key_id_length,
                          wq_Key::flag_bypass_daemons | wq_Key::flag_bypass_daemons_alt);
    if (len == 0) {
        env.exception(new CORBA::BAD_PARAM(8, CORBA::COMPLETED_NO));
        return;
    }
    char const *eps = wq_published_endpoints();
    wq_write_ior(s, key, len, eps && *eps ? eps : wq_bogus_endpoint,
                 interface_ ? interface_->id() : CORBA::Object::wq_IR_Name, nullptr, true, env);
}

void wq_TargetLocal::forward_to(CORBA::Stream &, const CORBA::EnvironmentWrapper &) {}
bool wq_TargetLocal::initiate_connection(CORBA::Object *, const CORBA::EnvironmentWrapper &) { return true; }
bool wq_TargetLocal::validate_connection(CORBA::Object *, CORBA::PolicyList &, bool &located,
                                         const CORBA::EnvironmentWrapper &)
{
    located = true;
    return true;
}
void wq_TargetLocal::_bind(CORBA::Object &, const CORBA::EnvironmentWrapper &) {}
void wq_TargetLocal::_unfail(const CORBA::EnvironmentWrapper &) {}
void wq_TargetLocal::_fail(const CORBA::EnvironmentWrapper &) {}

void wq_TargetLocal::wq_set_identity(PortableServer::POA *p, const void *id, uint32_t id_length)
{
    poa = p;
    object_id = PortableServer::ObjectId(id, id_length);
    CORBA::string_free(own_key_name_);
    own_key_name_ = CORBA::string_dup(p && p->wq_key_name() ? p->wq_key_name() : "");
    key_poa_name = own_key_name_;
    key_id = object_id.get_buffer();
    key_id_length = object_id.length();
}

namespace {

// Links and unlinks of one of a target's lists (caller holds _lists_lock).
template <wq_TargetLocal *wq_TargetLocal::*Next, wq_TargetLocal *wq_TargetLocal::*Prev, bool wq_TargetLocal::*In>
void link_at_head(wq_TargetLocal *t, wq_TargetLocal *&head)
{
    t->*Prev = nullptr;
    t->*Next = head;
    if (head)
        head->*Prev = t;
    head = t;
    t->*In = true;
}

template <wq_TargetLocal *wq_TargetLocal::*Next, wq_TargetLocal *wq_TargetLocal::*Prev, bool wq_TargetLocal::*In>
void unlink_from(wq_TargetLocal *t, wq_TargetLocal **head)
{
    if (t->*Prev)
        (t->*Prev)->*Next = t->*Next;
    else if (head)
        *head = t->*Next;
    if (t->*Next)
        (t->*Next)->*Prev = t->*Prev;
    t->*Next = t->*Prev = nullptr;
    t->*In = false;
}

} // namespace

void wq_TargetLocal::link_poa()
{
    if (!in_poa && poa)
        link_at_head<&wq_TargetLocal::poa_next, &wq_TargetLocal::poa_prev, &wq_TargetLocal::in_poa>(this,
                                                                                                 poa->wq_targets);
}

void wq_TargetLocal::unlink_poa()
{
    if (in_poa)
        unlink_from<&wq_TargetLocal::poa_next, &wq_TargetLocal::poa_prev, &wq_TargetLocal::in_poa>(
            this, poa ? &poa->wq_targets : nullptr);
}

void wq_TargetLocal::link_activation()
{
    if (!in_act && servant)
        link_at_head<&wq_TargetLocal::act_next, &wq_TargetLocal::act_prev, &wq_TargetLocal::in_act>(
            this, servant->wq_activations);
}

void wq_TargetLocal::unlink_activation()
{
    if (in_act)
        unlink_from<&wq_TargetLocal::act_next, &wq_TargetLocal::act_prev, &wq_TargetLocal::in_act>(
            this, servant ? &servant->wq_activations : nullptr);
}

char const *wq_published_endpoints() { return wq_ORB::_list_of_published_endpoints; }

// ---- servant targets from IORs --------------------------------------------------------

CORBA::Target *wq_TargetServantFactory::create(CORBA::Stream &s, wq_Interface *iface,
                                               const CORBA::EnvironmentWrapper &env)
{
    wq_IORInfo info;
    if (!wq_read_profiles(s, info, env))
        return nullptr;
    wq_Key k(info.key.data(), static_cast<uint32_t>(info.key.size()));
    k.parse();
    if (!k.poa_start || !k.id_start) {
        s.fail(new CORBA::INV_OBJREF(10, CORBA::COMPLETED_NO));
        return nullptr;
    }
    std::string poa(reinterpret_cast<char const *>(info.key.data()) + k.poa_start, k.id_start - 1 - k.poa_start);
    const unsigned char *id = info.key.data() + k.id_start;
    wq_ServantKey key(poa.c_str(), id, k.id_length);
    // The active object's own target when there is one; otherwise a target
    // that names the object without a servant.
    if (wq_TargetLocal *t = wq_ServantRegistry::instance()->find_ref(key))
        return t;
    auto *t = new wq_TargetLocal(nullptr, iface, false);
    PortableServer::POA *p = wq_POARegistry::find(poa.c_str());
    t->wq_set_identity(p, id, k.id_length);
    if (!p) {
        CORBA::string_free(t->own_key_name_);
        t->own_key_name_ = CORBA::string_dup(poa.c_str());
        t->key_poa_name = t->own_key_name_;
    }
    PortableServer::POA::_release(p);
    t->active = 0;
    return t;
}

namespace {

// The servant of a collocated target, held for a call made through a
// reference (the lock is only held for the look-up).
PortableServer::ServantBase *hold_servant(CORBA::Target *t, bool &gone)
{
    gone = false;
    auto *local = dynamic_cast<wq_TargetLocal *>(t);
    if (!local)
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_ReadLock g(wq_TargetLocal::_lists_lock, tenv);
    return local->servant_ref(gone);
}

wq_TargetFactory *make_servant_factory() { return new wq_TargetServantFactory(); }

// Installs the collocated paths of references; when the GIOP factories were
// made before this ran, the servant factory is made here.
struct ServantHooks {
    ServantHooks()
    {
        wq_servant_hold = &hold_servant;
        wq_make_servant_factory = &make_servant_factory;
        if (wq_Protocols::_giop_initialized && !wq_target_servant_factory)
            wq_target_servant_factory = make_servant_factory();
    }
} g_servant_hooks;

} // namespace

wq_TargetDrops::~wq_TargetDrops()
{
    wq_ThreadEnvironment tenv;
    for (wq_TargetLocal *t : list)
        t->_remove_ref(true, tenv);
}

PortableServer::ServantBase *wq_TargetLocal::servant_ref(bool &gone) const
{
    gone = servant && !servant->wq_try_add_ref();
    return gone ? nullptr : servant;
}

void wq_TargetLocal::retire(wq_TargetDrops &drops)
{
    if (wq_ServantRegistry::instance()->unlink(this))
        drops.list.push_back(this);
    if (in_poa) {
        unlink_poa();
        drops.list.push_back(this);
    }
    unlink_activation();
    active = 0;
}

// ---- keys ---------------------------------------------------------------------------

namespace {

inline bool is_end(unsigned char c) { return c == 0 || c == 0xB5; }

} // namespace

bool wq_poa_name_equal(char const *a, char const *b)
{
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    if (std::strcmp(a, b) == 0)
        return true;
    auto pa = reinterpret_cast<unsigned char const *>(a);
    auto pb = reinterpret_cast<unsigned char const *>(b);
    for (;; ++pa, ++pb) {
        unsigned char a = *pa, b = *pb;
        if (a != b)
            return is_end(a) && is_end(b);
        if (is_end(a))
            return true;
    }
}

void wq_ServantKey::calc_hash()
{
    uint32_t h1 = 0, h2 = 0;
    if (poa_key_name)
        for (auto p = reinterpret_cast<unsigned char const *>(poa_key_name); !is_end(*p); ++p)
            h1 = (h1 << 5) ^ *p;
    for (uint32_t i = 0; i < object_id_length; ++i)
        h2 = (h2 << 5) ^ object_id[i];
    hash = h1 ^ h2;
    hash_valid = 1;
}

// ---- registry -----------------------------------------------------------------------

wq_ServantRegistry::wq_ServantRegistry() : buckets_(new wq_TargetLocal *[kBuckets]()) {}
wq_ServantRegistry::~wq_ServantRegistry() { delete[] buckets_; }

namespace {
std::atomic<wq_ServantRegistry *> g_servant_registry{nullptr};
} // namespace

wq_ServantRegistry *wq_ServantRegistry::instance()
{
    wq_ServantRegistry *r = g_servant_registry.load(std::memory_order_acquire);
    if (r)
        return r;
    auto *n = new wq_ServantRegistry;
    if (g_servant_registry.compare_exchange_strong(r, n, std::memory_order_acq_rel))
        return n;
    delete n;
    return r;
}

void wq_ServantRegistry::teardown()
{
    wq_ServantRegistry *r = g_servant_registry.load(std::memory_order_acquire);
    if (!r)
        return;
    r->clear();
    g_servant_registry.store(nullptr, std::memory_order_release);
    delete r;
}

bool wq_ServantRegistry::matches(const wq_TargetLocal *t, const wq_ServantKey &key)
{
    return t->key_id_length == key.object_id_length &&
           (key.object_id_length == 0 || std::memcmp(t->key_id, key.object_id, key.object_id_length) == 0) &&
           wq_poa_name_equal(t->key_poa_name, key.poa_key_name);
}

wq_TargetLocal *wq_ServantRegistry::search(wq_ServantKey &key)
{
    wq_TargetLocal *c = cache_.load(std::memory_order_acquire);
    if (c && matches(c, key))
        return c;
    for (wq_TargetLocal *t = buckets_[key.get_hash() % kBuckets]; t; t = t->reg_next)
        if (matches(t, key)) {
            // Searches under the read side store it too; an entry is
            // unlinked (and the cache cleared) only under the write side.
            cache_.store(t, std::memory_order_release);
            return t;
        }
    return nullptr;
}

wq_TargetLocal *wq_ServantRegistry::NI_find(wq_ServantKey &key, bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        wq_TargetLocal::_lists_lock.lock_write(tenv);
    wq_TargetLocal *t = search(key);
    if (lock)
        wq_TargetLocal::_lists_lock.unlock(tenv);
    return t;
}

wq_TargetLocal *wq_ServantRegistry::find_ref(wq_ServantKey &key)
{
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
    wq_TargetLocal *t = search(key);
    if (t)
        t->_add_ref(false, tenv);
    return t;
}

bool wq_ServantRegistry::bind(wq_TargetLocal *target, bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        wq_TargetLocal::_lists_lock.lock_write(tenv);
    wq_ServantKey key(target->key_poa_name, target->key_id, target->key_id_length);
    bool ok = !target->in_reg && !search(key);
    if (ok) {
        link_at_head<&wq_TargetLocal::reg_next, &wq_TargetLocal::reg_prev, &wq_TargetLocal::in_reg>(
            target, buckets_[key.get_hash() % kBuckets]);
        target->_add_ref(false, tenv);
        cache_.store(target, std::memory_order_release);
        ++size_;
    }
    if (lock)
        wq_TargetLocal::_lists_lock.unlock(tenv);
    return ok;
}

bool wq_ServantRegistry::unlink(wq_TargetLocal *target)
{
    if (!target->in_reg)
        return false;
    wq_ServantKey key(target->key_poa_name, target->key_id, target->key_id_length);
    unlink_from<&wq_TargetLocal::reg_next, &wq_TargetLocal::reg_prev, &wq_TargetLocal::in_reg>(
        target, &buckets_[key.get_hash() % kBuckets]);
    wq_TargetLocal *c = target;
    cache_.compare_exchange_strong(c, nullptr, std::memory_order_acq_rel);
    --size_;
    return true;
}

bool wq_ServantRegistry::unbind(wq_TargetLocal *target, bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        wq_TargetLocal::_lists_lock.lock_write(tenv);
    bool was = unlink(target);
    if (lock)
        wq_TargetLocal::_lists_lock.unlock(tenv);
    if (was)
        target->_remove_ref(lock, tenv);
    return was;
}

void wq_ServantRegistry::convert_strength(wq_TargetLocal *target, bool strong, bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        wq_TargetLocal::_lists_lock.lock_write(tenv);
    target->strong = strong ? 1 : 0;
    if (lock)
        wq_TargetLocal::_lists_lock.unlock(tenv);
}

void wq_ServantRegistry::clear_cache(wq_ServantKey &key, bool lock)
{
    wq_ThreadEnvironment tenv;
    if (lock)
        wq_TargetLocal::_lists_lock.lock_write(tenv);
    wq_TargetLocal *c = cache_.load(std::memory_order_acquire);
    if (c && matches(c, key))
        cache_.store(nullptr, std::memory_order_release);
    if (lock)
        wq_TargetLocal::_lists_lock.unlock(tenv);
}

void wq_ServantRegistry::clear()
{
    wq_TargetDrops drops;
    wq_ThreadEnvironment tenv;
    wq_WriteLock g(wq_TargetLocal::_lists_lock, tenv);
    for (uint32_t b = 0; b < kBuckets; ++b)
        while (wq_TargetLocal *t = buckets_[b]) {
            unlink(t);
            drops.list.push_back(t);
        }
}
