// The portable object adapter: POA policies and exceptions, the POA manager,
// the servant base, the POA itself with its registry, and the servant
// managers it calls when a request finds no active object.
#pragma once

#include "corba_except.h"
#include "corba_stream.h"
#include "wq_lock.h"
#include "corba_object.h"
#include "wq_interface.h"

#include <atomic>
#include <cstdint>

class wq_TargetLocal;
struct wq_ServerRequest;

// A private environment owned by its wrapper (the wrapper deletes it).
struct wq_PrivateEnv {
    CORBA::EnvironmentWrapper env{new CORBA::EnvironmentInfo(0)};
};

namespace PortableServer {

class POA;
class POAManager;
class ServantBase;

// An object id: an owned octet sequence.
class ObjectId {
public:
    ObjectId() = default;
    ObjectId(const void *bytes, uint32_t length);
    ObjectId(const ObjectId &o) : ObjectId(o.buf_, o.len_) {}
    ObjectId &operator=(const ObjectId &o);
    ~ObjectId() { delete[] buf_; }
    uint32_t length() const { return len_; }
    const unsigned char *get_buffer() const { return buf_; }
    bool equals(const void *bytes, uint32_t length) const;

private:
    unsigned char *buf_ = nullptr;
    uint32_t len_ = 0;
};

typedef void *Cookie;

// ---- policies -------------------------------------------------------------

enum : uint32_t {
    THREAD_POLICY_ID = 16,
    LIFESPAN_POLICY_ID = 17,
    ID_UNIQUENESS_POLICY_ID = 18,
    ID_ASSIGNMENT_POLICY_ID = 19,
    IMPLICIT_ACTIVATION_POLICY_ID = 20,
    SERVANT_RETENTION_POLICY_ID = 21,
    REQUEST_PROCESSING_POLICY_ID = 22,
};

enum ThreadPolicyValue : uint32_t { ORB_CTRL_MODEL = 0, SINGLE_THREAD_MODEL = 1, MAIN_THREAD_MODEL = 2 };
enum LifespanPolicyValue : uint32_t { TRANSIENT = 0, PERSISTENT = 1 };
enum IdUniquenessPolicyValue : uint32_t { UNIQUE_ID = 0, MULTIPLE_ID = 1 };
enum IdAssignmentPolicyValue : uint32_t { USER_ID = 0, SYSTEM_ID = 1 };
enum ImplicitActivationPolicyValue : uint32_t { IMPLICIT_ACTIVATION = 0, NO_IMPLICIT_ACTIVATION = 1 };
enum ServantRetentionPolicyValue : uint32_t { RETAIN = 0, NON_RETAIN = 1 };
enum RequestProcessingPolicyValue : uint32_t {
    USE_ACTIVE_OBJECT_MAP_ONLY = 0,
    USE_DEFAULT_SERVANT = 1,
    USE_SERVANT_MANAGER = 2
};

// A policy holding one value of type V; `Derived` is the concrete class.
template <class Derived, uint32_t Type, class V> class wq_ValuePolicy : public CORBA::Policy {
public:
    explicit wq_ValuePolicy(V v) : CORBA::Policy(Type), value_(v) {}
    V value() const { return value_; }
    CORBA::Policy *copy() const override { return new Derived(value_); }
    bool operator==(const CORBA::Policy &o) const override
    {
        if (!CORBA::Policy::operator==(o))
            return false;
        auto *d = dynamic_cast<const wq_ValuePolicy *>(&o);
        return d && d->value_ == value_;
    }

private:
    V value_;
};

#define WQ_PS_POLICY(NAME, TYPE, V)                                                         \
    class NAME : public wq_ValuePolicy<NAME, TYPE, V> {                                      \
    public:                                                                                  \
        explicit NAME(V v) : wq_ValuePolicy(v) {}                                            \
    };
WQ_PS_POLICY(ThreadPolicy, THREAD_POLICY_ID, ThreadPolicyValue)
WQ_PS_POLICY(LifespanPolicy, LIFESPAN_POLICY_ID, LifespanPolicyValue)
WQ_PS_POLICY(IdUniquenessPolicy, ID_UNIQUENESS_POLICY_ID, IdUniquenessPolicyValue)
WQ_PS_POLICY(IdAssignmentPolicy, ID_ASSIGNMENT_POLICY_ID, IdAssignmentPolicyValue)
WQ_PS_POLICY(ImplicitActivationPolicy, IMPLICIT_ACTIVATION_POLICY_ID, ImplicitActivationPolicyValue)
WQ_PS_POLICY(ServantRetentionPolicy, SERVANT_RETENTION_POLICY_ID, ServantRetentionPolicyValue)
WQ_PS_POLICY(RequestProcessingPolicy, REQUEST_PROCESSING_POLICY_ID, RequestProcessingPolicyValue)
#undef WQ_PS_POLICY

// ---- exceptions -----------------------------------------------------------

// A user exception without members, with its repository id and reader.
#define WQ_PS_EXCEPTION(NAME)                                                                \
    class NAME : public CORBA::wq_UserExceptionT<NAME> {                                     \
    public:                                                                                  \
        static char const *wq_IR_Name;                                                       \
        static CORBA::Exception *wq_read(CORBA::Stream &s);                                  \
    };

// A reference-counted application object (count 1 at construction,
// deleted by the release that brings it to 0).
class wq_Counted {
public:
    virtual ~wq_Counted() = default;
    void _add_ref() { count_.fetch_add(1, std::memory_order_relaxed); }
    void _remove_ref()
    {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }

private:
    std::atomic<int32_t> count_{1};
};

// The servant managers and the adapter activator: application objects that
// the POA calls when a request finds no active object or no POA.
class AdapterActivator : public wq_Counted {
public:
    // Creates the child POA `name` of `parent`; false when it did not.
    virtual bool unknown_adapter(POA *parent, char const *name,
                                 const CORBA::EnvironmentWrapper &env) = 0;
};

class ServantManager : public wq_Counted {};

class ServantActivator : public ServantManager {
public:
    virtual ServantBase *incarnate(const ObjectId &oid, POA *poa,
                                   const CORBA::EnvironmentWrapper &env) = 0;
    virtual void etherealize(const ObjectId &oid, POA *poa, ServantBase *servant,
                             bool cleanup_in_progress, bool remaining_activations,
                             const CORBA::EnvironmentWrapper &env) = 0;
};

class ServantLocator : public ServantManager {
public:
    virtual ServantBase *preinvoke(const ObjectId &oid, POA *poa, char const *operation,
                                   Cookie &cookie, const CORBA::EnvironmentWrapper &env) = 0;
    virtual void postinvoke(const ObjectId &oid, POA *poa, char const *operation, Cookie cookie,
                            ServantBase *servant, const CORBA::EnvironmentWrapper &env) = 0;
};

// The request-context interface; it has no operations of its own.
class Current : public CORBA::Current {
public:
    WQ_PS_EXCEPTION(NoContext)
    CORBA::Object *wq_find_ptr(char const *id) override;
    static char const *wq_IR_Name;
};

// ---- POA manager ----------------------------------------------------------

class POAManager : public CORBA::Object {
public:
    enum State : uint32_t { HOLDING = 0, ACTIVE = 1, DISCARDING = 2, INACTIVE = 3 };
    WQ_PS_EXCEPTION(AdapterInactive)

    explicit POAManager(CORBA::Target *t = nullptr) : CORBA::Object(t) {}
    POAManager(const POAManager &o) : CORBA::Object(), state_(o.state_.load()) {}

    // The state once it is not HOLDING, waiting while it is; INACTIVE at once
    // when an exception is pending.
    uint32_t block_while_holding(const CORBA::EnvironmentWrapper &env);
    // ACTIVE under the mutex, every waiter woken; AdapterInactive once the
    // manager is INACTIVE.
    void activate(const CORBA::EnvironmentWrapper &env = CORBA::EnvironmentWrapper());
    // INACTIVE under the mutex, every waiter woken (used at shutdown so that
    // no reader waits on a manager that will never become active).
    void wq_deactivate();
    State get_state() const { return static_cast<State>(state_.load(std::memory_order_acquire)); }

    char const *wq_ir_name() const override { return wq_IR_Name; }
    CORBA::Object *wq_find_ptr(char const *id) override;
    static char const *wq_IR_Name;

private:
    void set_state(uint32_t s);
    wq_Mutex mtx_;
    wq_CondVar cv_{mtx_};
    std::atomic<uint32_t> state_{HOLDING};
};

// ---- servants -------------------------------------------------------------

class ServantBase {
public:
    ServantBase();
    ServantBase(const ServantBase &);
    ServantBase &operator=(const ServantBase &) = delete;

    virtual POA *_default_POA(const CORBA::EnvironmentWrapper &env);
    virtual POA *_default_POA();
    virtual bool _is_a(char const *id);
    virtual bool _is_a(char const *id, const CORBA::EnvironmentWrapper &env);
    virtual bool _non_existent();
    virtual bool _non_existent(const CORBA::EnvironmentWrapper &env);
    virtual void _add_ref();
    virtual bool _remove_ref();
    virtual int32_t _refcount_value();
    virtual ~ServantBase();
    // Adds a reference unless the count has already reached 0 (the servant
    // is on its way out); false then.
    bool wq_try_add_ref();

    void wq_init_nia(void *impl, char const *repository_id);
    // As wq_init_nia; with `reg` and a RETAIN POA (null: the root POA) the
    // servant is activated under `object_name` (null: a generated id).
    void wq_init(void *impl, char const *repository_id, bool reg, char const *object_name,
                 POA *poa);
    void wq_init(const ServantBase &other);
    void _reg(void *impl, wq_Interface *itf);
    void *_find(char const *repository_id);
    bool wq_has_activations(POA *poa, bool lock);

    void *wq_impl() const { return impl_; }
    wq_Interface *wq_interface() const { return primary_; }

    // Built-in skeletons.
    static void wq_skel_is_a(wq_ServerRequest &req, void *servant,
                             const CORBA::EnvironmentWrapper &env);
    static void wq_skel_non_existent(wq_ServerRequest &req, void *servant,
                                     const CORBA::EnvironmentWrapper &env);
    static void wq_skel_repository_id(wq_ServerRequest &req, void *servant,
                                      const CORBA::EnvironmentWrapper &env);

    // Activation list (targets that incarnate this servant), changed under
    // wq_TargetLocal::_lists_lock.
    wq_TargetLocal *wq_activations = nullptr;
    wq_TargetLocal *wq_own_target = nullptr;

private:
    // Takes every target that incarnates the servant out of its lists and
    // clears their servant pointers (and the own target's).
    void leave_targets();
    struct Registration {
        void *impl;
        wq_Interface *itf;
        Registration *next;
    };
    Registration *regs_ = nullptr;
    std::atomic<int32_t> count_{1}; // below 0 once deleted
    void *impl_ = nullptr;
    wq_Interface *primary_ = nullptr;
};

// ---- the adapter ----------------------------------------------------------

class POA : public CORBA::Object {
public:
    WQ_PS_EXCEPTION(AdapterAlreadyExists)
    WQ_PS_EXCEPTION(AdapterNonExistent)
    WQ_PS_EXCEPTION(NoServant)
    WQ_PS_EXCEPTION(ObjectAlreadyActive)
    WQ_PS_EXCEPTION(ObjectNotActive)
    WQ_PS_EXCEPTION(ServantAlreadyActive)
    WQ_PS_EXCEPTION(ServantNotActive)
    WQ_PS_EXCEPTION(WrongAdapter)
    WQ_PS_EXCEPTION(WrongPolicy)
    class InvalidPolicy : public CORBA::wq_UserExceptionT<InvalidPolicy> {
    public:
        explicit InvalidPolicy(uint16_t i = 0) : index(i) {}
        void wq_write(CORBA::Stream &s) const override;
        static CORBA::Exception *wq_read(CORBA::Stream &s);
        static char const *wq_IR_Name;
        uint16_t index;
    };

    explicit POA(CORBA::Target *t);
    POA();
    POA(const POA &o);
    ~POA() override;

    // Makes and registers a root-style POA; `out` is null when a POA of that
    // key name exists. `out` shares the registry's reference.
    static void init(POA *&out, char const *name, POAManager *manager);

    char const *the_name() const { return name_; }
    POA *the_parent() const;
    POAManager *the_POAManager() const;
    // The state of the POA's manager once it is not HOLDING (waiting while
    // it is), as its block_while_holding; INACTIVE without a manager.
    uint32_t wq_manager_state(const CORBA::EnvironmentWrapper &env) const;
    AdapterActivator *the_activator() const;
    void the_activator(AdapterActivator *activator);
    ObjectId *id(const CORBA::EnvironmentWrapper &env) const;
    char const *wq_key_name() const { return key_name_; }
    // Same pointer, or the key name and `name` hold the same bytes up to the
    // first NUL or 0xB5 of each.
    bool operator==(char const *name) const;
    uint32_t next_object_id();
    bool wq_live() const { return live_.load(std::memory_order_acquire) != nullptr; }

    static POA *_duplicate(POA *poa, bool lock = true);
    static void _release(POA *poa, bool lock = true);
    static void lists_lock(const wq_ThreadEnvironment &tenv);
    static void lists_lock_read(const wq_ThreadEnvironment &tenv);
    static void lists_unlock(const wq_ThreadEnvironment &tenv);
    // First target of the root POA whose interface is `itf`; the caller
    // holds the target-lists lock.
    static wq_TargetLocal *legacy_itf_search(wq_Interface *itf);

    void destroy(bool etherealize, bool wait, const CORBA::EnvironmentWrapper &env);

    // Activation and references.
    ObjectId *activate_object(ServantBase *servant, const CORBA::EnvironmentWrapper &env);
    void activate_object_with_id(const ObjectId &oid, ServantBase *servant,
                                 const CORBA::EnvironmentWrapper &env);
    CORBA::Object *create_reference(char const *repository_id, const CORBA::EnvironmentWrapper &env);
    CORBA::Object *create_reference_with_id(const ObjectId &oid, char const *repository_id,
                                            const CORBA::EnvironmentWrapper &env);
    void deactivate_object(const ObjectId &oid, const CORBA::EnvironmentWrapper &env);
    void set_servant(ServantBase *servant, const CORBA::EnvironmentWrapper &env);
    ServantBase *get_servant(const CORBA::EnvironmentWrapper &env);
    ServantManager *get_servant_manager(const CORBA::EnvironmentWrapper &env);
    void set_servant_manager(ServantManager *manager, const CORBA::EnvironmentWrapper &env);

    void wq_deactivate_object(const ObjectId &oid, bool etherealize_ok,
                              const CORBA::EnvironmentWrapper &env);
    // Binds a new collocated target of the servant into this POA and the
    // servant registry (a null name: a generated id). 1 on success, 0 when
    // the id is taken (nothing is bound then).
    int init_bind_proxy(wq_Interface *itf, wq_TargetLocal *target, ServantBase *servant,
                        char const *object_name, uint32_t name_length);

    char const *wq_ir_name() const override { return wq_IR_Name; }
    bool _remove_ref() override;
    CORBA::Object *wq_find_ptr(char const *id) override;
    static char const *wq_IR_Name;

    // Policy values.
    uint32_t _id_uniqueness = UNIQUE_ID;
    uint32_t _id_assignment = SYSTEM_ID;
    uint32_t _servant_retention = RETAIN;
    uint32_t _implicit_activation = NO_IMPLICIT_ACTIVATION;
    uint32_t _request_processing = USE_ACTIVE_OBJECT_MAP_ONLY;
    uint32_t _priority_model = 0;
    int16_t _server_priority = -1;

    // Registry link (59 buckets), sibling and child links.
    POA *wq_reg_next = nullptr;
    POA *wq_reg_prev = nullptr;
    bool wq_registered = false;
    POA *wq_parent = nullptr;
    POA *wq_next_sibling = nullptr;
    POA *wq_first_child = nullptr;
    // Targets created in this POA (under wq_TargetLocal::_lists_lock).
    wq_TargetLocal *wq_targets = nullptr;

    // Default servant and servant managers, read by request processing.
    ServantBase *wq_default_servant(); // with a reference added
    ServantActivator *wq_servant_activator();
    ServantLocator *wq_servant_locator();

private:
    friend class wq_POARegistry;
    void set_names(char const *name);
    void release_managers();
    // Steps 2-4 of destroy for this POA alone (lists lock held).
    void destroy_self(bool etherealize, const CORBA::EnvironmentWrapper &env);
    static void deltree(POA *poa, bool etherealize, const CORBA::EnvironmentWrapper &env);
    CORBA::Object *reference_for(const ObjectId &oid, char const *repository_id,
                                 const CORBA::EnvironmentWrapper &env);
    // Binds `t` under the lists lock: 1 bound, 0 id taken, -1 the servant is
    // already active here (checked under UNIQUE_ID when `check_servant`).
    int bind_target(wq_TargetLocal *t, ServantBase *servant, char const *name, uint32_t length,
                    bool check_servant);
    bool generated_id(const ObjectId &oid);

    std::atomic<POA *> live_{nullptr};
    char *name_ = nullptr;
    char *key_name_ = nullptr;
    // Read without the mutex by every request (the state is the manager's
    // atomic). Set under the mutex; destroy clears it and keeps its
    // reference in retired_manager_ until the POA itself goes, so that a
    // request still holding the POA never reads a freed manager.
    std::atomic<POAManager *> manager_{nullptr};
    POAManager *retired_manager_ = nullptr;
    std::atomic<uint32_t> next_id_{0};
    wq_Mutex mtx_;
    ServantBase *default_servant_ = nullptr;
    AdapterActivator *adapter_activator_ = nullptr;
    ServantActivator *servant_activator_ = nullptr;
    ServantLocator *servant_locator_ = nullptr;
};

struct wq_POA_details {
    // Guards the POA registry's lists, the parent/child links and destroy.
    static wq_RWMutex _lists_lock;
};

#undef WQ_PS_EXCEPTION

} // namespace PortableServer

namespace RTPortableServer {

// The root POA's class: adds the operations that carry a server priority.
class POA : public PortableServer::POA {
public:
    POA() : PortableServer::POA(nullptr) {}
    CORBA::Object *create_reference_with_priority(char const *repository_id, int16_t priority,
                                                  const CORBA::EnvironmentWrapper &env);
    PortableServer::ObjectId *activate_object_with_priority(PortableServer::ServantBase *servant,
                                                            int16_t priority,
                                                            const CORBA::EnvironmentWrapper &env);
    CORBA::Object *create_reference_with_id_and_priority(const PortableServer::ObjectId &oid,
                                                         char const *repository_id, int16_t priority,
                                                         const CORBA::EnvironmentWrapper &env);
    void activate_object_with_id_and_priority(const PortableServer::ObjectId &oid,
                                              PortableServer::ServantBase *servant, int16_t priority,
                                              const CORBA::EnvironmentWrapper &env);

private:
    // False, with WrongPolicy raised, unless the POA's priority model is
    // server-declared.
    bool server_declared(const CORBA::EnvironmentWrapper &env);
};

} // namespace RTPortableServer

// The process-wide table from key name to POA (59 buckets, one-entry cache).
class wq_POARegistry {
public:
    static constexpr uint32_t kBuckets = 59;
    static uint32_t hash(char const *name);
    // The POA whose key name equals `name` (up to NUL or 0xB5), with a
    // reference added; null when absent.
    static PortableServer::POA *find(char const *name);
    // The same without a reference (callers hold the POA lists lock).
    static PortableServer::POA *NRC_find(char const *name);
    // Links a POA unless one of its key name is there; false when taken.
    // Caller holds the POA lists lock for writing.
    static bool insert(PortableServer::POA *poa);
    // Unlinks; caller holds the POA lists lock for writing.
    static void remove(PortableServer::POA *poa);
    // Releases every registered POA (process teardown).
    static void clear();
};

// Request-time resolution of POAs and servants for the dispatcher.
struct wq_PrivatePOA {
    // Resolves a POA name (a path of names separated by '/') to a POA with a
    // reference added, creating missing POAs through the parent's adapter
    // activator. `inactive` is set when the POA's manager is INACTIVE.
    static void wq_resolve_parent_poa(char const *name, PortableServer::POA *&poa, bool &inactive,
                                      const CORBA::EnvironmentWrapper &env);
    // The servant for a request that found no active object (a reference
    // added for the caller), or null with the exception pending.
    static PortableServer::ServantBase *
    wq_non_map_poa_processing(PortableServer::POA *poa, const PortableServer::ObjectId &oid,
                              char const *operation, PortableServer::Cookie &cookie,
                              wq_Interface *&itf, PortableServer::ServantLocator *&locator,
                              wq_TargetLocal *&target, bool &default_servant,
                              const CORBA::EnvironmentWrapper &env);
};

// Stores an exception thrown by application code in `env`: a CORBA exception
// pointer unchanged, a reference copied, a std::exception as UNKNOWN 4 with
// its text, anything else as UNKNOWN 4 "(unknown)". Call from a catch block.
void wq_store_thrown(const CORBA::EnvironmentWrapper &env);

// The process's root POA and its manager, made once by wq_init_root_poa.
extern PortableServer::POA *wq_root_poa;
extern PortableServer::POAManager *wq_global_poa_manager;
// Creates the manager and the root POA "RootPOA" once; returns the root POA
// with a reference added.
CORBA::Object *wq_init_root_poa(const CORBA::EnvironmentWrapper &env);
