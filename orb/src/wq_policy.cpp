// Policies: the per-reference override node, policy lists and the
// process-wide policy root behind the policy manager.
#include "corba_policy.h"

#include "corba_except.h"

#include <cstdio>

namespace CORBA {

Policy::~Policy() = default;

bool Policy::operator==(const Policy &other) const { return policy_type == other.policy_type; }

PolicyList::PolicyList(uint32_t max) : buffer_(new Policy *[max ? max : 1]()), maximum_(max ? max : 1) {}

PolicyList::~PolicyList()
{
    if (release_ && buffer_)
        for (uint32_t i = length_; i-- > 0;)
            delete buffer_[i];
    delete[] buffer_;
}

void PolicyList::length(uint32_t n)
{
    if (n > maximum_) {
        Policy **b = new Policy *[n]();
        for (uint32_t i = 0; i < length_; ++i)
            b[i] = buffer_[i];
        delete[] buffer_;
        buffer_ = b;
        maximum_ = n;
    }
    if (release_)
        for (uint32_t i = n; i < length_; ++i) {
            delete buffer_[i];
            buffer_[i] = nullptr;
        }
    for (uint32_t i = length_; i < n; ++i)
        buffer_[i] = nullptr;
    length_ = n;
}

} // namespace CORBA

namespace {
inline bool has_bit(uint32_t lo, uint32_t hi, uint32_t t)
{
    return t < 32 ? (lo >> t) & 1u : (hi >> (t - 32)) & 1u;
}
} // namespace

wq_PolicyNode &wq_PolicyNode::operator=(const wq_PolicyNode &other)
{
    if (this == &other)
        return *this;
    // The earlier policies are released, not leaked or duplicated.
    clear();
    if (other.mask_lo_ == 0 && other.mask_hi_ == 0)
        return *this;
    if (!other.head_) {
        std::fprintf(stderr, "Ulvenor internal error #587\n");
        return *this;
    }
    CORBA::Policy **tail = &head_;
    for (CORBA::Policy *p = other.head_; p; p = p->wq_next) {
        CORBA::Policy *c = p->copy();
        c->wq_next = nullptr;
        *tail = c;
        tail = &c->wq_next;
        uint32_t t = c->policy_type;
        if (t < 32)
            mask_lo_ |= 1u << t;
        else
            mask_hi_ |= 1u << (t - 32);
    }
    return *this;
}

CORBA::Policy *wq_PolicyNode::get_policy(CORBA::PolicyType type, const CORBA::EnvironmentWrapper &) const
{
    if (type >= WQ_MAX_POLICY_TYPE || !has_bit(mask_lo_, mask_hi_, type))
        return nullptr;
    for (CORBA::Policy *p = head_; p; p = p->wq_next)
        if (p->policy_type == type)
            return p;
    std::fprintf(stderr, "Ulvenor internal error #424\n");
    return nullptr;
}

void wq_PolicyNode::set_policy(CORBA::Policy *policy, const CORBA::EnvironmentWrapper &env)
{
    if (!policy)
        return;
    // Everything is checked before the node changes.
    if (policy->policy_type >= WQ_MAX_POLICY_TYPE) {
        delete policy;
        env.exception(new CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO, "policy type out of range"));
        return;
    }
    if (policy->wq_next) {
        std::fprintf(stderr, "Ulvenor internal error #244\n");
        return;
    }
    uint32_t t = policy->policy_type;
    if (has_bit(mask_lo_, mask_hi_, t)) {
        if (!head_) {
            std::fprintf(stderr, "Ulvenor internal error #254\n");
            delete policy;
            return;
        }
        for (CORBA::Policy **p = &head_; *p; p = &(*p)->wq_next)
            if ((*p)->policy_type == t) {
                CORBA::Policy *old = *p;
                *p = old->wq_next;
                delete old;
                break;
            }
    } else if (t < 32) {
        mask_lo_ |= 1u << t;
    } else {
        mask_hi_ |= 1u << (t - 32);
    }
    policy->wq_next = head_;
    head_ = policy;
}

void wq_PolicyNode::clear()
{
    while (CORBA::Policy *p = head_) {
        head_ = p->wq_next;
        delete p;
    }
    mask_lo_ = mask_hi_ = 0;
}

wq_PolicyRoot wq_policy_root;
wq_RWMutex wq_pr_mtx;

wq_PolicyRoot::~wq_PolicyRoot()
{
    for (auto *&p : slots) {
        delete p;
        p = nullptr;
    }
}
