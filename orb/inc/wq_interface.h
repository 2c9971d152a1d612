// The interface registry: repository id -> wq_Interface (parents for _is_a,
// operation signatures registered by stubs, the proxy factory that builds
// typed references). Keys compare up to NUL or 0xB5, so the id segment of an
// object key finds its interface.
#pragma once

#include <atomic>
#include <cstdint>

#include "corba_object.h"
#include "corba_typecode.h"
#include "wq_key.h"
#include "wq_lock.h"


// A chained hash map keyed by the element's name; elements are embedded in
// the values (Node must have `char const *wq_key() const` and a `Node
// *map_next` link). A one-entry cache remembers the last hit.
template <class Node> class wq_MapFromCharPtr {
public:
    explicit wq_MapFromCharPtr(uint32_t buckets) : buckets_(buckets), table_(new Node *[buckets]())
    {
    }
    ~wq_MapFromCharPtr() { delete[] table_; }
    wq_MapFromCharPtr(const wq_MapFromCharPtr &) = delete;
    wq_MapFromCharPtr &operator=(const wq_MapFromCharPtr &) = delete;

    Node *find(char const *key, bool update_cache)
    {
        Node *c = cache_.load(std::memory_order_acquire);
        if (c && CORBA::string_equal(c->wq_key(), key, static_cast<char>(0xB5)))
            return c;
        for (Node *n = table_[wq_key_hash(key) % buckets_]; n; n = n->map_next)
            if (CORBA::string_equal(n->wq_key(), key, static_cast<char>(0xB5))) {
                if (update_cache)
                    cache_.store(n, std::memory_order_release);
                return n;
            }
        return nullptr;
    }
    // False when the key is present already.
    bool insert(Node *n)
    {
        if (find(n->wq_key(), false))
            return false;
        Node *&head = table_[wq_key_hash(n->wq_key()) % buckets_];
        n->map_next = head;
        head = n;
        cache_.store(n, std::memory_order_release);
        return true;
    }
    bool remove(Node *n)
    {
        Node *expected = n;
        cache_.compare_exchange_strong(expected, nullptr);
        for (Node **p = &table_[wq_key_hash(n->wq_key()) % buckets_]; *p; p = &(*p)->map_next)
            if (*p == n) {
                *p = n->map_next;
                n->map_next = nullptr;
                return true;
            }
        return false;
    }
    template <class F> void for_each(F f)
    {
        for (uint32_t b = 0; b < buckets_; ++b)
            for (Node *n = table_[b], *next; n; n = next) {
                next = n->map_next;
                f(n);
            }
    }

private:
    uint32_t buckets_;
    Node **table_;
    std::atomic<Node *> cache_{nullptr};
};

namespace CORBA {
enum ParameterMode : uint32_t { PARAM_IN = 0, PARAM_OUT = 1, PARAM_INOUT = 2 };
typedef TypeCode *(*wq_TypeCodeGetter)(TypeCode *);
} // namespace CORBA

struct wq_ParameterInfo {
    CORBA::wq_TypeCodeGetter typecode = nullptr;
    uint32_t index = 0;
    uint32_t mode = 0;
};

class wq_Interface : public CORBA::InterfaceDef {
public:
    struct OperationNode {
        OperationNode(char const *op, uint32_t count);
        ~OperationNode();
        char const *wq_key() const { return name; }
        char const *name;
        wq_ParameterInfo *params;
        CORBA::wq_TypeCodeGetter result = nullptr;
        uint32_t count;
        OperationNode *map_next = nullptr;
        static wq_RWMutex _lists_lock;
    };
    // The skeleton lists of the interfaces (wq_SkeletonMap) are guarded by
    // this lock.
    struct SkeletonNode {
        static wq_RWMutex _lists_lock;
    };
    struct Parent {
        wq_Interface *parent;
        Parent *next;
    };

    // Adopts the heap string `id`.
    explicit wq_Interface(char *id);
    ~wq_Interface() override;

    char const *wq_key() const { return id_; }
    char const *id() const { return id_; }

    void add_parameter(char const *op, uint32_t index, uint32_t mode, uint32_t count,
                       CORBA::wq_TypeCodeGetter tc, bool lock);
    void add_result(char const *op, uint32_t count, CORBA::wq_TypeCodeGetter tc, bool lock);
    // One entry per parameter (empty for an unknown operation); the caller
    // owns the array (delete[]).
    wq_ParameterInfo *get_parameters(char const *op, uint32_t &count, bool lock);
    CORBA::wq_TypeCodeGetter get_result(char const *op, bool lock);

    void add_parent(wq_Interface *parent, bool lock);
    bool is_a(char const *id);
    static bool traverse(Parent *parents, char const *id);
    void _add_ref(bool lock);
    // True when deleted or refused.
    bool _remove_ref(bool lock);
    int32_t refcount() const { return count_; }

    CORBA::ProxyFactory *proxy_factory() const { return proxy_.load(std::memory_order_acquire); }
    void proxy_factory(CORBA::ProxyFactory *f) { proxy_.store(f, std::memory_order_release); }

    wq_Interface *map_next = nullptr;
    static wq_RWMutex if_lists_lock;

private:
    OperationNode *find_or_add_op(char const *op, uint32_t count);
    char *id_;
    uint32_t id_len1_;
    wq_MapFromCharPtr<OperationNode> ops_{31};
    std::atomic<CORBA::ProxyFactory *> proxy_{nullptr};
    Parent *parents_ = nullptr;
    int32_t count_ = 1;
};

class wq_InterfaceRegistry {
public:
    wq_InterfaceRegistry() = default;
    ~wq_InterfaceRegistry();
    // The interface of `id` with a reference added for the caller (release
    // with _remove_ref), or null.
    wq_Interface *NI_find(char const *id, bool lock);
    wq_Interface *find_or_create(char const *id, bool lock);
    wq_Interface *NI_find_or_create(char const *id, bool lock) { return find_or_create(id, lock); }
    // After a creation the new interface takes the base's proxy factory.
    wq_Interface *find_or_create(char const *id, char const *base_id, bool lock);
    void remove_interface_proxy(char const *id, bool lock);

private:
    wq_Interface *find_or_create(char const *id, char const *base_id, bool lock, bool create);
    wq_MapFromCharPtr<wq_Interface> map_{211};
};
// The process's registry (null until first use).
extern std::atomic<wq_InterfaceRegistry *> wq_interface_registry;
wq_InterfaceRegistry *wq_interface_registry_get();
// True when the broker's registry locks must be taken.
bool wq_orb_locking();

// Takes a registry lock for the scope when asked and the ORB is initialised
// (before that only the static initialisers run, on one thread).
class wq_OrbCondLock {
public:
    wq_OrbCondLock(wq_RWMutex &m, bool lock, bool write) : m_(m), on_(lock && wq_orb_locking())
    {
        if (on_) {
            if (write)
                m_.lock_write(tenv_);
            else
                m_.lock_read(tenv_);
        }
    }
    ~wq_OrbCondLock()
    {
        if (on_)
            m_.unlock(tenv_);
    }
    wq_OrbCondLock(const wq_OrbCondLock &) = delete;
    wq_OrbCondLock &operator=(const wq_OrbCondLock &) = delete;

private:
    wq_RWMutex &m_;
    wq_ThreadEnvironment tenv_;
    bool on_;
};
