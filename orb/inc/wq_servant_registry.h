// Collocated targets (the objects a POA has activated) and the process-wide
// servant registry that maps (POA key name, object id) to them.
#pragma once

#include "portable_server.h"
#include "wq_target.h"

#include <atomic>
#include <cstdint>
#include <vector>

class wq_TargetLocal;

// References to targets taken out of their lists under
// wq_TargetLocal::_lists_lock, dropped when this ends. Made before the lock
// is taken, so that the drops come after it is released.
struct wq_TargetDrops {
    wq_TargetDrops() = default;
    wq_TargetDrops(const wq_TargetDrops &) = delete;
    wq_TargetDrops &operator=(const wq_TargetDrops &) = delete;
    ~wq_TargetDrops();
    std::vector<wq_TargetLocal *> list;
};

// The collocated target: one active object of a POA, incarnated by a servant.
class wq_TargetLocal : public CORBA::Target {
public:
    // Adds a reference to the servant unless registered-by-servant is set.
    wq_TargetLocal(PortableServer::ServantBase *servant, wq_Interface *itf,
                   bool registered_by_servant);
    ~wq_TargetLocal() override;
    wq_TargetLocal(const wq_TargetLocal &) = delete;
    wq_TargetLocal &operator=(const wq_TargetLocal &) = delete;

    void _add_ref(bool lock, const wq_ThreadEnvironment &tenv) override;
    void _remove_ref(bool lock, const wq_ThreadEnvironment &tenv) override;
    CORBA::Request *_request(CORBA::Object *obj, char const *operation, bool flag,
                             const CORBA::EnvironmentWrapper &env,
                             const wq_ThreadEnvironment &tenv) const override;
    // Writes the IOR: this process's key for the POA and object id, with the
    // published endpoints.
    void write(CORBA::Stream &s, void *details, const CORBA::EnvironmentWrapper &env) override;
    void forward_to(CORBA::Stream &s, const CORBA::EnvironmentWrapper &env) override;
    bool initiate_connection(CORBA::Object *obj, const CORBA::EnvironmentWrapper &env) override;
    bool validate_connection(CORBA::Object *obj, CORBA::PolicyList &policies, bool &located,
                             const CORBA::EnvironmentWrapper &env) override;
    void _bind(CORBA::Object &obj, const CORBA::EnvironmentWrapper &env) override;
    void _unfail(const CORBA::EnvironmentWrapper &env) override;
    void _fail(const CORBA::EnvironmentWrapper &env) override;
    // Where the servant pointer is kept.
    void *wq_details() const override { return const_cast<PortableServer::ServantBase **>(&servant); }
    void *wq_releasor() const override { return nullptr; }
    int32_t wq_refcount() const { return count_.load(std::memory_order_acquire); }
    // Replaces the interface (one reference held).
    void wq_interface(wq_Interface *itf);

    // Sets the POA, the object id and the registry key parts.
    void wq_set_identity(PortableServer::POA *poa, const void *id, uint32_t id_length);

    // Guards the POA target lists, the servant activation lists and the
    // servant registry.
    static wq_RWMutex _lists_lock;

    PortableServer::ServantBase *servant;
    PortableServer::POA *poa = nullptr; // not counted: the POA outlives its targets
    PortableServer::ObjectId object_id;
    // Registry key parts.
    char const *key_poa_name = nullptr;
    const unsigned char *key_id = nullptr;
    uint32_t key_id_length = 0;
    uint8_t registered_by_servant;
    uint8_t strong;
    uint8_t active = 1;

    // Links, each changed under _lists_lock: the POA's target list, the
    // servant's activation list and the registry bucket.
    wq_TargetLocal *poa_next = nullptr, *poa_prev = nullptr;
    wq_TargetLocal *act_next = nullptr, *act_prev = nullptr;
    wq_TargetLocal *reg_next = nullptr, *reg_prev = nullptr;
    bool in_poa = false, in_act = false, in_reg = false;

    // Takes the target out of the servant registry, its POA's list and its
    // servant's activation list and marks it inactive (caller holds
    // _lists_lock for writing); the lists' references go into `drops`.
    void retire(wq_TargetDrops &drops);

    // The servant with a reference added for the caller, who drops it with
    // its _remove_ref() once the lock is released; null when there is none.
    // `gone` is set when there is one but its last release has begun (it is
    // not to be used). Caller holds _lists_lock.
    PortableServer::ServantBase *servant_ref(bool &gone) const;

    // List helpers (caller holds _lists_lock for writing).
    void link_poa();
    void unlink_poa();
    void link_activation();
    void unlink_activation();

    char *own_key_name_ = nullptr;

private:
    std::atomic<int32_t> count_{1};
};

// A look-up key: POA key name and object id; the hash is computed once.
struct wq_ServantKey {
    wq_ServantKey(char const *poa_name, const void *id, uint32_t id_length)
        : poa_key_name(poa_name), object_id(static_cast<const unsigned char *>(id)),
          object_id_length(id_length)
    {
    }
    void calc_hash();
    uint32_t get_hash()
    {
        if (!hash_valid)
            calc_hash();
        return hash;
    }

    char const *poa_key_name;
    const unsigned char *object_id;
    uint32_t object_id_length;
    uint32_t hash_valid = 0;
    uint32_t hash = 0;
};

// The endpoints published in this process's IORs (", "-separated; null or
// empty while none).
char const *wq_published_endpoints();

// Makes targets for IORs whose key names this process.
class wq_TargetServantFactory : public wq_TargetFactory {
public:
    wq_TargetServantFactory() : wq_TargetFactory(SERVANT) {}
    CORBA::Target *create(CORBA::Stream &s, wq_Interface *iface, const CORBA::EnvironmentWrapper &env) override;
};

// POA key names compare equal up to the first NUL or 0xB5 of each.
bool wq_poa_name_equal(char const *a, char const *b);

class wq_ServantRegistry {
public:
    static constexpr uint32_t kBuckets = 40009;

    // The process's registry, made on first use.
    static wq_ServantRegistry *instance();

    // The target for the key, without a reference added (the caller holds
    // _lists_lock, or asks for it with `lock` and must not use the result
    // after the lock is gone).
    wq_TargetLocal *NI_find(wq_ServantKey &key, bool lock);
    // The target for the key with a reference added; null when absent.
    wq_TargetLocal *find_ref(wq_ServantKey &key);
    // Enters the target (the registry takes a reference); false when its key
    // is taken.
    bool bind(wq_TargetLocal *target, bool lock);
    // Removes the target and drops the registry's reference (after the lock
    // when `lock`; under the caller's lock otherwise, which then must hold a
    // reference of its own); false when it was not entered.
    bool unbind(wq_TargetLocal *target, bool lock);
    // Unlinks without dropping the reference; the caller drops it.
    bool unlink(wq_TargetLocal *target);
    void convert_strength(wq_TargetLocal *target, bool strong, bool lock);
    void clear_cache(wq_ServantKey &key, bool lock);
    // Drops every entry (process teardown).
    void clear();
    // Process teardown: drops every entry and frees the registry (a later
    // instance() makes a new one).
    static void teardown();
    uint32_t size() const { return size_; }

private:
    wq_ServantRegistry();
    ~wq_ServantRegistry();
    wq_TargetLocal *search(wq_ServantKey &key);
    static bool matches(const wq_TargetLocal *t, const wq_ServantKey &key);

    std::atomic<wq_TargetLocal *> cache_{nullptr};
    wq_TargetLocal **buckets_;
    uint32_t size_ = 0;
};
