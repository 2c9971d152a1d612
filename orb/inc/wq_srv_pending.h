// Minimal object reference, target, policy and interface classes that the
// object adapter is built on. They carry only what the adapter and the
// dispatcher use; the full client-side classes replace this header.
#pragma once

#include "corba_env.h"
#include "corba_string.h"
#include "wq_lock.h"
#include "wq_thread.h"

#include <atomic>
#include <cstdint>

class wq_Interface;

namespace CORBA {

class Target;
class Stream;

class Object {
public:
    Object() = default;
    // Takes over the caller's reference to `t`.
    explicit Object(Target *t) : target_(t) {}
    virtual ~Object();
    virtual char const *wq_ir_name() const { return wq_IR_Name; }
    // Drops one reference; true when the object was deleted (or the call
    // refused on a deleted object).
    virtual bool _remove_ref();
    virtual Object *wq_find_ptr(char const *id);
    void _add_ref();
    int32_t wq_refcount() const { return count_.load(std::memory_order_acquire); }
    Target *wq_target() const { return target_; }

    static char const *wq_IR_Name;

protected:
    Target *target_ = nullptr;
    std::atomic<int32_t> count_{1};
};

inline void release(Object const *o)
{
    if (o)
        const_cast<Object *>(o)->_remove_ref();
}
inline bool is_nil(Object const *o) { return o == nullptr; }

class Target {
public:
    virtual ~Target() = default;
    virtual void _add_ref(bool lock, const wq_ThreadEnvironment &tenv) = 0;
    virtual bool _remove_ref(bool lock, const wq_ThreadEnvironment &tenv) = 0;
    // Writes the IOR of the object the target stands for.
    virtual void write(Stream &s, void *, const EnvironmentWrapper &env) = 0;

    wq_Interface *_interface = nullptr;
    bool _collocated = false;
};

class Policy {
public:
    explicit Policy(uint32_t type) : policy_type(type) {}
    virtual ~Policy() = default;
    virtual Policy *copy() const = 0;
    virtual bool operator==(const Policy &o) const { return policy_type == o.policy_type; }

    uint32_t policy_type;
    Policy *next = nullptr;
};

} // namespace CORBA

// An IDL interface known to the process: its repository id and parents.
class wq_Interface {
public:
    explicit wq_Interface(char *id) : id_(id) {}
    virtual ~wq_Interface();
    char const *repository_id() const { return id_; }
    void add_parent(wq_Interface *parent, bool lock);
    bool is_a(char const *id);
    void _add_ref(bool lock);
    bool _remove_ref(bool lock);

    wq_Interface *reg_next = nullptr;

private:
    struct Parent {
        wq_Interface *itf;
        Parent *next;
    };
    bool traverse(Parent *p, char const *id);
    char *id_;
    Parent *parents_ = nullptr;
    int32_t count_ = 1;
};

// Repository id to interface, created on demand; the registry holds the only
// reference of the interfaces it creates.
class wq_InterfaceRegistry {
public:
    static wq_Interface *NI_find(char const *id, bool lock);
    static wq_Interface *NI_find_or_create(char const *id, bool lock);
};
