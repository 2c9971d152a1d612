// Object references: CORBA::Object, a counted handle on a CORBA::Target that
// knows how to reach the object, the request a stub fills and invokes, the
// local-object base, proxy factories and the helpers that build references
// from an object key and an endpoint list.
#pragma once

#include <atomic>
#include <cstdint>

#include "corba_env.h"
#include "corba_except.h"
#include "corba_policy.h"
#include "corba_stream.h"
#include "wq_lock.h"
#include "wq_thread.h"

class wq_Interface;
class wq_ThreadEnvironment;

namespace PortableServer {
class ServantBase;
}

namespace CORBA {

class Object;
class Request;

class InterfaceDef {
public:
    virtual ~InterfaceDef();
};

class Target {
public:
    virtual ~Target();
    virtual bool _is_equivalent(Target &other, const EnvironmentWrapper &env);
    virtual void _add_ref(bool lock, const wq_ThreadEnvironment &tenv) = 0;
    virtual void _remove_ref(bool lock, const wq_ThreadEnvironment &tenv) = 0;
    virtual Request *_request(Object *obj, char const *operation, bool flag,
                              const EnvironmentWrapper &env, const wq_ThreadEnvironment &tenv) const = 0;
    // Writes the reference's IOR.
    virtual void write(Stream &s, void *details, const EnvironmentWrapper &env) = 0;
    // Takes the forward reference of a LOCATION_FORWARD reply from `s`.
    virtual void forward_to(Stream &s, const EnvironmentWrapper &env) = 0;
    virtual bool initiate_connection(Object *obj, const EnvironmentWrapper &env) = 0;
    virtual bool validate_connection(Object *obj, PolicyList &policies, bool &located,
                                     const EnvironmentWrapper &env) = 0;
    virtual void _bind(Object &obj, const EnvironmentWrapper &env) = 0;
    virtual void _unfail(const EnvironmentWrapper &env) = 0;
    virtual void _fail(const EnvironmentWrapper &env) = 0;
    virtual void *wq_details() const = 0;
    virtual void *wq_releasor() const = 0;

    wq_Interface *interface() const { return interface_; }
    bool collocated() const { return collocated_; }

protected:
    Target() = default;
    wq_Interface *interface_ = nullptr; // one reference held
    bool collocated_ = false;
    bool flag2_ = false;
};

class Object {
public:
    Object();
    // Takes over the caller's reference to t.
    explicit Object(Target *t);
    Object(const Object &o);
    Object &operator=(const Object &o);
    virtual ~Object();
    virtual char const *wq_ir_name() const;
    // True when deleted or refused.
    virtual bool _remove_ref();
    virtual Object *wq_find_ptr(char const *id);

    void _add_ref();
    // Adds a reference unless the last release has begun; false then.
    bool wq_try_add_ref();
    static void _release(Object *obj);
    static Object *_narrow(Object *obj);
    static Object *_duplicate(Object *obj);
    static Object *_nil() { return nullptr; }

    wq_PolicyNode &wq_details() { return overrides_; }
    Target *wq_target() const { return target_; }
    bool wq_bound() const { return bound_.load(std::memory_order_acquire); }

    bool _is_equivalent(Object *other, const EnvironmentWrapper &env = EnvironmentWrapper());
    void _bind(const EnvironmentWrapper &env = EnvironmentWrapper());
    void _unfail(const EnvironmentWrapper &env = EnvironmentWrapper());
    void _fail(const EnvironmentWrapper &env = EnvironmentWrapper());
    Policy *_get_policy(PolicyType type, const EnvironmentWrapper &env = EnvironmentWrapper());
    Object *_set_policy_overrides(const PolicyList &policies, SetOverrideType type,
                                  const EnvironmentWrapper &env = EnvironmentWrapper());
    Object *_copy(const EnvironmentWrapper &env = EnvironmentWrapper());
    Request *_request(char const *operation, bool flag, const EnvironmentWrapper &env,
                      const wq_ThreadEnvironment &tenv);
    bool _is_a(char const *id, const EnvironmentWrapper &env = EnvironmentWrapper());
    bool _non_existent(const EnvironmentWrapper &env = EnvironmentWrapper());

    int32_t wq_refcount() const { return count_.load(std::memory_order_relaxed); }

    static char const *wq_IR_Name;

    class Helper {
    public:
        static char const *RootPOA_name;
        static Object *bind(char const *svr_class, char const *svr_instance, char const *poa_name,
                            const unsigned char *object_id, uint32_t id_length, char const *endpoints,
                            char const *repository_id, bool verify, bool locate,
                            const EnvironmentWrapper &env = EnvironmentWrapper());
        static Object *foreign_bind(const unsigned char *key, uint32_t key_length, char const *endpoints,
                                    char const *repository_id, bool verify, bool locate,
                                    const EnvironmentWrapper &env = EnvironmentWrapper());
        static Object *foreign_bind_iiop(const unsigned char *key, uint32_t key_length, char const *host,
                                         uint16_t port, char const *repository_id, bool verify,
                                         bool locate, const EnvironmentWrapper &env = EnvironmentWrapper());
        static Object *verify_connection(Object *obj, const EnvironmentWrapper &env);
        static Object *verify_location(Object *obj, bool &located, const EnvironmentWrapper &env);
    };

protected:
    Target *target_ = nullptr;
    wq_Mutex bind_mtx_;
    std::atomic<int32_t> count_{1}; // below 0 once deleted
    wq_PolicyNode overrides_;
    std::atomic<bool> bound_{false};
};

inline void release(const Object *obj) { Object::_release(const_cast<Object *>(obj)); }
inline bool is_nil(const Object *obj) { return obj == nullptr; }

// Base of locally implemented objects.
class LocalObject : public virtual Object {
public:
    LocalObject() = default;
    ~LocalObject() override;
    Object *wq_find_ptr(char const *id) override;
    char const *wq_ir_name() const override;
    static char const *wq_IR_Name;
};

// Base of the per-thread context objects (the POA's current among them).
class Current : public LocalObject {
public:
    Object *wq_find_ptr(char const *id) override;
    static char const *wq_IR_Name;
};

class PolicyManager : public LocalObject {
public:
    Object *wq_find_ptr(char const *id) override;
    Policy *get_policy(PolicyType type, const EnvironmentWrapper &env = EnvironmentWrapper());
    void set_policy_overrides(const PolicyList &policies, SetOverrideType type,
                              const EnvironmentWrapper &env = EnvironmentWrapper());
    static char const *wq_IR_Name;
};

// Builds the typed reference of one interface for a target.
class ProxyFactory {
public:
    // Stores the factory in the interface entry of `id` (the registry is
    // created when there is none).
    ProxyFactory(char const *id, bool lock);
    virtual ~ProxyFactory();
    virtual Object *create(Target *target, PortableServer::ServantBase *servant,
                           const EnvironmentWrapper &env) = 0;
};

// A request a stub fills (request stream) and invokes (reply stream).
class Request {
public:
    virtual ~Request();
    // Sends the request and waits for the reply, left in the reply stream;
    // failures go into the environment given to init.
    virtual void invoke(const wq_ThreadEnvironment &tenv) = 0;
    virtual void send_oneway() = 0;
    virtual void _release(const wq_ThreadEnvironment &tenv) = 0;

    Stream &request_stream() { return *req_; }
    Stream &reply_stream() { return *rep_; }

    // Stores the reference and operation and binds the reference when it is
    // not bound yet.
    void init(Object *obj, char const *operation, bool flag, const EnvironmentWrapper &env);

protected:
    Request() = default;
    Object *obj_ = nullptr;
    char const *operation_ = nullptr;
    const EnvironmentWrapper *env_ = nullptr;
    Stream *req_ = nullptr;
    Stream *rep_ = nullptr;
};

void release(const Request *r, const wq_ThreadEnvironment &tenv = wq_ThreadEnvironment());
inline bool is_nil(const Request *r) { return r == nullptr; }

} // namespace CORBA

// Takes a reference on the servant of a collocated target under the
// target-lists lock; installed by the object adapter. Null when the target
// has none, with `gone` set when it has one whose last release has begun.
extern PortableServer::ServantBase *(*wq_servant_hold)(CORBA::Target *, bool &gone);

// Holds the servant of a collocated target for the length of a call made
// through a reference, so that another thread's last release cannot free it
// meanwhile. Holds nothing for a remote target.
class wq_ServantHold {
public:
    explicit wq_ServantHold(CORBA::Target *t);
    ~wq_ServantHold();
    wq_ServantHold(const wq_ServantHold &) = delete;
    wq_ServantHold &operator=(const wq_ServantHold &) = delete;
    PortableServer::ServantBase *get() const { return servant_; }
    // The target's servant is on its way out: the object no longer exists.
    bool gone() const { return gone_; }

private:
    PortableServer::ServantBase *servant_ = nullptr;
    bool gone_ = false;
};

// The local endpoint that names this process's own references.
extern char const *const wq_bogus_endpoint;
// How many LOCATION_FORWARD replies one call may follow before IMP_LIMIT.
constexpr uint32_t WQ_MAX_FORWARDS = 16;

namespace PortableServer {
// Redirects a client: the forward target (one reference held).
class ForwardRequest : public CORBA::UserException {
public:
    explicit ForwardRequest(CORBA::Object *forward = nullptr) : forward_reference(forward) {}
    ForwardRequest(const ForwardRequest &o);
    ForwardRequest &operator=(const ForwardRequest &o);
    ~ForwardRequest() override;
    using CORBA::Exception::_raise;
    void _raise() const override;
    CORBA::Exception *wq_find_ptr(char const *id) override;
    char const *wq_ir_name() const override;
    CORBA::Exception *wq_duplicate() const override;
    void wq_write(CORBA::Stream &s) const override;
    static CORBA::Exception *wq_read(CORBA::Stream &s);
    static ForwardRequest *_downcast(CORBA::Exception *e);
    static char const *wq_IR_Name;

    CORBA::Object *forward_reference;
};
} // namespace PortableServer
