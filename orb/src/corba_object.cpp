// Object references: counting, binding, policy overrides, the built-in
// operations, and the helpers that build references from keys and endpoints.
#include "corba_object.h"

#include "corba_orb.h"
#include "portable_server.h"
#include "wq_interface.h"
#include "wq_key.h"
#include "wq_mthread.h"
#include "wq_stub.h"
#include "wq_target.h"

#include <cxxabi.h>
#include <cstdio>
#include <cstring>
#include <exception>

char const *const wq_bogus_endpoint = "none://null";

PortableServer::ServantBase *(*wq_servant_hold)(CORBA::Target *, bool &) = nullptr;

wq_ServantHold::wq_ServantHold(CORBA::Target *t)
{
    if (t && t->collocated() && wq_servant_hold)
        servant_ = wq_servant_hold(t, gone_);
}

wq_ServantHold::~wq_ServantHold()
{
    if (servant_)
        servant_->_remove_ref();
}

namespace CORBA {

char const *Object::wq_IR_Name = "IDL:omg.org/CORBA/Object:1.0";
char const *Object::Helper::RootPOA_name = "RootPOA";
char const *LocalObject::wq_IR_Name = "IDL:omg.org/CORBA/LocalObject:1.0";
char const *PolicyManager::wq_IR_Name = "IDL:omg.org/CORBA/PolicyManager:1.0";
char const *Current::wq_IR_Name = "IDL:omg.org/CORBA/Current:1.0";

InterfaceDef::~InterfaceDef() = default;

Target::~Target()
{
    if (interface_)
        interface_->_remove_ref(true);
}

bool Target::_is_equivalent(Target &other, const EnvironmentWrapper &)
{
    return collocated_ == other.collocated_ && flag2_ == other.flag2_ && interface_ == other.interface_;
}

// ---- construction and counting ----------------------------------------------

Object::Object() = default;

Object::Object(Target *t) : target_(t) {}

Object::Object(const Object &o) : target_(o.target_)
{
    if (target_) {
        wq_ThreadEnvironment tenv;
        target_->_add_ref(true, tenv);
    }
}

Object &Object::operator=(const Object &o)
{
    if (this == &o)
        return *this;
    wq_ThreadEnvironment tenv;
    if (o.target_ != target_) {
        if (o.target_)
            o.target_->_add_ref(true, tenv);
        Target *old = target_;
        target_ = o.target_;
        if (old)
            old->_remove_ref(true, tenv);
        bound_.store(false);
    }
    overrides_ = o.overrides_;
    return *this;
}

Object::~Object()
{
    overrides_.clear();
    if (target_) {
        wq_ThreadEnvironment tenv;
        target_->_remove_ref(true, tenv);
        target_ = nullptr;
    }
}

char const *Object::wq_ir_name() const { return wq_IR_Name; }

Object *Object::wq_find_ptr(char const *id) { return IR::is_equal(wq_IR_Name, id) ? this : nullptr; }

namespace {
char const *const kAddRefText =
    "ERROR(Object::add_ref): \n     attempt to add or remove a reference on a previously deleted object\n";
}

void Object::_add_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1) {
            YW_P_noCancel hold; // reached from release paths and destructors
            std::fputs(kAddRefText, stderr);
            return;
        }
    } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel, std::memory_order_relaxed));
}

bool Object::wq_try_add_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    do {
        if (c < 1)
            return false;
    } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel, std::memory_order_relaxed));
    return true;
}

bool Object::_remove_ref()
{
    int32_t c = count_.load(std::memory_order_relaxed);
    int32_t next;
    do {
        if (c < 0) {
            YW_P_noCancel hold; // reached from release paths and destructors
            std::fputs(kAddRefText, stderr);
            return true;
        }
        if (c == 0) {
            YW_P_noCancel hold; // reached from release paths and destructors
            std::fputs("ERROR(CORBA::Object::remove_ref): \n     attempt to remove a previously deleted object\n",
                       stderr);
            return true;
        }
        // The last release marks the object deleted in the same step.
        next = c == 1 ? -100000 : c - 1;
    } while (!count_.compare_exchange_weak(c, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    if (c != 1)
        return false;
    // The deletion runs destructors (references and circuits let go): never
    // where a stop ends the thread.
    YW_P_noCancel hold;
    delete this;
    return true;
}

void Object::_release(Object *obj)
{
    if (!obj)
        return;
    // Made from destructors (an application's holder, the mapping's own):
    // never a place where a stop ends the thread, and the deletion it may
    // start (references and circuits let go) is never cut.
    YW_P_giveBackScope giveBack;
    obj->_remove_ref();
}

Object *Object::_narrow(Object *obj)
{
    wq_stop_point();
    return _duplicate(obj);
}

// Like a release, made from destructors and copies: no stop place.
Object *Object::_duplicate(Object *obj)
{
    if (obj)
        obj->_add_ref();
    return obj;
}

// ---- operations on a reference ------------------------------------------------

bool Object::_is_equivalent(Object *other, const EnvironmentWrapper &env)
{
    if (env.pending())
        return false;
    if (other == this)
        return true;
    if (!other || !target_ || !other->target_)
        return false;
    if (target_ == other->target_)
        return true;
    return target_->_is_equivalent(*other->target_, env);
}

void Object::_bind(const EnvironmentWrapper &env)
{
    if (bound_.load(std::memory_order_acquire) || env.pending() || !target_)
        return;
    wq_MutexLock l(bind_mtx_);
    if (bound_.load(std::memory_order_acquire))
        return;
    target_->_bind(*this, env);
    // A failed bind leaves the reference unbound, so that it is retried.
    if (!env.pending())
        bound_.store(true, std::memory_order_release);
}

void Object::_unfail(const EnvironmentWrapper &env)
{
    if (!env.pending() && target_ && bound_.load())
        target_->_unfail(env);
}

void Object::_fail(const EnvironmentWrapper &env)
{
    if (!env.pending() && target_ && bound_.load())
        target_->_fail(env);
}

Policy *Object::_get_policy(PolicyType type, const EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    return overrides_.get_policy(type, env);
}

Object *Object::_set_policy_overrides(const PolicyList &policies, SetOverrideType type,
                                      const EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    Object *n = _copy(env);
    if (!n || env.pending()) {
        release(n);
        return nullptr;
    }
    if (type == ADD_OVERRIDE)
        n->overrides_ = overrides_;
    for (uint32_t i = 0; i < policies.length(); ++i) {
        Policy *p = policies[i];
        if (!p || p->policy_type >= WQ_MAX_POLICY_TYPE)
            continue;
        n->overrides_.set_policy(p->copy(), env);
        if (env.pending()) {
            release(n);
            return nullptr;
        }
    }
    return n;
}

Object *Object::_copy(const EnvironmentWrapper &env)
{
    if (env.pending() || !target_)
        return nullptr;
    wq_ThreadEnvironment tenv;
    target_->_add_ref(true, tenv);
    wq_Interface *iface = target_->interface();
    if (!iface) {
        target_->_remove_ref(true, tenv);
        return nullptr;
    }
    if (ProxyFactory *f = iface->proxy_factory()) {
        wq_ServantHold servant(target_);
        return f->create(target_, servant.get(), env);
    }
    return new Object(target_);
}

Request *Object::_request(char const *operation, bool flag, const EnvironmentWrapper &env,
                          const wq_ThreadEnvironment &tenv)
{
    wq_stop_point(); // every stub call starts here
    if (env.pending())
        return nullptr;
    if (!target_) {
        env.exception(new OBJECT_NOT_EXIST(3, COMPLETED_NO));
        return nullptr;
    }
    if (target_->collocated()) {
        env.exception(new OBJECT_NOT_EXIST(4, COMPLETED_NO, "Attempted _request on local object."));
        return nullptr;
    }
    return target_->_request(this, operation, flag, env, tenv);
}

namespace {

// Converts what a collocated call threw into the environment. The end of a
// thread stopped inside the servant (its unwinding) passes on untouched.
template <class F> bool collocated_call(const EnvironmentWrapper &env, F f)
{
    try {
        return f();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (Exception &e) {
        env.exception(e);
    } catch (std::exception &e) {
        env.exception(new UNKNOWN(4, COMPLETED_MAYBE, e.what()));
    } catch (...) {
        env.exception(new UNKNOWN(4, COMPLETED_MAYBE, WQ_CPP_Native_Text));
    }
    return false;
}

// The remote branch of the built-ins: one boolean result.
bool remote_bool(Object *obj, char const *op, char const *arg, const EnvironmentWrapper &env)
{
    wq_ThreadEnvironment tenv;
    for (;;) {
        Request *r = obj->_request(op, false, env, tenv);
        if (!r || env.pending())
            return false;
        if (arg)
            r->request_stream() << Stream::from_string(arg);
        r->invoke(tenv);
        if (!env.pending()) {
            bool b = r->reply_stream().read_octet() != 0;
            release(r, tenv);
            return env.pending() ? false : b;
        }
        release(r, tenv);
        if (!wq_Stub::need_remarshal(nullptr, env))
            return false;
        env.clear();
    }
}

} // namespace

bool Object::_is_a(char const *id, const EnvironmentWrapper &env)
{
    if (env.pending() || !target_)
        return false;
    if (target_->collocated()) {
        wq_ServantHold servant(target_);
        if (servant.gone()) {
            env.exception(new OBJECT_NOT_EXIST(3, COMPLETED_NO, "Object Not Found"));
            return false;
        }
        if (servant.get())
            return collocated_call(env, [&] { return servant.get()->_is_a(id, env); });
        if (wq_Interface *i = target_->interface())
            return i->is_a(id);
        return false;
    }
    return remote_bool(this, "_is_a", id ? id : "", env);
}

bool Object::_non_existent(const EnvironmentWrapper &env)
{
    if (env.pending())
        return false;
    if (!target_)
        return true;
    if (target_->collocated()) {
        // A servant that is gone or going away: the object does not exist.
        wq_ServantHold servant(target_);
        if (!servant.get())
            return true;
        return collocated_call(env, [&] { return servant.get()->_non_existent(env); });
    }
    // A server whose object is gone may answer the question itself with
    // OBJECT_NOT_EXIST: that is the answer, not a failure.
    bool gone = remote_bool(this, "_non_existent", nullptr, env);
    if (OBJECT_NOT_EXIST::_downcast(env.exception())) {
        env.clear();
        return true;
    }
    return gone;
}

// ---- helpers ------------------------------------------------------------------

Object *Object::Helper::bind(char const *svr_class, char const *svr_instance, char const *poa_name,
                             const unsigned char *object_id, uint32_t id_length, char const *endpoints,
                             char const *repository_id, bool verify, bool locate, const EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    char const *my_class = wq_ORB::svr_class_name ? wq_ORB::svr_class_name : "";
    char const *my_inst = wq_ORB::svr_instance_name ? wq_ORB::svr_instance_name : "";
    bool empty = (!svr_class || !*svr_class) && (!svr_instance || !*svr_instance);
    bool mine = svr_class && svr_instance && std::strcmp(svr_class, my_class) == 0 &&
                std::strcmp(svr_instance, my_inst) == 0;
    bool local = empty || mine;
    if (local) {
        svr_class = my_class;
        svr_instance = my_inst;
        endpoints = wq_bogus_endpoint;
    }
    if (!endpoints || !*endpoints) {
        env.exception(new BAD_PARAM(7, COMPLETED_NO));
        return nullptr;
    }
    if (!poa_name || !*poa_name)
        poa_name = RootPOA_name;
    bool root = std::strcmp(poa_name, RootPOA_name) == 0;
    if (!repository_id || std::strncmp(repository_id, "IDL:", 4) != 0) {
        env.exception(new BAD_PARAM(1, COMPLETED_NO));
        return nullptr;
    }
    if (!object_id || id_length == 0) {
        object_id = reinterpret_cast<const unsigned char *>(repository_id);
        id_length = static_cast<uint32_t>(std::strlen(repository_id));
        if (!root) {
            env.exception(new BAD_PARAM(15, COMPLETED_NO));
            return nullptr;
        }
    } else if (id_length > 4 && std::memcmp(object_id, "IDL:", 4) == 0 && !root) {
        env.exception(new BAD_PARAM(15, COMPLETED_NO));
        return nullptr;
    }
    unsigned char key[256];
    uint32_t key_length = 0;
    wq_Key::to_object_key(key, WQ_MAX_KEY, key_length, svr_class, svr_instance, poa_name, object_id, id_length,
                          wq_Key::flag_bypass_daemons | wq_Key::flag_bypass_daemons_alt);
    if (key_length == 0) {
        env.exception(new BAD_PARAM(8, COMPLETED_NO));
        return nullptr;
    }
    Object *obj = foreign_bind(key, key_length, endpoints, repository_id, verify, locate, env);
    if (!obj || env.pending())
        return nullptr;
    if (local && obj->target_ && !obj->target_->collocated()) {
        release(obj);
        env.exception(new INV_OBJREF(3, COMPLETED_NO));
        return nullptr;
    }
    return obj;
}

Object *Object::Helper::foreign_bind(const unsigned char *key, uint32_t key_length, char const *endpoints,
                                     char const *repository_id, bool verify, bool locate,
                                     const EnvironmentWrapper &env)
{
    if (env.pending())
        return nullptr;
    if (!key || key_length == 0) {
        env.exception(new BAD_PARAM(9, COMPLETED_NO));
        return nullptr;
    }
    if (key_length > WQ_MAX_KEY) {
        env.exception(new BAD_PARAM(9, COMPLETED_NO, "object key longer than 255 bytes"));
        return nullptr;
    }
    if (!endpoints || !*endpoints) {
        env.exception(new BAD_PARAM(7, COMPLETED_NO));
        return nullptr;
    }
    if (!repository_id || !*repository_id) {
        env.exception(new BAD_PARAM(10, COMPLETED_NO));
        return nullptr;
    }
    alignas(8) unsigned char buf[4203];
    Object *obj = nullptr;
    {
        Stream s(buf, sizeof buf, 0, env);
        wq_write_ior(s, key, key_length, endpoints, repository_id, nullptr, false, env);
        if (env.pending())
            return nullptr;
        obj = s.read_object(repository_id);
    }
    if (env.pending()) {
        release(obj);
        return nullptr;
    }
    if (!obj) {
        env.exception(new OBJECT_NOT_EXIST(3, COMPLETED_NO, "Could not read IOR"));
        return nullptr;
    }
    Object *r = obj;
    if (locate) {
        bool located = false;
        r = verify_location(obj, located, env);
    } else if (verify) {
        r = verify_connection(obj, env);
    }
    if (!r) {
        // A failed check never hands out the reference as if it were sound.
        release(obj);
        if (!env.pending())
            env.exception(locate ? static_cast<Exception *>(new OBJECT_NOT_EXIST(3, COMPLETED_NO,
                                                                                 "object not found by locate"))
                                 : new COMM_FAILURE(3, COMPLETED_NO, "could not verify the connection"));
        return nullptr;
    }
    return r;
}

Object *Object::Helper::foreign_bind_iiop(const unsigned char *key, uint32_t key_length, char const *host,
                                          uint16_t port, char const *repository_id, bool verify, bool locate,
                                          const EnvironmentWrapper &env)
{
    char ep[300];
    std::snprintf(ep, sizeof ep, "tcp:%s:%hu", host ? host : "", port);
    return foreign_bind(key, key_length, ep, repository_id, verify, locate, env);
}

Object *Object::Helper::verify_connection(Object *obj, const EnvironmentWrapper &env)
{
    if (!obj || !obj->target_ || obj->target_->collocated())
        return obj;
    if (env.pending())
        return nullptr;
    bool ok = obj->target_->initiate_connection(obj, env);
    return ok && !env.pending() ? obj : nullptr;
}

Object *Object::Helper::verify_location(Object *obj, bool &located, const EnvironmentWrapper &env)
{
    located = false;
    if (!obj || !obj->target_ || obj->target_->collocated())
        return obj;
    if (env.pending())
        return nullptr;
    PolicyList none;
    bool ok = obj->target_->validate_connection(obj, none, located, env);
    return ok && !env.pending() ? obj : nullptr;
}

// ---- local objects, policy manager, proxy factories ------------------------------

LocalObject::~LocalObject() = default;

Object *LocalObject::wq_find_ptr(char const *id)
{
    if (IR::is_equal(wq_IR_Name, id))
        return this;
    return Object::wq_find_ptr(id);
}

char const *LocalObject::wq_ir_name() const { return wq_IR_Name; }

Object *Current::wq_find_ptr(char const *id)
{
    return IR::is_equal(wq_IR_Name, id) ? this : LocalObject::wq_find_ptr(id);
}

Object *PolicyManager::wq_find_ptr(char const *id)
{
    if (IR::is_equal(wq_IR_Name, id))
        return this;
    return LocalObject::wq_find_ptr(id);
}

Policy *PolicyManager::get_policy(PolicyType type, const EnvironmentWrapper &env)
{
    if (env.pending() || type >= WQ_MAX_POLICY_TYPE)
        return nullptr;
    wq_ThreadEnvironment tenv;
    wq_WriteLock l(wq_pr_mtx, tenv);
    return wq_policy_root.slots[type];
}

void PolicyManager::set_policy_overrides(const PolicyList &policies, SetOverrideType, const EnvironmentWrapper &env)
{
    if (env.pending())
        return;
    wq_ThreadEnvironment tenv;
    for (uint32_t i = 0; i < policies.length(); ++i) {
        Policy *p = policies[i];
        if (!p)
            continue;
        if (p->policy_type >= WQ_MAX_POLICY_TYPE) {
            std::fprintf(stderr, "Ulvenor(PolicyManager::set_policy_overrides) error: bad policy type = %d\n",
                         static_cast<int>(p->policy_type));
            continue;
        }
        Policy *c = p->copy();
        c->wq_next = nullptr;
        Policy *old;
        {
            wq_WriteLock l(wq_pr_mtx, tenv);
            old = wq_policy_root.slots[p->policy_type];
            wq_policy_root.slots[p->policy_type] = c;
        }
        delete old;
    }
}

ProxyFactory::ProxyFactory(char const *id, bool lock)
{
    wq_Interface *i = wq_interface_registry_get()->find_or_create(id, lock);
    if (i) {
        i->proxy_factory(this);
        i->_remove_ref(lock);
    }
}

ProxyFactory::~ProxyFactory() = default;

// ---- requests --------------------------------------------------------------------

Request::~Request() = default;

void Request::init(Object *obj, char const *operation, bool, const EnvironmentWrapper &env)
{
    obj_ = obj;
    operation_ = operation;
    env_ = &env;
    if (obj && !obj->wq_bound())
        obj->_bind(env);
}

void release(const Request *r, const wq_ThreadEnvironment &tenv)
{
    if (r)
        const_cast<Request *>(r)->_release(tenv);
}

} // namespace CORBA

// ---- ForwardRequest ----------------------------------------------------------------

namespace PortableServer {

char const *ForwardRequest::wq_IR_Name = "IDL:omg.org/PortableServer/ForwardRequest:1.0";

ForwardRequest::ForwardRequest(const ForwardRequest &o) : CORBA::UserException(o), forward_reference(o.forward_reference)
{
    if (forward_reference)
        forward_reference->_add_ref();
}

ForwardRequest &ForwardRequest::operator=(const ForwardRequest &o)
{
    if (this != &o) {
        if (o.forward_reference)
            o.forward_reference->_add_ref();
        CORBA::release(forward_reference);
        forward_reference = o.forward_reference;
    }
    return *this;
}

ForwardRequest::~ForwardRequest()
{
    YW_P_noCancel hold; // a destructor: the release never acts on a stop here
    CORBA::release(forward_reference);
}

void ForwardRequest::_raise() const
{
    _wq_protect();
    throw ForwardRequest(*this);
}

CORBA::Exception *ForwardRequest::wq_find_ptr(char const *id)
{
    if (CORBA::IR::is_equal(wq_IR_Name, id))
        return this;
    return CORBA::UserException::wq_find_ptr(id);
}

char const *ForwardRequest::wq_ir_name() const { return wq_IR_Name; }

CORBA::Exception *ForwardRequest::wq_duplicate() const { return new ForwardRequest(*this); }

void ForwardRequest::wq_write(CORBA::Stream &s) const { s.write_object(forward_reference); }

CORBA::Exception *ForwardRequest::wq_read(CORBA::Stream &s)
{
    CORBA::Object *o = s.read_object(CORBA::Object::wq_IR_Name);
    return new ForwardRequest(o);
}

ForwardRequest *ForwardRequest::_downcast(CORBA::Exception *e)
{
    return e ? static_cast<ForwardRequest *>(e->wq_find_ptr(wq_IR_Name)) : nullptr;
}

} // namespace PortableServer

bool wq_Stub::need_remarshal(CORBA::Request *, const CORBA::EnvironmentWrapper &env)
{
    return PortableServer::ForwardRequest::_downcast(env.exception()) != nullptr;
}

namespace {
struct ForwardRequestStub : wq_Stub {
    ForwardRequestStub()
    {
        reg(PortableServer::ForwardRequest::wq_IR_Name, PortableServer::ForwardRequest::wq_read, false);
    }
    ~ForwardRequestStub() { regu(PortableServer::ForwardRequest::wq_IR_Name, false); }
} forward_request_stub;

// The built-in operations of every reference.
struct ObjectStub : wq_Stub {
    ObjectStub()
    {
        reg(0u, CORBA::PARAM_IN, CORBA::wq_tc_string, 1u, "_is_a", CORBA::Object::wq_IR_Name);
        reg(CORBA::wq_tc_boolean, 1u, "_is_a", CORBA::Object::wq_IR_Name);
        reg(CORBA::wq_tc_boolean, 0u, "_non_existent", CORBA::Object::wq_IR_Name);
    }
} corba_object_IDL_Stub;
} // namespace
