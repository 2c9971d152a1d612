// Policies: typed settings (types below 64) held per object reference (a
// wq_PolicyNode of overrides) and process-wide (the policy root behind the
// policy manager).
#pragma once

#include <cstdint>

#include "corba_env.h"
#include "wq_lock.h"

namespace CORBA {

typedef uint32_t PolicyType;
enum SetOverrideType : uint32_t { SET_OVERRIDE = 0, ADD_OVERRIDE = 1 };

class Policy {
public:
    explicit Policy(PolicyType type) : policy_type(type) {}
    virtual ~Policy();
    // A new policy equal to this one, unlinked.
    virtual Policy *copy() const = 0;
    virtual bool operator==(const Policy &other) const;

    PolicyType policy_type;
    Policy *wq_next = nullptr;

protected:
    Policy(const Policy &o) : policy_type(o.policy_type) {}
    Policy &operator=(const Policy &) = delete;
};

inline void release(const Policy *p) { delete p; }
inline bool is_nil(const Policy *p) { return p == nullptr; }

// A sequence of policies; owns them when release is set.
class PolicyList {
public:
    PolicyList() = default;
    explicit PolicyList(uint32_t max);
    ~PolicyList();
    PolicyList(const PolicyList &) = delete;
    PolicyList &operator=(const PolicyList &) = delete;
    uint32_t length() const { return length_; }
    // Grows the buffer as needed; new slots are null.
    void length(uint32_t n);
    Policy *&operator[](uint32_t i) { return buffer_[i]; }
    Policy *operator[](uint32_t i) const { return buffer_[i]; }

private:
    Policy **buffer_ = nullptr;
    uint32_t maximum_ = 0;
    uint32_t length_ = 0;
    bool release_ = true;
};

} // namespace CORBA

constexpr uint32_t WQ_MAX_POLICY_TYPE = 64;

class wq_PolicyNode {
public:
    wq_PolicyNode() = default;
    ~wq_PolicyNode() { clear(); }
    wq_PolicyNode(const wq_PolicyNode &) = delete;
    // Replaces every policy held by copies of the other node's.
    wq_PolicyNode &operator=(const wq_PolicyNode &other);

    // The held policy of that type (not copied), null when none.
    CORBA::Policy *get_policy(CORBA::PolicyType type, const CORBA::EnvironmentWrapper &env) const;
    // Takes ownership of `policy` and replaces a held one of its type. A
    // type of 64 or more, or a policy already linked, is refused (BAD_PARAM)
    // and deleted, with nothing changed.
    void set_policy(CORBA::Policy *policy, const CORBA::EnvironmentWrapper &env);
    void clear();
    bool empty() const { return head_ == nullptr; }
    CORBA::Policy *head() const { return head_; }

private:
    CORBA::Policy *head_ = nullptr;
    uint32_t mask_hi_ = 0; // types 32..63
    uint32_t mask_lo_ = 0; // types 0..31
};

// The process-wide policies, one slot per type.
struct wq_PolicyRoot {
    CORBA::Policy *slots[WQ_MAX_POLICY_TYPE] = {};
    ~wq_PolicyRoot();
};
extern wq_PolicyRoot wq_policy_root;
extern wq_RWMutex wq_pr_mtx;

namespace Messaging {
// How far a one-way request is taken before its caller goes on (the
// process's default is CORBA::ORB::_oneway_sync_scope, set by -ORBsync); a
// received request's scope tells when its reply goes.
typedef int16_t SyncScope;
constexpr SyncScope SYNC_NONE = 0;           // fire and forget
constexpr SyncScope SYNC_WITH_TRANSPORT = 1; // handed to the transport; no reply
constexpr SyncScope SYNC_WITH_SERVER = 2;    // answered on receipt, before the servant runs
constexpr SyncScope SYNC_WITH_TARGET = 3;    // answered after the servant has run

constexpr CORBA::PolicyType SYNC_SCOPE_POLICY_TYPE = 24;
class SyncScopePolicy : public CORBA::Policy {
public:
    explicit SyncScopePolicy(SyncScope scope) : CORBA::Policy(SYNC_SCOPE_POLICY_TYPE), synchronization(scope) {}
    CORBA::Policy *copy() const override { return new SyncScopePolicy(synchronization); }
    SyncScope synchronization;
};
} // namespace Messaging
